#!/bin/sh
# SPDX-FileCopyrightText: 2026 dcp-sealkey developers
# SPDX-License-Identifier: MIT
# /init of the test VM (busybox sh as PID 1): the functions the cases'
# actions use, then the boot's /cases (written by the host from cases.py)
# once per userland, with /u/ARCH/bin first on PATH. Every result is one
# "@@ KIND name=ARCH.CASE k=v ..." line on the console; the host judges
# them. /setup, also the host's, names the DCP's modules (NULLKEY, STOCK),
# the cryptomgr parameter of the extended self-tests (SLOWTESTS) and the
# userlands. Ends the VM itself: reboot ends QEMU (-no-reboot), a dying init
# panics, and the host runs QEMU with panic=-1, so nothing hangs.

export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
# The initramfs has no /dev/console node, so init starts without streams.
exec </dev/console >/dev/console 2>&1
mkdir -p /tmp && mount -t tmpfs tmp /tmp

COUNTER=/sys/module/dcp_nullkey/parameters/zero_length_setkeys
. /setup

say() { echo "@@ $*"; }
fatal() { say "fatal $*"; reboot -f; }

hex() { hexdump -v -e '/1 "%02x"' "$1"; }

load() { for m in "$@"; do insmod "/mod/$m.ko" || fatal "insmod $m"; done; }
unload() { for m in "$@"; do rmmod "$m" || fatal "rmmod $m"; done; }
counter() { if [ -r "$COUNTER" ]; then cat "$COUNTER"; else echo -; fi; }

# Waits until the kernel's self-tests of newly registered algorithms end.
settle() {
	i=0
	while grep -q '^type *: larval' /proc/crypto && [ $i -lt 300 ]; do
		usleep 100000
		i=$((i + 1))
	done
}

# The DCP with null-key support, with this boot's parameters (the test
# module on its all-zero key); the stock driver, where the machine has one;
# and down again, whichever is loaded.
dcp_up() {
	# shellcheck disable=SC2046 # one word per parameter
	insmod "/mod/$NULLKEY.ko" $(cat /dcp_args) || fatal "insmod $NULLKEY $(cat /dcp_args)"
	settle
}
dcp_stock() {
	[ -z "$STOCK" ] || { insmod "/mod/$STOCK.ko" || fatal "insmod $STOCK"; settle; }
}
dcp_down() {
	for m in mxs_dcp dcp_nullkey; do
		! grep -q "^$m " /proc/modules || unload $m
	done
}

# Key of N random bytes in /tmp/key (may hold zero bytes and line feeds).
random_key() { head -c "$1" /dev/urandom >/tmp/key; }

from_file() { dcp-sealkey </tmp/key; }

# A pipe that delivers the key in three writes with pauses between them.
in_pieces() {
	{
		head -c 3 /tmp/key
		sleep 1
		head -c 7 /tmp/key | tail -c 4
		sleep 1
		tail -c +8 /tmp/key
	} | dcp-sealkey
}

# run_case HOW: runs the tool once as case $N, stdin from /tmp/key by HOW.
run_case() {
	before=$(counter)
	"$1" >/tmp/out 2>/tmp/err
	rc=$?
	say "case name=$N rc=$rc before=$before after=$(counter)" \
		"key=$(hex /tmp/key) out=$(hex /tmp/out) err=$(hex /tmp/err)"
}

# The test module's "ecb(aes)" as /proc/crypto shows it.
alg_line() {
	grep -A6 'ecb-aes-dcp-nullkey' /proc/crypto >/tmp/alg
	say "alg name=$N driver=$(grep -c 'ecb-aes-dcp-nullkey' /tmp/alg)" \
		"priority=$(sed -n 's/^priority *: //p' /tmp/alg)" \
		"selftest=$(sed -n 's/^selftest *: //p' /tmp/alg)"
}

# The kernel's trusted keys on the DCP, with parameters $@.
trusted_up() {
	insmod /mod/trusted.ko source=dcp "$@" || fatal "insmod trusted source=dcp $*"
	load encrypted-keys
	dmesg -c >/dev/null
}

# Adds trusted key "t_$N" from payload $1 ("load HEX" or "new 32").
trust() {
	rc=0
	keyctl add trusted "t_$N" "$1" @u >/dev/null 2>/tmp/kerr || rc=$?
	report "t_$N" "$rc"
}

# Reports case $N: adding trusted key $1 gave exit status $2; the trusted
# key's blob, and an encrypted key made over it, whose HMAC the host checks
# against the sealed bytes.
report() {
	: >/tmp/tblob
	: >/tmp/enc
	if [ "$2" -eq 0 ]; then
		keyctl pipe "%trusted:$1" >/tmp/tblob 2>>/tmp/kerr
		keyctl add encrypted "e_$N" "new trusted:$1 32" @u >/dev/null 2>>/tmp/kerr &&
			keyctl pipe "%encrypted:e_$N" >/tmp/enc 2>>/tmp/kerr &&
			keyctl unlink "%encrypted:e_$N" @u >/dev/null 2>>/tmp/kerr
		keyctl unlink "%trusted:$1" @u >/dev/null 2>>/tmp/kerr
	fi
	dmesg -c >/tmp/dmesg
	say "trust name=$N rc=$2 blob=$(hex /tmp/tblob) enc=$(hex /tmp/enc)" \
		"err=$(hex /tmp/kerr) dmesg=$(hex /tmp/dmesg)"
}

# The blob in /tmp/blob32 with hex digit $1 changed (counted from 0; a
# negative count from the end), or cut short by one byte.
flip() {
	awk -v p="$1" '{ if (p < 0) p += length($0)
		c = substr($0, p + 1, 1)
		printf "%s%s%s", substr($0, 1, p), (c == "0" ? "1" : "0"), substr($0, p + 2) }' /tmp/blob32
}
cut_short() { awk '{ printf "%s", substr($0, 1, length($0) - 2) }' /tmp/blob32; }

# Block $1 of the README's section $2 (/sealing.1, /board.1, /using.1 ...),
# run as written in a folder of its own, stopping at the first failing
# command; the board check handles its failures itself.
readme_block() {
	mkdir -p "/tmp/$2" && (cd "/tmp/$2" && sh ${3:--e} "/$2.$1")
}

# The README's own sealing and loading commands.
readme() {
	rm -rf /tmp/sealing && mkdir /tmp/sealing && cp /tmp/key /tmp/sealing/key.bin &&
		readme_block 1 sealing >/dev/null && cat /tmp/sealing/key.blob
}

# The README's board check, in a folder of its own.
board() {
	rm -rf /tmp/board
	readme_block 1 board +e >/tmp/bout 2>&1
	say "board name=$N out=$(hex /tmp/bout)"
}

# The README's "Using the key" over a RAM disk: seal a disk key, open the
# mapping, write through it, close it, open it again from the blob, read.
using_key() {
	rm -rf /tmp/using
	export DISK=/dev/ram0
	head -c 65536 /dev/urandom >/tmp/data
	steps=
	readme_block 1 using >/tmp/uout 2>&1 && steps=sealed &&
		readme_block 2 using >>/tmp/uout 2>&1 && steps="$steps opened" &&
		dd if=/tmp/data of=/dev/mapper/secret bs=4096 conv=fsync 2>>/tmp/uout &&
		steps="$steps written" &&
		readme_block 3 using >>/tmp/uout 2>&1 && steps="$steps closed" &&
		! keyctl search @u trusted disk >/dev/null 2>&1 && steps="$steps unlinked" &&
		readme_block 2 using >>/tmp/uout 2>&1 && steps="$steps reopened" &&
		head -c 65536 /dev/mapper/secret >/tmp/back && steps="$steps read" &&
		readme_block 3 using >>/tmp/uout 2>&1 && steps="$steps closed"
	head -c 65536 "$DISK" >/tmp/raw
	say "using name=$N steps=$(echo $steps | tr ' ' ,)" \
		"same=$(cmp -s /tmp/data /tmp/back && echo yes || echo no)" \
		"raw_is_data=$(cmp -s /tmp/data /tmp/raw && echo yes || echo no)" \
		"out=$(hex /tmp/uout)"
}

# Eight runs of the tool at once (cases conc_1 ... conc_8), with loads of
# the blobs of len_16 ... len_128 beside them (conc_load_1 ...): the
# driver's request queue under load.
concurrency() {
	for i in 1 2 3 4 5 6 7 8; do
		head -c 32 /dev/urandom >/tmp/ckey$i
		(dcp-sealkey </tmp/ckey$i >/tmp/cout$i 2>/tmp/cerr$i; echo $? >/tmp/crc$i) &
		blob=$(cat /tmp/blob_$((i * 16)))
		(keyctl add trusted "t_$u.conc_load_$i" "load $blob" @u >/dev/null 2>/tmp/ckerr$i
			echo $? >/tmp/ckrc$i) &
	done
	wait
	for i in 1 2 3 4 5 6 7 8; do
		say "case name=$u.conc_$i rc=$(cat /tmp/crc$i) before=- after=-" \
			"key=$(hex /tmp/ckey$i) out=$(hex /tmp/cout$i) err=$(hex /tmp/cerr$i)"
		cp /tmp/ckerr$i /tmp/kerr
		N=$u.conc_load_$i
		report "t_$N" "$(cat /tmp/ckrc$i)"
	done
}

# The self-test results of the driver's algorithms, and what the kernel
# logged of them.
selftests() {
	awk -v RS= '/driver *: [a-z0-9-]*-dcp\n/' /proc/crypto |
		awk '/^driver/ { d = $3 } /^selftest/ { printf "%s:%s,", d, $3 }' >/tmp/algs
	dmesg | grep -e 'alg: ' -e 'WARNING' >/tmp/algerr
	say "selftest name=$N algs=$(cat /tmp/algs) dmesg=$(hex /tmp/algerr)"
}

# One "ecb(aes)" handle re-keyed from a zero-length key to a key that no
# key slot holds, and another the other way; one block each.
rekey_line() {
	say "rekey name=$N out=$(rekey 6bc1bee22e409f96e93d7e117393172a \
		000102030405060708090a0b0c0d0e0f 2>&1 | tr ' \n' ':,')"
}

say "start kernel=$(uname -r) boot=$(cat /boot)"
[ -z "$HWRNG_MODULES" ] || load $HWRNG_MODULES
# The hw_random core is built in, so /dev/hwrng exists from boot on;
# wait until a generator is behind it.
i=0
while [ "$(cat /sys/class/misc/hw_random/rng_current)" = none ] && [ $i -lt 50 ]; do
	usleep 100000
	i=$((i + 1))
done
say "hwrng node=$([ -c /dev/hwrng ] && echo yes || echo no)" \
	"current=$(cat /sys/class/misc/hw_random/rng_current)"

for u in $USERLANDS; do
	PATH=/u/$u/bin:/bin
	. /cases
done
PATH=/bin

say "done"
reboot -f
