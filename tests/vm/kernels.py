# SPDX-FileCopyrightText: 2026 dcp-sealkey developers
# SPDX-License-Identifier: MIT
"""The kinds of kernel a machine boots: Debian's own image, or Linux built
from a Debian linux-source package."""
import dataclasses
import glob
import hashlib
import os
import re
import shutil
import time

from util import CACHE, HERE, apt, build_once, check, install, run_logged, stdout_of, unpack

# The packages whose files make up each Arm userland: the tool's libraries,
# keyctl, and dmsetup for the README's dm-crypt commands.
USERLAND_PACKAGES = ["libc6", "libkcapi1", "libkeyutils1", "keyutils", "dmsetup",
                     "libdevmapper1.02.1", "libselinux1", "libudev1", "libpcre2-8-0"]


class Kernel:
    """A kernel and the userland around it. Each kind gives fetch(work,
    userlands, row), which gets or builds both once into the cache for the
    machine `row` and sets `version` (for messages) and `uname` (a regex of
    uname -r); make(), its tree's make command, for out-of-tree modules too;
    fill_root(root, work, tools), which puts each userland's tool, keyctl,
    dmsetup and libraries and the kernel's modules into the initramfs;
    busybox(work), a static busybox of the guest's architecture; qemu_args()."""
    fixture = ""  # a CTest fixture that must have run first
    version = "?"
    selftests_off = "noextratests"  # cryptomgr's switch that keeps its extended self-tests off
    cross = ""  # the prefix of the compiler of the guest's programs
    src = ""  # the kernel's source tree, where it is built from one
    hwrng_modules = ()  # what the guest loads to bring up /dev/hwrng

    def accels(self):
        return ["tcg"]


@dataclasses.dataclass
class DebianImage(Kernel):
    """Debian's own amd64 kernel, as linux-image-amd64 resolves: only its
    vmlinuz and the modules the cases load, and its headers for the test
    module; nothing is installed."""
    modules: tuple = ("virtio_ring", "virtio", "virtio_pci_legacy_dev", "virtio_pci_modern_dev",
                      "virtio_pci", "virtio-rng", "af_alg", "algif_skcipher", "algif_aead",
                      "crypto_user", "ecb", "gf128mul", "ghash-generic", "ctr", "gcm")
    # The Arm kernels build in what the first six bring up: virtio and its RNG.
    hwrng_modules = property(lambda self: self.modules[:6])

    def fetch(self, work, userlands, row):
        install(work, "qemu-system-x86")
        apt(work, "private_apt_update")
        depends = apt(work, "private_apt_cache", "depends", "linux-image-amd64")
        flavour = re.search(r"Depends: linux-image-(\S+)", depends)
        check(flavour, "cannot resolve linux-image-amd64 to a kernel through apt")
        self.release = flavour[1]
        self.package = apt(work, "private_apt_version", f"linux-image-{self.release}")
        self.version, self.uname = f"{self.release} ({self.package})", re.escape(self.release)
        self.dir = f"{CACHE}/linux-image-{self.release}_{self.package}"
        self.headers = f"{CACHE}/linux-headers-{self.release}_{self.package}"
        busybox = apt(work, "private_apt_version", "busybox-static")
        self.busybox_dir = f"{CACHE}/busybox-static_{busybox}"

        def download(packages, members, dest):
            apt(work, "private_apt_download", f"{dest}/deb", *packages)
            for deb in glob.glob(f"{dest}/deb/*.deb"):
                unpack(deb, f"{dest}/x", *members)
            shutil.rmtree(f"{dest}/deb")

        def image(d):
            download([f"linux-image-{self.release}={self.package}"], [
                f"./boot/vmlinuz-{self.release}",
                *(f"./lib/modules/{self.release}/kernel/*/{m}.ko" for m in self.modules)], d)
            for f in filter(os.path.isfile, glob.glob(f"{d}/x/**", recursive=True)):
                shutil.move(f, f"{d}/{re.sub('^vmlinuz-.*', 'vmlinuz', os.path.basename(f))}")
            shutil.rmtree(f"{d}/x")

        def headers(d):
            common = self.release.rsplit("-", 1)[0] + "-common"
            kbuild = "linux-kbuild-" + ".".join(self.package.split(".")[:2])
            download([f"linux-headers-{self.release}={self.package}",
                      f"linux-headers-{common}={self.package}", f"{kbuild}={self.package}"], ["."], d)
            # Its Makefile includes the common part by the path it installs to.
            makefile = f"{d}/x/usr/src/linux-headers-{self.release}/Makefile"
            text = open(makefile).read()
            open(makefile, "w").write(text.replace("/usr/src/", f"{d}/x/usr/src/"))

        build_once(self.dir, image)
        found = sorted(os.path.basename(f)[:-3] for f in glob.glob(f"{self.dir}/*.ko"))
        check(found == sorted(self.modules), f"linux-image-{self.release}: modules {found}")
        build_once(self.headers, headers)

        def busybox_only(d):
            download([f"busybox-static={busybox}"], ["./bin/busybox"], d)
            shutil.move(f"{d}/x/bin/busybox", f"{d}/busybox")
            shutil.rmtree(f"{d}/x")
        build_once(self.busybox_dir, busybox_only)

    def make(self):
        return ["make", "-C", f"{self.headers}/x/usr/src/linux-headers-{self.release}"]

    def fill_root(self, root, work, tools):
        """The host's own build of the tool, the libraries it links, and the modules, virtio's too."""
        os.makedirs(f"{root}/u/amd64/bin")
        shutil.copy(tools["amd64"], f"{root}/u/amd64/bin/dcp-sealkey")
        for lib in re.findall(r"(/\S+) \(", stdout_of(["ldd", tools["amd64"]])):
            os.makedirs(root + os.path.dirname(lib), exist_ok=True)
            shutil.copy(lib, root + lib)
        for m in self.modules:
            shutil.copy(f"{self.dir}/{m}.ko", f"{root}/mod/")

    def busybox(self, work):
        return f"{self.busybox_dir}/busybox"

    def qemu_args(self):
        return ["-kernel", f"{self.dir}/vmlinuz"]

    def accels(self):
        # KVM where asked for; a nested one may abort, so TCG stays the fallback.
        return (["kvm"] if os.environ.get("DCP_VM_ACCEL") == "kvm" else []) + ["tcg"]


@dataclasses.dataclass(kw_only=True)
class SourceKernel(Kernel):
    """Linux from a Debian linux-source package, built from allnoconfig and
    the fragments in kconfig/ (every line checked in the .config), with a
    userland of Debian's own packages for each architecture."""
    # The version the row needs ("6.12.95", any Debian revision of it), or
    # "newest SERIES" ("newest 6.12"), and the suite to find it in.
    linux: str
    suite: str
    arch: str
    cross: str
    target: str
    configs: tuple
    # This version's own settings, merged into allnoconfig's result
    # (olddefconfig): what they unhide, as EXPERT does, keeps its default.
    late: str = ""
    dtb: str = ""
    selftests_off: str = "noextratests"
    fixture = "vm_packages"  # the CTest fixture that builds the Debian packages

    def fetch(self, work, userlands, row):
        install(work, "qemu-system-arm", "bc", "bison", "flex", "libelf-dev", "xz-utils")
        check(shutil.which(f"{self.cross}gcc"),
              f"{self.cross}gcc not found (cmake/install-cross-deps.sh installs it)")
        apt(work, "private_apt_update", self.suite)
        self.busybox_arch = userlands[0]
        version = self.linux.split()[-1]
        self.source = "linux-source-" + ".".join(version.split(".")[:2])
        offered = re.findall(rf"^ *{self.source} \| (\S+) \| \S+ {self.suite}/main ",
                             apt(work, "private_apt_cache", "madison", self.source), re.M)
        found = [v for v in offered if self.linux.startswith("newest") or v.split("-")[0] == version]
        check(found, f"{self.suite} has no {self.source} {self.linux}: it has {offered or 'none'}")
        self.package = found[0]
        self.src = f"{CACHE}/{self.source}-{self.package}/src"
        release = self.package.split("-")[0]
        self.version = f"{release} ({self.source} {self.package})"
        self.uname = re.escape(release) + r"\S*"
        self.settings = [line for c in self.configs + ((self.late,) if self.late else ())
                         for line in open(f"{HERE}/kconfig/{c}.config").read().splitlines()
                         if line.startswith("CONFIG_")]
        gcc = stdout_of([f"{self.cross}gcc", "--version"]).splitlines()[:1]
        # Comments do not change the kernel, so only the settings are hashed.
        digest = hashlib.sha256("".join(s + "\n" for s in self.settings + gcc).encode()).hexdigest()
        self.dir = f"{CACHE}/kernel-{self.arch}-{self.package}-{digest[:12]}"
        self.obj = f"{self.dir}/obj"

        def source(d):
            print(f"# fetching {self.source} {self.package}", flush=True)
            apt(work, "private_apt_download", f"{d}/deb", f"{self.source}={self.package}")
            unpack(glob.glob(f"{d}/deb/*.deb")[0], f"{d}/x", "./usr/src")
            os.makedirs(f"{d}/src")
            check(run_logged(f"tar -xJf {d}/x/usr/src/linux-source-*.tar.xz -C {d}/src "
                             f"--strip-components=1 && rm -rf {d}/deb {d}/x") == 0,
                  "unpacking the kernel source failed")
        build_once(os.path.dirname(self.src), source)
        build_once(self.dir, lambda d: self.build(work))
        # Each row keeps its kernel: the one it had before goes, unless
        # another row has it too.
        mark = f"{CACHE}/kernel-of-{row}"
        old = open(mark).read() if os.path.exists(mark) else ""
        if old != self.dir:
            open(mark, "w").write(self.dir)
            if old and old not in (open(f).read() for f in glob.glob(f"{CACHE}/kernel-of-*")):
                shutil.rmtree(old, ignore_errors=True)
        for package in [f"busybox-static:{self.busybox_arch}"] + [
                f"{p}:{u}" for u in userlands for p in USERLAND_PACKAGES]:
            self.deb(work, package)

    def build(self, work):
        t0, log = time.time(), f"{work}/kernel-build.log"
        print(f"# building the {self.arch} kernel {self.version}", flush=True)
        with open(f"{work}/kernel.config", "w") as out:
            out.write("".join(open(f"{HERE}/kconfig/{c}.config").read() for c in self.configs))
        env = dict(os.environ, ARCH=self.arch)
        check(run_logged(self.make() + ["allnoconfig"], log,
                         env=dict(env, KCONFIG_ALLCONFIG=f"{work}/kernel.config")) == 0 and not (
            self.late and (run_logged([f"{self.src}/scripts/kconfig/merge_config.sh", "-m", "-O",
                                       self.obj, f"{self.obj}/.config",
                                       f"{HERE}/kconfig/{self.late}.config"], log, env=env)
                           or run_logged(self.make() + ["olddefconfig"], log))),
              f"configuring the kernel failed, see {log}")
        # A line that did not stick (a typo, an unmet dependency) fails here,
        # not later as a guest that lacks something.
        have = set(open(f"{self.obj}/.config").read().splitlines())
        check(set(self.settings) <= have,
              f"the kernel's .config lacks {' '.join(sorted(set(self.settings) - have))}")
        check(run_logged(self.make() + [f"-j{os.cpu_count() + 1}", self.target, "modules"]
                         + ([self.dtb] if self.dtb else []), log) == 0,
              f"building the kernel failed, see {log}")
        print(f"# the kernel took {time.time() - t0:.0f} s", flush=True)

    def deb(self, work, package):
        """The .deb of package name:arch, downloaded once into the cache."""
        version = apt(work, "private_apt_version", package)
        d = f"{CACHE}/debs/{package.replace(':', '_')}_{version}"
        build_once(d, lambda d: apt(work, "private_apt_download", f"{d}/x", f"{package}={version}")
                   or run_logged(f"mv {d}/x/*.deb {d}/ && rmdir {d}/x"))
        return glob.glob(f"{d}/*.deb")[0]

    def make(self):
        return ["make", "-C", self.src, f"O={self.obj}", f"ARCH={self.arch}",
                f"CROSS_COMPILE={self.cross}"]

    def fill_root(self, root, work, tools):
        """Each userland's libraries where its own loader looks (armhf and
        armel have folders of their own triplet, so they share one root),
        the tool, keyctl and dmsetup in /u/ARCH/bin; the kernel's modules."""
        for u, tool in tools.items():
            x = f"{work}/userland-{u}"
            shutil.rmtree(x, ignore_errors=True)
            for p in USERLAND_PACKAGES:
                unpack(self.deb(work, f"{p}:{u}"), x, ".")
            os.makedirs(f"{root}/u/{u}/bin")
            for name, f in (("keyctl", f"{x}/bin/keyctl"), ("dmsetup", f"{x}/sbin/dmsetup"),
                            ("dcp-sealkey", tool)):
                shutil.copy(f, f"{root}/u/{u}/bin/{name}")
            run_logged(f"cd {x} && rm -rf usr/share bin usr/bin sbin usr/sbin usr/lib/*/gconv")
            shutil.copytree(x, root, symlinks=True, dirs_exist_ok=True)
        for m in ("security/keys/trusted-keys/trusted.ko",
                  "security/keys/encrypted-keys/encrypted-keys.ko", "drivers/md/dm-crypt.ko"):
            shutil.copy(f"{self.obj}/{m}", f"{root}/mod/")

    def busybox(self, work):
        # The first userland's: its loader is in the guest, and qemu-user runs it on the host.
        unpack(self.deb(work, f"busybox-static:{self.busybox_arch}"), f"{work}/busybox", ".")
        return f"{work}/busybox/bin/busybox"

    def qemu_args(self):
        boot = f"{self.obj}/arch/{self.arch}/boot"
        return ["-kernel", f"{boot}/{self.target}"] + (["-dtb", f"{boot}/dts/{self.dtb}"]
                                                       if self.dtb else [])
