#!/bin/sh
# SPDX-FileCopyrightText: 2026 dcp-sealkey developers
# SPDX-License-Identifier: MIT
# /init of the test VM (busybox sh as PID 1). Runs the cases of one boot
# against the real kernel and prints one "@@ ..." line per result on the
# console; the host judges them. /boot names the boot's suite: "stack"
# builds the crypto stack up a piece at a time (Debian's kernel); "trusted"
# has the kernel's DCP trusted keys load what the tool sealed; "driver" runs
# what only the real DCP driver has; "testkey" is a DCP on its all-zero test
# key; "binding" is a second board, whose UNIQUE key differs; "extratests"
# turns on the kernel's extended self-tests. /dcp
# says how the DCP is served: "module" (a test module stands in for its key
# slots) or "model" (QEMU's DCP and the real mxs-dcp driver). The cases run
# once for each userland in /userlands, with /u/ARCH/bin first on PATH. Ends
# the VM itself: reboot ends QEMU (-no-reboot), a dying init panics, and the
# host runs QEMU with panic=-1, so nothing hangs.

export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
# The initramfs has no /dev/console node, so init starts without streams.
exec </dev/console >/dev/console 2>&1
mkdir -p /tmp && mount -t tmpfs tmp /tmp

COUNTER=/sys/module/dcp_nullkey/parameters/zero_length_setkeys
BOOT=$(cat /boot)
DCP=$(cat /dcp)

say() { echo "@@ $*"; }
fatal() {
	say "fatal $*"
	reboot -f
}

hex() { hexdump -v -e '/1 "%02x"' "$1"; }

load() {
	for m in "$@"; do
		insmod "/mod/$m.ko" || fatal "insmod $m"
	done
}

unload() {
	for m in "$@"; do
		rmmod "$m" || fatal "rmmod $m"
	done
}

counter() {
	if [ -r "$COUNTER" ]; then cat "$COUNTER"; else echo -; fi
}

# Waits until the kernel's self-tests of newly registered algorithms end.
settle() {
	i=0
	while grep -q '^type *: larval' /proc/crypto && [ $i -lt 300 ]; do
		usleep 100000
		i=$((i + 1))
	done
}

# The DCP with null-key support: the test module, or the patched driver.
# On a module machine the testkey boot loads it on the all-zero test key;
# a model's test key is QEMU's.
dcp_up() {
	if [ "$DCP" = model ]; then
		insmod /mod/mxs-dcp-nullkey.ko || fatal "insmod mxs-dcp-nullkey"
	elif [ "$BOOT" = testkey ]; then
		insmod /mod/dcp_nullkey.ko zero_key=1 || fatal "insmod dcp_nullkey zero_key=1"
	else
		load dcp_nullkey
	fi
	settle
}

# Unloads whichever DCP is loaded.
dcp_down() {
	for m in mxs_dcp dcp_nullkey; do
		! grep -q "^$m " /proc/modules || unload $m
	done
}

# A DCP without null-key support: the stock driver, or no module at all.
dcp_stock() {
	if [ "$DCP" = model ]; then
		insmod /mod/mxs-dcp.ko || fatal "insmod mxs-dcp"
		settle
	fi
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

# run_case NAME HOW: runs the tool once, stdin from /tmp/key by HOW.
run_case() {
	before=$(counter)
	"$2" >/tmp/out 2>/tmp/err
	rc=$?
	say "case name=$1 rc=$rc before=$before after=$(counter)" \
		"key=$(hex /tmp/key) out=$(hex /tmp/out) err=$(hex /tmp/err)"
}

say "start kernel=$(uname -r) boot=$BOOT"

# Debian's kernel has virtio as modules; the Arm kernels have their RNG
# built in.
if [ -f /mod/virtio.ko ]; then
	load virtio_ring virtio virtio_pci_legacy_dev virtio_pci_modern_dev \
		virtio_pci virtio-rng
fi
# The hw_random core is built in, so /dev/hwrng exists from boot on;
# wait until a generator is behind it.
i=0
while [ "$(cat /sys/class/misc/hw_random/rng_current)" = none ] && [ $i -lt 50 ]; do
	usleep 100000
	i=$((i + 1))
done
say "hwrng node=$([ -c /dev/hwrng ] && echo yes || echo no)" \
	"current=$(cat /sys/class/misc/hw_random/rng_current)"

stack_cases() {
	# The stack is built up a piece at a time; each failure case lacks exactly
	# one piece, so the result is the kernel's own answer to that lack.
	load af_alg algif_skcipher crypto_user
	random_key 16
	run_case $u.no_ecb from_file

	load ecb
	unload crypto_user
	run_case $u.no_crypto_user from_file

	load crypto_user
	run_case $u.stock_kernel from_file

	load dcp_nullkey
	grep -A6 'ecb-aes-dcp-nullkey' /proc/crypto >/tmp/alg
	say "alg driver=$(grep -c 'ecb-aes-dcp-nullkey' /tmp/alg)" \
		"priority=$(sed -n 's/^priority *: //p' /tmp/alg)" \
		"selftest=$(sed -n 's/^selftest *: //p' /tmp/alg)"
	run_case $u.no_algif_aead from_file

	load algif_aead
	run_case $u.no_gcm from_file

	load gf128mul ghash-generic ctr gcm
	for n in 1 4 17 128; do
		random_key $n
		run_case $u.len_$n from_file
	done
	printf 'abc\n' >/tmp/key
	run_case $u.text_line from_file
	random_key 10
	run_case $u.pieces in_pieces
	random_key 129
	run_case $u.too_long from_file

	random_key 16
	mv /dev/hwrng /dev/hwrng.away
	run_case $u.no_hwrng from_file
	mv /dev/hwrng.away /dev/hwrng

	unload dcp_nullkey
	insmod /mod/dcp_nullkey.ko zero_key=1 || fatal "insmod dcp_nullkey zero_key=1"
	run_case $u.zero_key from_file

	# The node stays when its driver goes: opening works, reading fails.
	unload virtio_rng
	run_case $u.hwrng_no_driver from_file
}

# Adds trusted key "t_$1" from payload $2 ("load HEX" or "new 32").
trust() {
	rc=0
	keyctl add trusted "t_$1" "$2" @u >/dev/null 2>/tmp/kerr || rc=$?
	report "$1" "t_$1" "$rc"
}

# Reports the result of adding trusted key $2 for case $1 (exit status $3):
# the trusted key's blob, and an encrypted key made over it, whose HMAC the
# host checks against the sealed bytes.
report() {
	: >/tmp/tblob
	: >/tmp/enc
	if [ "$3" -eq 0 ]; then
		keyctl pipe "%trusted:$2" >/tmp/tblob 2>>/tmp/kerr
		keyctl add encrypted "e_$1" "new trusted:$2 32" @u >/dev/null 2>>/tmp/kerr &&
			keyctl pipe "%encrypted:e_$1" >/tmp/enc 2>>/tmp/kerr &&
			keyctl unlink "%encrypted:e_$1" @u >/dev/null 2>>/tmp/kerr
		keyctl unlink "%trusted:$2" @u >/dev/null 2>>/tmp/kerr
	fi
	dmesg -c >/tmp/dmesg
	say "trust name=$1 rc=$3 blob=$(hex /tmp/tblob) enc=$(hex /tmp/enc)" \
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

# Runs the README's board check in a folder of its own.
board() {
	rm -rf /tmp/board
	readme_block 1 board +e >/tmp/bout 2>&1
	say "board name=$1 out=$(hex /tmp/bout)"
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
	say "using name=$1 steps=$(echo $steps | tr ' ' ,)" \
		"same=$(cmp -s /tmp/data /tmp/back && echo yes || echo no)" \
		"raw_is_data=$(cmp -s /tmp/data /tmp/raw && echo yes || echo no)" \
		"out=$(hex /tmp/uout)"
}

# Eight runs of the tool at once, with trusted-key loads of earlier blobs
# beside them: the driver's request queue under load.
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
		report "$u.conc_load_$i" "t_$u.conc_load_$i" "$(cat /tmp/ckrc$i)"
	done
}

# The self-test results of the driver's algorithms, and what the kernel
# logged of them.
selftests() {
	awk -v RS= '/driver *: [a-z0-9-]*-dcp\n/' /proc/crypto |
		awk '/^driver/ { d = $3 } /^selftest/ { printf "%s:%s,", d, $3 }' >/tmp/algs
	dmesg | grep -e 'alg: ' -e 'WARNING' >/tmp/algerr
	say "selftest name=$1 algs=$(cat /tmp/algs) dmesg=$(hex /tmp/algerr)"
}

# What only the real driver has: its self-tests, re-keying one tfm, the
# stock driver's answer, and the driver from before the OTP_KEY fix.
driver_cases() {
	dcp_up
	selftests $u.selftest
	# The same block under a key that no key slot holds.
	say "rekey name=$u.rekey out=$(rekey 6bc1bee22e409f96e93d7e117393172a 000102030405060708090a0b0c0d0e0f 2>&1 | tr ' \n' ':,')"

	dcp_down
	dcp_stock
	random_key 32
	run_case $u.stock from_file
	dcp_down

	# Before "crypto: mxs-dcp - Only set OTP_KEY bit for OTP key", every
	# referenced key meant OTP: the tool and trusted keys both bind to it.
	insmod /mod/mxs-dcp-nullkey-otpbit.ko || fatal "insmod mxs-dcp-nullkey-otpbit"
	settle
	random_key 32
	run_case $u.otpbit from_file
	cp /tmp/out /tmp/blob_otpbit
	trusted_up
	trust $u.otpbit_load "load $(cat /tmp/blob_otpbit)"
	unload encrypted_keys trusted mxs_dcp
	dcp_up
	trusted_up
	trust $u.otpbit_fixed "load $(cat /tmp/blob_otpbit)"
	unload encrypted_keys trusted
	dcp_down
}

# The kernel's trusted keys on the DCP, with parameters $@.
trusted_up() {
	insmod /mod/trusted.ko source=dcp "$@" || fatal "insmod trusted source=dcp $*"
	load encrypted-keys
	dmesg -c >/dev/null
}

trusted_cases() {
	dcp_up
	trusted_up
	n=1
	while [ $n -le 128 ]; do
		random_key $n
		run_case $u.len_$n from_file
		trust $u.len_$n "load $(cat /tmp/out)"
		cp /tmp/out /tmp/blob_$n
		n=$((n + 1))
	done
	cp /tmp/blob_32 /tmp/blob32
	board $u.board_ok
	# One hex digit changed in each field of the 32-byte key's blob.
	for t in version:1 wrapped_key:10 nonce:34 length:66 ciphertext:74 tag:-1; do
		trust $u.tamper_${t%%:*} "load $(flip ${t#*:})"
	done
	trust $u.tamper_cut "load $(cut_short)"
	trust $u.kernel_new "new 32"

	random_key 32
	run_case $u.readme readme
	report $u.readme NAME $rc

	concurrency
	load dm-crypt
	using_key $u.using
	unload dm_crypt

	unload encrypted_keys trusted
	board $u.board_no_trusted
	trusted_up dcp_use_otp_key=1
	trust $u.otp_key "load $(cat /tmp/blob32)"
	trust $u.otp_kernel_new "new 32"
	board $u.board_otp
	unload encrypted_keys trusted

	dcp_down
	dcp_stock
	board $u.board_no_nullkey
	dcp_down
}

# The DCP on its all-zero test key: the tool warns and seals; trusted keys
# refuse to start unless told to skip the test.
testkey_cases() {
	dcp_up
	random_key 32
	run_case $u.zero_key from_file
	cp /tmp/out /tmp/blob_zero
	dmesg -c >/dev/null
	rc=0
	insmod /mod/trusted.ko source=dcp 2>/tmp/kerr || rc=$?
	report $u.zero_key_refused none $rc
	board $u.board_test_key
	trusted_up dcp_skip_zk_test=1
	trust $u.zero_key_skip "load $(cat /tmp/blob_zero)"
	unload encrypted_keys trusted
	dcp_down
}

# A second board: the first board's blob (in /sealed.ARCH) must not load.
binding_cases() {
	dcp_up
	trusted_up
	trust $u.other_board "load $(cat /sealed.$u)"
	unload encrypted_keys trusted
	dcp_down
}

# The kernel's extended self-tests, turned on at run time, then the patched
# driver loaded: what a kernel built with these developer tests does.
extratests_cases() {
	if [ ! -f /tmp/extra_on ]; then
		echo 0 >/sys/module/cryptomgr/parameters/noextratests
		dmesg -c >/dev/null
		dcp_up
		: >/tmp/extra_on
	fi
	selftests $u.extratests
	random_key 32
	run_case $u.extratests_seal from_file
}

for u in $(cat /userlands); do
	PATH=/u/$u/bin:/bin
	"${BOOT}_cases"
done
PATH=/bin

say "done"
reboot -f
