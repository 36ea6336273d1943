"""The web server configurations: what is served, exactly, and what is not:
nothing outside the served folders, no symbolic link out of them, no
listing, no script run, nothing written, no planted file sent as a page or
script, no dot file or backup, text compressed, one byte range at most. The
same checks run against lighttpd with the shipped configuration and against
nginx with the shipped server block (its folders, fixed for an instrument
named lab1, moved to the test's)."""
import gzip
import json
import os
import re
import shutil
import signal
import subprocess
import tempfile

import pytest

from conftest import (CONFIG, LIGHTTPD, REFUSE_EXEC_GAIN_SUPPORTED, UNIT, WEB, HttpServer, Site,
                      WebServer, free_port)

NGINX = shutil.which("nginx", path="/usr/sbin:/usr/bin")
NGINX_SNIPPET = os.path.join(WEB, "nginx-tarvex.conf")
DAY = "2026-12-08"
STAMP = DAY + "_10-00-00"
SECRET = b"outside the served folders\n"
PHP = b"<?php echo 'executed'; ?>\n"
# What whoever can write into the instrument's folders would plant there.
EVIL = {"evil.html": b"<script>alert('planted')</script>\n",
        "evil.svg": b'<svg xmlns="http://www.w3.org/2000/svg"><script>alert(1)</script></svg>\n',
        "evil.js": b"alert('planted');\n"}
# Dot files and editor backups, refused in every folder.
HIDDEN = [".htpasswd", ".git/config", ".PID.dat.swp", "index.json~", "PC.php.bak", "#notes#",
          "notes.swo"]
PAGE_CSP = ("default-src 'self'; img-src 'self' data:; object-src 'none'; base-uri 'none'; "
            "form-action 'none'; frame-ancestors 'none'")
FILE_CSP = ("sandbox; default-src 'none'; img-src data:; style-src 'unsafe-inline'; "
            "frame-ancestors 'none'")
# Of the calibration folder only its index, qc.json and each run's results
# are sent; these are planted there and refused.
CALIBRATION = "/reports/calibration/"
RUN = CALIBRATION + STAMP + "/"
CALIBRATION_REFUSED = [CALIBRATION + "state/days.json", CALIBRATION + "state/" + DAY + ".json",
                       RUN + "evil.html", RUN + "calibration.svg", RUN + "notes.txt",
                       CALIBRATION + "other.json", CALIBRATION + "x/calibration.json",
                       CALIBRATION + "%2e%2e/calibration/qc.json/x"]
# Text long enough to be worth compressing.
LONG_CSV = "".join("%s_%02d-00-00,alpha,12.0,%d.0,%d.5\n" % (DAY, n % 24, n, n) for n in range(200))


def write(path, content):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as stream:
        stream.write(content)


def fill(site):
    """An instrument's folders with a cycle, its report, the dump of a
    running cycle, PanicLog, and things that must stay unreachable."""
    files = {
        "/data/%s/PID_%s.dat" % (DAY, STAMP): (site.data, "     1\t101.16000\t 0\t 0.00000\n"),
        "/data/%s/TC64_%s.TLog" % (DAY, STAMP): (site.data, "  faults:   0\n"),
        "/reports/index.json": (site.reports, json.dumps({"days": [
            {"date": "2026-11-%02d" % day, "cycles": []} for day in range(1, 31)]}) + "\n"),
        "/reports/%s/%s.png" % (DAY, STAMP): (site.reports, "\x89PNG\r\n\x1a\n"),
        "/reports/%s/%s.cdf" % (DAY, STAMP): (site.reports, "CDF\x01"),
        "/reports/%s/%s.peaks.csv" % (DAY, STAMP): (site.reports, "peak,name\n"),
        "/reports/%s/%s.svg" % (DAY, STAMP): (site.reports, '<svg xmlns="http://www.w3.org/2000/'
                                              'svg"><style>*{stroke:red}</style>%s</svg>\n'
                                              % ("<path d='M0 0L1 1'/>" * 40)),
        "/reports/trend/trend.csv": (site.reports, "stamp,name\n" + LONG_CSV),
        CALIBRATION + "index.json": (site.reports, '{"calibrations": []}\n'),
        CALIBRATION + "qc.json": (site.reports, '{"check": [], "blank": []}\n'),
        RUN + "calibration.json": (site.reports, '{"id": "%s"}\n' % STAMP),
        RUN + "calibration.csv": (site.reports, "name,unit\n"),
        RUN + "calibration.png": (site.reports, "\x89PNG\r\n\x1a\n"),
        "/data/%s/FLOW_%s.dat" % (DAY, STAMP): (site.data, LONG_CSV),
        "/live/PC.php": (site.live, " 40.4"),
        "/live/runtime.dat": (site.live, " 46, 109.17500,  41.4,  40.4\n"
                                         " 47, 244.36000,  41.1,  40.4\n"),
        "/state/PanicLog": (site.state, "2026-12-08 10:00:01: [Warning]:     x\n"),
    }
    paths = {}
    for url, (folder, text) in files.items():
        prefix = url.split("/")[1]
        path = os.path.join(folder, url[len(prefix) + 2:])
        if prefix == "state":
            path = os.path.join(folder, "PanicLog")
        write(path, text.encode("latin-1"))
        paths[url] = path
    for folder in (site.data, os.path.join(site.data, DAY), site.reports, site.live, site.state):
        for name, content in EVIL.items():
            write(os.path.join(folder, name), content)
    for folder in (site.data, site.reports, site.live):
        for name in HIDDEN:
            write(os.path.join(folder, name), SECRET)
    for url in CALIBRATION_REFUSED:
        write(os.path.join(site.reports, url[len("/reports/"):]), SECRET)
    write(os.path.join(site.live, "GC.php"), PHP)
    write(os.path.join(site.data, DAY, "probe.php"), PHP)
    write(os.path.join(site.state, "flowsensors.txt"), SECRET)
    write(os.path.join(site.state, "PanicLog.1"), SECRET)
    write(os.path.join(site.top, "secret.txt"), SECRET)
    os.symlink(os.path.join(site.top, "secret.txt"), os.path.join(site.data, DAY, "escape.dat"))
    os.symlink(site.top, os.path.join(site.data, "outside"))
    os.symlink(os.path.join(site.top, "secret.txt"), os.path.join(site.reports, "escape.json"))
    os.symlink(site.top, os.path.join(site.live, "outside"))
    return paths


class NginxServer(HttpServer):
    """nginx with the shipped server block, its folders moved to the test's."""

    def __init__(self, site):
        self.port = free_port()
        self.folder = tempfile.mkdtemp(prefix="tarvex-nginx-")
        block = open(NGINX_SNIPPET).read()
        for fixed, ours in (("/srv/tarvex/lab1/", site.data + "/"),
                            ("/var/lib/tarvex/lab1/reports/", site.reports + "/"),
                            ("/var/lib/tarvex/lab1/PanicLog", site.state + "/PanicLog"),
                            ("/run/tarvex/lab1/", site.live + "/"),
                            ("/usr/share/tarvex-web/www", os.path.join(WEB, "www")),
                            ("listen 8080;", "listen 127.0.0.1:%d;" % self.port),
                            ("listen [::]:8080;", "")):
            assert fixed in block, fixed
            block = block.replace(fixed, ours)
        write(os.path.join(self.folder, "tarvex.conf"), block.encode())
        main = os.path.join(self.folder, "nginx.conf")
        write(main, ("user root; daemon off; pid %s/nginx.pid; error_log stderr;\n"
                     "events {}\nhttp { include /etc/nginx/mime.types; access_log off;\n"
                     "include %s/tarvex.conf; }\n" % (self.folder, self.folder)).encode())
        self.start([NGINX, "-c", main, "-p", self.folder])

    def stop(self):
        super().stop()
        shutil.rmtree(self.folder, ignore_errors=True)


@pytest.fixture(scope="module", params=["lighttpd", "nginx"])
def served(request, tmp_path_factory):
    site = Site(str(tmp_path_factory.mktemp(request.param)))
    paths = fill(site)
    server = site.server
    if request.param == "nginx":
        if not NGINX:
            site.server.stop()
            pytest.skip("nginx is not installed")
        server = NginxServer(site)
    yield site, server, paths
    if server is not site.server:
        server.stop()
    site.server.stop()


def listing(top):
    found = {}
    for folder, _, names in os.walk(top):
        for name in names:
            path = os.path.join(folder, name)
            found[path] = open(path, "rb").read() if not os.path.islink(path) else None
    return found


def test_every_folder_is_served_byte_for_byte_with_its_type(served):
    site, server, paths = served
    types = {".dat": "text/plain", ".TLog": "text/plain", ".json": "application/json",
             ".png": "image/png", ".cdf": "application/x-netcdf", ".csv": "text/csv",
             ".svg": "image/svg+xml", ".php": "text/plain", "PanicLog": "text/plain"}
    for url, path in paths.items():
        status, headers, body = server.request("GET", url)
        assert (status, body) == (200, open(path, "rb").read()), url
        kind = next(kind for suffix, kind in types.items() if url.endswith(suffix))
        assert headers["Content-Type"].split(";")[0] == kind, url
        assert headers["X-Content-Type-Options"] == "nosniff"
    status, headers, body = server.request("GET", "/")
    assert status == 200 and b"<title>Tarvex: now</title>" in body
    status, headers, body = server.request("GET", "/javascript/chart.js/chart.min.js")
    with open("/usr/share/javascript/chart.js/chart.min.js", "rb") as library:
        assert (status, body) == (200, library.read())


def test_php_files_are_sent_as_text_never_run(served):
    site, server, _ = served
    for url in ("/live/GC.php", "/data/%s/probe.php" % DAY):
        status, headers, body = server.request("GET", url)
        assert (status, body) == (200, PHP)
        assert headers["Content-Type"].startswith("text/plain")


def test_only_panic_log_of_the_state_folder(served):
    site, server, _ = served
    for url in ("/state/flowsensors.txt", "/state/PanicLog.1", "/state/",
                "/state/reports/index.json", "/state/PanicLog/",
                "/state/PanicLog/../flowsensors.txt"):
        status, _, body = server.request("GET", url)
        assert status in (403, 404), url
        assert SECRET not in body


def test_no_path_leads_out_of_the_served_folders(served):
    site, server, _ = served
    outside = os.path.relpath(os.path.join(site.top, "secret.txt"), "/")
    for url in ("/data/../secret.txt", "/data/%2e%2e/secret.txt", "/data/..%2fsecret.txt",
                "/data/%2e%2e%2fsecret.txt", "/reports/../../secret.txt",
                "/live/..%2f..%2fsecret.txt", "/../../../../" + outside,
                "/data/" + "../" * 12 + outside, "/data/%2e%2e/" * 12 + outside,
                "//" + outside, "/data/%s/..%%5c..%%5csecret.txt" % DAY,
                "/state/PanicLog/../../secret.txt", "/data/%s/%%00/../../secret.txt" % DAY):
        status, _, body = server.request("GET", url)
        assert status in (400, 403, 404), url
        assert SECRET not in body, url


def test_no_symbolic_link_out_of_the_served_folders_is_followed(served):
    site, server, _ = served
    for url in ("/data/%s/escape.dat" % DAY, "/data/outside/secret.txt", "/reports/escape.json",
                "/live/outside/secret.txt", "/data/outside/state/flowsensors.txt"):
        status, _, body = server.request("GET", url)
        assert status in (403, 404), url
        assert SECRET not in body, url


def test_no_folder_is_listed(served):
    site, server, _ = served
    for url in ("/data/", "/data/%s/" % DAY, "/reports/", "/live/", "/javascript/chart.js/"):
        status, _, body = server.request("GET", url)
        assert status in (403, 404), url
        assert b"PID_" not in body and b"PC.php" not in body and b"chart.min.js" not in body


def test_nothing_can_be_written(served):
    site, server, paths = served
    before = listing(site.top), listing(os.path.join(WEB, "www"))
    for method in ("PUT", "POST", "DELETE", "PATCH", "MKCOL", "COPY", "MOVE", "PROPPATCH",
                   "OPTIONS"):
        for url in ("/", "/index.html", "/data/%s/new.dat" % DAY,
                    "/data/%s/PID_%s.dat" % (DAY, STAMP), "/reports/index.json", "/live/PC.php",
                    "/state/PanicLog", "/data/"):
            status, _, _ = server.request(method, url, body=b"written through the web\n",
                                          headers={"Destination": "/data/copied.dat"})
            assert status in (403, 405), (method, url, status)
    assert (listing(site.top), listing(os.path.join(WEB, "www"))) == before


def test_live_files_and_panic_log_are_never_cached_reports_revalidated(served):
    site, server, _ = served
    for url in ("/live/PC.php", "/live/runtime.dat", "/state/PanicLog"):
        _, headers, _ = server.request("GET", url)
        assert headers["Cache-Control"] == "no-store", url
        assert "ETag" not in headers, url
    for url in ("/", "/reports/index.json", "/data/%s/PID_%s.dat" % (DAY, STAMP)):
        _, headers, _ = server.request("GET", url)
        assert headers["Cache-Control"] == "no-cache", url


def test_growing_files_are_read_by_byte_ranges(served):
    site, server, paths = served
    content = open(paths["/live/runtime.dat"], "rb").read()
    status, headers, body = server.request("GET", "/live/runtime.dat",
                                           headers={"Range": "bytes=10-"})
    assert (status, body) == (206, content[10:])
    assert headers["Content-Range"] == "bytes 10-%d/%d" % (len(content) - 1, len(content))
    assert headers["Last-Modified"]
    status, _, _ = server.request("GET", "/live/runtime.dat",
                                  headers={"Range": "bytes=%d-" % len(content)})
    assert status == 416
    status, _, body = server.request("GET", "/state/PanicLog", headers={"Range": "bytes=-9"})
    assert (status, body) == (206, open(paths["/state/PanicLog"], "rb").read()[-9:])


# A planted file: (url, status, type, policy, sent as a download).
PLANTED = [("/%s/%s%s" % (folder, day, name), 200, "text/plain; charset=utf-8", FILE_CSP, False)
           for folder, day in (("data", ""), ("data", DAY + "/"), ("live", ""))
           for name in EVIL] + [
    ("/reports/evil.html", 200, "text/plain; charset=utf-8", FILE_CSP, False),
    ("/reports/evil.js", 200, "text/plain; charset=utf-8", FILE_CSP, False),
    ("/reports/evil.svg", 200, "image/svg+xml", FILE_CSP, False),
    ("/reports/%s/%s.cdf" % (DAY, STAMP), 200, "application/x-netcdf", FILE_CSP, True),
    ("/state/evil.html", 403, None, None, False),
    ("/state/evil.js", 403, None, None, False),
]


@pytest.mark.parametrize("url, status, kind, policy, download", PLANTED)
def test_planted_files_are_never_a_page_or_script(served, url, status, kind, policy, download):
    site, server, _ = served
    got, headers, body = server.request("GET", url)
    assert got == status, url
    if status != 200:
        assert body not in EVIL.values()
        return
    assert (headers["Content-Type"], headers["Content-Security-Policy"]) == (kind, policy)
    assert headers["X-Content-Type-Options"] == "nosniff"
    assert headers.get("Content-Disposition") == ("attachment" if download else None)


@pytest.mark.parametrize("url, policy, cache", [
    ("/", PAGE_CSP, "no-cache"), ("/now.js", PAGE_CSP, "no-cache"),
    ("/javascript/chart.js/chart.min.js", PAGE_CSP, "no-cache"),
    ("/data/%s/PID_%s.dat" % (DAY, STAMP), FILE_CSP, "no-cache"),
    ("/reports/index.json", FILE_CSP, "no-cache"), ("/live/PC.php", FILE_CSP, "no-store"),
    ("/state/PanicLog", FILE_CSP, "no-store")])
def test_security_headers_of_each_folder(served, url, policy, cache):
    _, server, _ = served
    status, headers, _ = server.request("GET", url)
    assert status == 200
    assert (headers["X-Content-Type-Options"], headers["Referrer-Policy"],
            headers["Content-Security-Policy"], headers["Cache-Control"]) == \
        ("nosniff", "no-referrer", policy, cache)


REFUSED = [("GET", "/%s/%s" % (folder, name)) for folder in ("data", "reports", "live")
           for name in HIDDEN] + [
    ("GET", "/data/%2ehtpasswd"), ("GET", "/data/%23notes%23"), ("GET", "/.git/config"),
    ("GET", "/index.html~"), ("GET", "/nowhere.html"), ("GET", "/data/nowhere.dat"),
    ("GET", "/state/flowsensors.txt"), ("GET", "/data/"), ("POST", "/"), ("PUT", "/data/x.dat")] + [
    ("GET", url) for url in CALIBRATION_REFUSED]


@pytest.mark.parametrize("method, url", REFUSED)
def test_refusals_carry_the_security_headers(served, method, url):
    """Dot files and editor backups are never sent; no refusal or error page
    lacks the headers."""
    _, server, _ = served
    status, headers, body = server.request(method, url, body=b"x" if method != "GET" else None)
    assert status in (403, 404, 405), url
    assert SECRET not in body
    assert headers["X-Content-Type-Options"] == "nosniff"
    assert "frame-ancestors 'none'" in headers["Content-Security-Policy"]


@pytest.mark.parametrize("url", [
    "/", "/now.js", "/tarvex.css", "/javascript/chart.js/chart.min.js", "/reports/index.json",
    "/reports/trend/trend.csv", "/reports/%s/%s.svg" % (DAY, STAMP),
    "/data/%s/FLOW_%s.dat" % (DAY, STAMP)])
def test_text_is_compressed_in_transit(served, url):
    _, server, _ = served
    _, _, whole = server.request("GET", url)
    status, headers, body = server.request("GET", url, headers={"Accept-Encoding": "gzip"})
    assert (status, headers["Content-Encoding"], gzip.decompress(body)) == (200, "gzip", whole)
    assert len(body) < len(whole) / 2, url
    assert "Accept-Encoding" in headers["Vary"]


def test_files_read_by_ranges_are_sent_as_they_are(served):
    """The dump and PanicLog: never compressed, so that a range is one of
    the file's own bytes."""
    site, server, paths = served
    for url in ("/live/runtime.dat", "/state/PanicLog", "/live/PC.php"):
        content = open(paths.get(url) or os.path.join(site.live, "PC.php"), "rb").read()
        status, headers, body = server.request("GET", url, headers={"Accept-Encoding": "gzip"})
        assert (status, body, headers.get("Content-Encoding")) == (200, content, None), url
        status, headers, body = server.request("GET", url, headers={
            "Accept-Encoding": "gzip", "Range": "bytes=3-"})
        assert (status, body, headers.get("Content-Encoding")) == (206, content[3:], None), url


@pytest.mark.parametrize("ranges", ["bytes=0-3,30-40", "bytes=0-3,4-7", "bytes=1-2,1-2,1-2"])
def test_one_byte_range_at_most(served, ranges):
    """Several ranges in one request get the whole file, never a multipart
    answer."""
    _, server, paths = served
    url = "/data/%s/FLOW_%s.dat" % (DAY, STAMP)
    status, headers, body = server.request("GET", url, headers={"Range": ranges})
    assert (status, body) == (200, open(paths[url], "rb").read())
    assert headers["Content-Type"] == "text/plain; charset=utf-8"


# The lighttpd configuration and the unit that starts it.

def environment_names_of_config():
    return set(re.findall(r"\benv\.([A-Z_]+)", open(CONFIG).read()))


def unit_environment():
    values = {}
    for line in open(UNIT):
        if line.startswith("Environment="):
            name, value = line.strip().split("=", 2)[1:]
            values[name] = value
    return values


def test_unit_sets_every_setting_the_configuration_reads(tmp_path):
    settings = unit_environment()
    assert set(settings) == environment_names_of_config()
    assert settings["TARVEX_WEB_PORT"] == "8080"
    assert settings["ROOT"] == "/srv/tarvex/%i"
    assert settings["TARVEX_WEB_LIVE"] == "/run/tarvex/%i"
    unit = open(UNIT).read()
    assert ("ExecStartPre=/usr/share/tarvex-web/check-folders %i\n"
            "ExecStartPre=/usr/sbin/lighttpd -tt -f /usr/share/tarvex-web/lighttpd.conf\n"
            "ExecStart=/usr/sbin/lighttpd -D -f /usr/share/tarvex-web/lighttpd.conf\n") in unit
    # Without one of them lighttpd does not start, and says which.
    folder = str(tmp_path)
    environment = {name: folder for name in settings}
    environment.update(TARVEX_WEB_PORT=str(free_port()), TARVEX_WEB_ADDRESS="127.0.0.1")
    check = subprocess.run([LIGHTTPD, "-tt", "-f", CONFIG], env=environment,
                           capture_output=True, text=True)
    assert check.returncode == 0, check.stderr
    del environment["TARVEX_WEB_STATE"]
    check = subprocess.run([LIGHTTPD, "-tt", "-f", CONFIG], env=environment,
                           capture_output=True, text=True)
    assert check.returncode != 0
    assert "TARVEX_WEB_STATE" in check.stderr


def test_unit_passes_systemd_checks(tmp_path):
    analyze = shutil.which("systemd-analyze")
    if not analyze:
        pytest.skip("systemd-analyze is not installed")
    # The check as the package installs it, here from the checkout.
    instance = tmp_path / "tarvex-web@lab1.service"
    instance.write_text(open(UNIT).read().replace("/usr/share/tarvex-web/check-folders",
                                                  CHECK_FOLDERS))
    verify = subprocess.run([analyze, "verify", str(instance)], capture_output=True, text=True)
    assert (verify.returncode, verify.stdout + verify.stderr) == (0, "")
    security = subprocess.run([analyze, "security", "--offline=true", str(instance)],
                              capture_output=True, text=True).stdout
    exposure = float(re.search(r"Overall exposure level for \S+: ([0-9.]+)", security).group(1))
    print("\nsystemd-analyze security --offline=true tarvex-web@lab1.service: %.1f" % exposure)
    assert exposure <= 2.0, security


CHECK_FOLDERS = os.path.join(WEB, "check-folders")
WHERE = {"ROOT": "/etc/tarvex/lab1.conf", "TARVEX_WEB_LIVE": "/etc/tarvex/lab1.web"}


@pytest.mark.parametrize("name, value, refusal", [
    ("ROOT", "", "ROOT is empty, which would serve the whole file system: set ROOT= to the "
                 "instrument's data root, an absolute path, in {where}."),
    ("ROOT", None, "ROOT is empty, which would serve the whole file system: set ROOT= to the "
                   "instrument's data root, an absolute path, in {where}."),
    ("ROOT", "/", "ROOT=/ is the whole file system: set ROOT= to the instrument's data root in "
                  "{where}."),
    ("ROOT", "//", "ROOT=// is the whole file system: set ROOT= to the instrument's data root "
                   "in {where}."),
    ("ROOT", "/srv/..", "ROOT=/srv/.. is the whole file system: set ROOT= to the instrument's "
                        "data root in {where}."),
    ("ROOT", "srv/tarvex/lab1", "ROOT=srv/tarvex/lab1 is not an absolute path: set ROOT= to the "
                                "instrument's data root as an absolute path in {where}."),
    ("ROOT", "{top}/linked", "ROOT={top}/linked is not a real path (a symbolic link, \".\" or "
                             "\"..\" in it; no link is followed): set ROOT={top}/real in {where}."),
    ("TARVEX_WEB_LIVE", "{top}/real/../real", "TARVEX_WEB_LIVE={top}/real/../real is not a real "
     "path (a symbolic link, \".\" or \"..\" in it; no link is followed): set "
     "TARVEX_WEB_LIVE={top}/real in {where}."),
    ("ROOT", "{top}/real", None), ("ROOT", "{top}/real/", None), ("ROOT", "{top}/new", None)])
def test_folder_check_refuses_what_would_serve_too_much_or_nothing(tmp_path, name, value,
                                                                   refusal):
    """check-folders, which the unit runs before lighttpd: each refused
    setting named, with the fix."""
    top = os.path.realpath(str(tmp_path))
    os.mkdir(os.path.join(top, "real"))
    os.symlink("real", os.path.join(top, "linked"))
    environment = {key: os.path.join(top, "real")
                   for key in environment_names_of_config() if key != "TARVEX_WEB_PORT"}
    environment.update(TARVEX_WEB_PAGES=os.path.realpath(os.path.join(WEB, "www")),
                       PATH="/usr/bin:/bin")
    environment.pop("TARVEX_WEB_ADDRESS")
    if value is None:
        del environment[name]
    else:
        environment[name] = value.format(top=top)
    done = subprocess.run([CHECK_FOLDERS, "lab1"], env=environment, capture_output=True,
                          text=True)
    if refusal is None:
        assert (done.returncode, done.stderr) == (0, "")
    else:
        expected = "tarvex-web: " + refusal.format(top=top, where=WHERE[name]) + "\n"
        assert (done.returncode, done.stderr) == (1, expected)


def syscall_group(analyze, group):
    names = set()
    lines = subprocess.run([analyze, "syscall-filter", group], capture_output=True,
                           text=True).stdout.split("\n")
    for line in lines[1:]:
        name = line.strip()
        if name.startswith("@"):
            names |= syscall_group(analyze, name)
        elif name and not name.startswith("#"):
            names.add(name)
    return names


def test_lighttpd_needs_nothing_the_unit_forbids(site):
    """The unit's system call filter and its ban on writable executable
    memory, against what lighttpd does from its start through serving:
    compressed answers, ranges, refusals by a regular expression."""
    strace, analyze = shutil.which("strace"), shutil.which("systemd-analyze")
    if not strace or not analyze:
        pytest.skip("needs strace and systemd-analyze")
    fill(site)
    trace = os.path.join(site.top, "lighttpd.strace")
    traced = WebServer(site.data, site.reports, site.state, site.live,
                       wrapper=[strace, "-f", "-qq", "-o", trace])
    try:
        for url in ("/", "/now.js", "/live/runtime.dat", "/state/PanicLog", "/reports/index.json",
                    "/data/%s/escape.dat" % DAY, "/state/flowsensors.txt", "/data/",
                    "/data/.htpasswd", "/reports/trend/trend.csv"):
            traced.request("GET", url, headers={"Range": "bytes=1-"})
            traced.request("GET", url, headers={"Accept-Encoding": "gzip, deflate"})
        traced.request("POST", "/", body=b"x")
    finally:
        # Ending lighttpd ends strace, which has its last calls written then.
        children = open("/proc/%d/task/%d/children" % (traced.process.pid, traced.process.pid))
        os.kill(int(children.read().split()[0]), signal.SIGTERM)
        traced.process.wait(timeout=10)
    log = traced.output()
    traced.log.close()
    text = open(trace).read()
    calls = set(re.findall(r"^\d+\s+([a-z0-9_]+)\(", text, re.M))
    assert {"execve", "bind", "accept4", "openat"} <= calls
    allowed = syscall_group(analyze, "@system-service") - syscall_group(analyze, "@privileged") \
        - syscall_group(analyze, "@resources")
    assert calls - allowed == {"execve"} - allowed
    assert "PROT_WRITE|PROT_EXEC" not in text
    assert not re.search(r"mprotect\([^)]*PROT_EXEC", text)
    if REFUSE_EXEC_GAIN_SUPPORTED:
        # Had lighttpd compiled its expressions to machine code, the kernel
        # would have refused it the memory, and lighttpd said so.
        assert "jit" not in log.lower(), log


def test_nginx_server_block_passes_nginx_check(tmp_path):
    if not NGINX:
        pytest.skip("nginx is not installed")
    main = tmp_path / "nginx.conf"
    main.write_text("pid %s/nginx.pid; error_log stderr;\nevents {}\n"
                    "http { include /etc/nginx/mime.types; access_log off; include %s; }\n"
                    % (tmp_path, NGINX_SNIPPET))
    check = subprocess.run([NGINX, "-t", "-c", str(main), "-p", str(tmp_path)],
                           capture_output=True, text=True)
    assert check.returncode == 0, check.stderr


def test_serve_script_serves_a_checkouts_folders(tmp_path):
    """web/serve.sh, which the demo uses: the same configuration, reports
    brought up to date first, lighttpd left running in the background."""
    data, state = tmp_path / "data", tmp_path / "state"
    data.mkdir()
    state.mkdir()
    (state / "PanicLog").write_text("2026-12-08 10:00:01: [Warning]:     x\n")
    port = free_port()
    started = subprocess.run([os.path.join(WEB, "serve.sh"), "--data", str(data), "--state",
                              str(state), "--live", str(tmp_path), "--port", str(port),
                              "--background"], capture_output=True, text=True, timeout=120)
    assert started.returncode == 0, started.stderr
    assert started.stdout.startswith("Web view: http://127.0.0.1:%d/ (stop it with: kill " % port)
    server = HttpServer()
    server.port = port
    try:
        assert server.request("GET", "/")[0] == 200
        status, _, body = server.request("GET", "/reports/index.json")
        assert status == 200 and json.loads(body)["days"] == []
        assert server.request("GET", "/state/PanicLog")[2] == (state / "PanicLog").read_bytes()
    finally:
        os.kill(int((state / "web.pid").read_text()), signal.SIGTERM)
