#!/usr/bin/env python3
"""Kavelo download benchmark: kavelo against the floor of its job.

One command measures, in one run:
  - the floor: the stream's bytes pulled through one plain TCP connection by
    a minimal reader (bench/floor_reader.cpp) into a file and into /dev/null;
  - kavelo downloading the same stream from nginx with its RTMP module (video
    on demand, chunk size 4096) and from the project's test server in fast
    mode (pre-built chunks, chunk sizes 128 and 60000), into a file and into
    /dev/null;
and prints wall time, throughput, CPU seconds per GB, peak resident memory,
peak heap (valgrind massif on a shorter stream) and the ratios to the floor,
as the median of several repetitions with their spread.

Everything it makes (builds, streams, outputs) lives under bench/out/ and in
build-bench/; streams are generated once and reused.
"""
import argparse
import filecmp
import os
import shutil
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)

import gen_flv  # noqa: E402
import measure  # noqa: E402
import servers  # noqa: E402
import table  # noqa: E402

OUT = os.path.join(HERE, "out")
VOD = os.path.join(OUT, "vod")
BUILD = os.path.join(ROOT, "build-bench")
RUN_TIMEOUT = 300
MASSIF_TIMEOUT = 600


def log(text):
    print(text, file=sys.stderr, flush=True)


def build(args):
    """Release build of kavelo and an optimised floor reader."""
    if args.kavelo:
        kavelo = os.path.abspath(args.kavelo)
    else:
        subprocess.run(["cmake", "-S", ROOT, "-B", BUILD, "-DCMAKE_BUILD_TYPE=Release",
                        "-DKAVELO_TESTS=OFF", "-DCMAKE_CXX_FLAGS="],
                       check=True, stdout=subprocess.DEVNULL)
        subprocess.run(["cmake", "--build", BUILD, "-j2", "--target", "kavelo"], check=True,
                       stdout=subprocess.DEVNULL)
        kavelo = os.path.join(BUILD, "kavelo")
    floor = os.path.join(OUT, "floor_reader")
    source = os.path.join(HERE, "floor_reader.cpp")
    if not os.path.exists(floor) or os.path.getmtime(floor) < os.path.getmtime(source):
        subprocess.run(["g++", "-std=c++17", "-O2", "-Wall", "-Wextra", "-Werror",
                        "-o", floor, source], check=True)
    return kavelo, floor


def stream(size_mb):
    """Path and play path of the generated stream of size_mb MiB (cached)."""
    name = "stream-%dm" % size_mb
    path = os.path.join(VOD, name + ".flv")
    if not os.path.exists(path):
        log("generating %s ..." % path)
        os.makedirs(VOD, exist_ok=True)
        gen_flv.generate(path, size_mb)
    return path, name


def kavelo_argv(kavelo, url, output):
    # The receive timeout only guards against a server that stops without
    # saying so; it never fires in a healthy run.
    return [kavelo, "-q", "-m", "30", "-r", url, "-o", output]


def run_case(case, rep, kavelo, floor, src_path, name, floor_buffer):
    out_path = os.path.join(OUT, "download.flv") if case.output == "file" else "/dev/null"
    if case.output == "file" and os.path.exists(out_path):
        os.remove(out_path)
    os.sync()
    if case.server is None:
        sender = servers.FloorSender(src_path).start()
        argv = [floor, str(sender.port), out_path, str(floor_buffer)]
        sample = measure.run_measured(argv, RUN_TIMEOUT)
        sender.stop()
    else:
        argv = kavelo_argv(kavelo, case.server.url(name + ".flv"), out_path)
        sample = measure.run_measured(argv, RUN_TIMEOUT, server_pid=case.server.pid)
    case.samples.append(sample)
    status = "exit %s" % sample.exit_code
    if case.output == "file":
        size = os.path.getsize(out_path) if os.path.exists(out_path) else -1
        if size != case.nbytes:
            case.note = "size %d" % size
            sample.exit_code = sample.exit_code if sample.exit_code else -1
        elif rep == 0 and not case.note:
            same = filecmp.cmp(out_path, src_path, shallow=False)
            case.note = "identical" if same else "differs"
            if not same:
                sample.exit_code = -1
        if os.path.exists(out_path):
            os.remove(out_path)
    log("  %-18s %-9s rep %d: %6.2f s, cpu %.2f s, rss %d KB, %s" % (
        case.source, case.output, rep + 1, sample.wall, sample.cpu, sample.maxrss_kb, status))
    if sample.exit_code != 0 and sample.stderr:
        log(sample.stderr.decode(errors="replace")[-2000:])


def massif(argv, out_file):
    cmd = ["valgrind", "--tool=massif", "--massif-out-file=" + out_file] + argv
    sample = measure.run_measured(cmd, MASSIF_TIMEOUT)
    if sample.exit_code != 0 or not os.path.exists(out_file):
        log("massif run failed: %s" % " ".join(argv))
        return None
    return measure.massif_peak(out_file)


def heap_profiles(cases, kavelo, floor, src_path, name, massif_mb, floor_buffer):
    """Peak heap of each source into /dev/null, over the first massif_mb MiB
    of the stream: kavelo stops by itself at the matching stream time, the
    floor sender sends only that many bytes."""
    nbytes = massif_mb << 20
    seconds = gen_flv.read_duration(src_path) * nbytes / os.path.getsize(src_path)
    done = {}
    for case in cases:
        key = case.source
        if key not in done:
            log("  massif: %s, %d MiB" % (key, massif_mb))
            out_file = os.path.join(OUT, "massif-%s.out" % key.replace(" ", "-"))
            if case.server is None:
                sender = servers.FloorSender(src_path, nbytes).start()
                done[key] = massif([floor, str(sender.port), "/dev/null", str(floor_buffer)],
                                   out_file)
                sender.stop()
            else:
                argv = kavelo_argv(kavelo, case.server.url(name + ".flv"), "/dev/null")
                done[key] = massif(argv + ["--stop", "%.1f" % seconds], out_file)
        case.heap_bytes = done[key]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--size-mb", type=int, help="stream size in MiB (1024)")
    parser.add_argument("--reps", type=int, help="repetitions per case (5)")
    parser.add_argument("--massif-mb", type=int,
                        help="MiB of the stream under the heap profile (50; 0 skips it)")
    parser.add_argument("--quick", action="store_true",
                        help="a short check: 100 MiB, 1 repetition, 10 MiB heap profile")
    parser.add_argument("--only", default="",
                        help="comma-separated sources to run: floor,nginx,ts128,ts60000 "
                             "(the default), and nginxtls (nginx behind stunnel, rtmps)")
    parser.add_argument("--floor-buffer", type=int, default=1 << 20,
                        help="the floor reader's read size in bytes (1 MiB, like kavelo's work "
                             "buffer; fewer, larger reads cost the kernel less per byte)")
    parser.add_argument("--kavelo", help="use this kavelo binary instead of building one")
    args = parser.parse_args()
    # --quick changes the defaults only; explicit values still win.
    defaults = (100, 1, 10) if args.quick else (1024, 5, 50)
    for name, value in zip(("size_mb", "reps", "massif_mb"), defaults):
        if getattr(args, name) is None:
            setattr(args, name, value)
    os.makedirs(OUT, exist_ok=True)
    started = time.monotonic()
    load_before = os.getloadavg()[0]

    kavelo, floor = build(args)
    src_path, name = stream(args.size_mb)
    nbytes = os.path.getsize(src_path)

    wanted = set(filter(None, args.only.split(","))) or {"floor", "nginx", "ts128", "ts60000"}
    sources = []
    running = []
    try:
        if "floor" in wanted:
            sources.append(("floor", None))
        if "nginx" in wanted:
            running.append(servers.NginxVod(VOD).start())
            sources.append(("nginx 4096", running[-1]))
        if "nginxtls" in wanted:
            running.append(servers.NginxTls(VOD, OUT).start())
            sources.append(("nginx rtmps", running[-1]))
        for size in (128, 60000):
            if "ts%d" % size in wanted:
                log("starting the test server, chunk size %d ..." % size)
                running.append(servers.TestServerFast(src_path, size, OUT).start())
                sources.append(("test server %d" % size, running[-1]))
        cases = []
        for source, server in sources:
            for output in ("file", "/dev/null"):
                case = table.CaseResult(source, output, nbytes)
                case.server = server
                cases.append(case)
        log("stream %s: %d bytes; %d repetitions" % (src_path, nbytes, args.reps))
        for rep in range(args.reps):
            for case in cases:
                run_case(case, rep, kavelo, floor, src_path, name, args.floor_buffer)
        if args.massif_mb > 0 and shutil.which("valgrind"):
            heap_profiles(cases, kavelo, floor, src_path, name, args.massif_mb, args.floor_buffer)
    finally:
        for server in running:
            server.stop()

    print()
    print("Stream: %d bytes (%s), %d repetitions; median (spread = (max-min)/median)."
          % (nbytes, os.path.basename(src_path), args.reps))
    print("MB = 10^6 bytes, GB = 10^9 bytes of FLV; peak heap from massif on a %d MiB stream;"
          " floor reads of %d bytes." % (args.massif_mb, args.floor_buffer))
    for line in table.render(cases):
        print(line)
    # Other work on the machine shows in wall times and spreads first.
    print("\nbenchmark took %.0f s; load average %.1f before, %.1f after (%d cores)"
          % (time.monotonic() - started, load_before, os.getloadavg()[0], os.cpu_count()))
    failed = [c for c in cases if not c.ok_samples()]
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
