"""The amounts in a cycle's AIA/ANDI file: peak_amount of each peak that is
a quantitated compound, -9999 for every other peak. The file is changed on
a copy that then replaces it, so a reader never sees half of it."""

import os
import shutil
import tempfile

import numpy as np
from scipy.io import netcdf_file

from ..aia import MISSING
from ..files import current_umask

# A peak and an amounts row are the same when their retentions agree to the
# peak list's two decimals.
SAME_RETENTION_S = 0.006


def peak_amounts(retentions, rows):
    """peak_amount for peaks at these retention times."""
    amounts = np.full(len(retentions), MISSING, dtype=np.float32)
    for row in rows:
        if row.amount is None or row.retention is None:
            continue
        nearest = int(np.argmin(np.abs(retentions - row.retention))) if len(retentions) else -1
        if nearest >= 0 and abs(retentions[nearest] - row.retention) <= SAME_RETENTION_S:
            amounts[nearest] = row.amount
    return amounts


def fill_peak_amounts(path, rows):
    """True when the file's amounts changed; False when they were right or
    the file has no peaks (or is not there)."""
    try:
        with netcdf_file(path, "r", mmap=False) as cdf:
            if "peak_amount" not in cdf.variables:
                return False
            retentions = np.array(cdf.variables["peak_retention_time"][:], dtype=float)
            current = np.array(cdf.variables["peak_amount"][:], dtype=np.float32)
    except (OSError, TypeError, ValueError):
        return False
    wanted = peak_amounts(retentions, rows)
    if np.array_equal(current, wanted):
        return False
    folder = os.path.dirname(os.path.abspath(path))
    handle, temporary = tempfile.mkstemp(prefix=".%s." % os.path.basename(path), dir=folder)
    os.close(handle)
    try:
        shutil.copyfile(path, temporary)
        with netcdf_file(temporary, "a", mmap=False) as cdf:
            cdf.variables["peak_amount"][:] = wanted
        os.chmod(temporary, 0o666 & ~current_umask())
        os.replace(temporary, path)
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise
    return True
