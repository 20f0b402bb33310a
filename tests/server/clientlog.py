"""JSON-lines log of what the client sends (and of the server's own events)."""

import json
import struct
import threading
import time

import amf0


class Log:
    def __init__(self, path):
        self.fh = open(path, "a", encoding="utf-8") if path else None
        self.lock = threading.Lock()
        self.t0 = time.monotonic()

    def write(self, record):
        if self.fh is None:
            return
        record.setdefault("t", round(time.monotonic() - self.t0, 4))
        line = json.dumps(record, allow_nan=False)
        with self.lock:
            self.fh.write(line + "\n")
            self.fh.flush()


def describe(msg):
    """The log record of one client message (see README for the fields)."""
    body = msg["body"]
    rec = {"dir": "in", "csid": msg["csid"], "fmts": msg["fmts"], "type": msg["type"],
           "msid": msg["msid"], "ts": msg["ts"], "ts_field": msg["ts_field"],
           "ext": msg["ext"], "len": len(body), "body": body.hex()}
    mtype = msg["type"]
    amf_body = None
    if mtype in (20, 18):
        amf_body = body
    elif mtype == 17:
        rec["flex_version"] = body[0] if body else None
        amf_body = body[1:]
    if amf_body is not None:
        values, err = amf0.try_decode_all(amf_body)
        rec["amf"] = values
        if err:
            rec["amf_error"] = err
        if values and isinstance(values[0], str):
            rec["name"] = values[0]
    elif mtype in (3, 5) and len(body) >= 4:
        rec["value"] = struct.unpack(">I", body[:4])[0]
    elif mtype == 6 and len(body) >= 4:
        rec["value"] = struct.unpack(">I", body[:4])[0]
        rec["limit"] = body[4] if len(body) > 4 else None
    elif mtype == 1 and len(body) >= 4:
        rec["value"] = struct.unpack(">i", body[:4])[0]
    elif mtype == 4 and len(body) >= 2:
        rec["ping_type"] = struct.unpack(">H", body[:2])[0]
        rec["ping_values"] = [struct.unpack(">I", body[i:i + 4])[0]
                              for i in range(2, len(body) - 3, 4)]
    return rec
