#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# tools/hosts leaves nothing behind (no folder, no mount, no process) when
# a signal stops it while a system is being made, while a command runs in
# one, or while a command that ignores TERM hangs there, as util-linux's
# unshare --fork does; and when a system cannot be made. It makes systems,
# so it is registered only when asked for and runs only as root.
# usage: hosts_test.sh SOURCE-FOLDER
set -u
top=$1
if [ "$(id -u)" -ne 0 ]; then
	echo "skip: tools/hosts needs root"
	exit 77
fi
# shellcheck source=testlib.sh
. "$(dirname "$0")/testlib.sh"
# Stand-ins: an mmdebstrap that starts the system, then fails or succeeds;
# an unshare that ignores TERM and never ends.
mkdir -p "$work/fail" "$work/hang" "$work/tmp"
for end in fail:1 hang:0; do
	# shellcheck disable=SC2016 # the stand-in expands it
	printf '#!/bin/sh\nfor root; do :; done\nmkdir -p "$root/etc"\nexit %s\n' "${end#*:}" >"$work/${end%:*}/mmdebstrap"
done
printf '#!/bin/sh\ntrap "" TERM\nwhile :; do sleep 1; done\n' >"$work/hang/unshare"
chmod +x "$work"/*/*
# Signal; expected status; seconds after the start; stand-ins (or -);
# hosts. During mmdebstrap, during tools/deps in the system, a hung command
# that ignores TERM, and two hosts whose systems cannot be made, even
# without the security suite.
for row in "INT 130 10 - trixie-amd64" "TERM 143 60 - trixie-amd64" "TERM 143 5 hang trixie-amd64" \
	"KILL 1 60 fail trixie-amd64 bookworm-amd64"; do
	read -r signal want after standins hosts <<<"$row"
	path=$PATH
	[ "$standins" = - ] || path=$work/$standins:$PATH
	start=$SECONDS
	# shellcheck disable=SC2086 # the hosts are words
	timeout -k 30 --preserve-status -s "$signal" "$after" \
		env TMPDIR="$work/tmp" PATH="$path" "$top/tools/hosts" $hosts >"$work/out" 2>&1
	status=$?
	took=$((SECONDS - start - after))
	left=$(find "$work/tmp" -mindepth 1 -maxdepth 1)
	mounts=$(grep -c "$work" /proc/self/mountinfo)
	procs=$(pgrep -fc "$work/(tmp|hang)")
	if [ "$status" -ne "$want" ] || [ -n "$left" ] || [ "$mounts" -ne 0 ] || [ "$procs" -ne 0 ] || [ "$took" -gt 8 ]; then
		fail "$signal after $after s: status $status, $took s more, left: ${left:-no folder}, $mounts mounts, $procs processes"
	elif [ "$standins" = fail ] &&
		[ "$(grep -c ': FAIL: system without the security suite failed' "$work/out")" -ne 2 ]; then
		fail "a failed system: said $(head -c 300 "$work/out")"
	else
		echo "ok: $signal after $after s ($standins): status $status, nothing left"
	fi
done
finish
