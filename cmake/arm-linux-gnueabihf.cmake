# SPDX-FileCopyrightText: 2026 dcp-sealkey developers
# SPDX-License-Identifier: MIT

# 32-bit ARMv7 hard-float Linux (Debian armhf) with Debian's cross compiler:
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake ...
# cmake/install-cross-deps.sh installs what it needs.
set(CROSS_TRIPLET arm-linux-gnueabihf)
set(CROSS_DEB_ARCH armhf)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CROSS_QEMU qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
