#!/bin/bash
# SPDX-FileCopyrightText: 2026 dcp-sealkey developers
# SPDX-License-Identifier: MIT
# Copies the working tree into DEST as git sees it: tracked files with their
# uncommitted edits, and new files that are not ignored (so no build/).
# Packages and reproducibility builds run in such a copy, never in the
# working tree: dpkg-buildpackage writes into the source's parent folder.
set -euo pipefail
dest=${1:?usage: export-tree.sh DEST}
cd "$(dirname "$0")/.."
mkdir -p "$dest"
git ls-files -z --cached --others --exclude-standard |
    while IFS= read -r -d '' f; do
        # A tracked file deleted in the working tree is left out.
        if [ -e "$f" ] || [ -L "$f" ]; then printf '%s\0' "$f"; fi
    done |
    tar --null --no-recursion -T - -cf - | tar -xf - -C "$dest"
