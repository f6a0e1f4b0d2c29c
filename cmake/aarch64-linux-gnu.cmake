# SPDX-FileCopyrightText: 2026 dcp-sealkey developers
# SPDX-License-Identifier: MIT

# 64-bit Arm Linux with Debian's cross compiler:
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake ...
# cmake/install-cross-deps.sh installs what it needs.
set(CROSS_TRIPLET aarch64-linux-gnu)
set(CROSS_DEB_ARCH arm64)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CROSS_QEMU qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
