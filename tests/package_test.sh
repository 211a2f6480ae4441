#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The Debian package as an administrator gets it: two builds of one commit
# in two folders give the same packages, lintian passes the source and
# binary packages with --pedantic, apt installs it and its binary is
# root:lp 0754 with cap_sys_rawio=ep, after an upgrade too; an
# administrator's override wins and survives upgrades, the capability set
# again, unless every user may run it; where it cannot grant (setcap fails,
# no group lp, no binary) it says why in one line; purged, nothing is left;
# and its autopkgtest tests pass, with autopkgtest's own runner on this
# machine. It changes the system, so it is registered only when asked for,
# runs only as root, and only where no lptline package is installed already.
# usage: package_test.sh SOURCE-DIR
set -u
src=$1
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
bin=/usr/sbin/lptline
cleanup() {
	dpkg-statoverride --remove "$bin" >/dev/null 2>&1
	dpkg --purge lptline >/dev/null 2>&1
	rm -rf "$work"
}
export DEBIAN_FRONTEND=noninteractive
# state: the binary's owner, group, mode and capability.
state() {
	echo "$(stat -c '%U:%G %a' "$bin") $(getcap "$bin" | cut -d' ' -f2)"
}
# expect WHEN STATE: the binary is in that state.
expect() {
	[ "$(state)" = "$2" ] || fail "$1: $(state), expected $2"
	echo "$1: $(state)"
}

# build FOLDER [ENTRY]: the source and binary packages, from a copy of the
# source in FOLDER, with ENTRY first in its changelog; beside FOLDER. The
# tests that tools/test runs in the package's build are left out.
build() {
	copy_source "$src" "$1" || { echo "FAIL: copying the source to $1"; exit 1; }
	if [ -n "${2-}" ]; then
		printf '%s\n\n' "$2" | cat - "$src/debian/changelog" >"$1/debian/changelog"
	fi
	(cd "$1" && DEB_BUILD_OPTIONS=nocheck dpkg-buildpackage -us -uc) >"$1.log" 2>&1 ||
		{ echo "FAIL: the package in $1: $(tail -n 5 "$1.log")"; exit 1; }
}
# This commit twice, in two folders; and as a newer version, for an upgrade.
version=$(dpkg-parsechangelog -l "$src/debian/changelog" -S Version)
build "$work/1/lptline"
build "$work/2/source"
build "$work/3/lptline" "lptline ($version.1) unstable; urgency=medium

  * An upgrade.

 -- $(dpkg-parsechangelog -l "$src/debian/changelog" -S Maintainer)  $(date -R)"
changes=$(ls "$work"/1/lptline_*.changes)
deb=$(ls "$work"/1/lptline_*.deb) newer=$(ls "$work"/3/lptline_*.deb)
for package in "$work"/1/*.deb; do
	cmp -s "$package" "$work/2/${package##*/}" || fail "two builds of one commit give packages ${package##*/} that differ"
done
echo "package: ${deb##*/}, $(stat -c %s "$deb") bytes, Depends: $(dpkg-deb -f "$deb" Depends)"
[[ $(dpkg-deb -f "$deb" Depends) =~ ^libcap2-bin,\ libc6\ \(\>=\ [0-9.]+\)$ ]] || fail "Depends is not libcap2-bin and libc6"
# lintian refuses to run as root without saying so on standard error.
lintian --pedantic --fail-on error,warning,pedantic "$changes" 2>/dev/null >"$work/lintian" ||
	fail "lintian: $(cat "$work/lintian")"

apt-get install -y -q "$deb" >"$work/log" 2>&1 || { echo "FAIL: apt-get install: $(tail -n 3 "$work/log")"; exit 1; }
expect installed "root:lp 754 cap_sys_rawio=ep"
# A copy, without the capability: CAP_SYS_RAWIO dropped, as the test
# does, a binary with it cannot be started at all.
cp "$bin" "$work/installed"
"$here/cli_test.sh" "$work/installed" | sed 's/^/installed: /'
[ "${PIPESTATUS[0]}" -eq 0 ] || fail "the installed binary"
[ "$(man -w lptline 2>&1)" = /usr/share/man/man8/lptline.8.gz ] || fail "man -w lptline: $(man -w lptline 2>&1)"
for doc in copyright changelog.gz README.md.gz; do
	[ -s "/usr/share/doc/lptline/$doc" ] || fail "no /usr/share/doc/lptline/$doc"
done
# The debug symbols of the installed binary, in the -dbgsym package.
id=$(readelf -n "$bin" | sed -n 's/^ *Build ID: //p')
dpkg-deb -c "$work"/1/lptline-dbgsym_*.deb | grep -q "/usr/lib/debug/.build-id/${id:0:2}/${id:2}\.debug$" ||
	fail "the -dbgsym package has no debug symbols for build ID '$id'"
apt-get install -y -q "$newer" >"$work/log" 2>&1 || fail "the upgrade: $(tail -n 3 "$work/log")"
expect "upgraded to $version.1" "root:lp 754 cap_sys_rawio=ep"

# The administrator's choice, for root only, wins and outlives upgrades.
{ dpkg-statoverride --update --add root root 0700 "$bin" && dpkg-reconfigure lptline; } || fail "the override"
expect "overridden" "root:root 700 cap_sys_rawio=ep"
dpkg -i "$newer" >/dev/null 2>&1 || fail "installing $version.1 again"
expect "overridden and installed again" "root:root 700 cap_sys_rawio=ep"
dpkg-statoverride --remove "$bin"

# The postinst where it cannot grant: one line on standard error, and a
# binary that no user but root may run with the port. Each row starts from
# the file as unpacked (root:root 755), holding the capability an earlier
# configure may have left. Row: what is wrong,
# the postinst's status, its standard error, the binary's state after.
mkdir "$work/setcap" "$work/getent"
cat >"$work/setcap/setcap" <<'EOF'
#!/bin/sh
echo "Failed to set capabilities on file '$2': Operation not supported" >&2
echo "(a second line)" >&2
exit 1
EOF
printf '#!/bin/sh\nexit 2\n' >"$work/getent/getent"
chmod +x "$work/setcap/setcap" "$work/getent/getent"
warning="lptline: warning:"
rows=(
	"setcap fails|0|$warning setcap cannot give $bin the capability cap_sys_rawio=ep (Failed to set capabilities on file '$bin': Operation not supported (a second line)), so only root may use it|root:lp 754 "
	"no group lp|0|$warning there is no group lp, so only root may use $bin; add it (addgroup --system lp), then run: dpkg-reconfigure lptline|root:root 755 "
	"an override of 0755|0|$warning the override of $bin lets every user run it, so it gets no capability and only root may use it|root:root 755 "
	"an override of 0750|0||root:lp 750 cap_sys_rawio=ep"
	"an override of 0700 not yet applied|0||root:root 700 cap_sys_rawio=ep"
	"no binary|1|lptline: $bin is missing; put it back by installing its package again (apt install --reinstall lptline, or the .deb it came from)|"
)
for row in "${rows[@]}"; do
	IFS='|' read -r what want message after <<<"$row"
	chown root:root "$bin" && chmod 755 "$bin" && setcap cap_sys_rawio=ep "$bin"
	path=$PATH
	case $what in
	"setcap fails") path=$work/setcap:$PATH ;;
	"no group lp") path=$work/getent:$PATH ;;
	"an override of 0755") dpkg-statoverride --add root root 0755 "$bin" ;;
	"an override of 0750") dpkg-statoverride --update --add root lp 0750 "$bin" ;;
	"an override of 0700 not yet applied") dpkg-statoverride --add root root 0700 "$bin" ;;
	"no binary") mv "$bin" "$work/binary" ;;
	esac
	said=$(PATH=$path /var/lib/dpkg/info/lptline.postinst configure 2>&1)
	status=$?
	dpkg-statoverride --remove "$bin" >/dev/null 2>&1
	[ -e "$work/binary" ] && mv "$work/binary" "$bin"
	[ "$status" = "$want" ] || fail "$what: the postinst's status $status, expected $want"
	[ "$said" = "$message" ] || fail "$what: the postinst said '$said'"
	if [ -n "$after" ]; then
		expect "$what" "$after"
	fi
done

apt-get purge -y -q lptline >/dev/null 2>&1 || fail "apt-get purge"
left=$(ls -d "$bin" /usr/share/man/man8/lptline.8.gz /usr/share/doc/lptline /var/lib/dpkg/info/lptline.* 2>/dev/null)
[ -z "$left" ] || fail "left after purging: $left"
dpkg -s lptline >/dev/null 2>&1 && fail "dpkg still knows lptline after purging"

# The tests of the installed package, which debian/tests holds, as
# autopkgtest runs them on a testbed: here, this machine.
if autopkgtest "$changes" -- null >"$work/autopkgtest" 2>&1; then
	sed -n '/@@@ summary$/,$s/^\([a-z-]* *[A-Z]*\)$/autopkgtest: \1/p' "$work/autopkgtest"
else
	fail "autopkgtest: $(tail -n 20 "$work/autopkgtest")"
fi
finish
