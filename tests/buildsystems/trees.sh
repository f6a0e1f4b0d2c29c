# SPDX-FileCopyrightText: 2026 dcp-sealkey developers
# SPDX-License-Identifier: MIT
# shellcheck shell=bash
# Sourced by the build systems' checks: top, the checkout; trees WHAT FILE... sets TREES to the first of
# $DCP_BUILDSYSTEMS, ../shared/buildsystems beside the checkout or its origin with every FILE, or skips WHAT.
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
trees() {
	local origin dir f
	origin=$(git -C "$top" remote get-url origin 2>/dev/null || true)
	for dir in ${DCP_BUILDSYSTEMS:+"$DCP_BUILDSYSTEMS"} "$top/../shared/buildsystems" \
		${origin:+"$origin/../shared/buildsystems"}; do
		for f in "${@:2}"; do [[ -f $dir/$f ]] || continue 2; done
		# shellcheck disable=SC2034 # for the script that sources this
		TREES=$(cd "$dir" && pwd)
		return 0
	done
	echo "$1: skipped: no ${*:2} here; set DCP_BUILDSYSTEMS to the folder that holds them"
	exit 77
}
