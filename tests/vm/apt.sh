# SPDX-FileCopyrightText: 2026 dcp-sealkey developers
# SPDX-License-Identifier: MIT
# shellcheck shell=bash
# Sourced by the VM scripts: a private apt configuration under the VM cache
# that reaches bookworm, bookworm-backports and trixie-backports for every
# architecture the tests boot, without touching the machine's own sources
# or dpkg state. Its package cache is kept on disk (machines that turn the
# cache off would otherwise parse four architectures' lists at every
# look-up).
# Needs CACHE and WORK set, and die() defined.

APT_DIR=$CACHE/apt
APT_MIRROR=${DCP_VM_MIRROR:-http://deb.debian.org/debian}
# Every package comes from bookworm's suites; a newer suite serves only what
# they lack (a newer kernel's source). Nothing is installed from these lists,
# so trixie-backports needs no trixie beside it, whose lists would double the
# cache and the time of every look-up.
APT_SUITES=(bookworm bookworm-backports)
APT_NEWER_SUITES=(trixie-backports)

vm_apt_opts() {
	printf '%s\n' -q -o "Dir::Etc::SourceList=$APT_DIR/sources.list" \
		-o "Dir::Etc::SourceParts=$APT_DIR/empty" \
		-o "Dir::Etc::PreferencesParts=$APT_DIR/empty" \
		-o "Dir::Etc::Preferences=$APT_DIR/preferences" \
		-o "Dir::State=$APT_DIR/state" -o "Dir::State::status=$APT_DIR/status" \
		-o "Dir::Cache=$APT_DIR/cache" -o APT::Sandbox::User=root \
		-o "Dir::Cache::pkgcache=$APT_DIR/cache/pkgcache.bin" \
		-o "Dir::Cache::srcpkgcache=$APT_DIR/cache/srcpkgcache.bin" \
		-o Acquire::Languages=none -o APT::Architecture=amd64 \
		-o APT::Architectures::=amd64 -o APT::Architectures::=arm64 \
		-o APT::Architectures::=armhf -o APT::Architectures::=armel
}

# The sources the private configuration reaches: binaries, and the sources
# that qemu/build.sh builds from.
vm_apt_sources() {
	local suite
	for suite in "${APT_SUITES[@]}" "${APT_NEWER_SUITES[@]}"; do
		echo "deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $APT_MIRROR $suite main"
		echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $APT_MIRROR $suite main"
	done
}

# The newer suites rank below bookworm (500) and bookworm-backports (100):
# a package that both offer keeps bookworm's candidate.
vm_apt_preferences() {
	local suite
	for suite in "${APT_NEWER_SUITES[@]}"; do
		printf 'Package: *\nPin: release n=%s\nPin-Priority: 50\n\n' "$suite"
	done
}

# True when the lists are there and were fetched for the sources and
# preferences above (a cache made before a source was added is fetched
# again once).
vm_apt_current() {
	[[ -f $APT_DIR/updated && ${DCP_VM_APT_UPDATE:-0} != 1 ]] &&
		[[ $(cat "$APT_DIR/sources.list" 2>/dev/null) == "$(vm_apt_sources)" ]] &&
		[[ $(cat "$APT_DIR/preferences" 2>/dev/null) == "$(vm_apt_preferences)" ]]
}

# Lists are fetched once per cache; DCP_VM_APT_UPDATE=1 fetches them again.
vm_apt_update() {
	vm_apt_current && return 0
	mkdir -p "$APT_DIR"/{empty,state/lists/partial,cache/archives/partial}
	# Marked stale first: an update cut short is done again next time.
	rm -f "$APT_DIR/updated"
	: >"$APT_DIR/status"
	vm_apt_sources >"$APT_DIR/sources.list"
	vm_apt_preferences >"$APT_DIR/preferences"
	mapfile -t opts < <(vm_apt_opts)
	apt-get "${opts[@]}" update >>"$WORK/apt.log" 2>&1 ||
		die "apt-get update (private configuration) failed, see $WORK/apt.log"
	touch "$APT_DIR/updated"
}

# Candidate version of package $1 (name or name:arch); with $2, the
# candidate from that suite (e.g. bookworm-backports, which apt otherwise
# ranks below bookworm).
vm_apt_version() {
	local opts v
	mapfile -t opts < <(vm_apt_opts)
	[[ -z ${2:-} ]] || opts+=(-o "APT::Default-Release=$2")
	v=$(apt-cache "${opts[@]}" policy "$1" 2>/dev/null | sed -n 's/^ *Candidate: //p' | head -n 1)
	[[ -n $v && $v != "(none)" ]] || die "package $1 not found through the private apt configuration"
	echo "$v"
}

# Downloads the packages $2... into folder $1 (made afresh).
vm_apt_download() {
	local dest=$1 opts
	shift
	mapfile -t opts < <(vm_apt_opts)
	rm -rf "$dest"
	mkdir -p "$dest"
	(cd "$dest" && apt-get "${opts[@]}" download "$@" </dev/null) >>"$WORK/apt.log" 2>&1 ||
		die "apt-get download $* failed, see $WORK/apt.log"
}
