"""AMF0 for the test publisher: the encoder of its commands and metadata and a
decoder of the server's replies, bounded in depth and by the message."""

import struct

MAX_AMF_DEPTH = 32


class PublishError(Exception):
    pass


class EcmaArray(dict):
    """A dict sent as an AMF0 ECMA array (the form encoders give metadata)."""


def amf_encode(value):
    if value is None:
        return b"\x05"
    if isinstance(value, bool):
        return b"\x01" + (b"\x01" if value else b"\x00")
    if isinstance(value, (int, float)):
        return b"\x00" + struct.pack(">d", float(value))
    if isinstance(value, str):
        raw = value.encode("utf-8")
        if len(raw) > 0xFFFF:
            return b"\x0c" + struct.pack(">I", len(raw)) + raw
        return b"\x02" + struct.pack(">H", len(raw)) + raw
    if isinstance(value, EcmaArray):
        return b"\x08" + struct.pack(">I", len(value)) + _amf_props(value)
    if isinstance(value, dict):
        return b"\x03" + _amf_props(value)
    if isinstance(value, (list, tuple)):
        return b"\x0a" + struct.pack(">I", len(value)) + b"".join(amf_encode(v) for v in value)
    raise TypeError("no AMF0 form for %r" % (value,))


def _amf_props(props):
    out = b""
    for key, val in props.items():
        raw = key.encode("utf-8")
        out += struct.pack(">H", len(raw)) + raw + amf_encode(val)
    return out + b"\x00\x00\x09"


class _AmfReader:
    """Decodes the values of a server's command; refuses what it does not know."""

    def __init__(self, data):
        self.data, self.pos = data, 0

    def take(self, n):
        if self.pos + n > len(self.data):
            raise PublishError("AMF0 value runs past its message")
        out = self.data[self.pos:self.pos + n]
        self.pos += n
        return out

    def name(self):
        n = struct.unpack(">H", self.take(2))[0]
        return self.take(n).decode("utf-8", "replace")

    def props(self, depth):
        out = {}
        while True:
            key = self.name()
            if key == "" and self.data[self.pos:self.pos + 1] == b"\x09":
                self.pos += 1
                return out
            out[key] = self.value(depth + 1)

    def value(self, depth=0):
        if depth > MAX_AMF_DEPTH:
            raise PublishError("AMF0 values nested too deep")
        marker = self.take(1)[0]
        if marker == 0x00:
            return struct.unpack(">d", self.take(8))[0]
        if marker == 0x01:
            return self.take(1) != b"\x00"
        if marker == 0x02:
            return self.name()
        if marker == 0x03:
            return self.props(depth)
        if marker in (0x05, 0x06):
            return None
        if marker == 0x08:
            self.take(4)
            return self.props(depth)
        if marker == 0x0a:
            count = struct.unpack(">I", self.take(4))[0]
            if count > len(self.data):
                raise PublishError("strict array of %d values in a short message" % count)
            return [self.value(depth + 1) for _ in range(count)]
        if marker == 0x0b:
            millis = struct.unpack(">d", self.take(8))[0]
            self.take(2)             # time zone, unused
            return millis
        if marker == 0x0c:
            n = struct.unpack(">I", self.take(4))[0]
            return self.take(n).decode("utf-8", "replace")
        raise PublishError("AMF0 marker 0x%02x not understood" % marker)

    def all(self):
        out = []
        while self.pos < len(self.data):
            out.append(self.value())
        return out


def amf_decode_all(data):
    return _AmfReader(bytes(data)).all()
