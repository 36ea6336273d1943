#!/usr/bin/env bash
# Installs what the benchmark of tarvex-ship needs when missing, then runs it
# with Debian's python3. Options: see bench/ship_bench.py --help.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
exec /usr/bin/python3 bench/ship_bench.py "$@"
