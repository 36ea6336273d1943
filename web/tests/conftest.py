"""What the tests of the web view share: the shipped lighttpd configuration
started on a free local port against test folders, headless Chromium, the
report tool, and a private /run for the controller's runtime dump.

The server is always started from web/lighttpd.conf itself, with the
folders given through the same environment variables that
tarvex-web@.service sets."""
import base64
import ctypes
import http.client
import json
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time

import pytest

WEB = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TOP = os.path.dirname(WEB)
CONFIG = os.path.join(WEB, "lighttpd.conf")
PAGES = os.path.join(WEB, "www")
UNIT = os.path.join(WEB, "tarvex-web@.service")
LIGHTTPD = shutil.which("lighttpd", path="/usr/sbin:/usr/bin") or "/usr/sbin/lighttpd"
REPORT = os.environ.get("TARVEX_REPORT", os.path.join(TOP, "report", "tarvex-report"))
CLONE_NEWNS = 0x00020000
# The unit's MemoryDenyWriteExecute=yes as the kernel's own switch
# (PR_SET_MDWE, PR_MDWE_REFUSE_EXEC_GAIN; Linux 6.3 on): no mapping may be
# writable and executable, none may become executable. Kept across exec.
REFUSE_EXEC_GAIN = [sys.executable, "-c", """import ctypes, os, sys
if ctypes.CDLL(None, use_errno=True).prctl(65, 1, 0, 0, 0) != 0:
    sys.exit("PR_SET_MDWE: " + os.strerror(ctypes.get_errno()))
os.execv(sys.argv[1], sys.argv[1:])"""]

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

# Whether this process got a mount namespace of its own with an empty tmpfs
# on /run (None), or why not. Decided before anything else runs, while the
# process has a single thread, as unshare() demands.
_private_run_refused = "not tried"


def pytest_configure(config):
    global _private_run_refused
    _private_run_refused = enter_private_run()


def enter_private_run():
    """The controller writes its dump to /run/Tarvex_rt, a fixed path: give it
    a /run of the tests' own so that the machine's folder is never touched."""
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.unshare(CLONE_NEWNS) != 0:
        return "no private mount namespace: " + os.strerror(ctypes.get_errno())
    for command in (["mount", "--make-rprivate", "/"],
                    ["mount", "-t", "tmpfs", "-o", "mode=0755", "tarvex-web-test", "/run"]):
        done = subprocess.run(command, capture_output=True, text=True)
        if done.returncode != 0:
            return "%s: %s" % (" ".join(command), done.stderr.strip())
    if os.listdir("/run"):
        return "the private /run is not empty"
    return None


def private_dump_folder():
    """/run/Tarvex_rt in the tests' own /run, empty."""
    if _private_run_refused:
        pytest.skip(_private_run_refused)
    # mountinfo: ... mount point (5th field) ... "-" type source options
    mounts = [line.split() for line in open("/proc/self/mountinfo")]
    run = [fields for fields in mounts if fields[4] == "/run"][-1]
    assert run[run.index("-") + 2] == "tarvex-web-test", "/run is not the tests' own"
    folder = "/run/Tarvex_rt"
    shutil.rmtree(folder, ignore_errors=True)
    os.mkdir(folder, 0o750)
    return folder


def refuse_exec_gain_supported():
    """Whether this kernel has PR_SET_MDWE."""
    done = subprocess.run(REFUSE_EXEC_GAIN + ["/bin/true"], capture_output=True)
    return done.returncode == 0


REFUSE_EXEC_GAIN_SUPPORTED = refuse_exec_gain_supported()


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class HttpServer:
    """A web server started by the tests on a free local port."""

    def start(self, command, environment=None):
        self.log = tempfile.TemporaryFile()
        self.process = subprocess.Popen(command, env=environment, stdout=self.log,
                                        stderr=subprocess.STDOUT)
        deadline = time.monotonic() + 10
        while not self.accepts():
            assert self.process.poll() is None, "%s stopped: %s" % (command[0], self.output())
            assert time.monotonic() < deadline, "%s does not answer: %s" % (command[0],
                                                                            self.output())
            time.sleep(0.05)
        self.base = "http://127.0.0.1:%d/" % self.port

    def accepts(self):
        try:
            socket.create_connection(("127.0.0.1", self.port), timeout=0.2).close()
            return True
        except OSError:
            return False

    def output(self):
        self.log.seek(0)
        return self.log.read().decode(errors="replace")

    def request(self, method, path, body=None, headers=None):
        """(status, headers, body) of one request, the path sent as given."""
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=10)
        try:
            connection.putrequest(method, path, skip_accept_encoding=True)
            for name, value in (headers or {}).items():
                connection.putheader(name, value)
            if body is not None:
                connection.putheader("Content-Length", str(len(body)))
            connection.endheaders(body)
            response = connection.getresponse()
            return response.status, response.headers, response.read()
        finally:
            connection.close()

    def stop(self):
        self.process.terminate()
        self.process.wait(timeout=10)
        self.log.close()


class WebServer(HttpServer):
    """lighttpd with the shipped configuration, in the foreground, barred
    from writable executable memory as the unit bars it (where the kernel
    can); wrapper: a command that runs it (strace...)."""

    def __init__(self, data, reports, state, live, pages=PAGES, wrapper=()):
        self.port = free_port()
        self.environment = {
            "TARVEX_WEB_ADDRESS": "127.0.0.1", "TARVEX_WEB_PORT": str(self.port),
            "TARVEX_WEB_PAGES": pages, "ROOT": data,
            "TARVEX_WEB_REPORTS": reports, "TARVEX_WEB_STATE": state, "TARVEX_WEB_LIVE": live}
        barred = REFUSE_EXEC_GAIN if REFUSE_EXEC_GAIN_SUPPORTED else []
        self.start(barred + list(wrapper) + [LIGHTTPD, "-D", "-f", CONFIG],
                   dict(self.environment, PATH="/usr/bin:/bin"))


class Site:
    """The folders an instrument has, below one temporary folder, and the
    web server in front of them."""

    def __init__(self, top, live=None):
        self.top = top
        self.data = os.path.join(top, "data")
        self.state = os.path.join(top, "state")
        self.reports = os.path.join(self.state, "reports")
        self.live = live or os.path.join(top, "live")
        for folder in (self.data, self.state, self.reports, self.live):
            os.makedirs(folder, exist_ok=True)
        self.server = WebServer(self.data, self.reports, self.state, self.live)
        self.base = self.server.base

    def update_reports(self, peaks=None, standards=None):
        """What the service runs after every cycle."""
        command = [REPORT, "update", self.data, "--out", self.reports]
        if peaks:
            command += ["--peaks", peaks]
        if standards:
            command += ["--standards", standards]
        done = subprocess.run(command, capture_output=True, text=True, timeout=300)
        assert done.returncode == 0, done.stderr
        return done


def index_entries(reports):
    """{stamp: entry} of every cycle the report index lists, through the
    summary's day files (index format 2)."""
    with open(os.path.join(reports, "index.json")) as stream:
        index = json.load(stream)
    assert index["format"] == 2
    entries = {}
    for day in index["days"]:
        with open(os.path.join(reports, day["index"])) as stream:
            entries.update((entry["stamp"], entry) for entry in json.load(stream)["cycles"])
    return entries


@pytest.fixture
def site(tmp_path):
    made = Site(str(tmp_path))
    yield made
    made.server.stop()


@pytest.fixture(scope="session")
def browser(tmp_path_factory):
    """Headless Chromium driven through chromedriver."""
    webdriver = pytest.importorskip("selenium.webdriver")
    from selenium.webdriver.chrome.service import Service

    downloads = str(tmp_path_factory.mktemp("downloads"))
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update",
                 "--disable-sync", "--window-size=1280,900", "--hide-scrollbars",
                 "--user-data-dir=" + str(tmp_path_factory.mktemp("chromium-profile"))):
        options.add_argument(flag)
    options.add_experimental_option("prefs", {"download.default_directory": downloads,
                                              "download.prompt_for_download": False})
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    driver.execute_cdp_cmd("Browser.setDownloadBehavior",
                           {"behavior": "allow", "downloadPath": downloads})
    driver.downloads = downloads
    yield driver
    driver.quit()


def script_errors(driver):
    """Errors of the pages' own scripts and refusals of the content security
    policy in the browser's console (failed fetches of missing files are the
    pages' normal business and are left out)."""
    return [entry["message"] for entry in driver.get_log("browser")
            if entry["level"] == "SEVERE" and "Failed to load resource" not in entry["message"]]


def wait_for(condition, timeout, interval=0.1, what="condition"):
    """The first true value of condition() within timeout seconds."""
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError("timed out after %.1f s waiting for %s" % (timeout, what))
        time.sleep(interval)


def screenshot_folder(tmp_path):
    """Where the screenshots go: TARVEX_WEB_SCREENSHOTS (web/screenshots to
    refresh the README's), else the test's own folder."""
    folder = os.environ.get("TARVEX_WEB_SCREENSHOTS") or str(tmp_path)
    os.makedirs(folder, exist_ok=True)
    return folder


def save_full_page(driver, path, most=None):
    """The whole page as PNG, however long (at most `most` pixels), at the
    window's width."""
    width, height = driver.execute_script(
        "return [document.documentElement.clientWidth, document.documentElement.scrollHeight]")
    height = min(height, most or height)
    shot = driver.execute_cdp_cmd("Page.captureScreenshot", {
        "format": "png", "captureBeyondViewport": True,
        "clip": {"x": 0, "y": 0, "width": width, "height": height, "scale": 1}})
    with open(path, "wb") as image:
        image.write(base64.b64decode(shot["data"]))
