"""Quantitation as a step of `update` (quant/ does the work): after the
results of the new cycles are made, the days whose Meta files or peak
lists changed are quantitated (quant/folder.py, from the state the day
before left), and every cycle whose amounts file changed gets its index
entry and its trend rows again, so its day's index file and its month's
trend file are written again.

Without a standards file nothing can be calibrated: each sample, blank and
check cycle still gets its amounts file, every compound flagged
`uncalibrated` with its area, and calibration cycles make no calibration."""

import os

from .index import write_day
from .problems import Notes
from .store import load_day, save_day
from .trendfiles import with_amounts
from .work import cycle_amounts


def amounts_entry(stamp):
    """The amounts file as the index names it, relative to DIR."""
    return "%s/%s.amounts.csv" % (stamp[:10], stamp)


class QuantStep:
    """The peak table (peaktable.PeakTable) and the standards (quant/
    standards.Standards, or None) of one run, with their files' paths."""

    def __init__(self, table, table_path, standards=None, standards_path=None):
        from .quant.standards import Standards

        self.table, self.table_path = table, table_path
        self.standards = standards or Standards(None, {}, {})
        self.standards_path = standards_path if standards else None

    def run(self, root, out_dir, days, looked, said):
        """Quantitates the days (those with cycles); only the looked-at ones
        can have new inputs. Returns the stamps whose amounts changed."""
        from .quant.folder import update_quantitation

        notes = Notes()
        summary = update_quantitation(root, out_dir, self.table, self.standards,
                                      self.table_path, self.standards_path, notes, days=days,
                                      looked=set(looked))
        said.print(notes.finish())
        return summary.changed


def refresh(update, stamps):
    """The index entries and trend rows of these cycles follow their
    amounts files; their days' index files and months' trend files are
    written again (update: the run, update.Update)."""
    by_day = {}
    for stamp in stamps:
        by_day.setdefault(stamp[:10], []).append(stamp)
    last = (update.state.get("trend") or {}).get("last", "")
    new_rows = dict(update.new_rows)
    for date, day_stamps in sorted(by_day.items()):
        records = load_day(update.out_dir, date)
        if not records:
            continue
        for stamp in day_stamps:
            record = records.get(stamp)
            if record is None:
                continue
            amounts = cycle_amounts(os.path.join(update.out_dir, date), stamp)
            record["amounts"] = amounts_entry(stamp) if amounts is not None else None
            record["rows"] = with_amounts(record.get("rows", ""), amounts)
            if stamp in new_rows:
                new_rows[stamp] = record["rows"]
            elif record["rows"] and stamp <= last:
                update.rebuild_trend = True
        save_day(update.out_dir, date, records)
        write_day(update.out_dir, date, records)
        update.months.add(date[:7])
    update.new_rows = list(new_rows.items())
