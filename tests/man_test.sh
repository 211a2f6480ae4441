#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The manual passes mandoc's lint, renders without a warning and quotes the
# binary's own usage line.
set -u
page=$1
bin=$2
# shellcheck source=testlib.sh
. "$(dirname "$0")/testlib.sh"
lint=$(mandoc -Tlint -Wwarning "$page" 2>&1) || fail "mandoc: $lint"
rendered=$(MANWIDTH=80 man --warnings -l "$page" 2>"$work/warnings")
[ -s "$work/warnings" ] && fail "warnings: $(cat "$work/warnings")"
usage=$("$bin" 2>&1)
grep -qF "$usage" <<<"$rendered" || fail "the page does not show '$usage'"
synopsis=$(sed -n '/^SYNOPSIS/{n;p;q}' <<<"$rendered" | sed 's/^ *//')
[ "usage: $synopsis" = "$usage" ] || fail "SYNOPSIS '$synopsis' is not the usage line '$usage'"
finish
