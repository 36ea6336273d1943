#!/usr/bin/env bash
# Sets up, builds and runs every test: once with warnings as errors, once more
# under AddressSanitizer and UndefinedBehaviorSanitizer; then the fuzz targets
# briefly, and the Debian package from build to purge.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

jobs=2
cmake -S . -B build/test -DTARVEX_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build/test -j"$jobs"
(cd build/test && ctest --output-on-failure -j"$jobs")

cmake -S . -B build/sanitize -DTARVEX_WERROR=ON -DTARVEX_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
cmake --build build/sanitize -j"$jobs"
# The companions' own suites compile nothing and ran above; the sanitizers
# have nothing to add to them (the suites that run Tarvex itself stay).
(cd build/sanitize &&
  ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=1:abort_on_error=0 \
  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  ctest --output-on-failure -j"$jobs" -E '^(TarvexReport[.]tests|TarvexShip[.]tests|tarvex_web)$')

# Every input reader under libFuzzer for a short while, from the seed corpus.
fuzz/run.sh 30

# The Debian package: built, checked by lintian, installed on this machine,
# one cycle run through the service's own command line, purged.
scripts/package.sh
/usr/bin/python3 -m pytest -q -p no:cacheprovider tests/package
echo "All tests passed."
