#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer + UndefinedBehaviorSanitizer) in
# build-fuzz and runs each for SECONDS (default 60), starting from its seeds in
# tests/fuzz/corpus/TARGET. What a run learns stays in build-fuzz/corpus/TARGET for the next one;
# a finding (crash-*, leak-*, timeout-*, oom-*) is left in build-fuzz/findings and makes the
# script exit non-zero.
#   tools/fuzz.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
tools/install-deps.sh --fuzz

CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DRQ204_FUZZ=ON \
    -DBUILD_TESTING=OFF -DRQ204_BENCH=OFF
cmake --build build-fuzz -j"$(nproc)"

export LSAN_OPTIONS=suppressions=$PWD/tests/lsan.supp:print_suppressions=0
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
mkdir -p build-fuzz/findings
status=0
for target in portnumber paste telnet message; do
    mkdir -p "build-fuzz/corpus/$target"
    corpora=("build-fuzz/corpus/$target")
    [ -d "tests/fuzz/corpus/$target" ] && corpora+=("tests/fuzz/corpus/$target")
    options=(-max_total_time="$seconds" -print_final_stats=1
        -artifact_prefix="build-fuzz/findings/$target-")
    # The text box's Qt keeps caches alive that the leak checker would take for leaks.
    [ "$target" = paste ] && options+=(-detect_leaks=0)
    echo "== fuzz-$target, $seconds s"
    "build-fuzz/tests/fuzz/fuzz-$target" "${options[@]}" "${corpora[@]}" || status=1
done
exit $status
