#!/bin/bash
# SPDX-FileCopyrightText: 2026 dcp-sealkey developers
# SPDX-License-Identifier: MIT

# Installs what cross-building and testing for aarch64, armhf and armel need
# on a Debian 12 host, and makes foreign binaries runnable through binfmt_misc.
# Safe to run again; needs root, asks nothing.
set -eu

if [ "$(id -u)" -ne 0 ]; then
	echo "install-cross-deps.sh: must run as root" >&2
	exit 1
fi

for arch in arm64 armhf armel; do
	dpkg --print-foreign-architectures | grep -qx "$arch" || dpkg --add-architecture "$arch"
done

pkgs="crossbuild-essential-arm64 crossbuild-essential-armhf crossbuild-essential-armel
cmake make qemu-user-static binfmt-support"
for arch in arm64 armhf armel; do
	pkgs="$pkgs libkcapi-dev:$arch libgtest-dev:$arch libstdc++6:$arch pkgconf:$arch"
done
# No libssl-dev:armel: see the sysroot below.
pkgs="$pkgs libssl-dev:arm64 libssl-dev:armhf"

# Package lists are brought up to date when anything is missing, which
# a freshly added architecture always is.
top=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck disable=SC2086 # word splitting of the list is wanted
bash "$top/apt/install.sh" $pkgs

# OpenSSL for the armel tests, unpacked instead of installed: bookworm-security
# has no armel builds, and libssl3:armel (Multi-Arch: same) refuses a version
# other than the host's updated libssl3. Downloaded through the private apt
# configuration, as the tests download everything. One folder per version,
# "current" names the one cmake/arm-linux-gnueabi.cmake uses; older ones
# are removed.
sysroot=/var/cache/dcp-sealkey/sysroot/armel
die() {
	echo "install-cross-deps.sh: $*" >&2
	exit 1
}
APT_LOG=${DCP_APT_LOG:-/dev/null}
# shellcheck source=../apt/apt.sh
. "$top/apt/apt.sh"
private_apt_update
version=$(private_apt_version libssl-dev:armel)
# One run at a time: the clean-up below would take another run's folder.
mkdir -p "$sysroot"
exec 8>"$sysroot/.lock"
flock 8
if [ ! -d "$sysroot/$version" ]; then
	tmp=$(mktemp -d "$sysroot/.tmp.XXXXXX")
	trap 'rm -rf "$tmp"' EXIT
	private_apt_download "$tmp/debs" "libssl-dev:armel=$version" "libssl3:armel=$version"
	for deb in "$tmp"/debs/*.deb; do
		dpkg-deb -x "$deb" "$tmp/root"
	done
	mv "$tmp/root" "$sysroot/$version"
fi
ln -sfn "$version" "$sysroot/current"
find "$sysroot" -mindepth 1 -maxdepth 1 ! -name current ! -name "$version" ! -name .lock \
	-exec rm -rf {} +
exec 8>&-

# Containers and fresh machines may have neither binfmt_misc mounted nor
# the qemu entries enabled; without them the tests cannot spawn the tool.
if [ ! -e /proc/sys/fs/binfmt_misc/status ]; then
	mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc 2>/dev/null || true
fi
for fmt in qemu-aarch64 qemu-arm; do
	# Warns, but succeeds, when the entry is already enabled.
	update-binfmts --enable "$fmt" 2>/dev/null || update-binfmts --enable "$fmt"
done
for fmt in qemu-aarch64 qemu-arm; do
	if ! grep -qx enabled "/proc/sys/fs/binfmt_misc/$fmt" 2>/dev/null; then
		echo "install-cross-deps.sh: binfmt entry $fmt is not active" >&2
		exit 1
	fi
done
