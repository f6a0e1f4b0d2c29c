# shellcheck shell=sh
# SPDX-FileCopyrightText: 2026 dcp-sealkey developers
# SPDX-License-Identifier: MIT
# /library: the functions every boot has. What they need to know of the
# machine is in /setup.
hex() { hexdump -v -e '/1 "%02x"' "$@"; }
# write_record ID FIELD=WORD|FIELD=@FILE...: one record for the host, a
# line "@@ ID FIELD:WORD FIELD=HEX ...", HEX the file's bytes (guest.py).
write_record() {
	line="@@ $1"
	shift
	for field; do
		case $field in
		*=@*) line="$line ${field%%=*}=$(hex "${field#*=@}" 2>/dev/null)" ;;
		*) line="$line ${field%%=*}:${field#*=}" ;;
		esac
	done
	echo "$line"
}
fatal() {
	echo "$*" >/tmp/fatal
	write_record fatal what=@/tmp/fatal
	reboot -f
}
insmods() { for m; do insmod "/mod/$m.ko" || fatal "insmod $m"; done; }
rmmods() { for m; do rmmod "$m" || fatal "rmmod $m"; done; }
# waiting TENTHS COMMAND...: while COMMAND succeeds, TENTHS tenths of a
# second at most.
waiting() {
	i=0
	n=$1
	shift
	while "$@" && [ $i -lt "$n" ]; do
		usleep 100000
		i=$((i + 1))
	done
}
# Waits until the self-tests of newly registered algorithms end.
settle() { waiting 300 grep -q '^type *: larval' /proc/crypto; }
# dcp_up [MODULE [ARGS]]: the DCP driver, by default the null-key one on
# this boot's keys; dcp_down unloads it.
dcp_up() {
	# shellcheck disable=SC2086 # one word per argument
	insmod "/mod/${1:-$DCP_NULL_KEY}.ko" ${2-$DCP_ARGS} || fatal "insmod ${1:-$DCP_NULL_KEY}"
	settle
}
dcp_down() { ! grep -q "^$DCP_LOADED " /proc/modules || rmmods "$DCP_LOADED"; }
trusted_up() {
	insmod /mod/trusted.ko source=dcp "$@" || fatal "insmod trusted source=dcp $*"
	insmods encrypted-keys
	dmesg -c >/dev/null
}
