# shellcheck shell=bash
# SPDX-License-Identifier: MIT
# Shared by the shell tests: a scratch folder removed on exit, a failure
# count, the closing line, and a way to run the tool without CAP_SYS_RAWIO.
work=$(mktemp -d)
cleanup() {
	rm -rf "$work"
}
trap cleanup EXIT
failures=0

fail() {
	echo "FAIL: $*"
	failures=$((failures + 1))
}

# Prints the count and gives the test's status.
finish() {
	echo "$failures failed"
	[ "$failures" -eq 0 ]
}

# copy_source SOURCE-DIR DEST: the source tree in DEST, made if need be,
# without build folders or git metadata, as a clean checkout holds it.
copy_source() {
	mkdir -p "$2" && tar -C "$1" --exclude=./build --exclude=./.git -cf - . | tar -C "$2" -xf -
}

# "${norawio[@]}" COMMAND: without CAP_SYS_RAWIO, which even root needs to
# be granted the ports, so no run can write this machine's port. Other
# users have no such capability to drop.
# shellcheck disable=SC2034 # used by the tests that source this file
if [ "$(id -u)" -eq 0 ]; then
	norawio=(setpriv --inh-caps=-sys_rawio --bounding-set=-sys_rawio)
else
	norawio=()
fi
