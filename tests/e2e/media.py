"""Real test media for the end-to-end tests, made at test time and cached.

The source is an H.264/MP3 FLV that GStreamer encodes from its test sources
(videotestsrc, x264enc, audiotestsrc, lamemp3enc, flvmux): 24 seconds, a
keyframe every 2 seconds. Its metadata is then replaced by our own in two
variants that share every media tag:

  plain.flv    onMetaData with the duration but no seek index; a server that
               seeks by index plays such a file from its start whatever the
               requested time.
  indexed.flv  the same plus an object `keyframes` with the strict arrays
               `times` (seconds) and `filepositions` (byte offsets of the
               keyframe tags in this very file).

Neither metadata holds an AMF date: some servers' metadata parsers give up at
one and then ignore the whole object, index included.

Files live under $KAVELO_BUILD/media/<version>/ and are made once; concurrent
test processes serialise on a lock file and publish each file atomically.
"""

import collections
import fcntl
import os
import re
import struct
import subprocess
import tempfile

MEDIA_VERSION = "v1"
FPS = 25
VIDEO_FRAMES = 600               # 24 s
KEYFRAME_INTERVAL = 50           # frames: one keyframe every 2 s
AUDIO_RATE = 44100
MP3_FRAME = 1152                 # samples per MP3 frame
AUDIO_BUFFERS = 919              # about 24 s of audio

PLAIN_NAME = "plain"             # play path of the file without index
INDEXED_NAME = "indexed"         # play path of the file with index

FLV_HEADER = bytes.fromhex("464c5601050000000900000000")

Tag = collections.namedtuple("Tag", "type timestamp data offset")
Media = collections.namedtuple("Media", "directory plain indexed keyframe_times duration_ms")


# --- FLV reading ---------------------------------------------------------

def read_flv(source):
    """Parse FLV bytes (or a file path) into (header, [Tag]).

    Raises ValueError on anything that is not a well-formed FLV: wrong
    signature, a tag running past the end, a previous-tag size that does not
    match its tag, or stray bytes after the last tag.
    """
    data = source
    if isinstance(source, (str, os.PathLike)):
        with open(source, "rb") as f:
            data = f.read()
    if len(data) < 13 or data[:4] != b"FLV\x01":
        raise ValueError("not an FLV header")
    offset = struct.unpack(">I", data[5:9])[0]
    if offset < 9 or offset + 4 > len(data):
        raise ValueError("bad header length %d" % offset)
    if struct.unpack(">I", data[offset:offset + 4])[0] != 0:
        raise ValueError("first previous-tag size is not 0")
    tags = []
    pos = offset + 4
    while pos < len(data):
        if pos + 11 > len(data):
            raise ValueError("truncated tag header at %d" % pos)
        size = int.from_bytes(data[pos + 1:pos + 4], "big")
        stamp = int.from_bytes(data[pos + 4:pos + 7], "big") | data[pos + 7] << 24
        end = pos + 11 + size
        if end + 4 > len(data):
            raise ValueError("tag at %d runs past the end" % pos)
        trailer = struct.unpack(">I", data[end:end + 4])[0]
        if trailer != 11 + size:
            raise ValueError("tag at %d: previous-tag size %d, expected %d"
                             % (pos, trailer, 11 + size))
        tags.append(Tag(data[pos], stamp, bytes(data[pos + 11:end]), pos))
        pos = end + 4
    return bytes(data[:offset + 4]), tags


def is_video_keyframe(tag):
    """A video tag whose frame type is 1 (the AVC sequence header is one too)."""
    return tag.type == 9 and len(tag.data) >= 1 and tag.data[0] >> 4 == 1


def index_entries(tags):
    """Indices of the tags a seek index points at: the first keyframe-type tag
    of each timestamp, so at time 0 the sequence header that precedes the
    first coded keyframe (as flvmeta lays out its own index)."""
    seen = set()
    out = []
    for i, t in enumerate(tags):
        if is_video_keyframe(t) and t.timestamp not in seen:
            seen.add(t.timestamp)
            out.append(i)
    return out


def encode_tag(tag_type, stamp, data):
    head = bytes([tag_type]) + len(data).to_bytes(3, "big")
    head += (stamp & 0xFFFFFF).to_bytes(3, "big") + bytes([stamp >> 24 & 0xFF])
    return head + b"\0\0\0" + data + struct.pack(">I", 11 + len(data))


# --- AMF0 encoding, just what our metadata needs --------------------------

def _amf_number(value):
    return b"\x00" + struct.pack(">d", float(value))


def _amf_bool(value):
    return b"\x01" + (b"\x01" if value else b"\x00")


def _amf_string(text):
    raw = text.encode()
    return b"\x02" + struct.pack(">H", len(raw)) + raw


def _amf_members(members):
    out = b""
    for name, value in members:
        raw = name.encode()
        out += struct.pack(">H", len(raw)) + raw + value
    return out + b"\x00\x00\x09"


def _amf_object(members):
    return b"\x03" + _amf_members(members)


def _amf_ecma_array(members):
    return b"\x08" + struct.pack(">I", len(members)) + _amf_members(members)


def _amf_strict_array(values):
    return b"\x0a" + struct.pack(">I", len(values)) + b"".join(values)


def build_metadata(duration_s, filesize, keyframes=None):
    """onMetaData body; `keyframes` is a list of (seconds, file position)."""
    members = [
        ("duration", _amf_number(duration_s)),
        ("width", _amf_number(320)),
        ("height", _amf_number(240)),
        ("framerate", _amf_number(FPS)),
        ("videocodecid", _amf_number(7)),
        ("audiocodecid", _amf_number(2)),
        ("audiosamplerate", _amf_number(AUDIO_RATE)),
        ("audiosamplesize", _amf_number(16)),
        ("stereo", _amf_bool(True)),
        ("filesize", _amf_number(filesize)),
    ]
    if keyframes is not None:
        members.append(("keyframes", _amf_object([
            ("times", _amf_strict_array([_amf_number(t) for t, _ in keyframes])),
            ("filepositions", _amf_strict_array([_amf_number(p) for _, p in keyframes])),
        ])))
    return _amf_string("onMetaData") + _amf_ecma_array(members)


# --- building ------------------------------------------------------------

def media_tags_of(tags):
    """The encoder's media tags, ready to be laid out again.

    Its own script tags go (we write our own metadata), and so do video tags
    of 5 bytes or less (the encoder's end-of-sequence marker): a client drops
    those by design, and the tests compare downloads with the file tag for tag.
    """
    return [t for t in tags if t.type in (8, 9) and not (t.type == 9 and len(t.data) <= 5)]


def layout(media, with_index):
    """The FLV bytes of `media` tags behind our own onMetaData."""
    duration_s = max(t.timestamp for t in media) / 1000.0
    keys = index_entries(media)
    body_size = sum(15 + len(t.data) for t in media)

    def render(filesize, positions):
        index = None
        if with_index:
            index = [(media[i].timestamp / 1000.0, positions.get(i, 0)) for i in keys]
        return build_metadata(duration_s, filesize, index)

    # Every metadata value is a fixed-size double, so a first rendering with
    # placeholders gives the final size and with it every tag's position.
    first = len(FLV_HEADER) + 15 + len(render(0, {}))
    filesize = first + body_size
    positions = {}
    pos = first
    for i, t in enumerate(media):
        positions[i] = pos
        pos += 15 + len(t.data)
    meta = render(filesize, positions)
    assert len(FLV_HEADER) + 15 + len(meta) == first
    out = bytearray(FLV_HEADER)
    out += encode_tag(18, 0, meta)
    for t in media:
        out += encode_tag(t.type, t.timestamp, t.data)
    assert len(out) == filesize
    return bytes(out)


def _encode_source(path):
    seconds = VIDEO_FRAMES / FPS
    pipeline = (
        "videotestsrc num-buffers={vf} pattern=ball "
        "! video/x-raw,width=320,height=240,framerate={fps}/1 "
        "! x264enc key-int-max={ki} bframes=0 threads=1 bitrate=300 option-string=scenecut=0 "
        "! mux. "
        "audiotestsrc num-buffers={ab} samplesperbuffer={spb} "
        "! audio/x-raw,rate={rate},channels=2,channel-mask=(bitmask)0x3 "
        "! audioconvert ! lamemp3enc target=bitrate bitrate=128 cbr=true "
        "! audio/mpeg,rate={rate} ! mpegaudioparse ! mux. "
        "flvmux name=mux ! filesink location={out}"
    ).format(vf=VIDEO_FRAMES, fps=FPS, ki=KEYFRAME_INTERVAL, ab=AUDIO_BUFFERS,
             spb=MP3_FRAME, rate=AUDIO_RATE, out=path)
    proc = subprocess.run(["gst-launch-1.0", "-q"] + pipeline.split(),
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          timeout=300)
    if proc.returncode != 0 or not os.path.getsize(path):
        raise RuntimeError("gst-launch-1.0 failed (%d) making %.0f s of media:\n%s"
                           % (proc.returncode, seconds, proc.stdout.decode(errors="replace")))


def _publish(path, data):
    fd, tmp = tempfile.mkstemp(dir=os.path.dirname(path), prefix=".part-")
    with os.fdopen(fd, "wb") as f:
        f.write(data)
    os.chmod(tmp, 0o644)
    os.replace(tmp, path)


def media_root():
    build = os.environ.get("KAVELO_BUILD")
    if not build:
        raise RuntimeError("KAVELO_BUILD is not set (ctest sets it)")
    return os.path.join(build, "media", MEDIA_VERSION)


def ensure_media():
    """Make the test media if needed and describe them."""
    root = media_root()
    os.makedirs(root, exist_ok=True)
    plain = os.path.join(root, PLAIN_NAME + ".flv")
    indexed = os.path.join(root, INDEXED_NAME + ".flv")
    with open(os.path.join(root, ".lock"), "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if not (os.path.exists(plain) and os.path.exists(indexed)):
            source = os.path.join(root, "encoded.flv")
            if not os.path.exists(source):
                part = source + ".part"
                _encode_source(part)
                read_flv(part)           # refuse to cache a broken encode
                os.replace(part, source)
            media = media_tags_of(read_flv(source)[1])
            _publish(plain, layout(media, with_index=False))
            _publish(indexed, layout(media, with_index=True))
    tags = read_flv(indexed)[1]
    keyframe_times = [tags[i].timestamp for i in index_entries(tags)]
    duration_ms = max(t.timestamp for t in tags)
    return Media(root, plain, indexed, keyframe_times, duration_ms)


def flvmeta_check(path):
    """(error codes, report) from the independent validator `flvmeta --check`;
    no codes means the file passed (warnings do not count)."""
    proc = subprocess.run(["flvmeta", "--check", path], stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, timeout=120)
    report = proc.stdout.decode(errors="replace")
    codes = set(re.findall(r"\b(?:error|fatal) ([EF]\d+):", report))
    if not re.search(r"^0 error\(s\)", report, re.MULTILINE) and not codes:
        codes.add("unknown")
    if proc.returncode != 0 and not codes:
        codes.add("exit %d" % proc.returncode)
    return codes, report


if __name__ == "__main__":
    made = ensure_media()
    for p in (made.plain, made.indexed):
        print(p, os.path.getsize(p), flvmeta_check(p))
    print("keyframes at", made.keyframe_times, "duration", made.duration_ms)
