"""Helpers of the end-to-end tests: the scripted test server, the kavelo
binary, signals and temporary directories.

Environment: KAVELO_BIN (the binary), KAVELO_TESTS (the tests/ source dir),
KAVELO_BUILD (the build dir); all optional when run from a source tree.
"""

import glob
import json
import os
import select
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
TESTS_DIR = os.environ.get("KAVELO_TESTS") or os.path.dirname(HERE)
SERVER_SCRIPT = os.path.join(TESTS_DIR, "server", "rtmp_test_server.py")
sys.path.insert(0, HERE)

import flvtools  # noqa: E402,F401  (re-exported for the tests)
from procs import stop_process  # noqa: E402


def kavelo_bin():
    b = os.environ.get("KAVELO_BIN")
    if b:
        return b
    found = sorted(glob.glob(os.path.join(TESTS_DIR, "..", "build*", "kavelo")), key=os.path.getmtime)
    if not found:
        raise RuntimeError("kavelo binary not found: set KAVELO_BIN")
    return found[-1]


class Result:
    def __init__(self, rc, stdout, stderr, timed_out=False):
        self.rc, self.stdout, self.stderr, self.timed_out = rc, stdout, stderr, timed_out

    def __repr__(self):
        return "Result(rc=%r, timed_out=%r, stdout=%d bytes, stderr=%r)" % (
            self.rc, self.timed_out, len(self.stdout), self.stderr[-2000:])


class TestServer:
    """The scripted RTMP server, run as its own process on a free port."""

    _count = 0
    _probes = 0

    def __init__(self, workdir, scenario=None, flv=None, max_connections=None, extra_args=(),
                 start_timeout=60):
        TestServer._count += 1
        n = TestServer._count
        self.workdir = workdir
        self.scenario_path = os.path.join(workdir, "scenario-%d.json" % n)
        self.log_path = os.path.join(workdir, "server-%d.jsonl" % n)
        self.err_path = os.path.join(workdir, "server-%d.err" % n)
        with open(self.scenario_path, "w", encoding="utf-8") as fh:
            json.dump(scenario or {}, fh)
        cmd = [sys.executable, SERVER_SCRIPT, "--port", "0", "--scenario", self.scenario_path,
               "--log", self.log_path]
        if flv:
            cmd += ["--flv", flv]
        if max_connections:
            cmd += ["--max-connections", str(max_connections)]
        cmd += list(extra_args)
        self.err = open(self.err_path, "wb")
        self.proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=self.err)
        self.port = self._read_port(start_timeout)

    def _read_port(self, timeout):
        end = time.monotonic() + timeout
        line = b""
        while time.monotonic() < end:
            r, _, _ = select.select([self.proc.stdout], [], [], 0.1)
            if r:
                c = self.proc.stdout.read1(64) if hasattr(self.proc.stdout, "read1") else self.proc.stdout.read(1)
                if not c:
                    break
                line += c
                if b"\n" in line:
                    first = line.split(b"\n")[0].decode()
                    if first.startswith("PORT "):
                        return int(first.split()[1])
                    break
            elif self.proc.poll() is not None:
                break
        self.stop()
        raise RuntimeError("test server did not start: %s" % self.stderr_text())

    def url(self, path="vod/stream"):
        return "rtmp://127.0.0.1:%d/%s" % (self.port, path)

    def stop(self):
        stop_process(self.proc)
        if self.proc.stdout:
            self.proc.stdout.close()
        self.err.close()

    def kill(self):
        """SIGKILL by pid: the server dies mid-stream without closing cleanly."""
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()

    def stderr_text(self):
        with open(self.err_path, "rb") as fh:
            return fh.read().decode("utf-8", "replace")

    # -- the log -----------------------------------------------------------
    # The server records a message it sends once the bytes have gone out, and
    # one it receives when its reader thread gets to it: a client that has
    # exited may be ahead of the record. The accessors below read it once the
    # connections concerned have ended (record()); log() and the wait_*
    # methods read it as it is, for use while a session runs.
    def log(self):
        out = []
        if os.path.exists(self.log_path):
            with open(self.log_path, encoding="utf-8") as fh:
                for line in fh:
                    if line.endswith("\n"):
                        out.append(json.loads(line))
        return out

    def record(self, conn=None, timeout=60):
        """The log once the server has ended connection conn, or every
        connection it has begun (conn None); as it is when the server has
        died. AssertionError when a connection goes on past timeout."""
        end = time.monotonic() + timeout
        while True:
            recs = self.log()
            begun = {r["conn"] for r in recs if r.get("event") == "connection"}
            ended = {r["conn"] for r in recs if r.get("event") == "end"}
            if (begun if conn is None else {conn}) <= ended or self.proc.poll() is not None:
                return recs
            if time.monotonic() > end:
                raise AssertionError("the test server's connection %s still runs after %d s; its log:\n%s"
                                     % ("s" if conn is None else conn, timeout, "\n".join(map(str, recs[-20:]))))
            time.sleep(0.05)

    def connections_so_far(self, timeout=60):
        """How many connections the server has had, kavelo's that are still
        in its queue included: the server takes them in turn, so a probe
        that connects now is numbered after them all (the probe is one more
        connection for later reads)."""
        TestServer._probes += 1
        mark = 0xC0DE0000 + TestServer._probes
        with socket.create_connection(("127.0.0.1", self.port)) as probe:
            probe.sendall(b"\x03" + mark.to_bytes(4, "big") + bytes(1532))
        rec = self.wait_log(lambda r: r.get("c1_time") == mark, timeout)
        if rec is None:
            raise AssertionError("the test server never took the probe connection")
        return rec["conn"]

    def wait_log(self, predicate, timeout=10):
        """The first log record for which predicate holds, waiting for it."""
        end = time.monotonic() + timeout
        while True:
            for rec in self.log():
                if predicate(rec):
                    return rec
            if time.monotonic() > end:
                return None
            time.sleep(0.05)

    def wait_event(self, name, conn=None, timeout=10):
        """The first event record called name (of connection conn), waiting for it."""
        return self.wait_log(lambda r: r.get("event") == name and (conn is None or r["conn"] == conn),
                             timeout)

    def client_messages(self, conn=None, type=None):
        return [r for r in self.record(conn) if r.get("dir") == "in" and (conn is None or r["conn"] == conn)
                and (type is None or r["type"] == type)]

    def commands(self, name=None, conn=None):
        return [r for r in self.client_messages(conn) if "name" in r
                and (name is None or r["name"] == name)]

    def events(self, name=None, conn=None):
        return [r for r in self.record(conn) if "event" in r and (name is None or r["event"] == name)
                and (conn is None or r["conn"] == conn)]

    def sent_messages(self, conn=0):
        """(type, ts, body) of every media message sent on the connection."""
        return [(r["type"], r["ts"], bytes.fromhex(r.get("body", ""))) for r in self.record(conn)
                if r.get("dir") == "out" and r["conn"] == conn]

    def acks(self, conn=None):
        return [r["value"] for r in self.client_messages(conn, type=3) if "value" in r]


class KaveloProcess:
    """A running kavelo whose output goes to files, for signal tests."""

    def __init__(self, args, workdir, stdin=subprocess.DEVNULL):
        self.out_path = tempfile.mktemp(dir=workdir, prefix="stdout-")
        self.err_path = tempfile.mktemp(dir=workdir, prefix="stderr-")
        self._out = open(self.out_path, "wb")
        self._err = open(self.err_path, "wb")
        self.proc = subprocess.Popen([kavelo_bin()] + [str(a) for a in args], stdin=stdin,
                                     stdout=self._out, stderr=self._err, cwd=workdir)

    @property
    def pid(self):
        return self.proc.pid

    def signal(self, sig):
        if self.proc.poll() is None:
            self.proc.send_signal(sig)

    def stderr_so_far(self):
        with open(self.err_path, "rb") as fh:
            return fh.read().decode("utf-8", "replace")

    def wait(self, timeout=60):
        timed_out = False
        try:
            self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            timed_out = True
            self.proc.kill()
            self.proc.wait()
        self._out.close()
        self._err.close()
        with open(self.out_path, "rb") as fh:
            out = fh.read()
        return Result(self.proc.returncode, out, self.stderr_so_far(), timed_out)


def run_kavelo(args, timeout=60, cwd=None, stdin=subprocess.DEVNULL, prefix=()):
    """Run kavelo to its end; prefix is put before the binary (e.g. valgrind)."""
    cmd = list(prefix) + [kavelo_bin()] + [str(a) for a in args]
    try:
        p = subprocess.run(cmd, stdin=stdin, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                           timeout=timeout, cwd=cwd)
        return Result(p.returncode, p.stdout, p.stderr.decode("utf-8", "replace"))
    except subprocess.TimeoutExpired as e:
        return Result(None, e.stdout or b"", (e.stderr or b"").decode("utf-8", "replace"), True)


def wait_until(predicate, timeout=10, step=0.05):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if predicate():
            return True
        time.sleep(step)
    return bool(predicate())


def wait_blocked(pid, timeout=30, samples=3):
    """True once process pid sleeps in the kernel (a blocking receive, say)
    on several samples in a row: a signal sent then finds it waiting, however
    fast or slow the build got there."""
    end = time.monotonic() + timeout
    run = 0
    while time.monotonic() < end:
        try:
            with open("/proc/%d/stat" % pid) as fh:
                state = fh.read().rsplit(")", 1)[1].split()[0]
        except OSError:
            return False
        run = run + 1 if state == "S" else 0
        if run >= samples:
            return True
        time.sleep(0.02)
    return False


class KaveloTestCase(unittest.TestCase):
    """Base class: a temporary directory per test, and servers and processes
    that are stopped by pid when the test ends."""

    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="kavelo-e2e-")
        self._servers = []
        self._procs = []

    def tearDown(self):
        for p in self._procs:
            if p.proc.poll() is None:
                p.proc.kill()
                p.wait(5)
        for s in self._servers:
            s.stop()
        if not os.environ.get("KAVELO_KEEP_TMP"):
            shutil.rmtree(self.tmp, ignore_errors=True)

    def path(self, name):
        return os.path.join(self.tmp, name)

    def server(self, scenario=None, **kw):
        s = TestServer(self.tmp, scenario, **kw)
        self._servers.append(s)
        return s

    def kavelo(self, *args, timeout=60, **kw):
        kw.setdefault("cwd", self.tmp)
        return run_kavelo(args, timeout=timeout, **kw)

    def start_kavelo(self, *args, **kw):
        p = KaveloProcess(args, self.tmp, **kw)
        self._procs.append(p)
        return p

    def write_flv(self, name, data):
        p = self.path(name)
        with open(p, "wb") as fh:
            fh.write(data)
        return p
