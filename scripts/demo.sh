#!/usr/bin/env bash
# Sets up and builds Tarvex, then runs one short measurement cycle against the
# instrument simulator, reports it, and leaves the web view running on it.
#
#   scripts/demo.sh [--no-web] [--port N]
#
# As root, the demo runs in a mount namespace of its own with a memory-backed
# /run, so that the cycle can mirror itself into /run/Tarvex_rt for the web
# view's live page without touching the machine's own folder (that belongs
# to an installed instrument). Without root the cycle runs without the dump.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)
args=("$@")
web=1 web_port=8080
while [ $# -gt 0 ]; do
  case "$1" in
    --no-web) web=; shift ;;
    --port) web_port=$2; shift 2 ;;
    *) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//' >&2; exit 2 ;;
  esac
done

if [ "$(id -u)" -eq 0 ] && [ -z "${TARVEX_DEMO_PRIVATE_RUN:-}" ] &&
  unshare --mount --propagation private true 2>/dev/null; then
  scripts/setup.sh
  exec unshare --mount --propagation private env TARVEX_DEMO_PRIVATE_RUN=1 \
    sh -c 'mount -t tmpfs -o mode=0755 tarvex-demo-run /run && mkdir /run/Tarvex_rt &&
           exec "$0" "$@"' "$top/scripts/demo.sh" ${args[@]+"${args[@]}"}
fi
[ -n "${TARVEX_DEMO_PRIVATE_RUN:-}" ] || scripts/setup.sh

cmake -S . -B build/demo -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/demo -j2 >/dev/null

work="$top/out/demo"
mkdir -p "$work/data"
cp examples/method.txt examples/flowsensors.txt "$work/"
port="$work/ttyGC"
dump=()
[ -n "${TARVEX_DEMO_PRIVATE_RUN:-}" ] && dump=(-runtimedump)

# The web view first, so that the cycle can be watched as it runs.
if [ -n "$web" ]; then
  [ -f "$work/web.pid" ] && kill "$(cat "$work/web.pid")" 2>/dev/null || true
  web/serve.sh --data "$work/data" --state "$work" --peaks examples/peaks.txt \
    --port "$web_port" --background
fi

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
  -cycle 115 -PIDdelay 5 -PIDcycle 100 -PIDgain 1 -samplevolume 40 "${dump[@]}") || status=$?

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

if [ -n "$web" ]; then
  # The cycle pages and the trend, as the service brings them up to date.
  report/tarvex-report update "$work/data" --out "$work/reports" --peaks examples/peaks.txt \
    >/dev/null || true
  echo
  echo "The web view stays on: http://127.0.0.1:$web_port/ (stop it with: kill $(cat "$work/web.pid"))"
fi
exit "$status"
