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

struct kernel_failure {
    const char* name;
    std::vector<std::pair<std::string, std::string>> env;
    std::string message;
};

TEST(Failures, KernelRefusals) {
    const std::string driver_question = "Is the NXP DCP driver loaded with null-key support?\n";
    const std::vector<kernel_failure> cases = {
        {"cipher init",
         {{"KCAPI_DOUBLE_FAIL", "kcapi_cipher_init=-97"}},
         "kcapi_cipher_init(ecb(aes)) failed: -97\n"},
        {"zero-length key refused",
         {{"KCAPI_DOUBLE_FAIL", "kcapi_cipher_setkey=-22"}},
         "kcapi_cipher_setkey (zero-length) failed: -22\n" + driver_question},
        {"zero-length key for root only",
         {{"KCAPI_DOUBLE_FAIL", "kcapi_cipher_setkey=-1"}},
         "kcapi_cipher_setkey (zero-length) failed: -1\n" + driver_question +
             "the null key needs root (CAP_SYS_ADMIN)\n"},
        {"stock kernel",
         {{"KCAPI_DOUBLE_STOCK", "1"}},
         "kcapi_cipher_setkey (zero-length) failed: -22\n" + driver_question},
        {"wrap error",
         {{"KCAPI_DOUBLE_FAIL", "kcapi_cipher_encrypt=-74"}, {"KCAPI_DOUBLE_FAIL_AT", "1"}},
         "kcapi_cipher_encrypt failed: -74\n"},
        {"wrap short",
         {{"KCAPI_DOUBLE_FAIL", "kcapi_cipher_encrypt=8"}, {"KCAPI_DOUBLE_FAIL_AT", "1"}},
         "kcapi_cipher_encrypt failed: 8\n"},
        {"test-key probe error",
         {{"KCAPI_DOUBLE_FAIL", "kcapi_cipher_encrypt=-5"}, {"KCAPI_DOUBLE_FAIL_AT", "2"}},
         "kcapi_cipher_encrypt failed: -5\n"},
        {"test-key probe short",
         {{"KCAPI_DOUBLE_FAIL", "kcapi_cipher_encrypt=15"}, {"KCAPI_DOUBLE_FAIL_AT", "2"}},
         "kcapi_cipher_encrypt failed: 15\n"},
        {"aead init",
         {{"KCAPI_DOUBLE_FAIL", "kcapi_aead_init=-2"}},
         "kcapi_aead_init(gcm(aes)) failed: -2\n"},
        {"aead key",
         {{"KCAPI_DOUBLE_FAIL", "kcapi_aead_setkey=-22"}},
         "kcapi_aead_setkey failed: -22\n"},
        {"sealing error",
         {{"KCAPI_DOUBLE_FAIL", "kcapi_aead_encrypt=-74"}},
         "kcapi_aead_encrypt failed: -74\n"},
        {"sealing short",
         {{"KCAPI_DOUBLE_FAIL", "kcapi_aead_encrypt=19"}},
         "kcapi_aead_encrypt failed: 19\n"},
        {"sealing long",
         {{"KCAPI_DOUBLE_FAIL", "kcapi_aead_encrypt=21"}},
         "kcapi_aead_encrypt failed: 21\n"},
        {"sealing zero",
         {{"KCAPI_DOUBLE_FAIL", "kcapi_aead_encrypt=0"}},
         "kcapi_aead_encrypt failed: 0\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        run_options o;
        o.pieces = {"abc\n"};
        o.env = c.env;
        const auto r = run_tool(o);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, COUNT_LINE + hwrng_warnings() + c.message);
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
    const std::string question = "Is the NXP DCP driver loaded with null-key support?\n";
    const std::string refused = "kcapi_cipher_setkey (zero-length) failed: -22\n" + question;
    const std::string not_found = "kcapi_cipher_init(ecb(aes)) failed: -2\n";
    const std::string cause = "AF_ALG reaches no hardware driver in Linux 7.2 and later: see "
                              "\"Linux 7.2 and later\" in the README\n";
    const std::vector<std::vector<std::string>> rows = {
        // release, the failing call, what follows the count line
        {"7.3.4-armmp", "kcapi_cipher_setkey=-22", refused + cause},
        {"7.2.12", "kcapi_cipher_init=-2", not_found + cause},
        {"8.0.1", "kcapi_cipher_setkey=-22", refused + cause},
        {"7.1.9", "kcapi_cipher_setkey=-22", refused},
        {"6.12.121", "kcapi_cipher_init=-2", not_found},
        {"7.3.4", "kcapi_cipher_setkey=-1",
         "kcapi_cipher_setkey (zero-length) failed: -1\n" + question +
             "the null key needs root (CAP_SYS_ADMIN)\n"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row[0] + " " + row[1]);
        run_options o;
        o.pieces = {"abc\n"};
        o.env = {{"KCAPI_DOUBLE_FAIL", row[1]}};
        o.dev_layout = "echo " + row[0] +
                       " >$D/release; mount --bind $D/release /proc/sys/kernel/"
                       "osrelease; touch $D/urandom; mount --bind /dev/urandom $D/urandom;";
        const auto r = run_tool(o);
        const std::string no_hwrng = "WARNING: /dev/hwrng not available, using /dev/urandom\n";
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, COUNT_LINE + no_hwrng + no_hwrng + row[2]);
    }
}

struct io_failure {
    const char* name;
    run_options options;
    std::string err;
};

run_options with(input_kind in, std::string input, output_kind out = output_kind::pipe) {
    run_options o;
    o.in = in;
    o.pieces = {std::move(input)};
    o.out = out;
    return o;
}

TEST(Failures, InputAndOutput) {
    const std::string too_long = "plaintext key too long: more than 128 bytes\n";
    const std::string no_key = "failed to read plaintext key from stdin\n";
    const std::string lost =
        COUNT_LINE + hwrng_warnings() + "failed to write sealed blob to stdout\n";
    const std::vector<io_failure> cases = {
        {"empty input", with(input_kind::pipe, ""), no_key},
        {"closed stdin", with(input_kind::closed, ""), no_key},
        {"129 bytes", with(input_kind::pipe, std::string(129, 'k')), too_long},
        {"a long stream", with(input_kind::pipe, std::string(60000, 'k')), too_long},
        {"129 bytes in a file", with(input_kind::file, std::string(129, 'k')), too_long},
        {"a long terminal line", with(input_kind::terminal, std::string(200, 'k') + "\n"),
         too_long},
        {"stdout on /dev/full", with(input_kind::pipe, "abc\n", output_kind::dev_full), lost},
        {"stdout closed", with(input_kind::pipe, "abc\n", output_kind::closed), lost},
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
        const auto r = run_tool(c.options);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, c.err);
    }
    if (!skipped.empty()) {
        GTEST_SKIP() << skipped;
    }
}

TEST(Failures, OversizeInputIsNotDrained) {
    const auto r = run_tool(with(input_kind::file, std::string(4096, 'k')));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.input_consumed, 129);
}

} // namespace
