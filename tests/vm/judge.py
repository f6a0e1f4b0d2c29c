# SPDX-FileCopyrightText: 2026 dcp-sealkey developers
# SPDX-License-Identifier: MIT
"""The judging of a work folder that vm.py boot left, as KTAP: each boot's
console read as records and judged by its cases, every blob opened under
every emulated key by blob-open. Nothing here needs root or QEMU."""
import dataclasses
import json
import os
import re
import subprocess
import time

from guest import handed_on, read_records, record_id
from util import check, emulated_keys

# The emulated keys a blob may open under, by their names in the cases.
BLOB_KEYS = {"unique": "EMULATED_UNIQUE_KEY", "otp": "EMULATED_OTP_KEY", "zero": "DCP_TEST_KEY",
             "other": "EMULATED_OTHER_UNIQUE_KEY"}


def open_blobs(found, blob_open):
    """Every blob of the records opened under every emulated key, in one
    run of blob-open: {(blob, key name): the sealed key in hex, or "-"}."""
    blobs = sorted({b.strip() for r in found.values() for f in ("out", "blob")
                    for b in [r.get(f, "")] if re.fullmatch("[0-9a-f]+\n?", b)})
    hexes = emulated_keys()
    answers = subprocess.run([blob_open, "--batch"], capture_output=True, text=True, check=True,
                             input="".join(f"{hexes[k]} {b}\n" for b in blobs
                                           for k in BLOB_KEYS.values())).stdout.split()
    return dict(zip(((b, k) for b in blobs for k in BLOB_KEYS), answers))


@dataclasses.dataclass
class Context:
    """What the judges of one boot and userland need."""
    found: dict  # every record of the boot
    opened: dict  # open_blobs()
    userland: str
    counts_setkeys: bool  # whether the DCP counts its zero-length setkeys
    loads: range  # the key lengths that the kernel's trusted keys load
    earlier: dict  # the records that earlier boots handed on, by ID

    def record_of(self, case, earlier=True):
        """A case's record in this boot, else one handed on to it."""
        key = record_id(self.userland, case)
        return self.found.get(key, self.earlier.get(key) if earlier else None)

    def opening(self, blob, key, failures):
        """The key sealed in blob, which must open under key and no other
        ("-" if it does not, with the reasons added to failures)."""
        got = self.opened.get((blob, key), "-")
        failures += [f"the blob does not open with the {key} key"] * (got == "-") + [
            f"the blob also opens with the {k} key" for k in BLOB_KEYS
            if k != key and self.opened.get((blob, k), "-") != "-"]
        return got


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


def report(number, boot, results):
    """One boot's results as a KTAP subtest; returns how many failed."""
    print(f"  KTAP version 1\n  # Subtest: {boot.name}\n  1..{len(results)}")
    for n, r in enumerate(results, 1):
        print(f"  {'not ok' if r.failures else 'ok'} {n} {r.name}: {r.summary}"
              + "".join(f"\n  # {message}" for message in r.failures))
    failed = sum(bool(r.failures) for r in results)
    print(f"{'not ok' if failed else 'ok'} {number} {boot.name}", flush=True)
    return failed


def judge(m, work, blob_open, t0):
    """Judges the boots of machine m that work holds as KTAP, but for its
    version line; returns the exit status."""
    ran = json.load(open(f"{work}/run.json"))
    print(f"1..{len(m.boots)}", flush=True)
    earlier, failed, total = ran["earlier"], 0, 0
    for number, boot in enumerate(m.boots, 1):
        console = f"{work}/console-{boot.name}.txt"
        check(os.path.exists(console), f"the {boot.name} boot did not run: no {console}")
        found = read_records(open(console).read())
        check_boot(found, boot.name, ran["uname"], m.rng)
        opened = open_blobs(found, blob_open)
        results = [r for u in ran["userlands"] for case in boot.cases for r in case.results(
            Context(found, opened, u, ran["counts_setkeys"], m.loads, earlier))]
        failed, total = failed + report(number, boot, results), total + len(results)
        earlier = {**earlier, **handed_on(boot.cases, found, ran["userlands"])}
    print(f"# {m.name} on Linux {ran['version']}: {total - failed} passed, {failed} failed, "
          f"in {time.time() - t0:.0f} s")
    return 1 if failed else 0
