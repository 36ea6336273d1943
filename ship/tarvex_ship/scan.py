"""Finding what is new, cheaply. Each day folder below the data root (and
its twin in the report folder) is listed only when its modification time
changed since the last run -- a file made, renamed or removed in it changes
it -- or when it is one of the two newest days, where the controller
appends to files in place. In a listed folder a cycle whose files differ
(name, size, modification time) from what was shipped goes to the backlog."""

import os
import re

from .localtime import stamp_time

STAMP = r"\d{4}-\d{2}-\d{2}_\d{2}-\d{2}-\d{2}"
DAY = re.compile(r"\d{4}-\d{2}-\d{2}")
RAW_FILE = re.compile(r"(?:PID|TC64|TC66|Flow|Meta)_(%s)\.(?:dat|TLog|json)" % STAMP)
REPORT_FILE = re.compile(r"(%s)\.(?:peaks\.csv|amounts\.csv|error)" % STAMP)
ALWAYS_LISTED_DAYS = 2
# Before the signature of a cycle the database refused: tried again when its
# files change, or with a full look (--full).
REFUSED = "refused:"


def raw_names(stamp):
    return {"pid": "PID_%s.dat" % stamp, "tc64": "TC64_%s.TLog" % stamp,
            "tc66": "TC66_%s.TLog" % stamp, "flow": "Flow_%s.TLog" % stamp,
            "meta": "Meta_%s.json" % stamp}


def report_names(stamp):
    return {"peaks": "%s.peaks.csv" % stamp, "amounts": "%s.amounts.csv" % stamp,
            "error": "%s.error" % stamp}


def signature(files):
    """files: {name: (size, mtime_ns)}."""
    return ";".join("%s:%d:%d" % (name, size, mtime) for name, (size, mtime)
                    in sorted(files.items()))


def folder_mtime(path):
    try:
        return os.stat(path).st_mtime_ns
    except FileNotFoundError:
        return 0


def listing(folder, pattern):
    """{stamp: {name: (size, mtime_ns)}} of the files in folder matching pattern."""
    found = {}
    try:
        entries = list(os.scandir(folder))
    except FileNotFoundError:
        return found
    for entry in entries:
        match = pattern.fullmatch(entry.name)
        if not match:
            continue
        try:
            status = entry.stat()
        except FileNotFoundError:
            continue
        found.setdefault(match.group(1), {})[entry.name] = (status.st_size, status.st_mtime_ns)
    return found


def valid_stamp(stamp):
    try:
        stamp_time(stamp)
        return True
    except ValueError:
        return False


def find_changed(root, reports, state, full=False):
    """Adds every new or changed cycle to the backlog (with full, every day is
    listed and refused cycles are tried again); returns how many day folders
    were listed."""
    days = sorted(name for name in os.listdir(root)
                  if DAY.fullmatch(name) and os.path.isdir(os.path.join(root, name)))
    listed = 0
    for day in days:
        raw_folder, report_folder = os.path.join(root, day), os.path.join(reports, day)
        # Times first, then the listing: a file made meanwhile changes the time again.
        folders = "%d:%d" % (folder_mtime(raw_folder), folder_mtime(report_folder))
        recent = day in days[-ALWAYS_LISTED_DAYS:]
        if not (full or recent) and state.folder_signature(day) == folders:
            continue
        listed += 1
        raw = listing(raw_folder, RAW_FILE)
        made = listing(report_folder, REPORT_FILE)
        stamps = [stamp for stamp in sorted(raw) if valid_stamp(stamp)]
        current = {stamp: signature(dict(raw[stamp], **made.get(stamp, {}))) for stamp in stamps}
        with state.transaction():
            shipped = state.shipped_signatures(stamps) if stamps else {}
            state.add_pending(stamp for stamp in stamps if shipped.get(stamp) not in
                              ([current[stamp]] if full else [current[stamp],
                                                              REFUSED + current[stamp]]))
            state.set_folder_signature(day, folders)
    return listed
