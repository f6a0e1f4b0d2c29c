// SPDX-FileCopyrightText: 2026 dcp-sealkey developers
// SPDX-License-Identifier: MIT

#pragma once
// Opens a sealed blob on the host, independently of the tool and of the
// emulated DCP: AES-128-ECB decryption of the wrapped blob key under the
// hardware key, then AES-128-GCM with nonce bytes 0 to 11 and the tag.

#include "emulated_keys.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

using bytes = std::vector<std::uint8_t>;

// The emulated DCP's hardware key, the one a zero-length key selects.
inline constexpr std::string_view EMULATED_HW_KEY = EMULATED_UNIQUE_KEY;

std::optional<bytes> from_hex(std::string_view hex);
std::string to_hex(const bytes& data);

struct blob_fields {
    std::uint8_t version;
    bytes wrapped_key;
    bytes nonce;
    std::uint32_t length;
    bytes ciphertext;
    bytes tag;
};

// Splits one blob line (hex, ending in exactly one line feed) into its
// fields; nothing if the text or the lengths are off.
std::optional<blob_fields> parse_blob(std::string_view line);

std::optional<bytes> aes_ecb_decrypt_block(const bytes& key, const bytes& block);
std::optional<bytes> aes_gcm_decrypt(const bytes& key, const bytes& iv12, const bytes& ciphertext,
                                     const bytes& tag);

// The plaintext key sealed in the blob line, or nothing.
std::optional<bytes> open_blob(std::string_view line, std::string_view hw_key_hex);
