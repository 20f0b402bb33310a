"""Resuming partial downloads from the test server, in both ways a server
times a stream after a seek (message times restart at 0, or keep the
stream's own times): interrupted-then-resumed equals one-shot; failures
leave the partial file untouched."""

import os
import signal
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import KaveloTestCase, flvtools, wait_until  # noqa: E402

# Audio every 26 ms meets a keyframe (every 1000 ms) at 13 s: after a resume
# from that keyframe, the audio message at its time is new data.
SYNTH = {"duration_ms": 15000, "audio_interval": 26}
# Classic H.263, and Enhanced RTMP video: coded frames with a composition
# time, coded frames without one, two tracks of one codec (with Opus audio).
CODECS = [("classic", {}), ("hevc", {"video_codec": "hevc"}), ("av1", {"video_codec": "av1"}),
          ("vp9 multitrack", {"video_codec": "vp9-multitrack", "audio_codec": "opus"})]


def read(path):
    with open(path, "rb") as fh:
        return fh.read()


class ResumeCase(KaveloTestCase):
    def fetch(self, srv, out, *args, **kw):
        return self.kavelo("-r", srv.url("vod/clip"), "-o", out, *args, timeout=120, **kw)

    def one_shot(self, media):
        srv = self.server({"media": media})
        out = self.path("one-shot.flv")
        r = self.fetch(srv, out)
        self.assertEqual(r.rc, 0, r)
        return read(out)

    def interrupted(self, media, first, args=()):
        """A server whose first connection is changed by `first`, a download
        on it, and the partial file."""
        srv = self.server({"media": media, "connections": [first, {}]})
        out = self.path("partial.flv")
        if os.path.exists(out):
            os.unlink(out)
        r = self.fetch(srv, out, *args)
        self.assertIn(r.rc, (0, 2), r)
        return srv, out


class InterruptThenResume(ResumeCase):
    def interruptions(self, media):
        return [
            ("stop offset", {}, ["--stop", "4.5"]),
            ("stop offset at a keyframe", {}, ["--stop", "7"]),
            ("stop after a keyframe shared with audio", {}, ["--stop", "13.5"]),
            ("server closes", {"media": dict(media, max_messages=300), "end": "close"}, []),
            ("server resets", {"media": dict(media, max_messages=120), "end": "reset"}, []),
            ("connection drops inside a message", {"media": dict(media, max_messages=200, cut_bytes=700),
                                                   "end": "close"}, []),
            ("nothing missing", {}, []),
        ]

    def check_models(self, synth, codecs=CODECS[:1], **media_kw):
        for (codec, codec_kw), model in [(c, m) for c in codecs for m in ("relative", "absolute")]:
            media = dict({"synthetic": dict(synth, **codec_kw), "model": model}, **media_kw)
            expected = self.one_shot(media)
            for name, first, args in self.interruptions(media):
                with self.subTest(codec=codec, model=model, interruption=name):
                    srv, out = self.interrupted(media, first, args)
                    partial = read(out)
                    self.assertLess(len(partial), len(expected) + 1)
                    self.assertEqual(expected[:len(partial)][:5], partial[:5])
                    r = self.fetch(srv, out, "--resume")
                    self.assertEqual(r.rc, 0, r)
                    # A partial file that already holds the end of the stream
                    # is complete without a download.
                    self.assertRegex(r.stderr, "Download complete|Already Completed at")
                    got = read(out)
                    self.assertEqual(len(got), len(expected))
                    self.assertEqual(got, expected)
                    # A partial file whose only keyframe is at 0 starts afresh.
                    resumable = any(t.is_keyframe and t.ts > 0 for t in flvtools.parse(partial).tags)
                    if "Already Completed" not in r.stderr and resumable:
                        self.assertGreater(srv.commands("play", conn=1)[0]["amf"][4], 0)

    def test_audio_and_video(self):
        self.check_models(SYNTH, CODECS)

    def test_audio_only(self):
        self.check_models(dict(SYNTH, video=False, duration_ms=6000), [("mp3", {}), ("opus", {"audio_codec": "opus"})])

    def test_aggregates(self):
        self.check_models(SYNTH, [CODECS[0], CODECS[3]], aggregate=6)

    def test_server_that_starts_past_the_keyframe(self):
        # It starts at the first keyframe after S: asked again for S - 1, on a
        # new connection, it starts at S. With its own times the first message
        # tells; with restarted times the first one past S.
        for (codec, codec_kw), model in [(c, m) for c in CODECS for m in ("absolute", "relative")]:
            with self.subTest(codec=codec, model=model):
                media = {"synthetic": dict(SYNTH, **codec_kw), "model": model, "seek": "after"}
                expected = self.one_shot(media)
                srv, out = self.interrupted(media, {}, ["--stop", "5.5"])
                r = self.fetch(srv, out, "--resume")
                self.assertEqual(r.rc, 0, r)
                self.assertEqual([c["amf"][4] for c in srv.commands("play")][1:], [5000, 4999])
                self.assertEqual(read(out), expected)

    def test_signal_then_resume(self):
        for model in ("relative", "absolute"):
            with self.subTest(model):
                media = {"synthetic": SYNTH, "model": model}
                expected = self.one_shot(media)
                srv = self.server({"media": media, "connections": [{"media": dict(media, pace_ms=4)}, {}]})
                out = self.path("partial-%s.flv" % model)
                p = self.start_kavelo("-r", srv.url("vod/clip"), "-o", out)
                self.assertTrue(wait_until(lambda: os.path.exists(out) and os.path.getsize(out) > 150000, 30))
                p.signal(signal.SIGINT)
                self.assertEqual(p.wait(30).rc, 2)
                r = self.fetch(srv, out, "--resume")
                self.assertEqual(r.rc, 0, r)
                self.assertEqual(read(out), expected)

    def test_skip_resumes_from_an_earlier_keyframe(self):
        for codec, codec_kw in (CODECS[0], CODECS[3]):
            with self.subTest(codec):
                media = {"synthetic": dict(SYNTH, **codec_kw), "model": "absolute"}
                expected = self.one_shot(media)
                srv, out = self.interrupted(media, {}, ["--stop", "6.5"])
                r = self.fetch(srv, out, "--resume", "--skip", "2", "--verbose")
                self.assertEqual(r.rc, 0, r)
                self.assertEqual(srv.commands("play", conn=1)[0]["amf"][4], 4000)
                self.assertEqual(read(out), expected)

    def test_keyframe_inside_an_aggregate(self):
        # The server ignores the seek and replays from the start in aggregates
        # of 7 tags: the stored keyframe sits somewhere inside one of them.
        media = {"synthetic": SYNTH, "model": "absolute", "aggregate": 7, "seek": "none"}
        expected = self.one_shot(media)
        for stop in ("3.3", "8.9"):
            with self.subTest(stop):
                srv, out = self.interrupted(media, {}, ["--stop", stop])
                r = self.fetch(srv, out, "--resume")
                self.assertEqual(r.rc, 0, r)
                self.assertEqual(read(out), expected)

    def test_stale_tail_is_cut(self):
        # A resumed run that ends before the old end of the file.
        media = {"synthetic": SYNTH, "model": "relative", "pace_ms": 1}
        expected = flvtools.parse(self.one_shot(media))
        srv, out = self.interrupted(media, {}, ["--stop", "8.6"])
        r = self.fetch(srv, out, "--resume", "--stop", "8.2")
        self.assertEqual(r.rc, 0, r)
        got = flvtools.read(out)
        self.assertEqual(got.errors, [])
        self.assertEqual(got.end_of_chain, os.path.getsize(out))
        self.assertLess(got.tags[-1].ts, 8300)
        self.assertIsNone(flvtools.compare_tags(expected.tags[:len(got.tags)], got.tags))


class Retry(ResumeCase):
    """--retry continues in the same process what --resume would continue."""

    def test_broken_connection_is_continued(self):
        # A file is continued from its last keyframe; standard output passes
        # over the tags after that keyframe that went out already.
        for model in ("relative", "absolute"):
            media = {"synthetic": dict(SYNTH, duration_ms=6000), "model": model}
            expected = self.one_shot(media)
            for output in ("file", "stdout"):
                with self.subTest(model=model, output=output):
                    srv = self.server({"media": media, "connections": [
                        {"media": dict(media, max_messages=200, cut_bytes=700), "end": "close"}, {}]})
                    out = self.path("retry.flv")
                    args = ["-o", out] if output == "file" else []
                    r = self.kavelo("-r", srv.url("vod/clip"), "--retry", "3", "--verbose", *args, timeout=120)
                    self.assertEqual(r.rc, 0, r)
                    self.assertIn("Connection lost (the server closed the connection), retry 1 of 3 in 1 s", r.stderr)
                    got = read(out) if output == "file" else r.stdout
                    want = expected if output == "file" else expected[:4] + b"\x05" + expected[5:]
                    self.assertEqual(len(got), len(want))
                    self.assertTrue(got == want, "continued download differs from the one-shot download")
                    self.assertGreater(srv.commands("play", conn=1)[0]["amf"][4], 0)

    def test_endings_that_are_not_retried(self):
        media = {"synthetic": dict(SYNTH, duration_ms=6000)}
        broken = {"media": dict(media, max_messages=150), "end": "close"}
        refused = {"play": {"reply": "status", "code": "NetStream.Play.StreamNotFound"}}
        down = {"handshake": "close"}
        cases = [  # (name, connections, retries, exit code, connections made)
            ("refusal after a break", [broken, refused], "5", 1, 2),
            ("attempts run out", [broken, down, down, {}], "2", 2, 3),
            ("without --retry", [broken, {}], "0", 2, 1),
        ]
        for name, connections, retries, rc, made in cases:
            with self.subTest(name):
                srv = self.server({"media": media, "connections": connections})
                out = self.path("ending.flv")
                r = self.fetch(srv, out, "--retry", retries)
                self.assertEqual(r.rc, rc, r)
                self.assertEqual(len(srv.events("connection")), made)
                if rc == 2:
                    # What is left resumes to the whole stream.
                    r = self.fetch(srv, out, "--resume")
                    self.assertEqual(r.rc, 0, r)
                    self.assertEqual(read(out), self.one_shot(media))

    def test_reconnect_request_moves_the_client(self):
        media = {"synthetic": dict(SYNTH, duration_ms=6000)}
        expected = self.one_shot(media)
        target = self.server({"media": media})
        srv = self.server({"media": dict(media, max_messages=150), "end": "reconnect_request",
                           "reconnect": {"tc_url": "rtmp://127.0.0.1:%d/vod" % target.port}})
        out = self.path("moved.flv")
        r = self.fetch(srv, out, "--verbose")
        self.assertEqual(r.rc, 0, r)
        self.assertIn("moving to rtmp://127.0.0.1:%d/vod" % target.port, r.stderr)
        self.assertEqual(target.connections_so_far(), 1)
        self.assertEqual(read(out), expected)


class Continuations(ResumeCase):
    """What a new connection sends again is never written twice, times never
    go back, the attempts end when nothing new arrives, and every partial
    file resumes."""

    def assertEachFrameOnce(self, srv, data, connections):
        """Every frame sent is written once, up to the end of the publication
        the last connection played, and times never go back."""
        tags = flvtools.parse(data).tags
        times = [t.ts for t in tags]
        self.assertEqual(times, sorted(times), "times went back")
        bodies = [t.data for t in tags if t.type in (flvtools.AUDIO, flvtools.VIDEO)]
        self.assertEqual(len(bodies), len(set(bodies)), "a frame was written twice")
        sent = {m[2] for c in range(len(connections)) for m in srv.sent_messages(c) if m[0] in (8, 9)}
        self.assertLessEqual(sent, set(bodies), "a frame sent was not written")
        self.assertEqual(bodies[-1], flvtools.generate_tags(**connections[-1]["media"]["synthetic"])[-1].data,
                         "the end of the publication is missing")

    def test_continuations(self):
        synth = dict(SYNTH, duration_ms=6000)
        tags = flvtools.generate_tags(**synth)
        vod = {"synthetic": synth}
        live = dict(vod, live=True)
        enhanced = {"synthetic": dict(synth, video_codec="hevc", audio_codec="opus")}
        far = {"synthetic": dict(synth, start_ms=16776000), "model": "absolute"}
        # The break leaves out the last two tags, past 99.9 % of the duration.
        tail = dict(vod, metadata_override={"duration": tags[-3].ts / 999.5})
        later_key = next(i for i, t in enumerate(tags) if i > 150 and t.is_keyframe)
        config_below = {"op": "message", "csid": 6, "type": 9, "msid": 1, "ts": tags[later_key].ts - 15,
                        "body_hex": "1700000000016400"}
        target = self.server({"media": vod})

        def cut(media, n=150, end="close", **kw):
            return dict({"media": dict(media, max_messages=n), "end": end}, **kw)

        def moved(tc_url):
            return cut(vod, end="reconnect_request", reconnect={"tc_url": tc_url})
        cases = [  # (name, media, connections, arguments, exit code, checks)
            ("live stream whose duration has passed", live,
             [cut(dict(live, metadata_override={"duration": 1.0})),
              {"media": dict(live, live_from=150, metadata_override={"duration": 1.0})}],
             ["--live", "--retry", "2"], 0, {"live": True}),
            ("live server replays its cache", live, [cut(live), {"media": dict(live, live_from=150)}],
             ["--live", "--retry", "2"], 0, {"live": True}),
            ("publisher restarts its clock", live,
             [cut(dict(live, time_offset=100000)), {"media": dict(live, synthetic=dict(synth, seed=7))}],
             ["--live", "--retry", "2"], 0, {"live": True, "log": "Stream times restart"}),
            ("configuration below the last time", live,
             [cut(live), {"media": dict(live, live_from=later_key, inject=[{"at": 3, "steps": [config_below]}])}],
             ["--live", "--retry", "2"], 0, {"live": True}),
            ("no progress across reconnections", vod, [cut(vod), cut(vod, 3)], ["--retry", "2"], 2,
             {"made": 3, "log": "after 2 retries in a row without new data"}),
            ("reconnect requests without progress", vod,
             [cut(vod, end="reconnect_request"), cut(vod, 3, end="reconnect_request")], [], 2, {"made": 4}),
            ("reconnect request to another scheme", vod,
             [moved("http://127.0.0.1:%d/vod" % target.port), {}], [], 0, {"log": "another scheme"}),
            ("reconnect request to a port out of range", vod, [moved("rtmp://127.0.0.1:99999/vod"), {}], [], 0,
             {"log": "a port out of range"}),
            ("break in the last 0.1 %", tail, [cut(tail, len(tags) - 1), {}], ["--retry", "1"], 0, {}),
            ("Enhanced sequence starts without a frame", enhanced, [cut(enhanced, 3), {}], ["--retry", "1"], 0,
             {}),
            ("stream far from 0, resumed by the user", far, [cut(far), {}], [], 2, {"then": ["--resume"]}),
        ]
        for name, media, connections, args, rc, checks in cases:
            with self.subTest(name):
                srv = self.server({"media": media, "connections": connections})
                out = self.path("continued.flv")
                if os.path.exists(out):
                    os.unlink(out)
                r = self.kavelo("-r", srv.url("vod/clip"), "-o", out, "--verbose", *args, timeout=60)
                self.assertEqual(r.rc, rc, r)
                if "log" in checks:
                    self.assertIn(checks["log"], r.stderr)
                if "made" in checks:
                    self.assertEqual(len(srv.events("connection")), checks["made"])
                if "then" in checks:
                    r = self.fetch(srv, out, *checks["then"])
                    self.assertEqual(r.rc, 0, r)
                if "live" in checks:
                    self.assertEachFrameOnce(srv, read(out), connections)
                elif r.rc == 0:
                    self.assertTrue(read(out) == self.one_shot(media), "continued download differs")
        self.assertEqual(target.events("connection"), [])


class ResumeFailures(ResumeCase):
    def test_stream_that_cannot_continue_the_file(self):
        meta_differs = {"media": {"synthetic": SYNTH, "metadata_override": {"duration": 99.0}}}
        cases = [
            ("metadata differs", "relative", meta_differs, [], "try --skip 1"),
            ("metadata differs", "absolute", meta_differs, [], "try --skip 1"),
            # Asked again from just before the keyframe, it still starts elsewhere.
            ("server cannot seek and times from S", "absolute",
             {"media": {"synthetic": SYNTH, "seek": "restart", "model": "absolute"}}, [], "try --skip 1"),
            ("the user's skip plus one", "relative", meta_differs, ["--skip", "2"], "try --skip 3"),
        ]
        for name, model, second, args, hint in cases:
            with self.subTest(name, model=model):
                media = {"synthetic": SYNTH, "model": model}
                srv = self.server({"media": media, "connections": [{}, second]})
                out = self.path("partial.flv")
                self.assertEqual(self.fetch(srv, out, "--stop", "5.5").rc, 0)
                before = read(out)
                r = self.fetch(srv, out, "--resume", *args)
                self.assertEqual(r.rc, 1, r)
                self.assertIn("Couldn't resume FLV file, " + hint, r.stderr)
                self.assertEqual(read(out), before)

    def test_hostile_partial_files(self):
        good = flvtools.generate(**SYNTH)
        tags = flvtools.parse(good).tags
        prefix = flvtools.build(tags[:200])

        def with_last_prev(value):
            return prefix[:-4] + value.to_bytes(4, "big")
        cases = [
            ("shorter than a header", prefix[:10], "Couldn't read FLV file header!"),
            ("wrong signature", b"FLX" + prefix[3:], "Invalid FLV file!"),
            ("flags 0", prefix[:4] + b"\x00" + prefix[5:], "FLV file contains neither video nor audio"),
            ("previous tag size past the start", with_last_prev(len(prefix)), "corrupt file!"),
            ("previous tag size below 11", with_last_prev(3), "corrupt file!"),
            ("previous tag size of 4 GB", with_last_prev(0xFFFFFFF0), "corrupt file!"),
            ("no keyframe", flvtools.build([t for t in tags[:200] if not t.is_keyframe]),
             "Couldn't find keyframe to resume from!"),
        ]
        srv = self.server({"media": {"synthetic": SYNTH}})
        for name, data, error in cases:
            with self.subTest(name):
                out = self.write_flv("hostile.flv", data)
                r = self.fetch(srv, out, "--resume")
                self.assertEqual(r.rc, 1, r)
                self.assertIn(error, r.stderr)
                self.assertNotIn("runtime error", r.stderr)
                self.assertEqual(read(out), data)
        self.assertEqual(srv.events("connection"), [])


class ResumeSpecialFiles(ResumeCase):
    def test_files_that_start_anew(self):
        media = {"synthetic": SYNTH}
        enhanced = {"synthetic": dict(SYNTH, video_codec="hevc", audio_codec="opus")}
        far = {"synthetic": dict(SYNTH, start_ms=16776000), "model": "absolute"}
        whole = {name: self.one_shot(m) for name, m in (("classic", media), ("enhanced", enhanced), ("far", far))}
        tags = {name: flvtools.parse(data).tags for name, data in whole.items()}
        cases = [
            ("empty file", media, "classic", b""),
            # Its only keyframe is at 0.
            ("keyframe at 0 only", media, "classic", flvtools.build(tags["classic"][:20])),
            # A run interrupted before any media: header (flags 0) and metadata.
            ("metadata only", media, "classic", flvtools.build(tags["classic"][:1], 0)),
            # Sequence starts are no frames to resume from.
            ("Enhanced sequence starts only", enhanced, "enhanced", flvtools.build(tags["enhanced"][:3])),
            # Broken inside the first keyframe of a stream far from 0: its
            # first audio frame is never sent again after a seek.
            ("first audio frame of a stream far from 0", far, "far",
             flvtools.build([tags["far"][0], next(t for t in tags["far"] if t.type == flvtools.AUDIO)], 0x04)),
        ]
        for name, media, kind, data in cases:
            with self.subTest(name):
                expected = whole[kind]
                srv = self.server({"media": media})
                out = self.write_flv("partial.flv", data)
                r = self.fetch(srv, out, "--resume")
                self.assertEqual(r.rc, 0, r)
                self.assertIn("Starting download at: 0.000 kB", r.stderr)
                self.assertEqual(read(out), expected)

    def test_resumed_part_adds_its_types_to_the_flags(self):
        # A first run that saw only audio before the break; the rest brings video.
        media = {"synthetic": SYNTH, "model": "absolute"}
        tags = flvtools.parse(self.one_shot(media)).tags
        srv = self.server({"media": media})
        out = self.write_flv("partial.flv", flvtools.build([t for t in tags[:200] if t.type != flvtools.VIDEO], 0x04))
        r = self.fetch(srv, out, "--resume")
        self.assertEqual(r.rc, 0, r)
        self.assertEqual(read(out)[4], 0x05)

    def test_large_metadata(self):
        media = {"synthetic": dict(SYNTH, meta_extra={"pad": "p" * (2 << 20)})}
        expected = self.one_shot(media)
        self.assertGreater(len(expected), 2 << 20)
        srv, out = self.interrupted(media, {}, ["--stop", "5"])
        r = self.fetch(srv, out, "--resume")
        self.assertEqual(r.rc, 0, r)
        self.assertEqual(read(out), expected)

    def test_already_completed(self):
        media = {"synthetic": SYNTH}
        srv, out = self.interrupted(media, {}, ["--stop", "6"])
        before = read(out)
        r = self.fetch(srv, out, "--resume", "--stop", "3")
        self.assertEqual(r.rc, 0, r)
        self.assertIn("Already Completed\n", r.stderr)
        self.assertEqual(read(out), before)
        self.assertEqual(srv.connections_so_far(), 1)

    def test_sparse_file_past_four_gib(self):
        media = {"synthetic": SYNTH}
        expected = self.one_shot(media)
        tags = flvtools.parse(expected).tags
        keys = [i for i, t in enumerate(tags) if t.is_keyframe]
        k = keys[5]
        tail = b"".join(t.to_bytes() for t in tags[k - 30:k + 10])
        hole = (4 << 30) + 4321
        out = self.path("sparse.flv")
        with open(out, "wb") as fh:
            fh.write(flvtools.header_bytes())
            fh.truncate(hole)
            fh.seek(hole)
            fh.write(tail)
        r = self.fetch(srv := self.server({"media": media}), out, "--resume")
        self.assertEqual(r.rc, 0, r)
        self.assertIn("Starting download at: %.3f kB" % ((hole + len(tail)) / 1024.0), r.stderr)
        self.assertEqual(srv.commands("play")[0]["amf"][4], tags[k].ts)
        rest = b"".join(t.to_bytes() for t in tags[k + 1:])
        end = hole + len(b"".join(t.to_bytes() for t in tags[k - 30:k + 1]))
        self.assertEqual(os.path.getsize(out), end + len(rest))
        with open(out, "rb") as fh:
            fh.seek(hole)
            self.assertEqual(fh.read(), b"".join(t.to_bytes() for t in tags[k - 30:k + 1]) + rest)


if __name__ == "__main__":
    unittest.main()
