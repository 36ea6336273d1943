"""One calibration: from the cycles of a calibration run, per compound with
certified amounts in the run's standards, the chosen model fitted through
every replicate, and whether it may be used.

Acceptance (limits per compound, quant/settings.py): at least `levels`
levels, each with its peak; the model rf's response factors with an RSD
below `rsd` percent, a regression model's r^2 at least `r2`; every level's
mean area read back off the curve within `readback` percent of its
certified amount; the curve rising over the calibrated range. A curve that
fails is kept, with its problems, for inspection, and not used."""

import math
import warnings

import numpy as np

from . import models
from .detection import noise_lod

# Levels a model needs for its acceptance figures to mean anything.
MEANINGFUL_LEVELS = {"rf": 2, "linear": 3, "linear0": 2, "quadratic": 4}


def number(value, digits):
    """value rounded for the JSON files; None for what is not a number."""
    if value is None or not math.isfinite(value):
        return None
    return round(float(value), digits)


def significant(value, digits=4):
    if value is None or not math.isfinite(value) or value == 0:
        return number(value, digits)
    return float("%.*g" % (digits, value))


def calibrate(run_id, stamps, records, compounds, standards):
    """The calibration (as calibration.json holds it) of the run's used
    cycles; records: [{"stamp", "standard", "noise", "found": {name: [rt,
    area, width, saturated, shifted]}}]."""
    entries = []
    for compound in compounds:
        standards_with = {r["standard"] for r in records
                          if standards.amount(r["standard"], compound.name) is not None}
        if standards_with:
            levels = sorted(standards_with, key=lambda s: standards.amount(s, compound.name))
            entries.append(calibrate_compound(compound, levels, records, standards))
    used = [e for e in entries if e["accepted"]]
    return {"id": run_id, "cycles": list(stamps),
            "accepted": bool(entries) and len(used) == len(entries),
            "in_force_from": stamps[-1] if used else None,
            "compounds": entries}


def gather(compound, levels, records, standards, problems, remarks):
    """Levels as calibration.json lists them, and the points of the fit."""
    name = compound.name
    listed, xs, ys, widths, retentions = [], [], [], [], []
    for standard in levels:
        amount = standards.amount(standard, name)
        replicates = [r for r in records if r["standard"] == standard]
        areas = []
        for record in replicates:
            found = record["found"].get(name)
            if found is None:
                continue
            retention, area, width, saturated, shifted = found
            if shifted:
                remarks.append("%s: peak outside the retention window in %s (rt-shift)"
                               % (standard, record["stamp"]))
            if saturated:
                remarks.append("%s: saturated in %s; that injection is left out"
                                % (standard, record["stamp"]))
                continue
            areas.append(area)
            widths.append(width)
            retentions.append(retention)
        if not areas:
            problems.append("%s: no usable peak in its %d injection%s" % (
                standard, len(replicates), "" if len(replicates) == 1 else "s"))
        elif len(areas) < len(replicates):
            remarks.append("%s: usable peak in %d of %d injections" % (
                standard, len(areas), len(replicates)))
        listed.append({"standard": standard, "amount": amount,
                       "area_mVs": [number(a, 3) for a in areas], "readback_percent": None})
        xs += [amount] * len(areas)
        ys += areas
    return listed, xs, ys, widths, retentions


def calibrate_compound(compound, levels, records, standards):
    quant = compound.quant
    model = quant.model
    weighting = "none" if model == "rf" else quant.weight
    problems = [quant.problem] if quant.problem else []
    remarks = []
    listed, xs, ys, widths, retentions = gather(compound, levels, records, standards, problems,
                                                remarks)
    with_peaks = [level for level in listed if level["area_mVs"]]
    entry = {"name": compound.name, "unit": standards.unit(compound.name), "model": model,
             "weighting": weighting, "coefficients": None, "r2": None, "rsd_percent": None,
             "accepted": False, "levels": listed,
             "rt_s": number(np.mean(retentions), 2) if retentions else None,
             "rt_window_s": compound.window, "lod": None, "range": None,
             "limits": {"rsd_percent": quant.rsd, "r2": quant.r2,
                        "readback_percent": quant.readback, "levels": quant.levels},
             "problems": problems,
             "remarks": remarks}
    needed = max(quant.levels, MEANINGFUL_LEVELS[model])
    distinct = len({level["amount"] for level in with_peaks})
    if distinct < needed:
        problems.append("%d level%s with peaks, at least %d needed"
                        % (distinct, "" if distinct == 1 else "s", needed))
    if distinct < models.FIT_LEVELS[model]:
        return entry
    with warnings.catch_warnings():  # a poorly conditioned fit shows in r2 and read-back
        warnings.simplefilter("ignore", np.RankWarning)
        coefficients = models.fit(model, weighting, xs, ys)
    if not np.all(np.isfinite(coefficients)):
        problems.append("the %s fit has no solution through these points" % model)
        return entry
    low, high = min(xs), max(xs)
    r2 = models.r_squared(coefficients, xs, ys, weighting)
    rsd = models.rsd_percent(xs, ys)
    entry.update(coefficients=[float(c) for c in coefficients], r2=number(r2, 6),
                 rsd_percent=number(rsd, 2), range=[low, high])
    rising = models.rising_over(coefficients, low, high)
    if not rising:
        problems.append("the curve does not rise over the calibrated range %g-%g" % (low, high))
    if model == "rf" and not rsd < quant.rsd:
        problems.append("RSD of the response factors %.1f %% is not below %g %%" % (rsd, quant.rsd))
    if model != "rf" and not r2 >= quant.r2:
        problems.append("r2 %.4f is below %g" % (r2, quant.r2))
    read_back(entry, coefficients, low, high, quant.readback, problems)
    if rising:
        noises = [r["noise"] for r in records if r["noise"]]
        entry["lod"] = significant(noise_lod(np.median(noises) if noises else None,
                                             np.mean(widths),
                                             models.slope_at(coefficients, low)))
    entry["accepted"] = not problems
    return entry


def read_back(entry, coefficients, low, high, limit, problems):
    """Each level's mean area through the curve, as percent off its amount."""
    for level in entry["levels"]:
        if not level["area_mVs"]:
            continue
        amount = models.amount_of(coefficients, float(np.mean(level["area_mVs"])), low, high)
        if amount is None:
            problems.append("%s cannot be read back off the curve" % level["standard"])
            continue
        deviation = 100.0 * (amount / level["amount"] - 1.0)
        level["readback_percent"] = number(deviation, 2)
        if abs(deviation) > limit:
            problems.append("%s reads back %+.1f %%, outside +-%g %%"
                            % (level["standard"], deviation, limit))
