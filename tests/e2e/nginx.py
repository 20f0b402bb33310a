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
"""

import collections
import os
import shutil
import signal
import subprocess
import tempfile
import time

from procs import free_port, port_accepts, stop_process, wait_accepting  # noqa: F401

NGINX = "nginx"
RTMP_MODULE = "/usr/lib/nginx/modules/ngx_rtmp_module.so"


class NginxServer:
    """Usage: with NginxServer(media_dir, {"clip": "plain"}) as srv: srv.url("vod", "x")."""

    def __init__(self, vod_dir, live_pulls=None, chunk_size=4096):
        self.vod_dir = os.path.abspath(vod_dir)
        self.live_pulls = dict(live_pulls or {})   # live name -> "playpath [params]"
        self.chunk_size = chunk_size
        self.prefix = None
        self.port = None
        self.proc = None

    # -- configuration ----------------------------------------------------

    def config_text(self):
        pulls = "".join(
            "            pull rtmp://127.0.0.1:%d/vod/%s name=%s;\n" % (self.port, source, name)
            for name, source in sorted(self.live_pulls.items()))
        # The worker drops to an unprivileged user when started as root, and
        # then could not read our files; under CI (root) it stays root.
        user = "user root;\n" if os.geteuid() == 0 else ""
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
        ) % (RTMP_MODULE, user, self.prefix, self.prefix, self.prefix, self.port,
             self.chunk_size, self.vod_dir, pulls)

    # -- life cycle -------------------------------------------------------

    def start(self, timeout=15.0):
        if not os.path.exists(RTMP_MODULE):
            raise RuntimeError("%s is missing (Debian package libnginx-mod-rtmp)" % RTMP_MODULE)
        self.prefix = tempfile.mkdtemp(prefix="kavelo-nginx-")
        last_error = ""
        # Another process may take the port between our probe and nginx's bind.
        for _ in range(5):
            self.port = free_port()
            conf = os.path.join(self.prefix, "nginx.conf")
            with open(conf, "w") as f:
                f.write(self.config_text())
            log = open(os.path.join(self.prefix, "stderr.log"), "ab")
            try:
                self.proc = subprocess.Popen(
                    [NGINX, "-p", self.prefix + "/", "-c", conf,
                     "-e", os.path.join(self.prefix, "error.log")],
                    stdin=subprocess.DEVNULL, stdout=log, stderr=log)
            finally:
                log.close()
            if self._wait_listening(timeout):
                return self
            last_error = self.log_text()
            self._terminate()
            if "Address already in use" not in last_error:
                break
        self.stop()
        raise RuntimeError("nginx did not start listening:\n" + last_error)

    def _wait_listening(self, timeout):
        return wait_accepting(self.proc, [self.port], timeout)

    def _terminate(self):
        stop_process(self.proc)
        self.proc = None

    def stop(self):
        """Stop our nginx by its pid and remove the prefix (the logs go too
        unless KAVELO_KEEP_NGINX is set)."""
        self._terminate()
        if self.prefix and not os.environ.get("KAVELO_KEEP_NGINX"):
            shutil.rmtree(self.prefix, ignore_errors=True)
            self.prefix = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()
        return False

    # -- helpers for tests ------------------------------------------------

    def url(self, app, name):
        return "rtmp://127.0.0.1:%d/%s/%s" % (self.port, app, name)

    def log_text(self):
        text = ""
        for name in ("error.log", "stderr.log", "access.log"):
            path = os.path.join(self.prefix or "", name)
            if self.prefix and os.path.exists(path):
                with open(path, errors="replace") as f:
                    text += "--- %s\n%s" % (name, f.read())
        return text

    def running(self):
        return self.proc is not None and self.proc.poll() is None


Run = collections.namedtuple("Run", "rc stdout stderr")
SANITIZER_MARKS = ("ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:")


def run_kavelo(args, timeout=120, interrupt_when=None, interrupt_signal=signal.SIGINT):
    """Run the real kavelo binary (KAVELO_BIN) to its end.

    `interrupt_when`, a callable polled every few milliseconds, makes the run
    get `interrupt_signal` once it returns true. Output goes through files, so
    a chatty run cannot block on a full pipe.
    """
    binary = os.environ.get("KAVELO_BIN")
    if not binary:
        raise RuntimeError("KAVELO_BIN is not set (ctest sets it)")
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        proc = subprocess.Popen([binary] + list(args), stdin=subprocess.DEVNULL,
                                stdout=out, stderr=err)
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
