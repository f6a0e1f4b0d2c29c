#!/bin/bash
# SPDX-FileCopyrightText: 2026 dcp-sealkey developers
# SPDX-License-Identifier: MIT
# Builds the tool twice, from two copies of the working tree at paths of
# different lengths, at different times, with different time zones, locales
# and umasks, and checks that both give the same bytes: the hardened release
# binary of a plain CMake build (the release preset, tests off) and the
# native Debian package with its debug symbols.
set -euo pipefail
cd "$(dirname "$0")/../.."

bash apt/install.sh build-essential debhelper dpkg-dev
version=$(dpkg-parsechangelog -l debian/changelog -S Version)
arch=$(dpkg --print-architecture)
# dpkg-buildpackage takes the same value from debian/changelog.
SOURCE_DATE_EPOCH=$(dpkg-parsechangelog -l debian/changelog -S Timestamp)
export SOURCE_DATE_EPOCH

top=$(mktemp -d /tmp/dcp-sealkey-repro.XXXXXX)
trap 'rm -rf "$top"' EXIT

# build FOLDER: both builds in FOLDER/dcp-sealkey-<version>, logs beside it.
build() {
    local src=$1/dcp-sealkey-$version
    bash scripts/export-tree.sh "$src"
    if ! (cd "$src" && cmake --preset release -DDCP_SEALKEY_TESTS=OFF &&
          cmake --build --preset release) >"$1/cmake.log" 2>&1; then
        tail -n 50 "$1/cmake.log"
        exit 1
    fi
    if ! (cd "$src" && DEB_BUILD_OPTIONS="nocheck parallel=$(nproc)" \
          dpkg-buildpackage -b -us -uc -Pnocheck) >"$1/deb.log" 2>&1; then
        tail -n 50 "$1/deb.log"
        exit 1
    fi
}

# Each build takes several seconds, so the second starts at another time.
a=$top/a
b=$top/b/a/much/longer/path/than/the/first
(umask 022; TZ=UTC LC_ALL=C.UTF-8 build "$a")
(umask 002; TZ=XYZ-14 LC_ALL=C build "$b")

# hints FILE-A FILE-B: where two files differ; for packages, which files
# inside differ and how.
hints() {
    cmp -l "$1" "$2" | head -n 5 || true
    case $1 in
    *.deb)
        diff <(dpkg-deb -I "$1"; dpkg-deb -c "$1") <(dpkg-deb -I "$2"; dpkg-deb -c "$2") || true
        rm -rf "$top/x"
        mkdir -p "$top/x/a" "$top/x/b"
        dpkg-deb -x "$1" "$top/x/a"
        dpkg-deb -x "$2" "$top/x/b"
        (cd "$top/x/a" && find . -type f) | while read -r f; do
            # Files named after their build ID show up in the listing above.
            [ -f "$top/x/b/$f" ] || continue
            cmp -s "$top/x/a/$f" "$top/x/b/$f" || hints "$top/x/a/$f" "$top/x/b/$f"
        done
        ;;
    *)
        echo "$1 and $2: strings that differ"
        diff <(strings -a -n 6 "$1") <(strings -a -n 6 "$2") | head -n 20 || true
        ;;
    esac
}

failed=0
same() { # NAME FILE-A FILE-B
    if cmp -s "$2" "$3"; then
        echo "reproducible: $1 ($(stat -c %s "$2") bytes)"
    else
        echo "NOT reproducible: $1"
        hints "$2" "$3"
        failed=1
    fi
}
same "release binary" "$a/dcp-sealkey-$version/build/release/dcp-sealkey" \
    "$b/dcp-sealkey-$version/build/release/dcp-sealkey"
for deb in "dcp-sealkey_${version}_$arch.deb" "dcp-sealkey-dbgsym_${version}_$arch.deb"; do
    same "$deb" "$a/$deb" "$b/$deb"
done
exit "$failed"
