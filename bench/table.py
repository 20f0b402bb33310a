"""Renders the benchmark's results as a text table (also valid Markdown)."""
from measure import summary

MB = 1e6
GB = 1e9


class CaseResult:
    """All repetitions of one case (a source and an output kind)."""

    def __init__(self, source, output, nbytes):
        self.source = source
        self.output = output
        self.nbytes = nbytes
        self.samples = []
        self.heap_bytes = None
        self.note = ""

    def ok_samples(self):
        return [s for s in self.samples if s.exit_code == 0]

    def stats(self):
        """Medians and spreads, or None when no repetition succeeded."""
        good = self.ok_samples()
        if not good:
            return None
        wall, wall_spread = summary([s.wall for s in good])
        cpu, cpu_spread = summary([s.cpu for s in good])
        rss, _ = summary([s.maxrss_kb for s in good])
        busy = [s.server_cpu / s.wall for s in good if s.server_cpu is not None and s.wall > 0]
        return {
            "wall": wall, "wall_spread": wall_spread,
            "mbps": self.nbytes / wall / MB,
            "cpu_gb": cpu / (self.nbytes / GB), "cpu_spread": cpu_spread,
            "user_gb": summary([s.user for s in good])[0] / (self.nbytes / GB),
            "sys_gb": summary([s.sys for s in good])[0] / (self.nbytes / GB),
            "rss_mb": rss * 1024 / MB,
            "server_busy": summary(busy)[0] if busy else None,
            "runs": len(good), "of": len(self.samples),
        }


def _ratio(value, floor):
    if value is None or floor is None or floor == 0:
        return "-"
    return "%.2f" % (value / floor)


def render(results):
    """The table as lines; ratios compare each row with the floor row of the
    same output kind."""
    floors = {r.output: r for r in results if r.source == "floor"}
    head = ["source", "output", "runs", "wall s (spread)", "MB/s", "CPU s/GB (user+sys)",
            "peak RSS MB", "peak heap MB", "CPU x floor", "MB/s / floor",
            "RSS x floor", "server CPU", "note"]
    rows = []
    for r in results:
        st = r.stats()
        heap = "%.2f" % (r.heap_bytes / MB) if r.heap_bytes is not None else "-"
        if st is None:
            rows.append([r.source, r.output, "0/%d" % len(r.samples)] + ["-"] * 4
                        + [heap] + ["-"] * 4 + [r.note or "failed"])
            continue
        fl = floors.get(r.output)
        fst = fl.stats() if fl is not None else None
        rows.append([
            r.source, r.output, "%d/%d" % (st["runs"], st["of"]),
            "%.2f (%.0f%%)" % (st["wall"], 100 * st["wall_spread"]),
            "%.0f" % st["mbps"],
            "%.3f (%.3f+%.3f, %.0f%%)" % (st["cpu_gb"], st["user_gb"], st["sys_gb"],
                                           100 * st["cpu_spread"]),
            "%.1f" % st["rss_mb"], heap,
            _ratio(st["cpu_gb"], fst and fst["cpu_gb"]),
            _ratio(st["mbps"], fst and fst["mbps"]),
            _ratio(st["rss_mb"], fst and fst["rss_mb"]),
            "%.0f%%" % (100 * st["server_busy"]) if st["server_busy"] is not None else "-",
            r.note,
        ])
    widths = [max(len(str(x)) for x in col) for col in zip(head, *rows)]
    lines = ["| " + " | ".join(str(c).ljust(w) for c, w in zip(head, widths)) + " |",
             "|" + "|".join("-" * (w + 2) for w in widths) + "|"]
    for row in rows:
        lines.append("| " + " | ".join(str(c).ljust(w) for c, w in zip(row, widths)) + " |")
    return lines
