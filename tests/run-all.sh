#!/bin/bash
# SPDX-FileCopyrightText: 2026 dcp-sealkey developers
# SPDX-License-Identifier: MIT

# Builds and runs every test: host tests (debug and hardened release), the
# three Arm targets under qemu-user, the Debian packages (lintian-clean and
# reproducible), the virtual-machine tests on real kernels (amd64, arm64 and
# the emulated i.MX6ULL, which run the Arm builds), the QEMU model's qtest,
# the Buildroot package and the Yocto layer in their build systems,
# and the quality gates. Installs what it needs on Debian 12.
set -euo pipefail
cd "$(dirname "$0")/.."

stage() { printf '\n=== %s\n' "$*"; }

stage "dependencies"
bash apt/install.sh
bash cmake/install-cross-deps.sh

stage "host tests, debug build"
cmake --workflow --preset dev

stage "aarch64 under qemu-user"
cmake --workflow --preset aarch64

stage "armhf under qemu-user"
cmake --workflow --preset armhf

stage "armel under qemu-user"
cmake --workflow --preset armel

stage "Debian packages: amd64, arm64, armhf, armel; lintian; reproducible builds"
bash scripts/build-debs.sh
bash tests/packages/check-reproducible.sh

stage "hardened release build: host tests and the virtual machines"
cmake --workflow --preset release
# CTest keeps a passing test's output in its log only: what the build
# systems' checks checked, or why they skipped.
grep -E '^(buildroot check|yocto_[a-z]+|kernel patch on linux-fslc): ' build/release/Testing/Temporary/LastTest.log |
	grep -vP 'yocto-check-layer: (?!Ran )' || true

stage "quality gates"
bash tests/gates/run.sh

stage "every test passed"
