# SPDX-FileCopyrightText: 2026 dcp-sealkey developers
# SPDX-License-Identifier: MIT
SUMMARY = "Seal a key under the NXP DCP hardware key"
DESCRIPTION = "Seals a key read from standard input under the hardware key \
of an NXP DCP and prints the blob that the kernel's trusted keys load."

# Only the tool is built and installed; the GPL-2.0-only test kernel module
# in the source tree is not.
LICENSE = "MIT"
LIC_FILES_CHKSUM = "file://LICENSES/MIT.txt;md5=7dda4e90ded66ab88b86f76169f28663"

# The repository and the commit are the builder's to name, in local.conf
# or a .bbappend: DCP_SEALKEY_GIT (a git:// URL with its protocol and
# branch) and SRCREV. Unpacked into ${BP}, where the default S of both
# releases looks (${WORKDIR}/${BP}, then ${UNPACKDIR}/${BP}).
DCP_SEALKEY_GIT ??= ""
SRC_URI = "${DCP_SEALKEY_GIT};destsuffix=${BP}"
PV = "0.1.0+git"

python () {
    if not d.getVar("DCP_SEALKEY_GIT") or d.getVar("SRCREV") == "INVALID":
        raise bb.parse.SkipRecipe("set DCP_SEALKEY_GIT and SRCREV:pn-dcp-sealkey "
                                  "to the repository and commit to build")
}

# Build time only; the run-time libkcapi dependency comes from the
# binary's NEEDED entries.
DEPENDS = "libkcapi"

inherit cmake pkgconfig

# Tests stay off (the default): they need OpenSSL, GoogleTest and a way to
# run target binaries. The distro's security flags usually cover hardening;
# otherwise add -DDCP_SEALKEY_HARDENING=ON to EXTRA_OECMAKE.
