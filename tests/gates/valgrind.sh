#!/bin/sh
# SPDX-FileCopyrightText: 2026 dcp-sealkey developers
# SPDX-License-Identifier: MIT

# Runs the black-box tests with every run of the tool under valgrind
# memcheck, and fails on any memory error, any leak from the tool or any
# descriptor that the tool opened and left open. Descriptors it inherited
# (its standard streams, the report's own) are fine.
# Usage: valgrind.sh [build dir with blackbox_tests, default build/dev]
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../../build/dev}" && pwd)
tests=$build/tests/cases/blackbox_tests
logs=$build/memcheck
rm -rf "$logs"
mkdir -p "$logs"

# Every key length is left to the sanitizers: memcheck cannot see an
# overrun within the stack, which is where a length would show. Two shards
# in parallel: one run under memcheck takes about a second.
for i in 0 1; do
    DCP_MEMCHECK_LOGS=$logs DCP_TEST_WRAPPER=$here/memcheck-wrap.sh \
        GTEST_TOTAL_SHARDS=2 GTEST_SHARD_INDEX=$i "$tests" --gtest_brief=1 \
        --gtest_filter=-Sealing.EveryKeyLengthOpensAgain >"$logs/shard$i.out" 2>&1 ||
        touch "$logs/shard$i.failed" &
done
wait
failed=0
for i in 0 1; do
    if [ -e "$logs/shard$i.failed" ]; then
        echo "memcheck: blackbox_tests shard $i failed:"
        cat "$logs/shard$i.out"
        failed=1
    fi
done

runs=0
for log in "$logs"/run.*; do
    [ -e "$log" ] || continue
    runs=$((runs + 1))
    bad=
    grep -q "ERROR SUMMARY: 0 errors" "$log" || bad="memory errors or leaks"
    # Each open descriptor is followed by where it was opened, or by this
    # line when the tool got it already open.
    opened=$(grep -c '^==[0-9]*== Open ' "$log" || true)
    inherited=$(grep -c '<inherited from parent>' "$log" || true)
    if [ "$opened" -ne "$inherited" ]; then
        bad="${bad:+$bad, }$((opened - inherited)) descriptor(s) left open"
    fi
    if [ -n "$bad" ]; then
        echo "memcheck: $bad in $log:"
        cat "$log"
        failed=1
    fi
done
if [ "$runs" -eq 0 ]; then
    echo "memcheck: no run of the tool was checked"
    failed=1
fi
echo "memcheck: $runs runs of the tool checked"
exit "$failed"
