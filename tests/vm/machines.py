# SPDX-FileCopyrightText: 2026 dcp-sealkey developers
# SPDX-License-Identifier: MIT
"""The machines: one row each, with named fields. A new kernel or board is
a new row, and nothing else; how a kernel or a DCP is had is its kind
(kernels.py, dcps.py)."""
import dataclasses

from cases import (BINDING, DRIVER, EXTRATESTS, LATER, NO_HARDWARE, NO_NULL_KEY, OTP, STACK,
                   TESTKEY, TOOL, TRUSTED, extratests)
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
    # The key lengths that its kernel's trusted keys load: from
    # MIN_LOADABLE_KEY_SINCE (Debian's 6.12.105-1) and in every 7.x, only
    # MIN_LOADABLE_KEY bytes and more.
    loads: range = range(1, TOOL["MAX_PLAINTEXT_KEY"] + 1)
    # A machine whose blobs this one starts from; its test runs first.
    blobs_from: str = ""


# The newest 6.12 that Debian ships, the LTS its users get.
IMX6ULL = Machine(
    name="imx6ull", kernel=SourceKernel(
        linux="newest 6.12", suite="trixie-security", arch="arm", cross="arm-linux-gnueabihf-",
        target="zImage", configs=("common", "arm"), late="arm-6.12",
        dtb="nxp/imx/imx6ull-14x14-evk.dtb"),
    qemu="qemu-system-arm", qemu_args=("-machine", "mcimx6ull-evk"), console="ttymxc0",
    rng="2284000.rng", dcp=Model(), userlands=("armhf", "armel"),
    boots=(TRUSTED, DRIVER, OTP, TESTKEY, BINDING, EXTRATESTS), loads=range(
        TOOL["MIN_LOADABLE_KEY"], TOOL["MAX_PLAINTEXT_KEY"] + 1))

MACHINES = {m.name: m for m in [
    Machine(name="amd64", kernel=DebianImage(), qemu="qemu-system-x86_64", qemu_args=(
        "-machine", "pc", "-cpu", "max", "-vga", "none", "-device", "virtio-rng-pci"),
        console="ttyS0", rng="virtio_rng", dcp=TestModule(), userlands=("amd64",),
        boots=(STACK,)),
    # A 6.12 from before the check of key lengths: every length loads.
    Machine(name="arm64", kernel=SourceKernel(
        linux="6.12.95", suite="bookworm-backports", arch="arm64",
        cross="aarch64-linux-gnu-", target="Image", configs=("common", "arm64")),
        qemu="qemu-system-aarch64", qemu_args=(
        "-machine", "virt", "-cpu", "cortex-a57", "-device", "virtio-rng-device"),
        console="ttyAMA0", rng="virtio_rng", dcp=TestModule(), userlands=("arm64",),
        boots=(TRUSTED, TESTKEY)),
    IMX6ULL,
    # The newest Linux that Debian ships, from trixie-backports, whose AF_ALG
    # reaches no hardware driver: it loads what the 6.12 row sealed.
    dataclasses.replace(IMX6ULL, name="imx6ull-7.3", kernel=dataclasses.replace(
        IMX6ULL.kernel, linux="newest 7.3", suite="trixie-backports", late="arm-7.3",
        selftests_off="noslowtests"),
        boots=(LATER, BINDING, extratests(NO_NULL_KEY + NO_HARDWARE)), blobs_from="imx6ull"),
]}
