"""FLV files for the test publisher: their metadata and media tags."""

import struct

from amf_codec import PublishError, amf_decode_all

AUDIO, VIDEO, SCRIPT = 8, 9, 18


class Tag:
    __slots__ = ("type", "ts", "data")

    def __init__(self, type, ts, data):
        self.type, self.ts, self.data = type, ts, bytes(data)

    @property
    def is_config(self):
        """AVC or AAC sequence header: codec configuration, not a frame."""
        if self.type == VIDEO:
            return len(self.data) > 1 and (self.data[0] & 0x0F) == 7 and self.data[1] == 0
        if self.type == AUDIO:
            return len(self.data) > 1 and (self.data[0] >> 4) == 10 and self.data[1] == 0
        return False

    def __repr__(self):
        return "Tag(type=%d, ts=%d, size=%d)" % (self.type, self.ts, len(self.data))


def read_flv(path):
    """(metadata dict or None, audio/video tags) of an FLV file."""
    with open(path, "rb") as fh:
        data = fh.read()
    if len(data) < 13 or data[:3] != b"FLV":
        raise PublishError("%s is no FLV file" % path)
    pos = struct.unpack(">I", data[5:9])[0] + 4
    meta, tags = None, []
    while pos + 11 <= len(data):
        ttype = data[pos]
        size = int.from_bytes(data[pos + 1:pos + 4], "big")
        ts = int.from_bytes(data[pos + 4:pos + 7], "big") | (data[pos + 7] << 24)
        body = data[pos + 11:pos + 11 + size]
        if len(body) < size:
            break
        if ttype in (AUDIO, VIDEO):
            tags.append(Tag(ttype, ts, body))
        elif ttype == SCRIPT and meta is None:
            values = amf_decode_all(body)
            if len(values) > 1 and values[0] == "onMetaData" and isinstance(values[1], dict):
                meta = values[1]
        pos += 11 + size + 4
    return meta, tags


def cut(tags, duration_ms):
    """The tags of the first duration_ms of a clip."""
    if not tags:
        return []
    first = tags[0].ts
    return [t for t in tags if t.ts - first < duration_ms]
