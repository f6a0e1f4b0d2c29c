# shellcheck shell=sh
# SPDX-FileCopyrightText: 2026 dcp-sealkey developers
# SPDX-License-Identifier: MIT
# The Rekey cases (kinds.py): afalg_runs WHO STEPS..., each STEPS one run
# of afalg on one handle, by WHO ("" or "afalg nobody").
afalg_runs() {
	who=$1
	shift
	: >/tmp/afalg
	for run; do
		# shellcheck disable=SC2086 # one word per step
		$who afalg $run >>/tmp/afalg 2>&1
	done
	write_record "$N" out=@/tmp/afalg
}
