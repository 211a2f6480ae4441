# SPDX-License-Identifier: MIT
# The one way the harness runs a program: in a process group of its own, its
# error output captured, the whole group stopped on a signal, at the run's
# bound or when a watch says so, and reaped without a word.
import contextlib, os, signal, subprocess, tempfile, time  # noqa: E401

SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGALRM)

class Stop(Exception):  # a signal came (SIGALRM: the run's bound); what names what it stopped
    what = None

def raise_stop(signum, _frame):
    raise Stop(signum)

def catch(seconds=0):
    """From now on INT, TERM, HUP and the end of SECONDS raise Stop."""
    for signum in SIGNALS:
        signal.signal(signum, raise_stop)
    signal.setitimer(signal.ITIMER_REAL, seconds)

def ended(proc):
    # Not reaped, so that the group's number stays its own until end().
    return os.waitid(os.P_PID, proc.pid, os.WEXITED | os.WNOHANG | os.WNOWAIT) is not None

def end(proc, grace):
    # TERM, and KILL after GRACE seconds; deaf meanwhile, so that no signal leaves half of the group.
    signal.pthread_sigmask(signal.SIG_BLOCK, SIGNALS)
    for signum in (signal.SIGTERM,) * bool(grace) + (signal.SIGKILL,):
        with contextlib.suppress(ProcessLookupError):
            os.killpg(proc.pid, signum)
        for _ in range(grace * 20):
            if not ended(proc):
                time.sleep(0.05)
    proc.wait()
    signal.pthread_sigmask(signal.SIG_UNBLOCK, SIGNALS)

def run(argv, what=None, out=None, err=None, inp=b"", watch=None, **popen):
    """Runs ARGV with INP as input: its status (-N: ended by signal N), what it wrote unless OUT took it, and its
    error output, also into ERR if given (both files). WATCH, called every 0.2 s, stops it by returning true."""
    with tempfile.TemporaryFile() as feed, tempfile.TemporaryFile() as mine, tempfile.TemporaryFile() as errors:
        feed.write(inp)
        feed.seek(0)
        try:
            proc = subprocess.Popen(argv, stdin=feed, stdout=out or mine, stderr=err or errors,
                                    start_new_session=True, **popen)
        except OSError as error:
            return 127, b"", f"cannot run {argv[0]}: {error.strerror}"
        try:
            pause = 0.001
            while not ended(proc) and not (watch and pause == 0.2 and watch()):
                time.sleep(pause)
                pause = min(pause * 2, 0.2)
        except Stop as stop:
            stop.what = stop.what or what
            end(proc, 3)
            raise
        end(proc, 0 if ended(proc) else 3)
        for file in (mine, err or errors):
            file.seek(0)
        return proc.returncode, mine.read(), (err or errors).read().decode(errors="replace")
