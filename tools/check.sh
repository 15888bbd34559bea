#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: once as built for use, once more
# under AddressSanitizer and UndefinedBehaviorSanitizer, where a leak or undefined behaviour fails,
# then the Windows build under wine (tools/windows.sh --test; the first run builds Qt for
# Windows, about 35 minutes, and caches it).
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh --test
jobs=$(nproc)

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs" -LE windows

cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=Debug -DRQ204_SANITIZE=ON -DRQ204_BENCH=OFF
cmake --build build-sanitize -j"$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
LSAN_OPTIONS=suppressions=$PWD/tests/lsan.supp:print_suppressions=0 \
    ctest --test-dir build-sanitize --output-on-failure -j"$jobs" -LE windows

tools/windows.sh --test
