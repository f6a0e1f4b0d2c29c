# SPDX-FileCopyrightText: 2026 dcp-sealkey developers
# SPDX-License-Identifier: MIT
"""The kinds of case: each a Case class, whose action calls its kind's
functions (guest/kinds.sh) and whose judge reads the record it writes."""
import collections
import hashlib
import hmac
import re

from guest import insmods, record_id, rmmods
from util import messages


Result = collections.namedtuple("Result", "name failures summary")  # name: USERLAND.CASE TAG
RUN_AS = {False: "''", True: "'afalg nobody'"}  # shell words that run a command as root, as uid 65534


class Case:
    """A kind of case: action, its shell, run with $N its ID and $u the
    userland; judge(fields, context), the failures and a summary of its
    record, given judge.py's Context; recipes, the docs' marked sh blocks it
    runs, {file in /recipes: recipe name}; tag, its word in IDs and results;
    hand_on, whether later boots get its record."""
    recipes, tag, hand_on = {}, "", False

    def __init__(self, name, action):
        self.name, self.action = name, action

    def results(self, context):
        fields, name = context.record_of(self, False), f"{context.userland}.{self.name} {self.tag}"
        failures, summary = self.judge(fields, context) if fields else (
            ["no result in the console log"], "")
        return [Result(name, failures, summary)]


class Step(Case):
    """Shell between cases, loading modules, say; judged by nothing, as a
    failure there ends the boot with fatal, but for the cases it holds."""
    cases = ()

    def __init__(self, *lines):
        super().__init__("", "; ".join(lines))

    def results(self, context):
        return [r for case in self.cases for r in case.results(context)]


TOOL = messages()


def READ(n):
    """The tool's first lines for a key of n bytes."""
    return TOOL["MSG_KEY_READ"] % n + (
        TOOL["MSG_SHORT_KEY"] if n < TOOL["MIN_LOADABLE_KEY"] else "")


class Seal(Case):
    """One run of the tool, on a key of `key` random bytes (or these bytes),
    `run` by a function of guest/kinds.sh: from_file, in_pieces (three writes
    to a pipe), as_nobody (as uid 65534) or by_recipe (the README's "Sealing
    and loading" commands). Judged by its exit status, its exact standard
    error (READ of the length by default), the rise of the DCP's count of
    zero-length setkeys where it counts them (None: nothing may count them),
    and the key its blob opens under alone (None: no output at all).
    `before` and `after` run around it; with hand_on, its blob goes to the
    boots after it."""
    tag, recipes = "seal", {"sealing": "sealing"}

    def __init__(self, name, key=32, run="from_file", rc=0, err=None, opens="unique", setkeys=1,
                 before="", after="", hand_on=False):
        make = (f"head -c {key} /dev/urandom" if isinstance(key, int) else
                "printf '" + "".join(f"\\{b:03o}" for b in key) + "'")
        super().__init__(name, "; ".join(filter(None, (f'{make} >"/tmp/key.$N"', before,
                                                       f"seal {run}", after))))
        self.key, self.rc, self.opens, self.setkeys, self.hand_on = key, rc, opens, setkeys, hand_on
        self.err = READ(key if isinstance(key, int) else len(key)) if err is None else err
        self.blob = f"/tmp/out.{record_id('$u', self)}"  # in its own boot
        self.earlier_blob = f"/earlier/{record_id('$u', self)}"  # in a later one

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
    Seal case `blob_of` (one hex digit changed at `flip`, or cut short by a
    byte), sealed in this boot or by an earlier one (`earlier`); made by
    the kernel (`new` bytes); the key NAME that the README's commands added
    (`by_recipe`); or, with `start`, the trusted module itself loaded with
    those parameters. Expected refused with an error text; or loaded,
    holding the blob and key of Seal case `holds`, or with its own blob
    opening under key `opens` alone, and proven to hold those bytes by the
    HMAC of an encrypted key made over it. A key of a length that the
    machine's kernel does not load must be refused with "Invalid argument".
    `says`: what the kernel must have logged. `before` runs first."""
    tag = "trust"

    def __init__(self, name, blob_of=None, flip=None, cut=False, earlier=False, new=None,
                 by_recipe=False, start=(), before="", refused=None, holds=None, opens=None,
                 says=None):
        path = blob_of and (blob_of.earlier_blob if earlier else blob_of.blob)
        blob = blob_of and (f"$(flip {flip} {path})" if flip is not None else
                            f"$(cut_short {path})" if cut else f"$(cat {path})")
        super().__init__(name, "; ".join(filter(None, (before, (
            f'trust "load {blob}"' if blob_of else
            f'trust "new {new}"' if new else
            "keyctl search @u trusted NAME >/dev/null 2>/tmp/kerr.$N; trusted NAME $?" if by_recipe else
            f"dmesg -c >/dev/null; insmod /mod/trusted.ko {' '.join(start)} 2>/tmp/kerr.$N; "
            "trusted none $?")))))
        self.refused, self.holds, self.opens, self.says = refused, holds, opens, says

    def judge(self, fields, context):
        err, rc = " ".join(fields["err"].split()), fields["rc"]
        failures = [f'the kernel did not log "{self.says}"'] * bool(
            self.says and self.says not in fields["dmesg"])
        sealed = (context.record_of(self.holds) or {}) if self.holds else {}
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


class Concurrently(Step):
    """Seal cases, and Trust cases that load the blobs of the Seal cases they
    hold, all at once: the driver's request queue under load. Each is judged
    as if alone, but for the DCP's count of setkeys, which the runs share."""

    def __init__(self, seals, trusts):
        self.cases = seals + trusts
        ids = [f"N={record_id('$u', case)}; " for case in self.cases]
        super().__init__("\n".join(
            [n + (f"start_seal {c.key}" if c.tag == "seal" else f"start_trust {c.holds.blob}")
             for n, c in zip(ids, self.cases)] + ["wait"] +
            [f"{n}record_{c.tag}" for n, c in zip(ids, self.cases)]))


class Board(Case):
    """The board check of doc/board-check.md, as written, as root or as uid
    65534: passes, or fails naming why."""
    tag, recipes = "board", {"board": "board-check"}

    def __init__(self, name, says, as_nobody=False):
        super().__init__(name, f"board {RUN_AS[as_nobody]}")
        self.says = says

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

    def __init__(self, name, recipe="disk", key="trusted disk"):
        super().__init__(name, f"{insmods('dm-crypt')}; using '{key}' {recipe}; {rmmods('dm_crypt')}")
        self.recipes = {f"{recipe}.{n}": f"{recipe}-{step}"
                        for n, step in enumerate(("seal", "open", "close"), 1)}

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

    def __init__(self, name, algs, says=()):
        super().__init__(name, "selftests")
        self.algs, self.says = algs, says

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

    def __init__(self, name, driver, priority, selftest):
        super().__init__(name, f"algorithm {driver}")
        self.want = {"driver": "1", "priority": priority, "selftest": selftest}

    def judge(self, fields, context):
        got = {k: fields.get(k) for k in self.want}
        return [f"{k}={got[k]}, want {v}" for k, v in self.want.items() if got[k] != v], str(got)


class Rekey(Case):
    """Runs of afalg (afalg.c), each a series of steps on one AF_ALG handle,
    as root or as uid 65534 without capabilities, with the output each run
    must print."""
    tag = "rekey"

    def __init__(self, name, runs, as_nobody=False):
        super().__init__(name, " ".join([f"afalg_runs {RUN_AS[as_nobody]}"] + [f"'{s}'" for s, _ in runs]))
        self.runs = runs

    def judge(self, fields, context):
        want = "".join(f"{output}\n" for _, output in self.runs)
        return ([f"got {fields['out']!r}, want {want!r}"] * (fields["out"] != want),
                fields["out"].replace("\n", " | ")[:60] + "...")
