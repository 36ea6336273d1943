#!/usr/bin/python3
"""Speed of tarvex-report.

Generates a year of hourly cycles (8,760 detector files of 1,800 rows each:
five compounds whose areas move slowly through the year, noise, drift and a
few missing seconds; a handful of files empty or cut short, as an aborted or
interrupted cycle leaves them), then measures

- `tarvex-report trend` over all of them: wall time and the peak memory of
  the whole process tree (the sum of the resident sets of the command and its
  worker processes, sampled every 50 ms); targets 30 s and 1 GiB;
- `tarvex-report cycle` on one of them, figures included: wall time of each
  of five runs; target 3 s.

The generated data stay in --data (default build/report-bench/data) and are
reused by the next run with the same sizes.
"""

import argparse
import multiprocessing
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass
from datetime import datetime, timedelta

import numpy as np

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TOOL = os.path.join(TOP, "report", "tarvex-report")
TREND_LIMIT_S = 30.0
MEMORY_LIMIT_MIB = 1024.0
CYCLE_LIMIT_S = 3.0
# name, retention (s), height (mV), sigma (s), tailing tau (s)
COMPOUNDS = (("benzene", 120, 60.0, 2.5, 0.0), ("toluene", 300, 140.0, 3.5, 1.0),
             ("ethylbenzene", 620, 80.0, 5.0, 2.0), ("m,p-xylene", 660, 110.0, 5.5, 2.0),
             ("o-xylene", 1100, 70.0, 8.0, 4.0))
FIRST_CYCLE = datetime(2026, 1, 1, 0, 0)
ROW = "%6i\t%8.5f\t%2d\t%8.5f\n"


def cycle_text(index, rows):
    """The detector file of cycle number index (hours from the first)."""
    rng = np.random.default_rng(index)
    times = np.arange(1, rows + 1)
    missing = rng.choice(np.arange(10, rows - 10), size=3, replace=False)
    times = np.delete(times, missing)
    season = np.sin(2 * np.pi * index / 8760.0)
    values = 95.0 + 4.0 * season + (0.004 + 0.002 * rng.random()) * times
    values += rng.normal(0.0, 0.3, len(times))
    for number, (_, retention, height, sigma, tau) in enumerate(COMPOUNDS):
        scale = 1.0 + 0.25 * np.sin(2 * np.pi * index / 8760.0 * (number + 1)) - 0.1 * index / 8760
        centre = retention + rng.normal(0.0, 0.3)
        shape = np.exp(-0.5 * ((times - centre) / sigma) ** 2)
        if tau:
            kernel = np.exp(-np.arange(0, 8 * tau + 1) / tau)
            shape = np.convolve(shape, kernel / kernel.sum())[:len(times)]
            shape /= shape.max()
        values += height * scale * shape
    return "".join(map(ROW.__mod__, zip(times, values, [0] * len(times), [0.0] * len(times))))


def write_cycle(job):
    folder, index, rows = job
    start = FIRST_CYCLE + timedelta(hours=index)
    day = os.path.join(folder, start.strftime("%Y-%m-%d"))
    os.makedirs(day, exist_ok=True)
    text = cycle_text(index, rows)
    if index % 2000 == 1999:
        text = ""  # a cycle aborted before its detector window
    elif index % 3000 == 2500:
        text = text[:len(text) // 2 - 3]  # cut off mid-row
    with open(os.path.join(day, start.strftime("PID_%Y-%m-%d_%H-%M-00.dat")), "w") as stream:
        stream.write(text)


def generate(folder, cycles, rows):
    marker = os.path.join(folder, ".complete-%d-%d" % (cycles, rows))
    if os.path.exists(marker):
        return False
    if os.path.isdir(folder):
        shutil.rmtree(folder)
    os.makedirs(folder)
    with multiprocessing.Pool() as pool:
        pool.map(write_cycle, [(folder, k, rows) for k in range(cycles)], chunksize=64)
    with open(os.path.join(folder, "peaks.txt"), "w") as stream:
        stream.write("# name\tretention_s\twindow_s\n")
        for name, retention, *_ in COMPOUNDS:
            stream.write("%s\t%d\t%d\n" % (name, retention + 3, 15))
    open(marker, "w").close()
    return True


def tree_rss_kib(pid):
    """Resident set of a process and all its descendants, KiB."""
    total = 0
    pending = [pid]
    while pending:
        current = pending.pop()
        try:
            with open("/proc/%d/status" % current) as status:
                for line in status:
                    if line.startswith("VmRSS:"):
                        total += int(line.split()[1])
            with open("/proc/%d/task/%d/children" % (current, current)) as children:
                pending.extend(int(child) for child in children.read().split())
        except (OSError, ValueError):
            continue
    return total


@dataclass
class Run:
    wall: float  # s
    cpu: float  # s, user + system of the command and its worker processes
    memory: float  # MiB, peak of the tree's resident sets
    status: int
    errors: str


def timed(command):
    with tempfile.TemporaryFile() as errors:
        started = time.monotonic()
        process = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=errors)
        peak = 0
        while True:
            pid, status, usage = os.wait4(process.pid, os.WNOHANG)
            if pid:
                break
            peak = max(peak, tree_rss_kib(process.pid))
            time.sleep(0.05)
        elapsed = time.monotonic() - started
        process.returncode = os.waitstatus_to_exitcode(status)
        errors.seek(0)
        # The workers were waited for by the command: their time is in its usage.
        return Run(elapsed, usage.ru_utime + usage.ru_stime, peak / 1024.0, process.returncode,
                   errors.read().decode())


def line(what, measured, limit, verdict_text):
    print("%-44s %s  <= %s  %s" % (what, measured, limit, verdict_text))


def verdict(value, limit):
    return "ok" if value <= limit else "MISSED"


def prepare(generate, args):
    """The benchmark's data root, made by generate unless an earlier run
    left it; says which and how long it took."""
    started = time.monotonic()
    made = generate(args.data, args.cycles, args.rows)
    print("data: %d cycles of %d rows in %s (%s, %.0f s)" % (
        args.cycles, args.rows, args.data, "generated" if made else "reused",
        time.monotonic() - started))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--data", default=os.path.join(TOP, "build", "report-bench", "data"))
    parser.add_argument("--cycles", type=int, default=8760, help="hourly cycles (default a year)")
    parser.add_argument("--rows", type=int, default=1800, help="rows per detector file")
    parser.add_argument("--runs", type=int, default=5, help="runs of cycle")
    args = parser.parse_args()

    prepare(generate, args)
    out = os.path.join(os.path.dirname(args.data), "out")
    os.makedirs(out, exist_ok=True)
    table = os.path.join(args.data, "peaks.txt")

    print("load average before: %.2f %.2f %.2f (other work on the machine slows the figures)"
          % os.getloadavg())
    trend = timed([TOOL, "trend", args.data, "--peaks", table, "--out", out])
    line("trend, wall time", "%8.2f s  " % trend.wall, "%4.0f s  " % TREND_LIMIT_S,
         verdict(trend.wall, TREND_LIMIT_S))
    line("trend, peak memory of the process tree", "%8.1f MiB" % trend.memory,
         "%4.0f MiB" % MEMORY_LIMIT_MIB, verdict(trend.memory, MEMORY_LIMIT_MIB))
    print("  CPU time %.1f s (%.2f ms a cycle), %d processors; exit status %d, %d cycles "
          "skipped as unreadable, %d lines on standard error"
          % (trend.cpu, 1000 * trend.cpu / args.cycles, os.cpu_count(), trend.status,
             trend.errors.count("; cycle skipped"), trend.errors.count("\n")))

    sample = sorted(os.path.join(root, name) for root, _, names in os.walk(args.data)
                    for name in names if name.startswith("PID_"))[len(COMPOUNDS)]
    times = []
    for _ in range(args.runs):
        run = timed([TOOL, "cycle", sample, "--peaks", table, "--out", out])
        if run.status != 0:
            print("cycle failed with status %d: %s" % (run.status, run.errors.strip()))
        times.append(run.wall)
    median = statistics.median(times)
    line("cycle with figures, median of %d" % args.runs, "%8.2f s  " % median,
         "%4.0f s  " % CYCLE_LIMIT_S, verdict(median, CYCLE_LIMIT_S))
    line("cycle with figures, slowest", "%8.2f s  " % max(times), "%4.0f s  " % CYCLE_LIMIT_S,
         verdict(max(times), CYCLE_LIMIT_S))
    print("trend and cycle outputs in %s" % out)
    return 0


if __name__ == "__main__":
    sys.exit(main())
