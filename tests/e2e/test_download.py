"""Downloads from the scripted test server: the FLV written is what the server
sent, byte for byte; offsets, live streams, the buffer time and progress."""

import os
import re
import shlex
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import KaveloTestCase, flvtools, kavelo_bin  # noqa: E402

SCRIPT, AGGREGATE = 18, 22


def render(sent, flags, seek=0, model="relative"):
    """The file a download must produce from the messages sent: a header with
    the flags, each message as a tag, aggregates as their inner tags. After a
    start time S the message times count from S unless the server keeps
    absolute times; script data before the first media message counts from S."""
    tags = []
    media_seen = False
    for mtype, ts, body in sent:
        if mtype == AGGREGATE:
            tags.extend(flvtools.parse(flvtools.header_bytes() + body).tags)
            media_seen = True
            continue
        absolute = model == "absolute" and (media_seen or mtype != SCRIPT)
        tags.append(flvtools.Tag(mtype, ts if absolute else seek + ts, body))
        media_seen = media_seen or mtype != SCRIPT
    return flvtools.build(tags, flags)


def synthetic(**kw):
    kw.setdefault("duration_ms", 4000)
    return {"synthetic": kw}


class ByteExact(KaveloTestCase):
    def download(self, scenario, *args):
        srv = self.server(scenario)
        out = self.path("out.flv")
        r = self.kavelo("-r", srv.url("vod/clip"), "-o", out, *args)
        with open(out, "rb") as fh:
            return srv, r, fh.read()

    def test_file_is_what_the_server_sent(self):
        cases = [
            ("audio and video", {"media": synthetic()}, 0x05),
            ("video only", {"media": synthetic(audio=False)}, 0x01),
            ("audio only", {"media": synthetic(video=False)}, 0x04),
            ("large chunks, interleaved", {"chunk_size": 60000, "media": dict(synthetic(), interleave=True)}, 0x05),
            ("no header compression, wide chunk stream ids",
             {"compress": False, "media": dict(synthetic(), csid={"audio": 70, "video": 400})}, 0x05),
            ("aggregates", {"media": dict(synthetic(), aggregate=7)}, 0x05),
            ("ended by Play.Complete", {"media": synthetic(), "end": "complete"}, 0x05),
            # Times past 24 bits use the extended timestamp on the wire and the
            # extended byte in the tag.
            ("times past 24 bits", {"media": synthetic(start_ms=0xFFFF00, duration_ms=2000)}, 0x05),
        ]
        for name, scenario, flags in cases:
            with self.subTest(name):
                srv, r, data = self.download(scenario)
                self.assertEqual(r.rc, 0, r)
                self.assertIn("Download complete", r.stderr)
                expected = render(srv.sent_messages(), flags)
                self.assertEqual(len(data), len(expected))
                self.assertEqual(data, expected)

    def test_standard_output_equals_the_file_but_for_the_flags(self):
        srv = self.server({"media": synthetic(audio=False)}, max_connections=3)
        out = self.path("out.flv")
        r1 = self.kavelo("-r", srv.url("vod/clip"), "-o", out)
        r2 = self.kavelo("-r", srv.url("vod/clip"))
        # "-" is standard output too, and a resume there is refused as for any standard output.
        r3 = self.kavelo("-r", srv.url("vod/clip"), "-o", "-", "--resume", "--verbose")
        self.assertEqual((r1.rc, r2.rc, r3.rc), (0, 0, 0), (r1, r2, r3))
        with open(out, "rb") as fh:
            data = fh.read()
        self.assertEqual(data[4], 0x01)
        self.assertEqual(r2.stdout[4], 0x05)
        self.assertEqual(r2.stdout[:4] + r2.stdout[5:], data[:4] + data[5:])
        self.assertEqual(r3.stdout, r2.stdout)
        self.assertIn("Can't resume in stdout mode, ignoring --resume option", r3.stderr)
        self.assertFalse(os.path.exists(self.path("-")))

    def test_start_offset_in_both_time_models(self):
        for model in ("relative", "absolute"):
            with self.subTest(model):
                srv, r, data = self.download({"media": dict(synthetic(duration_ms=8000), model=model)},
                                             "--start", "3")
                self.assertEqual(r.rc, 0, r)
                self.assertEqual(data, render(srv.sent_messages(), 0x05, seek=3000, model=model))
                tags = flvtools.parse(data).tags
                media = [t.ts for t in tags if t.type != SCRIPT]
                # The server starts at the keyframe at 3000: never doubled.
                self.assertEqual(media[0], 3000)
                self.assertLess(media[-1], 8000)
                self.assertIn("Download complete", r.stderr)

    def test_stop_offset(self):
        for model in ("relative", "absolute"):
            with self.subTest(model):
                srv, r, data = self.download({"media": dict(synthetic(duration_ms=10000), model=model, pace_ms=1)},
                                             "--start", "2", "--stop", "5")
                self.assertEqual(r.rc, 0, r)
                f = flvtools.parse(data)
                self.assertEqual(f.errors, [])
                media = [t.ts for t in f.tags if t.type != SCRIPT]
                self.assertEqual(media[0], 2000)
                self.assertGreaterEqual(media[-1], 4900)
                self.assertLessEqual(media[-1], 5000)
                self.assertIn("For duration: 3.000 sec", r.stderr)
                play = srv.commands("play")[0]["amf"]
                self.assertEqual(play[4:6], [2000, 3000])

    def test_live_stop_counts_from_the_first_media_time(self):
        # A publisher that has been running for an hour.
        srv, r, data = self.download({"media": dict(synthetic(duration_ms=8000), live=True, time_offset=3600000,
                                                    pace_ms=1)}, "--live", "--stop", "2")
        self.assertEqual(r.rc, 0, r)
        self.assertIn("Stop offset has been reached at 2.000 sec", r.stderr)
        media = [t.ts for t in flvtools.parse(data).tags if t.type != SCRIPT]
        self.assertEqual(media[0], 3600000)
        self.assertGreaterEqual(media[-1], 3602000)
        self.assertLess(media[-1], 3602100)
        self.assertEqual(srv.commands("play")[0]["amf"][4], -1000)


class BufferAndProgress(KaveloTestCase):
    def buffer_pings(self, srv):
        """Buffer lengths the client announced (user control type 3)."""
        return [m["ping_values"][-1] for m in srv.client_messages(type=4) if m.get("ping_type") == 3]

    def test_buffer_time(self):
        long_meta = {"duration": 40000.0}
        cases = [
            # A duration past the default ten hours stretches the buffer once.
            ("long stream", [], long_meta, 40005000),
            ("short stream keeps the default", [], None, 36000000),
            ("--buffer wins", ["--buffer", "2000"], long_meta, 2000),
        ]
        for name, args, meta, last in cases:
            with self.subTest(name):
                m = synthetic(duration_ms=2000)
                scenario = {"media": dict(m, metadata_override=meta) if meta else m}
                srv = self.server(scenario)
                r = self.kavelo("-r", srv.url("vod/clip"), "-o", self.path("out.flv"), *args)
                self.assertIn(r.rc, (0, 2), r)
                self.assertEqual(self.buffer_pings(srv)[-1], last)

    def test_hostile_durations_are_harmless(self):
        for duration in ("NaN", "Infinity", "-Infinity", -5.0, 1e300, 5e-324):
            with self.subTest(duration):
                srv = self.server({"media": dict(synthetic(duration_ms=1500),
                                                 metadata_override={"duration": duration})})
                r = self.kavelo("-r", srv.url("vod/clip"), "-o", self.path("out.flv"), "--hashes")
                self.assertIn(r.rc, (0, 2), r)
                self.assertNotIn("runtime error", r.stderr)
                self.assertIn("Download", r.stderr)

    def test_progress(self):
        # About 2 MB; hashes follow the percentage.
        scenario = {"media": synthetic(duration_ms=20000, keyframe_size=20000, video_size=(3000, 5000))}
        srv = self.server(scenario, max_connections=3)
        r = self.kavelo("-r", srv.url("vod/clip"), "-o", self.path("b.flv"), "--hashes")
        self.assertEqual(r.rc, 0, r)
        hashes = r.stderr.count("#")
        # One per whole percent reached, at most one per message written.
        self.assertGreaterEqual(hashes, 90)
        self.assertLessEqual(hashes, 100)

        # On a terminal: one status line rewritten in place about twice a
        # second, however few bytes come (here a slow audio-only stream), and
        # a final line.
        slow = self.server({"media": dict(synthetic(duration_ms=3000, video=False), pace_ms=25)})
        cmd = " ".join(shlex.quote(a) for a in [kavelo_bin(), "-r", slow.url("vod/clip"), "-o", self.path("c.flv")])
        p = subprocess.run(["script", "-qec", cmd + "; echo rc=$?", "/dev/null"], stdin=subprocess.DEVNULL,
                           stdout=subprocess.PIPE, timeout=60)
        tty = p.stdout.decode("latin-1").replace("\r\n", "\n")
        self.assertIn("rc=0", tty)
        status = re.findall(r"\r([\d.]+ kB  [\d.]+ kB/s  0:00:0\d of 0:00:02 \([\d.]+%\)  0:00:0\d left) *", tty)
        self.assertGreaterEqual(len(status), 3, tty)
        self.assertRegex(tty, r"\r[\d.]+ kB in 0:00:0\d  [\d.]+ kB/s  0:00:02 of 0:00:02 \(100.0%\) *\n"
                              r"Download complete\n")


if __name__ == "__main__":
    unittest.main()
