"""Quantitation of a report folder, kept up to date at a cost proportional
to what changed.

Each day's cycles are quantitated from the state the day before left
(ledger.py); DIR/.state/quant/<day>.json keeps the state after each day
and DIR/.state/quant/days.json a signature of each day's inputs (the times
and sizes of its Meta files and peak lists) with the settings (peak table,
standards file, program version). A run starts at the first day whose
signature changed and goes on day by day; a later day whose inputs did not
change is skipped as soon as the state reaching it is the one it was
quantitated from. A new cycle costs its own day; a new calibration, the
days until the state settles again. `update` says which days it looked at
(the others cannot have new inputs): only theirs are signed anew."""

import hashlib
import os
import re
from dataclasses import dataclass, field

from .. import __version__
from ..results import PID_NAME, cycles_below
from ..store import STATE_FOLDER as HIDDEN
from .inputs import CycleInput, meta_path, read_meta, read_peaks_csv
from .outputs import (FOLDER, amounts_path, index_entry, read_index, read_json,
                      remove_amounts, remove_calibration, to_json, write_amounts,
                      write_calibration, write_if_changed, write_index)

STATE_FOLDER = os.path.join(HIDDEN, "quant")
BOOK = "days.json"
STAMP = re.compile(r"\d{4}-\d{2}-\d{2}_\d{2}-\d{2}-\d{2}")
NOISE = re.compile(r"Baseline noise ([-+0-9.eE]+) mV")


@dataclass
class Summary:
    days: int = 0  # days quantitated in this run
    amounts: int = 0  # amount files written or removed
    calibrations: int = 0  # calibrations that changed
    changed: list = field(default_factory=list)  # stamps whose amounts changed: their
    # day index entries and trend months are to be written again


def settings_id(*paths):
    """The program, and the contents of the files (None: no such file)."""
    digest = hashlib.sha256(__version__.encode())
    for path in paths:
        if path is None:
            digest.update(b"none")
            continue
        with open(path, "rb") as stream:
            digest.update(hashlib.sha256(stream.read()).digest())
    return digest.hexdigest()[:12]


def file_mark(path):
    try:
        status = os.stat(path)
    except OSError:
        return "-"
    return "%d:%d" % (status.st_mtime_ns, status.st_size)


def peaks_path(out_dir, stamp):
    return os.path.join(out_dir, stamp[:10], stamp + ".peaks.csv")


def stamps_in(root, day):
    """The stamps of the day's detector files."""
    try:
        names = os.listdir(os.path.join(root, day))
    except OSError:
        return []
    return sorted(m.group(1) for m in map(PID_NAME.fullmatch, names)
                  if m and m.group(1)[:10] == day)


class Listing(dict):
    """The stamps of each day, listed when first asked for."""

    def __init__(self, root):
        super().__init__()
        self.root = root

    def __missing__(self, day):
        self[day] = stamps_in(self.root, day)
        return self[day]


def signature(root, out_dir, stamps):
    marks = ["%s %s %s" % (s, file_mark(meta_path(root, s)), file_mark(peaks_path(out_dir, s)))
             for s in stamps]
    return hashlib.sha256("\n".join(marks).encode()).hexdigest()[:16]


def cycle_noise(out_dir, stamp):
    """The baseline noise the report wrote into the cycle's AIA file; None
    when it is not there."""
    from scipy.io import netcdf_file

    try:
        with netcdf_file(os.path.join(out_dir, stamp[:10], stamp + ".cdf"), "r",
                         mmap=False) as cdf:
            comment = cdf.peak_processing_results_comments
    except (OSError, AttributeError, TypeError, ValueError):
        return None
    match = NOISE.search(comment.decode("utf-8", "replace") if isinstance(comment, bytes)
                         else str(comment))
    return float(match.group(1)) if match else None


def cycle_input(root, out_dir, stamp, notes):
    meta = read_meta(meta_path(root, stamp), notes)
    path = peaks_path(out_dir, stamp)
    peaks = None
    if os.path.exists(path):
        peaks, problem = read_peaks_csv(path)
        if problem:
            notes.add(path, problem + "; the cycle is left out of quantitation")
    noise = cycle_noise(out_dir, stamp) if peaks is not None and meta.kind == "calibration" \
        else None
    return CycleInput(stamp, meta, peaks, noise)


def keep_cdf_current(out_dir, stamp, rows, written):
    """The AIA file's peak_amount follows the amounts. A file no newer than
    its amounts file is current (the amounts file is touched after the AIA
    file is changed), so only new or rewritten ones are opened."""
    from .cdfamounts import fill_peak_amounts  # scipy: only when there is work

    if not written and not rows:
        return  # the report writes none into it; a removed amounts file is written
    cdf = os.path.join(out_dir, stamp[:10], stamp + ".cdf")
    amounts = amounts_path(out_dir, stamp)
    try:
        cdf_newer = os.stat(cdf).st_mtime_ns > os.stat(amounts).st_mtime_ns
        if not written and not cdf_newer:
            return
        if cdf_newer and all(row.amount is None for row in rows):
            return  # the report has just written it, with no amount in it
    except OSError:
        pass  # either is missing: look
    if fill_peak_amounts(cdf, rows) and os.path.exists(amounts):
        os.utime(amounts)


def calibration_ids(out_dir):
    folder = os.path.join(out_dir, FOLDER)
    try:
        names = os.listdir(folder)
    except OSError:
        return []
    return [n for n in names if STAMP.fullmatch(n) and os.path.isdir(os.path.join(folder, n))]


class Store:
    """The states after each day, in DIR/.state/quant/."""

    def __init__(self, out_dir):
        self.folder = os.path.join(out_dir, STATE_FOLDER)

    def path(self, day):
        return os.path.join(self.folder, day + ".json")

    def after(self, day):
        stored = read_json(self.path(day))
        return stored.get("after") if isinstance(stored, dict) else None

    def keep(self, day, state):
        write_if_changed(self.path(day), to_json({"after": state}))

    def forget(self, day):
        try:
            os.unlink(self.path(day))
        except FileNotFoundError:
            pass


def update_quantitation(root, out_dir, table, standards, table_path, standards_path, notes,
                        cycles=None, figures=True, days=None, looked=None):
    """Brings the amounts and calibrations of DIR up to date with ROOT's
    cycles (results.Cycle; or days, the days with cycles, listed when
    needed; every cycle listed again when neither is given) and their peak
    lists in DIR. looked: the days whose inputs may have changed (None:
    any)."""
    names = {compound.name for compound in table.compounds}
    for name in sorted(set(standards.units) - names):
        notes.add(standards_path, "%s is not a compound of the peak table; its amounts are not "
                  "used (check the spelling)" % name)
    if days is None:
        by_day = {}
        for cycle in sorted(cycles_below(root, notes) if cycles is None else cycles,
                            key=lambda c: c.stamp):
            by_day.setdefault(cycle.stamp[:10], []).append(cycle.stamp)
        days = sorted(by_day)
    else:
        by_day, days = Listing(root), sorted(days)
    store = Store(out_dir)
    book_path = os.path.join(store.folder, BOOK)
    identity = settings_id(table_path, standards_path)
    book = read_json(book_path)
    afresh = not isinstance(book, dict) or book.get("settings") != identity or \
        not isinstance(book.get("days"), dict)
    if afresh:
        book = {"settings": identity, "days": {}}
    signatures = {day: signature(root, out_dir, by_day[day])
                  if looked is None or day in looked or day not in book["days"]
                  else book["days"][day] for day in days}
    changed = {day for day in days if book["days"].get(day) != signatures[day]}
    gone = set(book["days"]) - set(days)
    summary = Summary()
    if not changed and not gone and os.path.exists(os.path.join(out_dir, FOLDER, "index.json")):
        return summary
    from .ledger import empty_state, quantify  # numpy and scipy: only when there is work

    start = min(changed | gone) if changed | gone else (days[0] if days else "")
    earlier = [day for day in days if day < start]
    state = store.after(earlier[-1]) if earlier else None
    if earlier and state is None:  # a lost state file: from the beginning
        earlier, state, changed = [], None, set(days)
    entries = {} if afresh else read_index(out_dir)
    produced, processed = set(), set()
    state_before = state  # what the stored outputs of the next day were made from
    for day in days[len(earlier):]:
        stored_after = store.after(day)
        if day not in changed and stored_after is not None and state == state_before:
            state = state_before = stored_after
            continue
        state_before = stored_after
        inputs = [cycle_input(root, out_dir, stamp, notes) for stamp in by_day[day]]
        result = quantify(inputs, table.compounds, standards, table.settings, state)
        for remark in result.remarks:
            notes.add(root, remark)
        for stamp in by_day[day]:
            written = False
            if stamp in result.amounts:
                written = write_amounts(out_dir, stamp, result.amounts[stamp])
            elif os.path.exists(amounts_path(out_dir, stamp)):
                remove_amounts(out_dir, stamp)
                written = True
            if written:
                summary.amounts += 1
                summary.changed.append(stamp)
            keep_cdf_current(out_dir, stamp, result.amounts.get(stamp, []), written)
        for calibration in result.calibrations.values():
            summary.calibrations += write_calibration(out_dir, calibration, figures)
            entries[calibration["id"]] = index_entry(calibration)
            produced.add(calibration["id"])
        state = result.state
        store.keep(day, state)
        book["days"][day] = signatures[day]
        processed.add(day)
        summary.days += 1
    for day in gone:
        store.forget(day)
        book["days"].pop(day, None)
    for key in [k for k in entries if k[:10] in processed | gone and k not in produced]:
        remove_calibration(out_dir, key)  # its run no longer exists as it was
        del entries[key]
    if afresh:  # calibrations made under other settings
        for key in set(calibration_ids(out_dir)) - produced:
            remove_calibration(out_dir, key)
    if standards_path is not None:
        # Without a standards file nothing is calibrated: no calibration
        # index, so that the pages do not warn of a calibration nobody runs.
        write_index(out_dir, entries, state or empty_state())
    write_if_changed(book_path, to_json(book))
    return summary
