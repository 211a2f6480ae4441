#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# tools/hosts leaves nothing behind (no folder, no mount, no process) when
# a signal stops it while a system is being made or while a command runs in
# one, and when a system cannot be made. It makes systems, so it is
# registered only when asked for and runs only as root.
# usage: hosts_test.sh SOURCE-FOLDER
set -u
top=$1
if [ "$(id -u)" -ne 0 ]; then
	echo "skip: tools/hosts needs root"
	exit 77
fi
# shellcheck source=testlib.sh
. "$(dirname "$0")/testlib.sh"
# A stand-in mmdebstrap that starts the system, then fails.
mkdir "$work/bin" "$work/tmp"
cat >"$work/bin/mmdebstrap" <<'EOF'
#!/bin/sh
for root; do :; done
mkdir -p "$root/etc"
exit 1
EOF
chmod +x "$work/bin/mmdebstrap"
# Signal, or "fail"; the status; seconds after the start; the hosts. During
# mmdebstrap, during tools/deps in the system, and two hosts that fail.
for row in "INT 130 10 trixie-amd64" "TERM 143 60 trixie-amd64" "fail 1 60 trixie-amd64 bookworm-amd64"; do
	read -r signal want after hosts <<<"$row"
	path=$PATH
	[ "$signal" != fail ] || path=$work/bin:$PATH
	# shellcheck disable=SC2086 # the hosts are words
	timeout --preserve-status -s "${signal/fail/KILL}" "$after" \
		env TMPDIR="$work/tmp" PATH="$path" "$top/tools/hosts" $hosts >"$work/out" 2>&1
	status=$?
	left=$(find "$work/tmp" -mindepth 1 -maxdepth 1)
	mounts=$(grep -c "$work" /proc/self/mountinfo)
	procs=$(pgrep -fc "$work/tmp")
	if [ "$status" -ne "$want" ] || [ -n "$left" ] || [ "$mounts" -ne 0 ] || [ "$procs" -ne 0 ]; then
		fail "$signal after $after s: status $status, left: ${left:-no folder}, $mounts mounts, $procs processes"
	elif [ "$signal" = fail ] && [ "$(grep -c ': FAIL: mmdebstrap could not make the system' "$work/out")" -ne 2 ]; then
		fail "a failed system: said $(head -c 300 "$work/out")"
	else
		echo "ok: $signal after $after s: status $status, nothing left"
	fi
done
finish
