"""The peak table: one compound per line, name<TAB>retention_s<TAB>window_s;
"#" starts a comment. A detected peak takes the name of the compound whose
retention time is nearest within that compound's window (retention_s plus or
minus window_s); each compound names at most one peak, the nearest pairs
being matched first."""

import math
from dataclasses import dataclass

from .inputs import text_lines
from .problems import TABLE_LINE, UnusableInput


@dataclass(frozen=True)
class Compound:
    name: str
    retention: float  # s since the detector window opened
    window: float  # s either side


def read_peak_table(path, notes):
    """The compounds of the table in its order; a bad line is named and
    skipped. A table without a usable line is unusable."""
    compounds = []
    named_on = {}
    for number, line in text_lines(path, notes, "line", edited=True):
        content = line.split("#", 1)[0].rstrip()
        if not content.strip():
            continue
        compound, problem = parse_line(content)
        if compound and compound.name in named_on:
            problem = "%s is already named on line %d" % (compound.name, named_on[compound.name])
        if problem:
            notes.add(path, problem + "; line skipped", number, TABLE_LINE)
            continue
        named_on[compound.name] = number
        compounds.append(compound)
    if not compounds:
        raise UnusableInput(path, "no compound in the peak table "
                            "(lines of name<TAB>retention_s<TAB>window_s)")
    return compounds


def parse_line(content):
    fields = content.split("\t")
    if len(fields) != 3:
        return None, "expected name<TAB>retention_s<TAB>window_s, found %d tab-separated " \
                     "fields" % len(fields)
    name = fields[0].strip()
    if not name:
        return None, "the compound has no name"
    retention = number(fields[1])
    if retention is None or retention < 0:
        return None, "retention %r is not a number of seconds" % fields[1].strip()
    window = number(fields[2])
    if window is None or window <= 0:
        return None, "window %r is not a positive number of seconds" % fields[2].strip()
    return Compound(name, retention, window), None


def number(text):
    try:
        value = float(text)
    except ValueError:
        return None
    return value if math.isfinite(value) else None


def name_peaks(retentions, compounds):
    """Names (empty where none) for peaks at the given retention times."""
    pairs = sorted((abs(retention - compound.retention), peak, compound.name)
                   for peak, retention in enumerate(retentions)
                   for compound in compounds
                   if abs(retention - compound.retention) <= compound.window)
    names = [""] * len(retentions)
    taken = set()
    for _, peak, name in pairs:
        if not names[peak] and name not in taken:
            names[peak] = name
            taken.add(name)
    return names
