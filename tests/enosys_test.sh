#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# On a kernel built without ioperm, the kernel's own refusal reaches the
# user as one line. Skipped (77) on a kernel that has ioperm, which refuses
# with EPERM instead once CAP_SYS_RAWIO is dropped; so no port is written.
set -u
bin=$1
# shellcheck source=testlib.sh
. "$(dirname "$0")/testlib.sh"
err=$("${norawio[@]}" "$bin" 3 2>&1 >/dev/null)
status=$?
case $err in
"ioperm: Operation not permitted")
	echo "skip: this kernel has ioperm"
	exit 77
	;;
"ioperm: Function not implemented")
	[ "$status" -eq 1 ] || { echo "FAIL: status $status, expected 1"; exit 1; }
	echo "ok: refused with ENOSYS, status 1"
	;;
*)
	echo "FAIL: said '$err', status $status"
	exit 1
	;;
esac
