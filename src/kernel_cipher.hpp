// SPDX-FileCopyrightText: 2026 dcp-sealkey developers
// SPDX-License-Identifier: MIT

#pragma once

#include "messages.h"

#include <cstddef>
#include <cstdint>
#include <span>

constexpr std::size_t BLOB_KEY_SIZE = 16;
constexpr std::size_t NONCE_SIZE = 16;
constexpr std::size_t TAG_SIZE = 16;
constexpr std::size_t SEALED_PAYLOAD_SIZE = MAX_PLAINTEXT_KEY + TAG_SIZE;

// Encrypts the blob key as one AES block under the DCP hardware key
// ("ecb(aes)" with a zero-length key). Returns 0, or -1 after a message.
int wrap_blob_key(std::span<const std::uint8_t, BLOB_KEY_SIZE> blob_key,
                  std::span<std::uint8_t, BLOB_KEY_SIZE> wrapped_key);

// Seals 1 to MAX_PLAINTEXT_KEY bytes with AES-128-GCM under the blob key;
// "gcm(aes)" takes the first 12 nonce bytes as its IV. Writes ciphertext
// then tag to out and returns their count (plaintext size + TAG_SIZE), or
// a negative value after a message.
int seal_payload(std::span<const std::uint8_t> plaintext,
                 std::span<const std::uint8_t, BLOB_KEY_SIZE> blob_key,
                 std::span<const std::uint8_t, NONCE_SIZE> nonce,
                 std::span<std::uint8_t, SEALED_PAYLOAD_SIZE> out);
