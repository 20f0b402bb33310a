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

Beside them, synthetic files of the same length and keyframe spacing (noise
behind real headers, flvtools.generate): classic AVC with AAC, and in
Enhanced RTMP form HEVC with Opus, AV1, and VP9 in two tracks, each indexed
as above (`<codec>-indexed`), and HEVC without index (`hevc-plain`).

Files live under $KAVELO_BUILD/media/<version>/ and are made once; concurrent
test processes serialise on a lock file and publish each file atomically.
"""

import collections
import fcntl
import os
import re
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import flvtools  # noqa: E402
from flvtools import amf0  # noqa: E402

MEDIA_VERSION = "v1"
FPS = 25
VIDEO_FRAMES = 600               # 24 s
KEYFRAME_INTERVAL = 50           # frames: one keyframe every 2 s
AUDIO_RATE = 44100
MP3_FRAME = 1152                 # samples per MP3 frame
AUDIO_BUFFERS = 919              # about 24 s of audio

PLAIN_NAME = "plain"             # play path of the file without index
INDEXED_NAME = "indexed"         # play path of the file with index

Media = collections.namedtuple("Media", "directory plain indexed keyframe_times duration_ms")

# Play path -> flvtools.generate arguments of the synthetic files.
ENHANCED = {
    "avc-aac-indexed": {"video_codec": "avc", "audio_codec": "aac", "keyframes_index": True},
    "hevc-indexed": {"video_codec": "hevc", "audio_codec": "opus", "keyframes_index": True},
    "av1-indexed": {"video_codec": "av1", "keyframes_index": True},
    "vp9-multitrack-indexed": {"video_codec": "vp9-multitrack", "keyframes_index": True},
    "hevc-plain": {"video_codec": "hevc", "audio_codec": "opus"},
}


def tags_of(path):
    """The tags of a well-formed FLV file; ValueError for anything else."""
    flv = flvtools.read(path)
    if not flv.ok:
        raise ValueError("%s: %s" % (path, "; ".join(flv.errors)))
    return flv.tags


def index_entries(tags):
    """Indices of the tags a seek index points at: the first keyframe-type tag
    of each timestamp, so at time 0 the sequence header that precedes the
    first coded keyframe (as flvmeta lays out its own index)."""
    seen = set()
    out = []
    for i, t in enumerate(tags):
        if t.is_keyframe and t.ts not in seen:
            seen.add(t.ts)
            out.append(i)
    return out


def build_metadata(duration_s, filesize, keyframes=None):
    """onMetaData body; `keyframes` is a list of (seconds, file position)."""
    props = {
        "duration": float(duration_s),
        "width": 320.0,
        "height": 240.0,
        "framerate": float(FPS),
        "videocodecid": 7.0,
        "audiocodecid": 2.0,
        "audiosamplerate": float(AUDIO_RATE),
        "audiosamplesize": 16.0,
        "stereo": True,
        "filesize": float(filesize),
    }
    if keyframes is not None:
        # An object of strict arrays of numbers.
        props["keyframes"] = {"times": [float(t) for t, _ in keyframes],
                              "filepositions": [float(p) for _, p in keyframes]}
    return amf0.encode("onMetaData") + amf0.encode(amf0.typed("ecma_array", props))


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
    duration_s = max(t.ts for t in media) / 1000.0
    keys = index_entries(media)
    body_size = sum(15 + len(t.data) for t in media)

    def render(filesize, positions):
        index = None
        if with_index:
            index = [(media[i].ts / 1000.0, positions.get(i, 0)) for i in keys]
        return build_metadata(duration_s, filesize, index)

    # Every metadata value is a fixed-size double, so a first rendering with
    # placeholders gives the final size and with it every tag's position.
    first = flvtools.HEADER_SIZE + 15 + len(render(0, {}))
    filesize = first + body_size
    positions = {}
    pos = first
    for i, t in enumerate(media):
        positions[i] = pos
        pos += 15 + len(t.data)
    meta = flvtools.Tag(flvtools.SCRIPT, 0, render(filesize, positions))
    out = flvtools.build([meta] + [flvtools.Tag(t.type, t.ts, t.data) for t in media])
    assert len(out) == filesize
    return out


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
                tags_of(part)            # refuse to cache a broken encode
                os.replace(part, source)
            media = media_tags_of(tags_of(source))
            _publish(plain, layout(media, with_index=False))
            _publish(indexed, layout(media, with_index=True))
        for name, kw in ENHANCED.items():
            path = os.path.join(root, name + ".flv")
            if not os.path.exists(path):
                _publish(path, flvtools.generate(duration_ms=VIDEO_FRAMES * 1000 // FPS, video_interval=1000 // FPS,
                                                 keyframe_interval=KEYFRAME_INTERVAL * 1000 // FPS, **kw))
    tags = tags_of(indexed)
    keyframe_times = [tags[i].ts for i in index_entries(tags)]
    duration_ms = max(t.ts for t in tags)
    return Media(root, plain, indexed, keyframe_times, duration_ms)


def flvmeta_check(path):
    """(error codes, report) from the independent validator `flvmeta --check`;
    no codes means the file passed (warnings do not count). flvmeta's own
    verdict on the same bytes now and then differs: a segmentation fault
    (once in 30 runs) or "fatal F10061: unable to compute file information"
    (once in 40, on a file with stream times past 0xFFFFFF). Such a verdict
    is asked again; a fault of the file gives it every time."""
    for _ in range(3):
        proc = subprocess.run(["flvmeta", "--check", path], stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, timeout=120)
        report = proc.stdout.decode(errors="replace")
        codes = set(re.findall(r"\b(?:error|fatal) ([EF]\d+):", report))
        if proc.returncode >= 0 and not any(c.startswith("F") for c in codes):
            break
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
