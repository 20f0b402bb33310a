"""Media of a play: which tags of the source go out, with which times, and
how they are chunked, paced and cut."""

import json
import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
import flvtools  # noqa: E402

import amf0  # noqa: E402
import messages as M  # noqa: E402

U32 = 0xFFFFFFFF
DEFAULT_CSID = {"audio": 4, "video": 6, "data": 5, "aggregate": 6}
_cache = {}


def load_tags(s, cfg):
    if "synthetic" in cfg:
        key = "synthetic:" + json.dumps(cfg["synthetic"], sort_keys=True)
        if key not in _cache:
            _cache[key] = flvtools.parse(flvtools.generate(**cfg["synthetic"])).tags
        return _cache[key]
    path = cfg.get("flv") or s.options.flv
    if not path:
        return []
    st = os.stat(path)
    key = "file:%s:%d:%d" % (os.path.abspath(path), st.st_size, st.st_mtime_ns)
    if key not in _cache:
        _cache[key] = flvtools.read(path).tags
    return _cache[key]


def _is_metadata(tag):
    if tag.type != flvtools.SCRIPT:
        return False
    vals, _ = amf0.try_decode_all(tag.data[:64])
    return bool(vals) and vals[0] == "onMetaData"


def _start_index(media_tags, start, mode):
    """Index of the first tag to send for a play from start ms."""
    if mode in ("none", "restart") or not media_tags:
        return 0
    keys = [i for i, t in enumerate(media_tags) if t.is_keyframe]
    if not keys:  # audio only: any audio tag with frames is a starting point
        keys = [i for i, t in enumerate(media_tags)
                if t.type == flvtools.AUDIO and flvtools.classify(t.type, t.data) == "frame"]
    if not keys or start <= 0:
        return 0
    if mode == "after":
        later = [i for i in keys if media_tags[i].ts > start]
        return later[0] if later else len(media_tags)
    if mode == "at_or_after":
        later = [i for i in keys if media_tags[i].ts >= start]
        return later[0] if later else len(media_tags)
    before = [i for i in keys if media_tags[i].ts <= start]
    return before[-1] if before else keys[0]


# Codec configurations a live server keeps for late joiners: an AVC sequence
# header (High profile avcC with one SPS and one PPS) and an AAC-LC one.
AVC_SEQUENCE_HEADER = bytes.fromhex("17 00 000000 01 64 00 1f ff e1 0004 6764001f 01 0004 68ee3c80")
AAC_SEQUENCE_HEADER = bytes.fromhex("af001210")


def _metadata_body(meta, cfg):
    body = _plain_metadata_body(meta, cfg)
    # The form encoders publish and some servers forward unchanged.
    if body is not None and cfg.get("metadata_form", "plain") == "set_data_frame":
        body = amf0.encode("@setDataFrame") + body
    return body


def _plain_metadata_body(meta, cfg):
    if "metadata_body_hex" in cfg:
        return bytes.fromhex(cfg["metadata_body_hex"])
    if meta is None:
        return None
    if cfg.get("metadata_override"):
        value = flvtools.metadata_of([meta]) or {}
        value.update(cfg["metadata_override"])
        return flvtools.script_body("onMetaData", amf0.typed("ecma_array", value))
    return meta.data


def plan(tags, cfg, play):
    """List of (type, ts, body) messages of the play."""
    start = (play or {}).get("start") or 0
    length = (play or {}).get("length") or 0
    live = cfg.get("live", start == -1000 or start == -1000.0)
    offset = cfg.get("time_offset", 0)
    meta = next((t for t in tags if _is_metadata(t)), None)
    media_tags = [t for t in tags if t is not meta]
    first = 0 if live else _start_index(media_tags, start, cfg.get("seek", "at_or_before"))
    # A live server's cache for a newcomer: from the last keyframe at or
    # before media message N.
    if live and cfg.get("live_from"):
        keys = [i for i, t in enumerate(media_tags[:cfg["live_from"] + 1]) if t.is_keyframe]
        first = keys[-1] if keys else 0
    chosen = media_tags[first:]
    base_time = chosen[0].ts if chosen else 0
    relative = not live and cfg.get("model", "relative") == "relative"
    shift = base_time if relative else 0
    # A server that cannot seek: the stream from its start, stamped from S on.
    if not live and not relative and cfg.get("seek") == "restart" and start > 0:
        shift = -int(start)
    out = []
    body = _metadata_body(meta, cfg)
    if body is not None and cfg.get("metadata", "first") == "first":
        out.append((M.NOTIFY, 0, body))
    # A late joiner's cached sequence headers: at time 0, whatever the offset.
    if cfg.get("sequence_headers"):
        out.append((M.VIDEO, 0, AVC_SEQUENCE_HEADER))
        out.append((M.AUDIO, 0, AAC_SEQUENCE_HEADER))
    for t in chosen:
        if length > 0 and not live and t.ts - base_time > length:
            break
        mtype = M.NOTIFY if t.type == flvtools.SCRIPT else t.type
        out.append((mtype, (max(t.ts - shift, 0) + offset) & U32, t.data))
    n = cfg.get("aggregate", 0)
    if n:
        out = _aggregate(out, n, shift, offset, cfg.get("aggregate_inner", "absolute"))
    return out


def _aggregate(msgs, n, shift, offset, inner):
    """Pack runs of n audio/video messages into FLV data messages.  Inner tag
    times are the file's own ("absolute") or the message times ("relative")."""
    out = []
    run = []

    def flush():
        if run:
            tags = []
            for mtype, ts, body in run:
                t = ts if inner == "relative" else (ts - offset + shift) & U32
                tags.append(flvtools.Tag(mtype, t, body).to_bytes())
            out.append((M.AGGREGATE, run[0][1], b"".join(tags)))
            run.clear()
    for m in msgs:
        if m[0] in (M.AUDIO, M.VIDEO):
            run.append(m)
            if len(run) == n:
                flush()
        else:
            flush()
            out.append(m)
    flush()
    return out


def _csid(cfg, mtype):
    table = dict(DEFAULT_CSID)
    table.update(cfg.get("csid", {}))
    name = {M.AUDIO: "audio", M.VIDEO: "video", M.NOTIFY: "data", M.AGGREGATE: "aggregate"}[mtype]
    return table[name]


def run(s, cfg):
    import steps
    msgs = plan(load_tags(s, cfg), cfg, s.play)
    msid = cfg.get("msid", s.stream_id)
    inject = {}
    for item in cfg.get("inject", []):
        inject.setdefault(item["at"], []).extend(item["steps"])
    max_messages = cfg.get("max_messages")
    pace = cfg.get("pace_ms", 0) / 1000.0
    log_bodies = s.sc.get("log_out_bodies", True)
    i = 0
    while i < len(msgs):
        if i in inject:
            steps.run_script(s, inject.pop(i))
        if max_messages is not None and i >= max_messages:
            if cfg.get("cut_bytes") is not None:
                mtype, ts, body = msgs[i]
                data = s.writer.message(_csid(cfg, mtype), mtype, msid, ts, body)
                s.send(data[:cfg["cut_bytes"]])
                s.log_event("cut", index=i, sent=cfg["cut_bytes"], of=len(data))
            break
        group = [msgs[i]]
        if (cfg.get("interleave") and i + 1 < len(msgs) and i + 1 not in inject
                and _csid(cfg, msgs[i + 1][0]) != _csid(cfg, msgs[i][0])
                and (max_messages is None or i + 1 < max_messages)):
            group.append(msgs[i + 1])
        for m in _send_group(s, cfg, group, msid):
            rec = {"dir": "out", "conn": s.conn, "type": m[0], "ts": m[1], "len": len(m[2]),
                   "csid": _csid(cfg, m[0])}
            if log_bodies:
                rec["body"] = m[2].hex()
            s.log.write(rec)
        i += len(group)
        if pace:
            time.sleep(pace)
    for at in sorted(inject):
        steps.run_script(s, inject[at])


def _send_group(s, cfg, group, msid):
    """Send one message, or two interleaved chunk by chunk; returns them in
    the order the client completes them."""
    lists = [s.writer.chunks(_csid(cfg, m[0]), m[0], msid, m[1], m[2]) for m in group]
    if len(lists) == 1:
        s.send(b"".join(lists[0]))
        return group
    a, b = lists
    data = bytearray()
    done = []
    for k in range(max(len(a), len(b))):
        if k < len(a):
            data += a[k]
            if k == len(a) - 1:
                done.append(group[0])
        if k < len(b):
            data += b[k]
            if k == len(b) - 1:
                done.append(group[1])
    s.send(bytes(data))
    return done
