# shellcheck shell=bash disable=SC2154 # work and fail come from testlib.sh
# SPDX-License-Identifier: MIT
# Shared by the emulator tests, after testlib.sh: a failure that must say
# one line, finding a run in emu/run's report ($work/report) by its label,
# and checking what it shows.

# run_block LABEL: writes the run labelled LABEL to $work/block; fails
# unless exactly one run has that label.
run_block() {
	awk -v want="== $1" '$0 == want { n++; on = 1; next } /^== / { on = 0 } on { print }
		END { exit n != 1 }' "$work/report" >"$work/block"
}

# field KEY: the value after "KEY: " in $work/block, one line each.
field() {
	sed -n "s/^$1: //p" "$work/block"
}

# expect_run LABEL BEFORE AFTER PORT END STDERR: the run's data register
# before and after (as 0xHH), what QEMU saw of the port ("write data 0x04",
# "none"), how it ended ("status: 0", "exec: denied") and its standard
# error, each line whole; it must not have written to standard output.
expect_run() {
	local label=$1 before after end
	if ! run_block "$label"; then
		fail "$label: not exactly one run in the report"
		return
	fi
	before=$(field before | grep -o '0x[0-9a-f][0-9a-f]')
	after=$(field after | grep -o '0x[0-9a-f][0-9a-f]')
	[ "$before" = "$2" ] || fail "$label: before $before, expected $2"
	[ "$after" = "$3" ] || fail "$label: after $after, expected $3"
	[ "$(field port)" = "$4" ] || fail "$label: port '$(field port)', expected '$4'"
	end=$(grep -E '^(status|signal|exec): ' "$work/block")
	[ "$end" = "$5" ] || fail "$label: ended '$end', expected '$5'"
	[ "$(field stderr)" = "$6" ] || fail "$label: stderr '$(field stderr)', expected '$6'"
	[ -z "$(field stdout)" ] || fail "$label: wrote to stdout"
	! grep -q ' ends without a newline$' "$work/block" || fail "$label: a message without its newline"
}

# check NAME PATTERN COMMAND...: fails, and its standard error, less the
# progress lines (which end in ...), is one line that matches PATTERN and
# has no control character. The whole of it is left in $work/said.
check() {
	local name=$1 pattern=$2 err status
	shift 2
	timeout 120 "$@" 2>"$work/said" >/dev/null
	status=$?
	err=$(grep -v '\.\.\.$' "$work/said")
	if [ "$status" -eq 0 ] || [ "$status" -eq 124 ]; then
		fail "$name: status $status"
	elif [ "$(wc -l <<<"$err")" -ne 1 ] || ! [[ $err =~ $pattern ]]; then
		fail "$name: said '$err'"
	elif LC_ALL=C grep -q '[[:cntrl:]]' <<<"$err"; then
		fail "$name: said control characters: $(cat -v <<<"$err")"
	else
		echo "ok: $name: $err"
	fi
}
