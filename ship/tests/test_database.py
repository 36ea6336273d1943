"""The central database as its administrator sets it up: migrations and
their versions, and least privilege for the instruments' and the reader's
roles."""

from datetime import datetime

import psycopg
import pytest

from conftest import rows, tool
from instrument_files import meta, write_cycle, write_cycles

WHEN = datetime(2026, 12, 8, 10, 0)


def connect_as(lab, role):
    return psycopg.connect(lab.server.dsn(role, lab.database), autocommit=True,
                           passfile=lab.server.passfile)


@pytest.fixture
def two_instruments(lab1, lab2):
    write_cycles(lab1.root, lab1.reports, WHEN, 2, meta=meta())
    write_cycles(lab2.root, lab2.reports, WHEN, 2, meta=meta(instrument="lab2"))
    for lab in (lab1, lab2):
        assert lab.ship()[0] == 0
    return lab1, lab2


ROW = {"i": "lab2", "t": WHEN.astimezone(), "h": b"x"}
AS_LAB1 = [
    # (what lab1's role tries, the statement, the refusal or the rows it touches)
    ("insert a row of lab2", "INSERT INTO tarvex_store.cycle (instrument, started, stamp, sha256) "
     "VALUES (%(i)s, %(t)s, 'x', %(h)s)", 'new row violates row-level security policy for table '
     '"cycle"'),
    ("move its own row to lab2", "UPDATE tarvex_store.cycle SET instrument = %(i)s",
     "permission denied for table cycle"),
    ("change rows of lab2", "UPDATE tarvex_store.cycle SET kind = 'blank' WHERE instrument = %(i)s",
     0),
    ("delete peaks of lab2", "DELETE FROM tarvex_store.peak WHERE instrument = %(i)s", 0),
    ("upsert over a row of lab2", "INSERT INTO tarvex_store.trace (instrument, started, times, "
     "millivolts, sha256) VALUES (%(i)s, %(t)s, '{1}', '{1}', %(h)s) ON CONFLICT (instrument, "
     "started) DO UPDATE SET sha256 = %(h)s",
     'new row violates row-level security policy for table "trace"'),
    ("read the cycles", "SELECT * FROM tarvex.cycles", "permission denied for view cycles"),
    ("read the network's state", "SELECT * FROM tarvex.instrument_status",
     "permission denied for view instrument_status"),
    ("read a partition", "SELECT * FROM tarvex_store.cycle_2026_12",
     "permission denied for table cycle_2026_12"),
    ("make a table", "CREATE TABLE tarvex_store.mine (x int)", "permission denied for schema "
     "tarvex_store"),
]


@pytest.mark.parametrize("case", AS_LAB1, ids=[case[0] for case in AS_LAB1])
def test_an_instruments_role_writes_only_its_own_rows_and_reads_nothing(two_instruments, case):
    lab1, _ = two_instruments
    before = rows(lab1.server, lab1.database, "SELECT instrument, stamp, kind, revision FROM "
                  "tarvex.cycles ORDER BY 1, 2")
    _, statement, outcome = case
    with connect_as(lab1, "tarvex_lab1") as connection:
        if isinstance(outcome, str):
            with pytest.raises(psycopg.errors.InsufficientPrivilege) as refusal:
                connection.execute(statement, ROW)
            assert str(refusal.value).split("\n")[0] == outcome
        else:
            assert connection.execute(statement, ROW).rowcount == outcome
    assert rows(lab1.server, lab1.database, "SELECT instrument, stamp, kind, revision FROM "
                "tarvex.cycles ORDER BY 1, 2") == before
    assert len(rows(lab1.server, lab1.database, "SELECT * FROM tarvex.peaks")) == 24


def test_an_instrument_sees_its_own_rows_only(two_instruments):
    lab1, lab2 = two_instruments
    with connect_as(lab1, "tarvex_lab1") as connection:
        for table in ("cycle", "trace", "amount"):
            assert {row[0] for row in connection.execute(
                "SELECT instrument FROM tarvex_store.%s" % table)} == {"lab1"}
        assert connection.execute("SELECT name, role FROM tarvex_store.instruments"
                                  ).fetchall() == [("lab1", "tarvex_lab1")]
    # Its credentials cannot ship for another instrument.
    command = lab1.command()
    command[command.index("--instrument") + 1] = "lab2"
    status, err = tool(*command, env=lab1.environment())
    assert (status, err) == (2, "tarvex-ship: the role tarvex_lab1 ships for instrument lab1, "
                                "not lab2: check --instrument and the user in --dsn\n")


def test_the_reader_reads_every_instrument_and_writes_nothing(two_instruments):
    lab1, _ = two_instruments
    with connect_as(lab1, "tarvex_network") as connection:
        assert connection.execute("SELECT instrument, count(*) FROM tarvex.cycles GROUP BY 1 "
                                  "ORDER BY 1").fetchall() == [("lab1", 2), ("lab2", 2)]
        assert connection.execute("SELECT instrument, status FROM tarvex.instrument_status "
                                  "ORDER BY 1").fetchall() == [
            ("lab1", "idle"), ("lab2", "idle"), ("lab3", "no cycle"), ("lab4", "no cycle")]
        for statement in ("DELETE FROM tarvex.cycles", "SELECT * FROM tarvex_store.cycle"):
            with pytest.raises(psycopg.errors.InsufficientPrivilege):
                connection.execute(statement)


def test_migrate_records_versions_and_a_newer_database_is_refused(lab1, server):
    dsn = server.dsn("tarvex_owner", lab1.database)
    assert tool("migrate", "--dsn", dsn) == (0, "tarvex-ship: the schema is up to date\n")
    assert [row[:2] for row in rows(server, lab1.database, "SELECT version, name FROM "
                                    "tarvex.schema_version")] == [(1, "001_cycles.sql")]
    rows(server, lab1.database, "INSERT INTO tarvex.schema_version (version, name, client) "
         "VALUES (2, '002_later.sql', 'tarvex-ship 9') RETURNING version")
    newer = "the database's schema is version 2, newer than this tarvex-ship knows (1): " \
            "install the newer tarvex-ship\n"
    assert tool("migrate", "--dsn", dsn) == (1, "tarvex-ship: " + newer)
    write_cycle(lab1.root, lab1.reports, WHEN)
    assert lab1.ship() == (1, "tarvex-ship: " + newer)


def test_a_fresh_database_is_migrated_in_one_go(server):
    with server.connect() as connection:
        connection.execute("CREATE DATABASE tarvex_fresh OWNER tarvex_owner")
    try:
        status, err = tool("migrate", "--dsn", server.dsn("tarvex_owner", "tarvex_fresh"))
        assert (status, err) == (0, "tarvex-ship: applied 001_cycles.sql\n")
    finally:
        with server.connect() as connection:
            connection.execute("DROP DATABASE tarvex_fresh")


def test_a_cycle_outside_the_kept_months_is_refused_and_the_rest_shipped(lab1):
    write_cycle(lab1.root, lab1.reports, datetime(1999, 12, 31, 23, 45))
    write_cycle(lab1.root, lab1.reports, WHEN)
    status, err = lab1.ship()
    assert status == 2
    assert "tarvex-ship: cycle 1999-12-31_23-45-00 refused by the database: a cycle of 1999-12 " \
           "is outside the months this database keeps (from 2000 to a year ahead)\n" in err
    assert rows(lab1.server, lab1.database, "SELECT stamp FROM tarvex.cycles") == \
        [("2026-12-08_10-00-00",)]
    # Not tried again until its files change.
    assert lab1.ship() == (0, "")
