"""End to end: a short real cycle of Tarvex against the instrument simulator,
then its report. Needs the built programs, named by TARVEX_BINARY,
TARVEX_SIM_BINARY and TARVEX_NULLMODEM_LIBRARY (the CMake test sets them)."""

import csv
import glob
import os
import subprocess
import time

import pytest

from conftest import REPORT, run_tool

EXAMPLES = os.path.join(os.path.dirname(REPORT), "examples")
PROGRAMS = ("TARVEX_BINARY", "TARVEX_SIM_BINARY", "TARVEX_NULLMODEM_LIBRARY")


@pytest.fixture(scope="module")
def finished_cycle(tmp_path_factory):
    missing = [name for name in PROGRAMS if not os.environ.get(name)]
    if missing:
        pytest.skip("needs the built programs: %s not set" % ", ".join(missing))
    work = tmp_path_factory.mktemp("cycle")
    (work / "data").mkdir()
    for name in ("method.txt", "flowsensors.txt"):
        (work / name).write_text(open(os.path.join(EXAMPLES, name)).read())
    port = work / "ttyGC"
    simulator = subprocess.Popen(
        [os.environ["TARVEX_SIM_BINARY"], "--link", str(port), "--flowsensors",
         str(work / "flowsensors.txt")], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        for _ in range(100):
            if port.exists():
                break
            time.sleep(0.05)
        # The simulator's peaks at 12, 26 and 44 s fall inside a 50-s window.
        tarvex = subprocess.run(
            [os.environ["TARVEX_BINARY"], "-GCport", str(port), "-method", "method.txt",
             "-root", "data", "-cycle", "63", "-PIDdelay", "3", "-PIDcycle", "50", "-PIDgain",
             "1", "-samplevolume", "40", "-silent"],
            cwd=work, capture_output=True, text=True, timeout=150,
            env=dict(os.environ, LD_PRELOAD=os.environ["TARVEX_NULLMODEM_LIBRARY"]))
    finally:
        simulator.terminate()
        simulator.wait(timeout=10)
    assert tarvex.returncode == 0, tarvex.stdout + tarvex.stderr
    (pid,) = glob.glob(str(work / "data" / "*" / "PID_*.dat"))
    return work, pid


def test_the_report_of_a_simulated_cycle_finds_the_simulators_peaks(finished_cycle):
    work, pid = finished_cycle
    status, out, err = run_tool("cycle", pid, "--peaks", os.path.join(EXAMPLES, "peaks.txt"),
                                "--out", work / "report")
    # Every companion file is there: nothing to say.
    assert (status, err) == (0, "")
    stamp = os.path.basename(pid)[len("PID_"):-len(".dat")]
    assert out.split("\n")[0] == str(work / "report" / (stamp + ".png"))
    rows = list(csv.DictReader(open(work / "report" / (stamp + ".peaks.csv"))))
    found = {r["name"]: float(r["retention_s"]) for r in rows}
    assert set(found) >= {"benzene", "toluene", "ethylbenzene"}
    # The table's retention times are those of the demo; the simulator's
    # peaks count from its first reading, the file's times from the window.
    assert found["benzene"] == pytest.approx(13, abs=1.5)
    assert found["toluene"] == pytest.approx(27, abs=1.5)
    assert float(next(r for r in rows if r["name"] == "toluene")["height_mV"]) == \
        pytest.approx(800, rel=0.05)
    assert os.path.getsize(work / "report" / (stamp + ".cdf")) > 1000
