#!/bin/bash
# SPDX-FileCopyrightText: 2026 dcp-sealkey developers
# SPDX-License-Identifier: MIT
# Installs on the host, through its own apt, what building the tool and its
# host tests needs on Debian 12, and the packages named as arguments (name
# or name:arch); only what is missing, asking nothing.
#
# A mirror in mid-sync can fail an index for hours. The update is tried
# three times (once where apt only refuses a suite's Release file: out of
# date, not yet valid, not signed); then the lists there are serve (for an
# hour, so that later installs of the same run do not wait again). With an
# index missing, a Multi-Arch: same package (libssl3, libc6 ...) may have
# different candidates per architecture, which apt refuses to install side
# by side: then every such package is held, for this install only, at the
# newest version that all its architectures offer, and the script says so.
# A plan that would move an installed package down is never carried out.
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
die() {
	echo "install: $*" >&2
	exit 1
}
# shellcheck source=apt.sh
source "$HERE/apt.sh"
# Each try's output is summed up in one line; the rest is apt's noise.
APT_LOG=${DCP_APT_LOG:-/dev/null}

# Also what the tests run themselves, which a minimal Debian lacks: Debian's
# python3 (the VM tests' harness) and git (the tree is copied as git lists it).
packages=(cmake g++ make pkgconf libkcapi-dev libssl-dev libgtest-dev python3 git "$@")
missing=()
for p in "${packages[@]}"; do
	dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done
[[ ${#missing[@]} -gt 0 ]] || exit 0
sudo=()
[[ $(id -u) -eq 0 ]] || sudo=(sudo)
export DEBIAN_FRONTEND=noninteractive
apt_opts=(-o DPkg::Lock::Timeout=900 -q)
native=$(dpkg --print-architecture)
# Where a partial update is remembered: not in the machine's apt state.
partial=$DCP_CACHE/host-apt-partial

# A stamp of the same sources and architectures: anything added since
# needs its lists.
list='' parts=''
eval "$(apt-config shell list Dir::Etc::sourcelist/f parts Dir::Etc::sourceparts/d)"
archs="sources: $({ dpkg --print-architecture; dpkg --print-foreign-architectures
	cat "$list" "$parts"/*.list "$parts"/*.sources || true; } 2>/dev/null | sha256sum | cut -c1-16)"
failed=
if [[ -f $partial && $(head -n 1 "$partial") == "$archs" &&
	-n $(find "$partial" -mmin -"$APT_PARTIAL_MINUTES") ]]; then
	failed=$(sed -n 2p "$partial")
	echo "install: using the lists of $(date -r "$partial" +%H:%M), fetched without $failed" >&2
elif apt_retry "apt-get update" "${sudo[@]}" apt-get "${apt_opts[@]}" update; then
	"${sudo[@]}" rm -f "$partial"
else
	failed=$(apt_failures "$APT_OUT")
	compgen -G "/var/lib/apt/lists/*_Packages*" >/dev/null ||
		die "apt-get update failed and there are no lists: $failed"
	echo "install: apt-get update failed, going on without $failed" >&2
	"${sudo[@]}" mkdir -p "${partial%/*}"
	printf '%s\n' "$archs" "$failed" | "${sudo[@]}" tee "$partial" >/dev/null
fi

install=(apt-get "${apt_opts[@]}" install -y --no-install-recommends --no-remove "${missing[@]}")
pins=$(mktemp)
trap 'rm -f "$pins" "${APT_OUT:-}"' EXIT

# Whether apt can install the packages, pinned by $pins; apt's words in $plan.
# Downgrades pass in the simulation alone, so that they show and are refused
# below with their versions; the real install never allows them.
plan() {
	plan=$("${install[@]}" -s --allow-downgrades -o "Dir::Etc::Preferences=$pins" 2>&1)
}

# apt-cache policy for each name:arch given, as "name:arch FIELD VALUE"
# lines: its candidate ("candidate"), and each version of its table, the
# installed one included ("offers").
policy() {
	apt-cache policy "$@" 2>/dev/null | awk -v native="$native" '
		/^[^ ]/ { pkg = $1; sub(/:$/, "", pkg); if (pkg !~ /:/) pkg = pkg ":" native }
		/^ *Candidate: / { print pkg, "candidate", $2 }
		/^ (\*\*\*|   ) [^ ]+ -?[0-9]+$/ { print pkg, "offers", $(NF - 1) }'
}

# The Multi-Arch: same packages that may meet on several architectures (in
# the dependencies of what is to be installed, or installed already) and
# whose candidates differ: one line of their name:arch each.
held() {
	local -a multi same
	mapfile -t multi < <({
		apt-cache depends --recurse --no-recommends --no-suggests --no-conflicts \
			--no-breaks --no-replaces --no-enhances "${missing[@]}" 2>/dev/null | grep -v '^[ <]'
		dpkg-query -W -f='${Package}:${Architecture}\n'
	} | awk -v native="$native" -F: '
		{ arch = $2 == "" ? native : $2 }
		arch != "all" && !seen[$1 ":" arch]++ { archs[$1] = archs[$1] " " $1 ":" arch; n[$1]++ }
		END { for (p in n) if (n[p] > 1) print substr(archs[p], 2) }')
	[[ ${#multi[@]} -gt 0 ]] || return 0
	# shellcheck disable=SC2046 # one word per package
	mapfile -t same < <(apt-cache show --no-all-versions $(printf '%s\n' "${multi[@]}" |
		cut -d' ' -f1) 2>/dev/null | awk '/^Package: / { p = $2 } /^Multi-Arch: same$/ { print p }')
	# shellcheck disable=SC2046
	policy $(printf '%s\n' "${multi[@]}") | awk -v same=" ${same[*]} " '
		$2 == "candidate" { n = $1; sub(/:.*/, "", n); a[n] = a[n] " " $1
			if (index(same, " " n " ") && !seen[n " " $3]++) versions[n]++ }
		END { for (n in versions) if (versions[n] > 1) print substr(a[n], 2) }'
}

# hold NAME...: holds each package of $candidates that is named, at the
# newest version that all its architectures offer, in the per-run
# preferences file. Prints "held NAME VERSION CANDIDATES", or "no-common
# NAME: WHAT EACH ARCHITECTURE OFFERS".
hold() {
	local archs name best
	while read -ra archs; do
		name=${archs[0]%%:*}
		[[ " $* " == *" $name "* ]] || continue
		best=$(policy "${archs[@]}" | awk -v n="${#archs[@]}" '
			$2 == "offers" && !seen[$1 " " $3]++ { count[$3]++ }
			END { for (v in count) if (count[v] == n) print v }' | newest_version)
		if [[ -z $best ]]; then
			echo "no-common $name: $(policy "${archs[@]}" | awk '$2 == "offers" {
				a = $1; sub(/.*:/, "", a); v[a] = v[a] " " $3 }
				END { for (a in v) printf "%s%s offers%s", sep++ ? "; " : "", a, v[a] }')"
			continue
		fi
		printf 'Package: %s:any\nPin: version %s\nPin-Priority: 1001\n\n' "$name" "$best" >>"$pins"
		echo "held $name $best $(policy "${archs[@]}" | awk '$2 == "candidate" {
			a = $1; sub(/.*:/, "", a); printf "%s%s %s", sep, a, $3; sep = ", " }')"
	done <<<"$candidates"
}

# The installed packages that the plan would move down, as
# "NAME INSTALLED -> PLANNED".
downgrades() {
	local name from to
	sed -n 's/^Inst \([^ ]*\) \[\([^]]*\)\] (\([^ ]*\) .*/\1 \2 \3/p' <<<"$plan" |
		while read -r name from to; do
			! dpkg --compare-versions "$to" lt "$from" || echo "$name $from -> $to"
		done
}

# The package names in apt's account of unmet dependencies.
named() {
	sed -n '/unmet dependencies:/,$p' <<<"$plan" | tr -s ' ,()|' '\n' |
		sed -n 's/^\([a-z0-9][a-z0-9+.-]*\)\(:[a-z0-9]*\)\{0,1\}$/\1/p' | sort -u
}

held_line=
# The machine's own preferences file still applies: the pins come after it.
[[ ! -f /etc/apt/preferences ]] || cat /etc/apt/preferences >"$pins"
if ! plan; then
	# Only the packages that apt names are held, a few at a time, so that
	# nothing else moves: a held library holds back what needs it newer.
	candidates=$(held)
	chosen=
	for _ in 1 2 3 4 5; do
		# shellcheck disable=SC2046 # one word per name
		more=$(hold $(named | grep -vxF -f <(sed -n 's/^\(held\|no-common\) \([^ :]*\).*/\2/p' <<<"$chosen")))
		[[ -n $more ]] || break
		chosen+=$more$'\n'
		! plan || break
	done
	plan || {
		echo "$plan" >&2
		grep '^no-common' <<<"$chosen" | sed 's/^no-common /install: no version of /' >&2 || true
		die "apt cannot install ${missing[*]}"
	}
	held_line="install: ${failed:+the lists lack $failed; }Multi-Arch: same packages held at one version on every architecture: $(
		sed -n 's/^held \([^ ]*\) \([^ ]*\) \(.*\)/\1 \2 (candidates: \3)/p' <<<"$chosen" | paste -sd ';' | sed 's/;/; /g')"
fi
# Not even for a hold: a security update of the machine's own is not
# undone for the tests.
down=$(downgrades | paste -sd ',' | sed 's/,/, /g')
if [[ -n $down ]]; then
	why="Some architecture offers no version as new as the installed one: run this again once it does."
	[[ -z $failed ]] || why="The lists lack $failed: run this again once apt-get update fetches every index."
	die "not installing ${missing[*]}: that would move down $down; nothing was changed. $why"
fi
[[ -z $held_line ]] || echo "$held_line" >&2
"${sudo[@]}" "${install[@]}" -qq -o "Dir::Etc::Preferences=$pins"
