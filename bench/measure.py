"""Runs one client process and measures it: wall time, CPU, peak memory.

Also reads the peak heap out of a massif profile, and a process's CPU time
from /proc, to tell how busy the server was while the client ran.
"""
import os
import signal
import statistics
import subprocess
import tempfile
import threading
import time

CLOCK_TICKS = os.sysconf("SC_CLK_TCK")
TIME = "/usr/bin/time"


class Sample:
    """One measured run of a client."""

    def __init__(self, wall, user, sys_, maxrss_kb, exit_code, server_cpu=None):
        self.wall = wall
        self.cpu = user + sys_
        self.user = user
        self.sys = sys_
        self.maxrss_kb = maxrss_kb
        self.exit_code = exit_code
        self.server_cpu = server_cpu


def process_cpu(pid):
    """User + system seconds of a live process (children not included)."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
    except OSError:
        return None
    return (int(fields[11]) + int(fields[12])) / CLOCK_TICKS


def _children(pid):
    try:
        with open("/proc/%d/task/%d/children" % (pid, pid)) as f:
            return [int(x) for x in f.read().split()]
    except OSError:
        return []


def run_measured(argv, timeout, server_pid=None, stdout=subprocess.DEVNULL):
    """Runs argv to its end and returns a Sample of that process alone.

    CPU and peak memory come from /usr/bin/time: the rusage of a child that
    Python starts directly carries Python's own resident size across the
    fork, which would hide the client's. A run past its timeout is killed by
    its pid and reported with exit code None.
    """
    fd, usage_file = tempfile.mkstemp(prefix="kavelo-bench-", suffix=".time")
    os.close(fd)
    server_before = process_cpu(server_pid) if server_pid else None
    start = time.monotonic()
    proc = subprocess.Popen([TIME, "-o", usage_file, "-f", "RUSAGE %U %S %M"] + argv,
                            stdout=stdout, stderr=subprocess.PIPE)
    timed_out = threading.Event()

    def kill():
        timed_out.set()
        for child in _children(proc.pid):
            try:
                os.kill(child, signal.SIGKILL)
            except ProcessLookupError:
                pass

    timer = threading.Timer(timeout, kill)
    timer.start()
    # Drain stderr so a chatty client cannot block on a full pipe.
    err = proc.stderr.read()
    proc.wait()
    wall = time.monotonic() - start
    timer.cancel()
    proc.stderr.close()
    server_cpu = None
    if server_before is not None:
        after = process_cpu(server_pid)
        if after is not None:
            server_cpu = after - server_before
    user = sys_ = 0.0
    maxrss = 0
    with open(usage_file) as f:
        for line in f:
            if line.startswith("RUSAGE "):
                fields = line.split()
                user, sys_, maxrss = float(fields[1]), float(fields[2]), int(fields[3])
    os.remove(usage_file)
    sample = Sample(wall, user, sys_, maxrss,
                    None if timed_out.is_set() else proc.returncode, server_cpu)
    sample.stderr = err
    return sample


def massif_peak(path):
    """Peak of heap plus allocator overhead, in bytes, from a massif file."""
    peak = 0
    heap = extra = 0
    with open(path) as f:
        for line in f:
            if line.startswith("mem_heap_B="):
                heap = int(line.split("=", 1)[1])
            elif line.startswith("mem_heap_extra_B="):
                extra = int(line.split("=", 1)[1])
                peak = max(peak, heap + extra)
    return peak


def summary(values):
    """(median, spread) where spread is (max - min) / median, or 0."""
    med = statistics.median(values)
    spread = (max(values) - min(values)) / med if med else 0.0
    return med, spread
