"""kavelo against a hostile server: malformed, oversized and cut messages,
odd chunk sizes, refusals, handshakes that stop and servers that fall silent.

Every run must end by itself (bounded by a timeout), not by a signal, with no
sanitizer report and with its documented exit code, and must leave an FLV
file whose tag chain is whole up to its last tag. Where the stream goes on
after the hostile message, the file must hold exactly the media sent.
"""

import os
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "server"))

from harness import KaveloTestCase, Result, flvtools, kavelo_bin, wait_blocked, wait_until  # noqa: E402
import amf0  # noqa: E402
from steps import fill_bytes  # noqa: E402

SANITIZER_MARKS = ("ERROR: AddressSanitizer", "runtime error:", "LeakSanitizer")
MEDIA = {"synthetic": {"duration_ms": 2000}}
MAX_BODY = 0xFFFFFF
WORK_BUFFER = 1 << 20


def sanitizer_env():
    """Sanitizer reports end the run with exit codes the product never uses,
    so that a report cannot pass for an expected exit code 1."""
    env = dict(os.environ)
    env["ASAN_OPTIONS"] = ":".join(filter(None, [env.get("ASAN_OPTIONS"), "exitcode=86", "detect_leaks=1"]))
    env["UBSAN_OPTIONS"] = ":".join(filter(None, [env.get("UBSAN_OPTIONS"), "exitcode=87", "print_stacktrace=1"]))
    return env


# Also for the runs started through the harness.
os.environ.update(sanitizer_env())


def _high_water_kib(pid):
    """The process's peak resident set so far (VmHWM), or 0 once it is gone."""
    try:
        with open("/proc/%d/status" % pid) as fh:
            for line in fh:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def run_measured(args, cwd, timeout=90):
    """Run kavelo to its end; returns (Result, peak resident set in KiB).

    The peak is sampled from /proc while the process runs: the rusage of a
    child counts the memory of the (large) test process it was forked from."""
    out = tempfile.TemporaryFile(dir=cwd)
    err = tempfile.TemporaryFile(dir=cwd)
    p = subprocess.Popen([kavelo_bin()] + [str(a) for a in args], stdin=subprocess.DEVNULL, stdout=out,
                         stderr=err, cwd=cwd)
    peak = 0
    deadline = time.monotonic() + timeout
    timed_out = False
    while p.poll() is None:
        peak = max(peak, _high_water_kib(p.pid))
        if time.monotonic() > deadline:
            timed_out = True
            p.kill()
            p.wait()
            break
        time.sleep(0.02)
    out.seek(0)
    err.seek(0)
    r = Result(None if timed_out else p.returncode, out.read(), err.read().decode("utf-8", "replace"), timed_out)
    out.close()
    err.close()
    return r, peak


def u29(v):
    """AMF3 variable-length integer of the low 29 bits of v."""
    v &= 0x1FFFFFFF
    if v < 0x80:
        return bytes([v])
    if v < 0x4000:
        return bytes([0x80 | v >> 7, v & 0x7F])
    if v < 0x200000:
        return bytes([0x80 | v >> 14, 0x80 | (v >> 7) & 0x7F, v & 0x7F])
    return bytes([0x80 | v >> 22, 0x80 | (v >> 15) & 0x7F, 0x80 | (v >> 8) & 0x7F, v & 0xFF])


# AMF3 values behind the AMF0 switch marker 0x11: lengths and counts that are
# negative (29-bit values with the top bit set), far past the body, or one
# byte past it; integers cut short; nesting far beyond any limit.
AMF3_VALUES = [
    b"\x06" + u29(0x1FFFFFFF),                      # string, length -1
    b"\x06" + u29(0x0FFFFFFF),                      # string, length 2^27 - 1
    b"\x06" + u29(11 * 2 + 1) + b"0123456789",      # string, one byte short
    b"\x0b" + u29(0x1FFFFFFD) + b"<a/>",            # XML, negative length
    b"\x07" + u29(0x0FFFFFFF) + b"<a/>",            # XML document, huge length
    b"\x0a" + u29(0x1FFFFFF3) + b"\x01",            # object, -1 sealed members
    b"\x0a" + u29(0x0FFFFFF3) + b"\x01\x03a",       # object, 2^24 - 1 sealed members
    b"\x0a\x0b\x01" + b"\x03a\x04\x01" * 50,        # dynamic object without its end
    b"\x0a\x07\x01" * 100000 + b"\x01",             # externalizable objects, 100000 deep
    b"\x09" + u29(0x0FFFFFFF),                      # array, huge count
    b"\x08\x01\x00\x00",                            # date cut short
    b"\x05\x3f\xf0",                                # double cut short
    b"\x04\xff\xff",                                # integer cut short
    b"\x04\xff\xff\xff\xff",                        # integer -1: valid
]

# AMF0 bodies after the method name that end too early or claim too much.
AMF0_TRUNCATED = [
    "0200ff6f6e",                    # name longer than the body
    "0200086f6e537461747573003ff0",  # number cut short
    "0200086f6e53746174757303000161",  # object cut inside a property name
    "0200086f6e5374617475730300016100",  # object cut after a marker
    "0200086f6e5374617475730cffffffff41",  # long string of 4 GiB
    "0200086f6e53746174757308ffffffff",  # ECMA array of 2^32 - 1 entries
    "0200086f6e5374617475730affffffff00",  # strict array of 2^32 - 1 entries
    "0200086f6e5374617475730b00",    # date cut short
    "0200086f6e5374617475730f7fffffff",  # XML document of 2 GiB
    "0200086f6e53746174757310ffff41",  # typed object whose class name runs past the end
    "0200086f6e537461747573070001",  # reference (unsupported)
    "0200086f6e53746174757311",      # AMF3 switch at the very end
    "0200086f6e537461747573ff",      # unknown marker
    "02",                            # string marker alone
]


def invoke_step(body, carrier):
    """A message step carrying an AMF0 command body as an invoke, a flex
    message (version byte first) or a notify."""
    mtype = {"invoke": 20, "flex": 17, "notify": 18}[carrier]
    if carrier == "flex":
        body = b"\x00" + body
    return {"op": "message", "csid": 3 if carrier != "notify" else 5, "type": mtype,
            "msid": 0 if carrier != "notify" else 1, "body_hex": body.hex()}


def amf0_name(name):
    b = name.encode()
    return b"\x02" + len(b).to_bytes(2, "big") + b


def stream(*injections, **extra):
    """The default stream with step lists run before given media messages:
    injections are (index, steps) pairs."""
    media = dict(MEDIA)
    media.update(extra.pop("media", {}))
    media["inject"] = [{"at": at, "steps": steps} for at, steps in injections]
    sc = {"media": media}
    sc.update(extra)
    return sc


class HostileCase(KaveloTestCase):
    def assert_clean_exit(self, r, rc, what=""):
        """Ended by itself, not by a signal, no sanitizer report, exit code rc."""
        self.assertFalse(r.timed_out, "%s: kavelo did not end: %r" % (what, r))
        self.assertIsNotNone(r.rc, what)
        self.assertGreaterEqual(r.rc, 0, "%s: ended by signal %d: %r" % (what, -(r.rc or 0), r))
        for mark in SANITIZER_MARKS:
            self.assertNotIn(mark, r.stderr, "%s: sanitizer report: %r" % (what, r))
        self.assertEqual(r.rc, rc, "%s: %r" % (what, r))

    def assert_whole_chain(self, path, what=""):
        """A missing or empty file passes; else the chain is whole to its end."""
        if not os.path.exists(path) or os.path.getsize(path) == 0:
            return None
        f = flvtools.read(path)
        self.assertEqual(f.errors, [], what)
        self.assertEqual(f.end_of_chain, os.path.getsize(path), what)
        return f

    def run_case(self, scenario, *args, rc=0, timeout=90, what=""):
        """Download from a server playing scenario; checks the end and the
        file; returns (server, result, parsed file or None)."""
        srv = self.server(scenario)
        out = self.path("out-%d.flv" % srv._count)
        r, _ = run_measured(["-r", srv.url("vod/clip"), "-o", out, "--timeout", "20"] + list(args),
                            self.tmp, timeout)
        self.assert_clean_exit(r, rc, what)
        # A fault of the scenario would fail the case for the wrong reason.
        self.assertEqual(srv.events("server_error"), [], what)
        return srv, r, self.assert_whole_chain(out, what)

    def assert_media(self, srv, f, what, upto=None, inserts=None, prefix=False, hostile_meta=None):
        """The file holds the media sent (the first upto messages only; with
        prefix, a beginning of them), with the tags of inserts ({index: [Tag]})
        before the message of that index. A hostile onMetaData body the client
        could decode may stand in the file as sent (hostile_meta: its bodies)."""
        self.assertIsNotNone(f, what)
        got = [t for t in f.tags if not (t.type == flvtools.SCRIPT and t.data in (hostile_meta or ()))]
        sent = srv.sent_messages()
        expected = []
        for i, m in enumerate(sent[:upto] if upto is not None else sent):
            expected += (inserts or {}).get(i, [])
            expected += flvtools.expand_messages([m])
        if upto is None:
            expected += (inserts or {}).get(len(sent), [])
        self.assertGreater(len(expected), 0, what)
        if prefix:
            self.assertGreater(len(got), 10, what)
            expected = expected[:len(got)]
        self.assertIsNone(flvtools.compare_tags(expected, got), what)


class MalformedCommands(HostileCase):
    """Commands and notifies the client cannot decode are refused and the
    stream goes on: the file holds exactly the media sent."""

    def test_survived_with_the_stream_intact(self):
        status = amf0_name("onStatus") + b"\x00" + bytes(8) + b"\x05"
        cue = amf0_name("onCuePoint")
        cases = []
        for kind in ("object", "ecma", "strict"):
            cases.append(("AMF0 nested 100000 deep, " + kind, [
                {"op": "nested", "depth": 100000, "kind": kind, "type": 20},
                {"op": "nested", "depth": 100000, "kind": kind, "type": 17},
                {"op": "nested", "depth": 100000, "kind": kind, "type": 18, "msid": 1}]))
        for carrier in ("invoke", "flex", "notify"):
            head = cue if carrier == "notify" else status
            cases.append(("AMF3 lengths in a " + carrier,
                          [invoke_step(head + b"\x11" + v, carrier) for v in AMF3_VALUES]))
            cases.append(("truncated AMF0 in a " + carrier,
                          [invoke_step(bytes.fromhex(h), carrier) for h in AMF0_TRUNCATED]))
        cases.append(("empty and one-byte commands", [
            {"op": "message", "csid": 3, "type": t, "body_hex": h}
            for t in (20, 17, 18, 15, 16, 19) for h in ("", "00", "03", "11")]))
        # Control messages too short for their fields; a ping type the client
        # does not know; an abort of a chunk stream that has nothing pending.
        cases.append(("truncated control messages", [
            {"op": "message", "csid": 2, "type": t, "body_hex": h}
            for t in (1, 2, 3, 4, 5, 6) for h in ("", "00", "0000", "000000")]
            + [{"op": "message", "csid": 2, "type": t, "body_hex": "00000080"} for t in (1, 2, 3, 5)]
            + [{"op": "ping", "body_hex": "0063"}, {"op": "ping", "body_hex": "001a"}]))
        # Headers the client has never seen a full header for: a type-3 or
        # type-2 chunk on a fresh chunk stream, and the widest chunk stream id.
        cases.append(("headers on fresh chunk streams", [
            {"op": "raw", "hex": "e9"}, {"op": "raw", "hex": "aa000010"},
            {"op": "raw", "hex": "4b" "000000" "000000" "14"},
            {"op": "raw", "hex": "01ffff" "000000" "000001" "03" "00000000" "00"},
            {"op": "raw", "hex": "c1ffff" "00"}]))
        nested_meta = [amf0.encode_all(["onMetaData"]) + amf0.nested_objects(100000, kind)
                       for kind in ("object", "ecma", "strict")]
        for name, steps in cases:
            with self.subTest(name):
                srv, r, f = self.run_case(stream((3, steps[: len(steps) // 2]), (30, steps[len(steps) // 2:])),
                                          what=name)
                self.assert_media(srv, f, name, hostile_meta=nested_meta)

    def test_odd_metadata_values(self):
        """Durations that are not usable numbers never reach an integer
        conversion: the download completes with the metadata as sent."""
        odd = [{"$amf": "number", "value": v} for v in ("NaN", "Infinity", "-Infinity")]
        odd += [-5.0, 1e300, 1e-300, 4294967296.5, "ten", {"a": {"duration": 1.0}}, None]
        for value in odd:
            for hashes in ((), ("-#",)):
                what = "duration %r %s" % (value, " ".join(hashes))
                with self.subTest(what):
                    sc = {"media": dict(MEDIA, metadata_override={"duration": value})}
                    srv, r, f = self.run_case(sc, *hashes, what=what)
                    self.assert_media(srv, f, what)


class ChunkSizes(HostileCase):
    def test_chunk_size_announcements(self):
        """A size below 1 is refused and ends the connection: before media an
        incomplete run (2) with at most a header, mid-stream 2 with the media
        up to that point. Valid sizes, tiny and huge, change nothing."""
        cases = [  # (name, scenario, rc, media messages expected or None for all)
            ("0 after connect", {"connect": {"after": [{"op": "chunk_size", "size": 0}]}, "media": MEDIA}, 2, 0),
            ("-5 after connect", {"connect": {"after": [{"op": "chunk_size", "size": -5}]}, "media": MEDIA}, 2, 0),
            ("bit 31 set", {"connect": {"after": [{"op": "chunk_size", "size": -0x80000000}]}, "media": MEDIA},
             2, 0),
            ("0 mid-stream", stream((20, [{"op": "chunk_size", "size": 0}])), 2, 20),
            ("1", {"chunk_size": 1, "media": MEDIA}, 0, None),
            ("2^31 - 1", {"chunk_size": 0x7FFFFFFF, "media": MEDIA}, 0, None),
            ("changed back and forth", stream((5, [{"op": "chunk_size", "size": 65536}]),
                                              (9, [{"op": "chunk_size", "size": 7}]),
                                              (14, [{"op": "chunk_size", "size": 128}])), 0, None),
        ]
        for name, sc, rc, upto in cases:
            with self.subTest(name):
                srv, r, f = self.run_case(sc, rc=rc, what=name)
                if upto == 0:
                    self.assertTrue(f is None or f.tags == [], name)
                else:
                    self.assert_media(srv, f, name, upto=upto)


class MessageSizes(HostileCase):
    def test_largest_message_is_written(self):
        body = fill_bytes(MAX_BODY, b"\x17\x01")
        srv, r, f = self.run_case(stream((10, [{"op": "message", "csid": 9, "type": 9, "msid": 1, "ts": 0,
                                                "fill": {"size": MAX_BODY, "head_hex": "1701"}}])),
                                  timeout=240, what="16 MB video")
        self.assert_media(srv, f, "16 MB video", inserts={10: [flvtools.Tag(9, 0, body)]})

    def test_claimed_sizes_cost_nothing_until_sent(self):
        """300 chunk streams each claim a 16 MB message and send one chunk of
        it: the stream goes on, and the client holds no more than it got."""
        claims = [{"op": "message", "csid": 10 + i, "type": 9, "msid": 1, "size": MAX_BODY,
                   "fill": {"size": 128, "head_hex": "17"}} for i in range(300)]
        srv = self.server(stream((5, claims)))
        out = self.path("out.flv")
        r, peak_kib = run_measured(["-r", srv.url("vod/clip"), "-o", out], self.tmp)
        self.assert_clean_exit(r, 0, "claims")
        self.assert_media(srv, self.assert_whole_chain(out), "claims")
        # 300 x 16 MB were claimed; reserving them would need 4.8 GB.
        self.assertLess(peak_kib, 256 << 10, "peak resident set %d KiB" % peak_kib)

    def test_message_never_finished(self):
        """A header claiming more than is sent: the client waits no longer
        than its timeout or the connection, and keeps what it had."""
        claim = {"op": "message", "csid": 6, "type": 9, "msid": 1, "size": 16000000, "body_hex": "17000000"}
        cases = [("then silence", [claim, {"op": "hold", "seconds": 60}], ["--timeout", "2"]),
                 ("then close", [claim, "close"], []),
                 ("then reset", [claim, "reset"], [])]
        for name, steps, args in cases:
            with self.subTest(name):
                srv, r, f = self.run_case(stream((20, steps)), *args, rc=2, what=name)
                self.assert_media(srv, f, name, upto=20)


class ResultsAndErrors(HostileCase):
    def test_answers(self):
        error = {"op": "error", "code": "NetStream.Failed", "description": "no"}
        extra = [{"op": "result", "txn": t, "values": [None, v]}
                 for t, v in ((99.0, 1.0), ("NaN", None), (1e300, {"a": [1.0]}))]
        cases = [  # (name, scenario, args, rc, media expected)
            ("extra results during the stream", stream((4, extra)), [], 0, True),
            ("extra results before connect's", {"connect": {"before": extra[:1]}, "media": MEDIA}, [], 0, True),
            ("error answering play", {"play": {"reply": "error"}, "media": MEDIA}, [], 1, False),
            ("error answering connect, no information object",
             {"connect": {"reply": "none", "after": [{"op": "invoke", "name": "_error", "txn": 1.0,
                                                       "args": [None]}]}}, [], 1, False),
            # Results are matched by order alone and play, answered by a
            # status, stays pending: a late error is taken as play's refusal.
            ("error while play is pending", stream((6, [error, error])), [], 1, 6),
            # FCSubscribe is answered by onFCSubscribe alone: an error while
            # play waits behind it is play's refusal.
            ("error while play waits behind FCSubscribe",
             {"createStream": {"after": [error]}, "media": dict(MEDIA, live=True)}, ["--live"], 1, False),
            ("failure status mid-stream", stream((12, [{"op": "status", "code": "NetStream.Failed",
                                                        "level": "error"}])), [], 1, 12),
        ]
        for name, sc, args, rc, media in cases:
            with self.subTest(name):
                srv, r, f = self.run_case(sc, *args, rc=rc, what=name)
                if media is True:
                    self.assert_media(srv, f, name)
                elif media is False:
                    self.assertTrue(f is None or f.tags == [], name)
                else:
                    self.assert_media(srv, f, name, upto=media)


def aggregate(tags, edit=None):
    body = bytearray(b"".join(t.to_bytes() for t in tags))
    if edit:
        edit(body)
    return body


def _set(offset, value, width=4):
    def edit(body):
        body[offset:offset + width] = value.to_bytes(width, "big")
    return edit


class Aggregates(HostileCase):
    def test_wrong_sizes(self):
        a = flvtools.Tag(9, 120, b"\x22" + bytes(range(40)))
        b = flvtools.Tag(8, 130, b"\x2f" + bytes(20))
        whole = len(a.to_bytes())
        cases = [  # (name, body, rc, tags written from it or None when refused)
            ("wrong previous tag size", aggregate([a, b], _set(whole - 4, 7)), 0, [a, b]),
            ("last trailer missing", aggregate([a, b])[:-4], 0, [a, b]),
            ("last trailer half there", aggregate([a, b])[:-2], 0, [a, b]),
            ("stray bytes after the last tag", aggregate([a, b]) + b"\x09\x00\x00", 0, [a, b]),
            ("header alone", aggregate([flvtools.Tag(9, 1, b"")])[:11], 0, []),
            ("empty", bytearray(), 0, []),
            ("data size past the end", aggregate([a, b], _set(whole + 1, 0x100, 3)), 2, None),
            ("data size 2^24 - 1", aggregate([a], _set(1, MAX_BODY, 3)), 2, None),
        ]
        # The appended previous-tag size lands on the last bytes of the 1 MiB
        # work buffer, or of the buffer grown for a body just past it.
        for size in (WORK_BUFFER - 4, WORK_BUFFER - 3):
            big = flvtools.Tag(9, 120, fill_bytes(size - 11, b"\x22"))
            cases.append(("%d bytes, last trailer missing" % size, aggregate([big])[:-4], 0, [big]))
        for name, body, rc, tags in cases:
            with self.subTest(name):
                step = {"op": "message", "csid": 9, "type": 22, "msid": 1, "ts": 120, "body_hex": bytes(body).hex()}
                srv, r, f = self.run_case(stream((10, [step])), rc=rc, what=name)
                if tags is None:
                    self.assert_media(srv, f, name, upto=10)
                else:
                    self.assert_media(srv, f, name, inserts={10: tags})


class ConnectionCuts(HostileCase):
    def test_cut_streams(self):
        claim = {"op": "message", "csid": 40, "type": 8, "msid": 1, "size": 5000, "body_hex": "2f" * 300}
        cases = [  # (name, media options, end)
            ("reset inside a message body", {"max_messages": 30, "cut_bytes": 100}, "reset"),
            ("reset inside a chunk header", {"max_messages": 30, "cut_bytes": 3}, "reset"),
            ("close inside a message body", {"max_messages": 30, "cut_bytes": 150}, "close"),
            ("reset with messages pending on other chunk streams",
             {"max_messages": 30, "inject": [{"at": 29, "steps": [claim, dict(claim, csid=41)]}]}, "reset"),
        ]
        for name, media, end in cases:
            with self.subTest(name):
                srv, r, f = self.run_case({"media": dict(MEDIA, **media), "end": end}, rc=2, what=name)
                # A reset drops what the server had not sent yet: a prefix.
                self.assert_media(srv, f, name, upto=30, prefix=end == "reset")


class Handshakes(HostileCase):
    def test_servers_that_stop_or_fall_silent(self):
        """The receive timeout (2 s here) bounds every wait, also the
        handshake's; a run that waits on a silent server must end soon after."""
        cases = [  # (name, scenario, rc)
            ("cut after the version byte", {"handshake": "close_after_version"}, 1),
            ("cut after S1", {"handshake": "close_after_block"}, 1),
            ("closed at once", {"handshake": "close"}, 1),
            ("silent after accepting", {"handshake": {"mode": "silent", "hold": 60}}, 1),
            ("connect never answered", {"connect": {"reply": "none", "after": [{"op": "hold", "seconds": 60}]}}, 2),
            ("silent mid-stream", {"media": dict(MEDIA, max_messages=30), "end": "none", "linger": 60}, 2),
        ]
        for name, sc, rc in cases:
            with self.subTest(name):
                t0 = time.monotonic()
                srv, r, f = self.run_case(sc, "--timeout", "2", rc=rc, what=name)
                self.assertLess(time.monotonic() - t0, 30, name)
                if name == "silent mid-stream":
                    self.assert_media(srv, f, name, upto=30)

    def test_listener_that_never_accepts(self):
        lsock = socket.socket()
        self.addCleanup(lsock.close)
        lsock.bind(("127.0.0.1", 0))
        lsock.listen(1)
        r, _ = run_measured(["-r", "rtmp://127.0.0.1:%d/vod/clip" % lsock.getsockname()[1],
                             "-o", self.path("out.flv"), "--timeout", "2"], self.tmp, timeout=60)
        self.assert_clean_exit(r, 1, "never accepted")
        self.assertIn("Failed to connect!", r.stderr)

    def test_interrupt_ends_at_once(self):
        """SIGINT while the client waits inside the handshake, or inside a
        message that never ends, ends the run with 2 without waiting for the
        receive timeout."""
        claim = {"op": "message", "csid": 6, "type": 9, "msid": 1, "size": 16000000, "body_hex": "17000000"}
        cases = [("handshake", {"handshake": {"mode": "silent", "hold": 120}},
                  lambda srv, out: srv.wait_event("handshake", timeout=0)),
                 ("unfinished message", stream((20, [claim, {"op": "hold", "seconds": 120}])),
                  lambda srv, out: os.path.exists(out) and len(flvtools.read(out).tags) >= 20)]
        for name, sc, ready in cases:
            with self.subTest(name):
                srv = self.server(sc)
                out = self.path("int-%d.flv" % srv._count)
                p = self.start_kavelo("-r", srv.url("vod/clip"), "-o", out, "--timeout", "120")
                self.assertTrue(wait_until(lambda: ready(srv, out), 30), name)
                self.assertTrue(wait_blocked(p.pid), name)
                t0 = time.monotonic()
                p.signal(signal.SIGINT)
                r = p.wait(60)
                self.assertLess(time.monotonic() - t0, 10, name)
                self.assert_clean_exit(r, 2, name)
                self.assertIn("Caught signal: 2", r.stderr)
                self.assert_whole_chain(out, name)


if __name__ == "__main__":
    unittest.main()
