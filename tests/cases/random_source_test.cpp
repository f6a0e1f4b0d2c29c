// SPDX-FileCopyrightText: 2026 dcp-sealkey developers
// SPDX-License-Identifier: MIT

// The random devices, through their real paths: each run gets a private
// /dev laid out for the case.
#include "opener.hpp"
#include "run_tool.hpp"

#include <gtest/gtest.h>

namespace {

const std::string COUNT_LINE = count_line(4);
const std::string WARNING = MSG_NO_HWRNG;
const std::string HWRNG = "touch $D/hwrng; mount --bind /dev/urandom $D/hwrng;";

struct device_case {
    const char* name;
    std::string layout;
    int status;
    std::string err; // after the count line
};

class RandomSource : public testing::Test {
  protected:
    void SetUp() override {
        std::string why;
        if (!private_dev_available(&why)) {
            GTEST_SKIP() << why;
        }
    }
};

TEST_F(RandomSource, Devices) {
    const std::vector<device_case> cases = {
        {"hardware generator", HWRNG + URANDOM, 0, ""},
        {"only the hardware generator", HWRNG, 0, ""},
        {"no hardware generator", URANDOM, 0, WARNING + WARNING},
        {"hardware generator gives 8 bytes", "printf 01234567 > $D/hwrng;" + URANDOM, 1,
         said(MSG_SHORT_RANDOM, ssize_t{8}, std::size_t{16})},
        {"no device at all", "true;", 1, MSG_NO_RANDOM_SOURCE ": No such file or directory\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto r = run_tool({.dev_layout = c.layout});
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.err, COUNT_LINE + c.err);
        if (c.status == 0) {
            EXPECT_EQ(open_blob(r.out, EMULATED_HW_KEY), bytes({'a', 'b', 'c', '\n'}));
        } else {
            EXPECT_EQ(r.out, "");
        }
    }
}

// A generator that gives fixed bytes, other bytes to each draw: the first
// 16 are the blob key, the next 16 the nonce, and the whole line is fixed.
// A FIFO kept open read-write on descriptor 3, which the tool inherits,
// holds them; each open of /dev/hwrng reads on where the last one stopped.
TEST_F(RandomSource, FixedGeneratorGivesTheGoldenBlob) {
    const auto r = run_tool({.dev_layout = "mkfifo $D/hwrng; exec 3<>$D/hwrng;"
                                           "printf 0123456789abcdefghijklmnopqrstuv >&3;"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, COUNT_LINE);
    EXPECT_EQ(r.out, "01"
                     "5d9caf02529ee002dcff2b13ff1a8f70" // 0123456789abcdef, wrapped
                     "6768696a6b6c6d6e6f70717273747576" // ghijklmnopqrstuv
                     "04000000"
                     "e0e91ecc"
                     "c3de44add47b0dfbaa033fd9947677a2\n");
}

} // namespace
