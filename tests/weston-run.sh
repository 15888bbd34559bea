#!/usr/bin/env bash
# Runs a test on a Wayland compositor of its own, as xvfb-run does on X: a headless weston on a
# socket in a runtime folder made for this run (Wayland wants it private, mode 0700, as root too),
# stopped and removed afterwards. Without weston the test is skipped (exit status 77).
#   tests/weston-run.sh PROGRAM [ARGUMENT...]
set -u

if ! command -v weston >/dev/null 2>&1; then
    echo "weston is not installed (tools/install-deps.sh --test installs it): skipped"
    exit 77
fi

runtime=$(mktemp -d "${TMPDIR:-/tmp}/rq204-wayland.XXXXXX") || exit 1
weston=
cleanUp() {
    if [ -n "$weston" ]; then
        kill "$weston" 2>/dev/null
        wait "$weston" 2>/dev/null
    fi
    rm -rf "$runtime"
}
trap cleanUp EXIT
trap 'exit 143' TERM INT HUP

export XDG_RUNTIME_DIR=$runtime
export WAYLAND_DISPLAY=rq204-test
weston --backend=headless-backend.so --socket="$WAYLAND_DISPLAY" --idle-time=0 --no-config \
    --log="$runtime/weston.log" &
weston=$!
for _ in $(seq 100); do
    [ -S "$runtime/$WAYLAND_DISPLAY" ] && break
    kill -0 "$weston" 2>/dev/null || break
    sleep 0.1
done
if [ ! -S "$runtime/$WAYLAND_DISPLAY" ]; then
    echo "weston did not start:" >&2
    cat "$runtime/weston.log" >&2
    exit 1
fi

"$@"
