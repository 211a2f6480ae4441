# SPDX-License-Identifier: MIT
# How the harness runs programs and how it stops. Each program runs in a session of its own,
# within the run's bound; the kernel kills the program, though not what it started, when the
# harness dies (the parent-death signal).
# A signal handler only notes the signal and stops the running program's group with TERM; the
# main line sees the note when that program has ended, and stops there with 128+N. A group deaf
# to TERM gets KILL a few seconds later.
import contextlib
import ctypes
import os
import shutil
import signal
import subprocess
import time

SAID = {
    signal.SIGINT: "interrupted",
    signal.SIGQUIT: "quit",
    signal.SIGTERM: "terminated",
    signal.SIGHUP: "hung up",
}
GRACE = 3
PR_SET_PDEATHSIG = 1
# Loaded once, not in each child between its fork and its exec.
LIBC = ctypes.CDLL(None)
caught = None  # the first signal that came
running = None  # the process group running now
deadline = None  # the end of the run's bound, on the monotonic clock
bound = None  # the bound, in seconds


class Failure(Exception):
    """Ends the run with one line and STATUS."""

    def __init__(self, text, status=1):
        super().__init__(text)
        self.status = status


def note(signum, _frame):
    global caught
    if caught is None:
        caught = signum
    if running is not None:
        with contextlib.suppress(OSError):
            os.killpg(running, signal.SIGTERM)


def catch(seconds=None):
    """From now on INT, TERM and HUP are noted; SECONDS, if given, bounds the whole run."""
    global deadline, bound
    for signum in SAID:
        signal.signal(signum, note)
    if seconds:
        bound = seconds
        deadline = time.monotonic() + seconds


def past_bound():
    return deadline is not None and time.monotonic() > deadline


def check():
    """Ends the run, once a signal came or the bound has passed."""
    if caught is not None:
        raise Failure(SAID[caught], 128 + caught)
    if past_bound():
        raise Failure(f"did not finish within {bound} s")


def pause(seconds):
    time.sleep(seconds)
    check()


def missing(tool):
    return Failure(f"{tool} is missing; tools/deps installs it")


def need(tool):
    if not shutil.which(tool):
        raise missing(tool)


def die_with_parent(parent):
    # In the child, before it runs its program.
    LIBC.prctl(PR_SET_PDEATHSIG, signal.SIGKILL)
    if os.getppid() != parent:
        os._exit(127)


def run(argv, feed=None, **how):
    """Runs ARGV to its end, with FEED (bytes) as its input if given: its status, and what it
    wrote where HOW pipes it. A signal or the bound stops its group, and ends the run."""
    global running
    check()
    if feed is not None:
        how["stdin"] = subprocess.PIPE
    parent = os.getpid()
    try:
        proc = subprocess.Popen(
            argv, start_new_session=True, preexec_fn=lambda: die_with_parent(parent), **how
        )
    except FileNotFoundError:
        raise missing(argv[0]) from None
    running = proc.pid
    stopped = None
    try:
        while True:
            try:
                out, err = proc.communicate(feed, timeout=0.1)
                break
            except subprocess.TimeoutExpired:
                stopped = stop(proc.pid, stopped)
    finally:
        # Whatever the program left in its group ends with it.
        with contextlib.suppress(OSError):
            os.killpg(proc.pid, signal.SIGKILL)
        running = None
    check()
    return proc.returncode, out, err


def stop(group, since):
    """Stops GROUP once a signal came or the bound has passed: TERM, then KILL after the grace.
    Gives when it was first stopped."""
    if caught is None and not past_bound():
        return since
    if since is None:
        with contextlib.suppress(OSError):
            os.killpg(group, signal.SIGTERM)
        return time.monotonic()
    if time.monotonic() > since + GRACE:
        with contextlib.suppress(OSError):
            os.killpg(group, signal.SIGKILL)
    return since
