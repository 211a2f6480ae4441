#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The README's capability recipe on the emulated PC: nobody is refused and
# leaves the lines alone; after `setcap cap_sys_rawio+ep` on the binary,
# nobody's run writes the byte silently; once it is taken back, nobody is
# refused again.
# usage: emu_cap_test.sh EMU-RUN BINARY ARCH
set -u
emu=$1 bin=$2 arch=$3
# shellcheck source=testlib.sh
. "$(dirname "$0")/testlib.sh"
# shellcheck source=emulib.sh
. "$(dirname "$0")/emulib.sh"

printf '%s\n' 90 "-u 5" "-c 5" "-u 6" >"$work/cases"
"$emu" -a "$arch" -b "$bin" -f "$work/cases" >"$work/report" || { echo "FAIL: emu/run failed"; exit 1; }
cat "$work/report"
expect_run "lptline 5 (as nobody)" 0x5a 0x5a 1 "ioperm: Operation not permitted"
expect_run "lptline 5 (as nobody, cap_sys_rawio+ep)" 0x5a 0x10 0 ""
[ -z "$(field setcap)" ] || fail "setcap said: $(field setcap)"
expect_run "lptline 6 (as nobody)" 0x10 0x10 1 "ioperm: Operation not permitted"
finish
