"""How each compound is quantitated: the optional fields of its peak-table
line after name, retention_s and window_s.

    benzene   13   3   linear   1/x   readback=5
    *   readback=20   run_gap_h=4

The first two optional fields may name the model and the weighting without a
key; every other field is key=value. A line named "*" sets the defaults of
every compound (a compound's own fields win) and holds the settings of the
whole table. Defaults:

- model rf, the average response factor of the revised US EPA air-toxics
  canister method (TO-15A); weighting 1/x for the regression models
  (weighted least squares keeps the low levels from being fitted worse than
  the high ones over a range of one or two decades; TO-15A names 1/x and
  1/x^2 weighting as alternatives to equal weights);
- acceptance after TO-15A: response factors' RSD below 30 % (model rf) or
  r^2 at least 0.995 (regression models), every level read back within 30 %
  of its certified amount, at least five levels; a check standard within
  30 % of its certified amount;
- the detection limit from the baseline noise (3 sigma) unless mdl= names
  the low-level standard whose replicates give the method detection limit.
"""

import math
from dataclasses import dataclass, replace

MODELS = ("rf", "linear", "linear0", "quadratic")
WEIGHTINGS = ("none", "1/x", "1/x2")
ALIASES = {"1/x^2": "1/x2", "1/x\u00b2": "1/x2", "1/x**2": "1/x2", "equal": "none"}
DEFAULT_WEIGHTING = {"rf": "none", "linear": "1/x", "linear0": "1/x", "quadratic": "1/x"}
# Two calibration cycles further apart than this belong to different runs.
DEFAULT_RUN_GAP_H = 6.0


@dataclass(frozen=True)
class Quantitation:
    model: str = "rf"
    weighting: str = None  # None: the model's default
    rsd: float = 30.0  # percent, largest RSD of the response factors (model rf)
    r2: float = 0.995  # smallest r^2 (regression models)
    readback: float = 30.0  # percent, largest deviation of a level read back
    check: float = 30.0  # percent, largest deviation of a check standard
    levels: int = 5  # fewest calibration levels
    mdl: str = None  # standard id of the low-level replicates, "blank", or None
    problem: str = None  # why the settings cannot be used; the compound stays uncalibrated

    @property
    def weight(self):
        return self.weighting or DEFAULT_WEIGHTING[self.model]


@dataclass(frozen=True)
class TableSettings:
    run_gap_h: float = DEFAULT_RUN_GAP_H


def positive_number(text):
    try:
        value = float(text)
    except ValueError:
        return None
    return value if math.isfinite(value) and value > 0 else None


def percent(text):
    value = positive_number(text)
    return value if value is not None and value < 1000 else None


def fraction(text):
    value = positive_number(text)
    return value if value is not None and value <= 1 else None


def whole(text):
    value = positive_number(text)
    return int(value) if value is not None and value == int(value) else None


# key: (field, converter, what a good value looks like)
KEYS = {
    "model": ("model", lambda t: t if t in MODELS else None, "one of " + ", ".join(MODELS)),
    "weighting": ("weighting", lambda t: t if t in WEIGHTINGS else None,
                  "one of " + ", ".join(WEIGHTINGS)),
    "rsd": ("rsd", percent, "a percentage such as 30"),
    "r2": ("r2", fraction, "a number above 0 and at most 1, such as 0.995"),
    "readback": ("readback", percent, "a percentage such as 30"),
    "check": ("check", percent, "a percentage such as 30"),
    "levels": ("levels", whole, "a whole number of levels such as 5"),
    "mdl": ("mdl", lambda t: t or None, "a standard id of the standards file, or blank"),
}
TABLE_KEYS = {"run_gap_h": ("run_gap_h", positive_number, "a positive number of hours")}


def canonical(text):
    """A model or weighting as written by hand: any case, 1/x^2 for 1/x2."""
    return ALIASES.get(text.lower(), text.lower())


def parse_fields(fields, table_line=False):
    """{field: value} of the optional fields, or (None, problem)."""
    values = {}
    for position, text in enumerate(fields):
        text = text.strip()
        if not text:
            continue
        if "=" in text:
            key, value = (part.strip() for part in text.split("=", 1))
            if key in ("model", "weighting"):
                value = canonical(value)
        elif position == 0 and canonical(text) in MODELS:
            key, value = "model", canonical(text)
        elif position <= 1 and canonical(text) in WEIGHTINGS:
            key, value = "weighting", canonical(text)
        else:
            return None, ("%r is neither a model (%s), a weighting (%s) nor key=value"
                          % (clip(text), ", ".join(MODELS), ", ".join(WEIGHTINGS)))
        known = dict(KEYS, **TABLE_KEYS) if table_line else KEYS
        if key not in known:
            hint = " (it belongs on the * line)" if key in TABLE_KEYS else ""
            return None, "unknown setting %r%s; known: %s" % (clip(key), hint,
                                                             ", ".join(sorted(known)))
        field, convert, good = known[key]
        converted = convert(value)
        if converted is None:
            return None, "%s=%s: expected %s" % (key, clip(value), good)
        if field in values:
            return None, "%s is given twice" % key
        values[field] = converted
    return values, None


def clip(text, length=40):
    return text if len(text) <= length else text[:length] + "..."


def quantitation_of(defaults, values):
    """The compound's settings: the table's defaults with its own values."""
    own = {k: v for k, v in values.items() if k in Quantitation.__dataclass_fields__}
    return replace(defaults, **own)


def table_settings_of(values):
    fields = TableSettings.__dataclass_fields__
    return TableSettings(**{k: v for k, v in values.items() if k in fields})
