"""nginx with its RTMP module as a real server for the end-to-end tests.

Each NginxServer runs its own nginx in a private prefix (a temporary
directory holding config, pid file and logs) on a free loopback port, in the
foreground and as a single process, so that the one pid we started is the
whole server: it is stopped by that pid (SIGTERM, then SIGKILL) and never by
name. The system's nginx service is never touched.

Applications:
  vod   plays the FLV files of one directory (rtmp://127.0.0.1:PORT/vod/NAME)
  live  live streams, each fed by a pull from vod when a player asks for it
        (rtmp://127.0.0.1:PORT/live/NAME); `live_pulls` maps NAME to the vod
        play path, optionally followed by pull parameters ("clip start=10000")
  pub   live streams fed by a publisher on this machine
        (rtmp://127.0.0.1:PORT/pub/NAME): publish and play from 127.0.0.1
        only; nginx's defaults otherwise, so a player learns of the
        publisher's end from a StreamEOF alone

The tests against it run kavelo with `run_kavelo`, read its log with
`log_lines` and keep their files in a `TempDirCase` directory.
"""

import collections
import os
import re
import shutil
import signal
import subprocess
import tempfile
import time
import unittest

from procs import ServerProcess, port_accepts  # noqa: F401  (port_accepts for the tests)

NGINX = "nginx"
RTMP_MODULE = "/usr/lib/nginx/modules/ngx_rtmp_module.so"


class NginxServer(ServerProcess):
    """Usage: with NginxServer(media_dir, {"clip": "plain"}) as srv: srv.url("vod", "x")."""

    NAME = "nginx"
    KEEP_ENV = "KAVELO_KEEP_NGINX"
    LOG_FILES = ("error.log", "stderr.log", "access.log")
    PORT_TAKEN = "Address already in use"

    def __init__(self, vod_dir, live_pulls=None, chunk_size=4096):
        super().__init__()
        self.vod_dir = os.path.abspath(vod_dir)
        self.live_pulls = dict(live_pulls or {})   # live name -> "playpath [params]"
        self.chunk_size = chunk_size
        self.port = None

    # -- configuration ----------------------------------------------------

    def config_text(self):
        pulls = "".join(
            "            pull rtmp://127.0.0.1:%d/vod/%s name=%s;\n" % (self.port, source, name)
            for name, source in sorted(self.live_pulls.items()))
        # The worker drops to an unprivileged user when started as root, and
        # then could not read our files; under CI (root) it stays root.
        user = "user root;\n" if os.geteuid() == 0 else ""
        prefix = self.workdir
        return (
            "load_module %s;\n"
            "%s"
            "daemon off;\n"
            "master_process off;\n"
            "worker_processes 1;\n"
            "pid %s/nginx.pid;\n"
            "error_log %s/error.log info;\n"
            "events { worker_connections 64; }\n"
            "rtmp {\n"
            "    access_log %s/access.log;\n"
            "    server {\n"
            "        listen 127.0.0.1:%d;\n"
            "        chunk_size %d;\n"
            "        application vod {\n"
            "            play %s;\n"
            "        }\n"
            "        application live {\n"
            "            live on;\n"
            "%s"
            "        }\n"
            "        application pub {\n"
            "            live on;\n"
            "            allow publish 127.0.0.1;\n"
            "            deny publish all;\n"
            "            allow play 127.0.0.1;\n"
            "            deny play all;\n"
            "        }\n"
            "    }\n"
            "}\n"
        ) % (RTMP_MODULE, user, prefix, prefix, prefix, self.port,
             self.chunk_size, self.vod_dir, pulls)

    # -- life cycle -------------------------------------------------------

    def start(self, timeout=15.0):
        if not os.path.exists(RTMP_MODULE):
            raise RuntimeError("%s is missing (Debian package libnginx-mod-rtmp)" % RTMP_MODULE)
        self.workdir = tempfile.mkdtemp(prefix="kavelo-nginx-")
        self.start_listening(self._launch, ["rtmp"], timeout)
        return self

    def _launch(self, ports):
        self.port = ports["rtmp"]
        conf = self.write_file("nginx.conf", self.config_text())
        with self.log_file("stderr.log") as log:
            return subprocess.Popen(
                [NGINX, "-p", self.workdir + "/", "-c", conf,
                 "-e", os.path.join(self.workdir, "error.log")],
                stdin=subprocess.DEVNULL, stdout=log, stderr=log)

    def url(self, app, name):
        return "rtmp://127.0.0.1:%d/%s/%s" % (self.port, app, name)

    def has_player(self, app, name):
        """True once a player of app/name has joined: nginx logs the play as
        it takes it in, in the same step that adds the player to the stream."""
        return ("play: name='%s' " % name) in self.log_text()


Run = collections.namedtuple("Run", "rc stdout stderr")
SANITIZER_MARKS = ("ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:")
LEVEL_WORD = re.compile(r"^\r?(?:ERROR|WARNING|INFO|DEBUG|DEBUG2): ")


def log_lines(stderr):
    """The log lines of a run without their level word."""
    return [LEVEL_WORD.sub("", line) for line in stderr.split("\n")]


class TempDirCase(unittest.TestCase):
    """A test with a temporary directory of its own, removed after it."""

    TMP_PREFIX = "kavelo-"

    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix=self.TMP_PREFIX)
        self.addCleanup(shutil.rmtree, self.tmp, True)

    def out(self, name="out.flv"):
        return os.path.join(self.tmp, name)


def run_kavelo(args, timeout=120, interrupt_when=None, interrupt_signal=signal.SIGINT, prefix=()):
    """Run the real kavelo binary (KAVELO_BIN) to its end.

    `interrupt_when`, a callable polled every few milliseconds, makes the run
    get `interrupt_signal` once it returns true. Output goes through files, so
    a chatty run cannot block on a full pipe. `prefix` comes before the binary
    (e.g. `unshare` and its arguments); such a run gets a process group of
    its own, so that a hung one is ended together with what it runs under.
    """
    binary = os.environ.get("KAVELO_BIN")
    if not binary:
        raise RuntimeError("KAVELO_BIN is not set (ctest sets it)")
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        proc = subprocess.Popen(list(prefix) + [binary] + list(args), stdin=subprocess.DEVNULL,
                                stdout=out, stderr=err, start_new_session=bool(prefix))
        try:
            deadline = time.monotonic() + timeout
            if interrupt_when is not None:
                while proc.poll() is None and time.monotonic() < deadline:
                    if interrupt_when():
                        proc.send_signal(interrupt_signal)
                        break
                    time.sleep(0.005)
            proc.wait(timeout=max(1.0, deadline - time.monotonic()))
        finally:
            if proc.poll() is None:
                if prefix:
                    os.killpg(proc.pid, signal.SIGKILL)
                else:
                    proc.kill()
                proc.wait()
        out.seek(0)
        err.seek(0)
        run = Run(proc.returncode, out.read(), err.read().decode(errors="replace"))
    # A sanitizer report ends the run with exit 1, which some tests expect for
    # other reasons: never let one pass as an expected failure.
    for mark in SANITIZER_MARKS:
        if mark in run.stderr:
            raise AssertionError("kavelo %s:\n%s" % (" ".join(args), run.stderr[-6000:]))
    return run


if __name__ == "__main__":
    import sys
    with NginxServer(sys.argv[1] if len(sys.argv) > 1 else ".", {"clip": "plain"}) as srv:
        print("nginx pid %d listening on %s" % (srv.proc.pid, srv.url("vod", "")))
        print(srv.config_text())
        print(srv.log_text())
