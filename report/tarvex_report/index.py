"""The index the web view reads (format 2): DIR/index.json, a summary small
whatever the age of the root, and DIR/index/<YYYY-MM-DD>.json, the cycles
of one day, newest first. Paths are relative: raw files to ROOT, report
files to DIR."""

import os
from datetime import datetime

from .files import remove
from .results import output_paths
from .store import figure_current, load_day, write_json

FORMAT = 2
INDEX = "index.json"
DAY_FOLDER = "index"
TREND_FOLDER = "trend"


def now_text():
    return datetime.now().astimezone().isoformat(timespec="seconds")


def day_index_path(date):
    return "%s/%s.json" % (DAY_FOLDER, date)


def month_trend_path(month):
    return "%s/%s.csv" % (TREND_FOLDER, month)


def entry(stamp, record):
    """A cycle as the index lists it."""
    made = record.get("made")
    error = record.get("error")
    report = figure = None
    if made and not error:
        paths = {key: "%s/%s" % (stamp[:10], os.path.basename(path))
                 for key, path in output_paths("", stamp).items()}
        current = figure_current(record)
        figure = "current" if current else "pending"
        report = {"png": paths["png"] if current else None,
                  "svg": paths["svg"] if current else None,
                  "peaks": paths["peaks"], "cdf": paths["cdf"]}
    # Quantitation: the cycle's kind and standard from its Meta file (none:
    # a sample; None: the file is unusable), its amounts file relative to DIR.
    return {"stamp": stamp, "raw": record.get("raw"), "report": report, "figure": figure,
            "settings": made if report else None, "error": error,
            "kind": record.get("kind", "sample"), "standard": record.get("standard"),
            "amounts": record.get("amounts")}


def write_day(out_dir, date, records):
    path = os.path.join(out_dir, day_index_path(date))
    if not records:
        remove([path])
        return
    os.makedirs(os.path.dirname(path), exist_ok=True)
    cycles = [entry(stamp, records[stamp]) for stamp in sorted(records, reverse=True)]
    write_json(path, {"format": FORMAT, "date": date, "cycles": cycles})


def latest_entry(out_dir, state):
    """The newest cycle's entry, from the newest day's records."""
    for date in sorted(state["days"], reverse=True):
        records = load_day(out_dir, date)
        if records:
            newest = max(records)
            return entry(newest, records[newest])
    return None


def write_summary(out_dir, state, with_trend):
    """DIR/index.json from the state: every day and month with cycles,
    newest first, and the newest cycle."""
    days = sorted(((date, info["cycles"]) for date, info in state["days"].items()
                   if info.get("cycles")), reverse=True)
    months = {}
    for date, count in days:
        months[date[:7]] = months.get(date[:7], 0) + count
    settings = dict(state["settings"] or {})
    png = state.get("trend_png") or {}
    trend = None
    if with_trend:
        current = png.get("settings") == settings.get("id") and \
            os.path.exists(os.path.join(out_dir, TREND_FOLDER, "trend.png"))
        trend = {"png": TREND_FOLDER + "/trend.png" if current else None}
    summary = {
        "format": FORMAT,
        "generated": now_text(),
        "settings": {key: settings.get(key) for key in ("id", "peaks", "snr", "since")},
        "cycles": sum(count for _, count in days),
        "days": [{"date": date, "cycles": count, "index": day_index_path(date)}
                 for date, count in days],
        "months": [{"month": month, "cycles": count,
                    "trend": month_trend_path(month) if with_trend else None}
                   for month, count in months.items()],
        "latest": latest_entry(out_dir, state),
        "trend": trend,
    }
    write_json(os.path.join(out_dir, INDEX), summary)
