"""Bulk streaming for benchmarks and long runs.

Two sources:
- an FLV file: its tags are chunked once into a cache file next to the
  scenario, which every connection then sends with sendfile();
- a synthetic stream of a given total size: one block of messages is chunked
  once and sent again and again.  Inside a block every message but the first
  of each chunk stream has a delta header, so repeating the block advances
  the times by itself; with "reanchor" each block starts again with type-0
  headers whose absolute times are patched in (with extended timestamps once
  they reach 0xFFFFFF).
"""

import os
import struct

import chunks
import messages as M
from steps import EndSession

U32 = 0xFFFFFFFF
CSID_AUDIO, CSID_VIDEO, CSID_DATA = 4, 6, 7
SEND_BLOCK = 4 << 20


def _file_tags(fh, start):
    """(type, ts, body) of every tag, read sequentially from start."""
    fh.seek(start)
    buf = b""
    pos = 0
    while True:
        if len(buf) - pos < 11:
            more = fh.read(SEND_BLOCK)
            buf = buf[pos:] + more
            pos = 0
            if len(buf) < 11:
                return
        ttype = buf[pos]
        size = int.from_bytes(buf[pos + 1:pos + 4], "big")
        ts = int.from_bytes(buf[pos + 4:pos + 7], "big") | (buf[pos + 7] << 24)
        need = 11 + size + 4
        if len(buf) - pos < need:
            more = fh.read(max(SEND_BLOCK, need))
            buf = buf[pos:] + more
            pos = 0
            if len(buf) < need:
                return
        yield ttype, ts, buf[pos + 11:pos + 11 + size]
        pos += need


def build_file_cache(flv_path, chunk_size, cache_dir, stream_id=1):
    """Chunk the whole file once; returns the cache file's path."""
    st = os.stat(flv_path)
    name = "fastcache-%s-%d-%d-cs%d.bin" % (os.path.basename(flv_path), st.st_size,
                                             int(st.st_mtime), chunk_size)
    path = os.path.join(cache_dir, name)
    if os.path.exists(path):
        return path
    w = chunks.ChunkWriter(chunk_size)
    csid = {8: CSID_AUDIO, 9: CSID_VIDEO, 18: CSID_DATA}
    tmp = path + ".part"
    with open(flv_path, "rb") as src, open(tmp, "wb") as out:
        head = src.read(9)
        offset = struct.unpack(">I", head[5:9])[0] if len(head) == 9 else 9
        pending = []
        size = 0
        for ttype, ts, body in _file_tags(src, offset + 4):
            if ttype not in csid:
                continue
            data = w.message_fast(csid[ttype], ttype, stream_id, ts, body)
            pending.append(data)
            size += len(data)
            if size >= SEND_BLOCK:
                out.write(b"".join(pending))
                pending, size = [], 0
        out.write(b"".join(pending))
    os.replace(tmp, path)
    return path


def _send_file(s, path):
    with open(path, "rb") as fh:
        total = os.fstat(fh.fileno()).st_size
        off = 0
        while off < total:
            try:
                n = os.sendfile(s.sock.fileno(), fh.fileno(), off, min(total - off, 1 << 30))
            except OSError as e:
                raise EndSession("sendfile failed: %s" % e)
            if n == 0:
                break
            off += n
            s.bytes_sent += n


class _Block:
    """One block of synthetic frames: per frame a video then an audio message
    at the same time; the first video of a block is a keyframe."""

    def __init__(self, cfg, chunk_size):
        self.frames = cfg.get("frames_per_block", 25)
        self.step = cfg.get("ts_step_ms", 40)
        vsize, asize = cfg.get("video_size", 10000), cfg.get("audio_size", 400)
        pool = bytes((i * 131 + 7) & 0xFF for i in range(vsize + asize + 256))
        self.msgs = []
        for f in range(self.frames):
            key = f == 0
            video = bytes([0x12 if key else 0x22]) + pool[f:f + vsize - 1]
            audio = b"\x2f" + pool[f + 1:f + asize]
            self.msgs.append((CSID_VIDEO, M.VIDEO, f * self.step, video))
            self.msgs.append((CSID_AUDIO, M.AUDIO, f * self.step, audio))
        self.chunk_size = chunk_size
        self.span = (self.frames * self.step) & U32
        self._steady = None
        self._anchored = {}

    def steady(self, prev_writer):
        """Bytes of a block that follows another: delta headers only."""
        if self._steady is None:
            w = prev_writer
            base = w.state[CSID_VIDEO].ts + self.step
            self._steady = b"".join(w.message_fast(c, t, 1, (base + rel) & U32, body)
                                    for c, t, rel, body in self.msgs)
        return self._steady

    def anchored(self, base, stream_id):
        """Bytes of a block starting with type-0 headers at time base, and the
        writer state after it."""
        ext = base >= chunks.MAX_EXT
        if ext not in self._anchored:
            # Blocks are sent again at other times: only the first message
            # of each chunk stream may carry an absolute time (patched below).
            w = chunks.ChunkWriter(self.chunk_size, modular=True)
            data = bytearray()
            patches = []
            for c, t, rel, body in self.msgs:
                fresh = c not in w.state
                start = len(data)
                data += w.message_fast(c, t, stream_id, (base + rel) & U32, body)
                if fresh:
                    patches.append((rel, _ts_offsets(data, start, c, len(body), self.chunk_size, ext)))
            self._anchored[ext] = (bytes(data), patches)
        template, patches = self._anchored[ext]
        buf = bytearray(template)
        for rel, (offsets, width) in patches:
            v = (base + rel) & U32
            for off in offsets:
                if width == 3:
                    buf[off:off + 3] = v.to_bytes(3, "big")
                else:
                    struct.pack_into(">I", buf, off, v)
        return bytes(buf)


def block_messages(cfg):
    """(type, time within the block, body) of the messages of one synthetic
    block, in the order sent; frame k of the stream is frame k modulo
    frames_per_block of this list, at start_ts + k x ts_step_ms."""
    return [(t, rel, body) for _, t, rel, body in _Block(cfg, 128).msgs]


def _ts_offsets(data, start, csid, size, chunk_size, ext):
    """Offsets of the timestamp fields of a type-0 message at start: the
    3-byte field, or every 4-byte extended field (header and continuations)."""
    bh = len(chunks.basic_header(0, csid))
    if not ext:
        return [start + bh], 3
    offs = [start + bh + 11]
    pos = start + bh + 11 + 4 + min(size, chunk_size)
    left = size - min(size, chunk_size)
    while left > 0:
        offs.append(pos + bh)
        pos += bh + 4 + min(left, chunk_size)
        left -= min(left, chunk_size)
    return offs, 4


def send_synthetic(s, cfg, chunk_size):
    total = cfg.get("total_bytes", 64 << 20)
    block = _Block(cfg, chunk_size)
    base = cfg.get("start_ts", 0) & U32
    reanchor = cfg.get("reanchor", False)
    data = block.anchored(base, s.stream_id)
    writer = chunks.ChunkWriter(chunk_size, modular=True)
    if not reanchor:
        # Replay the first block through a writer to know its end state.
        for c, t, rel, body in block.msgs:
            writer.message_fast(c, t, s.stream_id, (base + rel) & U32, body)
    sent = 0
    blocks = 0
    while sent < total:
        s.send(data)
        sent += len(data)
        blocks += 1
        base = (base + block.span) & U32
        data = block.anchored(base, s.stream_id) if reanchor else block.steady(writer)
    s.log_event("fast_done", bytes=sent, blocks=blocks, frames=blocks * block.frames,
                next_ts=base)


def run(s, cfg):
    chunk_size = s.writer.chunk_size
    path = cfg.get("cache")
    if path:
        _send_file(s, path)
    else:
        send_synthetic(s, cfg, chunk_size)
    # The bulk bytes did not go through the session's writer: start every
    # chunk stream afresh with type-0 headers.
    s.writer.state.clear()
