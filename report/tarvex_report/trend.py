"""The `trend` command: for every cycle below ROOT and every compound of the
peak table, the retention, height and area of the peak that compound names,
in trend.csv, and the areas against the cycles' start times in trend.png.

Each cycle's detector file is read and integrated afresh, spread over the
machine's cores; a year of hourly cycles takes well under half a minute.
(`update` keeps a report folder's trend without integrating anything twice:
trendfiles.py.)"""

import os

import numpy as np

from .cycle import measure
from .figures import trend_figure
from .files import write_text
from .problems import UNUSABLE, Notes, RunLog, UnusableInput
from .results import cycles_below
from .trendfiles import AREA_LINE, trend_rows, trend_values
from .work import parallel_map


def measure_cycle(job):
    """(stamp, [(retention, height, area) or None per compound], notes, error)
    of one cycle; runs in a worker process, so everything said comes back."""
    cycle, settings = job
    notes = Notes()
    try:
        measured = measure(cycle, notes, settings)
    except UnusableInput as problem:
        return cycle.stamp, None, notes.finish(), str(problem)
    values = trend_values(measured.analysis.peaks, measured.names, settings.compounds)
    return cycle.stamp, values, notes.finish(), None


def run_trend(root, settings, out_dir, first_day=None, last_day=None):
    """Writes trend.csv and trend.png into out_dir; returns how many cycles
    went in and how many were skipped."""
    listing = Notes()
    cycles = cycles_below(root, listing, first_day, last_day)
    listing.print_all()
    starts = {cycle.stamp: cycle.start for cycle in cycles}
    said = RunLog()
    rows, kept, areas, skipped = [AREA_LINE], [], [], 0
    for stamp, values, notes, error in parallel_map(measure_cycle,
                                                    [(c, settings) for c in cycles]):
        said.print(notes)
        if error:
            said.print([(UNUSABLE, stamp, error + "; cycle skipped")])
            skipped += 1
            continue
        kept.append(starts[stamp])
        areas.append([v[2] if v else np.nan for v in values])
        rows.append(trend_rows(stamp, settings.compounds, values))
    said.finish()
    write_text(os.path.join(out_dir, "trend.csv"), "".join(rows))
    columns = np.array(areas, dtype=float).reshape(len(kept), len(settings.compounds)).T
    trend_figure(os.path.join(out_dir, "trend.png"), kept, settings.compounds, list(columns))
    return len(kept), skipped
