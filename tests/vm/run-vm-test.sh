#!/bin/bash
# SPDX-FileCopyrightText: 2026 dcp-sealkey developers
# SPDX-License-Identifier: MIT
# Runs the unmodified tool inside a real kernel under QEMU, judges every run
# on the host and opens every blob made there.
#
#   run-vm-test.sh MACHINE BLOB_OPEN WORKDIR ARCH=TOOL...
#
# MACHINE is a row of machine() below: amd64 (Debian's own kernel: how a
# distribution kernel fails), arm64 (Linux from Debian's source with the DCP
# trusted keys, a test module standing in for the DCP) or imx6ull (the same
# source on QEMU's emulated i.MX6ULL from qemu/, whose DCP the real mxs-dcp
# driver serves). Each ARCH=TOOL is a build of the tool, or a .deb that
# installs one, and the Debian architecture whose userland it runs in.
# Fetches what it lacks through apt-get (as root) into a cache outside the
# tree. DCP_VM_CACHE overrides the cache folder, DCP_QEMU_DIR the folder of
# qemu/build.sh's QEMU; DCP_VM_ACCEL=kvm asks for KVM, with TCG as the
# fallback when KVM does not start.
set -euo pipefail

# The emulated DCP's keys: the test module's, and the model's defaults.
HW_KEY=2b7e151628aed2a6abf7158809cf4f3c
OTP_KEY=000102030405060708090a0b0c0d0e0f
ZERO_KEY=00000000000000000000000000000000
# The UNIQUE key of the second emulated board.
OTHER_KEY=00112233445566778899aabbccddeeff
BOOT_LIMIT=300
CACHE=${DCP_VM_CACHE:-/var/cache/dcp-sealkey/vm}
QEMU_DIR=${DCP_QEMU_DIR:-/var/cache/dcp-sealkey/qemu}
HERE=$(cd "$(dirname "$0")" && pwd)

# Modules of Debian's amd64 kernel that its cases load, by file name without
# .ko. The Arm kernels have them built in.
MODULES=(virtio_ring virtio virtio_pci_legacy_dev virtio_pci_modern_dev
	virtio_pci virtio-rng af_alg algif_skcipher algif_aead crypto_user ecb
	gf128mul ghash-generic ctr gcm)

# What the harness knows of each machine, a row each: the kernel (Debian's
# amd64 image, or the Arm kernel that arm-kernel.sh builds), QEMU and its
# machine, the console, the device tree from the kernel's build, what
# rng_current must name, how the DCP is served (module: the test module
# stands in for its key slots; model: QEMU's DCP and the real mxs-dcp
# driver), and its boots, each a suite of cases in vm-init.sh.
machine() {
	case $1 in
	amd64) KERNEL=amd64 QEMU=qemu-system-x86_64 CONSOLE=ttyS0 DTB= RNG=virtio_rng DCP=module
		QARGS=(-machine pc -cpu max -vga none -device virtio-rng-pci) BOOTS=(stack) ;;
	arm64) KERNEL=arm64 QEMU=qemu-system-aarch64 CONSOLE=ttyAMA0 DTB= RNG=virtio_rng DCP=module
		QARGS=(-machine virt -cpu cortex-a57 -device virtio-rng-device) BOOTS=(trusted testkey) ;;
	imx6ull) KERNEL=arm QEMU=$QEMU_DIR/qemu-system-arm CONSOLE=ttymxc0 RNG=2284000.rng DCP=model
		DTB=nxp/imx/imx6ull-14x14-evk.dtb QARGS=(-machine mcimx6ull-evk)
		BOOTS=(trusted driver testkey binding extratests) ;;
	*) return 1 ;;
	esac
}

# What QEMU is given for boot $1 beside the machine's row: a model's DCP on
# its test key, or a second board with another UNIQUE key.
boot_args() {
	[[ $DCP == model ]] || return 0
	case $1 in
	testkey) echo -global driver=imx.dcp,property=test-keys,value=on ;;
	binding) echo -global "driver=imx.dcp,property=unique-key,value=$OTHER_KEY" ;;
	esac
}

die() {
	echo "vm test FAILED: $*" >&2
	exit 1
}

# "--fetch MACHINE WORKDIR CACHE ARCH..." only fetches: the step that needs
# root, under sudo.
FETCH_ONLY=0
USERLANDS=()
declare -A TOOLS=()
if [[ $# -ge 4 && $1 == --fetch ]]; then
	FETCH_ONLY=1
	MACHINE=$2
	WORK=$3
	CACHE=$4
	USERLANDS=("${@:5}")
else
	[[ $# -ge 4 ]] || die "usage: $0 MACHINE BLOB_OPEN WORKDIR ARCH=TOOL..."
	MACHINE=$1
	BLOB_OPEN=$2
	WORK=$3
	[[ -x $BLOB_OPEN ]] || die "blob opener not found: $BLOB_OPEN"
	mkdir -p "$WORK"
	for arg in "${@:4}"; do
		u=${arg%%=*}
		USERLANDS+=("$u")
		TOOLS[$u]=${arg#*=}
		[[ -f ${TOOLS[$u]} ]] || die "tool for $u not found: ${TOOLS[$u]}" \
			"(build it first: tests/run-all.sh shows how)"
		# A package: the guest runs the binary it installs.
		if [[ ${TOOLS[$u]} == *.deb ]]; then
			rm -rf "$WORK/deb-$u"
			dpkg-deb -x "${TOOLS[$u]}" "$WORK/deb-$u" || die "cannot unpack ${TOOLS[$u]}"
			[[ $(dpkg-deb -f "${TOOLS[$u]}" Architecture) == "$u" ]] ||
				die "${TOOLS[$u]} is not a package for $u"
			TOOLS[$u]=$WORK/deb-$u/usr/bin/dcp-sealkey
		fi
		[[ -x ${TOOLS[$u]} ]] || die "no executable tool for $u: ${TOOLS[$u]}"
	done
fi
machine "$MACHINE" || die "unknown machine $MACHINE (amd64, arm64 or imx6ull)"
if [[ $KERNEL == amd64 ]]; then
	[[ ${USERLANDS[*]} == amd64 ]] || die "the amd64 kernel runs one amd64 tool"
else
	source "$HERE/apt.sh" && source "$HERE/arm-kernel.sh"
fi

T0=$SECONDS
phase_start=$SECONDS
phase() {
	echo "vm test: $1 took $((SECONDS - phase_start)) s"
	phase_start=$SECONDS
}

# --- fetch ------------------------------------------------------------------

apt_get() {
	DEBIAN_FRONTEND=noninteractive apt-get -q -y \
		-o DPkg::Lock::Timeout=300 "$@" </dev/null
}

# Candidate version of package $1 in "apt-cache policy" output on stdin.
candidate() {
	awk -v pkg="$1:" '/^[^ ]/ { cur = $1 } cur == pkg && /Candidate:/ { print $2 }'
}

# Sets KVER (e.g. 6.1.0-57-amd64), KPKG (its package version), BBVER.
resolve() {
	KVER=$(apt-cache depends linux-image-amd64 2>/dev/null |
		sed -n 's/^ *Depends: linux-image-\(.*\)$/\1/p' | head -n 1)
	KPKG=
	BBVER=
	[[ -n $KVER ]] || return 1
	local policy
	policy=$(apt-cache policy "linux-image-$KVER" busybox-static 2>/dev/null)
	KPKG=$(candidate "linux-image-$KVER" <<<"$policy")
	BBVER=$(candidate busybox-static <<<"$policy")
	[[ -n $KPKG && $KPKG != "(none)" && -n $BBVER && $BBVER != "(none)" ]]
}

set_paths() {
	KDIR=$CACHE/linux-image-${KVER}_$KPKG
	BBDIR=$CACHE/busybox-static_$BBVER
	HEADERS=/usr/src/linux-headers-$KVER
}

headers_ok() {
	[[ -f $HEADERS/Makefile ]] &&
		[[ $(dpkg-query -W -f='${Version}' "linux-headers-$KVER" 2>/dev/null) == "$KPKG" ]]
}

# What is still to be fetched, as words for a message; empty when nothing.
missing() {
	if [[ -z $KVER ]]; then
		echo "the package lists (linux-image-amd64 does not resolve)"
		return
	fi
	command -v qemu-system-x86_64 >/dev/null || echo "qemu-system-x86"
	headers_ok || echo "linux-headers-$KVER $KPKG"
	[[ -f $KDIR/complete ]] || echo "the kernel in $KDIR"
	[[ -f $BBDIR/complete ]] || echo "busybox-static in $BBDIR"
}

have_all() { [[ -z $(missing) ]]; }

# Downloads package $1 and unpacks the members $3... into folder $2.
fetch_deb() {
	local pkg=$1 dest=$2 tmp
	shift 2
	tmp=$(mktemp -d "$CACHE/.fetch.XXXXXX")
	(cd "$tmp" && apt-get -q -o APT::Sandbox::User=root download "$pkg" </dev/null) \
		>>"$WORK/apt.log" 2>&1 ||
		die "apt-get download $pkg failed, see $WORK/apt.log"
	mkdir -p "$tmp/x"
	dpkg-deb --fsys-tarfile "$tmp"/*.deb | tar -x -C "$tmp/x" --wildcards "$@" ||
		die "unpacking $pkg failed"
	mkdir -p "$tmp/out"
	find "$tmp/x" -type f -exec cp {} "$tmp/out/" \;
	touch "$tmp/out/complete"
	rm -rf "$dest"
	mv "$tmp/out" "$dest"
	rm -rf "$tmp"
}

# The Arm kernels are built, not fetched: from Debian's source, through the
# private apt configuration of apt.sh. QEMU is the machine's own, or, for a
# model, the one qemu/build.sh builds (warm, it builds nothing).
fetch_arm() {
	bash "$HERE/../install-deps.sh" qemu-system-arm bc bison flex libelf-dev xz-utils \
		openssl xxd >>"$WORK/apt.log" 2>&1 ||
		die "installing QEMU and the kernel's build tools failed, see $WORK/apt.log"
	arm_fetch "$KERNEL" "${USERLANDS[@]}"
}

fetch() {
	if [[ $DCP == model ]]; then
		bash "$HERE/../../qemu/build.sh" "$QEMU_DIR" >"$WORK/qemu-build.log" 2>&1 ||
			{ tail -n 20 "$WORK/qemu-build.log" >&2; die "building QEMU with the DCP model failed"; }
	fi
	if [[ $KERNEL != amd64 ]]; then
		# Warm, nothing is written outside WORK, so no root is needed.
		if [[ $(id -u) -ne 0 ]] && command -v "$QEMU" >/dev/null &&
			(arm_fetch "$KERNEL" "${USERLANDS[@]}") >/dev/null 2>&1; then
			arm_fetch "$KERNEL" "${USERLANDS[@]}"
			return 0
		fi
	else
		resolve || true
		set_paths
		have_all && return 0
	fi
	if [[ $(id -u) -ne 0 ]]; then
		if command -v sudo >/dev/null && sudo -n true 2>/dev/null; then
			sudo -n bash "$0" --fetch "$MACHINE" "$WORK" "$CACHE" "${USERLANDS[@]}" || exit 1
			if [[ $KERNEL != amd64 ]]; then
				arm_fetch "$KERNEL" "${USERLANDS[@]}"
				return 0
			fi
			resolve || true
			set_paths
			have_all && return 0
		fi
		die "missing: $([[ $KERNEL == amd64 ]] && missing | paste -sd, | sed 's/,/, /g' || echo "the $KERNEL kernel");" \
			"fetching needs root or sudo without a password: run this test" \
			"once as root, or configure with -DDCP_SKIP_VM_TEST=ON to skip it"
	fi
	command -v apt-get >/dev/null ||
		die "apt-get not found: this test needs Debian's packages" \
			"(or configure with -DDCP_SKIP_VM_TEST=ON to skip it)"
	mkdir -p "$CACHE"
	# One fetch at a time; a fetch that was cut off left only a .fetch folder.
	exec 9>"$CACHE/.lock"
	flock 9
	rm -rf "$CACHE"/.fetch.*
	if [[ $KERNEL != amd64 ]]; then
		fetch_arm
		return 0
	fi
	apt_get update >"$WORK/apt.log" 2>&1 || die "apt-get update failed, see $WORK/apt.log"
	resolve || die "cannot resolve linux-image-amd64 to a kernel through apt"
	set_paths
	echo "vm test: fetching for kernel $KVER ($KPKG)"
	if ! command -v qemu-system-x86_64 >/dev/null || ! headers_ok; then
		apt_get install --no-install-recommends qemu-system-x86 \
			"linux-headers-$KVER=$KPKG" >>"$WORK/apt.log" 2>&1 ||
			die "apt-get install of qemu-system-x86 and linux-headers-$KVER failed, see $WORK/apt.log"
	fi
	if [[ ! -f $KDIR/complete ]]; then
		local members=("./boot/vmlinuz-$KVER") m
		for m in "${MODULES[@]}"; do
			members+=("./lib/modules/$KVER/kernel/*/$m.ko")
		done
		fetch_deb "linux-image-$KVER=$KPKG" "$KDIR" "${members[@]}"
		mv "$KDIR/vmlinuz-$KVER" "$KDIR/vmlinuz"
		for m in "${MODULES[@]}"; do
			[[ -f $KDIR/$m.ko ]] || die "linux-image-$KVER has no $m.ko"
		done
		# A name found twice in the image would have been flattened onto one.
		[[ $(find "$KDIR" -name '*.ko' | wc -l) -eq ${#MODULES[@]} ]] ||
			die "linux-image-$KVER: module names not unique: $(ls "$KDIR")"
	fi
	if [[ ! -f $BBDIR/complete ]]; then
		fetch_deb "busybox-static=$BBVER" "$BBDIR" ./bin/busybox
	fi
	have_all || die "still missing after apt-get: $(missing | paste -sd,), see $WORK/apt.log"
}

# --- build ------------------------------------------------------------------

# What serves the DCP in the guest: the test module, built against the
# kernel; or the driver's variants (arm-kernel.sh, which also checks and
# compiles the null-key patch for every Arm kernel) and the re-keying
# program.
build_dcp() {
	local mk
	[[ $KERNEL == amd64 ]] || arm_drivers
	if [[ $DCP == model ]]; then
		"${KCROSS}gcc" -Os -Wall -Wextra -Werror -static -s -o "$WORK/rekey" \
			"$HERE/rekey.c" >"$WORK/rekey.log" 2>&1 ||
			{ cat "$WORK/rekey.log" >&2; die "building rekey failed"; }
		return 0
	fi
	if [[ $KERNEL == amd64 ]]; then
		mk=(make -C "$HEADERS")
	else
		mk=(make -C "$KSRC" O="$KOBJ" ARCH="$KARCH" CROSS_COMPILE="$KCROSS")
	fi
	rm -rf "$WORK/module"
	mkdir -p "$WORK/module"
	cp "$HERE/module/dcp_nullkey.c" "$HERE/module/Kbuild" "$WORK/module/"
	"${mk[@]}" M="$WORK/module" modules >"$WORK/module.log" 2>&1 ||
		{ cat "$WORK/module.log" >&2; die "building the test module failed"; }
}

# Sh block $2 (counted from 1) of the README's section $1, as written.
readme_commands() {
	awk -v h="## $1" -v n="$2" '$0 == h { s = 1; next } /^## / { s = 0 }
		s && /^```sh/ { c = 1; b++; next } c && /^```/ { c = 0; next }
		c && b == n' "$HERE/../../README.md"
}

# The README's blocks that the cases run, as /NAME.N in the guest.
README_BLOCKS=("sealing 1 Sealing and loading" "board 1 Board check"
	"using 1 Using the key" "using 2 Using the key" "using 3 Using the key")

build_initramfs() {
	local root=$WORK/root bb applet lib m u r
	rm -rf "$root"
	mkdir -p "$root"/{bin,mod,proc,sys,dev,tmp}
	if [[ $KERNEL == amd64 ]]; then
		bb=$BBDIR/busybox
		mkdir -p "$root/u/amd64/bin"
		cp "${TOOLS[amd64]}" "$root/u/amd64/bin/dcp-sealkey"
		for lib in $(ldd "${TOOLS[amd64]}" | grep -o '/[^ ]*'); do
			mkdir -p "$root$(dirname "$lib")"
			cp -L "$lib" "$root$lib"
		done
		for m in "${MODULES[@]}"; do
			cp "$KDIR/$m.ko" "$root/mod/"
		done
	else
		dpkg-deb -x "$(cached_deb "busybox-static:$KBB_ARCH")" "$WORK/busybox"
		bb=$WORK/busybox/bin/busybox
		for u in "${USERLANDS[@]}"; do
			arm_userland "$root" "$u" "${TOOLS[$u]}"
		done
		cp "$KOBJ/security/keys/trusted-keys/trusted.ko" \
			"$KOBJ/security/keys/encrypted-keys/encrypted-keys.ko" \
			"$KOBJ/drivers/md/dm-crypt.ko" "$root/mod/"
		for r in "${README_BLOCKS[@]}"; do
			read -r m u lib <<<"$r"
			readme_commands "$lib" "$u" >"$root/$m.$u"
			[[ -s $root/$m.$u ]] || die "README.md lacks sh block $u of \"$lib\""
		done
	fi
	if [[ $DCP == model ]]; then
		cp "$KOBJ/drivers/crypto/mxs-dcp.ko" "$WORK"/driver-*/mxs-dcp-*.ko "$root/mod/"
		cp "$WORK/rekey" "$root/bin/"
	else
		cp "$WORK/module/dcp_nullkey.ko" "$root/mod/"
	fi
	echo "$DCP" >"$root/dcp"
	echo "${USERLANDS[*]}" >"$root/userlands"
	[[ -n $(find "$root" -name 'libkcapi.so.1') ]] || die "no libkcapi.so.1 in the guest"
	# A foreign busybox lists its applets under qemu-user, through binfmt.
	cp "$bb" "$root/bin/busybox"
	chmod 755 "$root/bin/busybox"
	# No modprobe: every module is loaded by hand, so none comes in unasked.
	for applet in $("$bb" --list); do
		[[ $applet == busybox || $applet == modprobe ]] && continue
		ln -s busybox "$root/bin/$applet"
	done
	cp "$HERE/vm-init.sh" "$root/init"
	chmod 755 "$root/init"
	BB=$bb
	(cd "$root" && find . | "$bb" cpio -o -H newc 2>/dev/null) | gzip -1 >"$WORK/initrd.gz"
}

# The initramfs of boot $1: the common one and a second archive with the
# boot's name and, for a second board, the first board's 32-byte blobs.
boot_initrd() {
	local dir=$WORK/boot-$1 u line
	rm -rf "$dir"
	mkdir -p "$dir"
	echo "$1" >"$dir/boot"
	if [[ $1 == binding ]]; then
		for u in "${USERLANDS[@]}"; do
			line=$(grep "^@@ case name=$u.len_32 " "$WORK/console-trusted.txt" || true)
			# None (the first board failed to seal) fails the case, not the run.
			hex_text "$(field "$line" out)" | tr -d '\n' >"$dir/sealed.$u"
		done
	fi
	{
		cat "$WORK/initrd.gz"
		(cd "$dir" && find . | "$BB" cpio -o -H newc 2>/dev/null) | gzip -1
	} >"$WORK/initrd-$1.gz"
}

# --- boot and run -----------------------------------------------------------

# Boots boot $2 with accelerator $1; the console ends up in console-$2.txt.
boot_with() {
	local rc=0 kernel=${KIMAGE:-} dtb=() extra
	[[ $KERNEL != amd64 ]] || kernel=$KDIR/vmlinuz
	[[ -z $DTB ]] || dtb=(-dtb "$KOBJ/arch/$KARCH/boot/dts/$DTB")
	read -ra extra < <(boot_args "$2")
	rm -f "$WORK/console.log" "$WORK/console-$2.txt"
	# No stdin in CI: QEMU must not touch it, and the console goes to a file.
	timeout "$BOOT_LIMIT" "$QEMU" "${QARGS[@]}" -accel "$1" "${extra[@]}" \
		-m 512 -smp 1 -nodefaults -no-user-config -display none \
		-monitor none -serial "file:$WORK/console.log" -no-reboot \
		-kernel "$kernel" "${dtb[@]}" -initrd "$WORK/initrd-$2.gz" \
		-append "console=$CONSOLE loglevel=1 quiet panic=-1 cryptomgr.noextratests=1" \
		</dev/null >"$WORK/qemu.log" 2>&1 || rc=$?
	[[ -f $WORK/console.log ]] && tr -d '\r' <"$WORK/console.log" >"$WORK/console-$2.txt"
	return $rc
}

# TCG unless KVM is asked for; a KVM that does not start (missing, or
# nested and aborting) falls back to TCG instead of failing the test.
boot() {
	local rc=0
	if [[ ${DCP_VM_ACCEL:-tcg} == kvm && $KERNEL == amd64 ]]; then
		boot_with kvm "$1" || rc=$?
		if [[ $rc -eq 0 ]] && grep -q '^@@ done' "$WORK/console-$1.txt"; then
			echo "vm test: booted with KVM"
			return 0
		fi
		echo "vm test: KVM did not start (exit $rc), falling back to TCG"
		rc=0
	fi
	boot_with tcg "$1" || rc=$?
	[[ $rc -ne 124 ]] || die "the VM did not finish within $BOOT_LIMIT s, see $WORK/console.log"
	[[ $rc -eq 0 ]] || { cat "$WORK/qemu.log" >&2; die "QEMU exited with $rc"; }
}

# --- judge ------------------------------------------------------------------

fails=0
oks=0
fail() {
	echo "  FAIL $case_name: $*"
	fails=$((fails + 1))
}

# Closes a case begun when $fails was $2: prints its summary $1, and counts
# it as passed if no check failed since.
tally() {
	printf '  %-24s %s  %s\n' "$case_name" "$1" "$([[ $fails -eq $2 ]] && echo ok || echo FAILED)"
	[[ $fails -ne $2 ]] || oks=$((oks + 1))
}

text_hex() { printf '%b' "$1" | od -An -v -tx1 | tr -d ' \n'; }
hex_text() { printf '%s' "$1" | xxd -r -p; }

# Field $2 of a "@@ case" line $1, e.g. field "$line" rc.
field() { sed -n "s/.* $2=\([^ ]*\).*/\1/p" <<<"$1"; }

# The blob must open with the key it was made under and with no other of
# the emulated DCPs' keys.
check_blob() {
	local blob=$1 key_hex=$2 with=$3 other got
	printf '%s\n' "$blob" >"$WORK/blobs/$case_name.hex"
	got=$("$BLOB_OPEN" "$with" <"$WORK/blobs/$case_name.hex" 2>"$WORK/blobs/$case_name.err") ||
		{ fail "blob does not open with key $with: $(cat "$WORK/blobs/$case_name.err")"; return; }
	[[ $got == "$key_hex" ]] || fail "blob opens to $got, key was $key_hex"
	for other in "$HW_KEY" "$OTP_KEY" "$ZERO_KEY" "$OTHER_KEY"; do
		[[ $other != "$with" ]] || continue
		if "$BLOB_OPEN" "$other" <"$WORK/blobs/$case_name.hex" >/dev/null 2>&1; then
			fail "blob also opens with key $other"
		fi
	done
}

# expect NAME RC COUNTER_STEP OPEN_KEY STDERR
#   COUNTER_STEP: rise of the module's zero-length setkey counter, or - when
#   the module is not loaded; OPEN_KEY: hardware key the blob opens with, or -
#   when no blob is expected; STDERR: the exact standard error, printf %b form.
expect() {
	case_name=$U.$1
	local rc=$2 step=$3 with=$4 err=$5 line got_rc before after key out got_err n blob
	line=$(grep "^@@ case name=$case_name " "$LOG" || true)
	if [[ -z $line ]]; then
		fail "no result in the console log"
		return
	fi
	local fails_before=$fails
	got_rc=$(field "$line" rc)
	before=$(field "$line" before)
	after=$(field "$line" after)
	key=$(field "$line" key)
	out=$(field "$line" out)
	got_err=$(field "$line" err)
	# libkcapi logs its own errors to stderr; they are shown, not judged.
	hex_text "$got_err" | grep '^libkcapi - ' | sed 's/^/    library: /' || true
	got_err=$(hex_text "$got_err" | sed '/^libkcapi - /d' | od -An -v -tx1 | tr -d ' \n')
	[[ $got_rc == "$rc" ]] || fail "exit status $got_rc, want $rc"
	if [[ $got_err != "$(text_hex "$err")" ]]; then
		fail "standard error differs"
		printf '    got:  %s\n' "$(hex_text "$got_err" | sed -n l)"
		printf '    want: %s\n' "$(printf '%b' "$err" | sed -n l)"
	fi
	if [[ $step == - ]]; then
		[[ $before == - && $after == - ]] || fail "module loaded, counter $before -> $after"
	elif [[ $before == - || $after == - ]]; then
		fail "module counter not readable"
	elif ((after - before != step)); then
		fail "counter went $before -> $after, want +$step"
	fi
	if [[ $with == - ]]; then
		[[ -z $out ]] || fail "standard output not empty: $(hex_text "$out")"
	else
		n=$((${#key} / 2))
		blob=$(hex_text "$out" | head -n 1)
		if [[ $out != "$(text_hex "$blob")0a" ]]; then
			fail "standard output is not one line: $(hex_text "$out" | sed -n l)"
		elif [[ ! $blob =~ ^01[0-9a-f]+$ || ${#blob} -ne $((106 + 2 * n)) ]]; then
			fail "blob is not 01 and then $((104 + 2 * n)) lowercase hex digits: $blob"
		else
			local len
			len=$(printf '%08x' "$n" | sed 's/\(..\)\(..\)\(..\)\(..\)/\4\3\2\1/')
			[[ ${blob:66:8} == "$len" ]] || fail "length field ${blob:66:8}, want $len"
			check_blob "$blob" "$key" "$with"
		fi
	fi
	local kernel_result
	kernel_result=$(hex_text "$got_err" | grep -o 'failed: -[0-9]*' | head -n 1 || true)
	tally "exit $got_rc  counter $before -> $after${kernel_result:+  kernel result ${kernel_result#failed: }}" \
		"$fails_before"
}

# The HMAC that security/keys/encrypted-keys puts after an encrypted key's
# datablob: over "format\0master\0datalen\0", the IV, a zero byte and the
# encrypted data, keyed with SHA-256 of "AUTH_KEY\0" and the master key,
# zero-padded to 32 bytes. It matches only if the trusted key that served
# as master holds exactly the bytes $2 (hex). $1 is what keyctl pipe gave.
enc_hmac_ok() {
	local format desc datalen data auth got n=$((${#2} / 2 + 9))
	read -r format desc datalen data <<<"$1"
	[[ -n $data && $data =~ ^[0-9a-f]+$ ]] || return 1
	auth=$({ printf 'AUTH_KEY\0'; hex_text "$2"; head -c 32 /dev/zero; } |
		head -c $((n < 32 ? 32 : n)) | openssl dgst -sha256 -binary | od -An -v -tx1 | tr -d ' \n')
	got=$({ printf '%s\0%s\0%s\0' "$format" "$desc" "$datalen"; hex_text "${data:0:${#data}-64}"; } |
		openssl dgst -sha256 -mac HMAC -macopt "hexkey:$auth" -binary | od -An -v -tx1 | tr -d ' \n')
	[[ $got == "${data: -64}" ]]
}

# expect_trust NAME ERROR KEY [KERNEL_SAYS]
#   Judges the "@@ trust" line of case NAME. ERROR: what keyctl must fail
#   with, or - when the trusted key must load. KEY: where the sealed bytes
#   come from: case:NAME (the key of that case's run, whose blob must be the
#   one the trusted key holds) or open:HWKEY (the trusted key's own blob,
#   opened on the host under that emulated key). KERNEL_SAYS: a text the
#   kernel must have logged, saying why.
expect_trust() {
	case_name=$U.$1
	local want=$2 from=$3 says=${4:-} line rc blob enc err key src fails_before=$fails
	line=$(grep "^@@ trust name=$case_name " "$LOG" || true)
	if [[ -z $line ]]; then
		fail "no result in the console log"
		return
	fi
	rc=$(field "$line" rc)
	blob=$(hex_text "$(field "$line" blob)" | tr -d '\n')
	enc=$(hex_text "$(field "$line" enc)")
	err=$(hex_text "$(field "$line" err)" | paste -sd ' ')
	[[ -z $says || $(hex_text "$(field "$line" dmesg)") == *"$says"* ]] ||
		fail "the kernel did not log \"$says\""
	if [[ $want != - ]]; then
		[[ $rc != 0 ]] || fail "loaded, want a refusal with \"$want\""
		[[ $err == *"$want"* ]] || fail "refused with \"$err\", want \"$want\""
	elif [[ $rc != 0 ]]; then
		fail "not loaded (exit $rc): $err; kernel: $(hex_text "$(field "$line" dmesg)" | tr '\n' ' ')"
	else
		case $from in
		case:*)
			src=$(grep "^@@ case name=$U.${from#case:} " "$LOG" || true)
			key=$(field "$src" key)
			[[ $blob == "$(hex_text "$(field "$src" out)" | tr -d '\n')" ]] ||
				fail "the trusted key holds another blob than the one sealed"
			;;
		open:*)
			key=$("$BLOB_OPEN" "${from#open:}" <<<"$blob" 2>&1) ||
				{ fail "the kernel's blob does not open with ${from#open:}: $key"; key=; }
			;;
		esac
		[[ -n $key ]] && ! enc_hmac_ok "$enc" "$key" && fail "the loaded key does not hold the sealed bytes"
	fi
	tally "$([[ $rc == 0 ]] && echo loaded || echo "refused: $err")" "$fails_before"
}

read16='read 16 byte plaintext key\n'
read32='read 32 byte plaintext key\n'
no_hwrng='WARNING: /dev/hwrng not available, using /dev/urandom\n'
test_key='WARNING: the DCP uses its test key: this device is neither in secure nor trusted mode\n'
driver_question='Is the NXP DCP driver loaded with null-key support?\n'

# Debian's kernel: each failure case lacks one piece of the stack.
judge_stack() {
	grep -q '^@@ alg driver=1 priority=5000 selftest=passed$' "$LOG" ||
		die "the test module's ecb(aes) did not pass the kernel's self-test: $(grep '^@@ alg' "$LOG")"
	expect no_ecb 1 - - "${read16}kcapi_cipher_init(ecb(aes)) failed: -2\n"
	expect no_crypto_user 1 - - "${read16}kcapi_cipher_init(ecb(aes)) failed: -93\n"
	expect stock_kernel 1 - - "${read16}kcapi_cipher_setkey (zero-length) failed: -22\n$driver_question"
	expect no_algif_aead 1 1 - "${read16}kcapi_aead_init(gcm(aes)) failed: -2\n"
	expect no_gcm 1 1 - "${read16}kcapi_aead_init(gcm(aes)) failed: -2\n"
	expect len_1 0 1 "$HW_KEY" 'read 1 byte plaintext key\n'
	expect len_4 0 1 "$HW_KEY" 'read 4 byte plaintext key\n'
	expect len_17 0 1 "$HW_KEY" 'read 17 byte plaintext key\n'
	expect len_128 0 1 "$HW_KEY" 'read 128 byte plaintext key\n'
	expect text_line 0 1 "$HW_KEY" 'read 4 byte plaintext key\n'
	expect pieces 0 1 "$HW_KEY" 'read 10 byte plaintext key\n'
	expect too_long 1 0 - 'plaintext key too long: more than 128 bytes\n'
	expect no_hwrng 0 1 "$HW_KEY" "${read16}${no_hwrng}${no_hwrng}"
	expect zero_key 0 1 "$ZERO_KEY" "${read16}${test_key}"
	expect hwrng_no_driver 1 0 - "${read16}short read from random source: got -1, want 16\n"
}

# The Arm kernels: their own DCP trusted keys load what the tool sealed.
judge_trusted() {
	local n t i
	for n in $(seq 128); do
		expect len_$n 0 "$STEP" "$HW_KEY" "read $n byte plaintext key\n"
		expect_trust len_$n - case:len_$n
	done
	# Header and length faults are caught before any decryption; the rest
	# by the GCM tag. Only the nonce's first 12 bytes reach gcm(aes).
	for t in version:"Invalid argument" wrapped_key:"Bad message" nonce:"Bad message" \
		length:"Invalid argument" ciphertext:"Bad message" tag:"Bad message" \
		cut:"Invalid argument"; do
		expect_trust "tamper_${t%%:*}" "${t#*:}" -
	done
	expect_trust kernel_new - "open:$HW_KEY"
	expect readme 0 "$STEP" "$HW_KEY" "$read32"
	expect_trust readme - case:readme
	# Eight runs at once, and loads of earlier blobs beside them.
	for i in 1 2 3 4 5 6 7 8; do
		expect conc_$i 0 - "$HW_KEY" "$read32"
		expect_trust conc_load_$i - case:len_$((16 * i))
	done
	expect_using using
	# trusted.dcp_use_otp_key=1: the UNIQUE key's blob is refused, and the
	# kernel's own blobs are bound to the OTP key.
	expect_trust otp_key "Bad message" -
	expect_trust otp_kernel_new - "open:$OTP_KEY"
	# The README's board check, where it passes and for each usual cause.
	expect_board board_ok "board check passed"
	expect_board board_no_trusted "cause: trusted keys are not running on the DCP"
	expect_board board_otp "cause: trusted keys use another DCP key"
	expect_board board_no_nullkey "cause: ecb(aes) refuses a zero-length key"
}

# The real driver: its self-tests, re-keying one tfm, the stock driver, and
# the driver from before the OTP_KEY fix, whose null key (and trusted keys'
# UNIQUE) is the OTP key: it loads its own blob, which the fixed driver
# refuses.
judge_driver() {
	expect_selftest selftest "${SELFTESTS[@]}"
	expect_rekey rekey
	expect stock 1 - - "${read32}kcapi_cipher_setkey (zero-length) failed: -22\n$driver_question"
	expect otpbit 0 - "$OTP_KEY" "$read32"
	expect_trust otpbit_load - case:otpbit
	expect_trust otpbit_fixed "Bad message" - "Unwrap of DCP payload failed"
}

# A DCP on its all-zero test key.
judge_testkey() {
	expect zero_key 0 "$STEP" "$ZERO_KEY" "${read32}${test_key}"
	expect_trust zero_key_refused "Invalid argument" - "Device neither in secure nor trusted mode"
	expect_board board_test_key "cause: the DCP runs on its test key"
	expect_trust zero_key_skip - case:zero_key
}

# A second board, whose UNIQUE key differs, refuses the first board's blob.
judge_binding() {
	expect_trust other_board "Bad message" - "Unwrap of DCP payload failed"
}

# The extended self-tests refuse the null key's minimum key size of 0, so
# "ecb(aes)" falls back to the generic AES, which refuses a zero-length key.
judge_extratests() {
	expect_selftest extratests ecb-aes-dcp:unknown cbc-aes-dcp:unknown ecb-paes-dcp:passed \
		cbc-paes-dcp:passed sha1-dcp:race sha256-dcp:race \
		"says:alg: skcipher: min keysize for ecb-aes-dcp (0) doesn't match generic impl (16)" \
		"says:alg: self-tests for ecb(aes) using ecb-aes-dcp failed (rc=-22)"
	expect extratests_seal 1 - - "${read32}kcapi_cipher_setkey (zero-length) failed: -22\n$driver_question"
}

# The driver's self-tests at load. sha1-dcp and sha256-dcp may fail: since
# Linux 6.12 their tests run at once, and the driver keeps a hash's pending
# bytes in one buffer that all hash requests share ("race").
SELFTESTS=(ecb-aes-dcp:passed cbc-aes-dcp:passed ecb-paes-dcp:passed cbc-paes-dcp:passed
	sha1-dcp:race sha256-dcp:race)

# expect_selftest NAME DRIVER:STATE... [says:TEXT...]
#   Judges the "@@ selftest" line of case NAME: each driver's self-test state
#   in /proc/crypto (race: passed, or failed with a wrong result), and texts
#   the kernel must have logged.
expect_selftest() {
	case_name=$U.$1
	shift
	local line algs log w d want got fails_before=$fails
	line=$(grep "^@@ selftest name=$case_name " "$LOG" || true)
	[[ -n $line ]] || { fail "no result in the console log"; return; }
	algs=$(field "$line" algs)
	log=$(hex_text "$(field "$line" dmesg)")
	for w in "$@"; do
		if [[ $w == says:* ]]; then
			[[ $log == *"${w#says:}"* ]] || fail "the kernel did not log \"${w#says:}\""
			continue
		fi
		d=${w%%:*} want=${w#*:}
		got=$(tr ',' '\n' <<<"$algs" | sed -n "s/^$d://p")
		if [[ $want == race ]]; then
			[[ $got == passed || ($got == unknown && $log == *"$d test failed (wrong result)"*) ]] ||
				fail "$d: self-test $got"
		else
			[[ $got == "$want" ]] || fail "$d: self-test ${got:-missing}, want $want"
		fi
	done
	tally "$algs" "$fails_before"
}

# AES-128-ECB of hex block $1 under hex key $2.
aes_block() {
	hex_text "$1" | openssl enc -aes-128-ecb -nopad -K "$2" | od -An -v -tx1 | tr -d ' \n'
}

# expect_rekey NAME: one tfm re-keyed from the null key to a real key, and
# another the other way, each encrypts under its latest key.
expect_rekey() {
	case_name=$U.$1
	local pt=6bc1bee22e409f96e93d7e117393172a key=000102030405060708090a0b0c0d0e0f u k line fails_before=$fails
	line=$(grep "^@@ rekey name=$case_name " "$LOG" || true)
	u=$(aes_block "$pt" "$HW_KEY")
	k=$(aes_block "$pt" "$key")
	[[ $(field "$line" out) == "zero-then-key:$u:$k,key-then-zero:$k:$u," ]] ||
		fail "got $(field "$line" out), want zero-then-key:$u:$k,key-then-zero:$k:$u,"
	tally "$(field "$line" out | cut -c1-40)..." "$fails_before"
}

# expect_using NAME: the README's "Using the key" wrote through the mapping,
# closed it, opened it again from the blob and read the same data back, and
# the disk itself does not hold the data.
expect_using() {
	case_name=$U.$1
	local line steps fails_before=$fails
	line=$(grep "^@@ using name=$case_name " "$LOG" || true)
	steps=$(field "$line" steps)
	[[ $steps == sealed,opened,written,closed,unlinked,reopened,read,closed ]] ||
		fail "stopped after \"$steps\": $(hex_text "$(field "$line" out)" | tail -n 5 | paste -sd '|')"
	[[ $(field "$line" same) == yes ]] || fail "the data read back differs"
	[[ $(field "$line" raw_is_data) == no ]] || fail "the disk holds the data in clear"
	tally "$steps" "$fails_before"
}

# expect_board NAME TEXT: the README's board check printed TEXT, and passed
# or failed as TEXT says.
expect_board() {
	case_name=$U.$1
	local out fails_before=$fails
	out=$(hex_text "$(field "$(grep "^@@ board name=$case_name " "$LOG")" out)")
	[[ $out == *"$2"* ]] || fail "the board check did not say \"$2\": $(paste -sd '|' <<<"$out")"
	if [[ $2 == "board check passed"* ]]; then
		[[ $out != *FAILED* ]] || fail "the board check passed and failed"
	else
		[[ $out == *"board check FAILED"* && $out != *"board check passed"* ]] ||
			fail "the board check did not fail"
	fi
	tally "$(tail -n 1 <<<"$out")" "$fails_before"
}

# Judges boot $1: the VM ran its init to the end on the resolved kernel with
# the machine's RNG, then every case, once per userland.
judge() {
	LOG=$WORK/console-$1.txt
	grep -q '^@@ start ' "$LOG" || { cat "$LOG" >&2; die "the VM never started its init"; }
	if grep '^@@ fatal ' "$LOG"; then
		die "the VM's init failed, see $LOG"
	fi
	grep -q '^@@ done' "$LOG" || { tail -n 30 "$LOG" >&2; die "the VM's init did not finish, see $LOG"; }
	if [[ $KERNEL == amd64 ]]; then
		grep -q "^@@ start kernel=$KVER boot=$1\$" "$LOG" || die "the VM ran another kernel than $KVER"
	else
		grep -q "^@@ start kernel=${KSRCVER%%-*}.* boot=$1\$" "$LOG" ||
			die "the VM ran another kernel than ${KSRCVER%%-*}"
	fi
	grep -q "^@@ hwrng node=yes current=$RNG" "$LOG" ||
		die "no $RNG behind /dev/hwrng: $(grep '^@@ hwrng' "$LOG")"
	for U in "${USERLANDS[@]}"; do
		echo "vm test: $1 boot, $U userland"
		"judge_$1"
	done
}

mkdir -p "$WORK"
fetch
[[ $FETCH_ONLY -eq 0 ]] || exit 0
phase "fetch and kernel build (${KVER:-$KERNEL} ${KPKG:-$KSRCVER})"
# The test module counts its zero-length setkeys; the driver does not.
STEP=1
[[ $DCP == module ]] || STEP=-
build_dcp
build_initramfs
phase "DCP and initramfs build"
mkdir -p "$WORK/blobs"
rm -f "$WORK/blobs"/*
for b in "${BOOTS[@]}"; do
	boot_initrd "$b"
	boot "$b"
	phase "$b boot"
	judge "$b"
	phase "judging the $b boot"
done
echo "vm test: $oks cases ok, $fails checks failed"
[[ $fails -eq 0 ]] || die "$fails checks failed, console logs: $WORK/console-*.txt"
echo "vm test: passed in $((SECONDS - T0)) s"
