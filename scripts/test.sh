#!/usr/bin/env bash
# Installs what is missing, then builds and runs every test suite three
# times: a normal (Release) build, an AddressSanitizer +
# UndefinedBehaviorSanitizer build, and a ThreadSanitizer build. Before them,
# clang's thread-safety analysis checks the lock discipline of the library,
# the simulator and the programs at compile time. After the normal build: the installed files (two programs built against them alone),
# the Debian package (installed and removed again), and a 32-bit ARM cross
# build whose tests run under qemu. Last, each libFuzzer target gets a short
# run.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/install-deps.sh

jobs=$(nproc 2>/dev/null || echo 2)

echo "== formatting (at ${SECONDS} s) =="
git ls-files '*.c' '*.cpp' '*.h' | xargs clang-format --dry-run -Werror

# ccache lets the package build reuse the normal build's objects.
export CCACHE_BASEDIR=$PWD
launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)

# Each sanitizer build builds and runs only the suites labelled for what it
# finds (TEST_LABELS); test names are their programs' target names.
run_suite() {
  local dir=$1 targets=()
  shift
  cmake -S . -B "$dir" -DFTD2XX_WERROR=ON "${launcher[@]}" "$@"
  if [ -n "${TEST_LABELS:-}" ]; then
    mapfile -t targets < <(ctest --test-dir "$dir" -N -L "$TEST_LABELS" |
      sed -n '/(Disabled)$/d; s/^ *Test *#[0-9]*: //p')
    cmake --build "$dir" -j "$jobs" --target "${targets[@]}"
  else
    cmake --build "$dir" -j "$jobs"
  fi
  ctest --test-dir "$dir" --output-on-failure -j "$jobs" ${TEST_LABELS:+-L "$TEST_LABELS"}
}

# Installs the normal build into a staging prefix, builds a small C program
# against the installed files alone, once through pkg-config and once through
# the CMake package, and runs both on a simulated chip.
check_installed_files() {
  local stage=$PWD/build/stage out=$PWD/build/consumers cflags t0=$SECONDS
  rm -rf "$stage" "$out"
  mkdir -p "$out"
  cmake --install build --prefix "$stage"
  cflags=$(PKG_CONFIG_PATH=$stage/lib/pkgconfig pkg-config --cflags --libs libftd2xx)
  cc -std=c99 -Wall -Wextra -Werror -o "$out/consumer_pkgconfig" tests/install/consumer.c \
    $cflags -Wl,-rpath,"$stage/lib"
  cmake -S tests/install -B "$out/cmake" -DCMAKE_PREFIX_PATH="$stage" \
    -DCMAKE_C_FLAGS="-Wall -Wextra -Werror"
  cmake --build "$out/cmake"
  for program in "$out/consumer_pkgconfig" "$out/cmake/consumer_cmake"; do
    ldd "$program" | grep "$stage/lib/libftd2xx.so.1"
    build/sim/launcher/ftdisim-run -- "$program"
  done
  echo "installed files checked in $((SECONDS - t0)) s"
}

# Builds the Debian package as docs/installing.md says (the API reference
# with it: an undocumented public name fails that build), installs it, checks
# that its files landed, that each manual page renders without a warning and
# that the installed programs find the library, removes it.
check_debian_package() {
  local deb arch page warnings t0=$SECONDS
  local man_pages=(man1/wg_output.1 man1/wg_input.1 man1/ftdisim-run.1 man5/ftd2xx.cfg.5)
  cmake -S . -B build-deb -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
    -DFTD2XX_BUILD_TESTS=OFF -DFTD2XX_BUILD_BENCH=OFF -DFTD2XX_WERROR=ON "${launcher[@]}"
  rm -f build-deb/libftd2xx_*.deb
  cmake --build build-deb -j "$jobs" --target package
  deb=$(echo build-deb/libftd2xx_*.deb)
  arch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
  dpkg-deb --info "$deb"
  dpkg-deb --contents "$deb"
  dpkg -i "$deb"
  for f in /usr/lib/"$arch"/libftd2xx.so.1 /usr/lib/"$arch"/libftd2xx.so /usr/lib/"$arch"/libftd2xx.a \
    /usr/include/ftd2xx.h /usr/lib/"$arch"/pkgconfig/libftd2xx.pc \
    /usr/lib/"$arch"/cmake/ftd2xx/ftd2xxConfig.cmake /usr/bin/wg_output /usr/bin/wg_input \
    /usr/lib/udev/rules.d/60-libftd2xx.rules /usr/share/doc/libftd2xx/wg_output.md \
    /usr/share/doc/libftd2xx/docs/programs.md /usr/share/doc/libftd2xx/api/index.html \
    "${man_pages[@]/#//usr/share/man/}"; do
    test -e "$f" || { echo "package: $f missing"; exit 1; }
  done
  # Each manual page renders without a single warning.
  for page in "${man_pages[@]}"; do
    warnings=$(groff -man -ww -z "/usr/share/man/$page" 2>&1)
    [ -z "$warnings" ] || { echo "package: $page: $warnings"; exit 1; }
  done
  pkg-config --exists libftd2xx
  if ldd /usr/bin/wg_output | grep "not found"; then exit 1; fi
  dpkg -r libftd2xx
  test ! -e /usr/include/ftd2xx.h && test ! -e /usr/bin/wg_output && test ! -e /usr/share/man/man1/wg_output.1
  echo "Debian package checked in $((SECONDS - t0)) s"
}

# Cross-builds for 32-bit ARM (armhf) with Debian's cross toolchain and runs
# every suite that needs no second program under qemu user emulation:
# umockdev's preload library works inside the emulated process, so the
# simulated-chip suites run too. The suites that start programs of their own
# (the launcher's and the programs' end-to-end tests) would need binfmt_misc.
check_armhf() {
  local umockdev=$PWD/build-armhf-deps t0=$SECONDS targets
  ./scripts/install-deps.sh --armhf "$umockdev"
  FTD2XX_ARMHF_PKG_CONFIG_PATH=$umockdev/pkgconfig cmake -S . -B build-armhf \
    -DCMAKE_TOOLCHAIN_FILE=cmake/armhf-linux-gnueabihf.cmake -DCMAKE_BUILD_TYPE=Release \
    -DFTD2XX_WERROR=ON -DFTD2XX_BUILD_BENCH=OFF
  targets=$(ctest --test-dir build-armhf -N -E "$armhf_skip" | sed -n '/(Disabled)$/d; s/^ *Test *#[0-9]*: //p' |
    grep -vxE "exported_symbols|internal_binding")
  cmake --build build-armhf -j "$jobs" --target ftd2xx $targets
  QEMU_SET_ENV="LD_PRELOAD=libumockdev-preload.so.0,LD_LIBRARY_PATH=$umockdev/lib,GTEST_FILTER=$armhf_gtest_skip" \
    ctest --test-dir build-armhf --output-on-failure -j "$jobs" -E "$armhf_skip"
  echo "armhf stage done in $((SECONDS - t0)) s"
}
# The end-to-end runs, the compatibility clients and the JTAG demonstration
# start programs of their own, which under emulation would need the kernel's
# binfmt_misc. The API fuzzer runs in the three native builds; under
# emulation its 30 s would make too few calls to be worth them.
armhf_skip="^(programs_e2e_test|compat_test|jtag_idcode|api_fuzz_test)$"
# These tests read a waiting thread's system call from /proc, which under
# user emulation names the emulator's own host call.
armhf_gtest_skip="-W32EventTest.CloseWhileTheWaiterIsStoppedLeavesItALiveRecord"
armhf_gtest_skip+=":Ring.ReadersWaitingForDifferentCountsEachWakeOnceTheirCountIsThere"

# The library's mutexes carry clang's thread-safety annotations (GUARDED_BY,
# REQUIRES, ACQUIRED_BEFORE, ...): this build fails on any field touched
# without its mutex, any call without the lock it requires and any lock taken
# out of the declared order. Compiling is the whole check.
echo "== clang thread-safety analysis build (at ${SECONDS} s) =="
cmake -S . -B build-thread-safety -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=Release -DFTD2XX_WERROR=ON -DFTD2XX_BUILD_TESTS=OFF -DFTD2XX_BUILD_BENCH=OFF \
  "-DCMAKE_CXX_FLAGS=-Wthread-safety -Wthread-safety-beta" "${launcher[@]}"
cmake --build build-thread-safety -j "$jobs"

echo "== libFuzzer targets (clang, ASan + UBSan), a short run each (at ${SECONDS} s) =="
cmake -S . -B build-fuzz -DFTD2XX_WERROR=ON -DFTD2XX_LIBFUZZER=ON -DCMAKE_C_COMPILER=clang \
  -DCMAKE_CXX_COMPILER=clang++ -DFTD2XX_BUILD_TESTS=OFF -DFTD2XX_BUILD_BENCH=OFF "${launcher[@]}"
cmake --build build-fuzz -j "$jobs" --target config_fuzz bulk_in_fuzz rx_frames_fuzz
for target in config bulk_in rx_frames; do
  found=$(mktemp -d)  # new inputs go here, not into the seed corpus
  "build-fuzz/fuzz/${target}_fuzz" -runs=20000 "$found" "fuzz/corpus/$target"
  rm -rf "$found"
done

echo "== normal build (at ${SECONDS} s) =="
run_suite build -DCMAKE_BUILD_TYPE=Release

echo "== installed files: pkg-config and CMake package consumers (at ${SECONDS} s) =="
check_installed_files

echo "== Debian package (at ${SECONDS} s) =="
check_debian_package

echo "== armhf cross build under qemu (at ${SECONDS} s) =="
check_armhf

echo "== AddressSanitizer + UndefinedBehaviorSanitizer build (at ${SECONDS} s) =="
export ASAN_OPTIONS="verify_asan_link_order=0:detect_leaks=1:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
TEST_LABELS=memory run_suite build-asan -DFTD2XX_SANITIZE=address -DFTD2XX_BUILD_BENCH=OFF

echo "== ThreadSanitizer build (at ${SECONDS} s) =="
unset ASAN_OPTIONS UBSAN_OPTIONS
export TSAN_OPTIONS="suppressions=$PWD/tests/tsan.supp:halt_on_error=1:second_deadlock_stack=1"
TEST_LABELS=threads run_suite build-tsan -DFTD2XX_SANITIZE=thread -DFTD2XX_BUILD_BENCH=OFF

echo "== all suites passed in ${SECONDS} s =="
