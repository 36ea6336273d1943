"""The instrument's own result files of one cycle, read into rows:

- PID_<stamp>.dat: time since the detector window opened (s), reading (mV),
  status, 0 -- one row per reading;
- TC64_<stamp>.TLog, TC66_<stamp>.TLog: the fault counters, a header, then
  time (cycle s), column and warm temperature per reading;
- Flow_<stamp>.TLog: minute, mean sample and detector flow per minute, then
  a closing line about the target volume;
- Meta_<stamp>.json: kind, standard, exit status, method, program version.

The controller appends to these files: two runs started in the same minute
share them. Only the first run of a file is shipped, as the report does.
Arrays go to the database as array literals built from the numbers' own
text, which the server reads exactly."""

import json
import math
import operator
import re

MAX_TIME_S = 86400  # a cycle lasts less than an hour; beyond a day a row is damaged
NUMBER_CHARACTERS = re.compile(r"[-0-9.]*")
TC_COUNTERS = re.compile(r"\s*faults:\s*(-?\d+)\s+seq_faults:\s*(-?\d+)\s+retries:\s*(-?\d+)\s*")
TC_HEADER = re.compile(r"Time\tColumnT\t\s*WarmT\s*")
DASHES = re.compile(r"-{10,}\s*")
# A log exactly as the controller writes it, read at once; anything else goes
# through the careful reader, which says what is wrong.
TLOG_HEAD = re.compile(r" *faults: *(-?\d+) +seq_faults: *(-?\d+) +retries: *(-?\d+)\n\n"
                       r"Time\tColumnT\t *WarmT\n-{10,}\n")
FLOW_CLOSING = re.compile(r"(Target sample volume \d+ ccm reached at cycle time T=-?\d+"
                          r"|WARNING: target sample volume \d+ ccm not reached!)\s*")
KINDS = ("sample", "blank", "calibration", "check")
SHA256_HEX = re.compile(r"[0-9a-f]{64}")


def array(values):
    """A PostgreSQL array literal of numbers (ints, floats or number texts)."""
    return "{" + ",".join(map(str, values)) + "}"


def text_array(words):
    """A PostgreSQL array literal of texts, each quoted."""
    return "{" + ",".join('"%s"' % word.replace("\\", "\\\\").replace('"', '\\"')
                          for word in words) + "}"


def clean_text(text):
    """PostgreSQL text holds no NUL: such a byte becomes U+FFFD, like any other
    byte that is no UTF-8."""
    return text.replace("\x00", "\ufffd")


def read_text(data):
    return clean_text(data.decode("utf-8", errors="replace"))


def complete_lines(path, text, notes):
    """(number, line) of every line that ends in a newline; a last line
    without one was cut off as it was written."""
    lines = text.split("\n")
    for number, line in enumerate(lines[:-1], start=1):
        yield number, line
    if lines[-1].strip():
        notes.add(path, "truncated last row (no line end), ignored: %r" % lines[-1][:60],
                  len(lines))


def finite_row(fields, kinds):
    if len(fields) != len(kinds):
        return None
    try:
        row = tuple(kind(text) for kind, text in zip(kinds, fields))
    except ValueError:
        return None
    return row if all(math.isfinite(value) for value in row) else None


# ------------------------------------------------------------------ detector

def trace_rows(path, data, notes):
    """The trace row of a detector file ([] when it holds no reading)."""
    text = read_text(data)
    quick = quick_trace(text)
    times, millivolts, status = quick if quick else careful_trace(path, text, notes)
    notes.finish_file(path)
    if not times:
        return []
    return [{"times": array(times), "millivolts": array(millivolts),
             "status": array(status) if any(status) else None}]


def quick_trace(text):
    """(times, mV texts, status) of a file exactly as the controller writes
    it; None sends it to the careful reader, which says what is wrong."""
    columns = quick_columns(text, 4)
    if not columns:
        return None
    times, millivolts, status, _ = columns
    try:
        status = list(map(int, status))
    except ValueError:
        return None
    return times, millivolts, status


def quick_columns(text, width):
    """The columns of rows of `width` tab-separated numbers, the first
    increasing whole seconds, split at once (the values stay text, as the
    server reads them); None when the text is not exactly that."""
    fields = text.split()
    lines = text.count("\n")
    if len(fields) != width * lines or (text and not text.endswith("\n")) \
            or text.count("\t") != (width - 1) * lines:
        return None
    columns = [fields[at::width] for at in range(width)]
    numbers = "".join("".join(column) for column in columns[1:])
    if (lines and not "".join(columns[0]).isdigit()) or not NUMBER_CHARACTERS.fullmatch(numbers):
        return None
    try:
        times = list(map(int, columns[0]))
        for column in columns[1:]:
            list(map(float, column))
    except ValueError:
        return None
    if not increasing(times) or (times and times[-1] > MAX_TIME_S):
        return None
    return [times] + columns[1:]


def increasing(times):
    return all(map(operator.lt, times, times[1:])) and (not times or times[0] >= 0)


def careful_trace(path, text, notes):
    times, millivolts, status = [], [], []
    for number, line in complete_lines(path, text, notes):
        fields = line.split()
        row = finite_row(fields[:3], (int, float, int)) if len(fields) == 4 else None
        if row is None:
            notes.row(path, number, "not a detector row (time, mV, status, 0), skipped: %r"
                      % line[:60])
            continue
        if not 0 <= row[0] <= MAX_TIME_S:
            notes.row(path, number, "time %d s is out of range, row skipped" % row[0])
            continue
        if times and row[0] <= times[-1]:
            notes.add(path, "time %d does not follow %d: a second run appended to the file? "
                      "The rows from here on are not shipped" % (row[0], times[-1]), number)
            break
        times.append(row[0])
        millivolts.append(row[1])
        status.append(row[2])
    return times, millivolts, status


# ------------------------------------------------------------- temperatures

def temperature_rows(path, controller, data, notes):
    text = read_text(data)
    head = TLOG_HEAD.match(text)
    columns = head and quick_columns(text[head.end():], 3)
    if columns:
        times, column, warm = columns
        faults, seq_faults, retries = (int(value) for value in head.groups())
        return [{"controller": controller, "faults": faults, "seq_faults": seq_faults,
                 "retries": retries, "times": array(times), "column_c": array(column),
                 "warm_c": array(warm)}]
    return careful_temperature_rows(path, controller, text, notes)


def careful_temperature_rows(path, controller, text, notes):
    counters = None
    times, column, warm = [], [], []
    for number, line in complete_lines(path, text, notes):
        match = TC_COUNTERS.fullmatch(line)
        if match:
            if counters is not None:
                notes.add(path, "a second run appended to the file begins here; only the "
                          "first is shipped", number)
                break
            counters = [int(value) for value in match.groups()]
            continue
        if not line.strip() or TC_HEADER.fullmatch(line) or DASHES.fullmatch(line):
            continue
        row = finite_row(line.split(), (int, float, float))
        if row is None or not 0 <= row[0] <= MAX_TIME_S:
            notes.row(path, number, "not a temperature row (time, column, warm), skipped: %r"
                      % line[:60])
            continue
        if times and row[0] <= times[-1]:
            notes.add(path, "time %d does not follow %d; the rows from here on are not shipped"
                      % (row[0], times[-1]), number)
            break
        times.append(row[0])
        column.append(row[1])
        warm.append(row[2])
    notes.finish_file(path)
    if counters is None and not times:
        return []
    faults, seq_faults, retries = counters or (None, None, None)
    return [{"controller": controller, "faults": faults, "seq_faults": seq_faults,
             "retries": retries, "times": array(times), "column_c": array(column),
             "warm_c": array(warm)}]


# ------------------------------------------------------------------- flows

def flow_rows(path, data, notes):
    minutes, sample, detector = [], [], []
    closing = None
    for number, line in complete_lines(path, read_text(data), notes):
        if not line.strip():
            continue
        if FLOW_CLOSING.fullmatch(line) and closing is None:
            closing = FLOW_CLOSING.fullmatch(line).group(1)
            continue
        row = finite_row(line.split(), (int, float, float))
        if row is None and not FLOW_CLOSING.fullmatch(line):
            notes.row(path, number, "not a flow row (minute, sample, detector), skipped: %r"
                      % line[:60])
            continue
        if row is None or closing is not None or (minutes and row[0] <= minutes[-1]):
            notes.add(path, "a second run appended to the file begins here; only the first "
                      "is shipped", number)
            break
        minutes.append(row[0])
        sample.append(row[1])
        detector.append(row[2])
    notes.finish_file(path)
    if not minutes and closing is None:
        return []
    return [{"minutes": array(minutes), "sample": array(sample), "detector": array(detector),
             "closing": closing}]


# -------------------------------------------------------------------- meta

META_FIELDS = {"kind": str, "standard": str, "instrument": str, "method": str,
               "method_sha256": str, "exit_status": int, "program_version": str}


def read_meta(path, data, instrument, notes):
    """The cycle's description; a cycle without Meta file is a sample. A
    field of the wrong kind is left out (NULL) and the file named."""
    unknown = {name: None for name in META_FIELDS if name != "instrument"}
    if data is None:
        return dict(unknown, kind="sample")
    try:
        meta = json.loads(read_text(data))
    except ValueError as error:
        notes.unusable(path, "not JSON (%s): the cycle is shipped without its kind" % error)
        return unknown
    if not isinstance(meta, dict):
        notes.unusable(path, "not a JSON object: the cycle is shipped without its kind")
        return unknown
    fields = {}
    for name, kind in META_FIELDS.items():
        value = meta.get(name)
        if value is None:
            fields[name] = None
        elif type(value) is not kind:
            notes.unusable(path, "%s %s is not a %s; left out"
                           % (name, json.dumps(value)[:60], "number" if kind is int else "text"))
            fields[name] = None
        else:
            fields[name] = clean_text(value) if kind is str else value
    if fields["kind"] is not None and fields["kind"] not in KINDS:
        notes.unusable(path, "kind %r is not one of %s; left out" % (fields["kind"][:40],
                                                                      ", ".join(KINDS)))
        fields["kind"] = None
    if fields["method_sha256"] is not None and not SHA256_HEX.fullmatch(fields["method_sha256"]):
        notes.unusable(path, "method_sha256 is not 64 hexadecimal digits; left out")
        fields["method_sha256"] = None
    if fields["exit_status"] is not None and not -2**31 <= fields["exit_status"] < 2**31:
        notes.unusable(path, "exit_status %d is out of range; left out" % fields["exit_status"])
        fields["exit_status"] = None
    if fields.pop("instrument") not in (None, instrument):
        notes.add(path, "names another instrument (%s); shipped as %s"
                  % (json.dumps(meta.get("instrument"))[:60], instrument))
    return fields

