#!/usr/bin/env bash
# The Debian package as an administrator gets it: install, run, read the
# manual, remove. It changes the system, so only as root and only where no
# lptline package is installed already.
set -u
build=$1
here=$(cd "$(dirname "$0")" && pwd)
if [ "$(id -u)" -ne 0 ]; then
	echo "skip: installing a package needs root"
	exit 77
fi
if dpkg -s lptline >/dev/null 2>&1; then
	echo "skip: an lptline package is installed already"
	exit 77
fi
. "$(dirname "$0")/testlib.sh"
cleanup() {
	dpkg -r lptline >/dev/null 2>&1
	rm -rf "$work"
}

(cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" >/dev/null) || { echo "FAIL: cpack"; exit 1; }
deb=$(ls "$work"/lptline_*.deb)
arch=$(dpkg-deb -f "$deb" Architecture)
if ! { dpkg --print-architecture; dpkg --print-foreign-architectures; } | grep -qx "$arch"; then
	echo "skip: this system does not take $arch packages"
	exit 77
fi
[ -z "$(dpkg-deb -f "$deb" Depends)" ] || fail "the static build's package depends on $(dpkg-deb -f "$deb" Depends)"
[ "$(dpkg-deb -f "$deb" Section)" = admin ] || fail "section $(dpkg-deb -f "$deb" Section)"
dpkg -i "$deb" >/dev/null || { echo "FAIL: dpkg -i"; exit 1; }

[ -x /usr/sbin/lptline ] || fail "no /usr/sbin/lptline"
"$here/cli_test.sh" /usr/sbin/lptline | sed 's/^/installed: /'
case ${PIPESTATUS[0]} in 0 | 77) ;; *) fail "the installed binary" ;; esac
[ "$(man -w lptline 2>&1)" = /usr/share/man/man8/lptline.8.gz ] || fail "man -w lptline: $(man -w lptline 2>&1)"

dpkg -r lptline >/dev/null || fail "dpkg -r"
[ ! -e /usr/sbin/lptline ] || fail "/usr/sbin/lptline is left after removal"
[ ! -e /usr/share/man/man8/lptline.8.gz ] || fail "the manual page is left after removal"

finish
