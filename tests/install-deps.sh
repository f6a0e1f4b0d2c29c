#!/bin/bash
# SPDX-FileCopyrightText: 2026 dcp-sealkey developers
# SPDX-License-Identifier: MIT

# Installs what building the tool and its host tests needs on Debian 12,
# and the packages named as arguments; only what is missing.
set -eu
packages="cmake g++ make pkgconf libkcapi-dev libssl-dev libgtest-dev $*"
missing=""
for p in $packages; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
export DEBIAN_FRONTEND=noninteractive
# A mirror in mid-sync can fail one index; the lists already there may do.
$sudo apt-get -o DPkg::Lock::Timeout=900 update -qq ||
    echo "install-deps: apt-get update failed, installing from the lists there are" >&2
# shellcheck disable=SC2086 # one word per package
$sudo apt-get -o DPkg::Lock::Timeout=900 install -y -qq --no-install-recommends $missing </dev/null
