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


HARNESSES = {
    "matrix_loader_fuzz": matrix_loader_seeds,
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
