"""Synthetic chromatograms with known peaks, the cases of the accuracy table
(each a row: how its traces are made, what the peak finder must meet), and
the worst errors the peak finder makes on them. Run as a program it prints
the table of docs/report.md (50 seeds per case; the tests take 10):

    /usr/bin/python3 report/tests/synthetic.py [seeds]

Every trace is one a real detector could give: a reading a second for
TRACE_SECONDS, MISSING_READINGS of them missing at random, a baseline near
100 mV drifting DRIFT_MV over the trace, up or down, with Gaussian noise.
Positions, widths and heights are drawn anew for every seed within the
case's ranges.
"""

import os
import sys
import time
import zlib
from dataclasses import dataclass, field

import numpy as np
from scipy.stats import exponnorm, norm

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))

from tarvex_report.peaks import PEAK_TO_PEAK_SIGMAS, analyse  # noqa: E402

TRACE_SECONDS = 1800
MISSING_READINGS = 6
DRIFT_MV = 5.0
SEEDS = range(10)


@dataclass(frozen=True)
class TruePeak:
    retention: float  # s, apex
    height: float  # mV
    area: float  # mV*s, all of it
    sigma: float
    tau: float  # exponential tail; 0 for a Gaussian
    centre: float = None  # the Gaussian's centre (the apex of a Gaussian)

    def values(self, times):
        if self.tau == 0:
            return self.height * np.exp(-0.5 * ((times - self.retention) / self.sigma) ** 2)
        return self.area * exponnorm.pdf(times - self.centre, self.tau / self.sigma,
                                         scale=self.sigma)

    def area_between(self, t0, t1):
        if self.tau == 0:
            return self.area * np.diff(norm.cdf([t0, t1], self.retention, self.sigma))[0]
        return self.area * np.diff(exponnorm.cdf([t0 - self.centre, t1 - self.centre],
                                                 self.tau / self.sigma, scale=self.sigma))[0]


def gaussian(centre, height, sigma):
    return TruePeak(centre, height, height * sigma * np.sqrt(2 * np.pi), sigma, 0.0, centre)


def tailing(centre, area, sigma, tau):
    """An exponentially modified Gaussian; centre is the Gaussian's, the apex
    (the true maximum) comes later."""
    shape = exponnorm(tau / sigma, scale=sigma)
    fine = np.linspace(-5 * sigma, 5 * sigma + 10 * tau, 20001)
    apex = fine[np.argmax(shape.pdf(fine))]
    return TruePeak(centre + apex, area * shape.pdf(apex), area, sigma, tau, centre)


def tailing_of_height(centre, height, sigma, tau):
    unit = tailing(centre, 1.0, sigma, tau)
    return tailing(centre, height / unit.height, sigma, tau)


def noise_for(snr, height):
    """Standard deviation of the noise that gives a peak of this height the
    signal-to-noise 2H/h, h = PEAK_TO_PEAK_SIGMAS deviations."""
    return 2 * height / (snr * PEAK_TO_PEAK_SIGMAS)


@dataclass(frozen=True)
class Scene:
    """What a trace is made of."""
    peaks: list
    noise: float  # mV, deviation
    drift: float = DRIFT_MV  # mV over the trace
    offset: float = 100.0  # mV at the start
    wander: tuple = (0.0, 600.0, 0.0)  # amplitude mV, period s, phase
    dips: tuple = ()  # (centre s, depth mV below the baseline, sigma s)
    spikes: tuple = ()  # (reading's second, mV)
    ceiling: float = None  # mV: the detector's output clips here
    missing_at: tuple = ()  # seconds that are among the missing readings
    resolution: float = 0.0  # mV the readings are rounded to; 0: not rounded

    def baseline(self, times):
        amplitude, period, phase = self.wander
        return (self.offset + self.drift * times / TRACE_SECONDS +
                amplitude * np.sin(2 * np.pi * times / period + phase))

    def clean(self, times):
        values = self.baseline(times)
        for peak in self.peaks:
            values = values + peak.values(times)
        for centre, depth, sigma in self.dips:
            values = values - depth * np.exp(-0.5 * ((times - centre) / sigma) ** 2)
        return values


def trace(peaks, noise, seed, drift=0.01, offset=120.0, missing=MISSING_READINGS,
          seconds=TRACE_SECONDS, also_missing=()):
    """Times (s) and readings (mV): a reading a second from 1 s, some missing
    (at random, and the seconds also_missing), on a linear drift (mV/s) with
    Gaussian noise."""
    scene = Scene(list(peaks), noise, drift=drift * seconds, offset=offset)
    return synthesize(scene, np.random.default_rng(seed), missing, seconds, also_missing)


def synthesize(scene, rng, missing=MISSING_READINGS, seconds=TRACE_SECONDS, also_missing=()):
    times = np.arange(1, seconds + 1, dtype=float)
    wanted = np.asarray(scene.missing_at, dtype=int)
    others = np.setdiff1d(np.arange(5, seconds - 5), wanted)
    gone = np.concatenate((wanted, rng.choice(others, max(missing - len(wanted), 0), False)))
    times = np.delete(times, np.union1d(gone, np.asarray(also_missing, dtype=int)) - 1)
    values = scene.clean(times) + rng.normal(0.0, scene.noise, len(times))
    for second, size in scene.spikes:
        values[np.searchsorted(times, second)] += size
    if scene.ceiling is not None:
        values = np.minimum(values, scene.ceiling)
    if scene.resolution:
        values = np.round(values / scene.resolution) * scene.resolution
    return times, values


@dataclass(frozen=True)
class Expected:
    """A peak the finder must report, measured within the recorded window."""
    retention: float
    height: float
    area: float
    reach: float  # s: a found peak this near is this one
    saturated: bool = False


def expected(scene, times):
    """The true peaks as the finder should see them within the recorded
    window; a clipped one by its plateau and its clipped area."""
    found = []
    for peak in scene.peaks:
        reach = max(2.0, 2 * peak.sigma)
        room = None if scene.ceiling is None else scene.ceiling - scene.baseline(peak.retention)
        if room is not None and peak.height > room:
            fine = np.linspace(times[0], times[-1], 200001)
            own = peak.values(fine)
            top = scene.ceiling - scene.baseline(fine)
            over = np.flatnonzero(own >= top)
            middle = 0.5 * (fine[over[0]] + fine[over[-1]])
            found.append(Expected(middle, scene.ceiling - scene.baseline(middle),
                                  np.trapz(np.minimum(own, top), fine), reach, True))
        else:
            found.append(Expected(peak.retention, peak.height,
                                  peak.area_between(times[0], times[-1]), reach))
    for k, peak in enumerate(found):
        others = [abs(o.retention - peak.retention) for j, o in enumerate(found) if j != k]
        if others and min(others) / 2 < peak.reach:
            found[k] = Expected(peak.retention, peak.height, peak.area, min(others) / 2,
                                peak.saturated)
    return found


def uniform(rng, low, high):
    return float(rng.uniform(low, high))


def placed(rng, widths, low=80.0, high=TRACE_SECONDS - 80.0, room=None):
    """Centres for peaks of these sigmas, spread at random over [low, high]
    with at least room(a, b) seconds between neighbours a and b (by default
    resolution 1.5: 3 (sigma_a + sigma_b))."""
    room = room or (lambda a, b: 3.0 * (a + b))
    for _ in range(1000):
        centres = np.sort(rng.uniform(low, high, len(widths)))
        if all(c2 - c1 >= room(a, b) for c1, c2, a, b in
               zip(centres, centres[1:], widths, widths[1:])):
            return list(centres)
    raise RuntimeError("no room for the peaks")


def drifting(rng, peaks, noise, **extra):
    """A scene on a baseline near 100 mV drifting DRIFT_MV, up or down."""
    return Scene(peaks, noise, drift=DRIFT_MV * rng.choice([-1.0, 1.0]),
                 offset=uniform(rng, 95.0, 105.0), **extra)


def resolved(rng, snr=(50.0, 50.0), count=(4, 6), noise=None):
    """Gaussians, sigma 2-10 s, resolution 1.5 or more; the lowest at the
    first S/N, all within the range when a noise is given."""
    sigmas = list(rng.uniform(2.0, 10.0, rng.integers(count[0], count[1] + 1)))
    centres = placed(rng, sigmas)
    if noise is None:
        heights = rng.uniform(20.0, 200.0, len(sigmas))
        noise = noise_for(snr[0], heights.min())
    else:
        heights = 3 * noise * rng.uniform(snr[0], snr[1], len(sigmas))
    return [gaussian(c, h, s) for c, h, s in zip(centres, heights, sigmas)], noise


def resolved_scene(rng):
    peaks, noise = resolved(rng)
    # Every other trace loses the reading at the narrowest peak's apex.
    narrowest = min(peaks, key=lambda p: p.sigma)
    lost = (int(round(narrowest.retention)),) if rng.integers(2) else ()
    return drifting(rng, peaks, noise, missing_at=lost)


def low_snr_scene(rng):
    return drifting(rng, *resolved(rng, (30.0, 33.0), noise=uniform(rng, 0.1, 0.5)))


def tailing_scene(rng):
    sigmas = list(rng.uniform(2.0, 10.0, 4))
    ratios = list(rng.permutation([1.0, 1.0, 2.0, 2.0]))
    tails = [s * r for s, r in zip(sigmas, ratios)]
    room = {s: t for s, t in zip(sigmas, tails)}
    # Each tail has room to come down before the next peak or the trace's end.
    centres = placed(rng, sigmas, high=TRACE_SECONDS - 250.0,
                     room=lambda a, b: 5 * a + 8 * room[a] + 5 * b)
    heights = rng.uniform(20.0, 200.0, 4)
    peaks = [tailing_of_height(c, h, s, t) for c, h, s, t in zip(centres, heights, sigmas, tails)]
    return drifting(rng, peaks, noise_for(50, heights.min()))


def pairs_scene(rng, resolution, width_ratio, height_ratio):
    """Two pairs of Gaussians at the resolution, sigma 2-10 s, the second
    sigma and height in the given ratio ranges to the first's."""
    peaks = []
    firsts = list(rng.uniform(2.0, 10.0, 2))
    for centre, sigma in zip(placed(rng, firsts, high=TRACE_SECONDS - 200.0,
                                    room=lambda a, b: 150.0), firsts):
        other = sigma * uniform(rng, *width_ratio)
        height = uniform(rng, 30.0, 200.0)
        heights = [height, height * uniform(rng, *height_ratio)]
        if rng.integers(2):
            heights.reverse()
        peaks += [gaussian(centre, heights[0], sigma),
                  gaussian(centre + resolution * 2 * (sigma + other), heights[1], other)]
    return drifting(rng, peaks, noise_for(50, min(p.height for p in peaks)))


def wander_scene(rng, amplitude, noise):
    peaks, _ = resolved(rng, (50.0, 300.0), count=(3, 5), noise=noise)
    return drifting(rng, peaks, noise,
                    wander=(amplitude, 600.0, uniform(rng, 0.0, 2 * np.pi)))


def edges_scene(rng):
    """One apex 5 s after the window opens, one peak ending (2.5-4 sigma
    past its apex) 5 s before it closes, one between."""
    sigmas = rng.uniform(2.0, 10.0, 3)
    heights = rng.uniform(20.0, 200.0, 3)
    ends = TRACE_SECONDS - 5.0 - uniform(rng, 2.5, 4.0) * sigmas[2]
    centres = [5.0, uniform(rng, 300.0, 1500.0), ends]
    peaks = [gaussian(c, h, s) for c, h, s in zip(centres, heights, sigmas)]
    return drifting(rng, peaks, noise_for(50, heights.min()))


def dip_between_scene(rng):
    """Two peaks with a 10 mV dip (sigma 3-15 s) between them."""
    sigmas = rng.uniform(2.0, 10.0, 2)
    dip = uniform(rng, 3.0, 15.0)
    centre = uniform(rng, 400.0, 1400.0)
    gaps = [4 * s + 3 * dip + uniform(rng, 0.0, 30.0) for s in sigmas]
    heights = rng.uniform(20.0, 200.0, 2)
    peaks = [gaussian(centre - gaps[0], heights[0], sigmas[0]),
             gaussian(centre + gaps[1], heights[1], sigmas[1])]
    return drifting(rng, peaks, uniform(rng, 0.05, 0.3), dips=((centre, 10.0, dip),))


def dip_alone_scene(rng):
    return drifting(rng, [], uniform(rng, 0.05, 0.5),
                    dips=((uniform(rng, 200.0, 1600.0), 30.0, uniform(rng, 3.0, 20.0)),))


def spikes_scene(rng):
    """3 to 8 one-reading spikes of 10-20 mV (a quarter of them downwards)
    at random, on the peaks too, with three real peaks."""
    peaks, noise = resolved(rng, (50.0, 200.0), count=(3, 3), noise=uniform(rng, 0.05, 0.3))
    seconds = [int(round(p.retention + rng.uniform(-2, 2) * p.sigma)) for p in peaks[:1]]
    while len(seconds) < rng.integers(3, 9):
        second = int(rng.integers(3, TRACE_SECONDS - 2))
        if all(abs(second - other) > 2 for other in seconds):
            seconds.append(second)
    spikes = tuple((second, uniform(rng, 10.0, 20.0) * (-1 if rng.random() < 0.25 else 1))
                   for second in seconds)
    return drifting(rng, peaks, noise, spikes=spikes)


def clipped_scene(rng):
    """One Gaussian (sigma 3-10 s, 200-600 mV) clipped at 50-85 % of its
    height, two more well below the ceiling."""
    others, _ = resolved(rng, count=(3, 3))
    first = others.pop(int(rng.integers(3)))
    tall = gaussian(first.retention, uniform(rng, 200.0, 600.0), max(first.sigma, 3.0))
    plateau = uniform(rng, 0.5, 0.85) * tall.height
    others = [gaussian(p.retention, min(p.height, 0.7 * plateau - DRIFT_MV), p.sigma)
              for p in others]
    scene = drifting(rng, [tall] + others, noise_for(50, min(p.height for p in others)))
    return Scene(scene.peaks, scene.noise, scene.drift, scene.offset,
                 ceiling=scene.baseline(tall.retention) + plateau)


def fine_scene(rng):
    """A quiet detector read to the converter's 0.01 mV: noise 0.005-0.05 mV,
    4-6 Gaussians at S/N 50-80 and three spikes."""
    noise = float(rng.choice([0.005, 0.01, 0.02, 0.05]))
    peaks, _ = resolved(rng, (50.0, 80.0), noise=noise)
    spikes = tuple((int(second), uniform(rng, 10.0, 20.0))
                   for second in rng.choice(np.arange(10, TRACE_SECONDS - 10, 5), 3, False))
    return drifting(rng, peaks, noise, spikes=spikes, resolution=0.01)


def quiet_scene(rng):
    """Noise and wander alone: 1.5 mV at noise 0.15 mV or 0.5 mV at 0.05 mV,
    period 600 s; or noise alone, 0.05-1 mV."""
    kind = rng.integers(3)
    if kind == 2:
        return drifting(rng, [], uniform(rng, 0.05, 1.0))
    amplitude, noise = ((1.5, 0.15), (0.5, 0.05))[kind]
    return drifting(rng, [], noise, wander=(amplitude, 600.0, uniform(rng, 0.0, 2 * np.pi)))


@dataclass(frozen=True)
class Case:
    title: str
    make: object  # rng -> Scene
    retention: float = None  # s, worst apex error allowed
    area: float = None  # %, worst
    height: float = None  # %, worst
    generator: str = ""


CASES = [
    Case("Resolved Gaussians, S/N >= 50", resolved_scene, 0.5, 2.0, 2.0,
         "4-6 Gaussians, sigma 2-10 s, 20-200 mV, resolution >= 1.5, the lowest at S/N 50; "
         "every other trace misses the reading at the narrowest apex"),
    Case("S/N 30", low_snr_scene, area=4.0,
         generator="4-6 Gaussians, sigma 2-10 s, each at S/N 30-33, noise 0.1-0.5 mV"),
    Case("Tailing, tau = sigma and 2 sigma", tailing_scene, 0.5, 5.0,
         generator="4 EMGs, sigma 2-10 s, two with tau = sigma, two with tau = 2 sigma, "
         "apex 20-200 mV, the lowest at S/N 50, tails ending inside the trace; retention = "
         "the EMG's maximum"),
    Case("Pairs at resolution 1.5", lambda rng: pairs_scene(rng, 1.5, (0.8, 1.25), (0.25, 1.0)),
         area=2.0, generator="2 pairs, sigma 2-10 s, second sigma 0.8-1.25 times and height "
         "0.25-1 times the first (either order), S/N >= 50"),
    Case("Pairs at resolution 1.0", lambda rng: pairs_scene(rng, 1.0, (0.9, 1.1), (0.5, 1.0)),
         area=3.0, generator="2 pairs, sigma 2-10 s, second sigma 0.9-1.1 times and height "
         "0.5-1 times the first (either order), S/N >= 50"),
    Case("Wander 1.5 mV / 600 s, noise 0.15 mV", lambda rng: wander_scene(rng, 1.5, 0.15),
         area=5.0, generator="sine of random phase; 3-5 Gaussians, sigma 2-10 s, S/N 50-300"),
    Case("Wander 0.5 mV / 600 s, noise 0.05 mV", lambda rng: wander_scene(rng, 0.5, 0.05),
         area=5.0, generator="sine of random phase; 3-5 Gaussians, sigma 2-10 s, S/N 50-300"),
    Case("Apex 5 s after the window opens; end 5 s before it closes", edges_scene, area=2.5,
         generator="3 Gaussians, sigma 2-10 s, S/N >= 50; the last ends 2.5-4 sigma after "
         "its apex"),
    Case("-10 mV dip between two peaks", dip_between_scene, area=2.5,
         generator="dip sigma 3-15 s, peaks sigma 2-10 s and 20-200 mV, 4 sigma + 3 dip "
         "sigma (+ 0-30 s) from the dip; noise 0.05-0.3 mV"),
    Case("-30 mV dip alone", dip_alone_scene,
         generator="dip sigma 3-20 s, noise 0.05-0.5 mV; no peak"),
    Case("One-reading spikes of 10-20 mV", spikes_scene, area=2.5,
         generator="3-8 spikes anywhere (one on the first peak, within 2 sigma of its apex), "
         "a quarter downwards; three Gaussians, S/N 50-200, noise 0.05-0.3 mV"),
    Case("Peak clipped flat by the detector", clipped_scene, height=2.0, area=2.0,
         generator="Gaussian sigma 3-10 s, 200-600 mV, clipped at 50-85 % of its height; "
         "two more below the ceiling, S/N >= 50; truth = the clipped peak"),
    Case("Quiet detector read to 0.01 mV", fine_scene, 0.5, 2.0, 2.0,
         "noise 0.005, 0.01, 0.02 or 0.05 mV, readings rounded to 0.01 mV; 4-6 Gaussians, "
         "sigma 2-10 s, S/N 50-80; three spikes of 10-20 mV; no top may pass for clipped"),
    Case("Noise and wander alone", quiet_scene,
         generator="wander 1.5 mV at noise 0.15 mV or 0.5 mV at 0.05 mV, 600 s; or noise "
         "0.05-1 mV alone; no peak"),
]


@dataclass
class Errors:
    traces: int = 0
    peaks: int = 0
    missed: int = 0
    false: int = 0
    mismarked: int = 0  # saturated where not, or not where
    processor: float = 0.0  # s that analyse() took, all traces
    retention: list = field(default_factory=list)  # s, absolute
    height: list = field(default_factory=list)  # %, absolute
    area: list = field(default_factory=list)  # %, absolute

    def worst(self, name):
        values = getattr(self, name)
        return max(values) if values else 0.0


def case_rng(case, seed):
    return np.random.default_rng([seed, zlib.crc32(case.title.encode())])


def run_case(case, seeds=SEEDS):
    """The peak finder's errors over the case's traces."""
    errors = Errors()
    for seed in seeds:
        rng = case_rng(case, seed)
        scene = case.make(rng)
        times, values = synthesize(scene, rng)
        started = time.process_time()
        found = analyse(times, values).peaks
        errors.processor += time.process_time() - started
        score(errors, expected(scene, times), found)
    return errors


def score(errors, truth, found):
    errors.traces += 1
    errors.peaks += len(truth)
    used = set()
    for peak in truth:
        nearest = min(range(len(found)), default=None,
                      key=lambda k: abs(found[k].retention - peak.retention))
        if nearest is None or abs(found[nearest].retention - peak.retention) > peak.reach:
            errors.missed += 1
            continue
        got = found[nearest]
        used.add(nearest)
        errors.mismarked += got.saturated != peak.saturated
        errors.retention.append(abs(got.retention - peak.retention))
        errors.height.append(100 * abs(got.height / peak.height - 1))
        errors.area.append(100 * abs(got.area / peak.area - 1))
    errors.false += len(found) - len(used)


def table(seeds=SEEDS):
    """The accuracy table (Markdown) and the mean processor time analyse()
    took per trace."""
    rows = ["| Case | how the traces are made | limits (worst peak) | traces | peaks | missed "
            "| false | saturated marked wrongly | retention, worst (s) | height, worst | "
            "area, worst |",
            "|---|---|---|---|---|---|---|---|---|---|---|"]
    spent, traces = 0.0, 0
    for case in CASES:
        e = run_case(case, seeds)
        spent, traces = spent + e.processor, traces + e.traces
        limits = [text % value for value, text in ((case.retention, "RT %g s"),
                                                   (case.height, "height %g %%"),
                                                   (case.area, "area %g %%"))
                  if value is not None]
        rows.append("| %s | %s | %s | %d | %d | %d | %d | %d | %.2f | %.2f %% | %.2f %% |" % (
            case.title, case.generator, ", ".join(limits) or "no peak", e.traces, e.peaks,
            e.missed, e.false, e.mismarked, e.worst("retention"), e.worst("height"),
            e.worst("area")))
    return "\n".join(rows), spent / traces


if __name__ == "__main__":
    text, per_trace = table(range(int(sys.argv[1]) if len(sys.argv) > 1 else 50))
    print(text)
    print("\nanalyse(): %.1f ms of processor time per trace, mean" % (1e3 * per_trace))
