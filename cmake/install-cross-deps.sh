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

# In the machine's dpkg, per architecture, only what Debian's own cross
# build of the package needs as well (dpkg-checkbuilddeps -a ARCH
# -P cross,nocheck): the compilers, pkgconf's triplet wrapper and libkcapi,
# with libc6 and libgcc-s1 under it.
pkgs="cmake make qemu-user-static binfmt-support"
for arch in arm64 armhf armel; do
	pkgs="$pkgs crossbuild-essential-$arch pkgconf:$arch libkcapi-dev:$arch"
done

# Package lists are brought up to date when anything is missing, which
# a freshly added architecture always is.
top=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck disable=SC2086 # word splitting of the list is wanted
bash "$top/apt/install.sh" $pkgs

# OpenSSL and GoogleTest, which only the tests use, are unpacked instead of
# installed, into a sysroot per architecture. Both are Multi-Arch: same, so
# in dpkg a foreign copy must have the host's version, and where a suite
# lacks it for one architecture (bookworm-security has no armel builds; a
# mirror in mid-sync drops a whole suite) that would move the host's copy
# down. Downloaded through the private apt configuration, as the tests
# download everything. One folder per set of versions; "current" names the
# one cmake/debian-cross.cmake uses; older ones are removed.
die() {
	echo "install-cross-deps.sh: $*" >&2
	exit 1
}
APT_LOG=${DCP_APT_LOG:-/dev/null}
# shellcheck source=../apt/apt.sh
. "$top/apt/apt.sh"
private_apt_update
for arch in arm64 armhf armel; do
	sysroot=$DCP_CACHE/sysroot/$arch
	wanted=()
	for pkg in libssl-dev libssl3 libgtest-dev; do
		wanted+=("$pkg:$arch=$(private_apt_version "$pkg:$arch")")
	done
	key=$(printf '%s\n' "${wanted[@]}" | sha256sum | cut -c1-12)
	# One run at a time: the clean-up below would take another run's folder.
	mkdir -p "$sysroot"
	exec 8>"$sysroot/.lock"
	flock 8
	if [ ! -d "$sysroot/$key" ]; then
		tmp=$(mktemp -d "$sysroot/.tmp.XXXXXX")
		trap 'rm -rf "$tmp"' EXIT
		private_apt_download "$tmp/debs" "${wanted[@]}"
		for deb in "$tmp"/debs/*.deb; do
			dpkg-deb -x "$deb" "$tmp/root"
		done
		printf '%s\n' "${wanted[@]}" >"$tmp/root/packages"
		mv "$tmp/root" "$sysroot/$key"
	fi
	ln -sfn "$key" "$sysroot/current"
	find "$sysroot" -mindepth 1 -maxdepth 1 ! -name current ! -name "$key" ! -name .lock \
		-exec rm -rf {} +
	exec 8>&-
done

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
