#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The real binary on an emulated PC with a parallel port: what each run
# leaves in the data register, read back by the guest. One boot for all.
set -u
emu=$1
bin=$2
. "$(dirname "$0")/testlib.sh"

# Argument (as shell words) and the byte it must leave on the lines.
cases=(
	"1 0x01" "3 0x04" "4 0x08" "8 0x80" "0 0x00" "9 0x09" "16 0x10" "128 0x80"
	"255 0xff" "256 0x00" "300 0x2c" "-- -1 0xff" "+2 0x02" "7abc 0x40"
	"'  7' 0x40" "a7 0x00" "'' 0x00" "010 0x0a" "0x10 0x00" "'5 6' 0x10"
	"5 6 0x10" "2147483648 0xff" "99999999999999999999 0xff" "-- -2147483649 0x00"
)
runs=20

# Each case follows a run that writes its complement, so every line must
# change; negative values keep those writes out of the line numbers.
setter() {
	echo "-- $((255 - $1 - 256))"
}
{
	for c in "${cases[@]}"; do
		setter "${c##* }"
		echo "${c% *}"
	done
	echo 90          # 0x5a, which the refused runs must leave alone
	echo "-u 3"
	echo ""
	echo "-r $runs 3"
	echo "-r $runs" # the same number of starts without a hold
} >"$work/cases"

"$emu" -b "$bin" -f "$work/cases" >"$work/report" || { echo "FAIL: emu/run failed"; exit 1; }

# Splits the report into one file per run: 1, 2, ...
awk -v dir="$work" '/^== / {n++} {print > (dir "/" n)}' "$work/report"

# field RUN KEY: the value after "KEY: " in that run's block.
field() {
	sed -n "s/^$2: //p" "$work/$1"
}
byte() {
	field "$1" "$2" | grep -o '0x[0-9a-f][0-9a-f]'
}
# expect RUN BEFORE AFTER STATUS STDERR
expect() {
	local n=$1 name
	name=$(head -1 "$work/$n")
	[ "$(byte "$n" before)" = "$2" ] || fail "$name: before $(byte "$n" before), expected $2"
	[ "$(byte "$n" after)" = "$3" ] || fail "$name: after $(byte "$n" after), expected $3"
	[ "$(field "$n" status)" = "$4" ] || fail "$name: status $(field "$n" status), expected $4"
	[ "$(field "$n" stderr)" = "$5" ] || fail "$name: stderr '$(field "$n" stderr)', expected '$5'"
	[ -z "$(field "$n" stdout)" ] || fail "$name: wrote to stdout"
}

n=0
for c in "${cases[@]}"; do
	want=${c##* }
	n=$((n + 2))
	expect $n "$(printf '0x%02x' $((255 - want)))" "$want" 0 ""
done
expect $((n + 2)) 0x5a 0x5a 1 "ioperm: Operation not permitted"
expect $((n + 3)) 0x5a 0x5a 2 "usage: lptline LINE"

held=$(field $((n + 4)) elapsed | cut -d' ' -f1)
bare=$(field $((n + 5)) elapsed | cut -d' ' -f1)
echo "hold: $runs runs in $held us; $runs starts without the hold in $bare us"
# At least the hold itself, and (with the cost of starting a process taken
# out) at least half of it, which a run without the hold cannot reach.
[ "$held" -ge $((runs * 10000)) ] || fail "$runs runs took $held us, less than $runs holds"
[ $((held - bare)) -ge $((runs * 5000)) ] || fail "$runs runs took only $((held - bare)) us more than $runs starts"

total=$(grep -c '^== ' "$work/report")
echo "$total runs on the emulated PC"
finish
