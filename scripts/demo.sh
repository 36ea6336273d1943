#!/usr/bin/env bash
# Sets up and builds Tarvex, then runs one short measurement cycle against the
# instrument simulator and shows where the result files went.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)
scripts/setup.sh

cmake -S . -B build/demo -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/demo -j2 >/dev/null

work="$top/out/demo"
mkdir -p "$work/data"
cp examples/method.txt examples/flowsensors.txt "$work/"
port="$work/ttyGC"

build/demo/sim/tarvex-sim --link "$port" --trace "$work/trace.txt" \
  --flowsensors "$work/flowsensors.txt" 2>"$work/simulator.log" &
simulator=$!
trap 'kill "$simulator" 2>/dev/null || true; wait "$simulator" 2>/dev/null || true' EXIT
for _ in $(seq 50); do [ -e "$port" ] && break; sleep 0.1; done

# The simulator's port is a pseudo-terminal; the preload library gives it the
# modem lines and flush behaviour of a null-modem serial port.
status=0
(cd "$work" && LD_PRELOAD="$top/build/demo/sim/libtarvexnullmodem.so" \
  "$top/build/demo/Tarvex" -GCport "$port" -method method.txt -root data \
  -cycle 115 -PIDdelay 5 -PIDcycle 100 -PIDgain 1 -samplevolume 40) || status=$?

echo
echo "Tarvex exited with status $status."
echo "Result files (in $work/data):"
find "$work/data" -type f | sort | sed "s|^|  |"
echo "Wire trace of the simulator: $work/trace.txt"
[ -f "$work/PanicLog" ] && echo "PanicLog: $work/PanicLog"

# The cycle's report: the chromatogram with its peaks found, integrated and
# named from examples/peaks.txt, the temperatures and the flows in one picture,
# the peak list, and an AIA/ANDI file for chromatography software.
latest=$(find "$work/data" -name 'PID_*.dat' | sort | tail -n 1)
stamp=${latest##*/PID_}
stamp=${stamp%.dat}
report_status=0
report/tarvex-report cycle "$latest" --peaks examples/peaks.txt --out "$work/report" \
  >/dev/null || report_status=$?
echo
echo "tarvex-report exited with status $report_status. Peaks found ($work/report/$stamp.peaks.csv):"
sed "s|^|  |" "$work/report/$stamp.peaks.csv" || true
echo "The picture of the cycle: $work/report/$stamp.png"
[ "$status" -ne 0 ] || status=$report_status
exit "$status"
