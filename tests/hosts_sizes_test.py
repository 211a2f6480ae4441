#!/usr/bin/python3
# SPDX-License-Identifier: MIT
# tools/hosts reads apt's sizes as apt writes them: every unit, thousands
# separators, what is freed, a download of which only part was fetched, and
# a line it cannot read, which gives no size rather than a traceback.
# usage: hosts_sizes_test.py SOURCE-FOLDER
import os
import runpy
import sys
import types

sys.dont_write_bytecode = True
# tools/hosts has no .py suffix: its functions, without running its main part.
path = os.path.join(sys.argv[1], "tools", "hosts")
hosts = types.SimpleNamespace(**runpy.run_path(path, run_name="hosts"))

# An apt line, and its size in MB (None: no size).
SIZES = [
    ("Need to get 512 B of archives.", 0.000512),
    ("Need to get 9,402 kB of archives.", 9.402),
    ("Need to get 86.5 MB of archives.", 86.5),
    ("Need to get 1,234 MB of archives.", 1234.0),
    ("Need to get 1.2 GB of archives.", 1200.0),
    ("Need to get 0 B/330 MB of archives.", 0.0),
    ("Need to get 12.5 MB/330 MB of archives.", 12.5),
    ("After this operation, 491 MB of additional disk space will be used.", 491.0),
    ("After this operation, 12.3 kB disk space will be freed.", -0.0123),
    ("86.5 MB", 86.5),
    ("Need to get 1.2.3 MB of archives.", None),
    ("Need to get some archives.", None),
]
# A log, and the summary of its tools/deps runs.
LOGS = [
    (
        "deps: Need to get 0 B/330 MB of archives.\nx\ndeps: After this operation, 1 GB of additional "
        "disk space will be used.\n",
        ["0 MB down, 1000 MB on disk"],
    ),
    (
        "deps: Need to get 512 B of archives.\ndeps: After this operation, 2,048 kB of additional disk "
        "space will be used.\ndeps: Need to get 5 MB of archives.\ndeps: After this operation, 9 MB "
        "of additional disk space will be used.\n",
        ["0 MB down, 2 MB on disk", "5 MB down, 9 MB on disk"],
    ),
    ("deps: Need to get ??? of archives.\ndeps: After this operation, nothing.\n", ["?"]),
    ("no apt here\n", []),
]


def same(got, want):
    """Whether two sizes agree, as far as floating point lets them."""
    if got is None or want is None:
        return got is want
    return abs(got - want) < 1e-9


failures = 0
for line, want in SIZES:
    got = hosts.size_in_mb(line)
    if same(got, want):
        print(f"ok: {line!r}: {got}")
    else:
        print(f"FAIL: {line!r}: {got}, expected {want}")
        failures += 1
for text, want in LOGS:
    got = hosts.deps_sizes(text)
    if got == want:
        print(f"ok: {got}")
    else:
        print(f"FAIL: {text!r}: {got}, expected {want}")
        failures += 1
print(f"{failures} failed")
sys.exit(1 if failures else 0)
