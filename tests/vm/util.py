# SPDX-FileCopyrightText: 2026 dcp-sealkey developers
# SPDX-License-Identifier: MIT
"""Utilities of the VM harness: the failure that ends a run, running
programs, Debian's packages, building a folder once, the emulated keys."""
import codecs
import os
import re
import shutil
import subprocess

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(os.path.dirname(HERE))
# What is fetched and built, kept between runs: under $DCP_CACHE, whose
# default is in apt/cache.sh, as the scripts take it.
CACHE_ROOT = os.environ.get("DCP_CACHE") or re.search(
    r"^DCP_CACHE=\$\{DCP_CACHE:-(.*)\}$", open(f"{TOP}/apt/cache.sh").read(), re.M)[1]
CACHE = os.environ.get("DCP_VM_CACHE", f"{CACHE_ROOT}/vm")


class Failed(Exception):
    """The run cannot go on: the test bails out, naming machine and kernel."""


def check(ok, message):
    if not ok:
        raise Failed(message)


def run_logged(cmd, log=os.devnull, **kw):
    """Runs cmd (a list, or a string for sh), its output appended to log; returns its exit status."""
    with open(log, "a") as out:
        return subprocess.run(cmd, shell=isinstance(cmd, str), stdout=out, stderr=subprocess.STDOUT,
                              stdin=subprocess.DEVNULL, **kw).returncode


def stdout_of(cmd):
    return subprocess.run(cmd, shell=isinstance(cmd, str), capture_output=True, text=True,
                          stdin=subprocess.DEVNULL).stdout


def apt(work, function, *args):
    """Calls a function of apt/apt.sh, the private apt configuration that
    every download goes through; returns its output. What it says about
    retries and failed indexes is passed on as TAP comments."""
    r = subprocess.run(["bash", "-c", 'set -euo pipefail; die() { echo "$*" >&2; exit 1; }; '
                        'source "$0"; "$@"', f"{TOP}/apt/apt.sh", function, *args], text=True,
                       env=dict(os.environ, APT_LOG=f"{work}/apt.log"), capture_output=True,
                       stdin=subprocess.DEVNULL)
    check(r.returncode == 0, r.stderr.strip() or f"{function} {' '.join(args)} failed")
    for line in r.stderr.splitlines():
        print(f"# {line}", flush=True)
    return r.stdout.strip()


def install(work, *packages):
    """Installs on the host what must run there (apt/install.sh)."""
    check(run_logged(["bash", f"{TOP}/apt/install.sh", *packages], f"{work}/apt.log") == 0,
          f"installing {' '.join(packages)} failed, see {work}/apt.log")


def unpack(deb, dest, *members):
    os.makedirs(dest, exist_ok=True)
    check(run_logged(f"dpkg-deb --fsys-tarfile '{deb}' | tar -x -C '{dest}' --wildcards "
                     + " ".join(f"'{m}'" for m in members)) == 0, f"unpacking {deb} failed")


def build_once(folder, build):
    """Calls build(folder) unless an earlier call finished: a folder
    without its mark of completion is removed and built again."""
    if not os.path.exists(f"{folder}/complete"):
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(folder)
        build(folder)
        open(f"{folder}/complete", "w").close()


def emulated_keys():
    """The emulated DCP's keys and AES answers, by their names in
    tests/emulated_keys.h, the one file that holds them."""
    text = open(f"{TOP}/tests/emulated_keys.h").read()
    return dict(re.findall(r'^#define (\w+) "([0-9a-f]+)"$', text, re.M))


def messages():
    """The tool's messages, as Python formats, and the numbers and kernel
    versions they state, by their names in src/messages.h, their one home.
    Its macros are string literals, numbers, TEXT_OF(NAME) and NAMEs."""
    text = open(f"{TOP}/src/messages.h").read().replace("\\\n", " ")
    values = {}
    for name, body in re.findall(r"^#define (\w+) (.+)$", text, re.M):
        pieces = re.findall(r'"((?:[^"\\]|\\.)*)"|TEXT_OF\((\w+)\)|(\w+)', body)
        values[name] = int(body) if body.isdigit() else "".join(
            codecs.decode(literal, "unicode_escape") if literal else
            str(values[number]) if number else values[other] for literal, number, other in pieces
        ).replace("%z", "%")
    return values
