#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# emu/run must turn every bad condition into one line and a failure status,
# never a hang.
set -u
emu=$1
bin=$2
. "$(dirname "$0")/testlib.sh"

# check NAME PATTERN COMMAND...: fails, and its one line of stderr matches.
check() {
	local name=$1 pattern=$2
	shift 2
	local err status
	err=$(timeout 120 "$@" 2>&1 >/dev/null)
	status=$?
	if [ "$status" -eq 0 ] || [ "$status" -eq 124 ]; then
		fail "$name: status $status"
	elif [ "$(printf '%s\n' "$err" | wc -l)" -ne 1 ] || ! [[ $err =~ $pattern ]]; then
		fail "$name: said '$err'"
	else
		echo "ok: $name: $err"
	fi
}

check "unknown option" "unknown option -x" "$emu" -b "$bin" -x 3
check "binary not built" "no lptline at /nonexistent" "$emu" -b /nonexistent 3
check "dynamic binary" "dynamically linked" "$emu" -b /bin/true 3
check "no kernel" "no kernel at /nonexistent" env LPTLINE_KERNEL=/nonexistent "$emu" -b "$bin" 3
check "boot timeout" "did not finish within 1 s" "$emu" -b "$bin" -t 1 3
check "bad timeout" "whole number" "$emu" -b "$bin" -t soon 3

finish
