// SPDX-FileCopyrightText: 2026 dcp-sealkey developers
// SPDX-License-Identifier: MIT

// Published AES vectors through the emulated DCP and the opener, so that
// the two cannot agree on a wrong convention.
#include "opener.hpp"

#include <gtest/gtest.h>
#include <kcapi.h>

namespace {

bytes hex(std::string_view text) {
    return from_hex(text).value();
}

// NIST SP 800-38A, F.1.1 ECB-AES128.Encrypt, first block.
const bytes SP800_38A_PLAIN = hex(SP800_38A_BLOCK);
const bytes SP800_38A_CIPHER = hex(UNIQUE_SP800_38A_BLOCK);

TEST(KnownAnswers, ZeroLengthKeySelectsTheEmulatedHardwareKey) {
    kcapi_handle* h = nullptr;
    ASSERT_EQ(kcapi_cipher_init(&h, "ecb(aes)", 0), 0);
    const std::uint8_t none[1] = {};
    ASSERT_EQ(kcapi_cipher_setkey(h, none, 0), 0);
    bytes out(16);
    EXPECT_EQ(kcapi_cipher_encrypt(h, SP800_38A_PLAIN.data(), 16, nullptr, out.data(), 16, 0), 16);
    kcapi_cipher_destroy(h);
    EXPECT_EQ(out, SP800_38A_CIPHER);
    EXPECT_EQ(aes_ecb_decrypt_block(hex(EMULATED_HW_KEY), SP800_38A_CIPHER), SP800_38A_PLAIN);
}

struct gcm_vector {
    const char* name;
    bytes key, iv, plain, cipher, tag;
};

// The AES-GCM test cases with 96-bit IVs and no associated data.
const std::vector<gcm_vector> GCM_VECTORS = {
    {"test case 2", hex("00000000000000000000000000000000"), hex("000000000000000000000000"),
     hex("00000000000000000000000000000000"), hex("0388dace60b6a392f328c2b971b2fe78"),
     hex("ab6e47d42cec13bdf53a67b21257bddf")},
    {"test case 3", hex("feffe9928665731c6d6a8f9467308308"), hex("cafebabefacedbaddecaf888"),
     hex("d9313225f88406e5a55909c5aff5269a86a7a9531534f7da2e4c303d8a318a72"
         "1c3c0c95956809532fcf0e2449a6b525b16aedf5aa0de657ba637b391aafd255"),
     hex("42831ec2217774244b7221b784d0d49ce3aa212f2c02a4e035c17e2329aca12e"
         "21d514b25466931c7d8f6a5aac84aa051ba30b396a0aac973d58e091473f5985"),
     hex("4d5c2af327cd64a62cf35abd2ba6fab4")},
};

TEST(KnownAnswers, GcmTakesTheFirstTwelveIvBytes) {
    for (const auto& v : GCM_VECTORS) {
        SCOPED_TRACE(v.name);
        bytes iv16 = v.iv;
        iv16.insert(iv16.end(), {0xde, 0xad, 0xbe, 0xef}); // must not matter
        kcapi_handle* h = nullptr;
        ASSERT_EQ(kcapi_aead_init(&h, "gcm(aes)", 0), 0);
        ASSERT_EQ(kcapi_aead_setkey(h, v.key.data(), 16), 0);
        ASSERT_EQ(kcapi_aead_settaglen(h, 16), 0);
        kcapi_aead_setassoclen(h, 0);
        bytes out(v.plain.size() + 16);
        EXPECT_EQ(kcapi_aead_encrypt(h, v.plain.data(), v.plain.size(), iv16.data(), out.data(),
                                     out.size(), 0),
                  static_cast<ssize_t>(out.size()));
        kcapi_aead_destroy(h);
        bytes expected = v.cipher;
        expected.insert(expected.end(), v.tag.begin(), v.tag.end());
        EXPECT_EQ(to_hex(out), to_hex(expected));
        EXPECT_EQ(aes_gcm_decrypt(v.key, v.iv, v.cipher, v.tag), v.plain);
        bytes bad_tag = v.tag;
        bad_tag[0] ^= 1;
        EXPECT_EQ(aes_gcm_decrypt(v.key, v.iv, v.cipher, bad_tag), std::nullopt);
    }
}

TEST(KnownAnswers, OpenerRefusesMalformedBlobs) {
    const std::string good = "01" + std::string(64, '0') + "01000000" + std::string(34, '0') + "\n";
    ASSERT_TRUE(parse_blob(good).has_value());
    const std::vector<std::string> bad = {
        "",
        good.substr(0, good.size() - 1),                                        // no line end
        good.substr(0, good.size() - 3) + "\n",                                 // one byte short
        good.substr(0, good.size() - 1) + "00\n",                               // one byte over
        "01" + std::string(64, '0') + "02000000" + std::string(34, '0') + "\n", // length lies
        "01" + std::string(64, 'A') + "01000000" + std::string(34, '0') + "\n", // uppercase
    };
    for (const auto& line : bad) {
        EXPECT_FALSE(parse_blob(line).has_value()) << line;
    }
}

} // namespace
