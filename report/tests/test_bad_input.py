"""Bad input: a message naming the file and the row, at most 200 characters,
each kind of problem listed five times per file and then counted; status 2
for an unusable input file and then no output of the cycle at all (not even
an earlier run's); never a traceback, a Python warning or a blocked read."""

import csv
import os
import resource
import signal

import netCDF4
import numpy as np
import pytest

from conftest import PID_ROW, STAMP, pid_text, run_program, run_tool, standard_trace

OUTPUTS = (".png", ".svg", ".peaks.csv", ".cdf")
NOT_A_ROW = "not a detector row (time, mV, status, 0), skipped: "


def trace_lines(count=None):
    times, values = standard_trace()
    return pid_text(times, values).split("\n")[:count]


def with_lines(changes):
    """The standard trace with some rows replaced (numbered from 1)."""
    lines = trace_lines()
    for number, text in changes.items():
        lines[number - 1] = text.rstrip("\n")
    return "\n".join(lines)


def sparse_line(path, size=200 << 20):
    """A detector file of one 200 MB line (a sparse file: cheap to make)."""
    with open(path, "wb") as stream:
        stream.truncate(size)


BAD_DETECTOR_FILES = [
    # (case, the detector file, status, messages ({pid}: the file), outputs written)
    ("empty", "", 2, ["{pid}: empty: the cycle has no detector readings"], False),
    ("one row", "\n".join(trace_lines(1)) + "\n", 2,
     ["{pid}: only 1 reading: a chromatogram needs at least 11"], False),
    ("ten rows", "\n".join(trace_lines(10)) + "\n", 2,
     ["{pid}: only 10 readings: a chromatogram needs at least 11"], False),
    ("rubbish", "hello\nworld\n", 2,
     ["{pid}, line 1: " + NOT_A_ROW + "'hello'", "{pid}, line 2: " + NOT_A_ROW + "'world'",
      "{pid}: no readable detector rows"], False),
    ("binary", "\x00\xff\xfe\n" * 20, 2,
     ["{pid}, line %d: %s'\\x00\u00ff\u00fe'" % (n, NOT_A_ROW) for n in range(1, 6)] +
     ["{pid}: 15 more unreadable rows skipped", "{pid}: no readable detector rows"], False),
    ("fifo", os.mkfifo, 2, ["{pid}: not a regular file but a FIFO: not read"], False),
    ("folder", os.mkdir, 2, ["{pid}: not a regular file but a folder: not read"], False),
    ("device", lambda pid: os.symlink("/dev/zero", pid), 2,
     ["{pid}: not a regular file but a character device: not read"], False),
    ("one 200 MB line", sparse_line, 2,
     ["{pid}, line 1: row longer than 4096 bytes, skipped: " +
      repr("\x00" * 39 + "\u2026")[:79] + "\u2026", "{pid}: no readable detector rows"], False),
    ("out of range", with_lines({6: PID_ROW % (6, 1e308, 0, 0), 7: "     7\t1e308\t 0\t 0"} | {
        n: PID_ROW % (n, -5.0, 0, 0) for n in range(11, 20)} | {30: PID_ROW % (30, 3302, 0, 0)}),
     0, ["{pid}, line 6: reading 1e+308 mV is out of range (30 to 3300 mV), row skipped",
         "{pid}, line 7: reading 1e+308 mV is out of range (30 to 3300 mV), row skipped"] +
     ["{pid}, line %d: reading -5 mV is out of range (30 to 3300 mV), row skipped" % n
      for n in (11, 12, 13)] + ["{pid}: 7 more readings out of range skipped"], True),
    ("rows that do not parse", with_lines({10: "    10\tX.12345\t 0\t 0.00000", 20: "    20\t100.0",
                                           30: "999999\t100.0\t 0\t 0.00000",
                                           40: "    40\t" + "x" * 300}), 0,
     ["{pid}, line 10: " + NOT_A_ROW + "'    10\\tX.12345\\t 0\\t 0.00000'",
      "{pid}, line 20: " + NOT_A_ROW + "'    20\\t100.0'",
      "{pid}, line 30: time 999999 s is out of range, row skipped",
      "{pid}, line 40: " + NOT_A_ROW + repr("    40\t" + "x" * 32 + "\u2026")], True),
    ("many bad rows", with_lines({n: "garbage" for n in range(101, 113)}), 0,
     ["{pid}, line %d: %s'garbage'" % (n, NOT_A_ROW) for n in range(101, 106)] +
     ["{pid}: 7 more unreadable rows skipped"], True),
    ("truncated last row", "\n".join(trace_lines()) + "  1201\t12", 0,
     ["{pid}, line 1193: truncated last row (no line end), ignored: '  1201\\t12'"], True),
    ("second run appended", "\n".join(trace_lines()) + PID_ROW % (1, 100.0, 0, 0) * 3, 0,
     ["{pid}, line 1193: time 1 does not follow 1200: a second run appended to the file? "
      "The rows from here on are ignored"], True),
]


@pytest.mark.parametrize("case, content, status, messages, written", BAD_DETECTOR_FILES,
                         ids=[case[0] for case in BAD_DETECTOR_FILES])
def test_bad_detector_files(cycle, tmp_path, case, content, status, messages, written):
    times, values = standard_trace()
    cycle.write_all(times, values)
    os.unlink(cycle.pid)
    if callable(content):
        content(cycle.pid)
    else:
        cycle.write("PID", content)
    out = tmp_path / "out"
    out.mkdir()
    for suffix in OUTPUTS:  # an earlier run's report: gone after a failed one
        (out / (STAMP + suffix)).write_text("earlier")
    memory = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    signal.alarm(60)  # a read that blocks fails the test instead of hanging it
    try:
        result = run_tool("cycle", cycle.pid, "--out", out)
    finally:
        signal.alarm(0)
    assert (resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - memory) < 100 << 10  # KiB
    assert result[0] == status
    assert result[2].split("\n") == ["tarvex-report: " + m.format(pid=cycle.pid)
                                     for m in messages] + [""]
    assert all(len(line) <= 200 for line in result[2].split("\n"))
    assert sorted(os.listdir(out)) == (sorted(STAMP + s for s in OUTPUTS) if written else [])
    if written:
        assert all((out / (STAMP + s)).read_bytes() != b"earlier" for s in OUTPUTS)


def test_the_cdf_holds_finite_float32_values_within_the_importers_limits(cycle, tmp_path):
    cycle.write("PID", {case[0]: case[1] for case in BAD_DETECTOR_FILES}["out of range"])
    run_tool("cycle", cycle.pid, "--out", tmp_path / "out")
    with netCDF4.Dataset(tmp_path / "out" / (STAMP + ".cdf")) as cdf:
        assert -1e12 < cdf["detector_minimum_value"][...] < cdf["detector_maximum_value"][...] \
            < 1e12
        for variable in cdf.variables.values():
            if variable.dtype == np.float32:
                values = np.ma.getdata(variable[...])
                assert np.all(np.isfinite(values)) and np.all(np.abs(values) < 3.4e38)


def test_long_paths_are_shortened_keeping_the_file_name(tmp_path, monkeypatch):
    from conftest import Cycle

    monkeypatch.chdir(tmp_path)
    cycle = Cycle("d" * 150)
    cycle.write("PID", "")
    status, _, err = run_tool("cycle", cycle.pid, "--out", "out")
    assert status == 2
    assert err == "tarvex-report: %s\u2026/%s/PID_%s.dat: empty: the cycle has no detector " \
        "readings\n" % ("d" * 60, STAMP[:10], STAMP)


def test_peak_names_are_cut_on_character_boundaries_and_warnings_become_messages(cycle,
                                                                                 tmp_path):
    times, values = standard_trace()
    cycle.write_all(times, values)
    table = "peaks.txt"
    # 33 bytes of euro signs; a name the figure's font has no glyph for (a
    # warning of matplotlib); a name that would be mathematical notation.
    open(table, "w").write("%s\t150\t5\n\u82ef\t400\t6\na$\\frac$b\t1000\t10\n" % ("\u20ac" * 11))
    status, _, err = run_tool("cycle", cycle.pid, "--peaks", table, "--out", "out")
    assert status == 0
    glyph = "tarvex-report: out/%s.png: drawing the figure: UserWarning: Glyph 33519 (\\N{CJK " \
        "UNIFIED IDEOGRAPH-82EF}) missing from current font." % STAMP
    lines = err.split("\n")
    assert 1 <= len(lines) - 1 <= 6 and set(lines[:-1]) == {glyph} and lines[-1] == ""
    with netCDF4.Dataset(tmp_path / "out" / (STAMP + ".cdf")) as cdf:
        names = [bytes(n).rstrip(b"\0").decode("utf-8") for n in cdf["peak_name"][:].data]
    assert names == ["\u20ac" * 10, "\u82ef", "a$\\frac$b"]


def test_a_binary_peak_table_is_five_lines_and_a_count(cycle, tmp_path):
    table = "peaks.bin"
    open(table, "wb").write(bytes(range(256)) * 400)
    status, _, err = run_tool("trend", "data", "--peaks", table)
    assert status == 2
    found = "expected name<TAB>retention_s<TAB>window_s, found %d tab-separated fields; " \
        "line skipped"
    lines = err.split("\n")
    assert lines[:6] == ["tarvex-report: %s, line %d: %s" % (table, n, found % 1)
                         for n in range(1, 6)] + [
        "tarvex-report: %s: 396 more bad lines skipped" % table]
    assert lines[6:] == ["tarvex-report: %s: no compound in the peak table (lines of "
                         "name<TAB>retention_s<TAB>window_s)" % table, ""]


def test_missing_companion_files_are_named_and_the_cycle_reported(cycle, tmp_path):
    times, values = standard_trace()
    cycle.write("PID", pid_text(times, values))
    status, _, err = run_tool("cycle", cycle.pid, "--out", tmp_path / "out")
    assert status == 0
    assert err.split("\n") == [
        "tarvex-report: %s: missing: the figure shows no temperatures of TC64" % cycle.path("TC64"),
        "tarvex-report: %s: missing: the figure shows no temperatures of TC66" % cycle.path("TC66"),
        "tarvex-report: %s: missing (a cycle without a sample volume has none): no flow panel"
        % cycle.path("Flow"), ""]


def test_a_bad_temperature_row_and_a_fifo_flow_log_are_named(cycle, tmp_path):
    times, values = standard_trace()
    cycle.write_all(times, values)
    text = open(cycle.path("TC66")).read().replace("    5\t", "    5\tx", 1)
    cycle.write("TC66", text)
    os.unlink(cycle.path("Flow"))
    os.mkfifo(cycle.path("Flow"))
    status, _, err = run_program("cycle", cycle.pid, "--out", tmp_path / "out")
    assert status == 0
    # Counter line, two empty lines, header, dashes: the rows start on line 6.
    assert err.split("\n") == [
        "tarvex-report: %s, line 7: not a temperature row (time, column, warm), skipped: "
        "'    5\\tx 25.8\\t 25.7'" % cycle.path("TC66"),
        "tarvex-report: %s: not a regular file but a FIFO: not read" % cycle.path("Flow"), ""]


def test_a_bad_peak_table_line_is_named_and_the_rest_used(cycle, tmp_path):
    times, values = standard_trace()
    cycle.write_all(times, values)
    table = "peaks.txt"
    open(table, "w").write("benzene\t150\t5\ntoluene 400 6\nxylene\t1000\tnone\n"
                     "benzene\t160\t5\nnothing\t-1\t5")  # no line end after the last
    status, _, err = run_tool("cycle", cycle.pid, "--out", tmp_path / "out", "--peaks", table)
    assert status == 0
    assert err.split("\n") == [
        "tarvex-report: %s, line 2: expected name<TAB>retention_s<TAB>window_s, found 1 "
        "tab-separated fields; line skipped" % table,
        "tarvex-report: %s, line 3: window 'none' is not a positive number of seconds; "
        "line skipped" % table,
        "tarvex-report: %s, line 4: benzene is already named on line 1; line skipped" % table,
        "tarvex-report: %s, line 5: retention '-1' is not a number of seconds; line skipped"
        % table, ""]
    rows = list(csv.DictReader(open(tmp_path / "out" / (STAMP + ".peaks.csv"))))
    assert [r["name"] for r in rows] == ["benzene", "", ""]


def test_missing_pid_file_and_wrong_names_are_unusable(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    missing = "2026-12-08/PID_%s.dat" % STAMP
    status, _, err = run_tool("cycle", missing, "--out", "out")
    assert (status, err) == (2, "tarvex-report: %s: cannot be read: No such file or directory\n"
                             % missing)
    assert not (tmp_path / "out" / (STAMP + ".png")).exists()
    other = "trace.dat"
    (tmp_path / other).write_text("1\t100\t0\t0\n")
    status, _, err = run_tool("cycle", other, "--out", "out")
    assert (status, err) == (2, "tarvex-report: %s: not a detector file name "
                             "(PID_YYYY-MM-DD_HH-MM-00.dat)\n" % other)


def test_an_unusable_peak_table_gives_status_2_and_an_unnamed_report(cycle, tmp_path):
    times, values = standard_trace()
    cycle.write_all(times, values)
    table = "peaks.txt"
    open(table, "w").write("# nothing but comments\n\n")
    status, _, err = run_tool("cycle", cycle.pid, "--out", tmp_path / "out", "--peaks", table)
    assert (status, err) == (2, "tarvex-report: %s: no compound in the peak table (lines of "
                             "name<TAB>retention_s<TAB>window_s)\n" % table)
    rows = list(csv.DictReader(open(tmp_path / "out" / (STAMP + ".peaks.csv"))))
    assert [r["name"] for r in rows] == ["", "", ""]


@pytest.mark.parametrize("arguments, message", [
    (["cycle"], "the following arguments are required: ROOT/YYYY-MM-DD/PID_<stamp>.dat"),
    (["cycle", "x", "--snr", "0"], "argument --snr: '0' is not a positive number"),
    (["trend", "root"], "the following arguments are required: --peaks"),
    (["trend", "root", "--peaks", "t", "--from", "2026-13-01"],
     "argument --from: '2026-13-01' is not a date YYYY-MM-DD"),
    (["update", "root"], "the following arguments are required: --out"),
    (["update", "r", "--out", "o", "--figure-time", "-1"],
     "argument --figure-time: '-1' is not a number of seconds"),
])
def test_command_line_mistakes_give_usage_and_status_2(arguments, message):
    status, _, err = run_tool(*arguments)
    assert status == 2
    assert err.startswith("usage: tarvex-report")
    assert err.rstrip().endswith(message)


def test_an_output_that_cannot_be_written_is_named_and_no_output_stays(cycle, tmp_path):
    times, values = standard_trace()
    cycle.write_all(times, values)
    (tmp_path / "file").write_text("")
    status, _, err = run_tool("cycle", cycle.pid, "--out", "file/out")
    assert (status, err) == (1, "tarvex-report: file/out: Not a directory\n")
    # The AIA file's name taken by a folder: the rename fails, named by the file.
    out = tmp_path / "out"
    (out / (STAMP + ".cdf")).mkdir(parents=True)
    status, _, err = run_tool("cycle", cycle.pid, "--out", "out")
    assert (status, err) == (1, "tarvex-report: out/%s.cdf: Is a directory\n" % STAMP)
    assert os.listdir(out) == [STAMP + ".cdf"]
