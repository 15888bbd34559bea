#!/usr/bin/env bash
# Installs what is missing, builds, and starts the program beside a virtual RQ204, so the
# whole job can be tried without serial hardware: type the path it prints into the port box.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$(nproc)"

virtual=build/tools/rq204-virtual
if [ -x "$virtual" ]; then
    "$virtual" &
    trap 'kill $! 2>/dev/null || true' EXIT
fi
build/window/rq204-upload
