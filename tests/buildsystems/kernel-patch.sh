#!/bin/bash
# SPDX-FileCopyrightText: 2026 dcp-sealkey developers
# SPDX-License-Identifier: MIT
# The null-key patch applies with no fuzz to linux-fslc's driver, as to the VM tests' 6.12, 7.3 (README.md).
set -euo pipefail
# shellcheck source-path=SCRIPTDIR source=trees.sh
source "$(dirname "$0")/trees.sh"
file=linux-fslc-7d7f139-mxs-dcp.c
trees "kernel patch on linux-fslc" "../kernels/$file"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
install -D -m 644 "$TREES/../kernels/$file" "$tmp/drivers/crypto/mxs-dcp.c"
patch -d "$tmp" -p1 -F0 --dry-run <"$top/kernel/mxs-dcp-null-key.patch"
echo "kernel patch on linux-fslc: applies with no fuzz to $file"
