"""The test server's chunking variants against the real kavelo binary.

Every way the server can cut the same stream into chunks (header types,
chunk sizes, wide chunk stream ids, interleaving, extended and wrapping
timestamps, aggregates) must give the same FLV tags: the ones the server logged
as sent.  A mismatch is a fault of one of the two independent implementations.
"""

import os
import signal
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import KaveloTestCase, flvtools  # noqa: E402

SYN = {"duration_ms": 3000, "keyframe_size": 1500, "video_size": [100, 900]}


class ChunkingVariants(KaveloTestCase):
    def download(self, scenario, *args):
        srv = self.server(scenario)
        out = self.path("out.flv")
        r = self.kavelo("-r", srv.url("vod/clip"), "-o", out, "--timeout", "10", *args)
        return srv, r, flvtools.read(out)

    def test_every_variant_gives_the_sent_tags(self):
        variants = {
            "compressed": {},
            "type 0 only": {"compress": False},
            "chunk size 60000": {"chunk_size": 60000},
            "chunk size 1": {"chunk_size": 1, "media": {"synthetic": dict(SYN, duration_ms=400)}},
            "chunk size announced at play": {"chunk_size": 4096, "chunk_size_at": "play"},
            "two-byte ids": {"media": {"csid": {"audio": 64, "video": 319, "data": 200}}},
            "three-byte ids": {"media": {"csid": {"audio": 320, "video": 65599, "data": 577}}},
            "three-byte form of small ids": {"wide_csid": True, "media": {"csid": {"audio": 70, "video": 71}}},
            "interleaved": {"media": {"interleave": True}},
            "aggregates": {"media": {"aggregate": 4}},
            "times past 0xFFFFFF": {"media": {"synthetic": dict(SYN, start_ms=0xFFFFFF - 1000)}},
            "type 0 past 0xFFFFFF": {"compress": False,
                                     "media": {"synthetic": dict(SYN, start_ms=0xFFFFFF - 1000)}},
            "times wrapping at 2^32": {"media": {"synthetic": dict(SYN, start_ms=2 ** 32 - 1500)}},
        }
        for name, sc in variants.items():
            with self.subTest(name):
                sc = dict(sc)
                sc["media"] = dict({"synthetic": SYN}, **sc.get("media", {}))
                srv, r, got = self.download(sc)
                self.assertEqual(r.rc, 0, r)
                self.assertEqual(got.errors, [])
                sent = flvtools.expand_messages(srv.sent_messages())
                self.assertGreater(len(sent), 10)
                self.assertIsNone(flvtools.compare_tags(sent, got.tags))

    def test_sent_order_follows_interleaved_completion(self):
        # Audio (2 chunks) finishes inside the video message (many chunks)
        # that started before it, so it is logged (and written) first.
        srv, r, got = self.download({"media": {"synthetic": SYN, "interleave": True}})
        self.assertEqual(r.rc, 0, r)
        source = flvtools.parse(flvtools.generate(**SYN)).tags
        self.assertNotEqual([(t.type, t.ts) for t in source], [(t.type, t.ts) for t in got.tags])
        self.assertEqual(sorted((t.type, t.ts, t.data) for t in source),
                         sorted((t.type, t.ts, t.data) for t in got.tags))


class HarnessAndLog(KaveloTestCase):
    def test_log_records_handshake_and_commands(self):
        srv = self.server({"media": {"synthetic": dict(SYN, duration_ms=500)}})
        r = self.kavelo("-r", srv.url("vod/clip"), "-o", self.path("a.flv"))
        self.assertEqual(r.rc, 0, r)
        hs = srv.events("handshake")[0]
        self.assertEqual((hs["c0"], hs["c2_matches"]), (3, True))
        names = [c["name"] for c in srv.commands()]
        self.assertEqual(names[:3], ["connect", "createStream", "play"])
        play = srv.commands("play")[0]
        self.assertEqual(play["amf"][3:5], ["clip", 0.0])
        self.assertEqual(play["msid"], 1)

    def test_connections_list_and_stop_by_pid(self):
        srv = self.server({"connections": [{"play": {"reply": "status"}}, {}],
                           "media": {"synthetic": dict(SYN, duration_ms=500)}})
        first = self.kavelo("-r", srv.url("vod/clip"), "-o", self.path("1.flv"))
        second = self.kavelo("-r", srv.url("vod/clip"), "-o", self.path("2.flv"))
        self.assertEqual((first.rc, second.rc), (1, 0), (first, second))
        self.assertEqual(srv.sent_messages(conn=0), [])
        self.assertTrue(srv.sent_messages(conn=1))
        srv.stop()
        self.assertEqual(srv.proc.returncode, 0)
        with self.assertRaises(ProcessLookupError):
            os.kill(srv.proc.pid, 0)

    def test_signal_helpers(self):
        srv = self.server({"media": {"synthetic": dict(SYN, duration_ms=20000), "pace_ms": 20}})
        p = self.start_kavelo("-r", srv.url("vod/clip"), "-o", self.path("s.flv"))
        self.assertIsNotNone(srv.wait_log(lambda rec: rec.get("dir") == "out" and rec["ts"] > 200))
        p.signal(signal.SIGINT)
        res = p.wait(20)
        self.assertFalse(res.timed_out)
        self.assertEqual(res.rc, 2, res)
        self.assertIn("Caught signal: 2", res.stderr)


if __name__ == "__main__":
    unittest.main()
