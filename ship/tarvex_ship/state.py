"""The instrument's own memory of what it has shipped (Python's sqlite3, in
the state folder), so that a run finds what is new without reading the
whole history again:

- folders: the modification time of each day folder when it was last looked
  at (a file made, renamed or removed in it changes it);
- shipped: per cycle, the signature (name, size, modification time) of its
  files as they were shipped;
- pending: the cycles found new or changed and not shipped yet (the
  backlog, oldest first by their stamps);
- calibrations, paniclog: the same for the calibrations and PanicLog;
- settings: what the memory is about (instrument, folders); it is started
  afresh when they change."""

import os
import sqlite3

from .paniclog import Position

SCHEMA = """
CREATE TABLE IF NOT EXISTS settings (name TEXT PRIMARY KEY, value TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS folders (day TEXT PRIMARY KEY, signature TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS shipped (stamp TEXT PRIMARY KEY, signature TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS pending (stamp TEXT PRIMARY KEY);
CREATE TABLE IF NOT EXISTS calibrations (id TEXT PRIMARY KEY, signature TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS paniclog (path TEXT PRIMARY KEY, device INTEGER, inode INTEGER,
                                     offset INTEGER, second TEXT, ordinal INTEGER);
"""
FORGETTABLE = ("folders", "shipped", "pending", "calibrations", "paniclog")


class State:
    def __init__(self, folder, instrument):
        os.makedirs(folder, mode=0o750, exist_ok=True)
        self.path = os.path.join(folder, "%s.sqlite" % instrument)
        self.db = sqlite3.connect(self.path, isolation_level=None)
        self.db.execute("PRAGMA journal_mode=WAL")
        self.db.execute("PRAGMA synchronous=NORMAL")
        self.db.executescript(SCHEMA)

    def close(self):
        self.db.close()

    def transaction(self):
        return Transaction(self.db)

    # ------------------------------------------------------------ settings

    def matches(self, settings):
        """True when the memory is about these settings; otherwise it is
        emptied and takes them (everything is found new again)."""
        known = dict(self.db.execute("SELECT name, value FROM settings"))
        if known == settings:
            return True
        self.forget()
        with self.transaction():
            self.db.execute("DELETE FROM settings")
            self.db.executemany("INSERT INTO settings VALUES (?, ?)", settings.items())
        return not known

    def forget(self):
        with self.transaction():
            for table in FORGETTABLE:
                self.db.execute("DELETE FROM %s" % table)

    # -------------------------------------------------------------- cycles

    def folder_signature(self, day):
        row = self.db.execute("SELECT signature FROM folders WHERE day = ?", (day,)).fetchone()
        return row[0] if row else None

    def set_folder_signature(self, day, signature):
        self.db.execute("INSERT OR REPLACE INTO folders VALUES (?, ?)", (day, signature))

    def shipped_signatures(self, stamps):
        marks = ",".join("?" * len(stamps))
        return dict(self.db.execute(
            "SELECT stamp, signature FROM shipped WHERE stamp IN (%s)" % marks, list(stamps)))

    def add_pending(self, stamps):
        self.db.executemany("INSERT OR IGNORE INTO pending VALUES (?)", [(s,) for s in stamps])

    def pending_count(self):
        return self.db.execute("SELECT count(*) FROM pending").fetchone()[0]

    def oldest_pending(self, limit, after=""):
        return [row[0] for row in self.db.execute(
            "SELECT stamp FROM pending WHERE stamp > ? ORDER BY stamp LIMIT ?", (after, limit))]

    def mark_shipped(self, signatures):
        """signatures: {stamp: signature} of cycles now in the database."""
        with self.transaction():
            self.db.executemany("INSERT OR REPLACE INTO shipped VALUES (?, ?)",
                                signatures.items())
            self.db.executemany("DELETE FROM pending WHERE stamp = ?",
                                [(stamp,) for stamp in signatures])

    def newest_shipped(self):
        return self.db.execute("SELECT max(stamp) FROM shipped WHERE signature NOT LIKE "
                               "'refused:%'").fetchone()[0]

    # -------------------------------------------------------- calibrations

    def calibration_signatures(self):
        return dict(self.db.execute("SELECT id, signature FROM calibrations"))

    def mark_calibrations(self, signatures):
        with self.transaction():
            self.db.executemany("INSERT OR REPLACE INTO calibrations VALUES (?, ?)",
                                signatures.items())

    # ------------------------------------------------------------ PanicLog

    def panic_position(self, path):
        row = self.db.execute("SELECT device, inode, offset, second, ordinal FROM paniclog "
                              "WHERE path = ?", (path,)).fetchone()
        return Position(*row) if row else Position()

    def set_panic_position(self, path, position):
        with self.transaction():
            self.db.execute("INSERT OR REPLACE INTO paniclog VALUES (?, ?, ?, ?, ?, ?)",
                            (path, position.device, position.inode, position.offset,
                             position.second, position.ordinal))


class Transaction:
    def __init__(self, db):
        self.db = db

    def __enter__(self):
        self.db.execute("BEGIN IMMEDIATE")

    def __exit__(self, kind, value, traceback):
        self.db.execute("COMMIT" if kind is None else "ROLLBACK")
