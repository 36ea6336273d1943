"""The report of one cycle: <stamp>.png and .svg (the figure), <stamp>.cdf
(AIA/ANDI) and <stamp>.peaks.csv, written in that order, so a peak list
newer than the detector file means the whole report is there."""

import csv
import io
import os
import re

from . import DEFAULT_SNR, aia
from .figures import cycle_figure
from .files import replace_atomically, write_text
from .peaks import analyse
from .peaktable import name_peaks
from .problems import UnusableInput
from .results import (cycle_of, output_paths, read_flow_log, read_pid_file,
                      read_temperature_log, read_text)

PEAKS_HEADER = ["peak", "name", "retention_s", "start_s", "end_s", "height_mV", "area_mVs",
                "width_s", "comment"]
TARGET = re.compile(r"[Tt]arget sample volume (\d+) ccm")


def report_cycle(pid_path, out_dir, notes, compounds=(), snr=DEFAULT_SNR):
    """Writes the cycle's report into out_dir and returns the paths. Raises
    UnusableInput, after drawing what is left, when the detector file is
    unusable."""
    cycle = cycle_of(pid_path)
    if not os.path.isfile(pid_path):
        read_text(pid_path)  # says why it cannot be read
        raise UnusableInput(pid_path, "not a file")
    try:
        trace, problem = read_pid_file(pid_path, notes), None
    except UnusableInput as unusable:
        trace, problem = None, unusable
    temperatures, flow = read_companions(cycle, notes)
    paths = output_paths(out_dir, cycle.stamp)
    figures = [paths["png"], paths["svg"]]
    if problem:
        cycle_figure(figures, cycle.stamp, None, None, [], temperatures, flow,
                     problem="no chromatogram: " + problem.reason)
        raise problem
    analysis = analyse(trace.times, trace.values, snr)
    if analysis.note:
        notes.add(pid_path, analysis.note)
    names = name_peaks([p.retention for p in analysis.peaks], compounds)
    labels = [name or str(number) for number, name in enumerate(names, start=1)]
    cycle_figure(figures, cycle.stamp, trace, analysis, labels, temperatures, flow)
    target = TARGET.search(flow.closing) if flow is not None else None
    amount = "%s ccm" % target.group(1) if target else ""
    replace_atomically(paths["cdf"], lambda stream: aia.write_cdf(
        stream, cycle, trace, analysis, names, amount))
    write_text(paths["peaks"], peaks_csv(analysis.peaks, names))  # last: the report is whole
    return paths


def read_companions(cycle, notes):
    """Both temperature logs (None where missing) and the flow log (None
    without one); what is missing is noted."""
    temperatures = [companion_log(cycle.tc64, 64, cycle, notes),
                    companion_log(cycle.tc66, 66, cycle, notes)]
    flow = read_flow_log(cycle.flow, notes) if cycle.flow else None
    if flow is None:
        notes.add(companion_path(cycle, "Flow_%s.TLog"),
                  "missing (a cycle without a sample volume has none): no flow panel")
    return temperatures, flow


def companion_log(path, address, cycle, notes):
    if path is None:
        notes.add(companion_path(cycle, "TC%d_%%s.TLog" % address),
                  "missing: the figure shows no temperatures of TC%d" % address)
        return None
    return read_temperature_log(path, address, notes)


def companion_path(cycle, pattern):
    return os.path.join(os.path.dirname(cycle.pid), pattern % cycle.stamp)


def peaks_csv(peaks, names):
    text = io.StringIO()
    writer = csv.writer(text, lineterminator="\n")
    writer.writerow(PEAKS_HEADER)
    for number, (peak, name) in enumerate(zip(peaks, names), start=1):
        writer.writerow([number, name, "%.2f" % peak.retention, "%.2f" % peak.start,
                         "%.2f" % peak.end, "%.3f" % peak.height, "%.3f" % peak.area,
                         "%.2f" % peak.width, "saturated" if peak.saturated else ""])
    return text.getvalue()
