# SPDX-FileCopyrightText: 2026 dcp-sealkey developers
# SPDX-License-Identifier: MIT
"""The guest, busybox sh: its files, and the shell of Step rows. guest/ holds
its /init (init.sh), the functions every boot has (library.sh) and those of
each kind of case (TAG.sh, by the kind's tag); /setup, /boot.env and /cases
are written for each machine and boot."""
from records import record_id
from util import HERE


def shell(name):
    return open(f"{HERE}/guest/{name}.sh").read()


def setup(drivers, kernel, userlands):
    """/setup: what the library and the kinds need to know of the machine."""
    values = {"DCP_NULL_KEY": drivers.null_key, "DCP_LOADED": drivers.loaded,
              "DCP_STOCK": drivers.stock, "DCP_OTP_BIT": drivers.otp_bit,
              "DCP_SETKEYS": drivers.setkeys, "DCP_TEST_KEY_ARGS": drivers.test_key_args,
              "HWRNG_MODULES": " ".join(kernel.hwrng_modules), "SELFTESTS_OFF": kernel.selftests_off,
              "USERLANDS": " ".join(userlands)}
    return "".join(f"{k}='{v}'\n" for k, v in values.items())


def cases_file(cases):
    """/cases: the functions of the kinds that the cases use, then each
    case's action, run as case $N."""
    kinds = dict.fromkeys(k for case in cases for k in case.kinds())
    return "".join(shell(k.tag) for k in kinds if k.tag) + "".join(
        f"N={record_id('$u', case)}; " * bool(case.name) + case.action() + "\n" for case in cases)


def recipes_of(cases):
    """The marked doc blocks that the cases run: {file in /recipes: recipe name}."""
    return {f: name for case in cases for part in getattr(case, "cases", [case])
            for f, name in part.recipes.items()}


# The shell of Step rows, from the library's functions.
def insmods(*modules):
    return "insmods " + " ".join(modules)


def rmmods(*modules):
    return "rmmods " + " ".join(modules)


def dcp_up(driver="", test_keys=False):
    """The DCP driver "" (null-key), "stock" or "otp_bit" (null-key from
    before the OTP_KEY fix), on the boot's keys or on the test key."""
    module = {"": "", "stock": "$DCP_STOCK", "otp_bit": "$DCP_OTP_BIT"}[driver]
    return f'dcp_up "{module}"' + (' "$DCP_TEST_KEY_ARGS"' if test_keys else "")


DCP_DOWN = "dcp_down"
DCP_STOCK = f'[ -z "$DCP_STOCK" ] || {dcp_up("stock")} ""'  # where the machine has one
EXTRA_SELFTESTS_ON = "echo 0 >/sys/module/cryptomgr/parameters/$SELFTESTS_OFF; dmesg -c >/dev/null"


def trusted_up(*params):
    return " ".join(("trusted_up",) + params)


def once(name, *lines):
    """Lines that run in the first userland's pass only."""
    return f"[ -f /tmp/once.{name} ] || {{ {'; '.join(lines)}; : >/tmp/once.{name}; }}"
