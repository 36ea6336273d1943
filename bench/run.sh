#!/usr/bin/env bash
# Installs what the benchmark needs when missing, then runs it with Debian's
# python3. Needs root: the runs get a mount namespace of their own and
# real-time priorities. Options: see bench/run.py --help.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
exec /usr/bin/python3 bench/run.py "$@"
