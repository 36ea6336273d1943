"""Cycles of known amounts for the quantitation tests: three compounds
whose areas follow a known response, drawn into synthetic chromatograms
and integrated by the report's own peak finder, so the amounts carry the
integration's real errors."""

import os

import numpy as np

from synthetic import TruePeak, trace
from tarvex_report import aia
from tarvex_report.cycle import peaks_csv
from tarvex_report.peaks import analyse
from tarvex_report.peaktable import name_peaks
from tarvex_report.quant.inputs import CycleInput, Meta, parse_peaks_csv
from tarvex_report.results import cycle_of

# name, retention (s), sigma (s), area per ppb (mV*s)
COMPOUNDS = [("benzene", 300.0, 3.0, 500.0), ("toluene", 600.0, 4.0, 400.0),
             ("xylene", 1000.0, 6.0, 300.0)]
LEVELS = {"S1": 1.0, "S2": 2.0, "S3": 5.0, "S4": 10.0, "S5": 20.0}
NOISE_MV = 0.3
SECONDS = 1200
TABLE = "".join("%s\t%g\t10\n" % (name, rt) for name, rt, _, _ in COMPOUNDS)
STANDARDS = "".join("%s\t%s\t%g\tppb\n" % (standard, name, amount)
                    for standard, amount in LEVELS.items() for name, *_ in COMPOUNDS)


def stamp(day, hour, minute=0):
    return "2026-12-%02d_%02d-%02d-00" % (day, hour, minute)


def chromatogram(amounts, seed, curvature=0.0, shift=0.0):
    """amounts: {name: ppb}; area = response x amount x (1 + curvature x amount)."""
    peaks = []
    for name, retention, sigma, response in COMPOUNDS:
        amount = amounts.get(name, 0.0)
        if amount > 0:
            area = response * amount * (1.0 + curvature * amount)
            peaks.append(TruePeak(retention + shift, area / (sigma * np.sqrt(2 * np.pi)), area,
                                  sigma, 0.0))
    return trace(peaks, NOISE_MV, seed, seconds=SECONDS)


def every(amount):
    return {name: amount for name, *_ in COMPOUNDS}


def cycle(when, kind, standard=None, amounts=None, seed=0, curvature=0.0, **options):
    """A cycle as quantitation reads it; its peak list goes through the
    report's CSV writer and reader."""
    if amounts is None:
        amounts = every(LEVELS[standard]) if standard else {}
    times, values = chromatogram(amounts, seed, curvature, **options)
    analysis = analyse(times, values)
    peaks, _ = parse_peaks_csv(peaks_csv(analysis.peaks, [""] * len(analysis.peaks)))
    return CycleInput(when, Meta(kind, standard), peaks, analysis.noise)


def write(path, text):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as stream:
        stream.write(text)


def calibration_run(day=8, hour=0, replicates=1, curvature=0.0, seed=100):
    """One injection of each level per replicate, two minutes apart."""
    cycles = []
    for number, standard in enumerate(LEVELS):
        for replicate in range(replicates):
            minute = 2 * (number * replicates + replicate)
            cycles.append(cycle(stamp(day, hour, minute), "calibration", standard,
                                seed=seed + minute, curvature=curvature))
    return cycles


def reported_cycle(root, out, when, kind="sample", standard=None, amounts=None, seed=0,
                   meta=None):
    """The cycle's files as the service and the report leave them: PID file
    and Meta file in ROOT, peak list and AIA file in DIR."""
    from conftest import pid_text

    if amounts is None:
        amounts = every(LEVELS[standard]) if standard else {}
    times, values = chromatogram(amounts, seed)
    day = when[:10]
    pid = os.path.join(root, day, "PID_%s.dat" % when)
    write(pid, pid_text(times, values))
    if meta is None:
        meta = '{"kind": "%s", "standard": %s, "instrument": "lab1", "exit_status": 0}\n' % (
            kind, '"%s"' % standard if standard else "null")
    if meta:
        write(os.path.join(root, day, "Meta_%s.json" % when), meta)
    analysis = analyse(times, values)
    names = name_peaks([p.retention for p in analysis.peaks], [])
    write(os.path.join(out, day, when + ".peaks.csv"), peaks_csv(analysis.peaks, names))
    trace_ = type("Trace", (), {"times": times.astype(float), "values": values})
    aia.write_cdf(os.path.join(out, day, when + ".cdf"), cycle_of(pid), trace_, analysis, names)


def raw_cycle(root, when, kind="sample", standard=None, amounts=None, seed=0, curvature=0.0):
    """A cycle as the service leaves it in ROOT: its detector file, and its
    Meta file unless kind is None (older data, a cycle run by hand)."""
    from conftest import pid_text

    if amounts is None:
        amounts = every(LEVELS[standard]) if standard else {}
    times, values = chromatogram(amounts, seed, curvature)
    write(os.path.join(root, when[:10], "PID_%s.dat" % when), pid_text(times, values))
    if kind:
        write(os.path.join(root, when[:10], "Meta_%s.json" % when),
              '{"kind": "%s", "standard": %s, "instrument": "lab1", "exit_status": 0}\n'
              % (kind, '"%s"' % standard if standard else "null"))


def example_figure(path):
    """The calibration figure of docs/quantitation.md: a mildly curved
    response, benzene on a straight line (rejected), toluene on a quadratic,
    xylene on the average response factor."""
    from tarvex_report.peaktable import Compound
    from tarvex_report.quant.calfigure import calibration_figure
    from tarvex_report.quant.ledger import quantify
    from tarvex_report.quant.settings import Quantitation
    from tarvex_report.quant.standards import Standards

    models = {"benzene": "linear", "toluene": "quadratic", "xylene": "rf"}
    compounds = [Compound(name, retention, 10.0, Quantitation(model=models[name]))
                 for name, retention, _, _ in COMPOUNDS]
    standards = Standards("example", {s: every(a) for s, a in LEVELS.items()},
                          {name: "ppb" for name, *_ in COMPOUNDS})
    result = quantify(calibration_run(replicates=2, curvature=0.02), compounds, standards)
    calibration_figure(path, next(iter(result.calibrations.values())))


if __name__ == "__main__":
    import sys

    example_figure(sys.argv[1])
