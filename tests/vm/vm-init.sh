#!/bin/sh
# /init of the test VM (busybox sh as PID 1). Runs every case against the
# real kernel and prints one "@@ case ..." line per run on the console; the
# host judges them. Ends the VM itself: a dying init panics, and the host
# runs QEMU with panic=-1 -no-reboot, so nothing hangs.

export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
# The initramfs has no /dev/console node, so init starts without streams.
exec </dev/console >/dev/console 2>&1
mkdir -p /tmp && mount -t tmpfs tmp /tmp

TOOL=/bin/dcp-sealkey
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

from_file() { "$TOOL" </tmp/key; }

# A pipe that delivers the key in three writes with pauses between them.
in_pieces() {
	{
		head -c 3 /tmp/key
		sleep 1
		head -c 7 /tmp/key | tail -c 4
		sleep 1
		tail -c +8 /tmp/key
	} | "$TOOL"
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

load virtio_ring virtio virtio_pci_legacy_dev virtio_pci_modern_dev \
	virtio_pci virtio-rng
# The hw_random core is built in, so /dev/hwrng exists from boot on;
# wait until virtio-rng is the generator behind it.
i=0
while [ "$(cat /sys/class/misc/hw_random/rng_current)" = none ] && [ $i -lt 50 ]; do
	usleep 100000
	i=$((i + 1))
done
say "hwrng node=$([ -c /dev/hwrng ] && echo yes || echo no)" \
	"current=$(cat /sys/class/misc/hw_random/rng_current)"

# The stack is built up a piece at a time; each failure case lacks exactly
# one piece, so the result is the kernel's own answer to that lack.
load af_alg algif_skcipher crypto_user
random_key 16
run_case no_ecb from_file

load ecb
unload crypto_user
run_case no_crypto_user from_file

load crypto_user
run_case stock_kernel from_file

load dcp_nullkey
grep -A6 'ecb-aes-dcp-nullkey' /proc/crypto >/tmp/alg
say "alg driver=$(grep -c 'ecb-aes-dcp-nullkey' /tmp/alg)" \
	"priority=$(sed -n 's/^priority *: //p' /tmp/alg)" \
	"selftest=$(sed -n 's/^selftest *: //p' /tmp/alg)"
run_case no_algif_aead from_file

load algif_aead
run_case no_gcm from_file

load gf128mul ghash-generic ctr gcm
for n in 1 4 17 128; do
	random_key $n
	run_case len_$n from_file
done
printf 'abc\n' >/tmp/key
run_case text_line from_file
random_key 10
run_case pieces in_pieces
random_key 129
run_case too_long from_file

random_key 16
mv /dev/hwrng /dev/hwrng.away
run_case no_hwrng from_file
mv /dev/hwrng.away /dev/hwrng

unload dcp_nullkey
insmod /mod/dcp_nullkey.ko zero_key=1 || fatal "insmod dcp_nullkey zero_key=1"
run_case zero_key from_file

# The node stays when its driver goes: opening works, reading fails.
unload virtio_rng
run_case hwrng_no_driver from_file

say "done"
poweroff -f
