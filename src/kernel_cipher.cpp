// SPDX-FileCopyrightText: 2026 dcp-sealkey developers
// SPDX-License-Identifier: MIT

#include "kernel_cipher.hpp"

#include <array>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <kcapi.h>
#include <span>
#include <unistd.h>

namespace {

constexpr std::size_t TEST_BLOCK_SIZE = 16;
// Sixteen 0x55 bytes, and what AES-128 under the all-zero key makes of them.
constexpr std::array<std::uint8_t, TEST_BLOCK_SIZE> TEST_KEY_PROBE = {
    0x55, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55};
constexpr std::array<std::uint8_t, TEST_BLOCK_SIZE> TEST_KEY_ANSWER = {
    0x9a, 0xda, 0xe0, 0x54, 0xf6, 0x3d, 0xfa, 0xff, 0x5e, 0xa1, 0x8e, 0x45, 0xed, 0xf6, 0xea, 0x6f};

// Owns one libkcapi handle; Destroy matches the init call that filled it.
template <void (*Destroy)(kcapi_handle*)> struct kcapi_handle_owner {
    kcapi_handle* handle = nullptr;

    kcapi_handle_owner() = default;
    kcapi_handle_owner(const kcapi_handle_owner&) = delete;
    kcapi_handle_owner& operator=(const kcapi_handle_owner&) = delete;
    ~kcapi_handle_owner() {
        if (handle != nullptr) {
            Destroy(handle);
        }
    }
};

using cipher_handle = kcapi_handle_owner<kcapi_cipher_destroy>;
using aead_handle = kcapi_handle_owner<kcapi_aead_destroy>;

// From Linux SOFTWARE_ONLY_SINCE, AF_ALG binds software implementations
// only, so "ecb(aes)" never reaches the DCP, and 7.3 binds "ecb(aes)" for
// privileged callers only. The release is read where uname() gets it, so
// that tests can offer another one.
constexpr std::size_t RELEASE_SIZE = 65; // as in struct utsname
constexpr unsigned DECIMAL = 10;

bool af_alg_reaches_no_hardware() {
    std::array<char, RELEASE_SIZE> release{};
    const int fd = open("/proc/sys/kernel/osrelease", O_RDONLY);
    if (fd < 0) {
        return false;
    }
    const ssize_t got = read(fd, release.data(), release.size());
    close(fd);
    // The release's first two numbers: "7.3.4-armmp" is 7 and 3. No
    // std::string_view here: its checks would throw, and link libstdc++.
    unsigned major = 0;
    unsigned minor = 0;
    bool in_minor = false;
    for (const char character :
         std::span(release).first(got > 0 ? static_cast<std::size_t>(got) : 0)) {
        if (character == '.' && !in_minor) {
            in_minor = true;
        } else if (character >= '0' && character <= '9') {
            unsigned& number = in_minor ? minor : major;
            number = number * DECIMAL + static_cast<unsigned>(character - '0');
        } else {
            break;
        }
    }
    return in_minor && (major > SOFTWARE_ONLY_MAJOR ||
                        (major == SOFTWARE_ONLY_MAJOR && minor >= SOFTWARE_ONLY_MINOR));
}

void explain_no_hardware() {
    fputs(MSG_NO_HARDWARE, stderr);
}

} // namespace

int wrap_blob_key(std::span<const std::uint8_t, BLOB_KEY_SIZE> blob_key,
                  std::span<std::uint8_t, BLOB_KEY_SIZE> wrapped_key) {
    cipher_handle cipher;
    int ret = kcapi_cipher_init(&cipher.handle, "ecb(aes)", 0);
    if (ret != 0) {
        cipher.handle = nullptr; // a failed init leaves nothing to release
        fprintf(stderr, MSG_CIPHER_INIT_FAILED, ret);
        if (ret == -ENOENT && af_alg_reaches_no_hardware()) {
            explain_no_hardware();
        }
        return -1;
    }

    // A zero-length key makes the DCP driver use its hardware key; the
    // pointer must still be valid.
    static constexpr std::array<std::uint8_t, 1> no_key{};
    ret = kcapi_cipher_setkey(cipher.handle, no_key.data(), 0);
    if (ret != 0) {
        fprintf(stderr, MSG_NULL_KEY_REFUSED, ret);
        // The null-key driver gives the hardware key to privileged callers only.
        if (ret == -EPERM) {
            fputs(MSG_NOT_ROOT, stderr);
        } else if (ret == -EINVAL && af_alg_reaches_no_hardware()) {
            explain_no_hardware();
        }
        return -1;
    }

    ret = static_cast<int>(kcapi_cipher_encrypt(cipher.handle, blob_key.data(), blob_key.size(),
                                                nullptr, wrapped_key.data(), wrapped_key.size(),
                                                KCAPI_ACCESS_HEURISTIC));
    if (ret != static_cast<int>(wrapped_key.size())) {
        fprintf(stderr, MSG_CIPHER_ENCRYPT_FAILED, ret);
        return -1;
    }

    // A DCP that is neither in secure nor trusted mode uses an all-zero test
    // key: a blob sealed under it is open to everyone and stops opening once
    // the chip is closed. Such boards are legitimate, so only warn.
    std::array<std::uint8_t, TEST_BLOCK_SIZE> probe{};
    ret = static_cast<int>(kcapi_cipher_encrypt(cipher.handle, TEST_KEY_PROBE.data(),
                                                TEST_KEY_PROBE.size(), nullptr, probe.data(),
                                                probe.size(), KCAPI_ACCESS_HEURISTIC));
    if (ret != static_cast<int>(probe.size())) {
        fprintf(stderr, MSG_CIPHER_ENCRYPT_FAILED, ret);
        return -1;
    }
    if (probe == TEST_KEY_ANSWER) {
        fputs(MSG_TEST_KEY, stderr);
    }
    return 0;
}

int seal_payload(std::span<const std::uint8_t> plaintext,
                 std::span<const std::uint8_t, BLOB_KEY_SIZE> blob_key,
                 std::span<const std::uint8_t, NONCE_SIZE> nonce,
                 std::span<std::uint8_t, SEALED_PAYLOAD_SIZE> out) {
    aead_handle aead;
    int ret = kcapi_aead_init(&aead.handle, "gcm(aes)", 0);
    if (ret != 0) {
        aead.handle = nullptr;
        fprintf(stderr, MSG_AEAD_INIT_FAILED, ret);
        return -1;
    }

    ret = kcapi_aead_setkey(aead.handle, blob_key.data(),
                            static_cast<std::uint32_t>(blob_key.size()));
    if (ret != 0) {
        fprintf(stderr, MSG_AEAD_SETKEY_FAILED, ret);
        return -1;
    }

    // 16 is the kernel's default tag length for gcm(aes), so a refusal here
    // does not change the result.
    (void)kcapi_aead_settaglen(aead.handle, TAG_SIZE);
    kcapi_aead_setassoclen(aead.handle, 0);

    const std::size_t sealed_size = plaintext.size() + TAG_SIZE;
    ret = static_cast<int>(kcapi_aead_encrypt(aead.handle, plaintext.data(), plaintext.size(),
                                              nonce.data(), out.data(), sealed_size,
                                              KCAPI_ACCESS_HEURISTIC));
    // Any other count would make the blob's length field lie about its payload.
    if (ret != static_cast<int>(sealed_size)) {
        fprintf(stderr, MSG_AEAD_ENCRYPT_FAILED, ret);
        return -1;
    }
    return ret;
}
