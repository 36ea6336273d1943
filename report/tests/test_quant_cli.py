"""`tarvex-report update ROOT --out DIR --peaks TABLE --standards FILE` as
the service runs it, on a root of detector and Meta files: the amounts and
their flags, the calibrations, the AIA files' peak_amount, the trend's
amount columns and the day index entries; a run with nothing new changes
nothing, a new calibration only what it governs."""

import csv
import json
import os

import netCDF4
import pytest

from conftest import run_program
from quantdata import LEVELS, STANDARDS, every, raw_cycle, stamp

NAMES = ["benzene", "toluene", "xylene"]
TABLE = "benzene\t300\t10\tlinear\ntoluene\t600\t10\tquadratic\nxylene\t1000\t10\n"
MISSING = -9999.0


def calibration(day, hour, replicates=1, curvature=0.0):
    """(stamp, kind, standard, amounts, curvature) of a calibration run."""
    return [(stamp(day, hour, 2 * (n * replicates + r)), "calibration", standard, None, curvature)
            for n, standard in enumerate(LEVELS) for r in range(replicates)]


def sample(day, hour, amounts, kind="sample", standard=None, curvature=0.0):
    return (stamp(day, hour), kind, standard, amounts, curvature)


SAMPLES = [sample(8, 6, every(7.0)), sample(8, 7, {"benzene": 30.0}),
           sample(8, 8, every(12.0), kind=None),  # no Meta file: a sample
           sample(8, 9, every(3.0), "check", "S3"),  # 40 % below the certified 5 ppb
           sample(8, 10, every(7.0))]
EVERY_7 = [sample(8, 6, every(7.0))]
CURVED = calibration(8, 0, replicates=2, curvature=0.02) + \
    [sample(8, 6, every(7.0), curvature=0.02)]
UNCALIBRATED = {n: (None, "uncalibrated") for n in NAMES}
UNCALIBRATED_30 = {"benzene": (None, "uncalibrated"),
                   "toluene": (None, "uncalibrated not-found"),
                   "xylene": (None, "uncalibrated not-found")}


def each(amount, flags=""):
    return {n: (amount, flags) for n in NAMES}


# name, cycles, with the standards file, {hour: {name: (amount, flags)}},
# {name: whether its curve was accepted} of the one calibration (None: none)
CASES = [
    ("proportional", calibration(8, 0) + SAMPLES, True,
     {6: each(7.0), 7: {"benzene": (30.0, "over-range"), "toluene": (None, "not-found"),
                        "xylene": (None, "not-found")},
      8: each(12.0), 9: each(3.0, "qc-fail"), 10: each(7.0, "qc-fail")},
     {n: True for n in NAMES}),
    ("no calibration", EVERY_7, True, {6: UNCALIBRATED}, None),
    ("no standards file", calibration(8, 0) + SAMPLES, False,
     {6: UNCALIBRATED, 7: UNCALIBRATED_30, 8: UNCALIBRATED, 9: UNCALIBRATED,
      10: UNCALIBRATED}, None),
    ("curved response", CURVED, True,
     {6: {"benzene": (None, "uncalibrated"), "toluene": (7.0, ""), "xylene": (7.0, "")}},
     {"benzene": False, "toluene": True, "xylene": True}),
]


def make_root(tmp_path, cycles):
    for number, (when, kind, standard, amounts, curvature) in enumerate(cycles):
        raw_cycle(str(tmp_path / "data"), when, kind, standard, amounts, seed=number,
                  curvature=curvature)
    (tmp_path / "peaks.txt").write_text(TABLE)
    (tmp_path / "lab1.standards").write_text(STANDARDS)


def update(tmp_path, standards=True):
    extra = ["--standards", tmp_path / "lab1.standards"] if standards else []
    status, out, err = run_program("update", tmp_path / "data", "--out", tmp_path / "web",
                                   "--peaks", tmp_path / "peaks.txt", *extra)
    assert status == 0, err
    return err


def read(tmp_path, path):
    with open(tmp_path / "web" / path, encoding="utf-8") as stream:
        return json.load(stream) if path.endswith(".json") else list(csv.reader(stream))


def files(tmp_path):
    """{path: (inode, mtime)} of the report folder, its hidden state aside."""
    found = {}
    for where, folders, names in os.walk(tmp_path / "web"):
        folders[:] = [f for f in folders if f != ".state"]
        for name in names:
            info = os.stat(os.path.join(where, name))
            found[os.path.relpath(os.path.join(where, name), tmp_path / "web")] = (
                info.st_ino, info.st_mtime_ns)
    return found


def changed(tmp_path, before):
    return sorted(p for p, identity in files(tmp_path).items() if before.get(p) != identity)


def amounts_of(tmp_path, when):
    header, *rows = read(tmp_path, "%s/%s.amounts.csv" % (when[:10], when))
    assert header == ["name", "retention_s", "area_mVs", "amount", "unit", "flags"]
    assert [row[0] for row in rows] == NAMES
    return {row[0]: row for row in rows}


def check_cdf(tmp_path, when, rows):
    """peak_amount holds each compound's amount at its peak, -9999 elsewhere."""
    with netCDF4.Dataset(tmp_path / "web" / when[:10] / (when + ".cdf")) as cdf:
        found = dict(zip(cdf["peak_retention_time"][:].tolist(), cdf["peak_amount"][:].tolist()))
    wanted = {float(r[1]): float(r[3]) for r in rows.values() if r[3]}
    for retention, amount in found.items():
        nearest = min(wanted, key=lambda rt: abs(rt - retention), default=None)
        if nearest is not None and abs(nearest - retention) < 0.01:
            assert amount == pytest.approx(wanted.pop(nearest), rel=1e-4)
        else:
            assert amount == MISSING
    assert wanted == {}


@pytest.mark.parametrize("case, cycles, standards, expected, accepted", CASES,
                         ids=[case[0] for case in CASES])
def test_amounts_flags_and_where_they_are_found(tmp_path, case, cycles, standards, expected,
                                                accepted):
    make_root(tmp_path, cycles)
    update(tmp_path, standards)
    entries = {entry["stamp"]: entry for entry in read(tmp_path, "index/2026-12-08.json")["cycles"]}
    trend = {}
    for row in read(tmp_path, "trend/2026-12.csv")[1:]:
        trend[row[0], row[1]] = row[-3:]
    assert read(tmp_path, "trend/2026-12.csv")[0][-3:] == ["amount", "unit", "flags"]
    for when, kind, standard, _, _ in cycles:
        entry = entries[when]
        amounts = None if kind == "calibration" else "%s/%s.amounts.csv" % (when[:10], when)
        assert (entry["kind"], entry["standard"], entry["amounts"]) == (
            kind or "sample", standard, amounts)
        if kind == "calibration":
            assert all(trend[when, n] == ["", "", ""] for n in NAMES)
            continue
        rows = amounts_of(tmp_path, when)
        for name, (amount, flags) in expected[int(when[11:13])].items():
            row = rows[name]
            assert row[5] == flags, (when, row)
            assert row[4] == ("ppb" if standards else "")
            assert (row[2] == "") == ("not-found" in flags)
            if amount is None:
                assert row[3] == ""
            else:
                assert float(row[3]) == pytest.approx(amount, rel=0.03), (when, row)
            assert trend[when, name] == row[3:]
        check_cdf(tmp_path, when, rows)
    if not standards:
        assert not (tmp_path / "web" / "calibration").exists()
    elif accepted is None:
        index = read(tmp_path, "calibration/index.json")
        assert index["calibrations"] == [] and index["compounds"] == {}
    else:
        index = read(tmp_path, "calibration/index.json")
        (listed,) = index["calibrations"]
        compounds = read(tmp_path, listed["path"])["compounds"]
        assert {c["name"]: c["accepted"] for c in compounds} == accepted
        assert listed["accepted"] == all(accepted.values())
        assert index["compounds"] == {n: listed["id"] if ok else None
                                      for n, ok in accepted.items()}
    assert read(tmp_path, "index.json")["latest"] == entries[max(entries)]
    before = files(tmp_path)
    assert update(tmp_path, standards) == ""
    assert changed(tmp_path, before) == ["index.json"]


def test_a_new_calibration_quantitates_again_only_the_cycles_it_governs(tmp_path):
    first = calibration(8, 0) + [sample(8, 6, every(7.0)), sample(8, 9, every(3.0), "check", "S3"),
                                 sample(9, 6, every(7.0)), sample(9, 18, every(7.0))]
    make_root(tmp_path, first)
    update(tmp_path)
    assert amounts_of(tmp_path, stamp(9, 18))["benzene"][5] == "qc-fail"
    before = files(tmp_path)
    # The detector answers 6 % more on average now (a bent response: rf still passes).
    for number, (when, kind, standard, _, curvature) in enumerate(calibration(9, 12, 1, 0.008)):
        raw_cycle(str(tmp_path / "data"), when, kind, standard, seed=50 + number,
                  curvature=curvature)
    update(tmp_path)
    new = [when for when, *_ in calibration(9, 12)]
    report = [w[:10] + "/" + w + suffix for w in new for suffix in (".cdf", ".peaks.csv", ".png",
                                                                    ".svg")]
    calibrations = ["calibration/%s/calibration.%s" % (new[0], suffix)
                    for suffix in ("csv", "json", "png")]
    late = stamp(9, 18)
    assert changed(tmp_path, before) == sorted(
        report + calibrations + ["calibration/index.json", "index.json", "index/2026-12-09.json",
                                 "trend/2026-12.csv", "trend/trend.csv",
                                 "2026-12-09/%s.amounts.csv" % late, "2026-12-09/%s.cdf" % late])
    rows = amounts_of(tmp_path, late)
    assert [rows[n][5] for n in NAMES] == ["", "", ""]  # the new calibration ends the qc-fail
    assert float(rows["xylene"][3]) == pytest.approx(7.0 / 1.0608, rel=0.02)
    assert amounts_of(tmp_path, stamp(9, 6))["benzene"][5] == "qc-fail"
    entry = read(tmp_path, "index/2026-12-09.json")["cycles"][0]
    assert (entry["stamp"], entry["amounts"]) == (late, "2026-12-09/%s.amounts.csv" % late)
    # A Meta file rewritten: the cycle is a blank after all, and flags the later sample.
    with open(tmp_path / "data" / "2026-12-09" / ("Meta_%s.json" % stamp(9, 6)), "w") as meta:
        meta.write('{"kind": "blank", "standard": null, "exit_status": 0}\n')
    update(tmp_path)
    entries = read(tmp_path, "index/2026-12-09.json")["cycles"]
    assert [(e["stamp"], e["kind"]) for e in entries][-1] == (stamp(9, 6), "blank")
    assert [amounts_of(tmp_path, late)[n][5] for n in NAMES] == ["blank"] * 3


@pytest.mark.parametrize("standards, peaks, message", [
    ("# being edited\n", TABLE, "tarvex-report: lab1.standards: no usable line in the standards "
     "file (lines of standard<TAB>name<TAB>amount<TAB>unit); the amounts are left as they are "
     "until it is corrected"),
    (STANDARDS, "being edited\n", "tarvex-report: the amounts are left as they are until the "
     "peak table is usable"),
    (STANDARDS, None, "tarvex-report: --standards needs --peaks TABLE, the compounds to "
     "quantitate; no amounts made"),
])
def test_an_unusable_standards_file_or_peak_table_leaves_the_amounts(tmp_path, monkeypatch,
                                                                    standards, peaks, message):
    make_root(tmp_path, calibration(8, 0) + EVERY_7)
    update(tmp_path)
    before = files(tmp_path)
    monkeypatch.chdir(tmp_path)
    (tmp_path / "lab1.standards").write_text(standards)
    if peaks:
        (tmp_path / "peaks.txt").write_text(peaks)
    status, _, err = run_program("update", "data", "--out", "web", "--standards",
                                 "lab1.standards", *(["--peaks", "peaks.txt"] if peaks else []))
    assert status == 2 and message in err.splitlines(), err
    assert [p for p in changed(tmp_path, before) if "amounts" in p or "calibration" in p] == []
