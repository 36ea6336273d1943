"""Writes one cycle as an AIA/ANDI chromatography file (ASTM E1947): netCDF
classic, raw data (the detector trace in mV, evenly sampled, times in
seconds) and, when there are peaks, the peak processing results.

Chromatography data systems refuse files without a uniform sampling flag of
"Y", a sampling interval, detector and retention units and detector limits;
the format has no place for uneven times, so missing seconds are filled by
linear interpolation and the file's comments say which.
"""

import math
from datetime import datetime

import numpy as np
from scipy.io import netcdf_file

from . import __version__
from .peaks import PEAK_TO_PEAK_SIGMAS, uniform_grid

STRING_LENGTHS = (2, 4, 8, 16, 32, 64, 128, 255)
MISSING = -9999.0
# Importers refuse detector limits beyond this; every float must fit a float32.
DETECTOR_LIMIT = 1e12
FLOAT32_MAX = float(np.finfo(np.float32).max)
# Missing seconds listed by number in the comments; beyond, counted.
LISTED_GAPS = 20


def timestamp(moment):
    """YYYYMMDDhhmmss+hhmm, local time with its offset from UTC."""
    return moment.astimezone().strftime("%Y%m%d%H%M%S%z")


def resampled(times, values):
    """The trace on its even grid, and the grid times that had no reading."""
    grid, on_grid = uniform_grid(times, values)
    nearest = np.minimum(np.searchsorted(times, grid), len(times) - 1)
    before = np.maximum(nearest - 1, 0)
    gap = np.minimum(np.abs(times[nearest] - grid), np.abs(times[before] - grid))
    return grid, on_grid, grid[gap > 1e-6]


def fill_comment(filled, count):
    if len(filled) == 0:
        return "Every point is a reading; none was filled in."
    listed = ", ".join("%g" % t for t in filled[:LISTED_GAPS])
    more = " and %d more" % (len(filled) - LISTED_GAPS) if len(filled) > LISTED_GAPS else ""
    return ("%d of %d points had no reading (s %s%s) and were filled by linear "
            "interpolation between the neighbouring readings." % (len(filled), count, listed, more))


def text_array(texts, length):
    """Fixed-length UTF-8 fields, each text cut on a character boundary."""
    rows = np.zeros((len(texts), length), dtype="S1")
    for row, text in zip(rows, texts):
        encoded = text.encode("utf-8")[:length].decode("utf-8", "ignore").encode("utf-8")
        row[:len(encoded)] = np.frombuffer(encoded, dtype="S1")
    return rows


def floats(values, limit=FLOAT32_MAX):
    """float32 values, with MISSING in place of anything not finite or beyond
    limit (the readers keep readings within the detector's range, so this
    guards only against a fault in the analysis)."""
    values = np.asarray(values, dtype=float)
    fit = np.isfinite(values) & (np.abs(values) <= limit)
    return np.where(fit, values, MISSING).astype(np.float32)


def write_cdf(target, cycle, trace, analysis, names, target_volume="", settings=None):
    """Writes the file (netCDF classic) to target, a path or a binary
    stream. names: one per peak; settings (a Settings) are recorded in the
    peak processing attributes."""
    grid, on_grid, filled = resampled(trace.times, trace.values)
    now = datetime.now()
    peaks = analysis.peaks
    with netcdf_file(target, "w", version=1) as cdf:
        for length in STRING_LENGTHS:
            cdf.createDimension("_%d_byte_string" % length, length)
        cdf.createDimension("point_number", len(grid))
        cdf.createDimension("error_number", 1)
        if peaks:
            cdf.createDimension("peak_number", len(peaks))
        attributes = global_attributes(cycle, now, analysis, target_volume,
                                       fill_comment(filled, len(grid)), settings)
        for name, value in attributes.items():
            setattr(cdf, name, value.encode("utf-8"))  # scipy would take only ASCII text
        errors = cdf.createVariable("error_log", "c", ("error_number", "_64_byte_string"))
        errors[:] = text_array([""], 64)
        scalars = {
            "detector_maximum_value": float(np.max(on_grid)),
            "detector_minimum_value": float(np.min(on_grid)),
            "actual_run_time_length": float(grid[-1]),
            "actual_sampling_interval": float(grid[1] - grid[0]) if len(grid) > 1 else 1.0,
            "actual_delay_time": float(grid[0]),
        }
        for name, value in scalars.items():
            fit = math.isfinite(value) and abs(value) <= DETECTOR_LIMIT
            cdf.createVariable(name, "f", ()).assignValue(value if fit else MISSING)
        ordinate = cdf.createVariable("ordinate_values", "f", ("point_number",))
        ordinate[:] = floats(on_grid)
        ordinate.uniform_sampling_flag = "Y"
        if peaks:
            write_peaks(cdf, peaks, names)


def global_attributes(cycle, now, analysis, target_volume, filling, settings=None):
    injection = cycle.start
    comments = ("Tarvex cycle %s. Times count from the opening of the detector window; "
                "the cycle started at %s. %s" % (cycle.stamp, injection.strftime("%H:%M"), filling))
    return {
        "dataset_completeness": "C1+C2" if analysis.peaks else "C1",
        "aia_template_revision": "1.0.1",
        "netcdf_revision": "3",
        "languages": "English",
        "administrative_comments": comments,
        "dataset_origin": "Tarvex, tarvex-report %s" % __version__,
        "dataset_owner": "",
        "dataset_date_time_stamp": timestamp(now),
        "injection_date_time_stamp": timestamp(injection),
        "experiment_title": "Tarvex cycle %s" % cycle.stamp,
        "operator_name": "",
        "separation_experiment_type": "gas chromatography",
        "company_method_name": "",
        "sample_name": cycle.stamp,
        "sample_id": cycle.stamp,
        "sample_type": "",
        "sample_injection_volume": "",
        "sample_amount": target_volume,
        "detection_method_name": "PID",
        "detector_name": "PID",
        "detector_unit": "mV",
        "raw_data_table_name": "PID_%s.dat" % cycle.stamp,
        "retention_unit": "Seconds",
        "peak_processing_results_table_name": "%s.peaks.csv" % cycle.stamp,
        "peak_processing_results_comments": processing_comment(analysis) + (
            " " + settings.describe() if settings else ""),
        "peak_processing_method_name": "tarvex-report %s" % __version__ + (
            ", settings %s" % settings.id if settings else ""),
        "peak_processing_date_time_stamp": timestamp(now),
    }


def processing_comment(analysis):
    if analysis.note:
        return "No peak processing: %s." % analysis.note
    text = ("Baseline noise %.4g mV (standard deviation); peaks at signal-to-noise 2H/h of at "
            "least the threshold, h = %g standard deviations; groups split at the valleys by "
            "drop lines; areas by trapezoid over the readings' own times."
            % (analysis.noise, PEAK_TO_PEAK_SIGMAS))
    saturated = [str(number) for number, peak in enumerate(analysis.peaks, start=1)
                 if peak.saturated]
    if saturated:
        text += (" Saturated (flat top, the detector clipped it; height and area too small): "
                 "peak%s %s." % ("" if len(saturated) == 1 else "s", ", ".join(saturated)))
    if analysis.spikes:
        text += " One-reading spikes left out: %d." % analysis.spikes
    return text


def share(values):
    """Percent of the total; missing when the total is not positive."""
    total = values.sum()
    return 100.0 * values / total if total > 0 else np.full(len(values), MISSING)


def write_peaks(cdf, peaks, names):
    areas = np.array([p.area for p in peaks])
    heights = np.array([p.height for p in peaks])
    columns = {
        "peak_retention_time": [p.retention for p in peaks],
        "peak_start_time": [p.start for p in peaks],
        "peak_end_time": [p.end for p in peaks],
        "peak_width": [p.width for p in peaks],
        "peak_area": areas,
        "peak_area_percent": share(areas),
        "peak_height": heights,
        "peak_height_percent": share(heights),
        "baseline_start_time": [p.start for p in peaks],
        "baseline_start_value": [float(p.baseline_at(p.start)) for p in peaks],
        "baseline_stop_time": [p.end for p in peaks],
        "baseline_stop_value": [float(p.baseline_at(p.end)) for p in peaks],
        "peak_amount": [MISSING] * len(peaks),
    }
    for name, values in columns.items():
        variable = cdf.createVariable(name, "f", ("peak_number",))
        variable[:] = floats(values)
    cdf.createVariable("peak_name", "c", ("peak_number", "_32_byte_string"))[:] = \
        text_array(names, 32)
    cdf.createVariable("peak_start_detection_code", "c", ("peak_number", "_2_byte_string"))[:] = \
        text_array([p.start_code for p in peaks], 2)
    cdf.createVariable("peak_stop_detection_code", "c", ("peak_number", "_2_byte_string"))[:] = \
        text_array([p.end_code for p in peaks], 2)
