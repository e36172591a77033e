#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz harnesses, all generated here (never
third-party files): OUT_DIR/<harness>/<seed>.

    make_fuzz_seeds.py OUT_DIR
"""

import os
import struct
import sys


def matrix(columns, rows):
    data = struct.pack("<II", columns, len(rows))
    for row in rows:
        data += struct.pack("<%di" % columns, *row)
    return data


def matrix_loader_seeds():
    return {
        "empty": b"",
        "short-header": b"\x02\x00\x00",
        "header-only": matrix(256, []),
        "worked-example": matrix(2, [(10, 0), (0, 10), (10, 0)]),
        "negative": matrix(3, [(-1, 5, 2), (7, -8, 0)]),
        "truncated": matrix(4, [(1, 2, 3, 4), (5, 6, 7, 8)])[:-3],
        "trailing": matrix(1, [(1,), (2,)]) + b"\xff",
        "k-n-overflow": struct.pack("<II", 0x10000, 0x10000) + b"\x00" * 16,
        "k0-huge-n": struct.pack("<II", 0, 0xFFFFFFFF),
        "huge-k": struct.pack("<II", 0xFFFFFFFF, 1) + b"\x00" * 8,
    }


def clustering_seeds():
    # K, n, count mode (0 small, 1 sparse, 2 signed byte, 3 raw word), counts.
    def seed(columns, rows, mode, counts):
        packed = struct.pack("<%dI" % len(counts), *counts) if mode == 3 else bytes(
            c & 0xFF for c in counts)
        return bytes([columns, rows, mode]) + packed
    return {
        "worked-example": seed(2, 3, 0, [10, 0, 0, 10, 10, 0]),
        "four-identical": seed(2, 4, 0, [5] * 8),
        "zero-rows": seed(3, 4, 0, [1, 2, 3, 0, 0, 0, 4, 0, 1, 0, 7, 0]),
        "k1": seed(1, 9, 0, [3, 1, 4, 1, 5, 9, 2, 6, 5]),
        "k0": seed(0, 7, 0, []),
        "negative": seed(3, 6, 2, [-5, 3, 2, 7, -1, -6, 0, 0, 0, 1, 1, -2, 9, 9, 9, -3, 4, 4]),
        "wrapping": seed(2, 4, 3, [0x7FFFFFF0, 100, 0x7FFFFFF0, 20, 3, 4, 0x80000010, 0xFFFFFF9C]),
        "ties": seed(4, 12, 0, [3, 1, 0, 0] * 6 + [0, 0, 1, 3] * 6),
    }


def remix_seeds():
    def seed(data_length, entries, stray=b""):
        return struct.pack("<I", data_length) + struct.pack("<%dI" % len(entries), *entries) + stray
    return {
        "three-blocks": seed(5000, [2, 0, 1]),
        "empty": seed(0, []),
        "identity-extra": seed(4 * 2048, [0, 1, 2, 3, 9, 9]),
        "repeats": seed(5000, [1, 1, 1]),
        "short": seed(5000, [0, 1]),
        "out-of-range": seed(5000, [0, 3, 1]),
        "wrapping": seed(5000, [2, 1 << 21, 1]),
        "stray-byte": seed(5000, [2, 0, 1], b"\x00"),
        "reversed-64": seed(64 * 2048 + 7, list(range(64, -1, -1))),
        "short-in-the-middle": seed(5 * 2048 + 9, [1, 5, 0, 3, 2, 4]),
    }


def coding_seeds():
    text = b"the block count order of the cluster stream; " * 200
    return {
        "empty": b"",
        "one": b"a",
        "fifteen": bytes(range(15)),
        "sixteen": bytes(range(16)),
        "block-of-text": text[:2048],
        "block-and-one": text[:2049],
        "all-values": bytes(range(256)) * 9,
        "single-value": b"\x00" * 3 * 2048,
        "skewed": bytes(0x20 if (i * 7919) % 997 else i % 256 for i in range(6000)),
    }


def encoder_seeds():
    def words(values):
        return struct.pack("<%dI" % len(values), *values)
    return {
        # total 2048, width 1 at the bottom and the top; total 1.
        "narrow-bottom": words([2047 | (0 << 11) | (0 << 21)] * 64),
        "narrow-top": words([2047 | (2047 << 11) | (2047 << 21)] * 64),
        "total-one": words([0] * 64),
        "mixed": words([(i * 2654435761) & 0xFFFFFFFF for i in range(200)]),
    }


HARNESSES = {
    "matrix_loader_fuzz": matrix_loader_seeds,
    "clustering_fuzz": clustering_seeds,
    "fast_scans_fuzz": clustering_seeds,
    "remix_fuzz": remix_seeds,
    "coding_fuzz": coding_seeds,
    "encoder_fuzz": encoder_seeds,
}


def main():
    out = sys.argv[1]
    for harness, seeds in HARNESSES.items():
        folder = os.path.join(out, harness)
        os.makedirs(folder, exist_ok=True)
        for name, data in seeds().items():
            with open(os.path.join(folder, name), "wb") as f:
                f.write(data)


if __name__ == "__main__":
    main()
