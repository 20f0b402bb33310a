"""Downloads from a real server: nginx with its RTMP module.

nginx shares no code with kavelo, so these tests check the client against an
independent peer: a full download must give back the served file tag for tag,
offsets must land where nginx really seeks, and failures must be told apart.
"""

import os
import shutil
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import flvtools  # noqa: E402
import real_media  # noqa: E402
from nginx import NginxServer, run_kavelo  # noqa: E402

MEDIA = None
SERVER = None
# Live streams fed from vod: one from the file's start, one from 10 s into the
# indexed file, whose times therefore begin at 12 s (nginx keeps file times).
LIVE_PULLS = {"clip": real_media.PLAIN_NAME, "late": real_media.INDEXED_NAME + " start=10000"}


def setUpModule():
    global MEDIA, SERVER
    MEDIA = real_media.ensure_media()
    SERVER = NginxServer(MEDIA.directory, LIVE_PULLS).start()


def tearDownModule():
    if SERVER is not None:
        SERVER.stop()


def media_only(tags):
    return [t for t in tags if t.type in (8, 9)]


class DownloadCase(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="kavelo-nginx-dl-")
        self.addCleanup(shutil.rmtree, self.tmp, True)

    def download(self, app, name, *extra, out="out.flv"):
        path = os.path.join(self.tmp, out)
        run = run_kavelo(["-r", SERVER.url(app, name), "-o", path] + list(extra))
        return path, run

    def assertValidFlv(self, path, tolerated=()):
        """flvmeta finds no error but the `tolerated` codes, and the tag
        chain is whole; returns the parsed file."""
        codes, report = real_media.flvmeta_check(path)
        self.assertLessEqual(codes, set(tolerated), "flvmeta --check on %s:\n%s" % (path, report))
        flv = flvtools.read(path)
        self.assertEqual(flv.errors, [])
        return flv

    def assertSameTags(self, expected, got):
        """Same types, times and payloads in the same order (Tag equality)."""
        self.assertIsNone(flvtools.compare_tags(expected, got))

    def explain(self, run):
        return "exit %d, stderr:\n%s\nnginx:\n%s" % (run.rc, run.stderr[-4000:], SERVER.log_text()[-3000:])


class FullDownload(DownloadCase):
    def test_download_equals_served_file_tag_for_tag(self):
        for name, source in ((real_media.PLAIN_NAME, MEDIA.plain), (real_media.INDEXED_NAME, MEDIA.indexed)):
            with self.subTest(file=name):
                path, run = self.download("vod", name, out=name + ".flv")
                self.assertEqual(run.rc, 0, self.explain(run))
                # One verdict: the metadata's duration runs past the last frame here.
                self.assertTrue(run.stderr.endswith("\nDownload complete\n"), self.explain(run))
                self.assertNotIn("incomplete", run.stderr)
                flv = self.assertValidFlv(path)
                self.assertSameTags(real_media.tags_of(source), flv.tags)
                # Both kinds of media were seen, so the flags say so.
                self.assertEqual(flv.flags, 0x05)

    def test_short_download_reaches_play_and_prints_metadata(self):
        path, run = self.download("vod", real_media.PLAIN_NAME, "--stop", "2")
        self.assertEqual(run.rc, 0, self.explain(run))
        tags = self.assertValidFlv(path).tags
        self.assertEqual(tags[0].type, 18, "onMetaData comes first")
        self.assertEqual(tags[0].data, real_media.tags_of(MEDIA.plain)[0].data)
        kinds = {t.type for t in media_only(tags)}
        self.assertEqual(kinds, {8, 9})
        self.assertIn("Metadata:", run.stderr)
        self.assertIn("  duration              24.01\n", run.stderr)
        self.assertIn("  width                 320\n", run.stderr)
        self.assertIn("Stop offset has been reached at 2.000 sec", run.stderr)


def is_config(tag):
    """A codec configuration, classic (AVC/HEVC/AAC sequence header) or Enhanced."""
    if tag.type == 9 and not tag.data[0] & 0x80 and tag.data[0] & 0x0F in (7, 12):
        return len(tag.data) > 1 and tag.data[1] == 0
    return flvtools.classify(tag.type, tag.data) == "config"


class Offsets(DownloadCase):
    """nginx seeks only by the file's keyframe index and then keeps the file's
    own times: it starts at the first indexed keyframe after the requested
    time (the last one when none follows). A client that added its start
    offset to those times would double them. nginx sends no codec
    configuration from there: the client fetches the file's own and writes
    them in front of each track's first frame. Without an index nginx plays
    the file from its start, configurations included."""

    def without_fetched_configs(self, source, got):
        """Checks that each track's first frame has the source's configuration
        right in front of it, at the frame's time; returns the rest."""
        rest = list(got)
        for ttype in (9, 8):
            configs = [t.data for t in source if t.type == ttype and is_config(t)]
            if not configs:
                continue
            first = next(i for i, t in enumerate(rest) if t.type == ttype and not is_config(t))
            self.assertGreater(first, 0, "no configuration in front of the first frame of type %d" % ttype)
            fetched = rest[first - 1]
            self.assertEqual((fetched.type, fetched.ts), (ttype, rest[first].ts))
            self.assertTrue(fetched.data == configs[0], "the configuration is not the file's own")
            del rest[first - 1]
        return rest

    def check_window(self, name, start_ms, stop_ms):
        args = []
        if start_ms:
            args += ["--start", "%.3f" % (start_ms / 1000.0)]
        if stop_ms:
            args += ["--stop", "%.3f" % (stop_ms / 1000.0)]
        path, run = self.download("vod", name, *args)
        self.assertEqual(run.rc, 0, self.explain(run))
        if name in (real_media.PLAIN_NAME, real_media.INDEXED_NAME):
            # flvmeta calls a first timestamp other than 0 an error (E40019);
            # that is what a download from a later start looks like.
            got = media_only(self.assertValidFlv(path, {"E40019"} if start_ms else ()).tags)
        else:  # Enhanced codecs, unknown to flvmeta
            got = media_only(real_media.tags_of(path))
        self.assertTrue(got, "no media written")
        source = media_only(real_media.tags_of(os.path.join(MEDIA.directory, name + ".flv")))

        seeks = start_ms and name.endswith("indexed")
        if start_ms and not seeks:
            # The whole file, its configurations at their place and no other.
            self.assertEqual([(t.type, t.data) for t in got], [(t.type, t.data) for t in source])
            return
        keys = [t.ts for t in source if t.is_keyframe]
        first_key = next((k for k in keys if k > start_ms), keys[-1]) if seeks else 0
        if seeks:
            got = self.without_fetched_configs(source, got)
        self.assertGreaterEqual(got[0].ts, first_key if seeks else 0)
        self.assertLessEqual(got[-1].ts, source[-1].ts, "timestamps doubled")
        first_video = next(t for t in got if t.type == 9)
        self.assertEqual(first_video.ts, first_key)

        # From there on the file's own tags, in the file's order.
        begin = source.index(got[0])
        self.assertSameTags(source[begin:begin + len(got)], got)

        if stop_ms:
            # The stop fires at the first media time at or past it.
            self.assertGreaterEqual(got[-1].ts, stop_ms - 100)
            self.assertLess(got[-1].ts, stop_ms + 1000)
        else:
            self.assertEqual(got[-1].ts, source[-1].ts)

    def test_start_and_stop_offsets(self):
        indexed = real_media.INDEXED_NAME
        for name, start_ms, stop_ms in ((indexed, 10000, 0), (indexed, 7000, 0), (indexed, 15500, 0),
                                        (indexed, 22000, 0), (indexed, 6000, 12000), (indexed, 0, 5000),
                                        (indexed, 3000, 9500), ("avc-aac-indexed", 7000, 0),
                                        ("hevc-indexed", 7000, 12000), ("vp9-multitrack-indexed", 15500, 0),
                                        ("hevc-plain", 7000, 0)):
            with self.subTest(file=name, start=start_ms, stop=stop_ms):
                self.check_window(name, start_ms, stop_ms)


class Live(DownloadCase):
    def test_live_download_records_the_stop_length(self):
        served = {t.data for t in media_only(real_media.tags_of(MEDIA.plain))}
        for name, first_ms in (("clip", 0), ("late", 12000)):
            with self.subTest(stream=name):
                path, run = self.download("live", name, "--live", "--stop", "5", out=name + ".flv")
                self.assertEqual(run.rc, 0, self.explain(run))
                # nginx's live metadata is an object where flvmeta wants an
                # associative array (E70046); the client stores it as received.
                got = media_only(self.assertValidFlv(path, {"E70046"}).tags)
                self.assertEqual({t.type for t in got}, {8, 9})
                # Times stay the publisher's; --stop counts from the first one.
                self.assertEqual(got[0].ts, first_ms)
                span = got[-1].ts - got[0].ts
                self.assertGreaterEqual(span, 4900)
                self.assertLess(span, 6000)
                # A relay passes the payloads through unchanged.
                self.assertEqual([t for t in got if t.data not in served], [])


class Refusals(DownloadCase):
    def test_missing_stream_exits_1(self):
        path, run = self.download("vod", "no-such-file")
        self.assertEqual(run.rc, 1, self.explain(run))
        self.assertIn("NetStream.Play.StreamNotFound", run.stderr)
        # A refusal is no interrupted download: retrying cannot help.
        self.assertNotIn("try --resume", run.stderr)
        # Nothing was downloaded: no file is created.
        self.assertFalse(os.path.exists(path))


if __name__ == "__main__":
    unittest.main()
