# SPDX-FileCopyrightText: 2026 dcp-sealkey developers
# SPDX-License-Identifier: MIT
"""The record protocol: how the guest tells the host what a case did. The
guest's write_record (guest/library.sh) prints one line per record,
"@@ ID FIELD:WORD FIELD=HEX ...", and read_records() reads them from a
console. A case's ID is USERLAND.NAME.TAG: each case runs once per userland."""
import re


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
