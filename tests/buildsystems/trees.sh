# SPDX-FileCopyrightText: 2026 dcp-sealkey developers
# SPDX-License-Identifier: MIT
# shellcheck shell=bash
# Sourced by the Buildroot and Yocto checks: finds the release tarballs of
# the build systems, or skips the check (exit 77) with one line that says
# what to set. Looks in $DCP_BUILDSYSTEMS, then beside the checkout
# (../shared/buildsystems), then beside the checkout it was cloned from.

# trees WHAT FILE...: sets TREES to the folder holding every FILE.
trees() {
	local what=$1 top origin dir f
	shift
	top=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
	origin=$(git -C "$top" remote get-url origin 2>/dev/null || true)
	for dir in ${DCP_BUILDSYSTEMS:+"$DCP_BUILDSYSTEMS"} "$top/../shared/buildsystems" \
		${origin:+"$origin/../shared/buildsystems"}; do
		for f; do [[ -f $dir/$f ]] || continue 2; done
		# shellcheck disable=SC2034 # for the script that sources this
		TREES=$(cd "$dir" && pwd)
		return 0
	done
	echo "$what: skipped: no $* here; set DCP_BUILDSYSTEMS to the folder that holds them"
	exit 77
}
