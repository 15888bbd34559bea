#!/usr/bin/env bash
# Builds the Debian package in build/ and checks it the way a distribution would: lintian on
# the package, desktop-file-validate and AppStream on the files it installs. Any complaint,
# down to a hint, fails.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh --test
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$(nproc)"
rm -f build/rq204-upload_*.deb
(cd build && cpack -G DEB)
package=$(echo build/rq204-upload_*.deb)

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg-deb -x "$package" "$root"

failed=0
# check NAME COMMAND...: a failure or anything printed counts against the package.
check() {
    local output status=0
    output=$("${@:2}" 2>&1) || status=$?
    if [ "$status" -ne 0 ] || [ -n "$output" ]; then
        echo "$1 on $package:"
        echo "$output"
        failed=1
    fi
}
check lintian lintian --allow-root --fail-on error,warning "$package"
check desktop-file-validate desktop-file-validate "$root"/usr/share/applications/*.desktop
# The screenshot's address is the project's web site, which the checking machine need not reach.
# YAML lists every finding, pedantic ones included, and prints nothing for a clean tree.
check appstreamcli appstreamcli validate-tree --pedantic --no-net --format yaml "$root"

[ "$failed" -eq 0 ] || exit 1
echo "Package checked: $package ($(stat -c %s "$package") bytes)"
