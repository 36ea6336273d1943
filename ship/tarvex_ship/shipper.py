"""tarvex-ship ship: what is new or changed for one instrument goes to the
central database, oldest first, in batches; what could not go stays in the
backlog for the next run."""

import fcntl
import os
import re
import signal
from datetime import timezone

import psycopg

from . import scan
from .cycle import read_cycle, row_hash
from .database import Link, Unreachable, check_instrument, check_schema, first_line
from .paniclog import read_new_entries
from .problems import (BAD_INPUT, SHIPPED, STOPPED, UNREACHABLE, BadInput, Notes, say)
from .reportfiles import calibration_in_force, calibration_row
from .state import State
from .upload import (CALIBRATION_UPSERT, ENSURE_MONTHS, PANIC_UPSERT, refused_for_its_content,
                     ship_batch, ship_rows)

INDEX = re.compile(r"(index)\.json")
CALIBRATION_FILE = re.compile(r"(calibration)\.json")
BATCH_ATTEMPTS = 5


class Run:
    def __init__(self, args):
        self.args = args
        self.instrument = args.instrument
        self.notes = Notes()
        self.stop_requested = False
        self.shipped = []  # the first and the last stamp shipped
        self.shipped_count = 0
        self.refused = 0
        self.unreadable = 0
        self.months = set()

    # ------------------------------------------------------------------ files

    def find_new(self, state):
        root, reports = self.args.root, self.args.reports
        if not state.matches({"instrument": self.instrument, "root": root, "reports": reports}):
            say("%s: memory of other settings (instrument or folders); every cycle is looked "
                "at again" % state.path)
        scan.find_changed(root, reports, state, full=self.args.full)

    def changed_calibrations(self, state):
        folder = os.path.join(self.args.reports, "calibration")
        index = os.path.join(folder, "index.json")
        index_signature = scan.signature(scan.listing(folder, INDEX).get("index", {}))
        known = state.calibration_signatures()
        changed = {}
        try:
            entries = [entry for entry in os.scandir(folder) if entry.is_dir()]
        except FileNotFoundError:
            return [], {}
        for entry in entries:
            if not re.fullmatch(scan.STAMP, entry.name) or not scan.valid_stamp(entry.name):
                continue
            files = scan.listing(entry.path, CALIBRATION_FILE)
            if "calibration" not in files:
                continue
            signature = scan.signature(files["calibration"]) + "|" + index_signature
            if known.get(entry.name) != signature:
                changed[entry.name] = signature
        if not changed:
            return [], {}
        in_force = calibration_in_force(index, read_or_none(index), self.notes)
        rows = []
        for name in sorted(changed):
            path = os.path.join(folder, name, "calibration.json")
            row = calibration_row(path, name, read_or_none(path) or b"", in_force, self.notes)
            if row is not None:
                row["instrument"] = self.instrument
                row["sha256"] = row_hash(row)
                rows.append(row)
        return rows, changed

    # --------------------------------------------------------------- database

    def ensure_months(self, connection, cycles):
        """Partitions for the months of these cycles; the cycles of a month
        the database refuses are returned with the reason."""
        refused = []
        for month in sorted({month_of(cycle) for cycle in cycles} - self.months):
            members = [cycle for cycle in cycles if month_of(cycle) == month]
            try:
                connection.execute(ENSURE_MONTHS, [[members[0].started]])
                self.months.add(month)
            except psycopg.Error as error:
                if not refused_for_its_content(error):
                    raise
                refused += [(cycle, first_line(error)) for cycle in members]
        return refused

    def ship_cycles(self, link, connection, state):
        after = ""
        while not self.stop_requested:
            stamps = state.oldest_pending(self.args.batch, after)
            if not stamps:
                return connection
            after = stamps[-1]
            cycles = []
            for stamp in stamps:
                try:
                    cycles.append(read_cycle(self.args.root, self.args.reports, stamp,
                                             self.instrument, self.notes))
                except OSError as error:
                    self.unreadable += 1
                    self.notes.add(getattr(error, "filename", None) or stamp,
                                   "cannot be read (%s); the cycle waits for the next run"
                                   % (error.strerror or error))
            for attempt in range(1, BATCH_ATTEMPTS + 1):
                try:
                    refused = self.ensure_months(connection, cycles)
                    bad = {cycle.stamp for cycle, _ in refused}
                    refused += ship_batch(connection, self.instrument,
                                          [cycle for cycle in cycles if cycle.stamp not in bad])
                    break
                except psycopg.OperationalError as error:
                    # The link dropped, or the server gave up the transactions
                    # (a deadlock, a restart): the batch again on a new connection.
                    if attempt == BATCH_ATTEMPTS:
                        raise
                    say("connection lost (%s); connecting again" % first_line(error))
                    connection.close()
                    connection = link.connect()
            for cycle, reason in refused:
                self.refused += 1
                say("cycle %s refused by the database: %s" % (cycle.stamp, reason))
            refused_stamps = {cycle.stamp for cycle, _ in refused}
            state.mark_shipped({cycle.stamp: (scan.REFUSED if cycle.stamp in refused_stamps
                                              else "") + cycle.signature for cycle in cycles})
            went = [cycle.stamp for cycle in cycles if cycle.stamp not in refused_stamps]
            if went:
                self.shipped = [(self.shipped or went)[0], went[-1]]
                self.shipped_count += len(went)
        return connection

    def check_restored(self, connection, state):
        """A database that lacks the newest cycle this instrument shipped was
        restored from an older backup (or is another one): everything is
        looked at again, and what it lacks is shipped."""
        newest = state.newest_shipped()
        if newest is None:
            return
        have = connection.execute(
            "SELECT started FROM tarvex_store.cycle WHERE instrument = %s "
            "ORDER BY started DESC LIMIT 1", [self.instrument]).fetchone()
        if have is None or have[0] < scan.stamp_time(newest):
            say("the database lacks cycles this instrument shipped (newest %s): restored from "
                "an older backup? Every cycle is looked at again" % newest)
            state.forget()
            scan.find_changed(self.args.root, self.args.reports, state, full=True)

    # -------------------------------------------------------------------- run

    def run(self, state):
        self.find_new(state)
        calibrations, calibration_signatures = self.changed_calibrations(state)
        panic_path = self.args.paniclog
        position = state.panic_position(panic_path) if panic_path else None
        entries, next_position = ([], None) if not panic_path else \
            read_new_entries(panic_path, position, self.notes)
        for entry in entries:
            entry["instrument"] = self.instrument
            entry["sha256"] = row_hash({k: v for k, v in entry.items() if k != "instrument"})

        link = Link(self.args.dsn, "tarvex-ship " + self.instrument, self.args.retry_for)
        try:
            connection = link.connect()
            try:
                check_schema(connection)
                check_instrument(connection, self.instrument)
                self.check_restored(connection, state)
                connection = self.ship_cycles(link, connection, state)
                if not self.stop_requested:
                    ship_rows(connection, CALIBRATION_UPSERT, calibrations)
                    state.mark_calibrations(calibration_signatures)
                    ship_rows(connection, PANIC_UPSERT, entries)
                    if next_position is not None:
                        state.set_panic_position(panic_path, next_position)
            finally:
                connection.close()
        except Unreachable as down:
            self.report()
            say("database unreachable after %d attempt%s in %.0f s (%s): %d cycles of %s wait "
                "for the next run" % (down.attempts, "s" if down.attempts > 1 else "",
                                      down.waited, down.reason, state.pending_count(),
                                      self.instrument))
            return UNREACHABLE
        except psycopg.OperationalError as error:
            self.report()
            say("database connection lost (%s): %d cycles of %s wait for the next run"
                % (first_line(error), state.pending_count(), self.instrument))
            return UNREACHABLE
        self.report(len(calibrations), len(entries))
        if self.stop_requested:
            say("stopped by SIGTERM: %d cycles of %s wait for the next run"
                % (state.pending_count(), self.instrument))
            return STOPPED
        if self.notes.unusable_count or self.refused or self.unreadable:
            return BAD_INPUT
        return SHIPPED

    def report(self, calibrations=0, entries=0):
        if self.shipped_count or calibrations or entries:
            span = " (%s to %s)" % tuple(self.shipped) if self.shipped else ""
            say("shipped %d cycle%s%s, %d calibration%s, %d PanicLog entr%s of %s" % (
                self.shipped_count, "" if self.shipped_count == 1 else "s", span,
                calibrations, "" if calibrations == 1 else "s",
                entries, "y" if entries == 1 else "ies", self.instrument))


def month_of(cycle):
    utc = cycle.started.astimezone(timezone.utc)
    return utc.year, utc.month


def read_or_none(path):
    try:
        with open(path, "rb") as stream:
            return stream.read()
    except FileNotFoundError:
        return None


def ship(args):
    if not os.path.isdir(args.root):
        raise BadInput("%s: the data root is not a folder" % args.root)
    args.root = os.path.realpath(args.root)
    args.reports = os.path.realpath(args.reports)
    if args.paniclog:
        args.paniclog = os.path.realpath(args.paniclog)
    os.makedirs(args.state, mode=0o750, exist_ok=True)
    lock = open(os.path.join(args.state, "%s.lock" % args.instrument), "w")
    try:
        fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        say("another tarvex-ship is shipping %s (lock %s); this run leaves it to that one"
            % (args.instrument, lock.name))
        return UNREACHABLE
    run = Run(args)

    def stop(signum, frame):
        run.stop_requested = True
    previous = signal.signal(signal.SIGTERM, stop)
    state = State(args.state, args.instrument)
    try:
        return run.run(state)
    finally:
        state.close()
        signal.signal(signal.SIGTERM, previous)
        lock.close()
