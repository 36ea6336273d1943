"""Quantitation of a sequence of cycles, in time order: calibrations from
the calibration runs, amounts with their flags for the other cycles.

A calibration run is a sequence of calibration cycles, blanks allowed
between them: any other cycle, or more than run_gap_h hours between two
calibration cycles, ends it.
Its id is its first cycle's stamp; it is fitted again with each cycle it
gains, identifying the peaks around the retention times in force before it.
A compound's latest calibration decides it: an accepted curve is used from
the run's last cycle on (in_force_from) until the compound's next
calibration, a failed one leaves it uncalibrated; a compound the run had no
standard for keeps its curve.

Everything carried from one cycle to the next is the state, a plain
JSON-able dict: the state before a day's first cycle, with that day's and
the later cycles, gives exactly what a run over all cycles gives, so a
change (a new calibration, a late cycle) needs the cycles from its day on
only, until the state after a day equals the one stored before."""

import copy
from dataclasses import dataclass, field
from datetime import datetime

import numpy as np

from .calibration import calibrate
from .detection import KEPT_REPLICATES, mdl
from .identify import identify, place
from .settings import TableSettings
from .amounts import AmountRow, row_of

STAMP_FORMAT = "%Y-%m-%d_%H-%M-%S"


def empty_state():
    # curves: {name: the compound's latest calibration outcome}; centres:
    # {name: retention of its latest accepted calibration}; checks: {name:
    # whether its latest check passed}; blanks: {name: whether its latest
    # blank was above the detection limit}; replicates: {name: {"spiked":
    # [...], "blank": [...]}}; run: the calibration run still open;
    # latest_check, latest_blank: the results of the latest check and blank.
    return {"curves": {}, "centres": {}, "checks": {}, "blanks": {}, "replicates": {},
            "run": None, "latest_check": [], "latest_blank": []}


@dataclass
class Outcome:
    rows: list = None  # AmountRow per compound; None: no amounts for this cycle
    calibration: dict = None  # the run's calibration as it stands after this cycle
    checks: list = field(default_factory=list)
    blanks: list = field(default_factory=list)


@dataclass
class Quantified:
    calibrations: dict = field(default_factory=dict)  # id -> its latest calibration
    amounts: dict = field(default_factory=dict)  # stamp -> [AmountRow]
    checks: list = field(default_factory=list)
    blanks: list = field(default_factory=list)
    remarks: list = field(default_factory=list)
    state: dict = None  # after the last cycle
    states: dict = field(default_factory=dict)  # day -> the state before its first cycle


def quantify(cycles, compounds, standards, settings=TableSettings(), state=None,
             keep_states=False):
    """Calibrations and amounts of the cycles (inputs.CycleInput), starting
    from state (None: from nothing)."""
    ledger = Ledger(compounds, standards, settings, state)
    result = Quantified()
    for cycle in sorted(cycles, key=lambda c: c.stamp):
        if keep_states and cycle.stamp[:10] not in result.states:
            result.states[cycle.stamp[:10]] = ledger.snapshot()
        outcome = ledger.step(cycle)
        if outcome.calibration:
            result.calibrations[outcome.calibration["id"]] = outcome.calibration
        if outcome.rows is not None:
            result.amounts[cycle.stamp] = outcome.rows
        result.checks += outcome.checks
        result.blanks += outcome.blanks
    result.remarks = ledger.remarks
    result.state = ledger.snapshot()
    return result


def hours_between(first, second):
    delta = datetime.strptime(second, STAMP_FORMAT) - datetime.strptime(first, STAMP_FORMAT)
    return delta.total_seconds() / 3600.0


class Ledger:
    def __init__(self, compounds, standards, settings=TableSettings(), state=None):
        self.compounds = list(compounds)
        self.standards = standards
        self.settings = settings
        self.state = copy.deepcopy(state) if state else empty_state()
        self.remarks = []
        self._placed = (None, None)

    def placed(self, centres=None):
        """The compounds at the retention times in force (cached: they change
        with calibrations only)."""
        centres = self.state["centres"] if centres is None else centres
        key = tuple(sorted(centres.items()))
        if self._placed[0] != key:
            self._placed = (key, place(self.compounds, centres))
        return self._placed[1]

    def snapshot(self):
        return copy.deepcopy(self.state)

    def step(self, cycle):
        # Absurd areas overflow to inf or nan, which the judging refuses:
        # no need for numpy's warnings on the journal.
        with np.errstate(all="ignore"):
            return self.quantitate(cycle)

    def quantitate(self, cycle):
        if cycle.meta.kind == "calibration" and not self.standards.amounts:
            self.state["run"] = None  # no standards file: nothing to calibrate against
            return Outcome()
        if cycle.meta.kind == "calibration":
            return Outcome(calibration=self.calibration_cycle(cycle))
        if cycle.meta.kind != "blank":  # a blank between two standards is usual practice
            self.state["run"] = None
        if cycle.meta.kind is None or cycle.peaks is None:
            return Outcome()
        return self.measured_cycle(cycle)

    # -------------------------------------------------------- calibration

    def calibration_cycle(self, cycle):
        state = self.state
        run = state["run"]
        if run and hours_between(run["stamps"][-1], cycle.stamp) > self.settings.run_gap_h:
            run = None
        if run is None:
            run = {"id": cycle.stamp, "stamps": [], "records": [], "excluded": [],
                   "before": {key: copy.deepcopy(state[key])
                              for key in ("curves", "centres", "checks")}}
            state["run"] = run
        run["stamps"].append(cycle.stamp)
        reason = self.unusable_standard(cycle)
        if reason:
            run["excluded"].append({"stamp": cycle.stamp, "reason": reason})
            self.remarks.append("%s: %s; left out of calibration %s" % (cycle.stamp, reason,
                                                                       run["id"]))
        else:
            found = identify(cycle.peaks, self.placed(run["before"]["centres"]))
            run["records"].append({
                "stamp": cycle.stamp, "standard": cycle.meta.standard, "noise": cycle.noise,
                "found": {name: [f.peak.retention, f.peak.area, f.peak.width, f.saturated,
                                 f.shifted] for name, f in found.items()}})
        calibration = calibrate(run["id"], run["stamps"], run["records"], self.compounds,
                                self.standards)
        calibration["excluded"] = list(run["excluded"])
        for key in ("curves", "centres", "checks"):
            state[key] = copy.deepcopy(run["before"][key])
        for entry in calibration["compounds"]:
            name = entry["name"]
            state["curves"][name] = {"calibration": run["id"], "accepted": entry["accepted"],
                                     "coefficients": entry["coefficients"],
                                     "range": entry["range"], "lod": entry["lod"]}
            if entry["accepted"]:
                state["centres"][name] = entry["rt_s"]
                state["checks"].pop(name, None)
        return calibration

    def unusable_standard(self, cycle):
        if not cycle.meta.completed:
            return "the cycle ended with exit status %d" % cycle.meta.exit_status
        if cycle.peaks is None:
            return "no peak list"
        if not cycle.meta.standard:
            return "no standard named in its Meta file"
        if cycle.meta.standard not in self.standards.amounts:
            return "standard %s is not in %s" % (cycle.meta.standard, self.standards.path)
        return None

    # --------------------------------------------- samples, blanks, checks

    def measured_cycle(self, cycle):
        state = self.state
        found = identify(cycle.peaks, self.placed())
        drafts = {c.name: row_of(c, found.get(c.name), state["curves"].get(c.name),
                                 self.standards.unit(c.name)) for c in self.compounds}
        outcome = Outcome()
        meta = cycle.meta
        if meta.completed:
            if meta.standard:
                self.replicate(cycle, drafts)
            if meta.kind == "check" and meta.standard not in self.standards.amounts:
                if self.standards.amounts:  # without a standards file nothing is judged
                    self.remarks.append("%s: check standard %s is not in %s; the check is not "
                                        "judged" % (cycle.stamp, meta.standard,
                                                    self.standards.path))
            elif meta.kind == "check":
                outcome.checks = state["latest_check"] = self.check(cycle, drafts)
            elif meta.kind == "blank":
                outcome.blanks = state["latest_blank"] = self.blank(cycle, drafts)
        outcome.rows = [self.flagged(c, *drafts[c.name]) for c in self.compounds]
        return outcome

    def lod(self, compound):
        """The detection limit in force: the method detection limit when
        the compound has one and enough replicates, else the curve's."""
        curve = self.state["curves"].get(compound.name) or {}
        if compound.quant.mdl:
            kept = self.state["replicates"].get(compound.name, {})
            spiked = None if compound.quant.mdl == "blank" else kept.get("spiked", [])
            limit = mdl(spiked, kept.get("blank", []))
            if limit is not None:
                return limit
        return curve.get("lod")

    def flagged(self, compound, row, flags):
        if self.state["checks"].get(compound.name) is False:
            flags.add("qc-fail")
        if self.state["blanks"].get(compound.name):
            flags.add("blank")
        lod = self.lod(compound)
        if row.amount is not None and lod is not None and row.amount < lod:
            flags.add("lod")
        return row.with_flags(flags)

    def replicate(self, cycle, drafts):
        """A cycle of a compound's low-level standard is one of its spiked
        replicates; a blank is a blank replicate of every compound."""
        for compound in self.compounds:
            wanted = compound.quant.mdl
            row, _ = drafts[compound.name]
            if wanted and wanted == cycle.meta.standard and row.amount is not None:
                self.keep_replicate(compound.name, "spiked", row.amount)

    def keep_replicate(self, name, kind, value):
        kept = self.state["replicates"].setdefault(name, {"spiked": [], "blank": []})[kind]
        kept.append(value)
        del kept[:-KEPT_REPLICATES]

    def check(self, cycle, drafts):
        results = []
        limitless = {c.name for c in self.compounds if c.quant.mdl == cycle.meta.standard}
        for compound in self.compounds:
            certified = self.standards.amount(cycle.meta.standard, compound.name)
            if certified is None or compound.name in limitless:
                continue
            row, flags = drafts[compound.name]
            result = {"stamp": cycle.stamp, "standard": cycle.meta.standard,
                      "name": compound.name, "certified": certified, "amount": row.amount,
                      "unit": row.unit, "deviation_percent": None, "passed": None,
                      "limit_percent": compound.quant.check}
            if "uncalibrated" not in flags:
                deviation = None if row.amount is None else 100.0 * (row.amount / certified - 1)
                result["passed"] = deviation is not None and abs(deviation) <= compound.quant.check
                result["deviation_percent"] = None if deviation is None else round(deviation, 2)
                self.state["checks"][compound.name] = result["passed"]
            results.append(result)
        return results

    def blank(self, cycle, drafts):
        results = []
        for compound in self.compounds:
            row, flags = drafts[compound.name]
            if compound.quant.mdl:
                self.keep_replicate(compound.name, "blank", row.amount)
            lod = self.lod(compound)
            found = "not-found" not in flags
            if row.amount is not None and lod is not None:
                above = row.amount > lod
            else:
                above = found  # a reported peak is well above 3 sigma of the noise
            self.state["blanks"][compound.name] = above
            results.append({"stamp": cycle.stamp, "name": compound.name, "amount": row.amount,
                            "unit": row.unit, "area_mVs": row.area, "lod": lod,
                            "above": above})
        return results


__all__ = ["quantify", "Ledger", "Quantified", "AmountRow"]
