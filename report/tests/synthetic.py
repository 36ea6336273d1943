"""Synthetic chromatograms with known peaks, and the errors the peak finder
makes on them. Run as a program it prints the errors as the Markdown table
of report/README.md:

    /usr/bin/python3 report/tests/synthetic.py
"""

import os
import sys
from dataclasses import dataclass

import numpy as np
from scipy.stats import exponnorm

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))

from tarvex_report.peaks import PEAK_TO_PEAK_SIGMAS, analyse  # noqa: E402

# A trace as the controller records one: a reading a second, a few missing.
TRACE_SECONDS = 1800
MISSING_READINGS = 6
SEEDS = range(12)


@dataclass(frozen=True)
class TruePeak:
    retention: float  # s, apex
    height: float  # mV
    area: float  # mV*s
    sigma: float
    tau: float  # exponential tail; 0 for a Gaussian


def gaussian(centre, height, sigma):
    return TruePeak(centre, height, height * sigma * np.sqrt(2 * np.pi), sigma, 0.0)


def tailing(centre, area, sigma, tau):
    """An exponentially modified Gaussian; centre is the Gaussian's, the apex
    comes later."""
    shape = exponnorm(tau / sigma, loc=centre, scale=sigma)
    fine = np.linspace(centre - 5 * sigma, centre + 5 * sigma + 10 * tau, 20001)
    values = area * shape.pdf(fine)
    return TruePeak(fine[np.argmax(values)], values.max(), area, sigma, tau)


def signal(peak, times):
    if peak.tau == 0:
        return peak.height * np.exp(-0.5 * ((times - peak.retention) / peak.sigma) ** 2)
    # The apex was found from the Gaussian's centre; go back to it.
    fine = np.linspace(-5 * peak.sigma, 5 * peak.sigma + 10 * peak.tau, 20001)
    shape = exponnorm(peak.tau / peak.sigma, scale=peak.sigma)
    centre = peak.retention - fine[np.argmax(shape.pdf(fine))]
    return peak.area * shape.pdf(times - centre)


def noise_for(snr, height):
    """Standard deviation of the noise that gives a peak of this height the
    signal-to-noise 2H/h, h = PEAK_TO_PEAK_SIGMAS deviations."""
    return 2 * height / (snr * PEAK_TO_PEAK_SIGMAS)


def trace(peaks, noise, seed, drift=0.01, offset=120.0, missing=MISSING_READINGS,
          seconds=TRACE_SECONDS, also_missing=()):
    """Times (s) and readings (mV): a reading a second from 1 s, some missing
    (at random, and the seconds also_missing), on a linear drift (mV/s) with
    Gaussian noise."""
    rng = np.random.default_rng(seed)
    times = np.arange(1, seconds + 1, dtype=float)
    gone = rng.choice(np.arange(5, seconds - 5), size=missing, replace=False)
    times = np.delete(times, np.union1d(gone, np.asarray(also_missing, dtype=int) - 1))
    values = offset + drift * times + rng.normal(0.0, noise, len(times))
    for peak in peaks:
        values += signal(peak, times)
    return times, values


def resolved_gaussians():
    """Sigma 2 to 10 s, resolution well above 1.5, the smallest at S/N 50."""
    peaks = [gaussian(150, 40.0, 2.0), gaussian(400, 90.0, 3.0), gaussian(700, 60.0, 5.0),
             gaussian(1000, 150.0, 7.0), gaussian(1400, 80.0, 10.0)]
    return peaks, noise_for(50, 40.0)


def resolved_gaussians_rms_50():
    """The same peaks, the smallest at height / noise deviation 50."""
    peaks, _ = resolved_gaussians()
    return peaks, 40.0 / 50


def tailing_peaks():
    """Tau up to sigma; the lowest apex at S/N 50."""
    peaks = [tailing(150, 300.0, 2.0, 1.0), tailing(450, 900.0, 4.0, 4.0),
             tailing(850, 1500.0, 7.0, 5.0), tailing(1300, 2000.0, 10.0, 10.0)]
    return peaks, noise_for(50, min(p.height for p in peaks))


def resolution(first, second):
    """Resolution of two Gaussian peaks: separation over the mean base width."""
    return (second.retention - first.retention) / (2 * (first.sigma + second.sigma))


def pair_at_resolution_one():
    first = gaussian(800, 100.0, 4.0)
    second = gaussian(816, 70.0, 4.0)
    return [first, second], noise_for(50, 70.0)


def match(found, truth):
    """The found peak nearest each true one (None when nothing is near)."""
    matched = []
    for peak in truth:
        nearest = min(found, key=lambda p: abs(p.retention - peak.retention), default=None)
        near = nearest is not None and abs(nearest.retention - peak.retention) < 3 * peak.sigma
        matched.append(nearest if near else None)
    return matched


@dataclass
class Errors:
    traces: int = 0
    peaks: int = 0
    missed: int = 0
    false: int = 0
    retention: list = None  # s, absolute
    height: list = None  # %, absolute
    area: list = None  # %, absolute

    def __post_init__(self):
        self.retention, self.height, self.area = [], [], []


def measure(kind, seeds=SEEDS, also_missing=()):
    """Errors of the peak finder over one kind of synthetic trace."""
    errors = Errors()
    for seed in seeds:
        truth, noise = kind()
        times, values = trace(truth, noise, seed, also_missing=also_missing)
        found = analyse(times, values).peaks
        errors.traces += 1
        errors.peaks += len(truth)
        matched = match(found, truth)
        errors.false += len(found) - len([m for m in matched if m is not None])
        for peak, got in zip(truth, matched):
            if got is None:
                errors.missed += 1
                continue
            errors.retention.append(abs(got.retention - peak.retention))
            errors.height.append(100 * abs(got.height / peak.height - 1))
            errors.area.append(100 * abs(got.area / peak.area - 1))
    return errors


def noise_only(seed):
    times, values = trace([], 1.0, seed, drift=0.02)
    return analyse(times, values).peaks


def table():
    rows = ["| Synthetic set (%d traces each, %d s, %d readings missing) | peaks | missed | false "
            "| retention error, mean / max (s) | height error, mean / max | area error, mean / "
            "max |" % (len(SEEDS), TRACE_SECONDS, MISSING_READINGS),
            "|---|---|---|---|---|---|---|"]
    kinds = (("Resolved Gaussians, sigma 2-10 s, S/N >= 50", resolved_gaussians, ()),
             ("The same, the reading at the apex of the sigma-2 s peak missing",
              resolved_gaussians, (150,)),
             ("The same, noise three times stronger (height / noise deviation >= 50)",
              resolved_gaussians_rms_50, ()),
             ("Tailing (EMG), tau <= sigma, S/N >= 50", tailing_peaks, ()),
             ("Pair at resolution 1.0, S/N >= 50", pair_at_resolution_one, ()))
    for title, kind, also_missing in kinds:
        e = measure(kind, also_missing=also_missing)
        row = "| %s | %d | %d | %d | %.2f / %.2f | %.2f %% / %.2f %% | %.2f %% / %.2f %% |"
        rows.append(row % (title, e.peaks, e.missed, e.false, np.mean(e.retention),
                           np.max(e.retention), np.mean(e.height), np.max(e.height),
                           np.mean(e.area), np.max(e.area)))
    false = sum(len(noise_only(seed)) for seed in SEEDS)
    rows.append("| Noise and drift alone | 0 | - | %d | - | - | - |" % false)
    return "\n".join(rows)


if __name__ == "__main__":
    print(table())
