#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# emu/run itself: every argument reaches the PC unchanged, case files read as
# HACKING.md says, a report that nothing a case writes can forge, and bad
# input refused before any boot with one line and the documented status.
# Few boots, each running many cases.
# usage: emu_errors_test.sh EMU-RUN BINARY ARGV-DUMP (both static, amd64)
set -u
emu=$1 bin=$2 dump=$3
# shellcheck source=testlib.sh
. "$(dirname "$0")/testlib.sh"
# shellcheck source=emulib.sh
. "$(dirname "$0")/emulib.sh"

# Refused before any boot: where a row's own fault is not the binary's, the
# binary is /nonexistent, which emu/run checks last before the boot.
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
check "empty -b" "-b takes a file name, not an empty value" "$emu" -b '' 3
check "empty -f" "-f takes a file name, not an empty value" "$emu" -b /nonexistent -f ''
check "unknown PC" "-a takes amd64 or i386" "$emu" -a sparc -b "$bin" 3
check "no Debian 13 for the 32-bit PC" "Debian 13 \(trixie\) has no kernel for the 32-bit PC" "$emu" -a i386 -d trixie 3
check "unknown release" "-d takes bookworm or trixie, not 'sid'" "$emu" -d sid -b "$bin" 3
check "bad timeout" "whole number of seconds from 1 to 99999, not 'soon'" "$emu" -b "$bin" -t soon 3
check "timeout 100000" "from 1 to 99999, not '100000'" "$emu" -b "$bin" -t 100000 3
check "binary is a folder" "no lptline at /tmp \(a folder\)" "$emu" -b /tmp 3
ln -s loop "$work/loop"
check "binary is a link loop" "no lptline at $work/loop \(a link that leads nowhere, or in a loop\)" "$emu" -b "$work/loop" 3
# e_machine AArch64; x32 (32-bit class, x86-64 machine); e_type ET_REL.
for kind in "arm64|18|\xb7\x00|is built for AArch64; the 64-bit PC runs x86-64 binaries$" \
	"x32|4|\x01|is built for x32; the 64-bit PC runs x86-64 binaries$" \
	"object|16|\x01\x00|is an ELF file of type 1, not a program"; do
	IFS='|' read -r name at bytes said <<<"$kind"
	cp "$bin" "$work/$name"
	printf '%b' "$bytes" | dd of="$work/$name" bs=1 seek="$at" conv=notrunc 2>/dev/null
	check "$name binary" "$work/$name $said" "$emu" -b "$work/$name" 3
done
check "64-bit binary on the 32-bit PC" "built for x86-64; the 32-bit PC runs i386 binaries: build it with cmake --preset i386$" \
	"$emu" -a i386 -b "$bin" 3
check "cases file is a folder" "cannot read /tmp: Is a directory" "$emu" -b "$bin" -f /tmp
# The bound is in bytes: 1000 two-byte characters.
check "kernel command line too long" "command line 2[0-9]{3} bytes long; the PC's kernel takes at most 2047" \
	"$emu" -b "$bin" -k "$(printf 'é%.0s' $(seq 1000))" 3
for port in 0xfff9 0xfffe 65529 0x37g ''; do
	check "port '$port'" "-p takes a port address from 0 to 0xfff8 .*not '$port'" "$emu" -b "$bin" -p "$port" 3
done
check "port on COM2" "-p 0x2fc would put the parallel port over the PC's COM2, which carries the report \(0x2f8 to 0x2ff\)" \
	"$emu" -b "$bin" -p 0x2fc 3
check "no HOME" "neither HOME nor XDG_CACHE_HOME" env -u HOME -u XDG_CACHE_HOME "$emu" -b "$bin" 3
check "unwritable cache" "cannot write the cache folder /dev/null/lptline" env XDG_CACHE_HOME=/dev/null "$emu" -b "$bin" 3
check "no TMPDIR" "^emu/run: TMPDIR /nonexistent is not a folder that emu/run may write in$" \
	env TMPDIR=/nonexistent "$emu" -b "$bin" 3
check "-r 0 on the command line" "-r takes a number of runs from 1" "$emu" -b "$bin" -r 0 3
check "cases beside -f" "-f takes every case" "$emu" -b "$bin" -u -f /dev/null
# shellcheck disable=SC2016 # the inner shell expands them
check "unwritable output" "^emu/run: cannot write the report to standard output: No space left on device$" \
	sh -c 'exec "$0" -h >/dev/full' "$emu"
# A value that begins with a dash is still a file name.
printf '3\n' >"$work/-x"
# shellcheck disable=SC2016 # the inner shell expands them
check "-f -x" "no lptline at /nonexistent" sh -c 'cd "$0" && exec "$1" -b /nonexistent -f -x' "$work" "$emu"
# shellcheck disable=SC2016 # the inner shell expands them
check "-b -x" "no lptline at -x: build it first" sh -c 'cd "$0" && exec "$1" -b -x 3' "$work" "$emu"

# A binary named with a leading dash is a file to readelf too; one too big
# for the PC's memory is refused before it is read.
cp /bin/ls "$work/-ls"
# shellcheck disable=SC2016 # the inner shell expands them
check "-b -ls" "^emu/run: -ls needs libselinux.so.1" sh -c 'cd "$0" && exec "$1" -d bookworm -b -ls 3' "$work" "$emu"
cp "$bin" "$work/huge" && truncate -s 100G "$work/huge"
check "a binary of 100 GB" "huge is 107374182400 bytes; the PC takes a binary of at most 67108864$" \
	"$emu" -b "$work/huge" 3
rm -f "$work/huge"
# Values are shown, not obeyed: a newline or an escape sequence in one.
check "a newline in -p" "-p takes a port address .*not '1\\\\x0a2'" "$emu" -b "$bin" -p $'1\n2' 3
check "an escape sequence as an option" "unknown option -\\\\x1b\\]0;t\\\\x07" "$emu" -b "$bin" $'-\e]0;t\a' 3
# shellcheck disable=SC2016 # the inner shell expands them
check "-h, its output closed" "^emu/run: cannot write the report: standard output is closed$" \
	sh -c 'exec "$0" -h >&-' "$emu"

# Missing tools are named, whatever else is wrong (PATH holds all the
# others).
mkdir "$work/tools"
for tool in qemu-system-x86_64 mmdebstrap cpio readelf dpkg-deb; do
	ln -s "$(command -v "$tool")" "$work/tools/$tool"
done
echo x >"$work/bad.deb"
rm "$work/tools/readelf"
check "no readelf" "readelf is missing; install it with tools/deps \(package binutils\)" \
	env PATH="$work/tools" "$emu" -b "$bin" 3
rm "$work/tools/dpkg-deb"
ln -s "$(command -v readelf)" "$work/tools/readelf"
check "no dpkg-deb" "dpkg-deb is missing; install it with tools/deps \(package dpkg\)" \
	env PATH="$work/tools" "$emu" -b "$work/bad.deb" 3
mkdir "$work/segv" && printf '#!/bin/sh\nkill -SEGV $$\n' >"$work/segv/qemu-system-x86_64" && chmod +x "$work/segv"/*
check "QEMU killed by a signal" "^emu/run: qemu-system-x86_64 was killed by signal 11$" \
	env PATH="$work/segv:$PATH" "$emu" -b "$bin" 3

# Bounds, refused before the boot: an argument of the PC kernel's 131072
# bytes (with its NUL), all of a case's together, an endless case file.
head -c 131072 /dev/zero | tr '\0' a >"$work/long"
check "an argument over the kernel's bound" "$work/long line 1: argument 1 is 131072 bytes long; the PC's kernel takes at most 131071" \
	"$emu" -b /nonexistent -f "$work/long"
{ printf -- '-u -- x '; head -c 131072 /dev/zero | tr '\0' a; } >"$work/long2"
check "the second argument, as nobody" "line 1: argument 2 is 131072 bytes long" "$emu" -b /nonexistent -f "$work/long2"
for _ in $(seq 9); do head -c 120000 /dev/zero | tr '\0' c && echo " \\"; done >"$work/total"
echo d >>"$work/total"
check "all of a case's arguments" "$work/total line 1: the arguments take 1080091 bytes .* at most 1048576" \
	"$emu" -b /nonexistent -f "$work/total"
mapfile -t words < <(head -n 9 "$work/total" | cut -d' ' -f1)
check "all of them, on the command line" "^emu/run: the arguments take 1080081 bytes .* at most 1048576 \(emu/run -h" \
	"$emu" -b /nonexistent -u "${words[@]}"
start=$SECONDS
check "an endless case file" "^emu/run: /dev/zero is over 4194304 bytes, which emu/run reads at most$" \
	"$emu" -b /nonexistent -f /dev/zero
# shellcheck disable=SC2016 # the inner shell expands them
check "endless cases on standard input" "standard input is over 4194304 bytes" sh -c 'yes 3 | "$0" -b /nonexistent -f -' "$emu"
[ $((SECONDS - start)) -le 10 ] || fail "the endless case files took $((SECONDS - start)) s"
start=$SECONDS
# shellcheck disable=SC2016 # the inner shell expands them
check "-t 2 while the cases come" "did not finish within 2 s" \
	bash -c '"$0" -b "$1" -t 2 -f - < <(exec 2>/dev/null; sleep 25; echo 3)' "$emu" "$bin"
[ $((SECONDS - start)) -le 4 ] || fail "-t 2 while the cases came took $((SECONDS - start)) s"

# Bad case lines: named by their number.
bad=(
	"3|-r 0 3|line 2: -r takes a number of runs from 1"
	"3|1\0002|line 2: a NUL byte, which no argument can hold"
	"-r abc 3|3|line 1: -r takes a number of runs from 1"
	"3|5 'x|line 2: unbalanced quote"
	"\"3|5|line 1: unbalanced quote"
	"-x 3|3|line 1: -x is not a case option"
	"3|\$'\\\\q'|line 2: \\$'...' knows no \\\\q"
	"# only|  # comments|has no case"
	"3|\$'\\\\x00'|line 2: \\$'...' cannot hold \\\\x00, a NUL byte"
)
printf '3\n5 \134' >"$work/bad"
check "a backslash at the file's end" "$work/bad line 2: a backslash ends the last line" "$emu" -b /nonexistent -f "$work/bad"
for b in "${bad[@]}"; do
	IFS='|' read -r one two pattern <<<"$b"
	printf "%s\n$two\n" "$one" >"$work/bad"
	check "case lines '$one', '$two'" "$work/bad $pattern" "$emu" -b /nonexistent -f "$work/bad"
done

# Exit statuses that need no boot: 2 for a usage error, 125 with -s.
for row in "1|-b /nonexistent 3" "125|-s -b /nonexistent 3" "125|-s -x 3" "125|-x -s 3" "2|-x 3" "2|-t soon 3" \
	"2|-a sparc 3" "2|-d sid 3" "2|-p 0x37g 3" "2|-r 0 3" "2|-a" "0|-h"; do
	read -ra words <<<"${row#*|}"
	"$emu" -b "$bin" "${words[@]}" >"$work/out" 2>/dev/null
	status=$?
	[ "$status" -eq "${row%%|*}" ] || fail "emu/run ${row#*|}: status $status, expected ${row%%|*}"
done
grep -q '^usage: emu/run ' "$work/out" || fail "emu/run -h: no usage on standard output"
"$emu" -p zz 2>/dev/full
status=$?
[ "$status" -eq 2 ] || fail "a usage error whose message cannot be written: status $status, expected 2"
grep -q '^Exit status: 0 ' "$work/out" || fail "emu/run -h: no exit statuses"
echo "ok: exit statuses"

# The rest boots. outputs REPORT: each case's standard output, one line a
# case, its lines joined by spaces.
outputs() {
	awk '/^== / { if (n++) print out; out = ""; next }
		/^stdout: / { out = out (out == "" ? "" : " ") substr($0, 9) } END { if (n) print out }' "$1"
}
# plain REPORT: fails unless the report is plain lines of its own keys.
plain() {
	if LC_ALL=C grep -q '[[:cntrl:]]' "$1"; then
		fail "$1: control characters in the report"
	elif grep -vqE '^(pc|port|before|after|setcap|grant|stdout|stderr|status|elapsed): |^== ' "$1"; then
		fail "$1: a line of no key: $(grep -vE '^(pc|port|before|after|setcap|grant|stdout|stderr|status|elapsed): |^== ' "$1" | head -n 1)"
	fi
}

# hex ARG: ARG's bytes in hex, as the dumper shows them.
hex() {
	printf '%s' "$1" | od -An -v -tx1 | tr -d ' \n'
}

# The case file's rules: each line, and the arguments (in hex) that the
# dumper must see, where the line ends a case; blank lines and comments
# are no cases.
rules=(
	"a 'b c' \"d\"|61 622063 64"
	"\"\\\$HOME \\\" \\\\ \\x\"|24484f4d452022205c205c78"
	"\$'\\x01\\n\\t\\r\\\\\\'\\xfF'|010a090d5c27ff"
	"x\\ y \\#z|782079 237a"
	"a#b # a comment|612362"
	"'' \"\"|- -"
	"\$HOME \`x\` \$x\$'y'|24484f4d45 607860 247879"
	$'a\rb|610d62'
	$'c\r|63'
	"5 \\|" "6|35 36"
	"'x|" "y'|780a79"
	"\"p\\|" "q\"|7071"
	"-- -u -r|2d75 2d72"
	"-r 1 -- -5|2d35"
	"\\\\|5c"
	"|"
	"   # only a comment|"
	"-c -u -- 7 -l|37 2d6c"
	"a \\|" " b|61 62"
	"x \\|" "#c|78"
	"\\|" "|"
)
: >"$work/cases"
want=()
for r in "${rules[@]}"; do
	printf '%s\n' "${r%|*}" >>"$work/cases"
	[ -z "${r#*|}" ] || want+=("${r#*|}")
done
# Then forged markers and report lines, as arguments and as output (its
# own check below), a binary that reads its input, and -l twice; the cases
# after them must still run. Then a case that stops the PC, and one more.
forged=$'x\n@@ cases\n@@ done 99\n== 3\nstatus: 0\n'
cat >>"$work/cases" <<'EOF'
@@ end
'@@ end' '@@ done 2' $'x\n@@ cases\n@@ done 99\n== 3\nstatus: 0\n' '@@ end'
echo $'\n@@ end\n@@ done 23\n== x\nstatus: 0\r\x1b[2J\\x41\n' $'\xff' $'\n\xc2\x85,\x85,\xe2\x80\xa8'
stdin
-u stdin
-l 1
-l 2
poweroff
never
EOF
want+=("4040 656e64" "$(hex '@@ end') $(hex '@@ done 2') $(hex "$forged") $(hex '@@ end')" skip "read 0 bytes" "read 0 bytes" 31 32)

# Boot 1: the cases above; the PC stops at "poweroff", which no argument or
# output can hide, and -s gives 125.
"$emu" -s -b "$dump" -f "$work/cases" >"$work/report1" 2>"$work/err1"
status=$?
plain "$work/report1"
[ "$status" -eq 125 ] || fail "a PC that stopped early: status $status, expected 125"
grep -q "stopped after ${#want[@]} of $((${#want[@]} + 2)) cases" "$work/err1" ||
	fail "a PC that stopped early: said $(grep -v '\.\.\.$' "$work/err1")"
outputs "$work/report1" >"$work/got1"
i=0
while IFS= read -r got; do
	if [ "${want[i]-none}" != skip ] && [ "$got" != "${want[i]-none}" ]; then
		fail "case $((i + 1)) ($(grep '^== ' "$work/report1" | sed -n "$((i + 1))p")): saw '$got', expected '${want[i]-none}'"
	fi
	i=$((i + 1))
done <"$work/got1"
[ "$i" -eq "${#want[@]}" ] || fail "$i cases shown, expected ${#want[@]}"
# The echo case's output: escaped, on lines of its own key.
got=$(awk '/^== echo /, /^status: / { if (/^stdout: /) print }' "$work/report1" | tr '\n' '|')
# U+0085 and U+2028 (as \u) apart from a lone byte 0x85 (as \x).
expected='stdout: |stdout: @@ end|stdout: @@ done 23|stdout: == x|stdout: status: 0\x0d\x1b[2J\\x41|stdout: \xff|'
expected+='stdout: \u0085,\x85,\u2028|'
[ "$got" = "$expected" ] || fail "output that imitates the report: $got"
grep -qx '== -l 2' "$work/report1" || fail "-l twice: $(grep '^== -l' "$work/report1" | tr '\n' ' ')"
! grep -q 'poweroff\|never' "$work/report1" || fail "an unfinished case was shown"
echo "ok: $i cases of quoting, forged markers and a binary reading its input; an early stop is not a success"

# Boot 2: the labels of boot 1, pasted back, must give the same arguments;
# then an argument of the kernel's bound, 131071 bytes, as nobody; every
# byte, as nobody; 20,000 arguments; 1,000 cases of a binary that exits at
# once; -s gives the last case's status. Well within a minute.
sed -n 's/^== //p' "$work/report1" >"$work/labels"
# shellcheck disable=SC2046 # one word a number
all=$(printf '\\x%02x' $(seq 1 255))
{
	cat "$work/labels"
	printf -- '-u -- '
	head -c 131071 /dev/zero | tr '\0' e
	printf "\n-u -- -u \$'%s' '' \$'7\\\\n@@ end\\\\n'\n" "$all"
	seq 20000 | tr '\n' ' '
	echo
	for _ in $(seq 1000); do echo --; done
	echo 'a b c'
} >"$work/cases2"
start=$SECONDS
(cd "$work" && XDG_CACHE_HOME=rel "$emu" -s -b "$dump" -f "$work/cases2" >"$work/report2" 2>"$work/err2")
status=$? took=$((SECONDS - start))
[ ! -e "$work/rel" ] || fail "a relative XDG_CACHE_HOME was taken as $work/rel"
plain "$work/report2"
[ "$status" -eq 3 ] || fail "-s: status $status, expected the last case's 3 ($(grep -v '\.\.\.$' "$work/err2"))"
n=$(wc -l <"$work/labels")
outputs "$work/report2" >"$work/got2"
head -n "$n" "$work/got2" | cmp -s - "$work/got1" || fail "the labels pasted back gave other arguments"
sed -n 's/^== //p' "$work/report2" | head -n "$n" | cmp -s - "$work/labels" || fail "the labels of the labels differ"
[ "$(sed -n "$((n + 1))p" "$work/got2")" = "$(head -c 131071 /dev/zero | tr '\0' e | od -An -v -tx1 | tr -d ' \n')" ] ||
	fail "an argument of 131071 bytes did not reach lptline whole"
[ "$(sed -n "$((n + 2))p" "$work/got2" | cut -d' ' -f2)" = "$(printf '%b' "$all" | od -An -v -tx1 | tr -d ' \n')" ] ||
	fail "every byte from 0x01 to 0xff, as nobody: changed"
wide=$(sed -n "$((n + 3))p" "$work/got2")
if [ "$(wc -w <<<"$wide")" -ne 20000 ] || [ "${wide##* }" != "$(hex 20000)" ]; then
	fail "20,000 arguments: $(wc -w <<<"$wide") came"
fi
[ "$(grep -cxE '== (-l|--)' "$work/report2")" -eq 1000 ] || fail "1,000 cases: $(grep -cxE '== (-l|--)' "$work/report2") ran"
[ "$took" -le 60 ] || fail "20,000 arguments, 1,000 cases and the rest took $took s"
echo "ok: $n labels pasted back, 131071 bytes, every byte, 20,000 arguments and 1,000 cases, in $took s"

# A PC that stops early is reported by the kernel's panic, without the
# console's escape sequences.
check "no init" "stopped after 0 of 1 cases; its console ended: .*Kernel panic" \
	"$emu" -b "$bin" -k 'rdinit=/nonexistent loglevel=7' 3
start=$SECONDS
check "no init, panic=0" "stopped after 0 of 1 cases; its console ended: .*Kernel panic" \
	"$emu" -b "$bin" -t 100 -k 'rdinit=/nonexistent panic=0' 3
[ $((SECONDS - start)) -le 40 ] || fail "a panic with panic=0 took $((SECONDS - start)) s"

# As root: a full TMPDIR where the libraries are unpacked is said as full.
if [ "$(id -u)" -eq 0 ]; then
	mkdir "$work/full"
	# shellcheck disable=SC2016 # the inner shell expands them
	check "a full TMPDIR" "TMPDIR is full: no room to unpack the PC's libraries" unshare -m sh -c \
		'mount -t tmpfs -o size=1m tmpfs "$0" && TMPDIR=$0 exec "$1" -d bookworm -b /bin/true 3' "$work/full" "$emu"
fi

finish
