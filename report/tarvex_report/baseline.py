"""The detector trace's noise, its spikes and its baseline.

- A spike is one reading that leaves both its neighbours by far more than
  the noise while they, on either side, bend back towards the trace: no
  peak the column can make is one reading wide. It is replaced by the
  median of the five readings about it.
- The noise is the robust standard deviation of the readings about their
  smoothed copy, over the baseline; drift does not count.
- The baseline is first sketched as the trace with every feature narrower
  than FEATURE_S taken off both sides (a grey opening with a parabola takes
  the peaks off, a closing then fills the dips; the parabola bends with
  slow wander). Then, round by round (peaks.py), the peaks and dips that
  stand out of it are masked and the baseline is a running parabola fitted
  to what is left: it follows drift and slow wander and is dragged neither
  up by peaks nor down by dips. Under a short masked stretch the parabolas
  on both sides of it bend as the baseline does beside it; across a longer
  one the baseline is the cubic that meets them in level and slope;
  towards the trace's ends it goes on along the straight line fitted
  there, so drift is followed to the ends.
"""

import math

import numpy as np
from scipy.ndimage import (convolve1d, grey_closing, grey_opening, maximum_filter1d,
                           median_filter, minimum_filter1d)
from scipy.interpolate import CubicHermiteSpline
from scipy.signal import savgol_coeffs

# Fewer readings than this hold no chromatogram worth integrating.
MIN_READINGS = 11
# The converter's replies carry six significant digits: below this (mV) a
# trace is as flat as it can be written.
NOISE_FLOOR_MV = 0.01
SMOOTHING_POINTS = 7
SMOOTHING = savgol_coeffs(SMOOTHING_POINTS, 2)
# White noise minus its smoothed copy keeps this share of its deviation.
RESIDUAL_SHARE = float(np.sqrt(np.sum((np.eye(SMOOTHING_POINTS)[SMOOTHING_POINTS // 2] -
                                       SMOOTHING) ** 2)))
NOISE_BLOCK = 16
# A spike leaves the line between its neighbours by this many deviations of
# that departure (a reading's own noise and its neighbours' mean).
SPIKE_DEVIATIONS = 8.0
# ... and its neighbours bend back by at least this share of it.
SPIKE_ECHO = 0.3
# Peaks and dips are narrower than this (s); baseline wander is slower.
FEATURE_S = 150.0
# The baseline's sketch works on means over this many grid points, and its
# parabola drops this many noise deviations over half FEATURE_S.
SKETCH_BLOCK = 5
SKETCH_DROP = 32.0
# Each grid point's baseline is a parabola fitted to the baseline points
# within this window (s) centred on it ...
BASELINE_WINDOW_S = 240.0
# ... when at least this many lie on either side.
BASELINE_MIN_POINTS = 15


def uniform_grid(times, values):
    """An even grid at the median reading interval, and the trace
    interpolated on it."""
    step = float(np.median(np.diff(times)))
    count = int(np.floor((times[-1] - times[0]) / step + 1e-9)) + 1
    grid = times[0] + step * np.arange(count)
    return grid, np.interp(grid, times, values)


def smoothed(values):
    """Savitzky-Golay, quadratic over SMOOTHING_POINTS readings; the ends
    repeat the outermost reading. Held within the readings it spans: at the
    corners of a clipped peak's flat top the parabolas would overshoot into
    two apexes."""
    smooth = convolve1d(values, SMOOTHING, mode="nearest")
    return np.clip(smooth, minimum_filter1d(values, SMOOTHING_POINTS, mode="nearest"),
                   maximum_filter1d(values, SMOOTHING_POINTS, mode="nearest"))


def without_spikes(times, values):
    """The readings with one-reading spikes replaced by the median of the
    five readings about them, and how many there were."""
    if len(values) < 5:
        return values, 0
    before, after = times[:-2], times[2:]
    share = (times[1:-1] - before) / (after - before)
    line = values[:-2] + share * (values[2:] - values[:-2])
    departure = np.concatenate(([0.0], values[1:-1] - line, [0.0]))
    inner = departure[1:-1]
    spread = 1.4826 * middle(np.abs(inner - middle(inner)))
    limit = SPIKE_DEVIATIONS * max(spread, NOISE_FLOOR_MV)
    # Both neighbours bend back by a share of the spike (the trace's first
    # and last readings have no departure and do not object) ...
    left = departure[:-2] * np.sign(inner) <= -SPIKE_ECHO * np.abs(inner)
    right = departure[2:] * np.sign(inner) <= -SPIKE_ECHO * np.abs(inner)
    left[0] = right[-1] = True
    # ... and it stands out of the readings about it, not only out of its
    # neighbours (a reading between two spikes does not).
    median = median_filter(values, 5, mode="nearest")
    alone = (values[1:-1] - median[1:-1]) * np.sign(inner) > limit / 2
    spikes = 1 + np.flatnonzero((np.abs(inner) > limit) & left & right & alone)
    if len(spikes) == 0:
        return values, 0
    cleaned = values.copy()
    cleaned[spikes] = median[spikes]
    return cleaned, len(spikes)


def middle(values):
    """The median, without np.median's generality (it runs for every trace)."""
    half = len(values) // 2
    ordered = np.partition(values, [half - 1, half] if len(values) % 2 == 0 else half)
    return 0.5 * (ordered[half - 1] + ordered[half]) if len(values) % 2 == 0 else ordered[half]


def robust_noise(residual, fallback=NOISE_FLOOR_MV):
    """Standard deviation of the noise from the readings' departures from
    their smoothed copy: robust (1.4826 MAD), so peaks that the smoothing
    does not quite follow barely count."""
    if len(residual) < MIN_READINGS:
        return fallback
    mad = middle(np.abs(residual - middle(residual)))
    return max(1.4826 * mad / RESIDUAL_SHARE, NOISE_FLOOR_MV)


def first_noise(residual):
    """A first noise estimate where peaks may cover much of the trace: the
    lower quartile of the estimates over blocks of 16 readings, which the
    peaks' flanks leave alone, scaled to the deviation (white noise gives
    0.77 of it there)."""
    blocks = len(residual) // NOISE_BLOCK
    if blocks < 4:
        return robust_noise(residual)
    rows = residual[:blocks * NOISE_BLOCK].reshape(blocks, NOISE_BLOCK)
    centred = np.abs(rows - block_medians(rows)[:, None])
    spread = 1.4826 * block_medians(centred) / RESIDUAL_SHARE
    quarter = (blocks - 1) // 4
    return max(np.partition(spread, quarter)[quarter] / 0.77, NOISE_FLOOR_MV)


def block_medians(rows):
    """Median of each row of an even number of values."""
    half = rows.shape[1] // 2
    ordered = np.partition(rows, (half - 1, half), axis=1)
    return 0.5 * (ordered[:, half - 1] + ordered[:, half])


def sketch(grid, smooth, noise):
    """The trace without its features: a parabola as wide as the widest
    feature rolled along under it (an opening) and then over it (a
    closing), on means over SKETCH_BLOCK grid points. The parabola's sides
    drop SKETCH_DROP noise deviations over the half width: it bends with
    slow wander but fits into no peak or dip."""
    count = len(grid) // SKETCH_BLOCK
    if count < 5:
        return np.full(len(grid), np.median(smooth))
    means = smooth[:count * SKETCH_BLOCK].reshape(count, SKETCH_BLOCK).mean(axis=1)
    centres = grid[:count * SKETCH_BLOCK].reshape(count, SKETCH_BLOCK).mean(axis=1)
    step = centres[1] - centres[0]
    half = max(min(int(FEATURE_S / 2 / step), (count - 1) // 2), 1)
    reach = np.arange(-half, half + 1) * step
    parabola = -SKETCH_DROP * noise * (reach / (half * step)) ** 2
    rolled = grey_closing(grey_opening(means, structure=parabola, mode="nearest"),
                          structure=parabola, mode="nearest")
    return np.interp(grid, centres, rolled)


def fit_baseline(grid, on_grid, mask):
    """A parabola fitted to the baseline points within half a window on
    either side of each grid point, where at least BASELINE_MIN_POINTS lie
    on each side of it: it bends with slow wander under a peak as it does
    beside it. Across longer masked stretches it is the cubic that meets
    the parabolas on either side in level and slope; towards the trace's
    ends, past the first and last such grid points, it goes on with the
    slope of the straight line fitted in their windows."""
    step = grid[1] - grid[0]
    reach = max(int(BASELINE_WINDOW_S / 2 / step), 2)
    # Sums over each window of w u^k and of w y u^k (u the grid index in
    # half windows, w 1 on the baseline points), moved to the window's
    # centre a by the binomial theorem: the least-squares parabola's normal
    # equations at every grid point.
    u = np.arange(len(grid)) / reach
    weight = mask.astype(float)
    powers = [weight]
    for _ in range(4):
        powers.append(powers[-1] * u)
    columns = np.vstack(powers + [p * on_grid for p in powers[:3]])
    totals = np.hstack((np.zeros((8, 1)), np.cumsum(columns, axis=1)))
    index = np.arange(len(grid))
    window = (totals[:, np.minimum(index + reach + 1, len(grid))] -
              totals[:, np.maximum(index - reach, 0)])
    shifts = [np.ones(len(u))]
    for _ in range(4):
        shifts.append(shifts[-1] * -u)
    m0, m1, m2, m3, m4 = (centred(window[:5], shifts, k) for k in range(5))
    s0, s1, s2 = (centred(window[5:], shifts, k) for k in range(3))
    det = m0 * (m2 * m4 - m3 * m3) - m1 * (m1 * m4 - m2 * m3) + m2 * (m1 * m3 - m2 * m2)
    level = s0 * (m2 * m4 - m3 * m3) - m1 * (s1 * m4 - m3 * s2) + m2 * (s1 * m3 - m2 * s2)
    rise = m0 * (s1 * m4 - m3 * s2) - s0 * (m1 * m4 - m2 * m3) + m2 * (m1 * s2 - m2 * s1)
    counts = totals[0]
    before = counts[index] - counts[np.maximum(index - reach, 0)]
    after = counts[np.minimum(index + reach + 1, len(grid))] - counts[index + 1]
    usable = (np.minimum(before, after) >= BASELINE_MIN_POINTS) & (det > 1e-9 * m0 ** 3)
    t, v = grid[mask], on_grid[mask]
    if not np.any(usable):
        return np.mean(v) + edge_slope(t, v) * (grid - np.mean(t))
    fitted = level[usable] / det[usable]
    slopes = rise[usable] / det[usable] / (reach * step)
    where = grid[usable]
    baseline = np.full(len(grid), fitted[0])
    if len(where) > 1:
        # Across the stretches where no parabola could be fitted, a cubic
        # that meets the parabolas on either side in level and slope.
        inside = (grid >= where[0]) & (grid <= where[-1])
        baseline[inside] = CubicHermiteSpline(where, fitted, slopes)(grid[inside])
    # Towards the ends, along the straight line fitted in the first and last
    # windows (steadier than a parabola's tangent at the window's edge).
    ends = np.flatnonzero(usable)[[0, -1]]
    n, x, xx, y, xy = m0[ends], m1[ends], m2[ends], s0[ends], s1[ends]
    lines = (n * xy - x * y) / (n * xx - x * x) / (reach * step)
    head, tail = grid < where[0], grid > where[-1]
    baseline[head] = fitted[0] + lines[0] * (grid[head] - where[0])
    baseline[tail] = fitted[-1] + lines[1] * (grid[tail] - where[-1])
    return baseline


def centred(sums, shifts, k):
    """Sum of w (u - a)^k from the sums of w u^p, p = 0 .. k, and the
    powers (-a)^q."""
    return sum(math.comb(k, p) * sums[p] * shifts[k - p] for p in range(k + 1))


def edge_slope(t, v):
    """Slope of the least-squares straight line through the points."""
    spread = t - t.mean()
    total = np.dot(spread, spread)
    return float(np.dot(spread, v - v.mean()) / total) if total > 0 else 0.0
