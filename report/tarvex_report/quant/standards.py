"""The standards file of an instrument (/etc/tarvex/<instance>.standards):
the certified amount of each compound in each standard (a cylinder, or one
dilution level of it), one line each:

    standard<TAB>name<TAB>amount<TAB>unit

"#" starts a comment; blank lines are ignored. A bad line is named with what
to do and skipped; a compound given in two units is not calibrated at all
(amounts in different units on one curve would be wrong numbers)."""

import math
from dataclasses import dataclass

from ..problems import UnusableInput
from ..inputs import read_text
from .settings import clip

FORMAT = "standard<TAB>name<TAB>amount<TAB>unit"
# Problems named one by one; beyond, counted.
LISTED = 10


@dataclass(frozen=True)
class Standards:
    path: str
    amounts: dict  # standard id -> {compound: certified amount}
    units: dict  # compound -> unit

    def amount(self, standard, name):
        return self.amounts.get(standard, {}).get(name)

    def unit(self, name):
        return self.units.get(name, "")


class Complaints:
    """The first few problems said in full, the rest counted."""

    def __init__(self, path, notes):
        self.path, self.notes, self.count = path, notes, 0

    def add(self, reason, line=None):
        self.count += 1
        if self.count <= LISTED:
            self.notes.add(self.path, reason, line)

    def finish(self):
        if self.count > LISTED:
            self.notes.add(self.path, "%d more problems; correct the ones above first"
                           % (self.count - LISTED))


def read_standards(path, notes):
    """The usable lines of the file; problems go to notes. A file that
    cannot be read or has no usable line is unusable."""
    text = read_text(path)
    complaints = Complaints(path, notes)
    given_on = {}  # (standard, name) -> line
    units = {}  # name -> (unit, line)
    dropped = set()
    entries = []
    for number, line in enumerate(text.splitlines(), start=1):
        content = line.split("#", 1)[0].rstrip()
        if not content.strip():
            continue
        entry, problem = parse_line(content)
        if problem:
            complaints.add(problem + "; line skipped", number)
            continue
        standard, name, amount, unit = entry
        if (standard, name) in given_on:
            complaints.add("%s in %s is already given on line %d; line skipped (one certified "
                           "amount per compound and standard)"
                           % (clip(name), clip(standard), given_on[standard, name]), number)
            continue
        given_on[standard, name] = number
        first_unit, first_line = units.setdefault(name, (unit, number))
        if unit != first_unit and name not in dropped:
            dropped.add(name)
            complaints.add("%s is in %s here but in %s on line %d; give every amount of a "
                           "compound in one unit; %s is not calibrated"
                           % (clip(name), clip(unit), clip(first_unit), first_line, clip(name)),
                           number)
        entries.append(entry)
    complaints.finish()
    amounts = {}
    for standard, name, amount, unit in entries:
        if name not in dropped:
            amounts.setdefault(standard, {})[name] = amount
    if not amounts:
        raise UnusableInput(path, "no usable line in the standards file (lines of %s)" % FORMAT)
    return Standards(path, amounts, {name: unit for name, (unit, _) in units.items()
                                     if name not in dropped})


def parse_line(content):
    fields = [field.strip() for field in content.split("\t")]
    if len(fields) != 4:
        return None, ("expected %s, found %d tab-separated field%s; separate the four fields "
                      "with tabs" % (FORMAT, len(fields), "" if len(fields) == 1 else "s"))
    standard, name, amount_text, unit = fields
    for value, what in ((standard, "standard id"), (name, "compound name"), (unit, "unit")):
        if not value:
            return None, "the %s is empty" % what
    try:
        amount = float(amount_text)
    except ValueError:
        return None, ("amount %r is not a number; write the certified amount as a decimal "
                      "number such as 2.5" % clip(amount_text))
    if not math.isfinite(amount):
        return None, "amount %r is not a finite number" % clip(amount_text)
    if amount <= 0:
        return None, ("amount %s is not above zero; give the standard's certified amount "
                      "(zero air is run as a blank cycle, not listed here)" % clip(amount_text))
    return (standard, name, amount, unit), None
