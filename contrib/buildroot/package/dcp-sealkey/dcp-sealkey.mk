################################################################################
#
# dcp-sealkey
#
################################################################################

# SPDX-FileCopyrightText: 2026 dcp-sealkey developers
# SPDX-License-Identifier: MIT

# A release's tarball, and its line in dcp-sealkey.hash: contrib/README.md.
DCP_SEALKEY_VERSION = 0.1.0
# The release tarball from BR2_PACKAGE_DCP_SEALKEY_SITE; without a site,
# the source tree that this external tree is part of.
DCP_SEALKEY_SITE = $(call qstrip,$(BR2_PACKAGE_DCP_SEALKEY_SITE))
ifeq ($(DCP_SEALKEY_SITE),)
DCP_SEALKEY_SITE = $(patsubst %/src/main.cpp,%,$(realpath $(BR2_EXTERNAL_DCP_SEALKEY_PATH)/../../src/main.cpp))
DCP_SEALKEY_SITE_METHOD = local
endif
# Only the tool is built and installed; the GPL-2.0-only test kernel module
# in the source tree is not.
DCP_SEALKEY_LICENSE = MIT
DCP_SEALKEY_LICENSE_FILES = LICENSES/MIT.txt
DCP_SEALKEY_DEPENDENCIES = host-pkgconf libkcapi
# A working tree as DCP_SEALKEY_OVERRIDE_SRCDIR: not its CMake builds.
DCP_SEALKEY_OVERRIDE_SRCDIR_RSYNC_EXCLUSIONS = --exclude=/build

$(eval $(cmake-package))
