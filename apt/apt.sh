# SPDX-FileCopyrightText: 2026 dcp-sealkey developers
# SPDX-License-Identifier: MIT
# shellcheck shell=bash
# Sourced by the scripts that need Debian's packages: apt/install.sh (the
# host's own apt, for what must be installed) and everything that only
# downloads (the VM tests, qemu/build.sh, the Arm tests' sysroots of
# cmake/install-cross-deps.sh), which goes through the private
# configuration below and never through the host's lists.
# Needs die() defined; APT_LOG names the log (default: standard error).

APT_LOG=${APT_LOG:-/dev/stderr}
# shellcheck source-path=SCRIPTDIR source=cache.sh
source "$(dirname "${BASH_SOURCE[0]}")/cache.sh"
# Seconds between the tries of a failed update or download: three tries,
# a minute and a half in all, which outlasts a brief fault but not a mirror
# in mid-sync. DCP_APT_WAIT="0 0" makes a test of this quick.
read -ra APT_WAITS <<<"${DCP_APT_WAIT:-30 60}"

# apt_retry WHAT COMMAND...: runs an apt command until it succeeds or the
# tries are used up. A try fails on a non-zero exit or on any item that apt
# could not fetch (a suite it cannot reach is only a warning, exit 0). A
# Release file that apt refuses is not tried again: no wait changes it.
# Its output goes to APT_LOG, and the last try's to the file $APT_OUT, for
# the caller to read and remove.
apt_retry() {
	local what=$1 wait rc
	shift
	APT_OUT=$(mktemp)
	for wait in "${APT_WAITS[@]}" last; do
		rc=0
		"$@" </dev/null >"$APT_OUT" 2>&1 || rc=$?
		cat "$APT_OUT" >>"$APT_LOG"
		[[ $rc -ne 0 ]] || ! grep -q '^Err:' "$APT_OUT" || rc=100
		[[ $rc -ne 0 && $wait != last ]] || break
		apt_verdicts "$APT_OUT" | grep -qv '^refused' || break
		echo "apt: $what failed, trying again in $wait s: $(apt_failures "$APT_OUT")" >&2
		sleep "$wait"
	done
	return "$rc"
}

# What apt went without, from its output in file $1: one line "KIND<tab>
# WHAT (WHY)" for each index (suite/component architecture type), suite or
# address, KIND "refused" for a Release file that apt will not use (out of
# date, not yet valid, unsigned or badly signed, changed), "failed" for one
# it could not fetch; "error" and apt's words for any other error.
apt_verdicts() {
	awk -v OFS='\t' '
	function note(what, kind, why) {
		gsub(/  +/, " ", why)
		sub(/ \[IP: [^]]*\]$/, "", why)
		if (!(what in kinds)) order[n++] = what
		kinds[what] = kind
		whys[what] = why
	}
	function told(what, why) { return what in whys ? why ": " whys[what] : why }
	# "Err:N ADDRESS [SUITE[/COMPONENT ARCH TYPE]]", and below it, indented,
	# the reason.
	err != "" {
		why = $0
		sub(/^ */, "", why)
		note(err, "failed", /^  / ? why : "no reason given")
		err = ""
		if (/^  /) next
	}
	/^Err:/ {
		err = NF > 2 ? $3 : $2
		for (i = 4; i <= NF; i++) if ($i !~ /^(In)?Release$/) err = err " " $i
		next
	}
	/^E: Release file for / {
		what = $5
		sub(/\/[^\/]*$/, "", what)
		sub(/.*\/dists\//, "", what)
		why = $0
		sub(/^E: Release file for [^ ]* is /, "", why)
		sub(/\. Updates for this repository will not be applied\.$/, "", why)
		sub(/ \(/, ", ", why)
		sub(/\)$/, "", why)
		note(what, "refused", "Release file " why)
		next
	}
	/^E: The repository .* is not signed\.$/ { note($5, "refused", told($5, "not signed")); next }
	/^E: The repository .* (does not have|no longer has) a Release file\.$/ {
		note($5, "failed", told($5, "no Release file"))
		next
	}
	/^E: Repository .* changed its / {
		why = $0
		sub(/.* changed its /, "changed its ", why)
		note($4, "refused", why)
		next
	}
	# Told in the Err: lines already.
	/^[EW]: Failed to fetch / && n > 0 { next }
	/^[EW]: Failed to fetch / {
		why = $0
		sub(/^[EW]: Failed to fetch [^ ]* */, "", why)
		note($4, "failed", why)
		next
	}
	/^E: (Some index files failed to download|Download Failed)/ { next }
	/^E: / { note(substr($0, 4), "error", ""); next }
	/^W: / { warning = substr($0, 4) }
	END {
		if (err != "") note(err, "failed", "no reason given")
		if (n == 0) note(warning != "" ? warning : "apt printed no error", "error", "")
		for (i = 0; i < n; i++)
			print kinds[order[i]], order[i] (whys[order[i]] != "" ? " (" whys[order[i]] ")" : "")
	}' "$1"
}

# What failed, from apt's output in file $1, in one line.
apt_failures() {
	apt_verdicts "$1" | cut -f2- | paste -sd ';' | sed 's/;/; /g'
}

# The newest of the Debian versions on standard input, one a line.
newest_version() {
	local best='' v
	while read -r v; do
		[[ -n $best ]] && dpkg --compare-versions "$v" le "$best" || best=$v
	done
	echo "$best"
}

# --- the private configuration ---------------------------------------------
# Its own sources, lists, dpkg status and package cache under APT_DIR, for
# every architecture the tests run; the machine's own sources, preferences
# and dpkg state are never read or touched.

APT_DIR=${DCP_APT_DIR:-$DCP_CACHE/apt}
APT_MIRROR=${DCP_APT_MIRROR:-http://deb.debian.org/debian}
APT_SECURITY_MIRROR=${DCP_APT_SECURITY_MIRROR:-http://deb.debian.org/debian-security}
# The keys that sign both mirrors' suites.
APT_KEYRING=${DCP_APT_KEYRING:-/usr/share/keyrings/debian-archive-keyring.gpg}
# bookworm's suites serve every package; a newer suite only what they lack
# (the sources of the newest 6.12, in trixie-security, and of Linux 7.x), so
# it ranks below them and lists amd64 alone, whose index holds the
# architecture-independent packages too: four architectures of trixie would
# double the lists and every look-up.
APT_SUITES=(bookworm bookworm-updates bookworm-security bookworm-backports)
APT_NEWER_SUITES=(trixie-security trixie-backports)
# Source packages: only QEMU's, from sid, the one suite whose index still
# lists the version that qemu/build.sh pins. No binary comes from sid, and
# it ranks below every other suite.
APT_SOURCE_SUITE=sid
# A partial update (an index failed every try) serves for an hour, so that
# one run of the tests tries the mirror once, not at every look-up.
APT_PARTIAL_MINUTES=60

# Whatever the machine's apt.conf.d says (some images turn the date checks
# off), a suite whose Release file is out of date, not yet valid or not
# signed by APT_KEYRING is refused, as on a stock Debian.
private_apt_opts() {
	printf '%s\n' -q -o "Dir::Etc::SourceList=$APT_DIR/sources.list" \
		-o "Dir::Etc::SourceParts=$APT_DIR/empty" \
		-o "Dir::Etc::PreferencesParts=$APT_DIR/empty" \
		-o "Dir::Etc::Preferences=$APT_DIR/preferences" \
		-o "Dir::State=$APT_DIR/state" -o "Dir::State::status=$APT_DIR/status" \
		-o "Dir::Cache=$APT_DIR/cache" -o APT::Sandbox::User=root \
		-o "Dir::Cache::pkgcache=$APT_DIR/cache/pkgcache.bin" \
		-o "Dir::Cache::srcpkgcache=$APT_DIR/cache/srcpkgcache.bin" \
		-o Acquire::Languages=none -o APT::Architecture=amd64 \
		-o Acquire::Check-Valid-Until=true -o Acquire::Check-Date=true \
		-o Acquire::AllowInsecureRepositories=false -o APT::Get::AllowUnauthenticated=false \
		-o Acquire::AllowDowngradeToInsecureRepositories=false \
		-o APT::Architectures::=amd64 -o APT::Architectures::=arm64 \
		-o APT::Architectures::=armhf -o APT::Architectures::=armel
}

private_apt_sources() {
	local suite mirror key=$APT_KEYRING
	for suite in "${APT_SUITES[@]}" "${APT_NEWER_SUITES[@]}"; do
		mirror=$APT_MIRROR
		[[ $suite != *-security ]] || mirror=$APT_SECURITY_MIRROR
		if [[ " ${APT_NEWER_SUITES[*]} " == *" $suite "* ]]; then
			echo "deb [signed-by=$key arch=amd64] $mirror $suite main"
		else
			echo "deb [signed-by=$key] $mirror $suite main"
		fi
	done
	# qemu/build.sh takes only QEMU's orig tarball from here and checks it
	# against its pinned SHA-256, which stands in for the Release file's
	# date: a snapshot mirror, or sid's own index gone stale, still serves.
	echo "deb-src [signed-by=$key check-valid-until=no] $APT_MIRROR $APT_SOURCE_SUITE main"
}

# The newer suites rank below bookworm's (500, backports 100): a package
# that both offer keeps bookworm's candidate.
private_apt_preferences() {
	local suite
	for suite in "${APT_NEWER_SUITES[@]}"; do
		printf 'Package: *\nPin: release n=%s\nPin-Priority: 50\n\n' "$suite"
	done
	printf 'Package: *\nPin: release n=%s\nPin-Priority: 1\n\n' "$APT_SOURCE_SUITE"
}

# True when the lists were fetched for the sources and preferences above,
# whole, or partly within the last APT_PARTIAL_MINUTES.
private_apt_current() {
	[[ -f $APT_DIR/updated && ${DCP_APT_UPDATE:-0} != 1 ]] &&
		[[ ! -s $APT_DIR/updated ||
			-n $(find "$APT_DIR/updated" -mmin -"$APT_PARTIAL_MINUTES") ]] &&
		[[ $(cat "$APT_DIR/sources.list" 2>/dev/null) == "$(private_apt_sources)" ]] &&
		[[ $(cat "$APT_DIR/preferences" 2>/dev/null) == "$(private_apt_preferences)" ]]
}

# Fetches the lists unless they are current (DCP_APT_UPDATE=1: always).
# When an index fails every try, or apt refuses a suite's Release file,
# goes on with the others and says so.
# SUITE...: newer suites that the caller needs besides those above (a VM
# machine's kernel names its suite); once listed, a suite stays listed
# ($APT_DIR/suites), so that no caller's update undoes another's.
# shellcheck disable=SC2120 # the suites are optional
private_apt_update() {
	local opts suite
	for suite in $(cat "$APT_DIR/suites" 2>/dev/null) "$@"; do
		[[ " ${APT_SUITES[*]} ${APT_NEWER_SUITES[*]} " == *" $suite "* ]] || APT_NEWER_SUITES+=("$suite")
	done
	# Warm, nothing is written: a user who is not root may read the lists.
	private_apt_current && return 0
	mkdir -p "$APT_DIR"/{empty,state/lists/partial,cache/archives/partial}
	exec 7>"$APT_DIR/.lock"
	flock 7
	if ! private_apt_current; then
		# Marked stale first: an update cut short is done again next time.
		rm -f "$APT_DIR/updated"
		: >"$APT_DIR/status"
		private_apt_sources >"$APT_DIR/sources.list"
		printf '%s\n' "${APT_NEWER_SUITES[@]}" >"$APT_DIR/suites"
		private_apt_preferences >"$APT_DIR/preferences"
		mapfile -t opts < <(private_apt_opts)
		if apt_retry "apt-get update (private configuration)" apt-get "${opts[@]}" update; then
			: >"$APT_DIR/updated"
		elif compgen -G "$APT_DIR/state/lists/*_Packages*" >/dev/null &&
			! apt_verdicts "$APT_OUT" | grep -q '^error'; then
			apt_failures "$APT_OUT" >"$APT_DIR/updated"
			# apt keeps a suite's lists whole or not at all, and those of a
			# suite it refuses as they were.
			echo "apt: the private configuration goes on without the suites of $(cat "$APT_DIR/updated")" >&2
		else
			die "apt-get update of the private configuration failed: $(apt_failures "$APT_OUT")"
		fi
		rm -f "$APT_OUT"
	fi
	exec 7>&-
}

# What a look-up that finds nothing should blame, besides the package.
private_apt_missing() {
	[[ -s $APT_DIR/updated ]] && echo " (the update went without $(cat "$APT_DIR/updated"))"
}

# Version of package $1 (name or name:arch): with $2 a suite, the candidate
# from that suite; with $2 "newest", the newest of every suite; else the
# candidate.
private_apt_version() {
	local opts v
	mapfile -t opts < <(private_apt_opts)
	if [[ ${2:-} == newest ]]; then
		v=$(apt-cache "${opts[@]}" madison "$1" 2>/dev/null | awk '/Packages$/ { print $3 }' |
			newest_version)
	else
		[[ -z ${2:-} ]] || opts+=(-o "APT::Default-Release=$2")
		v=$(apt-cache "${opts[@]}" policy "$1" 2>/dev/null | sed -n 's/^ *Candidate: //p' | head -n 1)
	fi
	[[ -n $v && $v != "(none)" ]] ||
		die "package $1 not found through the private apt configuration$(private_apt_missing)"
	echo "$v"
}

# Downloads the packages $2... (name=version) into folder $1, made afresh.
private_apt_download() {
	local dest=$1 opts
	shift
	mapfile -t opts < <(private_apt_opts)
	rm -rf "$dest"
	mkdir -p "$dest"
	apt_retry "apt-get download $*" env -C "$dest" apt-get "${opts[@]}" download "$@" ||
		die "apt-get download $* failed: $(apt_failures "$APT_OUT")$(private_apt_missing)"
	rm -f "$APT_OUT"
}

# apt-cache through the private configuration (depends, policy, show ...).
private_apt_cache() {
	local opts
	mapfile -t opts < <(private_apt_opts)
	apt-cache "${opts[@]}" "$@"
}
