#!/bin/bash
# SPDX-FileCopyrightText: 2026 dcp-sealkey developers
# SPDX-License-Identifier: MIT
# buildroot.sh DOUBLE OPENER: README.md's Buildroot check, with the armhf libkcapi double DOUBLE
# and OPENER (blob-open) to open what the Buildroot-built binary seals.
set -euo pipefail
# shellcheck source-path=SCRIPTDIR source=trees.sh
source "$(dirname "$0")/trees.sh"
brv=buildroot-2026.02.3 ext=$top/contrib/buildroot
say() { echo "buildroot check: $*"; }
die() { say "$*" >&2 && exit 1; }
trees "buildroot check" $brv.tar.xz
double=$1 opener=$2
[[ -f $double ]] || { say "skipped: no armhf libkcapi double $double; run cmake --workflow --preset armhf" && exit 77; }
APT_LOG=/dev/null
# shellcheck source-path=SCRIPTDIR source=../../apt/apt.sh
source "$top/apt/apt.sh"
private_apt_update
cache=$DCP_CACHE/buildroot tree=$DCP_CACHE/buildroot/$brv
bash "$top/apt/install.sh" autoconf automake bc cpio file libtool patch python3-magic qemu-user-static rsync unzip wget

# Debian's arm-linux-gnueabihf compiler made fit for Buildroot in $tc (README.md), cached by the
# packages' versions and this code.
toolchain() {
	local pins=() p d f
	for p in binutils-arm-linux-gnueabihf {cpp,gcc,g++}-12-arm-linux-gnueabihf lib{gcc-12,stdc++-12}-dev-armhf-cross \
		lib{c6,c6-dev,crypt1,crypt-dev,gcc-s1,stdc++6}:armhf linux-libc-dev:armhf; do
		pins+=("$p=$(private_apt_version "$p")")
	done
	tc=$cache/toolchain-$( (printf '%s\n' "${pins[@]}" && declare -f toolchain) | sha256sum | cut -c1-16)
	[[ ! -f $tc/done ]] || return 0
	rm -rf "$cache"/toolchain-* && private_apt_download "$tc/debs" "${pins[@]}"
	for p in "$tc"/debs/*.deb; do
		d=$tc && [[ $p != *_armhf.deb ]] || d=$tc/sysroot
		dpkg-deb -x "$p" "$d"
	done
	find "$tc/sysroot" -type l -lname '/*' | while read -r p; do # absolute links, into the host's /
		ln -sfn "$(realpath -m --relative-to="${p%/*}" "$tc/sysroot$(readlink "$p")")" "$p"
	done
	mkdir "$tc/bin"
	for p in "$tc"/usr/bin/arm-linux-gnueabihf-*; do ln -s "../usr/bin/${p##*/}" "$tc/bin/$(basename "$p" -12)"; done
	cat >"$tc/bin/driver" <<-'EOF'
		#!/bin/sh
		top=$(cd "$(dirname "$0")/.." && pwd) real=$(dirname "$0")/../usr/bin/${0##*/}-12
		[ "$*" != -v ] || { "$real" -v 2>&1 | sed "s#--with-sysroot=/ #--with-sysroot=$top/sysroot #" >&2; exit 0; }
		exec "$real" --sysroot="$top/sysroot" "$@"
	EOF
	chmod +x "$tc/bin/driver" && for p in gcc g++ cpp; do ln -sf driver "$tc/bin/arm-linux-gnueabihf-$p"; done
	# The target's libraries where Buildroot copies them from, libstdc++'s archives too; no links out
	# of the sysroot, no OpenMP, no ld.so.conf.d (which Buildroot's search for ld*.so.* would take).
	d=$tc/usr/lib/gcc-cross/arm-linux-gnueabihf/12 f=$tc/sysroot/usr/lib/arm-linux-gnueabihf
	mv "$d"/lib{stdc++,stdc++fs,supc++}.a "$f" && ln -s libstdc++.so.6 "$f/libstdc++.so"
	find "$d" -maxdepth 1 -type l -delete
	rm -rf "${tc:?}"/{debs,usr/share,sysroot/usr/share,sysroot/etc/ld.so.conf.d} "$d"/{libgomp.*,include/omp.h}
	touch "$tc/done"
}
toolchain
[[ -f $tree/done ]] || { rm -rf "$tree" && mkdir -p "$tree" && tar -xf "$TREES/$brv.tar.xz" -C "$tree" \
	--strip-components=1 && touch "$tree/done"; }

# Debian's sources of host-tar, host-pkgconf and libkcapi as <PKG>_OVERRIDE_SRCDIR (why: README.md).
mapfile -t opts < <(private_apt_opts)
local_mk=
for s in tar:trixie pkgconf:bookworm libkcapi:bookworm; do
	read -r uri orig _ sum < <(apt-get "${opts[@]}" -t "${s#*:}" source --only-source --print-uris "${s%:*}" |
		grep "\.orig\.tar\.[a-z0-9]*' ") || die "no Debian source ${s%:*} in ${s#*:}"
	src=$cache/src/${orig%.orig.*}
	if [[ ! -d $src ]]; then
		rm -rf "$src.tmp" && mkdir -p "$src.tmp"
		/usr/lib/apt/apt-helper "${opts[@]}" download-file "${uri//\'/}" "$src.tar" "$sum" >/dev/null ||
			die "downloading $orig failed"
		tar -xf "$src.tar" -C "$src.tmp" --strip-components=1 || die "unpacking $orig failed"
		rm "$src.tar"
		[[ $s != libkcapi:* ]] || (cd "$src.tmp" && autoreconf -fi >/dev/null 2>&1) || die "autoreconf of $orig failed"
		mv "$src.tmp" "$src"
	fi
	p=${s%:*} && local_mk+="${p^^}_OVERRIDE_SRCDIR = $src"$'\n'
done

defconfig=$(printf '%s\n' BR2_arm=y BR2_cortex_a7=y BR2_ARM_FPU_NEON_VFPV4=y "BR2_DL_DIR=\"$cache/dl\"" 'BR2_BACKUP_SITE=""' \
	'BR2_WGET="false offline:"' BR2_PER_PACKAGE_DIRECTORIES=y BR2_TOOLCHAIN_EXTERNAL{,_CUSTOM}=y "BR2_TOOLCHAIN_EXTERNAL_PATH=\"$tc\"" \
	'BR2_TOOLCHAIN_EXTERNAL_CUSTOM_PREFIX="arm-linux-gnueabihf"' BR2_TOOLCHAIN_EXTERNAL_{GCC_12,HEADERS_6_1,CUSTOM_GLIBC,CXX}=y \
	'# BR2_TOOLCHAIN_EXTERNAL_INET_RPC is not set' BR2_PACKAGE_DCP_SEALKEY=y)
out=$cache/out-$( (sha256sum "$TREES/$brv.tar.xz" && echo "$defconfig$local_mk") | sha256sum | cut -c1-16)
br() {
	FORCE_UNSAFE_CONFIGURE=1 make -C "$tree" O="$out" BR2_EXTERNAL="$ext" LIBKCAPI_AUTORECONF=NO "$@" \
		>>"$out/make.log" 2>&1 || { tail -n 30 "$out/make.log" && die "make $* failed; the log: $out/make.log"; }
}
[[ -f $out/.config ]] || { rm -rf "$cache"/out-* && mkdir -p "$out" && echo "$defconfig" >"$out/defconfig" &&
	echo "$local_mk" >"$out/local.mk" && br BR2_DEFCONFIG="$out/defconfig" defconfig; }
: >"$out/make.log" && start=$SECONDS
br dcp-sealkey-dirclean && br -j"$(nproc)" dcp-sealkey
say "make dcp-sealkey: built in $((SECONDS - start)) s"

# The binary, and a seal under qemu-user on its own target folder's libraries (Buildroot's libkcapi).
root=$out/per-package/dcp-sealkey/target bin=$root/usr/bin/dcp-sealkey
readelf -h "$bin" | grep -q 'Flags:.*Version5 EABI, hard-float ABI' || die "not ARM EABI5 hard-float"
needed=$(readelf -d "$bin" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | sort | paste -sd ' ')
[[ ${needed#ld-linux-armhf.so.3 } == "libc.so.6 libkcapi.so.1" ]] || die "NEEDED is $needed, not libkcapi and libc"
say "ARM EABI5 hard-float; NEEDED: $needed"
key="sealed by the Buildroot-built binary"
hw_key=$(sed -n 's/^#define EMULATED_UNIQUE_KEY "\(.*\)"$/\1/p' "$top/tests/emulated_keys.h")
blob=$(printf '%s' "$key" | QEMU_LD_PREFIX=$root LD_PRELOAD=$(realpath "$double") qemu-arm-static "$bin") ||
	die "the binary failed to seal"
[[ $(echo "$blob" | "$opener" "$hw_key") == $(printf '%s' "$key" | od -An -tx1 | tr -d ' \n') ]] ||
	die "the opener does not open the blob to the key"
say "sealed under qemu-user with the libkcapi double; the opener opened it to the key"

lint=$(cd "$tree" && find "$ext" -type f -exec /usr/bin/python3 utils/check-package -b {} + 2>&1) ||
	die "check-package: $lint"
say "check-package -b: ${lint//$'\n'/; }"

# A release tarball of HEAD, and scripts/release.sh's line for it in a hash folder of its own.
rel=$(mktemp -d)
trap 'rm -rf "$rel"' EXIT
mkdir -p "$rel/hashes/dcp-sealkey" && bash "$top/scripts/release.sh" "$rel" >"$rel/hashes/dcp-sealkey/dcp-sealkey.hash"
rm -rf "$cache/dl/dcp-sealkey" "$out"/build/dcp-sealkey-[0-9]*
br dcp-sealkey-extract BR2_PACKAGE_DCP_SEALKEY_SITE="\"file://$rel\"" BR2_GLOBAL_PATCH_DIR="\"$rel/hashes\""
unpacked=$(echo "$out"/build/dcp-sealkey-[0-9]*)
[[ -f $unpacked/CMakeLists.txt && ! -e $unpacked/contrib/buildroot/package/dcp-sealkey/dcp-sealkey.hash ]] ||
	die "the release tarball did not unpack as a source tree without its hash file"
rm -rf "$unpacked"
say "release tarball: $(awk '{print $3}' "$rel/hashes/dcp-sealkey/dcp-sealkey.hash") downloaded, hash checked, unpacked"

recipe=$(sed -n '/<!-- recipe: buildroot-board -->/,/^```$/p' "$top/contrib/README.md" | sed '1,2d;$d')
rm -f "$tree/.config"
(cd "$tree" && DCP_SEALKEY=$top bash -euo pipefail -c "$recipe") >"$rel/board.log" 2>&1 ||
	{ cat "$rel/board.log" && die "the board recipe failed"; }
while read -r l; do grep -qxF "$l" "$tree/.config" || die "the board's configuration lost: $l"; done \
	< <(grep -v '^#' "$ext/board/imx6ull/defconfig.fragment")
while IFS='=' read -r v f; do [[ -f ${f//\"/} ]] || die "the board's $v names no file: $f"; done \
	< <(make -s -C "$tree" printvars VARS="BR2_LINUX_KERNEL_PATCH BR2_LINUX_KERNEL_CONFIG_FRAGMENT_FILES")
say "board recipe: imx6ullevk_defconfig with the fragment keeps its lines, and its kernel files exist"
