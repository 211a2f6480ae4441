#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# A kernel locked down (lockdown=integrity, as Secure Boot sets it) refuses
# raw port access even to root: one ioperm line and status 1.
# usage: emu_lockdown_test.sh EMU-RUN BINARY ARCH
set -u
emu=$1 bin=$2 arch=$3
# shellcheck source=testlib.sh
. "$(dirname "$0")/testlib.sh"
# shellcheck source=emulib.sh
. "$(dirname "$0")/emulib.sh"

"$emu" -a "$arch" -b "$bin" -k lockdown=integrity 3 >"$work/report" || { echo "FAIL: emu/run failed"; exit 1; }
cat "$work/report"
grep -q '^pc: .*lockdown: .*\[integrity\]' "$work/report" || fail "the kernel is not locked down"
# Lockdown closes /dev/port too, so the register cannot be read back here.
if run_block "lptline 3"; then
	[ "$(field status)" = 1 ] || fail "status $(field status), expected 1"
	[ "$(field stderr)" = "ioperm: Operation not permitted" ] || fail "stderr '$(field stderr)'"
	[ -z "$(field stdout)" ] || fail "wrote to stdout"
else
	fail "no run of lptline 3 in the report"
fi
finish
