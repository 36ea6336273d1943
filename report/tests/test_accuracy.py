"""The peak finder against synthetic chromatograms with known peaks: every
case of the accuracy table (synthetic.py) within its limits on every seed."""

import time

import numpy as np
import pytest

from synthetic import (CASES, SEEDS, case_rng, gaussian, noise_for, run_case, synthesize,
                       trace)
from tarvex_report.peaks import analyse


def assert_within_limits(case, seeds):
    errors = run_case(case, seeds)
    assert (errors.missed, errors.false, errors.mismarked) == (0, 0, 0)
    for name, limit in (("retention", case.retention), ("height", case.height),
                        ("area", case.area)):
        if limit is not None:
            assert errors.worst(name) <= limit, name


@pytest.mark.parametrize("case", CASES, ids=[case.title for case in CASES])
def test_case_within_its_limits_on_every_seed(case):
    assert_within_limits(case, SEEDS)


# Traces beyond the usual seeds that once missed: crowded peaks under wander
# and dips between peaks left no baseline between the features; a broad top
# on a quiet detector was taken for a clipped one.
@pytest.mark.parametrize("title, seed", [("Wander 0.5", 219), ("-10 mV dip", 126),
                                         ("-10 mV dip", 304), ("Quiet", 180)])
def test_a_trace_that_once_missed_is_within_its_limits(title, seed):
    (case,) = [case for case in CASES if case.title.startswith(title)]
    assert_within_limits(case, [seed])


@pytest.mark.parametrize("case", CASES, ids=[case.title for case in CASES])
def test_traces_are_what_their_case_says(case):
    # A real detector's: a reading a second, six missing, 5 mV of drift
    # over the trace on a baseline near 100 mV.
    for seed in SEEDS[:3]:
        scene = case.make(case_rng(case, seed))
        times, _ = synthesize(scene, case_rng(case, seed))
        assert len(times) == 1800 - 6
        assert abs(scene.drift) == 5.0
        assert 95 <= scene.offset <= 105
        for peak in scene.peaks:
            # S/N 2H/h, h = 6 noise deviations: 30 or more in every case.
            assert 2 * peak.height / (6 * scene.noise) >= 30 - 1e-9


def test_a_pair_at_resolution_one_is_split_at_the_valley_on_one_baseline():
    first, second = gaussian(800, 100.0, 4.0), gaussian(816, 70.0, 4.0)
    for seed in SEEDS:
        times, values = trace([first, second], noise_for(50, 70.0), seed)
        left, right = analyse(times, values).peaks
        assert (left.start_code, left.end_code, right.start_code, right.end_code) == \
            ("B", "V", "V", "B")
        assert left.end == right.start and left.line == right.line
        between = (times > first.retention) & (times < second.retention)
        assert abs(left.end - times[between][np.argmin(values[between])]) <= 2.0


def test_a_flat_noiseless_trace_has_no_peak_and_the_floor_noise():
    analysis = analyse(np.arange(1.0, 200.0), np.full(199, 100.0))
    assert analysis.peaks == []
    assert analysis.noise == pytest.approx(0.01)


def test_a_peak_below_the_signal_to_noise_threshold_is_not_reported():
    # S/N 2H/h = 2 * 4 / (6 * 1) = 1.3 by default; 20 wanted here.
    times, values = trace([gaussian(300, 4.0, 3.0)], 1.0, 1, seconds=600)
    assert analyse(times, values).peaks == []
    times, values = trace([gaussian(300, 70.0, 3.0)], 1.0, 1, seconds=600)  # S/N 23
    assert len(analyse(times, values).peaks) == 1
    assert analyse(times, values, snr=30).peaks == []


@pytest.mark.parametrize("seconds, noise, peaks", [
    (30, 0.0, [gaussian(8, 800.0, 1.2), gaussian(20, 500.0, 1.2)]),
    (50, 1.5, [gaussian(12, 350.0, 1.5), gaussian(26, 800.0, 1.8), gaussian(38, 450.0, 2.0)]),
])
def test_a_short_trace_full_of_narrow_peaks_finds_them_all(seconds, noise, peaks):
    # A brief detector window: quiet stretches are few and short.
    for seed in SEEDS[:3]:
        times, values = trace(peaks, noise, seed, drift=0.0, seconds=seconds, missing=0)
        found = analyse(times, values).peaks
        assert [round(p.retention) for p in found] == [p.retention for p in peaks]
        for got, true in zip(found, peaks):
            assert got.area == pytest.approx(true.area, rel=0.05)


def test_a_peak_of_one_reading_deviation_read_late_is_still_a_peak():
    # The controller reads the detector when its pass comes round, up to
    # half a second after the whole second the file gives: a column's
    # narrowest peaks look narrower than they are, but stay peaks.
    rng = np.random.default_rng(SEEDS[0])
    errors = []
    for _ in range(40):
        peak = gaussian(300 + rng.uniform(0, 1), 1200.0, 1.0)
        times = np.arange(1.0, 601.0)
        late = times + rng.uniform(0, 0.5, times.size)
        values = 100 + peak.values(late - 0.25) + rng.normal(0, 0.1, times.size)
        (found,) = analyse(times, values).peaks
        assert abs(found.retention - peak.retention) <= 0.5
        errors.append(abs(found.area / peak.area - 1))
    # Each reading's value is off by up to a quarter second of a steep flank.
    assert np.median(errors) <= 0.08 and max(errors) <= 0.35


def test_too_short_a_trace_is_not_analysed_and_says_why():
    analysis = analyse([1, 2, 3], [100.0, 180.0, 100.0])
    assert analysis.peaks == []
    assert analysis.note == "only 3 readings: too few to look for peaks"


def test_areas_use_the_readings_own_times():
    # The same peak sampled every second and every two seconds: the areas
    # agree, the trapezoid takes the two-second steps as they are.
    peak = gaussian(300, 100.0, 6.0)
    areas = [analyse(t, 50 + peak.values(t)).peaks[0].area
             for t in (np.arange(1.0, 601.0), np.arange(1.0, 601.0, 2.0))]
    assert areas == pytest.approx([peak.area, peak.area], rel=0.005)


def test_spikes_are_counted_and_a_clipped_top_is_marked_saturated():
    times = np.arange(1.0, 601.0)
    values = 100 + gaussian(300, 200.0, 5.0).values(times)
    values[[100, 450]] += (15.0, -12.0)
    analysis = analyse(times, np.minimum(values, 220.0))
    assert analysis.spikes == 2
    (peak,) = analysis.peaks
    assert peak.saturated
    assert peak.height == pytest.approx(120.0, abs=0.01)
    assert peak.retention == pytest.approx(300.0, abs=0.5)


def test_a_broad_top_whose_noisy_readings_agree_by_chance_is_not_saturated():
    # Read to 0.01 mV with 0.05 mV of noise: three top readings equal, where
    # the peak falls by only twice the noise.
    times = np.arange(1.0, 601.0)
    rng = np.random.default_rng(SEEDS[0])
    values = np.round(100 + gaussian(300, 11.0, 7.0).values(times)
                      + rng.normal(0, 0.05, times.size), 2)
    values[298:301] = values[298:301].max()
    (peak,) = analyse(times, values).peaks
    assert not peak.saturated


def test_analysis_costs_milliseconds():
    # A year of 15-minute cycles reprocessed in minutes needs a few ms per
    # trace; only a gross slowdown fails here (a loaded machine).
    traces = [synthesize(case.make(case_rng(case, 0)), case_rng(case, 0)) for case in CASES]
    started = time.process_time()
    for times, values in traces:
        analyse(times, values)
    assert (time.process_time() - started) / len(traces) < 0.05
