"""Calibration models: the area as a polynomial in the amount, fitted by
weighted least squares, and read back from an area to an amount.

Coefficients are numpy.polyval's, highest power first, always with the
constant: rf and linear0 are [slope, 0], linear [slope, intercept],
quadratic [a, b, c]. Weights apply to the squared residuals as chromatography
data systems state them: 1/x weighs a point by the inverse of its amount;
numpy.polyfit wants their square roots."""

import numpy as np

# Least levels each model needs to be fitted at all (acceptance asks more).
FIT_LEVELS = {"rf": 1, "linear": 2, "linear0": 1, "quadratic": 3}
POWERS = {"none": 0.0, "1/x": 1.0, "1/x2": 2.0}


def weights(amounts, weighting):
    return np.asarray(amounts, dtype=float) ** -POWERS[weighting]


def fit(model, weighting, amounts, areas):
    """Coefficients of the model through the points (area against amount)."""
    x = np.asarray(amounts, dtype=float)
    y = np.asarray(areas, dtype=float)
    root_w = np.sqrt(weights(x, weighting))
    if model == "rf":
        return np.array([np.mean(y / x), 0.0])
    if model == "linear0":
        slope = np.linalg.lstsq((root_w * x)[:, None], root_w * y, rcond=None)[0][0]
        return np.array([slope, 0.0])
    return np.polyfit(x, y, {"linear": 1, "quadratic": 2}[model], w=root_w)


def r_squared(coefficients, amounts, areas, weighting):
    """1 - weighted residual / weighted total sum of squares (about the
    weighted mean)."""
    x = np.asarray(amounts, dtype=float)
    y = np.asarray(areas, dtype=float)
    w = weights(x, weighting)
    residual = np.sum(w * (y - np.polyval(coefficients, x)) ** 2)
    total = np.sum(w * (y - np.average(y, weights=w)) ** 2)
    return float(1.0 - residual / total) if total > 0 else float("nan")


def rsd_percent(amounts, areas):
    """Relative standard deviation of the response factors area / amount."""
    factors = np.asarray(areas, dtype=float) / np.asarray(amounts, dtype=float)
    if len(factors) < 2:
        return float("nan")
    return float(100.0 * np.std(factors, ddof=1) / np.mean(factors))


def slope_at(coefficients, amount):
    return float(np.polyval(np.polyder(coefficients), amount))


def rising_over(coefficients, low, high):
    """Whether the area grows with the amount over [low, high]: the slope is
    linear at most, so both ends tell."""
    return slope_at(coefficients, low) > 0 and slope_at(coefficients, high) > 0


def amount_of(coefficients, area, low, high):
    """The amount whose area the curve gives, on its rising branch nearest
    the calibrated range [low, high]; None where the curve never gives it."""
    c = np.trim_zeros(np.array(coefficients, dtype=float), "f")
    if len(c) < 2:
        return None
    c[-1] -= area
    if len(c) == 2:  # a straight line: one root, and only a rising one counts
        return float(-c[1] / c[0]) if c[0] > 0 else None
    roots = np.roots(c)
    real = [float(r.real) for r in roots if abs(r.imag) <= 1e-9 * max(1.0, abs(r.real))]
    rising = [r for r in real if slope_at(coefficients, r) > 0]
    if not rising:
        return None
    return min(rising, key=lambda r: (max(low - r, 0.0, r - high), abs(r - low)))
