# shellcheck shell=sh
# SPDX-FileCopyrightText: 2026 dcp-sealkey developers
# SPDX-License-Identifier: MIT
# The SelfTests cases (kinds.py): the self-test result of each of the DCP
# driver's algorithms, and what the kernel logged of them.
selftests() {
	awk -v RS= '/driver *: [a-z0-9-]*-dcp\n/' /proc/crypto |
		awk '/^driver/ { d = $3 } /^selftest/ { printf "%s:%s,", d, $3 }' >/tmp/algs
	dmesg | grep -e 'alg: ' -e 'WARNING' >/tmp/algerr
	write_record "$N" algs=@/tmp/algs dmesg=@/tmp/algerr
}
