#!/usr/bin/env bash
# Idle benchmark: what the program costs while its window just sits there, against the smallest
# Qt window (a QLabel). Any timer that polls (a port, a device list, the clipboard) shows up here,
# and so does the text cursor blinking in the message box of a focused window.
#
#   bench/idle.sh [BUILD_DIR]        BUILD_DIR defaults to build-bench
#
# Runs bench-startup-app (the real program: it reads the host's ports, then opens ptys as ports
# 1 and 2, never a host port) and bench-startup-label, one at a time, on an Xvfb of its own:
# first on the bare server, where no window manager gives the window focus; then under metacity,
# which focuses each new window as a desktop does. Each is measured for 10 s from a second after
# its window is viewable (and, under metacity, active): CPU ticks (utime + stime), CPU time in ms
# (schedstat, which is not rounded to ticks) and the voluntary and involuntary context switches
# of all its threads. A voluntary switch is a wake-up after waiting: idle, the goal is none.
# Needs Xvfb, xwininfo, xprop and metacity (tools/install-deps.sh --bench); exits non-zero only
# when the measurement could not be made.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-bench}
programs=("$build/bench/bench-startup-app" "$build/bench/bench-startup-label")
for program in "${programs[@]}"; do
    [ -x "$program" ] || { echo "$program: not built" >&2; exit 1; }
done
seconds=10

work=$(mktemp -d)
xvfb='' wm='' pid=''
stop_program() {
    [ -n "$pid" ] || return 0
    # The program closes its window and its port on SIGTERM as on a click on the close button,
    # so it leaves no lock file behind.
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    pid=''
}
cleanup() {
    # When the X server went first, nothing else that failed is to blame.
    if [ $? -ne 0 ] && [ -n "$xvfb" ] && ! kill -0 "$xvfb" 2>/dev/null; then
        echo "(Xvfb had ended)" >&2
    fi
    stop_program
    [ -z "$wm" ] || kill "$wm" 2>/dev/null || true
    [ -z "$xvfb" ] || kill "$xvfb" 2>/dev/null || true
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

# The server picks a free display itself and writes its number; no race with another server.
# -noreset: by default it resets when its last client leaves, and the next program to connect
# in that moment is turned away.
mkfifo "$work/display"
Xvfb -displayfd 3 -nolisten tcp -noreset -screen 0 1280x1024x24 3>"$work/display" 2>/dev/null &
xvfb=$!
read -r -t 10 number <"$work/display" || { echo "could not start Xvfb" >&2; exit 1; }
export DISPLAY=:$number
# A desktop session always has one; without it Qt warns and falls back to a directory of its own.
mkdir -m 700 "$work/runtime"
export XDG_RUNTIME_DIR=${XDG_RUNTIME_DIR:-$work/runtime}
unset QT_QPA_PLATFORM

# The program's top-level window, found by its WM_CLASS instance (the executable's name).
window_of() {
    xwininfo -root -tree 2>/dev/null | awk -v name="(\"$1\"" 'index($0, name) { print $1; exit }'
}
viewable() {
    local id
    id=$(window_of "$1")
    [ -n "$id" ] && [[ $(xwininfo -id "$id" 2>/dev/null) == *'Map State: IsViewable'* ]]
}
# Both tools print a window as 0x followed by lowercase hex without leading zeros.
active() {
    local id
    id=$(window_of "$1")
    [ -n "$id" ] && [ "$(xprop -root _NET_ACTIVE_WINDOW 2>/dev/null | awk '{ print $NF }')" = "$id" ]
}
# Waits up to 20 s for `check NAME`; fails when the program has died first.
wait_for() {
    local check=$1 name=$2
    for ((i = 0; i < 400; i++)); do
        "$check" "$name" && return 0
        kill -0 "$pid" 2>/dev/null || { echo "$name died:" >&2; cat "$work/stderr" >&2; return 1; }
        sleep 0.05
    done
    echo "$name: not $check within 20 s" >&2
    return 1
}

# utime and stime are fields 14 and 15 of /proc/PID/stat, counted after the ")" that ends the
# command name, since the name itself may hold blanks; they include every thread's.
ticks() {
    local stat fields
    stat=$(</proc/"$pid"/stat)
    read -r -a fields <<<"${stat##*) }"
    echo $((fields[11] + fields[12]))
}
# CPU ns (first field of each thread's schedstat), voluntary and involuntary switches, threads.
counters() {
    local ns=0 task value
    for task in /proc/"$pid"/task/*; do
        read -r value _ <"$task/schedstat" && ns=$((ns + value))
    done
    awk -v ns="$ns" '/^voluntary_ctxt_switches/ { v += $2 } /^nonvoluntary_ctxt_switches/ { n += $2; t++ }
        END { print ns, v, n, t }' /proc/"$pid"/task/*/status
}

# measure PROGRAM FOCUSED: sets `figures` to "ticks cpu_us voluntary involuntary threads".
measure() {
    local program=$1 focused=$2 name t0 t1 c0 c1
    name=$(basename "$program")
    "$program" 2>"$work/stderr" &
    pid=$!
    wait_for viewable "$name" || exit 1
    if [ "$focused" = yes ]; then wait_for active "$name" || exit 1; fi
    sleep 1
    t0=$(ticks)
    read -r -a c0 <<<"$(counters)"
    sleep "$seconds"
    t1=$(ticks)
    read -r -a c1 <<<"$(counters)"
    stop_program
    figures="$((t1 - t0)) $(((c1[0] - c0[0]) / 1000)) $((c1[1] - c0[1])) $((c1[2] - c0[2])) ${c1[3]}"
}

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }'; }

report() {
    local title=$1 program=$2 label=$3 p l
    read -r -a p <<<"$program"
    read -r -a l <<<"$label"
    printf '%-28s %-8s %9s %11.1f %10s %12s %8s\n' "$title" program "${p[0]}" \
        "$(awk -v us="${p[1]}" 'BEGIN { print us / 1000 }')" "${p[2]}" "${p[3]}" "${p[4]}"
    printf '%-28s %-8s %9s %11.1f %10s %12s %8s\n' "" label "${l[0]}" \
        "$(awk -v us="${l[1]}" 'BEGIN { print us / 1000 }')" "${l[2]}" "${l[3]}" "${l[4]}"
    printf '%-28s %-8s %9s %11s %10s %12s\n' "" ratio "$(ratio "${p[0]}" "${l[0]}")" \
        "$(ratio "${p[1]}" "${l[1]}")" "$(ratio "${p[2]}" "${l[2]}")" "$(ratio "${p[3]}" "${l[3]}")"
}

load_before=$(cut -d' ' -f1-2 /proc/loadavg)
measure "${programs[0]}" no
bare_program=$figures
measure "${programs[1]}" no
bare_label=$figures

metacity --no-composite --sm-disable >/dev/null 2>"$work/wm" &
wm=$!
# Not `| grep -q`: grep leaving early may cut the writer off, and pipefail takes that for "no".
wm_running() { [[ $(xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null) == *'window id'* ]]; }
for ((i = 0; i < 200; i++)); do
    wm_running || ! kill -0 "$wm" 2>/dev/null && break
    sleep 0.05
done
if ! wm_running; then
    if kill -0 "$wm" 2>/dev/null; then
        echo "metacity did not start within 10 s" >&2
    else
        wait "$wm" && status=0 || status=$?
        echo "metacity ended with status $status:" >&2
    fi
    cat "$work/wm" >&2
    exit 1
fi
measure "${programs[0]}" yes
wm_program=$figures
measure "${programs[1]}" yes
wm_label=$figures
load_after=$(cut -d' ' -f1-2 /proc/loadavg)

echo "idle for $seconds s, from 1 s after the window was viewable; 1 tick = $((1000 / $(getconf CLK_TCK))) ms;" \
    "load average (1 min, 5 min) $load_before before, $load_after after;" \
    "ratio = program/label, - where the label's figure is 0"
printf '%-28s %-8s %9s %11s %10s %12s %8s\n' "" "" "CPU ticks" "CPU ms" voluntary involuntary threads
report "bare Xvfb, unfocused" "$bare_program" "$bare_label"
report "metacity, focused" "$wm_program" "$wm_label"
