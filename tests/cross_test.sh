#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The build for a processor without an I/O port space, run under its
# emulator (qemu-user): refused as a kernel without ioperm refuses, and the
# usage line without an argument.
set -u
emulator=$1
bin=$2
# shellcheck source=testlib.sh
. "$(dirname "$0")/testlib.sh"

# Arguments (as one word, empty for none), status, standard error.
cases=(
	"3|1|ioperm: Function not implemented"
	"|2|usage: lptline LINE"
)
for c in "${cases[@]}"; do
	IFS='|' read -r arg status error <<<"$c"
	args=()
	[ -z "$arg" ] || args=("$arg")
	got_error=$("$emulator" "$bin" "${args[@]}" 2>&1 >"$work/out")
	got=$?
	name="lptline ${arg:-(no argument)}"
	[ "$got" -eq "$status" ] || fail "$name: status $got, expected $status"
	[ "$got_error" = "$error" ] || fail "$name: said '$got_error', expected '$error'"
	[ -s "$work/out" ] && fail "$name: wrote to standard output"
	echo "ran: $name: status $got, '$got_error'"
done
finish
