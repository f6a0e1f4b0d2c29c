// SPDX-FileCopyrightText: 2026 dcp-sealkey developers
// SPDX-License-Identifier: MIT

// An emulated DCP behind libkcapi's interface, preloaded in front of the
// real library. "ecb(aes)" with a zero-length key encrypts under the
// emulated hardware key; everything is computed with OpenSSL as the kernel
// would. Environment:
//   KCAPI_DOUBLE_HWKEY=<32 hex digits>  emulated hardware key
//                         (default: the emulated UNIQUE key)
//   KCAPI_DOUBLE_STOCK=1  no null-key driver: a zero-length key gets -22
//   KCAPI_DOUBLE_FAIL=<call>=<value>  that call returns value instead
//   KCAPI_DOUBLE_FAIL_AT=<n>  ...but only its n-th call (1-based)
//   KCAPI_DOUBLE_LOG=<path>  append each call, and "alive <n>" handles at exit

#include "emulated_keys.h"

#include <kcapi.h>
#include <openssl/evp.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// AES-128 alone: the tool and the opener use no other key size.
struct kcapi_handle {
    unsigned char key[16];
    bool keyed;
    unsigned taglen;
    size_t assoclen;
};

namespace {

int alive_handles;

void log_call(const char* fmt, ...) {
    const char* path = getenv("KCAPI_DOUBLE_LOG");
    if (path == nullptr) {
        return;
    }
    FILE* log = fopen(path, "a");
    if (log == nullptr) {
        return;
    }
    va_list ap;
    va_start(ap, fmt);
    vfprintf(log, fmt, ap);
    va_end(ap);
    fputc('\n', log);
    fclose(log);
}

__attribute__((destructor)) void log_alive() {
    log_call("alive %d", alive_handles);
}

// Whether this call of name is to fail; if so, *value is its injected result.
bool injected(const char* name, long* value) {
    static int calls[16];
    static const char* names[16];
    int slot = 0;
    while (slot < 15 && names[slot] != nullptr && strcmp(names[slot], name) != 0) {
        ++slot;
    }
    names[slot] = name;
    const int call = ++calls[slot];

    const char* fail = getenv("KCAPI_DOUBLE_FAIL");
    const size_t len = strlen(name);
    if (fail == nullptr || strncmp(fail, name, len) != 0 || fail[len] != '=') {
        return false;
    }
    const char* at = getenv("KCAPI_DOUBLE_FAIL_AT");
    if (at != nullptr && atoi(at) != call) {
        return false;
    }
    *value = strtol(fail + len + 1, nullptr, 10);
    return true;
}

void hardware_key(unsigned char key[16]) {
    const char* hex = getenv("KCAPI_DOUBLE_HWKEY");
    if (hex == nullptr || strlen(hex) != 32) {
        hex = EMULATED_UNIQUE_KEY;
    }
    for (int i = 0; i < 16; ++i) {
        unsigned byte = 0;
        sscanf(hex + 2 * i, "%2x", &byte);
        key[i] = static_cast<unsigned char>(byte);
    }
}

// Like the kernel, a refused key leaves none set.
long set_key(struct kcapi_handle* handle, const uint8_t* key, uint32_t keylen) {
    handle->keyed = keylen == sizeof handle->key;
    if (!handle->keyed) {
        return -EINVAL;
    }
    memcpy(handle->key, key, keylen);
    return 0;
}

void hex(char* out, const uint8_t* bytes, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        snprintf(out + 2 * i, 3, "%02x", bytes[i]);
    }
    out[2 * n] = '\0';
}

int init(struct kcapi_handle** handle, const char* call, const char* name, uint32_t flags,
         const char* want) {
    long ret = 0;
    if (injected(call, &ret)) {
        // as injected
    } else if (strcmp(name, want) != 0) {
        ret = -ENOENT;
    } else {
        auto* h = static_cast<kcapi_handle*>(calloc(1, sizeof(kcapi_handle)));
        h->taglen = 16; // the kernel's default for gcm(aes)
        *handle = h;
        ++alive_handles;
    }
    log_call("%s name=%s flags=%u -> %ld", call, name, flags, ret);
    return static_cast<int>(ret);
}

void destroy(struct kcapi_handle* handle, const char* call) {
    log_call("%s", call);
    if (handle != nullptr) {
        explicit_bzero(handle, sizeof(*handle));
        free(handle);
        --alive_handles;
    }
}

} // namespace

extern "C" {

int kcapi_cipher_init(struct kcapi_handle** handle, const char* ciphername, uint32_t flags) {
    return init(handle, "kcapi_cipher_init", ciphername, flags, "ecb(aes)");
}

int kcapi_aead_init(struct kcapi_handle** handle, const char* ciphername, uint32_t flags) {
    return init(handle, "kcapi_aead_init", ciphername, flags, "gcm(aes)");
}

void kcapi_cipher_destroy(struct kcapi_handle* handle) {
    destroy(handle, "kcapi_cipher_destroy");
}

void kcapi_aead_destroy(struct kcapi_handle* handle) {
    destroy(handle, "kcapi_aead_destroy");
}

int kcapi_cipher_setkey(struct kcapi_handle* handle, const uint8_t* key, uint32_t keylen) {
    long ret = 0;
    unsigned char hw_key[16];
    handle->keyed = false;
    if (injected("kcapi_cipher_setkey", &ret)) {
        // as injected
    } else if (keylen == 0 && getenv("KCAPI_DOUBLE_STOCK") == nullptr) {
        hardware_key(hw_key);
        ret = set_key(handle, hw_key, sizeof hw_key);
    } else {
        ret = set_key(handle, key, keylen);
    }
    log_call("kcapi_cipher_setkey key=%s keylen=%u -> %ld", key == nullptr ? "null" : "nonnull",
             keylen, ret);
    return static_cast<int>(ret);
}

int kcapi_aead_setkey(struct kcapi_handle* handle, const uint8_t* key, uint32_t keylen) {
    long ret = 0;
    handle->keyed = false;
    if (!injected("kcapi_aead_setkey", &ret)) {
        ret = set_key(handle, key, keylen);
    }
    log_call("kcapi_aead_setkey keylen=%u -> %ld", keylen, ret);
    return static_cast<int>(ret);
}

int kcapi_aead_settaglen(struct kcapi_handle* handle, uint32_t taglen) {
    long ret = 0;
    if (injected("kcapi_aead_settaglen", &ret)) {
        // as injected
    } else if (taglen < 4 || taglen > 16 || (taglen < 12 && taglen % 4 != 0)) {
        ret = -EINVAL;
    } else {
        handle->taglen = taglen;
    }
    log_call("kcapi_aead_settaglen taglen=%u -> %ld", taglen, ret);
    return static_cast<int>(ret);
}

void kcapi_aead_setassoclen(struct kcapi_handle* handle, size_t assoclen) {
    handle->assoclen = assoclen;
    log_call("kcapi_aead_setassoclen assoclen=%zu", assoclen);
}

ssize_t kcapi_cipher_encrypt(struct kcapi_handle* handle, const uint8_t* in, size_t inlen,
                             const uint8_t* iv, uint8_t* out, size_t outlen, int access) {
    long ret = 0;
    int n = 0;
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    if (injected("kcapi_cipher_encrypt", &ret)) {
        // as injected
    } else if (!handle->keyed) {
        ret = -ENOKEY;
    } else if (inlen % 16 != 0 || outlen < inlen) {
        ret = -EINVAL;
    } else if (EVP_EncryptInit_ex(ctx, EVP_aes_128_ecb(), nullptr, handle->key, nullptr) != 1 ||
               EVP_CIPHER_CTX_set_padding(ctx, 0) != 1 ||
               EVP_EncryptUpdate(ctx, out, &n, in, static_cast<int>(inlen)) != 1) {
        ret = -EIO;
    } else {
        ret = n;
    }
    EVP_CIPHER_CTX_free(ctx);
    log_call("kcapi_cipher_encrypt inlen=%zu iv=%s outlen=%zu access=%d -> %ld", inlen,
             iv == nullptr ? "null" : "nonnull", outlen, access, ret);
    return ret;
}

ssize_t kcapi_aead_encrypt(struct kcapi_handle* handle, const uint8_t* in, size_t inlen,
                           const uint8_t* iv, uint8_t* out, size_t outlen, int access) {
    long ret = 0;
    int n = 0;
    int last = 0;
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    const size_t taglen = handle->taglen;
    if (injected("kcapi_aead_encrypt", &ret)) {
        // as injected
    } else if (!handle->keyed) {
        ret = -ENOKEY;
    } else if (inlen < handle->assoclen || outlen < inlen + taglen) {
        ret = -EINVAL;
    } else if (EVP_EncryptInit_ex(ctx, EVP_aes_128_gcm(), nullptr, nullptr, nullptr) != 1 ||
               // gcm(aes) takes a 12-byte IV: the first 12 bytes of the buffer
               EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_SET_IVLEN, 12, nullptr) != 1 ||
               EVP_EncryptInit_ex(ctx, nullptr, nullptr, handle->key, iv) != 1 ||
               (handle->assoclen > 0 &&
                EVP_EncryptUpdate(ctx, nullptr, &n, in, static_cast<int>(handle->assoclen)) != 1) ||
               EVP_EncryptUpdate(ctx, out + handle->assoclen, &n, in + handle->assoclen,
                                 static_cast<int>(inlen - handle->assoclen)) != 1 ||
               EVP_EncryptFinal_ex(ctx, out + handle->assoclen + n, &last) != 1 ||
               EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_GET_TAG, static_cast<int>(taglen),
                                   out + inlen) != 1) {
        ret = -EIO;
    } else {
        memcpy(out, in, handle->assoclen);
        ret = static_cast<long>(inlen + taglen);
    }
    EVP_CIPHER_CTX_free(ctx);
    char ivhex[2 * 16 + 1] = "null";
    if (iv != nullptr) {
        hex(ivhex, iv, 16);
    }
    log_call("kcapi_aead_encrypt inlen=%zu iv=%s outlen=%zu access=%d -> %ld", inlen, ivhex, outlen,
             access, ret);
    return ret;
}

} // extern "C"
