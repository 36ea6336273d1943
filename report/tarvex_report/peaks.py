"""Finds and integrates the peaks of one detector trace.

The trace comes at about one reading per second with readings missing now and
then, on a baseline that drifts slowly, with noise. The method:

- a uniform grid (the median reading interval) carries a smoothed copy of the
  trace, used to find apexes, valleys and where the signal returns to the
  baseline; every number reported comes from the readings at their own times;
- the baseline is a running straight-line fit, two minutes wide, through the
  readings outside the peaks, and a straight line across each group of
  peaks: it follows slow drift and nothing faster; the peaks are masked out
  and the fit repeated until the mask settles;
- the noise is the robust standard deviation of the readings about their
  smoothed copy, over the baseline; drift does not count; the first
  estimate, before the baseline is known, comes from the quietest stretches;
- a peak is an apex whose height above the baseline and whose prominence
  both reach `snr` in the pharmacopoeias' signal-to-noise 2H/h, with the
  peak-to-peak noise h taken as six standard deviations;
- a group of peaks runs from where the signal leaves the baseline to where it
  returns; inside a group the peaks are split at the valleys (drop lines) and
  integrated above one straight baseline from the group's start to its end;
- the area is the trapezoid over the readings' own times; retention and height
  come from a parabola through the logarithm of the readings above half height
  (exact for a Gaussian top), the width at half height from the readings.
"""

from dataclasses import dataclass

import numpy as np
from scipy.ndimage import convolve1d, percentile_filter
from scipy.signal import find_peaks, savgol_coeffs

from . import DEFAULT_SNR

# Fewer readings than this hold no chromatogram worth integrating.
MIN_READINGS = 11
# The converter's replies carry six significant digits: below this (mV) a
# trace is as flat as it can be written.
NOISE_FLOOR_MV = 0.01
# Signal-to-noise is 2H/h, as the pharmacopoeias have it, with the
# peak-to-peak noise h taken as six standard deviations of the baseline noise.
PEAK_TO_PEAK_SIGMAS = 6.0
SMOOTHING_POINTS = 7
NOISE_BLOCK = 16
SMOOTHING = savgol_coeffs(SMOOTHING_POINTS, 2)
# White noise minus its smoothed copy keeps this share of its deviation.
RESIDUAL_SHARE = float(np.sqrt(np.sum((np.eye(SMOOTHING_POINTS)[SMOOTHING_POINTS // 2] -
                                       SMOOTHING) ** 2)))
BASELINE_WINDOW_S = 120.0
MASK_ROUNDS = 2


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


def analyse(times, values, snr=DEFAULT_SNR):
    """Peaks of the trace (times in s, strictly increasing; values in mV)."""
    times = np.asarray(times, dtype=float)
    values = np.asarray(values, dtype=float)
    if len(times) < MIN_READINGS:
        empty = np.empty(0)
        return Analysis([], float("nan"), empty, empty,
                        "only %d readings: too few to look for peaks" % len(times))
    grid, on_grid = uniform_grid(times, values)
    smooth = smoothed(on_grid)
    residual = values - smoothed(values)
    noise = first_noise(residual)
    baseline = first_baseline(grid, on_grid, noise)
    mask = None
    for _ in range(MASK_ROUNDS):
        groups = find_groups(smooth - baseline, snr, noise)
        # Bumps too small to report must not lift the baseline either.
        new_mask = baseline_mask(len(grid), groups) & (smooth - baseline < 2 * noise)
        if np.count_nonzero(new_mask) < max(MIN_READINGS, len(grid) // 10):
            break  # peaks everywhere: keep the baseline found so far
        if mask is not None and np.count_nonzero(mask != new_mask) <= len(grid) // 200:
            break  # settled: a few points either way move the baseline by nothing
        mask = new_mask
        noise = robust_noise(residual[on_baseline(times, grid, mask)], noise)
        baseline = fit_baseline(grid, on_grid, mask)
    groups = find_groups(smooth - baseline, snr, noise)
    peaks = []
    for apexes, bounds in groups:
        peaks.extend(group_peaks(times, values, grid, smooth, baseline, apexes, bounds))
    return Analysis(peaks, noise, grid, baseline)


def smoothed(values):
    """Savitzky-Golay, quadratic over SMOOTHING_POINTS readings; the ends
    repeat the outermost reading."""
    return convolve1d(values, SMOOTHING, mode="nearest")


def odd_below(n):
    return n if n % 2 else n - 1


def uniform_grid(times, values):
    step = float(np.median(np.diff(times)))
    count = int(np.floor((times[-1] - times[0]) / step + 1e-9)) + 1
    grid = times[0] + step * np.arange(count)
    return grid, np.interp(grid, times, values)


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


def middle(values):
    """The median, without np.median's generality (it runs for every trace)."""
    half = len(values) // 2
    ordered = np.partition(values, [half - 1, half] if len(values) % 2 == 0 else half)
    return 0.5 * (ordered[half - 1] + ordered[half]) if len(values) % 2 == 0 else ordered[half]


def first_baseline(grid, on_grid, noise):
    """A low running percentile, lifted by the noise's share: it stays on the
    baseline where peaks cover most of the window. Taken on every fifth grid
    point: it only seeds the peak mask."""
    stride = 5 if len(grid) >= 10 * MIN_READINGS else 1
    coarse_t, coarse = grid[::stride], on_grid[::stride]
    step = coarse_t[1] - coarse_t[0]
    size = min(odd_below(len(coarse)), 2 * int(BASELINE_WINDOW_S / step / 2) + 1)
    low = percentile_filter(coarse, 10, size=size, mode="nearest")
    return np.interp(grid, coarse_t, low) + 1.2816 * noise


def find_groups(corrected, snr, noise):
    """Apexes found on the smoothed, baseline-corrected grid signal, gathered
    into groups: [(apex indices, (first, last) grid index)]. A group ends
    where the smoothed signal comes back within one noise deviation of the
    baseline: a baseline estimate a little low must not stretch it."""
    threshold = snr * PEAK_TO_PEAK_SIGMAS / 2 * noise
    apexes, _ = find_peaks(corrected, height=threshold, prominence=threshold)
    if len(apexes) == 0:
        return []
    at_baseline = np.flatnonzero(corrected <= noise)
    groups = {}
    for apex in apexes:
        k = np.searchsorted(at_baseline, apex)
        first = at_baseline[k - 1] if k > 0 else 0
        last = at_baseline[k] if k < len(at_baseline) else len(corrected) - 1
        groups.setdefault((int(first), int(last)), []).append(int(apex))
    return [(apexes, bounds) for bounds, apexes in sorted(groups.items())]


def baseline_mask(count, groups):
    """Grid points that may carry the baseline: outside every group, widened
    by a quarter of its length so that the peaks' feet stay out."""
    mask = np.ones(count, dtype=bool)
    for _, (first, last) in groups:
        margin = (last - first) // 4 + 1
        mask[max(first - margin, 0):min(last + margin, count - 1) + 1] = False
    return mask


def on_baseline(times, grid, mask):
    """The readings whose grid points may carry the baseline."""
    step = grid[1] - grid[0]
    index = np.clip(np.rint((times - grid[0]) / step).astype(int), 0, len(grid) - 1)
    return mask[index]


def fit_baseline(grid, on_grid, mask):
    """A straight line fitted to the baseline points within half a window on
    either side of each of them; linear between them across the peaks."""
    t, v = grid[mask], on_grid[mask]
    centre = t.mean()
    x = t - centre
    sums = [np.concatenate(([0.0], np.cumsum(column)))
            for column in (np.ones_like(x), x, x * x, v, x * v)]
    first = np.searchsorted(t, t - BASELINE_WINDOW_S / 2, side="left")
    last = np.searchsorted(t, t + BASELINE_WINDOW_S / 2, side="right")
    n, sx, sxx, sv, sxv = (total[last] - total[first] for total in sums)
    spread = n * sxx - sx * sx
    flat = spread <= 1e-9 * np.maximum(n * sxx, 1.0)
    slope = np.where(flat, 0.0, (n * sxv - sx * sv) / np.where(flat, 1.0, spread))
    fitted = (sv - slope * sx) / n + slope * x
    return np.interp(grid, t, fitted)


def group_peaks(times, values, grid, smooth, baseline, apexes, bounds):
    first, last = bounds
    line = (grid[first], baseline[first], grid[last], baseline[last])
    valleys = [a + int(np.argmin(smooth[a:b + 1] - baseline[a:b + 1]))
               for a, b in zip(apexes, apexes[1:])]
    starts = [first] + valleys
    ends = valleys + [last]
    peaks = []
    for k, apex in enumerate(apexes):
        peak = measure(times, values, line, grid[starts[k]], grid[ends[k]], grid[apex],
                       "B" if k == 0 else "V", "B" if k == len(apexes) - 1 else "V")
        if peak is not None:
            peaks.append(peak)
    return peaks


def segment(times, values, start, end):
    """The readings from start to end, with the signal at start and end
    interpolated when no reading falls there."""
    first = np.searchsorted(times, start, side="right")
    last = np.searchsorted(times, end, side="left")
    ends = np.interp((start, end), times, values)
    t = np.concatenate(((start,), times[first:last], (end,)))
    v = np.concatenate(((ends[0],), values[first:last], (ends[1],)))
    return t, v


def measure(times, values, line, start, end, apex_time, start_code, end_code):
    t, v = segment(times, values, start, end)
    t0, v0, t1, v1 = line
    above = v - (v0 + (v1 - v0) * (t - t0) / (t1 - t0))
    top = climb(above, int(np.argmin(np.abs(t - apex_time))))
    if above[top] <= 0:
        return None
    retention, height = fit_top(t, above, top)
    return Peak(retention=retention, start=start, end=end, height=height,
                area=float(np.trapz(above, t)), width=half_height_width(t, above, top, height),
                start_code=start_code, end_code=end_code, line=line)


def climb(above, k):
    """From reading k uphill to the nearest local maximum."""
    while True:
        if k > 0 and above[k - 1] > above[k]:
            k -= 1
        elif k + 1 < len(above) and above[k + 1] > above[k]:
            k += 1
        else:
            return k


def fit_top(t, above, top):
    """Apex time and height from a parabola through the logarithm of the
    readings above half the highest one, weighted by the readings (the
    logarithm stretches the noise of the low ones)."""
    half = 0.5 * above[top]
    first = top
    while first > 0 and above[first - 1] >= half:
        first -= 1
    last = top
    while last + 1 < len(above) and above[last + 1] >= half:
        last += 1
    if last - first < 2:
        first, last = max(top - 1, 0), min(top + 1, len(above) - 1)
    x = t[first:last + 1] - t[top]
    y = above[first:last + 1]
    if len(x) >= 3 and np.all(y > 0):
        a, b, c = np.polyfit(x, np.log(y), 2, w=y)
        if a < 0:
            shift = -b / (2 * a)
            if x[0] <= shift <= x[-1]:
                return float(t[top] + shift), float(np.exp(c - b * b / (4 * a)))
    return float(t[top]), float(above[top])


def half_height_width(t, above, top, height):
    half = 0.5 * height
    left = t[0]
    for k in range(top, 0, -1):
        if above[k - 1] < half <= above[k]:
            left = t[k - 1] + (half - above[k - 1]) * (t[k] - t[k - 1]) / (above[k] - above[k - 1])
            break
    right = t[-1]
    for k in range(top, len(above) - 1):
        if above[k + 1] < half <= above[k]:
            right = t[k] + (above[k] - half) * (t[k + 1] - t[k]) / (above[k] - above[k + 1])
            break
    return float(right - left)
