// SPDX-FileCopyrightText: 2026 dcp-sealkey developers
// SPDX-License-Identifier: MIT

// Successful runs: every blob is opened again by the independent opener.
#include "opener.hpp"
#include "run_tool.hpp"

#include <gtest/gtest.h>

namespace {

bytes as_bytes(const std::string& s) {
    return {s.begin(), s.end()};
}

// Checks a successful run of key and returns its blob's fields.
blob_fields expect_sealed(const run_result& r, const std::string& key) {
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, count_line(key.size()) + hwrng_warnings());
    EXPECT_EQ(r.out.size(), 106 + 2 * key.size() + 1);
    EXPECT_EQ(open_blob(r.out, EMULATED_HW_KEY), as_bytes(key)) << r.out;
    const auto fields = parse_blob(r.out);
    EXPECT_TRUE(fields.has_value()) << r.out;
    return fields.value_or(blob_fields{});
}

TEST(Sealing, EchoOfAbcGivesTheDocumentedLine) {
    const auto r = run_tool({.pieces = {"abc\n"}});
    expect_sealed(r, "abc\n");
    EXPECT_EQ(r.out.size(), 115U); // 114 digits and the line feed
    EXPECT_EQ(r.out.substr(0, 2), "01");
    EXPECT_EQ(r.out.substr(66, 8), "04000000");
}

TEST(Sealing, EveryKeyLengthOpensAgain) {
    for (std::size_t n = 1; n <= MAX_PLAINTEXT_KEY; ++n) {
        SCOPED_TRACE(n);
        std::string key(n, '\0');
        for (std::size_t i = 0; i < n; ++i) {
            key[i] = static_cast<char>(i * 151 + n); // covers all byte values
        }
        key[n / 2] = 0;
        const auto fields = expect_sealed(run_tool({.pieces = {key}}), key);
        EXPECT_EQ(fields.length, n);
    }
}

TEST(Sealing, KeysAreTakenByteForByte) {
    const std::vector<std::string> keys = {
        std::string(1, '\0'), std::string(16, '\0'),   std::string("\0abc", 4), "\n",
        " key \r\n",          std::string(128, '\xff')};
    for (const auto& key : keys) {
        SCOPED_TRACE(to_hex(as_bytes(key)));
        expect_sealed(run_tool({.pieces = {key}}), key);
    }
}

TEST(Sealing, KeyWrittenInPiecesIsSealedWhole) {
    const auto r = run_tool({.pieces = {"ab", "c", std::string(124, 'x') + "\n"}});
    expect_sealed(r, "abc" + std::string(124, 'x') + "\n");
}

TEST(Sealing, TerminalLineIsTheKey) {
    std::string why;
    if (!pty_available(&why)) {
        GTEST_SKIP() << why;
    }
    const auto r = run_tool({.pieces = {"first line\nsecond line\n"}, .in = input_kind::terminal});
    expect_sealed(r, "first line\n");
}

TEST(Sealing, TwoRunsDrawFreshSecrets) {
    const auto fa = expect_sealed(run_tool({.pieces = {"same key\n"}}), "same key\n");
    const auto fb = expect_sealed(run_tool({.pieces = {"same key\n"}}), "same key\n");
    EXPECT_NE(fa.wrapped_key, fb.wrapped_key);
    EXPECT_NE(fa.nonce, fb.nonce);
    EXPECT_NE(fa.ciphertext, fb.ciphertext);
}

TEST(Sealing, AsksTheKernelExactlyWhatTheDcpNeeds) {
    const auto r = run_tool({.pieces = {"abc\n"}});
    ASSERT_EQ(r.status, 0);
    const auto nonce = parse_blob(r.out).value_or(blob_fields{}).nonce;
    EXPECT_EQ(r.log, "kcapi_cipher_init name=ecb(aes) flags=0 -> 0\n"
                     "kcapi_cipher_setkey key=nonnull keylen=0 -> 0\n"
                     "kcapi_cipher_encrypt inlen=16 iv=null outlen=16 access=0 -> 16\n"
                     "kcapi_cipher_encrypt inlen=16 iv=null outlen=16 access=0 -> 16\n"
                     "kcapi_cipher_destroy\n"
                     "kcapi_aead_init name=gcm(aes) flags=0 -> 0\n"
                     "kcapi_aead_setkey keylen=16 -> 0\n"
                     "kcapi_aead_settaglen taglen=16 -> 0\n"
                     "kcapi_aead_setassoclen assoclen=0\n"
                     "kcapi_aead_encrypt inlen=4 iv=" +
                         to_hex(nonce) +
                         " outlen=20 access=0 -> 20\n"
                         "kcapi_aead_destroy\n"
                         "alive 0\n");
}

TEST(Sealing, WarnsOnlyWhenTheDcpUsesItsTestKey) {
    const std::string zero_key = DCP_TEST_KEY;
    const std::vector<std::string> hw_keys = {zero_key, std::string(EMULATED_HW_KEY),
                                              std::string(31, '0') + "1"};
    for (const auto& hw_key : hw_keys) {
        SCOPED_TRACE(hw_key);
        const auto r = run_tool({.env = {{"KCAPI_DOUBLE_HWKEY", hw_key}}});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err,
                  count_line(4) + hwrng_warnings() + (hw_key == zero_key ? MSG_TEST_KEY : ""));
        EXPECT_EQ(open_blob(r.out, hw_key), as_bytes("abc\n"));
    }
}

// Keys under MIN_LOADABLE_KEY bytes are still sealed, with one warning, word for word.
TEST(Sealing, ShortKeysAreSealedWithAWarning) {
    for (const std::size_t n : {1, MIN_LOADABLE_KEY - 1, MIN_LOADABLE_KEY, MAX_PLAINTEXT_KEY}) {
        SCOPED_TRACE(n);
        const std::string key(n, 'k');
        const auto r = run_tool({.pieces = {key}});
        expect_sealed(r, key);
        EXPECT_EQ(r.err.find(MSG_SHORT_KEY) != std::string::npos, n < MIN_LOADABLE_KEY);
    }
}

TEST(Sealing, ARefusedTagLengthDoesNotStopTheSealing) {
    const auto r = run_tool({.env = {{"KCAPI_DOUBLE_FAIL", "kcapi_aead_settaglen=-22"}}});
    expect_sealed(r, "abc\n");
}

} // namespace
