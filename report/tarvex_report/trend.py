"""The trend: for every cycle below ROOT and every compound of the peak table,
the retention, height and area of the peak that compound names, in
trend.csv, and the areas against the cycles' start times in trend.png.

Each cycle's detector file is read and integrated afresh, spread over the
machine's cores; a year of hourly cycles takes well under half a minute."""

import csv
import io
import multiprocessing
import os

import numpy as np

from .figures import trend_figure
from .files import write_text
from . import DEFAULT_SNR
from .peaks import analyse
from .peaktable import name_peaks
from .problems import Notes, UnusableInput, say
from .results import cycles_below, read_pid_file

TREND_HEADER = ["stamp", "name", "retention_s", "height_mV", "area_mVs"]
# Below this many cycles starting worker processes costs more than it saves.
CYCLES_PER_WORKER = 64


def measure_cycle(job):
    """(stamp, [(retention, height, area) or None per compound], notes, error)
    of one cycle; runs in a worker process, so everything said comes back."""
    cycle, compounds, snr = job
    notes = Notes()
    try:
        trace = read_pid_file(cycle.pid, notes)
    except UnusableInput as problem:
        return cycle.stamp, None, notes.finish(), str(problem)
    analysis = analyse(trace.times, trace.values, snr)
    names = name_peaks([p.retention for p in analysis.peaks], compounds)
    found = {name: peak for name, peak in zip(names, analysis.peaks) if name}
    values = [(found[c.name].retention, found[c.name].height, found[c.name].area)
              if c.name in found else None for c in compounds]
    return cycle.stamp, values, notes.finish(), None


def measure_all(cycles, compounds, snr, workers=None):
    jobs = [(cycle, compounds, snr) for cycle in cycles]
    workers = workers or os.cpu_count() or 1
    if workers == 1 or len(jobs) < CYCLES_PER_WORKER:
        yield from map(measure_cycle, jobs)
        return
    with multiprocessing.get_context("fork").Pool(workers) as pool:
        yield from pool.imap(measure_cycle, jobs, chunksize=64)


def run_trend(root, compounds, out_dir, first_day=None, last_day=None, snr=DEFAULT_SNR):
    """Writes trend.csv and trend.png into out_dir; returns how many cycles
    went in and how many were skipped."""
    listing = Notes()
    cycles = cycles_below(root, listing, first_day, last_day)
    listing.print_all()
    starts = {cycle.stamp: cycle.start for cycle in cycles}
    table = io.StringIO()
    writer = csv.writer(table, lineterminator="\n")
    writer.writerow(TREND_HEADER)
    kept, areas, skipped = [], [], 0
    for stamp, values, notes, error in measure_all(cycles, compounds, snr):
        for line in notes:
            say(line)
        if error:
            say(error + "; cycle skipped")
            skipped += 1
            continue
        kept.append(starts[stamp])
        areas.append([v[2] if v else np.nan for v in values])
        for compound, value in zip(compounds, values):
            writer.writerow([stamp, compound.name] + (
                ["%.2f" % value[0], "%.3f" % value[1], "%.3f" % value[2]] if value else
                ["", "", ""]))
    write_text(os.path.join(out_dir, "trend.csv"), table.getvalue())
    columns = np.array(areas, dtype=float).reshape(len(kept), len(compounds)).T
    trend_figure(os.path.join(out_dir, "trend.png"), kept, compounds, list(columns))
    return len(kept), skipped
