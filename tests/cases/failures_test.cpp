// SPDX-FileCopyrightText: 2026 dcp-sealkey developers
// SPDX-License-Identifier: MIT

// Failed runs: one exact message, exit status 1, nothing on stdout, and
// every handle that was created released again.
#include "run_tool.hpp"

#include <gtest/gtest.h>

namespace {

const std::string COUNT_LINE = count_line(4);

std::size_t count_of(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++n;
    }
    return n;
}

// The emulated DCP's settings for one failing call: "call=value", on its
// n-th call only when at is given.
std::vector<std::pair<std::string, std::string>> fail(const char* call, const char* at = nullptr) {
    if (at == nullptr) {
        return {{"KCAPI_DOUBLE_FAIL", call}};
    }
    return {{"KCAPI_DOUBLE_FAIL", call}, {"KCAPI_DOUBLE_FAIL_AT", at}};
}

void expect_failure(const run_result& r, const std::string& err) {
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, err);
}

struct kernel_failure {
    const char* name;
    std::vector<std::pair<std::string, std::string>> env;
    std::string message;
};

TEST(Failures, KernelRefusals) {
    const std::vector<kernel_failure> cases = {
        {"cipher init", fail("kcapi_cipher_init=-97"), said(MSG_CIPHER_INIT_FAILED, -97)},
        {"zero-length key refused", fail("kcapi_cipher_setkey=-22"),
         said(MSG_NULL_KEY_REFUSED, -22)},
        {"zero-length key for root only", fail("kcapi_cipher_setkey=-1"),
         said(MSG_NULL_KEY_REFUSED, -1) + MSG_NOT_ROOT},
        {"stock kernel", {{"KCAPI_DOUBLE_STOCK", "1"}}, said(MSG_NULL_KEY_REFUSED, -22)},
        {"wrap error", fail("kcapi_cipher_encrypt=-74", "1"), said(MSG_CIPHER_ENCRYPT_FAILED, -74)},
        {"wrap short", fail("kcapi_cipher_encrypt=8", "1"), said(MSG_CIPHER_ENCRYPT_FAILED, 8)},
        {"test-key probe error", fail("kcapi_cipher_encrypt=-5", "2"),
         said(MSG_CIPHER_ENCRYPT_FAILED, -5)},
        {"test-key probe short", fail("kcapi_cipher_encrypt=15", "2"),
         said(MSG_CIPHER_ENCRYPT_FAILED, 15)},
        {"aead init", fail("kcapi_aead_init=-2"), said(MSG_AEAD_INIT_FAILED, -2)},
        {"aead key", fail("kcapi_aead_setkey=-22"), said(MSG_AEAD_SETKEY_FAILED, -22)},
        {"sealing error", fail("kcapi_aead_encrypt=-74"), said(MSG_AEAD_ENCRYPT_FAILED, -74)},
        {"sealing short", fail("kcapi_aead_encrypt=19"), said(MSG_AEAD_ENCRYPT_FAILED, 19)},
        {"sealing long", fail("kcapi_aead_encrypt=21"), said(MSG_AEAD_ENCRYPT_FAILED, 21)},
        {"sealing zero", fail("kcapi_aead_encrypt=0"), said(MSG_AEAD_ENCRYPT_FAILED, 0)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto r = run_tool({.env = c.env});
        expect_failure(r, COUNT_LINE + hwrng_warnings() + c.message);
        // Every handle created is released once, and none outlives the run.
        EXPECT_EQ(count_of(r.log, "kcapi_cipher_init name=ecb(aes) flags=0 -> 0"),
                  count_of(r.log, "kcapi_cipher_destroy"));
        EXPECT_EQ(count_of(r.log, "kcapi_aead_init name=gcm(aes) flags=0 -> 0"),
                  count_of(r.log, "kcapi_aead_destroy"));
        EXPECT_NE(r.log.find("alive 0\n"), std::string::npos) << r.log;
        // The wrap's handle is gone before the sealing's is made.
        const auto cipher_gone = r.log.find("kcapi_cipher_destroy");
        const auto aead_made = r.log.find("kcapi_aead_init");
        if (aead_made != std::string::npos) {
            EXPECT_LT(cipher_gone, aead_made);
        }
    }
}

// From Linux 7.2 AF_ALG reaches no hardware driver, and the tool says so
// after the refused call's own message. The kernel's release is laid over
// /proc/sys/kernel/osrelease in a private mount namespace.
TEST(Failures, KernelsWhoseAfAlgReachesNoHardware) {
    std::string why;
    if (!private_dev_available(&why)) {
        GTEST_SKIP() << why;
    }
    const std::string refused = said(MSG_NULL_KEY_REFUSED, -22);
    const std::string not_found = said(MSG_CIPHER_INIT_FAILED, -2);
    const std::string cause = MSG_NO_HARDWARE;
    const std::vector<std::vector<std::string>> rows = {
        // release, the failing call, what follows the count line
        {"7.3.4-armmp", "kcapi_cipher_setkey=-22", refused + cause},
        {"7.2.12", "kcapi_cipher_init=-2", not_found + cause},
        {"8.0.1", "kcapi_cipher_setkey=-22", refused + cause},
        {"7.1.9", "kcapi_cipher_setkey=-22", refused},
        {"6.12.121", "kcapi_cipher_init=-2", not_found},
        {"7.3.4", "kcapi_cipher_setkey=-1", said(MSG_NULL_KEY_REFUSED, -1) + MSG_NOT_ROOT},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row[0] + " " + row[1]);
        const auto r = run_tool(
            {.env = fail(row[1].c_str()),
             .dev_layout = "echo " + row[0] +
                           " >$D/release; mount --bind $D/release /proc/sys/kernel/osrelease; " +
                           URANDOM});
        expect_failure(r, COUNT_LINE + MSG_NO_HWRNG + MSG_NO_HWRNG + row[2]);
    }
}

struct io_failure {
    const char* name;
    run_options options;
    std::string err;
};

TEST(Failures, InputAndOutput) {
    const std::string too_long = MSG_KEY_TOO_LONG;
    const std::string no_key = MSG_KEY_NOT_READ;
    const std::string lost = COUNT_LINE + hwrng_warnings() + MSG_BLOB_NOT_WRITTEN;
    const std::vector<io_failure> cases = {
        {"empty input", {.pieces = {""}}, no_key},
        {"closed stdin", {.in = input_kind::closed}, no_key},
        {"129 bytes", {.pieces = {std::string(129, 'k')}}, too_long},
        {"a long stream", {.pieces = {std::string(60000, 'k')}}, too_long},
        {"129 bytes in a file",
         {.pieces = {std::string(129, 'k')}, .in = input_kind::file},
         too_long},
        {"a long terminal line",
         {.pieces = {std::string(200, 'k') + "\n"}, .in = input_kind::terminal},
         too_long},
        {"stdout on /dev/full", {.out = output_kind::dev_full}, lost},
        {"stdout closed", {.out = output_kind::closed}, lost},
    };
    // The other rows still run when a terminal row cannot.
    std::string skipped;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string why;
        if (c.options.in == input_kind::terminal && !pty_available(&why)) {
            skipped += std::string(skipped.empty() ? "" : "\n") + c.name + ": " + why;
            continue;
        }
        expect_failure(run_tool(c.options), c.err);
    }
    if (!skipped.empty()) {
        GTEST_SKIP() << skipped;
    }
}

TEST(Failures, OversizeInputIsNotDrained) {
    const auto r = run_tool({.pieces = {std::string(4096, 'k')}, .in = input_kind::file});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.input_consumed, 129);
}

} // namespace
