"""Keeps a report folder up to date with a data root; run after every cycle.

For each detector file ROOT/<day>/PID_<stamp>.dat without a report in
DIR/<day>/ (no <stamp>.peaks.csv, or one older than the detector file) the
cycle is reported; a cycle that cannot be is recorded in <stamp>.error (one
line, the message) and tried again only when its detector file changes.
With a peak table the trend (DIR/trend/) is rewritten when anything was
reported. Last, DIR/index.json lists every cycle, newest first, for the web
view. With nothing new, the run only looks at file times and rewrites the
index."""

import json
import os
from datetime import datetime

from . import DEFAULT_SNR
from .files import write_text
from .problems import Notes, UnusableInput, say
from .results import cycles_below, output_paths

INDEX = "index.json"
TREND_FOLDER = "trend"


def modified(path):
    try:
        return os.stat(path).st_mtime
    except OSError:
        return None


def up_to_date(path, source_time):
    time = modified(path)
    return time is not None and time >= source_time


def error_path(day_out, stamp):
    return os.path.join(day_out, stamp + ".error")


def run_update(root, out_dir, compounds=(), table_path=None, snr=DEFAULT_SNR):
    """Returns the number of cycles reported in this run."""
    notes = Notes()
    cycles = cycles_below(root, notes)
    notes.print_all()
    reported = 0
    for cycle in cycles:
        day_out = os.path.join(out_dir, cycle.stamp[:10])
        source_time = modified(cycle.pid)
        if source_time is None:
            continue
        if up_to_date(output_paths(day_out, cycle.stamp)["peaks"], source_time) or \
                up_to_date(error_path(day_out, cycle.stamp), source_time):
            continue
        report_one(cycle, day_out, compounds, snr)
        reported += 1
    if compounds:
        refresh_trend(root, out_dir, compounds, table_path, snr, reported)
    write_index(root, out_dir, cycles, bool(compounds))
    return reported


def report_one(cycle, day_out, compounds, snr):
    from .cycle import report_cycle  # matplotlib and scipy: only when there is work

    notes = Notes()
    error = None
    try:
        os.makedirs(day_out, exist_ok=True)
        report_cycle(cycle.pid, day_out, notes, compounds, snr)
    except UnusableInput as problem:
        error = str(problem)
    except OSError as problem:
        error = "%s: cannot write the report: %s" % (day_out, problem.strerror or problem)
    except Exception as problem:  # one bad cycle must not stop the service
        error = "%s: cannot be reported: %s: %s" % (cycle.pid, type(problem).__name__, problem)
    notes.print_all()
    stale_error = error_path(day_out, cycle.stamp)
    if error:
        say(error)
        if os.path.isdir(day_out):
            write_text(stale_error, " ".join(error.split()) + "\n")
    elif os.path.exists(stale_error):
        os.unlink(stale_error)


def refresh_trend(root, out_dir, compounds, table_path, snr, reported):
    folder = os.path.join(out_dir, TREND_FOLDER)
    trend_time = modified(os.path.join(folder, "trend.csv"))
    table_time = modified(table_path) if table_path else None
    table_changed = table_time is not None and (trend_time is None or table_time > trend_time)
    if reported == 0 and trend_time is not None and not table_changed:
        return
    from .trend import run_trend

    os.makedirs(folder, exist_ok=True)
    run_trend(root, compounds, folder, snr=snr)


def relative_or_none(path, base):
    return os.path.relpath(path, base) if path and os.path.exists(path) else None


def cycle_entry(root, out_dir, cycle):
    day_out = os.path.join(out_dir, cycle.stamp[:10])
    raw = {key: relative_or_none(getattr(cycle, key), root)
           for key in ("pid", "tc64", "tc66", "flow")}
    source_time = modified(cycle.pid) or 0
    paths = output_paths(day_out, cycle.stamp)
    if up_to_date(paths["peaks"], source_time):
        report = {key: relative_or_none(paths[key], out_dir)
                  for key in ("png", "svg", "peaks", "cdf")}
        return {"stamp": cycle.stamp, "raw": raw, "report": report, "error": None}
    error = "not reported yet"
    try:
        with open(error_path(day_out, cycle.stamp), encoding="utf-8", errors="replace") as stream:
            error = stream.readline().strip() or error
    except OSError:
        pass
    return {"stamp": cycle.stamp, "raw": raw, "report": None, "error": error}


def write_index(root, out_dir, cycles, with_trend):
    days = {}
    for cycle in sorted(cycles, key=lambda c: c.stamp, reverse=True):
        days.setdefault(cycle.stamp[:10], []).append(cycle_entry(root, out_dir, cycle))
    trend = None
    if with_trend:
        trend = {"csv": TREND_FOLDER + "/trend.csv", "png": TREND_FOLDER + "/trend.png"}
    index = {"generated": datetime.now().astimezone().isoformat(timespec="seconds"),
             "days": [{"date": day, "cycles": entries} for day, entries in days.items()],
             "trend": trend}
    write_text(os.path.join(out_dir, INDEX), json.dumps(index, indent=1) + "\n")
