#!/usr/bin/env bash
# Installs what is missing, builds, and starts the program beside a virtual RQ204 whose pty is
# already in the port box, so the whole job can be tried without serial hardware or typing a
# path. The virtual RQ204 stops when the window closes.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$(nproc)"

scratch=$(mktemp -d)
virtual_pid=
stop_virtual() {
    [ -n "$virtual_pid" ] && kill "$virtual_pid" 2>/dev/null && wait "$virtual_pid" 2>/dev/null
    rm -rf "$scratch"
}
trap stop_virtual EXIT

build/tools/rq204-virtual --path-file "$scratch/port" &
virtual_pid=$!
# It writes the file once its pty is ready.
for _ in $(seq 100); do
    [ -s "$scratch/port" ] && break
    kill -0 "$virtual_pid" 2>/dev/null || { echo "run.sh: the virtual RQ204 did not start" >&2; exit 1; }
    sleep 0.05
done
[ -s "$scratch/port" ] || { echo "run.sh: the virtual RQ204 gave no port" >&2; exit 1; }
build/window/rq204-upload --port "$(cat "$scratch/port")"
