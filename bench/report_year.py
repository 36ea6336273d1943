#!/usr/bin/python3
"""Speed of `tarvex-report update` on a year of 15-minute cycles.

Generates (once; kept in --data, default build/report-bench/year) a data
root of 35,040 cycles: detector files of 1,800 rows (five compounds whose
areas move through the year, noise, drift, three missing seconds; a few
files empty or cut short, as aborted cycles leave them) and both
temperature logs. Then, into a fresh report folder, measures

- the first `update`: until index.json, the day indexes and the trend show
  every cycle's results (the figures of the newest ten are drawn, the rest
  wait for `figures`);
- `update` with nothing new, and after one new cycle (three times, each a
  new cycle): wall time and peak memory of the process tree; targets 2 s
  and 300 MB;
- `update` after a change of the peak table: every cycle's results made
  again (no figure redrawn); target 3 min;
- `figures` for --figure-time seconds: how many figures it draws, and so how
  long all of them would take.

The load average is printed before each measurement: other work on the
machine slows every figure here.
"""

import argparse
import json
import multiprocessing
import os
import shutil
import statistics
import sys
from datetime import datetime, timedelta

import numpy as np

from report_bench import COMPOUNDS, ROW, TOOL, TOP, prepare, timed

CYCLE_MINUTES = 15
YEAR = 35040
FIRST_CYCLE = datetime(2026, 1, 1, 0, 0)
ONE_CYCLE_LIMIT_S, ONE_CYCLE_MEMORY_MIB, REPROCESS_LIMIT_S = 2.0, 300.0, 180.0


def stamp_of(index):
    return (FIRST_CYCLE + timedelta(minutes=CYCLE_MINUTES * index)).strftime("%Y-%m-%d_%H-%M-00")


def detector_text(index, cycles, rows):
    """The detector file of cycle number index of a year of cycles."""
    rng = np.random.default_rng(index)
    times = np.delete(np.arange(1, rows + 1), rng.choice(np.arange(10, rows - 10), 3, False))
    season = index / cycles
    values = 95.0 + 4.0 * np.sin(2 * np.pi * season) + (0.004 + 0.002 * rng.random()) * times
    values += rng.normal(0.0, 0.3, len(times))
    for number, (_, retention, height, sigma, tau) in enumerate(COMPOUNDS):
        scale = 1.0 + 0.25 * np.sin(2 * np.pi * season * (number + 1)) - 0.1 * season
        shape = np.exp(-0.5 * ((times - retention - rng.normal(0.0, 0.3)) / sigma) ** 2)
        if tau:
            kernel = np.exp(-np.arange(0, 8 * tau + 1) / tau)
            shape = np.convolve(shape, kernel / kernel.sum())[:len(times)]
            shape /= shape.max()
        values += height * scale * shape
    count = len(times)
    return "".join(map(ROW.__mod__, zip(times.tolist(), values.tolist(), [0] * count,
                                        [0.0] * count)))


def temperature_text(address, rows=450):
    """A temperature log: counter line, header, a reading every 2 s."""
    seconds = np.arange(2, 2 * rows + 1, 2)
    column = 40 + 80 * np.minimum(seconds / 600.0, 1.0) + (address - 64)
    head = "  faults:   0    seq_faults:   0     retries:   0\n%s\nTime\tColumnT\t WarmT\n" \
        "----------------------------------\n" % ("" if address == 64 else "\n")
    return head + "".join("%5i\t%5.1f\t%5.1f\n" % row
                          for row in zip(seconds.tolist(), column.tolist(), (column - 5).tolist()))


def write_cycle(job):
    folder, index, cycles, rows = job
    stamp = stamp_of(index)
    day = os.path.join(folder, stamp[:10])
    os.makedirs(day, exist_ok=True)
    text = detector_text(index, cycles, rows)
    if index % 5000 == 4999:
        text = ""  # a cycle aborted before its detector window
    elif index % 7000 == 6500:
        text = text[:len(text) // 2 - 3]  # cut off mid-row
    for name, content in (("PID_%s.dat", text), ("TC64_%s.TLog", TEMPERATURES[64]),
                          ("TC66_%s.TLog", TEMPERATURES[66])):
        with open(os.path.join(day, name % stamp), "w") as stream:
            stream.write(content)


TEMPERATURES = {address: temperature_text(address) for address in (64, 66)}


def write_table(path, window=15):
    with open(path, "w") as stream:
        stream.write("# name\tretention_s\twindow_s\n")
        for name, retention, *_ in COMPOUNDS:
            stream.write("%s\t%d\t%d\n" % (name, retention + 3, window))


def write_standards(path):
    """A standards file as a quantitating instrument has one: every
    compound's amounts are then worked out (uncalibrated here: the year
    has no calibration cycles)."""
    with open(path, "w") as stream:
        for name, *_ in COMPOUNDS:
            stream.write("S1\t%s\t5\tppb\n" % name)


def generate(folder, cycles, rows):
    """The root, made once; cycles added by an earlier run are taken away."""
    marker = os.path.join(folder, ".complete-%d-%d" % (cycles, rows))
    if os.path.exists(marker):
        for day in os.listdir(folder):
            if day > stamp_of(cycles - 1)[:10]:
                shutil.rmtree(os.path.join(folder, day))
        return False
    if os.path.isdir(folder):
        shutil.rmtree(folder)
    os.makedirs(folder)
    with multiprocessing.Pool() as pool:
        pool.map(write_cycle, [(folder, k, cycles, rows) for k in range(cycles)], chunksize=256)
    open(marker, "w").close()
    return True


def load():
    return "load %.2f %.2f %.2f" % os.getloadavg()


def report(what, run, limit=None, memory_limit=None):
    verdicts = []
    if limit is not None:
        verdicts.append("target %g s: %s" % (limit, "ok" if run.wall <= limit else "MISSED"))
    if memory_limit is not None:
        verdicts.append("target %g MiB: %s" % (memory_limit, "ok" if run.memory <= memory_limit
                                                else "MISSED"))
    print("%-46s %8.2f s wall %8.1f s CPU %7.1f MiB  status %d  %s" % (
        what, run.wall, run.cpu, run.memory, run.status, "; ".join(verdicts)))
    if run.status != 0:
        print("  standard error: %s" % run.errors.strip()[-500:])


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--data", default=os.path.join(TOP, "build", "report-bench", "year"))
    parser.add_argument("--cycles", type=int, default=YEAR, help="15-minute cycles (a year)")
    parser.add_argument("--rows", type=int, default=1800, help="rows per detector file")
    parser.add_argument("--new-cycles", type=int, default=3, help="updates after one new cycle")
    parser.add_argument("--figure-time", type=float, default=120.0,
                        help="seconds of `figures` to measure its rate")
    args = parser.parse_args()

    prepare(generate, args)
    out = os.path.join(os.path.dirname(args.data), "year-out")
    if os.path.isdir(out):
        shutil.rmtree(out)
    table = os.path.join(os.path.dirname(args.data), "year.peaks")
    write_table(table)
    standards = os.path.join(os.path.dirname(args.data), "year.standards")
    write_standards(standards)
    update = [TOOL, "update", args.data, "--out", out, "--peaks", table, "--standards", standards]

    print(load())
    report("first update (every cycle's results)", timed(update))
    print(load())
    report("update, nothing new", timed(update), ONE_CYCLE_LIMIT_S, ONE_CYCLE_MEMORY_MIB)
    walls = []
    for k in range(args.new_cycles):
        write_cycle((args.data, args.cycles + k, args.cycles, args.rows))
        print(load())
        run = timed(update)
        walls.append(run.wall)
        report("update after one new cycle (%d)" % (k + 1), run, ONE_CYCLE_LIMIT_S,
               ONE_CYCLE_MEMORY_MIB)
    print("  one new cycle: median %.2f s, slowest %.2f s" % (statistics.median(walls),
                                                              max(walls)))
    write_table(table, window=16)
    print(load())
    report("update after a peak-table change", timed(update), REPROCESS_LIMIT_S)
    print(load())
    before = figures_to_draw(out)
    run = timed([TOOL, "figures", args.data, "--out", out, "--peaks", table, "--standards",
                 standards, "--time", str(args.figure_time)])
    left = figures_to_draw(out)
    report("figures for %g s" % args.figure_time, run)
    rate = (before - left) / run.wall
    print("  %d figures drawn, %d still to draw: %.2f figures/s, all %d in %.0f min"
          % (before - left, left, rate, before, before / rate / 60 if rate else float("inf")))
    print("report folder in %s" % out)
    return 0


def figures_to_draw(out):
    with open(os.path.join(out, ".state", "state.json")) as stream:
        state = json.load(stream)
    return sum(day.get("pending", 0) for day in state["days"].values())


if __name__ == "__main__":
    sys.exit(main())
