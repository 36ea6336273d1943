"""The peak table: one compound per line, name<TAB>retention_s<TAB>window_s,
then optionally how it is quantitated (model, weighting, key=value fields;
quant/settings.py); "#" starts a comment; a line named "*" holds the
defaults of every compound. A detected peak takes the name of the compound
whose retention time is nearest within that compound's window (retention_s
plus or minus window_s); each compound names at most one peak, the nearest
pairs being matched first."""

import math
from dataclasses import dataclass, field, replace

from .inputs import text_lines
from .problems import TABLE_LINE, UnusableInput
from .quant.settings import (Quantitation, TableSettings, parse_fields, quantitation_of,
                             table_settings_of)

DEFAULTS_NAME = "*"


@dataclass(frozen=True)
class Compound:
    name: str
    retention: float  # s since the detector window opened
    window: float  # s either side
    quant: Quantitation = field(default_factory=Quantitation)


@dataclass(frozen=True)
class PeakTable:
    compounds: list
    settings: TableSettings


def read_peak_table(path, notes):
    """The compounds of the table in its order; a bad line is named and
    skipped. A table without a usable line is unusable."""
    return read_table(path, notes).compounds


def read_table(path, notes):
    """The compounds with their quantitation, and the table's own settings."""
    lines = []  # (compound, its own settings)
    named_on = {}
    defaults, defaults_problem = {}, None
    for number, line in text_lines(path, notes, "line", edited=True):
        content = line.split("#", 1)[0].rstrip()
        if not content.strip():
            continue
        if content.split("\t", 1)[0].strip() == DEFAULTS_NAME:
            values, problem = parse_fields(content.split("\t")[1:], table_line=True)
            if problem:
                defaults_problem = "the defaults on line %d are unusable: %s" % (number, problem)
                notes.add(path, problem + "; no compound is quantitated until the line is "
                          "corrected", number)
            else:
                defaults.update(values)
            continue
        compound, own, problem = parse_line(content)
        if compound and compound.name in named_on:
            problem = "%s is already named on line %d" % (compound.name, named_on[compound.name])
        if problem:
            notes.add(path, problem + "; line skipped", number, TABLE_LINE)
            continue
        if own.get("problem"):
            notes.add(path, "%s; %s stays uncalibrated until the line is corrected"
                      % (own["problem"], compound.name), number)
            own["problem"] = "peak table line %d: %s" % (number, own["problem"])
        named_on[compound.name] = number
        lines.append((compound, own))
    if not lines:
        raise UnusableInput(path, "no compound in the peak table "
                            "(lines of name<TAB>retention_s<TAB>window_s)")
    base = quantitation_of(Quantitation(), defaults)
    if defaults_problem:
        base = replace(base, problem=defaults_problem)
    compounds = [replace(compound, quant=quantitation_of(base, own)) for compound, own in lines]
    return PeakTable(compounds, table_settings_of(defaults))


def parse_line(content):
    """(compound, its own quantitation settings, problem with the line)."""
    fields = content.split("\t")
    if len(fields) < 3:
        return None, None, "expected name<TAB>retention_s<TAB>window_s, found %d " \
                           "tab-separated fields" % len(fields)
    name = fields[0].strip()
    if not name:
        return None, None, "the compound has no name"
    retention = number(fields[1])
    if retention is None or retention < 0:
        return None, None, "retention %r is not a number of seconds" % fields[1].strip()
    window = number(fields[2])
    if window is None or window <= 0:
        return None, None, "window %r is not a positive number of seconds" % fields[2].strip()
    own, problem = parse_fields(fields[3:])
    if problem:
        own = {"problem": problem}
    return Compound(name, retention, window), own, None


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
