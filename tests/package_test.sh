#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The Debian package as an administrator gets it: lintian, install, run,
# read the manual, remove. It changes the system, so it is registered only
# when asked for, runs only as root, and only where no lptline package is
# installed already.
set -u
build=$1 maintainer=$2
here=$(cd "$(dirname "$0")" && pwd)
if [ "$(id -u)" -ne 0 ]; then
	echo "skip: installing a package needs root"
	exit 77
fi
if dpkg -s lptline >/dev/null 2>&1; then
	echo "skip: an lptline package is installed already"
	exit 77
fi
# shellcheck source=testlib.sh
. "$here/testlib.sh"
cleanup() {
	dpkg -r lptline >/dev/null 2>&1
	rm -rf "$work"
}

# Made twice, from the same build: the two must be the same to the byte.
for n in 1 2; do
	mkdir "$work/$n"
	(cd "$work/$n" && cpack -G DEB --config "$build/CPackConfig.cmake" >/dev/null 2>&1) || { echo "FAIL: cpack"; exit 1; }
done
deb=$(ls "$work"/1/lptline_*.deb)
cmp -s "$deb" "$work/2/$(basename "$deb")" || fail "two packages of one build differ"
[ "$(dpkg-deb -f "$deb" Maintainer)" = "$maintainer" ] || fail "Maintainer $(dpkg-deb -f "$deb" Maintainer)"
echo "package: $(basename "$deb"), $(stat -c %s "$deb") bytes, Depends: $(dpkg-deb -f "$deb" Depends)"
[[ $(dpkg-deb -f "$deb" Depends) =~ ^libc6\ \(\>=\ [0-9.]+\)$ ]] || fail "Depends is not libc6 alone"
[ "$(dpkg-deb -f "$deb" Section)" = admin ] || fail "section $(dpkg-deb -f "$deb" Section)"
# lintian refuses to run as root without saying so on standard error.
lintian --fail-on error,warning "$deb" 2>/dev/null >"$work/lintian" || fail "lintian: $(cat "$work/lintian")"
dpkg -i "$deb" >/dev/null || { echo "FAIL: dpkg -i"; exit 1; }

[ -x /usr/sbin/lptline ] || fail "no /usr/sbin/lptline"
"$here/cli_test.sh" /usr/sbin/lptline | sed 's/^/installed: /'
[ "${PIPESTATUS[0]}" -eq 0 ] || fail "the installed binary"
[ "$(man -w lptline 2>&1)" = /usr/share/man/man8/lptline.8.gz ] || fail "man -w lptline: $(man -w lptline 2>&1)"
for doc in copyright changelog.gz README.md; do
	[ -s "/usr/share/doc/lptline/$doc" ] || fail "no /usr/share/doc/lptline/$doc"
done

# The permissions recipe, short of running the binary (which, on a kernel
# with ioperm, would write this machine's port): the capability is set, and
# an upgrade, here the same package again, drops it.
getent group lp >/dev/null && chgrp lp /usr/sbin/lptline && chmod 750 /usr/sbin/lptline
setcap cap_sys_rawio+ep /usr/sbin/lptline || fail "setcap"
[[ $(getcap /usr/sbin/lptline) == *cap_sys_rawio=ep ]] || fail "getcap: $(getcap /usr/sbin/lptline)"
dpkg -i "$deb" >/dev/null || fail "dpkg -i again"
[ -z "$(getcap /usr/sbin/lptline)" ] || fail "the upgrade kept $(getcap /usr/sbin/lptline)"

dpkg -r lptline >/dev/null || fail "dpkg -r"
[ ! -e /usr/sbin/lptline ] || fail "/usr/sbin/lptline is left after removal"
[ ! -e /usr/share/man/man8/lptline.8.gz ] || fail "the manual page is left after removal"

finish
