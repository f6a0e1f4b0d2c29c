# shellcheck shell=sh
# SPDX-FileCopyrightText: 2026 dcp-sealkey developers
# SPDX-License-Identifier: MIT
# The Algorithm cases (kinds.py): algorithm DRIVER as /proc/crypto shows it.
algorithm() {
	grep -A6 "$1" /proc/crypto >/tmp/alg
	write_record "$N" driver="$(grep -c "$1" /tmp/alg)" \
		priority="$(sed -n 's/^priority *: //p' /tmp/alg)" \
		selftest="$(sed -n 's/^selftest *: //p' /tmp/alg)"
}
