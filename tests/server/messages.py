"""Bodies of the messages the test server sends."""

import struct

import amf0

# Message types
SET_CHUNK_SIZE, ABORT, ACK, USER_CONTROL, WINDOW_ACK, PEER_BW = 1, 2, 3, 4, 5, 6
AUDIO, VIDEO, FLEX_MESSAGE, NOTIFY, INVOKE, AGGREGATE = 8, 9, 17, 18, 20, 22

# Chunk streams the server uses for its own messages.
CSID_CONTROL, CSID_COMMAND, CSID_STATUS = 2, 3, 5


def s32_or_u32(n):
    """Four bytes of n: negative values as two's complement."""
    return struct.pack(">i", n) if n < 0 else struct.pack(">I", n & 0xFFFFFFFF)


def chunk_size(n):
    return s32_or_u32(n)


def window_ack(n):
    return s32_or_u32(n)


def peer_bw(n, limit=2):
    return s32_or_u32(n) + bytes([limit & 0xFF])


def user_control(ctype, *values):
    return struct.pack(">H", ctype & 0xFFFF) + b"".join(s32_or_u32(v) for v in values)


def invoke(name, txn, *args):
    return amf0.encode(name) + amf0.encode(txn) + b"".join(amf0.encode(a) for a in args)


def status_info(code, level="status", description=None, extra=None):
    info = {"level": level, "code": code,
            "description": description if description is not None else code}
    if extra:
        info.update(extra)
    return info


def on_status(code, level="status", description=None, extra=None):
    return invoke("onStatus", 0.0, None, status_info(code, level, description, extra))


def connect_result(txn, props=None, info=None):
    props = props if props is not None else {"fmsVer": "FMS/3,5,7,7009", "capabilities": 31.0}
    info = info if info is not None else {
        "level": "status", "code": "NetConnection.Connect.Success",
        "description": "Connection succeeded.", "objectEncoding": 0.0}
    return invoke("_result", txn, props, info)


def error_reply(txn, code, description, level="error"):
    return invoke("_error", txn, None, status_info(code, level, description))
