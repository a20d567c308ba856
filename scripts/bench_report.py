#!/usr/bin/env python3
"""The report of scripts/bench: the table of its runs, the targets and the
summary line.

  bench_report.py RESULTS [--markdown]

RESULTS holds one line per timed run, ten tab-separated fields:
  dataset tool round wall_seconds files directories bytes
  server_peak_kib client_peak_kib valid
`tool` is "tervane", "cp" or "rsync"; `valid` is 1 when the copy matched its
source, else 0 (such a run gives no figure); peaks are 0 when not measured.
Lines starting with "#" and empty lines are left out. Datasets "small",
"large", "mixed" and "empties" are the comparisons, "lan-small" and
"lan-large" the same through the delaying proxy, "scale-N" Tervane's runs of
small at N files (the scaling target compares the largest N with N/2), and
"connections" a Tervane run with ten connections open.

Each (dataset, tool) pair is summed up over its valid runs: the median wall
time with its range, rates at the median (MB/s in 10^6 bytes) and the highest
peaks. Tervane's rows show their rates over the anchors' (cp, rsync); for
mixed, whose target is a time, the time over theirs.
"""
import re
import sys

# Tervane's median wall time over rsync's on the same dataset.
TIME_RATIO_MAX = [("small", 1.0), ("mixed", 1.0), ("large", 0.67), ("empties", 0.5),
                  ("lan-small", 2.0), ("lan-large", 1.0)]
SERVER_PEAK_KIB_MAX = 16 * 1024   # with ten connections
CLIENT_PEAK_KIB_MAX = 32 * 1024   # in any run
SCALING_RATIO_MAX = 2.2           # time of 2N files over N

HEADS = ["dataset", "tool", "runs", "wall s: median (min-max)", "MB/s", "files/s", "dirs/s",
         "server peak", "client peak", "vs rsync", "vs cp"]


class Summary:
    def __init__(self, dataset, tool):
        self.dataset, self.tool = dataset, tool
        self.times = []
        self.invalid = 0
        self.files = self.directories = self.bytes = 0
        self.server_kib = self.client_kib = 0

    @property
    def valid(self):
        return len(self.times)

    @property
    def median(self):
        t = sorted(self.times)
        n = len(t)
        if n == 0:
            return 0.0
        return t[n // 2] if n % 2 else (t[n // 2 - 1] + t[n // 2]) / 2

    def rate(self, amount):
        return amount / self.median if self.median > 0 else 0.0


def read_results(path):
    """The summaries in the order their pairs first appear; exits on a bad line."""
    summaries = {}
    unsigned = re.compile(r"[0-9]{1,20}\Z")
    seconds = re.compile(r"[0-9]{1,12}(\.[0-9]{0,12})?\Z")
    with open(path, encoding="utf-8") as results:
        for number, line in enumerate(results, 1):
            line = line.rstrip("\n")
            if not line or line.startswith("#"):
                continue
            f = line.split("\t")
            if len(f) != 10:
                sys.exit("bench_report.py: %s:%d: %d fields instead of 10" % (path, number, len(f)))
            if not f[0] or not f[1]:
                sys.exit("bench_report.py: %s:%d: empty dataset or tool" % (path, number))
            if (not seconds.match(f[3]) or not all(unsigned.match(x) for x in f[2:3] + f[4:])
                    or f[9] not in ("0", "1")):
                sys.exit("bench_report.py: %s:%d: a number does not read" % (path, number))
            s = summaries.setdefault((f[0], f[1]), Summary(f[0], f[1]))
            if f[9] == "0":
                s.invalid += 1
                continue
            s.times.append(float(f[3]))
            s.files, s.directories, s.bytes = int(f[4]), int(f[5]), int(f[6])
            s.server_kib = max(s.server_kib, int(f[7]))
            s.client_kib = max(s.client_kib, int(f[8]))
    return list(summaries.values())


def find(summaries, dataset, tool):
    for s in summaries:
        if s.dataset == dataset and s.tool == tool and s.valid > 0:
            return s
    return None


def scale_files(s):
    """N of a valid Tervane run of "scale-N", else 0."""
    m = re.fullmatch(r"scale-([0-9]{1,9})", s.dataset)
    return int(m.group(1)) if m and s.tool == "tervane" and s.valid > 0 else 0


def mib(kib):
    return kib / 1024.0


def check_targets(summaries):
    """(name, condition, measured or None when not measured, met) per target."""
    checks = []

    def check(name, condition, measured, met):
        checks.append((name, condition, measured, measured is not None and met))

    for dataset, limit in TIME_RATIO_MAX:
        t, r = find(summaries, dataset, "tervane"), find(summaries, dataset, "rsync")
        v = t.median / r.median if t and r and r.median > 0 else None
        check("%s: time over rsync's" % dataset, "<= %.2f" % limit, v, v is not None and v <= limit)

    c = find(summaries, "connections", "tervane")
    v = mib(c.server_kib) if c and c.server_kib > 0 else None
    check("server peak RSS, 10 connections (MiB)", "<= %.0f" % mib(SERVER_PEAK_KIB_MAX), v,
          v is not None and c.server_kib <= SERVER_PEAK_KIB_MAX)

    client = max([s.client_kib for s in summaries if s.tool == "tervane" and s.valid > 0] + [0])
    check("client peak RSS, any run (MiB)", "<= %.0f" % mib(CLIENT_PEAK_KIB_MAX),
          mib(client) if client > 0 else None, client <= CLIENT_PEAK_KIB_MAX)

    # The largest scaling run that has one of half its size beside it.
    big = half = None
    for s in summaries:
        n = scale_files(s)
        if n == 0 or n % 2 or (big and n <= scale_files(big)):
            continue
        h = find(summaries, "scale-%d" % (n // 2), "tervane")
        if h:
            big, half = s, h
    v = big.median / half.median if big and half.median > 0 else None
    name = ("scaling: time of %d files over %d" % (scale_files(big), scale_files(half)) if v is not None
            else "scaling: time of 2N files over N")
    check(name, "<= %.2f" % SCALING_RATIO_MAX, v, v is not None and v <= SCALING_RATIO_MAX)
    return checks


def ratio_text(summaries, t, anchor):
    a = find(summaries, t.dataset, anchor)
    if a is None or t.valid == 0 or a.median <= 0 or t.median <= 0:
        return "-"
    if t.dataset == "mixed":
        return "%.2fx time" % (t.median / a.median)
    return "%.2fx" % (a.median / t.median)


def rate_text(v):
    if v <= 0:
        return "-"
    return "%.0f" % v if v >= 100 else "%.1f" % v


def peak_text(kib):
    return "-" if kib == 0 else "%.1f MiB" % mib(kib)


def table(summaries, markdown):
    rows = []
    for s in summaries:
        row = [s.dataset, s.tool, "%d" % s.valid if s.invalid == 0 else "%d (+%d INVALID)" % (s.valid, s.invalid)]
        if s.valid == 0:
            row += ["no valid run"] + ["-"] * 7
        else:
            tervane = s.tool == "tervane"
            row += ["%.3f (%.3f-%.3f)" % (s.median, min(s.times), max(s.times)),
                    rate_text(s.rate(s.bytes / 1e6)), rate_text(s.rate(s.files)),
                    rate_text(s.rate(s.directories)), peak_text(s.server_kib), peak_text(s.client_kib),
                    ratio_text(summaries, s, "rsync") if tervane else "",
                    ratio_text(summaries, s, "cp") if tervane else ""]
        rows.append(row)
    if markdown:
        lines = ["|" + "".join(" %s |" % h for h in HEADS),
                 "|" + "".join("---|" if i < 3 else "---:|" for i in range(len(HEADS)))]
        lines += ["|" + "".join(" %s |" % cell for cell in row) for row in rows]
        return "\n".join(lines) + "\n"
    width = [max(len(r[i]) for r in [HEADS] + rows) for i in range(len(HEADS))]
    return "".join("  ".join(cell.rjust(width[i]) if i >= 3 else cell.ljust(width[i])
                             for i, cell in enumerate(r)).rstrip() + "\n" for r in [HEADS] + rows)


def targets(checks, markdown):
    out = "| target | limit | measured | |\n|---|---|---:|---|\n" if markdown else ""
    for name, condition, measured, met in checks:
        shown = "not measured" if measured is None else "%.2f" % measured
        verdict = "NOT MEASURED" if measured is None else "met" if met else "MISSED"
        if markdown:
            out += "| %s | %s | %s | %s |\n" % (name, condition, shown, verdict)
        else:
            out += "%s%s%s  %s\n" % (name.ljust(44), condition.ljust(8), shown.rjust(13), verdict)
    return out


def summary_line(checks):
    parts = ["%s %s %s" % (name, "n/a" if measured is None else "%.2f" % measured,
                           "(not measured)" if measured is None else "(met)" if met else "(MISSED)")
             for name, _, measured, met in checks]
    return "targets met %d of %d: %s" % (sum(1 for c in checks if c[3]), len(checks), "; ".join(parts))


def main():
    args = sys.argv[1:]
    if len(args) not in (1, 2) or (len(args) == 2 and args[1] != "--markdown"):
        sys.exit("usage: bench_report.py RESULTS [--markdown]")
    try:
        summaries = read_results(args[0])
    except (OSError, UnicodeDecodeError) as e:
        sys.exit("bench_report.py: %s" % e)
    checks = check_targets(summaries)
    markdown = len(args) == 2
    sys.stdout.write(table(summaries, markdown) + "\n" + targets(checks, markdown) + "\n" + summary_line(checks) + "\n")


if __name__ == "__main__":
    main()
