"""The days of a data root as `update` looks at them: which day folders
there are, and in a day that changed, which cycles need their results made
again and what the index is to say of each (store.py keeps the records)."""

import os
import stat
from dataclasses import dataclass

from .problems import UNUSABLE, Notes, message
from .quant.inputs import meta_path, read_meta
from .results import COMPANIONS, DAY_NAME, PID_NAME, Cycle
from .store import load_day
from .work import ResultsJob, cycle_sig

RAW_KEYS = ("pid",) + tuple(key for key, _ in COMPANIONS)
RAW_FILES = len(RAW_KEYS)  # cycle_sig: these, then the Meta file


@dataclass
class Day:
    date: str
    mtime: int  # ns, of the root's day folder
    records: dict  # stamp -> record (store.py)
    jobs: list
    new: set  # stamps whose files are new or changed
    gone: bool  # cycles of the day are gone from the root


def list_days(root):
    """{date: folder modification time (ns)} of the root's day folders."""
    days = {}
    with os.scandir(root) as entries:
        for item in entries:
            if DAY_NAME.fullmatch(item.name) and item.is_dir():
                days[item.name] = item.stat().st_mtime_ns
    return days


def detector_files(root, date):
    return sum(1 for name in os.listdir(os.path.join(root, date)) if PID_NAME.fullmatch(name))


def raw_paths(cycle, sig):
    """The cycle's files relative to ROOT (its day folder and name); None
    where missing or not a regular file."""
    paths = {}
    for (key, path), file in zip(((key, getattr(cycle, key)) for key in RAW_KEYS), sig):
        regular = path and file and file[2] == stat.S_IFREG
        paths[key] = "%s/%s" % (cycle.stamp[:10], os.path.basename(path)) if regular else None
    return paths


def padded(sig):
    """A record's signature; those of older versions lack the Meta file's."""
    sig = list(sig or [])
    return sig + [None] * (RAW_FILES + 1 - len(sig)) if sig else sig


def look_at_day(root, out_dir, date, mtime, settings, said, meta_notes=None):
    """The day's records and the cycles whose results must be made again.
    A cycle whose Meta file alone changed gets its results made again from
    its kept analysis, its figure kept. Problems with Meta files go to
    meta_notes (quantitation says them; None: said here)."""
    folder = os.path.join(root, date)
    try:
        names = set(os.listdir(folder))
    except FileNotFoundError:  # removed since the root was listed
        names = set()
    records = load_day(out_dir, date)
    day = Day(date, mtime, records, [], set(), False)
    seen = set()
    for name in sorted(names):
        match = PID_NAME.fullmatch(name)
        if not match:
            continue
        stamp = match.group(1)
        if stamp[:10] != date:
            path = os.path.join(folder, name)
            said.print([(UNUSABLE, path, message(path, "not in the folder of its day; left out"))])
            continue
        cycle = Cycle(stamp=stamp, pid=os.path.join(folder, name))
        for key, pattern in COMPANIONS:
            if pattern % stamp in names:
                setattr(cycle, key, os.path.join(folder, pattern % stamp))
        seen.add(stamp)
        sig = cycle_sig(cycle)
        record = records.get(stamp)
        old = padded(record and record.get("sig"))
        if record and old == sig and record.get("made") == settings.id:
            continue
        raw_changed = record is not None and old[:RAW_FILES] != sig[:RAW_FILES]
        if record is None or raw_changed:
            day.new.add(stamp)
        kept = None if raw_changed else (record or {}).get("kept")
        if kept and kept.get("id") != settings.analysis_id:
            kept = None
        notes = Notes() if meta_notes is None else meta_notes
        meta = read_meta(meta_path(root, stamp), notes)
        if meta_notes is None:
            said.print(notes.finish())
        records[stamp] = {"sig": sig, "raw": raw_paths(cycle, sig), "made": None, "error": None,
                          "figure": None if raw_changed else (record or {}).get("figure"),
                          "rows": "", "kept": kept, "kind": meta.kind,
                          "standard": meta.standard, "amounts": None}
        day.jobs.append(ResultsJob(cycle, os.path.join(out_dir, date), settings, raw_changed,
                                   kept and kept["analysis"]))
    for stamp in [stamp for stamp in records if stamp not in seen]:
        del records[stamp]
        day.gone = True
    return day
