"""What `update` remembers between runs, in DIR/.state/ (a dot folder: the web
server serves no dot files), so that a run after one new cycle looks at that
cycle's day and not at the whole root:

- state.json: the root, the settings in use and since when, and per day of
  the root its folder's modification time (a folder gains or loses entries
  only by changing it), its number of cycles and of figures still to draw;
  the trend files' sizes; whether a run is under way (a run stopped half
  way is made good by the next);
- days/<YYYY-MM-DD>.json: per cycle of that day its record -- the size and
  time of each of its files ("sig"), the settings its results were made with
  ("made"), the error that kept it from being reported, the settings its
  figure was drawn with, its rows of the trend and its analysis (kept.py),
  its kind and standard (Meta file) and its amounts file;
- quant/: quantitation's own state (quant/folder.py).

A missing or damaged state file only costs time: the days it described are
looked at, and their cycles reported, again."""

import fcntl
import json
import os
import stat
from contextlib import contextmanager

from .files import remove, write_text
from .inputs import open_regular
from .problems import UnusableInput

STATE_FOLDER = ".state"
FORMAT = 1


def folder(out_dir, *names):
    return os.path.join(out_dir, STATE_FOLDER, *names)


def read_json(path):
    """The object in the file, or None when it is missing or not what this
    program writes (then the work it recorded is done again)."""
    try:
        with open_regular(path) as stream:
            value = json.load(stream)
    except (UnusableInput, OSError, ValueError):
        return None
    return value if isinstance(value, dict) else None


def write_json(path, value):
    write_text(path, json.dumps(value, separators=(",", ":"), ensure_ascii=False) + "\n")


@contextmanager
def locked(out_dir, name="lock", wait=True):
    """Holds DIR/.state/<name> locked (yields False, holding nothing, when
    wait is False and another process has it)."""
    os.makedirs(folder(out_dir, "days"), exist_ok=True)
    handle = os.open(folder(out_dir, name), os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o644)
    try:
        try:
            fcntl.flock(handle, fcntl.LOCK_EX | (0 if wait else fcntl.LOCK_NB))
        except BlockingIOError:
            yield False
            return
        yield True
    finally:
        os.close(handle)


def load_root(out_dir):
    state = read_json(folder(out_dir, "state.json"))
    if state is None or state.get("format") != FORMAT or not isinstance(state.get("days"), dict):
        return None
    return state


def new_root(root):
    return {"format": FORMAT, "root": root, "settings": None, "days": {}, "trend": None,
            "trend_png": None, "dirty": False}


def save_root(out_dir, state):
    write_json(folder(out_dir, "state.json"), state)


def load_day(out_dir, date):
    """{stamp: record} of a day; empty when unknown."""
    records = read_json(folder(out_dir, "days", date + ".json"))
    return records if records is not None else {}


def save_day(out_dir, date, records):
    path = folder(out_dir, "days", date + ".json")
    if records:
        write_json(path, records)
    else:
        remove([path])


def file_sig(path):
    """[size, modification time (ns), file type] of a file, None when missing."""
    try:
        info = os.stat(path)
    except OSError:
        return None
    return [info.st_size, info.st_mtime_ns, stat.S_IFMT(info.st_mode)]


def figure_current(record):
    """True when the cycle's figure shows its current results."""
    return bool(record.get("made")) and not record.get("error") and \
        record.get("figure") == record.get("made")


def figure_pending(record, settings_id):
    """True when the results are those of the settings in use and their
    figure is still to be drawn."""
    return record.get("made") == settings_id and not record.get("error") and \
        record.get("figure") != settings_id


def requeue(out_dir, stamps):
    """Makes the next `update` report these cycles again (their results, the
    index entries and trend rows): for a later step that learns something
    new about past cycles, e.g. a calibration that now governs them. Their
    figures stay current when the results come out the same."""
    by_day = {}
    for stamp in stamps:
        by_day.setdefault(stamp[:10], []).append(stamp)
    with locked(out_dir):
        state = load_root(out_dir)
        for date, day_stamps in by_day.items():
            records = load_day(out_dir, date)
            for stamp in day_stamps:
                if stamp in records:
                    records[stamp]["made"] = None
            save_day(out_dir, date, records)
            if state is not None and date in state["days"]:
                state["days"][date]["mtime"] = None  # look at the day again
        if state is not None:
            save_root(out_dir, state)
