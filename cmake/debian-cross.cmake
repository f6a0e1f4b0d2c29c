# SPDX-FileCopyrightText: 2026 dcp-sealkey developers
# SPDX-License-Identifier: MIT

# Shared part of the cross toolchain files: Debian's cross compilers with the
# target's libraries installed multiarch (libfoo-dev:arm64 and so on).
# The including file sets CROSS_TRIPLET, CMAKE_SYSTEM_PROCESSOR and
# CROSS_QEMU first.

set(CMAKE_SYSTEM_NAME Linux)

set(CMAKE_C_COMPILER ${CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${CROSS_TRIPLET}-g++)

# The target's libraries live in /usr/lib/<triplet> (multiarch packages) and
# its C library also in /usr/<triplet> (the cross packages). Naming the
# library architecture keeps find_library, find_package(OpenSSL) and the
# GTest config search off the host's /usr/lib/x86_64-linux-gnu.
set(CMAKE_LIBRARY_ARCHITECTURE ${CROSS_TRIPLET})
set(CMAKE_FIND_ROOT_PATH /usr/${CROSS_TRIPLET} /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkgconf's triplet wrapper searches only the target's .pc files.
find_program(PKG_CONFIG_EXECUTABLE NAMES ${CROSS_TRIPLET}-pkg-config REQUIRED)

# ctest runs target binaries under qemu-user; processes they spawn start
# through binfmt_misc. No -L /usr/<triplet>: qemu would then take ld.so from
# the cross package but libc.so.6 from the multiarch one, and with the two
# builds mixed, fork() in a test hangs or crashes. The multiarch runtime
# (libc6, libstdc++6 for the target) serves both the tests and the tool.
# Building alone needs no qemu.
find_program(CROSS_QEMU_EXECUTABLE NAMES ${CROSS_QEMU}-static ${CROSS_QEMU})
if(CROSS_QEMU_EXECUTABLE)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${CROSS_QEMU_EXECUTABLE})
endif()
