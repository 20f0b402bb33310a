"""AMF0 encoder and decoder for the test server and the test tools.

Written from the AMF0 format alone; it shares nothing with the product's codec,
so a mistake in one does not hide behind the other.

Values map to Python as: number <-> float (int is accepted when encoding),
boolean <-> bool, string <-> str, null <-> None, object <-> dict (order kept),
strict array <-> list.  Other AMF0 types are written from tagged dicts with the
key "$amf" (see typed()), which is also how a scenario file asks for them:

    {"$amf": "number", "value": "NaN"}      NaN, "Infinity", "-Infinity" or a number
    {"$amf": "undefined"}
    {"$amf": "ecma_array", "value": {...}}
    {"$amf": "date", "value": 1234.0, "tz": 0}
    {"$amf": "long_string", "value": "..."}
    {"$amf": "xml", "value": "..."}
    {"$amf": "raw", "hex": "0a0b"}          bytes spliced in as they are
"""

import math
import struct

NUMBER, BOOLEAN, STRING, OBJECT, NULL, UNDEFINED = 0x00, 0x01, 0x02, 0x03, 0x05, 0x06
REFERENCE, ECMA_ARRAY, OBJECT_END, STRICT_ARRAY, DATE = 0x07, 0x08, 0x09, 0x0A, 0x0B
LONG_STRING, XML_DOC, TYPED_OBJECT, AVMPLUS = 0x0C, 0x0F, 0x10, 0x11

# Deep enough for any sane command; deeper bodies are reported, not followed.
MAX_DEPTH = 64


class AmfError(Exception):
    pass


def typed(kind, value=None, **extra):
    d = {"$amf": kind}
    if value is not None:
        d["value"] = value
    d.update(extra)
    return d


def _number_value(v):
    if isinstance(v, str):
        names = {"nan": math.nan, "infinity": math.inf, "inf": math.inf,
                 "-infinity": -math.inf, "-inf": -math.inf}
        if v.lower() not in names:
            raise AmfError("unknown number text %r" % v)
        return names[v.lower()]
    return float(v)


def _utf8(s, limit):
    b = s.encode("utf-8")
    if len(b) > limit:
        raise AmfError("string of %d bytes does not fit" % len(b))
    return b


def encode_name(name):
    b = _utf8(name, 0xFFFF)
    return struct.pack(">H", len(b)) + b


def encode(value):
    """One AMF0 value as bytes."""
    if isinstance(value, dict) and "$amf" in value:
        return _encode_typed(value)
    if value is None:
        return bytes([NULL])
    if isinstance(value, bool):
        return bytes([BOOLEAN, 1 if value else 0])
    if isinstance(value, (int, float)):
        return bytes([NUMBER]) + struct.pack(">d", float(value))
    if isinstance(value, str):
        b = value.encode("utf-8")
        if len(b) > 0xFFFF:
            return bytes([LONG_STRING]) + struct.pack(">I", len(b)) + b
        return bytes([STRING]) + struct.pack(">H", len(b)) + b
    if isinstance(value, (bytes, bytearray)):
        return bytes(value)
    if isinstance(value, dict):
        return bytes([OBJECT]) + _encode_props(value)
    if isinstance(value, (list, tuple)):
        out = bytearray([STRICT_ARRAY]) + struct.pack(">I", len(value))
        for v in value:
            out += encode(v)
        return bytes(out)
    raise AmfError("cannot encode %r" % (value,))


def _encode_props(props):
    out = bytearray()
    for k, v in props.items():
        out += encode_name(k) + encode(v)
    return bytes(out + b"\x00\x00" + bytes([OBJECT_END]))


def _encode_typed(d):
    kind = d["$amf"]
    v = d.get("value")
    if kind == "number":
        return bytes([NUMBER]) + struct.pack(">d", _number_value(v))
    if kind == "boolean":
        return bytes([BOOLEAN, 1 if v else 0])
    if kind == "undefined":
        return bytes([UNDEFINED])
    if kind == "null":
        return bytes([NULL])
    if kind == "ecma_array":
        v = v or {}
        return bytes([ECMA_ARRAY]) + struct.pack(">I", d.get("count", len(v))) + _encode_props(v)
    if kind == "date":
        return bytes([DATE]) + struct.pack(">dh", _number_value(v), int(d.get("tz", 0)))
    if kind == "long_string":
        b = (v or "").encode("utf-8")
        return bytes([LONG_STRING]) + struct.pack(">I", len(b)) + b
    if kind == "xml":
        b = (v or "").encode("utf-8")
        return bytes([XML_DOC]) + struct.pack(">I", len(b)) + b
    if kind == "raw":
        return bytes.fromhex(d.get("hex", ""))
    raise AmfError("unknown typed value %r" % kind)


def encode_all(values):
    return b"".join(encode(v) for v in values)


def nested_objects(depth, kind="object"):
    """A value nested depth levels deep, built without recursion.

    kind: "object" (anonymous objects, each holding property "a"),
    "ecma" (ECMA arrays) or "strict" (strict arrays of one element).
    """
    if kind == "strict":
        head = bytes([STRICT_ARRAY]) + struct.pack(">I", 1)
        return head * depth + bytes([NULL])
    if kind == "ecma":
        head = bytes([ECMA_ARRAY]) + struct.pack(">I", 1) + encode_name("a")
    else:
        head = bytes([OBJECT]) + encode_name("a")
    tail = b"\x00\x00" + bytes([OBJECT_END])
    return head * depth + bytes([NULL]) + tail * depth


class _Reader:
    def __init__(self, data):
        self.data = data
        self.pos = 0

    def take(self, n):
        if self.pos + n > len(self.data):
            raise AmfError("value needs %d bytes at offset %d, body has %d"
                           % (n, self.pos, len(self.data)))
        b = self.data[self.pos:self.pos + n]
        self.pos += n
        return b

    def u8(self):
        return self.take(1)[0]

    def u16(self):
        return struct.unpack(">H", self.take(2))[0]

    def u32(self):
        return struct.unpack(">I", self.take(4))[0]

    def text(self, n):
        return self.take(n).decode("utf-8", "replace")


def _json_number(x):
    # JSON has no NaN or infinity; the log records them as text.
    if math.isnan(x):
        return "NaN"
    if math.isinf(x):
        return "Infinity" if x > 0 else "-Infinity"
    return x


def _decode_value(r, depth):
    if depth > MAX_DEPTH:
        raise AmfError("nesting deeper than %d" % MAX_DEPTH)
    marker = r.u8()
    if marker == NUMBER:
        return _json_number(struct.unpack(">d", r.take(8))[0])
    if marker == BOOLEAN:
        return r.u8() != 0
    if marker == STRING:
        return r.text(r.u16())
    if marker in (LONG_STRING, XML_DOC):
        return r.text(r.u32())
    if marker == NULL:
        return None
    if marker == UNDEFINED:
        return {"$amf": "undefined"}
    if marker == OBJECT:
        return _decode_props(r, depth)
    if marker == ECMA_ARRAY:
        r.u32()
        return {"$amf": "ecma_array", "value": _decode_props(r, depth)}
    if marker == STRICT_ARRAY:
        n = r.u32()
        if n > len(r.data) - r.pos:
            raise AmfError("strict array claims %d elements" % n)
        return [_decode_value(r, depth + 1) for _ in range(n)]
    if marker == DATE:
        ms, tz = struct.unpack(">dh", r.take(10))
        return {"$amf": "date", "value": _json_number(ms), "tz": tz}
    if marker == REFERENCE:
        return {"$amf": "reference", "value": r.u16()}
    raise AmfError("unsupported AMF0 marker 0x%02x at offset %d" % (marker, r.pos - 1))


def _decode_props(r, depth):
    out = {}
    while True:
        name = r.text(r.u16())
        if name == "" and r.pos < len(r.data) and r.data[r.pos] == OBJECT_END:
            r.pos += 1
            return out
        out[name] = _decode_value(r, depth + 1)


def decode_all(data):
    """All values of a body; raises AmfError on malformed input."""
    r = _Reader(bytes(data))
    values = []
    while r.pos < len(r.data):
        values.append(_decode_value(r, 0))
    return values


def try_decode_all(data):
    """(values, error text or None): the values decoded before any error."""
    r = _Reader(bytes(data))
    values = []
    try:
        while r.pos < len(r.data):
            values.append(_decode_value(r, 0))
    except AmfError as e:
        return values, str(e)
    return values, None
