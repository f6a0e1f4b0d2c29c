#!/bin/bash
# SPDX-FileCopyrightText: 2026 dcp-sealkey developers
# SPDX-License-Identifier: MIT
# release.sh [DIR]: makes the release tarball dcp-sealkey-VERSION.tar.gz of
# the committed tree (HEAD) in DIR (default: the current folder) and prints
# its line for Buildroot's dcp-sealkey.hash. The tarball leaves that file
# out (.gitattributes) and is dated by the last commit that changed anything
# else, so the commit that adds the line makes the same bytes. The steps of
# a release: contrib/README.md.
set -euo pipefail
dir=$(realpath "${1:-.}")
cd "$(dirname "$0")/.."
die() {
	echo "release: $*" >&2
	exit 1
}
pkg=contrib/buildroot/package/dcp-sealkey
version=$(sed -n 's/^project(dcp-sealkey VERSION \([^ ]*\) .*/\1/p' CMakeLists.txt)
grep -qx "DCP_SEALKEY_VERSION = $version" "$pkg/dcp-sealkey.mk" ||
	die "DCP_SEALKEY_VERSION in $pkg/dcp-sealkey.mk is not the project's version $version"
date=$(git log -1 --format=%ct HEAD -- . ":(exclude)$pkg/dcp-sealkey.hash")
[[ -n $date ]] || die "no commit dates the tree (a shallow clone?)"
name=dcp-sealkey-$version
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
git archive --prefix="$name/" HEAD | tar -x -C "$tmp"
tar -C "$tmp" --sort=name --mtime="@$date" --owner=0 --group=0 --numeric-owner \
	--format=posix --pax-option=exthdr.name=%d/PaxHeaders/%f,delete=atime,delete=ctime \
	-c "$name" | gzip -9n >"$dir/$name.tar.gz"
echo "sha256  $(sha256sum "$dir/$name.tar.gz" | cut -d' ' -f1)  $name.tar.gz"
