"""Live recordings from nginx with its RTMP module, fed by the test publisher.

When the publisher leaves, nginx tells its players with a user control
message StreamEOF alone and keeps their connections open; a live recording
must take that as the end of the stream and finish by itself. nginx rebuilds
the publisher's "@setDataFrame" metadata into an onMetaData of its own, and
passes the publisher's times through, extended ones included.

LiveCase, the base of these tests, and EndOfPublicationTests are shared
with test_live_nms.
"""

import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "publisher"))

import flvtools  # noqa: E402
import publish  # noqa: E402
import real_media  # noqa: E402
from flvtools import amf0  # noqa: E402
from break_proxy import BreakProxy  # noqa: E402
from nginx import SANITIZER_MARKS, NginxServer  # noqa: E402
from procs import stop_process  # noqa: E402

CLIP_MS = 8000
OFFSET = 17000000                # past 0xFFFFFF: every time needs the extended field
# Small chunks both ways, so most frames span type-3 continuation chunks,
# which then carry the extended time again.
CHUNK = 512
NGINX = None


def setUpModule():
    global NGINX
    real_media.ensure_media()
    NGINX = NginxServer(real_media.media_root(), chunk_size=CHUNK).start()


def tearDownModule():
    if NGINX is not None:
        NGINX.stop()


def clip(duration_ms=CLIP_MS):
    """Metadata and media of the first duration_ms of the real test media, the
    metadata's duration made that of the clip in whole seconds (nginx passes
    on whole seconds only)."""
    meta, tags = publish.read_flv(real_media.ensure_media().plain)
    tags = publish.cut(tags, duration_ms)
    meta = dict(meta)
    meta["duration"] = float(duration_ms // 1000)
    meta.pop("filesize", None)
    return meta, tags


def media_only(tags):
    return [t for t in tags if t.type in (flvtools.AUDIO, flvtools.VIDEO)]


def as_tuples(tags):
    return [(t.type, t.ts, t.data) for t in tags]


def first_difference(expected, got):
    """None when both lists of (type, time, payload) agree, else a short text."""
    for i, (e, g) in enumerate(zip(expected, got)):
        if e != g:
            return "tag %d: expected type %d at %d (%d bytes), got type %d at %d (%d bytes)%s" % (
                i, e[0], e[1], len(e[2]), g[0], g[1], len(g[2]),
                ", other payload" if e[:2] == g[:2] else "")
    if len(expected) != len(got):
        return "expected %d tags, got %d" % (len(expected), len(got))
    return None


class Recording:
    """kavelo running in the background; output through files."""

    def __init__(self, args, workdir):
        binary = os.environ.get("KAVELO_BIN")
        if not binary:
            raise RuntimeError("KAVELO_BIN is not set (ctest sets it)")
        self.err_path = os.path.join(workdir, "kavelo.err")
        self._err = open(self.err_path, "wb")
        self.proc = subprocess.Popen([binary] + [str(a) for a in args], stdin=subprocess.DEVNULL,
                                     stdout=subprocess.DEVNULL, stderr=self._err)
        self.ended_at = None

    def stderr(self):
        with open(self.err_path, "rb") as fh:
            return fh.read().decode("utf-8", "replace")

    def wait_playing(self, joined, timeout=60):
        """Until joined() says the server has taken kavelo's play: a publisher
        that starts then reaches the recording from its first message."""
        deadline = time.monotonic() + timeout
        while not joined():
            if self.proc.poll() is not None or time.monotonic() > deadline:
                raise AssertionError("kavelo did not start playing (exit %r):\n%s"
                                     % (self.proc.poll(), self.stderr()))
            time.sleep(0.05)

    def wait(self, timeout):
        """The exit code, or None when kavelo still ran after timeout seconds
        (it is then stopped)."""
        try:
            rc = self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            rc = None
        self.ended_at = time.monotonic()
        self.stop()
        for mark in SANITIZER_MARKS:
            if mark in self.stderr():
                raise AssertionError("kavelo:\n" + self.stderr()[-6000:])
        return rc

    def stop(self):
        stop_process(self.proc)
        self._err.close()


class LiveCase(unittest.TestCase):
    """A server (`server()`), kavelo recording from it and the publisher
    feeding it; the checks of a recording against what was published."""

    # flvmeta error codes that a server's own forms cause (see the subclasses)
    TOLERATED = frozenset()
    PUBLISH_CHUNK = CHUNK
    RECORD_ARGS = ()      # options of every recording from this server
    END_WAIT = 20         # seconds a recording may take to end after the publisher

    def server(self):
        raise NotImplementedError

    def assertEnded(self, rec, pub, rc, after):
        """The recording ended the way this server's end of a stream makes it."""
        raise NotImplementedError

    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="kavelo-live-")
        self.addCleanup(shutil.rmtree, self.tmp, True)
        self.out = os.path.join(self.tmp, "out.flv")
        self._recordings = []
        self._publishers = []
        self.addCleanup(self._stop_all)

    def _stop_all(self):
        for pub in self._publishers:
            pub.stop.set()
            try:
                pub.join(15)
            except Exception:  # noqa: BLE001  (the test has failed already)
                pass
        for rec in self._recordings:
            rec.stop()

    def stream_url(self):
        # The test's own name: a stream is never shared between tests.
        return self.server().url(self.APP, self.id().rsplit(".", 1)[-1].replace("test_", ""))

    def stream_name(self):
        return self.stream_url().rsplit("/", 1)[-1]

    def record(self, url, *args):
        rec = Recording(["-r", url, "--live", "-o", self.out] + list(self.RECORD_ARGS) + list(args), self.tmp)
        self._recordings.append(rec)
        return rec

    def wait_playing(self, rec):
        """Until the server has the recording as a player of this test's stream."""
        rec.wait_playing(lambda: self.server().has_player(self.APP, self.stream_name()))

    def wait_published(self, pub, tags, seconds, timeout=60):
        """Until the publisher has sent the first `seconds` of tags; it must
        still be running then."""
        first = tags[0].ts
        count = next(i for i, t in enumerate(tags) if t.ts - first >= seconds * 1000)
        deadline = time.monotonic() + timeout
        while len(pub.publisher.sent) <= count and pub.running() and time.monotonic() < deadline:
            time.sleep(0.02)
        self.assertTrue(pub.running(), "the publisher ended before the join")

    def publish(self, url, meta, tags, **kw):
        bg = publish.Background(publish.Publisher(url, chunk_size=self.PUBLISH_CHUNK), meta, tags, **kw)
        self._publishers.append(bg)
        return bg

    def explain(self, rec, pub=None):
        text = "kavelo stderr:\n%s\nserver log:\n%s" % (rec.stderr()[-4000:],
                                                         self.server().log_text()[-3000:])
        if pub is not None:
            text += "\npublisher received: %s" % "; ".join(pub.publisher.received)
        return text

    def finish(self, rec, pub, timeout):
        """Wait for the publisher and then up to timeout seconds for kavelo;
        (exit code, seconds kavelo ran on after the publisher)."""
        pub.join()
        rc = rec.wait(timeout)
        return rc, rec.ended_at - pub.ended_at

    def record_publication(self, meta, tags, join_after=None, **publish_kw):
        """(recording, publisher) of one whole publication of meta and tags,
        recorded from before the publisher starts or, with join_after,
        joined that many seconds into it; the recording has ended as this
        server's end of a stream makes it end."""
        url = self.stream_url()
        if join_after is None:
            rec = self.record(url)
            self.wait_playing(rec)
            pub = self.publish(url, meta, tags, **publish_kw)
        else:
            pub = self.publish(url, meta, tags, **publish_kw)
            self.wait_published(pub, tags, join_after)
            rec = self.record(url)
        rc, after = self.finish(rec, pub, self.END_WAIT)
        self.assertEnded(rec, pub, rc, after)
        return rec, pub

    # -- checks -------------------------------------------------------------

    def assertValidRecording(self, tolerated=()):
        codes, report = real_media.flvmeta_check(self.out)
        self.assertLessEqual(codes, set(tolerated) | self.TOLERATED,
                             "flvmeta --check:\n%s" % report)
        flv = flvtools.read(self.out)
        self.assertEqual(flv.errors, [])
        return flv

    def assertMetadata(self, tags, meta):
        """The stream's metadata is there as onMetaData, before the media,
        and no script tag carries the encoder's "@setDataFrame"."""
        scripts = [t for t in tags if t.type == flvtools.SCRIPT]
        self.assertTrue(scripts, "no script tag recorded")
        self.assertIs(tags[0].type, flvtools.SCRIPT, "metadata comes first")
        for t in scripts:
            values, _ = amf0.try_decode_all(t.data)
            self.assertTrue(values, "undecodable script tag %r" % t.data[:40])
            self.assertNotEqual(values[0], "@setDataFrame")
        got = flvtools.metadata_of(tags)
        self.assertIsNotNone(got, "no onMetaData recorded")
        for key in ("duration", "width", "height"):
            self.assertEqual(got.get(key), meta[key], "metadata %s" % key)

    def assertWholeStream(self, sent, tags):
        """Every media tag the publisher sent, at its time, nothing more."""
        self.assertIsNone(first_difference(as_tuples(sent), as_tuples(media_only(tags))))

    def assertStreamTail(self, sent, tags):
        """A late join: the publisher's tags from some point on to the end.
        Video may begin later than audio, at a keyframe, as servers hold a
        newcomer's video back until one; the codec configuration comes again
        before the first frame that needs it, at a time of the server's
        choice."""
        got = media_only(tags)
        configs = {t.data for t in sent if t.is_config}
        first_video = next((i for i, t in enumerate(got)
                            if t.type == flvtools.VIDEO and t.data not in configs), None)
        self.assertIsNotNone(first_video, "no video frame recorded")
        self.assertTrue(any(t.type == flvtools.VIDEO and t.data in configs for t in got[:first_video]),
                        "no video configuration before the first frame")
        self.assertEqual(got[first_video].data[0] >> 4, 1, "video begins with an inter frame")
        frames = as_tuples([t for t in got if t.data not in configs])
        whole = as_tuples([t for t in sent if not t.is_config])
        first_video = next(i for i, t in enumerate(frames) if t[0] == flvtools.VIDEO)
        head, tail = frames[:first_video], frames[first_video:]
        self.assertIn(tail[0], whole, "video at %d was never sent" % tail[0][1])
        begin = whole.index(tail[0])
        self.assertIsNone(first_difference(whole[begin:], tail))
        if head:
            self.assertIn(head[0], whole, "audio at %d was never sent" % head[0][1])
            audio_from = whole.index(head[0])
            self.assertIsNone(first_difference(
                [t for t in whole[audio_from:begin] if t[0] == flvtools.AUDIO], head))
            begin = min(begin, audio_from)
        self.assertGreater(begin, 0, "a late join recorded the stream from its start")

    def assertStopSpan(self, tags, first_ms=None):
        """--stop 5 recorded five seconds of stream time from the first frame."""
        frames = [t for t in media_only(tags) if not publish.Tag(t.type, t.ts, t.data).is_config]
        self.assertEqual({t.type for t in frames}, {flvtools.AUDIO, flvtools.VIDEO})
        if first_ms is not None:
            self.assertEqual(frames[0].ts, first_ms)
        span = frames[-1].ts - frames[0].ts
        self.assertGreaterEqual(span, 4900)
        self.assertLess(span, 6000)


class EndOfPublicationTests:
    """Recordings of a whole publication, the same for every server; mixed
    into a LiveCase, whose assertEnded says how its server ends them."""

    def test_recording_started_before_publisher(self):
        meta, tags = clip()
        _, pub = self.record_publication(meta, tags, speed=2.0)
        flv = self.assertValidRecording()
        self.assertMetadata(flv.tags, meta)
        self.assertWholeStream(pub.publisher.sent, flv.tags)
        self.assertEqual(flv.flags, 0x05)

    def test_recording_joined_mid_stream(self):
        meta, tags = clip()
        _, pub = self.record_publication(meta, tags, join_after=3.0, speed=1.0)
        # Times are the publisher's, which began before this recording: the
        # first one is not 0 (E40019).
        flv = self.assertValidRecording({"E40019"})
        self.assertMetadata(flv.tags, meta)
        self.assertStreamTail(pub.publisher.sent, flv.tags)


class NginxCase(LiveCase):
    APP = "pub"
    # nginx's rebuilt metadata is an object where flvmeta wants an
    # associative array (E70046); the client stores it as received.
    TOLERATED = frozenset({"E70046"})

    def server(self):
        return NGINX

    def assertEnded(self, rec, pub, rc, after):
        """StreamEOF ended the recording, soon after the publisher left."""
        self.assertEqual(rc, 0, self.explain(rec, pub))
        # Well below the receive timeout (30 s), however busy the machine.
        self.assertLess(after, 10.0, "kavelo took %.1f s to end after the publisher" % after)
        err = rec.stderr()
        # The log names the signal that ended the recording.
        self.assertRegex(err, r"(?i)stream ?eof")
        self.assertIn("Download complete", err)
        self.assertNotIn("may be incomplete", err)


class EndOfPublication(EndOfPublicationTests, NginxCase):
    """nginx passes the publisher's times on as they are."""


class Timestamps(NginxCase):
    def test_extended_timestamps_written_as_sent(self):
        meta, tags = clip(4000)
        _, pub = self.record_publication(meta, tags, speed=4.0, offset=OFFSET)
        # flvmeta calls a first time other than 0 an error (E40019).
        flv = self.assertValidRecording({"E40019"})
        self.assertWholeStream(pub.publisher.sent, flv.tags)
        self.assertEqual([t.ts - OFFSET for t in media_only(flv.tags)], [t.ts for t in tags])
        # Above 24 bits: the tag's fourth time byte holds the high bits.
        with open(self.out, "rb") as fh:
            data = fh.read()
        first = media_only(flv.tags)[0]
        self.assertEqual(data[first.offset + 4:first.offset + 8], bytes([0x03, 0x66, 0x40, 0x01]))
        # Larger frames crossed type-3 continuation chunks both ways.
        self.assertTrue(any(len(t.data) > CHUNK for t in media_only(flv.tags)))

    def test_recording_goes_on_after_a_break(self):
        """A proxy closes the recording's connection a third of the way into
        the publication; --retry joins again and records to its end: one
        metadata tag, times that never go back, the end of what was sent."""
        meta, tags = clip()
        url = self.stream_url()
        proxy = BreakProxy(NGINX.port, ["close:%d" % (sum(len(t.data) for t in tags) // 3), "pass"])
        self.addCleanup(proxy.close)
        rec = self.record(url.replace(":%d/" % NGINX.port, ":%d/" % proxy.port), "--retry", "3")
        self.wait_playing(rec)
        pub = self.publish(url, meta, tags, speed=1.0)
        rc, after = self.finish(rec, pub, self.END_WAIT)
        self.assertEnded(rec, pub, rc, after)
        self.assertEqual(proxy.connections, 2)
        flv = self.assertValidRecording()
        self.assertEqual(sum(1 for t in flv.tags if t.type == flvtools.SCRIPT), 1)
        # Audio may run ahead of the video a newcomer is held back for; each on
        # its own never goes back.
        for kind in (flvtools.AUDIO, flvtools.VIDEO):
            times = [t.ts for t in flv.tags if t.type == kind]
            self.assertEqual(times, sorted(times), "times went back")
        got = media_only(flv.tags)
        self.assertLess(len(got), len(tags), "nothing was lost in the break")
        self.assertEqual(as_tuples(got[-20:]), as_tuples(pub.publisher.sent[-20:]))

    def test_stop_records_five_seconds_of_stream_time(self):
        meta, tags = clip()
        url = self.stream_url()
        rec = self.record(url, "--stop", "5")
        self.wait_playing(rec)
        pub = self.publish(url, meta, tags, speed=2.0, offset=OFFSET)
        pub.join()
        rc = rec.wait(20)
        self.assertEqual(rc, 0, self.explain(rec, pub))
        self.assertIn("Stop offset has been reached at 5.000 sec", rec.stderr())
        flv = self.assertValidRecording({"E40019"})
        self.assertStopSpan(flv.tags, first_ms=OFFSET)


if __name__ == "__main__":
    unittest.main()
