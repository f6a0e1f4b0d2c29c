// SPDX-FileCopyrightText: 2026 dcp-sealkey developers
// SPDX-License-Identifier: MIT

// blob-open HWKEY_HEX < blob: prints the key sealed in a blob line as hex.
#include "opener.hpp"

#include <cstdio>
#include <string>

int main(int argc, char** argv) {
    if (argc != 2) {
        fputs("usage: blob-open HWKEY_HEX < blob\n", stderr);
        return 2;
    }
    std::string line;
    for (int c = getchar(); c != EOF; c = getchar()) {
        line += static_cast<char>(c);
    }
    const auto key = open_blob(line, argv[1]);
    if (!key) {
        fputs("blob-open: the blob does not open under this key\n", stderr);
        return 1;
    }
    printf("%s\n", to_hex(*key).c_str());
    return 0;
}
