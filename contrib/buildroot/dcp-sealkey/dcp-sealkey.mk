# SPDX-FileCopyrightText: 2026 dcp-sealkey developers
# SPDX-License-Identifier: MIT

################################################################################
#
# dcp-sealkey
#
################################################################################

# The git tag or commit to fetch. The site is a placeholder: set your git
# server.
DCP_SEALKEY_VERSION = 0.1.0
DCP_SEALKEY_SITE = <your-git-server>/dcp-sealkey.git
DCP_SEALKEY_SITE_METHOD = git
# Only the tool is built and installed; the GPL-2.0-only test kernel module
# in the source tree is not.
DCP_SEALKEY_LICENSE = MIT
DCP_SEALKEY_LICENSE_FILES = LICENSES/MIT.txt
# The C++ compiler builds it; the binary needs libkcapi alone at run time.
DCP_SEALKEY_DEPENDENCIES = host-pkgconf libkcapi

$(eval $(cmake-package))
