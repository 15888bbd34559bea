#!/usr/bin/env bash
# Makes docs/screenshot.png: the program as a user sees it, in a window manager's frame, while it
# sends a message to the virtual RQ204. Runs on its own X server; rerun it after a visible change.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh --screenshot
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target rq204-upload rq204-virtual >/dev/null

work=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

# wait_for TEST...: up to 10 s for TEST to succeed.
wait_for() {
    for _ in $(seq 100); do "$@" && return 0; sleep 0.1; done
    echo "screenshot: gave up waiting for: $*" >&2
    return 1
}

Xvfb -displayfd 3 -screen 0 800x600x24 -nolisten tcp 3>"$work/display" 2>/dev/null &
pids+=($!)
wait_for test -s "$work/display"
export DISPLAY=":$(cat "$work/display")"
unset WAYLAND_DISPLAY
export QT_QPA_PLATFORM=xcb

# Metacity draws the title bar as GNOME does and, like most window managers, honours the window's
# request for no minimise and no maximise button.
metacity --no-composite --sm-disable >/dev/null 2>&1 &
pids+=($!)
wait_for xprop -root _NET_SUPPORTING_WM_CHECK >/dev/null 2>&1
sleep 1 # the window manager announces itself before it manages windows

build/tools/rq204-virtual --path-file "$work/port" >"$work/virtual.log" &
pids+=($!)
wait_for test -s "$work/port"
port=$(cat "$work/port")

build/window/rq204-upload --port "$port" &
pids+=($!)
window=$(timeout 20 xdotool search --sync --onlyvisible --name '^RQ204 Message upload utility$' |
    head -n 1)
sleep 1 # the window manager's frame and the first paint

# Points inside the window, in its own pixels: text box, "Send to LCD".
click() { xdotool mousemove --window "$window" "$1" "$2" click 1; sleep 0.3; }
type_into() { click "$1" "$2"; xdotool key --clearmodifiers ctrl+a type --delay 20 "$3"; }
type_into 150 130 'Fresh bread daily $ Open 7 to 19'
click 380 172

# A few characters in, with the progress bar well under way. The window manager's invisible
# resize borders are trimmed off.
sleep 2
wait_for grep -q 'Fresh' "$work/virtual.log"
import -frame -window "$window" "$work/shot.png"
convert "$work/shot.png" -trim +repage -strip -define png:exclude-chunks=date,time docs/screenshot.png
echo "Wrote docs/screenshot.png ($(identify -format '%wx%h' docs/screenshot.png))"
