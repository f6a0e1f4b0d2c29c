// SPDX-FileCopyrightText: 2026 dcp-sealkey developers
// SPDX-License-Identifier: MIT

// blob-open HWKEY_HEX < blob: prints the key sealed in a blob line as hex.
// blob-open --batch: for each line "HWKEY_HEX BLOB_HEX" on standard input,
// prints the key sealed in the blob, or "-" where it does not open under
// that key: one process for the hundreds of blobs a VM test makes.
#include "opener.hpp"

#include <cstdio>
#include <iostream>
#include <iterator>
#include <string>

int main(int argc, char** argv) {
    if (argc == 2 && std::string(argv[1]) == "--batch") {
        std::string hw_key;
        std::string blob;
        while (std::cin >> hw_key >> blob) {
            const auto key = open_blob(blob + '\n', hw_key);
            std::cout << (key ? to_hex(*key) : "-") << '\n';
        }
        return std::cout.flush() ? 0 : 1;
    }
    if (argc != 2) {
        fputs("usage: blob-open HWKEY_HEX < blob, or blob-open --batch\n", stderr);
        return 2;
    }
    const std::string line(std::istreambuf_iterator<char>(std::cin), {});
    const auto key = open_blob(line, argv[1]);
    if (!key) {
        fputs("blob-open: the blob does not open under this key\n", stderr);
        return 1;
    }
    printf("%s\n", to_hex(*key).c_str());
    return 0;
}
