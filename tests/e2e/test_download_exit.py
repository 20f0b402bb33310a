"""Exit codes of a download against the test server: 0 complete, 1 error, 2
incomplete or interrupted; output failures; signals."""

import os
import signal
import socket
import subprocess
import sys
import threading
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import KaveloTestCase, flvtools, kavelo_bin, wait_blocked, wait_until  # noqa: E402

MEDIA = {"synthetic": {"duration_ms": 3000}}
KEEP = b"FLV\x01\x05 an earlier download"


def media(**kw):
    return dict(MEDIA, **kw)


class ExitCodes(KaveloTestCase):
    def run_case(self, scenario, *args):
        srv = self.server(scenario)
        out = self.path("out.flv")
        # An earlier download: a run that writes no tag must leave it as it was.
        with open(out, "wb") as fh:
            fh.write(KEEP)
        r = self.kavelo("-r", srv.url("vod/clip"), "-o", out, *args, timeout=90)
        return srv, r, out

    def test_exit_code_of_each_ending(self):
        # The last text present is the run's last line: a failed run names its cause there.
        cases = [
            ("complete", {"media": MEDIA}, [], 0, ["Download complete"], ["incomplete"]),
            ("server closes mid-stream", {"media": media(max_messages=40), "end": "close"}, [], 2,
             ["Download may be incomplete", "the server closed the connection; try --resume"], ["Download complete"]),
            ("TCP reset mid-stream", {"media": media(max_messages=40), "end": "reset"}, [], 2,
             ["Download may be incomplete", "connection reset by the server"], ["Download complete"]),
            # A recording served again keeps its times: they start far beyond its duration.
            ("times past the duration, connection lost",
             {"media": media(synthetic={"duration_ms": 2000}, time_offset=5000, max_messages=20), "end": "close"},
             [], 2, ["Download may be incomplete"], ["Download complete"]),
            ("times past the duration, lost again after a retry",
             {"media": media(synthetic={"duration_ms": 2000}, time_offset=5000, max_messages=20), "end": "close",
              "connections": [{}, {"media": media(synthetic={"duration_ms": 2000}, time_offset=5000, max_messages=1)}]},
             ["--retry", "1"], 2, ["Download may be incomplete"], ["Download complete"]),
            ("connection drops inside a message", {"media": media(max_messages=40, cut_bytes=300), "end": "close"},
             [], 2, ["Download may be incomplete"], ["Download complete"]),
            ("close request after media", {"media": media(max_messages=40), "end": "close_request"}, [], 2,
             ["Download may be incomplete"], ["Download complete"]),
            ("stream not found", {"play": {"reply": "status", "code": "NetStream.Play.StreamNotFound"}}, [], 1,
             ["Download failed: the server refused the stream: NetStream.Play.StreamNotFound"],
             ["try --resume", "Download complete"]),
            ("connect refused", {"connect": {"reply": "error", "code": "NetConnection.Connect.Rejected"}}, [], 1,
             ["Download failed: the server refused the connection: NetConnection.Connect.Rejected"], ["try --resume"]),
            ("createStream refused", {"createStream": {"reply": "error"}}, [], 1,
             ["ERROR", "Download failed: the server refused the stream"], ["try --resume"]),
            ("close request before media", {"end": "close_request"}, [], 1,
             ["Download failed: the server closed the stream before sending any media"],
             ["try --resume", "Download complete"]),
            ("handshake fails", {"handshake": "close_after_version"}, [], 1,
             ["Failed to connect!", "Download failed: the RTMP handshake failed: the server closed the connection"], []),
            ("live stream ended by the server's close", {"media": media(live=True), "end": "close"}, ["--live"], 2,
             ["Download may be incomplete: the server closed the connection"], ["Download complete", "try --resume"]),
            ("live stream ended by Play.Stop", {"media": media(live=True)}, ["--live"], 0, ["Download complete"],
             ["incomplete"]),
            # Below 99.9 percent but ended in order: complete, and nothing else said.
            ("stopped early by the stop offset", {"media": media(pace_ms=1)}, ["--stop", "1"], 0,
             ["Stop offset has been reached at 1.000 sec", "Download complete"], ["incomplete", "try --resume"]),
        ]
        for name, scenario, args, rc, present, absent in cases:
            with self.subTest(name):
                srv, r, out = self.run_case(scenario, *args)
                self.assertEqual(r.rc, rc, r)
                for text in present:
                    self.assertIn(text, r.stderr)
                for text in absent:
                    self.assertNotIn(text, r.stderr)
                if present:
                    self.assertIn(present[-1], r.stderr.rstrip("\n").split("\n")[-1])
                with open(out, "rb") as fh:
                    data = fh.read()
                if rc == 1:
                    self.assertEqual(data, KEEP)
                else:
                    self.assertEqual(flvtools.read(out).errors, [])

    def test_start_past_stop_is_refused_and_keeps_the_file(self):
        srv = self.server({"media": MEDIA})
        out = self.path("out.flv")
        with open(out, "wb") as fh:
            fh.write(KEEP)
        r = self.kavelo("-r", srv.url("vod/clip"), "-o", out, "--start", "20", "--stop", "10")
        self.assertEqual(r.rc, 1, r)
        self.assertIn("--start 20 is not before --stop 10", r.stderr)
        with open(out, "rb") as fh:
            self.assertEqual(fh.read(), KEEP)
        self.assertEqual(srv.connections_so_far(), 0)

    def test_nobody_listening(self):
        s = socket.socket()
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
        s.close()
        r = self.kavelo("-r", "rtmp://127.0.0.1:%d/vod/clip" % port, "-o", self.path("out.flv"))
        self.assertEqual(r.rc, 1, r)
        self.assertIn("Failed to connect!", r.stderr)
        # Nothing was downloaded: no file is created.
        self.assertFalse(os.path.exists(self.path("out.flv")))


class OutputFailures(KaveloTestCase):
    def test_file_that_cannot_be_opened(self):
        srv = self.server({"media": MEDIA})
        r = self.kavelo("-r", srv.url("vod/clip"), "-o", self.path("no/such/dir/out.flv"))
        self.assertEqual(r.rc, 1, r)
        self.assertIn("Failed to open file!", r.stderr)

    def test_full_disk(self):
        srv = self.server({"media": MEDIA}, max_connections=2)
        r = self.kavelo("-r", srv.url("vod/clip"), "-o", "/dev/full")
        self.assertEqual(r.rc, 1, r)
        self.assertIn("Failed writing FLV header, exiting!", r.stderr)
        self.assertTrue(r.stderr.endswith("\nDownload failed: could not write /dev/full: No space left on device\n"),
                        r.stderr)
        # Standard output is buffered: the failure may only show at the final flush.
        with open("/dev/full", "wb") as full:
            p = subprocess.run([kavelo_bin(), "-r", srv.url("vod/clip")], stdout=full, stderr=subprocess.PIPE,
                               timeout=60)
        self.assertEqual(p.returncode, 1, p.stderr)
        self.assertIn(b"Failed writing", p.stderr)
        self.assertTrue(p.stderr.endswith(b"\nDownload failed: could not write to standard output: "
                                          b"No space left on device\n"), p.stderr)

    def test_reader_that_quits(self):
        """A player reading standard output quits: one short line, exit 1."""
        srv = self.server({"media": media(synthetic={"duration_ms": 60000}, pace_ms=2)})
        p = subprocess.Popen([kavelo_bin(), "-r", srv.url("vod/clip")], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE)
        p.stdout.read(20000)
        p.stdout.close()
        _, err = p.communicate(timeout=60)
        self.assertEqual(p.returncode, 1, err)
        self.assertTrue(err.endswith(b"\nStopped: the reader of the output has gone (broken pipe)\n"), err)
        for noise in (b"ERROR", b"Caught signal", b"Download", b" kB/s"):
            self.assertNotIn(noise, err)

    def test_fifo_output_keeps_its_flags(self):
        srv = self.server({"media": media(synthetic={"duration_ms": 2000, "audio": False})})
        fifo = self.path("pipe.flv")
        os.mkfifo(fifo)
        received = bytearray()

        def reader():
            with open(fifo, "rb") as fh:
                received.extend(fh.read())
        t = threading.Thread(target=reader)
        t.start()
        r = self.kavelo("-r", srv.url("vod/clip"), "-o", fifo)
        t.join(30)
        self.assertEqual(r.rc, 0, r)
        f = flvtools.parse(bytes(received))
        self.assertEqual(f.errors, [])
        self.assertEqual(f.flags, 0x05)
        self.assertGreater(len(f.tags), 40)


class Signals(KaveloTestCase):
    def test_signal_during_download(self):
        for sig in (signal.SIGINT, signal.SIGTERM):
            with self.subTest(sig.name):
                # Video only, so that the flags fix is visible.
                srv = self.server({"media": media(synthetic={"duration_ms": 60000, "audio": False}, pace_ms=5)})
                out = self.path("sig-%d.flv" % sig)
                p = self.start_kavelo("-r", srv.url("vod/clip"), "-o", out)
                self.assertTrue(wait_until(lambda: os.path.exists(out) and os.path.getsize(out) > 20000, 30))
                p.signal(sig)
                r = p.wait(30)
                self.assertEqual(r.rc, 2, r)
                self.assertIn("Caught signal: %d, cleaning up, just a second..." % sig, r.stderr)
                f = flvtools.read(out)
                self.assertEqual(f.errors, [])
                self.assertEqual(f.flags, 0x01)
                self.assertEqual(f.end_of_chain, os.path.getsize(out))

    def test_signal_during_handshake(self):
        srv = self.server({"handshake": "silent"})
        p = self.start_kavelo("-r", srv.url("vod/clip"), "-o", self.path("out.flv"))
        self.assertIsNotNone(srv.wait_event("handshake", timeout=30))
        self.assertTrue(wait_blocked(p.pid), "kavelo never waited for the server's answer")
        p.signal(signal.SIGINT)
        r = p.wait(30)
        self.assertEqual(r.rc, 2, r)
        self.assertIn("Caught signal: 2", r.stderr)


if __name__ == "__main__":
    unittest.main()
