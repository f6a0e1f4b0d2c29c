#!/bin/bash
# SPDX-FileCopyrightText: 2026 dcp-sealkey developers
# SPDX-License-Identifier: MIT

# Builds the tool and seals a demo key on the emulated DCP: prints the blob,
# its fields, and the key opened again by the independent opener.
set -eu
cd "$(dirname "$0")/.."
bash apt/install.sh
cmake --preset release >/dev/null
cmake --build --preset release --target dcp-sealkey kcapi_double blob-open >/dev/null

build=build/release
# The emulated DCP's hardware key, from the tests' one list of emulated keys.
hw_key=$(sed -n 's/^#define EMULATED_UNIQUE_KEY "\(.*\)"$/\1/p' tests/emulated_keys.h)
key="demo key: correct horse battery staple"
diagnostics=$(mktemp)
trap 'rm -f "$diagnostics"' EXIT
blob=$(printf '%s\n' "$key" | LD_PRELOAD="$PWD/$build/tests/double/libkcapi_double.so" \
    "$build/dcp-sealkey" 2>"$diagnostics")

echo "the tool said on stderr:"
sed 's/^/  /' "$diagnostics"
echo

echo "sealed blob:"
echo "$blob"
echo
echo "fields:"
echo "  format version   $(echo "$blob" | cut -c1-2)"
echo "  wrapped blob key $(echo "$blob" | cut -c3-34)"
echo "  nonce            $(echo "$blob" | cut -c35-66)"
echo "  payload length   $(echo "$blob" | cut -c67-74) (little-endian)"
echo "  ciphertext       $(echo "$blob" | cut -c75-$((${#blob} - 32)))"
echo "  tag              $(echo "$blob" | cut -c$((${#blob} - 31))-)"
echo
opened=$(echo "$blob" | "$build/tests/cases/blob-open" "$hw_key")
echo "opened again:      $opened"
# The escapes keep the key's own line end, which command substitution would drop.
# shellcheck disable=SC2001 # a ${//} replacement cannot name the match before bash 5.2
printf 'as text:           %b' "$(sed 's/../\\x&/g' <<<"$opened")"
