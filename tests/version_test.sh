#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# One version everywhere: the build's, the newest NEWS entry's, the manual
# footer's and the package's.
set -u
version=$1 news=$2 page=$3 cpack_config=$4
# shellcheck source=testlib.sh
. "$(dirname "$0")/testlib.sh"
newest=$(sed -n 's/^## \([0-9][0-9.]*\) .*/\1/p' "$news" | head -n1)
footer=$(sed -n 's/^\.Os lptline //p' "$page")
package=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$cpack_config")
for found in "NEWS.md:$newest" "manual footer:$footer" "package:$package"; do
	[ "${found#*:}" = "$version" ] || fail "${found%%:*} says '${found#*:}', the build $version"
done
echo "version $version"
finish
