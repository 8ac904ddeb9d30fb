#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite: a normal
# build with warnings as errors, the accessibility check over AT-SPI, the
# kernel test with its programs, the Debian package's checks, the tests under
# AddressSanitizer and UndefinedBehaviorSanitizer, the threaded tests under
# ThreadSanitizer, the Windows build with its packages under wine (Qt for
# Windows is built once per machine, about half an hour, then cached), and the
# Windows command line under wine against the hub on the kernel test's guest.
# --quick runs only the normal build.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh
jobs=$(nproc)
export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/tests/tsan.supp"

run_suite() {
    local dir=$1 label=$2; shift 2
    echo "=== $label ==="
    cmake -S . -B "$dir" -G Ninja -DQUORVI_WERROR=ON "$@" >/dev/null
    cmake --build "$dir" -j "$jobs"
    ctest --test-dir "$dir" --output-on-failure -j "$jobs" ${CTEST_ARGS:-}
}

run_suite build/ci-release "normal build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
[ "${1:-}" = "--quick" ] && exit 0

echo "=== Accessibility (the demo over AT-SPI) ==="
scripts/a11y-check.sh build/ci-release

# The real updater against a hub on a real kernel's uhid, under QEMU.
scripts/kernel-test.sh build/ci-release

echo "=== Debian package ==="
scripts/package-test.sh

run_suite build/ci-asan "AddressSanitizer + UndefinedBehaviorSanitizer" \
    -DCMAKE_BUILD_TYPE=Debug -DQUORVI_SANITIZE=ON -DQUORVI_BUILD_BENCH=OFF

echo "=== ThreadSanitizer (threaded tests) ==="
cmake -S . -B build/ci-tsan -G Ninja -DQUORVI_WERROR=ON -DCMAKE_BUILD_TYPE=Debug -DQUORVI_TSAN=ON \
    -DQUORVI_BUILD_BENCH=OFF >/dev/null
cmake --build build/ci-tsan -j "$jobs" --target tsan_tests
ctest --test-dir build/ci-tsan --output-on-failure -L threads

echo "=== Windows build and packages, under wine ==="
scripts/package.sh --windows-only
scripts/windows-test.sh build/windows build/package

# The Windows quorvi-hub.exe through wine's own HID stack (winebus over the
# guest kernel's hidraw) against the hub on uhid: the kernel test's guest again,
# with the Windows build from above and a wine prefix cached per wine version.
echo "=== Windows command line under wine against the kernel's hub ==="
scripts/kernel-test.sh --windows build/ci-release build/windows
