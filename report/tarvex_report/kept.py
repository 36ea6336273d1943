"""A cycle's analysis kept between runs: finding the peaks is half the work
of a result, and a new peak table changes only their names. So each
cycle's record keeps its analysis -- the peaks and what was said of the
trace, without the arrays of the baseline estimate -- with the id of what
made it (the detector file's size and time are in the record already);
`update` uses it when only the names can have changed.

The analysis is kept as JSON of its data classes, rebuilt only from the
classes of the peaks module; anything else is not kept, and a kept
analysis that cannot be rebuilt is simply made again."""

import dataclasses
import math

import numpy as np

from . import peaks


def encode(value):
    """JSON-ready form of an analysis; TypeError for what cannot be kept."""
    if dataclasses.is_dataclass(value) and not isinstance(value, type):
        return {"class": type(value).__name__,
                "fields": {f.name: encode(getattr(value, f.name))
                           for f in dataclasses.fields(value)}}
    if isinstance(value, np.ndarray):
        return {"array": str(value.dtype)}  # the baseline estimate: for figures only
    if isinstance(value, (list, tuple)):
        return {"list" if isinstance(value, list) else "tuple": [encode(v) for v in value]}
    if isinstance(value, (bool, np.bool_)):
        return bool(value)
    if isinstance(value, (int, np.integer)):
        return int(value)
    if isinstance(value, (float, np.floating)):
        value = float(value)
        return value if math.isfinite(value) else {"float": repr(value)}
    if value is None or isinstance(value, str):
        return value
    raise TypeError("cannot keep a %s" % type(value).__name__)


def decode(data):
    if isinstance(data, dict):
        if "class" in data:
            kind = getattr(peaks, data["class"])
            if not dataclasses.is_dataclass(kind):
                raise TypeError("%s is no data class" % data["class"])
            return kind(**{name: decode(value) for name, value in data["fields"].items()})
        if "array" in data:
            return np.empty(0, dtype=data["array"])
        if "list" in data:
            return [decode(v) for v in data["list"]]
        if "tuple" in data:
            return tuple(decode(v) for v in data["tuple"])
        return float(data["float"])
    return data
