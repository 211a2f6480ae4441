#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# emu/run's report is the truth: one boot of cases that try to fool it
# (forged arguments and output, a death by signal and its look-alike, a
# process left behind that plants FIFOs where the PC keeps its files, a case
# that fills the disks it may write, its output's or the PC's memory, IPC
# and ptrace that would reach beyond a case, a PC that stops early), in
# which QEMU shows each access to the port: writes twice, a read, the
# status and control registers; a root program that forges the report,
# which cannot forge what QEMU saw; traces that do not match the report;
# then the errors a developer meets, each one line: bad options and cases,
# a wrong binary or package, none built, a missing tool or home, a fetch
# that fails or meets the security suite mid-sync, the bound, Ctrl-C,
# Ctrl-\ and kill -9, after which nothing is left running, and which the
# next fetch clears up after; a closed pipe ends it quietly.
# usage: emu_harness_test.sh EMU-RUN BINARY STAND-IN (static, amd64)
set -u
emu=$1 bin=$2 stand_in=$3
# shellcheck source=testlib.sh
. "$(dirname "$0")/testlib.sh"
# shellcheck source=emulib.sh
. "$(dirname "$0")/emulib.sh"

# Row: a case line of the stand-in's, and the report's lines for it but
# before, after and elapsed's figures, joined by "|". Raw bytes: \r, ESC,
# 0xff, U+0085 and U+2028 apart from a lone 0x85.
odd=$'status: 0\r\e[2J\\x41'
rows=(
	"-u linger /tmp / /run/emu /run/out|== -u linger /tmp / /run/emu /run/out|port: none|status: 0"
	"-u fill /tmp /|== -u fill /tmp /|port: none|stdout: /tmp: No space left on device|stdout: /: Permission denied|status: 0"
	"-r 2 x|== -r 2 x|port: none|stdout: 78|stderr: 1|status: 1|elapsed: 2 runs"
	"others|== others|port: none|status: 0"
	"-u -r 2 others linger|== -u -r 2 others linger|port: none|status: 0|elapsed: 2 runs"
	"-u ipc|== -u ipc|port: none|stdout: msgget: No space left on device|stdout: semget: Invalid argument|stdout: shmget: No space left on device|stdout: mq_open: No space left on device|stdout: add_key: Required key not available|status: 0"
	"kill 11|== kill 11|port: none|signal: 11 (SIGSEGV)"
	"kill 35|== kill 35|port: none|signal: 35 (a real-time signal)"
	"fail 139 'Segmentation fault'|== fail 139 'Segmentation fault'|port: none|stderr: Segmentation fault|stderr ends without a newline|status: 139"
	"echo '@@ done 9' '@@ end' 'reg A.' '$odd' '"$'\xff'"'|== echo '@@ done 9' '@@ end' 'reg A.' \$'status: 0\\x0d\\x1b[2J\\\\x41' \$'\\xff'|port: none|stdout: @@ done 9|stdout: @@ end|stdout: reg A.|stdout: status: 0\\x0d\\x1b[2J\\\\x41|stdout: \\xff|stderr: @@ done 9|stderr: @@ end|stderr: reg A.|stderr: status: 0\\x0d\\x1b[2J\\\\x41|stderr: \\xff|status: 0"
	"echo '"$'\xc2\x85,\x85,\xe2\x80\xa8'"'|== echo \$'\\u0085,\\x85,\\u2028'|port: none|stdout: \\u0085,\\x85,\\u2028|stderr: \\u0085,\\x85,\\u2028|status: 0"
	"'@@ done 12' \"== 3\" status:\\ 0 # a comment|== '@@ done 12' '== 3' 'status: 0'|port: none|stdout: 404020646f6e65203132|stdout: 3d3d2033|stdout: 7374617475733a2030|stderr: 3|status: 3"
	"-u stdin|== -u stdin|port: none|stdout: read 0 bytes|status: 0"
	"-u traceme|== -u traceme|port: none|stdout: ptrace: Operation not permitted|status: 0"
	"-u oom|== -u oom|port: none|stdout: oom_score_adj 1000, its parent's -1000; lowered to 0: Permission denied|signal: 9 (SIGKILL)"
	"fill /run/out|== fill /run/out|port: none|output filled the PC's 16 MB for it; anything more was lost|status: 0"
	"port w0=00 w0=04|== port w0=00 w0=04|port: write data 0x00, write data 0x04|status: 0"
	"port r0 w0=04|== port r0 w0=04|port: read data 0x04, write data 0x04|status: 0"
	"port w1=00 w2=cc|== port w1=00 w2=cc|port: write status 0x00, write control 0xcc|status: 0"
	"-r 3 port w0=04 w0=04|== -r 3 port w0=04 w0=04|port: write data 0x04 (6 times)|status: 0|elapsed: 3 runs"
)
# Every byte that a case line can hold, in single quotes: all but NUL, the
# newline and the quote itself. Then an argument too long for the PC to
# start a program with, whose shell's message is not the program's.
every=$(printf '%b' "$(printf '\\x%02x' $(seq 1 9) $(seq 11 38) $(seq 40 255))")
long=$(head -c 140000 /dev/zero | tr '\0' a)
{
	for row in "${rows[@]}"; do echo "${row%%|==*}"; done
	echo
	printf "'%s'\n" "$every"
	echo "$long"
	echo poweroff
	echo never
} >"$work/cases"

# shown: each case of the report as one line, its label and lines but
# before and after, elapsed's figures left out.
shown() {
	awk '/^== / { if (n++) print line; line = $0; next }
		/^(before|after): / { next }
		/^elapsed: / { sub(/^elapsed: .* for /, "elapsed: "); sub(/ runs,.*/, " runs") }
		n { line = line "|" $0 } END { if (n) print line }' "$work/report"
}
"$emu" -b "$stand_in" -f "$work/cases" >"$work/report" 2>"$work/err"
status=$?
[ "$status" -eq 1 ] || fail "a PC that stopped early: status $status, expected 1"
want="stopped after $((${#rows[@]} + 2)) of $((${#rows[@]} + 4)) cases"
grep -q "$want" "$work/err" || fail "a PC that stopped early: said $(grep -v '\.\.\.$' "$work/err")"
mapfile -t cases < <(shown)
for i in "${!rows[@]}"; do
	want=${rows[i]#*|}
	[ "${cases[i]-}" = "$want" ] || fail "case $((i + 1)): $(cat -v <<<"${cases[i]-none}"), expected $(cat -v <<<"$want")"
done
dumped=$(printf '%s' "$every" | od -An -v -tx1 | tr -d ' \n')
[[ ${cases[${#rows[@]}]-} == *"|stdout: $dumped|stderr: 1|status: 1" ]] || fail "every byte: ${cases[${#rows[@]}]-none}"
[[ ${cases[${#rows[@]} + 1]-} =~ ^"== $long|port: none|shell: ".*"time: Argument list too long|exec: failed"$ ]] ||
	fail "too long an argument: $(cut -c 140000- <<<"${cases[${#rows[@]} + 1]-none}")"
[ "${#cases[@]}" -eq $((${#rows[@]} + 2)) ] || fail "${#cases[@]} cases shown, expected $((${#rows[@]} + 2))"
LC_ALL=C grep -q '[[:cntrl:]]' "$work/report" && fail "control characters in the report"
echo "ok: ${#cases[@]} cases that try to fool the report, then an early stop"

# As root, a program can forge the report's status and end, which stops it
# there, but not what QEMU saw it do to the port.
"$emu" -b "$stand_in" forge 1 >"$work/report" 2>"$work/err"
status=$?
said=$(grep -v '\.\.\.$' "$work/err")
if [ "$status" -ne 1 ] || [[ $said != *"stopped after 1 of 1 cases"* ]]; then
	fail "the forger: status $status, said $said"
fi
forged="before: lines 8..1: 1 0 1 0 1 0 1 0 (0xaa)|after: lines 8..1: 0 0 0 1 0 0 0 1 (0x11)|port: write data 0x11|status: 0"
if ! run_block "forge 1" || [ "$(grep -v '^==' "$work/block" | paste -sd'|')" != "$forged" ]; then
	fail "the forger's case: $(paste -sd'|' "$work/report")"
fi
echo "ok: a forged report shows what QEMU saw"

# A trace that cannot be matched with the report's cases fails the run. A
# stand-in QEMU writes a report of one finished case and a trace: the PC's
# own read, then a row's words (+: a case's start mark, -: its end, w: a
# write of 0x04 to the data register, cut: one cut short; none: no trace;
# stop: the PC stops before its end; big: a trace past the limit).
mkdir -p "$work/tq"
cat >"$work/tq/qemu-system-x86_64" <<'EOF'
#!/usr/bin/env bash
for arg; do
	case $arg in
	file:*/report) report=${arg#file:} ;;
	*/trace) trace=$arg ;;
	esac
done
printf '@@ start\npc fake\nport 0x378\n@@ cases\nstatus 0\n@@ done 1\n' >"$report"
[[ " $FAKE_TRACE " == *" stop "* ]] || echo "@@ end" >>"$report"
echo "parallel_ioport_read read [SW] addr 0x00 val 0xaa" >"$trace"
for word in $FAKE_TRACE; do
	case $word in
	+) echo "pci_cfg_read i440FX 00:00.0 @0xf0 -> 0x0" ;;
	-) echo "pci_cfg_read i440FX 00:00.0 @0xf1 -> 0x0" ;;
	w) echo "parallel_ioport_write write [SW] addr 0x00 val 0x04" ;;
	cut) printf 'parallel_ioport_write write [SW] addr 0x00 val 0x0' ;;
	none) : >"$trace" ;;
	big) exec head -c 100000000 /dev/zero ;;
	esac >>"$trace"
done
EOF
chmod +x "$work/tq/qemu-system-x86_64"
while IFS='|' read -r what trace line; do
	if [ "$line" = - ]; then
		PATH=$work/tq:$PATH FAKE_TRACE=$trace "$emu" -b "$bin" 3 >"$work/report" 2>/dev/null
		if ! run_block 3 || [ "$(field port)|$(field after)" != "write data 0x04|lines 8..1: 0 0 0 0 0 1 0 0 (0x04)" ]; then
			fail "$what: $(paste -sd'|' "$work/report")"
		else
			echo "ok: $what: $(field port)"
		fi
	else
		check "$what" "^emu/run: $line$" env PATH="$work/tq:$PATH" FAKE_TRACE="$trace" "$emu" -b "$bin" 3
	fi
done <<'ROWS'
a trace that matches|+ w -|-
no trace events|none|QEMU traced no access to the parallel port: has qemu-system-x86_64 parallel_ioport_read and parallel_ioport_write\?
no marks|w|QEMU's trace ends 0 cases, the PC's report 1
a trace cut short|+ w cut|QEMU's trace ends 0 cases, the PC's report 1
more marks than cases|+ - + w -|QEMU's trace ends 2 cases, the PC's report 1
more marks, then an early stop|stop + w - + w - +|QEMU's trace ends 2 cases, the PC's report 1
a trace past the limit|+ w big|QEMU's trace of the port or the report reached its 64 MB limit: a case touched the port a million times, or wrote as much
an end before a start|- + w -|QEMU's trace marks case 1 out of order
two starts|+ + w -|QEMU's trace marks case 1 out of order
an access after a case|+ - w|QEMU's trace shows the port accessed after case 1
ROWS

# Errors before the boot, and what a fetch meets. Stand-ins: mmdebstrap
# fails as apt does, or finds the security suite mid-sync unless its setup
# hook drops it, then gives the shared cache's PC, or hangs (deaf to TERM
# with "deaf"); QEMU fails at once.
shared=${XDG_CACHE_HOME:-$HOME/.cache}/lptline/bookworm-amd64
mkdir -p "$work/mm" "$work/qemu" "$work/pc/boot" "$work/tmp"
(cd "$work/pc" && cpio --quiet -i <"$shared/cpio") && cp "$shared/vmlinuz" "$work/pc/boot/vmlinuz-6.1"
cat >"$work/mm/mmdebstrap" <<'EOF'
#!/usr/bin/env bash
case $FAKE in
fail) echo "E: Failed to fetch http://mirror.example/debian/dists/bookworm/InRelease  503  Service Unavailable" >&2 && exit 1 ;;
hang) exec sleep 600 ;;
deaf) trap '' TERM && sleep 600 ;;
security) if [[ $* != *--setup-hook=*-security* ]]; then
	echo "E: Failed to fetch http://mirror.example/debian-security/dists/bookworm-security/main/binary-amd64/Packages.xz  File has unexpected size (1 != 2). Mirror sync in progress?" >&2
	exit 100
fi ;;
esac
echo "Fetched 1,024 kB in 0s (9 MB/s)" >&2 && exec tar -C "$FAKE_PC" -c .
EOF
printf '#!/bin/sh\necho "qemu: no such machine" >&2\nexit 1\n' >"$work/qemu/qemu-system-x86_64"
chmod +x "$work/mm/mmdebstrap" "$work/qemu/qemu-system-x86_64"
printf '3\n5 "x\n' >"$work/unbalanced" && printf '3\0\n' >"$work/nul" && printf -- '-x 3\n' >"$work/option"
mkdir "$work/nompc" && ln -s "$(command -v cpio)" "$(command -v tar)" "$work/nompc/"
fetching=(env "PATH=$work/mm:$work/qemu:$PATH" "FAKE_PC=$work/pc" "XDG_CACHE_HOME=$work/xdg")
check "bad option" "^emu/run: option -x not recognized \(emu/run -h shows the usage\)$" "$emu" -x 3
check "bad port" "-p takes a port address from 0 to 0xfff8 \(hex with 0x\), not '0x37g'" "$emu" -p 0x37g 3
check "bad -r" "-r takes a number of runs from 1 to 99999, not '0'" "$emu" -r 0 3
check "huge -r" "-r takes a number of runs from 1 to 99999, not '99999999999999999999'" \
	"$emu" -r 99999999999999999999 3
check "huge -t" "-t takes a number of seconds from 1 to 99999, not '1000000'" "$emu" -t 1000000 3
# shellcheck disable=SC2016 # the inner shell expands it
check "closed output" "^emu/run: standard output is closed, so the report could go nowhere$" \
	sh -c '"$0" 3 >&-' "$emu"
mkfifo "$work/fifo"
check "a FIFO for cases" "^emu/run: $work/fifo is not a file$" "$emu" -t 3 -f "$work/fifo"
check "unbalanced quote" "$work/unbalanced line 2: No closing quotation$" "$emu" -f "$work/unbalanced"
check "NUL in a case" "$work/nul line 1: a NUL byte" "$emu" -f "$work/nul"
check "bad case option" "$work/option line 1: option -x not recognized$" "$emu" -f "$work/option"
check "no binary" "^emu/run: no lptline at /nonexistent$" "$emu" -b /nonexistent 3
# A copy of the harness, with nothing built beside it.
mkdir -p "$work/tree" && cp -r "$(dirname "$emu")" "$work/tree/emu"
for arch in amd64:default i386:i386; do
	check "none built for ${arch%:*}" "^emu/run: no lptline at $work/tree/build/${arch#*:}/lptline: build it first \(cmake --preset ${arch#*:} && cmake --build --preset ${arch#*:}\)$" \
		"$work/tree/emu/run" -a "${arch%:*}" 3
done
mkdir -p "$work/deb/DEBIAN" "$work/deb/usr/sbin"
printf 'Package: lptline\nVersion: 1\nArchitecture: amd64\nMaintainer: T <t@t>\nDescription: t\n' >"$work/deb/DEBIAN/control"
dpkg-deb -b "$work/deb" "$work/empty.deb" >/dev/null && cp "$bin" "$work/deb/usr/sbin/lptline"
dpkg-deb -b "$work/deb" "$work/ungranted.deb" >/dev/null
check "a package without lptline" "^emu/run: no lptline at $work/empty.deb's /usr/sbin/lptline$" \
	"$emu" -b "$work/empty.deb" 3
check "a package without its grant" "^emu/run: $work/ungranted.deb has no postinst, which would grant lptline$" \
	"$emu" -b "$work/ungranted.deb" 3
check "two users" "-u, -c, -g, -o and -G exclude each other" "$emu" -u -c 3
check "no case file" "^emu/run: cannot read $work/none: No such file or directory$" "$emu" -f "$work/none"
check "not a program" "^emu/run: $work/cases is not an ELF program$" "$emu" -b "$work/cases" 3
echo 'int f(void) { return 0; }' >"$work/object.c" && cc -c -o "$work/object.o" "$work/object.c"
check "an object file" "^emu/run: $work/object.o is not an ELF program$" "$emu" -b "$work/object.o" 3
check "the other PC's binary" "is not an i386 program, which the 32-bit PC runs$" \
	"$emu" -a i386 -b "$bin" 3
check "no QEMU" "^emu/run: qemu-system-x86_64 is missing; tools/deps installs it$" \
	env PATH="$work/nompc" "$emu" -b "$bin" 3
check "no mmdebstrap" "^emu/run: mmdebstrap is missing; tools/deps installs it$" \
	env PATH="$work/nompc:$work/qemu" XDG_CACHE_HOME="$work/empty" "$emu" -b "$bin" 3
check "no HOME" "^emu/run: HOME \($work/none\) is no folder: set XDG_CACHE_HOME" \
	env -u XDG_CACHE_HOME HOME="$work/none" "$emu" -b "$bin" 3
[ ! -e "$work/none" ] || fail "a HOME that does not exist was made"
check "a fetch that fails" "could not fetch the bookworm amd64 PC: Failed to fetch .* 503  Service Unavailable$" \
	"${fetching[@]}" FAKE=fail "$emu" -d bookworm -b "$bin" 3
[ -z "$(ls -A "$work/xdg/lptline")" ] || [ "$(ls -A "$work/xdg/lptline")" = lock ] ||
	fail "a failed fetch left $(ls -A "$work/xdg/lptline")"
[ "$(stat -c %a "$work/xdg")" = 700 ] || fail "XDG_CACHE_HOME was made with mode $(stat -c %a "$work/xdg")"
# Fetched, the PC boots on the stand-in QEMU, which fails.
"${fetching[@]}" FAKE=security "$emu" -d bookworm -b "$bin" 3 2>"$work/said"
if ! grep -q "^emu/run: qemu-system-x86_64 failed (1): qemu: no such machine$" "$work/said" ||
	! grep -q "^emu/run: Debian's security suite is mid-sync; taking bookworm without it\.\.\.$" "$work/said"; then
	fail "the security suite mid-sync: $(cat "$work/said")"
fi
grep -q "^emu/run: downloaded 1,024 kB in [0-9]* s; the bookworm amd64 PC takes [0-9]* MB in $work/xdg/lptline/bookworm-amd64$" \
	"$work/said" || fail "a fetch's closing line: $(cat "$work/said")"
"$emu" -h | grep -q '^Exit status: 0 every case ran' || fail "emu/run -h: $("$emu" -h | head -n 1)"
# Into a pipe whose reader has gone, the usage or a report; with standard
# error closed, a usage error, which must not go into the report.
(sleep 0.2 && exec "$emu" -h) 2>"$work/said" | head -c 0
piped=${PIPESTATUS[0]}
(sleep 0.2 && PATH=$work/tq:$PATH FAKE_TRACE="+ w -" exec "$emu" -b "$bin" 3) 2>>"$work/said" | head -c 0
piped="$piped ${PIPESTATUS[0]}"
if [ "$piped" != "141 141" ] || grep -v '\.\.\.$' "$work/said"; then
	fail "emu/run into a closed pipe: status $piped"
fi
"$emu" -p 0x37g 3 2>&- >"$work/out"
status=$?
if [ "$status" -ne 2 ] || [ -s "$work/out" ]; then
	fail "usage with standard error closed: status $status, wrote $(cat "$work/out")"
fi

# Stopped: Ctrl-C during a fetch deaf to TERM and during a boot, Ctrl-\
# during a boot, the bound during a fetch, kill -9 during a boot and during
# a fetch. All but the last two say one line with their status, and leave
# nothing in TMPDIR, in the cache or running; kill -9 leaves nothing
# running.
mark=LPTLINE_TEST_MARK=$$
left() {
	grep -lsa "$mark" /proc/[0-9]*/environ | cut -d/ -f3 | tr '\n' ' '
}
# running WORD: waits, 10 s at most, for a process of the run whose command
# line holds WORD.
running() {
	local pid
	for _ in $(seq 100); do
		for pid in $(left); do
			tr '\0' ' ' 2>/dev/null <"/proc/$pid/cmdline" | grep -q -- "$1" && return 0
		done
		sleep 0.1
	done
	return 1
}
while read -r stop status fake what line; do
	rm -rf "$work/xdg" "$work/tmp" && mkdir "$work/tmp"
	cmd=(env "$mark" TMPDIR="$work/tmp")
	[ "$fake" = - ] || cmd+=("${fetching[@]}" "FAKE=$fake")
	"${cmd[@]}" "$emu" -t 3 -d bookworm -b "$bin" 3 >/dev/null 2>"$work/err" &
	pid=$!
	running "$what" || fail "$stop during $what: it never ran"
	start=$SECONDS
	[ "$stop" = - ] || kill "-$stop" "$pid"
	{ wait "$pid"; } 2>/dev/null
	got=$?
	sleep 0.5
	said=$(grep -v '\.\.\.$' "$work/err")
	if [ "$stop" = KILL ]; then
		[ -z "$(left)" ] || fail "kill -9 during $what left $(left)"
	elif [ "$got" -ne "$status" ] || [ "$said" != "emu/run: $line" ] || [ -n "$(left)" ] ||
		[ -n "$(find "$work/tmp" "$work/xdg/lptline" -mindepth 1 ! -name lock 2>/dev/null)" ]; then
		fail "$stop during $what: status $got, said '$said', left $(left)" \
			"$(find "$work/tmp" "$work/xdg/lptline" -mindepth 1 ! -name lock 2>/dev/null)"
	fi
	echo "ok: $stop during $what: status $got after $((SECONDS - start)) s${said:+; }$said"
done <<'ROWS'
INT 130 deaf sleep interrupted
INT 130 - qemu-system interrupted
QUIT 131 - qemu-system quit
- 1 hang sleep did not finish within 3 s
KILL 137 - qemu-system -
KILL 137 hang sleep -
ROWS
left | xargs -r kill -KILL
# What the fetch killed outright left, the next one clears.
fetched() {
	find "$work/tmp" "$work/xdg/lptline" -mindepth 1 -maxdepth 1 \( -name 'lptline-fetch.*' -o -name '.fetch-*' \)
}
[ "$(fetched | wc -l)" -eq 2 ] || fail "a fetch killed outright left $(fetched)"
env TMPDIR="$work/tmp" "${fetching[@]}" FAKE=ok "$emu" -d bookworm -b "$bin" 3 2>/dev/null
[ -z "$(fetched)" ] || fail "the next fetch left $(fetched)"
finish
