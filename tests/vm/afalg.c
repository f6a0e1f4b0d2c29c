// SPDX-FileCopyrightText: 2026 dcp-sealkey developers
// SPDX-License-Identifier: MIT
/*
 * What the guest's shell cannot do itself:
 *   afalg ALG STEP...    steps on one AF_ALG skcipher handle of ALG
 *   afalg nobody CMD...  CMD as uid and gid 65534, without capabilities
 * A step is key=HEX (empty: a zero-length key), iv=HEX (for the next
 * operations), enc=HEX or dec=HEX (whole blocks). Each prints key:ok,
 * iv:ok or the operation's output in hex; a refusal prints STEP:E<errno>,
 * and for an operation whether its output buffer stayed :untouched.
 */
#include <errno.h>
#include <grp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>
#include <linux/if_alg.h>

#define MAX 64

static void die(const char *what)
{
	fprintf(stderr, "afalg: %s: %s\n", what, strerror(errno));
	exit(1);
}

/* One operation socket per operation: a handle takes no key while one is open. */
static void operate(int tfm, __u32 op, const unsigned char *iv, size_t ivlen,
		    unsigned char *in, size_t len)
{
	char ctl[CMSG_SPACE(sizeof(op)) + CMSG_SPACE(sizeof(struct af_alg_iv) + MAX)] = { 0 };
	struct iovec iov = { .iov_base = in, .iov_len = len };
	struct msghdr msg = { .msg_iov = &iov, .msg_iovlen = 1, .msg_control = ctl,
			      .msg_controllen = CMSG_SPACE(sizeof(op)) };
	struct cmsghdr *c = CMSG_FIRSTHDR(&msg);
	unsigned char out[MAX];
	size_t touched = 0;
	ssize_t got;
	int fd;

	c->cmsg_level = SOL_ALG;
	c->cmsg_type = ALG_SET_OP;
	c->cmsg_len = CMSG_LEN(sizeof(op));
	memcpy(CMSG_DATA(c), &op, sizeof(op));
	if (ivlen) {
		struct af_alg_iv head = { .ivlen = (__u32)ivlen };

		msg.msg_controllen += CMSG_SPACE(sizeof(head) + ivlen);
		c = CMSG_NXTHDR(&msg, c);
		c->cmsg_level = SOL_ALG;
		c->cmsg_type = ALG_SET_IV;
		c->cmsg_len = CMSG_LEN(sizeof(head) + ivlen);
		memcpy(CMSG_DATA(c), &head, sizeof(head));
		memcpy(CMSG_DATA(c) + sizeof(head), iv, ivlen);
	}
	memset(out, 0xa5, sizeof(out));
	fd = accept(tfm, NULL, NULL);
	if (fd < 0)
		die("accept");
	got = sendmsg(fd, &msg, 0);
	if (got == (ssize_t)len)
		got = read(fd, out, len);
	for (size_t i = 0; i < len; i++) {
		touched += out[i] != 0xa5;
		if (got == (ssize_t)len)
			printf("%02x", out[i]);
	}
	if (got != (ssize_t)len)
		printf("E%d:%s", got < 0 ? errno : 0, touched ? "written" : "untouched");
	close(fd);
}

int main(int argc, char **argv)
{
	struct sockaddr_alg sa = { .salg_family = AF_ALG, .salg_type = "skcipher" };
	unsigned char data[MAX], iv[MAX];
	size_t ivlen = 0;
	int tfm;

	if (argc >= 3 && !strcmp(argv[1], "nobody")) {
		/* Leaving uid 0 drops every capability. */
		if (setgroups(0, NULL) || setgid(65534) || setuid(65534))
			die("nobody");
		execvp(argv[2], argv + 2);
		die(argv[2]);
	}
	if (argc < 3 || strlen(argv[1]) >= sizeof(sa.salg_name)) {
		fprintf(stderr, "usage: afalg ALG STEP... | afalg nobody CMD...\n");
		return 1;
	}
	memcpy(sa.salg_name, argv[1], strlen(argv[1]));
	tfm = socket(AF_ALG, SOCK_SEQPACKET, 0);
	if (tfm < 0 || bind(tfm, (struct sockaddr *)&sa, sizeof(sa)))
		die(argv[1]);
	for (int i = 2; i < argc; i++) {
		char *hex = strchr(argv[i], '=');
		size_t n = hex ? strlen(++hex) / 2 : 0;

		for (size_t j = 0; hex && j < n && n <= MAX; j++)
			if (sscanf(hex + 2 * j, "%2hhx", &data[j]) != 1)
				hex = NULL;
		if (!hex || strlen(hex) != 2 * n || n > MAX) {
			fprintf(stderr, "afalg: bad step %s\n", argv[i]);
			return 1;
		}
		printf("%s%.*s:", i > 2 ? " " : "", (int)(hex - 1 - argv[i]), argv[i]);
		if (!strncmp(argv[i], "key=", 4)) {
			if (setsockopt(tfm, SOL_ALG, ALG_SET_KEY, data, (socklen_t)n))
				printf("E%d", errno);
			else
				printf("ok");
		} else if (!strncmp(argv[i], "iv=", 3)) {
			memcpy(iv, data, n);
			ivlen = n;
			printf("ok");
		} else if (!strncmp(argv[i], "enc=", 4) || !strncmp(argv[i], "dec=", 4)) {
			operate(tfm, *argv[i] == 'e' ? ALG_OP_ENCRYPT : ALG_OP_DECRYPT, iv, ivlen, data, n);
		} else {
			fprintf(stderr, "afalg: bad step %s\n", argv[i]);
			return 1;
		}
	}
	printf("\n");
	return close(tfm) ? 1 : 0;
}
