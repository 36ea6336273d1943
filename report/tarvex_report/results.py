"""Reads the result files of one cycle as the controller writes them:

- PID_<stamp>.dat: time since the detector window opened (s), reading (mV),
  status, 0 -- one row per reading, no header;
- TC64_<stamp>.TLog, TC66_<stamp>.TLog: a counter line, a header, then
  time (cycle s), column and warm temperature per reading;
- Flow_<stamp>.TLog: minute, mean sample and detector flow (ccm/min) per
  minute of the cycle, then a closing line about the target volume.

The files are appended to: two runs started in the same minute share them.
Only the first run of such a file is read; the message says where the next
one begins.
"""

import io
import math
import os
import re
from dataclasses import dataclass, field
from datetime import datetime

import numpy as np

from .inputs import complete_lines, open_regular, read_bytes, system_reason, text_lines
from .problems import RANGE, UnusableInput, excerpt

STAMP = r"\d{4}-\d{2}-\d{2}_\d{2}-\d{2}-\d{2}"
PID_NAME = re.compile(r"PID_(%s)\.dat" % STAMP)
DAY_NAME = re.compile(r"\d{4}-\d{2}-\d{2}")
COMPANIONS = (("tc64", "TC64_%s.TLog"), ("tc66", "TC66_%s.TLog"), ("flow", "Flow_%s.TLog"))


@dataclass
class Cycle:
    """Where one cycle's files are (None for a companion that is missing)."""

    stamp: str
    pid: str
    tc64: str = None
    tc66: str = None
    flow: str = None

    @property
    def start(self):
        return datetime.strptime(self.stamp, "%Y-%m-%d_%H-%M-%S")


def cycle_of(pid_path):
    """The cycle of a PID file, found by its stamp; the companions are looked
    for in the same folder (whatever they are: their readers refuse what is
    not a regular file)."""
    match = PID_NAME.fullmatch(os.path.basename(pid_path))
    if not match:
        raise UnusableInput(pid_path, "not a detector file name (PID_YYYY-MM-DD_HH-MM-00.dat)")
    stamp = match.group(1)
    try:
        datetime.strptime(stamp, "%Y-%m-%d_%H-%M-%S")
    except ValueError:
        raise UnusableInput(pid_path, "the name holds no valid date and time") from None
    folder = os.path.dirname(pid_path)
    cycle = Cycle(stamp=stamp, pid=pid_path)
    for key, pattern in COMPANIONS:
        path = os.path.join(folder, pattern % stamp)
        if os.path.exists(path):
            setattr(cycle, key, path)
    return cycle


def cycles_below(root, notes, first_day=None, last_day=None):
    """Every cycle in ROOT/YYYY-MM-DD/, in time order, the days limited to
    first_day ... last_day (text YYYY-MM-DD, inclusive) when given. A
    detector file whose name holds no valid time is noted and left out."""
    cycles = []
    for day in sorted(os.listdir(root)):
        if not DAY_NAME.fullmatch(day) or not os.path.isdir(os.path.join(root, day)):
            continue
        if (first_day and day < first_day) or (last_day and day > last_day):
            continue
        folder = os.path.join(root, day)
        for name in sorted(os.listdir(folder)):
            if PID_NAME.fullmatch(name):
                try:
                    cycles.append(cycle_of(os.path.join(folder, name)))
                except UnusableInput as problem:
                    notes.add(problem.path, problem.reason + "; left out")
    return cycles


def output_paths(out_dir, stamp):
    """The files of a cycle's report."""
    base = os.path.join(out_dir, stamp)
    return {"png": base + ".png", "svg": base + ".svg", "cdf": base + ".cdf",
            "peaks": base + ".peaks.csv"}


# ------------------------------------------------------------------ detector


# A cycle lasts less than an hour; a time beyond a day is a damaged row (and
# would make the even grid of the export absurdly long).
MAX_TIME_S = 86400
# Fewer readings than this hold no chromatogram (nor an AIA file's grid).
MIN_READINGS = 11
# The controller stores only converter readings above 0.03 V and up to 3.3 V;
# anything else in the file was not written by it. 1 mV of margin either side.
READINGS_MV = (30.0, 3300.0)
READING_MARGIN_MV = 1.0
LOWEST_MV, HIGHEST_MV = READINGS_MV[0] - READING_MARGIN_MV, READINGS_MV[1] + READING_MARGIN_MV
# A detector file larger than this is read row by row, never whole: a day
# of readings is under 4 MB.
WHOLE_FILE_BYTES = 8 << 20


@dataclass
class Trace:
    times: np.ndarray  # s since the detector window opened
    values: np.ndarray  # mV


def read_pid_file(path, notes):
    data, whole = read_bytes(path, WHOLE_FILE_BYTES)
    if whole and not data.strip():
        raise UnusableInput(path, "empty: the cycle has no detector readings")
    rows = quick_rows(data) if whole else None
    if rows is None:
        with (io.BytesIO(data) if whole else open_regular(path)) as stream:
            try:
                rows = careful_rows(path, stream, notes)
            except OSError as error:
                raise UnusableInput(path, "cannot be read: %s" % system_reason(error)) from None
    if len(rows) == 0:
        raise UnusableInput(path, "no readable detector rows")
    if len(rows) < MIN_READINGS:
        raise UnusableInput(path, "only %d reading%s: a chromatogram needs at least %d"
                            % (len(rows), "" if len(rows) == 1 else "s", MIN_READINGS))
    return Trace(times=rows[:, 0].astype(float), values=rows[:, 1].astype(float))


def quick_rows(data):
    """All rows at once when the file is exactly as the controller writes it;
    None sends the file to the careful reader, which says what is wrong."""
    if not data.isascii():
        return None
    text = data.decode("ascii")
    lines = text.count("\n")
    # Four fields a row, three tabs between them: only the time and the
    # reading need converting.
    if not text.endswith("\n") or text.count("\t") != 3 * lines:
        return None
    try:
        rows = np.loadtxt(io.StringIO(text), ndmin=2, comments=None, usecols=(0, 1))
    except ValueError:
        return None
    if len(rows) != lines:
        return None
    times, values = rows[:, 0], rows[:, 1]
    if not (np.all(np.isfinite(rows)) and np.all(times == np.round(times))):
        return None
    if np.any(times < 0) or np.any(times > MAX_TIME_S):
        return None
    if np.any(values < LOWEST_MV) or np.any(values > HIGHEST_MV):
        return None
    if len(times) > 1 and np.any(np.diff(times) <= 0):
        return None
    return rows


def careful_rows(path, stream, notes):
    rows = []
    for number, line in complete_lines(path, stream, notes, "row"):
        row = pid_row(line.split())
        if row is None:
            notes.row(path, number, "not a detector row (time, mV, status, 0), skipped: %s"
                      % excerpt(line))
            continue
        if not 0 <= row[0] <= MAX_TIME_S:
            notes.row(path, number, "time %d s is out of range, row skipped" % row[0])
            continue
        if not LOWEST_MV <= row[1] <= HIGHEST_MV:
            notes.row(path, number, "reading %.6g mV is out of range (%g to %g mV), row skipped"
                      % ((row[1],) + READINGS_MV), RANGE)
            continue
        if rows and row[0] <= rows[-1][0]:
            notes.add(path, "time %d does not follow %d: a second run appended to the file? "
                      "The rows from here on are ignored" % (row[0], rows[-1][0]), number)
            break
        rows.append(row)
    return np.array(rows, dtype=float).reshape(-1, 2)


def pid_row(fields):
    """(time, mV) of a row of four fields; the status and the constant 0
    are not used, so they are not judged either."""
    if len(fields) != 4:
        return None
    try:
        time, millivolts = int(fields[0]), float(fields[1])
    except ValueError:
        return None
    if not math.isfinite(millivolts):
        return None
    return (time, millivolts)


# ---------------------------------------------------------- temperature logs

TC_COUNTERS = re.compile(r"\s*faults:\s*-?\d+\s+seq_faults:\s*-?\d+\s+retries:\s*-?\d+\s*")
TC_HEADER = re.compile(r"Time\tColumnT\t\s*WarmT\s*")
DASHES = re.compile(r"-{10,}\s*")


@dataclass
class TemperatureLog:
    address: int
    times: np.ndarray = field(default_factory=lambda: np.empty(0))  # cycle s
    column: np.ndarray = field(default_factory=lambda: np.empty(0))
    warm: np.ndarray = field(default_factory=lambda: np.empty(0))


def read_temperature_log(path, address, notes):
    """The log's readings; a log that cannot be read at all gives a note and
    no readings, since the cycle can be reported without it."""
    log = TemperatureLog(address)
    rows = []
    seen_counters = seen_anything = False
    try:
        for number, line in text_lines(path, notes, "row"):
            seen_anything = seen_anything or bool(line.strip())
            if TC_COUNTERS.fullmatch(line):
                if seen_counters:
                    notes.add(path, "a second run appended to the file begins here; only the "
                              "first is reported", number)
                    break
                seen_counters = True
                continue
            if not line.strip() or TC_HEADER.fullmatch(line) or DASHES.fullmatch(line):
                continue
            row = number_row(line.split(), (int, float, float))
            if row is None:
                notes.row(path, number, "not a temperature row (time, column, warm), skipped: %s"
                          % excerpt(line))
                continue
            if rows and row[0] <= rows[-1][0]:
                notes.add(path, "time %d does not follow %d; the rows from here on are ignored"
                          % (row[0], rows[-1][0]), number)
                break
            rows.append(row)
    except UnusableInput as problem:
        notes.add(path, problem.reason)
        return log
    if not seen_anything:
        notes.add(path, "empty: no temperature readings")
    if rows:
        table = np.array(rows, dtype=float)
        log.times, log.column, log.warm = table[:, 0], table[:, 1], table[:, 2]
    return log


def number_row(fields, kinds):
    if len(fields) != len(kinds):
        return None
    try:
        row = tuple(kind(text) for kind, text in zip(kinds, fields))
    except ValueError:
        return None
    return row if all(math.isfinite(value) for value in row) else None


# ------------------------------------------------------------------ flow log

FLOW_CLOSING = re.compile(r"(Target sample volume \d+ ccm reached at cycle time T=-?\d+"
                          r"|WARNING: target sample volume \d+ ccm not reached!)\s*")


@dataclass
class FlowLog:
    minutes: np.ndarray = field(default_factory=lambda: np.empty(0))
    sample: np.ndarray = field(default_factory=lambda: np.empty(0))  # ccm/min
    detector: np.ndarray = field(default_factory=lambda: np.empty(0))  # ccm/min
    closing: str = ""  # the target-volume line


def read_flow_log(path, notes):
    log = FlowLog()
    rows = []
    try:
        for number, line in text_lines(path, notes, "row"):
            if not line.strip():
                continue
            closing = FLOW_CLOSING.fullmatch(line)
            if closing:
                if log.closing:
                    notes.add(path, "a second run appended to the file; only the first is "
                              "reported", number)
                    break
                log.closing = closing.group(1)
                continue
            row = number_row(line.split(), (int, float, float))
            if row is None:
                notes.row(path, number, "not a flow row (minute, sample, detector), skipped: %s"
                          % excerpt(line))
                continue
            if log.closing or (rows and row[0] <= rows[-1][0]):
                notes.add(path, "a second run appended to the file begins here; only the first "
                          "is reported", number)
                break
            rows.append(row)
    except UnusableInput as problem:
        notes.add(path, problem.reason)
        return log
    if rows:
        table = np.array(rows, dtype=float)
        log.minutes, log.sample, log.detector = table[:, 0], table[:, 1], table[:, 2]
    elif not log.closing:
        notes.add(path, "no flow rows")
    return log
