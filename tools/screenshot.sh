#!/usr/bin/env bash
# Makes docs/screenshot.png: the program as a user sees it, in a window manager's frame, while it
# sends a message to the virtual RQ204. Runs on its own X server; rerun it after a visible change.
#   tools/screenshot.sh             the Linux program
#   tools/screenshot.sh --windows   docs/screenshot-windows.png: the Windows program as wine draws
#                                   it, on a PC whose one port is COM4 (tools/windows.sh builds it)
set -euo pipefail
cd "$(dirname "$0")/.."
windows=
case "${1:-}" in
--windows) windows=1 ;;
'') ;;
*) echo "usage: $0 [--windows]" >&2; exit 2 ;;
esac
tools/install-deps.sh --screenshot ${windows:+--windows --test}
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target rq204-upload rq204-virtual >/dev/null
shot=docs/screenshot.png
if [ -n "$windows" ]; then
    tools/windows.sh >/dev/null
    version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build-windows/CMakeCache.txt)
    shot=docs/screenshot-windows.png
fi

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

if [ -n "$windows" ]; then
    # The start-up puts COM4, the PC's only port, into the port box.
    tests/wine-run.sh --com 4="$port" "build-windows/rq204-upload-$version/rq204-upload.exe" &
else
    build/window/rq204-upload --port "$port" &
fi
pids+=($!)
window=$(timeout 60 xdotool search --sync --onlyvisible --name '^RQ204 Message upload utility$' |
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
convert "$work/shot.png" -trim +repage -strip -define png:exclude-chunks=date,time "$shot"
echo "Wrote $shot ($(identify -format '%wx%h' "$shot"))"
# Closed as a user closes it, so that wine's session and its prefix end in order.
xdotool windowactivate --sync "$window" key alt+F4
wait "${pids[-1]}" || true
