"""Bad input: a message naming the file and the line, status 2 for an
unusable input file, never a traceback (run_tool checks), and whatever can
still be reported is."""

import csv

import pytest

from conftest import PID_ROW, STAMP, pid_text, run_program, run_tool, standard_trace


def out_file(tmp_path, suffix):
    return tmp_path / "out" / (STAMP + suffix)


def report(cycle, tmp_path, *extra):
    return run_tool("cycle", cycle.pid, "--out", tmp_path / "out", *extra)


def peak_rows(tmp_path):
    with open(out_file(tmp_path, ".peaks.csv")) as stream:
        return list(csv.DictReader(stream))


def test_empty_pid_file_is_unusable_but_the_temperatures_are_still_drawn(cycle, tmp_path):
    times, values = standard_trace()
    cycle.write_all(times, values)
    cycle.write("PID", "")
    status, out, err = run_program("cycle", cycle.pid, "--out", tmp_path / "out")
    assert status == 2
    assert err == "tarvex-report: %s: empty: the cycle has no detector readings\n" % cycle.pid
    assert out == ""
    assert out_file(tmp_path, ".png").exists() and out_file(tmp_path, ".svg").exists()
    assert not out_file(tmp_path, ".peaks.csv").exists()
    assert not out_file(tmp_path, ".cdf").exists()


def test_rows_that_do_not_parse_are_named_and_skipped(cycle, tmp_path):
    times, values = standard_trace()
    lines = pid_text(times, values).split("\n")
    lines[9] = "    10\tX.12345\t 0\t 0.00000"
    lines[19] = "    20\t100.0"
    lines[29] = "999999\t100.0\t 0\t 0.00000"
    cycle.write_all(times, values)
    cycle.write("PID", "\n".join(lines))
    status, _, err = report(cycle, tmp_path)
    assert status == 0
    assert err.split("\n")[:3] == [
        "tarvex-report: %s, line 10: not a detector row (time, mV, status, 0), skipped: "
        "'    10\\tX.12345\\t 0\\t 0.00000'" % cycle.pid,
        "tarvex-report: %s, line 20: not a detector row (time, mV, status, 0), skipped: "
        "'    20\\t100.0'" % cycle.pid,
        "tarvex-report: %s, line 30: time 999999 s is out of range, row skipped" % cycle.pid]
    assert len(peak_rows(tmp_path)) == 3


def test_many_bad_rows_are_counted_after_the_first_five(cycle, tmp_path):
    times, values = standard_trace()
    lines = pid_text(times, values).split("\n")
    for k in range(100, 112):
        lines[k] = "garbage"
    cycle.write_all(times, values)
    cycle.write("PID", "\n".join(lines))
    _, _, err = report(cycle, tmp_path)
    named = [line for line in err.split("\n") if "not a detector row" in line]
    assert len(named) == 5
    assert "tarvex-report: %s: 7 more unreadable rows skipped" % cycle.pid in err


def test_a_truncated_last_row_is_named_and_ignored(cycle, tmp_path):
    times, values = standard_trace()
    cycle.write_all(times, values)
    cycle.write("PID", pid_text(times, values) + "  1201\t12")
    status, _, err = report(cycle, tmp_path)
    assert status == 0
    assert err.startswith("tarvex-report: %s, line %d: truncated last row (no line end), "
                          "ignored: '  1201\\t12'\n" % (cycle.pid, len(times) + 1))
    assert out_file(tmp_path, ".cdf").exists()


def test_time_going_backwards_ends_the_trace_there(cycle, tmp_path):
    # A second run appended in the same minute starts again at 1 s.
    times, values = standard_trace()
    cycle.write_all(times, values)
    cycle.write("PID", pid_text(times, values) + PID_ROW % (1, 100.0, 0, 0) * 3)
    status, _, err = report(cycle, tmp_path)
    assert status == 0
    assert err == ("tarvex-report: %s, line %d: time 1 does not follow 1200: a second run "
                   "appended to the file? The rows from here on are ignored\n"
                   % (cycle.pid, len(times) + 1))
    assert len(peak_rows(tmp_path)) == 3


def test_only_rubbish_is_unusable(cycle, tmp_path):
    cycle.write("PID", "hello\nworld\n")
    status, _, err = report(cycle, tmp_path)
    assert status == 2
    assert err.endswith("tarvex-report: %s: no readable detector rows\n" % cycle.pid)


def test_missing_companion_files_are_named_and_the_cycle_reported(cycle, tmp_path):
    times, values = standard_trace()
    cycle.write("PID", pid_text(times, values))
    status, _, err = report(cycle, tmp_path)
    assert status == 0
    assert err.split("\n") == [
        "tarvex-report: %s: missing: the figure shows no temperatures of TC64" % cycle.path("TC64"),
        "tarvex-report: %s: missing: the figure shows no temperatures of TC66" % cycle.path("TC66"),
        "tarvex-report: %s: missing (a cycle without a sample volume has none): no flow panel"
        % cycle.path("Flow"),
        ""]
    assert len(peak_rows(tmp_path)) == 3


def test_a_bad_temperature_row_is_named(cycle, tmp_path):
    times, values = standard_trace()
    cycle.write_all(times, values)
    text = open(cycle.path("TC66")).read().replace("    5\t", "    5\tx", 1)
    cycle.write("TC66", text)
    status, _, err = report(cycle, tmp_path)
    assert status == 0
    # Counter line, two empty lines, header, dashes: the rows start on line 6.
    assert err.startswith("tarvex-report: %s, line 7: not a temperature row (time, column, "
                          "warm), skipped: '    5\\tx 25.8\\t" % cycle.path("TC66"))
    assert err.count("\n") == 1


def test_missing_pid_file_and_wrong_names_are_unusable(tmp_path):
    missing = tmp_path / "2026-12-08" / ("PID_%s.dat" % STAMP)
    status, _, err = run_tool("cycle", missing, "--out", tmp_path / "out")
    assert status == 2
    assert err == "tarvex-report: %s: cannot be read: No such file or directory\n" % missing
    assert not (tmp_path / "out" / (STAMP + ".png")).exists()
    other = tmp_path / "trace.dat"
    other.write_text("1\t100\t0\t0\n")
    status, _, err = run_tool("cycle", other, "--out", tmp_path)
    assert status == 2
    assert err == ("tarvex-report: %s: not a detector file name (PID_YYYY-MM-DD_HH-MM-00.dat)\n"
                   % other)


def test_a_bad_peak_table_line_is_named_and_the_rest_used(cycle, tmp_path):
    times, values = standard_trace()
    cycle.write_all(times, values)
    table = tmp_path / "peaks.txt"
    table.write_text("benzene\t150\t5\ntoluene 400 6\nxylene\t1000\tnone\n"
                     "benzene\t160\t5\nnothing\t-1\t5\n")
    status, _, err = report(cycle, tmp_path, "--peaks", table)
    assert status == 0
    assert err.split("\n") == [
        "tarvex-report: %s, line 2: expected name<TAB>retention_s<TAB>window_s, found 1 "
        "tab-separated fields; line skipped" % table,
        "tarvex-report: %s, line 3: window 'none' is not a positive number of seconds; "
        "line skipped" % table,
        "tarvex-report: %s, line 4: benzene is already named on line 1; line skipped" % table,
        "tarvex-report: %s, line 5: retention '-1' is not a number of seconds; line skipped"
        % table, ""]
    assert [r["name"] for r in peak_rows(tmp_path)] == ["benzene", "", ""]


def test_an_unusable_peak_table_gives_status_2_and_an_unnamed_report(cycle, tmp_path):
    times, values = standard_trace()
    cycle.write_all(times, values)
    table = tmp_path / "peaks.txt"
    table.write_text("# nothing but comments\n\n")
    status, _, err = report(cycle, tmp_path, "--peaks", table)
    assert status == 2
    assert err == ("tarvex-report: %s: no compound in the peak table (lines of "
                   "name<TAB>retention_s<TAB>window_s)\n" % table)
    assert [r["name"] for r in peak_rows(tmp_path)] == ["", "", ""]


def test_binary_garbage_is_no_traceback(cycle, tmp_path):
    cycle.write("PID", "\x00\xff\xfe\n" * 20)
    status, _, err = report(cycle, tmp_path)
    assert status == 2
    assert "no readable detector rows" in err


@pytest.mark.parametrize("arguments, message", [
    (["cycle"], "the following arguments are required: ROOT/YYYY-MM-DD/PID_<stamp>.dat"),
    (["cycle", "x", "--snr", "0"], "argument --snr: '0' is not a positive number"),
    (["trend", "root"], "the following arguments are required: --peaks"),
    (["trend", "root", "--peaks", "t", "--from", "2026-13-01"],
     "argument --from: '2026-13-01' is not a date YYYY-MM-DD"),
    (["update", "root"], "the following arguments are required: --out"),
])
def test_command_line_mistakes_give_usage_and_status_2(arguments, message):
    status, _, err = run_tool(*arguments)
    assert status == 2
    assert err.startswith("usage: tarvex-report")
    assert err.rstrip().endswith(message)


def test_unwritable_output_folder_gives_status_1(cycle, tmp_path):
    times, values = standard_trace()
    cycle.write_all(times, values)
    blocker = tmp_path / "file"
    blocker.write_text("")
    status, _, err = run_tool("cycle", cycle.pid, "--out", blocker / "out")
    assert status == 1
    assert err == "tarvex-report: %s: Not a directory\n" % (blocker / "out")
