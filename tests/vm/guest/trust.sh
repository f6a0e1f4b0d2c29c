# shellcheck shell=sh
# SPDX-FileCopyrightText: 2026 dcp-sealkey developers
# SPDX-License-Identifier: MIT
# The Trust cases (kinds.py), each run as case $N.
# trust PAYLOAD: adds a trusted key with keyctl.
trust() {
	rc=0
	keyctl add trusted "t_$N" "$1" @u >/dev/null 2>/tmp/kerr || rc=$?
	trusted "t_$N" $rc
}
# trusted KEY RC: adding trusted key KEY gave exit status RC.
trusted() {
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
	write_record "$N" rc="$2" blob=@/tmp/tblob enc=@/tmp/enc err=@/tmp/kerr dmesg=@/tmp/dmesg
}
# flip DIGIT FILE: the blob in FILE with hex digit DIGIT (from 0; from the
# end if negative) changed; cut_short FILE: the blob a byte short.
flip() {
	awk -v p="$1" '{ if (p < 0) p += length($0)
		c = substr($0, p + 1, 1)
		printf "%s%s%s", substr($0, 1, p), (c == "0" ? "1" : "0"), substr($0, p + 2) }' "$2"
}
cut_short() { awk '{ printf "%s", substr($0, 1, length($0) - 2) }' "$1"; }
# start_trust FILE: loads the blob in FILE, in the background;
# record_trust, once it ended: its record.
start_trust() {
	(
		keyctl add trusted "t_$N" "load $(cat "$1")" @u >/dev/null 2>"/tmp/kerr.$N"
		echo $? >"/tmp/rc.$N"
	) &
}
record_trust() {
	cp "/tmp/kerr.$N" /tmp/kerr
	trusted "t_$N" "$(cat "/tmp/rc.$N")"
}
