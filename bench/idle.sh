#!/usr/bin/env bash
# Idle benchmark: the CPU time the program uses while its window just sits there. Any timer that
# polls (a port, a device list, the clipboard) shows up as ticks and wake-ups here.
#
#   bench/idle.sh [BUILD_DIR]        BUILD_DIR defaults to build-bench
#
# Starts an Xvfb of its own and bench-startup-app (ptys for ports 1 and 2, never a host port),
# waits until its window is viewable and a second more, then counts over 5 s the CPU ticks
# (utime + stime) and the voluntary context switches of all its threads. The goal is 0 ticks.
# Needs Xvfb and xwininfo (tools/install-deps.sh --bench); exits non-zero only when the
# measurement could not be made.
set -euo pipefail
cd "$(dirname "$0")/.."
app=${1:-build-bench}/bench/bench-startup-app
[ -x "$app" ] || { echo "$app: not built" >&2; exit 1; }

work=$(mktemp -d)
xvfb='' pid=''
cleanup() {
    if [ -n "$pid" ]; then
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
        # Killed, it leaves its port's lock file behind; the next open would clear it as stale,
        # but it should not outlive the benchmark.
        for lock in /var/lock/LCK..* /tmp/LCK..*; do
            [ "$(head -n 1 "$lock" 2>/dev/null)" = "$pid" ] && rm -f "$lock"
        done
    fi
    [ -z "$xvfb" ] || kill "$xvfb" 2>/dev/null || true
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

# The server picks a free display itself and writes its number; no race with another server.
mkfifo "$work/display"
Xvfb -displayfd 3 -nolisten tcp -screen 0 1280x1024x24 3>"$work/display" 2>/dev/null &
xvfb=$!
read -r -t 10 number <"$work/display" || { echo "could not start Xvfb" >&2; exit 1; }
export DISPLAY=:$number
# A desktop session always has one; without it Qt warns and falls back to a directory of its own.
mkdir -m 700 "$work/runtime"
export XDG_RUNTIME_DIR=${XDG_RUNTIME_DIR:-$work/runtime}
unset QT_QPA_PLATFORM

"$app" &
pid=$!

viewable() {
    local id
    id=$(xwininfo -root -tree 2>/dev/null | awk '/\("bench-startup-app"/ { print $1; exit }')
    [ -n "$id" ] && xwininfo -id "$id" 2>/dev/null | grep -q 'Map State: IsViewable'
}
for ((i = 0; i < 400; i++)); do
    viewable && break
    kill -0 "$pid" 2>/dev/null || { echo "$app died" >&2; exit 1; }
    sleep 0.05
done
viewable || { echo "no window within 20 s" >&2; exit 1; }
sleep 1

# utime and stime are fields 14 and 15 of /proc/PID/stat, counted after the ")" that ends the
# command name, since the name itself may hold blanks.
ticks() {
    local stat fields
    stat=$(</proc/"$pid"/stat)
    read -r -a fields <<<"${stat##*) }"
    echo $((fields[11] + fields[12]))
}
switches() {
    cat /proc/"$pid"/task/*/status | awk '/^voluntary_ctxt_switches/ { n += $2 } END { print n }'
}

ticks0=$(ticks) switches0=$(switches)
sleep 5
ticks1=$(ticks) switches1=$(switches)
tasks=(/proc/"$pid"/task/*)
threads=${#tasks[@]}
echo "idle for 5 s after the window was viewable: $((ticks1 - ticks0)) CPU ticks" \
    "(1 tick = $((1000 / $(getconf CLK_TCK))) ms), $((switches1 - switches0)) wake-ups" \
    "over $threads threads"
