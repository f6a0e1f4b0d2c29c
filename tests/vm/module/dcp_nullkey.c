// SPDX-License-Identifier: GPL-2.0-only
// SPDX-FileCopyrightText: 2026 dcp-sealkey developers
/*
 * Test stand-in for the NXP DCP's key slots, as two skciphers:
 *  - a null-key "ecb(aes)": a zero-length key selects the emulated UNIQUE
 *    key, 16/24/32-byte keys are plain AES. Registered above every other
 *    ecb(aes), so AF_ALG users get it first.
 *  - "ecb(paes)" under the DCP driver's own name, which the kernel's DCP
 *    trusted keys ask for: a 1-byte key selects the UNIQUE (0xfe) or the
 *    OTP (0xff) key.
 */
#include <crypto/aes.h>
#include <crypto/internal/skcipher.h>
#include <linux/atomic.h>
#include <linux/module.h>
#include <linux/moduleparam.h>

/* The same emulated UNIQUE key as the host-side libkcapi test double. */
static const u8 hw_key[AES_KEYSIZE_128] = {
	0x2b, 0x7e, 0x15, 0x16, 0x28, 0xae, 0xd2, 0xa6,
	0xab, 0xf7, 0x15, 0x88, 0x09, 0xcf, 0x4f, 0x3c,
};

/* The emulated OTP key: any key other than the UNIQUE one will do. */
static const u8 otp_key[AES_KEYSIZE_128] = {
	0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07,
	0x08, 0x09, 0x0a, 0x0b, 0x0c, 0x0d, 0x0e, 0x0f,
};

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

static int nullkey_setkey(struct crypto_skcipher *tfm, const u8 *key,
			  unsigned int len)
{
	struct crypto_aes_ctx *ctx = crypto_skcipher_ctx(tfm);

	if (len == 0) {
		atomic_inc(&zero_length_setkeys);
		key = zero_key ? test_key : hw_key;
		len = AES_KEYSIZE_128;
	}
	return aes_expandkey(ctx, key, len);
}

static int paes_setkey(struct crypto_skcipher *tfm, const u8 *key,
		       unsigned int len)
{
	struct crypto_aes_ctx *ctx = crypto_skcipher_ctx(tfm);
	const u8 *slot;

	if (len != 1)
		return -EINVAL;
	if (key[0] == PAES_KEY_UNIQUE)
		slot = hw_key;
	else if (key[0] == PAES_KEY_OTP)
		slot = otp_key;
	else
		return -EINVAL;
	return aes_expandkey(ctx, zero_key ? test_key : slot, AES_KEYSIZE_128);
}

static int nullkey_crypt(struct skcipher_request *req, bool encrypt)
{
	const struct crypto_aes_ctx *ctx =
		crypto_skcipher_ctx(crypto_skcipher_reqtfm(req));
	struct skcipher_walk walk;
	unsigned int nbytes;
	int err;

	err = skcipher_walk_virt(&walk, req, false);
	while ((nbytes = walk.nbytes) != 0) {
		const u8 *src = walk.src.virt.addr;
		u8 *dst = walk.dst.virt.addr;

		for (; nbytes >= AES_BLOCK_SIZE; nbytes -= AES_BLOCK_SIZE) {
			if (encrypt)
				aes_encrypt(ctx, dst, src);
			else
				aes_decrypt(ctx, dst, src);
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

static struct skcipher_alg nullkey_algs[] = {
	{
		.base = {
			.cra_name = "ecb(aes)",
			.cra_driver_name = "ecb-aes-dcp-nullkey",
			.cra_priority = 5000,
			.cra_blocksize = AES_BLOCK_SIZE,
			.cra_ctxsize = sizeof(struct crypto_aes_ctx),
			.cra_module = THIS_MODULE,
		},
		.min_keysize = 0,
		.max_keysize = AES_MAX_KEY_SIZE,
		.setkey = nullkey_setkey,
		.encrypt = nullkey_encrypt,
		.decrypt = nullkey_decrypt,
	}, {
		/* Internal, as the driver's own: AF_ALG users never see it. */
		.base = {
			.cra_name = "ecb(paes)",
			.cra_driver_name = "ecb-paes-dcp",
			.cra_priority = 400,
			.cra_flags = CRYPTO_ALG_INTERNAL,
			.cra_blocksize = AES_BLOCK_SIZE,
			.cra_ctxsize = sizeof(struct crypto_aes_ctx),
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
	return crypto_register_skciphers(nullkey_algs, ARRAY_SIZE(nullkey_algs));
}

static void __exit nullkey_exit(void)
{
	crypto_unregister_skciphers(nullkey_algs, ARRAY_SIZE(nullkey_algs));
}

module_init(nullkey_init);
module_exit(nullkey_exit);

MODULE_DESCRIPTION("DCP key slot stand-in for tests: null-key ecb(aes), ecb(paes)");
MODULE_LICENSE("GPL");
