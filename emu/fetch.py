# SPDX-License-Identifier: MIT
# Keeps the emulated PCs in a cache that runs share: Debian's kernel, and its busybox, setcap and C library as a
# cpio archive in merged /usr, as mmdebstrap extracts them from a release's packages (checked against Debian's
# signed lists). Their checksums, covering each path's contents, link and mode, are checked under the lock.
import contextlib, fcntl, glob, hashlib, os, pathlib, re, shutil, tempfile  # noqa: E401
import child

KEEP = ["/boot/vmlinuz-*", "/bin/busybox", "/sbin/setcap", "/lib*/ld-linux*", "/lib/*/libc.so.6", "/lib/*/libcap.so.2*"]

def sums(pc):
    return "".join(f"{hashlib.sha256(pathlib.Path(pc, name).read_bytes()).hexdigest()}  {name}\n"
                   for name in ("vmlinuz", "cpio"))

def archive(top, out):
    """Appends TOP's files to OUT as a cpio archive, owned by root, as the PC's initramfs takes it."""
    names = [os.path.relpath(os.path.join(path, name), top) for path, dirs, files in os.walk(top)
             for name in dirs + files]
    if child.run(["cpio", "--quiet", "-o", "-H", "newc", "-R", "0:0"], "packing", out, inp="\n".join(names).encode(),
                 cwd=top)[0] != 0:
        raise OSError(0, "cpio failed", top)

def remove(folder):
    shutil.rmtree(folder, ignore_errors=True)
    if os.path.exists(folder):
        child.run(["unshare", "--map-auto", "--map-root-user", "rm", "-rf", folder])

def whole(pc):
    with contextlib.suppress(OSError):
        return pathlib.Path(pc, "sums").read_text() == sums(pc)

def fetch(arch, release, cache, pc, say):
    """Fetches the PC into PC, while the caller holds the lock."""
    what = f"{release} {arch}"
    # A killed fetch left its folders, mmdebstrap's some of it the mapped root's of its user namespace.
    for stale in glob.glob(os.path.join(cache, ".fetch-*")):
        with contextlib.suppress(OSError):
            remove(pathlib.Path(stale, "scratch").read_text())
        remove(stale)
    for folder, need in ((cache, 40), (tempfile.gettempdir(), 300)):  # the files kept, packed; the packages
        if shutil.disk_usage(folder).free < need * 2**20:
            raise RuntimeError(f"{folder} has {shutil.disk_usage(folder).free // 2**20} MB free; fetching the {what} "
                               f"PC needs about {need} MB there")
    tmp = tempfile.mkdtemp(prefix=".fetch-", dir=cache)
    scratch = tempfile.mkdtemp(prefix="lptline-fetch.")
    try:
        pathlib.Path(tmp, "scratch").write_text(scratch)
        os.chmod(scratch, 0o1777)  # Without root, mmdebstrap works as a mapped root that must write here.
        argv = ["mmdebstrap", "--verbose", "--variant=extract", f"--architectures={arch}", "--include=linux-image-"
                + {"amd64": "amd64", "i386": "686"}[arch] + ",busybox-static,libcap2-bin", "--dpkgopt=path-exclude=/*"]
        argv += [f"--dpkgopt=path-include={usr}{path}" for path in KEEP for usr in ("", "/usr")] + [release, "-"]
        say(f"fetching Debian {release}'s kernel, busybox and setcap for {arch}...")
        tar, root, new = os.path.join(tmp, "pc.tar"), os.path.join(tmp, "root"), os.path.join(tmp, "pc")
        with open(tar, "wb") as out:
            status, _, errors = child.run(argv, "the fetch", out, env=dict(os.environ, TMPDIR=scratch))
        for line in re.findall("^Fetched (.*)$", errors, re.M):
            say(f"  got {line}")
        if status != 0:
            raise RuntimeError(f"could not fetch the {what} PC: " + next(
                (line[3:203] for line in errors.splitlines() if line.startswith("E: ")), f"mmdebstrap ended with "
                f"status {status}" if status > 0 else f"mmdebstrap was killed by signal {-status}"))
        # Either release's files land in the merged layout through its links.
        for name in ("bin", "sbin", "lib", "lib64"):
            os.makedirs(os.path.join(root, "usr", name))
            os.symlink("usr/" + name, os.path.join(root, name))
        status, _, errors = child.run(["tar", "-x", "-f", tar, "-C", root, "--keep-directory-symlink",
                                       "--exclude=./dev"])
        if status != 0:
            raise RuntimeError(f"could not unpack the {what} PC: {(errors.splitlines() or ['?'])[-1]}")
        for path in [path for path in KEEP if not glob.glob(root + "/usr" * (path[:5] != "/boot") + path)][:1]:
            raise RuntimeError(f"Debian {release}'s packages for {arch} hold no {os.path.basename(path)}")
        os.mkdir(new)
        os.rename(glob.glob(f"{root}/boot/vmlinuz-*")[0], os.path.join(new, "vmlinuz"))
        for name in set(os.listdir(root)) - {"bin", "sbin", "lib", "lib64", "usr"}:
            shutil.rmtree(os.path.join(root, name))
        with open(os.path.join(new, "cpio"), "wb") as out:
            archive(root, out)
        pathlib.Path(new, "sums").write_text(sums(new))
        if os.path.lexists(pc):
            os.rename(pc, os.path.join(tmp, "old"))
        os.rename(new, pc)
        say(f"cached the {what} PC in {pc}")
    except OSError as error:
        raise RuntimeError(f"cannot fetch the {what} PC into {cache}: {error.strerror} ({error.filename})") from None
    finally:
        remove(scratch)
        remove(tmp)

@contextlib.contextmanager
def pc(arch, release, cache, say):
    """The PC's folder, whole (fetched if need be) and locked; a whole cache is used where it may not be written."""
    folder, lock = os.path.join(cache, f"{release}-{arch}"), None
    try:
        os.makedirs(cache, exist_ok=True)
        lock = os.open(os.path.join(cache, "lock"), os.O_RDONLY | os.O_CREAT | os.O_CLOEXEC, 0o644)
        try:
            fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            say(f"waiting for another run's use of {cache}...")
            fcntl.flock(lock, fcntl.LOCK_EX)
    except OSError as error:
        if not whole(folder):
            raise RuntimeError(f"cannot write the cache folder {cache} ({error.strerror}; set XDG_CACHE_HOME "
                               "to a writable folder)") from None
    try:
        if not whole(folder):
            if os.path.lexists(folder):
                say(f"the cached {release} {arch} PC is incomplete or damaged; fetching it again")
            fetch(arch, release, cache, folder, say)
        yield folder
    finally:
        if lock is not None:
            os.close(lock)
