#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The real binary against the real kernel and C library, on the refusal
# paths only: strace refuses every ioperm before the kernel sees it, so no
# port of the machine running the tests is ever written.
# usage: cli_test.sh BINARY [PORT] (the build's port, default 0x378)
set -u
bin=$1 port=${2-0x378}
# shellcheck source=testlib.sh
. "$(dirname "$0")/testlib.sh"

# check NAME STATUS STDERR TRACE-PATTERN ARG...: lptline ARG... under strace
# must end with STATUS, print exactly STDERR and nothing on standard output,
# and its ioperm calls (one a line, as strace writes them; empty for none)
# must match TRACE-PATTERN as a whole.
check() {
	local name=$1 status=$2 error=$3 trace=$4
	shift 4
	strace -qq -o "$work/trace" -e trace=ioperm -e inject=ioperm:error=EPERM \
		"${norawio[@]}" "$bin" "$@" >"$work/out" 2>"$work/err"
	local got=$? calls problems=()
	calls=$(grep -o '^ioperm(.*' "$work/trace")
	[ "$got" -eq "$status" ] || problems+=("status $got, expected $status")
	[ "$(cat "$work/err")" = "$error" ] || problems+=("stderr '$(cat "$work/err")', expected '$error'")
	[ -s "$work/out" ] && problems+=("stdout not empty: '$(cat "$work/out")'")
	[[ $calls =~ ^$trace$ ]] || problems+=("ioperm calls '$calls', expected /$trace/")
	if [ ${#problems[@]} -eq 0 ]; then
		echo "ok: $name"
	else
		fail "$name: ${problems[*]}"
	fi
}

check "access refused" 1 "ioperm: Operation not permitted" \
	"ioperm\\($port, 0x3, 1\\) += -1 EPERM \\(Operation not permitted\\) \\(INJECTED\\)" 3
check "no argument" 2 "usage: lptline LINE" ""

finish
