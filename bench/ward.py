#!/usr/bin/python3
"""Times fastcluster's Ward linkage on a count matrix, for bench/morvalen.sh.

Each row's raw counts are one point in K-dimensional space (as float64); the
time covers the linkage call alone, not Python's start-up or the reading.
Usage: /usr/bin/python3 ward.py MATRIX [both|matrix|vector]
Prints: "ward-matrix SECONDS CPU" (fastcluster.linkage, which forms the
pairwise distances itself, n^2 / 2 doubles of memory) and "ward-vector
SECONDS CPU" (fastcluster.linkage_vector, memory in proportion to the
points); both by default. SECONDS is wall time, CPU the process's CPU time
over the same call, which a busy machine disturbs less.
"""
import sys
import time

try:
    import numpy as np
    import fastcluster
except ImportError as missing:
    sys.exit(f"ward.py: {missing}: install python3-fastcluster (Debian), which brings numpy, "
             "and run this with /usr/bin/python3")


def main():
    variants = sys.argv[2] if len(sys.argv) > 2 else 'both'
    if variants not in ('both', 'matrix', 'vector'):
        sys.exit(f"ward.py: unknown variant {variants!r}: both, matrix or vector")
    words = np.fromfile(sys.argv[1], dtype='<i4')
    columns, rows = int(words[0]), int(words[1])
    points = words[2:2 + columns * rows].reshape(rows, columns).astype(np.float64)
    if variants != 'vector':
        timed('ward-matrix', lambda: fastcluster.linkage(points, method='ward', preserve_input=True))
    if variants != 'matrix':
        timed('ward-vector', lambda: fastcluster.linkage_vector(points, method='ward'))


def timed(name, call):
    start, startCpu = time.perf_counter(), time.process_time()
    call()
    print(f"{name} {time.perf_counter() - start:.3f} {time.process_time() - startCpu:.3f}", flush=True)


if __name__ == '__main__':
    main()
