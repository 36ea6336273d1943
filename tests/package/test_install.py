"""The Debian packages on this machine: install them, check what they set up,
check each data root the way the cycle's unit does before a cycle, run three
instruments at once through their cycle units' own lines (samples, blanks and
standards) against simulators started by their rehearsal units, report and
serve one of them, purge everything and check what is left.

Everything happens in a private mount namespace with memory-backed /run and
/srv, so the machine's /run/Tarvex_rt and /srv are never touched. The units'
lines run in a further namespace of their own that does what their sandbox
settings do to the file system (see Service.sandbox). Needs root and the
packages built by scripts/package.sh (out/packages/).
"""
import ctypes
import datetime
import errno
import fnmatch
import glob
import grp
import gzip
import hashlib
import json
import os
import pwd
import re
import shlex
import shutil
import signal
import socket
import subprocess
import time
import urllib.request

import pytest

TOP = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
UNITS = "/lib/systemd/system"
PACKAGES = ["tarvex", "tarvex-report", "tarvex-web"]
CLONE_NEWNS = 0x00020000
APT = ["apt-get", "-y", "-q", "-o", "DPkg::Lock::Timeout=300"]
APT_ENV = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
EXAMPLES = "/usr/share/doc/tarvex/examples"
GUIDE = "/usr/share/doc/tarvex/operator-guide.md.gz"
SERVICE_PATH = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"
# Three instruments with different column temperatures (simulator scenarios),
# one with its data root inside its state folder, the others below
# /srv/tarvex.
INSTRUMENTS = {"pkgtest": ("/srv/tarvex/pkgtest", "31.00"),
               "pkgtest2": ("/var/lib/tarvex/pkgtest2/data", "47.00"),
               "pkgtest3": ("/srv/tarvex/pkgtest3", "38.00")}
KINDS = {"sample": "tarvex", "blank": "tarvex-blank", "check": "tarvex-check",
         "calibration": "tarvex-calibration"}
# What each instrument's blanks and standards read over its configuration
# (cycles of 5 s, or of the instrument's 21 s); "{standard}" in a method
# file's name stands for the standard's id, and both may hold quotes,
# backslashes and letters beyond ASCII.
SHORT = {"CYCLE": "13", "PIDDELAY": "1", "PIDCYCLE": "2"}
ODD_METHOD = '/etc/tarvex/pkgtest2 "kalibrier\\ung" ü-{standard}.method'
ODD_ID = 'S"1\\ä'
KIND_SETTINGS = {
    ("pkgtest", "check"): dict(SHORT, METHOD="/etc/tarvex/pkgtest-check.method",
                               STANDARD_IDS="CHK"),
    ("pkgtest2", "calibration"): dict(SHORT, METHOD=ODD_METHOD, STANDARD_IDS=ODD_ID + " S2"),
    ("pkgtest3", "blank"): {"METHOD": "/etc/tarvex/pkgtest3-blank.method"}}
# The cycles of each instrument, in time order: kind, standard, method file,
# Tarvex's exit status.
CYCLES = {"pkgtest": [("sample", None, EXAMPLES + "/method.txt", 0),
                      ("check", "CHK", "/etc/tarvex/pkgtest-check.method", 0)],
          "pkgtest2": [("calibration", ODD_ID, ODD_METHOD.format(standard=ODD_ID), 0),
                       ("calibration", "S2", ODD_METHOD.format(standard="S2"), 0)],
          "pkgtest3": [("blank", None, "/etc/tarvex/pkgtest3-blank.method", 130)]}
STAMP = r"\d{4}-\d\d-\d\d_\d\d-\d\d-00"
CHECKED = "pkgcheck"
SYSTEMCTL_LOG = "/run/tarvex-test-systemctl.log"


def run(command, **kwargs):
    return subprocess.run(command, check=True, capture_output=True, text=True, **kwargs)


def enter_private_run():
    """A mount namespace of our own with empty tmpfs on /run and /srv."""
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.unshare(CLONE_NEWNS) != 0:
        error = ctypes.get_errno()
        if error != errno.EPERM:
            pytest.fail("unshare: " + os.strerror(error))
        pytest.skip("mount namespaces are not permitted here: " + os.strerror(error))
    run(["mount", "--make-rprivate", "/"])
    for folder in ("/run", "/srv"):
        run(["mount", "-t", "tmpfs", "-o", "mode=0755", "tarvex-test" + folder.replace("/", "-"),
             folder])
    os.mkdir("/run/lock", 0o1777)
    os.mkdir("/srv/tarvex", 0o755)


class Service:
    """A service unit as installed, for one instance: its settings with the
    specifiers filled in, its environment, and its command lines as systemd
    expands them, run as its user in its sandbox."""

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
                    value = value.replace("%i", instance).replace("%C", "/var/cache").replace(
                        "%n", name.replace("@.", "@%s." % instance))
                    self.settings.setdefault(section + key, []).append(value)
        self.environment = {}
        for assignment in shlex.split(" ".join(self.all("Environment"))):
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

    def folders(self):
        """The folders systemd makes for the unit, as it makes them."""
        made = []
        for kind, base in (("State", "/var/lib"), ("Cache", "/var/cache"), ("Runtime", "/run")):
            mode = int(self.one(kind + "DirectoryMode") or "0755", 8)
            for name in " ".join(self.all(kind + "Directory")).split():
                path = os.path.join(base, name)
                make_tarvex_folder(path, mode)
                made.append(path)
        return made

    def sandbox(self):
        """Shell lines that do in a new mount namespace what the unit's settings
        do to the file system: everything read-only (ProtectSystem=strict;
        here "/", /run and /srv, the mounts the tests write), writable again
        its ReadWritePaths= and its own folders, its BindPaths=, a /tmp of its
        own (PrivateTmp=)."""
        lines = ["set -e",
                 "for m in / /run /srv; do mount -o remount,bind,ro \"$m\"; done",
                 "mount -t tmpfs private-tmp /tmp", "mount -t tmpfs private-var-tmp /var/tmp"]
        writable = self.folders()
        for path in " ".join(self.all("ReadWritePaths")).split():
            if not (path.startswith("-") and not os.path.exists(path.lstrip("-"))):
                writable.append(path.lstrip("-"))
        binds = [entry.split(":")[:2] for entry in " ".join(self.all("BindPaths")).split()]
        for source, target in [(path, path) for path in writable] + binds:
            lines.append("mount --bind %s %s && mount -o remount,bind,rw %s"
                         % (shlex.quote(source), shlex.quote(target), shlex.quote(target)))
        user = pwd.getpwnam(self.one("User"))
        groups = ",".join(" ".join(self.all("SupplementaryGroups")).split())
        lines.append("cd %s" % shlex.quote(self.one("WorkingDirectory") or "/"))
        lines.append("exec setpriv --reuid=%d --regid=%d %s -- \"$@\"" % (
            user.pw_uid, user.pw_gid, "--groups=" + groups if groups else "--clear-groups"))
        return "\n".join(lines)

    def start(self, key="ExecStart", trace=None, **popen):
        """The command line as the unit runs it: its user, umask, working
        directory, environment and sandbox; with trace, under strace."""
        tracing = ["strace", "-f", "-qq", "-o", trace] if trace else []
        return subprocess.Popen(
            ["unshare", "--mount", "--propagation", "private", "sh", "-c", self.sandbox(), "sh"]
            + tracing + self.command(key), env=dict(self.environment, PATH=SERVICE_PATH),
            umask=int(self.one("UMask") or "0022", 8), text=True, **popen)

    def run(self, key="ExecStart", timeout=120, trace=None):
        process = self.start(key, trace, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        return finish(process, timeout)


def finish(process, timeout=120):
    out, err = process.communicate(timeout=timeout)
    return subprocess.CompletedProcess(process.args, process.returncode, out, err)


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
    "$NAME" split at white space (none when empty), "$$" a dollar sign."""
    words = []
    for word in shlex.split(line.lstrip("-@:+!")):
        whole = re.fullmatch(r"\$([A-Za-z_][A-Za-z0-9_]*)", word)
        if whole:
            words.extend(environment.get(whole.group(1), "").split())
        else:
            words.append(re.sub(r"\$\$|\$\{([A-Za-z_][A-Za-z0-9_]*)\}", lambda m: "$" if m.group(
                0) == "$$" else environment.get(m.group(1), ""), word))
    return words


def make_tarvex_folder(path, mode=0o750):
    """A folder of the user tarvex, as StateDirectory= or install -d makes it."""
    os.makedirs(path, mode=mode, exist_ok=True)
    tarvex = pwd.getpwnam("tarvex")
    os.chown(path, tarvex.pw_uid, tarvex.pw_gid)
    os.chmod(path, mode)


def write(path, text):
    with open(path, "w") as written:
        written.write(text)


def configure(instance, root, column):
    """/etc/tarvex/<instance>.conf made from the example as an operator would,
    with its two rehearsal lines enabled; the simulator's scenario fixes the
    column temperature of T-controller 64."""
    conf = open("/etc/tarvex/example.conf").read()
    changes = {"METHOD": os.path.join(EXAMPLES, "method.txt"), "ROOT": root, "CYCLE": "30",
               "PIDDELAY": "5", "PIDCYCLE": "12", "SAMPLEVOLUME": "40"}
    for key, value in changes.items():
        assert re.search("^%s=" % key, conf, re.M), key
        conf = re.sub("^%s=.*$" % key, "%s=%s" % (key, value), conf, flags=re.M)
    for rehearsal in (r"#PORT=/run/tarvex-sim/<instance>/ttyGC", r"#LD_PRELOAD=/usr/lib/\S+"):
        assert re.search("^" + rehearsal + "$", conf, re.M), rehearsal
        conf = re.sub("^" + rehearsal + "$", lambda m: m.group(0)[1:].replace(
            "<instance>", instance), conf, flags=re.M)
    write("/etc/tarvex/%s.conf" % instance, conf)
    for (named, kind), settings in KIND_SETTINGS.items():
        if named != instance:
            continue
        write("/etc/tarvex/%s-%s.conf" % (instance, kind),
              "".join("%s='%s'\n" % item for item in settings.items()))
        for standard in settings.get("STANDARD_IDS", "-").split():
            # The example method, told apart by a comment of its own.
            method = settings["METHOD"].format(standard=standard)
            write(method, "# %s\n%s" % (method, open(EXAMPLES + "/method.txt").read()))
    write("/etc/tarvex/%s.scenario" % instance, 'tc64.rct text "%s"\n' % column)
    write("/etc/tarvex/%s.sim" % instance, "SIMOPTIONS=--scenario /etc/tarvex/%s.scenario\n"
          % instance)
    make_tarvex_folder(root)


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


def exposure(unit):
    report = run(["systemd-analyze", "security", "--offline=true", unit]).stdout
    return float(re.search(r"Overall exposure level for \S+: ([0-9.]+)", report).group(1))


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
    remove_test_instruments()
    in_dialout_before = dialout_member()
    run(APT + ["install", "--no-install-recommends"] + [found[0] for found in debs], env=APT_ENV)
    files = package_files()
    yield files, in_dialout_before
    subprocess.run(APT + ["purge"] + PACKAGES, capture_output=True, env=APT_ENV)
    remove_test_instruments()


def dialout_member():
    """Whether the user tarvex is in dialout; None without a user tarvex."""
    try:
        pwd.getpwnam("tarvex")
    except KeyError:
        return None
    return "tarvex" in grp.getgrnam("dialout").gr_mem


def remove_test_instruments():
    """Our instruments' files, which purge rightly keeps."""
    subprocess.run(["rm", "-rf"] + glob.glob("/etc/tarvex/pkg*.*") + glob.glob(
        "/var/lib/tarvex/pkg*"))
    for folder in ("/etc/tarvex", "/var/lib/tarvex"):
        if os.path.isdir(folder) and not os.listdir(folder):
            os.rmdir(folder)


def test_install_sets_up_user_units_and_guide(installed):
    _, in_dialout_before = installed
    assert pwd.getpwnam("tarvex").pw_dir == "/var/lib/tarvex"
    # Into dialout when the package makes the user; an existing user's groups stay.
    assert dialout_member() == (True if in_dialout_before is None else in_dialout_before)
    # Only the mount point of the instances' dump folders (the programs, units,
    # man pages and guide show below, where they are run, verified and read).
    mount_point = os.stat("/run/Tarvex_rt")
    assert (mount_point.st_uid, mount_point.st_mode & 0o7777) == (0, 0o755)
    conffiles = run(["dpkg-query", "-W", "-f=${Conffiles}", "tarvex"]).stdout
    assert "/etc/tarvex/example.conf" in conffiles

    units = [unit % "lab1" for unit in [prefix + "@%s." + ending for prefix in KINDS.values()
                                        for ending in ("service", "timer")]
             + ["tarvex-halt@%s.service", "tarvex-report@%s.service", "tarvex-sim@%s.service",
                "tarvex-web@%s.service"]]
    verify = subprocess.run(["systemd-analyze", "verify"] + units, capture_output=True, text=True)
    assert (verify.returncode, verify.stdout + verify.stderr) == (0, "")

    # Every service at exposure 2.0 or lower, each figure as the guide states it.
    guide = gzip.open(GUIDE, "rt").read()
    stated = dict(re.findall(r"^\| `(tarvex[a-z-]*@\.service)` \| ([0-9.]+) \|", guide, re.M))
    services = [unit for unit in units if unit.endswith(".service")]
    measured = {unit.replace("lab1", ""): "%.1f" % exposure(unit) for unit in services}
    assert measured == stated
    assert all(float(figure) <= 2.0 for figure in measured.values()), measured

    # The guide's journal commands take in every unit of their instrument,
    # none of another whose name starts alike.
    commands = re.findall(r"journalctl\b[^\n]*? -u '?([^'\s]+)", guide)
    assert len(commands) >= 5
    for pattern in commands:
        instance = re.search(r"@(\w+)", pattern).group(1)
        assert all(fnmatch.fnmatch(unit.replace("lab1", instance), pattern) for unit in units)
        assert not any(fnmatch.fnmatch(unit.replace("lab1", instance + "0"), pattern)
                       for unit in units)


TODAY = datetime.date.today().isoformat()
SHARED = "/srv/tarvex/shared"
ROOT = "/srv/tarvex/" + CHECKED
OWNER_FIX = "  install -d -o tarvex -g tarvex -m 0750 "
READ_ONLY = ["The unit may write only below /srv/tarvex/%s and /var/lib/tarvex/%s. To let it "
             "write {root}, run" % (CHECKED, CHECKED),
             "  systemctl edit tarvex@%s.service" % CHECKED, "and add the lines", "  [Service]",
             "  ReadWritePaths={root}",
             "Each cycle unit of {i} needs that drop-in: tarvex@{i}.service, tarvex-blank@{i}.service, "
             "tarvex-check@{i}.service and tarvex-calibration@{i}.service.".replace("{i}", CHECKED),
             "If its file system is mounted read-only (findmnt -T {root}), remount it read-write "
             "instead."]
ELSEWHERE = "set ROOT= in /etc/tarvex/%s.conf to a folder such as %s" % (CHECKED, ROOT)


# ROOT=, what is there (a folder of tarvex or of root, a file, nothing), and
# the check's status and message ({root} is ROOT=).
@pytest.mark.parametrize("root,there,status,message", [
    (ROOT, "tarvex", 0, []),
    ("/var/lib/tarvex/%s/data" % CHECKED, "tarvex", 0, []),
    ("", None, 1, ["Instrument %s has no data root: set ROOT= in /etc/tarvex/%s.conf, e.g. "
                   "ROOT=%s" % (CHECKED, CHECKED, ROOT)]),
    (ROOT, None, 1, ["Data root {root} of instrument %s does not exist; create it with:" % CHECKED,
                     OWNER_FIX + "{root}"]),
    (ROOT, "file", 1, ["Data root {root} of instrument %s is no folder but a regular file; ROOT= "
                       "in /etc/tarvex/%s.conf must name a folder, e.g. one made with:"
                       % (CHECKED, CHECKED), OWNER_FIX + ROOT]),
    (ROOT, "root", 1, ["Data root {root} of instrument %s takes no new folders and files from the "
                       "user tarvex: Permission denied; give it to tarvex with:" % CHECKED,
                       OWNER_FIX + "{root}"]),
    (ROOT, "today", 1, ["Folder {root}/%s of instrument %s takes no new files from the user "
                        "tarvex: Permission denied; give it to tarvex with:" % (TODAY, CHECKED),
                        "  chown -R tarvex:tarvex {root}/%s" % TODAY]),
    ("/srv/elsewhere/" + CHECKED, "tarvex", 1,
     ["Data root {root} of instrument %s is read-only for tarvex@%s.service: {root}: Read-only "
      "file system." % (CHECKED, CHECKED)] + READ_ONLY),
    ("/home/lab/data", None, 1,
     ["Data root {root} of instrument %s lies in a folder that tarvex@%s.service does not share"
      % (CHECKED, CHECKED), "(/home, /root and /run/user are hidden from it, /tmp and /var/tmp "
      "are its own):", ELSEWHERE]),
    ("/var/lib/tarvex/%s/reports/data" % CHECKED, "tarvex", 1,
     ["Data root {root} of instrument %s lies in a report folder, which the reports overwrite "
      "and purge removes:" % CHECKED, ELSEWHERE]),
    (SHARED + "/", "tarvex", 1,
     ["Data root {root} of instrument %s is also the data root of instrument pkgother (ROOT= in "
      "/etc/tarvex/pkgother.conf);" % CHECKED, "two instruments must never share one: give %s a "
      "folder of its own, e.g." % CHECKED, OWNER_FIX + ROOT,
      "and set ROOT=%s in /etc/tarvex/%s.conf" % (ROOT, CHECKED)]),
], ids=["fine", "in-state-folder", "unset", "missing", "file", "not-tarvexs", "today-not-tarvexs",
        "outside-read-write-paths", "hidden", "in-reports", "shared"])
def test_data_root_check_before_each_cycle(installed, root, there, status, message):
    write("/etc/tarvex/pkgother.conf", 'ROOT="%s"\n' % SHARED)
    write("/etc/tarvex/%s.conf" % CHECKED, "ROOT=%s\n" % root)
    made = [root] if there else []
    if there == "file":
        write(root, "notes\n")
    elif there in ("tarvex", "today"):
        make_tarvex_folder(root)
    elif there == "root":
        os.makedirs(root)
    if there == "today":
        os.mkdir(os.path.join(root, TODAY), 0o755)
    try:
        unit = Service("tarvex@.service", CHECKED)
        # A failing check fails the unit (no "-" before it), and that stops the schedule.
        assert unit.one("ExecStartPre").startswith("/")
        assert "tarvex-halt@%s.service" % CHECKED in unit.all("OnFailure", "[Unit]")
        check = unit.run("ExecStartPre", timeout=30)
        expected = "".join(line.format(root=root) + "\n" for line in message)
        assert (check.returncode, check.stderr, check.stdout) == (status, expected, "")
        if there in ("tarvex", "root", "today"):  # the check leaves nothing behind
            assert os.listdir(root) == ([TODAY] if there == "today" else [])
    finally:
        subprocess.run(["rm", "-rf"] + made + ["/var/lib/tarvex/" + CHECKED])
        os.remove("/etc/tarvex/pkgother.conf")


# A blank or standard whose own settings are missing or wrong is refused
# before it takes the instrument: its unit fails and that stops the
# schedules. The settings of the kind's file, and the message.
@pytest.mark.parametrize("kind,settings,message", [
    ("blank", None, "Blank cycle of {i} not started: /etc/tarvex/{i}-blank.conf is missing; it "
     "names the method of these cycles (see the section on blanks and standards in "
     "/etc/tarvex/example.conf)"),
    ("check", "STANDARD_IDS=CHK\n", "Check cycle of {i} not started: /etc/tarvex/{i}-check.conf "
     "names no method of its own: set METHOD= there"),
    ("calibration", "METHOD=/etc/tarvex/{i}.method\nSTANDARD_IDS= \n",
     "Calibration cycle of {i} not started: STANDARD_IDS= in /etc/tarvex/{i}-calibration.conf "
     "names no standard; set it to the id(s) that /etc/tarvex/{i}.standards lists"),
    ("check", "METHOD=/etc/tarvex/{i}.method\nSTANDARD_IDS=CHK\nREPEATS=0\n",
     "Check cycle of {i} not started: REPEATS=0 in /etc/tarvex/{i}-check.conf is not a whole "
     "number from 1 to 99"),
], ids=["no-settings", "no-method", "no-standard", "no-repeats"])
def test_blank_or_standard_without_settings_of_its_own_is_refused(installed, kind, settings,
                                                                   message):
    write("/etc/tarvex/%s.conf" % CHECKED, "ROOT=%s\nMETHOD=/etc/tarvex/%s.method\n"
          % (ROOT, CHECKED))
    if settings:
        write("/etc/tarvex/%s-%s.conf" % (CHECKED, kind), settings.format(i=CHECKED))
    try:
        refused = Service(KINDS[kind] + "@.service", CHECKED).run(timeout=30)
        assert (refused.returncode, refused.stderr, refused.stdout) == (
            255, message.format(i=CHECKED) + "\n", "")
    finally:
        subprocess.run(["rm", "-rf"] + glob.glob("/etc/tarvex/%s*" % CHECKED)
                       + ["/var/lib/tarvex/" + CHECKED])


@pytest.fixture(scope="module")
def cycles(installed):
    """The instruments' cycles, run at the same time through their units' own
    lines, each instrument against the simulator of its rehearsal unit:
    pkgtest a sample, and a check standard started while it runs; pkgtest2 a
    calibration run of two standards, and a sample started while it runs;
    pkgtest3 a blank due in a minute that has a cycle's files already,
    stopped by SIGINT in its cycle. The check, the calibration and the
    skipped sample run under strace."""
    simulators = []
    try:
        for instance, (root, column) in INSTRUMENTS.items():
            configure(instance, root, column)
            state = "/var/lib/tarvex/" + instance
            make_tarvex_folder(state)
            run(["install", "-o", "tarvex", "-g", "tarvex", "-m", "0640",
                 os.path.join(EXAMPLES, "flowsensors.txt"), state])
            simulator = Service("tarvex-sim@.service", instance)
            said = "/run/tarvex-test-sim-%s.out" % instance
            simulators.append(simulator.start(stdout=open(said, "w"), stderr=subprocess.STDOUT))
            ready = simulator.run("ExecStartPost", timeout=30)
            assert ready.returncode == 0, open(said).read()
        units = {(instance, kind): Service(KINDS[kind] + "@.service", instance)
                 for instance in INSTRUMENTS for kind in KINDS}
        for instance in INSTRUMENTS:
            check = units[instance, "sample"].run("ExecStartPre", timeout=30)
            assert (check.returncode, check.stderr) == (0, "")
        pipes = dict(stdout=subprocess.PIPE, stderr=subprocess.PIPE)

        def start(instance, kind):
            trace = "/run/tarvex/%s/%s.strace" % (instance, kind)
            return units[instance, kind].start(trace=trace if shutil.which("strace") else None,
                                               **pipes)

        planted = plant_a_cycle_of_this_minute()
        running = {("pkgtest", "sample"): units["pkgtest", "sample"].start(**pipes),
                   ("pkgtest2", "calibration"): start("pkgtest2", "calibration"),
                   ("pkgtest3", "blank"): units["pkgtest3", "blank"].start(**pipes)}
        holders = {"pkgtest": holder("pkgtest", "sample")}
        running["pkgtest", "check"] = start("pkgtest", "check")
        holders["pkgtest2"] = holder("pkgtest2", "calibration")
        ended = {("pkgtest2", "sample"): finish(start("pkgtest2", "sample"), 30)}
        await_path("/run/tarvex/pkgtest3/PC.php", 120)
        running["pkgtest3", "blank"].send_signal(signal.SIGINT)
        ended.update({key: finish(process) for key, process in running.items()})
        yield units, ended, holders, planted
    finally:
        for simulator in simulators:
            simulator.terminate()
            simulator.wait()


def holder(instance, kind):
    """When the cycle of that kind took the instrument, as its lock says."""
    for _ in range(600):
        try:
            words = open("/run/tarvex/%s/cycle.lock" % instance).read().split()
        except FileNotFoundError:
            words = []
        if words[:1] == [kind]:
            return int(words[1])
        time.sleep(0.05)
    pytest.fail("no %s cycle took %s" % (kind, instance))


def await_path(path, seconds):
    for _ in range(seconds * 20):
        if os.path.exists(path):
            return
        time.sleep(0.05)
    pytest.fail(path + " did not appear")


def plant_a_cycle_of_this_minute():
    """A result file of the current minute in pkgtest3's data root, as a
    cycle that ended early would leave it; at least 10 s before the minute's
    end. Its stamp and path."""
    if time.localtime().tm_sec >= 50:
        time.sleep(61 - time.localtime().tm_sec)
    stamp = time.strftime("%Y-%m-%d_%H-%M-00")
    folder = os.path.join(INSTRUMENTS["pkgtest3"][0], stamp[:10])
    make_tarvex_folder(folder)
    path = os.path.join(folder, "Flow_%s.TLog" % stamp)
    write(path, "    0\t 46.7\t 30.0\n")
    return stamp, path


def stamps(root):
    """Each stamp in the data root with the names of its files."""
    found = {}
    for path in glob.glob(os.path.join(root, "*", "*")):
        name = os.path.basename(path)
        stamp = re.search(STAMP, name).group(0)
        found.setdefault(stamp, []).append(name.replace("_" + stamp, ""))
    return {stamp: sorted(names) for stamp, names in found.items()}


def clock(epoch):
    """A time of day as the cycle units say it: with the date when not today's."""
    when = time.localtime(epoch)
    today = time.strftime("%F") == time.strftime("%F", when)
    return time.strftime("%H:%M:%S" if today else "%F %H:%M:%S", when)


def test_instruments_run_at_once_each_into_its_own_folders(cycles):
    units, _, _, (planted, _) = cycles
    tarvex = pwd.getpwnam("tarvex").pw_uid
    for instance, (root, column) in INSTRUMENTS.items():
        unit = units[instance, "sample"]
        command = unit.command()
        assert command[:2] == ["/usr/libexec/tarvex/run-cycle", "--kind"]
        assert command[command.index("--") + 1] == "/usr/bin/Tarvex"
        assert command[-2:] == ["-silent", "-runtimedump"]
        assert unit.environment["PORT"] == "/run/tarvex-sim/%s/ttyGC" % instance
        # The rehearsal's port: its pseudo-terminal, owned by the service user.
        pty = os.stat(os.path.realpath(unit.environment["PORT"]))
        assert (os.major(pty.st_rdev), pty.st_uid) == (136, tarvex)

        # Its data root holds its own cycles, each with files of its own
        # stamp and its own column temperature.
        found = stamps(root)
        found.pop(planted if instance == "pkgtest3" else None, None)
        assert list(found.values()) == [["Flow.TLog", "Meta.json", "PID.dat", "TC64.TLog",
                                         "TC66.TLog"]] * len(CYCLES[instance])
        for path in glob.glob(os.path.join(root, "*", "*")):
            if planted in path:
                continue
            status = os.stat(path)
            assert (status.st_uid, status.st_mode & 0o777) == (tarvex, 0o640), path
        readings = re.findall(r"^\s+\d+\t\s*([0-9.]+)\t", "".join(
            open(path).read() for path in glob.glob(os.path.join(root, "*", "TC64_*"))), re.M)
        assert readings and set(readings) == {"%.1f" % float(column)}
        # Its dump folder, the unit's own runtime folder, holds its own values.
        dump = "/run/tarvex/" + instance
        assert unit.all("BindPaths") == ["%s:/run/Tarvex_rt" % dump]
        assert open(os.path.join(dump, "PC.php")).read() == "%5.1f" % float(column)
        dump_folder = os.stat(dump)
        assert (dump_folder.st_uid, dump_folder.st_mode & 0o777) == (tarvex, 0o750)
    assert os.listdir("/run/Tarvex_rt") == []


@pytest.mark.parametrize("instance", INSTRUMENTS)
def test_each_cycle_has_meta_beside_its_files(cycles, instance):
    """Meta_<stamp>.json per cycle, in time order: its kind, standard and
    method (quotes, backslashes and UTF-8 as they are), the method's SHA-256,
    Tarvex's exit status and version."""
    version = run(["dpkg-query", "-W", "-f=${Version}", "tarvex"]).stdout.split("-")[0]
    expected = [{"kind": kind, "standard": standard, "instrument": instance, "method": method,
                 "method_sha256": hashlib.sha256(open(method, "rb").read()).hexdigest(),
                 "exit_status": status, "program_version": version}
                for kind, standard, method, status in CYCLES[instance]]
    metas = sorted(glob.glob(os.path.join(INSTRUMENTS[instance][0], "*", "Meta_*.json")))
    assert [json.load(open(path, encoding="utf-8")) for path in metas] == expected


WAITS_FOR_ITS_MINUTE = (r"{kind} cycle of {instance} waits until \d\d:\d\d:00 so as not to share "
                        r"the result files of the \d\d:\d\d cycle")


# Each cycle unit's start: the instrument, its kind, its exit status and the
# lines of its own (not Tarvex's) on standard output, in order, as patterns.
# A cycle that would start in the minute of the one before waits for the
# next minute first, which only pkgtest3's blank does for sure.
@pytest.mark.parametrize("instance,kind,status,lines", [
    ("pkgtest", "sample", 0, []),
    ("pkgtest", "check", 0, ["Check cycle of pkgtest waits for the sample cycle running since "
                             "{since}", r"Check cycle of pkgtest starts after waiting \d+ s",
                             "Check cycle of pkgtest with standard CHK"]),
    ("pkgtest2", "calibration", 0, [
        re.escape("Calibration cycle of pkgtest2 with standard %s (1 of 2)" % ODD_ID),
        re.escape("Calibration cycle of pkgtest2 with standard S2 (2 of 2)")]),
    ("pkgtest3", "blank", 130, ["Blank cycle of pkgtest3 waits until {next} so as not to share "
                                "the result files of the {planted} cycle"]),
])
def test_cycle_units_say_what_they_wait_for(cycles, instance, kind, status, lines):
    _, ended, holders, (planted, _) = cycles
    minute = time.mktime(time.strptime(planted, "%Y-%m-%d_%H-%M-00"))
    values = {"kind": kind.capitalize(), "instance": instance, "planted": planted[11:16].replace(
        "-", ":"), "next": time.strftime("%H:%M:%S", time.localtime(minute + 60)),
        "since": clock(holders.get(instance, 0))}
    ran = ended[instance, kind]
    assert (ran.returncode, ran.stderr) == (status, ""), ran.stdout
    said = [line for line in ran.stdout.splitlines() if line.startswith(values["kind"] + " cycle")]
    if kind != "blank":
        said = [line for line in said
                if not re.fullmatch(WAITS_FOR_ITS_MINUTE.format(**values), line)]
    assert len(said) == len(lines) and all(
        re.fullmatch(line.format(**values), got) for line, got in zip(lines, said)), said
    if status == 130:  # Tarvex itself got the signal: its panic entry says so
        assert "interrupted by SIGINT" in open("/var/lib/tarvex/%s/PanicLog" % instance).read()


def test_sample_due_while_a_standard_runs_is_skipped(cycles):
    _, ended, holders, _ = cycles
    skipped = ended["pkgtest2", "sample"]
    assert (skipped.returncode, skipped.stdout, skipped.stderr) == (0, (
        "Sample cycle of pkgtest2 skipped: a calibration cycle has been running since %s\n"
        % clock(holders["pkgtest2"])), "")


def test_blank_keeps_the_minute_that_had_a_cycle(cycles):
    _, _, _, (planted, path) = cycles
    assert open(path).read() == "    0\t 46.7\t 30.0\n"
    assert stamps(INSTRUMENTS["pkgtest3"][0])[planted] == ["Flow.TLog"]


def syscall_group(group):
    names = set()
    lines = run(["systemd-analyze", "syscall-filter", group]).stdout.split("\n")
    for line in lines[1:]:
        name = line.strip()
        if name.startswith("@"):
            names |= syscall_group(name)
        elif name and not name.startswith("#"):
            names.add(name)
    return names


def test_cycles_need_nothing_their_sandbox_forbids(cycles):
    """The system calls of run-cycle, the tools it runs and Tarvex, against
    the cycle units' filter, and no memory both writable and executable."""
    traces = glob.glob("/run/tarvex/*/*.strace")
    if not traces:
        pytest.skip("needs strace")
    assert len(traces) == 3
    text = "".join(open(path).read() for path in traces)
    calls = set(re.findall(r"^\d+\s+([a-z0-9_]+)\(", text, re.M))
    assert {"execve", "flock", "fsync", "wait4"} <= calls
    allowed = syscall_group("@system-service") - syscall_group("@privileged") \
        - syscall_group("@resources")
    assert calls - allowed == set()
    assert "PROT_WRITE|PROT_EXEC" not in text


def test_report_and_web_unit_of_one_instrument(cycles):
    units, _, _, _ = cycles
    instance = "pkgtest"
    root = INSTRUMENTS[instance][0]
    # After each cycle unit, success or not, the report unit runs.
    for kind in KINDS:
        unit = units[instance, kind]
        assert "tarvex-report@%s.service" % instance in unit.all("OnSuccess", "[Unit]")
        assert "tarvex-report@%s.service" % instance in unit.all("OnFailure", "[Unit]")
    run(["cp", "/etc/tarvex/example.peaks", "/etc/tarvex/%s.peaks" % instance])
    report = Service("tarvex-report@.service", instance).run(timeout=120)
    assert report.returncode == 0, report.stdout + report.stderr
    reports = "/var/lib/tarvex/%s/reports" % instance
    pid = sorted(glob.glob(os.path.join(root, "*", "PID_*.dat")))[0]
    day, stamp = os.path.basename(os.path.dirname(pid)), pid[-23:-4]
    made = os.listdir(os.path.join(reports, day))
    assert stamp + ".peaks.csv" in made and stamp + ".cdf" in made
    assert stamp + ".error" not in made

    # The web view, through the web unit's own lines, on a free port.
    write("/etc/tarvex/%s.web" % instance,
          "TARVEX_WEB_ADDRESS=127.0.0.1\nTARVEX_WEB_PORT=%d\n" % free_port())
    web_unit = Service("tarvex-web@.service", instance)
    assert "LD_PRELOAD" not in web_unit.environment
    assert web_unit.environment["TARVEX_WEB_LIVE"] == "/run/tarvex/" + instance
    for line in web_unit.all("ExecStartPre"):
        run(expand_command(line, web_unit.environment), env=web_unit.environment)
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
        assert get(base + "reports/index.json") == open(reports + "/index.json", "rb").read()
        assert get(base + "data/%s/%s" % (day, os.path.basename(pid))) == open(pid, "rb").read()
        assert get(base + "live/PC.php") == b" 31.0"
    finally:
        server.terminate()
        server.wait()


def test_purge_stops_units_and_keeps_data_roots(installed, cycles):
    installed, _ = installed
    # The maintainer scripts' requests to systemd, as a systemd running the
    # machine, with services allowed (no policy-rc.d veto), would get them;
    # and the web view an operator enabled.
    os.makedirs("/run/systemd/system")
    write(SYSTEMCTL_LOG, "")
    fakes = {"/usr/bin/systemctl": "echo \"$*\" >> %s" % SYSTEMCTL_LOG,
             "/usr/sbin/policy-rc.d": "exit 0"}
    fakes = {path: line for path, line in fakes.items() if os.path.exists(path)}
    for path, line in fakes.items():
        fake = "/run/tarvex-test-" + os.path.basename(path)
        write(fake, "#!/bin/sh\n%s\n" % line)
        os.chmod(fake, 0o755)
        run(["mount", "--bind", fake, path])
    wants = "/etc/systemd/system/multi-user.target.wants/tarvex-web@pkgtest.service"
    os.makedirs(os.path.dirname(wants), exist_ok=True)
    os.symlink(UNITS + "/tarvex-web@.service", wants)
    roots = {root: sorted(glob.glob(os.path.join(root, "*", "*"))) for root, _ in
             INSTRUMENTS.values()}
    try:
        purge = run(APT + ["purge"] + PACKAGES, env=APT_ENV)
    finally:
        for path in fakes:
            run(["umount", path])
    requests = open(SYSTEMCTL_LOG).read().splitlines()
    assert "stop tarvex-web@*.service" in requests
    assert ("stop tarvex@*.timer tarvex-blank@*.timer tarvex-check@*.timer "
            "tarvex-calibration@*.timer tarvex@*.service tarvex-blank@*.service "
            "tarvex-check@*.service tarvex-calibration@*.service tarvex-sim@*.service") in requests
    assert not os.path.lexists(wants)

    # Each data root is whole, the one in a state folder too; the state
    # folders keep what the packages did not make, and purge says so.
    for root, _ in INSTRUMENTS.values():
        assert sorted(glob.glob(os.path.join(root, "*", "*"))) == roots[root] != []
    for instance in INSTRUMENTS:
        state = "/var/lib/tarvex/" + instance
        kept = sorted(os.listdir(state))
        assert kept == (["data", "flowsensors.txt"] if instance == "pkgtest2"
                        else ["flowsensors.txt"])
        assert "tarvex: purge keeps %s, which holds: %s\n" % (state, " ".join(kept)) in purge.stdout
    left = [path for path in installed + ["/etc/tarvex/example.conf", "/run/Tarvex_rt",
                                          "/run/tarvex", "/var/cache/tarvex-report",
                                          "/usr/share/tarvex-web"] if os.path.lexists(path)]
    assert left == []
