"""`tarvex-report update`: new cycles reported, failures recorded, the trend
rewritten, index.json for the web view."""

import json
import os
import stat
import time

import pytest

from conftest import Cycle, pid_text, run_tool, standard_trace

FIRST, SECOND = "2026-12-07_23-00-00", "2026-12-08_10-15-00"


@pytest.fixture
def root(tmp_path):
    """Two cycles: the first with every file, the second with only its
    detector file."""
    times, values = standard_trace()
    Cycle(tmp_path / "data", FIRST).write_all(times, values)
    Cycle(tmp_path / "data", SECOND).write("PID", pid_text(times, values))
    return tmp_path / "data"


def update(root, out, *extra):
    status, _, err = run_tool("update", root, "--out", out, *extra)
    with open(os.path.join(out, "index.json")) as stream:
        return status, err, json.load(stream)


def report_files(stamp):
    day = stamp[:10]
    return {"png": "%s/%s.png" % (day, stamp), "svg": "%s/%s.svg" % (day, stamp),
            "peaks": "%s/%s.peaks.csv" % (day, stamp), "cdf": "%s/%s.cdf" % (day, stamp)}


def test_index_lists_days_and_cycles_newest_first(root, tmp_path, table):
    out = tmp_path / "web"
    status, err, index = update(root, out, "--peaks", table)
    assert status == 0
    assert set(index) == {"generated", "days", "trend"}
    assert index["generated"][:2] == "20" and index["generated"][19] in "+-Z"
    assert index["trend"] == {"csv": "trend/trend.csv", "png": "trend/trend.png"}
    assert [d["date"] for d in index["days"]] == ["2026-12-08", "2026-12-07"]
    second, first = index["days"][0]["cycles"][0], index["days"][1]["cycles"][0]
    assert first == {
        "stamp": FIRST,
        "raw": {"pid": "2026-12-07/PID_%s.dat" % FIRST,
                "tc64": "2026-12-07/TC64_%s.TLog" % FIRST,
                "tc66": "2026-12-07/TC66_%s.TLog" % FIRST,
                "flow": "2026-12-07/Flow_%s.TLog" % FIRST},
        "report": report_files(FIRST), "error": None}
    assert second["raw"] == {"pid": "2026-12-08/PID_%s.dat" % SECOND, "tc64": None,
                             "tc66": None, "flow": None}
    assert second["report"] == report_files(SECOND)
    for name in list(report_files(FIRST).values()) + ["trend/trend.csv", "trend/trend.png"]:
        assert (out / name).is_file(), name
    # The missing companions of the second cycle are said, not fatal.
    assert "TC64_%s.TLog: missing" % SECOND in err


def test_nothing_new_touches_no_report_and_is_quick(root, tmp_path, table):
    out = tmp_path / "web"
    update(root, out, "--peaks", table)
    made = {name: os.stat(out / name).st_mtime_ns for name in
            list(report_files(FIRST).values()) + ["trend/trend.csv"]}
    started = time.monotonic()
    status, err, _ = update(root, out, "--peaks", table)
    elapsed = time.monotonic() - started
    assert (status, err) == (0, "")
    assert {name: os.stat(out / name).st_mtime_ns for name in made} == made
    assert elapsed < 5  # no figure drawn: well under a second when the machine is idle


def test_a_changed_detector_file_is_reported_again(root, tmp_path):
    out = tmp_path / "web"
    update(root, out)
    peaks = out / report_files(FIRST)["peaks"]
    png = out / report_files(FIRST)["png"]
    # The detector file newer than the report: as if a run had appended to it.
    pid = root / "2026-12-07" / ("PID_%s.dat" % FIRST)
    earlier = os.stat(pid).st_mtime - 60
    os.utime(peaks, (earlier, earlier))
    os.utime(png, (earlier, earlier))
    _, _, index = update(root, out)
    assert os.stat(peaks).st_mtime > earlier + 30
    assert os.stat(png).st_mtime > earlier + 30
    assert index["trend"] is None


def test_a_cycle_that_cannot_be_reported_is_recorded_and_not_retried(root, tmp_path):
    out = tmp_path / "web"
    bad = Cycle(root, "2026-12-08_11-00-00").write("PID", "")
    status, err, index = update(root, out)
    assert status == 0
    message = "%s: empty: the cycle has no detector readings" % bad
    assert "tarvex-report: %s\n" % message in err
    entry = index["days"][0]["cycles"][0]
    assert entry["stamp"] == "2026-12-08_11-00-00"
    assert (entry["report"], entry["error"]) == (None, message)
    # Not tried again while the file stays as it is; tried once it changes.
    status, err, index = update(root, out)
    assert err == ""
    assert index["days"][0]["cycles"][0]["error"] == message
    times, values = standard_trace()
    with open(bad, "w") as stream:
        stream.write(pid_text(times, values))
    record = out / "2026-12-08" / "2026-12-08_11-00-00.error"
    earlier = os.stat(bad).st_mtime - 60
    os.utime(record, (earlier, earlier))
    _, _, index = update(root, out)
    entry = index["days"][0]["cycles"][0]
    assert (entry["report"], entry["error"]) == (report_files("2026-12-08_11-00-00"), None)
    assert not record.exists()


def test_outputs_are_readable_by_others_and_no_temporary_file_stays(root, tmp_path):
    out = tmp_path / "web"
    old = os.umask(0o022)
    try:
        update(root, out)
    finally:
        os.umask(old)
    for folder, _, names in os.walk(out):
        for name in names:
            assert not name.startswith("."), name
            mode = stat.S_IMODE(os.stat(os.path.join(folder, name)).st_mode)
            assert mode == 0o644, (name, oct(mode))


def test_missing_root_is_unusable(tmp_path):
    status, _, err = run_tool("update", tmp_path / "none", "--out", tmp_path / "web")
    assert (status, err) == (2, "tarvex-report: %s: not a folder\n" % (tmp_path / "none"))
