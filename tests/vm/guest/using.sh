# shellcheck shell=sh
# SPDX-FileCopyrightText: 2026 dcp-sealkey developers
# SPDX-License-Identifier: MIT
# The Using cases (kinds.py): using KEY RECIPE, the recipe's three blocks
# over a RAM disk, with KEY (TYPE NAME) the key that they add.
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
