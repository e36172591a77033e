#!/usr/bin/env python3
"""Writes the deterministic inputs that scripts/ci-compare-builds.sh runs on
every build: data files for the whole chain, count matrices for morvalen and
data/order pairs for remix. Standard library only.

    make_test_inputs.py OUT_DIR [--corpus-dir DIR]

OUT_DIR/chain/NAME      data files: blockcode, then morvalen, then remix
OUT_DIR/code/NAME       large data files for blockcode alone
OUT_DIR/matrix/NAME     count matrices for morvalen alone
OUT_DIR/remix/NAME/{data,order}   pairs for remix alone

With --corpus-dir (a folder of extracted real files), a few of them, cut to
keep runs under an emulator short, join the chain inputs, and all of them
concatenated form a large input for blockcode alone.
"""

import argparse
import os
import struct

BLOCK = 2048


class Rng:
    """xorshift64*: the same stream on every Python version and host."""

    def __init__(self, seed):
        self.state = seed or 1

    def next32(self):
        x = self.state
        x ^= (x >> 12)
        x ^= (x << 25) & 0xFFFFFFFFFFFFFFFF
        x ^= (x >> 27)
        self.state = x
        return ((x * 0x2545F4914F6CDD1D) & 0xFFFFFFFFFFFFFFFF) >> 32

    def below(self, bound):
        return self.next32() % bound

    def bytes(self, count, alphabet=256):
        return bytes(self.below(alphabet) for _ in range(count))


WORDS = ("the of and to in a is that for it as was with be by on not he this are or his "
         "from at which but have an they you were her she there been one all we their "
         "block count order cluster stream range coder matrix histogram").split()


def text_like(rng, size):
    out = bytearray()
    while len(out) < size:
        out += WORDS[rng.below(len(WORDS))].encode()
        out += b"\n" if rng.below(12) == 0 else (b", " if rng.below(9) == 0 else b" ")
    return bytes(out[:size])


def tabular(rng, size):
    out = bytearray()
    while len(out) < size:
        row = [str(rng.below(100000)), str(rng.below(100)), "%d.%02d" % (rng.below(500), rng.below(100))]
        out += (";".join(row) + "\r\n").encode()
    return bytes(out[:size])


def binary_like(rng, size):
    # Small little-endian integers: many zero bytes, a few busy low bytes.
    out = bytearray()
    while len(out) < size:
        out += struct.pack("<I", rng.below(300) if rng.below(4) else rng.next32())
    return bytes(out[:size])


def runs(rng, size, alphabet=40):
    # Long runs of one byte, as in the output of a Burrows-Wheeler transform.
    out = bytearray()
    while len(out) < size:
        out += bytes([97 + rng.below(alphabet) % 26]) * (1 + rng.below(64))
    return bytes(out[:size])


def skewed(rng, size):
    # One dominant byte with rare others: extreme probabilities for the coder.
    return bytes(0x20 if rng.below(1000) else rng.below(256) for _ in range(size))


def interleaved(rng, blocks):
    makers = (text_like, tabular, binary_like, runs)
    return b"".join(makers[(b * 7 + b // 5) % 4](rng, BLOCK) for b in range(blocks))


def matrix(columns, rows):
    data = struct.pack("<II", columns, len(rows))
    for row in rows:
        assert len(row) == columns
        data += struct.pack("<%di" % columns, *row)
    return data


def order_file(entries):
    return struct.pack("<%dI" % len(entries), *entries)


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def code_inputs(out, rng):
    write(f"{out}/code/interleaved-large", interleaved(rng, 400))


def chain_inputs(out, rng):
    for size in (0, 1, 2, 15, 16, 17, 2047, 2048, 2049, 4097):
        write(f"{out}/chain/size{size}", rng.bytes(size))
    write(f"{out}/chain/single-byte-value", b"\x00" * 10000)
    write(f"{out}/chain/two-values", bytes(rng.below(2) + 48 for _ in range(30000)))
    write(f"{out}/chain/skewed", skewed(rng, 64 * BLOCK + 333))
    write(f"{out}/chain/random", rng.bytes(40 * BLOCK + 5))
    write(f"{out}/chain/runs", runs(rng, 60 * BLOCK))
    write(f"{out}/chain/interleaved", interleaved(rng, 220) + b"tail")
    # Identical blocks: every merge delta ties, the order rests on the
    # tie-breaking alone.
    block = text_like(rng, BLOCK)
    write(f"{out}/chain/repeated-block", block * 50 + b"\x00" * BLOCK * 3)


def matrix_inputs(out, rng):
    m = f"{out}/matrix"
    write(f"{m}/worked-example", matrix(2, [(10, 0), (0, 10), (10, 0)]))
    write(f"{m}/four-identical", matrix(2, [(5, 5)] * 4))
    write(f"{m}/zero-row-inside", matrix(3, [(1, 2, 3), (0, 0, 0), (4, 0, 1), (0, 7, 0)]))
    write(f"{m}/k1", matrix(1, [(rng.below(50),) for _ in range(40)]))
    write(f"{m}/n0", matrix(256, []))
    write(f"{m}/n1", matrix(4, [(1, 2, 3, 4)]))
    write(f"{m}/k0", matrix(0, [()] * 7))
    write(f"{m}/all-zero", matrix(3, [(0, 0, 0)] * 9))
    write(f"{m}/one-nonzero", matrix(3, [(0, 0, 0), (0, 5, 0), (0, 0, 0)]))
    # Negative counts and totals that cancel or wrap past 2^31.
    write(f"{m}/negative", matrix(3, [tuple(rng.below(30) - 10 for _ in range(3)) for _ in range(50)]))
    big = 0x7FFFFFF0
    write(f"{m}/wrapping", matrix(2, [(big, 100), (big, 20), (-big, -50), (3, 4), (big, big)]))
    write(f"{m}/sparse-256", matrix(256, [
        tuple(rng.below(40) if rng.below(30) == 0 else 0 for _ in range(256)) for _ in range(150)]))
    write(f"{m}/ties", matrix(4, [(3, 1, 0, 0)] * 20 + [(0, 0, 1, 3)] * 20 + [(2, 2, 0, 0)] * 5))
    write(f"{m}/dense-8", matrix(8, [tuple(rng.below(2048) for _ in range(8)) for _ in range(200)]))
    # Trailing bytes after the counts are ignored.
    write(f"{m}/trailing", matrix(2, [(1, 2), (3, 4)]) + b"\x01\x02\x03")


def remix_inputs(out, rng):
    r = f"{out}/remix"
    data5000 = rng.bytes(5000)
    write(f"{r}/three-blocks/data", data5000)
    write(f"{r}/three-blocks/order", order_file([2, 0, 1]))
    write(f"{r}/empty/data", b"")
    write(f"{r}/empty/order", b"")
    blocks = 97
    perm = list(range(blocks))
    for i in range(blocks - 1, 0, -1):
        j = rng.below(i + 1)
        perm[i], perm[j] = perm[j], perm[i]
    write(f"{r}/permutation/data", rng.bytes(blocks * BLOCK - 100))
    write(f"{r}/permutation/order", order_file(perm + [5, 6, 7]))
    write(f"{r}/repeats/data", data5000)
    write(f"{r}/repeats/order", order_file([1, 1, 1]))
    # Refusals: too short, out of range, and an entry whose offset wraps.
    write(f"{r}/short-order/data", data5000)
    write(f"{r}/short-order/order", order_file([0, 1]))
    write(f"{r}/out-of-range/data", data5000)
    write(f"{r}/out-of-range/order", order_file([0, 3, 1]))
    write(f"{r}/wrapping-entry/data", data5000)
    write(f"{r}/wrapping-entry/order", order_file([0, 1 << 21, 1]))
    write(f"{r}/stray-bytes/data", data5000)
    write(f"{r}/stray-bytes/order", order_file([2, 0, 1]) + b"\x07")


CORPUS_PICKS = ("book1", "paper1", "geo", "obj2", "pic", "kennedy.xls", "alice29.txt", "sum")


def corpus_inputs(out, corpus_dir, limit):
    """A few real files, each cut to `limit` bytes (the clustering is
    quadratic in the number of blocks, and emulated runs are slow), and all
    of them concatenated in name order."""
    found = {}
    everything = bytearray()
    for root, _, files in sorted(os.walk(corpus_dir)):
        for name in sorted(files):
            found.setdefault(name, os.path.join(root, name))
            with open(os.path.join(root, name), "rb") as f:
                everything += f.read()
    write(f"{out}/code/corpus-all", bytes(everything))
    for name in CORPUS_PICKS:
        if name in found:
            with open(found[name], "rb") as f:
                write(f"{out}/chain/corpus-{name}", f.read(limit))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("out")
    parser.add_argument("--corpus-dir")
    parser.add_argument("--corpus-limit", type=int, default=300 * BLOCK)
    args = parser.parse_args()
    rng = Rng(0x9E3779B97F4A7C15)
    chain_inputs(args.out, rng)
    code_inputs(args.out, rng)
    matrix_inputs(args.out, rng)
    remix_inputs(args.out, rng)
    if args.corpus_dir:
        corpus_inputs(args.out, args.corpus_dir, args.corpus_limit)


if __name__ == "__main__":
    main()
