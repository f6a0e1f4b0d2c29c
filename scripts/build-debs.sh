#!/bin/bash
# SPDX-FileCopyrightText: 2026 dcp-sealkey developers
# SPDX-License-Identifier: MIT
# Builds the Debian package of the tool for amd64, arm64, armhf and armel
# (or the architectures given), each from its own copy of the working tree
# in build/debs/src-<arch>/, and collects them as
# build/debs/dcp-sealkey_<version>_<arch>.deb; then lintian checks them.
# The native build runs the host tests; cross builds cannot run them.
set -euo pipefail
cd "$(dirname "$0")/.."

archs=${*:-amd64 arm64 armhf armel}
native=$(dpkg --print-architecture)
bash apt/install.sh build-essential debhelper dpkg-dev lintian
for arch in $archs; do
    if [ "$arch" != "$native" ]; then
        sudo=""
        [ "$(id -u)" -eq 0 ] || sudo=sudo
        $sudo bash cmake/install-cross-deps.sh
        break
    fi
done

version=$(dpkg-parsechangelog -l debian/changelog -S Version)
out=build/debs
changes=()
for arch in $archs; do
    start=$SECONDS
    work=$out/src-$arch
    rm -rf "$work" "$out/dcp-sealkey_${version}_$arch.deb"
    bash scripts/export-tree.sh "$work/dcp-sealkey-$version"
    options="parallel=$(nproc)"
    flags=(-b -us -uc)
    compilers=()
    if [ "$arch" != "$native" ]; then
        options="$options nocheck"
        flags+=(-a "$arch" "--build-profiles=cross,nocheck")
        # dpkg-architecture warns when CC is the host's compiler.
        triplet=$(dpkg-architecture -a "$arch" -q DEB_HOST_GNU_TYPE 2>/dev/null)
        compilers=(CC="$triplet-gcc" CXX="$triplet-g++")
    fi
    log=$work/build.log
    if ! (cd "$work/dcp-sealkey-$version" &&
          env DEB_BUILD_OPTIONS="$options" "${compilers[@]}" dpkg-buildpackage "${flags[@]}") \
          >"$log" 2>&1; then
        tail -n 150 "$log"
        echo "build-debs.sh: the $arch package failed to build; full log: $log" >&2
        exit 1
    fi
    cp "$work/dcp-sealkey_${version}_$arch.deb" "$out/"
    changes+=("$work/dcp-sealkey_${version}_$arch.changes")
    printf '%s: %s bytes, %d s (log: %s)\n' "$out/dcp-sealkey_${version}_$arch.deb" \
        "$(stat -c %s "$out/dcp-sealkey_${version}_$arch.deb")" $((SECONDS - start)) "$log"
done

# The .changes files bring the .deb, its debug symbols and the .buildinfo.
lintian --fail-on error,warning "${changes[@]}"
echo "build-debs.sh: lintian found no error or warning"
