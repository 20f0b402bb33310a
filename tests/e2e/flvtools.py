"""FLV reading, writing, generation and comparison for the end-to-end tests.

Layout (all big-endian): header "FLV" 01 flags offset(4), then prev-tag-size 0;
each tag: type(1) size(3) time(3) time-high(1) stream(3) data(size) prev(4)
with prev = 11 + size.
"""

import os
import random
import struct
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "server"))
import amf0  # noqa: E402

AUDIO, VIDEO, SCRIPT = 8, 9, 18
HEADER_SIZE = 13

# Enhanced RTMP packet types; audio shares 0, 1 and ModEx, its multitrack is 5.
SEQUENCE_START, CODED_FRAMES, SEQUENCE_END, CODED_FRAMES_X = 0, 1, 2, 3
MULTITRACK_VIDEO, MULTITRACK_AUDIO, MODEX = 6, 5, 7


def classify(ttype, data):
    """What an audio or video body holds: "key" (a video keyframe: classic
    frame type 1, Enhanced frame type 1 with coded frames), "config" (sequence
    start or classic AVC/HEVC/AAC sequence header), "frame", or "other"
    (sequence end, metadata, command, damaged)."""
    data = bytes(data)
    if not data:
        return "other"
    b0 = data[0]
    if ttype == VIDEO and not b0 & 0x80:
        if (b0 & 0x0F) in (7, 12) and len(data) > 1 and data[1] == 0:
            return "key" if b0 >> 4 == 1 else "config"
        return {1: "key", 5: "other"}.get(b0 >> 4, "frame")
    if ttype == AUDIO and b0 >> 4 != 9:
        return "config" if b0 >> 4 == 10 and len(data) > 1 and data[1] == 0 else "frame"
    if ttype not in (AUDIO, VIDEO):
        return "other"
    # Enhanced: packet type, multitrack byte (FourCC after it), FourCC. The
    # streams made here carry no ModEx modifiers.
    pt, pos = b0 & 0x0F, 1
    if pt == (MULTITRACK_VIDEO if ttype == VIDEO else MULTITRACK_AUDIO):
        if pos >= len(data):
            return "other"
        pt, pos = data[pos] & 0x0F, pos + 1
    if pt == MODEX or pos + 4 > len(data):  # no FourCC
        return "other"
    if pt in ((0, 5) if ttype == VIDEO else (0, 4)):
        return "config"
    if ttype == AUDIO:
        return "frame" if pt == CODED_FRAMES else "other"
    if pt not in (CODED_FRAMES, CODED_FRAMES_X) or (b0 >> 4) & 7 == 5:
        return "other"
    return "key" if (b0 >> 4) & 7 == 1 else "frame"


class Tag:
    __slots__ = ("type", "ts", "data", "stream_id", "offset")

    def __init__(self, type, ts, data, stream_id=0, offset=None):
        self.type, self.ts, self.data = type, ts & 0xFFFFFFFF, bytes(data)
        self.stream_id, self.offset = stream_id, offset

    @property
    def is_keyframe(self):
        return self.type == VIDEO and classify(VIDEO, self.data) == "key"

    def to_bytes(self):
        n = len(self.data)
        return (bytes([self.type]) + n.to_bytes(3, "big") + (self.ts & 0xFFFFFF).to_bytes(3, "big")
                + bytes([(self.ts >> 24) & 0xFF]) + self.stream_id.to_bytes(3, "big")
                + self.data + struct.pack(">I", n + 11))

    def __eq__(self, other):
        return (isinstance(other, Tag) and self.type == other.type and self.ts == other.ts
                and self.data == other.data)

    def __repr__(self):
        return "Tag(type=%d, ts=%d, size=%d%s)" % (self.type, self.ts, len(self.data),
                                                  ", key" if self.is_keyframe else "")


class FlvFile:
    """Parsed file: flags, data offset, tags, and errors found in the chain."""

    def __init__(self):
        self.flags = None
        self.data_offset = None
        self.tags = []
        self.errors = []
        self.end_of_chain = 0  # offset just past the last whole tag

    @property
    def ok(self):
        return not self.errors


def header_bytes(flags=0x05):
    return b"FLV\x01" + bytes([flags]) + struct.pack(">I", 9) + struct.pack(">I", 0)


def parse(data):
    """Parse FLV bytes; never raises on bad input, records errors instead."""
    f = FlvFile()
    data = bytes(data)
    if len(data) < HEADER_SIZE:
        f.errors.append("file of %d bytes is shorter than the header" % len(data))
        return f
    if data[:4] != b"FLV\x01":
        f.errors.append("bad signature %r" % data[:4])
    f.flags = data[4]
    f.data_offset = struct.unpack(">I", data[5:9])[0]
    pos = f.data_offset
    if pos + 4 > len(data):
        f.errors.append("data offset %d past the end" % pos)
        return f
    first = struct.unpack(">I", data[pos:pos + 4])[0]
    if first != 0:
        f.errors.append("first previous tag size is %d, not 0" % first)
    pos += 4
    f.end_of_chain = pos
    while pos < len(data):
        if pos + 11 > len(data):
            f.errors.append("%d stray bytes after the last tag at %d" % (len(data) - pos, pos))
            break
        ttype = data[pos]
        size = int.from_bytes(data[pos + 1:pos + 4], "big")
        ts = int.from_bytes(data[pos + 4:pos + 7], "big") | (data[pos + 7] << 24)
        sid = int.from_bytes(data[pos + 8:pos + 11], "big")
        end = pos + 11 + size
        if end + 4 > len(data):
            f.errors.append("tag at %d (type %d, %d bytes) runs past the end" % (pos, ttype, size))
            break
        prev = struct.unpack(">I", data[end:end + 4])[0]
        if prev != size + 11:
            f.errors.append("tag at %d: previous tag size %d, expected %d" % (pos, prev, size + 11))
        f.tags.append(Tag(ttype, ts, data[pos + 11:end], sid, pos))
        pos = end + 4
        f.end_of_chain = pos
    return f


def read(path):
    with open(path, "rb") as fh:
        return parse(fh.read())


def build(tags, flags=0x05):
    return header_bytes(flags) + b"".join(t.to_bytes() for t in tags)


def write(path, tags, flags=0x05):
    with open(path, "wb") as fh:
        fh.write(build(tags, flags))


def script_body(name, value):
    return amf0.encode(name) + amf0.encode(value)


def metadata_of(tags):
    """Decoded onMetaData value of the first such script tag, or None."""
    for t in tags:
        if t.type == SCRIPT:
            vals, _ = amf0.try_decode_all(t.data)
            if vals and vals[0] == "onMetaData" and len(vals) > 1:
                v = vals[1]
                if isinstance(v, dict) and v.get("$amf") == "ecma_array":
                    v = v["value"]
                return v
    return None


class _Payload:
    """Deterministic payload bytes drawn from a fixed random pool."""

    POOL = 1 << 20

    def __init__(self, seed):
        self.pool = random.Random(seed).randbytes(self.POOL + 65536)
        self.n = 0

    def take(self, size):
        self.n += 1
        start = (self.n * 7919) % self.POOL
        out = b""
        while len(out) < size:
            out += self.pool[start:start + size - len(out)]
            start = 0
        return out


# Synthetic codecs: classic Sorenson H.263 and MP3, classic AVC and AAC with
# their sequence headers, or Enhanced RTMP headers in front of noise: HEVC in
# coded frames (with a composition time), AV1 in coded frames without one,
# VP9 as two tracks of one codec, Opus.
VIDEO_CODECS = ("h263", "avc", "hevc", "av1", "vp9-multitrack")
AUDIO_CODECS = ("mp3", "aac", "opus")


def video_head(codec, kind, payload_size=0):
    """Header bytes of a video body; kind "key", "inter" or "config" (the
    sequence start, sent once before the first frame).  A multitrack body's
    header depends on the payload size: two tracks split it in halves."""
    if codec == "h263":
        # Sorenson H.263 picture header: 320x240, intra or inter picture.
        return bytes([0x12 if kind == "key" else 0x22]) + (
            b"\x00\x00\x80\x02\x80" if kind == "key" else b"\x00\x00\x80\x02\xa0")
    frame = 2 if kind == "inter" else 1
    if codec == "avc":
        # AVC packet type 0 (sequence header) or 1 (NAL units), composition time 0.
        return bytes([frame << 4 | 7, 0 if kind == "config" else 1]) + b"\x00\x00\x00"
    if codec == "hevc":
        pt = SEQUENCE_START if kind == "config" else CODED_FRAMES
        return bytes([0x80 | frame << 4 | pt]) + b"hvc1" + (b"" if kind == "config" else b"\x00\x00\x00")
    if codec == "av1":
        pt = SEQUENCE_START if kind == "config" else CODED_FRAMES_X
        return bytes([0x80 | frame << 4 | pt]) + b"av01"
    if codec == "vp9-multitrack":
        pt = SEQUENCE_START if kind == "config" else CODED_FRAMES_X
        # Many tracks of one codec: the FourCC once, then id and size per track.
        return bytes([0x80 | frame << 4 | MULTITRACK_VIDEO, 0x10 | pt]) + b"vp09"
    raise ValueError("unknown video codec %r" % codec)


def video_body(codec, kind, size, payload):
    """A video body of about `size` bytes: the header, then noise."""
    head = video_head(codec, kind)
    if codec != "vp9-multitrack":
        return head + payload(max(size - len(head), 1))
    n = max(size - len(head) - 8, 2)
    data = payload(n)
    tracks = b"".join(bytes([i]) + len(p).to_bytes(3, "big") + p for i, p in enumerate((data[:n // 2], data[n // 2:])))
    return head + tracks


def audio_body(codec, kind, size, payload):
    if codec == "mp3":
        return b"\x2f" + payload(size - 1)
    if codec == "aac":
        # AudioSpecificConfig: AAC LC, 44.1 kHz, stereo.
        return b"\xaf\x00\x12\x10" if kind == "config" else b"\xaf\x01" + payload(max(size - 2, 1))
    if codec == "opus":
        if kind == "config":   # OpusHead: version 1, 2 channels, pre-skip 312, 48 kHz
            return b"\x90Opus" + b"OpusHead\x01\x02\x38\x01\x80\xbb\x00\x00\x00\x00\x00"
        return b"\x91Opus" + payload(max(size - 5, 1))
    raise ValueError("unknown audio codec %r" % codec)


def generate_tags(duration_ms=10000, video=True, audio=True, video_interval=40,
                  audio_interval=26, keyframe_interval=1000, video_size=(600, 2400),
                  keyframe_size=6000, audio_size=200, seed=1, start_ms=0,
                  video_codec="h263", audio_codec="mp3"):
    """Media tags (no metadata): video at every video_interval ms with a
    keyframe every keyframe_interval ms, audio of a fixed size at every
    audio_interval ms; at equal times video comes first.  Sizes are given in
    bytes; video_size is a (min, max) range for inter frames.  Enhanced codecs
    send their sequence start first, at the first frame's time."""
    pay = _Payload(seed)
    rnd = random.Random(seed + 1)
    items = []
    if video:
        if video_codec != "h263":
            items.append((start_ms, -1, Tag(VIDEO, start_ms, video_body(video_codec, "config", 40, pay.take))))
        t = 0
        while t < duration_ms:
            key = (t % keyframe_interval) < video_interval
            size = keyframe_size if key else rnd.randint(video_size[0], video_size[1])
            body = video_body(video_codec, "key" if key else "inter", size, pay.take)
            items.append((t + start_ms, 0, Tag(VIDEO, t + start_ms, body)))
            t += video_interval
    if audio:
        if audio_codec != "mp3":
            items.append((start_ms, -1, Tag(AUDIO, start_ms, audio_body(audio_codec, "config", 0, pay.take))))
        t = 0
        while t < duration_ms:
            items.append((t + start_ms, 1, Tag(AUDIO, t + start_ms, audio_body(audio_codec, "frame", audio_size,
                                                                               pay.take))))
            t += audio_interval
    items.sort(key=lambda x: (x[0], x[1]))
    return [it[2] for it in items]


def metadata_tag(duration_s, keyframes=None, extra=None, as_ecma=True):
    """onMetaData script tag.  keyframes: (times_s, filepositions) or None."""
    props = {"duration": float(duration_s), "width": 320.0, "height": 240.0,
             "videocodecid": 2.0, "audiocodecid": 2.0, "framerate": 25.0}
    if extra:
        props.update(extra)
    if keyframes is not None:
        times, positions = keyframes
        props["keyframes"] = {"times": [float(x) for x in times],
                              "filepositions": [float(x) for x in positions]}
    value = amf0.typed("ecma_array", props) if as_ecma else props
    return Tag(SCRIPT, 0, script_body("onMetaData", value))


def generate(duration_ms=10000, metadata=True, keyframes_index=False, meta_extra=None,
             flags=None, **kw):
    """A whole FLV file as bytes; see generate_tags for the media options."""
    tags = generate_tags(duration_ms=duration_ms, **kw)
    if flags is None:
        flags = (0x04 if kw.get("audio", True) else 0) | (0x01 if kw.get("video", True) else 0)
    if not metadata:
        return build(tags, flags)
    # The last tag's time, so that a whole download reaches 100 %.
    dur = max(t.ts for t in tags) / 1000.0 if tags else 0.0
    keys = [t for t in tags if t.is_keyframe]
    index = None
    if keyframes_index:
        # Numbers are fixed size, so a placeholder index has the final length.
        index = ([0.0] * len(keys), [0.0] * len(keys))
    meta = metadata_tag(dur, index, meta_extra)
    if keyframes_index:
        pos = HEADER_SIZE + len(meta.data) + 15
        positions = []
        for t in tags:
            if t.is_keyframe:
                positions.append(pos)
            pos += len(t.data) + 15
        meta = metadata_tag(dur, ([k.ts / 1000.0 for k in keys], positions), meta_extra)
    return build([meta] + tags, flags)


def compare_tags(expected, actual):
    """None when both lists hold the same tags, else a text naming the first difference."""
    for i, (e, a) in enumerate(zip(expected, actual)):
        if e.type != a.type or e.ts != a.ts or e.data != a.data:
            return "tag %d differs: expected %r, got %r%s" % (
                i, e, a, " (same header, other data)" if (e.type, e.ts) == (a.type, a.ts) else "")
    if len(expected) != len(actual):
        return "expected %d tags, got %d" % (len(expected), len(actual))
    return None


def expand_messages(messages):
    """FLV tags of server messages as a client writes them with no seek offset:
    audio, video and script messages become one tag at the message time,
    aggregates (type 22) their inner tags unchanged.
    messages: iterable of (type, ts, body)."""
    tags = []
    for mtype, ts, body in messages:
        if mtype in (AUDIO, VIDEO, SCRIPT):
            tags.append(Tag(mtype, ts, body))
        elif mtype == 22:
            tags.extend(parse(header_bytes() + body).tags)
    return tags
