# SPDX-FileCopyrightText: 2026 dcp-sealkey developers
# SPDX-License-Identifier: MIT

# Shared part of the cross toolchain files: Debian's cross compilers with the
# target's libkcapi installed multiarch (libkcapi-dev:arm64 and so on), and
# what only the tests use from a sysroot of its own. The including file sets
# CROSS_TRIPLET, CROSS_DEB_ARCH, CMAKE_SYSTEM_PROCESSOR and CROSS_QEMU first.

set(CMAKE_SYSTEM_NAME Linux)

set(CMAKE_C_COMPILER ${CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${CROSS_TRIPLET}-g++)

# OpenSSL and GoogleTest, for the tests only, are unpacked by
# install-cross-deps.sh into this sysroot rather than installed: a foreign
# copy in dpkg would have to match the host's version (Multi-Arch: same).
include(${CMAKE_CURRENT_LIST_DIR}/cache.cmake)
set(CROSS_SYSROOT ${DCP_CACHE}/sysroot/${CROSS_DEB_ARCH}/current)

# The target's libraries live in /usr/lib/<triplet> (multiarch packages and
# the sysroot) and its C library also in /usr/<triplet> (the cross
# packages). Naming the library architecture keeps find_library,
# find_package(OpenSSL) and the GTest config search off the host's
# /usr/lib/x86_64-linux-gnu; the sysroot comes first.
set(CMAKE_LIBRARY_ARCHITECTURE ${CROSS_TRIPLET})
set(CMAKE_FIND_ROOT_PATH ${CROSS_SYSROOT} /usr/${CROSS_TRIPLET} /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkgconf's triplet wrapper searches only the target's .pc files.
find_program(PKG_CONFIG_EXECUTABLE NAMES ${CROSS_TRIPLET}-pkg-config REQUIRED)

# ctest runs target binaries under qemu-user; processes they spawn start
# through binfmt_misc. No -L /usr/<triplet>: qemu would then take ld.so from
# the cross package but libc.so.6 from the multiarch one, and with the two
# builds mixed, fork() in a test hangs or crashes. The multiarch libc6 of the
# target serves both the tests and the tool.
# Building alone needs no qemu.
find_program(CROSS_QEMU_EXECUTABLE NAMES ${CROSS_QEMU}-static ${CROSS_QEMU})
if(CROSS_QEMU_EXECUTABLE)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${CROSS_QEMU_EXECUTABLE})
endif()

# Linked statically, so nothing needs OpenSSL at run time.
set(OPENSSL_ROOT_DIR ${CROSS_SYSROOT}/usr)
# FindOpenSSL looks in lib/, not in the multiarch lib/<triplet>/.
set(OPENSSL_CRYPTO_LIBRARY ${CROSS_SYSROOT}/usr/lib/${CROSS_TRIPLET}/libcrypto.a)
# And configuration.h sits in the multiarch include folder.
set(CROSS_OPENSSL_INCLUDE_DIRS ${CROSS_SYSROOT}/usr/include/${CROSS_TRIPLET})
