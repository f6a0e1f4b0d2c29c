# shellcheck shell=sh
# SPDX-FileCopyrightText: 2026 dcp-sealkey developers
# SPDX-License-Identifier: MIT
# /kinds: the functions that the kinds of case of kinds.py call, each
# case run as case $N.
# Seal: seal RUN, RUN the way the key in /tmp/key.$N reaches the tool.
seal() {
	before=$(setkeys)
	"$1" >"/tmp/out.$N" 2>"/tmp/err.$N"
	sealed $? "$before" "$(setkeys)"
}
# sealed RC BEFORE AFTER: the record of a run that gave exit status RC, with
# the DCP's count of setkeys before and after it.
sealed() {
	write_record "$N" rc="$1" before="$2" after="$3" key="$(hex "/tmp/key.$N")" \
		out="@/tmp/out.$N" err="@/tmp/err.$N"
}
setkeys() { if [ -r "$DCP_SETKEYS" ]; then cat "$DCP_SETKEYS"; else echo -; fi; }
from_file() { dcp-sealkey <"/tmp/key.$N"; }
as_nobody() { afalg nobody dcp-sealkey <"/tmp/key.$N"; }
# A pipe that delivers the key in three writes with pauses between them.
in_pieces() {
	{
		head -c 3 "/tmp/key.$N"
		sleep 1
		head -c 7 "/tmp/key.$N" | tail -c 4
		sleep 1
		tail -c +8 "/tmp/key.$N"
	} | dcp-sealkey
}
by_recipe() {
	rm -rf /tmp/sealing && mkdir /tmp/sealing && cp "/tmp/key.$N" /tmp/sealing/key.bin &&
		(cd /tmp/sealing && sh -e /recipes/sealing >/dev/null) && cat /tmp/sealing/key.blob
}
# Run at once: start_seal BYTES, a run on a new key of BYTES bytes in the
# background; record_seal once it ended, without the count the runs share.
start_seal() {
	head -c "$1" /dev/urandom >"/tmp/key.$N"
	(from_file >"/tmp/out.$N" 2>"/tmp/err.$N"; echo $? >"/tmp/rc.$N") &
}
record_seal() { sealed "$(cat "/tmp/rc.$N")" - -; }
# Trust: trust PAYLOAD, a trusted key added with keyctl.
trust() {
	keyctl add trusted "t_$N" "$1" @u >/dev/null 2>"/tmp/kerr.$N"
	trusted "t_$N" $?
}
# trusted KEY RC: adding trusted key KEY gave exit status RC, its errors in /tmp/kerr.$N.
trusted() {
	: >/tmp/tblob
	: >/tmp/enc
	if [ "$2" -eq 0 ]; then
		keyctl pipe "%trusted:$1" >/tmp/tblob 2>>"/tmp/kerr.$N"
		keyctl add encrypted "e_$N" "new trusted:$1 32" @u >/dev/null 2>>"/tmp/kerr.$N" &&
			keyctl pipe "%encrypted:e_$N" >/tmp/enc 2>>"/tmp/kerr.$N" &&
			keyctl unlink "%encrypted:e_$N" @u >/dev/null 2>>"/tmp/kerr.$N"
		keyctl unlink "%trusted:$1" @u >/dev/null 2>>"/tmp/kerr.$N"
	fi
	dmesg -c >/tmp/dmesg
	write_record "$N" rc="$2" blob=@/tmp/tblob enc=@/tmp/enc err="@/tmp/kerr.$N" dmesg=@/tmp/dmesg
}
# flip DIGIT FILE: the blob in FILE with hex digit DIGIT (from 0; from the
# end if negative) changed; cut_short FILE: the blob a byte short.
flip() {
	awk -v p="$1" '{ if (p < 0) p += length($0)
		c = substr($0, p + 1, 1)
		printf "%s%s%s", substr($0, 1, p), (c == "0" ? "1" : "0"), substr($0, p + 2) }' "$2"
}
cut_short() { awk '{ printf "%s", substr($0, 1, length($0) - 2) }' "$1"; }
# Run at once: start_trust FILE loads the blob in FILE in the background;
# record_trust once it ended.
start_trust() {
	(keyctl add trusted "t_$N" "load $(cat "$1")" @u >/dev/null 2>"/tmp/kerr.$N"; echo $? >"/tmp/rc.$N") &
}
record_trust() { trusted "t_$N" "$(cat "/tmp/rc.$N")"; }
# Board: board WHO, the board check as written, run by WHO ("" or "afalg nobody").
board() {
	rm -rf /tmp/board && mkdir -m 777 /tmp/board
	(cd /tmp/board && $1 sh /recipes/board) >/tmp/bout 2>&1
	write_record "$N" out=@/tmp/bout
}
# Using: using KEY RECIPE, the recipe's three blocks over a RAM disk, KEY
# (TYPE NAME) the key that they add.
using() {
	rm -rf /tmp/using && mkdir /tmp/using
	export DISK=/dev/ram0
	head -c 65536 /dev/urandom >/tmp/data
	: >/tmp/uout
	steps=
	block() { (cd /tmp/using && sh -e "/recipes/$2.$1") >>/tmp/uout 2>&1; }
	# shellcheck disable=SC2086 # $1 is TYPE NAME
	block 1 "$2" && steps=sealed &&
		block 2 "$2" && steps="$steps,opened" &&
		dd if=/tmp/data of=/dev/mapper/secret bs=4096 conv=fsync 2>>/tmp/uout &&
		steps="$steps,written" &&
		block 3 "$2" && steps="$steps,closed" &&
		! keyctl search @u $1 >/dev/null 2>&1 && steps="$steps,unlinked" &&
		block 2 "$2" && steps="$steps,reopened" &&
		head -c 65536 /dev/mapper/secret >/tmp/back && steps="$steps,read" &&
		block 3 "$2" && steps="$steps,closed"
	head -c 65536 "$DISK" >/tmp/raw
	write_record "$N" steps="$steps" same="$(cmp -s /tmp/data /tmp/back && echo yes)" \
		raw_is_data="$(cmp -s /tmp/data /tmp/raw && echo yes)" out=@/tmp/uout
}
# SelfTests: the self-test result of each of the DCP driver's algorithms,
# and what the kernel logged of them.
selftests() {
	awk -v RS= '/driver *: [a-z0-9-]*-dcp\n/' /proc/crypto |
		awk '/^driver/ { d = $3 } /^selftest/ { printf "%s:%s,", d, $3 }' >/tmp/algs
	dmesg | grep -e 'alg: ' -e 'WARNING' >/tmp/algerr
	write_record "$N" algs=@/tmp/algs dmesg=@/tmp/algerr
}
# Algorithm: algorithm DRIVER, as /proc/crypto shows it.
algorithm() {
	grep -A6 "$1" /proc/crypto >/tmp/alg
	write_record "$N" driver="$(grep -c "$1" /tmp/alg)" priority="$(sed -n 's/^priority *: //p' /tmp/alg)" \
		selftest="$(sed -n 's/^selftest *: //p' /tmp/alg)"
}
# Rekey: afalg_runs WHO STEPS..., each STEPS one run of afalg on one
# handle, by WHO ("" or "afalg nobody").
afalg_runs() {
	who=$1
	shift
	for run; do
		# shellcheck disable=SC2086 # one word per step
		$who afalg $run
	done >/tmp/afalg 2>&1
	write_record "$N" out=@/tmp/afalg
}
