# SPDX-License-Identifier: MIT
# The one way the harness runs a program: in a process group of its own, its error output
# captured, the whole group stopped on a signal, at the run's bound or when a watch says so, and
# reaped without a word. A signal only notes itself and stops the running group; the main line
# stops at its next check, and from then on is deaf to signals while it cleans up. Each program
# dies with the harness, and a guard process stops what the harness left running when it is
# killed outright.
import contextlib
import ctypes
import fcntl
import glob
import os
import shutil
import signal
import stat
import subprocess
import tempfile
import time

SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGALRM)
PR_SET_PDEATHSIG = 1
LIBC = ctypes.CDLL(None, use_errno=True)

caught = None  # the first signal that came
stopping = False  # Stop was raised: the cleanup runs, deaf to signals
running = None  # the process group running now
waiting = False  # the main line waits in a call that only an exception ends
guard_pipe = None  # what tells the guard which groups run
guard_pid = None


class Stop(Exception):
    """A signal came (SIGALRM: the run's bound); what names what it stopped."""

    what = None


def note(signum, _frame):
    global caught
    if caught is None:
        caught = signum
    if running is not None:
        with contextlib.suppress(OSError):
            os.killpg(running, signal.SIGTERM)
    if waiting:
        check()


def catch(seconds=0):
    """From now on INT, TERM, HUP and the end of SECONDS are noted, and stop the running group."""
    for signum in SIGNALS:
        signal.signal(signum, note)
    signal.setitimer(signal.ITIMER_REAL, seconds)


def check(what=None):
    """Raises Stop, once, if a signal came; from then on signals wait, blocked, for the cleanup."""
    global stopping
    if caught is None or stopping:
        return
    stopping = True
    signal.pthread_sigmask(signal.SIG_BLOCK, SIGNALS)
    stop = Stop(caught)
    stop.what = what
    raise stop


@contextlib.contextmanager
def wait():
    """Within, a signal raises Stop at once: for one blocking call (a lock, a read) and nothing
    that must be undone."""
    global waiting
    check()
    waiting = True
    try:
        yield
    finally:
        waiting = False


def pause(seconds, what=None):
    """Sleeps SECONDS, unless a signal comes first."""
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        check(what)
        time.sleep(min(0.1, max(0, end - time.monotonic())))
    check(what)


def tell(record):
    """Tells the guard, if there is one, that a group started or ended."""
    if guard_pipe is None:
        return
    with contextlib.suppress(OSError):
        os.write(guard_pipe, record.encode() + b"\n")


def guard(folder):
    """Forks the guard: once this process has ended, however, it kills every group this one left
    running and removes FOLDER. It holds what this process held then, FOLDER's lock included."""
    global guard_pipe, guard_pid
    read, write = os.pipe()
    pid = os.fork()
    if pid == 0:
        # Whatever happens, the guard never goes back to the harness's own code.
        try:
            os.close(write)
            keep_watch(read, folder)
        finally:
            os._exit(0)
    os.close(read)
    guard_pipe = write
    guard_pid = pid


def release_guard():
    """Lets the guard go, as this process ends whole, and waits for it."""
    global guard_pipe
    if guard_pipe is None:
        return
    os.close(guard_pipe)
    guard_pipe = None
    with contextlib.suppress(ChildProcessError):
        os.waitpid(guard_pid, 0)


def keep_watch(read, folder):
    # In a session of its own, deaf and mute, so that nothing meant for the harness ends it.
    os.setsid()
    for signum in SIGNALS:
        signal.signal(signum, signal.SIG_IGN)
    null = os.open(os.devnull, os.O_RDWR)
    for fd in (0, 1, 2):
        os.dup2(null, fd)
    records = b""
    chunk = os.read(read, 4096)
    while chunk:
        records += chunk
        chunk = os.read(read, 4096)
    groups = set()
    for record in records.decode().split("\n"):
        if record.startswith("group "):
            groups.add(int(record[6:]))
        if record.startswith("ended "):
            groups.discard(int(record[6:]))
    for group in groups:
        with contextlib.suppress(OSError):
            os.killpg(group, signal.SIGKILL)
    shutil.rmtree(folder, ignore_errors=True)


def folder(prefix):
    """A new folder in TMPDIR, locked while this process or its guard lives, once the folders of
    PREFIX that killed runs of this user left, whose lock nothing holds, are swept."""
    for old in glob.glob(os.path.join(tempfile.gettempdir(), glob.escape(prefix) + "*")):
        with contextlib.suppress(OSError):
            sweep(old)
    new = tempfile.mkdtemp(prefix=prefix)
    # Locked before it is named "lock", so that no sweep finds it free; held, never closed, until
    # this process and its guard end.
    lock = os.open(os.path.join(new, "lock.new"), os.O_RDONLY | os.O_CREAT, 0o600)
    fcntl.flock(lock, fcntl.LOCK_EX)
    os.rename(os.path.join(new, "lock.new"), os.path.join(new, "lock"))
    return new


def sweep(old):
    info = os.lstat(old)
    if not stat.S_ISDIR(info.st_mode) or info.st_uid != os.getuid():
        return
    # Not blocking: a FIFO planted there would otherwise hold the run before its bound is set.
    lock = os.open(os.path.join(old, "lock"), os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK)
    try:
        fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
        shutil.rmtree(old, ignore_errors=True)
    finally:
        os.close(lock)


def die_with(parent):
    # In the child, before it runs ARGV: the kernel kills it when the harness ends, even by KILL.
    LIBC.prctl(PR_SET_PDEATHSIG, signal.SIGKILL)
    if os.getppid() != parent:
        os._exit(127)


def start(argv, feed, out, err, popen):
    global running
    parent = os.getpid()
    proc = subprocess.Popen(
        argv,
        stdin=feed,
        stdout=out,
        stderr=err,
        start_new_session=True,
        preexec_fn=lambda: die_with(parent),
        **popen,
    )
    running = proc.pid
    tell(f"group {proc.pid}")
    return proc


def ended(proc):
    # Not reaped, so that the group's number stays its own until end().
    return os.waitid(os.P_PID, proc.pid, os.WEXITED | os.WNOHANG | os.WNOWAIT) is not None


def wait_end(proc, seconds):
    for _ in range(int(seconds * 20)):
        if ended(proc):
            return
        time.sleep(0.05)


def end(proc, grace):
    """Stops PROC's group: TERM, and KILL after GRACE seconds (at once when 0); then reaps it."""
    global running
    if grace:
        with contextlib.suppress(OSError):
            os.killpg(proc.pid, signal.SIGTERM)
        wait_end(proc, grace)
    with contextlib.suppress(OSError):
        os.killpg(proc.pid, signal.SIGKILL)
    running = None
    tell(f"ended {proc.pid}")
    proc.wait()


def watch_end(proc, watch, what):
    # Short pauses first: most programs the harness runs end within milliseconds.
    nap = 0.001
    while not ended(proc):
        check(what)
        if watch and nap == 0.2 and watch():
            return
        time.sleep(nap)
        nap = min(nap * 2, 0.2)


def run(argv, what=None, out=None, err=None, inp=b"", watch=None, **popen):
    """Runs ARGV with INP as input: its status (-N: ended by signal N), what it wrote unless OUT
    took it, and its error output, also into ERR if given (both files). WATCH, called every
    0.2 s, stops it by returning true. A signal raises Stop, with the group stopped."""
    check(what)
    with tempfile.TemporaryFile() as feed, tempfile.TemporaryFile() as mine:
        with tempfile.TemporaryFile() as errors:
            feed.write(inp)
            feed.seek(0)
            out = out or mine
            err = err or errors
            try:
                proc = start(argv, feed, out, err, popen)
            except OSError as error:
                return 127, b"", f"cannot run {argv[0]}: {error.strerror}"
            try:
                watch_end(proc, watch, what)
            except Stop:
                end(proc, 3)
                raise
            if ended(proc):
                end(proc, 0)
            else:
                end(proc, 3)
            # A signal that ended the program is the run's stop, not the program's failure.
            check(what)
            for file in (mine, err):
                file.seek(0)
            return proc.returncode, mine.read(), err.read().decode(errors="replace")
