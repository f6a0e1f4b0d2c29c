# SPDX-FileCopyrightText: 2026 dcp-sealkey developers
# SPDX-License-Identifier: MIT
"""The guest, busybox sh: its files, the shell of Step rows, and the records
by which it tells the host what a case did. guest/ holds its /init
(init.sh), the functions every boot has (library.sh) and those that the
kinds of case call (kinds.sh); /setup, /boot.env and /cases are written for
each machine and boot. Its write_record prints one line per record,
"@@ ID FIELD:WORD FIELD=HEX ...", which read_records() reads from a console.
A case's ID is USERLAND.NAME.TAG: each case runs once per userland."""
import dataclasses
import glob
import re

from util import TOP, check


def record_id(userland, case):
    return f"{userland}.{case.name}.{case.tag}"


def read_records(console):
    """The records of a console by ID, each {FIELD: text}."""
    return {m[1]: {f[1]: bytes.fromhex(f[3]).decode(errors="replace") if f[2] == "=" else f[3]
                   for f in re.finditer(r"(\w+)([=:])(\S*)", m[2])}
            for m in re.finditer(r"^@@ (\S+)((?: \w+(?:=[0-9a-f]*|:\S*))*)$", console, re.M)}


def handed_on(cases, found, userlands):
    """The records of a boot that its cases hand on to later boots, by ID."""
    return {i: found[i] for case in cases if case.hand_on for u in userlands
            for i in [record_id(u, case)] if i in found}


def setup(drivers, kernel, userlands):
    """/setup: what the library and the kinds need to know of the machine,
    each field of dcps.Drivers as DCP_FIELD."""
    values = {**{f"DCP_{k.upper()}": v for k, v in dataclasses.asdict(drivers).items()},
              "HWRNG_MODULES": " ".join(kernel.hwrng_modules), "SELFTESTS_OFF": kernel.selftests_off,
              "USERLANDS": " ".join(userlands)}
    return "".join(f"{k}='{v}'\n" for k, v in values.items())


def cases_file(cases):
    """/cases: each case's action, run as case $N."""
    return "".join(f"N={record_id('$u', case)}; " * bool(case.name) + case.action + "\n"
                   for case in cases)


def recipes(cases):
    """The docs' blocks that the cases run, as written: {file in /recipes:
    the sh block right after the line <!-- recipe: NAME --> in README.md or
    doc/*.md}, each NAME marked once."""
    blocks = {}
    for path in [f"{TOP}/README.md", *sorted(glob.glob(f"{TOP}/doc/*.md"))]:
        for marked, block in re.findall(r"^<!-- recipe: (\S+) -->\n(?:```sh\n(.*?)^```)?",
                                        open(path).read(), re.M | re.S):
            check(marked not in blocks, f'recipe "{marked}" is marked twice (again in {path})')
            check(block, f'recipe "{marked}" in {path}: no sh block right after its marker')
            blocks[marked] = block
    named = {f: name for case in cases for part in getattr(case, "cases", [case])
             for f, name in part.recipes.items()}
    for name in named.values():
        check(name in blocks, f'no sh block is marked "<!-- recipe: {name} -->" in README.md or doc/*.md')
    return {f: blocks[name] for f, name in named.items()}


def call(function):
    """Calls of a function of the library, for Step rows."""
    return lambda *args: " ".join((function,) + args)


insmods, rmmods, trusted_up = map(call, ("insmods", "rmmods", "trusted_up"))


def dcp_up(driver="", test_keys=False):
    """The DCP driver "" (null-key), "stock" or "otp_bit" (null-key from
    before the OTP_KEY fix), on the boot's keys or on the test key."""
    module = {"": "", "stock": "$DCP_STOCK", "otp_bit": "$DCP_OTP_BIT"}[driver]
    return f'dcp_up "{module}"' + (' "$DCP_TEST_KEY_ARGS"' if test_keys else "")


DCP_DOWN = "dcp_down"
DCP_STOCK = f'[ -z "$DCP_STOCK" ] || {dcp_up("stock")} ""'  # where the machine has one
EXTRA_SELFTESTS_ON = "echo 0 >/sys/module/cryptomgr/parameters/$SELFTESTS_OFF; dmesg -c >/dev/null"


def once(name, *lines):
    """Lines that run in the first userland's pass only."""
    return f"[ -f /tmp/once.{name} ] || {{ {'; '.join(lines)}; : >/tmp/once.{name}; }}"
