"""The units and the lighttpd configuration as systemd and lighttpd judge
them: no complaint, and a sandbox whose exposure stays low."""

import os
import re
import shutil
import subprocess

import pytest

from conftest import SHIP, TOOL

ANALYZE = shutil.which("systemd-analyze")
UNITS = {"tarvex-ship@.service": "systemd", "tarvex-ship@.timer": "systemd",
         "tarvex-network.service": "network", "tarvex-network-api.service": "network"}
INSTANCES = ["tarvex-ship@lab1.service", "tarvex-ship@lab1.timer", "tarvex-network.service",
             "tarvex-network-api.service"]


@pytest.fixture
def unit_folder(tmp_path):
    """The units; the shipping unit runs the checkout's launcher, since
    /usr/bin/tarvex-ship exists only once the package is installed."""
    if not ANALYZE:
        pytest.skip("systemd-analyze is not installed")
    for name, folder in UNITS.items():
        text = open(os.path.join(SHIP, folder, name)).read()
        (tmp_path / name).write_text(text.replace("/usr/bin/tarvex-ship", TOOL))
    return tmp_path


def test_units_pass_systemd_analyze_verify(unit_folder):
    search = dict(os.environ, SYSTEMD_UNIT_PATH="%s:" % unit_folder)
    verify = subprocess.run([ANALYZE, "verify", "--man=no"] + INSTANCES, capture_output=True,
                            text=True, env=search)
    assert (verify.returncode, verify.stdout + verify.stderr) == (0, "")


@pytest.mark.parametrize("unit", [u for u in INSTANCES if u.endswith(".service")])
def test_services_are_sandboxed(unit_folder, unit):
    search = dict(os.environ, SYSTEMD_UNIT_PATH="%s:" % unit_folder)
    security = subprocess.run([ANALYZE, "security", "--offline=true", unit], capture_output=True,
                              text=True, env=search)
    exposure = float(re.search(r"Overall exposure level for \S+: ([0-9.]+)",
                               security.stdout).group(1))
    assert exposure <= 2.0, security.stdout


def test_lighttpd_accepts_the_network_configuration_and_needs_every_setting(tmp_path):
    lighttpd = shutil.which("lighttpd", path="/usr/sbin:/usr/bin") or "/usr/sbin/lighttpd"
    settings = {"TARVEX_NETWORK_ADDRESS": "127.0.0.1", "TARVEX_NETWORK_PORT": "8090",
                "TARVEX_NETWORK_PAGES": str(tmp_path),
                "TARVEX_NETWORK_API_SOCKET": str(tmp_path / "api.sock")}
    config = os.path.join(SHIP, "network", "lighttpd.conf")
    check = subprocess.run([lighttpd, "-tt", "-f", config], env=settings, capture_output=True,
                           text=True)
    assert check.returncode == 0, check.stderr
    del settings["TARVEX_NETWORK_API_SOCKET"]
    check = subprocess.run([lighttpd, "-tt", "-f", config], env=settings, capture_output=True,
                           text=True)
    assert check.returncode != 0 and "TARVEX_NETWORK_API_SOCKET" in check.stderr
