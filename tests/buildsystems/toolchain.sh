#!/bin/bash
# SPDX-FileCopyrightText: 2026 dcp-sealkey developers
# SPDX-License-Identifier: MIT
# toolchain.sh CACHE: makes a relocatable copy of Debian's arm-linux-gnueabihf
# compiler in CACHE/toolchain-KEY (KEY: the packages' versions) and prints
# that folder. Buildroot refuses the compiler as installed (configured with
# --with-sysroot=/); the copy has its own sysroot of Debian's armhf libc,
# and a driver that passes it with --sysroot and says so in gcc -v.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
die() { echo "toolchain: $*" >&2; exit 1; }
APT_LOG=/dev/null
# shellcheck source-path=SCRIPTDIR source=../../apt/apt.sh
source "$here/../../apt/apt.sh"
compiler=(binutils-arm-linux-gnueabihf {cpp,gcc,g++}-12-arm-linux-gnueabihf
	lib{gcc-12-dev,stdc++-12-dev}-armhf-cross)
sysroot=(lib{c6,c6-dev,crypt1,crypt-dev,gcc-s1,stdc++6}:armhf linux-libc-dev:armhf)
private_apt_update
pins=()
for p in "${compiler[@]}" "${sysroot[@]}"; do pins+=("$p=$(private_apt_version "$p")"); done
dir=$1/toolchain-$( (printf '%s\n' "${pins[@]}"; cat "$0") | sha256sum | cut -c1-16)
if [[ ! -f $dir/done ]]; then
	rm -rf "$1"/toolchain-*
	private_apt_download "$dir/debs" "${pins[@]}"
	for deb in "$dir"/debs/*.deb; do
		case $deb in
		*_armhf.deb) dpkg-deb -x "$deb" "$dir/sysroot" ;;
		*) dpkg-deb -x "$deb" "$dir" ;;
		esac
	done
	# The sysroot's absolute links point into the host's /.
	find "$dir/sysroot" -type l -lname '/*' | while read -r l; do
		ln -sfn "$(realpath -m --relative-to="${l%/*}" "$dir/sysroot$(readlink "$l")")" "$l"
	done
	mkdir "$dir/bin"
	for f in "$dir"/usr/bin/arm-linux-gnueabihf-*; do
		n=${f##*/}
		ln -s "../usr/bin/$n" "$dir/bin/${n%-12}"
	done
	for n in gcc g++ cpp; do
		rm "$dir/bin/arm-linux-gnueabihf-$n"
		cat >"$dir/bin/arm-linux-gnueabihf-$n" <<-'EOF'
			#!/bin/sh
			top=$(cd "$(dirname "$0")/.." && pwd)
			real=$top/usr/bin/${0##*/}-12
			if [ "$*" = -v ]; then
				"$real" -v 2>&1 | sed "s#--with-sysroot=/ #--with-sysroot=$top/sysroot #" >&2
				exit 0
			fi
			exec "$real" --sysroot="$top/sysroot" "$@"
		EOF
		chmod +x "$dir/bin/arm-linux-gnueabihf-$n"
	done
	# The target's libraries in the sysroot, where Buildroot looks for
	# them: libstdc++'s archives too, and no links out of it. No OpenMP,
	# whose libgomp it lacks, and no ld.so.conf.d, which Buildroot's search
	# for ld*.so.* would take for a library.
	gcc=$dir/usr/lib/gcc-cross/arm-linux-gnueabihf/12 lib=$dir/sysroot/usr/lib/arm-linux-gnueabihf
	mv "$gcc"/lib{stdc++,stdc++fs,supc++}.a "$lib" && ln -s libstdc++.so.6 "$lib/libstdc++.so"
	find "$gcc" -maxdepth 1 -type l -delete
	rm -rf "${dir:?}"/{debs,usr/share,sysroot/usr/share,sysroot/etc/ld.so.conf.d} "$gcc"/{libgomp.*,include/omp.h}
	touch "$dir/done"
fi
echo "$dir"
