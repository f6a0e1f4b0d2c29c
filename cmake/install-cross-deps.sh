#!/bin/sh
# Installs what cross-building and testing for aarch64 and armhf need on a
# Debian 12 host, and makes foreign binaries runnable through binfmt_misc.
# Safe to run again; needs root, asks nothing.
set -eu

if [ "$(id -u)" -ne 0 ]; then
	echo "install-cross-deps.sh: must run as root" >&2
	exit 1
fi

for arch in arm64 armhf; do
	dpkg --print-foreign-architectures | grep -qx "$arch" || dpkg --add-architecture "$arch"
done

pkgs="crossbuild-essential-arm64 crossbuild-essential-armhf
cmake make qemu-user-static binfmt-support"
for arch in arm64 armhf; do
	pkgs="$pkgs libkcapi-dev:$arch libssl-dev:$arch libgtest-dev:$arch
libstdc++6:$arch pkgconf:$arch"
done

# Package lists are brought up to date when anything is missing, which
# a freshly added architecture always is.
# shellcheck disable=SC2086 # word splitting of the list is wanted
bash "$(dirname "$0")/../tests/install-deps.sh" $pkgs

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
