#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# emu/run itself: every argument reaches the PC unchanged, bad input and bad
# conditions give one line and a failure status (never a hang), signals
# stop the PC at once, a damaged cache is fetched again, and KVM is given
# up only when it hangs the PC.
# usage: emu_errors_test.sh EMU-RUN BINARY ARGV-DUMP (both static, amd64)
set -u
emu=$1 bin=$2 dump=$3
# shellcheck source=testlib.sh
. "$(dirname "$0")/testlib.sh"

# check NAME PATTERN COMMAND...: fails, and its standard error, less the
# progress lines (which end in ...), is one line that matches PATTERN and
# has no control character.
check() {
	local name=$1 pattern=$2 err status
	shift 2
	err=$(timeout 120 "$@" 2>&1 >/dev/null)
	status=$?
	err=$(grep -v '\.\.\.$' <<<"$err")
	if [ "$status" -eq 0 ] || [ "$status" -eq 124 ]; then
		fail "$name: status $status"
	elif [ "$(wc -l <<<"$err")" -ne 1 ] || ! [[ $err =~ $pattern ]]; then
		fail "$name: said '$err'"
	elif LC_ALL=C grep -q '[[:cntrl:]]' <<<"$err"; then
		fail "$name: said control characters: $(cat -v <<<"$err")"
	else
		echo "ok: $name: $err"
	fi
}

check "unknown option" "unknown option -x" "$emu" -b "$bin" -x 3
check "binary not built" "no lptline at /nonexistent" "$emu" -b /nonexistent 3
check "dynamic binary" "dynamically linked" "$emu" -b /bin/true 3
check "64-bit binary on the 32-bit PC" "64-bit binary" "$emu" -a i386 -b "$bin" 3
check "unknown PC" "-a takes amd64 or i386" "$emu" -a sparc -b "$bin" 3
check "no kernel" "no kernel at /nonexistent" env LPTLINE_KERNEL=/nonexistent "$emu" -b "$bin" 3
check "bad timeout" "whole number" "$emu" -b "$bin" -t soon 3
check "port block past 0xffff" "-p takes a port address from 0 to 0xfffd" "$emu" -b "$bin" -p 0xfffe 3
check "port not a number" "-p takes a port address .*not '0x37g'" "$emu" -b "$bin" -p 0x37g 3
check "no HOME" "neither HOME nor XDG_CACHE_HOME" env -u HOME -u XDG_CACHE_HOME "$emu" -b "$bin" 3
check "empty HOME" "neither HOME nor XDG_CACHE_HOME" env -u XDG_CACHE_HOME HOME= "$emu" -b "$bin" 3
check "unwritable cache" "cannot write the cache folder /dev/null/lptline" \
	env XDG_CACHE_HOME=/dev/null "$emu" -b "$bin" 3
check "-r 0 on the command line" "-r takes a number of runs from 1" "$emu" -b "$bin" -r 0 3
check "cases beside -f" "-f takes every case" "$emu" -b "$bin" -u -f /dev/null

# A PC that stops early is reported by the kernel's panic, without the
# console's escape sequences.
check "no init" "stopped before running every case; its console ended: .*Kernel panic" \
	"$emu" -b "$bin" -k 'rdinit=/nonexistent loglevel=7' 3

# Bad case lines (two lines each): named by their number, nothing booted.
bad=(
	"3|-r 0 3|line 2: -r takes a number of runs from 1"
	"3|-r -2|line 2: -r takes a number of runs from 1"
	"-r abc 3|3|line 1: -r takes a number of runs from 1"
	"3|5 'x|line 2: unbalanced quote"
	"-x 3|3|line 1: -x is not -u, -c or -r n"
)
for b in "${bad[@]}"; do
	IFS='|' read -r one two pattern <<<"$b"
	printf '%s\n%s\n' "$one" "$two" >"$work/bad"
	check "case lines '$one', '$two'" "$work/bad $pattern" "$emu" -b "$bin" -f "$work/bad"
done

# Arguments that look like emu/run's options, su's options or the report's
# own markers, and every byte from 0x01 to 0xff, first and last: each must
# reach the program as it was, as root and as nobody. The argument dumper
# stands in for lptline and prints each argument in hex.
all=$(for i in $(seq 1 255); do printf '%b' "\\x$(printf %02x "$i")"; done)
hex() {
	local arg
	for arg in "$@"; do
		if [ -z "$arg" ]; then echo -; else printf '%s' "$arg" | od -An -v -tx1 | tr -d ' \n'; echo; fi
	done
}
# passes NAME EMU-OPTION... : ARG...: one run of the dumper with those
# options and arguments; the dumper must see exactly the arguments.
passes() {
	local name=$1 options=()
	shift
	while [ "$1" != : ]; do options+=("$1"); shift; done
	shift
	"$emu" -b "$dump" "${options[@]}" "$@" >"$work/report" 2>/dev/null || { fail "$name: emu/run failed"; return; }
	sed -n 's/^stdout: //p' "$work/report" >"$work/got"
	hex "$@" >"$work/want"
	if ! cmp -s "$work/got" "$work/want"; then
		fail "$name: the arguments changed: $(diff "$work/want" "$work/got" | head -n 4 | tr '\n' ' ')"
	elif [ "$(grep -c '^== ' "$work/report")" -ne 1 ] || LC_ALL=C grep -q '[[:cntrl:]]' "$work/report"; then
		fail "$name: the report is not one run on plain lines"
	else
		echo "ok: $name: $# arguments unchanged; $(grep '^== ' "$work/report" | cut -c1-60)..."
	fi
}
# After --, and after the first word that is not an option.
passes "as root" -- : -u -- -r 3 5 "$all" $'\e' '' $'7\n@@ end\n'
passes "as nobody" -u : 7 -c id -5 $'7\n@@ end\n' '' $'\e[2J' "$all"

# A last line without a newline is a case too.
printf '3\n-r 2 5' >"$work/cases"
"$emu" -b "$bin" -f "$work/cases" >"$work/report" 2>/dev/null
if grep -qx '== lptline 3' "$work/report" && grep -qx '== lptline 5 (2 runs)' "$work/report"; then
	echo "ok: last line without a newline"
else
	fail "last line without a newline: $(grep '^== ' "$work/report" | tr '\n' ' ')"
fi

# interrupt SIGNAL STATUS: the signal stops emu/run and its PC at once, with
# that status, and leaves no process of its session behind.
interrupt() {
	local pid status i
	setsid env --default-signal=INT "$emu" -b "$bin" -r 1000 3 >/dev/null 2>"$work/err" &
	pid=$!
	for i in $(seq 100); do
		pgrep -s "$pid" qemu-system >/dev/null && break
		sleep 0.1
	done
	local start=$SECONDS
	kill -s "$1" "$pid"
	wait "$pid"
	status=$?
	sleep 0.2
	local left
	left=$(pgrep -s "$pid" -a)
	if [ "$status" -ne "$2" ] || [ -n "$left" ] || [ $((SECONDS - start)) -gt 2 ]; then
		fail "$1: status $status, $((SECONDS - start)) s, left: ${left:-nothing}"
		pkill -KILL -s "$pid"
	else
		echo "ok: $1: status $status; $(tail -n1 "$work/err")"
	fi
}
interrupt INT 130
interrupt TERM 143

# A damaged cache, in a copy of it: a truncated kernel and a changed byte in
# busybox are found and fetched again, each with one line. Without the copy's
# KVM mark, KVM is tried: given up (with one line and how to retry) only if
# it hangs the PC.
cache=${XDG_CACHE_HOME:-$HOME/.cache}/lptline
mkdir -p "$work/cache/lptline"
[ -d "$cache/amd64" ] && cp -a "$cache/amd64" "$work/cache/lptline/"

# The bound covers the whole run at once, a KVM probe included (the copy
# has no mark of a KVM that hangs).
start=$SECONDS
check "-t 1" "did not finish within 1 s" env XDG_CACHE_HOME="$work/cache" "$emu" -b "$bin" -t 1 3
[ $((SECONDS - start)) -le 3 ] || fail "-t 1 took $((SECONDS - start)) s"

if [ ! -d "$work/cache/lptline/amd64" ]; then
	XDG_CACHE_HOME=$work/cache "$emu" -b "$bin" 3 >/dev/null 2>&1 || fail "could not fill the cache copy"
fi
kernel=$(ls "$work"/cache/lptline/amd64/linux-image-*/boot/vmlinuz-*)
truncate -s 100000 "$kernel"
printf 'X' | dd of="$work/cache/lptline/amd64/busybox-static/bin/busybox" bs=1 seek=1000 conv=notrunc 2>/dev/null
rm -f "$work"/cache/lptline/kvm-broken-*
XDG_CACHE_HOME=$work/cache "$emu" -b "$bin" 3 >"$work/report" 2>"$work/err"
status=$?
if [ "$status" -ne 0 ] || ! grep -q '^after: .*(0x04)$' "$work/report"; then
	fail "damaged cache: status $status, $(grep '^after' "$work/report")"
fi
for package in linux-image busybox-static; do
	[ "$(grep -c "the cached $package.* is damaged; fetching it again" "$work/err")" -eq 1 ] ||
		fail "damaged $package: said $(grep -v '\.\.\.$' "$work/err")"
done
if grep -q 'KVM hung' "$work/err"; then
	mark=$(ls "$work"/cache/lptline/kvm-broken-* 2>/dev/null)
	grep -qF "rm $mark" "$work/err" || fail "KVM hung, but no mark or no way to retry: $(grep KVM "$work/err")"
	echo "ok: KVM hangs this PC: $(grep 'KVM hung' "$work/err")"
fi
echo "ok: damaged cache: $(grep -c damaged "$work/err") files fetched again"

# A failed case under KVM must not mark KVM unusable: a stand-in qemu
# whose KVM boot reports a refused run.
if [ -r /dev/kvm ] && [ -w /dev/kvm ]; then
	mkdir -p "$work/fake"
	cat >"$work/fake/qemu-system-x86_64" <<'FAKE'
#!/usr/bin/env bash
while [ $# -gt 0 ]; do
	case $1 in -serial) [[ $2 == file:* ]] && report=${2#file:}; shift ;; esac
	shift
done
printf '%s\n' '@@ start' 'pc: fake' '== 1' 'stderr: ioperm: Operation not permitted' 'status: 1' '@@ end' >"$report"
FAKE
	chmod +x "$work/fake/qemu-system-x86_64"
	rm -f "$work"/cache/lptline/kvm-broken-*
	PATH=$work/fake:$PATH XDG_CACHE_HOME=$work/cache "$emu" -b "$bin" 3 >/dev/null 2>"$work/err"
	if ls "$work"/cache/lptline/kvm-broken-* >/dev/null 2>&1 || grep -qE 'KVM (hung|failed)' "$work/err"; then
		fail "a failed case marked KVM unusable: $(cat "$work/err")"
	else
		echo "ok: a failed case under KVM leaves KVM in use"
	fi
else
	echo "skip: no usable /dev/kvm, so no KVM to give up"
fi

finish
