#!/bin/sh
# SPDX-FileCopyrightText: 2026 dcp-sealkey developers
# SPDX-License-Identifier: MIT
# /init of the test VM: the boot's /cases once per userland, /u/ARCH/bin
# first on PATH. It ends the VM itself: reboot ends QEMU (-no-reboot), and
# a dying init panics, which QEMU's panic=-1 ends too.
# shellcheck disable=SC1091 # what it sources is in the initramfs
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
# The initramfs has no /dev/console node, so init starts without streams.
exec </dev/console >/dev/console 2>&1
mkdir -p /tmp && mount -t tmpfs tmp /tmp
. /setup
. /boot.env
. /library
. /kinds
write_record boot kernel="$(uname -r)"
# shellcheck disable=SC2086 # one word per module
[ -z "$HWRNG_MODULES" ] || insmods $HWRNG_MODULES
# /dev/hwrng is there from boot on; wait until a generator is behind it.
waiting 50 grep -qx none /sys/class/misc/hw_random/rng_current
write_record hwrng node="$([ -c /dev/hwrng ] && echo yes)" current="$(cat /sys/class/misc/hw_random/rng_current)"
for u in $USERLANDS; do
	PATH=/u/$u/bin:/bin
	. /cases
done
PATH=/bin
write_record "done"
reboot -f
