#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# tools/hosts, stopped by a signal while a system is being made and while
# a command runs in one, leaves nothing behind: no folder, no mount, no
# process. It makes systems, so it is registered only when asked for and
# runs only as root.
# usage: hosts_test.sh SOURCE-FOLDER
set -u
top=$1
if [ "$(id -u)" -ne 0 ]; then
	echo "skip: tools/hosts needs root"
	exit 77
fi
# shellcheck source=testlib.sh
. "$(dirname "$0")/testlib.sh"
# Seconds after the start: during mmdebstrap, and during tools/deps in the
# system.
for row in "INT 130 10" "TERM 143 60"; do
	read -r signal want after <<<"$row"
	timeout --preserve-status -s "$signal" "$after" env TMPDIR="$work" "$top/tools/hosts" trixie-amd64 \
		>"$work/out" 2>&1
	status=$?
	left=$(find "$work" -mindepth 1 -maxdepth 1 ! -name out)
	mounts=$(grep -c "$work" /proc/self/mountinfo)
	procs=$(pgrep -fc "$work/lptline-hosts")
	if [ "$status" -ne "$want" ] || [ -n "$left" ] || [ "$mounts" -ne 0 ] || [ "$procs" -ne 0 ]; then
		fail "$signal after $after s: status $status, left: ${left:-no folder}, $mounts mounts, $procs processes"
	else
		echo "ok: $signal after $after s: status $status, nothing left"
	fi
done
finish
