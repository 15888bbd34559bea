#!/usr/bin/env bash
# Builds Qt for 64-bit Windows from Debian's own qt6-base source (the version the Linux build
# uses) with mingw-w64, once per machine, into a cache outside the repository, and prints its
# prefix. A cache made with the same source, patches, configuration and compiler is reused; any
# change to them builds it again. Nothing is fetched from outside Debian's archive, and the
# system's apt set-up is left alone (the source list is a private one).
#   RQ204_CACHE   where the cache lives (default ~/.cache/rq204)
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
cache=${RQ204_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/rq204}
version=6.4.2
prefix=$cache/qt-$version-mingw
toolchain=$repo/tools/mingw-w64.cmake
patches=("$repo"/packaging/windows/qt-*.patch)

# Only what the program needs: Core, Gui, Widgets, Network and Test with the Windows platform
# and style plugins. FreeType draws no text here; Windows' own GDI font engine does.
configure_args=(-xplatform win32-g++ -qt-host-path /usr -release -shared
    -nomake examples -nomake tests -no-opengl -no-dbus -no-direct2d
    -no-feature-sql -no-feature-printsupport -no-feature-concurrent -no-feature-xml
    -no-feature-vulkan -no-pkg-config -no-icu -qt-zlib -qt-pcre -qt-libpng -no-libjpeg
    -qt-freetype -qt-harfbuzz -qt-doubleconversion)

mkdir -p "$cache"
exec 9>"$cache/.qt-build.lock"
flock 9

key=$( {
    printf '%s\n' "$version" "${configure_args[@]}"
    cat "$toolchain" "${patches[@]}"
    x86_64-w64-mingw32-g++-posix --version | head -1
} | sha256sum | cut -d' ' -f1)
log() { echo "windows-qt: $*" >&2; }

# What the Windows program ships of Qt's licences: the LGPL (with the GPL it builds on), where
# this Qt's source came from and how it was built, and the notices of the libraries bundled in
# Qt's source that this build compiles in.
collect_licences() {
    local source_dir=$1 out=$prefix/licences
    rm -rf "$out" && mkdir -p "$out"
    cp "$source_dir/LICENSES/LGPL-3.0-only.txt" "$out/Qt-LGPL-3.0.txt"
    cp "$source_dir/LICENSES/GPL-3.0-only.txt" "$out/Qt-GPL-3.0.txt"
    {
        echo "Qt $version (Qt Base: Core, Gui, Widgets, Network and the Windows platform and style"
        echo "plugins), licensed under the GNU Lesser General Public License version 3 (Qt-LGPL-3.0.txt,"
        echo "which builds on Qt-GPL-3.0.txt)."
        echo
        echo "Built from Debian's source package $(basename "$(ls "$src"/qt6-base_*.dsc | tail -1)" .dsc)"
        echo "(http://deb.debian.org/debian, bookworm main; apt-get source qt6-base), the same as"
        echo "https://download.qt.io/archive/qt/${version%.*}/$version/submodules/qtbase-everywhere-src-$version.tar.xz"
        echo "less the files Debian leaves out, with Debian's security patches"
        echo "($(cd "$work/debian/patches" && echo cve-*))"
        echo "and this program's own patches applied (Qt-patches/), configured with:"
        echo "  configure ${configure_args[*]}"
        echo "The source, with the patches, is available from Debian's archive or from the"
        echo "developers of this program on request."
    } >"$out/Qt-source.txt"
    mkdir -p "$out/Qt-patches"
    cp "${patches[@]}" "$out/Qt-patches/"
    local library
    for library in zlib pcre2 libpng freetype harfbuzz-ng double-conversion md4c tinycbor easing \
        sha3 sha1 md4 md5 rfc6234 blake2 icc; do
        local dir=$source_dir/src/3rdparty/$library
        [ -f "$dir/qt_attribution.json" ] || continue
        {
            printf '=== %s ===\n' "$library"
            cat "$dir/qt_attribution.json"
            sed -n 's/.*"LicenseFile": *"\([^"]*\)".*/\1/p' "$dir/qt_attribution.json" |
                while read -r file; do [ -f "$dir/$file" ] && cat "$dir/$file"; done
            echo
        } >>"$out/Qt-third-party.txt"
    done
}

src=$cache/src
work=$cache/qt-build
source_dir=$work/qtbase-everywhere-src-$version
unpack() {
    rm -rf "$work"
    mkdir -p "$work"
    log "unpacking into $work"
    tar -xf "$src"/qt6-base_$version+dfsg.orig.tar.xz -C "$work"
    tar -xf "$(ls "$src"/qt6-base_$version+dfsg-*.debian.tar.xz | tail -1)" -C "$work"
}

if [ "$(cat "$prefix/.rq204-key" 2>/dev/null)" = "$key" ]; then
    # A cache from before the licences were collected gets them from the cached source.
    if [ ! -d "$prefix/licences" ]; then
        unpack
        collect_licences "$source_dir"
        rm -rf "$work"
    fi
    echo "$prefix"
    exit 0
fi

# The source: fetched once through a source list of the cache's own; apt checks it against the
# archive's signed index.
if ! ls "$src"/qt6-base_$version+dfsg.orig.tar.xz "$src"/qt6-base_$version+dfsg-*.debian.tar.xz \
    >/dev/null 2>&1; then
    log "fetching Debian's qt6-base $version source"
    mkdir -p "$src/apt/parts" "$src/apt/lists/partial" "$src/apt/cache/archives/partial"
    echo 'deb-src http://deb.debian.org/debian bookworm main' >"$src/apt/parts/bookworm-src.list"
    apt_private=(-o Dir::Etc::sourcelist=/dev/null -o Dir::Etc::sourceparts="$src/apt/parts"
        -o Dir::State::Lists="$src/apt/lists" -o Dir::Cache="$src/apt/cache"
        -o APT::Sandbox::User=root)
    apt-get "${apt_private[@]}" update -qq
    (cd "$src" && apt-get "${apt_private[@]}" source --download-only -qq qt6-base)
    ls "$src"/qt6-base_$version+dfsg.orig.tar.xz >/dev/null ||
        { log "Debian's archive no longer serves qt6-base $version"; exit 1; }
fi

rm -rf "$prefix"
unpack
# Debian's security fixes apply to the plain source; the rest of its patches are packaging.
for patch in "$work"/debian/patches/cve-* "${patches[@]}"; do
    patch -d "$source_dir" -p1 -s <"$patch"
done

log "configuring and building (about 35 minutes on 2 cores; log: $cache/qt-build.log)"
started=$(date +%s)
# Chained: errexit does not reach into a list whose status is tested.
(
    mkdir -p "$work/build" && cd "$work/build" &&
        "$source_dir/configure" -prefix "$prefix" "${configure_args[@]}" -- -G Ninja \
            -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
            -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake &&
        cmake --build . --parallel "$(nproc)" &&
        cmake --install .
) >"$cache/qt-build.log" 2>&1 || {
    tail -40 "$cache/qt-build.log" >&2
    log "the Qt build failed; the whole log is $cache/qt-build.log"
    exit 1
}
collect_licences "$source_dir"
# Written last: a build cut short is never taken for a finished one.
echo "$key" >"$prefix/.rq204-key"
rm -rf "$work"
log "built in $(($(date +%s) - started)) s, $(du -sh "$prefix" | cut -f1) in $prefix"
echo "$prefix"
