#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The Debian package as dpkg-buildpackage builds it, for this machine's
# architecture (running the tests that need no emulated PC) or cross-built
# for another, in a copy of the source so that no build folder of the
# checkout goes in; warnings are errors, as in every build tools/test
# makes. Its dependencies come from dpkg-shlibdeps: libcap2-bin, for the
# grant, and the C library of the architecture built for. The packages
# are left in OUT, the build's log in OUT/build.log.
# usage: package_build.sh SOURCE-DIR OUT ARCH
set -u
src=$1 out=$2 arch=$3
# shellcheck source=testlib.sh
. "$(dirname "$0")/testlib.sh"
rm -rf "$out" && copy_source "$src" "$out/lptline" || exit 1
options=(-us -uc -b)
[ "$arch" = "$(dpkg --print-architecture)" ] || options+=(-a "$arch")
echo "run: dpkg-buildpackage ${options[*]}"
if ! (cd "$out/lptline" && DEB_CXXFLAGS_APPEND="-Wall -Wextra -Wpedantic -Wconversion -Wshadow -Werror" \
	dpkg-buildpackage "${options[@]}") >"$out/build.log" 2>&1; then
	echo "FAIL: dpkg-buildpackage ${options[*]}:"
	tail -n 30 "$out/build.log"
	exit 1
fi
grep -E '^[0-9]+% tests passed' "$out/build.log"
deb=$(ls "$out"/lptline_*_"$arch".deb)
echo "package: ${deb##*/}: Architecture: $(dpkg-deb -f "$deb" Architecture), Depends: $(dpkg-deb -f "$deb" Depends)"
[ "$(dpkg-deb -f "$deb" Architecture)" = "$arch" ] || fail "Architecture is not $arch"
[[ $(dpkg-deb -f "$deb" Depends) =~ ^libcap2-bin,\ libc6\ \(\>=\ [0-9.]+\)$ ]] || fail "Depends is not libcap2-bin and libc6"
finish
