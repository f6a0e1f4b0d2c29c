# SPDX-FileCopyrightText: 2026 dcp-sealkey developers
# SPDX-License-Identifier: MIT
"""The machines: one row each, with named fields. A new kernel or board is
a new row; how a kernel or a DCP is had is its kind (kernels.py, dcps.py)."""
import dataclasses

from cases import BINDING, DRIVER, EXTRATESTS, STACK, TESTKEY, TRUSTED
from dcps import Model, TestModule
from kernels import DebianImage, SourceKernel


@dataclasses.dataclass(frozen=True)
class Machine:
    name: str  # the CTest test is vm_NAME
    kernel: object  # a kernels.Kernel
    qemu: str  # QEMU's binary
    qemu_args: tuple
    console: str
    rng: str  # what rng_current must name
    dcp: object  # a dcps.Dcp
    userlands: tuple  # Debian architectures whose build of the tool runs
    boots: tuple  # cases.Boot, in order
    # What this kernel is known to break: (why, the cases as a regex). Those
    # cases still run, and print "not ok ... # TODO why" when they fail.
    todo: tuple = ()


IMX6ULL = Machine(
    name="imx6ull", kernel=SourceKernel(
        source="linux-source-6.12", arch="arm", cross="arm-linux-gnueabihf-", target="zImage",
        configs=("common", "arm"), late="arm-6.12", dtb="nxp/imx/imx6ull-14x14-evk.dtb"),
    qemu="qemu-system-arm", qemu_args=("-machine", "mcimx6ull-evk"), console="ttymxc0",
    rng="2284000.rng", dcp=Model(), userlands=("armhf", "armel"),
    boots=(TRUSTED, DRIVER, TESTKEY, BINDING, EXTRATESTS))

MACHINES = {m.name: m for m in [
    Machine(name="amd64", kernel=DebianImage(), qemu="qemu-system-x86_64", qemu_args=(
        "-machine", "pc", "-cpu", "max", "-vga", "none", "-device", "virtio-rng-pci"),
        console="ttyS0", rng="virtio_rng", dcp=TestModule(), userlands=("amd64",),
        boots=(STACK,)),
    Machine(name="arm64", kernel=SourceKernel(
        source="linux-source-6.12", arch="arm64", cross="aarch64-linux-gnu-", target="Image",
        configs=("common", "arm64")), qemu="qemu-system-aarch64", qemu_args=(
        "-machine", "virt", "-cpu", "cortex-a57", "-device", "virtio-rng-device"),
        console="ttyAMA0", rng="virtio_rng", dcp=TestModule(), userlands=("arm64",),
        boots=(TRUSTED, TESTKEY)),
    IMX6ULL,
    # The newest Linux that Debian ships, from trixie-backports.
    dataclasses.replace(IMX6ULL, name="imx6ull-7.3", kernel=dataclasses.replace(
        IMX6ULL.kernel, source="linux-source-7.3", late="arm-7.3", slow_tests="noslowtests"),
        todo=("Linux 7.3's AF_ALG binds no asynchronous driver: ecb(aes) is never the DCP's",
              r"len_\d+|conc_(load_)?\d|readme|tamper_(wrapped_key|nonce|ciphertext|tag)|using|"
              r"board_(ok|no_trusted|otp|test_key)|otp_key|rekey|otpbit\w*|zero_key(_skip)?|"
              r"other_board|null_key_\w+|real_key_after_null_key|as_nobody|board_not_root")),
]}
