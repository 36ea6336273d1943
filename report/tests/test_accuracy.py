"""The peak finder against synthetic chromatograms with known peaks."""

import numpy as np
import pytest

from synthetic import (SEEDS, gaussian, measure, noise_only, pair_at_resolution_one,
                       resolution, resolved_gaussians, tailing_peaks, trace)
from tarvex_report.peaks import analyse


def test_the_resolved_set_is_what_the_targets_speak_of():
    peaks, noise = resolved_gaussians()
    assert [p.sigma for p in peaks] == [2.0, 3.0, 5.0, 7.0, 10.0]
    assert min(resolution(a, b) for a, b in zip(peaks, peaks[1:])) >= 1.5
    # S/N = 2H/h with h = 6 noise deviations: 50 for the smallest peak.
    assert 2 * min(p.height for p in peaks) / (6 * noise) == pytest.approx(50)


def test_resolved_gaussians_all_found_within_the_targets():
    errors = measure(resolved_gaussians)
    assert (errors.missed, errors.false) == (0, 0)
    assert errors.peaks == 5 * len(SEEDS)
    assert max(errors.retention) <= 0.5
    assert max(errors.area) <= 2.0
    assert max(errors.height) <= 2.0


def test_tailing_peaks_areas_within_five_percent():
    peaks, _ = tailing_peaks()
    assert max(p.tau / p.sigma for p in peaks) == 1.0
    errors = measure(tailing_peaks)
    assert (errors.missed, errors.false) == (0, 0)
    assert max(errors.area) <= 5.0


@pytest.mark.parametrize("seed", SEEDS)
def test_noise_and_drift_alone_give_no_peak(seed):
    assert noise_only(seed) == []


def test_a_pair_at_resolution_one_is_split_at_the_valley():
    (first, second), noise = pair_at_resolution_one()
    assert resolution(first, second) == pytest.approx(1.0)
    for seed in SEEDS:
        times, values = trace([first, second], noise, seed)
        found = analyse(times, values).peaks
        assert len(found) == 2, seed
        left, right = found
        assert abs(left.retention - first.retention) < 0.5
        assert abs(right.retention - second.retention) < 0.5
        # One drop line: the first ends where the second starts, at the
        # valley, and both stand on one straight baseline.
        assert (left.end_code, right.start_code) == ("V", "V")
        assert (left.start_code, right.end_code) == ("B", "B")
        assert left.end == right.start
        between = (times > first.retention) & (times < second.retention)
        valley = times[between][np.argmin(values[between])]
        assert abs(left.end - valley) <= 2.0
        assert left.line == right.line
        assert left.area + right.area == pytest.approx(first.area + second.area, rel=0.02)


def test_a_flat_noiseless_trace_has_no_peak_and_the_floor_noise():
    analysis = analyse(np.arange(1.0, 200.0), np.full(199, 100.0))
    assert analysis.peaks == []
    assert analysis.noise == pytest.approx(0.01)


def test_a_peak_below_the_signal_to_noise_threshold_is_not_reported():
    # S/N 2H/h = 2 * 4 / (6 * 1) = 1.3 by default; 20 wanted here.
    peak = gaussian(300, 4.0, 3.0)
    times, values = trace([peak], 1.0, 1, seconds=600)
    assert analyse(times, values).peaks == []
    bigger = gaussian(300, 70.0, 3.0)  # S/N 23
    times, values = trace([bigger], 1.0, 1, seconds=600)
    assert len(analyse(times, values).peaks) == 1
    assert analyse(times, values, snr=30).peaks == []


def test_too_short_a_trace_is_not_analysed_and_says_why():
    analysis = analyse([1, 2, 3], [100.0, 180.0, 100.0])
    assert analysis.peaks == []
    assert analysis.note == "only 3 readings: too few to look for peaks"


def test_areas_use_the_readings_own_times():
    # The same peak sampled every second and every two seconds: the areas agree,
    # the trapezoid takes the two-second steps as they are.
    peak = gaussian(300, 100.0, 6.0)
    dense = np.arange(1.0, 601.0)
    sparse = np.arange(1.0, 601.0, 2.0)
    areas = [analyse(t, 50 + gaussian_values(peak, t)).peaks[0].area for t in (dense, sparse)]
    assert areas[0] == pytest.approx(peak.area, rel=0.005)
    assert areas[1] == pytest.approx(peak.area, rel=0.005)


def gaussian_values(peak, times):
    return peak.height * np.exp(-0.5 * ((times - peak.retention) / peak.sigma) ** 2)
