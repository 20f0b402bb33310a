#!/usr/bin/env python3
"""A small RTMP publisher for the live-recording tests.

It plays the part of a live encoder: plain handshake, connect as "FMLE/3.0",
releaseStream/FCPublish, createStream, publish(NAME, "live"), its own chunk
size, "@setDataFrame" "onMetaData" {...}, then the audio and video tags of an
FLV file at their own pace (or faster), optionally with every time shifted by
an offset, and at the end FCUnpublish, deleteStream and close.

Standard library only (with amf_codec.py and flv_file.py beside it); it
shares no code with the client under test nor with the scripted test server,
so the three cannot hide a common mistake.

Command line:  publish.py rtmp://127.0.0.1:PORT/APP/NAME FILE.flv [options]
As a module:   Publisher(url).publish_file(path, speed=2.0, offset=17000000)
"""

import argparse
import os
import random
import socket
import struct
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from amf_codec import EcmaArray, PublishError, amf_decode_all, amf_encode  # noqa: E402,F401
from flv_file import AUDIO, SCRIPT, VIDEO, Tag, cut, read_flv  # noqa: E402,F401

EXTENDED = 0xFFFFFF
HANDSHAKE_SIZE = 1536
MAX_MESSAGE = 16 << 20          # what one incoming message may claim


# -- the connection ---------------------------------------------------------

def parse_url(url):
    """(host, port, app, name) of rtmp://HOST[:PORT]/APP/NAME."""
    if not url.startswith("rtmp://"):
        raise PublishError("not an rtmp:// URL: %s" % url)
    rest = url[len("rtmp://"):]
    hostport, _, path = rest.partition("/")
    app, _, name = path.partition("/")
    host, _, port = hostport.partition(":")
    if not app or not name:
        raise PublishError("URL needs an application and a stream name: %s" % url)
    return host, int(port or 1935), app, name


class Publisher:
    """One publishing connection. `received` lists what the server sent, one
    short text per message; `sent` the media tags as put on the wire."""

    def __init__(self, url, chunk_size=4096, timeout=10.0, log=None):
        self.url = url
        self.host, self.port, self.app, self.name = parse_url(url)
        self.tc_url = url[:url.rindex("/")]
        self.chunk_size = chunk_size
        self.timeout = timeout
        self.log = log
        self.sock = None
        self.stream_id = None
        self.received = []
        self.sent = []
        self._send_lock = threading.Lock()
        self._cond = threading.Condition()
        self._results = {}           # transaction id -> values after it
        self._statuses = []          # info objects of onStatus
        self._closed = False
        self._reader = None
        self._next_txn = 1

    # -- sending ------------------------------------------------------------

    def _send_raw(self, data):
        with self._send_lock:
            self.sock.sendall(data)

    def _chunks(self, csid, mtype, ts, stream_id, payload, chunk_size):
        """A message as type-0 chunk then type-3 continuation chunks. A time
        past 24 bits goes into the extended field, and that field is repeated
        in every continuation chunk, as the receiving servers expect."""
        ext = ts >= EXTENDED
        head = bytes([csid]) + min(ts, EXTENDED).to_bytes(3, "big") + len(payload).to_bytes(3, "big") \
            + bytes([mtype]) + struct.pack("<I", stream_id)
        ext_bytes = struct.pack(">I", ts & 0xFFFFFFFF) if ext else b""
        out = [head, ext_bytes, payload[:chunk_size]]
        for pos in range(chunk_size, len(payload), chunk_size):
            out += [bytes([0xC0 | csid]), ext_bytes, payload[pos:pos + chunk_size]]
        return b"".join(out)

    def send_message(self, csid, mtype, ts, stream_id, payload):
        self._send_raw(self._chunks(csid, mtype, ts, stream_id, payload, self.chunk_size))

    def _invoke(self, name, *args, stream_id=0, csid=3):
        txn = self._next_txn
        self._next_txn += 1
        body = amf_encode(name) + amf_encode(float(txn)) + b"".join(amf_encode(a) for a in args)
        self.send_message(csid, 20, 0, stream_id, body)
        return txn

    # -- receiving ----------------------------------------------------------

    def _recv_exact(self, n):
        out = b""
        while len(out) < n:
            part = self.sock.recv(n - len(out))
            if not part:
                raise EOFError("server closed the connection")
            out += part
        return out

    def _note(self, text):
        self.received.append(text)
        if self.log:
            self.log(text)

    def _read_loop(self):
        in_chunk = 128
        window = 0
        got = unacked = 0
        streams = {}                 # csid -> header state and partial body
        try:
            while True:
                b0 = self._recv_exact(1)[0]
                fmt, csid = b0 >> 6, b0 & 0x3F
                got += 1
                if csid == 0:
                    csid = 64 + self._recv_exact(1)[0]
                    got += 1
                elif csid == 1:
                    lo, hi = self._recv_exact(2)
                    csid = 64 + lo + 256 * hi
                    got += 2
                st = streams.setdefault(csid, {"ts": 0, "field": 0, "len": 0, "type": 0, "sid": 0,
                                               "body": b""})
                size = (11, 7, 3, 0)[fmt]
                hdr = self._recv_exact(size)
                got += size
                if fmt <= 2:
                    st["field"] = int.from_bytes(hdr[0:3], "big")
                if fmt <= 1:
                    st["len"] = int.from_bytes(hdr[3:6], "big")
                    st["type"] = hdr[6]
                if fmt == 0:
                    st["sid"] = struct.unpack("<I", hdr[7:11])[0]
                field = st["field"]
                if field == EXTENDED:
                    field = struct.unpack(">I", self._recv_exact(4))[0]
                    got += 4
                if not st["body"]:
                    st["ts"] = field if fmt == 0 else (st["ts"] + field) & 0xFFFFFFFF
                if st["len"] > MAX_MESSAGE:
                    raise PublishError("message of %d bytes announced" % st["len"])
                take = min(in_chunk, st["len"] - len(st["body"]))
                st["body"] += self._recv_exact(take)
                got += take
                if len(st["body"]) < st["len"]:
                    continue
                body, st["body"] = st["body"], b""
                in_chunk, window = self._handle(st["type"], st["ts"], st["sid"], body, in_chunk, window)
                if window and got - unacked >= window:
                    unacked = got
                    self.send_message(2, 3, 0, 0, struct.pack(">I", got & 0xFFFFFFFF))
        except (OSError, EOFError, PublishError) as e:
            if not self._closed:
                self._note("connection ended: %s" % e)
        finally:
            with self._cond:
                self._closed = True
                self._cond.notify_all()

    def _handle(self, mtype, ts, sid, body, in_chunk, window):
        if mtype == 1 and len(body) >= 4:
            in_chunk = struct.unpack(">I", body[:4])[0] & 0x7FFFFFFF
            if in_chunk < 1:
                raise PublishError("chunk size 0")
            self._note("set chunk size %d" % in_chunk)
        elif mtype == 5 and len(body) >= 4:
            window = struct.unpack(">I", body[:4])[0]
            self._note("window acknowledgement size %d" % window)
        elif mtype == 6 and len(body) >= 4:
            self._note("peer bandwidth %d" % struct.unpack(">I", body[:4])[0])
        elif mtype == 3 and len(body) >= 4:
            self._note("acknowledgement %d" % struct.unpack(">I", body[:4])[0])
        elif mtype == 4 and len(body) >= 2:
            event = struct.unpack(">H", body[:2])[0]
            self._note("user control %d %s" % (event, body[2:].hex()))
            if event == 6:           # ping request: answer with its time
                self.send_message(2, 4, 0, 0, struct.pack(">H", 7) + body[2:6])
        elif mtype in (20, 17):
            values = amf_decode_all(body[1:] if mtype == 17 else body)
            name = values[0] if values else None
            if name in ("_result", "_error") and len(values) > 1:
                self._note("%s %d" % (name, int(values[1])))
                with self._cond:
                    self._results[int(values[1])] = (name, values[2:])
                    self._cond.notify_all()
            elif name == "onStatus":
                info = next((v for v in values[2:] if isinstance(v, dict)), {})
                self._note("onStatus %s" % info.get("code"))
                with self._cond:
                    self._statuses.append(info)
                    self._cond.notify_all()
            else:
                self._note("command %s" % name)
        else:
            self._note("message type %d, %d bytes" % (mtype, len(body)))
        return in_chunk, window

    def _wait(self, what, predicate):
        deadline = time.monotonic() + self.timeout
        with self._cond:
            while True:
                found = predicate()
                if found is not None:
                    return found
                left = deadline - time.monotonic()
                if self._closed or left <= 0:
                    raise PublishError("no %s from the server (received: %s)"
                                       % (what, "; ".join(self.received[-10:])))
                self._cond.wait(left)

    def _result(self, txn, what):
        name, values = self._wait(what, lambda: self._results.get(txn))
        if name != "_result":
            raise PublishError("%s refused: %r" % (what, values))
        return values

    # -- the session --------------------------------------------------------

    def _handshake(self):
        c1 = struct.pack(">I", 0) + b"\x00\x00\x00\x00" + random.Random(7).randbytes(HANDSHAKE_SIZE - 8)
        self._send_raw(b"\x03" + c1)
        s0s1 = self._recv_exact(1 + HANDSHAKE_SIZE)
        if s0s1[0] != 3:
            raise PublishError("server handshake version %d" % s0s1[0])
        self._send_raw(s0s1[1:])
        self._recv_exact(HANDSHAKE_SIZE)

    def open(self):
        """Connect, handshake, connect command, create the stream and publish."""
        self.sock = socket.create_connection((self.host, self.port), timeout=self.timeout)
        self.sock.settimeout(None)
        self._handshake()
        self._reader = threading.Thread(target=self._read_loop, daemon=True)
        self._reader.start()
        # From here on our messages use this size; nothing before needed chunking.
        self.send_message(2, 1, 0, 0, struct.pack(">I", self.chunk_size))
        txn = self._invoke("connect", {"app": self.app, "type": "nonprivate",
                                       "flashVer": "FMLE/3.0 (compatible; FMSc/1.0)",
                                       "tcUrl": self.tc_url})
        self._result(txn, "connect result")
        self._invoke("releaseStream", None, self.name)
        self._invoke("FCPublish", None, self.name)
        values = self._result(self._invoke("createStream", None), "createStream result")
        sid = next((v for v in values if isinstance(v, float)), None)
        if sid is None or sid < 1:
            raise PublishError("createStream gave no stream id: %r" % values)
        self.stream_id = int(sid)
        seen = len(self._statuses)
        self._invoke("publish", None, self.name, "live", stream_id=self.stream_id, csid=4)
        info = self._wait("publish status", lambda: self._statuses[seen] if len(self._statuses) > seen else None)
        if info.get("code") != "NetStream.Publish.Start":
            raise PublishError("publish refused: %r" % info)
        return self

    def send_metadata(self, props, ts=0):
        body = amf_encode("@setDataFrame") + amf_encode("onMetaData") + amf_encode(EcmaArray(props))
        self.send_message(4, SCRIPT, ts, self.stream_id, body)

    def send_tags(self, tags, speed=1.0, offset=0, config_at=None, stop=None):
        """Send media tags at `speed` times real time (0: as fast as
        possible), each at its own time plus `offset`. With `config_at`,
        codec configuration tags go out at that time instead, as an encoder
        that restarts its clock for every keyframe group would not, but as a
        server's cache may deliver them. `stop`, an Event, ends early."""
        if not tags:
            return
        stop = stop or threading.Event()
        first = tags[0].ts
        start = time.monotonic()
        for tag in tags:
            if speed > 0:
                due = start + (tag.ts - first) / 1000.0 / speed
                delay = due - time.monotonic()
                if delay > 0 and stop.wait(delay):
                    return
            if self._closed:
                raise PublishError("server closed the connection while publishing (received: %s)"
                                   % "; ".join(self.received[-10:]))
            ts = (tag.ts + offset) & 0xFFFFFFFF
            if config_at is not None and tag.is_config:
                ts = config_at
            self.send_message(6 if tag.type == VIDEO else 5, tag.type, ts, self.stream_id, tag.data)
            self.sent.append(Tag(tag.type, ts, tag.data))

    def close(self):
        """FCUnpublish and deleteStream, then close the connection."""
        if self.sock is None:
            return
        try:
            if self.stream_id is not None and not self._closed:
                self._invoke("FCUnpublish", None, self.name)
                self._invoke("deleteStream", None, float(self.stream_id))
                time.sleep(0.2)      # let the server read them before the close
        except OSError:
            pass
        self._closed = True
        try:
            self.sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self.sock.close()
        if self._reader is not None:
            self._reader.join(5)
        self.sock = None

    def publish(self, meta, tags, speed=1.0, offset=0, config_at=None, stop=None):
        """The whole session: open, metadata, media, close."""
        try:
            self.open()
            if meta is not None:
                self.send_metadata(meta, config_at if config_at is not None else offset)
            self.send_tags(tags, speed, offset, config_at, stop)
        finally:
            self.close()
        return self

    def publish_file(self, path, duration_ms=None, **kw):
        meta, tags = read_flv(path)
        if duration_ms:
            tags = cut(tags, duration_ms)
        return self.publish(meta, tags, **kw)


class Background:
    """A Publisher session run in a thread: the tests record meanwhile."""

    def __init__(self, publisher, meta, tags, **kw):
        self.publisher = publisher
        self.error = None
        self.stop = threading.Event()
        self.ended_at = None
        self._thread = threading.Thread(target=self._run, args=(meta, tags, kw), daemon=True)
        self._thread.start()

    def _run(self, meta, tags, kw):
        try:
            self.publisher.publish(meta, tags, stop=self.stop, **kw)
        except Exception as e:  # noqa: BLE001  (handed to the test by join)
            self.error = e
        finally:
            self.ended_at = time.monotonic()

    def join(self, timeout=120):
        """Wait for the end; raises what the session raised."""
        self._thread.join(timeout)
        if self._thread.is_alive():
            self.stop.set()
            self._thread.join(10)
            raise PublishError("publisher still running after %.0f s" % timeout)
        if self.error is not None:
            raise self.error
        return self.publisher

    def running(self):
        return self._thread.is_alive()


def main(argv=None):
    ap = argparse.ArgumentParser(description="Publish an FLV file to an RTMP server as a live stream.")
    ap.add_argument("url", help="rtmp://HOST:PORT/APP/NAME")
    ap.add_argument("flv", help="FLV file whose metadata, audio and video are sent")
    ap.add_argument("--speed", type=float, default=1.0, help="times real time (default 1)")
    ap.add_argument("--fast", action="store_true", help="as fast as possible")
    ap.add_argument("--offset", type=int, default=0, help="milliseconds added to every time")
    ap.add_argument("--config-at", type=int, default=None,
                    help="send codec configuration tags at this time instead")
    ap.add_argument("--duration", type=float, default=None, help="send only the first seconds")
    ap.add_argument("--chunk-size", type=int, default=4096)
    ap.add_argument("-v", "--verbose", action="store_true", help="print what the server sends")
    args = ap.parse_args(argv)
    log = (lambda text: print("<- " + text, file=sys.stderr)) if args.verbose else None
    pub = Publisher(args.url, chunk_size=args.chunk_size, log=log)
    try:
        pub.publish_file(args.flv, duration_ms=int(args.duration * 1000) if args.duration else None,
                         speed=0 if args.fast else args.speed, offset=args.offset,
                         config_at=args.config_at)
    except (PublishError, OSError) as e:
        print("publish failed: %s" % e, file=sys.stderr)
        return 1
    print("sent %d tags to %s" % (len(pub.sent), args.url), file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
