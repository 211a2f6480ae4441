#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# One version everywhere: the build's, the newest entry of debian/changelog
# (the package's), the built manual's footer, and every version of lptline
# that README.md and HACKING.md name.
# usage: version_test.sh VERSION SOURCE-DIR BUILT-PAGE
set -u
version=$1 src=$2 page=$3
# shellcheck source=testlib.sh
. "$(dirname "$0")/testlib.sh"
newest=$(sed -n '1s/^lptline (\([^)]*\)) .*/\1/p' "$src/debian/changelog")
footer=$(sed -n 's/^\.Os lptline //p' "$page")
found=("debian/changelog:$newest" "manual footer:$footer")
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
