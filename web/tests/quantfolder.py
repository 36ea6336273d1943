"""A quantitated report folder for the pages: cycles of known amounts (the
report tests' synthetic chromatograms, report/tests/quantdata.py) written
as the controller and its service wrapper leave them, reported and
quantitated by tarvex-report update --standards."""
import json
import os
import sys

from conftest import TOP
from instrument_files import write_cycle

sys.path[:0] = [os.path.join(TOP, "report"), os.path.join(TOP, "report", "tests")]
import quantdata  # noqa: E402  (report/tests)
COMPOUNDS = [name for name, *_ in quantdata.COMPOUNDS]
FIRST_RUN, SECOND_RUN = "2026-12-07_08-00-00", "2026-12-08_07-00-00"
CHECK = "2026-12-08_09-00-00"
CHECK_FACTOR = 1.4  # the check standard reads 40 % high: outside the 30 % allowed


def run(day, hour, kind, standard=None, leave_out=()):
    """The calibration cycles of a run, two minutes apart: (stamp, kind,
    standard, amounts)."""
    return [("2026-12-%02d_%02d-%02d-00" % (day, hour, 2 * n), kind, level,
             {name: amount for name, amount in quantdata.every(quantdata.LEVELS[level]).items()
              if name not in leave_out})
            for n, level in enumerate(quantdata.LEVELS)]


# The second calibration run has no xylene: xylene's curve fails and leaves
# it uncalibrated; the check after it fails for benzene and toluene.
CYCLES = run(7, 8, "calibration") + [
    ("2026-12-07_09-00-00", "sample", None, {"benzene": 7.0, "toluene": 3.0, "xylene": 12.0}),
    ("2026-12-07_09-30-00", "blank", None, {}),
] + run(8, 7, "calibration", leave_out=("xylene",)) + [
    ("2026-12-08_08-00-00", "sample", None, {"benzene": 6.0, "toluene": 2.5, "xylene": 10.0}),
    (CHECK, "check", "S3", quantdata.every(quantdata.LEVELS["S3"] * CHECK_FACTOR)),
    ("2026-12-08_10-00-00", "sample", None, {"benzene": 8.0, "toluene": 30.0, "xylene": 9.0}),
]


def write_cycles(site):
    for number, (stamp, kind, standard, amounts) in enumerate(CYCLES):
        times, values = quantdata.chromatogram(amounts, seed=number)
        write_cycle(site.data, stamp, None, seconds=len(times),
                    trace=list(zip(times.astype(int), values)))
        with open(os.path.join(site.data, stamp[:10], "Meta_%s.json" % stamp), "w") as meta:
            json.dump({"kind": kind, "standard": standard, "instrument": "lab1",
                       "exit_status": 0}, meta)


def quantitated(site):
    """Reports and quantitates the cycles; the paths of the peak table and
    the standards file."""
    write_cycles(site)
    table = os.path.join(site.top, "peaks.txt")
    standards = os.path.join(site.top, "lab1.standards")
    for path, text in ((table, quantdata.TABLE), (standards, quantdata.STANDARDS)):
        with open(path, "w") as stream:
            stream.write(text)
    site.update_reports(table, standards)
    return table, standards
