#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# emu/run itself: every argument reaches the PC unchanged, bad input and bad
# conditions (a failing or hanging fetch, a full disk) give one line and a
# failure status (never a hang), signals stop the fetch or the PC at once,
# runs at once share one fetch, a damaged cache is fetched again, a whole
# read-only one is used, and KVM is given up only when it hangs the boot.
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
check "a library the PC lacks" "/bin/ls needs libselinux.so.1, which the bookworm PC lacks" \
	"$emu" -d bookworm -b /bin/ls 3
# A build of a later release: it asks the C library for a version that
# bookworm's lacks (a stand-in library defines it; the binary never runs).
echo 'void later(void) {}' >"$work/later.c" && echo 'GLIBC_2.99 { global: later; };' >"$work/later.map"
cc -shared -fPIC -Wl,--version-script="$work/later.map" -Wl,-soname,libc.so.6 -o "$work/libc.so.6" "$work/later.c"
echo 'void later(void); int main(void) { later(); return 0; }' >"$work/main.c"
cc -nostdlib -e main -o "$work/later" "$work/main.c" "$work/libc.so.6"
check "a later release's build" "$work/later needs the C library's GLIBC_2.99, which the bookworm PC's lacks" \
	"$emu" -d bookworm -b "$work/later" 3
echo x >"$work/bad.deb"
check "not a package" "$work/bad.deb is not a package that dpkg-deb can unpack" "$emu" -b "$work/bad.deb" 3
check "64-bit binary on the 32-bit PC" "64-bit binary" "$emu" -a i386 -b "$bin" 3
check "unknown PC" "-a takes amd64 or i386" "$emu" -a sparc -b "$bin" 3
check "no Debian 13 for the 32-bit PC" "Debian 13 \(trixie\) has no kernel for the 32-bit PC" "$emu" -a i386 -d trixie 3
check "unknown release" "-d takes bookworm or trixie, not 'sid'" "$emu" -d sid -b "$bin" 3
check "no kernel" "no kernel at /nonexistent" env LPTLINE_KERNEL=/nonexistent "$emu" -b "$bin" 3
check "bad timeout" "whole number of seconds from 1 to 99999, not 'soon'" "$emu" -b "$bin" -t soon 3
check "timeout 0" "from 1 to 99999, not '0'" "$emu" -b "$bin" -t 0 3
check "timeout 100000" "from 1 to 99999, not '100000'" "$emu" -b "$bin" -t 100000 3
check "binary is a folder" "-b takes lptline's binary, and /tmp is a folder" "$emu" -b /tmp 3
ln -s loop "$work/loop"
check "binary is a link loop" "$work/loop is a symbolic link that leads nowhere, or in a loop" "$emu" -b "$work/loop" 3
cp "$bin" "$work/arm64"
printf '\xb7\x00' | dd of="$work/arm64" bs=1 seek=18 conv=notrunc 2>/dev/null # e_machine: AArch64
check "arm64 binary" "$work/arm64 is built for AArch64; the 64-bit PC runs x86 binaries" "$emu" -b "$work/arm64" 3
check "cases file is a folder" "-f takes a file of cases, and /tmp is a folder" "$emu" -b "$bin" -f /tmp
check "empty LPTLINE_KERNEL" "LPTLINE_KERNEL is empty: unset it" env LPTLINE_KERNEL= "$emu" -b "$bin" 3
check "kernel command line too long" "command line 2[0-9]{3} characters long; the PC's kernel takes at most 2047" \
	"$emu" -b "$bin" -k "$(printf '%02055d' 0)" 3
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
start=$SECONDS
check "no init, panic=0" "stopped before running every case; its console ended: .*Kernel panic" \
	"$emu" -b "$bin" -t 100 -k 'rdinit=/nonexistent panic=0' 3
[ $((SECONDS - start)) -le 40 ] || fail "a panic with panic=0 took $((SECONDS - start)) s"

# The exit status: 0 when every case ran; with -s, the last case's status
# (the dumper exits with its number of arguments), 125 for emu/run's own
# failures. Expected status, then emu/run's arguments.
for row in "0|-u 3" "1|-s -u 3" "0|-s 3" "3|-s -b $dump a b c" "1|-b /nonexistent 3" "125|-s -b /nonexistent 3" \
	"125|-s -x 3"; do
	read -ra words <<<"${row#*|}"
	"$emu" -b "$bin" "${words[@]}" >/dev/null 2>&1
	status=$?
	[ "$status" -eq "${row%%|*}" ] || fail "emu/run ${row#*|}: status $status, expected ${row%%|*}"
done
echo "ok: exit statuses"

# 10 000 cases: read in seconds, and when the bound cuts the run short,
# the cases finished by then are shown, each whole.
for i in $(seq 10000); do echo "-- -$i"; done >"$work/many"
start=$SECONDS
check "10 000 cases, no binary" "no lptline at /nonexistent" "$emu" -b /nonexistent -f "$work/many"
[ $((SECONDS - start)) -le 15 ] || fail "reading 10 000 cases took $((SECONDS - start)) s"
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
# nor its error with a newline; CRLF is taken as LF.
printf '7 8\r\n-u\r\n' >"$work/crlf"
"$emu" -b "$dump" -f "$work/crlf" >"$work/report" 2>/dev/null
want=$'== lptline 7 8\nstdout: 37\nstdout: 38\nstderr: 2\nstatus: 2\n== lptline (as nobody)\nstderr: 0\nstatus: 0'
got=$(grep -v '^before\|^after\|^pc\|^port' "$work/report")
[ "$got" = "$want" ] || fail "unended output, CRLF: $(cat -A <<<"$got" | tr '\n' ' ')"
echo "ok: unended output and CRLF lines"

# Bad case lines (two lines each): named by their number, nothing booted.
bad=(
	"3|-r 0 3|line 2: -r takes a number of runs from 1"
	"3|-r -2|line 2: -r takes a number of runs from 1"
	"3|1\0002|line 2: a NUL byte, which no argument can hold"
	"-r abc 3|3|line 1: -r takes a number of runs from 1"
	"3|5 'x|line 2: unbalanced quote"
	"-x 3|3|line 1: -x is not a case option"
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

# interrupt SIGNAL STATUS WHAT SAID COMMAND...: once WHAT runs, the signal
# stops the command at once with that status and SAID as its last line, and
# leaves no process of its session behind.
interrupt() {
	local signal=$1 want=$2 what=$3 said=$4 pid status i start left
	shift 4
	setsid env --default-signal=INT "$@" >/dev/null 2>"$work/err" &
	pid=$!
	for i in $(seq 100); do
		pgrep -s "$pid" -f "$what" >/dev/null && break
		sleep 0.1
	done
	start=$SECONDS
	kill -s "$signal" "$pid"
	wait "$pid"
	status=$?
	sleep 0.2
	# A zombie has ended; only its reaping is left.
	left=$(ps -o pid=,stat=,args= -s "$pid" | awk '$2 !~ /^Z/')
	if [ "$status" -ne "$want" ] || [ -n "$left" ] || [ $((SECONDS - start)) -gt 2 ] ||
		[ "$(tail -n1 "$work/err")" != "$said" ]; then
		fail "$signal: status $status, $((SECONDS - start)) s, said '$(tail -n1 "$work/err")', left: ${left:-nothing}"
		pkill -KILL -s "$pid"
	else
		echo "ok: $signal during $what: status $status; $said"
	fi
}
interrupt INT 130 qemu-system "emu/run: interrupted; the emulated PC is stopped" "$emu" -b "$bin" -r 1000 3
interrupt TERM 143 qemu-system "emu/run: terminated; the emulated PC is stopped" "$emu" -b "$bin" -r 1000 3

# The fetch, into a cache of its own. Stand-ins for mmdebstrap: one that
# hangs in the list fetch, one that fails with apt's line, one whose
# package is gone from the mirror (counting its runs).
mkdir -p "$work/mm"
cat >"$work/mm/mmdebstrap" <<'FAKE'
#!/usr/bin/env bash
echo "I: running apt-get update..." >&2
echo run >>"$FAKE_RUNS"
[ "$FAKE_MM" = fail ] && { echo "E: apt-get update failed: 503 Service Unavailable" >&2; exit 1; }
[ "$FAKE_MM" = 404 ] && { echo "E: Failed to fetch http://mirror/linux-image.deb  404  Not Found" >&2; exit 1; }
sleep 600
FAKE
chmod +x "$work/mm/mmdebstrap"
fresh=$work/fresh
mm=(env "PATH=$work/mm:$PATH" "XDG_CACHE_HOME=$fresh" "FAKE_RUNS=$work/mm/runs")
start=$SECONDS
check "-t 3 during the list fetch" "^emu/run: did not finish within 3 s$" "${mm[@]}" FAKE_MM=hang "$emu" -b "$bin" -t 3 3
[ $((SECONDS - start)) -le 5 ] || fail "-t 3 took $((SECONDS - start)) s"
check "apt fails" "^emu/fetch: could not fetch the bookworm amd64 PC: apt-get update failed: 503" \
	"${mm[@]}" FAKE_MM=fail "$emu" -b "$bin" -d bookworm 3
: >"$work/mm/runs"
check "a package gone from the mirror" "^emu/fetch: could not fetch the bookworm amd64 PC: Failed to fetch .* 404  Not Found" \
	"${mm[@]}" FAKE_MM=404 "$emu" -b "$bin" -d bookworm 3
[ "$(wc -l <"$work/mm/runs")" -eq 2 ] || fail "a 404 read the lists $(wc -l <"$work/mm/runs") times, not twice"
interrupt TERM 143 "sleep 600" "emu/run: terminated; the fetch is stopped" "${mm[@]}" FAKE_MM=hang "$emu" -b "$bin" 3
left=$(ls -A "$fresh/lptline")
[ "$left" = lock ] || fail "stopped fetches left: $left"

# Three runs at once on the empty cache: one fetches, the others wait for
# it, and all pass. What stays is the PC's files, without apt's state.
pids=()
for n in 1 2 3; do
	XDG_CACHE_HOME=$fresh "$emu" -b "$bin" -d bookworm 3 >"$work/report$n" 2>"$work/err$n" &
	pids+=($!)
done
for n in 1 2 3; do
	wait "${pids[n - 1]}" || fail "run $n of 3 at once: $(grep -v '\.\.\.$' "$work/err$n")"
	grep -q '^after: .*(0x04)$' "$work/report$n" || fail "run $n of 3 at once: $(grep '^after' "$work/report$n")"
done
fetches=$(cat "$work"/err[123] | grep -c "fetching Debian bookworm's kernel")
[ "$fetches" -eq 1 ] || fail "three runs at once fetched $fetches times"
size=$(du -sm "$fresh/lptline" | cut -f1)
if [ "$size" -gt 40 ] || [ -n "$(find "$fresh" -name lists)" ]; then
	fail "the cache holds $size MB: $(ls -A "$fresh/lptline")"
fi
echo "ok: three runs at once: all passed, $fetches fetch, $(cat "$work"/err[123] | grep -c waiting) waited; cache $size MB"

# The bound covers the whole run at once, a KVM probe included (the copy
# has no mark of a KVM that hangs).
rm -f "$fresh"/lptline/kvm-broken-*
start=$SECONDS
check "-t 1" "did not finish within 1 s" env XDG_CACHE_HOME="$fresh" "$emu" -b "$bin" -d bookworm -t 1 3
[ $((SECONDS - start)) -le 3 ] || fail "-t 1 took $((SECONDS - start)) s"

# Mounts need root: a cache without room for a fetch, a TMPDIR without room
# for the PC, a whole cache that may not be written.
if [ "$(id -u)" -eq 0 ]; then
	mkdir "$work/mnt"
	mount -t tmpfs -o size=20m tmpfs "$work/mnt"
	check "no room for the fetch" "^emu/fetch: $work/mnt/lptline has [0-9]+ MB free; fetching the bookworm amd64 PC needs about [0-9]+ MB there$" \
		env XDG_CACHE_HOME="$work/mnt" "$emu" -b "$bin" -d bookworm 3
	head -c 19m /dev/zero >"$work/mnt/fill"
	check "no room in TMPDIR" "^emu/run: cannot write the PC's initramfs in $work/mnt/tmp\.[^ ]* \(TMPDIR\): [0-9]+ MB free there, about [0-9]+ MB needed$" \
		env TMPDIR="$work/mnt" XDG_CACHE_HOME="$fresh" "$emu" -b "$bin" -d bookworm 3
	umount "$work/mnt"
	mount --bind "$fresh" "$work/mnt" && mount -o remount,bind,ro "$work/mnt"
	XDG_CACHE_HOME=$work/mnt "$emu" -b "$bin" -d bookworm 3 >"$work/report" 2>"$work/err"
	if grep -q '^after: .*(0x04)$' "$work/report"; then
		echo "ok: a whole cache that is read-only is used as it is"
	else
		fail "read-only cache: $(grep -v '\.\.\.$' "$work/err")"
	fi
	umount "$work/mnt"
else
	echo "skip: not root, so no mounts for a full disk or a read-only cache"
fi

# A damaged cache: a truncated kernel and a changed byte in busybox are
# found, and the PC is fetched again, with one line. Without the cache's
# KVM mark, KVM is tried: given up (with one line and how to retry) only if
# it hangs the PC.
pc=$fresh/lptline/bookworm-amd64/root
truncate -s 100000 "$(ls "$pc"/boot/vmlinuz-*)"
printf 'X' | dd of="$(find "$pc" -name busybox)" bs=1 seek=1000 conv=notrunc 2>/dev/null
rm -f "$fresh"/lptline/kvm-broken-*
XDG_CACHE_HOME=$fresh "$emu" -b "$bin" -d bookworm 3 >"$work/report" 2>"$work/err"
status=$?
if [ "$status" -ne 0 ] || ! grep -q '^after: .*(0x04)$' "$work/report"; then
	fail "damaged cache: status $status, $(grep '^after' "$work/report")"
fi
[ "$(grep -c "the cached bookworm amd64 PC is incomplete or damaged; fetching it again" "$work/err")" -eq 1 ] ||
	fail "damaged cache: said $(grep -v '\.\.\.$' "$work/err")"
if grep -q 'KVM hung' "$work/err"; then
	mark=$(ls "$fresh"/lptline/kvm-broken-* 2>/dev/null)
	grep -qF "rm $mark" "$work/err" || fail "KVM hung, but no mark or no way to retry: $(grep KVM "$work/err")"
	echo "ok: KVM hangs this PC: $(grep 'KVM hung' "$work/err")"
fi
echo "ok: damaged cache: $(grep damaged "$work/err")"

# KVM is given up only when the boot hangs, never for slow or failing cases:
# a stand-in qemu whose KVM boot starts its report at once, then takes
# longer than the probe to report a refused run.
if [ -r /dev/kvm ] && [ -w /dev/kvm ]; then
	mkdir -p "$work/fake"
	cat >"$work/fake/qemu-system-x86_64" <<'FAKE'
#!/usr/bin/env bash
echo boot >>"$BOOTS"
while [ $# -gt 0 ]; do
	case $1 in -serial) [[ $2 == file:* ]] && report=${2#file:}; shift ;; esac
	shift
done
echo '@@ start' >"$report"
sleep 12
printf '%s\n' 'pc: fake' '== 1' 'stderr: ioperm: Operation not permitted' 'status: 1' '@@ end' >>"$report"
FAKE
	chmod +x "$work/fake/qemu-system-x86_64"
	rm -f "$fresh"/lptline/kvm-broken-*
	PATH=$work/fake:$PATH BOOTS=$work/boots XDG_CACHE_HOME=$fresh "$emu" -b "$bin" -d bookworm 3 >/dev/null 2>"$work/err"
	if ls "$fresh"/lptline/kvm-broken-* >/dev/null 2>&1 || grep -qE 'KVM (hung|failed)' "$work/err" ||
		[ "$(wc -l <"$work/boots")" -ne 1 ]; then
		fail "slow cases under KVM: $(wc -l <"$work/boots") boots, said $(cat "$work/err")"
	else
		echo "ok: cases that outlast the probe, and fail, leave KVM in use; one boot"
	fi
else
	echo "skip: no usable /dev/kvm, so no KVM to give up"
fi

finish
