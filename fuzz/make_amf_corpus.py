#!/usr/bin/env python3
"""Writes the seed corpus of fuzz_amf: message bodies as servers send them.

Each file starts with the mode byte of the target (bit 0: values carry
names; bit 1: also read the body as an AMF3 object; bit 2: with its 0x0A).
Run from anywhere; the files land in fuzz/corpus/amf/.
"""
import os
import struct

OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus", "amf")


def name(s):
    b = s.encode()
    return struct.pack(">H", len(b)) + b


def num(v):
    return b"\x00" + struct.pack(">d", v)


def boolean(v):
    return b"\x01" + (b"\x01" if v else b"\x00")


def string(s):
    return b"\x02" + name(s)


def long_string(s):
    b = s.encode()
    return b"\x0c" + struct.pack(">I", len(b)) + b


def null():
    return b"\x05"


def date(ms, tz):
    return b"\x0b" + struct.pack(">dh", ms, tz)


def members(pairs):
    return b"".join(name(k) + v for k, v in pairs) + b"\x00\x00\x09"


def obj(pairs):
    return b"\x03" + members(pairs)


def ecma(pairs, count=None):
    return b"\x08" + struct.pack(">I", len(pairs) if count is None else count) + members(pairs)


def strict(values):
    return b"\x0a" + struct.pack(">I", len(values)) + b"".join(values)


def u29(v):
    v &= 0x1FFFFFFF
    if v < 0x80:
        return bytes([v])
    if v < 0x4000:
        return bytes([(v >> 7) | 0x80, v & 0x7F])
    if v < 0x200000:
        return bytes([(v >> 14) | 0x80, ((v >> 7) & 0x7F) | 0x80, v & 0x7F])
    return bytes([(v >> 22) | 0x80, ((v >> 15) & 0x7F) | 0x80, ((v >> 8) & 0x7F) | 0x80, v & 0xFF])


def s3(s):
    b = s.encode()
    return u29((len(b) << 1) | 1) + b


CONNECT_RESULT = (
    string("_result") + num(1) +
    obj([("fmsVer", string("FMS/3,5,7,7009")), ("capabilities", num(31)), ("mode", num(1))]) +
    obj([("level", string("status")), ("code", string("NetConnection.Connect.Success")),
         ("description", string("Connection succeeded.")), ("objectEncoding", num(0)),
         ("data", ecma([("version", string("3,5,7,7009"))]))]))

ON_STATUS = (
    string("onStatus") + num(0) + null() +
    obj([("level", string("status")), ("code", string("NetStream.Play.Start")),
         ("description", string("Started playing live.")), ("details", string("live")),
         ("clientid", string("ASAI4A"))]))

ON_METADATA = (
    string("onMetaData") +
    ecma([("duration", num(30.04)), ("width", num(640)), ("height", num(360)),
          ("videodatarate", num(500)), ("framerate", num(25)), ("videocodecid", num(7)),
          ("audiosamplerate", num(44100)), ("audiocodecid", num(10)), ("stereo", boolean(True)),
          ("canSeekToEnd", boolean(False)), ("creationdate", date(1.5e12, -60)),
          ("encoder", string("Lavf")), ("comment", long_string("seed")),
          ("keyframes", obj([("filepositions", strict([num(1024), num(80211), num(160734)])),
                             ("times", strict([num(0), num(2.0), num(4.0)]))])),
          ("trackinfo", strict([obj([("length", num(751000)), ("timescale", num(25000)),
                                     ("language", string("und")),
                                     ("sampledescription", strict([obj([("sampletype", string("avc1"))])]))]),
                                obj([("length", num(1324000)), ("timescale", num(44100))])]))],
         count=10))

# onMetaData carried as AMF3: a dynamic anonymous object holding every AMF3
# value kind, a nested object, and a sealed class with a dynamic tail.
AMF3_OBJECT = (
    b"\x0a" + u29(0x0B) + s3("") +
    s3("duration") + b"\x05" + struct.pack(">d", 12.5) +
    s3("width") + b"\x04" + u29(640) +
    s3("negative") + b"\x04" + u29(-5) +
    s3("encoder") + b"\x06" + s3("kavelo") +
    s3("again") + b"\x06" + u29(0) +
    s3("stereo") + b"\x03" + s3("mono") + b"\x02" + s3("none") + b"\x01" +
    s3("undef") + b"\x00" + s3("xml") + b"\x0b" + s3("<a/>") +
    s3("created") + b"\x08" + u29(1) + struct.pack(">d", 1.5e12) +
    s3("track") + b"\x0a" + u29((2 << 4) | 0x08 | 0x03) + s3("flash.Track") + s3("id") + s3("lang") +
    b"\x04" + u29(1) + b"\x06" + s3("und") + s3("extra") + b"\x03" + s3("") +
    s3("ref") + b"\x0a" + u29(2) +
    s3("") )
AMF3_BODY = string("onMetaData") + b"\x11" + AMF3_OBJECT

SEEDS = {
    "connect_result": b"\x00" + CONNECT_RESULT,
    "onstatus": b"\x00" + ON_STATUS,
    "onmetadata": b"\x00" + ON_METADATA,
    "amf3_object": b"\x00" + AMF3_BODY,
    "amf3_direct": b"\x06" + AMF3_OBJECT,
    # The members of the metadata array as a named sequence.
    "metadata_members": b"\x01" + ON_METADATA[len(string("onMetaData")) + 5:],
}


def main():
    os.makedirs(OUT, exist_ok=True)
    for file_name, data in SEEDS.items():
        with open(os.path.join(OUT, file_name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
