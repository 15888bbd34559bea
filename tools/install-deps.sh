#!/usr/bin/env bash
# Installs the Debian 12 packages the program needs that this machine lacks, and nothing else.
#   tools/install-deps.sh            build, run and test
#   tools/install-deps.sh --bench    also Xvfb, metacity and ImageMagick (benchmarks, screenshots)
#   tools/install-deps.sh --fuzz     also clang and its fuzzer runtime
set -euo pipefail

packages=(cmake make g++ pkg-config qt6-base-dev qt6-serialport-dev fonts-liberation)
for option in "$@"; do
    case "$option" in
    --bench) packages+=(xvfb xauth x11-utils metacity imagemagick) ;;
    --fuzz) packages+=(clang libclang-rt-14-dev) ;;
    *) echo "usage: $0 [--bench] [--fuzz]" >&2; exit 2 ;;
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
