#!/bin/bash
# SPDX-FileCopyrightText: 2026 dcp-sealkey developers
# SPDX-License-Identifier: MIT
# kernel-patch.sh: the null-key patch applies, with no fuzz, to the driver of
# linux-fslc, the i.MX kernel that meta-freescale builds (beside the build
# systems' trees: ../kernels). The VM tests apply it to 6.12 and 7.3.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source-path=SCRIPTDIR source=trees.sh
source "$here/trees.sh"
file=linux-fslc-7d7f139-mxs-dcp.c
trees "kernel patch on linux-fslc" "../kernels/$file"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
install -D -m 644 "$TREES/../kernels/$file" "$tmp/drivers/crypto/mxs-dcp.c"
patch -d "$tmp" -p1 -F0 --dry-run <"$here/../../kernel/mxs-dcp-null-key.patch"
echo "kernel patch on linux-fslc: applies with no fuzz to $file"
