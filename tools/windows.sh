#!/usr/bin/env bash
# Builds the program for 64-bit Windows on this Debian machine and packs it, from Debian's
# packages alone:
#   build-windows/rq204-upload-setup-VERSION.exe   the installer (NSIS)
#   build-windows/rq204-upload-VERSION-windows.zip the same folder, to unpack and run anywhere
# Qt for Windows is built from Debian's own source the first time (about 35 minutes on 2 cores)
# and cached outside the repository (tools/windows-qt.sh).
#   tools/windows.sh          install what is missing, build, pack
#   tools/windows.sh --test   then run the Windows tests under wine (tests/wine-run.sh)
set -euo pipefail
cd "$(dirname "$0")/.."
test=
case "${1:-}" in
--test) test=1 ;;
'') ;;
*) echo "usage: $0 [--test]" >&2; exit 2 ;;
esac
tools/install-deps.sh --windows ${test:+--test}
jobs=$(nproc)

qt=$(tools/windows-qt.sh)
build=build-windows
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$qt/lib/cmake/Qt6/qt.toolchain.cmake" \
    -DQT_CHAINLOAD_TOOLCHAIN_FILE="$PWD/tools/mingw-w64.cmake" \
    -DCMAKE_CROSSCOMPILING_EMULATOR="$PWD/tests/wine-run.sh" \
    -DBUILD_TESTING="$([ -n "$test" ] && echo ON || echo OFF)"
cmake --build "$build" -j"$jobs"

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
stage=$PWD/$build/rq204-upload-$version
rm -rf "$stage"
cmake --install "$build" --prefix "$stage" --strip
# The libraries come with their symbols, which no user's machine needs (libstdc++ alone is 23 MB).
find "$stage" -name '*.dll' -exec x86_64-w64-mingw32-strip --strip-unneeded {} +

# What the installer puts down and its uninstaller takes away again, file by file, so that the
# uninstaller never removes anything else from the folder.
{
    (cd "$stage" && find . -type d | sort) | while read -r folder; do
        printf 'SetOutPath "$INSTDIR%s"\n' "$(echo "${folder#.}" | tr / '\\')"
        find "$stage/${folder#./}" -maxdepth 1 -type f | sort | while read -r file; do
            printf 'File "%s"\n' "$file"
        done
    done
} >"$build/installer-files.nsh"
{
    (cd "$stage" && find . -type f | sort) | while read -r file; do
        printf 'Delete "$INSTDIR%s"\n' "$(echo "${file#.}" | tr / '\\')"
    done
    (cd "$stage" && find . -mindepth 1 -type d | sort -r) | while read -r folder; do
        printf 'RMDir "$INSTDIR%s"\n' "$(echo "${folder#.}" | tr / '\\')"
    done
} >"$build/installer-unfiles.nsh"
installer=$build/rq204-upload-setup-$version.exe
makensis -V2 -DVERSION="$version" -DICON="$PWD/window/rq204-upload.ico" \
    -DFILES="$PWD/$build/installer-files.nsh" -DUNFILES="$PWD/$build/installer-unfiles.nsh" \
    -DOUTFILE="$PWD/$installer" packaging/windows/rq204-upload.nsi
zip=$build/rq204-upload-$version-windows.zip
rm -f "$zip"
(cd "$build" && cmake -E tar cf "$(basename "$zip")" --format=zip "$(basename "$stage")")
echo "Windows: $installer ($(stat -c %s "$installer") bytes), $zip ($(stat -c %s "$zip") bytes)"

[ -n "$test" ] || exit 0
# The tests cross-built with the program, each under wine on the offscreen platform; then the
# programs end to end against the virtual RQ204 on Linux, as installed by the installer.
ctest --test-dir "$build" --output-on-failure -j"$jobs"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$jobs" --target tst_wine rq204-virtual
RQ204_WINDOWS_STAGE=$stage RQ204_WINDOWS_INSTALLER=$PWD/$installer \
    ctest --test-dir build --output-on-failure -L windows
