#!/usr/bin/env python3
"""Writes a synthetic FLV stream of a given size for the benchmark.

The stream looks like an ordinary recording to a server and to the client:
an onMetaData tag with the duration first, then Sorenson video at 25 frames
per second with a keyframe every 2 seconds (keyframes 40-60 KB, other frames
5-35 KB) interleaved with MP3 audio frames of about 400 bytes every 23 ms.
The payload bytes are pseudo-random slices of a fixed pool, so the same size
always gives the same file.

Usage: gen_flv.py OUT_FILE SIZE_MB
"""
import os
import random
import struct
import sys

VIDEO_INTERVAL_MS = 40
AUDIO_INTERVAL_MS = 23
KEYFRAME_EVERY = 50          # frames, i.e. 2 s
POOL_SIZE = 8 << 20
# FLV video byte (frame type, codec 2), then the start of a Sorenson picture
# header: start code, version 0, temporal reference 0, size code 5 (320x240),
# picture type intra or inter. Validators read the resolution from it.
KEY_PREFIX = b"\x12\x00\x00\x80\x02\x80"
INTER_PREFIX = b"\x22\x00\x00\x80\x02\xa0"


def amf_number(value):
    return b"\x00" + struct.pack(">d", value)


def amf_key(name):
    raw = name.encode()
    return struct.pack(">H", len(raw)) + raw


def metadata_body(duration_s, file_size):
    props = [
        ("duration", amf_number(duration_s)),
        ("width", amf_number(320.0)),
        ("height", amf_number(240.0)),
        ("framerate", amf_number(1000.0 / VIDEO_INTERVAL_MS)),
        ("videocodecid", amf_number(2.0)),
        ("audiocodecid", amf_number(2.0)),
        ("audiosamplerate", amf_number(44100.0)),
        ("stereo", b"\x01\x01"),
        ("filesize", amf_number(float(file_size))),
    ]
    body = b"\x02" + amf_key("onMetaData")
    body += b"\x08" + struct.pack(">I", len(props))
    for name, value in props:
        body += amf_key(name) + value
    return body + b"\x00\x00\x09"


def tag(tag_type, timestamp, data):
    header = struct.pack(">B", tag_type) + struct.pack(">I", len(data))[1:]
    header += struct.pack(">I", timestamp & 0xFFFFFF)[1:]
    header += struct.pack(">B", (timestamp >> 24) & 0xFF) + b"\x00\x00\x00"
    return header + data + struct.pack(">I", 11 + len(data))


def media_tags(rng, pool, target_bytes):
    """Yields (tag bytes) in timestamp order until target_bytes are produced."""
    produced = 0
    frame = 0
    audio_ms = 0
    while produced < target_bytes:
        video_ms = frame * VIDEO_INTERVAL_MS
        while audio_ms < video_ms:
            size = rng.randint(380, 420)
            start = rng.randrange(POOL_SIZE - size)
            data = b"\x2f" + pool[start:start + size - 1]
            out = tag(8, audio_ms, data)
            produced += len(out)
            yield out
            audio_ms += AUDIO_INTERVAL_MS
        key = frame % KEYFRAME_EVERY == 0
        size = rng.randint(40000, 60000) if key else rng.randint(5000, 35000)
        start = rng.randrange(POOL_SIZE - size)
        data = (KEY_PREFIX if key else INTER_PREFIX) + pool[start:start + size - len(KEY_PREFIX)]
        out = tag(9, video_ms, data)
        produced += len(out)
        yield out
        frame += 1


def generate(path, size_mb):
    target = size_mb << 20
    rng = random.Random(20240601)
    pool = rng.randbytes(POOL_SIZE)
    # First pass over sizes only would double the work; the duration is known
    # from the frame count, so write the media to a temporary file first and
    # prepend the header and metadata once the duration is known.
    tmp = path + ".media"
    last_ms = 0
    with open(tmp, "wb", buffering=4 << 20) as media:
        for out in media_tags(rng, pool, target):
            media.write(out)
            ts = struct.unpack(">I", b"\x00" + out[4:7])[0] | (out[7] << 24)
            last_ms = max(last_ms, ts)
    media_size = os.path.getsize(tmp)
    duration = (last_ms + VIDEO_INTERVAL_MS) / 1000.0
    meta = metadata_body(duration, 0)
    total = 13 + 15 + len(meta) + media_size
    meta = metadata_body(duration, total)
    with open(path + ".part", "wb") as out, open(tmp, "rb") as media:
        out.write(b"FLV\x01\x05\x00\x00\x00\x09\x00\x00\x00\x00")
        out.write(tag(18, 0, meta))
        while True:
            block = media.read(8 << 20)
            if not block:
                break
            out.write(block)
    os.remove(tmp)
    os.replace(path + ".part", path)
    return duration


def read_duration(path):
    """The duration in seconds from the onMetaData tag that generate() wrote."""
    with open(path, "rb") as f:
        head = f.read(4096)
    at = head.find(amf_key("duration"))
    if at < 0 or head[at + 10] != 0:
        raise ValueError("%s has no duration in its metadata" % path)
    return struct.unpack(">d", head[at + 11:at + 19])[0]


def main():
    if len(sys.argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    duration = generate(sys.argv[1], int(sys.argv[2]))
    print("%s: %d bytes, %.1f s" % (sys.argv[1], os.path.getsize(sys.argv[1]), duration))
    return 0


if __name__ == "__main__":
    sys.exit(main())
