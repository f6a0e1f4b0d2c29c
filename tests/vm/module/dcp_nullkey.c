// SPDX-License-Identifier: GPL-2.0-only
// SPDX-FileCopyrightText: 2026 dcp-sealkey developers
/*
 * Test stand-in for the NXP DCP's key slots, as three skciphers:
 *  - a null-key "ecb(aes)" and "cbc(aes)": a zero-length key selects the
 *    emulated UNIQUE key, for CAP_SYS_ADMIN only and for encryption only,
 *    as with the null-key patch of mxs-dcp; 16/24/32-byte keys are plain
 *    AES. Registered above every other implementation, so AF_ALG users
 *    get them first.
 *  - "ecb(paes)" under the DCP driver's own name, which the kernel's DCP
 *    trusted keys ask for: a 1-byte key selects the UNIQUE (0xfe) or the
 *    OTP (0xff) key.
 */
#include <crypto/aes.h>
#include <crypto/internal/skcipher.h>
#include <linux/atomic.h>
#include <linux/capability.h>
#include <linux/kernel.h>
#include <linux/module.h>
#include <linux/moduleparam.h>

#include "emulated_keys.h"

/* The emulated keys, filled at load from the tests' one list of them. */
static u8 hw_key[AES_KEYSIZE_128];
static u8 otp_key[AES_KEYSIZE_128];

/* Key slot handles of the DCP's "paes", as include/soc/fsl/dcp.h has them. */
#define PAES_KEY_UNIQUE 0xfe
#define PAES_KEY_OTP 0xff

/* An unprovisioned DCP falls back to an all-zero test key. */
static const u8 test_key[AES_KEYSIZE_128];

static bool zero_key;
module_param(zero_key, bool, 0444);
MODULE_PARM_DESC(zero_key, "every key slot is the all-zero test key");

/* Lets a test prove that the zero-length key reached this driver. */
static atomic_t zero_length_setkeys = ATOMIC_INIT(0);

static int get_counter(char *buf, const struct kernel_param *kp)
{
	return sysfs_emit(buf, "%d\n", atomic_read(kp->arg));
}

static const struct kernel_param_ops counter_ops = {
	.get = get_counter,
};
module_param_cb(zero_length_setkeys, &counter_ops, &zero_length_setkeys, 0444);
MODULE_PARM_DESC(zero_length_setkeys, "number of zero-length setkeys so far");

struct nullkey_ctx {
	struct crypto_aes_ctx aes;
	bool null_key;	/* encrypts only */
};

static int nullkey_setkey(struct crypto_skcipher *tfm, const u8 *key,
			  unsigned int len)
{
	struct nullkey_ctx *ctx = crypto_skcipher_ctx(tfm);

	if (len == 0 && !capable(CAP_SYS_ADMIN))
		return -EPERM;
	ctx->null_key = len == 0;
	if (ctx->null_key) {
		atomic_inc(&zero_length_setkeys);
		key = zero_key ? test_key : hw_key;
		len = AES_KEYSIZE_128;
	}
	return aes_expandkey(&ctx->aes, key, len);
}

static int paes_setkey(struct crypto_skcipher *tfm, const u8 *key,
		       unsigned int len)
{
	struct nullkey_ctx *ctx = crypto_skcipher_ctx(tfm);
	const u8 *slot;

	if (len != 1)
		return -EINVAL;
	if (key[0] == PAES_KEY_UNIQUE)
		slot = hw_key;
	else if (key[0] == PAES_KEY_OTP)
		slot = otp_key;
	else
		return -EINVAL;
	return aes_expandkey(&ctx->aes, zero_key ? test_key : slot, AES_KEYSIZE_128);
}

static int nullkey_crypt(struct skcipher_request *req, bool encrypt)
{
	struct crypto_skcipher *tfm = crypto_skcipher_reqtfm(req);
	const struct nullkey_ctx *ctx = crypto_skcipher_ctx(tfm);
	bool cbc = crypto_skcipher_ivsize(tfm);	/* only cbc(aes) has an IV */
	struct skcipher_walk walk;
	u8 block[AES_BLOCK_SIZE];
	unsigned int nbytes;
	int err;

	if (!encrypt && ctx->null_key)
		return -EOPNOTSUPP;
	err = skcipher_walk_virt(&walk, req, false);
	while ((nbytes = walk.nbytes) != 0) {
		const u8 *src = walk.src.virt.addr;
		u8 *dst = walk.dst.virt.addr;

		for (; nbytes >= AES_BLOCK_SIZE; nbytes -= AES_BLOCK_SIZE) {
			if (encrypt && cbc) {
				crypto_xor_cpy(block, src, walk.iv, AES_BLOCK_SIZE);
				aes_encrypt(&ctx->aes, dst, block);
				memcpy(walk.iv, dst, AES_BLOCK_SIZE);
			} else if (encrypt) {
				aes_encrypt(&ctx->aes, dst, src);
			} else {
				/* src may be dst: keep the ciphertext for the chain */
				memcpy(block, src, AES_BLOCK_SIZE);
				aes_decrypt(&ctx->aes, dst, block);
				if (cbc) {
					crypto_xor(dst, walk.iv, AES_BLOCK_SIZE);
					memcpy(walk.iv, block, AES_BLOCK_SIZE);
				}
			}
			src += AES_BLOCK_SIZE;
			dst += AES_BLOCK_SIZE;
		}
		err = skcipher_walk_done(&walk, nbytes);
	}
	return err;
}

static int nullkey_encrypt(struct skcipher_request *req)
{
	return nullkey_crypt(req, true);
}

static int nullkey_decrypt(struct skcipher_request *req)
{
	return nullkey_crypt(req, false);
}

/* The null-key "ecb(aes)" and "cbc(aes)", which differ in their IV only. */
#define NULLKEY_AES(mode, iv) {						\
	.base = {							\
		.cra_name = #mode "(aes)",				\
		.cra_driver_name = #mode "-aes-dcp-nullkey",		\
		.cra_priority = 5000,					\
		.cra_blocksize = AES_BLOCK_SIZE,			\
		.cra_ctxsize = sizeof(struct nullkey_ctx),		\
		.cra_module = THIS_MODULE,				\
	},								\
	.min_keysize = 0,						\
	.max_keysize = AES_MAX_KEY_SIZE,				\
	.ivsize = (iv),							\
	.setkey = nullkey_setkey,					\
	.encrypt = nullkey_encrypt,					\
	.decrypt = nullkey_decrypt,					\
}

static struct skcipher_alg nullkey_algs[] = {
	NULLKEY_AES(ecb, 0),
	NULLKEY_AES(cbc, AES_BLOCK_SIZE),
	{
		/* Internal, as the driver's own: AF_ALG users never see it. */
		.base = {
			.cra_name = "ecb(paes)",
			.cra_driver_name = "ecb-paes-dcp",
			.cra_priority = 400,
			.cra_flags = CRYPTO_ALG_INTERNAL,
			.cra_blocksize = AES_BLOCK_SIZE,
			.cra_ctxsize = sizeof(struct nullkey_ctx),
			.cra_module = THIS_MODULE,
		},
		.min_keysize = 1,
		.max_keysize = 1,
		.setkey = paes_setkey,
		.encrypt = nullkey_encrypt,
		.decrypt = nullkey_decrypt,
	},
};

static int __init nullkey_init(void)
{
	if (hex2bin(hw_key, EMULATED_UNIQUE_KEY, sizeof(hw_key)) ||
	    hex2bin(otp_key, EMULATED_OTP_KEY, sizeof(otp_key)))
		return -EINVAL;
	return crypto_register_skciphers(nullkey_algs, ARRAY_SIZE(nullkey_algs));
}

static void __exit nullkey_exit(void)
{
	crypto_unregister_skciphers(nullkey_algs, ARRAY_SIZE(nullkey_algs));
}

module_init(nullkey_init);
module_exit(nullkey_exit);

MODULE_DESCRIPTION("DCP key slot stand-in for tests: null-key ecb(aes) and cbc(aes), ecb(paes)");
MODULE_LICENSE("GPL");
