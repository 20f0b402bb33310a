"""Messaging against the scripted test server: the exact bytes of every
command and control message kavelo sends, read back from the server's log of
the client's messages, and what the server's answers, status codes and
metadata do to the run (exit code, error lines, the file).

Expected bodies are written out here byte by byte, not produced by the
client's encoder nor by the server's.
"""

import math
import os
import re
import struct
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "server"))

from harness import flvtools  # noqa: E402
# Importing it also puts the sanitizer options into the environment.
from test_hostile_server import HostileCase, run_measured  # noqa: E402
import amf0  # noqa: E402

DEFAULT_FLASH_VER = "LNX 10,0,22,87"
SHORT = {"synthetic": {"duration_ms": 600}}
# 400 kB of stream in 4 s: two progress lines; the last tag is audio at 3978 ms.
MEDIUM = {"synthetic": {"duration_ms": 4000, "video_size": [3000, 5000]}}
LAST_TS = 3978
REPORT_STEP = 614400
CHUNK = 128
# The default buffer time: ten hours.
DEFAULT_BUFFER_MS = 36000000


# -- AMF0 by hand -----------------------------------------------------------

def a_str(text):
    b = text.encode("utf-8")
    return b"\x02" + struct.pack(">H", len(b)) + b


def a_num(x):
    return b"\x00" + struct.pack(">d", x)


def a_bool(v):
    return b"\x01" + (b"\x01" if v else b"\x00")


A_NULL = b"\x05"


def a_prop(name, value):
    b = name.encode("utf-8")
    return struct.pack(">H", len(b)) + b + value


# The five properties every connect carries, as the wire has them.
FIXED_PROPS = bytes.fromhex(
    "0004" "66706164" "0100"
    "000c" "6361706162696c6974696573" "00402e000000000000"
    "000b" "617564696f436f64656373" "0040a8ee0000000000"
    "000b" "766964656f436f64656373" "00406f800000000000"
    "000d" "766964656f46756e6374696f6e" "003ff0000000000000")


def connect_body(app=None, flash_ver=DEFAULT_FLASH_VER, swf=None, tc=None, page=None, auth=None):
    body = a_str("connect") + a_num(1.0) + b"\x03"
    for name, value in (("app", app), ("flashVer", flash_ver), ("swfUrl", swf), ("tcUrl", tc)):
        if value is not None:
            body += a_prop(name, a_str(value))
    body += FIXED_PROPS
    if page is not None:
        body += a_prop("pageUrl", a_str(page))
    body += b"\x00\x00\x09"
    if auth is not None:
        body += a_bool(True) + a_str(auth)
    return body


def chunk_fmts(size, first=0):
    """Header types of an invoke of size bytes: continuations every 128 bytes."""
    return [first] + [3] * ((max(size, 1) - 1) // CHUNK)


def ping(ptype, *values):
    return struct.pack(">H", ptype) + b"".join(struct.pack(">I", v) for v in values)


def stderr_lines(r):
    """Lines of standard error without the carriage returns log lines start with."""
    return [line.lstrip("\r") for line in r.stderr.split("\n")]


class MessagingCase(HostileCase):
    def run_client(self, srv, args, rc=0, conn=None, timeout=60, what=""):
        """Run kavelo to its end and check the end; with conn, wait until the
        server has logged everything the client sent on that connection."""
        r, _ = run_measured(list(args), self.tmp, timeout)
        self.assert_clean_exit(r, rc, what)
        if conn is not None:
            self.assertIsNotNone(srv.wait_event("client_closed", conn=conn), what)
        self.assertEqual(srv.events("server_error"), [], what)
        return r

    def download(self, scenario, *args, rc=0, timeout=60, what=""):
        srv = self.server(scenario)
        out = self.path("out-%d.flv" % srv._count)
        r = self.run_client(srv, ["-r", srv.url("vod/clip"), "-o", out, "--timeout", "30"] + list(args),
                            rc=rc, conn=0, timeout=timeout, what=what)
        return srv, r, out

    def assert_file(self, srv, out, conn=0, upto=None, before=(), what=""):
        """The file holds the tags before, then the media sent (the first upto
        messages; with upto 0 no tag at all, if there is a file)."""
        if upto == 0:
            self.assertTrue(not os.path.exists(out) or flvtools.read(out).tags == [], what)
            return
        f = flvtools.read(out)
        self.assertEqual(f.errors, [], what)
        sent = srv.sent_messages(conn)[:upto]
        self.assertGreater(len(sent), 0, what)
        self.assertIsNone(flvtools.compare_tags(list(before) + flvtools.expand_messages(sent), f.tags), what)

    def assert_header(self, rec, csid, mtype, msid, fmts=None, ts_field=None, what=""):
        self.assertEqual((rec["csid"], rec["type"], rec["msid"]), (csid, mtype, msid), what)
        if fmts is not None:
            self.assertEqual(rec["fmts"], fmts, what)
        if ts_field is not None:
            self.assertEqual(rec["ts_field"], ts_field, what)


class ConnectCommand(MessagingCase):
    def test_body_for_each_option(self):
        """The connect body for each way of giving the options: properties in
        their fixed order, only those given; chunk stream 3, a full header,
        stream id 0, split into 128-byte chunks however long."""
        srv = self.server({"media": SHORT})
        port = srv.port
        url = srv.url("vod/clip")
        host = ["--host", "127.0.0.1", "--port", str(port), "--playpath", "clip"]
        page = "http://example.org/watch?" + "p" * 2975
        auth = "a" * 65535
        cases = [  # (name, arguments, expected connect_body arguments)
            ("URL alone: app from the URL, tcUrl built from it", ["-r", url],
             dict(app="vod", tc="rtmp://127.0.0.1:%d/vod" % port)),
            ("host, port and play path: neither app nor tcUrl", host + ["--protocol", "0"], {}),
            ("app option: tcUrl built from host, port and app", host + ["--app", "live/room?id=1"],
             dict(app="live/room?id=1", tc="rtmp://127.0.0.1:%d/live/room?id=1" % port)),
            ("every option; pageUrl after the fixed properties, auth after the object",
             ["-r", url, "--app", "ondemand", "--flashVer", "WIN 9,0,115,0",
              "--swfUrl", "http://example.org/\u00fc.swf", "--tcUrl", "rtmp://example.org/ondemand",
              "--pageUrl", "http://example.org/page", "--auth", "s3cret"],
             dict(app="ondemand", flash_ver="WIN 9,0,115,0", swf="http://example.org/\u00fc.swf",
                  tc="rtmp://example.org/ondemand", page="http://example.org/page", auth="s3cret")),
            ("empty values are sent as empty strings",
             ["-r", url, "--app", "", "--flashVer", "", "--swfUrl", "", "--tcUrl", "", "--pageUrl", "", "--auth", ""],
             dict(app="", flash_ver="", swf="", tc="", page="", auth="")),
            ("3000-byte pageUrl", ["-r", url, "--pageUrl", page],
             dict(app="vod", tc="rtmp://127.0.0.1:%d/vod" % port, page=page)),
            ("65535-byte auth", ["-r", url, "--auth", auth],
             dict(app="vod", tc="rtmp://127.0.0.1:%d/vod" % port, auth=auth)),
            ("600-byte app: the built tcUrl holds all of it", ["-r", url, "--app", "b" * 600],
             dict(app="b" * 600, tc="rtmp://127.0.0.1:%d/" % port + "b" * 600)),
        ]
        for conn, (name, args, expected) in enumerate(cases):
            with self.subTest(name):
                out = self.path("connect-%d.flv" % conn)
                self.run_client(srv, args + ["-o", out, "--timeout", "30"], conn=conn, what=name)
                rec = srv.commands("connect", conn=conn)
                self.assertEqual(len(rec), 1, name)
                body = connect_body(**expected)
                self.assertEqual(rec[0]["body"], body.hex(), name)
                self.assert_header(rec[0], 3, 20, 0, fmts=chunk_fmts(len(body)), ts_field=0, what=name)
                self.assert_file(srv, out, conn=conn, what=name)


class StreamCommands(MessagingCase):
    def test_command_sequence(self):
        """Everything the client sends from connect to the end of a short
        stream, in order: server bandwidth, the buffer ping for stream 0,
        createStream, FCSubscribe when wanted, play and the buffer ping of
        the play; nothing else."""
        long_path, long_sub = "v" * 3000, "s" * 300
        cases = [  # (name, args, stream id, FCSubscribe path, play start, play length, buffer)
            ("recorded", [], 1, None, 0.0, None, DEFAULT_BUFFER_MS),
            ("stream id 7, --buffer", ["--buffer", "2000"], 7, None, 0.0, None, 2000),
            ("stream id 1.9 is stream 1, --buffer 0", ["--buffer", "0"], 1.9, None, 0.0, None, 0),
            ("--start", ["--start", "2.5"], 1, None, 2500.0, None, DEFAULT_BUFFER_MS),
            ("--stop", ["--stop", "1.5"], 1, None, 0.0, 1500.0, DEFAULT_BUFFER_MS),
            ("--subscribe", ["--subscribe", "feed/a"], 1, "feed/a", 0.0, None, DEFAULT_BUFFER_MS),
            ("--live subscribes to the play path", ["--live"], 1, "clip", -1000.0, None, DEFAULT_BUFFER_MS),
            ("--live with --subscribe", ["--live", "--subscribe", "feed/a"], 1, "feed/a", -1000.0, None,
             DEFAULT_BUFFER_MS),
            ("--live ignores --start, keeps --stop", ["--live", "--start", "5", "--stop", "2"], 1, "clip", -1000.0,
             2000.0, DEFAULT_BUFFER_MS),
            ("long play and subscribe paths", ["--live", "--playpath", long_path, "--subscribe", long_sub], 1,
             long_sub, -1000.0, None, DEFAULT_BUFFER_MS),
        ]
        srv = self.server({"media": SHORT, "connections": [{"createStream": {"stream_id": c[2]}} for c in cases]})
        for conn, (name, args, sid, fc_path, start, length, buffer_ms) in enumerate(cases):
            with self.subTest(name):
                out = self.path("stream-%d.flv" % conn)
                self.run_client(srv, ["-r", srv.url("vod/clip"), "-o", out, "--timeout", "30"] + args,
                                conn=conn, what=name)
                msgs = srv.client_messages(conn)
                path = long_path if "--playpath" in args else "clip"
                play = a_str("play") + a_num(0.0) + A_NULL + a_str(path) + a_num(start)
                if length is not None:
                    play += a_num(length)
                expected = [  # (csid, type, message stream id, header types or None, body)
                    (3, 20, 0, None, None),
                    (2, 5, 0, [0], struct.pack(">I", 1250000)),
                    (2, 4, 0, [1], ping(3, 0, 300)),
                    (3, 20, 0, [1], a_str("createStream") + a_num(2.0) + A_NULL)]
                if fc_path is not None:
                    fc = a_str("FCSubscribe") + a_num(0.0) + A_NULL + a_str(fc_path)
                    expected.append((3, 20, 0, chunk_fmts(len(fc), first=1), fc))
                expected += [(8, 20, int(sid), chunk_fmts(len(play)), play),
                             (2, 4, 0, None, ping(3, 1, buffer_ms))]
                self.assertEqual([m["name"] if "name" in m else m["type"] for m in msgs],
                                 ["connect", 5, 4, "createStream"] + (["FCSubscribe"] if fc_path else [])
                                 + ["play", 4], name)
                for rec, (csid, mtype, msid, fmts, body) in zip(msgs, expected):
                    self.assert_header(rec, csid, mtype, msid, fmts=fmts, what=name)
                    if body is not None:
                        self.assertEqual(rec["body"], body.hex(), name)
                    if mtype == 20 or mtype == 5:
                        self.assertEqual(rec["ts_field"], 0, name)
                if "--start" not in args or "--live" in args:  # a seek shifts the tag times
                    self.assert_file(srv, out, conn=conn, what=name)


class ControlMessages(MessagingCase):
    def test_answers_to_ping_requests(self):
        """A ping request (type 6) is answered at once with type 7 and its
        value; SWF verification requests (type 26), short requests and
        unknown types get no answer."""
        requests = [{"op": "ping", "body_hex": h} for h in (
            "0006000003e8", "001a", "0006ffffffff", "00060000", "001a" + "00" * 42, "0006" "00000000",
            "0063" "00000005", "0006" "00000001" "00000002")]
        answers = [1000, 0xFFFFFFFF, 0, 1]
        srv, r, out = self.download({"media": dict(MEDIUM, inject=[{"at": 3, "steps": requests[:4]},
                                                                   {"at": 40, "steps": requests[4:]}])}, "-x")
        pings = [m for m in srv.client_messages(type=4) if m["ping_type"] != 3]
        self.assertEqual([m["body"] for m in pings], [ping(7, v).hex() for v in answers])
        for m in pings:
            self.assert_header(m, 2, 4, 0)
        self.assertEqual(stderr_lines(r).count("WARNING: HandlePing: Ignoring unsupported SWFVerification request"),
                         2)
        self.assert_file(srv, out)

        # Before connect's result the server waits for the answer; without it
        # the server ends the connection and the run fails.
        srv, r, out = self.download({"media": SHORT, "connect": {"before": [
            {"op": "ping", "type": 6, "value": 77},
            {"op": "wait_message", "match": {"type": 4, "ping_type": 7}, "timeout": 10}]}})
        self.assertEqual(srv.events("wait_failed"), [])
        self.assertEqual([m["body"] for m in srv.client_messages(type=4) if m["ping_type"] == 7], [ping(7, 77).hex()])
        self.assert_file(srv, out)

    def test_bytes_read_reports(self):
        """One report each time more than 614400 bytes have come in since
        the last one, carrying the running total (handshake included); the
        client reads at most a chunk, or its 16 kB buffer, past the mark."""
        media = {"synthetic": {"duration_ms": 12000, "video_size": [10000, 12000], "keyframe_size": 12000}}
        for chunk_size, slack in ((128, 128), (65536, 16384)):
            with self.subTest(chunk_size=chunk_size):
                srv, r, out = self.download({"media": media, "chunk_size": chunk_size, "log_out_bodies": False})
                reports = srv.client_messages(type=3)
                values = [m["value"] for m in reports]
                total = srv.wait_event("end")["bytes_sent"]
                self.assertGreaterEqual(len(values), 4, values)
                gaps = [b - a for a, b in zip([0] + values, values)]
                self.assertTrue(all(REPORT_STEP < g <= REPORT_STEP + slack for g in gaps), gaps)
                # No report is missing at the end, and none counts bytes not sent yet.
                self.assertLessEqual(total - values[-1], REPORT_STEP)
                for m in reports:
                    self.assert_header(m, 2, 3, 0, ts_field=0)
                    self.assertEqual(m["len"], 4)
                    # The server counts a message once all of it is sent;
                    # the client may have read part of the next one.
                    self.assertLessEqual(m["value"], m["server_sent"] + 16384)

    def test_bandwidth_check_answers(self):
        """Each _onbwcheck is answered at once with a _result carrying the
        client's time in place of the transaction id and a counter that
        counts the answers from 0, at header time 22 x the counter. The
        answers are never matched against the server's results, so play
        follows even when the check comes before connect's result."""
        check = {"op": "bwcheck", "txn": 5.0}
        cases = [  # (name, scenario, answers)
            ("two checks during the stream",
             {"media": dict(MEDIUM, inject=[{"at": 3, "steps": [check]}, {"at": 9, "steps": [check]}])}, 2),
            ("check before connect's result", {"media": MEDIUM, "connect": {"before": [check]}}, 1),
            ("checks before connect's and createStream's results",
             {"media": MEDIUM, "connect": {"before": [check]}, "createStream": {"before": [check]}}, 2),
            ("three checks in a row before connect's result",
             {"media": MEDIUM, "connect": {"before": [check, check, check]}}, 3),
            ("onBWDone asks for nothing", {"media": MEDIUM, "connect": {"bwdone": True}}, 0),
        ]
        for name, scenario, n in cases:
            with self.subTest(name):
                srv, r, out = self.download(scenario, what=name)
                answers = srv.commands("_result")
                self.assertEqual(len(answers), n, name)
                for k, rec in enumerate(answers):
                    t = rec["amf"][1]
                    self.assertTrue(t == int(t) and -2 ** 31 <= t < 2 ** 31, (name, t))
                    self.assertEqual(rec["body"], (a_str("_result") + a_num(t) + A_NULL + a_num(float(k))).hex(), name)
                    self.assert_header(rec, 3, 20, 0, ts_field=22 * k, what=name)
                self.assertEqual(len(srv.commands("play")), 1, name)
                self.assert_file(srv, out, what=name)


class StatusCodes(MessagingCase):
    def test_effect_of_each_answer(self):
        """Normal ends exit 0 with the whole stream, refusals 1 with an error
        line naming the code and no advice to resume, a stream cut short by
        the server 2. A refused run ends at once: the server holds the
        connection and the receive timeout is longer than the run may take."""
        after_media = {"at": 10 ** 6}  # after the last media message

        def status(code, **kw):
            return dict({"op": "status", "code": code, "level": "error", "description": "why"}, **kw)

        def refused(code):
            return "ERROR: HandleInvoke, server refused: %s (why)" % code

        def failed(call, code):
            return ["ERROR: rtmp server sent error", "ERROR: HandleInvoke, call <%s> failed: %s (why)" % (call, code)]

        cases = [  # (name, scenario, rc, lines present, texts absent, media messages in the file)
            ("Play.Stop as a flex message",
             {"media": dict(SHORT, inject=[dict(after_media, steps=[status("NetStream.Play.Stop", flex=True)])]),
              "end": "none"}, 0, ["Download complete"], ["ERROR"], None),
            ("Play.Complete as a flex message, version byte 3",
             {"media": dict(SHORT, inject=[dict(after_media, steps=[
                 status("NetStream.Play.Complete", flex=True, flex_version=3)])]), "end": "none"},
             0, ["Download complete"], ["ERROR"], None),
            ("codes that change nothing, a status without information",
             {"media": dict(SHORT, inject=[{"at": 5, "steps": [
                 status("NetStream.Play.PublishNotify"), status("NetStream.Pause.Notify"),
                 status("NetStream.Play.failed"),
                 {"op": "invoke", "name": "onStatus", "msid": 1, "args": [None]}]}])},
             0, ["Download complete"], ["ERROR"], None),
        ]
        for code in ("NetStream.Failed", "NetStream.Play.Failed", "NetStream.Play.StreamNotFound"):
            cases.append(("%s answering play" % code,
                          {"media": SHORT, "play": {"reply": "status", "code": code, "description": "why"}},
                          1, [refused(code)], ["try --resume", "Download complete"], 0))
        cases += [
            ("InvalidApp answering connect",
             {"media": SHORT, "connect": {"reply": "none", "after": [
                 status("NetConnection.Connect.InvalidApp", msid=0)]}},
             1, [refused("NetConnection.Connect.InvalidApp")], ["try --resume"], 0),
            ("StreamNotFound as a flex message",
             {"media": SHORT, "play": {"reply": "none", "after": [
                 status("NetStream.Play.StreamNotFound", flex=True)]}},
             1, [refused("NetStream.Play.StreamNotFound")], ["try --resume"], 0),
            ("failure mid-stream keeps what came",
             {"media": dict(SHORT, inject=[{"at": 8, "steps": [status("NetStream.Play.Failed")]}])},
             1, [refused("NetStream.Play.Failed")], ["try --resume", "Download complete"], 8),
            ("_error answering connect",
             {"media": SHORT, "connect": {"reply": "error", "code": "NetConnection.Connect.Rejected",
                                          "description": "why"}},
             1, failed("connect", "NetConnection.Connect.Rejected"), ["try --resume"], 0),
            ("_error answering createStream",
             {"media": SHORT, "createStream": {"reply": "error", "code": "NetConnection.Call.Failed",
                                               "description": "why"}},
             1, failed("createStream", "NetConnection.Call.Failed"), ["try --resume"], 0),
            ("_error answering play",
             {"media": SHORT, "play": {"reply": "error", "code": "NetStream.Play.Failed", "description": "why"}},
             1, failed("play", "NetStream.Play.Failed"), ["try --resume"], 0),
            # FCSubscribe goes before play and is answered by onFCSubscribe alone.
            ("_error answering play with --live",
             {"media": SHORT, "createStream": {"after": [
                 {"op": "invoke", "name": "onFCSubscribe", "args": [None, {"code": "NetStream.Play.Start"}]}]},
              "play": {"reply": "error", "code": "NetStream.Play.Failed", "description": "why"}},
             1, failed("play", "NetStream.Play.Failed"), ["try --resume"], 0, "--live"),
            # Asking again would get the same answer: a failure, not a cut.
            ("createStream result with stream id NaN", {"media": SHORT, "createStream": {"stream_id": "NaN"}},
             1, ["ERROR: HandleInvoke, createStream result carries an invalid stream id nan, closing connection"],
             ["try --resume"], 0),
            ("createStream result with stream id 2^31", {"media": SHORT, "createStream": {"stream_id": 2 ** 31}},
             1, ["ERROR: HandleInvoke, createStream result carries an invalid stream id 2147483648.000000, "
                 "closing connection"], ["try --resume"], 0),
            ("close request before media", {"media": SHORT, "play": {"reply": "none", "after": ["close_request"]}},
             1, ["ERROR: rtmp server requested close"], ["try --resume", "Download complete"], 0),
            ("close request mid-stream", {"media": dict(SHORT, max_messages=10), "end": "close_request"},
             2, ["ERROR: rtmp server requested close"], ["Download complete"], 10),
            # The duration says the file is whole, whoever ended the stream.
            ("close request after the whole stream", {"media": SHORT, "end": "close_request"},
             0, ["ERROR: rtmp server requested close", "Download complete"], ["try --resume"], None),
        ]
        for name, scenario, rc, present, absent, upto, *args in cases:
            with self.subTest(name):
                srv, r, out = self.download(dict(scenario, linger=60), *args, rc=rc, timeout=20, what=name)
                lines = stderr_lines(r)
                for line in present:
                    self.assertIn(line, lines, name)
                for text in absent:
                    self.assertNotIn(text, r.stderr, name)
                self.assert_file(srv, out, upto=upto, what=name)

    def test_extra_results(self):
        """Results are matched by order alone. Play stays pending (a status
        answered it, not a result), so each extra result takes it and sends
        the same play again; the stream goes on and ends whole."""
        extra = [{"op": "result", "txn": t, "values": [None, 1.0]} for t in (3.0, 99.0, 0.0)]
        srv, r, out = self.download({"media": dict(MEDIUM, inject=[{"at": 4, "steps": extra}])})
        plays = srv.commands("play")
        self.assertEqual(len(plays), 1 + len(extra))
        self.assertEqual({p["body"] for p in plays}, {plays[0]["body"]})
        self.assertEqual([c["name"] for c in srv.commands()], ["connect", "createStream"] + ["play"] * 4)
        self.assertIn("Download complete", stderr_lines(r))
        self.assert_file(srv, out)


def meta_body(props):
    """Hex of an onMetaData body holding props as an ECMA array, in order."""
    return flvtools.script_body("onMetaData", amf0.typed("ecma_array", props)).hex()


class Metadata(MessagingCase):
    def test_listing(self):
        """The Metadata: block on standard error: one line per named value,
        the name in 22 columns; objects as their name and a colon, then their
        values at the same indentation; unnamed values print nothing."""
        nan, inf = amf0.typed("number", "NaN"), amf0.typed("number", "-Infinity")
        rows = [  # (name, value, text)
            ("duration", 3.978, "3.98"),
            ("width", 320, "320"),
            ("framerate", 29.97, "29.97"),
            ("bitrate", 2147483648.0, "2147483648.00"),
            ("offset", -2147483648.0, "-2147483648"),
            ("maxint", 2147483647.0, "2147483647"),
            ("half", -0.5, "-0.50"),
            ("tiny", 1e-300, "0.00"),
            ("huge", 1e300, ("%.2f" % 1e300)[:255]),
            ("notanumber", nan, "nan"),
            ("sink", inf, "-inf"),
            ("stereo", True, "TRUE"),
            ("hasCuePoints", False, "FALSE"),
            ("encoder", "Lavf58.29.100", "Lavf58.29.100"),
            ("comment", "two lines\n\n", "two lines\n"),
            ("cut", "before\x00after", "before"),
            ("essay", "w" * 300, "w" * 255),
            ("creationdate", amf0.typed("date", 1234.5, tz=0), "timestamp:1234.50"),
            ("nothing", None, "INVALID TYPE 0x05"),
            ("undefinedvalue", amf0.typed("undefined"), "INVALID TYPE 0x05"),
            ("exactly22charactersxyz", 1.0, "1"),
            ("averyveryverylongpropertyname", 2.0, "2"),
        ]
        props = {name: value for name, value, _ in rows}
        props["tracks"] = {"codec": "avc1", "layers": amf0.typed("ecma_array", {"count": 2.0})}
        props["times"] = [1.0, 2.5, {"inner": "x"}]
        props["after"] = "objects"
        # Off a terminal no carriage return starts the block.
        expected = "\nMetadata:                  \n" + "".join("  %-22s%s\n" % (n, t) for n, _, t in rows)
        expected += ("tracks:\n  codec                 avc1\nlayers:\n  count                 2\n"
                     "times:\n  inner                 x\n  after                 objects\n")
        body = meta_body(props)
        srv, r, out = self.download({"media": dict(SHORT, metadata_body_hex=body)})
        self.assertIn(expected, r.stderr)
        self.assertEqual(r.stderr.count("Metadata:"), 1)
        self.assert_file(srv, out)
        self.assertEqual(flvtools.read(out).tags[0].data.hex(), body)

    def test_duration_drives_progress_and_completion(self):
        """The duration is the first "duration" found, depth first through
        nested objects, in onMetaData sent as a notify or inside an FLV data
        message. The position over it is the percentage of the progress
        lines, each tenth of it one line off a terminal; a stream the server
        ends is complete whatever the duration says."""
        whole, double = LAST_TS / 1000.0, 2 * LAST_TS / 1000.0
        keyframes = {"times": [0.0, 1.0], "filepositions": [13.0, 9000.0]}
        in_aggregate = flvtools.Tag(18, 0, bytes.fromhex(meta_body({"duration": double})))
        cases = [  # (name, media options, tags before the media in the file, duration shown, percent at the end)
            ("duration of the stream", {}, [], "0:00:03", "100.0"),
            ("twice the stream", {"metadata_override": {"duration": double}}, [], "0:00:07", "50.0"),
            ("an object before the duration",
             {"metadata_body_hex": meta_body({"keyframes": keyframes, "duration": whole})}, [], "0:00:03", "100.0"),
            ("a nested duration comes first",
             {"metadata_body_hex": meta_body({"info": {"duration": double}, "duration": whole})}, [], "0:00:07",
             "50.0"),
            ("no metadata", {"metadata": "none"}, [], None, None),
            ("metadata inside an FLV data message",
             {"metadata": "none", "inject": [{"at": 0, "steps": [
                 {"op": "message", "csid": 6, "type": 22, "msid": 1, "body_hex": in_aggregate.to_bytes().hex()}]}]},
             [in_aggregate], "0:00:07", "50.0"),
        ]
        for name, media, before, shown, percent in cases:
            with self.subTest(name):
                srv, r, out = self.download({"media": dict(MEDIUM, **media)}, what=name)
                self.assert_file(srv, out, before=before, what=name)
                self.assertEqual(stderr_lines(r).count("Metadata:                  "),
                                 0 if media.get("metadata") == "none" and not before else 1, name)
                lines = stderr_lines(r)
                self.assertEqual(lines[-2:], ["Download complete", ""], name)
                self.assertNotIn("incomplete", r.stderr, name)
                final = re.fullmatch(r"[\d.]+ kB in 0:00:0\d  [\d.]+ [kM]B/s  (?:at 0:00:03|0:00:03 of (\S+) "
                                     r"\(([\d.]+)%\))", lines[-3])
                self.assertIsNotNone(final, lines[-3])
                self.assertEqual(final.groups(), (shown, percent), name)
                tenths = [float(p) for p in re.findall(r"\n[\d.]+ kB(?:  [\d.]+ [kM]B/s)?  0:00:0\d of %s "
                                                       r"\(([\d.]+)%%\)" % shown, r.stderr)] if shown else []
                self.assertEqual([int(p // 10) for p in tenths], list(range(1, 1 + len(tenths))), name)
                self.assertEqual(len(tenths), int(float(percent) // 10) if shown else 0, name)


if __name__ == "__main__":
    unittest.main()
