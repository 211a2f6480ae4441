#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The manual passes mandoc's lint (where mandoc is), renders without a
# warning, quotes the binary's own usage line and names the path this build
# installs to; each of its examples for two lines at once gives their
# bytes' sum, and no line number; and its relay script switches the relay
# off however it ends: done, a failed write, or a signal during its sleep.
# usage: man_test.sh BUILT-PAGE BINARY INSTALLED-PATH
set -u
page=$1
bin=$2
installed=$3
# shellcheck source=testlib.sh
. "$(dirname "$0")/testlib.sh"
# The Debian package's build has groff's warnings alone: its dependencies
# name no mandoc, which Debian 12 cannot install beside a cross build's.
if command -v mandoc >/dev/null; then
	lint=$(mandoc -Tlint -Wwarning "$page" 2>&1) || fail "mandoc: $lint"
else
	echo "skip: mandoc's lint, as there is no mandoc"
fi
rendered=$(MANWIDTH=80 man --warnings -l "$page" 2>"$work/warnings")
[ -s "$work/warnings" ] && fail "warnings: $(cat "$work/warnings")"
usage=$("$bin" 2>&1)
grep -qF "$usage" <<<"$rendered" || fail "the page does not show '$usage'"
synopsis=$(sed -n '/^SYNOPSIS/{n;p;q}' <<<"$rendered" | sed 's/^ *//')
[ "usage: $synopsis" = "$usage" ] || fail "SYNOPSIS '$synopsis' is not the usage line '$usage'"
examples=$(sed -n '/^EXAMPLES/,/^DIAGNOSTICS/p' <<<"$rendered")
paths=$(grep -o '[/a-z]*/sbin/lptline' <<<"$examples" | sort -u)
[ "$paths" = "$installed" ] || fail "the examples name '$paths', not '$installed'"

# "lines A and B are ..., so lptline N": the low byte of N has bits A-1 and
# B-1, and N is no line number, which would drive one line.
pairs=0
while read -r a b n; do
	pairs=$((pairs + 1))
	if [ "$n" -le 8 ] || [ $((n & 255)) -ne $(((1 << (a - 1)) | (1 << (b - 1)))) ]; then
		fail "lptline $n does not drive lines $a and $b"
	fi
done < <(tr '\n' ' ' <"$page" | grep -oE 'lines [1-8] and [1-8] are [^;]*\.Ql lptline [0-9]+' |
	sed -E 's/lines ([1-8]) and ([1-8]) .*lptline ([0-9]+)/\1 \2 \3/')
[ "$pairs" -ge 2 ] || fail "the manual shows $pairs examples of two lines at once"

# The script, from its first line to its sleep, running a stand-in that
# logs its argument and exits with $status.
sed -n '/^#!\/bin\/sh$/,/^sleep 1$/p' "$page" >"$work/manual"
# shellcheck disable=SC2016 # the stand-in expands them
printf '#!/bin/sh\necho "$1" >>"%s/log"\nexit "$status"\n' "$work" >"$work/lptline"
chmod +x "$work/lptline"
# Row: how the script ends, the stand-in's status, the signal sent during
# the sleep (- for none), the script's status. Each time the relay is
# switched on, then off.
rows=("done|0|-|0" "a failed write|1|-|1" "Ctrl-C|0|INT|130" "a kill|0|TERM|143" "a hang-up|0|HUP|129")
# Job control, so that the script is not started deaf to INT, and its
# process group gets the signal, sleep included, as from a terminal.
set -m
script=$work/manual
grep -q '^lptline=' "$script" || fail "no relay script found"
sed -i "s|^lptline=.*|lptline=$work/lptline|" "$script"
# shellcheck disable=SC2016 # the script's own words
on=$(sed -n 's/^"$lptline" \([1-8]\)$/\1/p' "$script")
for row in "${rows[@]}"; do
	IFS='|' read -r how status signal want <<<"$row"
	logged="$on 0"
	rm -f "$work/log"
	status=$status sh "$script" &
	if [ "$signal" != - ]; then
		sleep 0.3
		kill "-$signal" -- "-$!"
	fi
	wait "$!"
	got=$?
	said=$(tr '\n' ' ' <"$work/log" 2>/dev/null | sed 's/ $//')
	if [ "$got" -ne "$want" ] || [ "$said" != "$logged" ]; then
		fail "$how: status $got, lptline ran with '$said'; expected $want and '$logged'"
	else
		echo "ok: $how: status $got, lptline ran with '$said'"
	fi
done
finish
