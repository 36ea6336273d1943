#!/usr/bin/env bash
# Serves the web view of a data root from a checkout, with the same lighttpd
# configuration as the installed service: for the demo and for trying the
# pages without installing the package.
#
#   web/serve.sh --data DIR --state DIR [--reports DIR] [--peaks TABLE]
#                [--live DIR] [--port N] [--address A] [--background]
#
# --data     the data root the cycles were written to
# --state    the folder holding PanicLog (the controller's working directory)
# --reports  where tarvex-report update writes (default: STATE/reports);
#            it is brought up to date before the server starts
# --peaks    the peak table for the trend
# --live     the runtime dump (default: /run/Tarvex_rt when it exists, else
#            an empty folder STATE/no-dump)
# --port     default 8080; --address default 127.0.0.1
# --background  start lighttpd and return: its process id goes to
#            STATE/web.pid, its messages to STATE/web.log
set -euo pipefail
web=$(cd "$(dirname "$0")" && pwd)
data= state= reports= peaks= live= port=8080 address=127.0.0.1 background=
while [ $# -gt 0 ]; do
  case "$1" in
    --data) data=$2; shift 2 ;;
    --state) state=$2; shift 2 ;;
    --reports) reports=$2; shift 2 ;;
    --peaks) peaks=$2; shift 2 ;;
    --live) live=$2; shift 2 ;;
    --port) port=$2; shift 2 ;;
    --address) address=$2; shift 2 ;;
    --background) background=1; shift ;;
    *) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//' >&2; exit 2 ;;
  esac
done
if [ -z "$data" ] || [ -z "$state" ]; then
  echo "serve.sh: --data and --state are needed (--help)" >&2
  exit 2
fi
reports=${reports:-$state/reports}
if [ -z "$live" ]; then
  if [ -d /run/Tarvex_rt ]; then live=/run/Tarvex_rt; else live=$state/no-dump; mkdir -p "$live"; fi
fi
mkdir -p "$reports"

# lighttpd follows no symbolic link, not even in these paths: give it real ones.
export TARVEX_WEB_ADDRESS=$address TARVEX_WEB_PORT=$port
export TARVEX_WEB_PAGES=$(realpath "$web/www") ROOT=$(realpath "$data")
export TARVEX_WEB_REPORTS=$(realpath "$reports") TARVEX_WEB_STATE=$(realpath "$state")
export TARVEX_WEB_LIVE=$(realpath "$live")
"$web/check-folders"
report=$web/../report/tarvex-report
[ -x "$report" ] || report=tarvex-report
"$report" update "$ROOT" --out "$TARVEX_WEB_REPORTS" ${peaks:+--peaks "$peaks"} >/dev/null
lighttpd=$(command -v lighttpd || echo /usr/sbin/lighttpd)
"$lighttpd" -tt -f "$web/lighttpd.conf"
if [ -z "$background" ]; then
  echo "Web view: http://$address:$port/ (Ctrl-C stops it)"
  exec "$lighttpd" -D -f "$web/lighttpd.conf"
fi
"$lighttpd" -D -f "$web/lighttpd.conf" >"$state/web.log" 2>&1 &
echo $! >"$state/web.pid"
for _ in $(seq 50); do
  (exec 3<>"/dev/tcp/$address/$port") 2>/dev/null && break
  kill -0 "$(cat "$state/web.pid")" 2>/dev/null || { cat "$state/web.log" >&2; exit 1; }
  sleep 0.1
done
echo "Web view: http://$address:$port/ (stop it with: kill $(cat "$state/web.pid"))"
