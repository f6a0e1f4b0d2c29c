#!/bin/sh
# SPDX-FileCopyrightText: 2026 dcp-sealkey developers
# SPDX-License-Identifier: MIT
# /init of the test VM (busybox sh as PID 1). Runs every case against the
# real kernel and prints one "@@ ..." line per run on the console; the host
# judges them. /suite names the cases: "stack" builds the crypto stack up a
# piece at a time (Debian's kernel), "trusted" has the kernel's DCP trusted
# keys load what the tool sealed. They run once for each userland in
# /userlands, with /u/ARCH/bin first on PATH. Ends the VM itself: a dying
# init panics, and the host runs QEMU with panic=-1 -no-reboot, so nothing
# hangs.

export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
# The initramfs has no /dev/console node, so init starts without streams.
exec </dev/console >/dev/console 2>&1
mkdir -p /tmp && mount -t tmpfs tmp /tmp

COUNTER=/sys/module/dcp_nullkey/parameters/zero_length_setkeys

say() { echo "@@ $*"; }
fatal() { say "fatal $*"; poweroff -f; }

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

say "start kernel=$(uname -r)"

# Debian's kernel has virtio as modules; the Arm kernels have it built in.
if [ -f /mod/virtio.ko ]; then
	load virtio_ring virtio virtio_pci_legacy_dev virtio_pci_modern_dev \
		virtio_pci virtio-rng
fi
# The hw_random core is built in, so /dev/hwrng exists from boot on;
# wait until virtio-rng is the generator behind it.
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

# The README's own sealing and loading commands, in a folder of their own.
readme() {
	mkdir -p /tmp/readme && cp /tmp/key /tmp/readme/key.bin &&
		(cd /tmp/readme && sh -e /readme.sh >/dev/null) && cat /tmp/readme/key.blob
}

# Runs the README's board check in a folder of its own.
board() {
	rm -rf /tmp/board && mkdir /tmp/board
	(cd /tmp/board && sh /board.sh) >/tmp/bout 2>&1
	say "board name=$1 out=$(hex /tmp/bout)"
}

trusted_cases() {
	load dcp_nullkey
	insmod /mod/trusted.ko source=dcp || fatal "insmod trusted source=dcp"
	load encrypted-keys
	dmesg -c >/dev/null
	for n in 1 16 32 33 100 128; do
		random_key $n
		run_case $u.len_$n from_file
		trust $u.len_$n "load $(cat /tmp/out)"
		[ $n -ne 32 ] || cp /tmp/out /tmp/blob32
	done
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

	unload encrypted_keys trusted
	board $u.board_no_trusted
	insmod /mod/trusted.ko source=dcp dcp_use_otp_key=1 || fatal "insmod trusted otp"
	load encrypted-keys
	dmesg -c >/dev/null
	trust $u.otp_key "load $(cat /tmp/blob32)"
	trust $u.otp_kernel_new "new 32"
	board $u.board_otp
	unload encrypted_keys trusted dcp_nullkey
	board $u.board_no_nullkey

	insmod /mod/dcp_nullkey.ko zero_key=1 || fatal "insmod dcp_nullkey zero_key=1"
	random_key 32
	run_case $u.zero_key from_file
	cp /tmp/out /tmp/blob_zero
	dmesg -c >/dev/null
	rc=0
	insmod /mod/trusted.ko source=dcp 2>/tmp/kerr || rc=$?
	report $u.zero_key_refused none $rc
	board $u.board_test_key
	insmod /mod/trusted.ko source=dcp dcp_skip_zk_test=1 || fatal "insmod trusted skip"
	load encrypted-keys
	dmesg -c >/dev/null
	trust $u.zero_key_skip "load $(cat /tmp/blob_zero)"
	unload encrypted_keys trusted dcp_nullkey
}

for u in $(cat /userlands); do
	PATH=/u/$u/bin:/bin
	"$(cat /suite)_cases"
done
PATH=/bin

say "done"
poweroff -f
