# SPDX-License-Identifier: MIT
# The emulated PCs' cache, which runs share: for each PC and release, Debian's kernel, and its
# busybox, setcap and C library as one cpio archive in merged /usr, which mmdebstrap takes from
# the release's packages (checked against Debian's signed lists). A fetch works in a folder of
# its own and renames the PC into place whole, under the cache's lock, so a PC that is there is
# whole; the next fetch clears what one that was killed outright left.
import contextlib
import fcntl
import glob
import itertools
import os
import re
import shutil
import subprocess
import tempfile
import time

import child

KEEP = [
    "/boot/vmlinuz-*",
    "/bin/busybox",
    "/sbin/setcap",
    "/lib*/ld-linux*",
    "/lib/*/libc.so.6",
    "/lib/*/libcap.so.2*",
]
KERNELS = {"amd64": "amd64", "i386": "686"}
# apt's words for a mirror caught mid-sync.
MID_SYNC = re.compile(r"File has unexpected size[^.]*|Hash Sum mismatch")
# Debian's security suite has stayed mid-sync for hours on end, and a test PC needs no security
# update: where that suite alone fails, the release is taken without it. mmdebstrap writes the
# suites it adds by default before apt reads them.
WITHOUT_SECURITY = "--setup-hook=sed -i '/-security/d' \"$1/etc/apt/sources.list\""


def cache_folder(environ):
    """emu/run's folder in the user's cache: in XDG_CACHE_HOME where that is an absolute path,
    which is made with mode 0700 if need be, as XDG says; else in HOME/.cache, but never in a
    HOME that does not exist."""
    top = environ.get("XDG_CACHE_HOME", "")
    if not os.path.isabs(top):
        home = environ.get("HOME", "")
        if not os.path.isdir(home):
            raise child.Failure(
                f"HOME ({home or 'not set'}) is no folder: set XDG_CACHE_HOME to one where "
                "emu/run may keep the PCs"
            )
        top = os.path.join(home, ".cache")
    os.makedirs(top, mode=0o700, exist_ok=True)
    return os.path.join(top, "lptline")


def pc(arch, release, say):
    """The PC's folder in the cache, fetched first if it is not there."""
    cache = cache_folder(os.environ)
    folder = os.path.join(cache, f"{release}-{arch}")
    if os.path.isdir(folder):
        return folder
    os.makedirs(cache, exist_ok=True)
    with open(os.path.join(cache, "lock"), "a") as lock:
        take(lock, cache, say)
        if not os.path.isdir(folder):
            clear(cache)
            fetch(arch, release, folder, say)
    return folder


def clear(cache):
    """Removes what fetches killed outright left in CACHE, and the scratch folder each named; no
    fetch of it runs while its lock is held."""
    for work in glob.glob(os.path.join(cache, ".fetch-*")):
        with contextlib.suppress(OSError), open(os.path.join(work, "scratch")) as note:
            remove(note.read())
        shutil.rmtree(work, ignore_errors=True)


def take(lock, cache, say):
    """Takes the cache's lock, waiting for another run's fetch, within the bound."""
    for waited in itertools.count():
        try:
            fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
            return
        except BlockingIOError:
            if waited == 0:
                say(f"waiting for another run's fetch into {cache}...")
            child.pause(0.2)


def fetch(arch, release, folder, say):
    what = f"the {release} {arch} PC"
    for tool in ("mmdebstrap", "tar", "cpio"):
        child.need(tool)
    say(f"fetching Debian {release}'s kernel, busybox, setcap and C library for {arch}...")
    start = time.monotonic()
    work = tempfile.mkdtemp(prefix=".fetch-", dir=os.path.dirname(folder))
    # mmdebstrap's own: without root it works as a mapped root, which may not enter the user's
    # folders.
    scratch = tempfile.mkdtemp(prefix="lptline-fetch.")
    os.chmod(scratch, 0o1777)
    with open(os.path.join(work, "scratch"), "w") as note:
        note.write(scratch)
    try:
        errors = download(arch, release, work, scratch, what, say)
        unpack(os.path.join(work, "pc.tar"), os.path.join(work, "root"))
        keep(os.path.join(work, "root"), os.path.join(work, "pc"), what)
        os.rename(os.path.join(work, "pc"), folder)
    finally:
        shutil.rmtree(work, ignore_errors=True)
        remove(scratch)
    fetched = " + ".join(re.findall(r"^Fetched ([0-9.,]+ [kMG]?B)", errors, re.M)) or "nothing"
    size = sum(os.path.getsize(path) for path in glob.glob(os.path.join(folder, "*"))) / 2**20
    took = time.monotonic() - start
    say(f"downloaded {fetched} in {took:.0f} s; {what} takes {size:.0f} MB in {folder}")


def mmdebstrap(arch, release):
    # In a namespace of its own, as root too, so that its mounts end with it, however it ends.
    argv = ["mmdebstrap", "--mode=unshare", "--verbose", "--variant=extract"]
    argv.append(f"--architectures={arch}")
    argv.append(f"--include=linux-image-{KERNELS[arch]},busybox-static,libcap2-bin")
    argv.append("--dpkgopt=path-exclude=/*")
    for path in KEEP:
        argv.append(f"--dpkgopt=path-include={path}")
        argv.append(f"--dpkgopt=path-include=/usr{path}")
    return argv + [release, "-"]


def download(arch, release, work, scratch, what, say):
    """Runs mmdebstrap into WORK/pc.tar, in SCRATCH; gives what it said."""
    argv = mmdebstrap(arch, release)
    status, errors = attempt(argv, work, scratch)
    if status != 0 and only_security(errors):
        say(f"Debian's security suite is mid-sync; taking {release} without it...")
        status, errors = attempt(argv[:1] + [WITHOUT_SECURITY] + argv[1:], work, scratch)
    if status == 0:
        return errors
    # apt's first error says why, a mirror mid-sync included.
    for line in errors.splitlines():
        if line.startswith("E: "):
            raise child.Failure(f"could not fetch {what}: {line[3:]}")
    raise child.Failure(f"could not fetch {what}: mmdebstrap ended with status {status}")


def attempt(argv, work, scratch):
    env = dict(os.environ, TMPDIR=scratch)
    with open(os.path.join(work, "pc.tar"), "wb") as tar:
        status, _, errors = child.run(argv, stdout=tar, stderr=subprocess.PIPE, env=env)
    return status, errors.decode(errors="replace")


def only_security(errors):
    """Whether every index that apt gave up on, as mid-sync, is the security suite's."""
    failed = [
        line for line in errors.splitlines() if line.startswith("E: ") and MID_SYNC.search(line)
    ]
    return failed != [] and all("-security/" in line for line in failed)


def unpack(tar, root):
    """Unpacks TAR into ROOT; either release's files land in merged /usr, through its links."""
    for name in ("bin", "sbin", "lib", "lib64"):
        os.makedirs(os.path.join(root, "usr", name))
        os.symlink("usr/" + name, os.path.join(root, name))
    argv = ["tar", "-x", "-f", tar, "-C", root, "--keep-directory-symlink", "--exclude=./dev"]
    status, _, errors = child.run(argv, stderr=subprocess.PIPE)
    if status != 0:
        last = errors.decode(errors="replace").strip().split("\n")[-1]
        raise child.Failure(f"could not unpack the PC's packages: {last}")


def keep(root, new, what):
    """Moves the kernel from ROOT to NEW, and packs the rest of what the PC keeps there."""
    for path in KEEP:
        if not glob.glob(root + path):
            raise child.Failure(f"the packages of {what} hold no {os.path.basename(path)}")
    os.mkdir(new)
    os.rename(glob.glob(f"{root}/boot/vmlinuz-*")[0], os.path.join(new, "vmlinuz"))
    for name in set(os.listdir(root)) - {"bin", "sbin", "lib", "lib64", "usr"}:
        shutil.rmtree(os.path.join(root, name))
    with open(os.path.join(new, "cpio"), "wb") as out:
        archive(root, out)


def archive(top, out):
    """Writes TOP's files to OUT as a cpio archive owned by root, as the PC's initramfs takes it."""
    names = []
    for path, folders, files in os.walk(top):
        for name in folders + files:
            names.append(os.path.relpath(os.path.join(path, name), top))
    argv = ["cpio", "--quiet", "-o", "-H", "newc", "-R", "0:0"]
    feed = "\n".join(names).encode()
    status, _, errors = child.run(argv, feed, stdout=out, stderr=subprocess.PIPE, cwd=top)
    if status != 0:
        said = errors.decode(errors="replace").strip() or f"status {status}"
        raise child.Failure(f"cpio could not pack {top}: {said}")


def remove(scratch):
    shutil.rmtree(scratch, ignore_errors=True)
    if os.path.exists(scratch):
        # A user's mmdebstrap stopped midway leaves files of its namespace's users.
        argv = ["unshare", "--map-auto", "--map-root-user", "rm", "-rf", scratch]
        subprocess.run(argv, stderr=subprocess.DEVNULL, check=False)
