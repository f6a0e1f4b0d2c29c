// SPDX-FileCopyrightText: 2026 dcp-sealkey developers
// SPDX-License-Identifier: MIT

#include "random_source.hpp"

#include "messages.h"

#include <cstdio>
#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

int read_random_block(std::span<std::uint8_t, RANDOM_BLOCK_SIZE> block) {
    int fd = open("/dev/hwrng", O_RDONLY);
    if (fd < 0) {
        fd = open("/dev/urandom", O_RDONLY);
        if (fd < 0) {
            perror(MSG_NO_RANDOM_SOURCE);
            return -1;
        }
        fputs(MSG_NO_HWRNG, stderr);
    }

    // One read: the kernel's random devices fill a 16-byte request whole, so
    // anything less means the generator is not working.
    const ssize_t got = read(fd, block.data(), block.size());
    close(fd);
    if (got != static_cast<ssize_t>(block.size())) {
        fprintf(stderr, MSG_SHORT_RANDOM, got, block.size());
        return -1;
    }
    return 0;
}
