# SPDX-FileCopyrightText: 2026 dcp-sealkey developers
# SPDX-License-Identifier: MIT
# shellcheck shell=bash
# The folder that keeps, from one run to the next, what the tests and the
# Arm builds fetch and build: the private apt lists and packages, the
# sysroots, the kernels, QEMU. $DCP_CACHE, or by default the folder below,
# whose one home this line is: apt/apt.sh and the scripts source this file,
# cmake/cache.cmake and tests/vm/util.py read it.
DCP_CACHE=${DCP_CACHE:-/var/cache/dcp-sealkey}
