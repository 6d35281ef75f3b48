#!/usr/bin/env bash
# Runs every test program N times in a row, in the Release build and in the
# AddressSanitizer + UndefinedBehaviorSanitizer build, while busy processes
# load the CPUs beside them, and prints one line per program:
#
#   release device_test: 30 passed, 0 failed
#
# A test that fails one run in ten fails here. The output of every failed run
# is kept in <build>/stress-logs/. Exit status 1 when any run failed.
#
#   scripts/stress-tests.sh [N] [--builds release,asan] [--tests REGEX] [--load K]
#
#   N          runs per program (default 30)
#   --builds   which builds, comma-separated: release (build/), asan
#              (build-asan/, its memory-labelled programs, as the test command
#              runs them) and tsan (build-tsan/, its threads-labelled ones)
#   --tests    only the programs whose ctest name matches REGEX
#   --load K   busy processes beside the runs (default: one per CPU)
#
# Packages come from scripts/install-deps.sh, as for the test command.
set -euo pipefail
cd "$(dirname "$0")/.."

runs=30
builds=release,asan
only=""
load=$(nproc 2>/dev/null || echo 2)
while [ $# -gt 0 ]; do
  case $1 in
    --builds) builds=$2; shift 2 ;;
    --tests) only=$2; shift 2 ;;
    --load) load=$2; shift 2 ;;
    [0-9]*) runs=$1; shift ;;
    *) echo "usage: $0 [N] [--builds release,asan,tsan] [--tests REGEX] [--load K]" >&2; exit 2 ;;
  esac
done

./scripts/install-deps.sh
jobs=$(nproc 2>/dev/null || echo 2)
export CCACHE_BASEDIR=$PWD
launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)

# The programs of a build that carry `label` (all of them when empty), one
# name a line.
programs_of() {
  local dir=$1 label=$2
  ctest --test-dir "$dir" -N ${label:+-L "$label"} | sed -n '/(Disabled)$/d; s/^ *Test *#[0-9]*: //p' |
    { if [ -n "$only" ]; then grep -E "$only" || true; else cat; fi; }
}

# Configures and builds `dir` with the test command's options, then runs each
# of its programs `runs` times.
stress_build() {
  local name=$1 dir=$2 label=$3 programs=() p i passed failed logs
  shift 3
  cmake -S . -B "$dir" -DFTD2XX_WERROR=ON "${launcher[@]}" "$@" >/dev/null
  mapfile -t programs < <(programs_of "$dir" "$label")
  [ ${#programs[@]} -gt 0 ] || return 0
  # A labelled build builds its labelled programs only, as the test command
  # does; the others everything (some tests run a script, not a target).
  if [ -n "$label" ]; then
    cmake --build "$dir" -j "$jobs" --target "${programs[@]}" >/dev/null
  else
    cmake --build "$dir" -j "$jobs" >/dev/null
  fi
  logs=$dir/stress-logs
  rm -rf "$logs"
  mkdir -p "$logs"
  for p in "${programs[@]}"; do
    passed=0 failed=0
    for ((i = 1; i <= runs; i++)); do
      if ctest --test-dir "$dir" -R "^${p}\$" --output-on-failure >"$logs/$p.$i.log" 2>&1; then
        passed=$((passed + 1))
        rm -f "$logs/$p.$i.log"
      else
        failed=$((failed + 1))
      fi
    done
    echo "$name $p: $passed passed, $failed failed"
    summary+=("$name $p: $passed passed, $failed failed")
    [ "$failed" -eq 0 ] || any_failed=1
  done
}

load_pids=()
stop_load() {
  [ ${#load_pids[@]} -eq 0 ] || kill "${load_pids[@]}" 2>/dev/null || true
}
trap stop_load EXIT
for ((i = 0; i < load; i++)); do
  (while :; do :; done) &
  load_pids+=($!)
done
echo "stress: $runs runs of each program, $load busy processes beside them, load $(cut -d' ' -f1-3 /proc/loadavg)"

summary=()
any_failed=0
IFS=, read -ra chosen <<<"$builds"
for b in "${chosen[@]}"; do
  case $b in
    release) stress_build release build "" -DCMAKE_BUILD_TYPE=Release ;;
    asan)
      ASAN_OPTIONS="verify_asan_link_order=0:detect_leaks=1:abort_on_error=1" \
        UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
        stress_build asan build-asan memory -DFTD2XX_SANITIZE=address -DFTD2XX_BUILD_BENCH=OFF ;;
    tsan)
      TSAN_OPTIONS="suppressions=$PWD/tests/tsan.supp:halt_on_error=1:second_deadlock_stack=1" \
        stress_build tsan build-tsan threads -DFTD2XX_SANITIZE=thread -DFTD2XX_BUILD_BENCH=OFF ;;
    *) echo "stress: unknown build '$b'" >&2; exit 2 ;;
  esac
done

echo "== stress summary (load at the end $(cut -d' ' -f1-3 /proc/loadavg)) =="
printf '%s\n' "${summary[@]}"
exit "$any_failed"
