// SPDX-FileCopyrightText: 2026 dcp-sealkey developers
// SPDX-License-Identifier: MIT

#pragma once
// Runs the built tool as a black box, with the emulated DCP preloaded.

#include "messages.h"

#include <string>
#include <utility>
#include <vector>

enum class input_kind { pipe, terminal, file, closed };
enum class output_kind { pipe, dev_full, closed };

struct run_options {
    // Written to stdin one by one, with a pause between; by default the
    // documented `echo abc`.
    std::vector<std::string> pieces = {"abc\n"};
    input_kind in = input_kind::pipe;
    output_kind out = output_kind::pipe;
    std::vector<std::pair<std::string, std::string>> env; // settings of the emulated DCP
    // When set, the tool runs in a private mount namespace whose /dev is an
    // empty tmpfs, laid out by these shell commands ($D is that tmpfs).
    std::string dev_layout;
};

struct run_result {
    int status = -1; // exit status, or 128 + signal
    std::string out;
    std::string err;
    std::string log;          // the emulated DCP's record of calls
    long input_consumed = -1; // with input_kind::file: how far the tool read
};

run_result run_tool(const run_options& options);

// A dev_layout line that gives the tool the host's /dev/urandom.
inline const std::string URANDOM = "touch $D/urandom; mount --bind /dev/urandom $D/urandom;";

// Whether the tool can be run with its own /dev; if not, why.
bool private_dev_available(std::string* why);

// Whether a pseudo-terminal can be opened for input_kind::terminal; if not,
// why (chroots and some builders do not mount devpts on /dev/pts).
bool pty_available(std::string* why);

// The warnings the tool gives per run when this machine has no usable /dev/hwrng.
std::string hwrng_warnings();

// The tool's first lines for a key of n bytes: its length, and for a key
// under MIN_LOADABLE_KEY bytes the warning that newer kernels do not load it.
std::string count_line(std::size_t n);

// A message of the tool (messages.h) with its values filled in.
std::string said(const char* format, ...) __attribute__((format(printf, 1, 2)));
