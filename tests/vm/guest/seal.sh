# shellcheck shell=sh
# SPDX-FileCopyrightText: 2026 dcp-sealkey developers
# SPDX-License-Identifier: MIT
# The Seal cases (kinds.py), each run as case $N on the key in /tmp/key.$N.
seal() {
	before=$(setkeys)
	"$1" >"/tmp/out.$N" 2>"/tmp/err.$N"
	rc=$?
	write_record "$N" rc=$rc before="$before" after="$(setkeys)" key="$(hex "/tmp/key.$N")" \
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
# start_seal BYTES: a run on a new key of BYTES bytes, in the background;
# record_seal, once it ended: its record, without the DCP's count, which
# the runs at once share.
start_seal() {
	head -c "$1" /dev/urandom >"/tmp/key.$N"
	(
		dcp-sealkey <"/tmp/key.$N" >"/tmp/out.$N" 2>"/tmp/err.$N"
		echo $? >"/tmp/rc.$N"
	) &
}
record_seal() {
	write_record "$N" rc="$(cat "/tmp/rc.$N")" before=- after=- key="$(hex "/tmp/key.$N")" \
		out="@/tmp/out.$N" err="@/tmp/err.$N"
}
