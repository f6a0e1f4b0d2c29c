# SPDX-FileCopyrightText: 2026 dcp-sealkey developers
# SPDX-License-Identifier: MIT

# For recipes-security/dcp-sealkey/ in your own layer; needs meta-oe for
# libkcapi. Never built here: no Yocto build was made.
SUMMARY = "Seal a key under the NXP DCP hardware key"
DESCRIPTION = "Seals a key read from standard input under the hardware key \
of an NXP DCP and prints the blob that the kernel's trusted keys load."

# Only the tool is built and installed; the GPL-2.0-only test kernel module
# in the source tree is not.
LICENSE = "MIT"
LIC_FILES_CHKSUM = "file://LICENSES/MIT.txt;md5=7dda4e90ded66ab88b86f76169f28663"

# Placeholders: set your git server and the commit to build.
SRC_URI = "git://<your-git-server>/dcp-sealkey.git;protocol=https;branch=main"
SRCREV = "<commit>"
# From Yocto 5.1 on: S = "${UNPACKDIR}/git"
S = "${WORKDIR}/git"

# Build time only; the run-time libkcapi dependency comes from the
# binary's NEEDED entries.
DEPENDS = "libkcapi"

inherit cmake pkgconfig

# Tests stay off (the default): they need OpenSSL, GoogleTest and a way to
# run target binaries. The distro's security flags usually cover hardening;
# otherwise add -DDCP_SEALKEY_HARDENING=ON.
EXTRA_OECMAKE = ""
