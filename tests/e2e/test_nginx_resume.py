"""Resuming partial downloads against a real server: nginx with its RTMP module.

nginx seeks only by a keyframe index in the file's metadata. Without one it
plays the file from its start whatever time the client asks for, with the
file's own timestamps: the client must skip what the partial file holds, find
its stored keyframe and go on, ending with exactly the file a one-shot
download gives. With an index nginx starts at the first indexed keyframe
after the requested time, so the stored keyframe does not come; asked again
for a time just before it, nginx starts at it. The same holds for the files
in Enhanced RTMP form (HEVC, AV1, VP9 in two tracks).
"""

import os
import shutil
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import flvtools  # noqa: E402
import real_media  # noqa: E402
from break_proxy import BreakProxy  # noqa: E402
from nginx import NginxServer, run_kavelo  # noqa: E402

MEDIA = None
SERVER = None


def setUpModule():
    global MEDIA, SERVER
    MEDIA = real_media.ensure_media()
    SERVER = NginxServer(MEDIA.directory).start()


def tearDownModule():
    if SERVER is not None:
        SERVER.stop()


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


class ResumeCase(unittest.TestCase):
    one_shot = {}

    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="kavelo-nginx-resume-")
        self.addCleanup(shutil.rmtree, self.tmp, True)

    def explain(self, run):
        return "exit %d, stderr:\n%s\nnginx:\n%s" % (run.rc, run.stderr[-4000:], SERVER.log_text()[-3000:])

    def fetch(self, name, path, *extra, **kw):
        return run_kavelo(["-r", SERVER.url("vod", name), "-o", path] + list(extra), **kw)

    def reference(self, name):
        """The bytes of one uninterrupted download of `name`."""
        if name not in ResumeCase.one_shot:
            path = os.path.join(self.tmp, "one-shot.flv")
            run = self.fetch(name, path)
            self.assertEqual(run.rc, 0, self.explain(run))
            ResumeCase.one_shot[name] = read_bytes(path)
        return ResumeCase.one_shot[name]

    def partial(self, name, stop_ms, label):
        path = os.path.join(self.tmp, "%s-%s.flv" % (name, label))
        run = self.fetch(name, path, "--stop", "%.3f" % (stop_ms / 1000.0))
        self.assertEqual(run.rc, 0, self.explain(run))
        # The partial file is a whole tag chain ending before the full length.
        tags = real_media.tags_of(path)
        self.assertLess(tags[-1].ts, MEDIA.duration_ms)
        return path


class ResumeStopped(ResumeCase):
    def test_stop_then_resume_equals_one_shot(self):
        cases = [(real_media.PLAIN_NAME, (2500, 9000, 14200, 21000)), ("hevc-plain", (9000,)),
                 (real_media.INDEXED_NAME, (5000, 13500))] + [(name, (13500,)) for name in real_media.ENHANCED
                                                              if name.endswith("-indexed")]
        for name, stops in cases:
            expected = self.reference(name)
            for stop_ms in stops:
                with self.subTest(file=name, stop=stop_ms):
                    path = self.partial(name, stop_ms, stop_ms)
                    keyframe = [t.ts for t in real_media.tags_of(path) if t.is_keyframe][-1]
                    run = self.fetch(name, path, "--resume", "--verbose")
                    self.assertEqual(run.rc, 0, self.explain(run))
                    # An indexed file is played a second time, from just before the keyframe.
                    self.assertEqual("Playing again from %d ms" % (keyframe - 1) in run.stderr,
                                     name.endswith("indexed"), self.explain(run))
                    got = read_bytes(path)
                    self.assertEqual(len(got), len(expected))
                    self.assertTrue(got == expected, "resumed file differs from the one-shot download")

    def test_resume_after_start_writes_configurations_once(self):
        # The download from 7 s holds configurations fetched from the file's
        # start; the resume goes on from the partial file's last keyframe and
        # fetches none again.
        for name in ("avc-aac-indexed", "hevc-indexed"):
            with self.subTest(file=name):
                expected_path = os.path.join(self.tmp, name + "-from-7.flv")
                run = self.fetch(name, expected_path, "--start", "7")
                self.assertEqual(run.rc, 0, self.explain(run))
                path = os.path.join(self.tmp, name + "-7-to-13.flv")
                run = self.fetch(name, path, "--start", "7", "--stop", "13.5")
                self.assertEqual(run.rc, 0, self.explain(run))
                run = self.fetch(name, path, "--resume")
                self.assertEqual(run.rc, 0, self.explain(run))
                self.assertTrue(read_bytes(path) == read_bytes(expected_path),
                                "resumed file differs from the download from 7 s")

    def test_interrupt_then_resume_equals_one_shot(self):
        # A small buffer makes nginx send at about the playing speed, so the
        # interrupt lands in the middle of the stream.
        expected = self.reference(real_media.PLAIN_NAME)
        path = os.path.join(self.tmp, "interrupted.flv")
        run = self.fetch(real_media.PLAIN_NAME, path, "--buffer", "500",
                         interrupt_when=lambda: os.path.exists(path)
                         and os.path.getsize(path) > len(expected) // 3)
        self.assertEqual(run.rc, 2, self.explain(run))
        self.assertIn("Caught signal: 2", run.stderr)
        cut = read_bytes(path)
        self.assertLess(len(cut), len(expected))
        self.assertEqual(flvtools.parse(cut).errors, [], "ends on a whole tag")
        run = self.fetch(real_media.PLAIN_NAME, path, "--resume")
        self.assertEqual(run.rc, 0, self.explain(run))
        self.assertTrue(read_bytes(path) == expected, "resumed file differs from the one-shot download")


class ResumeComplete(ResumeCase):
    def test_resuming_a_complete_file_keeps_it(self):
        # Its last keyframe is the file's last indexed one, where nginx
        # starts when asked for that time, so the index does not hurt here.
        for name in (real_media.PLAIN_NAME, real_media.INDEXED_NAME):
            with self.subTest(file=name):
                expected = self.reference(name)
                path = os.path.join(self.tmp, name + "-complete.flv")
                with open(path, "wb") as f:
                    f.write(expected)
                run = self.fetch(name, path, "--resume")
                self.assertEqual(run.rc, 0, self.explain(run))
                self.assertTrue(read_bytes(path) == expected, "complete file was changed")


class Retry(ResumeCase):
    def test_broken_connections_are_continued(self):
        """A proxy in front of nginx breaks the first connection a third of
        the way in: closed, reset, or stalled until the receive timeout.
        --retry reconnects and continues to the one-shot bytes (the indexed
        file also needs the second play from just before the keyframe)."""
        for behaviour, name, reason in (("close", real_media.PLAIN_NAME, "the server closed the connection"),
                                        ("reset", real_media.INDEXED_NAME, "connection reset by the server"),
                                        ("stall", real_media.PLAIN_NAME,
                                         "the server did not send anything for 3 s (receive timed out)")):
            with self.subTest(behaviour):
                expected = self.reference(name)
                proxy = BreakProxy(SERVER.port, ["%s:%d" % (behaviour, len(expected) // 3), "pass"])
                self.addCleanup(proxy.close)
                path = os.path.join(self.tmp, "retry-%s.flv" % behaviour)
                run = run_kavelo(["-r", "rtmp://127.0.0.1:%d/vod/%s" % (proxy.port, name), "-o", path,
                                  "--retry", "3", "--timeout", "3"])
                self.assertEqual(run.rc, 0, self.explain(run))
                self.assertIn("Connection lost (%s), retry 1 of 3 in 1 s" % reason, run.stderr)
                self.assertEqual(proxy.connections, 2 if name == real_media.PLAIN_NAME else 3)
                self.assertTrue(read_bytes(path) == expected, "continued file differs from the one-shot download")


if __name__ == "__main__":
    unittest.main()
