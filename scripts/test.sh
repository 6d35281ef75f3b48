#!/usr/bin/env bash
# Installs what is missing, then builds and runs every test suite three
# times: a normal build, an AddressSanitizer + UndefinedBehaviorSanitizer
# build, and a ThreadSanitizer build; then gives each libFuzzer target a
# short run.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/install-deps.sh

jobs=$(nproc 2>/dev/null || echo 2)

echo "== formatting =="
git ls-files '*.c' '*.cpp' '*.h' | xargs clang-format --dry-run -Werror

run_suite() {
  local dir=$1
  shift
  cmake -S . -B "$dir" -DFTD2XX_WERROR=ON "$@"
  cmake --build "$dir" -j "$jobs"
  # Each sanitizer build runs the suites labelled for what it finds.
  ctest --test-dir "$dir" --output-on-failure -j "$jobs" ${TEST_LABELS:+-L "$TEST_LABELS"}
}

echo "== normal build =="
run_suite build

echo "== AddressSanitizer + UndefinedBehaviorSanitizer build =="
export ASAN_OPTIONS="verify_asan_link_order=0:detect_leaks=1:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
TEST_LABELS=memory run_suite build-asan -DFTD2XX_SANITIZE=address -DFTD2XX_BUILD_BENCH=OFF

echo "== ThreadSanitizer build =="
unset ASAN_OPTIONS UBSAN_OPTIONS
export TSAN_OPTIONS="suppressions=$PWD/tests/tsan.supp:halt_on_error=1:second_deadlock_stack=1"
TEST_LABELS=threads run_suite build-tsan -DFTD2XX_SANITIZE=thread -DFTD2XX_BUILD_BENCH=OFF

echo "== libFuzzer targets (clang, ASan + UBSan), a short run each =="
unset TSAN_OPTIONS
cmake -S . -B build-fuzz -DFTD2XX_WERROR=ON -DFTD2XX_LIBFUZZER=ON -DCMAKE_C_COMPILER=clang \
  -DCMAKE_CXX_COMPILER=clang++ -DFTD2XX_BUILD_TESTS=OFF -DFTD2XX_BUILD_BENCH=OFF
cmake --build build-fuzz -j "$jobs" --target config_fuzz bulk_in_fuzz rx_frames_fuzz
for target in config bulk_in rx_frames; do
  found=$(mktemp -d)  # new inputs go here, not into the seed corpus
  "build-fuzz/fuzz/${target}_fuzz" -runs=20000 "$found" "fuzz/corpus/$target"
  rm -rf "$found"
done

echo "== all suites passed =="
