#!/bin/sh
# SPDX-FileCopyrightText: 2026 dcp-sealkey developers
# SPDX-License-Identifier: MIT

# Runs one command under valgrind memcheck, its report in a file of its own
# under $DCP_MEMCHECK_LOGS. The report goes to descriptor 9, opened here:
# valgrind's --log-file would take the lowest free descriptor, which is the
# tool's stdout in the runs that close it. No subprocesses: the emulated
# DCP is already preloaded here and would log their exits as its own.
set -e
exec 9>"${DCP_MEMCHECK_LOGS:?}/run.$$"
exec valgrind --tool=memcheck --log-fd=9 --error-exitcode=99 \
    --leak-check=full --show-leak-kinds=definite,indirect \
    --errors-for-leak-kinds=definite,indirect --track-fds=yes \
    --suppressions="${0%/*}/memcheck.supp" "$@"
