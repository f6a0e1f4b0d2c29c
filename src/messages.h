/* SPDX-FileCopyrightText: 2026 dcp-sealkey developers */
/* SPDX-License-Identifier: MIT */
/*
 * The tool's messages on standard error, as printf formats, and the key
 * sizes and kernel versions that they state: the one home of each. The
 * tool and its tests include this file, the VM harness reads it, and a
 * gate checks that the man page's DIAGNOSTICS holds every line of every
 * MSG_. Macros, so that each message is still a string literal where it is
 * printed (-Wformat=2 checks it there). Callers' scripts and the board
 * check match these words: reword one only on purpose.
 */
#ifndef DCP_SEALKEY_MESSAGES_H
#define DCP_SEALKEY_MESSAGES_H

/* A number below, as the text of its digits. */
#define TEXT_OF(number) TEXT_OF_DIGITS(number)
#define TEXT_OF_DIGITS(number) #number

/* The longest key that the kernel's trusted keys hold. */
#define MAX_PLAINTEXT_KEY 128
/* Linux MIN_LOADABLE_KEY_SINCE and later load no trusted key under
 * MIN_LOADABLE_KEY bytes. */
#define MIN_LOADABLE_KEY 32
#define MIN_LOADABLE_KEY_SINCE "6.12.103"
/* From this Linux on, AF_ALG binds software implementations only. */
#define SOFTWARE_ONLY_MAJOR 7
#define SOFTWARE_ONLY_MINOR 2
#define SOFTWARE_ONLY_SINCE TEXT_OF(SOFTWARE_ONLY_MAJOR) "." TEXT_OF(SOFTWARE_ONLY_MINOR)

/* The key on standard input, and the blob on standard output. */
#define MSG_KEY_NOT_READ "failed to read plaintext key from stdin\n"
#define MSG_KEY_TOO_LONG "plaintext key too long: more than " TEXT_OF(MAX_PLAINTEXT_KEY) " bytes\n"
#define MSG_KEY_READ "read %zd byte plaintext key\n"
#define MSG_SHORT_KEY                                                                     \
    "WARNING: keys under " TEXT_OF(MIN_LOADABLE_KEY) " bytes do not load in Linux "       \
    MIN_LOADABLE_KEY_SINCE " and later\n"
#define MSG_BLOB_NOT_WRITTEN "failed to write sealed blob to stdout\n"

/* The random source; the first is perror's prefix. */
#define MSG_NO_RANDOM_SOURCE "open random source"
#define MSG_NO_HWRNG "WARNING: /dev/hwrng not available, using /dev/urandom\n"
#define MSG_SHORT_RANDOM "short read from random source: got %zd, want %zu\n"

/* The wrap under the DCP key; %d is the failing call's result. */
#define MSG_CIPHER_INIT_FAILED "kcapi_cipher_init(ecb(aes)) failed: %d\n"
#define MSG_NULL_KEY_REFUSED                                                              \
    "kcapi_cipher_setkey (zero-length) failed: %d\n"                                      \
    "Is the NXP DCP driver loaded with null-key support?\n"
#define MSG_NOT_ROOT "the null key needs root (CAP_SYS_ADMIN)\n"
#define MSG_NO_HARDWARE                                                                   \
    "AF_ALG reaches no hardware driver in Linux " SOFTWARE_ONLY_SINCE " and later: see "  \
    "\"Linux " SOFTWARE_ONLY_SINCE " and later\" in the README\n"
#define MSG_CIPHER_ENCRYPT_FAILED "kcapi_cipher_encrypt failed: %d\n"
#define MSG_TEST_KEY                                                                      \
    "WARNING: the DCP uses its test key: this device is neither in secure nor trusted "   \
    "mode\n"

/* The sealing under the blob key. */
#define MSG_AEAD_INIT_FAILED "kcapi_aead_init(gcm(aes)) failed: %d\n"
#define MSG_AEAD_SETKEY_FAILED "kcapi_aead_setkey failed: %d\n"
#define MSG_AEAD_ENCRYPT_FAILED "kcapi_aead_encrypt failed: %d\n"

#endif
