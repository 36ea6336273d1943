"""Quantitation: calibrations, amounts and their flags from cycles of known
amounts integrated by the report's own peak finder."""

import json
from dataclasses import replace

import pytest

from quantdata import COMPOUNDS, LEVELS, STANDARDS, TABLE, calibration_run, cycle, every, stamp
from tarvex_report.peaktable import read_table
from tarvex_report.problems import Notes
from tarvex_report.quant.detection import mdl, t_99
from tarvex_report.quant.ledger import quantify
from tarvex_report.quant.standards import read_standards

NAMES = [name for name, *_ in COMPOUNDS]


def settings(tmp_path, table=TABLE, standards=STANDARDS):
    notes = Notes()
    (tmp_path / "peaks.txt").write_text(table)
    (tmp_path / "lab1.standards").write_text(standards)
    peak_table = read_table(str(tmp_path / "peaks.txt"), notes)
    assert notes.finish() == []
    return peak_table, read_standards(str(tmp_path / "lab1.standards"), notes)


def run(tmp_path, cycles, table=TABLE, **options):
    peak_table, standards = settings(tmp_path, table)
    return quantify(cycles, peak_table.compounds, standards, peak_table.settings, **options)


def with_settings(extra):
    return "".join(line + "\t" + extra + "\n" for line in TABLE.splitlines())


def rows(result, when):
    return {row.name: row for row in result.amounts[when]}


def only_calibration(result):
    assert len(result.calibrations) == 1
    return next(iter(result.calibrations.values()))


@pytest.mark.parametrize("model", ["rf", "linear", "linear0", "quadratic"])
def test_proportional_response_reads_back_within_three_percent(tmp_path, model):
    amounts = [3.0, 7.0, 12.0, 30.0, 0.0]
    samples = [cycle(stamp(8, 6 + k), "sample", amounts=every(a), seed=k)
               for k, a in enumerate(amounts)]
    result = run(tmp_path, calibration_run() + samples, with_settings(model))
    calibration = only_calibration(result)
    assert calibration["accepted"] and calibration["in_force_from"] == stamp(8, 0, 8)
    for entry in calibration["compounds"]:
        assert entry["model"] == model and entry["unit"] == "ppb"
        assert all(abs(level["readback_percent"]) <= 3.0 for level in entry["levels"])
    for sample, amount in zip(samples, amounts):
        for row in rows(result, sample.stamp).values():
            if amount == 0.0:
                assert (row.area, row.amount, row.flags) == (None, None, ("not-found",))
                continue
            assert row.amount == pytest.approx(amount, rel=0.03)
            assert row.flags == (("over-range",) if amount > max(LEVELS.values()) else ())


def test_without_calibration_every_amount_is_uncalibrated(tmp_path):
    result = run(tmp_path, [cycle(stamp(8, 6), "sample", amounts=every(5.0))])
    for row in result.amounts[stamp(8, 6)]:
        assert row.area > 0 and row.amount is None and row.flags == ("uncalibrated",)


def test_a_failed_check_flags_later_cycles_until_a_passing_check_or_calibration(tmp_path):
    low, good = every(LEVELS["S3"] * 0.6), every(LEVELS["S3"])
    sequence = [("sample", None, 6, False), ("check", low, 7, True), ("sample", None, 8, True),
                ("check", good, 9, False), ("sample", None, 10, False),
                ("check", low, 11, True), ("sample", None, 12, True)]
    cycles = calibration_run()
    for kind, amounts, hour, _ in sequence:
        cycles.append(cycle(stamp(8, hour), kind, "S3" if amounts else None,
                            amounts or every(7.0), seed=hour))
    cycles += calibration_run(hour=13) + [cycle(stamp(8, 14), "sample", amounts=every(7.0))]
    result = run(tmp_path, cycles)
    for kind, amounts, hour, flagged in sequence + [("sample", None, 14, False)]:
        for row in result.amounts[stamp(8, hour)]:
            assert ("qc-fail" in row.flags) == flagged, (hour, row)
    failed = [c for c in result.checks if c["stamp"] == stamp(8, 7)]
    assert [c["name"] for c in failed] == NAMES
    assert all(c["passed"] is False and c["deviation_percent"] == pytest.approx(-40, abs=3)
               for c in failed)


@pytest.mark.parametrize("between, accepted", [
    ("blank", [True]), ("sample", [False, False]), ("check", [False, False]),
    ("seven hours", [False, False])])
def test_what_ends_a_calibration_run(tmp_path, between, accepted):
    cycles = calibration_run()
    if between == "seven hours":
        cycles[2:] = [replace(c, stamp=stamp(8, 7, k)) for k, c in enumerate(cycles[2:])]
    else:
        cycles.insert(2, cycle(stamp(8, 0, 3), between, "S3" if between == "check" else None))
    result = run(tmp_path, cycles)
    assert [c["accepted"] for c in result.calibrations.values()] == accepted


@pytest.mark.parametrize("extra, curvature, accepted, problem", [
    ("linear", 0.02, False, "r2 0.99"),
    ("quadratic", 0.02, True, None),
    ("linear\treadback=5", 0.01, False, "reads back"),
    ("quadratic\treadback=5", 0.01, True, None),
    ("rf", 0.05, False, "reads back"),
    ("linear", 0.0, True, None),
])
def test_curvature_fails_the_models_that_cannot_follow_it(tmp_path, extra, curvature, accepted,
                                                          problem):
    result = run(tmp_path, calibration_run(replicates=2, curvature=curvature),
                 with_settings(extra))
    calibration = only_calibration(result)
    assert calibration["accepted"] == accepted
    for entry in calibration["compounds"]:
        assert entry["accepted"] == accepted
        assert all(len(level["area_mVs"]) == 2 for level in entry["levels"])
        if problem:
            assert any(problem in text for text in entry["problems"]), entry["problems"]
    sample = cycle(stamp(8, 6), "sample", amounts=every(7.0), curvature=curvature)
    result = run(tmp_path, calibration_run(curvature=curvature) + [sample], with_settings(extra))
    flags = {row.flags for row in result.amounts[sample.stamp]}
    assert flags == ({()} if accepted else {("uncalibrated",)})


@pytest.mark.parametrize("shift, flagged", [(8.0, False), (-5.0, True), (30.0, None)])
def test_the_retention_window_follows_the_calibration(tmp_path, shift, flagged):
    # Standards 8 s late move every window by 8 s: a peak 5 s early is then
    # 13 s from its compound, outside the 10 s window; 30 s away is too far.
    cycles = [replace(c, peaks=[replace(p, retention=p.retention + 8) for p in c.peaks])
              for c in calibration_run()]
    sample = cycle(stamp(8, 6), "sample", amounts=every(7.0), shift=shift)
    row = rows(run(tmp_path, cycles + [sample]), sample.stamp)["benzene"]
    if flagged is None:
        assert row.flags == ("not-found",)
    else:
        assert ("rt-shift" in row.flags) == flagged
        assert row.amount == pytest.approx(7.0, rel=0.03)


def test_blank_saturation_and_detection_limit_flags(tmp_path):
    blank = cycle(stamp(8, 6), "blank", amounts={"benzene": 2.0})
    sample = cycle(stamp(8, 7), "sample", amounts=every(7.0))
    sample.peaks[1] = replace(sample.peaks[1], comment="saturated")
    tiny = replace(sample, stamp=stamp(8, 8), peaks=[replace(p, area=p.area / 7e4)
                                                      for p in sample.peaks])
    clean = cycle(stamp(8, 9), "blank")
    later = cycle(stamp(8, 10), "sample", amounts=every(7.0))
    result = run(tmp_path, calibration_run() + [blank, sample, tiny, clean, later])
    assert [rows(result, sample.stamp)[n].flags for n in NAMES] == [
        ("blank",), ("saturated",), ()]
    assert [rows(result, tiny.stamp)[n].flags for n in NAMES] == [
        ("lod", "blank"), ("lod", "saturated"), ("lod",)]
    assert [rows(result, later.stamp)[n].flags for n in NAMES] == [(), (), ()]


def test_the_method_detection_limit_from_seven_replicates(tmp_path):
    replicates = [cycle(stamp(8, 6 + k), "check", "S1", seed=k) for k in range(7)]
    result = run(tmp_path, calibration_run() + replicates, with_settings("mdl=S1"))
    assert result.checks == []  # replicates of the low standard are no check standards
    found = [rows(result, c.stamp)["benzene"].amount for c in replicates]
    import numpy as np

    limit = t_99(7) * np.std(found, ddof=1)
    assert t_99(7) == pytest.approx(3.143, abs=1e-3)
    probe = replace(replicates[0], stamp=stamp(8, 20), meta=replicates[0].meta.__class__(),
                    peaks=[replace(p, area=p.area * 0.9 * limit) for p in replicates[0].peaks])
    result = run(tmp_path, calibration_run() + replicates + [probe], with_settings("mdl=S1"))
    assert rows(result, probe.stamp)["benzene"].flags == ("lod",)


@pytest.mark.parametrize("spiked, blanks, expected", [
    ([1.0, 1.1, 0.9, 1.0, 1.2, 0.8, 1.0], [None] * 7, 3.143 * 0.1291),
    ([1.0, 1.1, 0.9, 1.0, 1.2, 0.8, 1.0], [0.9, None, None, None, None, None, None], 0.9),
    ([1.0] * 6, [None] * 7, None),
    (None, [0.1, 0.2, 0.1, 0.2, 0.1, 0.2, 0.1], 0.1429 + 3.143 * 0.0535),
])
def test_method_detection_limit_rules(spiked, blanks, expected):
    if expected is None:
        assert mdl(spiked, blanks) is None
    else:
        assert mdl(spiked, blanks) == pytest.approx(expected, rel=2e-3)


def test_resuming_from_a_days_state_gives_the_same_amounts(tmp_path):
    cycles = calibration_run(day=7) + [cycle(stamp(7, 6), "check", "S3", amounts=every(3.0))]
    cycles += [cycle(stamp(8, h), "sample", amounts=every(h / 2.0), seed=h) for h in (1, 2, 3)]
    cycles += calibration_run(day=9) + [cycle(stamp(9, 6), "sample", amounts=every(4.0))]
    whole = run(tmp_path, cycles, keep_states=True)
    state = json.loads(json.dumps(whole.states["2026-12-08"]))  # as stored on disk
    tail = run(tmp_path, [c for c in cycles if c.stamp >= "2026-12-08"], state=state)
    assert tail.amounts == {k: v for k, v in whole.amounts.items() if k >= "2026-12-08"}
    assert tail.state == whole.state
    assert rows(whole, stamp(8, 2))["benzene"].flags == ("qc-fail",)
    assert rows(whole, stamp(9, 6))["benzene"].flags == ()
