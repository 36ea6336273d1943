"""What quantitation reads of a cycle: its kind from ROOT/<day>/Meta_<stamp>.json
(written by the service around the cycle; a cycle without one is a sample)
and its peaks from DIR/<day>/<stamp>.peaks.csv (with or without the last
column comment)."""

import csv
import io
import json
import math
import os
from dataclasses import dataclass, field

from ..inputs import read_text
from .settings import clip

KINDS = ("sample", "blank", "calibration", "check")
PEAKS_COLUMNS = ["peak", "name", "retention_s", "start_s", "end_s", "height_mV", "area_mVs",
                 "width_s"]


@dataclass(frozen=True)
class Meta:
    kind: str = "sample"  # None: the file is unusable, the cycle is left out
    standard: str = None
    exit_status: int = 0

    @property
    def completed(self):
        return self.exit_status == 0


@dataclass(frozen=True)
class PeakRow:
    retention: float  # s
    area: float  # mV*s
    width: float  # s at half height
    height: float = float("nan")  # mV
    comment: str = ""


@dataclass
class CycleInput:
    """One cycle as quantitation sees it; peaks None when it has no peak list
    (not reported, or its detector file unusable)."""

    stamp: str
    meta: Meta = field(default_factory=Meta)
    peaks: list = None
    noise: float = None  # mV, standard deviation of the baseline; None when unknown


def meta_path(root, stamp):
    return os.path.join(root, stamp[:10], "Meta_%s.json" % stamp)


def read_meta(path, notes):
    """The cycle's kind; a missing file makes a sample (older data). A file
    that cannot be used is said and gives kind None."""
    if not os.path.exists(path):
        return Meta()
    unusable = Meta(kind=None)
    try:
        content = json.loads(read_text(path))
    except ValueError as error:
        notes.add(path, "not JSON (%s); the cycle is left out of quantitation until the file "
                  "is corrected" % clip(str(error), 60))
        return unusable
    except Exception as error:  # unreadable: read_text says why
        notes.add(path, "%s; the cycle is left out of quantitation" % clip(str(error), 80))
        return unusable
    problem = meta_problem(content)
    if problem:
        notes.add(path, problem + "; the cycle is left out of quantitation until the file is "
                  "corrected")
        return unusable
    status = content.get("exit_status", 0)
    return Meta(content["kind"], content.get("standard"), status)


def meta_problem(content):
    if not isinstance(content, dict):
        return "not a JSON object"
    kind = content.get("kind")
    if kind not in KINDS:
        return "kind %s is not one of %s" % (clip(json.dumps(kind)), ", ".join(KINDS))
    standard = content.get("standard")
    if standard is not None and not (isinstance(standard, str) and standard.strip()):
        return "standard %s is neither a standard id nor null" % clip(json.dumps(standard))
    status = content.get("exit_status", 0)
    if isinstance(status, bool) or not isinstance(status, int):
        return "exit_status %s is not a whole number" % clip(json.dumps(status))
    return None


def read_peaks_csv(path):
    """The peaks of a cycle's peak list; None with the reason when it is
    not one."""
    return parse_peaks_csv(read_text(path))


def parse_peaks_csv(text):
    rows = list(csv.reader(io.StringIO(text)))
    if not rows or rows[0] not in (PEAKS_COLUMNS, PEAKS_COLUMNS + ["comment"]):
        return None, "not a peak list (header %s)" % ",".join(PEAKS_COLUMNS)
    peaks = []
    for number, row in enumerate(rows[1:], start=2):
        if len(row) not in (8, 9):
            return None, "line %d: %d fields, expected 8 or 9" % (number, len(row))
        try:
            retention, height, area, width = (float(row[i]) for i in (2, 5, 6, 7))
        except ValueError:
            return None, "line %d: a number is not a number" % number
        if not all(math.isfinite(v) for v in (retention, height, area, width)):
            return None, "line %d: a number is not finite" % number
        peaks.append(PeakRow(retention, area, width, height, row[8] if len(row) == 9 else ""))
    return peaks, None
