"""The web server configurations: what is served, exactly, and what is not:
nothing outside the served folders, no symbolic link out of them, no
listing, no script run, nothing written. The same checks run against
lighttpd with the shipped configuration and against nginx with the shipped
server block (its folders, fixed for an instrument named lab1, moved to the
test's)."""
import json
import os
import re
import shutil
import signal
import subprocess
import tempfile

import pytest

from conftest import CONFIG, LIGHTTPD, UNIT, WEB, HttpServer, Site, WebServer, free_port

NGINX = shutil.which("nginx", path="/usr/sbin:/usr/bin")
NGINX_SNIPPET = os.path.join(WEB, "nginx-tarvex.conf")
DAY = "2026-12-08"
STAMP = DAY + "_10-00-00"
SECRET = b"outside the served folders\n"
PHP = b"<?php echo 'executed'; ?>\n"


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
        "/reports/index.json": (site.reports, '{"days": [], "trend": null}\n'),
        "/reports/%s/%s.png" % (DAY, STAMP): (site.reports, "\x89PNG\r\n\x1a\n"),
        "/reports/%s/%s.cdf" % (DAY, STAMP): (site.reports, "CDF\x01"),
        "/reports/%s/%s.peaks.csv" % (DAY, STAMP): (site.reports, "peak,name\n"),
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
                            ("/run/Tarvex_rt/", site.live + "/"),
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
             ".php": "text/plain", "PanicLog": "text/plain"}
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
    assert settings["TARVEX_WEB_LIVE"] == "/run/Tarvex_rt"
    unit = open(UNIT).read()
    assert "ExecStart=%s -D -f /usr/share/tarvex-web/lighttpd.conf\n" % "/usr/sbin/lighttpd" in unit
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
    instance = tmp_path / "tarvex-web@lab1.service"
    instance.symlink_to(UNIT)
    verify = subprocess.run([analyze, "verify", str(instance)], capture_output=True, text=True)
    assert (verify.returncode, verify.stdout + verify.stderr) == (0, "")
    security = subprocess.run([analyze, "security", "--offline=true", str(instance)],
                              capture_output=True, text=True).stdout
    exposure = float(re.search(r"Overall exposure level for \S+: ([0-9.]+)", security).group(1))
    assert exposure <= 1.5, security


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
    memory, against what lighttpd does from its start through serving."""
    strace, analyze = shutil.which("strace"), shutil.which("systemd-analyze")
    if not strace or not analyze:
        pytest.skip("needs strace and systemd-analyze")
    fill(site)
    trace = os.path.join(site.top, "lighttpd.strace")
    traced = WebServer(site.data, site.reports, site.state, site.live,
                       wrapper=[strace, "-f", "-qq", "-o", trace])
    try:
        for url in ("/", "/now.js", "/live/runtime.dat", "/state/PanicLog", "/reports/index.json",
                    "/data/%s/escape.dat" % DAY, "/state/flowsensors.txt", "/data/"):
            traced.request("GET", url, headers={"Range": "bytes=1-"})
        traced.request("POST", "/", body=b"x")
    finally:
        # Ending lighttpd ends strace, which has its last calls written then.
        children = open("/proc/%d/task/%d/children" % (traced.process.pid, traced.process.pid))
        os.kill(int(children.read().split()[0]), signal.SIGTERM)
        traced.process.wait(timeout=10)
        traced.log.close()
    text = open(trace).read()
    calls = set(re.findall(r"^\d+\s+([a-z0-9_]+)\(", text, re.M))
    assert {"execve", "bind", "accept4", "openat"} <= calls
    allowed = syscall_group(analyze, "@system-service") - syscall_group(analyze, "@privileged") \
        - syscall_group(analyze, "@resources")
    assert calls - allowed == {"execve"} - allowed
    assert "PROT_WRITE|PROT_EXEC" not in text


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
