"""Long runs: more than 4 GiB through one connection, and stream times past
0xFFFFFF and 2^32 ms.

The byte counters of the bytes-read reports are 32-bit on the wire: past
2^31 and 2^32 bytes the reports must keep coming every 614400 bytes or so,
carrying the low 32 bits, with no burst and no gap. Timestamps are 32-bit
too: an FLV tag stores the low 24 bits and the high byte apart, and a stream
that passes 2^32 ms wraps to 0.
"""

import os
import sys
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "server"))

from harness import flvtools  # noqa: E402
from test_hostile_server import HostileCase, run_measured  # noqa: E402
import fastmode  # noqa: E402

U32 = 1 << 32
REPORT_STEP = 614400
# A report goes out after the read that crossed the step: at most one read
# late. Generous, so that only a missed or extra report fails.
READ_SLACK = 1 << 20
LONG_TOTAL = 4_400_000_000


def unwrap(values):
    """Running totals of 32-bit counter values, and how often they wrapped."""
    out, wraps = [], 0
    for v in values:
        if out and v < out[-1] % U32:
            wraps += 1
        out.append(wraps * U32 + v)
    return out, wraps


class LongRun(HostileCase):
    def test_bytes_read_reports_past_4_gib(self):
        srv = self.server({"fast": {"total_bytes": LONG_TOTAL, "start_ts": 16000000, "reanchor": True},
                           "log_in": True, "log_out_bodies": False})
        t0 = time.monotonic()
        r, _ = run_measured(["-r", srv.url("vod/clip"), "-o", "/dev/null"], self.tmp, timeout=1500)
        elapsed = time.monotonic() - t0
        self.assert_clean_exit(r, 0, "4.4 GB to /dev/null")
        self.assertIn("Download complete", r.stderr)
        done = srv.wait_event("fast_done", timeout=30)
        end = srv.wait_event("end", timeout=30)
        self.assertGreaterEqual(done["bytes"], LONG_TOTAL)
        sys.stderr.write("\n%.1f GB in %.1f s\n" % (done["bytes"] / 1e9, elapsed))

        reports = [rec for rec in srv.client_messages(type=3) if "value" in rec]
        values = [rec["value"] for rec in reports]
        self.assertTrue(all(0 <= v < U32 for v in values))
        totals, wraps = unwrap(values)
        self.assertGreater(totals[-1], U32 + REPORT_STEP, "the reports did not pass 2^32 bytes")
        self.assertEqual(wraps, totals[-1] // U32)
        self.assertTrue(any(v >= 1 << 31 for v in values), "no report between 2^31 and 2^32")

        gaps = [b - a for a, b in zip([0] + totals, totals)]
        bad = [(i, g) for i, g in enumerate(gaps) if not REPORT_STEP <= g <= REPORT_STEP + READ_SLACK]
        self.assertEqual(bad, [], "reports not ~614400 bytes apart (index, gap)")
        # Each report counts about what the server had sent when it read the
        # report: the counter is neither ahead nor stale. The server counts a
        # block once all of it is sent, so the client may be up to a block ahead.
        lag = [rec["server_sent"] - t for rec, t in zip(reports, totals)]
        self.assertTrue(all(-READ_SLACK <= x < 64 << 20 for x in lag), "report lag %d..%d" % (min(lag), max(lag)))
        self.assertLessEqual(end["bytes_sent"] - totals[-1], REPORT_STEP + READ_SLACK)
        self.assertEqual(end["acks"], values)

    def test_timestamps_past_24_and_32_bits(self):
        """Stream times starting shortly before 0xFFFFFF or 2^32 ms, carried
        by deltas or by absolute extended timestamps, and deltas that are
        themselves extended: every tag time in the file is the stream time
        modulo 2^32, with its high byte."""
        cases = [  # (name, fast options, the times wrap)
            ("absolute times across 2^32", {"start_ts": U32 - 3000, "reanchor": True}, True),
            ("deltas across 2^32", {"start_ts": U32 - 3000}, True),
            ("deltas across 0xFFFFFF", {"start_ts": 0xFFFFFF - 3000}, False),
            ("absolute times across 0xFFFFFF", {"start_ts": 0xFFFFFF - 3000, "reanchor": True}, False),
            ("extended deltas of 2^24 ms", {"ts_step_ms": 1 << 24, "frames_per_block": 300}, True),
        ]
        for name, opts, wraps in cases:
            with self.subTest(name):
                cfg = dict({"total_bytes": 4_000_000, "video_size": 3000, "audio_size": 300}, **opts)
                srv = self.server({"fast": cfg})
                out = self.path("times-%d.flv" % srv._count)
                r, _ = run_measured(["-r", srv.url("vod/clip"), "-o", out], self.tmp, timeout=300)
                self.assert_clean_exit(r, 0, name)
                f = self.assert_whole_chain(out, name)
                done = srv.wait_event("fast_done", timeout=30)
                block = fastmode.block_messages(cfg)
                per_block = len(block) // 2
                step = cfg.get("ts_step_ms", 40)
                expected = []
                for k in range(done["frames"]):
                    for mtype, _, body in block[2 * (k % per_block):2 * (k % per_block) + 2]:
                        expected.append(flvtools.Tag(mtype, cfg.get("start_ts", 0) + k * step, body))
                self.assertIsNone(flvtools.compare_tags(expected, f.tags), name)
                times = [t.ts for t in f.tags]
                self.assertEqual(any(a > b for a, b in zip(times, times[1:])), wraps, name)
                self.assertTrue(any(t > 0xFFFFFF for t in times), name)


if __name__ == "__main__":
    unittest.main()
