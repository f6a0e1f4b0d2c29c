# SPDX-FileCopyrightText: 2026 dcp-sealkey developers
# SPDX-License-Identifier: MIT

# 32-bit ARMv5 soft-float Linux (Debian armel: i.MX23, i.MX28) with Debian's
# cross compiler:
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabi.cmake ...
# cmake/install-cross-deps.sh installs what it needs.
set(CROSS_TRIPLET arm-linux-gnueabi)
set(CROSS_DEB_ARCH armel)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CROSS_QEMU qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)

# libcrypto's 64-bit atomics are libatomic calls: ARMv5 has no exclusive
# load/store instructions.
set(CROSS_OPENSSL_LINK_LIBRARIES -l:libatomic.a)
