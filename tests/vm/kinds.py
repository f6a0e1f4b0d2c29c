# SPDX-FileCopyrightText: 2026 dcp-sealkey developers
# SPDX-License-Identifier: MIT
"""What the guest runs, and how the host judges it.

The guest is busybox sh: INIT is its /init and LIBRARY the functions every
boot has. Each kind of case is a class with the shell functions its action
uses, the action of one case, and the judge of the one record the action
prints: a line "@@ ID FIELD:WORD FIELD=HEX ...", written by record() and
read by records(). Its ID is USERLAND.NAME.TAG: each case runs once per userland."""
import dataclasses
import hashlib
import hmac
import re
import subprocess

from harness import check, emulated_keys, messages

INIT = r"""#!/bin/sh
# /init of the test VM, written by the harness (tests/vm/kinds.py): the
# boot's /cases once per userland, /u/ARCH/bin first on PATH. It ends the VM
# itself: reboot ends QEMU (-no-reboot), and a dying init panics, which
# QEMU's panic=-1 ends too.
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
record boot kernel="$(uname -r)"
[ -z "$HWRNG_MODULES" ] || load $HWRNG_MODULES
# /dev/hwrng is there from boot on; wait until a generator is behind it.
i=0
while [ "$(cat /sys/class/misc/hw_random/rng_current)" = none ] && [ $i -lt 50 ]; do
	usleep 100000
	i=$((i + 1))
done
record hwrng node="$([ -c /dev/hwrng ] && echo yes)" current="$(cat /sys/class/misc/hw_random/rng_current)"
for u in $USERLANDS; do
	PATH=/u/$u/bin:/bin
	. /cases
done
PATH=/bin
record done
reboot -f
"""

LIBRARY = r"""
hex() { hexdump -v -e '/1 "%02x"' "$@"; }
# record ID FIELD=WORD|FIELD=@FILE...: one line for the host, as
# FIELD:WORD, or FIELD=HEX of the file's bytes.
record() {
	line="@@ $1"
	shift
	for field; do
		case $field in
		*=@*) line="$line ${field%%=*}=$(hex "${field#*=@}" 2>/dev/null)" ;;
		*) line="$line ${field%%=*}:${field#*=}" ;;
		esac
	done
	echo "$line"
}
fatal() {
	echo "$*" >/tmp/fatal
	record fatal what=@/tmp/fatal
	reboot -f
}
load() { for m; do insmod "/mod/$m.ko" || fatal "insmod $m"; done; }
unload() { for m; do rmmod "$m" || fatal "rmmod $m"; done; }
# Waits until the self-tests of newly registered algorithms end.
settle() {
	i=0
	while grep -q '^type *: larval' /proc/crypto && [ $i -lt 300 ]; do
		usleep 100000
		i=$((i + 1))
	done
}
# dcp_up [MODULE [ARGS]]: the DCP driver, by default the null-key one on
# this boot's keys; dcp_down unloads it.
dcp_up() {
	# shellcheck disable=SC2086 # one word per argument
	insmod "/mod/${1:-$DCP_NULL_KEY}.ko" ${2-$DCP_ARGS} || fatal "insmod ${1:-$DCP_NULL_KEY}"
	settle
}
dcp_down() { ! grep -q "^$DCP_LOADED " /proc/modules || unload "$DCP_LOADED"; }
trusted_up() {
	insmod /mod/trusted.ko source=dcp "$@" || fatal "insmod trusted source=dcp $*"
	load encrypted-keys
	dmesg -c >/dev/null
}
"""


def guest_setup(drivers, kernel, userlands):
    """/setup: what LIBRARY and the kinds need to know of the machine."""
    values = {"DCP_NULL_KEY": drivers.null_key, "DCP_LOADED": drivers.loaded,
              "DCP_STOCK": drivers.stock, "DCP_OTP_BIT": drivers.otp_bit,
              "DCP_SETKEYS": drivers.setkeys, "DCP_TEST_KEY_ARGS": drivers.test_key_args,
              "HWRNG_MODULES": " ".join(kernel.hwrng_modules), "SLOWTESTS": kernel.slow_tests,
              "USERLANDS": " ".join(userlands)}
    return "".join(f"{k}='{v}'\n" for k, v in values.items())


# Shell for Step rows, built from LIBRARY's functions.
def load(*modules):
    return "load " + " ".join(modules)


def unload(*modules):
    return "unload " + " ".join(modules)


def dcp_up(driver="", test_keys=False):
    """The DCP driver "" (null-key), "stock" or "otp_bit" (null-key from
    before the OTP_KEY fix), on the boot's keys or on the test key."""
    module = {"": "", "stock": "$DCP_STOCK", "otp_bit": "$DCP_OTP_BIT"}[driver]
    return f'dcp_up "{module}"' + (' "$DCP_TEST_KEY_ARGS"' if test_keys else "")


DCP_DOWN = "dcp_down"
DCP_STOCK = f'[ -z "$DCP_STOCK" ] || {dcp_up("stock")} ""'  # where the machine has one
SLOW_SELFTESTS_ON = "echo 0 >/sys/module/cryptomgr/parameters/$SLOWTESTS; dmesg -c >/dev/null"


def trusted_up(*params):
    return " ".join(("trusted_up",) + params)


def once(name, *lines):
    """Lines that run in the first userland's pass only."""
    return f"[ -f /tmp/once.{name} ] || {{ {'; '.join(lines)}; : >/tmp/once.{name}; }}"


def records(console):
    """The records of a console by ID, each {FIELD: text}."""
    return {m[1]: {f[1]: bytes.fromhex(f[3]).decode(errors="replace") if f[2] == "=" else f[3]
                   for f in re.finditer(r"(\w+)([=:])(\S*)", m[2])}
            for m in re.finditer(r"^@@ (\S+)((?: \w+(?:=[0-9a-f]*|:\S*))*)$", console, re.M)}


def check_boot(found, boot, uname, rng):
    """Fails the run unless the boot started, ran the expected kernel, had
    its generator behind /dev/hwrng and finished."""
    check("boot" in found, f"the {boot} boot never started its init")
    check("fatal" not in found and "done" in found,
          f"the {boot} boot's init did not finish: {found.get('fatal', {}).get('what', '')}")
    check(re.fullmatch(uname, found["boot"]["kernel"]),
          f"the {boot} boot ran another kernel: {found['boot']['kernel']}")
    check(found["hwrng"]["node"] == "yes" and found["hwrng"]["current"].startswith(rng),
          f"no {rng} behind /dev/hwrng: {found['hwrng']}")


# The emulated keys a blob may open under, by their names in the cases.
KEYS = {"unique": "EMULATED_UNIQUE_KEY", "otp": "EMULATED_OTP_KEY", "zero": "DCP_TEST_KEY",
        "other": "EMULATED_OTHER_UNIQUE_KEY"}


def open_blobs(found, blob_open):
    """Every blob of the records opened under every emulated key, in one
    run of blob-open: {(blob, key name): the sealed key in hex, or "-"}."""
    blobs = sorted({b.strip() for r in found.values() for f in ("out", "blob")
                    for b in [r.get(f, "")] if re.fullmatch("[0-9a-f]+\n?", b)})
    hexes = emulated_keys()
    answers = subprocess.run([blob_open, "--batch"], capture_output=True, text=True, check=True,
                             input="".join(f"{hexes[k]} {b}\n" for b in blobs
                                           for k in KEYS.values())).stdout.split()
    return dict(zip(((b, k) for b in blobs for k in KEYS), answers))


@dataclasses.dataclass
class Result:
    name: str  # USERLAND.CASE TAG, as reported
    failures: list
    summary: str


@dataclasses.dataclass
class Context:
    """What the judges of one boot and userland need."""
    found: dict  # every record of the boot
    opened: dict  # open_blobs()
    userland: str
    counts_setkeys: bool  # whether the DCP counts its zero-length setkeys
    loads: range  # the key lengths that the kernel's trusted keys load
    handed: dict  # the records that earlier boots handed on, by ID

    def record(self, case, handed=True):
        """A case's record in this boot, else one handed on to it."""
        key = f"{self.userland}.{case.name}.{case.tag}"
        return self.found.get(key, self.handed.get(key) if handed else None)

    def opening(self, blob, key, failures):
        """The key sealed in blob, which must open under key and no other
        ("-" if it does not, with the reasons added to failures)."""
        got = self.opened.get((blob, key), "-")
        failures += [f"the blob does not open with the {key} key"] * (got == "-") + [
            f"the blob also opens with the {k} key" for k in KEYS
            if k != key and self.opened.get((blob, k), "-") != "-"]
        return got


class Case:
    """A kind of case. shell: the functions its action uses; readme: the
    docs' marked sh blocks it runs, {file in /readme: recipe name}, which a
    case may set for itself; tag: its kind's word in IDs and results."""
    shell, readme, tag = "", {}, "case"

    def __init__(self, name):
        self.name = name

    def action(self):
        """The shell of one case, run with $N its ID and $u the userland."""
        raise NotImplementedError

    def judge(self, fields, context):
        """A list of failures, and a summary, of its record."""
        raise NotImplementedError

    def results(self, context):
        fields, name = context.record(self, False), f"{context.userland}.{self.name} {self.tag}"
        failures, summary = self.judge(fields, context) if fields else (
            ["no result in the console log"], "")
        return [Result(name, failures, summary)]

    def handed_on(self, context):
        """What it hands on to later boots, if anything."""
        return None

    def kinds(self):
        return [type(self)]


class Step(Case):
    """Shell between cases, loading modules, say; judged by nothing, as a
    failure there ends the boot with fatal."""

    def __init__(self, *lines):
        super().__init__("")
        self.lines = lines

    def action(self):
        return "; ".join(self.lines)

    def results(self, context):
        return []


TOOL = messages()


def READ(n):
    """The tool's first lines for a key of n bytes."""
    return TOOL["MSG_KEY_READ"] % n + (
        TOOL["MSG_SHORT_KEY"] if n < TOOL["MIN_LOADABLE_KEY"] else "")


class Seal(Case):
    """One run of the tool, on a key of `key` random bytes (or these bytes)
    given on stdin from a file, in three pieces, as uid 65534 ("nobody"), or
    by the README's "Sealing and loading" commands. Judged by its exit status, its
    exact standard error (READ of the length by default), the rise of the
    DCP's count of zero-length setkeys where it counts them (None: nothing
    may count them), and the key its blob opens under alone (None: no
    output at all). `before` and `after` run around it; with hand_on, its
    blob goes to the boots after it."""
    tag = "seal"
    shell = r"""
seal() {
	before=$(setkeys)
	"$1" >"/tmp/out.$N" 2>"/tmp/err.$N"
	rc=$?
	record "$N" rc=$rc before="$before" after="$(setkeys)" key="$(hex "/tmp/key.$N")" \
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
by_readme() {
	rm -rf /tmp/sealing && mkdir /tmp/sealing && cp "/tmp/key.$N" /tmp/sealing/key.bin &&
		(cd /tmp/sealing && sh -e /readme/sealing >/dev/null) && cat /tmp/sealing/key.blob
}
"""
    readme = {"sealing": "sealing"}

    def __init__(self, name, key=32, stdin="file", rc=0, err=None, opens="unique", setkeys=1,
                 before="", after="", hand_on=False):
        super().__init__(name)
        self.key, self.stdin, self.rc, self.opens, self.setkeys = key, stdin, rc, opens, setkeys
        self.err = READ(key if isinstance(key, int) else len(key)) if err is None else err
        self.before, self.after, self.hand_on = before, after, hand_on
        self.blob = f"/tmp/out.$u.{name}.{self.tag}"  # in its own boot
        self.handed_blob = f"/handed/$u.{name}.{self.tag}"  # in a later one

    def action(self):
        make = (f"head -c {self.key} /dev/urandom" if isinstance(self.key, int) else
                "printf '" + "".join(f"\\{b:03o}" for b in self.key) + "'")
        how = {"file": "from_file", "pieces": "in_pieces", "nobody": "as_nobody",
               "readme": "by_readme"}[self.stdin]
        return "; ".join(filter(None, (f'{make} >"/tmp/key.$N"', self.before, f"seal {how}",
                                       self.after)))

    def judge(self, fields, context):
        failures = [f"exit status {fields['rc']}, want {self.rc}"] * (fields["rc"] != str(self.rc))
        err = "".join(line for line in fields["err"].splitlines(True)
                      if not line.startswith("libkcapi - "))
        failures += [f"standard error {err!r}, want {self.err!r}"] * (err != self.err)
        before, after = fields["before"], fields["after"]
        if self.setkeys is None or not context.counts_setkeys:
            failures += [f"module loaded, counter {before} -> {after}"] * (before + after != "--")
        elif "-" in (before, after):
            failures.append("module counter not readable")
        elif int(after) - int(before) != self.setkeys:
            failures.append(f"counter went {before} -> {after}, want +{self.setkeys}")
        out, key = fields["out"], fields["key"]
        length = (len(key) // 2).to_bytes(4, "little").hex()
        if self.opens is None:
            failures += [f"standard output not empty: {out!r}"] * bool(out)
        elif not re.fullmatch(f"01[0-9a-f]{{{104 + len(key)}}}\n", out):
            failures.append(f"not one line of 01 and then {104 + len(key)} lowercase hex digits: "
                            f"{out!r}")
        elif out[66:74] != length:
            failures.append(f"length field {out[66:74]}, want {length}")
        elif context.opening(out.strip(), self.opens, failures) not in ("-", key):
            failures.append(f"the blob opens to another key than {key}")
        result = re.search(r"failed: (-\d+)", err)
        return failures, f"exit {fields['rc']}, counter {before} -> {after}" + (
            f", kernel result {result.group(1)}" if result else "")

    def handed_on(self, context):
        return context.record(self, False) if self.hand_on else None


INVAL, BADMSG = "Invalid argument", "Bad message"


def hmac_holds(enc, key):
    """Whether an encrypted key made over a trusted key proves that the
    trusted key holds exactly the bytes of key (hex): security/keys/
    encrypted-keys appends HMAC-SHA256 over "format\\0master\\0datalen\\0",
    the IV, a zero byte and the data, keyed with SHA-256 of "AUTH_KEY\\0"
    and the master key, zero-padded to 32 bytes."""
    parts = enc.split()
    if len(parts) != 4 or not re.fullmatch("[0-9a-f]{65,}", parts[3]):
        return False
    form, master, datalen, data = parts
    auth = hashlib.sha256((b"AUTH_KEY\0" + bytes.fromhex(key)).ljust(32, b"\0")).digest()
    mac = hmac.new(auth, f"{form}\0{master}\0{datalen}\0".encode() + bytes.fromhex(data[:-64]),
                   hashlib.sha256).hexdigest()
    return mac == data[-64:]


class Trust(Case):
    """A trusted key of the kernel's trusted keys: loaded from the blob of
    Seal case `load` (one hex digit changed at `flip`, or cut short by a
    byte), sealed in this boot or handed on from an earlier one (`handed`);
    made by the kernel (`new` bytes); the key NAME that the README's
    commands added (`readme`); or, with `start`, the trusted module itself
    loaded with those parameters. Expected refused with an error text; or
    loaded, holding the blob and key of Seal case `holds`, or with its own
    blob opening under key `opens` alone, and proven to hold those bytes by
    the HMAC of an encrypted key made over it. A key of a length that the
    machine's kernel does not load must be refused with "Invalid argument".
    `says`: what the kernel must have logged. `before` runs first."""
    tag = "trust"
    shell = r"""
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
	record "$N" rc="$2" blob=@/tmp/tblob enc=@/tmp/enc err=@/tmp/kerr dmesg=@/tmp/dmesg
}
# flip DIGIT FILE: the blob in FILE with hex digit DIGIT (from 0; from the
# end if negative) changed; cut_short FILE: the blob a byte short.
flip() {
	awk -v p="$1" '{ if (p < 0) p += length($0)
		c = substr($0, p + 1, 1)
		printf "%s%s%s", substr($0, 1, p), (c == "0" ? "1" : "0"), substr($0, p + 2) }' "$2"
}
cut_short() { awk '{ printf "%s", substr($0, 1, length($0) - 2) }' "$1"; }
"""

    def __init__(self, name, load=None, flip=None, cut=False, handed=False, new=None, readme=False,
                 start=(), before="", refused=None, holds=None, opens=None, says=None):
        super().__init__(name)
        path = load and (load.handed_blob if handed else load.blob)
        blob = load and (f"$(flip {flip} {path})" if flip is not None else
                         f"$(cut_short {path})" if cut else f"$(cat {path})")
        self.adding = "; ".join(filter(None, (before, (
            f'trust "load {blob}"' if load else
            f'trust "new {new}"' if new else
            "keyctl search @u trusted NAME >/dev/null 2>/tmp/kerr; trusted NAME $?" if readme else
            f"dmesg -c >/dev/null; rc=0; insmod /mod/trusted.ko {' '.join(start)} 2>/tmp/kerr "
            "|| rc=$?; trusted none $rc"))))
        self.refused, self.holds, self.opens, self.says = refused, holds, opens, says

    def action(self):
        return self.adding

    def judge(self, fields, context):
        err, rc = " ".join(fields["err"].split()), fields["rc"]
        failures = [f'the kernel did not log "{self.says}"'] * bool(
            self.says and self.says not in fields["dmesg"])
        sealed = (context.record(self.holds) or {}) if self.holds else {}
        refused = self.refused or (INVAL if "key" in sealed and
                                   len(sealed["key"]) // 2 not in context.loads else None)
        if refused:
            failures += ([f'loaded, want a refusal with "{refused}"'] if rc == "0" else
                         [f'refused with "{err}", want "{refused}"'] * (refused not in err))
        elif rc != "0":
            failures.append(f"not loaded (exit {rc}): {err}; kernel: {' '.join(fields['dmesg'].split())}")
        else:
            blob = fields["blob"].strip()
            if self.holds:
                key = sealed.get("key")
                failures += ["the trusted key holds another blob than the one sealed"] * (
                    blob != sealed.get("out", "").strip())
            else:
                key = context.opening(blob, self.opens, failures)
            if key and key != "-" and not hmac_holds(fields["enc"], key):
                failures.append("the loaded key does not hold the sealed bytes")
        return failures, "loaded" if rc == "0" else f"refused: {err}"


class Concurrently(Case):
    """Seal cases, and Trust cases that load earlier blobs, all at once: the
    driver's request queue under load. Each is judged as if alone, but for
    the DCP's count of setkeys, which the runs share."""

    def __init__(self, seals, loads):
        super().__init__("")
        self.cases = seals + loads

    def action(self):
        start, finish = [], []
        for case in self.cases:
            n = f"$u.{case.name}.{case.tag}"
            if isinstance(case, Seal):
                start.append(f'head -c {case.key} /dev/urandom >"/tmp/key.{n}"; (dcp-sealkey '
                             f'<"/tmp/key.{n}" >"/tmp/out.{n}" 2>"/tmp/err.{n}"; echo $? >"/tmp/rc.{n}") &')
                finish.append(f'record "{n}" rc="$(cat "/tmp/rc.{n}")" before=- after=- '
                              f'key="$(hex "/tmp/key.{n}")" out="@/tmp/out.{n}" err="@/tmp/err.{n}"')
            else:
                start.append(f'(keyctl add trusted "t_{n}" "load $(cat {case.holds.blob})" @u '
                             f'>/dev/null 2>"/tmp/kerr.{n}"; echo $? >"/tmp/rc.{n}") &')
                finish.append(f'N="{n}"; cp "/tmp/kerr.{n}" /tmp/kerr; trusted "t_{n}" "$(cat "/tmp/rc.{n}")"')
        return "\n".join(start + ["wait"] + finish)

    def results(self, context):
        return [r for case in self.cases for r in case.results(context)]

    def kinds(self):
        return [Seal, Trust]


class Board(Case):
    """The board check of doc/board-check.md, as written, as root or as uid
    65534: passes, or fails naming why."""
    tag, readme = "board", {"board": "board-check"}
    shell = r"""
board() {
	rm -rf /tmp/board && mkdir -m 777 /tmp/board
	(cd /tmp/board && $1 sh /readme/board) >/tmp/bout 2>&1
	record "$N" out=@/tmp/bout
}
"""

    def __init__(self, name, says, as_nobody=False):
        super().__init__(name)
        self.says, self.who = says, "'afalg nobody'" if as_nobody else "''"

    def action(self):
        return f"board {self.who}"

    def judge(self, fields, context):
        out, passes = fields["out"], self.says.startswith("board check passed")
        failures = [f'the board check did not say "{self.says}": {out!r}'] * (self.says not in out)
        if passes and "FAILED" in out:
            failures.append("the board check passed and failed")
        elif not passes and ("board check FAILED" not in out or "board check passed" in out):
            failures.append("the board check did not fail")
        return failures, (out.strip().splitlines() or [""])[-1]


class Using(Case):
    """A recipe's three blocks over a RAM disk, as written: seal a disk key
    (1), open the mapping (2), write through it, close it (3), so that the
    key `key` (TYPE NAME) is gone, open it again from the blobs (2), read
    the data back, close it (3); the disk must not hold the data in clear.
    The recipe: "disk" (doc/using-the-key.md), or `recipe`."""
    tag = "using"
    shell = r"""
using() {
	rm -rf /tmp/using && mkdir /tmp/using
	export DISK=/dev/ram0
	head -c 65536 /dev/urandom >/tmp/data
	: >/tmp/uout
	steps=
	block() { (cd /tmp/using && sh -e "/readme/$2.$1") >>/tmp/uout 2>&1; }
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
	record "$N" steps="$steps" same="$(cmp -s /tmp/data /tmp/back && echo yes)" \
		raw_is_data="$(cmp -s /tmp/data /tmp/raw && echo yes)" out=@/tmp/uout
}
"""

    def __init__(self, name, recipe="disk", key="trusted disk"):
        super().__init__(name)
        self.key, self.file = key, recipe
        self.readme = {f"{recipe}.{n}": f"{recipe}-{step}"
                       for n, step in enumerate(("seal", "open", "close"), 1)}

    def action(self):
        return f"{load('dm-crypt')}; using '{self.key}' {self.file}; {unload('dm_crypt')}"

    def judge(self, fields, context):
        return [message for bad, message in (
            (fields["steps"] != "sealed,opened,written,closed,unlinked,reopened,read,closed",
             f'stopped after "{fields["steps"]}": {fields["out"][-300:]!r}'),
            (fields["same"] != "yes", "the data read back differs"),
            (fields["raw_is_data"], "the disk holds the data in clear")) if bad], fields["steps"]


class SelfTests(Case):
    """The self-test result of each of the driver's algorithms in
    /proc/crypto, and what the kernel logged of them. "race": passed, or
    failed with a wrong result (the driver's hashes share one buffer)."""
    tag = "selftests"
    shell = r"""
selftests() {
	awk -v RS= '/driver *: [a-z0-9-]*-dcp\n/' /proc/crypto |
		awk '/^driver/ { d = $3 } /^selftest/ { printf "%s:%s,", d, $3 }' >/tmp/algs
	dmesg | grep -e 'alg: ' -e 'WARNING' >/tmp/algerr
	record "$N" algs=@/tmp/algs dmesg=@/tmp/algerr
}
"""

    def __init__(self, name, algs, says=()):
        super().__init__(name)
        self.algs, self.says = algs, says

    def action(self):
        return "selftests"

    def judge(self, fields, context):
        algs, log = dict(a.split(":") for a in fields["algs"].split(",") if a), fields["dmesg"]
        failures = [f'the kernel did not log "{s}"' for s in self.says if s not in log]
        for driver, want in self.algs.items():
            got = algs.get(driver, "missing")
            raced = want == "race" and got == "unknown" and f"{driver} test failed (wrong result)" in log
            if got != want.replace("race", "passed") and not raced:
                failures.append(f"{driver}: self-test {got}, want {want}")
        return failures, fields["algs"]


class Algorithm(Case):
    """An algorithm as /proc/crypto shows it: its priority and self-test."""
    tag = "algorithm"
    shell = r"""
algorithm() {
	grep -A6 "$1" /proc/crypto >/tmp/alg
	record "$N" driver="$(grep -c "$1" /tmp/alg)" priority="$(sed -n 's/^priority *: //p' /tmp/alg)" \
		selftest="$(sed -n 's/^selftest *: //p' /tmp/alg)"
}
"""

    def __init__(self, name, driver, priority, selftest):
        super().__init__(name)
        self.driver, self.want = driver, {"driver": "1", "priority": priority, "selftest": selftest}

    def action(self):
        return f"algorithm {self.driver}"

    def judge(self, fields, context):
        got = {k: fields.get(k) for k in self.want}
        return [f"{k}={got[k]}, want {v}" for k, v in self.want.items() if got[k] != v], str(got)


class Rekey(Case):
    """Runs of afalg (afalg.c), each a series of steps on one AF_ALG handle,
    as root or as uid 65534 without capabilities, with the output each run
    must print."""
    tag = "rekey"
    shell = r"""
afalg_runs() {
	who=$1
	shift
	: >/tmp/afalg
	for run; do
		# shellcheck disable=SC2086 # one word per step
		$who afalg $run >>/tmp/afalg 2>&1
	done
	record "$N" out=@/tmp/afalg
}
"""

    def __init__(self, name, runs, as_nobody=False):
        super().__init__(name)
        self.runs, self.who = runs, "'afalg nobody'" if as_nobody else "''"

    def action(self):
        return f"afalg_runs {self.who} " + " ".join(f"'{steps}'" for steps, _ in self.runs)

    def judge(self, fields, context):
        want = "".join(f"{output}\n" for _, output in self.runs)
        return ([f"got {fields['out']!r}, want {want!r}"] * (fields["out"] != want),
                fields["out"].replace("\n", " | ")[:60] + "...")


def guest_cases(cases):
    """/cases: the functions of the kinds that the cases use, then each
    case's action, run as case $N."""
    kinds = dict.fromkeys(k for case in cases for k in case.kinds())
    return "".join(k.shell for k in kinds) + "".join(
        f"N=$u.{case.name}.{case.tag}; " * bool(case.name) + case.action() + "\n" for case in cases)


def readme_blocks(cases):
    """The marked doc blocks that the cases run: {file in /readme: recipe name}."""
    return {f: name for case in cases for part in getattr(case, "cases", [case])
            for f, name in part.readme.items()}


def judge(cases, contexts):
    """The results of a boot's cases, in order, for each userland's Context."""
    return [r for context in contexts for case in cases for r in case.results(context)]


def handed_on(cases, contexts):
    """The records that the cases hand on to later boots, by ID."""
    return {f"{c.userland}.{case.name}.{case.tag}": record for c in contexts for case in cases
            for record in [case.handed_on(c)] if record is not None}


def handed_files(handed):
    """What the guest gets of the records handed on: {file in /handed: blob}."""
    return {key: record["out"] for key, record in handed.items()}
