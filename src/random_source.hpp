// SPDX-FileCopyrightText: 2026 dcp-sealkey developers
// SPDX-License-Identifier: MIT

#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

constexpr std::size_t RANDOM_BLOCK_SIZE = 16;

// Fills block with fresh random bytes from /dev/hwrng, or from /dev/urandom
// when the hardware generator cannot be opened. Returns 0, or -1 after
// writing a message to stderr; on failure the block must not be used.
int read_random_block(std::span<std::uint8_t, RANDOM_BLOCK_SIZE> block);
