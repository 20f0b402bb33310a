"""Live recordings against the scripted test server playing the parts of
real live servers: the end of a publication (a StreamEOF user control message
as nginx sends it, or onStatus NetStream.Play.UnpublishNotify) ends the
download with exit 0; the same signals before any media, for another stream
or in a recorded stream end nothing; "@setDataFrame" metadata is written as an
onMetaData tag; a late joiner's sequence headers at time 0 do not move the
live origin of --stop; media on message stream 0 is recorded.
"""

import os
import shutil
import sys
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "server"))

from harness import KaveloTestCase, flvtools  # noqa: E402
import amf0  # noqa: E402
import real_media  # noqa: E402

EOF_LINE = "Stream EOF for stream 1: the publisher stopped, ending the recording\n"
UNPUBLISH_LINE = "NetStream.Play.UnpublishNotify: the publisher stopped, ending the recording\n"
MEDIA = {"synthetic": {"duration_ms": 3000}}
OFFSET = 17000000
SET_DATA_FRAME = amf0.encode("@setDataFrame")
# The client's receive timeout in the runs that must end by a signal: far
# beyond the time the test allows them.
RECEIVE_TIMEOUT = "30"

HEAD = [{"op": "wait", "command": "connect"}, {"op": "answer_connect"},
        {"op": "wait", "command": "createStream"}, {"op": "answer_createStream"},
        {"op": "wait", "command": "play"}, {"op": "answer_play"}]
UNPUBLISH = {"op": "status", "code": "NetStream.Play.UnpublishNotify"}
# A live server keeps the connection open after the end of a publication.
HOLD = {"op": "hold", "seconds": 30}


def expected_tags(sent):
    """The tags a client writes of the messages sent, metadata in the plain
    onMetaData form."""
    tags = flvtools.expand_messages(sent)
    for t in tags:
        if t.type == flvtools.SCRIPT and t.data.startswith(SET_DATA_FRAME):
            t.data = t.data[len(SET_DATA_FRAME):]
    return tags


class LiveSignals(KaveloTestCase):
    def record(self, scenario, *args, timeout=20):
        srv = self.server(scenario)
        out = self.path("out.flv")
        start = time.monotonic()
        r = self.kavelo("-r", srv.url("live/stream"), "-o", out, *args, timeout=timeout)
        return srv, r, time.monotonic() - start, out

    def check_flv(self, path):
        if shutil.which("flvmeta"):
            codes, report = real_media.flvmeta_check(path)
            self.assertEqual(codes, set(), report)

    def test_end_of_publication_ends_a_live_recording(self):
        cases = [
            ("stream EOF", [{"op": "stream_eof"}], EOF_LINE),
            ("unpublish notify", [UNPUBLISH], UNPUBLISH_LINE),
            # nginx sends StreamBegin and StreamEOF around a play that comes
            # before the publisher: they end nothing, the later EOF does.
            ("signals before media first", [{"op": "stream_eof"}], EOF_LINE,
             [{"op": "stream_eof"}, UNPUBLISH]),
            # Media on message stream 0, as node-media-server sends it.
            ("media on stream 0", [UNPUBLISH], UNPUBLISH_LINE, [], {"msid": 0}),
        ]
        for case in cases:
            name, signal, line = case[:3]
            before = case[3] if len(case) > 3 else []
            media = dict(MEDIA, **(case[4] if len(case) > 4 else {}))
            with self.subTest(name):
                scenario = {"script": HEAD + before + [dict({"op": "media"}, **media)] + signal + [HOLD]}
                srv, r, elapsed, out = self.record(scenario, "--live", "--timeout", RECEIVE_TIMEOUT)
                self.assertEqual(r.rc, 0, r)
                self.assertLess(elapsed, 25, r)
                self.assertIn("\n" + line, r.stderr)
                self.assertEqual(r.stderr.count("the publisher stopped"), 1, r.stderr)
                self.assertTrue(r.stderr.endswith("Download complete\n"), r.stderr)
                sent = srv.sent_messages()
                self.assertGreater(len(sent), 100)
                got = flvtools.read(out)
                self.assertIsNone(flvtools.compare_tags(expected_tags(sent), got.tags))
                self.check_flv(out)

    def test_signals_that_end_nothing(self):
        """The signals in the middle of the media; the stream goes on and ends
        with NetStream.Play.Stop."""
        cases = [
            ("recorded stream, stream EOF", [], [{"op": "stream_eof"}]),
            ("recorded stream, unpublish", [], [UNPUBLISH]),
            ("live, stream EOF for another stream", ["--live"], [{"op": "stream_eof", "stream_id": 2}]),
        ]
        for name, args, steps in cases:
            with self.subTest(name):
                scenario = {"media": dict(MEDIA, inject=[{"at": 40, "steps": steps}])}
                srv, r, _, out = self.record(scenario, *args)
                self.assertEqual(r.rc, 0, r)
                self.assertNotIn("the publisher stopped", r.stderr)
                self.assertIn("Download complete\n", r.stderr)
                got = flvtools.read(out)
                self.assertIsNone(flvtools.compare_tags(expected_tags(srv.sent_messages()), got.tags))

    def test_silent_server_ends_at_the_receive_timeout(self):
        """node-media-server signals nothing: the recording ends at the
        receive timeout with every tag, as incomplete."""
        scenario = {"script": HEAD + [dict({"op": "media"}, **MEDIA), HOLD]}
        srv, r, elapsed, out = self.record(scenario, "--live", "--timeout", "2")
        self.assertEqual(r.rc, 2, r)
        self.assertLess(elapsed, 20, r)
        self.assertNotIn("Download complete", r.stderr)
        self.assertTrue(r.stderr.endswith("\nDownload may be incomplete: the server did not send anything for 2 s "
                                          "(receive timed out)\n"), r.stderr)
        got = flvtools.read(out)
        self.assertIsNone(flvtools.compare_tags(expected_tags(srv.sent_messages()), got.tags))

    def test_set_data_frame_metadata_is_written_as_on_metadata(self):
        for args in ([], ["--live"]):
            with self.subTest(args=args):
                scenario = {"media": dict(MEDIA, metadata_form="set_data_frame")}
                srv, r, _, out = self.record(scenario, *args)
                self.assertEqual(r.rc, 0, r)
                sent = srv.sent_messages()
                self.assertTrue(sent[0][2].startswith(SET_DATA_FRAME))
                got = flvtools.read(out)
                self.assertEqual(got.tags[0].type, flvtools.SCRIPT)
                self.assertEqual(amf0.try_decode_all(got.tags[0].data[:13])[0], ["onMetaData"])
                self.assertIsNone(flvtools.compare_tags(expected_tags(sent), got.tags))
                self.assertIn("Metadata:", r.stderr)
                self.assertIn("  duration              2.99\n", r.stderr)
                self.assertEqual(flvtools.metadata_of(got.tags)["duration"], 2.99)
                # A recorded stream whose duration is known ends complete by itself.
                self.assertNotIn("may be incomplete", r.stderr)
                self.check_flv(out)

    def test_late_joiner_stop_counts_from_the_first_frame(self):
        """node-media-server's late joiner: metadata and sequence headers at
        time 0, then media at the publisher's time (past 0xFFFFFF, extended
        timestamps), all on message stream 0. --stop 2 records 2 seconds of
        stream time from the first frame."""
        scenario = {"media": dict(MEDIA, time_offset=OFFSET, sequence_headers=True,
                                  metadata_form="set_data_frame", msid=0, pace_ms=2)}
        srv, r, _, out = self.record(scenario, "--live", "--stop", "2")
        self.assertEqual(r.rc, 0, r)
        self.assertIn("Stop offset has been reached at 2.000 sec", r.stderr)
        sent = expected_tags(srv.sent_messages())
        self.assertEqual([t.ts for t in sent[:3]], [0, 0, 0])
        # Everything up to the first tag at 2 seconds of stream time.
        n = next((i for i, t in enumerate(sent) if t.ts >= OFFSET + 2000), None)
        self.assertIsNotNone(n, "the server stopped before 2 seconds of stream time: %r" % r)
        n += 1
        got = flvtools.read(out)
        self.assertIsNone(flvtools.compare_tags(sent[:n], got.tags))
        self.assertEqual(got.tags[-1].ts, OFFSET + 2000)
        # 17000000 = 0x01036640: the low 24 bits, then the extended byte.
        with open(out, "rb") as fh:
            data = fh.read()
        first_frame = got.tags[3]
        self.assertEqual(first_frame.ts, OFFSET)
        self.assertEqual(data[first_frame.offset + 4:first_frame.offset + 8], bytes.fromhex("03664001"))
        self.check_flv(out)

    def test_recording_goes_on_after_a_break(self):
        """--retry joins the live stream again; --live --resume continues a
        recording after a crash. The server sends a newcomer the metadata and
        the codec configurations at time 0: the metadata is not repeated, the
        configurations take the time of the media that follows, and times
        that restart below the last written ones (a publisher that restarted
        its clock) are shifted to follow them."""
        first = {"media": dict(MEDIA, time_offset=OFFSET, sequence_headers=True, max_messages=80), "end": "close"}
        cases = [  # (name, the second connection's time offset, runs)
            ("--retry: the stream goes on with a gap", OFFSET + 5000, [["--retry", "2"]]),
            ("--resume: the publisher restarted its clock", 0, [[], ["--resume"]]),
        ]
        for name, offset, runs in cases:
            with self.subTest(name):
                second = {"media": dict(MEDIA, time_offset=offset, sequence_headers=True)}
                srv = self.server({"connections": [first, second]})
                out = self.path("live-break.flv")
                if os.path.exists(out):
                    os.unlink(out)
                for args in runs:
                    r = self.kavelo("-r", srv.url("live/stream"), "-o", out, "--live", "--verbose", *args,
                                    timeout=60)
                self.assertEqual(r.rc, 0, r)
                self.assertEqual("shifting them by" in r.stderr, offset == 0, r.stderr)
                got = flvtools.read(out)
                self.assertEqual(got.errors, [])
                times = [t.ts for t in got.tags]
                self.assertEqual(times, sorted(times), "times went back")
                self.assertEqual(sum(1 for t in got.tags if t.type == flvtools.SCRIPT), 1)
                # The second connection's configurations and media follow whole,
                # the configurations at the time of the first frame after them.
                sent = [t for t in expected_tags(srv.sent_messages(conn=1)) if t.type != flvtools.SCRIPT]
                tail = got.tags[-len(sent):]
                shift = tail[-1].ts - sent[-1].ts
                self.assertEqual([(t.type, t.data) for t in tail], [(t.type, t.data) for t in sent])
                self.assertEqual([t.ts for t in tail[2:]], [t.ts + shift for t in sent[2:]])
                self.assertEqual([t.ts for t in tail[:2]], [tail[2].ts] * 2)


if __name__ == "__main__":
    unittest.main()
