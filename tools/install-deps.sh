#!/usr/bin/env bash
# Installs the Debian 12 packages the program needs that this machine lacks, and nothing else.
#   tools/install-deps.sh               build and run
#   tools/install-deps.sh --test        also what the tests and the package check need: ser2net,
#                                       sredird (behind socat) and pyserial's RFC 2217 server
#                                       for displays on the network, an X server and a window
#                                       manager for the desktop test, the tools it reads them
#                                       with, a session bus and AT-SPI with a Python client to
#                                       read what a screen reader hears, a Wayland compositor
#                                       and Qt's Wayland plugin, and the Debian package checkers
#   tools/install-deps.sh --bench       also Xvfb, metacity and ImageMagick (benchmarks)
#   tools/install-deps.sh --screenshot  also Xvfb, a window manager, xdotool and ImageMagick
#   tools/install-deps.sh --fuzz        also clang and its fuzzer runtime
#   tools/install-deps.sh --windows     also the Windows cross compiler, Ninja and NSIS, and what
#                                       building Qt from Debian's source takes; with --test, wine
#                                       for the Windows tests
set -euo pipefail

packages=(cmake make g++ pkg-config qt6-base-dev fonts-liberation)
windows=
for option in "$@"; do
    [ "$option" = --windows ] && windows=1
done
for option in "$@"; do
    case "$option" in
    --test) packages+=(xvfb xauth x11-utils xdotool metacity ser2net
        dbus-daemon at-spi2-core python3-gi gir1.2-atspi-2.0 weston qt6-wayland
        sredird socat python3-serial dpkg-dev file lintian desktop-file-utils appstream)
        [ -n "$windows" ] && packages+=(wine64) ;;
    --bench) packages+=(xvfb xauth x11-utils metacity imagemagick) ;;
    --screenshot) packages+=(xvfb xauth x11-utils imagemagick metacity xdotool) ;;
    --fuzz) packages+=(clang libclang-rt-14-dev) ;;
    --windows) packages+=(g++-mingw-w64-x86-64-posix ninja-build nsis patch xz-utils) ;;
    *) echo "usage: $0 [--test] [--bench] [--screenshot] [--fuzz] [--windows]" >&2; exit 2 ;;
    esac
done

missing=()
for package in "${packages[@]}"; do
    status=$(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null || true)
    [ "$status" = installed ] || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
echo "Installing: ${missing[*]}"
"${sudo[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
