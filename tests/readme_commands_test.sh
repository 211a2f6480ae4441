#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The commands of the README that take options work as written, in a copy
# of the source: the source build and the package for another port
# address, whose manual and package description name that address and
# whose package's version carries it. What needs sudo is left out: the
# source build is installed under DESTDIR, and the package's build
# dependencies are those of the tests.
# usage: readme_commands_test.sh SOURCE-FOLDER
set -u
src=$1
# shellcheck source=testlib.sh
. "$(dirname "$0")/testlib.sh"
copy_source "$src" "$work/src"
cd "$work/src" || exit 1
commands=$(sed -n 's/^    //p' README.md)

# run PATTERN: runs the one command that matches PATTERN, less tools/deps
# and any install with sudo; its output goes to $work/log.
run() {
	local found
	found=$(grep -E -- "$1" <<<"$commands")
	if [ "$(grep -c . <<<"$found")" -ne 1 ]; then
		fail "the README has $(grep -c . <<<"$found") commands matching '$1', not one"
		return 1
	fi
	echo "run: $found"
	found=${found#tools/deps package && }
	bash -c "${found% && sudo cmake --install*}" >"$work/log" 2>&1 || {
		fail "'$found' failed: $(tail -n 3 "$work/log")"
		return 1
	}
}

# Each command, found by a pattern, then what its package or its
# installed manual must say.
if run "^cmake --preset default -DLPTLINE_DATA_PORT=0xd010 "; then
	DESTDIR=$work/dest cmake --install build/default >"$work/log" 2>&1 || fail "the install: $(tail -n 3 "$work/log")"
	source=$(cat "$work/dest/usr/local/share/man/man8/lptline.8")
	grep -q "at I/O port 0xD010" <<<"$source" || fail "the source build's manual does not name 0xD010"
	grep -qx 'lptline=/usr/local/sbin/lptline' <<<"$source" || fail "the source build's manual does not name /usr/local/sbin"
fi
if run "LPTLINE_DATA_PORT=0xd010 dpkg-buildpackage "; then
	apt=$(grep -o '\.\./lptline_[^ ]*+port0xd010[^ ]*\.deb' <<<"$commands")
	# shellcheck disable=SC2086 # the README's pattern
	deb=$(ls $apt 2>/dev/null)
	if [ "$(grep -c . <<<"$deb")" -ne 1 ]; then
		fail "the README's '$apt' matches '$deb', not one package"
	else
		[[ $(dpkg-deb -f "$deb" Version) == *+port0xd010 ]] || fail "Version $(dpkg-deb -f "$deb" Version)"
		[ "$(dpkg-deb -f "$deb" Description | head -n1)" = "drive one data line of the parallel port at 0xD010" ] ||
			fail "Description $(dpkg-deb -f "$deb" Description | head -n1)"
		source=$(dpkg-deb --fsys-tarfile "$deb" | tar -xO ./usr/share/man/man8/lptline.8.gz | zcat)
		grep -q "at I/O port 0xD010" <<<"$source" || fail "the package's manual does not name 0xD010"
		grep -qx 'lptline=/usr/sbin/lptline' <<<"$source" || fail "the package's manual does not name /usr/sbin"
		echo "package: ${deb##*/}: $(dpkg-deb -f "$deb" Version), $(dpkg-deb -f "$deb" Description | head -n1)"
	fi
fi
finish
