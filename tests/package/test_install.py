"""The Debian packages on this machine: install them, check what they set up,
run one short cycle through the service's own ExecStart line against the
installed simulator, report it through the report unit's own line, serve it
through the web unit's own lines, purge everything and check that nothing of
it is left.

Everything happens in a private mount namespace with a memory-backed /run, so
the machine's /run/Tarvex_rt is never touched. Needs root and the packages
built by scripts/package.sh (out/packages/).
"""
import ctypes
import errno
import glob
import grp
import json
import os
import pwd
import re
import shlex
import socket
import subprocess
import tempfile
import time
import urllib.request

import pytest

TOP = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
UNITS = "/lib/systemd/system"
PACKAGES = ["tarvex", "tarvex-report", "tarvex-web"]
INSTANCE = "pkgtest"
CLONE_NEWNS = 0x00020000
APT = ["apt-get", "-y", "-q", "-o", "DPkg::Lock::Timeout=300"]
APT_ENV = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
EXAMPLES = "/usr/share/doc/tarvex/examples"


def run(command, **kwargs):
    return subprocess.run(command, check=True, capture_output=True, text=True, **kwargs)


def enter_private_run():
    """A mount namespace of our own with an empty tmpfs on /run."""
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.unshare(CLONE_NEWNS) != 0:
        error = ctypes.get_errno()
        if error != errno.EPERM:
            pytest.fail("unshare: " + os.strerror(error))
        pytest.skip("mount namespaces are not permitted here: " + os.strerror(error))
    run(["mount", "--make-rprivate", "/"])
    run(["mount", "-t", "tmpfs", "-o", "mode=0755", "tarvex-test-run", "/run"])
    os.mkdir("/run/lock", 0o1777)


class Service:
    """A service unit as installed, for one instance: its settings with the
    specifiers filled in, its environment, and its commands as systemd
    expands them."""

    def __init__(self, name, instance):
        self.settings = {}
        section = None
        for path in [os.path.join(UNITS, name)] + sorted(glob.glob(
                os.path.join(UNITS, name + ".d", "*.conf"))):
            for line in open(path):
                line = line.strip()
                if not line or line[0] in "#;":
                    continue
                if line.startswith("["):
                    section = line
                else:
                    key, value = line.split("=", 1)
                    value = value.replace("%i", instance).replace("%C", "/var/cache")
                    self.settings.setdefault(section + key, []).append(value)
        self.environment = {}
        for assignment in self.all("Environment"):
            key, value = assignment.split("=", 1)
            self.environment[key] = value
        for path in self.all("EnvironmentFile"):
            optional = path.startswith("-")
            path = path.lstrip("-")
            if optional and not os.path.exists(path):
                continue
            self.environment.update(environment_file(path))
        for name in " ".join(self.all("UnsetEnvironment")).split():
            self.environment.pop(name, None)

    def all(self, key, section="[Service]"):
        return self.settings.get(section + key, [])

    def one(self, key, section="[Service]"):
        values = self.all(key, section)
        return values[-1] if values else None

    def command(self, key="ExecStart"):
        return expand_command(self.one(key), self.environment)

    def run_as_user(self, command, cwd, timeout):
        groups = [grp.getgrnam(name).gr_gid
                  for name in " ".join(self.all("SupplementaryGroups")).split()]
        user = pwd.getpwnam(self.one("User"))
        umask = int(self.one("UMask") or "0022", 8)

        def switch():
            os.setgroups(groups)
            os.setgid(user.pw_gid)
            os.setuid(user.pw_uid)
            os.umask(umask)

        return subprocess.run(command, cwd=cwd, env=dict(self.environment, PATH="/usr/bin:/bin"),
                              preexec_fn=switch, capture_output=True, text=True, timeout=timeout)


def environment_file(path):
    values = {}
    for line in open(path):
        line = line.strip()
        if line and line[0] not in "#;" and "=" in line:
            key, value = line.split("=", 1)
            if len(value) >= 2 and value[0] == value[-1] and value[0] in "'\"":
                value = value[1:-1]
            values[key.strip()] = value
    return values


def expand_command(line, environment):
    """A command line as systemd expands it: "${NAME}" as one word, a word
    "$NAME" split at white space (none when empty)."""
    words = []
    for word in shlex.split(line.lstrip("-@:+!")):
        whole = re.fullmatch(r"\$([A-Za-z_][A-Za-z0-9_]*)", word)
        if whole:
            words.extend(environment.get(whole.group(1), "").split())
        else:
            words.append(re.sub(r"\$\{([A-Za-z_][A-Za-z0-9_]*)\}",
                                lambda m: environment.get(m.group(1), ""), word))
    return words


def make_tarvex_folder(path, mode=0o750):
    """A folder as StateDirectory= or CacheDirectory= makes it."""
    os.makedirs(path, mode=mode, exist_ok=True)
    tarvex = pwd.getpwnam("tarvex")
    os.chown(path, tarvex.pw_uid, tarvex.pw_gid)
    os.chmod(path, mode)


def start_simulator(folder):
    link = os.path.join(folder, "ttyGC")
    output = os.path.join(folder, "sim.out")
    simulator = subprocess.Popen(
        ["/usr/bin/tarvex-sim", "--link", link, "--flowsensors",
         os.path.join(EXAMPLES, "flowsensors.txt")], stdout=open(output, "w"),
        stderr=subprocess.STDOUT)
    deadline = time.monotonic() + 10
    while "serving" not in open(output).read():
        assert simulator.poll() is None and time.monotonic() < deadline, "tarvex-sim did not start"
        time.sleep(0.05)
    # A serial port of the group dialout, as the service user finds them.
    pty = os.path.realpath(link)
    os.chown(pty, 0, grp.getgrnam("dialout").gr_gid)
    os.chmod(pty, 0o660)
    return simulator, link


def package_files():
    listing = run(["dpkg-query", "-L"] + PACKAGES).stdout.split("\n")
    return [path for path in listing if path and not os.path.isdir(path)]


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def get(url):
    with urllib.request.urlopen(url, timeout=10) as answer:
        return answer.read()


@pytest.fixture(scope="module")
def installed():
    if os.geteuid() != 0:
        pytest.skip("installing packages needs root")
    status = subprocess.run(["dpkg-query", "-W", "-f=${db:Status-Abbrev} ${Package}\n"] + PACKAGES,
                            capture_output=True, text=True).stdout
    if re.search(r"^ii ", status, re.M):
        pytest.skip("Tarvex is installed on this machine: this test would purge it")
    debs = [glob.glob(os.path.join(TOP, "out/packages/%s_*.deb" % name)) for name in PACKAGES]
    assert all(len(found) == 1 for found in debs), "build the packages first: scripts/package.sh"
    enter_private_run()
    run(APT + ["install", "--no-install-recommends"] + [found[0] for found in debs], env=APT_ENV)
    files = package_files()
    yield files
    subprocess.run(APT + ["purge"] + PACKAGES, capture_output=True, env=APT_ENV)


def test_install_sets_up_user_units_and_dump_folder(installed):
    user = pwd.getpwnam("tarvex")
    assert user.pw_dir == "/var/lib/tarvex"
    assert "tarvex" in grp.getgrnam("dialout").gr_mem
    dump = os.stat("/run/Tarvex_rt")
    assert (dump.st_uid, dump.st_gid, dump.st_mode & 0o7777) == (user.pw_uid, user.pw_gid, 0o750)
    for path in ("/usr/bin/Tarvex", "/usr/bin/tarvex-sim", "/usr/bin/tarvex-report",
                 UNITS + "/tarvex@.service", "/etc/tarvex/example.conf",
                 "/usr/share/man/man1/Tarvex.1.gz", "/usr/share/man/man5/tarvex-method.5.gz",
                 "/usr/share/tarvex-web/lighttpd.conf"):
        assert path in installed
    assert glob.glob("/usr/lib/*/tarvex/libtarvexnullmodem.so")
    conffiles = run(["dpkg-query", "-W", "-f=${Conffiles}", "tarvex"]).stdout
    assert "/etc/tarvex/example.conf" in conffiles

    units = ["tarvex@%s.service", "tarvex@%s.timer", "tarvex-halt@%s.service",
             "tarvex-report@%s.service", "tarvex-web@%s.service"]
    units = [unit % INSTANCE for unit in units]
    verify = subprocess.run(["systemd-analyze", "verify"] + units, capture_output=True, text=True)
    assert (verify.returncode, verify.stdout + verify.stderr) == (0, "")
    security = run(["systemd-analyze", "security", "--offline=true", units[0]]).stdout
    exposure = float(re.search(r"Overall exposure level for \S+: ([0-9.]+)", security).group(1))
    assert exposure <= 2.0, security


def test_units_run_a_cycle_report_it_and_serve_it(installed):
    work = tempfile.mkdtemp(prefix="tarvex-package-")
    os.chmod(work, 0o755)
    root = os.path.join(work, "data")
    make_tarvex_folder(root)
    simulator, port = start_simulator(work)
    conf_path = "/etc/tarvex/%s.conf" % INSTANCE
    try:
        # The example configuration, pointed at the simulator.
        conf = open("/etc/tarvex/example.conf").read()
        changes = {"PORT": port, "METHOD": os.path.join(EXAMPLES, "method.txt"), "ROOT": root,
                   "CYCLE": "30", "PIDDELAY": "5", "PIDCYCLE": "12", "SAMPLEVOLUME": "40",
                   "#LD_PRELOAD": None}
        for key, value in changes.items():
            assert re.search("^%s=" % key, conf, re.M), key
            conf = re.sub("^%s=.*$" % key, lambda m, k=key, v=value: (
                m.group(0).lstrip("#") if v is None else "%s=%s" % (k, v)), conf, flags=re.M)
        with open(conf_path, "w") as written:
            written.write(conf)
        run(["cp", "/etc/tarvex/example.peaks", "/etc/tarvex/%s.peaks" % INSTANCE])

        # One cycle through the controller's unit, in the state folder it makes.
        cycle_unit = Service("tarvex@.service", INSTANCE)
        state = cycle_unit.one("WorkingDirectory")
        make_tarvex_folder(state)
        run(["install", "-o", "tarvex", "-g", "tarvex", "-m", "0640",
             os.path.join(EXAMPLES, "flowsensors.txt"), state])
        command = cycle_unit.command()
        assert command[0] == "/usr/bin/Tarvex" and command[-2:] == ["-silent", "-runtimedump"]
        cycle = cycle_unit.run_as_user(command, state, timeout=120)
        assert cycle.returncode == 0, cycle.stdout + cycle.stderr
        assert cycle.stdout.endswith("Done.\n\n")
        assert "\r" not in cycle.stdout, "-silent: no status line"
        days = os.listdir(root)
        assert len(days) == 1
        day = os.path.join(root, days[0])
        names = sorted(re.sub(r"_\d{4}-\d\d-\d\d_\d\d-\d\d-00", "", name)
                       for name in os.listdir(day))
        assert names == ["Flow.TLog", "PID.dat", "TC64.TLog", "TC66.TLog"]
        for name in os.listdir(day):
            status = os.stat(os.path.join(day, name))
            assert (status.st_uid, status.st_mode & 0o777) == (pwd.getpwnam("tarvex").pw_uid,
                                                                0o640)
        assert float(open("/run/Tarvex_rt/PC.php").read()) > 0
        # After each cycle, success or not, the report unit runs.
        assert "tarvex-report@%s.service" % INSTANCE in cycle_unit.all("OnSuccess", "[Unit]")
        assert "tarvex-report@%s.service" % INSTANCE in cycle_unit.all("OnFailure", "[Unit]")

        # The report, through the report unit's own line.
        report_unit = Service("tarvex-report@.service", INSTANCE)
        for folder in ("/var/lib/tarvex/%s/reports" % INSTANCE,
                       report_unit.environment["MPLCONFIGDIR"]):
            make_tarvex_folder(folder)
        report = report_unit.run_as_user(report_unit.command(), "/", timeout=120)
        assert report.returncode == 0, report.stdout + report.stderr
        index = json.load(open("/var/lib/tarvex/%s/reports/index.json" % INSTANCE))
        assert index["days"][0]["cycles"][0]["error"] is None
        assert index["days"][0]["cycles"][0]["report"]["png"]

        # The web view, through the web unit's own lines, on a free port.
        with open("/etc/tarvex/%s.web" % INSTANCE, "w") as web_conf:
            web_conf.write("TARVEX_WEB_ADDRESS=127.0.0.1\nTARVEX_WEB_PORT=%d\n" % free_port())
        web_unit = Service("tarvex-web@.service", INSTANCE)
        assert "LD_PRELOAD" not in web_unit.environment
        run(web_unit.command("ExecStartPre"), env=web_unit.environment)
        server = subprocess.Popen(web_unit.command(), env=web_unit.environment)
        try:
            base = "http://127.0.0.1:%s/" % web_unit.environment["TARVEX_WEB_PORT"]
            for _ in range(100):
                try:
                    page = get(base)
                    break
                except OSError:
                    time.sleep(0.05)
            assert b"Tarvex" in page
            assert json.loads(get(base + "reports/index.json")) == index
            raw = index["days"][0]["cycles"][0]["raw"]["pid"]
            assert get(base + "data/" + raw) == open(os.path.join(root, raw), "rb").read()
            assert get(base + "live/PC.php") == open("/run/Tarvex_rt/PC.php", "rb").read()
        finally:
            server.terminate()
            server.wait()
    finally:
        simulator.terminate()
        simulator.wait()
        for mine in glob.glob("/etc/tarvex/%s.*" % INSTANCE):
            os.remove(mine)

    # Purge: nothing of the packages is left; the data root is the operator's.
    run(APT + ["purge"] + PACKAGES, env=APT_ENV)
    left = [path for path in installed + ["/etc/tarvex", "/var/lib/tarvex", "/run/Tarvex_rt",
                                          "/var/cache/tarvex-report", "/usr/share/tarvex-web"]
            if os.path.lexists(path)]
    assert left == []
    assert len(os.listdir(day)) == 4
    subprocess.run(["rm", "-rf", work])
