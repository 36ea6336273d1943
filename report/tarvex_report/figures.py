"""The cycle's figure and the trend figure, sized and lettered to be read on
a printed A4 page."""

import os

import matplotlib
import matplotlib.dates as mdates
import numpy as np
from matplotlib.backends.backend_agg import FigureCanvasAgg
from matplotlib.figure import Figure

from .files import replace_atomically

A4_LANDSCAPE = (297 / 25.4, 210 / 25.4)  # inches
PNG_DPI = 150
STYLE = {
    "font.size": 10,
    "axes.titlesize": 11,
    "axes.labelsize": 10,
    "legend.fontsize": 9,
    "xtick.labelsize": 9,
    "ytick.labelsize": 9,
    "axes.grid": True,
    "grid.alpha": 0.3,
    "svg.hashsalt": "tarvex",  # the same figure gives the same file
}
TRACE_COLOUR = "#1f1f1f"
BASELINE_COLOUR = "#c0392b"
SATURATED_COLOUR = "#e67e00"
PEAK_FILLS = ("#9ecae1", "#fdd0a2")
CONTROLLER_COLOURS = {64: "#1f77b4", 66: "#d62728"}
# Room an upright label needs across (points), and the share of the page's
# width the chromatogram's axes take.
LABEL_ROOM_PT = 13.0
AXES_SHARE = 0.9


def cycle_figure(paths, stamp, trace, analysis, labels, temperatures, flow, footer=""):
    """One figure in a PNG and an SVG: chromatogram with its peaks, the
    temperatures and, with a flow log, the flows; footer, in small print at
    the bottom, and in the files' metadata, says what made it."""
    has_flow = flow is not None and (len(flow.minutes) or flow.closing)
    ratios = [3.0, 1.4] + ([1.0] if has_flow else [])
    with matplotlib.rc_context(STYLE):
        figure = new_figure(A4_LANDSCAPE)
        axes = figure.subplots(len(ratios), 1, gridspec_kw={"height_ratios": ratios})
        figure.suptitle(stamp, fontsize=14, fontweight="bold")
        draw_chromatogram(axes[0], trace, analysis, labels)
        draw_temperatures(axes[1], temperatures)
        if has_flow:
            axes[2].sharex(axes[1])
            draw_flow(axes[2], flow)
        if footer:
            figure.text(0.995, 0.005, footer, ha="right", va="bottom", fontsize=7,
                        color="#777777")
        save(figure, paths, footer)


def new_figure(size):
    """A figure drawn by Agg (PNG) and by the SVG writer; no GUI, no pyplot.
    Fixed margins, in inches: laying the figure out anew for every file
    would cost more than drawing it."""
    width, height = size
    figure = Figure(figsize=size)
    figure.subplots_adjust(left=0.85 / width, right=1 - 0.25 / width, top=1 - 0.8 / height,
                           bottom=0.55 / height, hspace=0.4)
    FigureCanvasAgg(figure)
    return figure


def save(figure, paths, description=""):
    for path in paths:
        kind = os.path.splitext(path)[1][1:]
        # Light PNG compression: a third larger, drawn in half the time.
        options = {"dpi": PNG_DPI, "pil_kwargs": {"compress_level": 1}} if kind == "png" else {}
        metadata = {"Date": None} if kind == "svg" else {}
        if description:
            metadata["Description"] = description
        replace_atomically(path, lambda stream, k=kind, o=options, m=metadata:
                           figure.savefig(stream, format=k, metadata=m, **o))


def draw_chromatogram(axes, trace, analysis, labels):
    axes.set_xlabel("Time since the detector window opened (s)")
    axes.set_ylabel("Detector (mV)")
    axes.plot(trace.times, trace.values, color=TRACE_COLOUR, linewidth=0.9, label="detector")
    span = trace.times[-1] - trace.times[0] or 1.0
    shifts = label_shifts([p.retention for p in analysis.peaks], LABEL_ROOM_PT * span /
                          (axes.figure.get_figwidth() * 72 * AXES_SHARE))
    for number, (peak, label) in enumerate(zip(analysis.peaks, labels)):
        draw_peak(axes, trace, peak, label, PEAK_FILLS[number % 2],
                  shifts[number] * LABEL_ROOM_PT)
    axes.set_xlim(trace.times[0], trace.times[-1])
    low, high = np.min(trace.values), np.max(trace.values)
    room = high - low + 1e-9
    # Room above the highest peak for the upright labels, more for the
    # longer ones of saturated peaks.
    headroom = 0.1 if not analysis.peaks else 0.3
    if any(peak.saturated for peak in analysis.peaks):
        headroom = 0.45
    axes.set_ylim(low - 0.04 * room, high + headroom * room)
    axes.text(0.995, 0.98, summary(analysis), transform=axes.transAxes, ha="right", va="top",
              fontsize=9, bbox={"facecolor": "white", "edgecolor": "#999999", "alpha": 0.9})


def summary(analysis):
    if analysis.note:
        return analysis.note
    text = "%d peak%s, baseline noise %.3g mV (s.d.)" % (
        len(analysis.peaks), "" if len(analysis.peaks) == 1 else "s", analysis.noise)
    saturated = sum(peak.saturated for peak in analysis.peaks)
    if saturated:
        text += "\n%d saturated (flat top): height and area too small" % saturated
    if analysis.spikes:
        text += "\n%d one-reading spike%s left out" % (analysis.spikes,
                                                      "" if analysis.spikes == 1 else "s")
    return text


def label_shifts(retentions, room):
    """Sideways shifts, in label widths, that keep upright labels of peaks
    closer than room (s) from covering each other; a run of crowded labels
    spreads out evenly about its middle."""
    shifts = [0.0] * len(retentions)
    run = [0]
    for k in range(1, len(retentions) + 1):
        if k < len(retentions) and retentions[k] - retentions[k - 1] < room:
            run.append(k)
            continue
        if len(run) > 1:
            middle = (retentions[run[0]] + retentions[run[-1]]) / 2
            for place, index in enumerate(run):
                wanted = (place - (len(run) - 1) / 2) * room + middle
                shifts[index] = (wanted - retentions[index]) / room
        run = [k]
    return shifts


def draw_peak(axes, trace, peak, label, fill, shift_pt=0.0):
    inside = (trace.times >= peak.start) & (trace.times <= peak.end)
    t = np.concatenate(([peak.start], trace.times[inside], [peak.end]))
    v = np.interp(t, trace.times, trace.values)
    axes.fill_between(t, peak.baseline_at(t), v, color=fill, alpha=0.8, linewidth=0)
    ends = np.array([peak.start, peak.end])
    axes.plot(ends, peak.baseline_at(ends), color=BASELINE_COLOUR, linewidth=1.2)
    for time, code in ((peak.start, peak.start_code), (peak.end, peak.end_code)):
        if code == "V":  # drop line from the valley to the baseline
            axes.plot([time, time], [peak.baseline_at(time), np.interp(time, trace.times,
                      trace.values)], color=BASELINE_COLOUR, linewidth=1.0)
    apex = float(peak.baseline_at(peak.retention) + peak.height)
    if peak.saturated:
        # The detector clipped it: its height and area are too small.
        axes.plot([peak.retention], [apex], marker="X", color=SATURATED_COLOUR, markersize=9)
        label += " (saturated)"
    else:
        axes.plot([peak.retention], [apex], marker="v", color=BASELINE_COLOUR, markersize=5)
    # Upright labels: neighbouring peaks a few seconds apart keep theirs apart.
    leader = {"arrowstyle": "-", "color": "#666666", "linewidth": 0.6} if shift_pt else None
    axes.annotate(label, (peak.retention, apex), xytext=(shift_pt, 12 if shift_pt else 7),
                  textcoords="offset points", ha="center", va="bottom", rotation=90, fontsize=9,
                  arrowprops=leader)


def draw_temperatures(axes, temperatures):
    axes.set_ylabel("Temperature (\u00b0C)")
    axes.set_xlabel("Cycle time (s)")
    drawn = False
    for log in temperatures:
        if log is None or len(log.times) == 0:
            continue
        colour = CONTROLLER_COLOURS.get(log.address, None)
        axes.plot(log.times, log.column, color=colour, linewidth=1.4,
                  label="TC%d column" % log.address)
        axes.plot(log.times, log.warm, color=colour, linewidth=1.2, linestyle="--",
                  label="TC%d warm" % log.address)
        drawn = True
    if drawn:
        axes.legend(loc="best", ncols=4)
    else:
        axes.text(0.5, 0.5, "no temperature readings", transform=axes.transAxes,
                  ha="center", va="center")


def draw_flow(axes, flow):
    axes.set_ylabel("Flow (ccm/min)")
    axes.set_xlabel("Cycle time (s); minute means")
    if len(flow.minutes):
        edges = np.concatenate((flow.minutes, [flow.minutes[-1] + 1])) * 60.0
        axes.stairs(flow.sample, edges, color="#2ca02c", linewidth=1.6, label="sample flow",
                    baseline=None)
        axes.stairs(flow.detector, edges, color="#9467bd", linewidth=1.6, label="detector flow",
                    baseline=None)
        axes.legend(loc="best", ncols=2)
    if flow.closing:
        axes.set_title(flow.closing, fontsize=9, loc="right")


def trend_figure(path, starts, compounds, areas):
    """Area of each compound (one panel each) against the cycles' start
    times; areas: one array per compound, nan where it was not found."""
    rows = max(len(compounds), 1)
    height = max(A4_LANDSCAPE[1], 1.9 * rows + 1.2)
    with matplotlib.rc_context(STYLE):
        figure = new_figure((A4_LANDSCAPE[0], height))
        axes = np.atleast_1d(figure.subplots(rows, 1, sharex=True, squeeze=False)[:, 0])
        if starts:
            span = "%s to %s" % (starts[0].strftime("%Y-%m-%d %H:%M"),
                                 starts[-1].strftime("%Y-%m-%d %H:%M"))
        else:
            span = "no cycles"
        figure.suptitle("Peak areas, %s" % span, fontsize=14, fontweight="bold")
        # Many cycles: dots only, a line through thousands of them is a scribble.
        many = len(starts) > 200
        when = mdates.date2num(starts) if starts else np.empty(0)
        for panel, compound, values in zip(axes, compounds, areas):
            panel.plot(when, values, marker="." if many else "o", markersize=2.5 if many else 4,
                       linestyle="none" if many else "-", linewidth=1.2, color="#1f77b4")
            panel.xaxis_date()
            found = np.count_nonzero(~np.isnan(values)) if len(values) else 0
            panel.set_ylabel("area (mV\u00b7s)")
            panel.set_title("%s: found in %d of %d cycles" % (compound.name, found, len(starts)),
                            loc="left")
            if not found:
                panel.set_yticks([])
        locator = mdates.AutoDateLocator()
        axes[-1].xaxis.set_major_locator(locator)
        axes[-1].xaxis.set_major_formatter(mdates.ConciseDateFormatter(locator))
        axes[-1].set_xlabel("Cycle start")
        save(figure, [path])
