"""The Now page while the real controller runs a short cycle against the
instrument simulator with its runtime dump on (in the tests' own /run, never
the machine's), lighttpd serving that dump with the shipped configuration;
then the cycle's page once tarvex-report has reported it, and its files
downloaded through the browser."""
import glob
import os
import subprocess
import time

import pytest
from selenium.webdriver.common.by import By

from conftest import (Site, index_entries, private_dump_folder, save_full_page,
                      screenshot_folder, script_errors, wait_for)
from instrument_files import write_peak_table

BINARIES = ("TARVEX_BINARY", "TARVEX_SIM_BINARY", "TARVEX_NULLMODEM_LIBRARY")
# Set points change through the cycle, so both column temperatures move.
METHOD = ("0\t64\tSTC060\n1\t66\tSTC045\n2\t64\tSTW080\n3\t66\tSTW050\n"
          "20\t64\tSTC090\n21\t66\tSTC060\n38\t64\tSTC120\n39\t66\tSTC080\n")
# Detector peaks (s after the window opens, V, width s): two of them fall into
# the part of the trace that the dump holds (from the 46th reading on).
SCENARIO = "peak 12 0.45 1.2\npeak 30 0.9 1.5\npeak 48 1.2 1.0\npeak 53 0.6 1.5\n"
COMPOUNDS = [("alpha", 12, 3), ("beta", 30, 3), ("gamma", 48, 2), ("delta", 53, 2)]
# The window opens 2 s into the cycle and stays open 56 s; the cycle's files
# are written at 58 s (10 s before its nominal end), when the run ends.
CYCLE = ["-cycle", "68", "-PIDdelay", "2", "-PIDcycle", "56", "-PIDgain", "1"]
ALLOWED_LAG = 2.0  # s from a change of a dump file to the page showing it
SAMPLING_SLACK = 0.3  # s: the test itself sees the files only every 0.1 s


class Rig:
    """Simulator, controller and web server of one cycle."""

    def __init__(self, top, dump):
        for name in BINARIES:
            if not os.environ.get(name):
                pytest.skip("%s is not set (ctest sets the built binaries)" % name)
        self.binary = {name: os.path.abspath(os.environ[name]) for name in BINARIES}
        self.top = top
        self.site = Site(top, live=dump)
        self.dump = dump
        for name, text in (("method.txt", METHOD), ("scenario.txt", SCENARIO)):
            with open(os.path.join(top, name), "w") as stream:
                stream.write(text)
        self.port = os.path.join(top, "ttyGC")
        self.simulator_output = open(os.path.join(top, "simulator.out"), "w")
        self.simulator = subprocess.Popen(
            [self.binary["TARVEX_SIM_BINARY"], "--link", self.port, "--trace",
             os.path.join(top, "trace.txt"), "--scenario", os.path.join(top, "scenario.txt")],
            stdout=self.simulator_output, stderr=subprocess.STDOUT)
        wait_for(lambda: "serving" in open(os.path.join(top, "simulator.out")).read(), 10,
                 what="the simulator")
        self.tarvex = None

    def start_cycle(self):
        self.console = open(os.path.join(self.top, "tarvex.out"), "w")
        self.tarvex = subprocess.Popen(
            [self.binary["TARVEX_BINARY"], "-GCport", self.port, "-method",
             os.path.join(self.top, "method.txt"), "-root", self.site.data] + CYCLE +
            ["-silent", "-runtimedump"],
            cwd=self.site.state, stdout=self.console, stderr=subprocess.STDOUT,
            env=dict(os.environ, LD_PRELOAD=self.binary["TARVEX_NULLMODEM_LIBRARY"]))

    def finish(self):
        assert self.tarvex is not None, "the cycle did not start"
        status = self.tarvex.wait(timeout=120)
        assert status == 0, open(os.path.join(self.top, "tarvex.out")).read()

    def stop(self):
        if self.tarvex and self.tarvex.poll() is None:
            self.tarvex.terminate()
            self.tarvex.wait(timeout=30)
        self.simulator.terminate()
        self.simulator.wait(timeout=10)
        self.simulator_output.close()
        self.site.server.stop()


@pytest.fixture(scope="module")
def rig(tmp_path_factory):
    made = Rig(str(tmp_path_factory.mktemp("live")), private_dump_folder())
    yield made
    made.stop()


def read(path):
    try:
        with open(path) as stream:
            return stream.read()
    except FileNotFoundError:
        return None


class History:
    """The values a file had, each from the moment the test first saw it."""

    def __init__(self):
        self.changes = []  # (time, value)

    def note(self, when, value):
        if value is not None and (not self.changes or self.changes[-1][1] != value):
            self.changes.append((when, value))

    def values_between(self, start, end):
        """Every value the file had at some moment from start to end."""
        values = {value for when, value in self.changes if start < when <= end}
        before = [value for when, value in self.changes if when <= start]
        return values | set(before[-1:])


def page_state(browser):
    return browser.execute_script(
        "const text = id => (document.getElementById(id) || {}).textContent || '';"
        "return [text('t64'), text('t66'), text('trace-count'), text('run-state')];")


def test_live_page_follows_the_running_cycle(browser, rig, tmp_path):
    dump = rig.dump
    opened = time.monotonic()
    browser.get(rig.site.base)
    load = browser.execute_script(
        "const n = performance.getEntriesByType('navigation')[0];"
        "return [n.domContentLoadedEventEnd, n.loadEventEnd];")
    rig.start_cycle()
    started = time.monotonic()
    temperatures = {"64": History(), "66": History()}
    rows_on_disk = []  # (time, complete rows of runtime.dat)
    samples = []  # (time, page state)
    screenshot = None
    while rig.tarvex.poll() is None:
        now = time.monotonic()
        for address, name in (("64", "PC.php"), ("66", "GC.php")):
            text = read(os.path.join(dump, name))
            if text is None:
                temperatures[address].note(now, "–")  # what the page shows without the file
            elif text.strip():  # else caught while being rewritten
                temperatures[address].note(now, "%.1f" % float(text))
        trace = read(os.path.join(dump, "runtime.dat"))
        rows_on_disk.append((now, trace.count("\n") if trace else 0))
        samples.append((time.monotonic(), page_state(browser)))
        if screenshot is None and samples[-1][1][2] and int(samples[-1][1][2]) >= 10:
            screenshot = os.path.join(screenshot_folder(tmp_path), "live.png")
            save_full_page(browser, screenshot)
        time.sleep(0.1)
    ended = time.monotonic()
    rig.finish()

    # At every sample the page shows what the files held at most ALLOWED_LAG
    # seconds before; once both temperatures are there, it says the cycle runs.
    assert len(samples) > 300
    dumped = max(temperatures[address].changes[1][0] for address in ("64", "66"))
    for when, (t64, t66, count, state) in samples:
        for address, shown in (("64", t64), ("66", t66)):
            allowed = temperatures[address].values_between(when - ALLOWED_LAG,
                                                           when + SAMPLING_SLACK)
            assert shown in allowed, (address, when - started, shown, allowed)
        behind = [rows for at, rows in rows_on_disk if at <= when - ALLOWED_LAG]
        assert int(count or 0) >= (behind[-1] if behind else 0), when - started
        if when > dumped + ALLOWED_LAG:
            assert state.startswith("Cycle running"), (when - started, state)
    for index in (0, 1):
        assert len({state[index] for _, state in samples}) >= 8, "the temperatures did not change"
    counts = [int(state[2]) for _, state in samples if state[2]]
    assert len(set(counts)) >= 5 and counts == sorted(counts), "the trace did not grow"

    # After the cycle: the whole trace, then the idle state, dated by the
    # dump files' last change.
    rows = read(os.path.join(dump, "runtime.dat")).count("\n")
    wait_for(lambda: page_state(browser)[2] == str(rows), ALLOWED_LAG, what="the whole trace")
    last_change = max(os.stat(os.path.join(dump, name)).st_mtime
                      for name in ("PC.php", "GC.php", "runtime.dat"))
    idle = "Instrument idle since " + time.strftime("%H:%M:%S", time.localtime(last_change))
    wait_for(lambda: page_state(browser)[3].startswith(idle), 15, what=idle)
    assert script_errors(browser) == []
    assert screenshot, "the trace never reached 10 readings"

    lags = lag_of_changes(temperatures, samples)
    trace_lags = lag_of_rows(rows_on_disk, samples)
    first_reading = next(when for when, state in samples if state[0] != "–")
    print("\nNow page: DOMContentLoaded %.0f ms, load %.0f ms after navigation; first reading "
          "shown %.2f s after opening; cycle %.1f s; update latency of the temperatures over "
          "%d changes: median %.2f s, max %.2f s; of the trace over %d new rows: median %.2f s, "
          "max %.2f s" % (
              load[0], load[1], first_reading - opened, ended - started, len(lags),
              sorted(lags)[len(lags) // 2], max(lags), len(trace_lags),
              sorted(trace_lags)[len(trace_lags) // 2], max(trace_lags)))


def lag_of_changes(temperatures, samples):
    """For each change of PC.php or GC.php that lasted a second or more: the
    time until the page first showed the new value."""
    lags = []
    for index, address in enumerate(("64", "66")):
        changes = temperatures[address].changes
        for (when, value), (until, _) in zip(changes, changes[1:]):
            if until - when < 1.0 or when < samples[0][0]:
                continue
            shown = [at for at, state in samples if at >= when and state[index] == value]
            assert shown, (address, value)
            lags.append(shown[0] - when)
    return lags


def lag_of_rows(rows_on_disk, samples):
    """For each new row of runtime.dat seen while the page was sampled: the
    time until the page counted it."""
    lags = []
    for (when, rows), (_, before) in zip(rows_on_disk[1:], rows_on_disk):
        shown = [at for at, state in samples if at >= when and int(state[2] or 0) >= rows]
        if rows > before and shown:
            lags.append(shown[0] - when)
    return lags


def downloaded(folder, name, timeout=10):
    path = os.path.join(folder, name)
    wait_for(lambda: os.path.exists(path) and not glob.glob(path + "*.crdownload"), timeout,
             what="the download of " + name)
    time.sleep(0.2)
    with open(path, "rb") as stream:
        return stream.read()


def test_cycle_page_after_the_cycle(browser, rig, tmp_path):
    if rig.tarvex is None:
        pytest.skip("the cycle did not run")
    rig.finish()
    pid_files = glob.glob(os.path.join(rig.site.data, "*", "PID_*.dat"))
    assert len(pid_files) == 1
    stamp = os.path.basename(pid_files[0])[4:-4]
    peaks = write_peak_table(os.path.join(rig.top, "peaks.txt"), COMPOUNDS)
    rig.site.update_reports(peaks)
    entry = index_entries(rig.site.reports)[stamp]
    assert (entry["stamp"], entry["error"]) == (stamp, None)

    browser.get(rig.site.base + "cycles.html")
    section = wait_for(lambda: browser.find_elements(By.ID, stamp), 10, what="the cycle")[0]
    picture = section.find_element(By.TAG_NAME, "img")
    wait_for(lambda: browser.execute_script(
        "return arguments[0].complete && arguments[0].naturalWidth", picture), 10,
        what="the picture")
    wait_for(lambda: section.find_elements(By.CSS_SELECTOR, ".peaks tbody tr"), 10, what="the peak table")
    with open(os.path.join(rig.site.reports, entry["report"]["peaks"])) as table:
        expected = [line.split(",") for line in table.read().splitlines()[1:]]
    shown = [[cell.text for cell in row.find_elements(By.TAG_NAME, "td")]
             for row in section.find_elements(By.CSS_SELECTOR, ".peaks tbody tr")]
    assert shown == expected
    assert [row[1] for row in shown] == [name for name, _, _ in COMPOUNDS]
    save_full_page(browser, os.path.join(screenshot_folder(tmp_path), "cycle.png"))

    # The raw files and the AIA file, downloaded through their links.
    files = {link.get_attribute("download"): link
             for link in section.find_elements(By.CSS_SELECTOR, "p.files a[download]")}
    wanted = {os.path.basename(entry["raw"][key]): os.path.join(rig.site.data, entry["raw"][key])
              for key in ("pid", "tc64", "tc66")}
    wanted[os.path.basename(entry["report"]["cdf"])] = os.path.join(rig.site.reports,
                                                                    entry["report"]["cdf"])
    assert set(wanted) <= set(files)
    for name, path in wanted.items():
        browser.execute_script("arguments[0].scrollIntoView()", files[name])
        files[name].click()
        with open(path, "rb") as original:
            assert downloaded(browser.downloads, name) == original.read(), name
    assert script_errors(browser) == []
