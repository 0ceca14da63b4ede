#!/usr/bin/env bash
# Builds everything and runs every test under Qt's offscreen platform, builds
# and checks the Debian package, then repeats the tests in an
# address/undefined-sanitizer build (with leak detection where Qt's GUI is not
# loaded), the library and simulator tests under the thread sanitizer, and
# runs the bounded fuzzing.
set -euo pipefail
cd "$(dirname "$0")"
. scripts/deps.sh
ensure_packages "${BUILD_PACKAGES[@]}" "${PACKAGE_PACKAGES[@]}" clang libclang-rt-14-dev

export QT_QPA_PLATFORM=offscreen
jobs=$(nproc)

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j "$jobs"
ctest --test-dir build --output-on-failure -j "$jobs"
scripts/check-package.sh build

cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DZENTA_SANITIZE=ON
cmake --build build-asan -j "$jobs"
# Tests that load no Qt GUI (language, simulator, device library) run with
# leak detection; the rest without, as Qt's own one-time allocations would
# drown out ours.
no_gui='^(tst_lang_|tst_vorlag_|sim_|tst_tollancom(_hid)?$)'
export UBSAN_OPTIONS=print_stacktrace=1
ASAN_OPTIONS=detect_leaks=1 \
  ctest --test-dir build-asan --output-on-failure -j "$jobs" -LE no-sanitizer -R "$no_gui"
ASAN_OPTIONS=detect_leaks=0 \
  ctest --test-dir build-asan --output-on-failure -j "$jobs" -LE no-sanitizer -E "$no_gui"

# The device library and the simulator use threads and processes; their
# tests run again under the thread sanitizer. Qt is not instrumented, so
# races seen only inside it (QtTest's watchdog thread) are not ours to judge.
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DZENTA_TSAN=ON
cmake --build build-tsan -j "$jobs" --target tests/sim/all tests/tollancom/all
TSAN_OPTIONS="halt_on_error=1 ignore_noninstrumented_modules=1" \
  ctest --test-dir build-tsan --output-on-failure -j "$jobs" -R '^(sim_|tst_tollancom(_hid)?$)'

if [ -x fuzz/run.sh ]; then
  fuzz/run.sh
fi
echo "All tests passed."
