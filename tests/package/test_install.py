"""The Debian package on this machine: install it, check what it set up, run
one short cycle through the service's own ExecStart line against the installed
simulator, purge it and check that nothing of it is left.

Everything happens in a private mount namespace with a memory-backed /run, so
the machine's /run/Tarvex_rt is never touched. Needs root and the package
built by scripts/package.sh (out/packages/).
"""
import ctypes
import errno
import glob
import grp
import os
import pwd
import re
import shlex
import subprocess
import tempfile
import time

import pytest

TOP = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
UNIT = "/lib/systemd/system/tarvex@.service"
INSTANCE = "pkgtest"
CLONE_NEWNS = 0x00020000
APT = ["apt-get", "-y", "-q", "-o", "DPkg::Lock::Timeout=300"]


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


def unit_settings(path):
    """The [Service] settings of a unit file, each a list of its values."""
    settings = {}
    section = None
    with open(path) as unit:
        for line in unit:
            line = line.strip()
            if not line or line[0] in "#;":
                continue
            if line.startswith("["):
                section = line
            elif section == "[Service]":
                key, value = line.split("=", 1)
                settings.setdefault(key, []).append(value)
    return settings


def environment_file(path):
    values = {}
    with open(path) as lines:
        for line in lines:
            line = line.strip()
            if line and line[0] not in "#;" and "=" in line:
                key, value = line.split("=", 1)
                if len(value) >= 2 and value[0] == value[-1] and value[0] in "'\"":
                    value = value[1:-1]
                values[key.strip()] = value
    return values


def expand_command(line, environment, instance):
    """ExecStart= as systemd expands it: %i, "${NAME}" as one word, a word
    "$NAME" split at white space (none when empty)."""
    line = line.lstrip("-@:+!").replace("%i", instance)
    words = []
    for word in shlex.split(line):
        whole = re.fullmatch(r"\$([A-Za-z_][A-Za-z0-9_]*)", word)
        if whole:
            words.extend(environment.get(whole.group(1), "").split())
        else:
            words.append(re.sub(r"\$\{([A-Za-z_][A-Za-z0-9_]*)\}",
                                lambda m: environment.get(m.group(1), ""), word))
    return words


def start_simulator(folder, flow_sensors):
    link = os.path.join(folder, "ttyGC")
    output = open(os.path.join(folder, "sim.out"), "w")
    simulator = subprocess.Popen(
        ["/usr/bin/tarvex-sim", "--link", link, "--trace", os.path.join(folder, "trace.txt"),
         "--flowsensors", flow_sensors], stdout=output, stderr=subprocess.STDOUT)
    deadline = time.monotonic() + 10
    while "serving" not in open(os.path.join(folder, "sim.out")).read():
        assert simulator.poll() is None and time.monotonic() < deadline, "tarvex-sim did not start"
        time.sleep(0.05)
    # A serial port of the group dialout, as the service user finds them.
    pty = os.path.realpath(link)
    os.chown(pty, 0, grp.getgrnam("dialout").gr_gid)
    os.chmod(pty, 0o660)
    return simulator, link


def package_files():
    listing = run(["dpkg-query", "-L", "tarvex"]).stdout.split("\n")
    shared = {"/.", "/etc", "/lib", "/lib/systemd", "/lib/systemd/system", "/usr", "/usr/bin",
              "/usr/lib", "/usr/lib/tmpfiles.d", "/usr/share", "/usr/share/doc", "/usr/share/man",
              "/usr/share/man/man1", "/usr/share/man/man5"}
    return [path for path in listing if path and path not in shared
            and not re.fullmatch(r"/usr/lib/[^/]+-linux-gnu", path)]


@pytest.fixture(scope="module")
def installed():
    if os.geteuid() != 0:
        pytest.skip("installing a package needs root")
    if subprocess.run(["dpkg-query", "-W", "-f=${Status}", "tarvex"], capture_output=True,
                      text=True).stdout.startswith("install ok"):
        pytest.skip("Tarvex is installed on this machine: this test would purge it")
    debs = glob.glob(os.path.join(TOP, "out/packages/tarvex_*.deb"))
    assert len(debs) == 1, "build the package first: scripts/package.sh"
    enter_private_run()
    run(APT + ["install", "--no-install-recommends", debs[0]],
        env=dict(os.environ, DEBIAN_FRONTEND="noninteractive"))
    files = package_files()
    yield files
    subprocess.run(APT + ["purge", "tarvex"], capture_output=True,
                   env=dict(os.environ, DEBIAN_FRONTEND="noninteractive"))


def test_install_sets_up_user_units_and_dump_folder(installed):
    user = pwd.getpwnam("tarvex")
    assert user.pw_dir == "/var/lib/tarvex"
    assert "tarvex" in grp.getgrnam("dialout").gr_mem
    dump = os.stat("/run/Tarvex_rt")
    assert (dump.st_uid, dump.st_gid, dump.st_mode & 0o7777) == (user.pw_uid, user.pw_gid, 0o750)
    for path in ("/usr/bin/Tarvex", "/usr/bin/tarvex-sim", UNIT, "/etc/tarvex/example.conf",
                 "/usr/share/man/man1/Tarvex.1.gz", "/usr/share/man/man5/tarvex-method.5.gz"):
        assert path in installed
    assert glob.glob("/usr/lib/*/tarvex/libtarvexnullmodem.so")
    conffiles = run(["dpkg-query", "-W", "-f=${Conffiles}", "tarvex"]).stdout
    assert "/etc/tarvex/example.conf" in conffiles

    units = ["tarvex@%s.service" % INSTANCE, "tarvex@%s.timer" % INSTANCE,
             "tarvex-halt@%s.service" % INSTANCE]
    verify = subprocess.run(["systemd-analyze", "verify"] + units, capture_output=True, text=True)
    assert (verify.returncode, verify.stdout + verify.stderr) == (0, "")
    security = run(["systemd-analyze", "security", "--offline=true", units[0]]).stdout
    exposure = float(re.search(r"Overall exposure level for \S+: ([0-9.]+)", security).group(1))
    assert exposure <= 2.0, security


def test_service_exec_line_runs_one_cycle_against_the_simulator(installed):
    settings = unit_settings(UNIT)
    work = tempfile.mkdtemp(prefix="tarvex-package-")
    os.chmod(work, 0o755)
    tarvex = pwd.getpwnam("tarvex")
    root = os.path.join(work, "data")
    os.mkdir(root)
    os.chown(root, tarvex.pw_uid, tarvex.pw_gid)
    examples = "/usr/share/doc/tarvex/examples"
    simulator, port = start_simulator(work, os.path.join(examples, "flowsensors.txt"))
    try:
        # The example configuration, pointed at the simulator.
        library = glob.glob("/usr/lib/*/tarvex/libtarvexnullmodem.so")[0]
        conf = open("/etc/tarvex/example.conf").read()
        changes = {"PORT": port, "METHOD": os.path.join(examples, "method.txt"), "ROOT": root,
                   "CYCLE": "30", "PIDDELAY": "5", "PIDCYCLE": "12", "SAMPLEVOLUME": "40",
                   "#LD_PRELOAD": None}
        for key, value in changes.items():
            assert re.search("^%s=" % key, conf, re.M), key
            conf = re.sub("^%s=.*$" % key, lambda m, k=key, v=value: (
                m.group(0).lstrip("#") if v is None else "%s=%s" % (k, v)), conf, flags=re.M)
        conf_path = settings["EnvironmentFile"][0].replace("%i", INSTANCE)
        with open(conf_path, "w") as written:
            written.write(conf)

        # The state folder as StateDirectory= makes it, with flowsensors.txt.
        state = settings["WorkingDirectory"][0].replace("%i", INSTANCE)
        os.makedirs(state, mode=0o750)
        run(["install", "-o", "tarvex", "-g", "tarvex", "-m", "0640",
             os.path.join(examples, "flowsensors.txt"), state])
        os.chown(state, tarvex.pw_uid, tarvex.pw_gid)

        environment = environment_file(conf_path)
        command = expand_command(settings["ExecStart"][0], environment, INSTANCE)
        assert command[0] == "/usr/bin/Tarvex" and command[-2:] == ["-silent", "-runtimedump"]
        user = settings["User"][0]
        groups = [grp.getgrnam(name).gr_gid for name in settings["SupplementaryGroups"][0].split()]
        umask = int(settings["UMask"][0], 8)

        def as_service_user():
            os.setgroups(groups)
            os.setgid(grp.getgrnam(settings["Group"][0]).gr_gid)
            os.setuid(pwd.getpwnam(user).pw_uid)
            os.umask(umask)

        cycle = subprocess.run(command, cwd=state, env=dict(environment, PATH="/usr/bin:/bin"),
                               preexec_fn=as_service_user, capture_output=True, text=True,
                               timeout=120)
        assert cycle.returncode == 0, cycle.stdout + cycle.stderr
        assert cycle.stdout.endswith("Done.\n\n")
        assert "\r" not in cycle.stdout, "-silent: no status line"
        days = os.listdir(root)
        assert len(days) == 1
        names = sorted(re.sub(r"_\d{4}-\d\d-\d\d_\d\d-\d\d-00", "", name)
                       for name in os.listdir(os.path.join(root, days[0])))
        assert names == ["Flow.TLog", "PID.dat", "TC64.TLog", "TC66.TLog"]
        for name in os.listdir(os.path.join(root, days[0])):
            status = os.stat(os.path.join(root, days[0], name))
            assert (status.st_uid, status.st_mode & 0o777) == (tarvex.pw_uid, 0o640)
        assert float(open("/run/Tarvex_rt/PC.php").read()) > 0
    finally:
        simulator.terminate()
        simulator.wait()
        os.remove(conf_path)

    # Purge: nothing of the package is left; the data root is the operator's.
    run(APT + ["purge", "tarvex"], env=dict(os.environ, DEBIAN_FRONTEND="noninteractive"))
    left = [path for path in installed + ["/etc/tarvex", "/var/lib/tarvex", "/run/Tarvex_rt"]
            if os.path.lexists(path)]
    assert left == []
    assert len(os.listdir(os.path.join(root, days[0]))) == 4
    subprocess.run(["rm", "-rf", work])
