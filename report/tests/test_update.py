"""`tarvex-report update` and `figures`: the report folder as the web view
reads it (index format 2, trend by month), work in proportion to what is
new, a change of settings applied once to every cycle and recorded, and
never a figure listed as current that does not show the current results."""

import csv
import json
import os
import re
import signal
import stat

import netCDF4
import pytest
from PIL import Image

from conftest import Cycle, pid_text, run_tool, standard_trace
from synthetic import gaussian, trace

FIRST, SECOND, THIRD = "2026-11-30_23-00-00", "2026-12-07_23-00-00", "2026-12-08_10-15-00"
NEW = "2026-12-08_10-30-00"
SUMMARY_KEYS = {"format", "generated", "settings", "cycles", "days", "months", "latest", "trend"}


@pytest.fixture
def root(tmp_path, monkeypatch):
    """data/ with three cycles in two months, the second with only its
    detector file; the test runs in tmp_path."""
    monkeypatch.chdir(tmp_path)
    times, values = standard_trace()
    Cycle("data", FIRST).write_all(times, values)
    Cycle("data", SECOND).write("PID", pid_text(times, values))
    Cycle("data", THIRD).write_all(times, values)
    (tmp_path / "peaks.txt").write_text("benzene\t150\t5\nm,p-xylene\t1000\t10\n")
    return "data"


def update(*extra, command="update"):
    """Runs the command over data/ into web/: (status, stderr, summary)."""
    status, _, err = run_tool(command, "data", "--out", "web", *extra)
    with open("web/index.json") as stream:
        return status, err, json.load(stream)


def day_file(date):
    with open("web/index/%s.json" % date) as stream:
        return json.load(stream)


def files(folder="web"):
    """{path: (inode, mtime)} of the report folder's files, the state aside."""
    found = {}
    for where, folders, names in os.walk(folder):
        folders[:] = [f for f in folders if f != ".state"]
        for name in names:
            info = os.stat(os.path.join(where, name))
            found[os.path.relpath(os.path.join(where, name), folder)] = (info.st_ino,
                                                                       info.st_mtime_ns)
    return found


def changed(before):
    return sorted(name for name, identity in files().items() if before.get(name) != identity)


def report_files(stamp):
    return ["%s/%s%s" % (stamp[:10], stamp, suffix) for suffix in (".cdf", ".peaks.csv", ".png",
                                                                    ".svg")]


def entries():
    summary = json.load(open("web/index.json"))
    return [entry for day in summary["days"] for entry in day_file(day["date"])["cycles"]]


def cdf_contents(path):
    """An AIA file's attributes and variables, but the times it was written."""
    with netCDF4.Dataset(path) as cdf:
        attributes = {name: cdf.getncattr(name) for name in cdf.ncattrs()
                      if name not in ("dataset_date_time_stamp", "peak_processing_date_time_stamp")}
        return attributes, {name: variable[...].tolist() for name, variable in cdf.variables.items()}


def assert_figures_honest():
    """A figure is listed (and "current") only when it was drawn with the
    settings that made the cycle's results."""
    for entry in entries():
        if entry["figure"] == "current":
            with Image.open("web/" + entry["report"]["png"]) as picture:
                assert picture.info["Description"] == "tarvex-report, settings %s" \
                    % entry["settings"]
        else:
            assert entry["report"] is None or entry["report"]["png"] is None


def test_index_and_trend_follow_the_format_of_the_web_view(root):
    status, err, summary = update("--peaks", "peaks.txt")
    assert status == 0
    assert set(summary) == SUMMARY_KEYS and summary["format"] == 2
    assert re.fullmatch(r"20\d\d-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d\d:\d\d", summary["generated"])
    settings = summary["settings"]
    assert set(settings) == {"id", "peaks", "snr", "since"} and re.fullmatch("[0-9a-f]{12}",
                                                                            settings["id"])
    assert (settings["peaks"], settings["snr"], settings["since"][:2]) == ("peaks.txt", 10, "20")
    assert summary["cycles"] == 3
    assert summary["days"] == [{"date": d, "cycles": 1, "index": "index/%s.json" % d}
                               for d in ("2026-12-08", "2026-12-07", "2026-11-30")]
    assert summary["months"] == [{"month": "2026-12", "cycles": 2, "trend": "trend/2026-12.csv"},
                                 {"month": "2026-11", "cycles": 1, "trend": "trend/2026-11.csv"}]
    assert summary["trend"] == {"png": "trend/trend.png"}
    third = day_file("2026-12-08")
    assert third == {"format": 2, "date": "2026-12-08", "cycles": [summary["latest"]]}
    assert summary["latest"] == {
        "stamp": THIRD,
        "raw": {key: "2026-12-08/%s_%s.%s" % (prefix, THIRD, suffix) for key, prefix, suffix in (
            ("pid", "PID", "dat"), ("tc64", "TC64", "TLog"), ("tc66", "TC66", "TLog"),
            ("flow", "Flow", "TLog"))},
        "report": dict(zip(("cdf", "peaks", "png", "svg"), report_files(THIRD))),
        "figure": "current", "settings": settings["id"], "error": None, "kind": "sample",
        "standard": None, "amounts": "2026-12-08/%s.amounts.csv" % THIRD}
    assert day_file("2026-12-07")["cycles"][0]["raw"] == {
        "pid": "2026-12-07/PID_%s.dat" % SECOND, "tc64": None, "tc66": None, "flow": None}
    # Missing companions are said, not fatal.
    assert "data/2026-12-07/TC64_%s.TLog: missing" % SECOND in err
    for entry in entries():
        for base, paths in (("data", entry["raw"]), ("web", entry["report"])):
            for path in filter(None, paths.values()):
                assert not os.path.isabs(path) and ".." not in path.split("/") and ":" not in path
                assert os.path.isfile(os.path.join(base, path))
    assert_figures_honest()
    header = "stamp,name,retention_s,height_mV,area_mVs,amount,unit,flags\n"
    months = [open("web/trend/%s.csv" % m).read() for m in ("2026-11", "2026-12")]
    assert all(text.startswith(header) for text in months)
    rows = [row for text in months for row in csv.DictReader(text.splitlines())]
    assert [(r["stamp"], r["name"]) for r in rows] == [
        (stamp, name) for stamp in (FIRST, SECOND, THIRD) for name in ("benzene", "m,p-xylene")]
    assert [round(float(r["retention_s"]), -1) for r in rows] == [150, 1000] * 3
    # No standards file: the amounts of the compounds found are uncalibrated.
    assert [(r["amount"], r["unit"], r["flags"]) for r in rows] == [
        ("", "", "uncalibrated")] * 6
    assert open("web/trend/trend.csv").read() == header + "".join(
        text[len(header):] for text in months)
    old = os.umask(0o022)
    try:
        update("--peaks", "peaks.txt")
    finally:
        os.umask(old)
    for name in files():
        assert not os.path.basename(name).startswith(".")
        assert stat.S_IMODE(os.stat("web/" + name).st_mode) == 0o644, name


def test_one_new_cycle_touches_only_its_own_files(root):
    update("--peaks", "peaks.txt")
    before = files()
    trend_before = open("web/trend/trend.csv").read()
    status, err, _ = update("--peaks", "peaks.txt")
    assert (status, err, changed(before)) == (0, "", ["index.json"])
    before = files()
    times, values = standard_trace(seed=7)
    Cycle("data", NEW).write_all(times, values)
    status, err, summary = update("--peaks", "peaks.txt")
    assert (status, err) == (0, "")
    assert changed(before) == sorted(["index.json", "index/2026-12-08.json", "trend/2026-12.csv",
                                      "trend/trend.csv", "2026-12-08/%s.amounts.csv" % NEW]
                                     + report_files(NEW))
    trend_after = open("web/trend/trend.csv").read()
    assert trend_after.startswith(trend_before) and trend_after.count(NEW) == 2
    assert summary["latest"]["stamp"] == NEW and summary["latest"]["figure"] == "current"


def test_a_changed_or_removed_cycle_is_reported_again_and_its_old_figure_dropped(root):
    update("--peaks", "peaks.txt")
    before = files()
    times, values = trace([gaussian(150, 90.0, 3.0)], 0.3, 5, seconds=600)
    Cycle("data", SECOND).write("PID", pid_text(times, values))
    os.unlink("data/2026-11-30/PID_%s.dat" % FIRST)
    status, err, summary = update("--peaks", "peaks.txt")
    assert status == 0 and err.count("\n") == 3  # the companions SECOND has not
    assert changed(before) == sorted(["index.json", "index/2026-12-07.json", "trend/2026-12.csv",
                                      "trend/trend.csv", "2026-12-07/%s.amounts.csv" % SECOND]
                                     + report_files(SECOND))
    assert not os.path.exists("web/index/2026-11-30.json")
    assert not os.path.exists("web/trend/2026-11.csv")
    assert [m["month"] for m in summary["months"]] == ["2026-12"] and summary["cycles"] == 2
    rows = list(csv.DictReader(open("web/trend/trend.csv")))
    assert [r["stamp"] for r in rows] == [SECOND, SECOND, THIRD, THIRD]
    assert float(rows[0]["height_mV"]) == pytest.approx(90, rel=0.05)
    assert_figures_honest()


def test_a_settings_change_reports_every_cycle_once_and_is_recorded(root):
    _, _, first = update("--peaks", "peaks.txt")
    old = first["settings"]["id"]
    with open("peaks.txt", "a") as table:
        table.write("toluene\t400\t6\n")
    before = files()
    status, err, summary = update("--peaks", "peaks.txt")
    new = summary["settings"]["id"]
    assert status == 0 and new != old and summary["settings"]["since"] >= first["settings"]["since"]
    assert err.startswith("tarvex-report: settings %s replace %s (peak table changed): every "
                          "cycle is reported again\n" % (new, old))
    assert set(changed(before)) >= {name for stamp in (FIRST, SECOND, THIRD)
                                    for name in report_files(stamp)[:2]}
    assert [name for name in changed(before) if name.endswith((".png", ".svg"))] == [
        "trend/trend.png"]  # redrawn with the settings; the cycles' figures left for later
    assert [(e["settings"], e["figure"]) for e in entries()] == [(new, "pending")] * 3
    assert_figures_honest()
    with netCDF4.Dataset("web/2026-12-08/%s.cdf" % THIRD) as cdf:
        assert cdf.getncattr("peak_processing_method_name").endswith(", settings %s" % new)
        assert "Settings %s: tarvex-report" % new in cdf.getncattr(
            "peak_processing_results_comments")
    # Named anew from the kept analysis: the same results as a fresh report.
    run_tool("cycle", "data/2026-12-08/PID_%s.dat" % THIRD, "--peaks", "peaks.txt", "--out", "fresh")
    assert open("fresh/%s.peaks.csv" % THIRD).read() == open(
        "web/2026-12-08/%s.peaks.csv" % THIRD).read()
    assert cdf_contents("fresh/%s.cdf" % THIRD) == cdf_contents("web/2026-12-08/%s.cdf" % THIRD)
    before = files()
    status, err, _ = update("--peaks", "peaks.txt")  # once: nothing is redone
    assert (status, changed(before)) == (0, ["index.json"])
    status, out, _ = run_tool("figures", "data", "--out", "web", "--peaks", "peaks.txt")
    assert (status, out) == (0, "0 figures still to draw\n")
    assert [(e["settings"], e["figure"]) for e in entries()] == [(new, "current")] * 3
    assert json.load(open("web/index.json"))["trend"] == {"png": "trend/trend.png"}
    assert_figures_honest()


def test_long_runs_show_progress_and_leave_older_figures_pending(tmp_path, monkeypatch, table):
    monkeypatch.chdir(tmp_path)
    times, values = trace([gaussian(60, 60.0, 3.0)], 0.3, 1, seconds=120)
    for hour in range(200):
        Cycle("data", "2026-12-%02d_%02d-00-00" % (1 + hour // 24, hour % 24)).write(
            "PID", pid_text(times, values))
    update()
    assert sum(e["figure"] == "current" for e in entries()) == 10  # the newest
    status, err, _ = update("--snr", "12")
    assert err.split("\n")[1:] == ["tarvex-report: results: %d of 200 cycles (%d%%)"
                                   % (20 * k, 10 * k) for k in range(1, 11)] + [
        "tarvex-report: 200 figures are still to draw, newest first: `tarvex-report figures` "
        "draws them", ""]
    assert_figures_honest()


def test_cycles_that_cannot_be_reported_are_recorded_and_not_retried(root):
    times, values = standard_trace()
    short = Cycle("data", "2026-12-08_11-00-00").write("PID", pid_text(times[:1], values[:1]))
    fifo = Cycle("data", "2026-12-08_11-15-00").pid
    os.mkfifo(fifo)
    signal.alarm(60)  # a FIFO that blocked the run would fail the test
    try:
        status, err, _ = update()
    finally:
        signal.alarm(0)
    messages = ["%s: only 1 reading: a chromatogram needs at least 11" % short,
                "%s: not a regular file but a FIFO: not read" % fifo]
    assert status == 0
    assert all("tarvex-report: %s\n" % m in err for m in messages)
    listed = day_file("2026-12-08")["cycles"][:2]
    assert [(e["report"], e["figure"], e["settings"], e["error"]) for e in listed] == [
        (None, None, None, m) for m in reversed(messages)]
    assert listed[0]["raw"]["pid"] is None and listed[1]["raw"]["pid"] == short[5:]
    assert sorted(n for n in os.listdir("web/2026-12-08") if "11-" in n) == [
        "2026-12-08_11-00-00.error", "2026-12-08_11-15-00.error"]
    status, err, _ = update()  # not tried again while the files stay as they are
    assert (status, err) == (0, "")
    Cycle("data", "2026-12-08_11-00-00").write("PID", pid_text(times, values))
    update()
    assert day_file("2026-12-08")["cycles"][1]["figure"] == "current"
    assert not os.path.exists("web/2026-12-08/2026-12-08_11-00-00.error")


def test_requeued_cycles_are_reported_again_with_their_figures_kept(root):
    from tarvex_report.store import requeue

    update("--peaks", "peaks.txt")
    before = files()
    requeue("web", [SECOND])
    status, err, _ = update("--peaks", "peaks.txt")
    assert (status, err) == (0, "")
    assert changed(before) == sorted(["index.json", "index/2026-12-07.json", "trend/2026-12.csv",
                                      "trend/trend.csv"] + report_files(SECOND)[:2])
    assert_figures_honest()


def test_a_run_stopped_half_way_is_made_good_by_the_next(root):
    update("--peaks", "peaks.txt")
    names = ["index/2026-12-08.json", "trend/2026-12.csv", "trend/trend.csv"]
    written = {name: open("web/" + name).read() for name in names}
    # What a run killed after recording its cycles leaves: its mark, and
    # index and trend files not yet written.
    with open("web/.state/state.json") as stream:
        state = json.load(stream)
    state["dirty"] = True
    with open("web/.state/state.json", "w") as stream:
        json.dump(state, stream)
    for name in names:
        os.unlink("web/" + name)
    assert update("--peaks", "peaks.txt")[:2] == (0, "")
    assert {name: open("web/" + name).read() for name in names} == written


def test_an_unusable_peak_table_keeps_the_last_usable_compounds(root):
    _, _, first = update("--peaks", "peaks.txt")
    open("peaks.txt", "w").write("being edited\n")
    before = files()
    status, err, summary = update("--peaks", "peaks.txt")
    assert status == 2
    assert err.split("\n")[-2:] == [
        "tarvex-report: the compounds of the last usable peak table (2) stay in use", ""]
    assert summary["settings"] == first["settings"] and changed(before) == ["index.json"]


def test_missing_root_is_unusable_and_an_empty_one_empty(tmp_path, monkeypatch, table):
    monkeypatch.chdir(tmp_path)
    status, _, err = run_tool("update", "none", "--out", "web")
    assert (status, err) == (2, "tarvex-report: none: not a folder\n")
    os.mkdir("data")
    status, err, summary = update("--peaks", table)
    assert (status, err) == (0, "")
    assert (summary["cycles"], summary["days"], summary["months"], summary["latest"]) == (
        0, [], [], None)
    assert open("web/trend/trend.csv").read() == \
        "stamp,name,retention_s,height_mV,area_mVs,amount,unit,flags\n"
