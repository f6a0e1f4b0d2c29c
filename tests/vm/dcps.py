# SPDX-FileCopyrightText: 2026 dcp-sealkey developers
# SPDX-License-Identifier: MIT
"""The kinds of DCP a machine has: the test module in its place, or QEMU's
model of it served by the real mxs-dcp driver."""
import dataclasses
import os
import shutil

from util import CACHE_ROOT, HERE, TOP, check, emulated_keys, run_logged

PATCH = f"{TOP}/kernel/mxs-dcp-null-key.patch"
QEMU_DIR = os.environ.get("DCP_QEMU_DIR", f"{CACHE_ROOT}/qemu")


@dataclasses.dataclass(frozen=True)
class DcpKeys:
    """The keys of a boot's DCP: the emulated ones, another board's UNIQUE
    key, or a chip on its all-zero test key (neither secure nor trusted);
    and the key that the null key selects, "unique" or "otp"."""
    unique: str = "EMULATED_UNIQUE_KEY"  # a name from tests/emulated_keys.h
    test_keys: bool = False
    null_key: str = "unique"


@dataclasses.dataclass(frozen=True)
class Drivers:
    """What the guest loads to serve the DCP: modules in /mod, named without their .ko."""
    null_key: str  # the driver with null-key support
    loaded: str  # its name in /proc/modules
    stock: str = ""  # the same driver without null-key support
    otp_bit: str = ""  # the null-key driver as it was before the OTP_KEY fix
    setkeys: str = ""  # a file that counts the zero-length setkeys it took
    test_key_args: str = ""  # insmod arguments that put it on the test key


class Dcp:
    """How a machine serves the DCP. Each kind gives prepare(kernel, work,
    root), which puts its drivers into the initramfs once per run and returns
    their Drivers, and module_args(keys), what a boot with given keys adds to
    the driver's insmod; qemu_args(keys) is what it adds to QEMU's command line."""
    fixture = ""  # a CTest fixture that must have run first

    def fetch(self, work):
        pass

    def qemu(self, binary):
        return binary

    def qemu_args(self, keys):
        return []


def build_drivers(kernel, work, variants):
    """The null-key patch, through checkpatch.pl --strict, applied to the
    kernel's own mxs-dcp.c and built against it with W=1 and no warning:
    "nullkey", and "nullkey-otpbit" with the upstream fix "crypto: mxs-dcp
    - Only set OTP_KEY bit for OTP key" undone, as kernels from 6.10 until
    that fix were: work/driver-VARIANT/mxs-dcp.ko."""
    log = f"{work}/driver.log"
    open(log, "w").close()
    check(run_logged(["perl", f"{kernel.src}/scripts/checkpatch.pl", "--strict", "--no-tree", "-q",
                      PATCH], log) == 0,
          f"checkpatch.pl --strict: the driver patch has problems, see {log}")
    for variant in variants:
        d = f"{work}/driver-{variant}"
        shutil.rmtree(d, ignore_errors=True)
        os.makedirs(d)
        shutil.copy(f"{kernel.src}/drivers/crypto/mxs-dcp.c", d)
        check(run_logged(f"patch -s -p3 --no-backup-if-mismatch <{PATCH}", log, cwd=d) == 0,
              f"the driver patch does not apply, see {log}")
        if variant.endswith("otpbit"):
            text, fixed = open(f"{d}/mxs-dcp.c").read(), "\telse if (actx->key[0] == DCP_PAES_KEY_OTP)\n"
            check(fixed in text, "cannot undo the OTP_KEY fix in this mxs-dcp.c")
            open(f"{d}/mxs-dcp.c", "w").write(text.replace(fixed, "\telse\n"))
        open(f"{d}/Kbuild", "w").write("obj-m := mxs-dcp.o\n")
        check(run_logged(kernel.make() + ["W=1", f"M={d}", "modules"], log) == 0,
              f"mxs-dcp.ko ({variant}) does not build, see {log}")
    check("warning:" not in open(log).read(), f"mxs-dcp.ko builds with warnings, see {log}")
    print(f"# the null-key patch passes checkpatch.pl --strict and builds for {kernel.arch}")


class TestModule(Dcp):
    """dcp_nullkey (module/) stands in for the DCP's key slots and counts
    its zero-length setkeys. On a kernel built from source the null-key
    patch is also checked and built, though nothing loads it there."""

    def prepare(self, kernel, work, root):
        d = f"{work}/module"
        shutil.rmtree(d, ignore_errors=True)
        shutil.copytree(f"{HERE}/module", d)
        shutil.copy(f"{TOP}/tests/emulated_keys.h", d)
        check(run_logged(kernel.make() + [f"M={d}", "modules"], f"{work}/module.log") == 0,
              f"building the test module failed, see {work}/module.log")
        shutil.copy(f"{d}/dcp_nullkey.ko", f"{root}/mod/")
        if kernel.src:
            build_drivers(kernel, work, ("nullkey",))
        return Drivers(null_key="dcp_nullkey", loaded="dcp_nullkey", test_key_args="zero_key=1",
                       setkeys="/sys/module/dcp_nullkey/parameters/zero_length_setkeys")

    def module_args(self, keys):
        check(keys.unique == DcpKeys.unique and keys.null_key == DcpKeys.null_key,
              "the test module has one UNIQUE key only, and its null key selects it")
        return "zero_key=1" if keys.test_keys else ""


class Model(Dcp):
    """QEMU's DCP model (qemu/) and the real driver: the kernel's stock
    mxs-dcp.ko and the two null-key builds. The harness gives the model its
    keys, so that they come from the one list the other tests use."""
    fixture = "qemu_model"  # the CTest fixture that builds QEMU with the model

    def fetch(self, work):
        check(run_logged(["bash", f"{TOP}/qemu/build.sh", QEMU_DIR], f"{work}/qemu-build.log") == 0,
              f"building QEMU with the DCP model failed, see {work}/qemu-build.log")

    def qemu(self, binary):
        return f"{QEMU_DIR}/{binary}"

    def prepare(self, kernel, work, root):
        shutil.copy(f"{kernel.obj}/drivers/crypto/mxs-dcp.ko", f"{root}/mod/")
        variants = ("nullkey", "nullkey-otpbit")
        build_drivers(kernel, work, variants)
        for variant in variants:
            shutil.copy(f"{work}/driver-{variant}/mxs-dcp.ko", f"{root}/mod/mxs-dcp-{variant}.ko")
        return Drivers(null_key="mxs-dcp-nullkey", loaded="mxs_dcp", stock="mxs-dcp",
                       otp_bit="mxs-dcp-nullkey-otpbit")

    def module_args(self, keys):
        return {"unique": "", "otp": "null_key_otp=1"}[keys.null_key]

    def qemu_args(self, keys):
        known = emulated_keys()
        props = {"unique-key": known[keys.unique], "otp-key": known["EMULATED_OTP_KEY"],
                 "test-keys": "on" if keys.test_keys else "off"}
        return [a for name, value in props.items()
                for a in ("-global", f"driver=imx.dcp,property={name},value={value}")]
