#!/usr/bin/python3
# SPDX-FileCopyrightText: 2026 dcp-sealkey developers
# SPDX-License-Identifier: MIT
"""Runs the unmodified tool inside real kernels under QEMU, and judges it
apart, as the kernel's KUnit runner does:

    vm.py boot MACHINE WORKDIR ARCH=TOOL...          fetches, builds, boots
    vm.py judge WORKDIR BLOB_OPEN                    KTAP: no root, no QEMU
    vm.py run MACHINE BLOB_OPEN WORKDIR ARCH=TOOL... both, as CTest does
    vm.py list                                       the machines, for CMake

MACHINE is a row of machines.py; ARCH=TOOL is a build of the tool, or a
.deb that installs one, for the userland ARCH. DCP_VM_CACHE ($DCP_CACHE/vm)
keeps what is fetched and built, DCP_QEMU_DIR is qemu/build.sh's QEMU,
DCP_VM_ACCEL=kvm asks for KVM.
"""
import glob
import json
import os
import shutil
import subprocess
import sys
import time

import guest
from judge import judge
from machines import MACHINES
from util import HERE, Failed, check, run_logged, stdout_of, unpack

BOOT_LIMIT = 300  # seconds before QEMU is stopped


def pack(folder, out, busybox, files):
    """Writes files {path: text} into folder, executable as /init must be, and packs it."""
    for name, text in files.items():
        open(f"{folder}/{name}", "w").write(text)
        os.chmod(f"{folder}/{name}", 0o755)
    check(run_logged(f"cd '{folder}' && find . | '{busybox}' cpio -o -H newc 2>/dev/null "
                     f"| gzip -1 >'{out}'") == 0, f"packing {folder} failed")


def build_root(m, work, tools, busybox):
    """The initramfs that every boot of machine m shares; returns what serves its DCP."""
    root = f"{work}/root"
    shutil.rmtree(root, ignore_errors=True)
    for d in ("bin", "mod", "proc", "sys", "dev", "tmp"):
        os.makedirs(f"{root}/{d}")
    m.kernel.fill_root(root, work, tools)
    drivers = m.dcp.prepare(m.kernel, work, root)
    check(run_logged([f"{m.kernel.cross}gcc", "-Os", "-Wall", "-Wextra", "-Werror", "-static", "-s",
                      "-o", f"{root}/bin/afalg", f"{HERE}/afalg.c"], f"{work}/afalg.log") == 0,
          f"building afalg failed, see {work}/afalg.log")
    check(glob.glob(f"{root}/**/libkcapi.so.1", recursive=True), "no libkcapi.so.1 in the guest")
    shutil.copy(busybox, f"{root}/bin/busybox")
    # No modprobe: every module is loaded by hand, so none comes in unasked.
    # A foreign busybox lists its applets under qemu-user, through binfmt.
    for applet in set(stdout_of([busybox, "--list"]).split()) - {"busybox", "modprobe"}:
        os.symlink("busybox", f"{root}/bin/{applet}")
    pack(root, f"{work}/initrd.gz", busybox, {
        **{name: open(f"{HERE}/guest/{name}.sh").read() for name in ("init", "library", "kinds")},
        "setup": guest.setup(drivers, m.kernel, tools)})
    return drivers


def boot_initrd(m, boot, work, busybox, earlier):
    """The common initramfs and one of the boot's own: its cases, its DCP's
    arguments, the doc recipes it runs, and the blobs that earlier boots handed on."""
    d = f"{work}/boot-{boot.name}"
    shutil.rmtree(d, ignore_errors=True)
    for sub in ("recipes", "earlier"):
        os.makedirs(f"{d}/{sub}")
    pack(d, f"{work}/boot-{boot.name}.gz", busybox, {
        "cases": guest.cases_file(boot.cases),
        "boot.env": f"DCP_ARGS='{m.dcp.module_args(boot.dcp_keys)}'\n",
        **{f"recipes/{f}": text for f, text in guest.recipes(boot.cases).items()},
        **{f"earlier/{i}": record["out"] for i, record in earlier.items()}})
    run_logged(f"cat {work}/initrd.gz {work}/boot-{boot.name}.gz >{work}/initrd-{boot.name}.gz")


def boot_vm(m, boot, work):
    """Boots once; returns the console's text, also kept as console-BOOT.txt."""
    log = f"{work}/console.log"
    for accel in m.kernel.accels():
        if os.path.exists(log):
            os.remove(log)
        # No stdin in CI: QEMU must not touch it, and the console goes to a file.
        cmd = [m.dcp.qemu(m.qemu), *m.qemu_args, "-accel", accel, *m.dcp.qemu_args(boot.dcp_keys),
               "-m", "512", "-smp", "1", "-nodefaults", "-no-user-config", "-display", "none",
               "-monitor", "none", "-serial", f"file:{log}", "-no-reboot", *m.kernel.qemu_args(),
               "-initrd", f"{work}/initrd-{boot.name}.gz", "-append",
               f"console={m.console} loglevel=1 quiet panic=-1 cryptomgr.{m.kernel.selftests_off}=1"]
        try:
            rc = run_logged(cmd, f"{work}/qemu.log", timeout=BOOT_LIMIT)
        except subprocess.TimeoutExpired:
            raise Failed(f"the VM did not finish within {BOOT_LIMIT} s, see {log}")
        console = open(log, errors="replace").read().replace("\r", "") if os.path.exists(log) else ""
        open(f"{work}/console-{boot.name}.txt", "w").write(console)
        if accel == "kvm" and (rc or "done" not in guest.read_records(console)):
            print(f"# KVM did not start (exit {rc}), falling back to TCG", flush=True)
            continue
        check(rc == 0, f"QEMU exited with {rc}, see {work}/qemu.log")
        return console


def fetch(m, work, userlands):
    """What the machine needs, fetched or built once into the cache. A
    fetch that needs root runs again under sudo -n when not root."""
    m.dcp.fetch(work)
    try:
        m.kernel.fetch(work, userlands, m.name)
    except (Failed, PermissionError) as e:
        check(os.geteuid() != 0, str(e))
        check(stdout_of("sudo -n true && echo y") == "y\n",
              f"{e}; fetching needs root or sudo without a password: run this test once as "
              "root, or configure with -DDCP_SKIP_VM_TEST=ON to skip it")
        check(run_logged(["sudo", "-n", sys.executable, __file__, "--fetch", m.name, work,
                          *userlands]) == 0, f"fetching as root failed, see {work}/apt.log")
        m.kernel.fetch(work, userlands, m.name)


def tools_of(args, work):
    tools = {}
    for u, tool in (a.split("=", 1) for a in args):
        check(os.path.isfile(tool), f"tool for {u} not found: {tool} (tests/run-all.sh builds it)")
        if tool.endswith(".deb"):
            # A package: the guest runs the binary it installs.
            check(stdout_of(["dpkg-deb", "-f", tool, "Architecture"]).strip() == u,
                  f"{tool} is not a package for {u}")
            shutil.rmtree(f"{work}/deb-{u}", ignore_errors=True)
            unpack(tool, f"{work}/deb-{u}", "./usr/bin/dcp-sealkey")
            tool = f"{work}/deb-{u}/usr/bin/dcp-sealkey"
        tools[u] = tool
    return tools


def boot(m, work, tools):
    """Boots each boot of machine m, the records that one hands on in the
    next; leaves in work what judge.py needs."""
    phase = time.time()

    def took(what):
        nonlocal phase
        print(f"# {what} took {time.time() - phase:.1f} s", flush=True)
        phase = time.time()
    run_logged(f"rm -f {work}/console-*.txt {work}/run.json")
    fetch(m, work, list(tools))
    print(f"# {m.name}: Linux {m.kernel.version}", flush=True)
    took("fetch and kernel build")
    busybox = m.kernel.busybox(work)
    counts_setkeys = bool(build_root(m, work, tools, busybox).setkeys)
    took("DCP and initramfs build")
    # What the machines hand on, for the rows that start from their blobs.
    blobs = os.environ.get("DCP_VM_BLOBS", f"{os.path.dirname(work)}/blobs")
    source = f"{blobs}/{m.blobs_from}.json"
    check(not m.blobs_from or os.path.exists(source), f"no {source}: run vm_{m.blobs_from} first")
    earlier = json.load(open(source)) if m.blobs_from else {}
    json.dump({"machine": m.name, "version": m.kernel.version, "uname": m.kernel.uname,
               "userlands": list(tools), "counts_setkeys": counts_setkeys, "earlier": earlier},
              open(f"{work}/run.json", "w"))
    for b in m.boots:
        boot_initrd(m, b, work, busybox, earlier)
        found = guest.read_records(boot_vm(m, b, work))
        took(f"the {b.name} boot")
        if "done" not in found or "fatal" in found:
            print(f"# the {b.name} boot did not finish", flush=True)
            return
        earlier = {**earlier, **guest.handed_on(b.cases, found, tools)}
    os.makedirs(blobs, exist_ok=True)
    json.dump(earlier, open(f"{blobs}/{m.name}.json", "w"))


def main(argv):
    verb, args, t0 = argv[1] if len(argv) > 1 else "", argv[2:], time.time()
    if verb == "list":
        # NAME, the fixtures it requires, its userlands, the fixture it sets up.
        for m in MACHINES.values():
            required = (m.kernel.fixture, m.dcp.fixture, m.blobs_from and f"blobs_{m.blobs_from}")
            print(m.name, ",".join(filter(None, required)) or "-", ",".join(m.userlands),
                  f"blobs_{m.name}")
        return 0
    if verb == "--fetch":
        return MACHINES[args[0]].kernel.fetch(args[1], args[2:], args[0]) or 0
    if verb == "judge" and len(args) == 2 and os.path.exists(f"{args[0]}/run.json"):
        (work, blob_open), ran = args, json.load(open(f"{args[0]}/run.json"))
        m = MACHINES[ran["machine"]]
        m.kernel.version = ran["version"]
    elif {"boot": 3, "run": 4}.get(verb, 99) <= len(args) and args[0] in MACHINES:
        m = MACHINES[args[0]]
        blob_open, (work, *tools) = (args[1], args[2:]) if verb == "run" else (None, args[1:])
    else:
        print(f"usage: {argv[0]} boot MACHINE WORKDIR ARCH=TOOL... | judge WORKDIR BLOB_OPEN "
              f"(WORKDIR/run.json from boot) | run MACHINE BLOB_OPEN WORKDIR ARCH=TOOL... | list "
              f"(machines: {' '.join(MACHINES)})", file=sys.stderr)
        return 2
    work = os.path.abspath(work)
    if blob_open:
        print("KTAP version 1", flush=True)
    try:
        check(not blob_open or os.access(blob_open, os.X_OK), f"blob opener not found: {blob_open}")
        if verb != "judge":
            os.makedirs(work, exist_ok=True)
            tools = tools_of(tools, work)
            check(sorted(tools) == sorted(m.userlands), f"{m.name} runs the userlands {m.userlands}")
            boot(m, work, tools)
        return judge(m, work, blob_open, t0) if blob_open else 0
    except Failed as e:
        print(f"Bail out! {m.name} on Linux {m.kernel.version}: {e}", flush=True)
        return 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
