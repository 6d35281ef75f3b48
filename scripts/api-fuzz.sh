#!/usr/bin/env bash
# Runs the randomised multi-thread fuzzer of the exported calls
# (tests/stress/api_fuzz_test.cpp) for as long as asked, by default in the
# ThreadSanitizer build. It prints its seed first; give that seed again to
# replay a failure with the same choices on every thread.
#
#   scripts/api-fuzz.sh [--tsan|--asan|--release] [SECONDS [SEED]]
#
# SECONDS defaults to 600. The build directory is build-tsan, build-asan or
# build, as scripts/test.sh names them; JOBS sets the build's parallel jobs
# (default: one per core).
set -euo pipefail
cd "$(dirname "$0")/.."

sanitize=thread dir=build-tsan
case "${1:-}" in
  --tsan) shift ;;
  --asan) sanitize=address dir=build-asan; shift ;;
  --release) sanitize="" dir=build; shift ;;
esac
seconds=${1:-600}
seed=${2:-}

cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DFTD2XX_WERROR=ON -DFTD2XX_SANITIZE="$sanitize" \
  -DFTD2XX_BUILD_BENCH=OFF -DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache >/dev/null
cmake --build "$dir" --target api_fuzz_test -j "${JOBS:-$(nproc 2>/dev/null || echo 2)}"

# As scripts/test.sh runs the sanitizer builds.
export ASAN_OPTIONS="verify_asan_link_order=0:detect_leaks=1:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export TSAN_OPTIONS="suppressions=$PWD/tests/tsan.supp:halt_on_error=1:second_deadlock_stack=1"
export FTD2XX_API_FUZZ_SECONDS=$seconds
export FTD2XX_API_FUZZ_CALLS=${FTD2XX_API_FUZZ_CALLS:-1000000000}
if [ -n "$seed" ]; then export FTD2XX_API_FUZZ_SEED=$seed; fi
exec "$dir/tests/stress/api_fuzz_test"
