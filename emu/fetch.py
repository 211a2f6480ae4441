# SPDX-License-Identifier: MIT
# Keeps the emulated PCs in a cache that runs share: Debian's kernel, and its busybox, setcap and
# C library as a cpio archive in merged /usr, as mmdebstrap extracts them from a release's
# packages (checked against Debian's signed lists). Their checksums, covering each path's
# contents, link and mode, are checked under the lock. A fetch that meets a mirror mid-sync tries
# again after a pause.
import contextlib
import errno
import fcntl
import glob
import hashlib
import os
import pathlib
import re
import shutil
import signal
import stat
import tempfile

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
# Each tool the harness runs, and the Debian package that has it.
PACKAGES = {
    "mmdebstrap": "mmdebstrap",
    "tar": "tar",
    "cpio": "cpio",
    "unshare": "util-linux",
    "readelf": "binutils",
    "dpkg-deb": "dpkg",
    "qemu-system-x86_64": "qemu-system-x86",
    "qemu-system-i386": "qemu-system-x86",
}
# What a fetch needs free while it runs: in the cache, the files kept and packed; in TMPDIR, the
# packages mmdebstrap unpacks.
CACHE_MB = 40
TMPDIR_MB = 300
# apt's words for a mirror caught mid-sync, which passes within minutes.
MID_SYNC = re.compile(r"File has unexpected size[^.]*|Hash Sum mismatch")
TRIES = 4
# Where the security suite alone is mid-sync, the release is taken without it: a test PC needs no
# security update. mmdebstrap writes the suites it adds by default before apt reads them.
WITHOUT_SECURITY = "--setup-hook=sed -i '/-security/d' \"$1/etc/apt/sources.list\""
FULL = "No space left on device"


def home(environ):
    """The cache's folder, in XDG_CACHE_HOME where that is an absolute path (XDG's rule), else in
    HOME/.cache; whichever it is must exist, as emu/run makes no folder outside it."""
    name = "XDG_CACHE_HOME"
    top = environ.get(name, "")
    cache = os.path.join(top, "lptline")
    if not os.path.isabs(top):
        name = "HOME"
        top = environ.get(name, "")
        cache = os.path.join(top, ".cache", "lptline")
    if not top:
        raise RuntimeError(
            "neither HOME nor XDG_CACHE_HOME is set: set one to say where to keep the downloaded "
            "kernel"
        )
    if not os.path.lexists(top):
        raise RuntimeError(
            f"{name} {top} does not exist: set XDG_CACHE_HOME to a folder where the downloaded "
            "kernel may be kept"
        )
    return cache


def sums(pc):
    text = ""
    for name in ("vmlinuz", "cpio"):
        digest = hashlib.sha256(pathlib.Path(pc, name).read_bytes()).hexdigest()
        text += f"{digest}  {name}\n"
    return text.encode()


def whole(pc):
    """Whether PC holds its files as their sums say; any damage, of the sums too, is a no."""
    try:
        with open(os.path.join(pc, "sums"), "rb") as file:
            kept = file.read(4096)
        return kept == sums(pc)
    except OSError:
        return False


def need(tool):
    if not shutil.which(tool):
        raise RuntimeError(
            f"{tool} is missing; install it with tools/deps (package {PACKAGES[tool]})"
        )


def archive(top, out):
    """Appends TOP's files to OUT as a cpio archive, owned by root, as the PC's initramfs takes
    it."""
    names = []
    for path, dirs, files in os.walk(top):
        for name in dirs + files:
            names.append(os.path.relpath(os.path.join(path, name), top))
    argv = ["cpio", "--quiet", "-o", "-H", "newc", "-R", "0:0"]
    status, _, errors = child.run(argv, "packing", out, inp="\n".join(names).encode(), cwd=top)
    if FULL in errors:
        raise OSError(errno.ENOSPC, FULL, out.name)
    if status != 0:
        raise OSError(errno.EIO, "cpio failed", top)


def remove(folder):
    shutil.rmtree(folder, ignore_errors=True)
    if os.path.exists(folder):
        # Mapped users of mmdebstrap's user namespace own some of it.
        child.run(["unshare", "--map-auto", "--map-root-user", "rm", "-rf", folder])


def sweep(cache):
    """Removes what killed fetches left, under the lock, so that no fetch is running."""
    for stale in glob.glob(os.path.join(cache, ".fetch-*")):
        with contextlib.suppress(OSError):
            scratch = os.fsdecode(read_note(os.path.join(stale, "scratch")))
            # Only a folder that a fetch made, whatever the file was left holding.
            if "\0" not in scratch and os.path.basename(scratch).startswith("lptline-fetch."):
                remove(scratch)
        remove(stale)


def check_room(cache, what):
    for folder, need_mb in ((cache, CACHE_MB), (tempfile.gettempdir(), TMPDIR_MB)):
        free = shutil.disk_usage(folder).free // 2**20
        if free < need_mb:
            raise RuntimeError(
                f"{folder} has {free} MB free; fetching the {what} PC needs about {need_mb} MB "
                "there"
            )


def full(errors, folders):
    """The folder of FOLDERS whose disk a failed tool filled, or None."""
    for folder in folders:
        if shutil.disk_usage(folder).free < 2**20:
            return folder
    if FULL in errors:
        return " or ".join(folders)
    return None


def mmdebstrap(arch, release):
    argv = ["mmdebstrap", "--verbose", "--variant=extract", f"--architectures={arch}"]
    argv.append(f"--include=linux-image-{KERNELS[arch]},busybox-static,libcap2-bin")
    argv.append("--dpkgopt=path-exclude=/*")
    for path in KEEP:
        argv.append(f"--dpkgopt=path-include={path}")
        argv.append(f"--dpkgopt=path-include=/usr{path}")
    return argv + [release, "-"]


def failure(status, errors):
    """mmdebstrap's failure in a few words: apt's error, else how it ended."""
    for line in errors.splitlines():
        if line.startswith("E: "):
            return line[3:203]
    if status > 0:
        return f"mmdebstrap ended with status {status}"
    return f"mmdebstrap was killed by signal {-status}"


def steps(err, done, say):
    """Says the steps mmdebstrap wrote to ERR (its I: lines) after byte DONE, as progress lines;
    gives the new DONE. It reads without moving the offset that mmdebstrap writes at."""
    text = os.pread(err.fileno(), 2**20, done)
    end = text.rfind(b"\n") + 1
    for line in text[:end].decode(errors="replace").splitlines():
        if line.startswith("I: "):
            say(f"  {line[3:].rstrip('.')}...")
    return done + end


def attempt(argv, tar, scratch, say):
    """Runs mmdebstrap once, into TAR, saying its steps as they come: its status and errors."""
    done = 0

    def watch():
        nonlocal done
        done = steps(err, done, say)
        return False

    with open(tar, "wb") as out, tempfile.TemporaryFile() as err:
        env = dict(os.environ, TMPDIR=scratch)
        status, _, errors = child.run(argv, "the fetch", out, err, watch=watch, env=env)
        steps(err, done, say)
    return status, errors


def in_security(errors):
    """Whether every index that apt gave up on for a mirror mid-sync is the security suite's."""
    failed = []
    for line in errors.splitlines():
        if line.startswith("E: ") and MID_SYNC.search(line):
            failed.append(line)
    for line in failed:
        if "-security/" not in line:
            return False
    return bool(failed)


def download(argv, tar, scratch, what, say):
    """Runs mmdebstrap into TAR, again after a pause while Debian's mirror is mid-sync; the pause
    is a tenth of what is left of the run's bound."""
    left = signal.getitimer(signal.ITIMER_REAL)[0]
    wait = min(120, max(1, round(left / 10)))
    for tries in range(1, TRIES + 1):
        status, errors = attempt(argv, tar, scratch, say)
        for line in re.findall("^Fetched (.*)$", errors, re.M):
            say(f"  got {line}")
        if status == 0:
            return 0, ""
        sync = MID_SYNC.search(errors)
        if sync is None:
            return status, errors
        if tries == TRIES:
            raise RuntimeError(
                f"could not fetch the {what} PC: Debian's mirror was still mid-sync after "
                f"{TRIES} tries ({sync[0]}); try again later"
            )
        if in_security(errors) and WITHOUT_SECURITY not in argv:
            say(f"Debian's security suite is mid-sync ({sync[0]}); taking {what} without it...")
            argv = [argv[0], WITHOUT_SECURITY] + argv[1:]
            continue
        say(f"Debian's mirror is mid-sync ({sync[0]}); trying again in {wait} s...")
        child.pause(wait, "the fetch")


def unpack(tar, root, what):
    """Unpacks TAR into ROOT, either release's files landing in merged /usr through its links."""
    for name in ("bin", "sbin", "lib", "lib64"):
        os.makedirs(os.path.join(root, "usr", name))
        os.symlink("usr/" + name, os.path.join(root, name))
    argv = ["tar", "-x", "-f", tar, "-C", root, "--keep-directory-symlink", "--exclude=./dev"]
    status, _, errors = child.run(argv, "unpacking")
    if FULL in errors:
        raise OSError(errno.ENOSPC, FULL, root)
    if status != 0:
        last = "?"
        if errors.splitlines():
            last = errors.splitlines()[-1]
        raise RuntimeError(f"could not unpack the {what} PC: {last}")


def keep(root, new, release, arch):
    """Moves the kernel and packs the files kept from ROOT into NEW, with their sums."""
    for path in KEEP:
        usr = "/usr"
        if path.startswith("/boot/"):
            usr = ""
        if not glob.glob(root + usr + path):
            name = os.path.basename(path)
            raise RuntimeError(f"Debian {release}'s packages for {arch} hold no {name}")
    os.mkdir(new)
    os.rename(glob.glob(f"{root}/boot/vmlinuz-*")[0], os.path.join(new, "vmlinuz"))
    for name in set(os.listdir(root)) - {"bin", "sbin", "lib", "lib64", "usr"}:
        shutil.rmtree(os.path.join(root, name))
    with open(os.path.join(new, "cpio"), "wb") as out:
        archive(root, out)
    pathlib.Path(new, "sums").write_bytes(sums(new))


def fetch(arch, release, cache, pc, say):
    """Fetches the PC into PC, while the caller holds the lock."""
    what = f"{release} {arch}"
    need("mmdebstrap")
    need("tar")
    need("cpio")
    if os.getuid() != 0:
        need("unshare")
    check_room(cache, what)
    tmp = None
    scratch = None
    try:
        tmp = tempfile.mkdtemp(prefix=".fetch-", dir=cache)
        scratch = tempfile.mkdtemp(prefix="lptline-fetch.")
        pathlib.Path(tmp, "scratch").write_text(scratch)
        # Without root, mmdebstrap works as a mapped root that must write here.
        os.chmod(scratch, 0o1777)
        say(f"fetching Debian {release}'s kernel, busybox and setcap for {arch}...")
        tar = os.path.join(tmp, "pc.tar")
        status, errors = download(mmdebstrap(arch, release), tar, scratch, what, say)
        if status != 0:
            filled = full(errors, [cache, tempfile.gettempdir()])
            if filled:
                raise RuntimeError(f"could not fetch the {what} PC: {filled} is full ({FULL})")
            raise RuntimeError(f"could not fetch the {what} PC: {failure(status, errors)}")
        unpack(tar, os.path.join(tmp, "root"), what)
        keep(os.path.join(tmp, "root"), os.path.join(tmp, "pc"), release, arch)
        if os.path.lexists(pc):
            os.rename(pc, os.path.join(tmp, "old"))
        os.rename(os.path.join(tmp, "pc"), pc)
        say(f"cached the {what} PC in {pc}")
    except OSError as error:
        if error.errno == errno.ENOSPC:
            raise RuntimeError(f"could not fetch the {what} PC: {cache} is full ({FULL})") from None
        raise RuntimeError(
            f"cannot fetch the {what} PC into {cache}: {error.strerror} ({error.filename})"
        ) from None
    finally:
        for folder in (scratch, tmp):
            if folder:
                remove(folder)


def read_note(path):
    """A killed fetch's note of its folder: a short regular file, never a FIFO that would hang."""
    fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK)
    try:
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            raise OSError(errno.EINVAL, "not a file", path)
        return os.read(fd, 4096)
    finally:
        os.close(fd)


def lock(cache, say):
    """The cache's lock, taken; another run's use is waited for, with a line."""
    # Not blocking: a FIFO in the lock's place would hang the open, deaf to the bound.
    flags = os.O_RDONLY | os.O_CREAT | os.O_CLOEXEC | os.O_NONBLOCK
    fd = os.open(os.path.join(cache, "lock"), flags, 0o644)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        say(f"waiting for another run's use of {cache}...")
        with child.wait():
            fcntl.flock(fd, fcntl.LOCK_EX)
    return fd


@contextlib.contextmanager
def pc(arch, release, cache, say):
    """The PC's folder, whole (fetched if need be) and locked; a whole cache is used where it may
    not be written."""
    folder = os.path.join(cache, f"{release}-{arch}")
    fd = None
    try:
        os.makedirs(cache, exist_ok=True)
        fd = lock(cache, say)
    except OSError as error:
        if not whole(folder):
            raise RuntimeError(
                f"cannot write the cache folder {cache} ({error.strerror}; set XDG_CACHE_HOME "
                "to a writable folder)"
            ) from None
    try:
        if fd is not None:
            sweep(cache)
        if not whole(folder):
            if os.path.lexists(folder):
                say(f"the cached {release} {arch} PC is incomplete or damaged; fetching it again")
            fetch(arch, release, cache, folder, say)
        yield folder
    finally:
        if fd is not None:
            os.close(fd)
