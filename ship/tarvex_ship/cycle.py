"""One cycle as it is shipped: its description and the rows of each part,
each row with the hash of its content, read from the files of its stamp."""

import hashlib
import json
import os
from dataclasses import dataclass, field

from . import rawfiles, reportfiles
from .localtime import stamp_time
from .scan import raw_names, report_names, signature


@dataclass
class Cycle:
    stamp: str
    started: object  # aware datetime
    description: dict
    # table -> rows; None: the file is unusable, what the database holds stays
    parts: dict = field(default_factory=dict)
    signature: str = ""
    sha256: bytes = b""


def row_hash(row):
    return hashlib.sha256(json.dumps(row, sort_keys=True, default=str).encode()).digest()


def read_files(folder, names):
    """{key: bytes or None} and {name: (size, mtime_ns)} of the files read."""
    contents, seen = {}, {}
    for key, name in names.items():
        try:
            with open(os.path.join(folder, name), "rb") as stream:
                status = os.fstat(stream.fileno())
                contents[key] = stream.read()
            seen[name] = (status.st_size, status.st_mtime_ns)
        except FileNotFoundError:
            contents[key] = None
    return contents, seen


def read_cycle(root, reports, stamp, instrument, notes):
    """The cycle of stamp, from ROOT/<day>/ and REPORTS/<day>/. OSError when
    a file exists but cannot be read."""
    day = stamp[:10]
    raw_folder, report_folder = os.path.join(root, day), os.path.join(reports, day)
    raw_files, report_files = raw_names(stamp), report_names(stamp)
    raw, raw_seen = read_files(raw_folder, raw_files)
    made, made_seen = read_files(report_folder, report_files)
    path = lambda folder, names, key: os.path.join(folder, names[key])  # noqa: E731

    description = rawfiles.read_meta(path(raw_folder, raw_files, "meta"), raw["meta"],
                                     instrument, notes)
    description["report_error"] = reportfiles.report_error(made["error"])
    parts = {"trace": [], "temperature": [], "flow": []}
    if raw["pid"] is not None:
        parts["trace"] = rawfiles.trace_rows(path(raw_folder, raw_files, "pid"), raw["pid"], notes)
    for key, controller in (("tc64", 64), ("tc66", 66)):
        if raw[key] is not None:
            parts["temperature"] += rawfiles.temperature_rows(
                path(raw_folder, raw_files, key), controller, raw[key], notes)
    if raw["flow"] is not None:
        parts["flow"] = rawfiles.flow_rows(path(raw_folder, raw_files, "flow"), raw["flow"],
                                           notes)
    parts["peak"] = [] if made["peaks"] is None else reportfiles.peak_rows(
        path(report_folder, report_files, "peaks"), made["peaks"], notes)
    parts["amount"] = [] if made["amounts"] is None else reportfiles.amount_rows(
        path(report_folder, report_files, "amounts"), made["amounts"], description["kind"],
        notes)

    cycle = Cycle(stamp, stamp_time(stamp), description, parts,
                  signature(dict(raw_seen, **made_seen)))
    whole = hashlib.sha256(row_hash(description))
    for table in sorted(parts):
        rows = parts[table]
        whole.update(table.encode())
        if rows is None:
            whole.update(b"unusable")
            continue
        for row in rows:
            row["sha256"] = row_hash(row)
            whole.update(row["sha256"])
    cycle.sha256 = whole.digest()
    return cycle
