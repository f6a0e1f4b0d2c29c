#!/usr/bin/env python3
# SPDX-FileCopyrightText: 2026 dcp-sealkey developers
# SPDX-License-Identifier: MIT
"""Writes the seed corpus of generic-fuzz-imx-dcp into qemu/fuzz/corpus/:
one input per operation that the DCP model runs, alone and chained. The
corpus also keeps the inputs of past findings, which this leaves alone.

An input is generic-fuzz's list of commands, split by "FUZZ": MMIO writes
and reads of the DCP's registers, DMA patterns and clock steps. generic-fuzz
fills each buffer that the device reads from guest RAM with the next DMA
pattern, in turn, so the patterns below follow the model's reads: the
descriptor, then the payload's key and IV, then the source, then a payload
digest to check; a chain reads the next descriptor after that.
"""
import hashlib
import pathlib
import struct
import sys

SEP = b"FUZZ"
OP_READ, OP_WRITE, OP_ADD_DMA_PATTERN, OP_CLOCK_STEP = 2, 3, 7, 9
LONG = 2

CTRL, CHANNELCTRL, KEY, KEYDATA = 0x000, 0x020, 0x060, 0x070
SET, CLR = 0x4, 0x8
CTRL_SFTRST_CLKGATE = 0xC0000000


def cmdptr(ch):
    return 0x100 + 0x40 * ch


def sema(ch):
    return 0x110 + 0x40 * ch


def chstat(ch):
    return 0x120 + 0x40 * ch


# Work packet control bits
INTERRUPT, DECR_SEMAPHORE, CHAIN, CHAIN_CONTIGUOUS = 1 << 0, 1 << 1, 1 << 2, 1 << 3
MEMCOPY, CIPHER, HASH = 1 << 4, 1 << 5, 1 << 6
ENCRYPT, CIPHER_INIT, OTP_KEY, PAYLOAD_KEY = 1 << 8, 1 << 9, 1 << 10, 1 << 11
HASH_INIT, HASH_TERM, CHECK_HASH, HASH_OUTPUT = 1 << 12, 1 << 13, 1 << 14, 1 << 15
CONSTANT_FILL = 1 << 16
ECB, CBC = 0 << 4, 1 << 4
SHA1, SHA256 = 0 << 16, 2 << 16
UNIQUE = 0xFE << 8

RAM = 0x80000000
GICH_CPU0 = 0x00A05000  # the A7MPCore's GIC virtual interface control of CPU 0
DESC, DESC2, PAYLOAD, SRC, DST = RAM, RAM + 0x100, RAM + 0x1000, RAM + 0x2000, RAM + 0x3000

# FIPS-197 and SP 800-38A
KEY128 = bytes.fromhex("2b7e151628aed2a6abf7158809cf4f3c")
IV = bytes.fromhex("000102030405060708090a0b0c0d0e0f")
PLAIN = bytes.fromhex("6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51")


def write(off, value):
    return bytes([OP_WRITE, LONG, 0, 0, 0]) + struct.pack("<IQ", off, value)


def read(off):
    return bytes([OP_READ, LONG, 0, 0, 0]) + struct.pack("<I", off)


def pattern(data):
    return bytes([OP_ADD_DMA_PATTERN, 0, 0]) + data


def desc(c0, c1=0, src=SRC, dst=DST, size=0, payload=PAYLOAD, nxt=0):
    return struct.pack("<8I", nxt, c0 | INTERRUPT | DECR_SEMAPHORE, c1, src, dst, size,
                       payload, 0)


def seed(patterns, packets=1, ch=0, setup=()):
    """Out of reset, channel @ch runs @packets packets that read @patterns."""
    cmds = [write(CTRL + CLR, CTRL_SFTRST_CLKGATE), write(CTRL + SET, 0xF),
            write(CHANNELCTRL + SET, 1 << ch), *setup]
    cmds += [pattern(p) for p in patterns]
    cmds += [write(cmdptr(ch), DESC), write(sema(ch), packets),
             bytes([OP_CLOCK_STEP]), bytes([OP_CLOCK_STEP]), read(chstat(ch))]
    for c in cmds:
        assert SEP not in c, c
    return SEP.join(cmds)


def key_ram(slot, key):
    return [write(KEY, slot << 4)] + [write(KEYDATA, struct.unpack_from("<I", key, 4 * i)[0])
                                      for i in range(4)]


def reversed_digest(alg, msg):
    return hashlib.new(alg, msg).digest()[::-1]


SEEDS = {
    "sha1": seed([desc(HASH | HASH_INIT | HASH_TERM, SHA1, size=3), b"abc"]),
    "sha256": seed([desc(HASH | HASH_INIT | HASH_TERM, SHA256, size=3), b"abc"]),
    "sha256-check": seed([desc(HASH | HASH_INIT | HASH_TERM | CHECK_HASH, SHA256, size=3),
                          b"abc", reversed_digest("sha256", b"abc")]),
    "sha256-chain": seed([desc(HASH | HASH_INIT | CHAIN, SHA256, size=64, nxt=DESC2),
                          PLAIN, desc(HASH | HASH_TERM, SHA256, size=3), b"abc"], packets=2),
    "aes-ecb-encrypt-payload-key": seed([desc(CIPHER | ENCRYPT | PAYLOAD_KEY, ECB, size=32),
                                         KEY128, PLAIN]),
    "aes-ecb-decrypt-key-ram": seed([desc(CIPHER, ECB | (1 << 8), size=32), PLAIN], ch=1,
                                    setup=key_ram(1, KEY128)),
    "aes-cbc-encrypt-unique": seed([desc(CIPHER | ENCRYPT | CIPHER_INIT, CBC | UNIQUE, size=32),
                                    IV, PLAIN], ch=2),
    "aes-cbc-decrypt-otp-chain": seed([desc(CIPHER | OTP_KEY | CIPHER_INIT | CHAIN_CONTIGUOUS,
                                            CBC, size=16), IV, PLAIN[:16],
                                       desc(CIPHER | OTP_KEY, CBC, src=SRC + 16, dst=DST + 16,
                                            size=16), PLAIN[16:]], packets=2, ch=3),
    "aes-sha1-output": seed([desc(CIPHER | ENCRYPT | PAYLOAD_KEY | HASH | HASH_INIT |
                                  HASH_TERM | HASH_OUTPUT, ECB | SHA1, size=32),
                             KEY128, PLAIN]),
    "memcopy": seed([desc(MEMCOPY, size=64), PLAIN * 2]),
    "fill-then-copy-chain": seed([desc(MEMCOPY | CONSTANT_FILL | CHAIN, src=0x64636261,
                                       size=64, nxt=DESC2),
                                  desc(MEMCOPY, src=DST, dst=DST + 0x100, size=64),
                                  b"abcd" * 16], packets=2, ch=1),
    # DMA reaches every device: QEMU's GIC once wrote past its registers here.
    "fill-into-gic-hyp": seed([desc(MEMCOPY | CONSTANT_FILL, src=1, dst=GICH_CPU0, size=4)]),
}


def main():
    out = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else
                       pathlib.Path(__file__).parent / "corpus")
    out.mkdir(exist_ok=True)
    for name, data in SEEDS.items():
        (out / name).write_bytes(data)


if __name__ == "__main__":
    main()
