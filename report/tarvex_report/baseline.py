"""The detector trace's noise, its spikes and its baseline.

- A spike is one reading that leaves the curve through the two readings on
  either side of it by far more than the noise, while its neighbours bend
  back the other way: no peak the column can make is one reading wide. It
  is dropped, as if the converter had not answered then.
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
                           minimum_filter1d)
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
# Shorter traces are cut into shorter blocks, at least four of them. The
# lower quartile of the blocks' estimates puts white noise at this share of
# its deviation, by block length.
QUARTILE_SHARE = {16: 0.77, 8: 0.62, 4: 0.42}
# A spike leaves the cubic through its neighbours by this many deviations of
# that departure.
SPIKE_DEVIATIONS = 8.0
# ... and its neighbours bend back by at least this share of it.
SPIKE_ECHO = 0.3
# ... and of two neighbouring candidates, it departs at least this share of
# the other's departure. Spikes left behind by one round show in the next.
SPIKE_RIVAL = 0.85
SPIKE_ROUNDS = 3
# The cubic through two evenly spaced readings on either side, at the middle.
EVEN_CUBIC = np.array([-1.0, 4.0, 0.0, 4.0, -1.0]) / 6
# Peaks and dips are narrower than this (s); baseline wander is slower.
FEATURE_S = 150.0
# The baseline's sketch works on means over this many grid points, and its
# parabola drops this many noise deviations over half FEATURE_S.
SKETCH_BLOCK = 5
SKETCH_DROP = 32.0
# The baseline is a parabola fitted to the baseline points within this
# window (s) centred on each block ...
BASELINE_WINDOW_S = 240.0
# ... when at least this many lie on either side; fitted to and at blocks
# of this many seconds, the cubic that meets the parabolas between them.
BASELINE_MIN_POINTS = 15
BASELINE_BLOCK_S = 5.0


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
    """The readings without the one-reading spikes (as if the converter had
    not answered then), and how many there were."""
    dropped = 0
    for _ in range(SPIKE_ROUNDS):
        spikes = find_spikes(times, values)
        if len(spikes) == 0 or len(spikes) > len(values) // 10:
            break  # none, or the trace is jagged all over: noise, not spikes
        keep = np.ones(len(values), dtype=bool)
        keep[spikes] = False
        times, values, dropped = times[keep], values[keep], dropped + len(spikes)
    return times, values, dropped


def find_spikes(times, values):
    """Indices of the readings that leave the cubic through the two readings
    on either side by far more than the noise while the neighbours bend back
    the other way: a spike pulls the curve through them its own way, no
    curve the column draws does that."""
    if len(values) < 7:
        return np.empty(0, dtype=int)
    departure = np.zeros(len(values))
    departure[2:-2] = values[2:-2] - cubic_through_neighbours(times, values)
    spread = 1.4826 * middle(np.abs(departure[2:-2] - middle(departure[2:-2])))
    limit = SPIKE_DEVIATIONS * max(spread, NOISE_FLOOR_MV)
    # Next to the first and last readings, the line through the neighbours.
    for k in (1, len(values) - 2):
        share = (times[k] - times[k - 1]) / (times[k + 1] - times[k - 1])
        departure[k] = values[k] - (values[k - 1] + share * (values[k + 1] - values[k - 1]))
    inner, size = departure[1:-1], np.abs(departure)
    echo = -SPIKE_ECHO * size[1:-1]
    left = departure[:-2] * np.sign(inner) <= echo
    right = departure[2:] * np.sign(inner) <= echo
    left[0] = right[-1] = True  # the first and last readings cannot tell
    bent = left & right
    # The corners of a clipped peak's flat top bend as sharply, but they are
    # equal to a neighbour, or lie between their neighbours with the flat
    # top's equal readings beyond.
    rise = np.diff(values)
    between = rise[:-1] * rise[1:] > 0
    flat = np.abs(rise) <= NOISE_FLOOR_MV
    corner = flat[:-1] | flat[1:] | (between & (np.concatenate(([False], flat[:-2])) |
                                                np.concatenate((flat[2:], [False]))))
    candidate = np.concatenate(([0.0], np.where((size[1:-1] > limit) & bent & ~corner,
                                                size[1:-1], 0.0), [0.0]))
    # A spike's neighbours may pass for spikes too, departing by about two
    # thirds of it: of neighbouring candidates, those that depart nearly the
    # most. (A reading between two spikes departs as much as they do, and
    # goes with them.)
    rival = SPIKE_RIVAL * np.maximum(candidate[:-2], candidate[2:])
    return 1 + np.flatnonzero((candidate[1:-1] > 0) & (candidate[1:-1] >= rival))


def cubic_through_neighbours(times, values):
    """For each reading but the two first and last, the cubic through the
    two readings on either side of it, at its time."""
    # Where the four steps about a reading are even (nearly everywhere),
    # the cubic's weights are fixed.
    guessed = convolve1d(values, EVEN_CUBIC)[2:-2]
    steps = np.diff(times)
    odd = np.abs(steps - np.median(steps)) > 1e-6 * np.max(steps)
    uneven = np.flatnonzero(odd[:-3] | odd[1:-2] | odd[2:-1] | odd[3:])
    if len(uneven):
        k = uneven + 2
        guessed[uneven] = cubic_at(times[k], [times[k + j] for j in (-2, -1, 1, 2)],
                                   [values[k + j] for j in (-2, -1, 1, 2)])
    return guessed


def cubic_at(at, times, values):
    """The cubics through four points each (Lagrange's form: four arrays
    of times, four of values) at the times at."""
    total = np.zeros(len(at))
    for j, (t_j, v_j) in enumerate(zip(times, values)):
        weight = np.ones(len(at))
        for k, t_k in enumerate(times):
            if k != j:
                weight *= (at - t_k) / (t_j - t_k)
        total += weight * v_j
    return total


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
    lower quartile of the estimates over blocks of readings, which the
    peaks' flanks leave alone, scaled to the deviation. A short trace that
    narrow peaks fill needs the shorter blocks to find its quiet stretches."""
    size = next((size for size in QUARTILE_SHARE if len(residual) >= 4 * size), 4)
    blocks = len(residual) // size
    if blocks < 4:
        return robust_noise(residual)
    rows = residual[:blocks * size].reshape(blocks, size)
    centred = np.abs(rows - block_medians(rows)[:, None])
    spread = 1.4826 * block_medians(centred) / RESIDUAL_SHARE
    quarter = (blocks - 1) // 4
    return max(np.partition(spread, quarter)[quarter] / QUARTILE_SHARE[size], NOISE_FLOOR_MV)


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
    either side of every block of BASELINE_BLOCK_S, where at least
    BASELINE_MIN_POINTS lie on each side of it: it bends with slow wander
    under a peak as it does beside it. Between the blocks, and across the
    masked stretches where none could be fitted, the cubic that meets the
    parabolas on either side in level and slope; towards the trace's ends,
    past the first and last of them, the straight line fitted in their
    windows. The baseline points of a block count as their mean at their
    mean time: a few seconds are nothing to a window of minutes."""
    step = grid[1] - grid[0]
    reach = max(int(BASELINE_WINDOW_S / 2 / step), 2)
    size = max(min(int(BASELINE_BLOCK_S / step), reach // 4), 1)
    count = -(-len(grid) // size)
    padded = np.zeros(count * size)
    weight, index, level = padded.copy(), padded.copy(), padded.copy()
    weight[:len(grid)] = mask
    index[:len(grid)] = np.arange(len(grid))
    level[:len(grid)] = on_grid
    n = weight.reshape(count, size).sum(axis=1)
    where = (weight * index).reshape(count, size).sum(axis=1)
    means = (weight * level).reshape(count, size).sum(axis=1)
    taken = n > 0
    where[taken] /= n[taken]
    means[taken] /= n[taken]
    where[~taken] = np.arange(count)[~taken] * size + (size - 1) / 2
    # Sums over each window of n u^k and of n y u^k (u the index in half
    # windows), moved to the block's time a by the binomial theorem: the
    # least-squares parabola's normal equations.
    u = where / reach
    powers = [n]
    for _ in range(4):
        powers.append(powers[-1] * u)
    columns = np.vstack(powers + [p * means for p in powers[:3]])
    totals = np.hstack((np.zeros((8, 1)), np.cumsum(columns, axis=1)))
    blocks = np.arange(count)
    span = reach // size
    low, high = np.maximum(blocks - span, 0), np.minimum(blocks + span + 1, count)
    window = totals[:, high] - totals[:, low]
    shifts = [np.ones(count)]
    for _ in range(4):
        shifts.append(shifts[-1] * -u)
    m0, m1, m2, m3, m4 = (centred(window[:5], shifts, k) for k in range(5))
    s0, s1, s2 = (centred(window[5:], shifts, k) for k in range(3))
    det = m0 * (m2 * m4 - m3 * m3) - m1 * (m1 * m4 - m2 * m3) + m2 * (m1 * m3 - m2 * m2)
    counts = totals[0]
    sided = np.minimum(counts[blocks] - counts[low], counts[high] - counts[blocks + 1])
    usable = np.flatnonzero((sided >= BASELINE_MIN_POINTS) & (det > 1e-9 * m0 ** 3))
    if len(usable) == 0:
        t, v = grid[mask], on_grid[mask]
        return np.mean(v) + edge_slope(t, v) * (grid - np.mean(t))
    m0, m1, m2, m3, m4, s0, s1, s2, det = (a[usable] for a in (m0, m1, m2, m3, m4, s0, s1,
                                                                s2, det))
    fitted = (s0 * (m2 * m4 - m3 * m3) - m1 * (s1 * m4 - m3 * s2) +
              m2 * (s1 * m3 - m2 * s2)) / det
    at = grid[0] + where[usable] * step
    baseline = np.full(len(grid), fitted[0])
    if len(at) > 1:
        slopes = (m0 * (s1 * m4 - m3 * s2) - s0 * (m1 * m4 - m2 * m3) +
                  m2 * (m1 * s2 - m2 * s1)) / det / (reach * step)
        inside = (grid >= at[0]) & (grid <= at[-1])
        baseline[inside] = CubicHermiteSpline(at, fitted, slopes)(grid[inside])
    # Towards the ends, along the straight line fitted in the first and last
    # windows (steadier than a parabola's tangent at the window's edge).
    n, x, xx, y, xy = (a[[0, -1]] for a in (m0, m1, m2, s0, s1))
    lines = (n * xy - x * y) / (n * xx - x * x) / (reach * step)
    head, tail = grid < at[0], grid > at[-1]
    baseline[head] = fitted[0] + lines[0] * (grid[head] - at[0])
    baseline[tail] = fitted[-1] + lines[1] * (grid[tail] - at[-1])
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
