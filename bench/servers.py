"""The servers the benchmark downloads from, each started and stopped by pid.

- nginx with its RTMP module, playing the stream as video on demand
  (the end-to-end tests' harness, tests/e2e/nginx.py);
- the project's test RTMP server in fast mode (tests/server/rtmp_test_server.py),
  which sends pre-built chunks;
- the same nginx behind stunnel, for rtmps (certificates from a test
  authority that the benchmark makes and trusts through SSL_CERT_FILE);
- the floor sender, which pushes the file's bytes through plain TCP.
"""
import json
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))

import nginx  # noqa: E402  (tests/e2e/nginx.py)
import procs  # noqa: E402  (tests/e2e/procs.py)
import tls  # noqa: E402  (tests/e2e/tls.py)

TEST_SERVER = os.path.join(ROOT, "tests", "server", "rtmp_test_server.py")
FLOOR_SENDER = os.path.join(HERE, "floor_sender.py")


# SIGTERM, then SIGKILL, to the one process we started.
stop_pid = procs.stop_process


def read_port(proc, prefix, timeout=600.0):
    """Reads lines from proc's stdout until one gives the port."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        line = proc.stdout.readline()
        if not line:
            raise RuntimeError("server exited before it listened")
        text = line.decode(errors="replace").strip()
        if text.startswith(prefix):
            return int(text[len(prefix):].strip())
    raise RuntimeError("server did not report its port")


class _DeepQueueNginx(nginx.NginxServer):
    """nginx reads a file for a client that asked for a long buffer as fast
    as it can and queues the messages; when its queue of outgoing messages
    is full it drops media messages (and the timestamps of the following ones
    on that chunk stream come out shifted). The benchmark wants the whole
    stream, so the queue holds every message of the file: nginx then holds up
    to the whole file in memory, which this machine can afford."""

    def config_text(self):
        text = super().config_text()
        anchor = "chunk_size %d;\n" % self.chunk_size
        if anchor not in text:
            raise RuntimeError("unexpected nginx configuration:\n" + text)
        return text.replace(anchor, anchor + "        out_queue 1048576;\n", 1)


class NginxVod:
    """nginx playing the files of one directory (chunk size 4096)."""

    name = "nginx"

    def __init__(self, vod_dir):
        self.server = _DeepQueueNginx(vod_dir, chunk_size=4096)

    def start(self):
        self.server.start()
        return self

    @property
    def pid(self):
        return self.server.proc.pid

    def url(self, stream_name):
        return self.server.url("vod", stream_name)

    def stop(self):
        self.server.stop()


class NginxTls:
    """NginxVod behind a TLS terminator: the cost of rtmps to the client."""

    name = "nginx rtmps"

    def __init__(self, vod_dir, work_dir):
        self.nginx = NginxVod(vod_dir)
        self.pki_dir = os.path.join(work_dir, "pki")
        self.stunnel = None

    def start(self):
        self.nginx.start()
        os.makedirs(self.pki_dir, exist_ok=True)
        pki = tls.Pki(self.pki_dir)
        cert, key = pki.leaf("bench")
        os.environ.update(pki.trust_env())
        self.stunnel = tls.Stunnel({"bench": (cert, key, None)}, self.nginx.server.port).start()
        return self

    @property
    def pid(self):
        return self.nginx.pid

    def url(self, stream_name):
        return "rtmps://localhost:%d/vod/%s" % (self.stunnel.ports["bench"], stream_name)

    def stop(self):
        if self.stunnel is not None:
            self.stunnel.stop()
        self.nginx.stop()


class TestServerFast:
    """The project's test server streaming one FLV file from pre-built chunks."""

    name = "test server"

    def __init__(self, flv_path, chunk_size, work_dir):
        self.flv_path = flv_path
        self.chunk_size = chunk_size
        self.work_dir = work_dir
        self.proc = None
        self.port = None

    def start(self):
        scenario = os.path.join(self.work_dir, "fast-%d.json" % self.chunk_size)
        with open(scenario, "w") as f:
            json.dump({"chunk_size": self.chunk_size}, f)
        self.proc = subprocess.Popen(
            [sys.executable, TEST_SERVER, "--port", "0", "--scenario", scenario,
             "--fast", "--flv", self.flv_path, "--chunk-size", str(self.chunk_size)],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
            stderr=open(os.path.join(self.work_dir, "test-server-%d.log" % self.chunk_size), "ab"))
        self.port = read_port(self.proc, "PORT")
        return self

    @property
    def pid(self):
        return self.proc.pid

    def url(self, stream_name):
        return "rtmp://127.0.0.1:%d/vod/%s" % (self.port, stream_name)

    def stop(self):
        stop_pid(self.proc)


class FloorSender:
    """One plain TCP connection that carries the file's bytes once."""

    def __init__(self, path, nbytes=None):
        self.path = path
        self.nbytes = nbytes
        self.proc = None
        self.port = None

    def start(self):
        extra = [str(self.nbytes)] if self.nbytes is not None else []
        self.proc = subprocess.Popen([sys.executable, FLOOR_SENDER, self.path] + extra,
                                     stdin=subprocess.DEVNULL, stdout=subprocess.PIPE)
        self.port = read_port(self.proc, "", timeout=30)
        return self

    @property
    def pid(self):
        return self.proc.pid

    def stop(self):
        try:
            self.proc.wait(timeout=30)
        except subprocess.TimeoutExpired:
            stop_pid(self.proc)
