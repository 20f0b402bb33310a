"""Live recordings from node-media-server 4, fed by the test publisher.

This server tells its players nothing when the publisher leaves, so a live
recording ends at the receive timeout (exit 2) with what it has; that must be
the whole stream, metadata included. It forwards the encoder's metadata as
"@setDataFrame", "onMetaData", {...}, sends media on message stream 0, and
gives a late joiner its cached metadata, sequence headers and the frames
since the last keyframe, each at the publisher's own time.

The checks, and the end-of-publication tests, are those of test_live_nginx
(LiveCase, EndOfPublicationTests).
"""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import real_media  # noqa: E402
import test_live_nginx as base  # noqa: E402
from break_proxy import BreakProxy  # noqa: E402
from nms import NmsServer  # noqa: E402

TIMEOUT = 5                      # --timeout: the end of a recording here
NMS = None


def setUpModule():
    global NMS
    real_media.ensure_media()
    NMS = NmsServer().start()


def tearDownModule():
    if NMS is not None:
        NMS.stop()


class NmsCase(base.LiveCase):
    APP = "live"
    RECORD_ARGS = ("--timeout", TIMEOUT)
    END_WAIT = TIMEOUT + 10

    def server(self):
        return NMS

    def assertEnded(self, rec, pub, rc, after):
        """Nothing told kavelo of the end: the receive timeout did, about
        TIMEOUT seconds after the last message, and the run counts as
        incomplete."""
        self.assertEqual(rc, 2, self.explain(rec, pub))
        self.assertGreater(after, TIMEOUT - 2.0, "ended %.1f s after the publisher" % after)
        self.assertLess(after, TIMEOUT + 10.0, "ended %.1f s after the publisher" % after)
        self.assertNotIn("Download complete", rec.stderr())


class EndOfPublication(base.EndOfPublicationTests, NmsCase):
    """A late joiner's first frame is the keyframe kept for newcomers, at
    the publisher's time."""


class Timestamps(NmsCase):
    def test_extended_timestamps_written_as_sent(self):
        meta, tags = base.clip(4000)
        _, pub = self.record_publication(meta, tags, speed=4.0, offset=base.OFFSET)
        flv = self.assertValidRecording({"E40019"})
        self.assertWholeStream(pub.publisher.sent, flv.tags)
        got = base.media_only(flv.tags)
        self.assertEqual([t.ts - base.OFFSET for t in got], [t.ts for t in tags])
        with open(self.out, "rb") as fh:
            data = fh.read()
        self.assertEqual(data[got[0].offset + 4:got[0].offset + 8], bytes([0x03, 0x66, 0x40, 0x01]))

    def test_stop_counts_from_the_first_frame_not_the_cached_configuration(self):
        # An encoder whose sequence headers carry time 0 and its frames a
        # clock of hours: a late joiner gets the cached headers at 0, then
        # the frames at 17000000 and more. --stop counts stream time from
        # the first frame.
        # The publication outlasts the join and five seconds after it by far,
        # however long kavelo takes to start; it stops once kavelo has ended.
        meta, tags = base.clip(20000)
        url = self.stream_url()
        pub = self.publish(url, meta, tags, speed=1.0, offset=base.OFFSET, config_at=0)
        self.wait_published(pub, tags, 3)
        rec = self.record(url, "--stop", "5")
        rc = rec.wait(20)
        self.assertEqual(rc, 0, self.explain(rec, pub))
        self.assertIn("Stop offset has been reached at 5.000 sec", rec.stderr())
        pub.stop.set()
        pub.join()
        flv = self.assertValidRecording({"E40019"})
        configs = [t for t in base.media_only(flv.tags) if t.ts == 0]
        self.assertTrue(configs, "no cached sequence header at time 0")
        self.assertStopSpan(flv.tags)


class Continuation(NmsCase):
    IDLE = 4

    def test_idle_publication_ends_the_recording(self):
        meta, tags = base.clip(4000)
        url = self.stream_url()
        rec = self.record(url, "--live-idle", self.IDLE, "--timeout", 60)
        self.wait_playing(rec)
        pub = self.publish(url, meta, tags, speed=2.0)
        rc, after = self.finish(rec, pub, self.IDLE + 10)
        self.assertEqual(rc, 0, self.explain(rec, pub))
        self.assertLess(after, self.IDLE + 4.0, "ended %.1f s after the publisher" % after)
        self.assertIn("No media for %d s: the publication appears to have ended" % self.IDLE, rec.stderr())
        flv = self.assertValidRecording()
        self.assertWholeStream(pub.publisher.sent, flv.tags)

    def test_recording_goes_on_after_a_break(self):
        """The server replays the frames since its last keyframe to the new
        connection: none is written twice, and times never go back."""
        meta, tags = base.clip()
        url = self.stream_url()
        proxy = BreakProxy(NMS.port, ["close:%d" % (sum(len(t.data) for t in tags) // 3), "pass"])
        self.addCleanup(proxy.close)
        rec = self.record(url.replace(":%d/" % NMS.port, ":%d/" % proxy.port), "--retry", "3",
                          "--live-idle", self.IDLE, "--timeout", 60)
        self.wait_playing(rec)
        pub = self.publish(url, meta, tags, speed=1.0)
        rc, _ = self.finish(rec, pub, self.IDLE + 10)
        self.assertEqual(rc, 0, self.explain(rec, pub))
        self.assertEqual(proxy.connections, 2)
        flv = self.assertValidRecording()
        times = [t.ts for t in flv.tags]
        self.assertEqual(times, sorted(times), "times went back")
        configs = {t.data for t in pub.publisher.sent if t.is_config}
        frames = [t.data for t in base.media_only(flv.tags) if t.data not in configs]
        self.assertEqual(len(frames), len(set(frames)), "a frame was written twice")
        self.assertEqual(base.as_tuples(base.media_only(flv.tags)[-20:]), base.as_tuples(pub.publisher.sent[-20:]))


if __name__ == "__main__":
    unittest.main()
