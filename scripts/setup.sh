#!/usr/bin/env bash
# Installs what building and testing Tarvex needs on Debian, when missing.
set -euo pipefail

packages=(
  # the program, its tests, fuzzing and the benchmark
  build-essential cmake g++ libgtest-dev googletest clang libclang-rt-14-dev valgrind time python3
  # the cycle report and its tests
  python3-numpy python3-scipy python3-matplotlib python3-netcdf4 python3-pytest netcdf-bin
  # the web view: its server, chart library, and the browser and tools of its tests
  lighttpd lighttpd-mod-deflate libjs-chart.js chromium chromium-driver python3-selenium nginx-light strace
  # shipping to a central database, the Network page, and the PostgreSQL server its tests start
  python3-psycopg python3-waitress postgresql
  # the benchmark's stamps of the program's own writes
  linux-perf
  # the man pages' checks; the units' checks (systemd-analyze) and their tests
  mandoc systemd
)
# The Debian package's own build dependencies (debian/control), dpkg-dev and
# lintian are installed by scripts/package.sh, which builds it.
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${missing[@]}"
fi
