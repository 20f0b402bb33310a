"""RTMP chunk stream writer (server to client) and reader (client to server).

Wire notes, as this server writes and reads them:
- basic header: ids 2..63 in one byte; 64..319 as 0x00|fmt, id-64; 64..65599
  as 0x01|fmt, then (id-64) low byte, then high byte.
- message header: 11/7/3/0 bytes for fmt 0/1/2/3: timestamp or delta (24 bit),
  length (24 bit), type (8 bit), message stream id (32 bit little-endian).
- a timestamp or delta of 0xFFFFFF or more is sent as 0xFFFFFF followed by the
  4-byte value after the message header; every type-3 chunk on that chunk
  stream (continuation or new message) repeats those 4 bytes.
"""

import struct

MAX_EXT = 0xFFFFFF
U32 = 0xFFFFFFFF


def basic_header(fmt, csid, wide=False):
    if csid < 2 or csid > 65599:
        raise ValueError("chunk stream id %d out of range" % csid)
    if csid < 64:
        return bytes([(fmt << 6) | csid])
    v = csid - 64
    if v < 256 and not wide:
        return bytes([(fmt << 6), v])
    return bytes([(fmt << 6) | 1, v & 0xFF, v >> 8])


def message_header(fmt, field, size=0, mtype=0, msid=0):
    f = min(field, MAX_EXT)
    out = b""
    if fmt <= 2:
        out += f.to_bytes(3, "big")
    if fmt <= 1:
        out += (size & 0xFFFFFF).to_bytes(3, "big") + bytes([mtype & 0xFF])
    if fmt == 0:
        out += struct.pack("<I", msid & U32)
    if fmt <= 2 and field >= MAX_EXT:
        out += struct.pack(">I", field & U32)
    return out


class _OutState:
    __slots__ = ("ts", "field", "size", "mtype", "msid", "delta_ok")

    def __init__(self, ts, field, size, mtype, msid, delta_ok):
        self.ts, self.field, self.size = ts, field, size
        self.mtype, self.msid, self.delta_ok = mtype, msid, delta_ok


class ChunkWriter:
    """Turns messages into chunk bytes with per-chunk-stream header compression.

    compress=False sends every message with a type-0 header.  wide=True writes
    ids 64..319 in the three-byte form.  modular=True sends a time that wraps
    past 2^32 as a delta too, not as a new type-0 header, so that the headers
    of a run of messages do not depend on where it starts in time.
    """

    def __init__(self, chunk_size=128, compress=True, wide=False, modular=False):
        self.chunk_size = chunk_size
        self.compress = compress
        self.wide = wide
        self.modular = modular
        self.state = {}

    def choose(self, csid, ts, size, mtype, msid):
        """(fmt, field) for a new message on csid."""
        prev = self.state.get(csid)
        if (prev is None or not self.compress or msid != prev.msid or (ts < prev.ts and not self.modular)):
            return 0, ts
        delta = (ts - prev.ts) & U32
        if size != prev.size or mtype != prev.mtype:
            return 1, delta
        if not prev.delta_ok or delta != prev.field:
            return 2, delta
        return 3, delta

    def chunks(self, csid, mtype, msid, ts, body, fmt=None, field=None, size=None):
        """Chunk byte strings of one message.

        fmt/field/size override the header for hostile cases: size may claim
        more bytes than body holds (only body is sent).
        """
        ts &= U32
        size = len(body) if size is None else size
        if fmt is None:
            fmt, field = self.choose(csid, ts, size, mtype, msid)
        elif field is None:
            prev = self.state.get(csid)
            field = ts if fmt == 0 or prev is None else (ts - prev.ts) & U32
        if fmt == 3:
            prev = self.state.get(csid)
            ext_field = prev.field if prev is not None else 0
        else:
            ext_field = field
        ext = struct.pack(">I", ext_field & U32) if ext_field >= MAX_EXT else b""
        head = basic_header(fmt, csid, self.wide) + (message_header(fmt, field, size, mtype, msid)
                                                      if fmt < 3 else ext)
        cont = basic_header(3, csid, self.wide) + ext
        step = self.chunk_size
        out = []
        pos = 0
        first = True
        while first or pos < len(body):
            piece = body[pos:pos + step]
            out.append((head if first else cont) + piece)
            pos += len(piece)
            first = False
        if fmt == 3:
            prev = self.state.get(csid)
            delta_ok = prev.delta_ok if prev is not None else False
            field = ext_field
        else:
            delta_ok = fmt in (1, 2)
        self.state[csid] = _OutState(ts, field, size, mtype, msid, delta_ok)
        return out

    def message(self, csid, mtype, msid, ts, body, **kw):
        return b"".join(self.chunks(csid, mtype, msid, ts, body, **kw))

    def message_fast(self, csid, mtype, msid, ts, body):
        """message() for bulk streaming: the body is split by one join."""
        ts &= U32
        size = len(body)
        fmt, field = self.choose(csid, ts, size, mtype, msid)
        if fmt == 3:
            prev = self.state[csid]
            field = prev.field
            delta_ok = prev.delta_ok
        else:
            delta_ok = fmt in (1, 2)
        ext = struct.pack(">I", field) if field >= MAX_EXT else b""
        self.state[csid] = _OutState(ts, field, size, mtype, msid, delta_ok)
        head = basic_header(fmt, csid, self.wide) + (message_header(fmt, field, size, mtype, msid)
                                                      if fmt < 3 else ext)
        step = self.chunk_size
        if size <= step:
            return head + body
        cont = basic_header(3, csid, self.wide) + ext
        return head + cont.join([body[i:i + step] for i in range(0, size, step)])


class ProtocolError(Exception):
    pass


class _InState:
    __slots__ = ("ts", "field", "size", "mtype", "msid", "ext", "body", "fmts", "started_ts")

    def __init__(self):
        self.ts = self.field = self.size = self.mtype = self.msid = 0
        self.ext = False
        self.body = None
        self.fmts = []
        self.started_ts = 0


class ChunkReader:
    """Incremental parser of the client's chunk stream.

    feed() takes bytes and returns the messages completed by them, each a dict
    with csid, fmts (header type of every chunk), type, msid, ts (running
    timestamp), ts_field (the last header's timestamp field), ext and body.
    """

    MAX_BODY = 16 * 1024 * 1024

    def __init__(self):
        self.buf = bytearray()
        self.chunk_size = 128
        self.state = {}
        self.bytes_in = 0

    def feed(self, data):
        self.buf += data
        self.bytes_in += len(data)
        out = []
        while True:
            msg, used = self._one_chunk()
            if used == 0:
                break
            del self.buf[:used]
            if msg is not None:
                out.append(msg)
        return out

    def _one_chunk(self):
        b = self.buf
        if not b:
            return None, 0
        fmt, csid, pos = b[0] >> 6, b[0] & 0x3F, 1
        if csid == 0:
            if len(b) < 2:
                return None, 0
            csid, pos = 64 + b[1], 2
        elif csid == 1:
            if len(b) < 3:
                return None, 0
            csid, pos = 64 + b[1] + 256 * b[2], 3
        st = self.state.setdefault(csid, _InState())
        hlen = (11, 7, 3, 0)[fmt]
        if len(b) < pos + hlen:
            return None, 0
        h = bytes(b[pos:pos + hlen])
        pos += hlen
        field = int.from_bytes(h[0:3], "big") if fmt <= 2 else None
        ext = (field == MAX_EXT) if fmt <= 2 else st.ext
        if ext:
            if len(b) < pos + 4:
                return None, 0
            ext_val = struct.unpack(">I", b[pos:pos + 4])[0]
            pos += 4
            if fmt <= 2:
                field = ext_val
        new_message = st.body is None
        size, mtype, msid = st.size, st.mtype, st.msid
        if fmt <= 1:
            size = int.from_bytes(h[3:6], "big")
            mtype = h[6]
            if fmt == 0:
                msid = struct.unpack("<I", h[7:11])[0]
            new_message = True
        if size > self.MAX_BODY:
            raise ProtocolError("client message of %d bytes" % size)
        have = 0 if new_message else len(st.body)
        k = min(size - have, self.chunk_size)
        if len(b) < pos + k:
            return None, 0
        # The whole chunk is here: commit its header to the stream's state.
        if new_message:
            if fmt == 0:
                ts = field
            elif fmt in (1, 2):
                ts = (st.ts + field) & U32
            else:
                ts = (st.ts + st.field) & U32
            st.body = bytearray()
            st.fmts = []
            st.started_ts = ts
        if fmt <= 2:
            st.field = field
            st.ext = ext
        st.size, st.mtype, st.msid = size, mtype, msid
        st.fmts.append(fmt)
        st.body += b[pos:pos + k]
        pos += k
        if len(st.body) < size:
            return None, pos
        msg = {"csid": csid, "fmts": st.fmts, "type": mtype, "msid": msid,
               "ts": st.started_ts, "ts_field": st.field, "ext": st.ext,
               "body": bytes(st.body)}
        st.ts = st.started_ts
        st.body = None
        if mtype == 1 and size >= 4:
            cs = struct.unpack(">i", msg["body"][:4])[0]
            if cs > 0:
                self.chunk_size = cs
        return msg, pos
