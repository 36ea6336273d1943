#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer, AddressSanitizer,
# UndefinedBehaviorSanitizer) and runs each for a bounded time, starting from a
# copy of its committed seed corpus (the committed corpus never grows here).
#
#   fuzz/run.sh [SECONDS] [TARGET...]
#
# SECONDS per target, default 30; targets: method flowSensors commandLine
# replies (default all). Fails when any target finds a crash, a sanitizer
# report, a leak, a hang or a failed check; the input that did it is kept in
# <build>/artifacts/<target>/. The build goes to build/fuzz, or to
# $TARVEX_FUZZ_BUILD when set.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)

seconds=${1:-30}
[ $# -gt 0 ] && shift
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(method flowSensors commandLine replies)
build=${TARVEX_FUZZ_BUILD:-build/fuzz}
case "$build" in /*) ;; *) build="$top/$build" ;; esac

cmake -S fuzz -B "$build" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build "$build" -j2 >/dev/null

export ASAN_OPTIONS=detect_leaks=1
export UBSAN_OPTIONS=print_stacktrace=1

failed=()
for target in "${targets[@]}"; do
  work="$build/work/$target"
  artifacts="$build/artifacts/$target"
  scratch="$build/tmp/$target"
  rm -rf "$work" "$scratch"
  mkdir -p "$work" "$artifacts" "$scratch"
  cp "fuzz/corpus/$target"/* "$work/"

  # A method reaches its table's end only past 6 KiB; the replies are short.
  length=()
  case "$target" in
    method) length=(-max_len=16384) ;;
    replies) length=(-max_len=256) ;;
  esac
  log="$build/$target.log"
  echo "fuzz: $target for ${seconds}s"
  # -close_fd_mask=3 silences the program's and getopt's messages; libFuzzer
  # and the sanitizers still report on a copy of standard error.
  status=0
  TMPDIR="$scratch" "$build/${target}Fuzzer" "$work" -max_total_time="$seconds" -timeout=10 \
    -rss_limit_mb=2048 -close_fd_mask=3 -print_final_stats=1 -artifact_prefix="$artifacts/" \
    "${length[@]}" >"$log" 2>&1 || status=$?
  rm -rf "$scratch"
  if [ "$status" -eq 0 ]; then
    grep -E '^(Done|stat::number_of_executed_units|cov:)|INITED' "$log" | tail -3 | sed 's/^/  /' || true
  else
    echo "fuzz: $target FAILED (status $status); log $log, input in $artifacts/"
    tail -40 "$log" | sed 's/^/  /'
    failed+=("$target")
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz: findings in ${failed[*]}"
  exit 1
fi
echo "fuzz: ${#targets[@]} targets ran ${seconds}s each without a finding"
