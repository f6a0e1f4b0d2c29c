#!/bin/bash
# SPDX-FileCopyrightText: 2026 dcp-sealkey developers
# SPDX-License-Identifier: MIT
# Builds QEMU's qemu-system-arm for the i.MX6UL/6ULL boards with the patch
# series in qemu/patches/ (NNNN-*.patch, applied in order: the series adds
# mcimx6ull-evk and its DCP; its cover letter, 0000-cover-letter.patch, has
# no diff and is left out), and the series' qtest tests/qtest/imx_dcp-test.
# With --fuzz, builds QEMU's libFuzzer target qemu-fuzz-arm instead, with
# clang, ASan and UBSan (qemu/fuzz.sh runs it).
#
#   bash qemu/build.sh [--fuzz] OUTDIR
#   OUTDIR/qemu-system-arm -M mcimx6ull-evk -nographic -kernel zImage ...
#   QTEST_QEMU_BINARY=OUTDIR/qemu-system-arm OUTDIR/imx_dcp-test
#
# The source is Debian's QEMU of the version pinned below, whose orig
# tarball is checked against the pinned SHA-256 and the Sources record. It
# comes from sid's Sources, the one index that still lists it; meson and
# pycotap come from bookworm-backports, unpacked into the cache and never
# installed.
# Everything is fetched through the project's private apt configuration
# (apt/apt.sh, the one the tests use) into the cache, $DCP_CACHE/vm or
# $DCP_VM_CACHE (a 40 MB download; apt/cache.sh names DCP_CACHE's default). The source
# and build trees stay in OUTDIR/src and OUTDIR/build (about 380 MB in all;
# --fuzz: 960 MB); nothing is written inside the repository.
# Root is needed only to install the build packages (apt/install.sh,
# through sudo otherwise) and for the first fetch (through sudo when the cache
# is not writable). OUTDIR/stamp records the source version and hashes of the
# series and of the build settings: while they match, a run builds nothing;
# when they change, src and build are wiped and QEMU is built afresh (5
# minutes on two idle cores; --fuzz: 7). DCP_QEMU_PATCHES names another
# series folder.
set -euo pipefail
export LC_ALL=C

# Debian's QEMU source version and its orig tarball's SHA-256: the next QEMU
# is this line (and a series rebased onto it).
QEMU_SOURCE="1:10.2.2+ds-1 be05230fe47a6937cd29f28f562932c8125f9c93c2a82c625198f7a4aa601dfb"
read -r QEMU_VER QEMU_SHA256 <<<"$QEMU_SOURCE"

HERE=$(cd "$(dirname "$0")" && pwd)
# shellcheck source-path=SCRIPTDIR source=../apt/cache.sh
source "$HERE/../apt/cache.sh"
CACHE=${DCP_VM_CACHE:-$DCP_CACHE/vm}
PATCHES=${DCP_QEMU_PATCHES:-$HERE/patches}
# Where the newer meson and pycotap that QEMU needs come from.
TOOLS_SUITE=bookworm-backports
# What the build needs from a fresh Debian 12.
DEPS=(gcc libc6-dev ninja-build pkgconf python3-venv libglib2.0-dev
	libpixman-1-dev libfdt-dev zlib1g-dev bzip2 xz-utils patch)
DEVICES=dcp-sealkey
QTEST=tests/qtest/imx_dcp-test
CONFIGURE=(--target-list=arm-softmmu --without-default-features
	--without-default-devices "--with-devices-arm=$DEVICES" --disable-docs
	--disable-install-blobs --enable-fdt=system --python=/usr/bin/python3
	--enable-werror)
CC=gcc
PRODUCT=qemu-system-arm

die() {
	echo "qemu build FAILED: $*" >&2
	exit 1
}

# The i.MX6UL SoC's symbol also brings the i.MX6ULL board, and with the
# series' first patch the USB PHY that both instantiate.
device_config() {
	echo "# The i.MX6UL/6ULL boards alone (written by dcp-sealkey's qemu/build.sh)"
	echo "CONFIG_FSL_IMX6UL=y"
}

# "--fetch CACHE" only fetches into the cache: the step that needs root, run
# under sudo.
FETCH_ONLY=0
if [[ $# -eq 2 && $1 == --fetch ]]; then
	FETCH_ONLY=1
	CACHE=$2
else
	if [[ $# -eq 2 && $1 == --fuzz ]]; then
		# libclang-rt holds libFuzzer and the sanitizers' runtimes; llvm-14
		# the coverage tools that read what the run's profile counted.
		DEPS+=(clang-14 libclang-rt-14-dev llvm-14)
		CC=clang-14
		CONFIGURE+=(--cc=clang-14 --cxx=clang++-14 --enable-fuzzing --enable-asan --enable-ubsan
			"--extra-cflags=-fprofile-instr-generate -fcoverage-mapping"
			--extra-ldflags=-fprofile-instr-generate)
		PRODUCT=qemu-fuzz-arm
		QTEST=
		shift
	fi
	[[ $# -eq 1 && -n $1 ]] || die "usage: $0 [--fuzz] OUTDIR"
	mkdir -p "$1" || die "cannot make $1"
	OUTDIR=$(cd "$1" && pwd)
	# A stale build is wiped, so OUTDIR is empty or one this script built in.
	[[ -e $OUTDIR/.qemu-build.lock || -z $(ls -A "$OUTDIR") ]] ||
		die "$OUTDIR is neither empty nor a folder that qemu/build.sh built in"
fi
# The fetch's log lives in the cache, which the fetch alone writes.
WORK=$CACHE/qemu-fetch
APT_LOG=$WORK/apt.log
# shellcheck source-path=SCRIPTDIR source=../apt/apt.sh
source "$HERE/../apt/apt.sh"
T0=$SECONDS

# --- fetch ------------------------------------------------------------------

# Sets ORIG_URI, ORIG_NAME, ORIG_HASH, SRC_DIR and, per build tool,
# TOOL_VER and TOOL_DIR; needs the lists.
declare -A TOOL_VER=() TOOL_DIR=()
TOOL_PKGS=(meson python3-pycotap)
resolve() {
	local uris pkg offered
	if ! uris=$(apt-get "${opts[@]}" source --print-uris "qemu=$QEMU_VER" 2>/dev/null </dev/null); then
		offered=$(private_apt_cache showsrc qemu 2>/dev/null | sed -n 's/^Version: //p' | sort -u |
			paste -sd ' ')
		die "the archive no longer lists the source of qemu $QEMU_VER" \
			"(it offers: ${offered:-no qemu source}$(private_apt_missing));" \
			"move QEMU_SOURCE in $0 and the series to one of those"
	fi
	read -r ORIG_URI ORIG_NAME _ ORIG_HASH < <(grep "^'.*\.orig\.tar\.[a-z0-9]*' " <<<"$uris") ||
		die "no orig tarball for qemu $QEMU_VER"
	ORIG_URI=${ORIG_URI//\'/}
	[[ $ORIG_HASH == "SHA256:$QEMU_SHA256" ]] ||
		die "the archive's $ORIG_NAME has SHA-256 ${ORIG_HASH#SHA256:}, not the pinned $QEMU_SHA256"
	SRC_DIR=$CACHE/qemu-src_$QEMU_VER
	for pkg in "${TOOL_PKGS[@]}"; do
		TOOL_VER[$pkg]=$(private_apt_version "$pkg" "$TOOLS_SUITE")
		TOOL_DIR[$pkg]=$CACHE/debs/${pkg}_${TOOL_VER[$pkg]}
	done
}

# True when the lists are current and everything is in the cache.
cached() {
	local pkg
	private_apt_current || return 1
	resolve
	[[ -f $SRC_DIR/complete ]] || return 1
	for pkg in "${TOOL_PKGS[@]}"; do
		[[ -f ${TOOL_DIR[$pkg]}/complete ]] || return 1
	done
}

fetch() {
	local pkg tmp
	mkdir -p "$CACHE" "$WORK"
	# One fetch at a time, shared with the VM tests; a fetch that was cut off
	# left only a .fetch folder.
	exec 9>"$CACHE/.lock"
	flock 9
	rm -rf "$CACHE"/.fetch.*
	: >"$APT_LOG"
	private_apt_update
	resolve
	if [[ ! -f $SRC_DIR/complete ]]; then
		echo "qemu build: fetching $ORIG_NAME (qemu $QEMU_VER)"
		tmp=$(mktemp -d "$CACHE/.fetch.XXXXXX")
		chmod 755 "$tmp"
		# apt-get source would also want the Debian tarball; only the orig is
		# needed, and apt-helper checks it against the Sources record's hash.
		apt_retry "downloading $ORIG_NAME" /usr/lib/apt/apt-helper "${opts[@]}" \
			download-file "$ORIG_URI" "$tmp/$ORIG_NAME" "$ORIG_HASH" ||
			die "downloading $ORIG_NAME failed: $(apt_failures "$APT_OUT"), see $APT_LOG"
		touch "$tmp/complete"
		# Only the current version's tarball is kept.
		rm -rf "$CACHE"/qemu-src_*
		mv "$tmp" "$SRC_DIR"
	fi
	for pkg in "${TOOL_PKGS[@]}"; do
		[[ -f ${TOOL_DIR[$pkg]}/complete ]] && continue
		echo "qemu build: fetching $pkg ${TOOL_VER[$pkg]}"
		tmp=$CACHE/.fetch.$pkg
		private_apt_download "$tmp" "$pkg=${TOOL_VER[$pkg]}"
		dpkg-deb -x "$tmp"/*.deb "$tmp/root" || die "unpacking $pkg failed"
		touch "$tmp/complete"
		rm -rf "${TOOL_DIR[$pkg]}"
		mkdir -p "$CACHE/debs"
		mv "$tmp" "${TOOL_DIR[$pkg]}"
	done
	exec 9>&-
}

mapfile -t opts < <(private_apt_opts)
if [[ $FETCH_ONLY == 1 ]]; then
	fetch
	exit 0
fi

# Only one build at a time in OUTDIR (the cache's lock may be root's).
exec 8>"$OUTDIR/.qemu-build.lock"
flock -n 8 || {
	echo "qemu build: waiting for the other build in $OUTDIR"
	flock 8
}

if ! (cached) >/dev/null 2>&1; then
	command -v apt-get >/dev/null || die "apt-get not found: this build needs Debian's packages"
	# A cache of one's own needs no root.
	[[ -e $CACHE ]] || mkdir -p "$CACHE" 2>/dev/null || true
	[[ -e $APT_DIR ]] || mkdir -p "$APT_DIR" 2>/dev/null || true
	if [[ $(id -u) -eq 0 || ( -O $CACHE && -O $APT_DIR ) ]]; then
		fetch
	elif command -v sudo >/dev/null; then
		echo "qemu build: fetching into $CACHE needs root, asking sudo"
		sudo env "DCP_APT_DIR=$APT_DIR" "DCP_APT_MIRROR=$APT_MIRROR" \
			"DCP_APT_SECURITY_MIRROR=$APT_SECURITY_MIRROR" "DCP_APT_KEYRING=$APT_KEYRING" \
			"DCP_APT_UPDATE=${DCP_APT_UPDATE:-0}" \
			bash "$HERE/build.sh" --fetch "$CACHE" ||
			die "fetching into $CACHE under sudo failed (its log: $WORK/apt.log)"
	else
		die "fetching into $CACHE needs root: run this once as root," \
			"or set DCP_CACHE (or DCP_VM_CACHE and DCP_APT_DIR) to folders of your own"
	fi
fi
resolve

# --- what to build ----------------------------------------------------------

# The build packages first: the compiler's version counts in the settings
# below, and a fresh machine lacks it.
bash "$HERE/../apt/install.sh" "${DEPS[@]}" >"$OUTDIR/install.log" 2>&1 || {
	tail -n 30 "$OUTDIR/install.log" >&2
	die "installing the build packages (${DEPS[*]}) failed (it needs root or sudo), see $OUTDIR/install.log"
}

[[ -d $PATCHES || -z ${DCP_QEMU_PATCHES:-} ]] || die "no patch folder $PATCHES"
shopt -s nullglob
SERIES=()
for p in "$PATCHES"/*.patch; do
	[[ ${p##*/} == 0000-cover-letter.patch ]] || SERIES+=("$p")
done
shopt -u nullglob
series_hash=$(for p in "${SERIES[@]}"; do
	echo "${p##*/} $(sha256sum <"$p" | cut -c1-64)"
done | sha256sum | cut -c1-16)
settings_hash=$({
	printf '%s\n' "${CONFIGURE[@]}"
	device_config
	for pkg in "${TOOL_PKGS[@]}"; do echo "$pkg ${TOOL_VER[$pkg]}"; done
	{ "$CC" --version 2>/dev/null || echo "no $CC"; } | sed -n 1p
} | sha256sum | cut -c1-16)
count="${#SERIES[@]} patches"
[[ ${#SERIES[@]} -ne 1 ]] || count="1 patch"
STAMP=$OUTDIR/stamp
key="qemu $QEMU_VER
series of $count $series_hash
settings $settings_hash"
what="qemu $QEMU_VER, $count ($series_hash), settings $settings_hash"

# The stamp's last line names the installed files.
up_to_date() {
	local f files
	[[ -f $STAMP && $(head -n 3 "$STAMP") == "$key" ]] || return 1
	read -ra files < <(sed -n '4s/^installed //p' "$STAMP")
	for f in "${files[@]}"; do
		[[ -x $OUTDIR/$f ]] || return 1
	done
	[[ -x $OUTDIR/$PRODUCT ]]
}

if up_to_date; then
	echo "qemu build: up to date in $OUTDIR ($what), $((SECONDS - T0)) s"
	exit 0
fi

# --- build ------------------------------------------------------------------

LOG=$OUTDIR/build.log
SRC=$OUTDIR/src
BUILD=$OUTDIR/build
echo "qemu build: building $what in $OUTDIR, log $LOG"
rm -rf "$SRC" "$BUILD" "$STAMP" "$OUTDIR/${PRODUCT:?}" "$OUTDIR/imx_dcp-test"
: >"$LOG"

fail() {
	tail -n 30 "$LOG" >&2
	die "$*, see $LOG"
}

mkdir -p "$SRC" "$BUILD"
# roms/ holds the firmware sources (270 MB) that only other targets build.
tar -xJf "$SRC_DIR/$ORIG_NAME" -C "$SRC" --strip-components=1 --exclude='*/roms/*' ||
	die "unpacking $ORIG_NAME failed"

for p in "${SERIES[@]}"; do
	echo "== ${p##*/}" >>"$LOG"
	# No fuzz: a patch applies as git am would apply it, or not at all.
	patch -d "$SRC" -p1 --forward --batch --fuzz=0 --no-backup-if-mismatch \
		-i "$p" >>"$LOG" 2>&1 ||
		fail "patch ${p##*/} does not apply to qemu $QEMU_VER"
done

# The orig tarball has no prebuilt firmware: no EDK2 images, which meson
# wants as soon as bzip2 is there, and no .dtb files, which meson wants
# without dtc. arm-softmmu loads neither, so empty files stand in.
# stand_ins FILE LIST SUFFIX: writes the files of the meson list LIST in FILE.
stand_ins() {
	local f names
	names=$(awk -v list="$2" '$1 == list && $2 == "=" && $3 == "[" { s = 1; next }
		s && /\]/ { exit } s' "$1" | tr -d "', ")
	[[ -n $names ]] || die "no $2 list in ${1#"$SRC/"}"
	for f in $names; do
		f=${1%/*}/$f$3
		[[ ! -f $f ]] || continue
		if [[ $3 == .bz2 ]]; then bzip2 -c </dev/null >"$f"; else : >"$f"; fi
	done
}
stand_ins "$SRC/pc-bios/meson.build" fds .bz2
stand_ins "$SRC/pc-bios/dtb/meson.build" dtbs ''

devcfg=$SRC/configs/devices/arm-softmmu/$DEVICES.mak
[[ ! -e $devcfg ]] || die "the series has its own ${devcfg#"$SRC/"}: this script writes that file"
device_config >"$devcfg"

# meson and pycotap from their unpacked packages, for configure and for
# ninja's own meson runs; nothing else (a caller's PYTHONPATH may be another
# Python's).
tools_path=
tools_py=()
for pkg in "${TOOL_PKGS[@]}"; do
	tools_path+=${TOOL_DIR[$pkg]}/root/usr/bin:
	tools_py+=("${TOOL_DIR[$pkg]}/root/usr/lib/python3/dist-packages")
done
PYTHONPATH=$(IFS=:; echo "${tools_py[*]}")
export PATH=$tools_path$PATH PYTHONPATH

t=$SECONDS
(cd "$BUILD" && "$SRC/configure" "${CONFIGURE[@]}") </dev/null >>"$LOG" 2>&1 ||
	fail "configure failed"
echo "qemu build: configure took $((SECONDS - t)) s"

targets=("$PRODUCT")
# grep reads the whole list: -q would stop ninja early with SIGPIPE.
if [[ -n $QTEST ]] && ninja -C "$BUILD" -t targets all 2>>"$LOG" | grep "^$QTEST:" >/dev/null; then
	targets+=("$QTEST")
fi
t=$SECONDS
ninja -C "$BUILD" -j"$(nproc)" "${targets[@]}" </dev/null >>"$LOG" 2>&1 ||
	fail "ninja ${targets[*]} failed"
echo "qemu build: ninja ${targets[*]} took $((SECONDS - t)) s"

installed=()
for f in "${targets[@]}"; do
	cp "$BUILD/$f" "$OUTDIR/" || die "installing $f failed"
	installed+=("${f##*/}")
done
printf '%s\ninstalled %s\n' "$key" "${installed[*]}" >"$STAMP"
echo "qemu build: installed ${installed[*]} in $OUTDIR, $((SECONDS - T0)) s in all"
