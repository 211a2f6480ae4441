#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# emu/run itself: every argument reaches the PC unchanged, and bad input
# gives one line and the documented status (never a hang).
# usage: emu_errors_test.sh EMU-RUN BINARY ARGV-DUMP (both static, amd64)
set -u
emu=$1 bin=$2 dump=$3
# shellcheck source=testlib.sh
. "$(dirname "$0")/testlib.sh"
# shellcheck source=emulib.sh
. "$(dirname "$0")/emulib.sh"

# The shared cache holds the PC from here on.
if ! "$emu" -b "$bin" -d bookworm 3 >/dev/null; then
	fail "the first run on the shared cache"
	finish
	exit
fi

check "unknown option" "unknown option -x" "$emu" -b "$bin" -x 3
check "missing value" "^emu/run: -a needs a value \(emu/run -h shows the usage\)$" "$emu" -a
check "binary not built" "no lptline at /nonexistent" "$emu" -b /nonexistent 3
check "a library the PC lacks" "/bin/ls needs libselinux.so.1, which the bookworm PC lacks" \
	"$emu" -d bookworm -b /bin/ls 3
# Builds of a later release: they ask the C library, or its loader, for a
# version that bookworm's lacks (stand-in libraries define it; the binaries
# never run).
echo 'void later(void) {}' >"$work/later.c" && echo 'GLIBC_2.99 { global: later; };' >"$work/later.map"
echo 'void later(void); int main(void) { later(); return 0; }' >"$work/main.c"
for lib in libc.so.6 ld-linux-x86-64.so.2; do
	mkdir "$work/$lib"
	cc -shared -fPIC -Wl,--version-script="$work/later.map" -Wl,-soname,$lib -o "$work/$lib/$lib" "$work/later.c"
	cc -nostdlib -e main -o "$work/$lib/later" "$work/main.c" "$work/$lib/$lib"
done
check "a later release's build" "$work/libc.so.6/later needs the C library's GLIBC_2.99, which the bookworm PC's lacks" \
	"$emu" -d bookworm -b "$work/libc.so.6/later" 3
check "a later release's loader" "later needs ld-linux-x86-64.so.2's GLIBC_2.99, which the bookworm PC's lacks" \
	"$emu" -d bookworm -b "$work/ld-linux-x86-64.so.2/later" 3
echo x >"$work/bad.deb"
check "not a package" "$work/bad.deb is not a package that dpkg-deb can unpack" "$emu" -b "$work/bad.deb" 3
check "64-bit binary on the 32-bit PC" "is built for x86-64; the 32-bit PC runs i386 binaries: build it with cmake --preset i386$" \
	"$emu" -a i386 -b "$bin" 3
check "unknown PC" "-a takes amd64 or i386" "$emu" -a sparc -b "$bin" 3
check "no Debian 13 for the 32-bit PC" "Debian 13 \(trixie\) has no kernel for the 32-bit PC" "$emu" -a i386 -d trixie 3
check "unknown release" "-d takes bookworm or trixie, not 'sid'" "$emu" -d sid -b "$bin" 3
check "two releases" "-d takes bookworm or trixie, not 'bookworm trixie'" "$emu" -d 'bookworm trixie' -b "$bin" 3
check "bad timeout" "whole number of seconds from 1 to 99999, not 'soon'" "$emu" -b "$bin" -t soon 3
check "timeout 0" "from 1 to 99999, not '0'" "$emu" -b "$bin" -t 0 3
check "timeout 100000" "from 1 to 99999, not '100000'" "$emu" -b "$bin" -t 100000 3
check "binary is a folder" "no lptline at /tmp \(a folder\)" "$emu" -b /tmp 3
ln -s loop "$work/loop"
check "binary is a link loop" "no lptline at $work/loop \(a link that leads nowhere, or in a loop\)" "$emu" -b "$work/loop" 3
# e_machine AArch64; and x32: 32-bit class, x86-64 machine.
for kind in "arm64|18|\xb7\x00|AArch64" "x32|4|\x01|x32"; do
	IFS='|' read -r name at bytes machine <<<"$kind"
	cp "$bin" "$work/$name"
	printf '%b' "$bytes" | dd of="$work/$name" bs=1 seek="$at" conv=notrunc 2>/dev/null
	check "$name binary" "$work/$name is built for $machine; the 64-bit PC runs x86-64 binaries$" "$emu" -b "$work/$name" 3
done
check "cases file is a folder" "cannot read /tmp: Is a directory" "$emu" -b "$bin" -f /tmp
check "kernel command line too long" "command line 2[0-9]{3} characters long; the PC's kernel takes at most 2047" \
	"$emu" -b "$bin" -k "$(printf '%02055d' 0)" 3
check "port block past 0xffff" "-p takes a port address from 0 to 0xfffd" "$emu" -b "$bin" -p 0xfffe 3
check "port not a number" "-p takes a port address .*not '0x37g'" "$emu" -b "$bin" -p 0x37g 3
check "port on COM2" "-p 0x2fc would put the parallel port over the PC's COM2, which carries the report \(0x2f8 to 0x2ff\)" \
	"$emu" -b "$bin" -p 0x2fc 3
check "no HOME" "neither HOME nor XDG_CACHE_HOME" env -u HOME -u XDG_CACHE_HOME "$emu" -b "$bin" 3
check "empty HOME" "neither HOME nor XDG_CACHE_HOME" env -u XDG_CACHE_HOME HOME= "$emu" -b "$bin" 3
check "unwritable cache" "cannot write the cache folder /dev/null/lptline" \
	env XDG_CACHE_HOME=/dev/null "$emu" -b "$bin" 3
mkdir -p "$work/badlock/lptline" && ln -s /nonexistent/lock "$work/badlock/lptline/lock"
check "a lock that cannot be opened" "cannot write the cache folder $work/badlock/lptline \(No such file" \
	env XDG_CACHE_HOME="$work/badlock" "$emu" -b "$bin" 3
check "no TMPDIR" "^emu/run: TMPDIR /nonexistent is not a folder that emu/run may write in$" \
	env TMPDIR=/nonexistent "$emu" -b "$bin" 3
check "-r 0 on the command line" "-r takes a number of runs from 1" "$emu" -b "$bin" -r 0 3
check "cases beside -f" "-f takes every case" "$emu" -b "$bin" -u -f /dev/null
# A relative XDG_CACHE_HOME is no cache home: the shared one is used.
(cd "$work" && XDG_CACHE_HOME=rel "$emu" -b "$bin" 3 >/dev/null 2>&1) || fail "a relative XDG_CACHE_HOME: the run failed"
[ ! -e "$work/rel" ] || fail "a relative XDG_CACHE_HOME was taken as $work/rel"

# A PC that stops early is reported by the kernel's panic, without the
# console's escape sequences; a QEMU that dies of a signal, in one line.
check "no init" "stopped before running every case; its console ended: .*Kernel panic" \
	"$emu" -b "$bin" -k 'rdinit=/nonexistent loglevel=7' 3
start=$SECONDS
check "no init, panic=0" "stopped before running every case; its console ended: .*Kernel panic" \
	"$emu" -b "$bin" -t 100 -k 'rdinit=/nonexistent panic=0' 3
[ $((SECONDS - start)) -le 40 ] || fail "a panic with panic=0 took $((SECONDS - start)) s"
mkdir "$work/segv" && printf '#!/bin/sh\nkill -SEGV $$\n' >"$work/segv/qemu-system-x86_64" && chmod +x "$work/segv"/*
check "QEMU killed by a signal" "^emu/run: qemu-system-x86_64 was killed by signal 11$" \
	env PATH="$work/segv:$PATH" "$emu" -b "$bin" 3

# The exit status: 0 when every case ran; with -s, the last case's status
# (the dumper exits with its number of arguments), 125 for emu/run's own
# failures; 2 for a usage error. Expected status, then emu/run's arguments.
for row in "0|-u 3" "1|-s -u 3" "0|-s 3" "3|-s -b $dump a b c" "1|-b /nonexistent 3" "125|-s -b /nonexistent 3" \
	"125|-s -x 3" "125|-x -s 3" "2|-x 3" "2|-t soon 3" "2|-a sparc 3" "2|-d sid 3" "2|-p 0x37g 3" "2|-r 0 3" "2|-a" \
	"0|-h"; do
	read -ra words <<<"${row#*|}"
	"$emu" -b "$bin" "${words[@]}" >"$work/out" 2>/dev/null
	status=$?
	[ "$status" -eq "${row%%|*}" ] || fail "emu/run ${row#*|}: status $status, expected ${row%%|*}"
done
grep -q '^usage: emu/run ' "$work/out" || fail "emu/run -h: no usage on standard output"
echo "ok: exit statuses"

# 10 000 cases, and a line of 20 000 words: read in seconds, and the bound
# covers reading them; when it cuts the run short, the cases finished by
# then are shown, each whole.
for i in $(seq 10000); do echo "-- -$i"; done >"$work/many"
seq 20000 | tr '\n' ' ' >"$work/wide"
for input in many wide; do
	start=$SECONDS
	check "$input cases, no binary" "no lptline at /nonexistent" "$emu" -b /nonexistent -f "$work/$input"
	[ $((SECONDS - start)) -le 10 ] || fail "reading $input cases took $((SECONDS - start)) s"
done
start=$SECONDS
# shellcheck disable=SC2016 # the inner shell expands them
check "-t 2 while the cases come" "did not finish within 2 s" \
	bash -c '"$0" -b "$1" -t 2 -f - < <(exec 2>/dev/null; sleep 25; echo 3)' "$emu" "$bin"
[ $((SECONDS - start)) -le 4 ] || fail "-t 2 while the cases came took $((SECONDS - start)) s"
# One run, its report kept for the count below.
# shellcheck disable=SC2016 # the inner shell expands them
check "10 000 cases in 30 s" "did not finish within 30 s" \
	sh -c 'exec "$@" >"$0"' "$work/report" "$emu" -b "$bin" -t 30 -f "$work/many"
shown=$(grep -c '^== ' "$work/report") whole=$(grep -c '^status: ' "$work/report")
if [ "$shown" -eq 0 ] || [ "$shown" -ne "$whole" ]; then
	fail "10 000 cases in 30 s: $shown shown, $whole with a status"
fi
echo "ok: 10 000 cases in 30 s: $shown finished and shown"

# Every field on its own line, though the dumper ends neither its output
# nor its error with a newline; CRLF is taken as LF; a second -l locks
# nothing more and every case after the first is labelled locked; a
# trailing backslash carries the line on, its newline kept.
printf '7 8\r\n-u\r\n-l 1\n-l 2\n-c 5 \\\n6\n' >"$work/crlf"
"$emu" -b "$dump" -f "$work/crlf" >"$work/report" 2>/dev/null
want="== lptline 7 8|stdout: 37|stdout: 38|stderr: 2|status: 2|== lptline (as nobody)|stderr: 0|status: 0|"
want+="== lptline 1 (locked down)|stdout: 31|stderr: 1|status: 1|== lptline 2 (locked down)|stdout: 32|stderr: 1|"
want+="status: 1|== lptline 5 \$'\\n6' (as nobody, cap_sys_rawio+ep) (locked down)|stdout: 35|stdout: 0a36|stderr: 2|"
want+="status: 2"
got=$(grep -v '^before\|^after\|^pc\|^port' "$work/report" | tr '\n' '|')
[ "$got" = "$want|" ] || fail "unended output, CRLF, -l twice, a trailing backslash: $(cat -A <<<"$got")"
echo "ok: unended output, CRLF lines, -l twice and a trailing backslash"

# Bad case lines (two lines each): named by their number, nothing booted.
bad=(
	"3|-r 0 3|line 2: -r takes a number of runs from 1"
	"3|-r -2|line 2: -r takes a number of runs from 1"
	"3|1\0002|line 2: a NUL byte, which no argument can hold"
	"-r abc 3|3|line 1: -r takes a number of runs from 1"
	"3|5 'x|line 2: unbalanced quote"
	"-x 3|3|line 1: -x is not a case option"
	"3|5 \\\\|line 2: a backslash ends the last line"
)
for b in "${bad[@]}"; do
	IFS='|' read -r one two pattern <<<"$b"
	printf "%s\n$two\n" "$one" >"$work/bad"
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

finish
