#!/bin/sh
# Installs what cross-building and testing for aarch64 and armhf need on a
# Debian 12 host, and makes foreign binaries runnable through binfmt_misc.
# Safe to run again; needs root, asks nothing.
set -eu

export DEBIAN_FRONTEND=noninteractive
APT="apt-get -y -q -o DPkg::Lock::Timeout=900"

if [ "$(id -u)" -ne 0 ]; then
	echo "install-cross-deps.sh: must run as root" >&2
	exit 1
fi

added=0
for arch in arm64 armhf; do
	if ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
		dpkg --add-architecture "$arch"
		added=1
	fi
done

pkgs="crossbuild-essential-arm64 crossbuild-essential-armhf
cmake make qemu-user-static binfmt-support"
for arch in arm64 armhf; do
	pkgs="$pkgs libkcapi-dev:$arch libssl-dev:$arch libgtest-dev:$arch
libstdc++6:$arch pkgconf:$arch"
done

missing=""
for p in $pkgs; do
	dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' ||
		missing="$missing $p"
done

# shellcheck disable=SC2086 # word splitting of the lists is wanted
if [ -n "$missing" ]; then
	# A freshly added architecture has no package lists yet.
	if [ "$added" -eq 1 ] || ! $APT install --no-install-recommends $missing; then
		$APT update
		$APT install --no-install-recommends $missing
	fi
fi

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
