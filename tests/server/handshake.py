"""Server side of the plain RTMP handshake, with the variants tests need.

C0 C1 (1 + 1536) arrive; the server answers S0 S1 S2 (1 + 1536 + 1536) and
reads C2 (1536).  S1 = time(4) version(4) filler; S2 = echo of C1.  The client
echoes S1 as C2 with bytes 4..7 replaced by its own time.
"""

import random
import struct

BLOCK = 1536
MODES = ("normal", "wrong_echo", "close_after_version", "close_after_block",
         "silent", "close")


def parse_variant(v):
    """(mode, version byte, hold seconds) from a scenario's handshake value."""
    if v is None:
        return "normal", 3, 600
    if isinstance(v, str):
        mode, version, hold = v, 3, 600
    else:
        mode, version, hold = v.get("mode", "normal"), v.get("version", 3), v.get("hold", 600)
    if mode not in MODES:
        raise ValueError("unknown handshake mode %r" % mode)
    return mode, version & 0xFF, hold


def server_block(seed=7):
    rnd = random.Random(seed)
    return struct.pack(">I", 1000) + bytes([3, 5, 1, 1]) + rnd.randbytes(BLOCK - 8)


def run(sess, variant):
    """True when the session goes on with the chunk stream."""
    mode, version, hold = parse_variant(variant)
    if mode == "close":
        sess.log_event("handshake", mode=mode)
        return False
    c0c1 = sess.recv_exact(1 + BLOCK)
    if c0c1 is None:
        sess.log_event("handshake", mode=mode, error="client closed before C0+C1")
        return False
    c1 = c0c1[1:]
    info = {"mode": mode, "c0": c0c1[0], "c1_time": struct.unpack(">I", c1[:4])[0],
            "c1_zero": c1[4:8].hex()}
    if mode == "silent":
        sess.log_event("handshake", **info)
        sess.hold(hold)
        return False
    s1 = server_block()
    if mode == "close_after_version":
        sess.send(bytes([version]))
        sess.log_event("handshake", **info)
        return False
    if mode == "close_after_block":
        sess.send(bytes([version]) + s1)
        sess.log_event("handshake", **info)
        return False
    s2 = bytes(c1)
    if mode == "wrong_echo":
        s2 = bytes(b ^ 0x5A for b in s2)
    sess.send(bytes([version]) + s1 + s2)
    c2 = sess.recv_exact(BLOCK)
    if c2 is None:
        info["error"] = "client closed before C2"
        sess.log_event("handshake", **info)
        return False
    info["c2_matches"] = c2[:4] == s1[:4] and c2[8:] == s1[8:]
    info["c2_time"] = struct.unpack(">I", c2[4:8])[0]
    sess.log_event("handshake", **info)
    return True
