#!/usr/bin/env bash
# Runs a Windows program under wine, sealed off from the host's serial ports, and exits with its
# status. On these machines /dev/ttyS0 is the system console, and wine links COM ports to
# /dev/ttyS* by itself (a new prefix gets com1 -> /dev/ttyS0, and its device manager makes such
# links again at every start), so:
#   - every run has a wine prefix of its own, copied from a template made once and cached;
#   - COM ports reach only the pseudo-terminals named here (registry HKLM\Software\Wine\Ports);
#   - wine runs in a mount namespace of its own whose /dev holds no serial port of the host, so
#     its device manager finds none to link, and nothing it might probe is real.
# The wineserver runs in the foreground, as this script's child: as a daemon it would lead a
# session of its own and take the first pseudo-terminal it opens as its controlling terminal,
# and the end of that terminal would hang the whole wine session up.
#
#   tests/wine-run.sh [--com N=PTY]... [--reg FILE] [--keep PREFIX] [--command] PROGRAM [ARGUMENT...]
#     --com N=PTY       COMN is the pseudo-terminal PTY
#     --reg FILE        also the keys in FILE (as wine's system.reg writes them) in the machine's
#                       registry, such as the devices Device Manager lists
#     --keep PREFIX     use (and keep) the prefix PREFIX, making it from the template if missing
#     --command         run PROGRAM as it stands in the sealed session (it calls wine64 itself,
#                       to run several Windows programs side by side)
#   RQ204_WINE_PAIRS=N  also N pairs of COM ports joined back to back through pseudo-terminals
#                       (COM11 with COM31, COM12 with COM32, ...), which the tests built for
#                       Windows use as their devices; the program reads which from
#                       RQ204_TEST_COM_PAIRS, and cuts a pair by a request file in
#                       RQ204_TEST_COM_CONTROL
#   RQ204_CACHE         where the template lives (default ~/.cache/rq204)
set -euo pipefail

coms=()
joiners=()
keep=
registry=
wine=(wine64)
while [ $# -gt 0 ]; do
    case "$1" in
    --com) coms+=("$2"); shift 2 ;;
    --reg) registry=$2; shift 2 ;;
    --keep) keep=$2; shift 2 ;;
    --command) wine=(); shift ;;
    *) break ;;
    esac
done
[ $# -gt 0 ] || {
    echo "usage: $0 [--com N=PTY]... [--reg FILE] [--keep PREFIX] [--command] PROGRAM [ARGUMENT...]" >&2
    exit 2
}

export PATH=/usr/lib/wine:$PATH WINEDEBUG=${WINEDEBUG:--all}
# No offer to fetch wine's .NET and HTML engines, and no sound drivers, none of which is needed.
export WINEDLLOVERRIDES="mscoree,mshtml,winealsa.drv,winepulse.drv="
cache=${RQ204_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/rq204}
template=$cache/wine-prefix-$(wine64 --version | tr -c 'A-Za-z0-9.\n-' _)

# Runs "$@" with the host's serial ports out of reach, in a user namespace of its own even for
# root: wine then opens devices as any user's program does, and a device another program holds
# in exclusive mode is refused to it as it would be to anyone but root.
sealed() {
    local unshare=(unshare -r -m --propagation private)
    "${unshare[@]}" bash -c '
        set -e
        # A /dev of its own: the few nodes wine and the tests use, and the pseudo-terminals.
        host=$(mktemp -d "${TMPDIR:-/tmp}/rq204-dev.XXXXXX")
        mount --rbind /dev "$host"
        mount -t tmpfs -o mode=755 tmpfs /dev
        for node in null zero full random urandom tty ptmx; do
            touch "/dev/$node"
            mount --bind "$host/$node" "/dev/$node"
        done
        mkdir /dev/pts /dev/shm
        mount --rbind "$host/pts" /dev/pts
        mount -t tmpfs -o mode=1777 tmpfs /dev/shm
        ln -s /proc/self/fd /dev/fd
        ln -s fd/0 /dev/stdin && ln -s fd/1 /dev/stdout && ln -s fd/2 /dev/stderr
        umount -l "$host" && rmdir "$host"
        set +e
        export WINEPREFIX=$1
        shift
        # Ready once it has made its socket, in the folder it works in.
        wineserver64 -f -p1 >/dev/null 2>&1 &
        server=$!
        for _ in $(seq 250); do
            [ -S "/proc/$server/cwd/socket" ] && break
            sleep 0.02
        done
        status=0
        "$@" || status=$?
        wineserver -k 2>/dev/null || true
        wait
        exit $status
    ' sealed "$@"
}

prefix=${keep:-$(mktemp -d "${TMPDIR:-/tmp}/rq204-wine.XXXXXX")}
[ -n "$keep" ] || trap 'rm -rf "$prefix"' EXIT
mkdir -p "$cache"
exec 9>"$cache/.wine-template.lock"
flock 9
if [ ! -f "$template/.rq204-ready" ]; then
    rm -rf "$template"
    mkdir -p "$template"
    sealed "$template" wine64 wineboot -i >/dev/null 2>&1
    touch "$template/.rq204-ready"
fi
# No COM link survives a run: a template made before the sealed /dev linked com1 to /dev/ttyS0.
rm -f "$template"/dosdevices/com*
if [ ! -f "$prefix/system.reg" ]; then
    mkdir -p "$prefix"
    # Hard links cost nothing; what wine writes in place (the registry, the update stamp) is
    # copied.
    cp -al "$template/." "$prefix/"
    rm -f "$prefix"/*.reg "$prefix/.update-timestamp" "$prefix/.rq204-ready"
    cp "$template"/*.reg "$template/.update-timestamp" "$prefix/"
fi
exec 9>&-
rm -f "$prefix"/dosdevices/com*
{
    printf '\n[Software\\\\Wine\\\\Ports] %s\n' "$(date +%s)"
    for com in "${coms[@]}"; do
        printf '"COM%s"="%s"\n' "${com%%=*}" "${com#*=}"
    done
    [ -z "$registry" ] || cat "$registry"
} >>"$prefix/system.reg"

# Each pair: socat joins two pseudo-terminals, and this script holds both open, so that a program
# closing its port does not end socat. A request file cuts the pair; it is joined again at once
# under the same names, and the request removed.
pair_folder=
if [ "${RQ204_WINE_PAIRS:-0}" -gt 0 ]; then
    pair_folder=$(mktemp -d "${TMPDIR:-/tmp}/rq204-pairs.XXXXXX")
    pairs=()
    for i in $(seq "$RQ204_WINE_PAIRS"); do
        a=$((10 + i)) b=$((30 + i))
        pairs+=("$a:$b")
        printf '"COM%s"="%s/com%s"\n"COM%s"="%s/com%s"\n' "$a" "$pair_folder" "$a" \
            "$b" "$pair_folder" "$b" >>"$prefix/system.reg"
        (
            trap 'kill $joiner 2>/dev/null; exit' TERM
            while :; do
                socat PTY,link="$pair_folder/com$a",rawer PTY,link="$pair_folder/com$b",rawer &
                joiner=$!
                until [ -e "$pair_folder/com$a" ] && [ -e "$pair_folder/com$b" ]; do sleep 0.01; done
                exec 3<>"$pair_folder/com$a" 4<>"$pair_folder/com$b"
                rm -f "$pair_folder/unplug-$a"
                until [ -e "$pair_folder/unplug-$a" ]; do sleep 0.02; done
                kill $joiner
                wait $joiner || true
                exec 3>&- 4>&-
                rm -f "$pair_folder/com$a" "$pair_folder/com$b"
                touch "$pair_folder/cut-$a"
                while [ -e "$pair_folder/cut-$a" ]; do sleep 0.01; done
            done
        ) &
        joiners+=($!)
    done
    for i in $(seq "$RQ204_WINE_PAIRS"); do
        until [ -e "$pair_folder/com$((10 + i))" ] && [ -e "$pair_folder/com$((30 + i))" ]; do
            sleep 0.01
        done
    done
    export RQ204_TEST_COM_PAIRS=$(IFS=,; echo "${pairs[*]}") RQ204_TEST_COM_CONTROL=Z:$pair_folder
fi

status=0
sealed "$prefix" "${wine[@]}" "$@" || status=$?
# The links to this run's pseudo-terminals end with them.
rm -f "$prefix"/dosdevices/com*
if [ -n "$pair_folder" ]; then
    kill "${joiners[@]}" 2>/dev/null
    wait
    rm -rf "$pair_folder"
fi
exit $status
