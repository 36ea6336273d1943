"""Result files of an instrument, written as the controller, tarvex-report
and the quantitation write them (the benchmark uses these too)."""

import json
import math
import os
import random
from datetime import datetime, timedelta

STAMP = "%Y-%m-%d_%H-%M-%S"
PEAK_HEADER = "peak,name,retention_s,start_s,end_s,height_mV,area_mVs,width_s"
AMOUNT_HEADER = "name,retention_s,area_mVs,amount,unit,flags"
COMPOUNDS = [("benzene", 312.4), ("toluene", 402.0), ("ethylbenzene", 498.7),
             ("m,p-xylene", 512.1), ("o-xylene", 560.3), ("styrene", 600.9)]


def stamp_of(when):
    return when.strftime(STAMP)


def write(path, text, mode="w"):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, mode) as stream:
        stream.write(text)


def pid_text(readings=1800, seed=0):
    rng = random.Random(seed)
    rows = []
    for second in range(1, readings + 1):
        millivolts = 100.0 + 0.002 * second + rng.gauss(0, 0.05)
        for _, retention in COMPOUNDS:
            millivolts += 400.0 * math.exp(-0.5 * ((second - retention) / 3.0) ** 2)
        rows.append("%6i\t%8.5f\t%2d\t%8.5f\n" % (second, millivolts, 0, 0.0))
    return "".join(rows)


def tlog_text(readings=420):
    rows = ["  faults: %3d    seq_faults: %3d     retries: %3d\n\n" % (0, 0, 1),
            "Time\tColumnT\t WarmT\n", "-" * 34 + "\n"]
    for index in range(readings):
        rows.append("%5i\t%5.1f\t%5.1f\n" % (3 + 2 * index, 26.0 + index * 0.1, 25.0 + index * 0.1))
    return "".join(rows)


def flow_text(minutes=15):
    rows = ["%5i\t%5.1f\t%5.1f\n" % (minute, 46.7 if minute < 2 else 0.0, 30.0)
            for minute in range(minutes)]
    return "".join(rows) + "\nTarget sample volume 40 ccm reached at cycle time T=15\n"


def peaks_text(scale=1.0, names=None):
    lines = [PEAK_HEADER]
    for number, (name, retention) in enumerate(COMPOUNDS, start=1):
        name = (names or {}).get(name, name)
        lines.append("%d,%s,%.2f,%.2f,%.2f,%.3f,%.3f,%.3f" % (
            number, csv_field(name), retention, retention - 8, retention + 8, 400.0 * scale,
            3008.0 * scale, 7.06))
    return "\n".join(lines) + "\n"


def amounts_text(scale=1.0, flags=None, names=None):
    lines = [AMOUNT_HEADER]
    for name, retention in COMPOUNDS:
        shown = (names or {}).get(name, name)
        lines.append("%s,%.2f,%.3f,%.4f,ppb,%s" % (csv_field(shown), retention, 3008.0 * scale,
                                                   1.5 * scale, (flags or {}).get(name, "")))
    return "\n".join(lines) + "\n"


def csv_field(text):
    if any(c in text for c in ',"\n\r'):
        return '"%s"' % text.replace('"', '""')
    return text


def write_cycle(root, reports, when, meta=None, readings=1800, scale=1.0, flags=None,
                names=None, with_report=True):
    """Every file of one cycle started at `when` (naive local time); its stamp."""
    stamp = stamp_of(when)
    day = stamp[:10]
    folder, made = os.path.join(root, day), os.path.join(reports, day)
    write(os.path.join(folder, "PID_%s.dat" % stamp), pid_text(readings, seed=hash(stamp) % 1000))
    write(os.path.join(folder, "TC64_%s.TLog" % stamp), tlog_text())
    write(os.path.join(folder, "TC66_%s.TLog" % stamp), tlog_text())
    write(os.path.join(folder, "Flow_%s.TLog" % stamp), flow_text())
    if meta is not None:
        write(os.path.join(folder, "Meta_%s.json" % stamp), json.dumps(meta))
    if with_report:
        write(os.path.join(made, "%s.peaks.csv" % stamp), peaks_text(scale, names))
        write(os.path.join(made, "%s.amounts.csv" % stamp), amounts_text(scale, flags, names))
    return stamp


def write_cycles(root, reports, first, count, period=timedelta(minutes=15), **options):
    return [write_cycle(root, reports, first + index * period, **options)
            for index in range(count)]


def meta(kind="sample", standard=None, exit_status=0, instrument="lab1"):
    return {"kind": kind, "standard": standard, "instrument": instrument,
            "method": "/etc/tarvex/%s.method" % instrument, "method_sha256": "ab" * 32,
            "exit_status": exit_status, "program_version": "1.1.0"}


def write_calibration(reports, calibration_id, accepted=True, in_force=True, compounds=None):
    folder = os.path.join(reports, "calibration", calibration_id)
    document = {"id": calibration_id, "cycles": [calibration_id], "accepted": accepted,
                "in_force_from": calibration_id if accepted else None,
                "compounds": compounds or [
                    {"name": "benzene", "unit": "ppb", "model": "linear", "weighting": "1/x",
                     "coefficients": [0.0, 0.0005], "r2": 0.999, "rsd_percent": 4.2,
                     "accepted": True, "levels": [{"standard": "S1", "amount": 1.0,
                                                   "area_mVs": [2000.0], "readback_percent": 2.1}],
                     "rt_s": 312.4, "rt_window_s": 6.0, "lod": 0.05}]}
    write(os.path.join(folder, "calibration.json"), json.dumps(document))
    index = {"calibrations": [{"id": calibration_id, "accepted": accepted,
                               "path": "calibration/%s/calibration.json" % calibration_id}],
             "in_force": calibration_id if in_force else None}
    write(os.path.join(reports, "calibration", "index.json"), json.dumps(index))
    return document


def warning_entry(when, text, reply):
    return "%s: [Warning]:     %s\n    Offending message reply: %s\n" % (
        when.strftime("%Y-%m-%d %H:%M:%S"), text, reply)


def panic_entry(when, text, reply):
    return ("%s: in [PANIC] state, re-set T-controllers.\n    %s\n"
            "    Offending message reply: %s\n" % (when.strftime("%Y-%m-%d %H:%M:%S"), text, reply))


def recent(minutes_ago):
    """A local time `minutes_ago` before now, on a whole minute."""
    return (datetime.now() - timedelta(minutes=minutes_ago)).replace(second=0, microsecond=0)
