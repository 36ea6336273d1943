"""A quantitated report folder for the pages: cycles of known amounts (the
report tests' synthetic chromatograms, report/tests/quantdata.py) written
as the controller and its service wrapper leave them, reported by
tarvex-report update, and quantitated by the report package's own library
(calibrations, amounts, checks, blanks), whose additions to the index
entries and trend rows are written as contracted (kind, standard, amounts;
amount,unit,flags) where the tool does not write them itself yet."""
import csv
import io
import json
import os
import sys

from conftest import TOP
from instrument_files import write_cycle

sys.path[:0] = [os.path.join(TOP, "report"), os.path.join(TOP, "report", "tests")]
import quantdata  # noqa: E402  (report/tests)
from tarvex_report.peaktable import read_table  # noqa: E402
from tarvex_report.problems import Notes  # noqa: E402
from tarvex_report.quant.amounts import read_amounts_csv  # noqa: E402
from tarvex_report.quant.folder import update_quantitation  # noqa: E402
from tarvex_report.quant.outputs import entry_fields  # noqa: E402
from tarvex_report.quant.standards import read_standards  # noqa: E402

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
    site.update_reports(table)
    notes = Notes()
    update_quantitation(site.data, site.reports, read_table(table, notes),
                        read_standards(standards, notes), table, standards, notes)
    add_to_index(site)
    return table, standards


def add_to_index(site):
    """Quantitation's fields in the day files and the summary, its columns in
    the month files (unless the tool wrote them)."""
    summary_path = os.path.join(site.reports, "index.json")
    with open(summary_path) as stream:
        summary = json.load(stream)
    for day in summary["days"]:
        path = os.path.join(site.reports, day["index"])
        with open(path) as stream:
            listed = json.load(stream)
        for entry in listed["cycles"]:
            if "kind" not in entry:
                entry.update(entry_fields(site.data, site.reports, entry["stamp"], Notes()))
        with open(path, "w") as stream:
            json.dump(listed, stream)
        if summary["latest"] and summary["latest"]["stamp"] == listed["cycles"][0]["stamp"]:
            summary["latest"] = listed["cycles"][0]
    with open(summary_path, "w") as stream:
        json.dump(summary, stream)
    for month in summary["months"]:
        path = os.path.join(site.reports, month["trend"])
        with open(path) as stream:
            rows = list(csv.reader(stream))
        if "amount" in rows[0]:
            continue
        out = io.StringIO()
        writer = csv.writer(out, lineterminator="\n")
        writer.writerow(rows[0] + ["amount", "unit", "flags"])
        for row in rows[1:]:
            writer.writerow(row + list(amounts_of(site.reports, row[0]).get(row[1], ("", "", ""))))
        with open(path, "w") as stream:
            stream.write(out.getvalue())


def amounts_of(reports, stamp):
    try:
        with open(os.path.join(reports, stamp[:10], stamp + ".amounts.csv")) as stream:
            return read_amounts_csv(stream.read()) or {}
    except FileNotFoundError:
        return {}
