"""The report of one cycle: its results, <stamp>.cdf (AIA/ANDI) and
<stamp>.peaks.csv, and its figure, <stamp>.png and .svg. The results take a
few milliseconds, the figure a fifth of a second: `update` may draw it
later. A cycle that cannot be reported keeps none of these files, not even
those of an earlier run."""

import csv
import io
import os
import re
from dataclasses import dataclass

from . import aia
from .files import discard, replace_atomically, write_text
from .peaks import analyse
from .peaktable import name_peaks
from .problems import MISSING, UnusableInput, warnings_noted
from .results import Cycle, Trace, cycle_of, output_paths, read_flow_log, read_pid_file, \
    read_temperature_log
from .settings import Settings

PEAKS_HEADER = ["peak", "name", "retention_s", "start_s", "end_s", "height_mV", "area_mVs",
                "width_s", "comment"]
TARGET = re.compile(r"[Tt]arget sample volume (\d+) ccm")


@dataclass
class Measured:
    """A cycle's trace and what was found in it."""

    cycle: Cycle
    trace: Trace
    analysis: object  # peaks.Analysis
    names: list  # one per peak, empty where the peak table names none


def report_cycle(pid_path, out_dir, notes, settings=Settings()):
    """Writes the cycle's results and figure into out_dir and returns the
    paths. Raises UnusableInput when the detector file is unusable, and
    OSError when an output cannot be written; either way no output of the
    cycle is left in out_dir."""
    cycle = cycle_of(pid_path)
    paths = output_paths(out_dir, cycle.stamp)
    try:
        measured = measure(cycle, notes, settings)
        temperatures, flow = read_companions(cycle, notes)
        write_results(measured, paths, flow, settings)
        draw(measured, paths, temperatures, flow, settings, notes)
    except (UnusableInput, OSError):
        discard(paths.values())
        raise
    return paths


def measure(cycle, notes, settings):
    """Reads the detector file and finds and names the peaks."""
    trace = read_pid_file(cycle.pid, notes)
    with warnings_noted(notes, cycle.pid, "finding the peaks"):
        analysis = analyse(trace.times, trace.values, settings.snr)
    if analysis.note:
        notes.add(cycle.pid, analysis.note)
    names = name_peaks([p.retention for p in analysis.peaks], settings.compounds)
    return Measured(cycle, trace, analysis, names)


def write_results(measured, paths, flow, settings):
    """The AIA file, then the peak list."""
    target = TARGET.search(flow.closing) if flow is not None else None
    amount = "%s ccm" % target.group(1) if target else ""
    replace_atomically(paths["cdf"], lambda stream: aia.write_cdf(
        stream, measured.cycle, measured.trace, measured.analysis, measured.names, amount,
        settings))
    write_text(paths["peaks"], peaks_csv(measured.analysis.peaks, measured.names))


def draw(measured, paths, temperatures, flow, settings, notes):
    """The figure, PNG and SVG, marked with the settings that made it."""
    from .figures import cycle_figure  # matplotlib: only when a figure is drawn

    # A "$" in a name would start matplotlib's mathematical notation.
    labels = [name.replace("$", "\\$") or str(number)
              for number, name in enumerate(measured.names, start=1)]
    with warnings_noted(notes, paths["png"], "drawing the figure"):
        cycle_figure([paths["png"], paths["svg"]], measured.cycle.stamp, measured.trace,
                     measured.analysis, labels, temperatures, flow, footer=figure_mark(settings))


def figure_mark(settings):
    return "tarvex-report, settings %s" % settings.id


def flow_of(cycle, notes):
    """The flow log alone (the results need its target volume)."""
    return read_flow_log(cycle.flow, notes) if cycle.flow else None


def read_companions(cycle, notes, flow_notes=None):
    """Both temperature logs (None where missing) and the flow log (None
    without one); what is missing is noted. Notes about the flow log's rows
    go to flow_notes when given (they were said with the results)."""
    temperatures = [companion_log(cycle.tc64, 64, cycle, notes),
                    companion_log(cycle.tc66, 66, cycle, notes)]
    flow = flow_of(cycle, notes if flow_notes is None else flow_notes)
    if flow is None:
        notes.add(companion_path(cycle, "Flow_%s.TLog"),
                  "missing (a cycle without a sample volume has none): no flow panel", kind=MISSING)
    return temperatures, flow


def companion_log(path, address, cycle, notes):
    if path is None:
        notes.add(companion_path(cycle, "TC%d_%%s.TLog" % address),
                  "missing: the figure shows no temperatures of TC%d" % address, kind=MISSING)
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
