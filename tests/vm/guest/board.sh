# shellcheck shell=sh
# SPDX-FileCopyrightText: 2026 dcp-sealkey developers
# SPDX-License-Identifier: MIT
# The Board cases (kinds.py): the board check as written, run by $1
# ("" or "afalg nobody").
board() {
	rm -rf /tmp/board && mkdir -m 777 /tmp/board
	(cd /tmp/board && $1 sh /recipes/board) >/tmp/bout 2>&1
	write_record "$N" out=@/tmp/bout
}
