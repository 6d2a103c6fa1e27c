#!/usr/bin/env python3
"""Judges a run of bench/soak.sh from what it left in its folder, draws the
samples and prints the summary; exits 1 when a criterion fails.

  soak_report.py DIR --minutes M [--warmup SECONDS] [--asan]

DIR holds, per host process P: P.csv (seconds,phase,rss_kb,fds,threads,
anon_kb,heap_kb,heap_free_kb; phase idle for the baseline before the
clients, churn, quiet at the quiet points, drain while the last client
sessions expire, then a last quiet sample; the heap columns empty where no
heap sampler ran), P.out and P.err (its output), P.status (its exit status,
or "died" when it ended before it was stopped); clients/*.json (each
client's closing line); sanitizer/ (sanitizer reports).
"""
import argparse
import csv
import glob
import json
import os
import re
import shutil
import statistics
import subprocess
import sys

MEMORY_GROWTH_LIMIT_KB = 1024
# The memory figures of a sample: judged ones first.  Resident memory as a
# whole is shown, not judged: its file-backed part (the pages of the shared
# libraries' code and data) comes and goes with the page cache and with the
# code paths taken, and is not memory the program holds.
MEMORY = (("heap_kb", "heap in use", True), ("anon_kb", "resident anonymous memory", True),
          ("rss_kb", "resident memory", False))
FD_TOLERANCE = 10      # a window's peak may vary by this much with the clients of the moment
THREAD_TOLERANCE = 2
CLIENT_FAILURE_SHARE = 0.05
ACCOUNT = re.compile(r"^(\w+) records: popped (\d+), released (\d+), in flight (-?\d+), bad releases (\d+)$")
SANITIZER = re.compile(r"ERROR: (Address|Leak|Thread|UndefinedBehavior)Sanitizer|runtime error:")


class Verdict:
    def __init__(self):
        self.lines = []
        self.failures = 0

    def say(self, text):
        self.lines.append(text)

    def check(self, ok, text):
        self.lines.append(("  ok    " if ok else "  FAIL  ") + text)
        if not ok:
            self.failures += 1


def read_samples(path):
    with open(path, newline="") as f:
        rows = list(csv.DictReader(f))
    for row in rows:
        for key in ("seconds", "rss_kb", "fds", "threads", "anon_kb", "heap_kb", "heap_free_kb"):
            row[key] = int(row[key]) if row.get(key) not in (None, "") else None
    return rows


def window_peaks(values):
    """The peaks of the first and the last third of the values."""
    k = max(1, len(values) // 3)
    return max(values[:k]), max(values[-k:])


def rss_growth(values):
    """Growth from the first samples to the last (up to five minutes, 30
    samples, each): of the medians, which the clients of the moment move
    little, and of the lows, which only memory kept for good raises."""
    k = max(1, min(30, len(values) // 3))
    return (int(statistics.median(values[-k:]) - statistics.median(values[:k])),
            min(values[-k:]) - min(values[:k]), k)


def slope_per_30min(rows, key):
    if len(rows) < 3:
        return 0.0
    xs = [r["seconds"] for r in rows]
    ys = [r[key] for r in rows]
    mx, my = statistics.fmean(xs), statistics.fmean(ys)
    den = sum((x - mx) ** 2 for x in xs)
    return 0.0 if den == 0 else sum((x - mx) * (y - my) for x, y in zip(xs, ys)) / den * 1800


def quiet_points(rows, args):
    """The samples taken in the idle sample's client state (the churn's
    sessions gone, one client played a second), from the end of the warm-up
    on.  Older runs have none."""
    return [r for r in rows if r["phase"] == "quiet" and r["seconds"] >= args.warmup]


def judge_memory(rows, churn, args, verdict):
    """Growth of each memory figure the samples have, judged from the first
    quiet point to the last: in one client state, so what a client of the
    moment holds does not count as growth.  The churn samples' medians are
    shown.  Without quiet points (an older run) the medians are judged, and
    without the heap and anonymous columns resident memory."""
    quiet = quiet_points(rows, args)
    present = [m for m in MEMORY if all(r[m[0]] is not None for r in churn + quiet)]
    judged_any = any(judged for _, _, judged in present)
    for key, title, judged in present:
        values = [r[key] for r in churn]
        growth, low_growth, k = rss_growth(values)
        text = ("%s under churn after the warm-up %d kB, at the end %d kB, largest %d kB; growth %+d kB (medians "
                "of the first and last %d samples; lows %+d kB; trend %+.0f kB per 30 min)"
                % (title, values[0], values[-1], max(values), growth, k, low_growth, slope_per_30min(churn, key)))
        if len(quiet) >= 2:
            verdict.say("  info  " + text)
            growth = quiet[-1][key] - quiet[0][key]
            text = ("%s at the quiet points, %s: %s kB; growth %+d kB"
                    % (title, ", ".join("%ds" % r["seconds"] for r in quiet),
                       ", ".join(str(r[key]) for r in quiet), growth))
        if args.asan:
            verdict.say("  info  " + text + " (not judged: ASan's quarantine holds freed memory)")
        elif judged or not judged_any:
            verdict.check(growth < MEMORY_GROWTH_LIMIT_KB, text + ", limit %d kB" % MEMORY_GROWTH_LIMIT_KB)
        else:
            verdict.say("  info  " + text)
    if all(r["heap_free_kb"] is not None for r in churn):
        free = [r["heap_free_kb"] for r in churn]
        verdict.say("  info  kept free by malloc: median %d kB, largest %d kB"
                    % (statistics.median(free), max(free)))


def judge_process(name, folder, args, verdict):
    rows = read_samples(os.path.join(folder, name + ".csv"))
    idle = [r for r in rows if r["phase"] == "idle"]
    churn = [r for r in rows if r["phase"] == "churn" and r["seconds"] >= args.warmup]
    drain = [r for r in rows if r["phase"] == "drain"]
    status = open(os.path.join(folder, name + ".status")).read().strip()
    verdict.say("%s:" % name)
    if not churn:
        verdict.check(False, "no sample after the warm-up")
        return
    judge_memory(rows, churn, args, verdict)
    for key, tolerance in (("fds", FD_TOLERANCE), ("threads", THREAD_TOLERANCE)):
        values = [r[key] for r in churn]
        first, last = window_peaks(values)
        verdict.check(last <= first + tolerance,
                      "%s under churn: min %d, max %d; peak of the first third %d, of the last %d"
                      % (key, min(values), max(values), first, last))
        if idle and drain:
            back = drain[-1][key] <= idle[0][key]
            verdict.check(back, "%s idle before the clients %d, after they left %d%s"
                          % (key, idle[0][key], drain[-1][key],
                             "" if back or key != "fds" else " (see %s.fds-idle and %s.fds-end)" % (name, name)))
    verdict.check(status == "0", "exit status %s" % status)
    accounts = [ACCOUNT.match(line.strip()) for line in open(os.path.join(folder, name + ".out"), errors="replace")]
    for match in filter(None, accounts):
        medium, popped, released, in_flight, bad = match.group(1), *map(int, match.groups()[1:])
        verdict.check(popped == released and in_flight == 0 and bad == 0, match.group(0))


def judge_clients(folder, args, verdict):
    seconds = args.minutes * 60
    verdict.say("clients:")
    for path in sorted(glob.glob(os.path.join(folder, "clients", "*.json"))):
        name = os.path.basename(path)[:-5]
        lines = [line for line in open(path) if line.startswith("{")]
        if not lines:
            verdict.check(False, "%s: no closing line" % name)
            continue
        c = json.loads(lines[-1])
        if c["client"] == "rtsp-churn":
            judged = c["started"] - c["busy"]
            verdict.check(c["ok"] > 0 and c["failed"] <= CLIENT_FAILURE_SHARE * max(judged, 1),
                          "%s: %d clients (%d UDP, %d TCP): %d played and tore down, %d vanished, "
                          "%d refused as busy, %d failed" % (name, c["started"], c["udp"], c["tcp"], c["ok"],
                                                            c["vanished"], c["busy"], c["failed"]))
        elif c["client"] == "hls-player":
            verdict.check(c["bad_segments"] == 0 and c["errors"] == 0 and c["segments"] >= 0.5 * (seconds - 10),
                          "%s: %d segments, %d playlists, %d MPDs, %d bad segments, %d gone before fetched, "
                          "%d errors; segment offsets %s to %s s" % (name, c["segments"], c["playlists"], c["manifests"],
                                                                     c["bad_segments"], c["missing"], c["errors"],
                                                                     c.get("first_offset"), c.get("last_offset")))
        elif c["client"] == "stalled-reader":
            verdict.check(c["failed"] == 0 and (c["reads"] > 0 or seconds < 60),
                          "%s: %d stalled segment reads completed, %d segments gone, %d failed %s"
                          % (name, c["reads"], c["missing"], c["failed"], c["failures"] or ""))


def judge_sanitizers(folder, names, verdict):
    reports = sorted(glob.glob(os.path.join(folder, "sanitizer", "*")))
    found = [os.path.basename(r) for r in reports]
    for name in names:
        with open(os.path.join(folder, name + ".err"), errors="replace") as f:
            if any(SANITIZER.search(line) for line in f):
                found.append(name + ".err")
    verdict.say("sanitizers:")
    verdict.check(not found, "reports: %s" % (", ".join(found) if found else "none"))


def draw(folder, names, warmup, png):
    if shutil.which("gnuplot") is None:
        return "no gnuplot: no chart"
    plots = []
    for columns, title in (((3, 6, 7), "memory (MB): resident, anonymous, heap in use"), ((4,), "open descriptors"),
                           ((5,), "threads")):
        scale = "/1024.0" if len(columns) > 1 else ""
        series = ", ".join("'%s/%s.csv' using ($1/60.0):($%d%s) every ::1 with lines lc %d dt %d title '%s%s'"
                           % (folder, n, column, scale, i + 1, j + 1, n, "" if j == 0 else " " + ("", "anon", "heap")[j])
                           for i, n in enumerate(names) for j, column in enumerate(columns))
        plots.append("set ylabel '%s'\nplot %s" % (title, series))
    script = "\n".join([
        "set terminal pngcairo size 1200,1000 font ',10'",
        "set output '%s'" % png,
        "set datafile separator ','",
        "set multiplot layout 3,1 title 'soak: samples every 10 s; warm-up until the dashed line'",
        "set xlabel 'minutes'",
        "set key outside right",
        "set grid",
        "set offsets 0, 0, 1, 1",
        "set arrow from %f, graph 0 to %f, graph 1 nohead dashtype 2" % (warmup / 60.0, warmup / 60.0),
    ] + plots + ["unset multiplot"])
    run = subprocess.run(["gnuplot"], input=script, text=True, capture_output=True)
    return png if run.returncode == 0 else "gnuplot failed: " + run.stderr.strip()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("folder")
    parser.add_argument("--minutes", type=float, required=True)
    parser.add_argument("--warmup", type=int, default=120)
    parser.add_argument("--asan", action="store_true")
    args = parser.parse_args()
    names = sorted(os.path.basename(p)[:-7] for p in glob.glob(os.path.join(args.folder, "*.status")))
    verdict = Verdict()
    verdict.say("soak of %g minutes%s, judged after a %d s warm-up" % (args.minutes, " (ASan)" if args.asan else "",
                                                                       args.warmup))
    for name in names:
        judge_process(name, args.folder, args, verdict)
    judge_clients(args.folder, args, verdict)
    if args.asan:
        judge_sanitizers(args.folder, names, verdict)
    verdict.say("samples: %s" % ", ".join(os.path.join(args.folder, n + ".csv") for n in names))
    verdict.say("chart: %s" % draw(args.folder, names, args.warmup, os.path.join(args.folder, "soak.png")))
    verdict.say("result: %s" % ("PASS" if verdict.failures == 0 else "FAIL (%d)" % verdict.failures))
    text = "\n".join(verdict.lines) + "\n"
    with open(os.path.join(args.folder, "summary.txt"), "w") as f:
        f.write(text)
    sys.stdout.write(text)
    return 0 if verdict.failures == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
