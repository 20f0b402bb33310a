"""Script steps of a session: answers to the client's commands, control
messages, hostile raw sends, and the hand-off to media and stream end."""

import json
import math
import time

import amf0
import media
import messages as M


class EndSession(Exception):
    """Raised by a step that ends the connection (close, reset, failed wait)."""


DEFAULT_SCRIPT = [
    {"op": "wait", "command": "connect"},
    {"op": "answer_connect"},
    {"op": "wait", "command": "createStream"},
    {"op": "answer_createStream"},
    {"op": "wait", "command": "play"},
    {"op": "answer_play"},
    {"op": "media"},
    {"op": "end"},
]
FAST_SCRIPT = DEFAULT_SCRIPT[:6] + [{"op": "fast"}, {"op": "end"}]


def run_script(s, script):
    for st in script:
        if isinstance(st, str):
            st = {"op": st}
        op = st.get("op")
        fn = OPS.get(op)
        if fn is None:
            raise EndSession("unknown step %r" % op)
        fn(s, st)
        if s.sock_closed:
            raise EndSession("closed by step %s" % op)


def _end(reason):
    return EndSession(reason)


def _current_txn(s):
    amf = (s.current or {}).get("amf") or []
    if len(amf) > 1 and isinstance(amf[1], (int, float)):
        return float(amf[1])
    return 0.0


def _number(v):
    """A scenario number: plain numbers, or "NaN"/"Infinity" texts."""
    if isinstance(v, str):
        return amf0.typed("number", v)
    return v


def _play_args(rec):
    amf = rec.get("amf") or []

    def num(i):
        return amf[i] if len(amf) > i and isinstance(amf[i], (int, float)) else None
    return {"path": amf[3] if len(amf) > 3 else None, "start": num(4), "length": num(5)}


def op_wait(s, st):
    rec = s.wait_command(st.get("command"), st.get("timeout", s.sc.get("wait_timeout", 30)))
    if rec is None:
        raise _end("no %s from the client" % st.get("command", "command"))
    s.current = rec
    if rec.get("name") == "play":
        s.play = _play_args(rec)
    if st.get("then"):
        run_script(s, st["then"])


def op_wait_message(s, st):
    """Waits for a client message of any kind, e.g. {"type": 4, "ping_type": 7}."""
    match = st.get("match", {})
    rec = s.wait_message(match, st.get("timeout", s.sc.get("wait_timeout", 30)))
    if rec is None:
        s.log_event("wait_failed", match=match)
        if st.get("required", True):
            raise _end("no client message matching %s" % json.dumps(match))


def _merged(s, key, st):
    cfg = dict(s.sc.get(key) or {})
    cfg.update({k: v for k, v in st.items() if k != "op"})
    return cfg


def _reply_other(s, reply):
    if reply in ("close", "reset"):
        s.close(reset=(reply == "reset"))
        raise _end("%s instead of an answer" % reply)
    if reply != "none":
        raise _end("unknown reply %r" % reply)


def _send_cmd(s, body, csid=M.CSID_COMMAND, msid=0):
    s.send_message(csid, M.INVOKE, msid, 0, body)


def _answer(s, st, command, default_reply, answers, before_reply=None):
    """The scenario's answer to the client's `command`: its "before" steps,
    `before_reply(s)` when given, the reply (one of `answers`, or "close",
    "reset" or "none"), then its "after" steps."""
    cfg = _merged(s, command, st)
    run_script(s, cfg.get("before", []))
    if before_reply is not None:
        before_reply(s)
    reply = cfg.get("reply", default_reply)
    answer = answers.get(reply) if isinstance(reply, str) else None
    if answer is not None:
        answer(s, cfg)
    else:
        _reply_other(s, reply)
    run_script(s, cfg.get("after", []))


def _error_reply(code, description):
    """An error answer; the scenario may give its own code and description."""
    return lambda s, cfg: _send_cmd(s, M.error_reply(_current_txn(s), cfg.get("code", code),
                                                     cfg.get("description", description)))


def _refusing(answer):
    """A play answer after which no media goes out unless a step forces it."""
    def refuse(s, cfg):
        s.refused = True
        answer(s, cfg)
    return refuse


def _chunk_size_at(s, point):
    """The scenario's chunk size, announced when its point (connect by
    default) comes."""
    if s.sc.get("chunk_size") and s.sc.get("chunk_size_at", "connect") == point:
        op_chunk_size(s, {"size": s.sc["chunk_size"]})


def _connect_result(s, cfg):
    if cfg.get("window_ack", 2500000) is not None:
        s.send_message(M.CSID_CONTROL, M.WINDOW_ACK, 0, 0, M.window_ack(cfg.get("window_ack", 2500000)))
    if cfg.get("peer_bw", 2500000) is not None:
        s.send_message(M.CSID_CONTROL, M.PEER_BW, 0, 0, M.peer_bw(cfg.get("peer_bw", 2500000)))
    _chunk_size_at(s, "connect")
    _send_cmd(s, M.connect_result(_current_txn(s), cfg.get("properties"), cfg.get("information")))
    if cfg.get("bwdone"):
        _send_cmd(s, M.invoke("onBWDone", 0.0, None))


def op_answer_connect(s, st):
    _answer(s, st, "connect", "result", {
        "result": _connect_result,
        "error": _error_reply("NetConnection.Connect.Rejected", "Connection rejected.")})


def _create_stream_result(s, cfg):
    sid = cfg.get("stream_id", 1)
    n = sid if isinstance(sid, (int, float)) else float("nan")
    s.stream_id = int(n) if math.isfinite(n) and 0 <= n < 2 ** 32 else 1
    _send_cmd(s, M.invoke("_result", _current_txn(s), None, _number(sid)))


def op_answer_create_stream(s, st):
    _answer(s, st, "createStream", "result", {
        "result": _create_stream_result,
        "error": _error_reply("NetConnection.Call.Failed", "createStream refused.")})


def _play_start(s, cfg):
    if cfg.get("stream_begin", True):
        s.send_message(M.CSID_CONTROL, M.USER_CONTROL, 0, 0, M.user_control(0, s.stream_id))
    for code in cfg.get("codes", ["NetStream.Play.Reset", "NetStream.Play.Start"]):
        op_status(s, {"code": code})


def _play_status(s, cfg):
    op_status(s, {"code": cfg.get("code", "NetStream.Play.StreamNotFound"),
                  "level": cfg.get("level", "error"), "description": cfg.get("description")})


def op_answer_play(s, st):
    _answer(s, st, "play", "start", {
        "start": _play_start,
        "status": _refusing(_play_status),
        "error": _refusing(_error_reply("NetStream.Play.Failed", "play refused."))},
        before_reply=lambda s: _chunk_size_at(s, "play"))


def op_end(s, st):
    if s.refused and not st.get("force"):
        return
    action = st.get("action", s.sc.get("end", "stop"))
    for a in (action if isinstance(action, list) else [action]):
        if a == "stop":
            op_status(s, {"code": "NetStream.Play.Stop"})
        elif a == "complete":
            op_status(s, {"code": "NetStream.Play.Complete"})
        elif a == "close_request":
            _send_cmd(s, M.invoke("close", 0.0, None))
        elif a == "reconnect_request":
            op_reconnect_request(s, {})
        elif a in ("close", "reset"):
            s.close(reset=(a == "reset"))
            raise _end("stream ended by %s" % a)
        elif a != "none":
            raise _end("unknown end action %r" % a)


def _send_command_step(s, st, body, csid, msid):
    """A command body as the step says: on its chunk stream, message stream
    and time, or those given; with "flex", as the AMF3 command message that
    carries it behind a version byte."""
    mtype = M.INVOKE
    if st.get("flex"):
        body = bytes([st.get("flex_version", 0)]) + body
        mtype = M.FLEX_MESSAGE
    s.send_message(st.get("csid", csid), mtype, st.get("msid", msid), st.get("ts", 0), body)


def op_status(s, st):
    body = M.on_status(st["code"], st.get("level", "status"), st.get("description"), st.get("extra"))
    _send_command_step(s, st, body, M.CSID_STATUS, s.stream_id)


def op_result(s, st):
    txn = st.get("txn", _current_txn(s))
    _send_cmd(s, M.invoke("_result", _number(txn), *[_number(v) for v in st.get("values", [None])]))


def op_error(s, st):
    _send_cmd(s, M.error_reply(_number(st.get("txn", _current_txn(s))), st.get("code", "NetConnection.Call.Failed"),
                               st.get("description", "refused")))


def op_invoke(s, st):
    body = M.invoke(st["name"], _number(st.get("txn", 0.0)), *[_number(v) for v in st.get("args", [None])])
    _send_command_step(s, st, body, M.CSID_COMMAND, 0)


def op_notify(s, st):
    body = b"".join(amf0.encode(_number(v)) for v in st.get("values", []))
    s.send_message(st.get("csid", M.CSID_STATUS), M.NOTIFY, st.get("msid", s.stream_id), st.get("ts", 0), body)


def op_chunk_size(s, st):
    n = st["size"]
    s.send_message(M.CSID_CONTROL, M.SET_CHUNK_SIZE, 0, 0, M.chunk_size(n))
    # A size the protocol cannot use (0, negative) is only announced.
    if st.get("apply", True) and 0 < n <= 0x7FFFFFFF:
        s.writer.chunk_size = n


def op_window_ack(s, st):
    s.send_message(M.CSID_CONTROL, M.WINDOW_ACK, 0, 0, M.window_ack(st.get("size", 2500000)))


def op_peer_bw(s, st):
    s.send_message(M.CSID_CONTROL, M.PEER_BW, 0, 0, M.peer_bw(st.get("size", 2500000), st.get("limit", 2)))


def op_ping(s, st):
    if "body_hex" in st:
        body = bytes.fromhex(st["body_hex"])
    else:
        body = M.user_control(st.get("type", 6), *st.get("values", [st.get("value", 0)]))
    s.send_message(M.CSID_CONTROL, M.USER_CONTROL, 0, st.get("ts", 0), body)


def op_stream_eof(s, st):
    """User control StreamEOF (event 1) for the play stream, or stream_id:
    what nginx sends alone when a live publisher stops."""
    s.send_message(M.CSID_CONTROL, M.USER_CONTROL, 0, st.get("ts", 0),
                   M.user_control(1, st.get("stream_id", s.stream_id)))


def op_reconnect_request(s, st):
    """Enhanced RTMP's request to connect again (to tc_url when given) as a
    NetConnection onStatus; then the connection ends when the client closes
    it or after linger seconds."""
    cfg = _merged(s, "reconnect", st)
    extra = {"tcUrl": cfg["tc_url"]} if cfg.get("tc_url") is not None else None
    body = M.on_status("NetConnection.Connect.ReconnectRequest", "status",
                       cfg.get("description", "The server asks the client to reconnect."), extra)
    s.send_message(M.CSID_COMMAND, M.INVOKE, 0, 0, body)
    s.wait_client_close(cfg.get("linger", 2))
    s.close()
    raise _end("reconnect request")


def op_bwcheck(s, st):
    op_invoke(s, {"name": "_onbwcheck", "txn": st.get("txn", 0.0), "args": st.get("args", [None])})


def op_bwdone(s, st):
    op_invoke(s, {"name": "onBWDone", "txn": st.get("txn", 0.0), "args": st.get("args", [None])})


def op_close_request(s, st):
    op_invoke(s, {"name": "close", "txn": 0.0, "args": [None]})


def fill_bytes(size, head=b""):
    """size bytes: head, then a repeating pattern that tests rebuild to
    compare; for big bodies that would be unwieldy as hex in a scenario."""
    pattern = bytes((i * 131 + 7) & 0xFF for i in range(256))
    n = max(size - len(head), 0)
    return (head + pattern * (n // 256 + 1))[:max(size, len(head))]


def _body_of(st):
    if "fill" in st:
        return fill_bytes(st["fill"]["size"], bytes.fromhex(st["fill"].get("head_hex", "")))
    if "body_amf" in st:
        return amf0.encode_all(_number(v) for v in st["body_amf"])
    return bytes.fromhex(st.get("body_hex", ""))


def op_message(s, st):
    """Any message; size may claim more than the body holds, send_bytes cuts
    the chunk bytes after that many bytes (the connection is then unusable)."""
    body = _body_of(st)
    data = s.writer.message(st.get("csid", 3), st.get("type", M.INVOKE), st.get("msid", 0),
                            st.get("ts", 0), body, fmt=st.get("fmt"), field=st.get("field"),
                            size=st.get("size"))
    if "send_bytes" in st:
        data = data[:st["send_bytes"]]
    s.send(data)


def op_raw(s, st):
    s.send(bytes.fromhex(st["hex"]))


def op_nested(s, st):
    """A body nesting depth AMF0 containers, behind a prefix of plain values."""
    mtype = st.get("type", M.INVOKE)
    prefix = st.get("prefix", ["onMetaData"] if mtype == M.NOTIFY else ["onStatus", 0.0])
    body = amf0.encode_all(prefix) + amf0.nested_objects(st.get("depth", 100000), st.get("kind", "object"))
    if mtype == M.FLEX_MESSAGE:
        body = b"\x00" + body
    s.send_message(st.get("csid", 3), mtype, st.get("msid", 0), st.get("ts", 0), body)


def op_sleep(s, st):
    time.sleep(st.get("seconds", 1))


def op_close(s, st):
    s.close()
    raise _end("close step")


def op_reset(s, st):
    s.close(reset=True)
    raise _end("reset step")


def op_hold(s, st):
    s.wait_client_close(st.get("seconds", 600))


def op_media(s, st):
    # A refused play streams nothing unless the step insists.
    if s.refused and not st.get("force"):
        return
    media.run(s, _merged(s, "media", st))


def op_fast(s, st):
    import fastmode  # imports this module
    fastmode.run(s, _merged(s, "fast", st))


OPS = {
    "wait": op_wait, "wait_message": op_wait_message, "answer_connect": op_answer_connect,
    "answer_createStream": op_answer_create_stream, "answer_play": op_answer_play,
    "media": op_media, "fast": op_fast, "end": op_end, "status": op_status,
    "result": op_result, "error": op_error, "invoke": op_invoke, "notify": op_notify,
    "chunk_size": op_chunk_size, "window_ack": op_window_ack, "peer_bw": op_peer_bw,
    "ping": op_ping, "stream_eof": op_stream_eof, "bwcheck": op_bwcheck, "bwdone": op_bwdone,
    "close_request": op_close_request, "reconnect_request": op_reconnect_request, "message": op_message, "raw": op_raw,
    "nested": op_nested, "sleep": op_sleep, "close": op_close, "reset": op_reset,
    "hold": op_hold,
}
