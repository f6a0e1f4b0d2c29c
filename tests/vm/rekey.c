// SPDX-FileCopyrightText: 2026 dcp-sealkey developers
// SPDX-License-Identifier: MIT
/*
 * rekey PLAINTEXT_HEX KEY_HEX: re-keys one AF_ALG "ecb(aes)" tfm from a
 * zero-length key (the DCP's UNIQUE key on the patched mxs-dcp) to KEY, and
 * another from KEY to a zero-length key, so that a key selection left over
 * from the first setkey shows in the second ciphertext. Prints
 *   zero-then-key <ct, zero-length key> <ct, KEY>
 *   key-then-zero <ct, KEY> <ct, zero-length key>
 * for one 16-byte block and a 16-byte KEY (24 and 32 bytes take the
 * driver's software fallback). Exits 2 when the zero-length key is refused
 * with EINVAL (a stock kernel), 1 on any other failure.
 */
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>
#include <linux/if_alg.h>

#define BLOCK 16

static void die(const char *what, int code)
{
	fprintf(stderr, "%s: %s\n", what, strerror(errno));
	exit(code);
}

/* A short transfer leaves errno stale: report it by its size. */
static void want(ssize_t got, const char *what)
{
	if (got < 0)
		die(what, 1);
	if (got != BLOCK) {
		fprintf(stderr, "%s: %zd of %d bytes\n", what, got, BLOCK);
		exit(1);
	}
}

/* Returns the byte count, or 0 unless s is all hex and at most max bytes. */
static size_t unhex(const char *s, unsigned char *out, size_t max)
{
	size_t n = strlen(s) / 2;

	if (strlen(s) % 2 || n > max)
		return 0;
	for (size_t i = 0; i < 2 * n; i++) {
		char c = s[i] >= 'A' && s[i] <= 'F' ? s[i] + 32 : s[i];
		int v = c >= '0' && c <= '9' ? c - '0' :
			c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;

		if (v < 0)
			return 0;
		out[i / 2] = (unsigned char)(i % 2 ? out[i / 2] << 4 | v : v);
	}
	return n;
}

static void setkey(int tfm, const unsigned char *key, size_t len)
{
	if (setsockopt(tfm, SOL_ALG, ALG_SET_KEY, key, (socklen_t)len) == 0)
		return;
	if (len == 0)
		die("setkey (zero-length)", errno == EINVAL ? 2 : 1);
	die("setkey", 1);
}

/* One operation socket per key: a tfm cannot be re-keyed while one is open. */
static void encrypt(int tfm, unsigned char *pt, unsigned char *ct)
{
	union {
		struct cmsghdr align;
		char buf[CMSG_SPACE(sizeof(__u32))];
	} ctl = { 0 };
	struct iovec iov = { .iov_base = pt, .iov_len = BLOCK };
	struct msghdr msg = { .msg_iov = &iov, .msg_iovlen = 1,
			      .msg_control = ctl.buf, .msg_controllen = sizeof(ctl.buf) };
	struct cmsghdr *c = CMSG_FIRSTHDR(&msg);
	int op;

	c->cmsg_level = SOL_ALG;
	c->cmsg_type = ALG_SET_OP;
	c->cmsg_len = CMSG_LEN(sizeof(__u32));
	*(__u32 *)(void *)CMSG_DATA(c) = ALG_OP_ENCRYPT;

	op = accept(tfm, NULL, NULL);
	if (op < 0)
		die("accept", 1);
	want(sendmsg(op, &msg, 0), "sendmsg");
	want(read(op, ct, BLOCK), "read");
	if (close(op))
		die("close", 1);
}

static void run(const char *label, unsigned char *pt, const unsigned char *k1,
		size_t l1, const unsigned char *k2, size_t l2)
{
	struct sockaddr_alg sa = { .salg_family = AF_ALG, .salg_type = "skcipher",
				   .salg_name = "ecb(aes)" };
	unsigned char ct[2][BLOCK];
	int tfm = socket(AF_ALG, SOCK_SEQPACKET, 0);

	if (tfm < 0)
		die("socket", 1);
	if (bind(tfm, (struct sockaddr *)&sa, sizeof(sa)))
		die("bind", 1);
	setkey(tfm, k1, l1);
	encrypt(tfm, pt, ct[0]);
	setkey(tfm, k2, l2);
	encrypt(tfm, pt, ct[1]);
	if (close(tfm))
		die("close", 1);

	printf("%s", label);
	for (int i = 0; i < 2 * BLOCK; i++)
		printf("%s%02x", i % BLOCK ? "" : " ", ct[i / BLOCK][i % BLOCK]);
	printf("\n");
	fflush(stdout);
}

int main(int argc, char **argv)
{
	unsigned char pt[BLOCK], key[32], none[1] = { 0 };
	size_t klen = argc == 3 ? unhex(argv[2], key, sizeof(key)) : 0;

	if (argc != 3 || unhex(argv[1], pt, sizeof(pt)) != BLOCK ||
	    (klen != 16 && klen != 24 && klen != 32)) {
		fprintf(stderr, "usage: rekey PLAINTEXT_HEX(16 bytes) KEY_HEX(16 bytes)\n");
		return 1;
	}
	run("zero-then-key", pt, none, 0, key, klen);
	run("key-then-zero", pt, key, klen, none, 0);
	return 0;
}
