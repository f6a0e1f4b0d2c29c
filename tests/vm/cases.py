# SPDX-FileCopyrightText: 2026 dcp-sealkey developers
# SPDX-License-Identifier: MIT
"""The VM cases: one row each, what the guest does and what the host
expects of it, grouped by boot. The guest runs the actions in order once per
userland ($u; the case's own name is $N), with the functions of vm-init.sh;
each case prints one "@@ KIND name=USERLAND.CASE k=HEX ..." line, judged
here by the judge of its KIND."""
import hashlib
import hmac
import re
import subprocess

# The emulated DCP's keys: the test module's and the model's defaults, the
# all-zero test key, and the UNIQUE key of a second emulated board.
KEYS = {"unique": "2b7e151628aed2a6abf7158809cf4f3c", "otp": "000102030405060708090a0b0c0d0e0f",
        "zero": "00000000000000000000000000000000", "other": "00112233445566778899aabbccddeeff"}
# AES-128 of the SP 800-38A block 6bc1bee22e409f96e93d7e117393172a under the
# UNIQUE key (that publication's ECB vector) and under the OTP key (OpenSSL).
AES_OF_BLOCK = {"unique": "3ad77bb40d7a3660a89ecaf32466ef97",
                "otp": "47c58d5e21caaf840d015b7d9b910981"}

READ = "read {} byte plaintext key\n".format
NO_HWRNG = "WARNING: /dev/hwrng not available, using /dev/urandom\n"
TEST_KEY = ("WARNING: the DCP uses its test key: this device is neither in secure nor "
            "trusted mode\n")
NO_NULL_KEY = ("kcapi_cipher_setkey (zero-length) failed: -22\n"
               "Is the NXP DCP driver loaded with null-key support?\n")
INVAL, BADMSG = "Invalid argument", "Bad message"


class Failed(Exception):
    """A run that cannot go on: the test fails, naming the kernel."""


def die(msg):
    raise Failed(msg)


AUTO = "auto"  # the test module counts one zero-length setkey per run; a driver none


class Row:
    def __init__(self, kind, name, action, **want):
        self.kind, self.name, self.action, self.want = kind, name, action, want


def step(action):
    return Row("step", "", action)


def run(name, action, rc=0, err="", opens=None, counter=AUTO):
    """A run of the tool: exit status, exact standard error, the rise of the
    module's counter (None: not loaded), the key its blob opens under alone."""
    return Row("case", name, action, rc=rc, err=err, opens=opens, counter=counter)


def trust(name, action, refused=None, holds=None, opens=None, says=None):
    """A trusted key added: refused with that error; or loaded, holding the
    blob and bytes of run case `holds`, or its own blob opening under key
    `opens`. `says`: what the kernel must have logged."""
    return Row("trust", name, action, refused=refused, holds=holds, opens=opens, says=says)


class Suite(list):
    def script(self):
        return "".join(f"N=$u.{r.name}; " * bool(r.name) + r.action + "\n"
                       for r in self if r.action)


STACK = Suite([
    # The stack is built up a piece at a time; each failure case lacks
    # exactly one piece, so the result is the kernel's own answer to that lack.
    step("load af_alg algif_skcipher crypto_user; random_key 16"),
    run("no_ecb", "run_case from_file", 1, READ(16) + "kcapi_cipher_init(ecb(aes)) failed: -2\n",
        counter=None),
    step("load ecb; unload crypto_user"),
    run("no_crypto_user", "run_case from_file", 1,
        READ(16) + "kcapi_cipher_init(ecb(aes)) failed: -93\n", counter=None),
    step("load crypto_user"),
    run("stock_kernel", "run_case from_file", 1, READ(16) + NO_NULL_KEY, counter=None),
    Row("alg", "alg", "load dcp_nullkey; alg_line", driver="1", priority="5000", selftest="passed"),
    run("no_algif_aead", "run_case from_file", 1,
        READ(16) + "kcapi_aead_init(gcm(aes)) failed: -2\n", counter=1),
    step("load algif_aead"),
    run("no_gcm", "run_case from_file", 1, READ(16) + "kcapi_aead_init(gcm(aes)) failed: -2\n",
        counter=1),
    step("load gf128mul ghash-generic ctr gcm"),
    *[run(f"len_{n}", f"random_key {n}; run_case from_file", 0, READ(n), "unique")
      for n in (1, 4, 17, 128)],
    run("text_line", r"printf 'abc\n' >/tmp/key; run_case from_file", 0, READ(4), "unique"),
    run("pieces", "random_key 10; run_case in_pieces", 0, READ(10), "unique"),
    run("too_long", "random_key 129; run_case from_file", 1,
        "plaintext key too long: more than 128 bytes\n", counter=0),
    run("no_hwrng", "random_key 16; mv /dev/hwrng /dev/hwrng.away; run_case from_file; "
        "mv /dev/hwrng.away /dev/hwrng", 0, READ(16) + NO_HWRNG + NO_HWRNG, "unique"),
    run("zero_key", "unload dcp_nullkey; insmod /mod/dcp_nullkey.ko zero_key=1 || fatal zero_key; "
        "run_case from_file", 0, READ(16) + TEST_KEY, "zero"),
    # The node stays when its driver goes: opening works, reading fails.
    run("hwrng_no_driver", "unload virtio_rng; run_case from_file", 1,
        READ(16) + "short read from random source: got -1, want 16\n", counter=0),
])


def board(name, says):
    """The README's board check, as written: passes, or fails naming why."""
    return Row("board", name, "board", says=says)


TRUSTED = Suite([
    step("dcp_up; trusted_up"),
    *[r for n in range(1, 129) for r in (
        run(f"len_{n}", f"random_key {n}; run_case from_file; cp /tmp/out /tmp/blob_{n}", 0,
            READ(n), "unique"),
        trust(f"len_{n}", f'trust "load $(cat /tmp/blob_{n})"', holds=f"len_{n}"))],
    step("cp /tmp/blob_32 /tmp/blob32"),
    board("board_ok", "board check passed"),
    # One hex digit changed in each field of the 32-byte key's blob. Header
    # and length faults are caught before any decryption; the rest by the
    # GCM tag. Only the nonce's first 12 bytes reach gcm(aes).
    *[trust(f"tamper_{field}", f'trust "load $(flip {digit})"', refused=error)
      for field, digit, error in (("version", 1, INVAL), ("wrapped_key", 10, BADMSG),
                                  ("nonce", 34, BADMSG), ("length", 66, INVAL),
                                  ("ciphertext", 74, BADMSG), ("tag", -1, BADMSG))],
    trust("tamper_cut", 'trust "load $(cut_short)"', refused=INVAL),
    trust("kernel_new", 'trust "new 32"', opens="unique"),
    # The README's own sealing and loading commands.
    run("readme", "random_key 32; run_case readme", 0, READ(32), "unique"),
    trust("readme", "report NAME $rc", holds="readme"),
    # Eight runs at once, and loads of earlier blobs beside them.
    step("concurrency"),
    *[r for i in range(1, 9) for r in (
        run(f"conc_{i}", "", 0, READ(32), "unique", counter=None),
        trust(f"conc_load_{i}", "", holds=f"len_{16 * i}"))],
    Row("using", "using", "load dm-crypt; using_key; unload dm_crypt"),
    step("unload encrypted_keys trusted"),
    board("board_no_trusted", "cause: trusted keys are not running on the DCP"),
    # dcp_use_otp_key=1: the UNIQUE key's blob is refused, and the kernel's
    # own blobs are bound to the OTP key.
    step("trusted_up dcp_use_otp_key=1"),
    trust("otp_key", 'trust "load $(cat /tmp/blob32)"', refused=BADMSG),
    trust("otp_kernel_new", 'trust "new 32"', opens="otp"),
    board("board_otp", "cause: trusted keys use another DCP key"),
    step("unload encrypted_keys trusted; dcp_down; dcp_stock"),
    board("board_no_nullkey", "cause: ecb(aes) refuses a zero-length key"),
    step("dcp_down"),
])

# The driver's self-tests at load. sha1-dcp and sha256-dcp may fail: since
# Linux 6.12 their tests run at once, and the driver keeps a hash's pending
# bytes in one buffer that all hash requests share ("race").
SELFTESTS = {"ecb-aes-dcp": "passed", "cbc-aes-dcp": "passed", "ecb-paes-dcp": "passed",
             "cbc-paes-dcp": "passed", "sha1-dcp": "race", "sha256-dcp": "race"}

DRIVER = Suite([
    step("dcp_up"),
    Row("selftest", "selftest", "selftests", algs=SELFTESTS, says=()),
    # One tfm re-keyed from the null key to a real key, another the other
    # way: each encrypts under its latest key.
    Row("rekey", "rekey", "rekey_line"),
    step("dcp_down; dcp_stock"),
    run("stock", "random_key 32; run_case from_file; dcp_down", 1, READ(32) + NO_NULL_KEY,
        counter=None),
    # Before "crypto: mxs-dcp - Only set OTP_KEY bit for OTP key", every
    # referenced key meant OTP: the tool and trusted keys both bind to it.
    run("otpbit", "load mxs-dcp-nullkey-otpbit; settle; random_key 32; "
        "run_case from_file; cp /tmp/out /tmp/blob_otpbit; trusted_up", 0, READ(32), "otp",
        counter=None),
    trust("otpbit_load", 'trust "load $(cat /tmp/blob_otpbit)"', holds="otpbit"),
    trust("otpbit_fixed", "unload encrypted_keys trusted mxs_dcp; dcp_up; trusted_up; "
          'trust "load $(cat /tmp/blob_otpbit)"', refused=BADMSG,
          says="Unwrap of DCP payload failed"),
    step("unload encrypted_keys trusted; dcp_down"),
])

# A DCP on its all-zero test key: the tool warns and seals; trusted keys
# refuse to start unless told to skip the test.
TESTKEY = Suite([
    step("dcp_up"),
    run("zero_key", "random_key 32; run_case from_file; cp /tmp/out /tmp/blob_zero", 0,
        READ(32) + TEST_KEY, "zero"),
    trust("zero_key_refused", "dmesg -c >/dev/null; rc=0; "
          "insmod /mod/trusted.ko source=dcp 2>/tmp/kerr || rc=$?; report none $rc",
          refused=INVAL, says="Device neither in secure nor trusted mode"),
    board("board_test_key", "cause: the DCP runs on its test key"),
    trust("zero_key_skip", 'trusted_up dcp_skip_zk_test=1; trust "load $(cat /tmp/blob_zero)"',
          holds="zero_key"),
    step("unload encrypted_keys trusted; dcp_down"),
])

# A second board, whose UNIQUE key differs, refuses the first board's blob.
BINDING = Suite([
    step("dcp_up; trusted_up"),
    trust("other_board", 'trust "load $(cat /sealed.$u)"', refused=BADMSG,
          says="Unwrap of DCP payload failed"),
    step("unload encrypted_keys trusted; dcp_down"),
])

# The extended self-tests, turned on at run time, refuse the null key's
# minimum key size of 0, so "ecb(aes)" falls back to the generic AES, which
# refuses a zero-length key.
EXTRATESTS = Suite([
    step("[ -f /tmp/extra_on ] || { echo 0 >/sys/module/cryptomgr/parameters/$SLOWTESTS; "
         "dmesg -c >/dev/null; dcp_up; : >/tmp/extra_on; }"),
    Row("selftest", "extratests", "selftests", algs={
        "ecb-aes-dcp": "unknown", "cbc-aes-dcp": "unknown", "ecb-paes-dcp": "passed",
        "cbc-paes-dcp": "passed", "sha1-dcp": "race", "sha256-dcp": "race"}, says=(
        "alg: skcipher: min keysize for ecb-aes-dcp (0) doesn't match generic impl (16)",
        "alg: self-tests for ecb(aes) using ecb-aes-dcp failed (rc=-22)")),
    run("extratests_seal", "random_key 32; run_case from_file", 1, READ(32) + NO_NULL_KEY,
        counter=None),
])

CASES = {"stack": STACK, "trusted": TRUSTED, "driver": DRIVER, "testkey": TESTKEY,
         "binding": BINDING, "extratests": EXTRATESTS}


# --- the judges: each returns its failures and a summary -----------------------

def text(hexed):
    return bytes.fromhex(hexed or "").decode(errors="replace")


def enc_hmac_ok(enc, key):
    """The HMAC that security/keys/encrypted-keys puts after an encrypted
    key's datablob: over "format\\0master\\0datalen\\0", the IV, a zero byte
    and the encrypted data, keyed with SHA-256 of "AUTH_KEY\\0" and the
    master key, zero-padded to 32 bytes. It matches only if the trusted key
    that served as master holds exactly the bytes of key."""
    parts = enc.split()
    if len(parts) != 4 or not re.fullmatch("[0-9a-f]{65,}", parts[3]):
        return False
    fmt, desc, datalen, data = parts
    master = b"AUTH_KEY\0" + bytes.fromhex(key)
    auth = hashlib.sha256(master.ljust(32, b"\0")).digest()
    mac = hmac.new(auth, f"{fmt}\0{desc}\0{datalen}\0".encode() + bytes.fromhex(data[:-64]),
                   hashlib.sha256).hexdigest()
    return mac == data[-64:]


def parse(console):
    """The console's results: {(KIND, USERLAND.CASE): {key: value}}."""
    return {(kind, name): dict(kv.split("=", 1) for kv in rest.split())
            for kind, name, rest in re.findall(r"^@@ (\w+) name=(\S+) ?(.*)$", console, re.M)}


class Boot:
    """One boot's console, parsed once, and its blobs opened in one run of
    blob-open under every emulated key."""

    def __init__(self, m, console, blob_open):
        self.m = m
        self.lines = parse(console)
        blobs = sorted({b for (kind, _), f in self.lines.items() if kind in ("case", "trust")
                        for b in [text(f.get("out", f.get("blob"))).strip()]
                        if re.fullmatch("[0-9a-f]+", b)})
        query = "".join(f"{k} {b}\n" for b in blobs for k in KEYS.values())
        got = subprocess.run([blob_open, "--batch"], input=query, capture_output=True, text=True,
                             check=True).stdout.split()
        self.opened = dict(zip(((b, k) for b in blobs for k in KEYS), got))

    def opens(self, blob, key):
        """Failures unless blob opens under key and no other; its key."""
        got = self.opened.get((blob, key), "-")
        fails = [f"the blob does not open with the {key} key"] if got == "-" else []
        fails += [f"the blob also opens with the {k} key" for k in KEYS
                  if k != key and self.opened.get((blob, k), "-") != "-"]
        return fails, got

    def judge_case(self, f, w, u):
        counter = self.m.dcp.counter if w["counter"] == AUTO else w["counter"]
        fails = [] if f["rc"] == str(w["rc"]) else [f"exit status {f['rc']}, want {w['rc']}"]
        err = "".join(ln for ln in text(f["err"]).splitlines(True)
                      if not ln.startswith("libkcapi - "))
        if err != w["err"]:
            fails.append(f"standard error {err!r}, want {w['err']!r}")
        before, after = f["before"], f["after"]
        if counter is None:
            if (before, after) != ("-", "-"):
                fails.append(f"module loaded, counter {before} -> {after}")
        elif "-" in (before, after):
            fails.append("module counter not readable")
        elif int(after) - int(before) != counter:
            fails.append(f"counter went {before} -> {after}, want +{counter}")
        out, n = text(f["out"]), len(f["key"]) // 2
        if w["opens"] is None:
            fails += [f"standard output not empty: {out!r}"] if out else []
        elif not re.fullmatch(f"01[0-9a-f]{{{104 + 2 * n}}}\n", out):
            fails.append(f"not one line of 01 and then {104 + 2 * n} lowercase hex digits: {out!r}")
        elif out[66:74] != n.to_bytes(4, "little").hex():
            fails.append(f"length field {out[66:74]}, want {n.to_bytes(4, 'little').hex()}")
        else:
            bad, got = self.opens(out.strip(), w["opens"])
            fails += bad + ([f"the blob opens to {got}, the key was {f['key']}"]
                            if not bad and got != f["key"] else [])
        result = re.search(r"failed: (-\d+)", err)
        return fails, f"exit {f['rc']}, counter {before} -> {after}" + (
            f", kernel result {result.group(1)}" if result else "")

    def judge_trust(self, f, w, u):
        err = " ".join(text(f["err"]).split())
        dmesg = text(f["dmesg"])
        fails = [f'the kernel did not log "{w["says"]}"'] if w["says"] and w["says"] not in dmesg else []
        if w["refused"]:
            if f["rc"] == "0":
                fails.append(f'loaded, want a refusal with "{w["refused"]}"')
            elif w["refused"] not in err:
                fails.append(f'refused with "{err}", want "{w["refused"]}"')
        elif f["rc"] != "0":
            fails.append(f"not loaded (exit {f['rc']}): {err}; kernel: {' '.join(dmesg.split())}")
        else:
            blob = text(f["blob"]).strip()
            if w["holds"]:
                src = self.lines.get(("case", f"{u}.{w['holds']}"), {})
                key = src.get("key")
                if blob != text(src.get("out")).strip():
                    fails.append("the trusted key holds another blob than the one sealed")
            else:
                bad, key = self.opens(blob, w["opens"])
                fails += bad
            if key and key != "-" and not enc_hmac_ok(text(f["enc"]), key):
                fails.append("the loaded key does not hold the sealed bytes")
        return fails, "loaded" if f["rc"] == "0" else f"refused: {err}"

    def judge_board(self, f, w, u):
        out = text(f["out"])
        fails = [] if w["says"] in out else [f'the board check did not say "{w["says"]}": {out!r}']
        if w["says"].startswith("board check passed"):
            fails += ["the board check passed and failed"] if "FAILED" in out else []
        elif "board check FAILED" not in out or "board check passed" in out:
            fails.append("the board check did not fail")
        return fails, (out.strip().splitlines() or [""])[-1]

    def judge_selftest(self, f, w, u):
        algs = dict(a.split(":") for a in f["algs"].split(",") if a)
        log = text(f["dmesg"])
        fails = [f'the kernel did not log "{s}"' for s in w["says"] if s not in log]
        for d, want in w["algs"].items():
            got = algs.get(d, "missing")
            if want == "race":
                if not (got == "passed" or (got == "unknown" and
                                            f"{d} test failed (wrong result)" in log)):
                    fails.append(f"{d}: self-test {got}")
            elif got != want:
                fails.append(f"{d}: self-test {got}, want {want}")
        return fails, f["algs"]

    def judge_rekey(self, f, w, u):
        k, n = AES_OF_BLOCK["otp"], AES_OF_BLOCK["unique"]
        want = f"zero-then-key:{n}:{k},key-then-zero:{k}:{n},"
        return ([] if f["out"] == want else [f"got {f['out']}, want {want}"]), f["out"][:40] + "..."

    def judge_using(self, f, w, u):
        steps = "sealed,opened,written,closed,unlinked,reopened,read,closed"
        return [msg for bad, msg in (
            (f["steps"] != steps, f'stopped after "{f["steps"]}": {text(f["out"])[-300:]!r}'),
            (f["same"] != "yes", "the data read back differs"),
            (f["raw_is_data"] != "no", "the disk holds the data in clear")) if bad], f["steps"]

    def judge_alg(self, f, w, u):
        return [f"{k}={f.get(k)}, want {v}" for k, v in w.items() if f.get(k) != v], str(f)


def judge_boot(m, boot, console, userlands, blob_open, n):
    """Checks that boot ran its init to the end on the machine's kernel and
    RNG, then prints a TAP line per case and userland; returns the verdicts
    (True, False, or "todo": a failure the machine's row expects and names)."""
    if "@@ start " not in console:
        die(f"the {boot} boot never started its init: {console[-2000:]}")
    fatal = re.search(r"^@@ fatal .*$", console, re.M)
    if fatal or "\n@@ done" not in console:
        die(f"the {boot} boot's init did not finish: {fatal.group(0) if fatal else console[-2000:]}")
    said = dict(re.findall(r"^@@ (start|hwrng) (.*)$", console, re.M))
    if not re.fullmatch(rf"kernel={m.kernel.uname} boot={boot}", said.get("start", "")):
        die(f"the {boot} boot ran another kernel: {said.get('start')}")
    if not said.get("hwrng", "").startswith(f"node=yes current={m.rng}"):
        die(f"no {m.rng} behind /dev/hwrng: {said.get('hwrng')}")
    b, verdicts = Boot(m, console, blob_open), []
    for u in userlands:
        for r in CASES[boot]:
            if r.kind == "step":
                continue
            f = b.lines.get((r.kind, f"{u}.{r.name}"))
            fails, summary = getattr(b, f"judge_{r.kind}")(f, r.want, u) if f else (
                ["no result in the console log"], "")
            n += 1
            todo = m.todo and re.fullmatch(m.todo[1], r.name)
            verdicts.append("todo" if fails and todo else not fails)
            print(f"{'not ok' if fails else 'ok'} {n} - {boot} {u}.{r.name} {r.kind}: {summary}"
                  + (f" # TODO {m.todo[0]}" if todo else ""))
            for msg in fails:
                print(f"# {msg}")
    return verdicts
