# SPDX-FileCopyrightText: 2026 dcp-sealkey developers
# SPDX-License-Identifier: MIT
# shellcheck shell=bash
# Sourced by run-vm-test.sh for the Arm kernels: Linux from Debian's
# linux-source package, built from allnoconfig plus the fragments in
# kernel/, and a userland of Debian's own packages for each architecture.
# Everything is cached by source version and fragment hash, so a warm run
# builds nothing but the test module.

ARM_SOURCE_PKG=linux-source-6.12
# Packages whose files make up each userland in the guest: the tool's
# libraries, keyctl, and dmsetup for the README's dm-crypt commands.
USERLAND_PKGS=(libc6 libkcapi1 libkeyutils1 keyutils dmsetup libdevmapper1.02.1
	libselinux1 libudev1 libpcre2-8-0)

# Per kernel: make ARCH, cross prefix, image target, Debian architecture of
# the guest's busybox, and the device trees it builds.
arm_kernel_params() {
	case $1 in
	arm64) echo "arm64 aarch64-linux-gnu- Image arm64" ;;
	arm) echo "arm arm-linux-gnueabihf- zImage armhf nxp/imx/imx6ull-14x14-evk.dtb" ;;
	*) die "no Arm kernel named $1" ;;
	esac
}

# Extracts the kernel source once per package version; sets KSRC.
arm_source() {
	local ver dir tmp
	ver=$(vm_apt_version "$ARM_SOURCE_PKG")
	dir=$CACHE/$ARM_SOURCE_PKG-$ver
	KSRC=$dir/src
	KSRCVER=$ver
	[[ -f $dir/complete ]] && return 0
	echo "vm test: fetching $ARM_SOURCE_PKG $ver"
	tmp=$CACHE/.fetch.src
	vm_apt_download "$tmp" "$ARM_SOURCE_PKG=$ver"
	mkdir -p "$tmp/x" "$tmp/src"
	dpkg-deb --fsys-tarfile "$tmp"/*.deb | tar -x -C "$tmp/x" ./usr/src ||
		die "unpacking $ARM_SOURCE_PKG failed"
	tar -xJf "$tmp"/x/usr/src/linux-source-*.tar.xz -C "$tmp/src" --strip-components=1 ||
		die "unpacking the kernel source failed"
	rm -rf "$dir"
	mkdir -p "$dir"
	mv "$tmp/src" "$KSRC"
	rm -rf "$tmp"
	touch "$dir/complete"
}

# Builds (or finds) kernel $1; sets KARCH, KCROSS, KIMAGE, KOBJ, KBB_ARCH.
arm_kernel() {
	local name=$1 target frag hash dir line dtbs
	read -r KARCH KCROSS target KBB_ARCH dtbs < <(arm_kernel_params "$name")
	command -v "${KCROSS}gcc" >/dev/null || die "${KCROSS}gcc not found (cmake/install-cross-deps.sh installs it)"
	arm_source
	frag=$WORK/kernel.config
	cat "$HERE/kernel/common.config" "$HERE/kernel/$name.config" >"$frag"
	# Comments do not change the kernel, so only the settings are hashed.
	hash=$({ grep '^CONFIG_' "$frag"; "${KCROSS}gcc" --version | head -n 1; } | sha256sum | cut -c1-12)
	dir=$CACHE/kernel-$name-$KSRCVER-$hash
	KOBJ=$dir/obj
	KIMAGE=$dir/$target
	[[ -f $dir/complete ]] && return 0
	echo "vm test: building the $name kernel ($KSRCVER, fragment $hash)"
	local t0=$SECONDS mk=(make -C "$KSRC" O="$KOBJ" ARCH="$KARCH" CROSS_COMPILE="$KCROSS")
	# Only the kernel of the current source and fragment is kept.
	rm -rf "$CACHE/kernel-$name-"*
	mkdir -p "$KOBJ"
	KCONFIG_ALLCONFIG=$frag "${mk[@]}" allnoconfig >"$WORK/kernel-build.log" 2>&1 ||
		{ tail -n 30 "$WORK/kernel-build.log" >&2; die "configuring the $name kernel failed"; }
	# A line that did not stick (a typo, an unmet dependency) fails here, not
	# later as a guest that lacks something.
	while read -r line; do
		[[ $line == CONFIG_* ]] || continue
		grep -qx "$line" "$KOBJ/.config" || die "the $name kernel's .config lacks $line"
	done <"$frag"
	# shellcheck disable=SC2086 # dtbs: none, or words
	"${mk[@]}" -j"$(($(nproc) + 1))" "$target" modules $dtbs >>"$WORK/kernel-build.log" 2>&1 ||
		{ tail -n 30 "$WORK/kernel-build.log" >&2; die "building the $name kernel failed"; }
	cp "$KOBJ/arch/$KARCH/boot/$target" "$KIMAGE"
	touch "$dir/complete"
	echo "vm test: the $name kernel took $((SECONDS - t0)) s"
}

# Downloads package $1 (name:arch) once into the cache; prints the .deb path.
cached_deb() {
	local ver dir
	ver=$(vm_apt_version "$1")
	dir=$CACHE/debs/${1/:/_}_$ver
	if [[ ! -f $dir/complete ]]; then
		vm_apt_download "$dir.tmp" "$1=$ver"
		rm -rf "$dir"
		mv "$dir.tmp" "$dir"
		touch "$dir/complete"
	fi
	ls "$dir"/*.deb
}

# Fetches everything the Arm guest of kernel $1 needs for userlands $2...
arm_fetch() {
	local name=$1 arch pkg
	shift
	read -r _ _ _ KBB_ARCH < <(arm_kernel_params "$name")
	vm_apt_update
	arm_kernel "$name"
	cached_deb "busybox-static:$KBB_ARCH" >/dev/null
	for arch in "$@"; do
		for pkg in "${USERLAND_PKGS[@]}"; do
			cached_deb "$pkg:$arch" >/dev/null
		done
	done
}

# Lays out userland $2 in guest root $1: Debian's libraries where its own
# loader looks for them, and the tool with keyctl in /u/$2/bin.
arm_userland() {
	local root=$1 arch=$2 tool=$3 pkg x=$WORK/userland-$2
	rm -rf "$x"
	mkdir -p "$x" "$root/u/$arch/bin"
	for pkg in "${USERLAND_PKGS[@]}"; do
		dpkg-deb -x "$(cached_deb "$pkg:$arch")" "$x"
	done
	cp "$x/bin/keyctl" "$x/sbin/dmsetup" "$root/u/$arch/bin/"
	cp "$tool" "$root/u/$arch/bin/dcp-sealkey"
	# armhf and armel libraries live in folders of their own triplet, so
	# both userlands share one root.
	(cd "$x" && rm -rf usr/share usr/lib/*/gconv bin usr/bin sbin usr/sbin)
	cp -a "$x/." "$root/"
}

# The DCP driver's variants, from the tree's drivers/crypto/mxs-dcp.c, each
# built against this kernel as $WORK/driver-NAME/mxs-dcp-NAME.ko: "nullkey",
# with the null-key patch (kernel/ at the top of the tree), first passed
# through checkpatch.pl --strict; and "nullkey-otpbit", the same with the
# upstream fix "crypto: mxs-dcp - Only set OTP_KEY bit for OTP key" undone,
# as kernels from 6.10 until early 2025 were: every referenced key, UNIQUE
# included, then sets OTP_KEY, which real chips answer with the OTP key.
arm_drivers() {
	local patch=$HERE/../../kernel/mxs-dcp-null-key.patch v dir
	perl "$KSRC/scripts/checkpatch.pl" --strict --no-tree -q "$patch" >"$WORK/checkpatch.log" 2>&1 ||
		{ cat "$WORK/checkpatch.log" >&2; die "checkpatch.pl --strict: the driver patch has problems"; }
	: >"$WORK/driver.log"
	for v in nullkey nullkey-otpbit; do
		dir=$WORK/driver-$v
		rm -rf "$dir"
		mkdir -p "$dir"
		cp "$KSRC/drivers/crypto/mxs-dcp.c" "$dir/"
		(cd "$dir" && patch -s -p3 --no-backup-if-mismatch) <"$patch" >>"$WORK/driver.log" 2>&1 ||
			{ cat "$WORK/driver.log" >&2; die "the driver patch does not apply to $ARM_SOURCE_PKG $KSRCVER"; }
		if [[ $v == *-otpbit ]]; then
			sed -i 's/^\telse if (actx->key\[0\] == DCP_PAES_KEY_OTP)$/\telse/' "$dir/mxs-dcp.c"
			grep -q 'DCP_PAES_KEY_OTP)$' "$dir/mxs-dcp.c" &&
				die "cannot undo the OTP_KEY fix in $ARM_SOURCE_PKG $KSRCVER's mxs-dcp.c"
		fi
		echo 'obj-m := mxs-dcp.o' >"$dir/Kbuild"
		make -C "$KSRC" O="$KOBJ" ARCH="$KARCH" CROSS_COMPILE="$KCROSS" W=1 \
			M="$dir" modules >>"$WORK/driver.log" 2>&1 ||
			{ cat "$WORK/driver.log" >&2; die "mxs-dcp.ko ($v) does not build for $KERNEL"; }
		mv "$dir/mxs-dcp.ko" "$dir/mxs-dcp-$v.ko"
	done
	! grep -q 'warning:' "$WORK/driver.log" ||
		{ grep 'warning:' "$WORK/driver.log" >&2; die "mxs-dcp.ko builds with warnings"; }
	echo "vm test: the null-key driver patch passes checkpatch --strict and builds mxs-dcp.ko for $KERNEL"
}
