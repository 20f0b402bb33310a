#!/usr/bin/env python3
"""Profiles one kavelo download and prints where the time goes.

  profile.py [--source nginx|ts128|ts60000] [--output file|null]
             [--tool perf|callgrind|strace] [--size-mb N]

perf samples user and kernel time (cpu-clock, so it works without hardware
counters); callgrind counts user-space instructions exactly and repeatably;
strace counts system calls. The stream and the release build are the ones
run.py makes; reports are left in bench/out/profile/.
"""
import argparse
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import run  # noqa: E402
import servers  # noqa: E402

PROFILE_DIR = os.path.join(run.OUT, "profile")


def start_source(source, src_path):
    if source == "nginx":
        return servers.NginxVod(run.VOD).start()
    return servers.TestServerFast(src_path, int(source[2:]), run.OUT).start()


def tool_argv(tool, tag):
    base = os.path.join(PROFILE_DIR, tag)
    if tool == "perf":
        return ["perf", "record", "-F", "4999", "-g", "-o", base + ".perf"], base + ".perf"
    if tool == "callgrind":
        return ["valgrind", "--tool=callgrind", "--callgrind-out-file=" + base + ".callgrind"], \
            base + ".callgrind"
    return ["strace", "-c", "-o", base + ".strace"], base + ".strace"


def report(tool, data):
    if tool == "perf":
        cmd = ["perf", "report", "-i", data, "--stdio", "--no-children", "--sort", "symbol",
               "-g", "none", "--percent-limit", "0.7"]
    elif tool == "callgrind":
        cmd = ["callgrind_annotate", "--inclusive=yes", data]
    else:
        cmd = ["cat", data]
    text = subprocess.run(cmd, capture_output=True, text=True).stdout
    lines = [ln for ln in text.splitlines() if ln.strip() and not ln.startswith("#")]
    return "\n".join(lines[:60])


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--source", default="ts128", choices=["nginx", "ts128", "ts60000"])
    parser.add_argument("--output", default="file", choices=["file", "null"])
    parser.add_argument("--tool", default="perf", choices=["perf", "callgrind", "strace"])
    parser.add_argument("--size-mb", type=int, default=1024)
    parser.add_argument("--stop", type=float, default=0,
                        help="stop after this many seconds of stream (callgrind is slow)")
    parser.add_argument("--kavelo", help="use this kavelo binary instead of building one")
    args = parser.parse_args()
    os.makedirs(PROFILE_DIR, exist_ok=True)
    kavelo, _ = run.build(args)
    src_path, name = run.stream(args.size_mb)
    tag = "%s-%s-%s" % (args.source, args.output, args.tool)
    out_path = os.path.join(run.OUT, "profile.flv") if args.output == "file" else "/dev/null"
    prefix, data = tool_argv(args.tool, tag)
    server = start_source(args.source, src_path)
    try:
        argv = prefix + run.kavelo_argv(kavelo, server.url(name + ".flv"), out_path)
        if args.stop > 0:
            argv += ["--stop", str(args.stop)]
        result = subprocess.run(argv, capture_output=True)
    finally:
        server.stop()
        if os.path.exists(out_path) and out_path != "/dev/null":
            os.remove(out_path)
    if result.returncode != 0:
        print(result.stderr.decode(errors="replace")[-2000:], file=sys.stderr)
        return 1
    print(report(args.tool, data))
    return 0


if __name__ == "__main__":
    sys.exit(main())
