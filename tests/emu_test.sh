#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The real binary on an emulated PC with a parallel port: what QEMU saw
# each run do to the port (one write of the right byte to the data
# register, or nothing at all), and the byte it left there. One boot for
# all.
# usage: emu_test.sh EMU-RUN BINARY ARCH MACHINE [PORT [RELEASES]]
# (BINARY: lptline or its .deb; ARCH MACHINE: amd64 x86_64 or i386 i686;
# PORT: where the PC's port is, default 0x378; RELEASES: the PCs' Debian
# releases, one boot each, default bookworm)
set -u
emu=$1 bin=$2 arch=$3 machine=$4 port=${5-0x378} releases=${6-bookworm}
# shellcheck source=testlib.sh
. "$(dirname "$0")/testlib.sh"
# shellcheck source=emulib.sh
. "$(dirname "$0")/emulib.sh"

# Case line (lptline's arguments as words), its label in the report (the
# case as a case file would say it), and the byte it must write, once.
cases=(
	"1|1|0x01" "2|2|0x02" "3|3|0x04" "4|4|0x08" "5|5|0x10" "6|6|0x20" "7|7|0x40"
	"8|8|0x80" "0|0|0x00" "9|9|0x09" "16|16|0x10" "128|128|0x80" "255|255|0xff"
	"256|256|0x00" "259|259|0x03" "300|300|0x2c" "-- -1|-- -1|0xff" "+2|+2|0x02" "7abc|7abc|0x40"
	"'  7'|'  7'|0x40" "a7|a7|0x00" "''|''|0x00" "010|010|0x0a" "0x10|0x10|0x00"
	"\"5 6\"|'5 6'|0x10" "5 6|5 6|0x10" "2147483648|2147483648|0xff"
	"99999999999999999999|99999999999999999999|0xff" "-- -2147483649|-- -2147483649|0x00"
)
pairs=10 # of cases of two held runs, and of two bare starts
# Who runs it, in this order after 0x5a is written: case line, label, the
# register before and after, what QEMU saw of the port, status, standard
# error. The capability and the package's grant (its postinst) are taken
# back after each run.
refused="ioperm: Operation not permitted"
users=(
	"-u 3|-u 3|0x5a|0x5a|none|status: 1|$refused"
	"--|--|0x5a|0x5a|none|status: 2|usage: lptline LINE"
	"-c 5|-c 5|0x5a|0x10|write data 0x10|status: 0|"
	"-u 6|-u 6|0x10|0x10|none|status: 1|$refused"
	"-g 6|-g 6|0x10|0x20|write data 0x20|status: 0|"
	"-o 7|-o 7|0x20|0x20|none|exec: denied|"
	"-G 8|-G 8|0x20|0x20|none|status: 1|$refused"
)

# Each case follows a run that writes its complement, so every line must
# change; values from -512 to -257 keep those writes out of the line
# numbers and apart from the cases.
{
	for c in "${cases[@]}"; do
		echo "-- $((255 - ${c##*|} - 512))"
		echo "${c%%|*}"
	done
	echo 90 # 0x5a, which the refused runs must leave alone
	for u in "${users[@]}"; do echo "${u%%|*}"; done
	# Held runs and as many starts without a hold (no argument), in turns,
	# so that both meet the same load.
	for _ in $(seq "$pairs"); do
		echo "-r 2 3"
		echo "-r 2"
	done
	echo "-l 5"     # last: lockdown stays
} >"$work/cases"

# A timed case's line: "elapsed: T us for N runs, shortest S us, idle I us".
# shortest: the shortest of the held runs.
shortest() {
	awk '/^== / { on = $0 == "== -r 2 3" }
		on && /^elapsed: / && (min == "" || $(NF - 4) + 0 < min) { min = $(NF - 4) + 0 }
		END { print min }' "$work/report"
}
# idle LABEL: over the cases with that label, the median of how long the
# PC's processor idled during their runs. Sleeping idles it, a busy host
# does not, and the median leaves out the pairs the host paused unevenly.
idle() {
	awk -v want="== $1" '/^== / { on = $0 == want }
		on && /^elapsed: / {
			for (j = n++; j >= 1 && v[j] > $(NF - 1) + 0; j--) v[j + 1] = v[j]
			v[j + 1] = $(NF - 1) + 0
		}
		END { if (n) printf "%d\n", (v[int((n + 1) / 2)] + v[int(n / 2) + 1]) / 2 }' "$work/report"
}

# The PC runs the package's postinst; a source install's commands in the
# README give the same owner, mode and capability.
top=$(dirname "$emu")/..
for value in owner mode caps; do
	eval "$(grep "^$value=" "$top/debian/postinst")"
done
# shellcheck disable=SC2154 # set by the eval above
for line in "chown $owner /usr/local/sbin/lptline" "chmod $mode /usr/local/sbin/lptline" \
	"setcap $caps /usr/local/sbin/lptline"; do
	grep -qF "sudo $line" "$top/README.md" || fail "the README has no 'sudo $line'"
done

for release in $releases; do
	if ! "$emu" -a "$arch" -d "$release" -p "$port" -b "$bin" -f "$work/cases" >"$work/report"; then
		fail "emu/run failed on the $release PC"
		continue
	fi

	pc=$(sed -n 's/^pc: //p' "$work/report")
	echo "pc: $pc; port: $(sed -n '1,/^== /s/^port: //p' "$work/report")"
	[[ $pc == "$machine, Debian $release, "* ]] || fail "the PC is not $machine with Debian $release"
	grep -qx "port: $port" "$work/report" || fail "the PC's port is not at $port"

	for c in "${cases[@]}"; do
		want=${c##*|}
		label=${c#*|}
		expect_run "${label%|*}" "$(printf '0x%02x' $((255 - want)))" "$want" "write data $want" "status: 0" ""
	done
	for u in "${users[@]}"; do
		IFS="|" read -r _ label before after seen status error <<<"$u"
		expect_run "$label" "$before" "$after" "$seen" "$status" "$error"
		[ -z "$(field setcap)$(field grant)" ] || fail "$label: the grant said $(field setcap)$(field grant)"
	done
	expect_run "-l 5" 0x04 0x04 none "status: 1" "$refused"
	# Each held run writes once; the starts without a line touch nothing.
	for pair in "-r 2 3|write data 0x04 (2 times)" "-r 2|none"; do
		ports=$(awk -v want="== ${pair%|*}" '/^== / { on = $0 == want } on && /^port: /' "$work/report" | sort | uniq -c)
		[ "$ports" = "$(printf '%7d port: %s' "$pairs" "${pair#*|}")" ] || fail "${pair%|*}: $ports"
	done

	# No held run is shorter than the hold. Two runs sleep through their
	# two holds, and idle the PC that long, give or take a few ms of
	# reading the clock; two starts without the hold do not idle it.
	min=$(shortest) held=$(idle "-r 2 3") bare=$(idle "-r 2")
	echo "hold: shortest run ${min:-?} us; two runs idled the PC a median ${held:-?} us, two starts ${bare:-?} us"
	[ "${min:-0}" -ge 10000 ] || fail "the shortest run took ${min:-no} us, less than the hold"
	[ "${held:-0}" -ge 15000 ] ||
		fail "two runs idled the PC a median of only ${held:-no} us: they did not sleep through their holds"
	[ "${bare#-}" -lt 5000 ] 2>/dev/null ||
		fail "two starts without the hold idled the PC a median of ${bare:-no} us, not none"

	echo "$(grep -c '^== ' "$work/report") runs on the $release PC"
done
finish
