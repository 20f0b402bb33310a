"""Faults around a download: an output that cannot take the data (a full
device, a file system that fills, a file size limit, a read-only directory)
and a server that dies mid-stream.

A failed write ends the run with 1 and leaves the file cut back to its last
whole tag, so that --resume can continue it; a server that dies leaves an
incomplete download (2) with a valid file.
"""

import os
import resource
import signal
import subprocess
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from harness import flvtools, kavelo_bin, wait_until  # noqa: E402
from test_hostile_server import HostileCase, run_measured  # noqa: E402

MEDIA = {"synthetic": {"duration_ms": 10000}}
IS_ROOT = os.geteuid() == 0


class FaultCase(HostileCase):
    def setUp(self):
        super().setUp()
        self._mounts = []
        self._locked = []

    def tearDown(self):
        # Before the temporary directory goes: it cannot be emptied otherwise.
        for m in reversed(self._mounts):
            subprocess.run(["umount", m], capture_output=True)
        for path in self._locked:
            os.chmod(path, 0o755)
        super().tearDown()

    def mount_tmpfs(self, name, options):
        """A tmpfs of our own at tmp/name; skips the test when there is none."""
        if not IS_ROOT:
            self.skipTest("mounting a tmpfs needs root")
        path = self.path(name)
        os.makedirs(path, exist_ok=True)
        r = subprocess.run(["mount", "-t", "tmpfs", "-o", options, "tmpfs", path], capture_output=True, text=True)
        if r.returncode != 0:
            self.skipTest("cannot mount a tmpfs here: %s" % r.stderr.strip())
        self._mounts.append(path)
        return path

    def remount(self, path, options):
        r = subprocess.run(["mount", "-o", "remount," + options, path], capture_output=True, text=True)
        self.assertEqual(r.returncode, 0, r.stderr)

    def download(self, srv, out, *args, **kw):
        r, _ = run_measured(["-r", srv.url("vod/clip"), "-o", out] + list(args), self.tmp, **kw)
        return r

    def one_shot(self):
        """The tags of an undisturbed download of MEDIA."""
        srv = self.server({"media": MEDIA})
        out = self.path("reference.flv")
        r = self.download(srv, out)
        self.assert_clean_exit(r, 0, "reference download")
        return flvtools.read(out).tags

    def assert_cut_to_whole_tags(self, out, reference, what):
        f = self.assert_whole_chain(out, what)
        self.assertIsNotNone(f, what)
        self.assertGreater(len(f.tags), 0, what)
        self.assertLess(len(f.tags), len(reference), what)
        self.assertIsNone(flvtools.compare_tags(reference[:len(f.tags)], f.tags), what)


class OutputFaults(FaultCase):
    def test_full_device(self):
        srv = self.server({"media": MEDIA}, max_connections=2)
        r = self.download(srv, "/dev/full")
        self.assert_clean_exit(r, 1, "-o /dev/full")
        self.assertIn("Failed writing FLV header, exiting!", r.stderr)
        # Standard output is buffered: the failure may only show at the flush.
        with open("/dev/full", "wb") as full:
            p = subprocess.run([kavelo_bin(), "-r", srv.url("vod/clip")], stdout=full, stderr=subprocess.PIPE,
                               timeout=60)
        self.assert_clean_exit(_as_result(p), 1, "standard output on /dev/full")
        self.assertIn(b"Failed writing", p.stderr)

    def test_file_system_fills_then_resume_completes(self):
        reference = self.one_shot()
        size = sum(len(t.data) + 15 for t in reference) + 13
        disk = self.mount_tmpfs("small", "size=%d" % (size // 2 // 4096 * 4096))
        out = os.path.join(disk, "out.flv")
        srv = self.server({"media": MEDIA}, max_connections=2)
        r = self.download(srv, out)
        self.assert_clean_exit(r, 1, "file system full")
        self.assertIn("Failed writing, exiting!", r.stderr)
        self.assertNotIn("Download complete", r.stderr)
        self.assert_cut_to_whole_tags(out, reference, "file system full")

        self.remount(disk, "size=%d" % (size * 2))
        r = self.download(srv, out, "--resume")
        self.assert_clean_exit(r, 0, "resumed")
        f = self.assert_whole_chain(out, "resumed")
        self.assertIsNone(flvtools.compare_tags(reference, f.tags))

    def test_file_size_limit(self):
        """The same as a filling disk, without root: writes past RLIMIT_FSIZE
        fail with EFBIG (SIGXFSZ ignored, as a shell may leave it)."""
        reference = self.one_shot()
        limit = 200000

        def limited():
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
        srv = self.server({"media": MEDIA})
        out = self.path("limited.flv")
        p = subprocess.run([kavelo_bin(), "-r", srv.url("vod/clip"), "-o", out], preexec_fn=limited,
                           stdin=subprocess.DEVNULL, capture_output=True, timeout=90)
        self.assert_clean_exit(_as_result(p), 1, "file size limit")
        self.assertLessEqual(os.path.getsize(out), limit)
        self.assert_cut_to_whole_tags(out, reference, "file size limit")

    def test_read_only_directory(self):
        """A new file and a resumed one in a directory that cannot be written:
        1 with a message, and nothing written."""
        if IS_ROOT:
            ro = self.mount_tmpfs("ro", "size=1m")
        else:
            ro = self.path("ro")
            os.makedirs(ro)
        partial = flvtools.build(flvtools.generate_tags(duration_ms=1000))
        with open(os.path.join(ro, "partial.flv"), "wb") as fh:
            fh.write(partial)
        if IS_ROOT:
            self.remount(ro, "ro")
        else:
            os.chmod(os.path.join(ro, "partial.flv"), 0o444)
            os.chmod(ro, 0o555)
            self._locked.append(ro)
        srv = self.server({"media": MEDIA}, max_connections=2)
        for name, args in (("new file", ["-o", os.path.join(ro, "new.flv")]),
                           ("resume", ["-o", os.path.join(ro, "partial.flv"), "--resume"])):
            with self.subTest(name):
                r, _ = run_measured(["-r", srv.url("vod/clip")] + args, self.tmp)
                self.assert_clean_exit(r, 1, name)
                self.assertIn("Failed to open file!", r.stderr)
                self.assertRegex(r.stderr, r"ERROR: Couldn't open .* for writing: (Read-only file system|Permission denied)")
        self.assertFalse(os.path.exists(os.path.join(ro, "new.flv")))
        with open(os.path.join(ro, "partial.flv"), "rb") as fh:
            self.assertEqual(fh.read(), partial)


class ServerDeath(FaultCase):
    def test_server_killed_mid_stream(self):
        reference = self.one_shot()
        srv = self.server({"media": dict(MEDIA, pace_ms=20)})
        out = self.path("out.flv")
        p = self.start_kavelo("-r", srv.url("vod/clip"), "-o", out, "--timeout", "60")
        self.assertTrue(wait_until(lambda: os.path.exists(out) and os.path.getsize(out) > 50000, 30))
        srv.kill()
        r = p.wait(60)
        self.assert_clean_exit(r, 2, "server killed")
        self.assertIn("Download may be incomplete", r.stderr)
        self.assert_cut_to_whole_tags(out, reference, "server killed")


def _as_result(p):
    from harness import Result
    return Result(p.returncode, p.stdout or b"", p.stderr.decode("utf-8", "replace"))


if __name__ == "__main__":
    unittest.main()
