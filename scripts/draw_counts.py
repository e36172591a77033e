#!/usr/bin/python3
"""Draws count matrices (".frq" files) as pictures.

    draw_counts.py MATRIX [MATRIX2] -o PICTURE.png

One matrix gives one panel; two give two panels side by side, titled
"before" and "after" (for instance "book1bwt.frq" and "morvalen.frq").
Rows are blocks, top to bottom; columns are byte values 0..255; the colour
is the count on a logarithmic scale, and a count of zero is left white.
Both panels share one colour scale, so the same shade means the same count.

A count matrix is two little-endian 32-bit words K (columns) and n (rows)
followed by n rows of K signed 32-bit counts. Needs matplotlib and numpy
(Debian: python3-matplotlib). Run it directly or with any python3: when the
one that runs it lacks them (a virtual environment, pyenv), it runs itself
again with the system's /usr/bin/python3, where the Debian packages are.
"""

import argparse
import os
import sys

SYSTEM_PYTHON = "/usr/bin/python3"

try:
    import numpy as np
    import matplotlib
except ImportError as error:
    np = None
    missing_module = error


def ensure_packages():
    """Runs the script again with the system's Python when this one lacks
    numpy or matplotlib; says in one line what to install when that one
    lacks them too."""
    if np is not None:
        return
    here = os.path.realpath(sys.executable or "")
    if os.path.exists(SYSTEM_PYTHON) and here != os.path.realpath(SYSTEM_PYTHON):
        os.execv(SYSTEM_PYTHON, [SYSTEM_PYTHON, os.path.abspath(__file__)] + sys.argv[1:])
    sys.exit(f"draw_counts.py: {missing_module}: install python3-matplotlib (Debian), "
             f"which brings matplotlib and numpy for {SYSTEM_PYTHON}")


def read_matrix(path):
    with open(path, "rb") as f:
        data = f.read()
    if len(data) < 8:
        sys.exit(f"draw_counts: {path}: too short for a count matrix header: {len(data)} bytes")
    columns, rows = np.frombuffer(data[:8], dtype="<u4")
    cells = int(columns) * int(rows)
    if len(data) < 8 + 4 * cells:
        sys.exit(f"draw_counts: {path}: {columns} columns by {rows} rows need {8 + 4 * cells} bytes, "
                 f"the file has {len(data)}")
    counts = np.frombuffer(data[8:8 + 4 * cells], dtype="<i4")
    return counts.reshape(int(rows), int(columns))


def main():
    parser = argparse.ArgumentParser(description="Draw count matrices as a PNG picture.")
    parser.add_argument("matrices", nargs="+", metavar="MATRIX", help="one or two .frq files")
    parser.add_argument("-o", "--output", required=True, help="PNG file to write")
    parser.add_argument("--titles", nargs="+", help="panel titles (default: before, after)")
    args = parser.parse_args()
    if len(args.matrices) > 2:
        parser.error("at most two matrices")
    ensure_packages()

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.colors import LogNorm

    matrices = [read_matrix(path) for path in args.matrices]
    if len(matrices) == 2:
        default_titles = ["before", "after"]
    else:
        default_titles = [""]
    titles = args.titles or default_titles
    peak = max([int(m.max()) for m in matrices if m.size] + [1])
    norm = LogNorm(vmin=1, vmax=max(peak, 2))
    colours = matplotlib.colormaps["viridis"].copy()
    colours.set_bad("white")

    rows = max(m.shape[0] for m in matrices)
    height = min(12.0, max(4.0, 2.5 + rows / 40))
    figure, axes = plt.subplots(1, len(matrices), figsize=(5.5 * len(matrices) + 1.2, height),
                                squeeze=False, constrained_layout=True)
    image = None
    for axis, matrix, path, title in zip(axes[0], matrices, args.matrices, titles):
        # Zeros (and any negative count) are masked, so they show as white.
        masked = np.ma.masked_less_equal(matrix, 0)
        if matrix.size:
            image = axis.imshow(masked, aspect="auto", interpolation="nearest", cmap=colours, norm=norm,
                                extent=(-0.5, matrix.shape[1] - 0.5, matrix.shape[0] - 0.5, -0.5))
        name = os.path.basename(path)
        axis.set_title(f"{title}: {name}" if title else name)
        axis.set_xlabel("byte value")
        axis.set_ylabel("row (one per block)")
        axis.set_xticks([0, 32, 64, 96, 128, 160, 192, 224, 255])
    if image is not None:
        figure.colorbar(image, ax=axes[0].tolist(), fraction=0.04, aspect=40,
                        label="count (log scale; white = 0)")
    figure.savefig(args.output, dpi=100)


if __name__ == "__main__":
    main()
