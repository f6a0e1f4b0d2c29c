/* SPDX-FileCopyrightText: 2026 dcp-sealkey developers */
/* SPDX-License-Identifier: MIT */
/*
 * The emulated DCP's keys, as 32 hex digits in AES key byte order, and the
 * AES answers that tests compare against: the one home of both. The
 * libkcapi double, the opener, the test kernel module and the demo include
 * or read this file; the VM harness reads it and hands the keys to QEMU's
 * DCP model, whose defaults are the same.
 */
#ifndef EMULATED_KEYS_H
#define EMULATED_KEYS_H

/* UNIQUE: the AES-128 key of NIST SP 800-38A, so published answers apply. */
#define EMULATED_UNIQUE_KEY "2b7e151628aed2a6abf7158809cf4f3c"
/* OTP: any key other than UNIQUE will do. */
#define EMULATED_OTP_KEY "000102030405060708090a0b0c0d0e0f"
/* The all-zero key of a DCP that is neither in secure nor trusted mode. */
#define DCP_TEST_KEY "00000000000000000000000000000000"
/* The UNIQUE key of a second board. */
#define EMULATED_OTHER_UNIQUE_KEY "00112233445566778899aabbccddeeff"

/* SP 800-38A's first ECB block, and AES-128 of it under UNIQUE (the
 * publication's answer) and under OTP (computed with OpenSSL). */
#define SP800_38A_BLOCK "6bc1bee22e409f96e93d7e117393172a"
#define UNIQUE_SP800_38A_BLOCK "3ad77bb40d7a3660a89ecaf32466ef97"
#define OTP_SP800_38A_BLOCK "47c58d5e21caaf840d015b7d9b910981"

#endif
