"""Helpers of the tarvex-report tests: result files written as the controller
writes them, and the tool run as a program."""

import contextlib
import io
import os
import subprocess
import sys

import numpy as np
import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
REPORT = os.path.dirname(HERE)
TOOL = os.path.join(REPORT, "tarvex-report")
sys.path.insert(0, REPORT)
sys.path.insert(0, HERE)

STAMP = "2026-12-08_11-45-00"
DAY = STAMP[:10]
PID_ROW = "%6i\t%8.5f\t%2d\t%8.5f\n"


def pid_text(times, values):
    return "".join(PID_ROW % (t, v, 0, 0.0) for t, v in zip(times, values))


def tc_text(address, times, column, warm):
    newlines = "\n" if address == 64 else "\n\n"
    head = "  faults: %3d    seq_faults: %3d     retries: %3d%s" % (0, 0, 0, newlines)
    head += "\nTime\tColumnT\t WarmT\n----------------------------------\n"
    return head + "".join("%5i\t%5.1f\t%5.1f\n" % row for row in zip(times, column, warm))


def flow_text(sample, detector, target=40, reached_at=15):
    rows = "".join("%5i\t%5.1f\t%5.1f\n" % (m, s, d)
                   for m, (s, d) in enumerate(zip(sample, detector)))
    closing = "\nTarget sample volume %d ccm reached at cycle time T=%d\n" % (target, reached_at)
    return rows + closing


class Cycle:
    """One cycle's result files in ROOT/YYYY-MM-DD/."""

    def __init__(self, root, stamp=STAMP):
        self.root = str(root)
        self.stamp = stamp
        self.folder = os.path.join(self.root, stamp[:10])
        os.makedirs(self.folder, exist_ok=True)

    def path(self, prefix):
        suffix = ".dat" if prefix == "PID" else ".TLog"
        return os.path.join(self.folder, "%s_%s%s" % (prefix, self.stamp, suffix))

    @property
    def pid(self):
        return self.path("PID")

    def write(self, prefix, text):
        with open(self.path(prefix), "w") as stream:
            stream.write(text)
        return self.path(prefix)

    def write_all(self, times, values, flow=True):
        self.write("PID", pid_text(times, values))
        seconds = np.arange(2, 120, 2)
        self.write("TC64", tc_text(64, seconds, 25 + seconds / 4, 25 + seconds / 3))
        self.write("TC66", tc_text(66, seconds + 1, 25 + seconds / 5, 25 + seconds / 6))
        if flow:
            self.write("Flow", flow_text([46.7, 0.0], [30.0, 30.0]))
        return self


def run_program(*args, cwd=None):
    """The tool as a program, launcher and all: (status, standard output,
    standard error)."""
    environment = dict(os.environ, PYTHONDONTWRITEBYTECODE="1")
    done = subprocess.run([TOOL] + [str(a) for a in args], cwd=cwd, capture_output=True,
                          text=True, timeout=120, env=environment)
    assert "Traceback" not in done.stderr, done.stderr
    return done.returncode, done.stdout, done.stderr


def run_tool(*args):
    """The tool's command line run in this process (the interpreter's start
    and the imports cost more than most reports): (status, standard output,
    standard error). An exception that escapes fails the test."""
    from tarvex_report.cli import main

    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        try:
            status = main([str(a) for a in args])
        except SystemExit as done:  # the argument parser's way out
            status = done.code
    assert "internal error" not in err.getvalue(), err.getvalue()
    return status, out.getvalue(), err.getvalue()


@pytest.fixture
def cycle(tmp_path, monkeypatch):
    """A cycle in data/ of the test's own folder, the current one: messages
    name its files by short relative paths."""
    monkeypatch.chdir(tmp_path)
    return Cycle("data")


@pytest.fixture
def table(tmp_path):
    """Peak table for the standard trace below."""
    path = tmp_path / "peaks.txt"
    path.write_text("# compounds\nbenzene\t150\t5\ntoluene\t400\t6  # comment\n"
                    "xylene\t1000\t10\nmissing compound\t1600\t5\n")
    return str(path)


def standard_trace(seed=3):
    """Three Gaussian peaks at 150, 400 and 1000 s on a drifting, noisy
    baseline, 600 readings, 8 of them missing."""
    from synthetic import gaussian, trace

    peaks = [gaussian(150, 60.0, 3.0), gaussian(400, 120.0, 4.0), gaussian(1000, 80.0, 8.0)]
    return trace(peaks, 0.3, seed, missing=8, seconds=1200)
