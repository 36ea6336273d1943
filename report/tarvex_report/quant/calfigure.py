"""The figure of one calibration: per compound its injections and the curve
(area against certified amount), and below them each injection read back
off the curve, in percent of its certified amount, inside the band the
acceptance allows. A compound whose curve was not accepted has a red title
and its first problem written across its panel."""

import math

import matplotlib
import numpy as np

from ..figures import STYLE, new_figure, save
from .models import amount_of

COLUMNS = 3
ACCEPTED, FAILED = "#1a7f37", "#c0392b"
POINT_COLOUR, CURVE_COLOUR = "#1f77b4", "#333333"
MIN_RESIDUAL_SPAN = 3.0  # percent either side


def calibration_figure(path, calibration):
    compounds = calibration["compounds"] or [None]
    columns = min(COLUMNS, len(compounds))
    rows = math.ceil(len(compounds) / columns)
    size = (4.6 * columns + 0.6, 4.4 * rows + 1.0)
    with matplotlib.rc_context(STYLE):
        figure = new_figure(size)
        grid = figure.add_gridspec(rows, columns, hspace=0.55, wspace=0.3)
        verdict = "accepted" if calibration["accepted"] else "not accepted"
        figure.suptitle("Calibration %s, %d cycles: %s" % (
            calibration["id"], len(calibration["cycles"]), verdict), fontsize=14,
            fontweight="bold", color=ACCEPTED if calibration["accepted"] else FAILED)
        for number, entry in enumerate(compounds):
            cell = grid[number // columns, number % columns].subgridspec(
                2, 1, height_ratios=[2.4, 1.0], hspace=0.08)
            curve_axes = figure.add_subplot(cell[0])
            residual_axes = figure.add_subplot(cell[1], sharex=curve_axes)
            if entry is None:
                curve_axes.text(0.5, 0.5, "no compound with standards", ha="center",
                                transform=curve_axes.transAxes)
                continue
            draw_compound(curve_axes, residual_axes, entry)
        save(figure, [path])


def points(entry):
    """(amount, area) of every injection."""
    return [(level["amount"], area) for level in entry["levels"] for area in level["area_mVs"]]


def draw_compound(curve_axes, residual_axes, entry):
    colour = ACCEPTED if entry["accepted"] else FAILED
    limits = entry["limits"]
    if entry["model"] == "rf" and entry["rsd_percent"] is not None:
        figure = "RSD %.1f %% (below %g %%)" % (entry["rsd_percent"], limits["rsd_percent"])
    elif entry["r2"] is not None:
        figure = "r\u00b2 %.4f (at least %g)" % (entry["r2"], limits["r2"])
    else:
        figure = "no curve"
    curve_axes.set_title("%s: %s, %s\n%s: %s" % (
        entry["name"], entry["model"], entry["weighting"], figure,
        "accepted" if entry["accepted"] else "not accepted"), color=colour, fontsize=10)
    pairs = points(entry)
    if pairs:
        x, y = np.array(pairs).T
        curve_axes.plot(x, y, "o", color=POINT_COLOUR, markersize=4, label="injections")
    if entry["coefficients"]:
        low, high = entry["range"]
        grid = np.linspace(0.0, high * 1.05, 200)
        curve_axes.plot(grid, np.polyval(entry["coefficients"], grid), color=CURVE_COLOUR,
                        linewidth=1.2, label="curve")
    if pairs or entry["coefficients"]:
        curve_axes.legend(loc="lower right")
    curve_axes.set_ylabel("area (mV\u00b7s)")
    curve_axes.tick_params(labelbottom=False)
    if entry["problems"]:
        curve_axes.text(0.03, 0.95, entry["problems"][0], transform=curve_axes.transAxes,
                        va="top", fontsize=8, color=FAILED, wrap=True)
    draw_residuals(residual_axes, entry, pairs)


def draw_residuals(axes, entry, pairs):
    limit = entry["limits"]["readback_percent"]
    axes.axhspan(-limit, limit, color="#dddddd", alpha=0.6, linewidth=0)
    axes.axhline(0.0, color=CURVE_COLOUR, linewidth=0.8)
    axes.text(0.99, 0.04, "\u00b1%g %%; bars: level means" % limit, transform=axes.transAxes,
              ha="right", va="bottom", fontsize=8, color="#555555")
    axes.set_ylabel("read back (%)")
    axes.set_xlabel("amount (%s)" % (entry["unit"] or "certified"))
    if not entry["coefficients"] or not pairs:
        return
    low, high = entry["range"]
    readings = []
    for amount, area in pairs:
        back = amount_of(entry["coefficients"], area, low, high)
        if back is not None:
            readings.append((amount, 100.0 * (back / amount - 1.0)))
    if readings:
        x, y = np.array(readings).T
        axes.plot(x, y, "o", color=POINT_COLOUR, markersize=4)
    means = [(level["amount"], level["readback_percent"]) for level in entry["levels"]
             if level["readback_percent"] is not None]
    if means:
        x, y = np.array(means).T
        axes.plot(x, y, "_", color=CURVE_COLOUR, markersize=12, markeredgewidth=2)
    # Zoomed to the scatter (the band fills the panel when it is wider).
    largest = max([abs(v) for _, v in readings + means])
    span = max(1.3 * largest, MIN_RESIDUAL_SPAN)
    axes.set_ylim(-span, span)
