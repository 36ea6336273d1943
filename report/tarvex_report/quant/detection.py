"""Detection limits of a compound, as an amount.

- From the baseline noise: the area of a peak 3 sigma of the baseline noise
  high with the compound's half-height width (a Gaussian: height x width x
  sqrt(pi / (4 ln 2))), divided by the curve's slope at its lowest level
  (the sensitivity).
- After the US EPA method-detection-limit procedure (40 CFR 136 Appendix B,
  revision 2), from at least 7 replicates of a low-level ("spiked") standard
  and the blanks: MDL_s = t(n-1, 0.99) x s of the spiked results; MDL_b from
  the blanks' numeric results (none: not applicable; only some: the highest;
  all: their mean, at least 0, plus t(n-1, 0.99) x s); the MDL is the larger
  of the two. The latest KEPT_REPLICATES of each count (the procedure pools
  up to two years; a bounded number keeps the limit current and the state
  small, and never reaches its 100-blank percentile rule).
"""

import math

import numpy as np
from scipy.stats import t as student_t

# Area of a Gaussian over its height times its width at half height.
GAUSSIAN_AREA_PER_HEIGHT_WIDTH = math.sqrt(math.pi / (4 * math.log(2)))
NOISE_SIGMAS = 3.0
MIN_REPLICATES = 7
CONFIDENCE = 0.99
# Replicates kept per compound: the latest ones.
KEPT_REPLICATES = 20


def noise_lod(noise_mv, width_s, sensitivity):
    """Amount of a peak NOISE_SIGMAS noise deviations high; None when a
    factor is unknown."""
    if not (noise_mv and width_s and sensitivity) or sensitivity <= 0:
        return None
    area = NOISE_SIGMAS * noise_mv * width_s * GAUSSIAN_AREA_PER_HEIGHT_WIDTH
    return area / sensitivity


def t_99(count):
    return float(student_t.ppf(CONFIDENCE, count - 1))


def mdl_blanks(results):
    """MDL_b of the blanks' results (None where a blank gave no number);
    None when not applicable."""
    numeric = [r for r in results if r is not None]
    if not numeric or len(results) < MIN_REPLICATES:
        return None
    if len(numeric) < len(results):
        return max(numeric)
    return max(float(np.mean(numeric)), 0.0) + t_99(len(numeric)) * float(np.std(numeric, ddof=1))


def mdl(spiked, blanks):
    """The method detection limit from the replicate results, or None when
    there are too few: spiked None means blanks only."""
    from_blanks = mdl_blanks(blanks)
    if spiked is None:
        return from_blanks
    if len(spiked) < MIN_REPLICATES:
        return None
    from_spiked = t_99(len(spiked)) * float(np.std(spiked, ddof=1))
    return max(from_spiked, from_blanks or 0.0)
