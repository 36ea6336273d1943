"""`tarvex-report trend`: one row per cycle per compound, in time order."""

import csv
import os

from PIL import Image

from conftest import Cycle, pid_text, run_tool
from synthetic import gaussian, trace

STAMPS = ["2026-12-07_23-00-00", "2026-12-08_00-00-00", "2026-12-08_01-00-00",
          "2026-12-09_00-00-00"]


def write_cycles(root, areas_of_toluene):
    """Cycles with benzene at 150 s always and toluene at 400 s with the given
    heights (0: absent)."""
    for number, (stamp, toluene) in enumerate(zip(STAMPS, areas_of_toluene)):
        peaks = [gaussian(150, 60.0, 3.0)] + ([gaussian(400, toluene, 4.0)] if toluene else [])
        times, values = trace(peaks, 0.3, number, seconds=600)
        Cycle(root, stamp).write("PID", pid_text(times, values))


def test_trend_rows_per_cycle_and_compound_in_time_order(tmp_path, table):
    root = tmp_path / "data"
    write_cycles(root, [100.0, 0.0, 120.0, 140.0])
    status, out, err = run_tool("trend", root, "--peaks", table, "--out", tmp_path / "out")
    assert (status, err) == (0, "")
    assert out == "%s (4 cycles)\n%s\n" % (tmp_path / "out" / "trend.csv",
                                           tmp_path / "out" / "trend.png")
    text = (tmp_path / "out" / "trend.csv").read_text()
    assert text.split("\n")[0] == "stamp,name,retention_s,height_mV,area_mVs"
    rows = list(csv.DictReader(text.splitlines()))
    names = ["benzene", "toluene", "xylene", "missing compound"]
    assert [(r["stamp"], r["name"]) for r in rows] == [(s, n) for s in STAMPS for n in names]
    toluene = [r for r in rows if r["name"] == "toluene"]
    assert [r["area_mVs"] == "" for r in toluene] == [False, True, False, False]
    assert [r["retention_s"] for r in toluene][1] == "" and toluene[1]["height_mV"] == ""
    heights = [float(r["height_mV"]) for r in toluene if r["height_mV"]]
    assert heights[0] < heights[1] < heights[2]
    assert all(r["area_mVs"] == "" for r in rows if r["name"] in ("xylene", "missing compound"))
    benzene = [float(r["retention_s"]) for r in rows if r["name"] == "benzene"]
    assert all(abs(t - 150) < 0.5 for t in benzene)
    with Image.open(tmp_path / "out" / "trend.png") as picture:
        assert picture.size[0] in (1753, 1754)  # A4 wide at 150 dpi


def test_days_outside_from_to_are_left_out(tmp_path, table):
    root = tmp_path / "data"
    write_cycles(root, [100.0, 100.0, 100.0, 100.0])
    status, _, _ = run_tool("trend", root, "--peaks", table, "--from", "2026-12-08",
                            "--to", "2026-12-08", "--out", tmp_path / "out")
    assert status == 0
    rows = list(csv.DictReader(open(tmp_path / "out" / "trend.csv")))
    assert sorted({r["stamp"] for r in rows}) == STAMPS[1:3]


def test_unreadable_cycles_are_listed_and_skipped(tmp_path, table, monkeypatch):
    monkeypatch.chdir(tmp_path)
    root = "data"
    write_cycles(root, [100.0, 100.0, 100.0, 100.0])
    empty = Cycle(root, STAMPS[1]).write("PID", "")
    open("data/2026-12-08/PID_2026-12-08_99-00-00.dat", "w").close()
    os.mkdir("data/notes")
    status, out, err = run_tool("trend", root, "--peaks", table, "--out", "out")
    assert status == 0
    assert err == (
        "tarvex-report: data/2026-12-08/PID_2026-12-08_99-00-00.dat: the name holds no valid "
        "date and time; left out\n"
        "tarvex-report: %s: empty: the cycle has no detector readings; cycle skipped\n" % empty)
    assert "(3 cycles, 1 skipped)" in out
    rows = list(csv.DictReader(open("out/trend.csv")))
    assert STAMPS[1] not in {r["stamp"] for r in rows}
    assert len(rows) == 3 * 4


def test_trend_needs_a_usable_table_and_root(tmp_path, table):
    bad = tmp_path / "bad.txt"
    bad.write_text("only\tone\n")
    status, _, err = run_tool("trend", tmp_path, "--peaks", bad, "--out", tmp_path / "out")
    assert status == 2
    assert err.endswith("%s: no compound in the peak table (lines of "
                        "name<TAB>retention_s<TAB>window_s)\n" % bad)
    status, _, err = run_tool("trend", tmp_path / "none", "--peaks", table)
    assert (status, err) == (2, "tarvex-report: %s: not a folder\n" % (tmp_path / "none"))


def test_many_cycles_go_through_worker_processes_in_order(tmp_path, table):
    from tarvex_report import work

    root = tmp_path / "data"
    times, values = trace([gaussian(150, 60.0, 3.0)], 0.3, 1, seconds=300)
    stamps = ["2026-12-%02d_%02d-00-00" % (1 + hour // 24, hour % 24) for hour in range(80)]
    for stamp in stamps:
        Cycle(root, stamp).write("PID", pid_text(times, values))
    assert len(stamps) >= work.CYCLES_PER_WORKER
    status, out, _ = run_tool("trend", root, "--peaks", table, "--out", tmp_path / "out")
    assert status == 0 and "(80 cycles)" in out
    rows = list(csv.DictReader(open(tmp_path / "out" / "trend.csv")))
    assert [r["stamp"] for r in rows if r["name"] == "benzene"] == stamps
