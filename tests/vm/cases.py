# SPDX-FileCopyrightText: 2026 dcp-sealkey developers
# SPDX-License-Identifier: MIT
"""The VM cases, as boots: each boot is one start of a machine, its cases
run in order once per userland, and the keys its DCP holds. A case is a row
of its kind (kinds.py); Step rows load and unload what the next cases need."""
import collections
import errno

from dcps import DcpKeys
from guest import DCP_DOWN, DCP_STOCK, EXTRA_SELFTESTS_ON, dcp_up, insmods, once, rmmods, trusted_up
from kinds import (BADMSG, INVAL, READ, TOOL, Algorithm, Board, Concurrently, Rekey, Seal, SelfTests,
                   Step, Trust, Using)
from util import emulated_keys

Boot = collections.namedtuple("Boot", "name cases dcp_keys", defaults=(DcpKeys(),))

# The tool's messages (src/messages.h); CIPHER_INIT and AEAD_INIT take the
# kernel's result.
NO_HWRNG, TEST_KEY = TOOL["MSG_NO_HWRNG"], TOOL["MSG_TEST_KEY"]
NO_HARDWARE = TOOL["MSG_NO_HARDWARE"]
NO_NULL_KEY = TOOL["MSG_NULL_KEY_REFUSED"] % -22
NOT_ROOT = TOOL["MSG_NULL_KEY_REFUSED"] % -1 + TOOL["MSG_NOT_ROOT"]
CIPHER_INIT, AEAD_INIT = TOOL["MSG_CIPHER_INIT_FAILED"], TOOL["MSG_AEAD_INIT_FAILED"]

# One AES block and its answers under the emulated keys; the OTP key's
# bytes also serve as a real key that the caller gives.
EMULATED = emulated_keys()
BLOCK, REAL = EMULATED["SP800_38A_BLOCK"], EMULATED["EMULATED_OTP_KEY"]
UNDER_UNIQUE, UNDER_REAL = EMULATED["UNIQUE_SP800_38A_BLOCK"], EMULATED["OTP_SP800_38A_BLOCK"]
ZERO_IV = "00" * 16
# What afalg prints for a refusal: the error number.
EPERM, EINVAL, EOPNOTSUPP = (f"E{e}" for e in (errno.EPERM, errno.EINVAL, errno.EOPNOTSUPP))


def null_key_rules(under):
    """The null key, under which BLOCK encrypts to `under`, seals for root
    and does nothing else; a real key set after it on the same handle
    decrypts as ever. Each in ECB and in CBC, whose first block under a
    zero IV is ECB's."""
    return (
        Rekey("null_key_encrypts_only", [
            (f"ecb(aes) key= enc={BLOCK} dec={under}",
             f"key:ok enc:{under} dec:{EOPNOTSUPP}:untouched"),
            (f"cbc(aes) key= iv={ZERO_IV} enc={BLOCK} dec={under}",
             f"key:ok iv:ok enc:{under} dec:{EOPNOTSUPP}:untouched")]),
        Rekey("real_key_after_null_key", [
            (f"ecb(aes) key= key={REAL} dec={UNDER_REAL}", f"key:ok key:ok dec:{BLOCK}"),
            (f"cbc(aes) key= key={REAL} iv={ZERO_IV} dec={UNDER_REAL}",
             f"key:ok key:ok iv:ok dec:{BLOCK}")]),
        Rekey("null_key_for_root_only", [
            ("ecb(aes) key=", f"key:{EPERM}"), ("cbc(aes) key=", f"key:{EPERM}"),
            (f"ecb(aes) key={REAL} enc={BLOCK}", f"key:ok enc:{UNDER_REAL}")], as_nobody=True),
        Seal("as_nobody", 32, run="as_nobody", rc=1, err=READ(32) + 2 * NO_HWRNG + NOT_ROOT,
             opens=None, setkeys=0),
        Board("board_not_root", "cause: the null key needs root", as_nobody=True),
    )


STACK = Boot("stack", (
    # The stack is built up a piece at a time; each failure case lacks
    # exactly one piece, so the result is the kernel's own answer to that lack.
    Step(insmods("af_alg", "algif_skcipher", "crypto_user")),
    Seal("no_ecb", 16, rc=1, err=READ(16) + CIPHER_INIT % -2, opens=None, setkeys=None),
    Step(insmods("ecb"), rmmods("crypto_user")),
    Seal("no_crypto_user", 16, rc=1, err=READ(16) + CIPHER_INIT % -93, opens=None, setkeys=None),
    Step(insmods("crypto_user")),
    Seal("stock_kernel", 16, rc=1, err=READ(16) + NO_NULL_KEY, opens=None, setkeys=None),
    Step(dcp_up()),
    Algorithm("alg", "ecb-aes-dcp-nullkey", priority="5000", selftest="passed"),
    Seal("no_algif_aead", 16, rc=1, err=READ(16) + AEAD_INIT % -2, opens=None),
    Step(insmods("algif_aead")),
    Seal("no_gcm", 16, rc=1, err=READ(16) + AEAD_INIT % -2, opens=None),
    Step(insmods("gf128mul", "ghash-generic", "ctr", "gcm")),
    *[Seal(f"len_{n}", n) for n in (1, 4, 17, 128)],
    Seal("text_line", b"abc\n"),
    Seal("pieces", 10, run="in_pieces"),
    Seal("too_long", 129, rc=1, err=TOOL["MSG_KEY_TOO_LONG"], opens=None, setkeys=0),
    Seal("no_hwrng", 16, err=READ(16) + 2 * NO_HWRNG, before="mv /dev/hwrng /dev/hwrng.away",
         after="mv /dev/hwrng.away /dev/hwrng"),
    *null_key_rules(UNDER_UNIQUE),
    Seal("zero_key", 16, err=READ(16) + TEST_KEY, opens="zero",
         before=f"{DCP_DOWN}; {dcp_up(test_keys=True)}"),
    # The node stays when its driver goes: opening works, reading fails.
    Seal("hwrng_no_driver", 16, rc=1, err=READ(16) + TOOL["MSG_SHORT_RANDOM"] % (-1, 16),
         opens=None, setkeys=0, before=rmmods("virtio_rng")),
))

# The blob of every key length; some are handed on to later boots, and to
# the rows of newer kernels.
HANDED_ON = (32, 48, 64, 96, 128)
SEALED = {n: Seal(f"len_{n}", n, hand_on=n in HANDED_ON) for n in range(1, 129)}
# One hex digit changed in each field of the 32-byte key's blob. Header and
# length faults are caught before any decryption; the rest by the GCM tag.
# Only the nonce's first 12 bytes reach gcm(aes).
TAMPERED = (("version", 1, INVAL), ("wrapped_key", 10, BADMSG), ("nonce", 34, BADMSG),
            ("length", 66, INVAL), ("ciphertext", 74, BADMSG), ("tag", -1, BADMSG))
RECIPE_SEALED = Seal("readme", 32, run="by_recipe")

# The kernel's trusted keys (trusted.ko source=dcp) and the tool's blobs.
TRUSTED = Boot("trusted", (
    Step(dcp_up(), trusted_up()),
    *[case for n, sealed in SEALED.items()
      for case in (sealed, Trust(f"len_{n}", blob_of=sealed, holds=sealed))],
    Board("board_ok", "board check passed"),
    *[Trust(f"tamper_{field}", blob_of=SEALED[32], flip=digit, refused=error)
      for field, digit, error in TAMPERED],
    Trust("tamper_cut", blob_of=SEALED[32], cut=True, refused=INVAL),
    Trust("kernel_new", new=32, opens="unique"),
    # The README's own sealing and loading commands.
    RECIPE_SEALED,
    Trust("readme", by_recipe=True, holds=RECIPE_SEALED),
    # Eight runs at once, and loads of earlier blobs beside them.
    Concurrently([Seal(f"conc_{i}", 32, setkeys=None) for i in range(1, 9)],
                 [Trust(f"conc_load_{i}", blob_of=SEALED[16 * i], holds=SEALED[16 * i])
                  for i in range(1, 9)]),
    Using("using"),
    *null_key_rules(UNDER_UNIQUE),
    Step(rmmods("encrypted_keys", "trusted")),
    Board("board_no_trusted", "cause: trusted keys are not running on the DCP"),
    # dcp_use_otp_key=1: the UNIQUE key's blob is refused, and the kernel's
    # own blobs are bound to the OTP key.
    Step(trusted_up("dcp_use_otp_key=1")),
    Trust("otp_key", blob_of=SEALED[32], refused=BADMSG),
    Trust("otp_kernel_new", new=32, opens="otp"),
    Board("board_otp", "cause: trusted keys use another DCP key"),
    Step(rmmods("encrypted_keys", "trusted"), DCP_DOWN, DCP_STOCK),
    Board("board_no_nullkey", "cause: ecb(aes) refuses a zero-length key"),
    Step(DCP_DOWN),
))

# The driver's self-tests at load. sha1-dcp and sha256-dcp may fail: since
# Linux 6.12 their tests run at once, and the driver keeps a hash's pending
# bytes in one buffer that all hash requests share ("race").
SELFTESTS = {"ecb-aes-dcp": "passed", "cbc-aes-dcp": "passed", "ecb-paes-dcp": "passed",
             "cbc-paes-dcp": "passed", "sha1-dcp": "race", "sha256-dcp": "race"}
# Before "crypto: mxs-dcp - Only set OTP_KEY bit for OTP key", every
# referenced key meant OTP: the tool and trusted keys both bind to it.
OTP_BIT_SEALED = Seal("otpbit", 32, opens="otp", setkeys=None, before=dcp_up("otp_bit"),
                      after=trusted_up(), hand_on=True)

# The patched driver, the stock one, and the one from before the OTP_KEY fix.
DRIVER = Boot("driver", (
    Step(dcp_up()),
    SelfTests("selftest", SELFTESTS),
    # One tfm re-keyed from the null key to a real key, another the other
    # way: each encrypts under its latest key.
    Rekey("rekey", [(f"ecb(aes) key= enc={BLOCK} key={REAL} enc={BLOCK}",
                     f"key:ok enc:{UNDER_UNIQUE} key:ok enc:{UNDER_REAL}"),
                    (f"ecb(aes) key={REAL} enc={BLOCK} key= enc={BLOCK}",
                     f"key:ok enc:{UNDER_REAL} key:ok enc:{UNDER_UNIQUE}")]),
    Step(DCP_DOWN, DCP_STOCK),
    # The stock driver's minimum key size keeps the zero-length key out.
    Rekey("stock_refuses_null_key", [("ecb(aes) key=", f"key:{EINVAL}"),
                                     ("cbc(aes) key=", f"key:{EINVAL}")]),
    Seal("stock", 32, rc=1, err=READ(32) + NO_NULL_KEY, opens=None, setkeys=None, after=DCP_DOWN),
    OTP_BIT_SEALED,
    Trust("otpbit_load", blob_of=OTP_BIT_SEALED, holds=OTP_BIT_SEALED),
    Trust("otpbit_fixed", blob_of=OTP_BIT_SEALED, refused=BADMSG, says="Unwrap of DCP payload failed",
          before=f"{rmmods('encrypted_keys', 'trusted')}; {DCP_DOWN}; {dcp_up()}; {trusted_up()}"),
    Step(rmmods("encrypted_keys", "trusted"), DCP_DOWN),
))

# Trusted keys on OTP (trusted.dcp_use_otp_key=1), as on a device upgraded
# past the OTP_KEY fix, and the null key with them (null_key_otp=1): the
# tool's blobs load beside the one that the driver from before the fix
# sealed (handed on by DRIVER); the null key keeps its rules; and trusted
# keys on UNIQUE refuse its blob (the other way round: TRUSTED's otp_key).
OTP_SEALED = {n: Seal(f"len_{n}", n, opens="otp") for n in (32, 77, 128)}
OTP = Boot("otp", (
    Step(dcp_up(), trusted_up("dcp_use_otp_key=1")),
    *[case for n, sealed in OTP_SEALED.items()
      for case in (sealed, Trust(f"len_{n}", blob_of=sealed, holds=sealed))],
    Trust("otpbit_upgraded", blob_of=OTP_BIT_SEALED, earlier=True, holds=OTP_BIT_SEALED),
    Board("board_both_otp", "board check passed"),
    *null_key_rules(UNDER_REAL),
    Step(rmmods("encrypted_keys", "trusted"), trusted_up()),
    Trust("trusted_unique", blob_of=OTP_SEALED[32], refused=BADMSG, says="Unwrap of DCP payload failed"),
    Board("board_trusted_unique", "cause: trusted keys use another DCP key than the null-key driver "
          "(set trusted.dcp_use_otp_key and mxs_dcp.null_key_otp alike)"),
    Step(rmmods("encrypted_keys", "trusted"), DCP_DOWN),
), dcp_keys=DcpKeys(null_key="otp"))

# A DCP on its all-zero test key: the tool warns and seals; trusted keys
# refuse to start unless told to skip the test.
ZERO_SEALED = Seal("zero_key", 32, err=READ(32) + TEST_KEY, opens="zero")
TESTKEY = Boot("testkey", (
    Step(dcp_up()),
    ZERO_SEALED,
    Trust("zero_key_refused", start=("source=dcp",), refused=INVAL,
          says="Device neither in secure nor trusted mode"),
    Board("board_test_key", "cause: the DCP runs on its test key"),
    Trust("zero_key_skip", blob_of=ZERO_SEALED, holds=ZERO_SEALED,
          before=trusted_up("dcp_skip_zk_test=1")),
    Step(rmmods("encrypted_keys", "trusted"), DCP_DOWN),
), dcp_keys=DcpKeys(test_keys=True))

# A second board, whose UNIQUE key differs, refuses the first board's blob.
BINDING = Boot("binding", (
    Step(dcp_up(), trusted_up()),
    Trust("other_board", blob_of=SEALED[32], earlier=True, refused=BADMSG,
          says="Unwrap of DCP payload failed"),
    Step(rmmods("encrypted_keys", "trusted"), DCP_DOWN),
), dcp_keys=DcpKeys(unique="EMULATED_OTHER_UNIQUE_KEY"))


def extratests(refused):
    """The extended self-tests, turned on at run time, refuse the null key's
    minimum key size of 0, so "ecb(aes)" falls back to the generic AES,
    which refuses a zero-length key: the tool says `refused`. Turned on
    once, before the first userland."""
    return Boot("extratests", (
        Step(once("extratests", EXTRA_SELFTESTS_ON, dcp_up())),
        SelfTests("extratests", {
            "ecb-aes-dcp": "unknown", "cbc-aes-dcp": "unknown", "ecb-paes-dcp": "passed",
            "cbc-paes-dcp": "passed", "sha1-dcp": "race", "sha256-dcp": "race"}, says=(
            "alg: skcipher: min keysize for ecb-aes-dcp (0) doesn't match generic impl (16)",
            "alg: self-tests for ecb(aes) using ecb-aes-dcp failed (rc=-22)")),
        Seal("extratests_seal", 32, rc=1, err=READ(32) + refused, opens=None, setkeys=None),
    ))


EXTRATESTS = extratests(NO_NULL_KEY)

# Linux 7.2 and later, where AF_ALG reaches no hardware driver: the tool
# fails, as root and as any other user, and says why; the patched driver
# still passes its self-tests; the kernel's own trusted keys on the stock
# driver load what the tool sealed on Linux 6.12 (handed on by that row),
# and refuse it tampered; and the README's way for these kernels, the
# kernel's encrypted keys under a DCP trusted key, opens a disk.
LATER = Boot("later", (
    Step(dcp_up()),
    SelfTests("selftest", SELFTESTS),
    Step(DCP_DOWN, DCP_STOCK, trusted_up()),
    *[Seal(f"seal_{n}", n, rc=1, err=READ(n) + NO_NULL_KEY + NO_HARDWARE, opens=None,
           setkeys=None) for n in (1, 32, 128)],
    Seal("seal_as_nobody", 32, run="as_nobody", rc=1, opens=None, setkeys=None,
         err=READ(32) + 2 * NO_HWRNG + CIPHER_INIT % -2 + NO_HARDWARE),
    *[Trust(f"len_{n}", blob_of=SEALED[n], earlier=True, holds=SEALED[n]) for n in HANDED_ON],
    *[Trust(f"tamper_{field}", blob_of=SEALED[32], earlier=True, flip=digit, refused=error)
      for field, digit, error in TAMPERED],
    Trust("kernel_new", new=32, opens="unique"),
    Board("board_later", "cause: AF_ALG reaches no hardware driver"),
    Using("encrypted_disk", recipe="encrypted-disk", key="encrypted disk"),
    Step(rmmods("encrypted_keys", "trusted"), DCP_DOWN),
))
