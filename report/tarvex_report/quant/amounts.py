"""One compound's amount in one cycle, and <stamp>.amounts.csv.

The amount is the compound's area read back off its curve in force (on a
quadratic, the root on the rising branch nearest the calibrated range).
Flags, space-separated, in this order:

  lod           below the detection limit in force
  over-range    above the highest calibrated level (the amount is extrapolated)
  uncalibrated  no accepted curve: no amount
  qc-fail       the compound's latest check standard failed
  rt-shift      the peak lies outside the compound's retention window
  saturated     the detector was saturated on the peak (peaks.csv comment)
  blank         the compound was above the detection limit in the latest blank
  not-found     no peak: no area and no amount
"""

import csv
import io
import math
from dataclasses import dataclass, replace

import numpy as np

from .models import amount_of

FLAGS = ("lod", "over-range", "uncalibrated", "qc-fail", "rt-shift", "saturated", "blank",
         "not-found")
HEADER = ["name", "retention_s", "area_mVs", "amount", "unit", "flags"]


@dataclass(frozen=True)
class AmountRow:
    name: str
    retention: float  # s; None when not found
    area: float  # mV*s; None when not found
    amount: float  # in unit; None when not found or uncalibrated
    unit: str
    flags: tuple = ()

    def with_flags(self, flags):
        return replace(self, flags=tuple(f for f in FLAGS if f in flags))

    @property
    def flag_text(self):
        return " ".join(self.flags)


def row_of(compound, found, curve, unit):
    """The row, and the flags known from the cycle and the curve alone (the
    history adds qc-fail, blank and lod against the limit in force)."""
    flags = set()
    usable = curve is not None and curve["accepted"]
    if not usable:
        flags.add("uncalibrated")
    if found is None:
        flags.add("not-found")
        return AmountRow(compound.name, None, None, None, unit), flags
    peak = found.peak
    if found.shifted:
        flags.add("rt-shift")
    if found.saturated:
        flags.add("saturated")
    amount = None
    if usable:
        low, high = curve["range"]
        amount = amount_of(curve["coefficients"], peak.area, low, high)
        if amount is not None and not math.isfinite(amount):
            amount = None
        if amount is None:
            # The curve never gives this area: above its top or below its foot.
            above = peak.area > float(np.polyval(curve["coefficients"], high))
            flags.add("over-range" if above else "lod")
        elif amount > high:
            flags.add("over-range")
        elif amount <= 0:
            flags.add("lod")
    return AmountRow(compound.name, peak.retention, peak.area, amount, unit), flags


def amounts_csv(rows):
    text = io.StringIO()
    writer = csv.writer(text, lineterminator="\n")
    writer.writerow(HEADER)
    for row in rows:
        writer.writerow([row.name, "" if row.retention is None else "%.2f" % row.retention,
                         "" if row.area is None else "%.3f" % row.area,
                         "" if row.amount is None else "%.5g" % row.amount,
                         row.unit, row.flag_text])
    return text.getvalue()


def read_amounts_csv(text):
    """{name: (amount text, unit, flags text)} of an amounts file's text, for
    the trend's columns amount,unit,flags; None when it is not one."""
    rows = list(csv.reader(io.StringIO(text)))
    if not rows or rows[0] != HEADER or any(len(row) != len(HEADER) for row in rows[1:]):
        return None
    return {row[0]: (row[3], row[4], row[5]) for row in rows[1:]}
