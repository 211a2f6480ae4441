#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds for a port elsewhere than 0x378, as add-in cards need: bad
# addresses fail the configure step with one line; builds for 0x278 and
# for a PCI card's 0xd010 drive the whole table on a PC whose port is
# there, with a manual that names the address; a build for one address on
# a PC whose port is at another (the default build where the port is at
# 0xd010, the 0xd010 build where it is at 0x378) exits 0 and touches that
# port not at all, the symptom users see.
# usage: port_test.sh SOURCE-DIR EMU-RUN DEFAULT-BINARY
set -u
src=$1 emu=$2 default=$3
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=testlib.sh
. "$here/testlib.sh"
# shellcheck source=emulib.sh
. "$here/emulib.sh"

# configure VALUE: the project configured into $work/b-VALUE for that port.
configure() {
	cmake -S "$src" -B "$work/b-$1" -DBUILD_TESTING=OFF -DCMAKE_BUILD_TYPE=Release \
		-DLPTLINE_DATA_PORT="$1" >/dev/null 2>"$work/err"
}

for bad in 0xfffe 65534 0x10000 abc 0x 0x37g '' -1 1e3 ' 0x378' 99999999999999999999; do
	if configure "$bad"; then
		fail "LPTLINE_DATA_PORT='$bad' configured"
	elif ! grep -qxF "  LPTLINE_DATA_PORT '$bad' is not a port from 0 to 0xFFFD" "$work/err"; then
		fail "LPTLINE_DATA_PORT='$bad': said $(grep -v '^$' "$work/err" | tr '\n' ' ')"
	else
		echo "ok: LPTLINE_DATA_PORT='$bad' refused"
	fi
done

# Value given, where the PC's port is (- for no boot: without 0x the
# number is decimal), and the manual's range.
for good in "0x278|0x278|0x278 to 0x27A" "53264|0xd010|0xD010 to 0xD012" "0378|-|0x17A to 0x17C"; do
	IFS='|' read -r value port range <<<"$good"
	configure "$value" || { fail "the build for $value: $(cat "$work/err")"; continue; }
	grep -qF "access to ports $range," "$work/b-$value/lptline.8" ||
		fail "the manual of the $value build does not name $range"
	grep -qF "usually at 0x378, 0x278 or" "$work/b-$value/lptline.8" ||
		fail "the manual of the $value build lost the usual addresses"
	[ "$port" != - ] || continue
	cmake --build "$work/b-$value" >/dev/null || { fail "the build for $value"; continue; }
	"$here/emu_test.sh" "$emu" "$work/b-$value/lptline" amd64 x86_64 "$port" | sed "s/^/$port: /"
	[ "${PIPESTATUS[0]}" -eq 0 ] || fail "the build for $value on the PC with its port at $port"
done

# Build, where the PC's port is.
for row in "$default|0xd010" "$work/b-53264/lptline|0x378"; do
	"$emu" -p "${row#*|}" -b "${row%|*}" 3 >"$work/report" || fail "emu/run failed"
	run_block 3 && echo "${row%|*}, port at ${row#*|}: $(field port), $(field after)"
	left=$(field before | grep -o '0x[0-9a-f]*')
	expect_run 3 "$left" "$left" none "status: 0" ""
done
finish
