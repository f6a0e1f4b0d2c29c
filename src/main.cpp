// SPDX-FileCopyrightText: 2026 dcp-sealkey developers
// SPDX-License-Identifier: MIT

// dcp-sealkey: seals a key read from stdin under the DCP hardware key and
// prints the blob that the kernel's DCP trusted keys load, as one hex line.

#include "kernel_cipher.hpp"
#include "messages.h"
#include "random_source.hpp"

#include <array>
#include <cerrno>
#include <cstdio>
#include <string.h>
#include <sys/types.h>
#include <unistd.h>

namespace {

constexpr std::uint8_t BLOB_FORMAT_VERSION = 1;

// A buffer that is wiped whenever it goes out of scope, whichever path
// the run takes.
template <std::size_t Size> struct secret_buffer {
    std::array<std::uint8_t, Size> bytes{};

    secret_buffer() = default;
    secret_buffer(const secret_buffer&) = delete;
    secret_buffer& operator=(const secret_buffer&) = delete;
    ~secret_buffer() { explicit_bzero(bytes.data(), bytes.size()); }
};

// Reads the key into buf and returns its length, or -1 on a read error or
// empty input. A pipe may deliver the key in pieces, so read to the end;
// a terminal delivers one line per read, and that line is the key. Stops
// once buf is full: buf has one byte more than a key may have, so a full
// buf means the input was too long, without draining the rest.
ssize_t read_plaintext_key(std::span<std::uint8_t> buf) {
    const bool terminal = isatty(STDIN_FILENO) != 0;
    std::size_t total = 0;
    while (total < buf.size()) {
        const ssize_t got = read(STDIN_FILENO, buf.data() + total, buf.size() - total);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return -1;
        }
        if (got == 0) {
            break;
        }
        total += static_cast<std::size_t>(got);
        if (terminal) {
            break;
        }
    }
    return total == 0 ? -1 : static_cast<ssize_t>(total);
}

void print_hex(std::span<const std::uint8_t> bytes) {
    for (const std::uint8_t byte : bytes) {
        printf("%02x", byte);
    }
}

int seal_key() {
    secret_buffer<MAX_PLAINTEXT_KEY + 1> plaintext;
    const ssize_t plaintext_size = read_plaintext_key(plaintext.bytes);
    if (plaintext_size <= 0) {
        fputs(MSG_KEY_NOT_READ, stderr);
        return -1;
    }
    if (static_cast<std::size_t>(plaintext_size) > MAX_PLAINTEXT_KEY) {
        fputs(MSG_KEY_TOO_LONG, stderr);
        return -1;
    }
    fprintf(stderr, MSG_KEY_READ, plaintext_size);
    // Still sealed: older kernels load such keys, and callers may rely on it.
    if (static_cast<std::size_t>(plaintext_size) < MIN_LOADABLE_KEY) {
        fputs(MSG_SHORT_KEY, stderr);
    }
    const std::span<const std::uint8_t> key(plaintext.bytes.data(),
                                            static_cast<std::size_t>(plaintext_size));

    secret_buffer<BLOB_KEY_SIZE> blob_key;
    std::array<std::uint8_t, NONCE_SIZE> nonce{};
    if (read_random_block(blob_key.bytes) != 0 || read_random_block(nonce) != 0) {
        return -1;
    }

    std::array<std::uint8_t, BLOB_KEY_SIZE> wrapped_key{};
    if (wrap_blob_key(blob_key.bytes, wrapped_key) != 0) {
        return -1;
    }

    std::array<std::uint8_t, SEALED_PAYLOAD_SIZE> sealed{};
    const int sealed_size = seal_payload(key, blob_key.bytes, nonce, sealed);
    if (sealed_size < 0) {
        return -1;
    }

    const auto length = static_cast<std::uint32_t>(plaintext_size);
    const std::array<std::uint8_t, 4> length_le = {
        static_cast<std::uint8_t>(length), static_cast<std::uint8_t>(length >> 8U),
        static_cast<std::uint8_t>(length >> 16U), static_cast<std::uint8_t>(length >> 24U)};
    const std::array<std::uint8_t, 1> version = {BLOB_FORMAT_VERSION};

    print_hex(version);
    print_hex(wrapped_key);
    print_hex(nonce);
    print_hex(length_le);
    print_hex(std::span(sealed).first(static_cast<std::size_t>(sealed_size)));
    putchar('\n');
    // The blob is the only copy of the sealed key: a lost write must fail.
    if (fflush(stdout) != 0 || ferror(stdout) != 0 || fclose(stdout) != 0) {
        fputs(MSG_BLOB_NOT_WRITTEN, stderr);
        return -1;
    }
    return 0;
}

} // namespace

int main() {
    return seal_key() == 0 ? 0 : 1;
}
