"""The test server's scripted behaviour, seen from a hand-driven socket.

kavelo is not involved: these tests check that each scenario option puts on
the wire what the other end-to-end tests rely on (handshake variants, the
answers, hostile sends and the ways a stream ends).
"""

import os
import socket
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "server"))

import amf0  # noqa: E402
import chunks  # noqa: E402
from harness import KaveloTestCase  # noqa: E402

C1 = bytes(range(256)) * 6


class RawClient:
    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=5)
        self.reader = chunks.ChunkReader()
        self.pending = []

    def recv_exact(self, n):
        out = b""
        while len(out) < n:
            b = self.sock.recv(n - len(out))
            if not b:
                break
            out += b
        return out

    def recv_all(self):
        """Everything until the server closes (a reset ends it too)."""
        out = b""
        while True:
            try:
                b = self.sock.recv(65536)
            except ConnectionResetError:
                return out
            if not b:
                return out
            out += b

    def handshake(self):
        self.sock.sendall(b"\x03" + C1)
        s0s1s2 = self.recv_exact(1 + 1536 * 2)
        self.sock.sendall(s0s1s2[1:1537])
        return s0s1s2

    def command(self, csid, msid, *values):
        self.sock.sendall(chunks.ChunkWriter(128, compress=False).message(
            csid, 20, msid, 0, amf0.encode_all(values)))

    def next_message(self):
        while not self.pending:
            data = self.sock.recv(65536)
            if not data:
                return None
            self.pending += self.reader.feed(data)
        return self.pending.pop(0)

    def until_command(self, name):
        seen = []
        while True:
            m = self.next_message()
            if m is None:
                return None, seen
            seen.append(m)
            if m["type"] == 20 and amf0.decode_all(m["body"])[0] == name:
                return m, seen


class ScriptCase(KaveloTestCase):
    def client(self, port):
        c = RawClient(port)
        self.addCleanup(c.sock.close)
        return c


class Handshake(ScriptCase):
    def test_variants(self):
        cases = [  # (variant, bytes received before EOF, check)
            ("close", 0, None),
            ("close_after_version", 1, lambda b: b == b"\x03"),
            ("close_after_block", 1537, lambda b: b[0] == 3 and b[5:9] == bytes([3, 5, 1, 1])),
            ({"version": 6}, 3073, lambda b: b[0] == 6 and b[1537:] == C1),
            ("wrong_echo", 3073, lambda b: b[0] == 3 and b[1537:] != C1),
        ]
        for variant, n, check in cases:
            with self.subTest(variant=variant):
                srv = self.server({"handshake": variant, "script": [], "linger": 0})
                c = self.client(srv.port)
                c.sock.sendall(b"\x03" + C1)
                if n == 3073:
                    got = c.recv_exact(n)
                    c.sock.sendall(got[1:1537])
                    c.sock.close()
                else:
                    got = c.recv_all()
                self.assertEqual(len(got), n)
                if check:
                    self.assertTrue(check(got))
                hs = srv.wait_event("handshake")
                self.assertEqual(hs["mode"], variant if isinstance(variant, str) else "normal")
                if n == 3073:
                    self.assertTrue(srv.wait_event("end"))
                    self.assertEqual(srv.events("handshake")[0]["c2_matches"], True)

    def test_silent_server_sends_nothing(self):
        srv = self.server({"handshake": "silent"})
        c = self.client(srv.port)
        c.sock.sendall(b"\x03" + C1)
        c.sock.settimeout(0.5)
        with self.assertRaises(socket.timeout):
            c.sock.recv(1)


class Answers(ScriptCase):
    def test_connect_result_sequence(self):
        srv = self.server({"chunk_size": 4096, "connect": {"bwdone": True}, "script": [
            {"op": "wait", "command": "connect"}, "answer_connect"]})
        c = self.client(srv.port)
        c.handshake()
        c.command(3, 0, "connect", 7.0, {"app": "vod"})
        result, seen = c.until_command("_result")
        self.assertEqual([(m["type"], m["body"].hex()) for m in seen[:3]],
                         [(5, "002625a0"), (6, "002625a002"), (1, "00001000")])
        vals = amf0.decode_all(result["body"])
        self.assertEqual(vals[1], 7.0)
        self.assertEqual(vals[3]["code"], "NetConnection.Connect.Success")
        self.assertEqual(amf0.decode_all(c.next_message()["body"])[0], "onBWDone")

    def test_refusals_and_odd_values(self):
        cases = [  # (scenario, command answered, expected first values after the name)
            ({"connect": {"reply": "error", "code": "X.Y", "description": "no"}}, "connect",
             ("_error", 1.0, None, {"level": "error", "code": "X.Y", "description": "no"})),
            ({"createStream": {"stream_id": "NaN"}}, "createStream", ("_result", 2.0, None, "NaN")),
            ({"createStream": {"stream_id": 1e300}}, "createStream", ("_result", 2.0, None, 1e300)),
        ]
        for sc, upto, want in cases:
            with self.subTest(sc=sc):
                srv = self.server(sc)
                c = self.client(srv.port)
                c.handshake()
                c.command(3, 0, "connect", 1.0, {"app": "vod"})
                if upto == "createStream":
                    c.until_command("_result")
                    c.command(3, 0, "createStream", 2.0, None)
                m, _ = c.until_command(want[0])
                self.assertEqual(tuple(amf0.decode_all(m["body"])), want)

    def test_play_start_then_media_then_stop(self):
        srv = self.server({"media": {"synthetic": {"duration_ms": 200}}})
        c = self.client(srv.port)
        c.handshake()
        c.command(3, 0, "connect", 1.0, {"app": "vod"})
        c.until_command("_result")
        c.command(3, 0, "createStream", 2.0, None)
        c.until_command("_result")
        c.command(8, 1, "play", 0.0, None, "clip", 0.0)
        stop, seen = c.until_command("onStatus")
        self.assertEqual(amf0.decode_all(stop["body"])[3]["code"], "NetStream.Play.Reset")
        self.assertEqual(seen[0]["body"].hex(), "000000000001")  # StreamBegin 1
        stop, seen = c.until_command("onStatus")
        stop, seen = c.until_command("onStatus")
        self.assertEqual(amf0.decode_all(stop["body"])[3]["code"], "NetStream.Play.Stop")
        media = [(m["type"], m["ts"], m["body"]) for m in seen if m["type"] in (8, 9, 18)]
        self.assertEqual(media, srv.sent_messages())
        self.assertEqual(media[0][0], 18)
        play = srv.commands("play")[0]
        self.assertEqual((play["csid"], play["msid"], play["fmts"]), (8, 1, [0]))


class HostileSends(ScriptCase):
    def connected(self, sc):
        srv = self.server(sc)
        c = self.client(srv.port)
        c.handshake()
        c.command(3, 0, "connect", 1.0, {"app": "vod"})
        return srv, c

    def test_claimed_size_and_raw_bytes(self):
        srv, c = self.connected({"script": [
            {"op": "wait", "command": "connect"},
            {"op": "message", "csid": 6, "type": 9, "msid": 1, "size": 1000, "body_hex": "1700"},
            {"op": "raw", "hex": "c6ab"}, "close"]})
        self.assertEqual(c.recv_all().hex(), "06" "000000" "0003e8" "09" "01000000" "1700" "c6ab")

    def test_cut_and_reset_mid_message(self):
        srv, c = self.connected({"media": {"synthetic": {"duration_ms": 400}, "max_messages": 3,
                                           "cut_bytes": 10}, "end": "reset"})
        c.command(3, 0, "createStream", 2.0, None)
        c.until_command("_result")
        c.command(8, 1, "play", 0.0, None, "clip", 0.0)
        with self.assertRaises(ConnectionResetError):
            while c.next_message() is not None:
                pass
        cut = srv.wait_event("cut")
        self.assertEqual((cut["index"], cut["sent"]), (3, 10))
        self.assertEqual(len(c.reader.buf), 10)
        self.assertEqual(len(srv.sent_messages()), 3)

    def test_nested_body_and_chunk_size_values(self):
        srv, c = self.connected({"script": [
            {"op": "wait", "command": "connect"},
            {"op": "chunk_size", "size": -5}, {"op": "chunk_size", "size": 0},
            {"op": "nested", "depth": 1000, "type": 18}, "close"]})
        got = [c.next_message() for _ in range(3)]
        self.assertEqual([m["body"].hex() for m in got[:2]], ["fffffffb", "00000000"])
        body = got[2]["body"]
        self.assertEqual(len(body), 13 + 1000 * 7 + 1)
        self.assertEqual(body[13:20].hex(), "03000161030001")


if __name__ == "__main__":
    unittest.main()
