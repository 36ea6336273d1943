"""tarvex-ship ship against a real server: what arrives, what shipping
again changes (nothing), a reprocessed cycle, texts that look like SQL,
PanicLog across runs and rotation, bad input."""

import json
import os
from datetime import datetime, timezone

import pytest

from conftest import rows, tool
from instrument_files import (meta, panic_entry, peaks_text, amounts_text, warning_entry, write,
                              write_calibration, write_cycle, write_cycles)

WINTER = datetime(2026, 3, 29, 1, 30)  # Europe/Berlin: +01 until 02:00, then +02
TABLES = ("cycle", "trace", "temperature", "flow", "peak", "amount", "amount_hour", "calibration",
          "panic_entry")


def fingerprint(lab):
    """Every row of every table with its transaction id: an update changes it."""
    return {table: rows(lab.server, lab.database, "SELECT xmin::text, * FROM tarvex_store.%s "
                        "ORDER BY 2, 3, 4" % table) for table in TABLES}


def test_a_cycle_arrives_whole_with_its_local_offset(lab1):
    # The instrument's clock: 01:30, 01:45, then (02:00 being 03:00) 03:00, 03:15.
    stamps = [write_cycle(lab1.root, lab1.reports, WINTER.replace(hour=h, minute=m),
                          meta=meta("check", standard="S1"))
              for h, m in ((1, 30), (1, 45), (3, 0), (3, 15))]
    write_calibration(lab1.reports, stamps[0])
    write(lab1.paniclog, warning_entry(WINTER, "slow acknowledge", "ACK?") + "\n")
    status, err = tool(*lab1.command(), env=dict(lab1.environment(), TZ="Europe/Berlin"))
    assert (status, err) == (0, "tarvex-ship: shipped 4 cycles (2026-03-29_01-30-00 to "
                                "2026-03-29_03-15-00), 1 calibration, 1 PanicLog entry of lab1\n")
    utc = [row[0] for row in rows(lab1.server, lab1.database,
                                  "SELECT started FROM tarvex.cycles ORDER BY started")]
    # 01:30 and 01:45 are winter time (+01); the clock then jumps from 02:00 to 03:00 (+02).
    assert utc == [datetime(2026, 3, 29, h, m, tzinfo=timezone.utc)
                   for h, m in ((0, 30), (0, 45), (1, 0), (1, 15))]
    cycle = rows(lab1.server, lab1.database,
                 "SELECT stamp, kind, standard, exit_status, method_sha256, program_version, "
                 "revision FROM tarvex.cycles ORDER BY started LIMIT 1")[0]
    assert cycle == ("2026-03-29_01-30-00", "check", "S1", 0, "ab" * 32, "1.1.0", 1)
    trace = rows(lab1.server, lab1.database, "SELECT times[1:2], millivolts[1], status, "
                 "cardinality(times) FROM tarvex.traces LIMIT 1")[0]
    first_row = open(os.path.join(lab1.root, "2026-03-29", "PID_2026-03-29_01-30-00.dat")
                     ).readline().split("\t")
    assert trace == ([1, 2], float(first_row[1]), None, 1800)
    logs = rows(lab1.server, lab1.database, "SELECT controller, retries, times[1], column_c[1], "
                "cardinality(warm_c) FROM tarvex.temperatures ORDER BY started, controller")
    assert logs[:2] == [(64, 1, 3, 26.0, 420), (66, 1, 3, 26.0, 420)]
    assert rows(lab1.server, lab1.database, "SELECT count(*), min(amount), max(unit) FROM "
                "tarvex.amounts") == [(24, 1.5, "ppb")]
    assert rows(lab1.server, lab1.database, "SELECT closing FROM tarvex.flows LIMIT 1") == \
        [("Target sample volume 40 ccm reached at cycle time T=15",)]
    assert rows(lab1.server, lab1.database, "SELECT kind, text, reply, ordinal FROM "
                "tarvex.panic_entries") == [("warning", "slow acknowledge", "ACK?", 0)]
    # Both months' partitions exist, made as the cycles came.
    partitions = rows(lab1.server, lab1.database, "SELECT count(*) FROM pg_inherits WHERE "
                      "inhparent = 'tarvex_store.cycle'::regclass")[0][0]
    assert partitions >= 2


def test_shipping_again_changes_nothing(lab1):
    write_cycles(lab1.root, lab1.reports, WINTER, 3, meta=meta())
    write(lab1.paniclog, panic_entry(WINTER, "interrupted by SIGTERM", "ACK") * 2)
    assert lab1.ship()[0] == 0
    before = fingerprint(lab1)
    # Nothing new: nothing said, nothing sent.
    assert lab1.ship() == (0, "")
    # The instrument's memory lost: everything goes again, and nothing changes.
    for name in os.listdir(lab1.state):
        os.remove(os.path.join(lab1.state, name))
    status, err = lab1.ship()
    assert status == 0 and "shipped 3 cycles" in err
    assert fingerprint(lab1) == before
    # Two entries of the same second, told apart by their place.
    assert rows(lab1.server, lab1.database, "SELECT ordinal, text FROM tarvex.panic_entries "
                "ORDER BY ordinal") == [
        (0, "interrupted by SIGTERM"), (1, "interrupted by SIGTERM")]


def test_reprocessed_results_replace_the_earlier_ones(lab1):
    stamps = write_cycles(lab1.root, lab1.reports, WINTER, 3, meta=meta())
    assert lab1.ship()[0] == 0
    day = os.path.join(lab1.reports, stamps[1][:10])
    # Reprocessed with another peak table: a peak less, the others larger; an
    # amount now flagged.
    peaks = peaks_text(2.0).split("\n")
    write(os.path.join(day, stamps[1] + ".peaks.csv"), "\n".join(peaks[:-2]) + "\n")
    write(os.path.join(day, stamps[1] + ".amounts.csv"), amounts_text(2.0, {"toluene": "qc-fail"}))
    status, err = lab1.ship()
    assert (status, err) == (0, "tarvex-ship: shipped 1 cycle (%s to %s), 0 calibrations, "
                                "0 PanicLog entries of lab1\n" % (stamps[1], stamps[1]))
    assert rows(lab1.server, lab1.database, "SELECT stamp, revision FROM tarvex.cycles "
                "ORDER BY started") == [(stamps[0], 1), (stamps[1], 2), (stamps[2], 1)]
    peaks = rows(lab1.server, lab1.database, "SELECT p.peak, p.height_mv FROM tarvex.peaks p "
                 "JOIN tarvex.cycles c USING (instrument, started) WHERE c.stamp = %s "
                 "ORDER BY p.peak", [stamps[1]])
    assert peaks == [(n, 800.0) for n in range(1, 6)]
    assert rows(lab1.server, lab1.database, "SELECT a.name, a.flags FROM tarvex.amounts a JOIN "
                "tarvex.cycles c USING (instrument, started) WHERE c.stamp = %s AND "
                "cardinality(a.flags) > 0", [stamps[1]]) == [("toluene", ["qc-fail"])]
    # The hourly means follow: 01:30 and 01:45 (now 3.0 instead of 1.5), then 02:00.
    assert rows(lab1.server, lab1.database, "SELECT hour, amount, cycles FROM tarvex.amount_hours "
                "WHERE name = 'benzene' ORDER BY hour") == [
        (datetime(2026, 3, 29, 1, tzinfo=timezone.utc), 2.25, 2),
        (datetime(2026, 3, 29, 2, tzinfo=timezone.utc), 1.5, 1)]


SQL_LIKE = ["x'); DROP TABLE tarvex_store.cycle; --", "Robert\"; DELETE FROM amounts;",
            "$$ || pg_sleep(10) || $$", "<img src=x onerror=alert(1)>", "back\\slash 'quote'",
            "ümlaut, \"comma\"\nnewline"]


def test_texts_that_look_like_sql_are_stored_verbatim(lab1):
    names = {"benzene": SQL_LIKE[0], "toluene": SQL_LIKE[1], "styrene": SQL_LIKE[5]}
    stamp = write_cycle(lab1.root, lab1.reports, WINTER, meta=meta("check", standard=SQL_LIKE[2]),
                        names=names)
    write_calibration(lab1.reports, stamp, compounds=[{"name": SQL_LIKE[3], "unit": SQL_LIKE[4]}])
    write(lab1.paniclog, warning_entry(WINTER, SQL_LIKE[0], SQL_LIKE[3]) +
          panic_entry(WINTER, SQL_LIKE[2], SQL_LIKE[4]))
    assert lab1.ship()[0] == 0
    assert rows(lab1.server, lab1.database, "SELECT standard FROM tarvex.cycles") == \
        [(SQL_LIKE[2],)]
    stored = {row[0] for row in rows(lab1.server, lab1.database, "SELECT name FROM tarvex.peaks")}
    assert set(names.values()) <= stored
    stored = {row[0] for row in rows(lab1.server, lab1.database, "SELECT name FROM tarvex.amounts")}
    assert set(names.values()) <= stored
    assert rows(lab1.server, lab1.database, "SELECT kind, text, reply FROM tarvex.panic_entries "
                "ORDER BY ordinal") == [("warning", SQL_LIKE[0], SQL_LIKE[3]),
                                        ("panic", SQL_LIKE[2], SQL_LIKE[4])]
    document = rows(lab1.server, lab1.database, "SELECT document FROM tarvex.calibrations")[0][0]
    assert document["compounds"] == [{"name": SQL_LIKE[3], "unit": SQL_LIKE[4]}]
    assert rows(lab1.server, lab1.database, "SELECT count(*) FROM tarvex_store.cycle") == [(1,)]


def test_paniclog_is_read_from_where_the_last_run_stopped(lab1):
    second = datetime(2026, 12, 8, 10, 0, 1)
    write_cycle(lab1.root, lab1.reports, WINTER)
    write(lab1.paniclog, warning_entry(second, "one", "r1") + warning_entry(second, "two", "r2"))
    assert lab1.ship()[0] == 0
    # An entry being written (no reply line yet) waits; the next run takes it.
    write(lab1.paniclog, "%s: in [PANIC] state, re-set T-controllers.\n    three\n"
          % second.strftime("%Y-%m-%d %H:%M:%S"), mode="a")
    assert lab1.ship() == (0, "")
    write(lab1.paniclog, "    Offending message reply: r3\n\n", mode="a")
    assert lab1.ship()[1].endswith("1 PanicLog entry of lab1\n")
    # Rotated (a new, shorter file) within the same second: the places go on.
    os.remove(lab1.paniclog)
    write(lab1.paniclog, warning_entry(second, "four", "r4"))
    assert lab1.ship()[0] == 0
    assert rows(lab1.server, lab1.database, "SELECT ordinal, kind, text, reply FROM "
                "tarvex.panic_entries ORDER BY ordinal") == [
        (0, "warning", "one", "r1"), (1, "warning", "two", "r2"), (2, "panic", "three", "r3"),
        (3, "warning", "four", "r4")]


BAD_INPUT = [
    # (what is wrong, file below the day folders, its text, status, message)
    ("Meta not JSON", "data", "Meta_{s}.json", "{kind: sample", 2,
     "Meta_{s}.json: not JSON (Expecting property name enclosed in double quotes: line 1 "
     "column 2 (char 1)): the cycle is shipped without its kind"),
    ("unknown kind", "data", "Meta_{s}.json", json.dumps(dict(meta(), kind="sampel")), 2,
     "Meta_{s}.json: kind 'sampel' is not one of sample, blank, calibration, check; left out"),
    ("amounts of another format", "reports", "{s}.amounts.csv", "compound,amount\nx,1\n", 2,
     "{s}.amounts.csv: header is not name,retention_s,area_mVs,amount,unit,flags; the file is "
     "not shipped"),
    ("a damaged detector row", "data", "PID_{s}.dat",
     "     1\t100.1\t 0\t 0.0\n  2\tnan\t0\t0\n", 0,
     "PID_{s}.dat, line 2: not a detector row (time, mV, status, 0), skipped: '  2\\tnan\\t0\\t0'"),
]


@pytest.mark.parametrize("case", BAD_INPUT, ids=[case[0] for case in BAD_INPUT])
def test_bad_input_is_named_and_the_rest_shipped(lab1, case):
    _, place, name, text, expected_status, message = case
    stamp = write_cycle(lab1.root, lab1.reports, WINTER, meta=meta())
    folder = os.path.join(lab1.root if place == "data" else lab1.reports, stamp[:10])
    write(os.path.join(folder, name.format(s=stamp)), text)
    status, err = lab1.ship()
    assert status == expected_status
    assert "tarvex-ship: %s/%s\n" % (folder, message.format(s=stamp)) in err
    assert rows(lab1.server, lab1.database, "SELECT count(*) FROM tarvex.cycles") == [(1,)]
    # Said once: the file is not read again until it changes.
    assert lab1.ship() == (0, "")


@pytest.mark.parametrize("arguments, message", [
    (["--root", "/nonexistent/root"], "tarvex-ship: /nonexistent/root: the data root is not a "
                                      "folder\n"),
    (["--dsn", "host=x port=notaport"], "tarvex-ship: --dsn: connection is bad: invalid integer "
                                        "value \"notaport\" for connection option \"port\"\n"),
    (["--dsn", "host=x = y"], "tarvex-ship: --dsn: not a libpq connection string: "),
    (["--instrument", "lab 1"], "argument --instrument: 'lab 1': an instrument's name is"),
])
def test_a_bad_command_line_is_refused_with_status_2(lab1, arguments, message):
    command = lab1.command()
    for at in range(0, len(arguments), 2):
        command[command.index(arguments[at]) + 1] = arguments[at + 1]
    status, err = tool(*command, env=lab1.environment())
    assert status == 2 and message in err, err


def test_a_cycle_the_database_refuses_leaves_the_rest_of_its_batch_shipped(lab1):
    stamps = write_cycles(lab1.root, lab1.reports, WINTER, 3, meta=meta())
    huge = "9" * 41 + ".0"  # a number, but beyond what a real holds
    log = os.path.join(lab1.root, stamps[1][:10], "TC64_%s.TLog" % stamps[1])
    write(log, open(log).read().replace("\t 26.0\t", "\t%s\t" % huge, 1))
    status, err = lab1.ship()
    assert status == 2
    assert 'tarvex-ship: cycle %s refused by the database: "%s" is out of range for type real\n' \
        % (stamps[1], huge) in err
    assert rows(lab1.server, lab1.database, "SELECT stamp FROM tarvex.cycles ORDER BY 1") == \
        [(stamps[0],), (stamps[2],)]
    assert lab1.ship() == (0, "")
