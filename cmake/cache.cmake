# SPDX-FileCopyrightText: 2026 dcp-sealkey developers
# SPDX-License-Identifier: MIT

# DCP_CACHE: the folder of what the tests fetch and build, from the
# environment as the scripts take it, or the default in apt/cache.sh.
file(STRINGS ${CMAKE_CURRENT_LIST_DIR}/../apt/cache.sh DCP_CACHE REGEX "^DCP_CACHE=")
string(REGEX REPLACE "^DCP_CACHE=[$][{]DCP_CACHE:-(.*)[}]$" "\\1" DCP_CACHE "${DCP_CACHE}")
if(NOT "$ENV{DCP_CACHE}" STREQUAL "")
    set(DCP_CACHE $ENV{DCP_CACHE})
endif()
