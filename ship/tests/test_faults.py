"""Faults while shipping: the server stopped in the middle of a batch, the
shipper killed or stopped there, the server down while cycles accumulate,
two instruments at once. Nothing is lost, nothing is duplicated."""

import signal
import time
from datetime import datetime, timedelta

import pytest

from conftest import rows
from instrument_files import meta, write_cycles

FIRST = datetime(2026, 11, 30, 22, 0)  # the backlog runs into the next month


def wait_for_rows(lab, at_least, timeout=60):
    deadline = time.monotonic() + timeout
    while True:
        count = rows(lab.server, lab.database, "SELECT count(*) FROM tarvex_store.cycle")[0][0]
        if count >= at_least or time.monotonic() > deadline:
            return count
        time.sleep(0.02)


def assert_exactly_once(lab, stamps):
    """Every cycle there once, whole, at its first revision."""
    assert rows(lab.server, lab.database, "SELECT stamp, revision FROM tarvex.cycles WHERE "
                "instrument = %s ORDER BY started", [lab.name]) == [(s, 1) for s in stamps]
    counts = rows(lab.server, lab.database,
                  "SELECT (SELECT count(*) FROM tarvex.traces WHERE instrument = %(i)s), "
                  "(SELECT count(*) FROM tarvex.temperatures WHERE instrument = %(i)s), "
                  "(SELECT count(*) FROM tarvex.flows WHERE instrument = %(i)s), "
                  "(SELECT count(*) FROM tarvex.peaks WHERE instrument = %(i)s), "
                  "(SELECT count(*) FROM tarvex.amounts WHERE instrument = %(i)s)",
                  {"i": lab.name})
    n = len(stamps)
    assert counts == [(n, 2 * n, n, 6 * n, 6 * n)]


def stop_server(lab, shipper):
    lab.server.stop("immediate")
    return "connection lost"


def kill_shipper(lab, shipper):
    shipper.send_signal(signal.SIGKILL)
    return None


def terminate_shipper(lab, shipper):
    shipper.send_signal(signal.SIGTERM)
    return "stopped by SIGTERM"


FAULTS = {
    # fault: (what is done to the shipper, held still in the middle of a batch; its status)
    "server stopped": (stop_server, 75),
    "shipper killed": (kill_shipper, -signal.SIGKILL),
    "shipper terminated": (terminate_shipper, 143),
}


@pytest.mark.parametrize("fault", FAULTS)
def test_a_fault_in_the_middle_of_a_batch_loses_and_duplicates_nothing(lab1, fault):
    stamps = write_cycles(lab1.root, lab1.reports, FIRST, 60, meta=meta())
    shipper = lab1.popen("--batch", "25")
    done = wait_for_rows(lab1, 1)
    shipper.send_signal(signal.SIGSTOP)  # held where it was, between two statements
    in_before = wait_for_rows(lab1, 0)
    assert 0 < in_before < 60, "the shipper was not caught in the middle (%d)" % done
    do, expected_status = FAULTS[fault]
    said = do(lab1, shipper)
    shipper.send_signal(signal.SIGCONT)
    err = shipper.communicate(timeout=60)[1]
    assert shipper.returncode == expected_status, err
    if said:
        assert said in err and "cycles of lab1 wait for the next run" in err
    if not lab1.server.running():
        lab1.server.start()
    status, err = lab1.ship()
    assert status == 0, err
    assert_exactly_once(lab1, stamps)


def test_the_backlog_waits_while_the_server_is_down_and_goes_oldest_first(lab1):
    lab1.server.stop()
    stamps = write_cycles(lab1.root, lab1.reports, FIRST, 3, meta=meta())
    started = time.monotonic()
    status, err = lab1.ship(retry_for=2)
    took = time.monotonic() - started
    assert status == 75
    assert err.startswith("tarvex-ship: database unreachable after ")
    assert err.endswith(": 3 cycles of lab1 wait for the next run\n")
    # It tried again, waiting longer each time (0.5 to 1 s, then 1 to 2 s), at most 2 s in all.
    attempts = int(err.split("after ")[1].split(" ")[0])
    assert attempts >= 2 and 0.5 <= took < 10, err
    stamps += write_cycles(lab1.root, lab1.reports, FIRST + timedelta(hours=1), 2, meta=meta())
    status, err = lab1.ship()
    assert (status, err.endswith(": 5 cycles of lab1 wait for the next run\n")) == (75, True)
    lab1.server.start()
    status, err = lab1.ship("--batch", "2")
    assert status == 0, err
    assert_exactly_once(lab1, stamps)
    arrived = [row[0] for row in rows(lab1.server, lab1.database,
                                      "SELECT stamp FROM tarvex.cycles ORDER BY received")]
    assert arrived == stamps


def test_two_instruments_ship_at_once(lab1, lab2):
    mine = write_cycles(lab1.root, lab1.reports, FIRST, 40, meta=meta())
    theirs = write_cycles(lab2.root, lab2.reports, FIRST, 40, meta=meta(instrument="lab2"))
    shippers = [lab.popen("--batch", "10") for lab in (lab1, lab2)]
    for shipper in shippers:
        err = shipper.communicate(timeout=120)[1]
        assert shipper.returncode == 0, err
    assert_exactly_once(lab1, mine)
    assert_exactly_once(lab2, theirs)
