#!/usr/bin/env bash
# Installs what the benchmarks of tarvex-report need when missing, then runs
# one with Debian's python3:
#   bench/report.sh [OPTIONS]        trend and cycle (bench/report_bench.py --help)
#   bench/report.sh year [OPTIONS]   update on a year of 15-minute cycles
#                                    (bench/report_year.py --help)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
if [ "${1:-}" = year ]; then
  shift
  exec /usr/bin/python3 -u bench/report_year.py "$@"
fi
exec /usr/bin/python3 bench/report_bench.py "$@"
