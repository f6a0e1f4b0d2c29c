# SPDX-FileCopyrightText: 2026 dcp-sealkey developers
# SPDX-License-Identifier: MIT

# 32-bit ARMv5 soft-float Linux (Debian armel: i.MX23, i.MX28) with Debian's
# cross compiler:
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabi.cmake ...
# cmake/install-cross-deps.sh installs what it needs.
set(CROSS_TRIPLET arm-linux-gnueabi)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CROSS_QEMU qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)

# OpenSSL, for the tests only (the tool does not use it). bookworm-security
# has no armel builds, so libssl3:armel (Multi-Arch: same) cannot be
# installed beside the host's updated libssl3; install-cross-deps.sh unpacks
# libssl-dev:armel into this cache instead. Linked statically, so nothing
# needs it at run time, and with libatomic: ARMv5 has no exclusive
# load/store instructions, so libcrypto's 64-bit atomics are libatomic calls.
set(CROSS_OPENSSL_SYSROOT /var/cache/dcp-sealkey/sysroot/armel/current)
set(OPENSSL_ROOT_DIR ${CROSS_OPENSSL_SYSROOT}/usr)
# FindOpenSSL looks in lib/, not in the multiarch lib/<triplet>/.
set(OPENSSL_CRYPTO_LIBRARY ${CROSS_OPENSSL_SYSROOT}/usr/lib/${CROSS_TRIPLET}/libcrypto.a)
# And configuration.h sits in the multiarch include folder.
set(CROSS_OPENSSL_INCLUDE_DIRS ${CROSS_OPENSSL_SYSROOT}/usr/include/${CROSS_TRIPLET})
set(CROSS_OPENSSL_LINK_LIBRARIES -l:libatomic.a)
