"""The Network page: its read-only JSON application (waitress) behind the
shipped lighttpd configuration, over a database filled by tarvex-ship; in
headless Chromium; and at the end of a real cycle of Tarvex against the
simulator, reported and shipped."""

import base64
import csv
import glob
import http.client
import json
import os
import shutil
import socket
import subprocess
import tempfile
import time
from datetime import timedelta

import pytest

from conftest import SHIP, TOP, rows
from instrument_files import meta, recent, write, write_cycle

LIGHTTPD = shutil.which("lighttpd", path="/usr/sbin:/usr/bin") or "/usr/sbin/lighttpd"
WAITRESS = "/usr/bin/waitress-serve"
REPORT = os.environ.get("TARVEX_REPORT", os.path.join(TOP, "report", "tarvex-report"))
PROGRAMS = ("TARVEX_BINARY", "TARVEX_SIM_BINARY", "TARVEX_NULLMODEM_LIBRARY")
MARKUP = "<img src=x onerror=document.title='owned'>"


def wait_for(condition, timeout, what):
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value:
            return value
        assert time.monotonic() < deadline, "timed out waiting for %s" % what
        time.sleep(0.05)


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class NetworkSite:
    """The application on a Unix socket, lighttpd in front on a free port,
    both with the shipped settings; the pages as installed (with the
    instruments' stylesheet)."""

    def __init__(self, server, database):
        self.top = tempfile.mkdtemp(prefix="tarvex-net-")  # short: a socket path has a limit
        self.pages = os.path.join(self.top, "www")
        shutil.copytree(os.path.join(SHIP, "network", "www"), self.pages)
        shutil.copy(os.path.join(TOP, "web", "www", "tarvex.css"), self.pages)
        self.socket = os.path.join(self.top, "api.sock")
        self.log = open(os.path.join(self.top, "servers.log"), "w")
        self.api = subprocess.Popen(
            [WAITRESS, "--unix-socket=" + self.socket, "--unix-socket-perms=666", "--threads=2",
             "--call", "tarvex_network.api:from_environment"], stdout=self.log,
            stderr=subprocess.STDOUT, env=dict(
                os.environ, PYTHONPATH=SHIP, PGPASSFILE=server.passfile,
                TARVEX_NETWORK_DSN=server.dsn("tarvex_network", database)))
        wait_for(lambda: os.path.exists(self.socket), 10, "the application's socket")
        self.port = free_port()
        self.web = subprocess.Popen(
            [LIGHTTPD, "-D", "-f", os.path.join(SHIP, "network", "lighttpd.conf")],
            stdout=self.log, stderr=subprocess.STDOUT, env={
                "PATH": "/usr/bin:/bin", "TARVEX_NETWORK_ADDRESS": "127.0.0.1",
                "TARVEX_NETWORK_PORT": str(self.port), "TARVEX_NETWORK_PAGES": self.pages,
                "TARVEX_NETWORK_API_SOCKET": self.socket})
        wait_for(self.accepts, 10, "lighttpd")
        self.base = "http://127.0.0.1:%d/" % self.port

    def accepts(self):
        try:
            socket.create_connection(("127.0.0.1", self.port), timeout=0.2).close()
            return True
        except OSError:
            return False

    def request(self, method, path):
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=20)
        try:
            connection.request(method, path)
            response = connection.getresponse()
            return response.status, response.headers, response.read()
        finally:
            connection.close()

    def stop(self):
        for process in (self.web, self.api):
            process.terminate()
            process.wait(timeout=10)
        self.log.close()
        shutil.rmtree(self.top, ignore_errors=True)


@pytest.fixture
def network(server, database):
    site = NetworkSite(server, database)
    yield site
    site.stop()


@pytest.fixture(scope="module")
def browser(tmp_path_factory):
    webdriver = pytest.importorskip("selenium.webdriver")
    from selenium.webdriver.chrome.service import Service
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update",
                 "--window-size=1280,1000", "--hide-scrollbars",
                 "--user-data-dir=" + str(tmp_path_factory.mktemp("chromium-profile"))):
        options.add_argument(flag)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    yield driver
    driver.quit()


def script_errors(driver):
    return [entry["message"] for entry in driver.get_log("browser") if entry["level"] == "SEVERE"]


def ship_instruments(server, database, tmp_path):
    """Four instruments, one in each state the page tells apart."""
    from conftest import Instrument
    labs = {name: Instrument(str(tmp_path), name, server, database)
            for name in ("lab1", "lab2", "lab3", "lab4")}
    lab1, stamps = labs["lab1"], {}
    for minutes in (45, 30, 15):
        kind = "check" if minutes == 30 else "sample"
        flags = {"toluene": "qc-fail"} if kind == "check" else {"styrene": "lod"}
        stamps[kind] = write_cycle(lab1.root, lab1.reports, recent(minutes),
                                   meta=meta(kind, standard="S1"), flags=flags,
                                   names={"o-xylene": MARKUP}, readings=60)
    stamps["lab2"] = write_cycle(labs["lab2"].root, labs["lab2"].reports, recent(10),
                                 meta=meta(exit_status=20, instrument="lab2"), readings=60)
    write_cycle(labs["lab3"].root, labs["lab3"].reports, recent(20),
                meta=meta(exit_status=255, instrument="lab3"), readings=60, with_report=False)
    for minutes in (210, 195, 180):
        write_cycle(labs["lab4"].root, labs["lab4"].reports, recent(minutes),
                    meta=meta(instrument="lab4"), scale=2.0, readings=60)
    for lab in labs.values():
        status, err = lab.ship()
        assert status == 0, err
    return stamps


def test_the_application_answers_only_reading_requests(server, database, network, tmp_path):
    ship_instruments(server, database, tmp_path)
    status, headers, body = network.request("GET", "/api/instruments")
    assert status == 200 and headers["Content-Type"] == "application/json; charset=utf-8"
    assert headers["Cache-Control"] == "no-store"
    assert "default-src 'self'" in headers["Content-Security-Policy"]
    states = {item["instrument"]: item["status"] for item in json.loads(body)["instruments"]}
    assert states == {"lab1": "running", "lab2": "aborted", "lab3": "schedule stopped",
                      "lab4": "idle"}
    today = recent(0).date()
    cases = [
        ("HEAD", "/api/instruments", 200, None),
        ("POST", "/api/instruments", 403, None),
        ("DELETE", "/api/compounds", 403, None),
        ("GET", "/api/nothing", 404, "no such resource"),
        ("GET", "/api/amounts?name=benzene&from=yesterday&to=" + str(today), 400,
         "from: not a date YYYY-MM-DD"),
        ("GET", "/api/amounts?name=benzene&from=%s&to=%s" % (today, today - timedelta(1)), 400,
         "from must not be after to, and the period at most 400 days"),
        ("GET", "/api/amounts?name=x%27%3B%20DROP%20TABLE%20cycle%3B--&from=2026-01-01&to=2026-"
         "02-01", 200, None),
    ]
    for method, path, expected, error in cases:
        status, headers, body = network.request(method, path)
        assert status == expected, (method, path, body)
        if error:
            assert json.loads(body) == {"error": error}
        if method == "HEAD":
            assert body == b""
    assert rows(server, database, "SELECT count(*) FROM tarvex.cycles") == [(8,)]
    amounts = json.loads(network.request("GET", "/api/amounts?name=benzene&from=%s&to=%s"
                                         % (today - timedelta(1), today))[2])
    assert [(s["instrument"], s["unit"], len(s["times"])) for s in amounts["series"]] == \
        [("lab1", "ppb", 2), ("lab2", "ppb", 1), ("lab4", "ppb", 3)]
    assert amounts["bucket_s"] is None
    # A month of 15-minute cycles is drawn as two-hour means.
    month = json.loads(network.request("GET", "/api/amounts?name=benzene&from=%s&to=%s"
                                       % (today - timedelta(29), today))[2])
    assert month["bucket_s"] == 7200 and len(month["series"]) == 3
    names = json.loads(network.request("GET", "/api/compounds")[2])["compounds"]
    assert MARKUP in names and "benzene" in names


def test_the_network_page_in_a_browser(server, database, network, browser, tmp_path):
    from selenium.webdriver.common.by import By
    stamps = ship_instruments(server, database, tmp_path)
    browser.get(network.base + "?name=" + "benzene")
    table = wait_for(lambda: len(browser.find_elements(By.CSS_SELECTOR, "#instruments tbody tr"))
                     == 4 and browser.find_elements(By.CSS_SELECTOR, "#instruments tbody tr"),
                     20, "the instruments")
    cells = [[cell.text for cell in row.find_elements(By.TAG_NAME, "td")] for row in table]
    assert [row[:2] for row in cells] == [["lab1", "running"], ["lab2", "aborted"],
                                          ["lab3", "schedule stopped"], ["lab4", "idle"]]
    assert cells[0][3].startswith(stamps["check"] + " (S1)\n")
    assert "toluene: qc-fail" in cells[0][3]
    # Open flags of the last cycle, the markup-like name shown as text.
    assert cells[0][4] == "styrene: lod"
    assert cells[1][4] == "none"
    assert cells[1][2] in ["%s\nsample, exit 20, %d min ago" % (stamps["lab2"], minutes)
                           for minutes in (10, 11)]
    wait_for(lambda: browser.execute_script(
        "return page.chart && page.chart.data.datasets.length === 3"), 20, "the chart")
    labels = browser.execute_script("return page.chart.data.datasets.map(d => d.label)")
    assert labels == ["lab1 (ppb)", "lab2 (ppb)", "lab4 (ppb)"]
    options = [o.text for o in browser.find_elements(By.CSS_SELECTOR, "#compound option")]
    assert MARKUP in options
    assert browser.title == "Tarvex: network" and not browser.find_elements(By.CSS_SELECTOR,
                                                                            "td img")
    assert script_errors(browser) == []
    save_full_page(browser, os.path.join(os.environ.get("TARVEX_SHIP_SCREENSHOTS")
                                         or str(tmp_path), "network.png"))


def save_full_page(driver, path):
    """The whole page as PNG, at the window's width."""
    width, height = driver.execute_script(
        "return [document.documentElement.clientWidth, document.documentElement.scrollHeight]")
    shot = driver.execute_cdp_cmd("Page.captureScreenshot", {
        "format": "png", "captureBeyondViewport": True,
        "clip": {"x": 0, "y": 0, "width": width, "height": height, "scale": 1}})
    with open(path, "wb") as image:
        image.write(base64.b64decode(shot["data"]))


@pytest.fixture
def simulated_cycle(tmp_path, server, database):
    """A real cycle of Tarvex against the simulator, in lab1's folders."""
    missing = [name for name in PROGRAMS if not os.environ.get(name)]
    if missing:
        pytest.skip("needs the built programs: %s not set" % ", ".join(missing))
    from conftest import Instrument
    lab1 = Instrument(str(tmp_path), "lab1", server, database)
    os.makedirs(os.path.dirname(lab1.paniclog), exist_ok=True)
    write(str(tmp_path / "scenario.txt"), "peak 8 0.8 1.2\npeak 20 0.5 1.2\n")
    write(str(tmp_path / "method.txt"), open(os.path.join(TOP, "examples", "method.txt")).read())
    write(str(tmp_path / "peaks.txt"), "alpha\t9\t5\nbeta\t21\t5\n")
    link = tempfile.mkdtemp(prefix="tarvex-link-")  # the port's name: at most 63 characters
    port = os.path.join(link, "ttyGC")
    simulator = subprocess.Popen([os.environ["TARVEX_SIM_BINARY"], "--link", port, "--scenario",
                                  str(tmp_path / "scenario.txt")],
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        wait_for(lambda: os.path.exists(port), 10, "the simulator")
        cycle = subprocess.run(
            [os.environ["TARVEX_BINARY"], "-GCport", port, "-method", str(tmp_path / "method.txt"),
             "-root", lab1.root, "-cycle", "42", "-PIDdelay", "2", "-PIDcycle", "30", "-PIDgain",
             "1", "-silent"], cwd=os.path.dirname(lab1.paniclog), capture_output=True, text=True,
            timeout=120, env=dict(os.environ, LD_PRELOAD=os.path.abspath(
                os.environ["TARVEX_NULLMODEM_LIBRARY"])))
    finally:
        simulator.terminate()
        simulator.wait(timeout=10)
        shutil.rmtree(link, ignore_errors=True)
    assert cycle.returncode == 0, cycle.stdout + cycle.stderr
    return lab1, str(tmp_path / "peaks.txt")


def test_a_simulated_cycle_is_reported_shipped_and_seen(simulated_cycle, network, browser):
    from selenium.webdriver.common.by import By
    lab1, peaks = simulated_cycle
    report = subprocess.run([REPORT, "update", lab1.root, "--out", lab1.reports, "--peaks", peaks],
                            capture_output=True, text=True, timeout=300)
    assert report.returncode == 0, report.stderr
    (found,) = glob.glob(os.path.join(lab1.reports, "*", "*.peaks.csv"))
    stamp = os.path.basename(found)[:-len(".peaks.csv")]
    # The amounts, as the quantitation writes them: from the named peaks.
    named = [row for row in csv.DictReader(open(found)) if row["name"]]
    assert "alpha" in {row["name"] for row in named}
    write(found.replace(".peaks.csv", ".amounts.csv"), "name,retention_s,area_mVs,amount,unit,"
          "flags\n" + "".join("%s,%s,%s,%.4f,ppb,\n" % (row["name"], row["retention_s"],
                                                          row["area_mVs"],
                                                          float(row["area_mVs"]) / 1000)
                              for row in named))
    status, err = lab1.ship()
    assert status == 0, err
    assert err.startswith("tarvex-ship: shipped 1 cycle (%s to %s)" % (stamp, stamp))
    browser.get(network.base + "?name=alpha")
    row = wait_for(lambda: browser.find_elements(By.CSS_SELECTOR, "tr[data-instrument='lab1']"),
                   20, "lab1's row")[0]
    cells = [cell.text for cell in row.find_elements(By.TAG_NAME, "td")]
    assert cells[:2] == ["lab1", "running"] and cells[2].startswith(stamp + "\nsample, exit ")
    wait_for(lambda: browser.execute_script(
        "return page.chart && page.chart.data.datasets.length === 1 && "
        "page.chart.data.datasets[0].data.length === 1"), 20, "alpha's point")
    ((readings,),) = rows(lab1.server, lab1.database,
                          "SELECT cardinality(times) FROM tarvex.traces")
    assert 28 <= readings <= 30  # one a second of the 30-s window
    assert script_errors(browser) == []
