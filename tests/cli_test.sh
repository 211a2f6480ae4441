#!/usr/bin/env bash
# The real binary against the real kernel and C library, on the refusal
# paths only. Every run here either has its ioperm refused (by the kernel,
# or by strace before the kernel sees it) or never asks, so no port on the
# machine running the tests is ever written.
set -u
bin=$1
noportio=${2-} # optional: the tool built as for a processor without port I/O
. "$(dirname "$0")/testlib.sh"
skipped=0

# Without CAP_SYS_RAWIO even root cannot be granted the ports. Other users
# have no such capability to drop (nor the right to drop it).
norawio=()
[ "$(id -u)" -ne 0 ] || norawio=(setpriv --inh-caps=-sys_rawio --bounding-set=-sys_rawio)

# check NAME STATUS STDERR TRACE-PATTERN COMMAND...: the command must end with
# STATUS, print exactly STDERR, print nothing on standard output, and its
# ioperm calls (one a line, as strace writes them; empty for none) must match
# TRACE-PATTERN as a whole.
check() {
	local name=$1 status=$2 error=$3 trace=$4
	shift 4
	"$@" >"$work/out" 2>"$work/err"
	local got=$?
	local problems=()
	[ "$got" -eq "$status" ] || problems+=("status $got, expected $status")
	[ "$(cat "$work/err")" = "$error" ] || problems+=("stderr '$(cat "$work/err")', expected '$error'")
	[ -s "$work/out" ] && problems+=("stdout not empty: '$(cat "$work/out")'")
	if [ -n "$trace" ] || [ -f "$work/trace" ]; then
		local calls
		calls=$(grep -o '^ioperm(.*' "$work/trace" 2>/dev/null)
		[[ $calls =~ ^$trace$ ]] || problems+=("ioperm calls '$calls', expected /$trace/")
	fi
	rm -f "$work/trace"
	if [ ${#problems[@]} -eq 0 ]; then
		echo "ok: $name"
	else
		fail "$name: ${problems[*]}"
	fi
}

traced() {
	strace -qq -o "$work/trace" -e trace=ioperm "$@"
}

# The kernel's own refusal. A kernel built with ioperm refuses too, but with
# EPERM, and then this case says nothing about ENOSYS.
"${norawio[@]}" "$bin" 3 2>"$work/err"
if [ "$(cat "$work/err")" = "ioperm: Operation not permitted" ]; then
	echo "skip: kernel without ioperm (this kernel has it)"
	skipped=1
else
	check "kernel without ioperm" 1 "ioperm: Function not implemented" "" \
		"${norawio[@]}" "$bin" 3
fi

check "access refused" 1 "ioperm: Operation not permitted" \
	'ioperm\(0x378, 0x3, 1\) += -1 EPERM \(Operation not permitted\) \(INJECTED\)' \
	traced -e inject=ioperm:error=EPERM "${norawio[@]}" "$bin" 3
check "no argument" 2 "usage: lptline LINE" "" \
	traced -e inject=ioperm:error=EPERM "${norawio[@]}" "$bin"
if [ -n "$noportio" ]; then
	check "no I/O port space" 1 "ioperm: Function not implemented" "" \
		traced "${norawio[@]}" "$noportio" 3
fi

finish || exit 1
[ "$skipped" -eq 0 ] || exit 77
