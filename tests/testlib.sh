# shellcheck shell=bash
# SPDX-License-Identifier: MIT
# Shared by the shell tests: a scratch folder removed on exit, a failure
# count, and the closing line.
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
