#!/bin/bash
# SPDX-FileCopyrightText: 2026 dcp-sealkey developers
# SPDX-License-Identifier: MIT
# Fuzzes the DCP model with QEMU's generic-fuzz (libFuzzer, ASan, UBSan):
# builds qemu-fuzz-arm with the series (qemu/build.sh --fuzz), runs
# generic-fuzz-imx-dcp from the seed corpus in qemu/fuzz/corpus for SECONDS,
# then prints the executions, the coverage of hw/misc/imx_dcp.c that the
# corpus reaches, and every finding. Exits 1 if there is a finding.
#
#   bash qemu/fuzz.sh SECONDS [WORKDIR]
#
# WORKDIR keeps the corpus (WORKDIR/corpus, grown over runs), the findings
# (WORKDIR/findings) and the log (WORKDIR/fuzz.log); without it, a
# temporary folder is used and removed, so each run starts from the seeds.
# The fuzzing QEMU is built in $DCP_QEMU_FUZZ_DIR ($DCP_CACHE/qemu-fuzz),
# 7 minutes cold on two cores.
set -euo pipefail
export LC_ALL=C

HERE=$(cd "$(dirname "$0")" && pwd)
# shellcheck source-path=SCRIPTDIR source=../apt/cache.sh
source "$HERE/../apt/cache.sh"
OUTDIR=${DCP_QEMU_FUZZ_DIR:-$DCP_CACHE/qemu-fuzz}
TARGET=generic-fuzz-imx-dcp
# libFuzzer's -timeout never fires in QEMU, whose main thread blocks
# SIGALRM; a run that outlasts its time by this much hangs, and SIGSEGV
# makes ASan and libFuzzer report it with the input it hung on.
GRACE=120

die() {
	echo "qemu fuzz FAILED: $*" >&2
	exit 1
}

[[ $# -ge 1 && $# -le 2 && $1 =~ ^[0-9]+$ ]] || die "usage: $0 SECONDS [WORKDIR]"
SECS=$1
if [[ $# -eq 2 ]]; then
	mkdir -p "$2"
	WORK=$(cd "$2" && pwd)
else
	WORK=$(mktemp -d)
	trap 'rm -rf "$WORK"' EXIT
fi

bash "$HERE/build.sh" --fuzz "$OUTDIR"
FUZZER=$OUTDIR/qemu-fuzz-arm

mkdir -p "$WORK/corpus" "$WORK/findings" "$WORK/profile"
cp "$HERE"/fuzz/corpus/* "$WORK/corpus/"
# A UBSan report is a finding too, not a line in the log.
export UBSAN_OPTIONS=halt_on_error=1:abort_on_error=1:print_stacktrace=1
LOG=$WORK/fuzz.log

# The run: new inputs that reach further go into the corpus.
echo "qemu fuzz: $TARGET for $SECS s, corpus $WORK/corpus, log $LOG"
before=$(find "$WORK/findings" -type f | wc -l)
rc=0
LLVM_PROFILE_FILE=/dev/null timeout -s SEGV -k 30 $((SECS + GRACE)) "$FUZZER" \
	"--fuzz-target=$TARGET" -max_total_time="$SECS" -print_final_stats=1 \
	-artifact_prefix="$WORK/findings/" "$WORK/corpus" >"$LOG" 2>&1 </dev/null || rc=$?
[[ $rc -ne 124 ]] || echo "qemu fuzz: the fuzzer hung and was stopped after $((SECS + GRACE)) s"
execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$LOG" | tail -n 1)
edges=$(grep -o 'cov: [0-9]*' "$LOG" | tail -n 1 | cut -d' ' -f2)
echo "qemu fuzz: ${execs:-no} executions in $SECS s, ${edges:-no} edges covered," \
	"$(find "$WORK/corpus" -type f | wc -l) inputs in the corpus"

# The corpus once more, counting lines and branches of the model.
rm -f "$WORK"/profile/*
LLVM_PROFILE_FILE=$WORK/profile/%p.profraw timeout -k 30 $((SECS + GRACE)) "$FUZZER" \
	"--fuzz-target=$TARGET" -runs=0 "$WORK/corpus" >"$WORK/coverage.log" 2>&1 </dev/null ||
	echo "qemu fuzz: the coverage run failed, see $WORK/coverage.log"
if compgen -G "$WORK/profile/*.profraw" >/dev/null; then
	llvm-profdata-14 merge -o "$WORK/profile/all.profdata" "$WORK"/profile/*.profraw
	llvm-cov-14 report "$FUZZER" -instr-profile="$WORK/profile/all.profdata" \
		>"$WORK/coverage.txt" 2>&1 || true
	# Columns: file, regions (3), functions (3), lines, missed, cover, branches, ...
	awk '$1 ~ /\/hw\/misc\/imx_dcp\.c$/ { print "qemu fuzz: the corpus reaches " $10 \
		" of the lines (" $8 - $9 " of " $8 ") and " $13 " of the branches (" $11 - $12 \
		" of " $11 ") of hw/misc/imx_dcp.c" }' "$WORK/coverage.txt"
fi

# Every finding: the files libFuzzer wrote, with the sanitizer's summary.
shopt -s nullglob
findings=("$WORK"/findings/*)
if [[ $rc -ne 0 || ${#findings[@]} -gt $before ]]; then
	echo "qemu fuzz: libFuzzer exited $rc; findings:"
	for f in "${findings[@]}"; do
		echo "  $f"
	done
	grep -E '^(SUMMARY|==[0-9]+==ERROR)|runtime error|ALARM|Test unit written' "$LOG" |
		sed 's/^/  /' || true
	echo "qemu fuzz: replay one with $FUZZER --fuzz-target=$TARGET FILE"
	exit 1
fi
echo "qemu fuzz: no finding"
