#!/usr/bin/env bash
# Runs one full-length cycle (3599 s by default) against the simulator with
# faults injected at random from a seed, and checks what must hold after it.
#   bench/soak.sh [--seconds N] [--seed S]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake -S . -B build/soak -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/soak -j2 --target tarvex_soak Tarvex tarvex-sim tarvexnullmodem >/dev/null
exec build/soak/tests/soak/tarvex_soak "$@"
