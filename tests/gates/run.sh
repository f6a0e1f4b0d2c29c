#!/bin/bash
# SPDX-FileCopyrightText: 2026 dcp-sealkey developers
# SPDX-License-Identifier: MIT

# Runs every quality gate: the host suite under ASan, UBSan and LSan, the
# black-box runs under valgrind memcheck, clang-tidy, cppcheck, the
# clang-format check, the check of the man page's messages, the REUSE
# licensing check, shellcheck over the VM guest's shell, the build systems'
# checks and scripts/, and flake8 over the tests' Python. Prints each
# gate's result and exits non-zero if any failed. As root on Debian it
# first installs what is missing, asking nothing.
# Usage: tests/gates/run.sh [gate...]   (default: all of them)
set -u

root=$(cd "$(dirname "$0")/../.." && pwd)
cd "$root" || exit 2
all_gates="sanitize memcheck clang-tidy cppcheck clang-format messages reuse shellcheck flake8"
gates=${*:-$all_gates}
logs=$root/build/gates
mkdir -p "$logs"

if [ "$(id -u)" -eq 0 ] && [ -e /etc/debian_version ] && command -v apt-get >/dev/null; then
    bash apt/install.sh util-linux valgrind clang-tidy cppcheck clang-format groff-base reuse \
        shellcheck flake8 >"$logs/install.log" 2>&1 || {
        cat "$logs/install.log"
        echo "gates: installing what the gates need failed"
        exit 2
    }
fi

gate_sanitize() {
    cmake --workflow --preset sanitize
}

gate_memcheck() {
    cmake --preset dev && cmake --build --preset dev && tests/gates/valgrind.sh build/dev
}

# Test code is POSIX glue and tables of test data, so some checks that fit
# the tool do not fit it. Why each is off for the tests:
#   magic numbers: the numbers are the test data (vectors, sizes, statuses);
#   identifier-length: r and c are a run's result and a table row;
#   identifier-naming: GoogleTest's suites and fixtures are CamelCase;
#   C arrays, decay, pointer arithmetic and constant indexes: pipe, poll,
#     mkstemp and execvpe take C arrays, and the double implements a C API;
#   no-malloc: the double hands out C handles that its C destroy frees;
#   non-const globals, redundant-declaration: environ, declared for POSIX,
#     and the double's count of live handles;
#   cert-dcl50-cpp: the double's log takes a printf format;
#   cert-err34-c: atoi and sscanf read settings that the tests write;
#   cert-env33-c: the tests run shell commands (unshare, mount) on purpose;
#   cert-err58-cpp: a throw while building a table of cases fails the run;
#   cognitive complexity: each EXPECT in a table-driven test adds branches;
#   implicit-bool-conversion: counting open descriptors as (fd >= 0) + ...;
#   easily-swappable-parameters, widening casts: open_blob's two strings,
#     and byte offsets of at most a few hundred;
#   performance: string and vector building around a fork is not hot.
tidy_test_checks="-readability-magic-numbers,-cppcoreguidelines-avoid-magic-numbers,\
-readability-identifier-length,-readability-identifier-naming,\
-cppcoreguidelines-avoid-c-arrays,-cppcoreguidelines-pro-bounds-array-to-pointer-decay,\
-cppcoreguidelines-pro-bounds-pointer-arithmetic,-cppcoreguidelines-pro-bounds-constant-array-index,\
-cppcoreguidelines-no-malloc,-cppcoreguidelines-avoid-non-const-global-variables,\
-readability-redundant-declaration,-cert-dcl50-cpp,-cert-err34-c,-cert-env33-c,-cert-err58-cpp,\
-readability-function-cognitive-complexity,-readability-implicit-bool-conversion,\
-bugprone-easily-swappable-parameters,-bugprone-misplaced-widening-cast,\
-bugprone-implicit-widening-of-multiplication-result,-performance-*"

gate_clang_tidy() {
    [ -e build/dev/compile_commands.json ] || cmake --preset dev || return 1
    local failed=0
    find src -name '*.cpp' | sort | xargs -P 2 -n 1 clang-tidy --quiet -p build/dev || failed=1
    find tests/cases tests/double -name '*.cpp' | sort |
        xargs -P 2 -n 1 clang-tidy --quiet -p build/dev --checks="$tidy_test_checks" || failed=1
    return "$failed"
}

# No suppressions are needed: the code is clean as it stands. Headers of
# the system and libkcapi are not read; posix.cfg and std.cfg describe them.
gate_cppcheck() {
    cppcheck --std=c++20 --language=c++ --library=posix --inconclusive \
        --enable=warning,style,performance,portability,unusedFunction \
        --inline-suppr --error-exitcode=1 -q -I src src
}

# The kernel module under tests/vm is C in the kernel's own style.
gate_clang_format() {
    find src tests/cases tests/double -name '*.cpp' -o -name '*.hpp' | sort |
        xargs clang-format --dry-run --Werror
}

# Every line of each of the tool's messages (the MSG_ of src/messages.h, as
# the compiler makes them) is in the man page's DIAGNOSTICS, and each piece
# of the tool's standard error that the board check looks for is in one.
gate_messages() {
    local line failed=0
    {
        printf '#include <stdio.h>\n#include "messages.h"\nint main(void) {\n'
        sed -n 's/^#define \(MSG_[A-Z_]*\) .*/    puts(\1);/p' src/messages.h
        printf '    return 0;\n}\n'
    } >"$logs/messages.c"
    "${CC:-cc}" -I src -o "$logs/messages" "$logs/messages.c" || return 1
    "$logs/messages" | sed '/^$/d' >"$logs/messages.txt"
    groff -man -Tascii -P-cbou -rLL=2000n -rHY=0 doc/dcp-sealkey.1 |
        awk '/^DIAGNOSTICS$/ { on = 1; next } /^[A-Z]/ { on = 0 } on' >"$logs/diagnostics.txt"
    while IFS= read -r line; do
        grep -qF -- "$line" "$logs/diagnostics.txt" || {
            echo "doc/dcp-sealkey.1: DIAGNOSTICS lacks this line of src/messages.h: $line"
            failed=1
        }
    done <"$logs/messages.txt"
    sed -n "s/.*grep -q '\([^']*\)' seal[.]err.*/\1/p" doc/board-check.md >"$logs/board-check.txt"
    while IFS= read -r line; do
        grep -qF -- "$line" "$logs/messages.txt" || {
            echo "doc/board-check.md greps for '$line', which no message of src/messages.h says"
            failed=1
        }
    done <"$logs/board-check.txt"
    echo "$(wc -l <"$logs/messages.txt") lines of messages checked against DIAGNOSTICS," \
        "$(wc -l <"$logs/board-check.txt") pieces that the board check greps"
    return "$failed"
}

# Every file in git or not ignored by it states its copyright and licence,
# in a header or in .reuse/dep5, and every licence named has its text in
# LICENSES/. The Yocto recipe and the Buildroot package carry the MIT
# text's sums, which must follow the text.
gate_reuse() {
    local md5 sha256 failed=0
    reuse lint || failed=1
    md5=$(md5sum <LICENSES/MIT.txt | cut -d' ' -f1)
    sha256=$(sha256sum <LICENSES/MIT.txt | cut -d' ' -f1)
    grep -q "file://LICENSES/MIT.txt;md5=$md5\"" contrib/yocto/*/recipes-*/*/dcp-sealkey_*.bb || {
        echo "contrib/yocto: LIC_FILES_CHKSUM is not md5=$md5"
        failed=1
    }
    grep -qx "sha256  $sha256  LICENSES/MIT.txt" contrib/buildroot/package/dcp-sealkey/dcp-sealkey.hash || {
        echo "contrib/buildroot: dcp-sealkey.hash lacks sha256 $sha256 of LICENSES/MIT.txt"
        failed=1
    }
    return "$failed"
}

# The VM guest's shell is busybox sh, which shellcheck knows as POSIX sh;
# the build systems' checks and the users' scripts are bash. flake8 is
# pyflakes and pycodestyle, here at the tests' line length.
gate_shellcheck() { shellcheck -x tests/vm/guest/*.sh tests/buildsystems/*.sh scripts/*.sh; }
gate_flake8() { flake8 --max-line-length=110 tests; }

passed=0
failed=0
for gate in $gates; do
    case " $all_gates " in
    *" $gate "*) ;;
    *)
        echo "gates: unknown gate '$gate' (known: $all_gates)"
        exit 2
        ;;
    esac
    log=$logs/$gate.log
    start=$SECONDS
    if "gate_${gate//-/_}" >"$log" 2>&1; then
        result=passed
        passed=$((passed + 1))
    else
        result=FAILED
        failed=$((failed + 1))
        # The first faults say the most; a broken build can repeat one per case.
        head -n 300 "$log"
        [ "$(wc -l <"$log")" -le 300 ] || echo "... (the whole log: $log)"
    fi
    # What was checked, where the gate counts it: ctest's tests, memcheck's
    # runs, the messages' lines, reuse's files.
    detail=$(grep -E 'tests failed out of|runs of the tool checked|lines of messages checked|'\
'Files with license information' "$log" | tail -n 1 | sed 's/^\* //')
    echo "gate $gate: $result in $((SECONDS - start)) s${detail:+ ($detail)}"
done
echo "gates: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
