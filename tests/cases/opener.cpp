// SPDX-FileCopyrightText: 2026 dcp-sealkey developers
// SPDX-License-Identifier: MIT

#include "opener.hpp"

#include <openssl/evp.h>

#include <memory>

namespace {

using cipher_ctx = std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)>;

bytes slice(const bytes& b, std::size_t from, std::size_t n) {
    return {b.begin() + static_cast<long>(from), b.begin() + static_cast<long>(from + n)};
}

// Lowercase only: the tool writes no other digits.
constexpr std::string_view DIGITS = "0123456789abcdef";

} // namespace

std::optional<bytes> from_hex(std::string_view hex) {
    if (hex.size() % 2 != 0) {
        return std::nullopt;
    }
    bytes out;
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        const auto high = DIGITS.find(hex[i]);
        const auto low = DIGITS.find(hex[i + 1]);
        if (high == std::string_view::npos || low == std::string_view::npos) {
            return std::nullopt;
        }
        out.push_back(static_cast<std::uint8_t>(high * 16 + low));
    }
    return out;
}

std::string to_hex(const bytes& data) {
    std::string out;
    for (const std::uint8_t b : data) {
        out += DIGITS[b >> 4];
        out += DIGITS[b & 15];
    }
    return out;
}

std::optional<blob_fields> parse_blob(std::string_view line) {
    if (line.empty() || line.back() != '\n') {
        return std::nullopt;
    }
    const auto blob = from_hex(line.substr(0, line.size() - 1));
    if (!blob || blob->size() < 53) {
        return std::nullopt;
    }
    const bytes& b = *blob;
    blob_fields f{};
    f.version = b[0];
    f.wrapped_key = slice(b, 1, 16);
    f.nonce = slice(b, 17, 16);
    f.length = static_cast<std::uint32_t>(b[33] | b[34] << 8 | b[35] << 16) |
               static_cast<std::uint32_t>(b[36]) << 24;
    // The length field must account for every payload byte, exactly.
    if (b.size() != 53 + static_cast<std::size_t>(f.length)) {
        return std::nullopt;
    }
    f.ciphertext = slice(b, 37, f.length);
    f.tag = slice(b, 37 + f.length, 16);
    return f;
}

std::optional<bytes> aes_ecb_decrypt_block(const bytes& key, const bytes& block) {
    cipher_ctx ctx(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
    bytes out(32);
    int n = 0;
    int last = 0;
    if (key.size() != 16 || block.size() != 16 ||
        EVP_DecryptInit_ex(ctx.get(), EVP_aes_128_ecb(), nullptr, key.data(), nullptr) != 1 ||
        EVP_CIPHER_CTX_set_padding(ctx.get(), 0) != 1 ||
        EVP_DecryptUpdate(ctx.get(), out.data(), &n, block.data(), 16) != 1 ||
        EVP_DecryptFinal_ex(ctx.get(), out.data() + n, &last) != 1 || n + last != 16) {
        return std::nullopt;
    }
    out.resize(16);
    return out;
}

std::optional<bytes> aes_gcm_decrypt(const bytes& key, const bytes& iv12, const bytes& ciphertext,
                                     const bytes& tag) {
    cipher_ctx ctx(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
    bytes out(ciphertext.size() + 16);
    bytes tag_copy = tag;
    int n = 0;
    int last = 0;
    if (key.size() != 16 || iv12.size() != 12 || tag.size() != 16 ||
        EVP_DecryptInit_ex(ctx.get(), EVP_aes_128_gcm(), nullptr, nullptr, nullptr) != 1 ||
        EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_IVLEN, 12, nullptr) != 1 ||
        EVP_DecryptInit_ex(ctx.get(), nullptr, nullptr, key.data(), iv12.data()) != 1 ||
        EVP_DecryptUpdate(ctx.get(), out.data(), &n, ciphertext.data(),
                          static_cast<int>(ciphertext.size())) != 1 ||
        EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, 16, tag_copy.data()) != 1 ||
        EVP_DecryptFinal_ex(ctx.get(), out.data() + n, &last) != 1) {
        return std::nullopt;
    }
    out.resize(static_cast<std::size_t>(n + last));
    return out;
}

std::optional<bytes> open_blob(std::string_view line, std::string_view hw_key_hex) {
    const auto fields = parse_blob(line);
    const auto hw_key = from_hex(hw_key_hex);
    if (!fields || !hw_key || fields->version != 1) {
        return std::nullopt;
    }
    const auto blob_key = aes_ecb_decrypt_block(*hw_key, fields->wrapped_key);
    if (!blob_key) {
        return std::nullopt;
    }
    const bytes iv12(fields->nonce.begin(), fields->nonce.begin() + 12);
    return aes_gcm_decrypt(*blob_key, iv12, fields->ciphertext, fields->tag);
}
