#!/usr/bin/env python3
# SPDX-FileCopyrightText: 2026 dcp-sealkey developers
# SPDX-License-Identifier: MIT
"""Runs the unmodified tool inside real kernels under QEMU and judges it.

    vm.py MACHINE BLOB_OPEN WORKDIR ARCH=TOOL...   boot every boot, print TAP
    vm.py --list                                    the machines, for CMake

A machine is a row of MACHINES; its cases are in cases.py. ARCH=TOOL is a
build of the tool, or a .deb that installs one, for the userland ARCH.
DCP_VM_CACHE (/var/cache/dcp-sealkey/vm) keeps what is fetched and built,
DCP_QEMU_DIR is qemu/build.sh's QEMU, DCP_VM_ACCEL=kvm asks for KVM.
"""
import dataclasses
import glob
import hashlib
import os
import re
import shutil
import subprocess
import sys
import time

from cases import CASES, KEYS, Failed, die, judge_boot, parse, text

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(os.path.dirname(HERE))
CACHE = os.environ.get("DCP_VM_CACHE", "/var/cache/dcp-sealkey/vm")
QEMU_DIR = os.environ.get("DCP_QEMU_DIR", "/var/cache/dcp-sealkey/qemu")
BOOT_LIMIT = 300
# The README's sh blocks that the cases run, as /NAME.N in the guest.
README_BLOCKS = [("sealing", 1, "Sealing and loading"), ("board", 1, "Board check")] + [
    ("using", n, "Using the key") for n in (1, 2, 3)]
# Packages whose files make up each Arm userland: the tool's libraries,
# keyctl, and dmsetup for the README's dm-crypt commands.
USERLAND_PKGS = ["libc6", "libkcapi1", "libkeyutils1", "keyutils", "dmsetup",
                 "libdevmapper1.02.1", "libselinux1", "libudev1", "libpcre2-8-0"]


def sh(cmd, log=os.devnull, **kw):
    """Runs cmd (a list, or a string for sh); its output goes to log."""
    with open(log, "a") as f:
        return subprocess.run(cmd, shell=isinstance(cmd, str), stdout=f, stderr=subprocess.STDOUT,
                              stdin=subprocess.DEVNULL, **kw).returncode


def output(cmd):
    return subprocess.run(cmd, shell=isinstance(cmd, str), capture_output=True, text=True,
                          stdin=subprocess.DEVNULL).stdout


def must(ok, msg):
    if not ok:
        die(msg)


def apt(work, fn, *args):
    """A function of apt/apt.sh (the private apt configuration); its stdout.
    What it says of retries and failed indexes is passed on."""
    r = subprocess.run(["bash", "-c", 'set -euo pipefail; die() { echo "$*" >&2; exit 1; }; '
                        'source "$0"; "$@"', f"{TOP}/apt/apt.sh", fn, *args], text=True,
                       env=dict(os.environ, APT_LOG=f"{work}/apt.log"), capture_output=True,
                       stdin=subprocess.DEVNULL)
    must(r.returncode == 0, r.stderr.strip() or f"{fn} {' '.join(args)} failed")
    for line in r.stderr.splitlines():
        print(f"# {line}", flush=True)
    return r.stdout.strip()


def install(work, *pkgs):
    must(sh(["bash", f"{TOP}/apt/install.sh", *pkgs], f"{work}/apt.log") == 0,
         f"installing {' '.join(pkgs)} failed, see {work}/apt.log")


def unpack(deb, dest, *members):
    os.makedirs(dest, exist_ok=True)
    must(sh(f"dpkg-deb --fsys-tarfile '{deb}' | tar -x -C '{dest}' --wildcards "
            + " ".join(f"'{m}'" for m in members)) == 0, f"unpacking {deb} failed")


def complete(path, build):
    """Builds into folder path once: a folder without its mark is redone."""
    if not os.path.exists(f"{path}/complete"):
        shutil.rmtree(path, ignore_errors=True)
        os.makedirs(path)
        build(path)
        open(f"{path}/complete", "w").close()


# --- kernels: Debian's image, or Linux built from Debian's source ----------

@dataclasses.dataclass
class DebianImage:
    """Debian's own amd64 kernel, as linux-image-amd64 resolves through the
    private apt configuration: only its vmlinuz and the modules the cases
    load, and its headers, unpacked, for the test module."""
    modules: tuple = ("virtio_ring", "virtio", "virtio_pci_legacy_dev", "virtio_pci_modern_dev",
                      "virtio_pci", "virtio-rng", "af_alg", "algif_skcipher", "algif_aead",
                      "crypto_user", "ecb", "gf128mul", "ghash-generic", "ctr", "gcm")
    slow_tests: str = "noextratests"
    fixture = ""

    def resolve(self, work):
        apt(work, "private_apt_update")
        dep = re.search(r"Depends: linux-image-(\S+)", apt(work, "private_apt_cache", "depends",
                                                          "linux-image-amd64"))
        must(dep, "cannot resolve linux-image-amd64 to a kernel through apt")
        self.ver = dep[1]
        self.pkg = apt(work, "private_apt_version", f"linux-image-{self.ver}")
        self.bb = apt(work, "private_apt_version", "busybox-static")
        self.version, self.uname = f"{self.ver} ({self.pkg})", re.escape(self.ver)
        self.dir, self.bbdir = f"{CACHE}/linux-image-{self.ver}_{self.pkg}", f"{CACHE}/busybox-static_{self.bb}"
        self.headers = f"{CACHE}/linux-headers-{self.ver}_{self.pkg}"

    def fetch(self, work, userlands):
        install(work, "qemu-system-x86")
        self.resolve(work)

        def get(pkgs, members, dest):
            apt(work, "private_apt_download", f"{dest}/deb", *pkgs)
            for deb in glob.glob(f"{dest}/deb/*.deb"):
                unpack(deb, f"{dest}/x", *members)
            sh(f"rm -rf {dest}/deb")

        def image(d):
            get([f"linux-image-{self.ver}={self.pkg}"], [f"./boot/vmlinuz-{self.ver}", *(
                f"./lib/modules/{self.ver}/kernel/*/{m}.ko" for m in self.modules)], d)
            for f in filter(os.path.isfile, glob.glob(f"{d}/x/**", recursive=True)):
                shutil.move(f, f"{d}/{re.sub('^vmlinuz-.*', 'vmlinuz', os.path.basename(f))}")
            sh(f"rm -rf {d}/x")
        complete(self.dir, image)
        found = sorted(os.path.basename(f)[:-3] for f in glob.glob(f"{self.dir}/*.ko"))
        must(found == sorted(self.modules), f"linux-image-{self.ver}: modules {found}")

        def headers(d):
            # The headers' Makefile includes the common part by its installed path.
            flavour = self.ver.rsplit("-", 1)[0]
            get([f"linux-headers-{self.ver}={self.pkg}", f"linux-headers-{flavour}-common={self.pkg}",
                 f"linux-kbuild-{'.'.join(self.pkg.split('.')[:2])}={self.pkg}"], ["."], d)
            mk = f"{d}/x/usr/src/linux-headers-{self.ver}/Makefile"
            text = open(mk).read()
            open(mk, "w").write(text.replace("/usr/src/", f"{d}/x/usr/src/"))
        complete(self.headers, headers)

        def busybox(d):
            get([f"busybox-static={self.bb}"], ["./bin/busybox"], d)
            shutil.move(f"{d}/x/bin/busybox", f"{d}/busybox")
            sh(f"rm -rf {d}/x")
        complete(self.bbdir, busybox)

    def make(self):
        return ["make", "-C", f"{self.headers}/x/usr/src/linux-headers-{self.ver}"]

    def boot_args(self):
        return ["-kernel", f"{self.dir}/vmlinuz"]

    def accels(self):
        # KVM where asked for; a nested one may abort, so TCG stays the fallback.
        return (["kvm"] if os.environ.get("DCP_VM_ACCEL") == "kvm" else []) + ["tcg"]

    def root(self, root, work, tools):
        """The host's own tool with the libraries it links, and the modules;
        virtio is modules here, where the Arm kernels have it built in."""
        os.makedirs(f"{root}/u/amd64/bin")
        shutil.copy(tools["amd64"], f"{root}/u/amd64/bin/dcp-sealkey")
        for lib in re.findall(r"(/\S+) \(", output(["ldd", tools["amd64"]])):
            os.makedirs(root + os.path.dirname(lib), exist_ok=True)
            shutil.copy(lib, root + lib)
        for m in self.modules:
            shutil.copy(f"{self.dir}/{m}.ko", f"{root}/mod/")
        return f"{self.bbdir}/busybox", f"HWRNG_MODULES='{' '.join(self.modules[:6])}'\n"


@dataclasses.dataclass
class SourceKernel:
    """Linux from a Debian linux-source package, built from allnoconfig and
    the fragments in kernel/ (every line checked in the .config), with a
    userland of Debian's own packages for each architecture."""
    source: str
    arch: str
    cross: str
    target: str
    configs: tuple
    # This version's own settings, merged into allnoconfig's result
    # (olddefconfig): what they unhide, as EXPERT does, keeps its default.
    late: str = ""
    dtb: str = ""
    # The cryptomgr parameter that keeps the extended self-tests off.
    slow_tests: str = "noextratests"
    fixture = "vm_packages"  # the CTest fixture that builds the Debian packages

    def resolve(self, work):
        apt(work, "private_apt_update")
        self.ver = apt(work, "private_apt_version", self.source)
        self.src = f"{CACHE}/{self.source}-{self.ver}/src"
        release = self.ver.split("-")[0]
        self.version, self.uname = f"{release} ({self.source} {self.ver})", re.escape(release) + r"\S*"
        self.settings = [ln for c in self.configs + ((self.late,) if self.late else ())
                         for ln in open(f"{HERE}/kernel/{c}.config").read().splitlines()
                         if ln.startswith("CONFIG_")]
        gcc = output([f"{self.cross}gcc", "--version"]).splitlines()[:1]
        # Comments do not change the kernel, so only the settings are hashed.
        h = hashlib.sha256("".join(s + "\n" for s in self.settings + gcc).encode()).hexdigest()
        self.dir = f"{CACHE}/kernel-{self.arch}-{self.ver}-{h[:12]}"
        self.obj = f"{self.dir}/obj"

    def fetch(self, work, userlands):
        install(work, "qemu-system-arm", "bc", "bison", "flex", "libelf-dev", "xz-utils")
        must(shutil.which(f"{self.cross}gcc"),
             f"{self.cross}gcc not found (cmake/install-cross-deps.sh installs it)")
        self.resolve(work)

        def source(d):
            print(f"# fetching {self.source} {self.ver}", flush=True)
            apt(work, "private_apt_download", f"{d}/deb", f"{self.source}={self.ver}")
            unpack(glob.glob(f"{d}/deb/*.deb")[0], f"{d}/x", "./usr/src")
            os.makedirs(f"{d}/src")
            must(sh(f"tar -xJf {d}/x/usr/src/linux-source-*.tar.xz -C {d}/src "
                    f"--strip-components=1 && rm -rf {d}/deb {d}/x") == 0,
                 "unpacking the kernel source failed")
        complete(os.path.dirname(self.src), source)
        if not os.path.exists(f"{self.dir}/complete"):
            # Only the kernel of the current source and fragment is kept,
            # one per series (6.12 and 7.3 side by side).
            sh(f"rm -rf {CACHE}/kernel-{self.arch}-{'.'.join(self.ver.split('.')[:2])}.*")
            complete(self.dir, lambda d: self.build(work))
        for p in [f"busybox-static:{userlands[0]}"] + [f"{p}:{u}" for u in userlands
                                                       for p in USERLAND_PKGS]:
            self.deb(work, p)

    def build(self, work):
        t0, log = time.time(), f"{work}/kernel-build.log"
        print(f"# building the {self.arch} kernel {self.version}", flush=True)
        with open(f"{work}/kernel.config", "w") as f:
            f.write("".join(open(f"{HERE}/kernel/{c}.config").read() for c in self.configs))
        env = dict(os.environ, ARCH=self.arch)
        must(sh(self.make() + ["allnoconfig"], log,
                env=dict(env, KCONFIG_ALLCONFIG=f"{work}/kernel.config")) == 0 and not (
            self.late and (sh([f"{self.src}/scripts/kconfig/merge_config.sh", "-m", "-O", self.obj,
                               f"{self.obj}/.config", f"{HERE}/kernel/{self.late}.config"], log,
                              env=env) or sh(self.make() + ["olddefconfig"], log))),
             f"configuring the kernel failed, see {log}")
        # A line that did not stick (a typo, an unmet dependency) fails here,
        # not later as a guest that lacks something.
        have = set(open(f"{self.obj}/.config").read().splitlines())
        must(set(self.settings) <= have,
             f"the kernel's .config lacks {' '.join(sorted(set(self.settings) - have))}")
        must(sh(self.make() + [f"-j{os.cpu_count() + 1}", self.target, "modules"]
                + ([self.dtb] if self.dtb else []), log) == 0,
             f"building the kernel failed, see {log}")
        print(f"# the kernel took {time.time() - t0:.0f} s", flush=True)

    def deb(self, work, pkg):
        """Package name:arch downloaded once into the cache."""
        ver = apt(work, "private_apt_version", pkg)
        d = f"{CACHE}/debs/{pkg.replace(':', '_')}_{ver}"
        complete(d, lambda d: apt(work, "private_apt_download", f"{d}/x", f"{pkg}={ver}") or
                 sh(f"mv {d}/x/*.deb {d}/ && rmdir {d}/x"))
        return glob.glob(f"{d}/*.deb")[0]

    def make(self):
        return ["make", "-C", self.src, f"O={self.obj}", f"ARCH={self.arch}",
                f"CROSS_COMPILE={self.cross}"]

    def boot_args(self):
        boot = f"{self.obj}/arch/{self.arch}/boot"
        return ["-kernel", f"{boot}/{self.target}"] + (["-dtb", f"{boot}/dts/{self.dtb}"]
                                                       if self.dtb else [])

    def accels(self):
        return ["tcg"]

    def drivers(self, work):
        """The null-key patch, through checkpatch.pl --strict, applied to the
        tree's mxs-dcp.c and built against this kernel, warnings failing it;
        and that with the upstream OTP_KEY fix undone, as kernels from 6.10
        until that fix were: work/driver-{nullkey,nullkey-otpbit}/."""
        patch, log = f"{TOP}/kernel/mxs-dcp-null-key.patch", f"{work}/driver.log"
        open(log, "w").close()
        must(sh(["perl", f"{self.src}/scripts/checkpatch.pl", "--strict", "--no-tree", "-q",
                 patch], log) == 0, f"checkpatch.pl --strict: the driver patch has problems, see {log}")
        for v in ("nullkey", "nullkey-otpbit"):
            d = f"{work}/driver-{v}"
            shutil.rmtree(d, ignore_errors=True)
            os.makedirs(d)
            shutil.copy(f"{self.src}/drivers/crypto/mxs-dcp.c", d)
            must(sh(f"patch -s -p3 --no-backup-if-mismatch <{patch}", log, cwd=d) == 0,
                 f"the driver patch does not apply, see {log}")
            if v.endswith("otpbit"):
                c, fixed = open(f"{d}/mxs-dcp.c").read(), "\telse if (actx->key[0] == DCP_PAES_KEY_OTP)\n"
                must(fixed in c, "cannot undo the OTP_KEY fix in this mxs-dcp.c")
                open(f"{d}/mxs-dcp.c", "w").write(c.replace(fixed, "\telse\n"))
            open(f"{d}/Kbuild", "w").write("obj-m := mxs-dcp.o\n")
            must(sh(self.make() + ["W=1", f"M={d}", "modules"], log) == 0,
                 f"mxs-dcp.ko ({v}) does not build, see {log}")
        must("warning:" not in open(log).read(), f"mxs-dcp.ko builds with warnings, see {log}")
        print(f"# the null-key patch passes checkpatch.pl --strict and builds for {self.arch}")

    def root(self, root, work, tools):
        """Each userland's libraries where its own loader looks (armhf and
        armel have folders of their own triplet, so they share one root),
        the tool, keyctl and dmsetup in /u/ARCH/bin; the kernel's modules."""
        for u, tool in tools.items():
            x = f"{work}/userland-{u}"
            shutil.rmtree(x, ignore_errors=True)
            for p in USERLAND_PKGS:
                unpack(self.deb(work, f"{p}:{u}"), x, ".")
            os.makedirs(f"{root}/u/{u}/bin")
            for f in (f"{x}/bin/keyctl", f"{x}/sbin/dmsetup", tool):
                shutil.copy(f, f"{root}/u/{u}/bin/{os.path.basename(f) if f != tool else 'dcp-sealkey'}")
            sh(f"cd {x} && rm -rf usr/share bin usr/bin sbin usr/sbin usr/lib/*/gconv")
            shutil.copytree(x, root, symlinks=True, dirs_exist_ok=True)
        for m in ("security/keys/trusted-keys/trusted.ko",
                  "security/keys/encrypted-keys/encrypted-keys.ko", "drivers/md/dm-crypt.ko"):
            shutil.copy(f"{self.obj}/{m}", f"{root}/mod/")
        unpack(self.deb(work, f"busybox-static:{next(iter(tools))}"), f"{work}/busybox", ".")
        self.drivers(work)
        return f"{work}/busybox/bin/busybox", "HWRNG_MODULES=\n"


# --- the DCP: the test module, or QEMU's model and the real driver --------

@dataclasses.dataclass(frozen=True)
class TestModule:
    """dcp_nullkey stands in for the DCP's key slots; on its test key it is
    loaded with zero_key=1. It counts its zero-length setkeys."""
    counter: int = 1
    fixture = ""

    def fetch(self, work):
        pass

    def qemu(self, m):
        return m.qemu

    def build(self, kernel, work, root):
        d = f"{work}/module"
        shutil.rmtree(d, ignore_errors=True)
        shutil.copytree(f"{HERE}/module", d)
        must(sh(kernel.make() + [f"M={d}", "modules"], f"{work}/module.log") == 0,
             f"building the test module failed, see {work}/module.log")
        shutil.copy(f"{d}/dcp_nullkey.ko", f"{root}/mod/")
        return "NULLKEY=dcp_nullkey STOCK=\n"

    def boot(self, boot):
        return [], "zero_key=1" if boot == "testkey" else ""


@dataclasses.dataclass(frozen=True)
class Model:
    """QEMU's DCP model (qemu/) and the real driver: the kernel's stock
    mxs-dcp.ko and the kernel's two patched builds."""
    counter: None = None
    fixture = "qemu_model"  # the CTest fixture that builds QEMU with the model

    def fetch(self, work):
        must(sh(["bash", f"{TOP}/qemu/build.sh", QEMU_DIR], f"{work}/qemu-build.log") == 0,
             f"building QEMU with the DCP model failed, see {work}/qemu-build.log")

    def qemu(self, m):
        return f"{QEMU_DIR}/{m.qemu}"

    def build(self, kernel, work, root):
        for v in ("nullkey", "nullkey-otpbit"):
            shutil.copy(f"{work}/driver-{v}/mxs-dcp.ko", f"{root}/mod/mxs-dcp-{v}.ko")
        shutil.copy(f"{kernel.obj}/drivers/crypto/mxs-dcp.ko", f"{root}/mod/")
        must(sh([f"{kernel.cross}gcc", "-Os", "-Wall", "-Wextra", "-Werror", "-static", "-s", "-o",
                 f"{root}/bin/rekey", f"{HERE}/rekey.c"], f"{work}/driver.log") == 0,
             f"building rekey failed, see {work}/driver.log")
        return "NULLKEY=mxs-dcp-nullkey STOCK=mxs-dcp\n"

    def boot(self, boot):
        prop = {"testkey": "test-keys,value=on", "binding": f"unique-key,value={KEYS['other']}"}
        return (["-global", f"driver=imx.dcp,property={prop[boot]}"] if boot in prop else []), ""


# --- the machines ------------------------------------------------------------

@dataclasses.dataclass(frozen=True)
class Machine:
    name: str
    kernel: object
    qemu: str
    qemu_args: tuple
    console: str
    rng: str  # what rng_current must name
    dcp: object
    userlands: tuple
    boots: tuple
    # What this kernel is known to break: (why, the cases as a regex). Those
    # cases still run, and print "not ok ... # TODO why" when they fail.
    todo: tuple = ()


IMX6ULL = Machine(
    name="imx6ull", kernel=SourceKernel(
        source="linux-source-6.12", arch="arm", cross="arm-linux-gnueabihf-", target="zImage",
        configs=("common", "arm"), late="arm-6.12", dtb="nxp/imx/imx6ull-14x14-evk.dtb"),
    qemu="qemu-system-arm", qemu_args=("-machine", "mcimx6ull-evk"), console="ttymxc0",
    rng="2284000.rng", dcp=Model(), userlands=("armhf", "armel"),
    boots=("trusted", "driver", "testkey", "binding", "extratests"))
MACHINES = {m.name: m for m in [
    Machine(name="amd64", kernel=DebianImage(), qemu="qemu-system-x86_64", qemu_args=(
        "-machine", "pc", "-cpu", "max", "-vga", "none", "-device", "virtio-rng-pci"),
        console="ttyS0", rng="virtio_rng", dcp=TestModule(), userlands=("amd64",),
        boots=("stack",)),
    Machine(name="arm64", kernel=SourceKernel(
        source="linux-source-6.12", arch="arm64", cross="aarch64-linux-gnu-", target="Image",
        configs=("common", "arm64")), qemu="qemu-system-aarch64", qemu_args=(
        "-machine", "virt", "-cpu", "cortex-a57", "-device", "virtio-rng-device"),
        console="ttyAMA0", rng="virtio_rng", dcp=TestModule(), userlands=("arm64",),
        boots=("trusted", "testkey")),
    IMX6ULL,
    # The newest Linux that Debian ships, from trixie-backports.
    dataclasses.replace(IMX6ULL, name="imx6ull-7.3", kernel=dataclasses.replace(
        IMX6ULL.kernel, source="linux-source-7.3", late="arm-7.3", slow_tests="noslowtests"),
        todo=("Linux 7.3's AF_ALG binds no asynchronous driver: ecb(aes) is never the DCP's",
              r"len_\d+|conc_(load_)?\d|readme|tamper_(wrapped_key|nonce|ciphertext|tag)|using|"
              r"board_(ok|no_trusted|otp|test_key)|otp_key|rekey|otpbit\w*|zero_key(_skip)?|"
              r"other_board")),
]}


# --- one run -------------------------------------------------------------------

def readme_block(section, n):
    """Sh block n (from 1) of the README's section, as written."""
    parts = open(f"{TOP}/README.md").read().split(f"\n## {section}\n")
    blocks = re.findall(r"^```sh\n(.*?)^```", parts[1].split("\n## ")[0],
                        re.M | re.S) if len(parts) > 1 else []
    must(len(blocks) >= n, f'README.md lacks sh block {n} of "{section}"')
    return blocks[n - 1]


def cpio(folder, out, bb):
    must(sh(f"cd '{folder}' && find . | '{bb}' cpio -o -H newc 2>/dev/null | gzip -1 >'{out}'")
         == 0, f"packing {folder} failed")


def build_root(m, work, tools):
    """The initramfs shared by every boot of machine m."""
    root = f"{work}/root"
    shutil.rmtree(root, ignore_errors=True)
    for d in ("bin", "mod", "proc", "sys", "dev", "tmp"):
        os.makedirs(f"{root}/{d}")
    bb, setup = m.kernel.root(root, work, tools)
    setup += m.dcp.build(m.kernel, work, root)
    for name, n, section in README_BLOCKS:
        open(f"{root}/{name}.{n}", "w").write(readme_block(section, n))
    must(glob.glob(f"{root}/**/libkcapi.so.1", recursive=True), "no libkcapi.so.1 in the guest")
    shutil.copy(bb, f"{root}/bin/busybox")
    # No modprobe: every module is loaded by hand, so none comes in unasked.
    # A foreign busybox lists its applets under qemu-user, through binfmt.
    for applet in set(output([bb, "--list"]).split()) - {"busybox", "modprobe"}:
        os.symlink("busybox", f"{root}/bin/{applet}")
    shutil.copy(f"{HERE}/vm-init.sh", f"{root}/init")
    open(f"{root}/setup", "w").write(setup + f"SLOWTESTS={m.kernel.slow_tests}\n"
                                     f"USERLANDS='{' '.join(tools)}'\n")
    cpio(root, f"{work}/initrd.gz", bb)
    return bb


def boot_initrd(m, boot, work, bb, sealed):
    """The common initramfs and a second archive: the boot's cases and DCP
    parameters, and for a second board, the first board's 32-byte blobs."""
    d = f"{work}/boot-{boot}"
    shutil.rmtree(d, ignore_errors=True)
    os.makedirs(d)
    files = {"boot": boot, "cases": CASES[boot].script(), "dcp_args": m.dcp.boot(boot)[1],
             **{f"sealed.{u}": blob for u, blob in sealed.items()}}
    for name, content in files.items():
        open(f"{d}/{name}", "w").write(content)
    cpio(d, f"{work}/boot-{boot}.gz", bb)
    sh(f"cat {work}/initrd.gz {work}/boot-{boot}.gz >{work}/initrd-{boot}.gz")


def boot_vm(m, boot, work):
    """Boots; returns the console's text."""
    log = f"{work}/console.log"
    for accel in m.kernel.accels():
        if os.path.exists(log):
            os.remove(log)
        # No stdin in CI: QEMU must not touch it, and the console goes to a file.
        cmd = [m.dcp.qemu(m), *m.qemu_args, "-accel", accel, *m.dcp.boot(boot)[0], "-m", "512",
               "-smp", "1", "-nodefaults", "-no-user-config", "-display", "none", "-monitor",
               "none", "-serial", f"file:{log}", "-no-reboot", *m.kernel.boot_args(), "-initrd",
               f"{work}/initrd-{boot}.gz", "-append",
               f"console={m.console} loglevel=1 quiet panic=-1 cryptomgr.{m.kernel.slow_tests}=1"]
        try:
            rc = sh(cmd, f"{work}/qemu.log", timeout=BOOT_LIMIT)
        except subprocess.TimeoutExpired:
            die(f"the VM did not finish within {BOOT_LIMIT} s, see {log}")
        console = open(log, errors="replace").read().replace("\r", "") if os.path.exists(log) else ""
        open(f"{work}/console-{boot}.txt", "w").write(console)
        if accel == "kvm" and (rc or "@@ done" not in console):
            print(f"# KVM did not start (exit {rc}), falling back to TCG", flush=True)
            continue
        must(rc == 0, f"QEMU exited with {rc}, see {work}/qemu.log")
        return console


def fetch(m, work, userlands):
    """What the machine needs, fetched or built once into the cache. A
    fetch that needs root runs again under sudo -n when not root."""
    m.dcp.fetch(work)
    try:
        m.kernel.fetch(work, userlands)
    except (Failed, PermissionError) as e:
        must(os.geteuid() != 0 and output("sudo -n true && echo y") == "y\n",
             f"{e}; fetching needs root or sudo without a password: run this test once as "
             "root, or configure with -DDCP_SKIP_VM_TEST=ON to skip it")
        must(sh(["sudo", "-n", sys.executable, __file__, "--fetch", m.name, work, *userlands]) == 0,
             f"fetching as root failed, see {work}/apt.log")
        m.kernel.fetch(work, userlands)


def tools_of(args, work):
    tools = {}
    for u, tool in (a.split("=", 1) for a in args):
        must(os.path.isfile(tool), f"tool for {u} not found: {tool} (tests/run-all.sh builds it)")
        if tool.endswith(".deb"):
            # A package: the guest runs the binary it installs.
            must(output(["dpkg-deb", "-f", tool, "Architecture"]).strip() == u,
                 f"{tool} is not a package for {u}")
            shutil.rmtree(f"{work}/deb-{u}", ignore_errors=True)
            unpack(tool, f"{work}/deb-{u}", "./usr/bin/dcp-sealkey")
            tool = f"{work}/deb-{u}/usr/bin/dcp-sealkey"
        tools[u] = tool
    return tools


def run(m, blob_open, work, tools):
    t0 = phase = time.time()

    def took(what):
        nonlocal phase
        print(f"# {what} took {time.time() - phase:.1f} s", flush=True)
        phase = time.time()
    fetch(m, work, list(tools))
    print(f"# {m.name}: Linux {m.kernel.version}", flush=True)
    took("fetch and kernel build")
    bb = build_root(m, work, tools)
    took("DCP and initramfs build")
    results, sealed = [], {}
    for boot in m.boots:
        boot_initrd(m, boot, work, bb, sealed)
        console = boot_vm(m, boot, work)
        took(f"the {boot} boot")
        results += judge_boot(m, boot, console, list(tools), blob_open, len(results))
        took(f"judging the {boot} boot")
        if boot == "trusted":
            lines = parse(console)
            sealed = {u: text(lines.get(("case", f"{u}.len_32"), {}).get("out")).strip()
                      for u in tools}
    failed, todo = results.count(False), results.count("todo")
    print(f"1..{len(results)}")
    print(f"# {m.name} on Linux {m.kernel.version}: {len(results) - failed - todo} passed, "
          f"{failed} failed, {todo} known failures (TODO), in {time.time() - t0:.0f} s")
    return 1 if failed else 0


def main(argv):
    if argv[1:2] == ["--list"]:
        for m in MACHINES.values():
            print(m.name, ",".join(filter(None, (m.kernel.fixture, m.dcp.fixture))) or "-",
                  ",".join(m.userlands))
        return 0
    if argv[1:2] == ["--fetch"]:
        return MACHINES[argv[2]].kernel.fetch(argv[3], argv[4:]) or 0
    if len(argv) < 5 or argv[1] not in MACHINES:
        print(f"usage: {argv[0]} MACHINE BLOB_OPEN WORKDIR ARCH=TOOL... "
              f"(machines: {' '.join(MACHINES)})", file=sys.stderr)
        return 2
    m, blob_open, work = MACHINES[argv[1]], argv[2], os.path.abspath(argv[3])
    os.makedirs(work, exist_ok=True)
    try:
        must(os.access(blob_open, os.X_OK), f"blob opener not found: {blob_open}")
        tools = tools_of(argv[4:], work)
        must(sorted(tools) == sorted(m.userlands), f"{m.name} runs the userlands {m.userlands}")
        return run(m, blob_open, work, tools)
    except Failed as e:
        print(f"Bail out! {m.name} on Linux {getattr(m.kernel, 'version', '?')}: {e}", flush=True)
        return 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
