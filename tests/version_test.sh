#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# One version everywhere: the build's, the newest NEWS entry's, the built
# manual's footer, the package's, and every version of lptline that
# README.md and HACKING.md name.
# usage: version_test.sh VERSION SOURCE-DIR BUILT-PAGE CPACK-CONFIG
set -u
version=$1 src=$2 page=$3 cpack_config=$4
# shellcheck source=testlib.sh
. "$(dirname "$0")/testlib.sh"
newest=$(sed -n 's/^## \([0-9][0-9.]*\) .*/\1/p' "$src/NEWS.md" | head -n1)
footer=$(sed -n 's/^\.Os lptline //p' "$page")
package=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$cpack_config")
found=("NEWS.md:$newest" "manual footer:$footer" "package:$package")
for doc in README.md HACKING.md; do
	while read -r named; do
		found+=("$doc:$named")
	done < <(grep -o 'lptline[ _][0-9]\+\.[0-9]\+\.[0-9]\+' "$src/$doc" | cut -c9-)
done
for f in "${found[@]}"; do
	[ "${f#*:}" = "$version" ] || fail "${f%%:*} says '${f#*:}', the build $version"
done
echo "version $version, in ${#found[@]} places"
finish
