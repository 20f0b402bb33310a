#!/usr/bin/env python3
"""Scripted RTMP server for the end-to-end tests (Python standard library only).

    python3 rtmp_test_server.py --port 0 --scenario FILE.json [--log LOG.jsonl]
                                [--flv FILE.flv] [--max-connections N]

Listens on 127.0.0.1, prints "PORT <n>" once listening, and serves one
connection after another as the scenario describes (see README.md) until it
is terminated or has served --max-connections connections.
"""

import argparse
import json
import os
import signal
import socket
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import clientlog  # noqa: E402
import fastmode  # noqa: E402
import session  # noqa: E402


def scenario_for(base, index):
    """The scenario of connection index: the base with the entry of
    "connections" for that index (the last entry for later ones) merged in."""
    sc = {k: v for k, v in base.items() if k != "connections"}
    conns = base.get("connections") or []
    if conns:
        sc.update(conns[min(index, len(conns) - 1)])
    return sc


def main(argv=None):
    ap = argparse.ArgumentParser(description="scripted RTMP test server")
    ap.add_argument("--port", type=int, default=0)
    ap.add_argument("--scenario", help="scenario JSON file (default: a plain play)")
    ap.add_argument("--log", help="JSON-lines log of the client's messages")
    ap.add_argument("--flv", help="FLV file to stream when the scenario names none")
    ap.add_argument("--max-connections", type=int, default=0, help="exit after N connections")
    ap.add_argument("--fast", action="store_true", help="stream --flv from pre-built chunks")
    ap.add_argument("--chunk-size", type=int, help="chunk size to announce and use")
    opts = ap.parse_args(argv)

    base = {}
    if opts.scenario:
        with open(opts.scenario, encoding="utf-8") as fh:
            base = json.load(fh)
    if opts.chunk_size:
        base["chunk_size"] = opts.chunk_size
    if opts.fast:
        base.setdefault("fast", {})
    fast = base.get("fast")
    if fast is not None:
        flv = fast.get("flv") or (opts.flv if opts.fast else None)
        if flv:
            cache_dir = os.path.dirname(os.path.abspath(opts.scenario or opts.log or flv))
            fast["cache"] = fastmode.build_file_cache(flv, base.get("chunk_size", 128), cache_dir)
    log = clientlog.Log(opts.log)

    # Terminated by pid from the tests: leave at once; the log is flushed per line.
    signal.signal(signal.SIGTERM, lambda *_: os._exit(0))

    srv = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    srv.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    srv.bind(("127.0.0.1", opts.port))
    srv.listen(8)
    print("PORT %d" % srv.getsockname()[1], flush=True)

    served = 0
    while opts.max_connections <= 0 or served < opts.max_connections:
        conn, _ = srv.accept()
        conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        session.Session(conn, scenario_for(base, served), log, served, opts).run()
        served += 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
