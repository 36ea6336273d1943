"""Keeps a report folder up to date with a data root; the service runs it
after every cycle. Its cost is that of the new cycles, not of the root:

1. the days of the root are listed, and only the days whose folder changed
   since the last run (a new file changes its folder), the newest day and
   days never seen are looked at (store.py remembers the rest);
2. each cycle of those days whose files are new or changed (size, time), or
   whose results were made with other settings, gets its results again:
   the AIA file and the peak list, or its .error file -- in worker processes
   when there are many;
3. the day's index file, its month's trend file and the summary are
   rewritten, trend.csv grows by the new rows;
4. figures, the expensive part, follow (figurepass.py): those of the cycles
   new in this run, newest first, and older ones as far as asked.

A change of the settings (settings.py) reports every cycle again, once.

Quantitation (quantstep.py, with a peak table) follows step 2: the days
whose cycles changed are quantitated, and the cycles whose amounts changed
get their index entries and trend rows again (step 3 for their days and
months too)."""

import os
import time

from .days import detector_files, list_days, look_at_day
from .files import remove
from .index import TREND_FOLDER, month_trend_path, now_text, write_day, write_summary
from .problems import UNUSABLE, Notes, say
from .quantstep import amounts_entry, refresh
from .store import figure_pending, load_day, load_root, new_root, save_day, save_root
from .trendfiles import (append_all, rebuild_all, remove_month, trend_rows, with_amounts,
                         write_month)
from .work import Progress, Workers, make_results

OK, CANNOT_WRITE = 0, 1
# Index entries with kind, standard and amounts, trend rows with amounts:
# a folder written before them gets every index and trend file again once.
ENTRIES = 2
# Jobs handed to the workers at once (whole days, so each day is saved
# once its cycles are done).
BATCH_JOBS = 256
# A folder changed this recently may change again within the same tick of
# its clock: it is looked at again next run.
SETTLE_NS = 2 * 10 ** 9
SUMMARY_EVERY_S = 10.0


def changed_parts(old, new):
    """What changed between two settings' parts, in words."""
    words = {"compounds": "peak table", "snr": "options", "code": "program", "report": "program"}
    changed = [words.get(key, key) for key in sorted(set(old) | set(new))
               if old.get(key) != new.get(key)]
    return ", ".join(dict.fromkeys(changed)) or "settings"


class Update:
    """One run of `update` over the results (the figures follow apart)."""

    def __init__(self, root, out_dir, settings, said, quant=None):
        self.root, self.out_dir, self.settings, self.said = root, out_dir, settings, said
        self.quant = quant  # quantstep.QuantStep, or None
        self.with_trend = bool(settings.compounds)
        self.status = OK
        self.new_stamps = []  # cycles whose files are new or changed, for their figures
        self.new_rows = []  # (stamp, rows) of cycles newer than trend.csv's last
        self.months = set()  # months whose trend file must be written
        self.rebuild_trend = False
        self.everything = False  # the settings changed: every cycle is reported again
        self.recovering = False

    def run(self):
        """Brings the results, index and trend up to date; returns the status."""
        state = load_root(self.out_dir)
        if state is None or state["root"] != os.path.abspath(self.root):
            state = new_root(os.path.abspath(self.root))
        self.state = state
        # A run that was stopped half way leaves the mark: the next one looks
        # at every day and writes every index and trend file again.
        self.recovering = bool(state.get("dirty")) or state.get("entries") != ENTRIES
        everything = self.everything = self.note_settings()
        state["dirty"] = True
        save_root(self.out_dir, state)
        days = list_days(self.root)
        for date in [d for d in state["days"] if d not in days]:  # folders removed
            self.forget_day(date)
        newest = max(days) if days else None
        todo = [date for date in sorted(days, reverse=True)
                if everything or self.recovering or date == newest or date not in state["days"]
                or state["days"][date].get("mtime") != days[date]]
        # Counting first costs a listing of each day: only for long runs.
        progress = Progress("results", sum(detector_files(self.root, d) for d in todo)
                            if len(todo) > 1 else 0)
        self.shown = time.monotonic()
        with Workers() as workers:
            # The workers make the results of one batch while this process
            # looks at the next batch's days and records the one before.
            queued = None
            for batch in self.batches(todo, days):
                outcomes = workers.map(make_results, [job for day in batch for job in day.jobs])
                if queued:
                    self.record(*queued, progress)
                queued = (batch, outcomes)
            if queued:
                self.record(*queued, progress)
        if self.quant is not None:
            days = [date for date, info in state["days"].items() if info.get("cycles")]
            refresh(self, self.quant.run(self.root, self.out_dir, days, todo, self.said))
        self.finish_trend()
        write_summary(self.out_dir, state, self.with_trend)
        state["dirty"] = False
        state["entries"] = ENTRIES
        save_root(self.out_dir, state)
        return self.status

    def record(self, batch, outcomes, progress):
        outcomes = iter(outcomes)
        for day in batch:
            for job in day.jobs:
                self.apply(day, job, next(outcomes))
                progress.step()
            self.finish_day(day)
        if time.monotonic() - self.shown > SUMMARY_EVERY_S:  # long runs show what is done
            write_summary(self.out_dir, self.state, self.with_trend)
            self.shown = time.monotonic()

    def note_settings(self):
        """Records the settings; True when they changed (everything is redone)."""
        old = self.state["settings"] or {}
        if old.get("id") == self.settings.id:
            old["peaks"] = self.settings.record("")["peaks"]
            return False
        if old.get("id"):
            say("settings %s replace %s (%s changed): every cycle is reported again"
                % (self.settings.id, old["id"],
                   changed_parts(old.get("parts", {}), self.settings.parts())))
        self.state["settings"] = dict(self.settings.record(now_text()),
                                      parts=self.settings.parts())
        self.rebuild_trend = True
        if not self.with_trend:  # no trend: none that looks current either
            folder = os.path.join(self.out_dir, TREND_FOLDER)
            if os.path.isdir(folder):
                remove([os.path.join(folder, name) for name in os.listdir(folder)])
        return True

    def batches(self, todo, days):
        """The days to look at, newest first, in batches of about BATCH_JOBS
        cycles to report."""
        batch, count = [], 0
        for date in todo:
            day = look_at_day(self.root, self.out_dir, date, days[date], self.settings,
                              self.said, Notes() if self.quant else None)
            batch.append(day)
            count += len(day.jobs)
            if count >= BATCH_JOBS:
                yield batch
                batch, count = [], 0
        if batch:
            yield batch

    def apply(self, day, job, outcome):
        self.said.print(outcome.notes)
        record = day.records[outcome.stamp]
        if outcome.kept is not None:
            record["kept"] = {"id": self.settings.analysis_id, "analysis": outcome.kept}
        if outcome.error:
            self.said.print([(UNUSABLE, job.cycle.pid, outcome.error)])
            record["error"] = outcome.error
            record["kept"] = None
            if outcome.retry:
                self.status = CANNOT_WRITE
        record["made"] = None if outcome.retry else self.settings.id
        if outcome.amounts is not None:
            record["amounts"] = amounts_entry(outcome.stamp)
        if outcome.values is not None and self.with_trend:
            record["rows"] = trend_rows(outcome.stamp, self.settings.compounds, outcome.values,
                                        outcome.amounts or {})
        if outcome.stamp in day.new:
            self.new_stamps.append(outcome.stamp)
        # A cycle newer than the trend's last row adds rows at its end; any
        # other may change rows within it.
        if outcome.stamp > (self.state.get("trend") or {}).get("last", ""):
            if record["rows"]:
                self.new_rows.append((outcome.stamp, record["rows"]))
        else:
            self.rebuild_trend = True
        self.months.add(day.date[:7])

    def finish_day(self, day):
        if not day.jobs and not day.gone and day.date in self.state["days"] \
                and not self.recovering:
            self.state["days"][day.date]["mtime"] = self.settled(day.mtime)
            return
        save_day(self.out_dir, day.date, day.records)
        write_day(self.out_dir, day.date, day.records)
        self.state["days"][day.date] = {
            "mtime": self.settled(day.mtime), "cycles": len(day.records),
            "pending": sum(figure_pending(r, self.settings.id) for r in day.records.values())}
        if day.gone:
            self.months.add(day.date[:7])
            self.rebuild_trend = True

    @staticmethod
    def settled(mtime):
        """The folder's time, or None to look at it again next run when it
        changed so recently that a change within the same tick could follow."""
        return mtime if time.time_ns() - mtime > SETTLE_NS else None

    def forget_day(self, date):
        save_day(self.out_dir, date, {})
        write_day(self.out_dir, date, {})
        del self.state["days"][date]
        self.months.add(date[:7])
        self.rebuild_trend = True

    def finish_trend(self):
        """The changed months' files, then trend.csv extended or put together."""
        if not self.with_trend:
            self.state["trend"] = None
            return
        days = {date: info for date, info in self.state["days"].items() if info.get("cycles")}
        self.months |= {date[:7] for date in days if self.recovering or not os.path.exists(
            os.path.join(self.out_dir, month_trend_path(date[:7])))}
        self.rebuild_trend = self.rebuild_trend or self.recovering
        for month in sorted(self.months):
            dates = sorted(d for d in days if d.startswith(month))
            if not dates:
                remove_month(self.out_dir, month)
                continue
            rows = []
            for date in dates:
                records = load_day(self.out_dir, date)
                # Rows of older versions lack the amount columns.
                rows.extend(records[s].get("rows", "") if "amounts" in records[s] else
                            with_amounts(records[s].get("rows", ""), None)
                            for s in sorted(records))
            write_month(self.out_dir, month, rows)
        trend = self.state.get("trend") or {}
        size = None
        if trend and not self.rebuild_trend:
            self.new_rows.sort()
            size = append_all(self.out_dir, [rows for _, rows in self.new_rows], trend["size"])
        if size is None:
            size = rebuild_all(self.out_dir, sorted({d[:7] for d in days}))
            last = self.newest_with_rows()
        else:
            last = max([trend["last"]] + [stamp for stamp, _ in self.new_rows])
        self.state["trend"] = {"size": size, "last": last}

    def newest_with_rows(self):
        for date in sorted(self.state["days"], reverse=True):
            records = load_day(self.out_dir, date)
            stamps = [stamp for stamp in records if records[stamp].get("rows")]
            if stamps:
                return max(stamps)
        return ""
