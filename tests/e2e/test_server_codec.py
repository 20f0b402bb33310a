"""The test server's own codecs against hand-written wire bytes.

The end-to-end tests trust the test server to speak RTMP, AMF0 and FLV
correctly; these vectors are written out from the formats by hand so that a
fault in the server cannot pass for a fault (or a success) of kavelo.
"""

import math
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "server"))

import amf0  # noqa: E402
import chunks  # noqa: E402
import fastmode  # noqa: E402
import flvtools  # noqa: E402
import media  # noqa: E402

H = bytes.fromhex


class BasicHeader(unittest.TestCase):
    def test_forms(self):
        cases = [  # (fmt, csid, wide, bytes)
            (0, 2, False, "02"), (3, 3, False, "c3"), (1, 63, False, "7f"),
            (0, 64, False, "0000"), (2, 319, False, "80ff"),
            (0, 320, False, "010001"), (1, 577, False, "410102"), (0, 65599, False, "01ffff"),
            (0, 70, True, "010600"),
        ]
        for fmt, csid, wide, want in cases:
            with self.subTest(csid=csid, wide=wide):
                self.assertEqual(chunks.basic_header(fmt, csid, wide).hex(), want)


class Writer(unittest.TestCase):
    def test_header_compression_sequence(self):
        w = chunks.ChunkWriter(128)
        body = b"\xaf\x01\x02"
        steps = [  # (ts, body, expected bytes)
            (1000, body, "04" "0003e8" "000003" "08" "01000000" + body.hex()),
            (1020, body, "84" "000014" + body.hex()),          # same size and type: delta only
            (1040, body, "c4" + body.hex()),                    # same delta too: type 3 starts it
            (1070, body, "84" "00001e" + body.hex()),          # other delta
            (1080, b"\xaf", "44" "00000a" "000001" "08" "af"),  # other size
            (500, b"\xaf", "04" "0001f4" "000001" "08" "01000000" "af"),  # time went back: full header
        ]
        for ts, b, want in steps:
            with self.subTest(ts=ts):
                self.assertEqual(w.message(4, 8, 1, ts, b).hex(), want)

    def test_split_at_chunk_size(self):
        body = bytes(range(256)) + bytes(44)
        data = chunks.ChunkWriter(128).message(6, 9, 1, 0, body)
        want = H("06000000" "00012c" "09" "01000000") + body[:128] + b"\xc6" + body[128:256] + b"\xc6" + body[256:]
        self.assertEqual(data, want)
        self.assertEqual(chunks.ChunkWriter(128).message_fast(6, 9, 1, 0, body), want)

    def test_extended_timestamp_repeated_on_continuations(self):
        body = bytes(200)
        data = chunks.ChunkWriter(128).message(4, 8, 1, 0x01000005, body)
        want = (H("04ffffff" "0000c8" "08" "01000000" "01000005") + body[:128]
                + H("c4" "01000005") + body[128:])
        self.assertEqual(data, want)

    def test_extended_delta_on_type1_and_type3_new_message(self):
        w = chunks.ChunkWriter(128)
        w.message(4, 8, 1, 0, b"\x01")
        self.assertEqual(w.message(4, 8, 1, 0x01000000, b"\x01\x02").hex(),
                         "44" "ffffff" "000002" "08" "01000000" "0102")
        self.assertEqual(w.message(4, 8, 1, 0x01000000, b"\x03\x04").hex(),
                         "84" "000000" "0304")

    def test_wide_and_two_byte_ids_in_headers(self):
        self.assertEqual(chunks.ChunkWriter(128).message(300, 20, 0, 0, b"\x05").hex(),
                         "00ec" "000000" "000001" "14" "00000000" "05")
        self.assertEqual(chunks.ChunkWriter(1, wide=True).message(70, 8, 1, 0, b"\x01\x02").hex(),
                         "010600" "000000" "000002" "08" "01000000" "01" "c10600" "02")

    def test_claimed_size_larger_than_body(self):
        data = chunks.ChunkWriter(128).message(6, 9, 1, 0, b"\x17\x00", size=1000)
        self.assertEqual(data.hex(), "06" "000000" "0003e8" "09" "01000000" "1700")


class Reader(unittest.TestCase):
    def test_messages_from_client_bytes(self):
        r = chunks.ChunkReader()
        wire = (
            # connect-like invoke of 130 bytes on csid 3: type 0 header, 128 bytes, c3, 2 bytes
            H("03" "000000" "000082" "14" "00000000") + bytes(128) + H("c3") + b"\x01\x02"
            # ping on csid 2 with a type-1 header and an extended timestamp field
            + H("42" "ffffff" "00000a" "04" "01020304") + H("0003" "00000001" "0000012c")
            # a type-2 header adding 4 ms on csid 2 with the same size and type
            + H("82" "000004") + H("0003" "00000001" "00000bb8")
            # three-byte basic header: 64 + 1 + 2*256 = 577
            + H("010102" "000010" "000004" "03" "01000000") + H("00001000")
        )
        msgs = r.feed(wire[:50]) + r.feed(wire[50:])
        got = [(m["csid"], m["fmts"], m["type"], m["msid"], m["ts"], len(m["body"])) for m in msgs]
        self.assertEqual(got, [
            (3, [0, 3], 20, 0, 0, 130),
            (2, [1], 4, 0, 0x01020304, 10),
            (2, [2], 4, 0, 0x01020308, 10),
            (577, [0], 3, 1, 16, 4),
        ])
        self.assertTrue(msgs[1]["ext"])

    def test_extended_field_on_continuation_chunks(self):
        r = chunks.ChunkReader()
        wire = (H("04ffffff" "0000c8" "08" "01000000" "01000005") + bytes(128)
                + H("c4" "01000005") + bytes(72))
        msgs = r.feed(wire)
        self.assertEqual([(m["ts"], len(m["body"]), m["fmts"]) for m in msgs], [(0x01000005, 200, [0, 3])])

    def test_client_chunk_size_change(self):
        r = chunks.ChunkReader()
        msgs = r.feed(H("02000000" "000004" "01" "00000000" "00000100")
                      + H("03000000" "000100" "14" "00000000") + bytes(256))
        self.assertEqual([(m["type"], len(m["body"])) for m in msgs], [(1, 4), (20, 256)])


class Amf0(unittest.TestCase):
    def test_encode_vectors(self):
        cases = [
            ("connect", "020007636f6e6e656374"),
            (1.0, "003ff0000000000000"),
            (True, "0101"),
            (None, "05"),
            ({"a": False}, "03" "000161" "0100" "000009"),
            ([1.0], "0a00000001" "003ff0000000000000"),
            (amf0.typed("number", "NaN"), "007ff8000000000000"),
            (amf0.typed("undefined"), "06"),
            (amf0.typed("ecma_array", {"x": "y"}), "0800000001" "000178" "02000179" "000009"),
            (amf0.typed("date", 0.0), "0b" "0000000000000000" "0000"),
        ]
        for value, want in cases:
            with self.subTest(value=value):
                self.assertEqual(amf0.encode(value).hex(), want)

    def test_decode_keeps_order_and_types(self):
        body = H("02000a6f6e4d65746144617461" "0800000002" "000178" "0101" "000162" "02000163" "000009"
                 "0a00000002" "05" "06" "0b" "40590000000000000000")
        vals = amf0.decode_all(body)
        self.assertEqual(vals[0], "onMetaData")
        self.assertEqual(list(vals[1]["value"].items()), [("x", True), ("b", "c")])
        self.assertEqual(vals[2], [None, {"$amf": "undefined"}])
        self.assertEqual(vals[3], {"$amf": "date", "value": 100.0, "tz": 0})

    def test_malformed_bodies(self):
        for hexbody in ["02000a6f6e", "00", "03000161", "0affffffff05", "0e"]:
            with self.subTest(body=hexbody):
                with self.assertRaises(amf0.AmfError):
                    amf0.decode_all(H(hexbody))

    def test_nested_bodies(self):
        self.assertEqual(amf0.nested_objects(2).hex(),
                         "03000161" "03000161" "05" "000009" "000009")
        self.assertEqual(amf0.nested_objects(2, "strict").hex(), "0a00000001" "0a00000001" "05")
        deep = amf0.encode("onStatus") + amf0.nested_objects(100000)
        self.assertEqual(len(deep), 11 + 100000 * 7 + 1)
        vals, err = amf0.try_decode_all(deep)
        self.assertEqual(vals, ["onStatus"])
        self.assertIn("nesting", err)
        # NaN and infinities reach the JSON log as text.
        self.assertEqual(amf0.decode_all(amf0.encode(math.inf) + amf0.encode(math.nan)),
                         ["Infinity", "NaN"])


class Flv(unittest.TestCase):
    def test_parse_literal_file(self):
        data = H("464c5601050000000900000000"
                 "08" "000002" "0003e8" "00" "000000" "2f01" "0000000d"
                 "09" "000006" "0000a0" "01" "000000" "170000000000" "00000011")
        f = flvtools.parse(data)
        self.assertEqual(f.errors, [])
        self.assertEqual([(t.type, t.ts, t.data.hex()) for t in f.tags],
                         [(8, 1000, "2f01"), (9, 0x010000A0, "170000000000")])
        self.assertEqual(flvtools.build(f.tags), data)

    def test_chain_errors(self):
        good = flvtools.build([flvtools.Tag(8, 0, b"\x2f\x00"), flvtools.Tag(8, 26, b"\x2f\x01")])
        cases = [
            (good[:-1], "runs past the end"),
            (good[:-13] + b"\x00\x00\x00\x0c" + good[-13:], "previous tag size"),
            (good + b"\x08\x00", "stray bytes"),
            (good[:12], "shorter than the header"),
            (b"FLX" + good[3:], "bad signature"),
        ]
        for data, text in cases:
            with self.subTest(text=text):
                f = flvtools.parse(data)
                self.assertTrue(any(text in e for e in f.errors), f.errors)

    def test_generated_file(self):
        data = flvtools.generate(3000, keyframes_index=True, keyframe_interval=1000)
        f = flvtools.parse(data)
        self.assertEqual(f.errors, [])
        keys = [t for t in f.tags if t.is_keyframe]
        self.assertEqual([k.ts for k in keys], [0, 1000, 2000])
        index = flvtools.metadata_of(f.tags)["keyframes"]
        self.assertEqual(index["filepositions"], [float(k.offset) for k in keys])
        self.assertEqual(index["times"], [0.0, 1.0, 2.0])
        self.assertEqual(flvtools.metadata_of(f.tags)["duration"], max(t.ts for t in f.tags) / 1000.0)
        self.assertEqual(data, flvtools.generate(3000, keyframes_index=True, keyframe_interval=1000))

    @unittest.skipUnless(shutil.which("flvmeta"), "flvmeta not installed")
    def test_generated_files_pass_flvmeta(self):
        tmp = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, tmp, True)
        for name, kw in [("av", {}), ("audio", {"video": False}), ("index", {"keyframes_index": True})]:
            path = os.path.join(tmp, name + ".flv")
            with open(path, "wb") as fh:
                fh.write(flvtools.generate(2000, **kw))
            p = subprocess.run(["flvmeta", "--check", path], capture_output=True, text=True)
            self.assertEqual(p.returncode, 0, name + ": " + p.stdout + p.stderr)


class MediaPlan(unittest.TestCase):
    TAGS = flvtools.parse(flvtools.generate(5000, keyframe_interval=1000)).tags

    def plan(self, play, **cfg):
        return media.plan(self.TAGS, cfg, play)

    def test_start_keyframe_and_models(self):
        cases = [  # (start, cfg, first media time sent, first media time in the file)
            (0, {}, 0, 0),
            (2000, {}, 0, 2000),
            (2500, {}, 0, 2000),
            (2500, {"model": "absolute"}, 2000, 2000),
            (2000, {"seek": "after"}, 0, 3000),
            (2000, {"seek": "at_or_after"}, 0, 2000),
            (2500, {"seek": "none", "model": "absolute"}, 0, 0),
            (-1000, {"time_offset": 3600000}, 3600000, 0),
        ]
        for start, cfg, want_ts, want_file in cases:
            with self.subTest(start=start, cfg=cfg):
                msgs = self.plan({"start": start}, **cfg)
                self.assertEqual(msgs[0][:2], (18, 0))  # metadata first at time 0
                first = msgs[1]
                self.assertEqual(first[1], want_ts)
                src = next(t for t in self.TAGS if t.data == first[2])
                self.assertEqual(src.ts, want_file)
                self.assertTrue(src.is_keyframe)

    def test_length_ends_the_play(self):
        msgs = self.plan({"start": 1000, "length": 500})
        sent = sorted(m[1] for m in msgs[1:])
        want = sorted(t.ts - 1000 for t in self.TAGS if t.type != 18 and 1000 <= t.ts <= 1500)
        self.assertEqual(sent, want)

    def test_aggregates_keep_file_times_inside(self):
        msgs = self.plan({"start": 2000}, aggregate=3)
        agg = msgs[1]
        self.assertEqual((agg[0], agg[1]), (22, 0))
        inner = flvtools.expand_messages([agg])
        self.assertEqual(len(inner), 3)
        self.assertEqual(inner[0].ts, 2000)
        self.assertTrue(inner[0].is_keyframe)


class FastBlocks(unittest.TestCase):
    def test_patched_block_equals_direct_build(self):
        # The template is built at the first time and patched for the second.
        cases = [(1000, 0, 40), (0x2000000, 0xFFFFFF, 40), (0x1000000, 0xFFFFFFFF - 100, 40),
                 (77, 5, 0x1000000)]
        for fill, base, step in cases:
            for cs in (128, 60000):
                with self.subTest(base=base, step=step, cs=cs):
                    block = fastmode._Block({"frames_per_block": 3, "ts_step_ms": step}, cs)
                    block.anchored(fill, 1)
                    direct = chunks.ChunkWriter(cs)
                    want = b"".join(direct.message_fast(c, t, 1, (base + rel) & 0xFFFFFFFF, body)
                                    for c, t, rel, body in block.msgs)
                    self.assertEqual(block.anchored(base, 1), want)
                    reader = chunks.ChunkReader()
                    reader.chunk_size = cs
                    got = reader.feed(want)
                    self.assertEqual([m["ts"] for m in got],
                                     [(base + rel) & 0xFFFFFFFF for _, _, rel, _ in block.msgs])


if __name__ == "__main__":
    unittest.main()
