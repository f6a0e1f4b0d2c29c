#!/bin/bash
# shellcheck disable=SC2016 # the ${...} written into BitBake's files are its own
# SPDX-FileCopyrightText: 2026 dcp-sealkey developers
# SPDX-License-Identifier: MIT
# The Yocto layer on one LTS release (yocto.sh scarthgap|wrynose), offline, with its own
# BitBake, OE-Core and meta-oe; nothing is built. Each line it prints is a check passed.
set -euo pipefail
# shellcheck source-path=SCRIPTDIR source=trees.sh
source "$(dirname "$0")/trees.sh"
# shellcheck source-path=SCRIPTDIR source=../../apt/cache.sh
source "$top/apt/cache.sh"
# release: the tags of BitBake and OE-Core, meta-oe's, what linux-yocto makes of the kernel include
case ${1-} in
scarthgap) tag=5.0.15 oe=scarthgap-bec755063a8b kernel='^linux-yocto was \Kskipped: .*needs Linux 6.10 or later, not 6\.6\S*' ;;
wrynose) tag=6.0.2 oe=wrynose-6bf0d8ad57b3 kernel='^SRC_URI=".* \Kfile://dcp-sealkey.cfg.* file://mxs-dcp-null-key.patch' ;;
*) echo "usage: yocto.sh scarthgap|wrynose" >&2 && exit 2 ;;
esac
tars=("bitbake-yocto-$tag.tar.xz" "openembedded-core-yocto-$tag.tar.xz" "meta-openembedded-$oe.tar.xz")
trees "yocto_$1" "${tars[@]}"
exec > >(sed "s/^/yocto_$1: /") 2>&1
fail() { echo "FAILED: $*" && exit 1; }
apt=$(bash "$top/apt/install.sh" chrpath cpio diffstat file gawk locales lz4 patch rpcsvc-proto wget \
	xz-utils zstd 2>&1) || fail "apt/install.sh: $apt"

cache=$DCP_CACHE/yocto
mkdir -p "$cache/locale" && exec 9>"$cache/lock" && flock 9
r=$cache/$1-$(cd "$TREES" && sha256sum "${tars[@]}" | sha256sum | cut -c1-16)
if [[ ! -d $r ]]; then
	find "$cache" -maxdepth 1 -name "$1-*" -exec rm -rf {} + && i=0
	for d in bitbake oe-core meta-oe; do
		mkdir -p "$r.new/$d"
		tar -xJf "$TREES/${tars[i++]}" -C "$r.new/$d" --strip-components=1 || fail "unpacking ${tars[i - 1]} failed"
	done
	# Only a whole tree is cached: a failed tar has ended the check before this.
	mv "$r.new" "$r"
fi
[[ -d $cache/locale/en_US.UTF-8 ]] || localedef -i en_US -f UTF-8 "$cache/locale/en_US.UTF-8"
# BitBake's parse cache serves one configuration, which takes in the environment (hence env -i, Debian's
# python3 first) and the codeparser cache: each bitbake starts without it, or each run would parse again.
mkdir -p "$r/bin" "$r/check/conf" "$r/check/recipes" "$r/build/conf"
printf '#!/bin/sh\nrm -f %s/build/cache/bb_codeparser.dat*\nexec %s/bitbake/bin/bitbake "$@"\n' \
	"$r" "$r" >"$r/bin/bitbake" && chmod +x "$r/bin/bitbake"
run() { env -i HOME="$HOME" PATH="$r/bin:/usr/sbin:/usr/bin:/sbin:/bin:$r/bitbake/bin:$r/oe-core/scripts" \
	LOCPATH="$cache/locale" BB_ENV_PASSTHROUGH_ADDITIONS=LOCPATH BUILDDIR="$r/build" "$@"; }

# This tree as a git repository (same files, same SRCREV), and a layer that points the recipe at it
# and pulls the kernel include into linux-yocto; fresh times, so that the recipes parse, and warn, each run.
rm -rf "$r/tree" && bash "$top/scripts/export-tree.sh" "$r/tree" && git -C "$r/tree" init -q -b main
git -C "$r/tree" add -A && GIT_AUTHOR_DATE=2026-01-01T00:00Z GIT_COMMITTER_DATE=2026-01-01T00:00Z \
	git -C "$r/tree" -c user.name=check -c user.email=check@invalid -c commit.gpgsign=false commit -q -m tree
layer=$r/tree/contrib/yocto/meta-dcp-sealkey
printf '%s\n' 'BBFILES += "${LAYERDIR}/recipes/*.bbappend"' 'BBFILE_COLLECTIONS += "check"' \
	'BBFILE_PATTERN_check := "^${LAYERDIR}/"' "LAYERSERIES_COMPAT_check = \"$1\"" >"$r/check/conf/layer.conf"
printf 'DCP_SEALKEY_GIT = "git://%s;protocol=file;branch=main"\nSRCREV = "%s"\n' "$r/tree" \
	"$(git -C "$r/tree" rev-parse HEAD)" >"$r/check/recipes/dcp-sealkey_%.bbappend"
echo 'require recipes-kernel/linux/dcp-sealkey-kernel.inc' >"$r/check/recipes/linux-yocto_%.bbappend"
find "$layer" "$r/check" -exec touch {} +
printf 'BBPATH = "${TOPDIR}"\nBBLAYERS = "%s"\n' "$r/oe-core/meta $r/meta-oe/meta-oe $layer $r/check" \
	>"$r/build/conf/bblayers.conf"
printf '%s\n' 'MACHINE = "qemuarm"' 'INHERIT:remove = "sanity uninative"' 'BB_NO_NETWORK = "1"' \
	'BB_SIGNATURE_HANDLER = "OEBasicHash"' 'BB_HASHSERVE = ""' >"$r/build/conf/local.conf"
cd "$r/build"

run bitbake -p >parse.log 2>&1 || fail "bitbake -p: $(cat parse.log)"
! grep -E '^(WARNING|ERROR):' parse.log || fail "parsing warns"
echo "OE-Core, meta-oe and the layer parse without a warning"
run bitbake -e dcp-sealkey >env.log 2>&1 || fail "bitbake -e dcp-sealkey: $(tail -n 20 env.log)"
var() { sed -n "s/^$1=\"\(.*\)\"\$/\1/p" env.log; }
s=$(var S) work=$(var WORKDIR) stamp=$(var STAMP)
mods=$(grep -oP 'pkg_check_modules\(\w+ REQUIRED (IMPORTED_TARGET )?\K[\w-]+' "$top/CMakeLists.txt")
for m in $mods; do
	[[ " $(var DEPENDS) " == *" $m "* ]] || fail "DEPENDS lacks $m, which CMakeLists.txt asks pkg-config for"
done
[[ $work == "$r/build/"* && $stamp == "$r/build/"* ]] && rm -rf "$work" "${stamp%/*}"
run bitbake -c unpack dcp-sealkey >unpack.log 2>&1 || fail "bitbake -c unpack dcp-sealkey: $(tail -n 30 unpack.log)"
diff -rq -x .git "$r/tree" "$s" || fail "S ($s) does not hold this tree"
echo "DEPENDS holds ${mods//$'\n'/ }; dcp-sealkey unpacks this tree into S, ${s#"$r/"}"
for url in $(var LIC_FILES_CHKSUM); do
	file=${url#file://} && file=${file%%;*} && md5=${url#*;md5=} && sum=$(md5sum <"$s/$file" | cut -d' ' -f1)
	[[ $sum == "${md5%%;*}" ]] || fail "LIC_FILES_CHKSUM: $url, but $file's md5 in S is $sum"
	echo "LIC_FILES_CHKSUM matches: $url"
done
run bitbake -e linux-yocto >kernel.log 2>&1 || true
got=$(grep -m1 -oP "$kernel" kernel.log) || fail "linux-yocto: no '$kernel': $(tail -n 5 kernel.log)"
echo "linux-yocto with the kernel include: $got"

# yocto-check-layer's own tests but those that build world's signatures (which parse all twice more).
run python3 - "$r" "$layer" <<'EOF' || fail "yocto-check-layer"
import logging, sys, unittest
r, layer = sys.argv[1:]
sys.path[:0] = [f"{r}/oe-core/scripts/lib", f"{r}/oe-core/meta/lib", f"{r}/bitbake/lib"]
from checklayer import context, detect_layers
logging.basicConfig(level=logging.INFO, format="yocto-check-layer: %(message)s")
tc = context.CheckLayerTestContext(td={}, logger=logging.getLogger(), layer=detect_layers([layer], True)[0])
tc.loadTests([f"{r}/oe-core/scripts/lib/checklayer/cases"])
slow = ("test_world", "test_world_inherit_class", "test_signatures")
flat = lambda s: [c for x in s for c in (flat(x) if isinstance(x, unittest.TestSuite) else [x])]
tc.suites = unittest.TestSuite(c for c in flat(tc.suites) if c._testMethodName not in slow)
sys.exit(not tc.runTests().wasSuccessful())
EOF
