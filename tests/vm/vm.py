#!/usr/bin/python3
# SPDX-FileCopyrightText: 2026 dcp-sealkey developers
# SPDX-License-Identifier: MIT
"""Runs the unmodified tool inside real kernels under QEMU and judges it.

    vm.py MACHINE BLOB_OPEN WORKDIR ARCH=TOOL...   every boot, KTAP results
    vm.py --list                                    the machines, for CMake

A machine is a row of machines.py, its boots and cases are in cases.py,
and each kind of case in kinds.py. ARCH=TOOL is a build of the tool, or a
.deb that installs one, for the userland ARCH. DCP_VM_CACHE
(/var/cache/dcp-sealkey/vm) keeps what is fetched and built, DCP_QEMU_DIR
is qemu/build.sh's QEMU, DCP_VM_ACCEL=kvm asks for KVM.
"""
import glob
import json
import os
import re
import shutil
import subprocess
import sys
import time

import kinds
from harness import HERE, TOP, Failed, check, run_logged, stdout_of, unpack
from machines import MACHINES

BOOT_LIMIT = 300  # seconds before QEMU is stopped


def readme_block(name):
    """The sh block right after the line <!-- recipe: NAME --> in README.md
    or doc/*.md, as written; each name is marked once."""
    blocks = {}
    for path in [f"{TOP}/README.md", *sorted(glob.glob(f"{TOP}/doc/*.md"))]:
        for marked, block in re.findall(r"^<!-- recipe: (\S+) -->\n(?:```sh\n(.*?)^```)?",
                                        open(path).read(), re.M | re.S):
            check(marked not in blocks, f'recipe "{marked}" is marked twice (again in {path})')
            check(block, f'recipe "{marked}" in {path}: no sh block right after its marker')
            blocks[marked] = block
    check(name in blocks, f'no sh block is marked "<!-- recipe: {name} -->" '
          "in README.md or doc/*.md")
    return blocks[name]


def pack(folder, out, busybox):
    check(run_logged(f"cd '{folder}' && find . | '{busybox}' cpio -o -H newc 2>/dev/null "
                     f"| gzip -1 >'{out}'") == 0, f"packing {folder} failed")


def build_root(m, work, tools, busybox):
    """The initramfs that every boot of machine m shares; returns what
    serves its DCP."""
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
    files = {"init": kinds.INIT, "library": kinds.LIBRARY,
             "setup": kinds.guest_setup(drivers, m.kernel, tools)}
    for name, text in files.items():
        open(f"{root}/{name}", "w").write(text)
    os.chmod(f"{root}/init", 0o755)
    pack(root, f"{work}/initrd.gz", busybox)
    return drivers


def boot_initrd(m, boot, work, busybox, handed):
    """The common initramfs and one of the boot's own: its cases, the DCP's
    arguments for its keys, the README blocks it runs, and what earlier
    boots handed on."""
    d = f"{work}/boot-{boot.name}"
    shutil.rmtree(d, ignore_errors=True)
    for sub in ("readme", "handed"):
        os.makedirs(f"{d}/{sub}")
    files = {"cases": kinds.guest_cases(boot.cases),
             "boot.env": f"DCP_ARGS='{m.dcp.module_args(boot.keys)}'\n",
             **{f"readme/{f}": readme_block(name)
                for f, name in kinds.readme_blocks(boot.cases).items()},
             **{f"handed/{name}": text for name, text in kinds.handed_files(handed).items()}}
    for name, text in files.items():
        open(f"{d}/{name}", "w").write(text)
    pack(d, f"{work}/boot-{boot.name}.gz", busybox)
    run_logged(f"cat {work}/initrd.gz {work}/boot-{boot.name}.gz >{work}/initrd-{boot.name}.gz")


def boot_vm(m, boot, work):
    """Boots once; returns the console's text."""
    log = f"{work}/console.log"
    for accel in m.kernel.accels():
        if os.path.exists(log):
            os.remove(log)
        # No stdin in CI: QEMU must not touch it, and the console goes to a file.
        cmd = [m.dcp.qemu(m.qemu), *m.qemu_args, "-accel", accel, *m.dcp.qemu_args(boot.keys),
               "-m", "512", "-smp", "1", "-nodefaults", "-no-user-config", "-display", "none",
               "-monitor", "none", "-serial", f"file:{log}", "-no-reboot", *m.kernel.qemu_args(),
               "-initrd", f"{work}/initrd-{boot.name}.gz", "-append",
               f"console={m.console} loglevel=1 quiet panic=-1 cryptomgr.{m.kernel.slow_tests}=1"]
        try:
            rc = run_logged(cmd, f"{work}/qemu.log", timeout=BOOT_LIMIT)
        except subprocess.TimeoutExpired:
            raise Failed(f"the VM did not finish within {BOOT_LIMIT} s, see {log}")
        console = open(log, errors="replace").read().replace("\r", "") if os.path.exists(log) else ""
        open(f"{work}/console-{boot.name}.txt", "w").write(console)
        if accel == "kvm" and (rc or "done" not in kinds.records(console)):
            print(f"# KVM did not start (exit {rc}), falling back to TCG", flush=True)
            continue
        check(rc == 0, f"QEMU exited with {rc}, see {work}/qemu.log")
        return console


def fetch(m, work, userlands):
    """What the machine needs, fetched or built once into the cache. A
    fetch that needs root runs again under sudo -n when not root."""
    m.dcp.fetch(work)
    try:
        m.kernel.fetch(work, userlands)
    except (Failed, PermissionError) as e:
        check(os.geteuid() != 0, str(e))
        check(stdout_of("sudo -n true && echo y") == "y\n",
              f"{e}; fetching needs root or sudo without a password: run this test once as "
              "root, or configure with -DDCP_SKIP_VM_TEST=ON to skip it")
        check(run_logged(["sudo", "-n", sys.executable, __file__, "--fetch", m.name, work,
                          *userlands]) == 0, f"fetching as root failed, see {work}/apt.log")
        m.kernel.fetch(work, userlands)


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


def report(number, boot, results):
    """One boot's results as a KTAP subtest; returns how many failed."""
    print(f"  KTAP version 1\n  # Subtest: {boot.name}\n  1..{len(results)}")
    for n, r in enumerate(results, 1):
        print(f"  {'not ok' if r.failures else 'ok'} {n} {r.name}: {r.summary}")
        for message in r.failures:
            print(f"  # {message}")
    failed = sum(bool(r.failures) for r in results)
    print(f"{'not ok' if failed else 'ok'} {number} {boot.name}", flush=True)
    return failed


def run(m, blob_open, work, tools):
    t0 = phase = time.time()

    def took(what):
        nonlocal phase
        print(f"# {what} took {time.time() - phase:.1f} s", flush=True)
        phase = time.time()
    print("KTAP version 1")
    fetch(m, work, list(tools))
    print(f"# {m.name}: Linux {m.kernel.version}", flush=True)
    took("fetch and kernel build")
    busybox = m.kernel.busybox(work)
    counts_setkeys = bool(build_root(m, work, tools, busybox).setkeys)
    took("DCP and initramfs build")
    print(f"1..{len(m.boots)}")
    # What the cases hand on, kept for the machines whose rows take them.
    handed_dir = os.environ.get("DCP_VM_HANDED", f"{os.path.dirname(work)}/handed")
    handed, failed, total = {}, 0, 0
    if m.blobs_from:
        source = f"{handed_dir}/{m.blobs_from}.json"
        check(os.path.exists(source), f"nothing handed on from {m.blobs_from}: run vm_{m.blobs_from} first")
        handed = json.load(open(source))
    for number, boot in enumerate(m.boots, 1):
        boot_initrd(m, boot, work, busybox, handed)
        found = kinds.records(boot_vm(m, boot, work))
        took(f"the {boot.name} boot")
        kinds.check_boot(found, boot.name, m.kernel.uname, m.rng)
        opened = kinds.open_blobs(found, blob_open)
        contexts = [kinds.Context(found, opened, u, counts_setkeys, m.loads, handed) for u in tools]
        results = kinds.judge(boot.cases, contexts)
        failed, total = failed + report(number, boot, results), total + len(results)
        handed = {**handed, **kinds.handed_on(boot.cases, contexts)}
        took(f"judging the {boot.name} boot")
    os.makedirs(handed_dir, exist_ok=True)
    json.dump(handed, open(f"{handed_dir}/{m.name}.json", "w"))
    print(f"# {m.name} on Linux {m.kernel.version}: {total - failed} passed, {failed} failed, "
          f"in {time.time() - t0:.0f} s")
    return 1 if failed else 0


def main(argv):
    if argv[1:2] == ["--list"]:
        # NAME, the fixtures it requires, its userlands, the fixture it sets up.
        for m in MACHINES.values():
            required = (m.kernel.fixture, m.dcp.fixture, m.blobs_from and f"handed_{m.blobs_from}")
            print(m.name, ",".join(filter(None, required)) or "-", ",".join(m.userlands),
                  f"handed_{m.name}")
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
        check(os.access(blob_open, os.X_OK), f"blob opener not found: {blob_open}")
        tools = tools_of(argv[4:], work)
        check(sorted(tools) == sorted(m.userlands), f"{m.name} runs the userlands {m.userlands}")
        return run(m, blob_open, work, tools)
    except Failed as e:
        print(f"Bail out! {m.name} on Linux {m.kernel.version}: {e}", flush=True)
        return 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
