"""Finds and integrates the peaks of one detector trace.

The trace comes at about one reading per second with readings missing now and
then, on a baseline that drifts and wanders slowly, with noise, now and then
a spike, a dip below the baseline, or a peak the detector clipped flat. The
method:

- one-reading spikes are taken out first (baseline.py says how);
- a uniform grid (the median reading interval) carries a smoothed copy of the
  trace, used to find apexes, valleys and where the signal returns to the
  baseline; every number reported comes from the readings at their own times;
- the baseline (baseline.py) follows drift and slow wander under the peaks and
  across the dips, and to the trace's ends;
- a peak is an apex whose height above the baseline and whose prominence
  both reach `snr` in the pharmacopoeias' signal-to-noise 2H/h, with the
  peak-to-peak noise h taken as six standard deviations;
- a group of peaks runs from where the signal leaves the baseline to where it
  returns, but no further from an apex than REACH times its half width at
  half height on that side: a baseline a little off must not stretch a group
  over minutes; inside a group the peaks are split at the valleys (drop
  lines) and integrated above one straight baseline from the group's start
  to its end;
- the area is the trapezoid over the readings' own times; a reading missing
  inside a peak is filled in from the cubic through the two readings on
  either side, not cut off by a chord;
- retention and height come from the maximum of a cubic fitted to the
  logarithm of the readings above TOP_SHARE of the highest (exact for a
  Gaussian top, and it follows a tailing peak's skew instead of leaning
  into the tail); the width at half height from the readings;
- a peak whose highest readings are SATURATION_RUN or more in a row, equal
  within the converter's resolution, was clipped by the detector: its
  height is that plateau, its retention the plateau's middle, and it is
  marked saturated.
"""

from dataclasses import dataclass

import numpy as np
from scipy.signal import find_peaks, peak_widths

from . import DEFAULT_SNR
from .baseline import (FEATURE_S, MIN_READINGS, NOISE_FLOOR_MV, SMOOTHING_POINTS, cubic_at,
                       first_noise, fit_baseline, robust_noise, sketch, smoothed, uniform_grid,
                       without_spikes)

__all__ = ["Analysis", "Peak", "analyse", "uniform_grid", "PEAK_TO_PEAK_SIGMAS"]

# Signal-to-noise is 2H/h, as the pharmacopoeias have it, with the
# peak-to-peak noise h taken as six standard deviations of the baseline noise.
PEAK_TO_PEAK_SIGMAS = 6.0
MASK_ROUNDS = 2
# Bumps and dips this many noise deviations high or deep are kept out of
# the baseline, reported or not.
FEATURE_DEVIATIONS = 4.0
# A group reaches no further from an apex than this many half widths at half
# height (a Gaussian is down to 1/1000 at 3.2, a tail twice the peak's
# deviation at 7).
REACH = 6.0
# A peak is at least this many readings wide at half its highest reading: a
# spike is one. A Gaussian of deviation one reading is 2.4, but read up to
# half a second late on its flanks it can look as narrow as 2.
NARROWEST = 1.8
# Share of the highest reading above which the apex is fitted.
TOP_SHARE = 0.4
SATURATION_RUN = 3
# Readings of a clipped detector agree within the converter's resolution,
# where the peak would have fallen by this many times that resolution
# and this many times the noise.
SATURATION_SPREAD_MV = NOISE_FLOOR_MV
SATURATION_FALL = 10.0
SATURATION_NOISE = 5.0
# A Gaussian's width at half height in standard deviations.
GAUSSIAN_WIDTHS = 2 * np.sqrt(2 * np.log(2))


@dataclass(frozen=True)
class Peak:
    retention: float  # s, apex
    start: float  # s
    end: float  # s
    height: float  # mV above the integration baseline
    area: float  # mV*s above the integration baseline
    width: float  # s, at half height
    start_code: str  # "B": on the baseline, "V": at a valley
    end_code: str
    line: tuple  # (t0, v0, t1, v1): the group's straight integration baseline
    saturated: bool = False  # flat-topped: the detector clipped it

    def baseline_at(self, t):
        t0, v0, t1, v1 = self.line
        if t1 == t0:
            return v0 + 0.0 * np.asarray(t, dtype=float)
        return v0 + (v1 - v0) * (np.asarray(t, dtype=float) - t0) / (t1 - t0)


@dataclass(frozen=True)
class Analysis:
    peaks: list
    noise: float  # mV, standard deviation of the baseline; nan when not analysed
    grid: np.ndarray  # uniform times of the baseline estimate
    baseline: np.ndarray  # mV
    note: str = ""  # why nothing was analysed
    spikes: int = 0  # one-reading spikes taken out


def analyse(times, values, snr=DEFAULT_SNR):
    """Peaks of the trace (times in s, strictly increasing; values in mV)."""
    times = np.asarray(times, dtype=float)
    values = np.asarray(values, dtype=float)
    if len(times) < MIN_READINGS:
        empty = np.empty(0)
        return Analysis([], float("nan"), empty, empty,
                        "only %d readings: too few to look for peaks" % len(times))
    times, values, spikes = without_spikes(times, values)
    grid, on_grid = uniform_grid(times, values)
    smooth = smoothed(on_grid)
    residual = values - smoothed(values)
    noise = first_noise(residual)
    threshold = snr * PEAK_TO_PEAK_SIGMAS / 2
    baseline = sketch(grid, smooth, noise)
    for _ in range(MASK_ROUNDS):
        mask = baseline_mask(smooth - baseline, min(threshold, FEATURE_DEVIATIONS), noise,
                             grid[1] - grid[0])
        if np.count_nonzero(mask) < max(MIN_READINGS, len(grid) // 10):
            # Features everywhere (a short window full of peaks): the
            # baseline runs along the trace's lowest points.
            baseline = lower_hull(grid, smooth)
            break
        noise = robust_noise(residual[on_baseline(times, grid, mask)], noise)
        baseline = fit_baseline(grid, on_grid, mask)
    peaks = []
    for apexes, bounds in find_groups(smooth - baseline, threshold * noise, noise):
        peaks.extend(group_peaks(times, values, grid, smooth, baseline, apexes, bounds, noise))
    return Analysis(peaks, noise, grid, baseline, spikes=spikes)


def lower_hull(grid, smooth):
    """The lower convex hull of the smoothed trace, on the grid."""
    hull = [0]
    for k in range(1, len(grid)):
        while len(hull) > 1:
            a, b = hull[-2], hull[-1]
            # b lies above the line from a to k: it is not on the lower hull.
            if (smooth[b] - smooth[a]) * (grid[k] - grid[a]) >= \
                    (smooth[k] - smooth[a]) * (grid[b] - grid[a]):
                hull.pop()
            else:
                break
        hull.append(k)
    return np.interp(grid, grid[hull], smooth[hull])


def baseline_mask(corrected, deviations, noise, step):
    """Grid points that may carry the baseline: outside every peak group and
    every dip, each widened by a sixteenth of its length and the smoothing's
    reach so that their feet stay out (an eighth left no baseline between
    crowded peaks, and the curve bridged across missed slow wander). Wider
    features are the baseline's own slow wander."""
    mask = np.ones(len(corrected), dtype=bool)
    level = deviations * noise
    widest = FEATURE_S / 2 / step
    for features in (find_groups(corrected, level, noise, widest),
                     find_groups(-corrected, level, noise, widest)):
        for _, (first, last) in features:
            margin = (last - first) // 16 + SMOOTHING_POINTS // 2 + 1
            mask[max(first - margin, 0):last + margin + 1] = False
    return mask


def on_baseline(times, grid, mask):
    """The readings whose grid points may carry the baseline."""
    step = grid[1] - grid[0]
    index = np.clip(np.rint((times - grid[0]) / step).astype(int), 0, len(grid) - 1)
    return mask[index]


def find_groups(corrected, level, back, widest=None):
    """Apexes of the smoothed, baseline-corrected grid signal whose height
    and prominence reach level, gathered into groups: [(apex indices,
    (first, last) grid index)]. A peak's group ends where the signal comes
    back to within back of the baseline, REACH half widths from the apex at
    the furthest. Features wider than widest (grid points at
    half height) are left out."""
    # The baseline beyond the trace's ends: an apex just inside the window
    # stands out of it on that side.
    apexes, _ = find_peaks(np.concatenate(([0.0], corrected, [0.0])), height=level,
                           prominence=level)
    apexes = apexes[(apexes > 1) & (apexes < len(corrected))] - 1
    count = len(corrected)
    bases = (np.zeros(len(apexes), dtype=np.intp), np.full(len(apexes), count - 1, dtype=np.intp))
    _, _, left_half, right_half = peak_widths(corrected, apexes, 0.5,
                                              (corrected[apexes],) + bases)
    if widest is not None:
        narrow = right_half - left_half <= widest
        apexes, left_half, right_half = apexes[narrow], left_half[narrow], right_half[narrow]
    if len(apexes) == 0:
        return []
    at_baseline = np.flatnonzero(corrected <= back)
    k = np.searchsorted(at_baseline, apexes)
    padded = np.concatenate(([0], at_baseline, [count - 1]))
    first = np.maximum(padded[k], np.floor(apexes - REACH * (apexes - left_half)))
    last = np.minimum(padded[k + 1], np.ceil(apexes + REACH * (right_half - apexes)))
    groups = []
    for apex, start, end in zip(apexes, first.astype(int), last.astype(int)):
        if groups and start < groups[-1][1][1]:
            members, (begin, stop) = groups[-1]
            groups[-1] = (members + [int(apex)], (begin, max(stop, end)))
        else:
            groups.append(([int(apex)], (start, end)))
    return groups


def group_peaks(times, values, grid, smooth, baseline, apexes, bounds, noise):
    first, last = bounds
    line = (grid[first], baseline[first], grid[last], baseline[last])
    corrected = smooth - baseline
    valleys = [valley(grid, corrected, a + int(np.argmin(corrected[a:b + 1])))
               for a, b in zip(apexes, apexes[1:])]
    starts = [grid[first]] + valleys
    ends = valleys + [grid[last]]
    peaks = []
    for k, apex in enumerate(apexes):
        peak = measure(times, values, grid[1] - grid[0], line, starts[k], ends[k], grid[apex],
                       "B" if k == 0 else "V", "B" if k == len(apexes) - 1 else "V", noise)
        if peak is not None:
            peaks.append(peak)
    return peaks


def valley(grid, corrected, k):
    """Time of the valley's bottom, between grid points: half a second of
    a steep valley side is a share of a narrow peak's area."""
    below, at, above = corrected[k - 1:k + 2]
    bend = below - 2 * at + above
    shift = 0.5 * (below - above) / bend if bend > 0 else 0.0
    return float(grid[k] + np.clip(shift, -0.5, 0.5) * (grid[1] - grid[0]))


def segment(times, values, start, end):
    """The readings from start to end, with the signal at start and end
    interpolated when no reading falls there."""
    first = np.searchsorted(times, start, side="right")
    last = np.searchsorted(times, end, side="left")
    ends = np.interp((start, end), times, values)
    t = np.concatenate(((start,), times[first:last], (end,)))
    v = np.concatenate(((ends[0],), values[first:last], (ends[1],)))
    return t, v


def filled(t, v, step):
    """The readings with the missing ones (a step well over the grid's)
    filled in from the cubic through the two readings on either side."""
    steps = np.diff(t)
    gaps = np.flatnonzero(steps > 1.5 * step)
    if len(gaps) == 0 or len(t) < 4:
        return t, v
    counts = np.rint(steps[gaps] / step).astype(int) - 1
    after = np.repeat(gaps, counts)  # the reading before each missing one
    extra = t[after] + step * (np.arange(len(after)) - np.repeat(np.cumsum(counts) - counts,
                                                                   counts) + 1)
    first = np.clip(after - 1, 0, len(t) - 4)
    around = [first + k for k in range(4)]
    times = np.concatenate((t, extra))
    order = np.argsort(times, kind="stable")
    guessed = cubic_at(extra, [t[k] for k in around], [v[k] for k in around])
    return times[order], np.concatenate((v, guessed))[order]


def measure(times, values, step, line, start, end, apex_time, start_code, end_code, noise):
    t, v = segment(times, values, start, end)
    above = v - line_at(line, t)
    top = climb(above, int(np.argmin(np.abs(t - apex_time))))
    if above[top] <= 0:
        return None
    plateau = flat_top(t, v, above, top, noise)
    if plateau is not None:
        retention = 0.5 * (t[plateau[0]] + t[plateau[1]])
        height = float(np.mean(above[plateau[0]:plateau[1] + 1]))
        area = float(np.trapz(above, t))  # a flat top needs no filling in
    else:
        retention, height = fit_top(t, above, top)
        full_t, full_v = filled(t, v, step)
        area = float(np.trapz(full_v - line_at(line, full_t), full_t))
    width = half_height_width(t, above, top, height)
    # Judged at half the highest reading: a fit over a narrow peak read late,
    # or with its top reading missing, may overshoot the readings.
    if half_height_width(t, above, top, above[top]) < NARROWEST * step:
        return None  # a burst of spikes; no peak the column makes is this narrow
    return Peak(retention=retention, start=start, end=end, height=height, area=area,
                width=width, start_code=start_code, end_code=end_code, line=line,
                saturated=plateau is not None)


def line_at(line, t):
    t0, v0, t1, v1 = line
    return v0 + (v1 - v0) * (t - t0) / (t1 - t0)


def climb(above, k):
    """From reading k uphill to the nearest local maximum."""
    while True:
        if k > 0 and above[k - 1] > above[k]:
            k -= 1
        elif k + 1 < len(above) and above[k + 1] > above[k]:
            k += 1
        else:
            return k


def flat_top(t, v, above, top, noise):
    """(first, last) index of the run of readings around the highest one
    that agree with it within the converter's resolution, when it is
    SATURATION_RUN long, nothing in the peak is higher, and a peak of this
    height and width would have fallen by several times that resolution
    over the run, and by several noise deviations (the broad top of a small
    peak is as flat, and noisy readings agree that closely now and then);
    else None."""
    first, last = run_around(np.abs(v - v[top]) <= SATURATION_SPREAD_MV, top)
    if last - first + 1 < SATURATION_RUN or np.max(v) > v[top] + SATURATION_SPREAD_MV:
        return None
    height = above[top]
    sigma = half_height_width(t, above, top, height) / GAUSSIAN_WIDTHS
    half = 0.5 * (t[last] - t[first])
    fall = height * -np.expm1(-0.5 * (half / sigma) ** 2) if sigma > 0 else height
    return (first, last) if fall > max(SATURATION_FALL * SATURATION_SPREAD_MV,
                                       SATURATION_NOISE * noise) else None


def run_around(inside, k):
    """(first, last) index of the run of True in inside that holds k."""
    outside = np.flatnonzero(~inside)
    at = np.searchsorted(outside, k)
    first = outside[at - 1] + 1 if at > 0 else 0
    last = outside[at] - 1 if at < len(outside) else len(inside) - 1
    return int(first), int(last)


def fit_top(t, above, top):
    """Apex time and height from the maximum of a cubic (a parabola on
    fewer than six readings) fitted to the logarithm of the readings above
    TOP_SHARE of the highest, weighted by the readings (the logarithm
    stretches the noise of the low ones)."""
    first, last = run_around(above >= TOP_SHARE * above[top], top)
    if last - first < 2:
        first, last = max(top - 1, 0), min(top + 1, len(above) - 1)
    y = above[first:last + 1]
    if len(y) >= 3 and np.all(y > 0):
        scale = max(t[last] - t[top], t[top] - t[first])
        x = (t[first:last + 1] - t[top]) / scale
        for degree in ((3, 2) if len(y) >= 6 else (2,)):
            # Weighted least squares by the normal equations: x within
            # [-1, 1] and at most a cubic keep them well conditioned.
            powers = x[:, None] ** np.arange(degree + 1) * y[:, None]
            try:
                coefficients = np.linalg.solve(powers.T @ powers, powers.T @ (np.log(y) * y))
            except np.linalg.LinAlgError:
                continue
            best = highest(coefficients, x[0], x[-1])
            if best is not None:
                return float(t[top] + best[0] * scale), float(np.exp(best[1]))
    return float(t[top]), float(above[top])


def highest(coefficients, low, high):
    """(x, value) of the local maximum of the parabola or cubic
    (coefficients from the constant up) within [low, high], or None."""
    c0, c1, c2, c3 = np.append(coefficients, 0.0)[:4]
    if abs(c3) > 1e-12 * (abs(c2) + abs(c1)):
        # The slope c1 + 2 c2 x + 3 c3 x^2 is zero at
        # x = (-c2 +- sqrt(c2^2 - 3 c3 c1)) / (3 c3).
        square = c2 * c2 - 3 * c3 * c1
        if square < 0:
            return None
        roots = (-c2 + np.array([-1.0, 1.0]) * np.sqrt(square)) / (3 * c3)
    elif c2 != 0:
        roots = np.array([-c1 / (2 * c2)])
    else:
        return None
    for x in roots:
        if low <= x <= high and 2 * c2 + 6 * c3 * x < 0:
            return x, c0 + x * (c1 + x * (c2 + x * c3))
    return None


def half_height_width(t, above, top, height):
    """Width at half height, between the crossings interpolated on either
    side of the top (the segment's ends where there is none)."""
    half = 0.5 * height
    left, right = run_around(above >= half, top)
    return float(crossing(t, above, right, half, t[-1]) - crossing(t, above, left - 1, half, t[0]))


def crossing(t, above, k, level, fallback):
    """Where the straight line from reading k to k + 1 crosses level."""
    if k < 0 or k + 1 >= len(above):
        return fallback
    return t[k] + (level - above[k]) * (t[k + 1] - t[k]) / (above[k + 1] - above[k])
