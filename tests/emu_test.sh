#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The real binary on an emulated PC with a parallel port: what each run
# leaves in the data register, read back by the guest. One boot for all.
# usage: emu_test.sh EMU-RUN BINARY ARCH MACHINE [PORT [RELEASE]]
# (amd64 x86_64, i386 i686; PORT: where the PC's port is, default 0x378;
# RELEASE: the PC's Debian release, default bookworm)
set -u
emu=$1 bin=$2 arch=$3 machine=$4 port=${5-0x378} release=${6-bookworm}
# shellcheck source=testlib.sh
. "$(dirname "$0")/testlib.sh"
# shellcheck source=emulib.sh
. "$(dirname "$0")/emulib.sh"

# Case line (lptline's arguments as words), its label in the report, and the
# byte it must leave on the lines.
cases=(
	"1|1|0x01" "2|2|0x02" "3|3|0x04" "4|4|0x08" "5|5|0x10" "6|6|0x20" "7|7|0x40"
	"8|8|0x80" "0|0|0x00" "9|9|0x09" "16|16|0x10" "128|128|0x80" "255|255|0xff"
	"256|256|0x00" "300|300|0x2c" "-- -1|-1|0xff" "+2|+2|0x02" "7abc|7abc|0x40"
	"'  7'|'  7'|0x40" "a7|a7|0x00" "''|''|0x00" "010|010|0x0a" "0x10|0x10|0x00"
	"'5 6'|'5 6'|0x10" "5 6|5 6|0x10" "2147483648|2147483648|0xff"
	"99999999999999999999|99999999999999999999|0xff" "-- -2147483649|-2147483649|0x00"
)
runs=20

# Each case follows a run that writes its complement, so every line must
# change; values from -512 to -257 keep those writes out of the line
# numbers and apart from the cases.
{
	for c in "${cases[@]}"; do
		echo "-- $((255 - ${c##*|} - 512))"
		echo "${c%%|*}"
	done
	echo 90 # 0x5a, which the refused runs must leave alone
	echo "-u 3"
	echo ""
	echo "-r $runs 3"
	echo "-r $runs" # the same number of starts without a hold
} >"$work/cases"

"$emu" -a "$arch" -d "$release" -p "$port" -b "$bin" -f "$work/cases" >"$work/report" || { echo "FAIL: emu/run failed"; exit 1; }

pc=$(sed -n 's/^pc: //p' "$work/report")
echo "pc: $pc; port: $(sed -n 's/^port: //p' "$work/report")"
[[ $pc == "$machine, Debian $release, "* ]] || fail "the PC is not $machine with Debian $release"
grep -qx "port: $port" "$work/report" || fail "the PC's port is not at $port"

for c in "${cases[@]}"; do
	want=${c##*|}
	label=${c#*|}
	expect_run "lptline ${label%|*}" "$(printf '0x%02x' $((255 - want)))" "$want" 0 ""
done
expect_run "lptline 3 (as nobody)" 0x5a 0x5a 1 "ioperm: Operation not permitted"
expect_run "lptline" 0x5a 0x5a 2 "usage: lptline LINE"

run_block "lptline 3 ($runs runs)" && held=$(field elapsed | cut -d' ' -f1)
run_block "lptline ($runs runs)" && bare=$(field elapsed | cut -d' ' -f1)
echo "hold: $runs runs in ${held-?} us; $runs starts without the hold in ${bare-?} us"
# At least the hold itself, and (with the cost of starting a process taken
# out) at least half of it, which a run without the hold cannot reach.
[ "${held-0}" -ge $((runs * 10000)) ] || fail "$runs runs took ${held-?} us, less than $runs holds"
[ $((${held-0} - ${bare-0})) -ge $((runs * 5000)) ] ||
	fail "$runs runs took only $((${held-0} - ${bare-0})) us more than $runs starts"

echo "$(grep -c '^== ' "$work/report") runs on the emulated PC"
finish
