"""The figures of a report folder, drawn after the results are up to date:
a figure costs a fifth of a second of processor time, a result a few
milliseconds, so `update` draws only the figures of the cycles new in its
run (newest first, at most NEW_FIGURES) and, when asked, older ones for a
while; `tarvex-report figures` draws every one still to draw.

A figure counts as current only while the cycle's files and the settings
are those it was drawn from: each drawn figure is recorded with the
settings' id (and carries it in its corner), under the state's lock, and
only when the cycle's record still matches what was drawn. Until then the
index lists the cycle's figure as "pending", without its files."""

import math
import os
import time

from .index import write_day, write_summary
from .problems import say
from .results import COMPANIONS, Cycle
from .store import figure_pending, load_day, load_root, locked, save_day, save_root
from .trendfiles import draw_figure as draw_trend_figure
from .work import FigureJob, Progress, Workers, make_figure

NEW_FIGURES = 10
# Figures drawn between two recordings in the index.
BATCH = 32
# A pool of workers pays off from this many figures (each a fifth of a second).
FIGURES_PER_WORKER = 3
# trend.png is redrawn at most this often (it reads a year of trend rows).
TREND_FIGURE_EVERY_S = 3600


def cycle_of_record(root, stamp, record):
    raw = record.get("raw") or {}
    pid = os.path.join(root, stamp[:10], "PID_%s.dat" % stamp)
    cycle = Cycle(stamp=stamp, pid=pid)
    for key, _ in COMPANIONS:
        if raw.get(key):
            setattr(cycle, key, os.path.join(root, raw[key]))
    return cycle


def figure_jobs(root, out_dir, settings, wanted=None, limit=BATCH, tried=()):
    """Up to limit figures still to draw, newest first: of the stamps
    wanted, or of any cycle when wanted is None; none tried already."""
    with locked(out_dir):
        state = load_root(out_dir) or {"days": {}}
    if wanted is None:
        dates = [d for d in sorted(state["days"], reverse=True) if state["days"][d].get("pending")]
    else:
        dates = sorted({stamp[:10] for stamp in wanted}, reverse=True)
    jobs = []
    for date in dates:
        records = load_day(out_dir, date)
        for stamp in sorted(records, reverse=True):
            if stamp in tried or (wanted is not None and stamp not in wanted):
                continue
            if figure_pending(records[stamp], settings.id):
                jobs.append(FigureJob(cycle_of_record(root, stamp, records[stamp]),
                                      os.path.join(out_dir, date), settings,
                                      records[stamp]["sig"]))
                if len(jobs) >= limit:
                    return jobs
    return jobs


def record_drawn(out_dir, settings, drawn, with_trend):
    """Marks the drawn figures current where the records still match them."""
    by_day = {}
    for job in drawn:
        by_day.setdefault(job.cycle.stamp[:10], []).append(job)
    with locked(out_dir):
        state = load_root(out_dir)
        if state is None:
            return
        for date, jobs in by_day.items():
            records = load_day(out_dir, date)
            for job in jobs:
                record = records.get(job.cycle.stamp)
                if record and record.get("sig") == job.sig and record.get("made") == settings.id:
                    record["figure"] = settings.id
            save_day(out_dir, date, records)
            write_day(out_dir, date, records)
            if date in state["days"]:
                state["days"][date]["pending"] = sum(figure_pending(r, settings.id)
                                                     for r in records.values())
        save_root(out_dir, state)
        write_summary(out_dir, state, with_trend)


def pending_count(out_dir):
    state = load_root(out_dir) or {"days": {}}
    return sum(info.get("pending", 0) for info in state["days"].values())


def draw_pending(root, out_dir, settings, said, new_stamps=(), seconds=0.0, progress=False):
    """Draws the figures of new_stamps (the NEW_FIGURES newest), then older
    ones still to draw, newest first, for up to seconds (math.inf: all).
    Returns the number of figures still to draw."""
    deadline = time.monotonic() + seconds
    with_trend = bool(settings.compounds)
    with locked(out_dir, "figures.lock", wait=False) as mine:
        if not mine:
            say("%s: another run is drawing the figures; this one leaves them to it" % out_dir)
            return pending_count(out_dir)
        counter = Progress("figures", pending_count(out_dir) if progress else 0)
        tried = set()  # a figure that could not be drawn is not tried again in this run
        with Workers(threshold=FIGURES_PER_WORKER) as workers:
            wanted = set(sorted(new_stamps, reverse=True)[:NEW_FIGURES])
            jobs = figure_jobs(root, out_dir, settings, wanted, NEW_FIGURES) if wanted else []
            while True:
                drawn = []
                tried.update(job.cycle.stamp for job in jobs)
                for job, (_, done, notes) in zip(jobs, workers.map(make_figure, jobs)):
                    said.print(notes)
                    if done:
                        drawn.append(job)
                    counter.step()
                if drawn:
                    record_drawn(out_dir, settings, drawn, with_trend)
                if seconds <= 0 or time.monotonic() >= deadline:
                    break
                jobs = figure_jobs(root, out_dir, settings, tried=tried)
                if not jobs:
                    break
        if with_trend:
            refresh_trend_figure(out_dir, settings, force=seconds == math.inf)
    return pending_count(out_dir)


def refresh_trend_figure(out_dir, settings, force=False):
    """trend.png again when the trend grew since it was drawn, at most every
    TREND_FIGURE_EVERY_S unless forced or drawn with other settings."""
    with locked(out_dir):
        state = load_root(out_dir)
    if state is None or not state.get("trend"):
        return
    drawn, last = state.get("trend_png") or {}, state["trend"]["last"]
    if drawn.get("settings") == settings.id:
        if drawn.get("last") == last:
            return
        if not force and time.time() - drawn.get("drawn", 0) < TREND_FIGURE_EVERY_S:
            return
    draw_trend_figure(out_dir, settings.compounds)
    with locked(out_dir):
        state = load_root(out_dir)
        state["trend_png"] = {"settings": settings.id, "drawn": time.time(), "last": last}
        save_root(out_dir, state)
        write_summary(out_dir, state, True)
