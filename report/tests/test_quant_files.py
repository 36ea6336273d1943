"""Quantitation's files: the standards file, the peak table's quantitation
fields, the Meta files, and a report folder kept up to date."""

import csv
import json
import os
from pathlib import Path

import netCDF4
import pytest

from quantdata import STANDARDS, TABLE, reported_cycle, stamp
from tarvex_report.peaktable import read_table
from tarvex_report.problems import Notes, UnusableInput
from tarvex_report.quant.amounts import read_amounts_csv
from tarvex_report.quant.folder import update_quantitation
from tarvex_report.quant.outputs import entry_fields
from tarvex_report.quant.inputs import Meta, parse_peaks_csv, read_meta
from tarvex_report.quant.settings import Quantitation
from tarvex_report.quant.standards import read_standards

GOOD = "S1\tbenzene\t1.5\tppb\n"


def said(notes):
    """The texts of the notes, as they will be printed."""
    return [text for _, _, text in notes.finish()]


@pytest.fixture
def here(tmp_path, monkeypatch):
    """The test's folder as the working folder: messages name short paths,
    well within their bound."""
    monkeypatch.chdir(tmp_path)
    return tmp_path


@pytest.mark.parametrize("line, message", [
    ("S1 benzene 1 ppb", "expected standard<TAB>name<TAB>amount<TAB>unit, found 1 "
     "tab-separated field; separate the four fields with tabs; line skipped"),
    ("S1\tbenzene\t1\tppb\textra", "expected standard<TAB>name<TAB>amount<TAB>unit, found 5 "
     "tab-separated fields; separate the four fields with tabs; line skipped"),
    ("S1\tbenzene\t1,5\tppb", "amount '1,5' is not a number; write the certified amount as a "
     "decimal number such as 2.5; line skipped"),
    ("S1\tbenzene\tinf\tppb", "amount 'inf' is not a finite number; line skipped"),
    ("S1\tbenzene\t-2\tppb", "amount -2 is not above zero; give the standard's certified amount "
     "(zero air is run as a blank cycle, not listed here); line skipped"),
    ("S1\t\t2\tppb", "the compound name is empty; line skipped"),
    ("S1\tbenzene\t2\tppb", "benzene in S1 is already given on line 1; line skipped (one "
     "certified amount per compound and standard)"),
    ("S2\tbenzene\t2\tppm", "benzene is in ppm here but in ppb on line 1; give every amount of "
     "a compound in one unit; benzene is not calibrated"),
    ("S1\t" + "x" * 60 + "\tnone\tppb", "amount 'none' is not a number; write the certified "
     "amount as a decimal number such as 2.5; line skipped"),
])
def test_a_bad_standards_line_is_named_with_what_to_do(here, line, message):
    path = Path("lab1.standards")
    path.write_text(GOOD + line + "\nS3\ttoluene\t4\tppb\t# cylinder 7\n")
    notes = Notes()
    standards = read_standards(str(path), notes)
    assert said(notes) == ["%s, line 2: %s" % (path, message)]
    assert standards.amount("S3", "toluene") == 4.0
    assert standards.amount("S1", "benzene") == (None if "one unit" in message else 1.5)


def test_many_bad_lines_are_counted_and_an_empty_file_is_unusable(here):
    path = Path("lab1.standards")
    path.write_text("S1 benzene 1 ppb\n" * 14 + GOOD)
    notes = Notes()
    read_standards(str(path), notes)
    lines = said(notes)
    assert len(lines) == 11 and lines[-1] == "%s: 4 more problems; correct the ones above first" \
        % path
    path.write_text("# nothing yet\n\n")
    with pytest.raises(UnusableInput, match="no usable line in the standards file"):
        read_standards(str(path), Notes())
    with pytest.raises(UnusableInput, match="cannot be read: No such file"):
        read_standards("missing", Notes())


@pytest.mark.parametrize("fields, expected, note", [
    ("", Quantitation(), None),
    ("\tlinear", Quantitation(model="linear"), None),
    ("\tLinear\t1/x^2", Quantitation(model="linear", weighting="1/x2"), None),
    ("\tquadratic\t1/x2\treadback=5", Quantitation(model="quadratic", weighting="1/x2",
                                                   readback=5.0), None),
    ("\tmodel=linear0\tcheck=10\tmdl=S0\tlevels=6",
     Quantitation(model="linear0", check=10.0, mdl="S0", levels=6), None),
    ("\tcubic", None, "'cubic' is neither a model (rf, linear, linear0, quadratic), a weighting "
     "(none, 1/x, 1/x2) nor key=value"),
    ("\tr2=1.5", None, "r2=1.5: expected a number above 0 and at most 1, such as 0.995"),
    ("\tlevels=2.5", None, "levels=2.5: expected a whole number of levels such as 5"),
    ("\treadback=5\treadback=6", None, "readback is given twice"),
])
def test_quantitation_fields_of_the_peak_table(here, fields, expected, note):
    path = Path("peaks.txt")
    path.write_text("benzene\t300\t10%s\ntoluene\t600\t10\n*\trsd=20\trun_gap_h=2\n" % fields)
    notes = Notes()
    table = read_table(str(path), notes)
    benzene, toluene = table.compounds
    assert table.settings.run_gap_h == 2.0 and toluene.quant == Quantitation(rsd=20.0)
    if note:
        assert said(notes) == ["%s, line 1: %s; benzene stays uncalibrated until the line is "
                                  "corrected" % (path, note)]
        assert benzene.quant.problem == "peak table line 1: " + note
    else:
        assert said(notes) == []
        assert benzene.quant == Quantitation(**dict(expected.__dict__, rsd=20.0))


@pytest.mark.parametrize("text, meta, message", [
    (None, Meta(), None),
    ('{"kind": "check", "standard": "S3", "exit_status": 20}', Meta("check", "S3", 20), None),
    ('{"kind": "zero"}', None, 'kind "zero" is not one of sample, blank, calibration, check'),
    ('{"kind": "blank", "standard": 3}', None, "standard 3 is neither a standard id nor null"),
    ('{"kind": "blank", "exit_status": "0"}', None, 'exit_status "0" is not a whole number'),
    ('{"kind": "sample"', None, "not JSON (Expecting ',' delimiter: line 1 column 18 (char 17))"),
])
def test_meta_files(here, text, meta, message):
    path = Path("Meta_2026-12-08_10-00-00.json")
    if text is not None:
        path.write_text(text)
    notes = Notes()
    assert read_meta(str(path), notes) == (meta or Meta(kind=None))
    tail = "; the cycle is left out of quantitation until the file is corrected"
    assert said(notes) == (["%s: %s%s" % (path, message, tail)] if message else [])


def amounts_rows(out, when):
    with open(os.path.join(out, when[:10], when + ".amounts.csv")) as stream:
        return list(csv.reader(stream))


def test_a_report_folder_is_kept_up_to_date(tmp_path):
    root, out = str(tmp_path / "data"), str(tmp_path / "web")
    for minute, standard in enumerate(("S1", "S2", "S3", "S4", "S5")):
        reported_cycle(root, out, stamp(8, 0, 2 * minute), "calibration", standard, seed=minute)
    reported_cycle(root, out, stamp(8, 6), amounts={"benzene": 7.0}, meta="")
    (tmp_path / "peaks.txt").write_text(TABLE)
    (tmp_path / "lab1.standards").write_text(STANDARDS)
    table = read_table(str(tmp_path / "peaks.txt"), Notes())
    standards = read_standards(str(tmp_path / "lab1.standards"), Notes())

    def update():
        notes = Notes()
        summary = update_quantitation(root, out, table, standards, str(tmp_path / "peaks.txt"),
                                      str(tmp_path / "lab1.standards"), notes)
        return summary, notes.finish()

    summary, said = update()
    assert (summary.days, summary.amounts, summary.calibrations, said) == (1, 1, 1, [])
    header, benzene, toluene, xylene = amounts_rows(out, stamp(8, 6))
    assert header == ["name", "retention_s", "area_mVs", "amount", "unit", "flags"]
    assert benzene[0] == "benzene" and abs(float(benzene[3]) / 7.0 - 1) < 0.03
    assert benzene[4:] == ["ppb", ""]
    assert toluene == ["toluene", "", "", "", "ppb", "not-found"]
    with open(os.path.join(out, "2026-12-08", stamp(8, 6) + ".amounts.csv")) as stream:
        assert read_amounts_csv(stream.read())["toluene"] == ("", "ppb", "not-found")
    assert entry_fields(root, out, stamp(8, 6), Notes()) == {
        "kind": "sample", "standard": None, "amounts": "2026-12-08/%s.amounts.csv" % stamp(8, 6)}
    with netCDF4.Dataset(os.path.join(out, "2026-12-08", stamp(8, 6) + ".cdf")) as cdf:
        assert list(cdf["peak_amount"][:]) == [pytest.approx(float(benzene[3]), rel=1e-4)]
    folder = os.path.join(out, "calibration", stamp(8, 0))
    with open(os.path.join(folder, "calibration.json")) as stream:
        calibration = json.load(stream)
    assert set(calibration) >= {"id", "cycles", "accepted", "in_force_from", "compounds"}
    assert calibration["compounds"][0]["lod"] > 0  # from the noise in the AIA files
    assert os.path.getsize(os.path.join(folder, "calibration.png")) > 10000
    with open(os.path.join(out, "calibration", "index.json")) as stream:
        index = json.load(stream)
    assert index["in_force"] == stamp(8, 0) and index["calibrations"][0]["path"] == \
        "calibration/%s/calibration.json" % stamp(8, 0)

    assert update()[0].days == 0  # nothing new, nothing done
    reported_cycle(root, out, stamp(9, 6), "check", "S3", amounts={"benzene": 3.0})
    reported_cycle(root, out, stamp(10, 6), amounts={"benzene": 7.0})
    summary, _ = update()
    assert (summary.days, summary.amounts, summary.calibrations) == (2, 2, 0)
    assert amounts_rows(out, stamp(10, 6))[1][5] == "qc-fail"
    # A calibration inserted on day 9 after the check: the days it governs
    # are quantitated again, the earlier ones are left alone.
    for minute, standard in enumerate(("S1", "S2", "S3", "S4", "S5")):
        reported_cycle(root, out, stamp(9, 7, 2 * minute), "calibration", standard, seed=minute)
    summary, _ = update()
    assert (summary.days, summary.changed, summary.calibrations) == (2, [stamp(10, 6)], 1)
    assert amounts_rows(out, stamp(10, 6))[1][5] == ""


HEADER = "peak,name,retention_s,start_s,end_s,height_mV,area_mVs,width_s"


@pytest.mark.parametrize("text, comments, problem", [
    (HEADER + "\n1,benzene,13.00,10.00,16.00,5.000,20.000,2.00\n", [""], None),
    (HEADER + ",comment\n1,,13.00,10.00,16.00,5.000,20.000,2.00,saturated\n"
     "2,,20.00,18.00,22.00,1.000,4.000,2.00,\n", ["saturated", ""], None),
    ("peak,name\n", None, "not a peak list (header %s)" % HEADER),
    (HEADER + "\n1,x,13.00,10.00,16.00,5.000,nan,2.00\n", None, "line 2: a number is not finite"),
    (HEADER + "\n1,x,13.00\n", None, "line 2: 3 fields, expected 8 or 9"),
])
def test_peak_lists_with_and_without_the_comment_column(text, comments, problem):
    peaks, said = parse_peaks_csv(text)
    assert said == problem
    assert (None if peaks is None else [p.comment for p in peaks]) == comments
