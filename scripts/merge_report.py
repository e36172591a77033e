#!/usr/bin/python3
"""What morvalen's clustering of a count matrix buys: the merge tree, the best
cut and the costs.

    merge_report.py MATRIX LOG OUTDIR [--code-stream BAR]

MATRIX is a count matrix (".frq") and LOG the lines morvalen printed for it,
one per merge: "EM = ..., Ei = ..., Ej = ...   YS=...". Writes to OUTDIR:

  linkage.csv     the merge tree as a scipy linkage matrix, one row per merge:
                  left cluster, right cluster, height, size
  tree.nwk        the same tree in Newick form, leaves named by row number
  dendrogram.png  the tree drawn (the top levels only, for large matrices)
  cost.png        the running sum of EM against the number of clusters
  summary.txt     the summary, also printed on stdout

The replay. The nonzero rows are the leaves 0..N-1 (N = the number of rows
whose counts do not sum to 0, in ascending row order); merge m (from 0) makes
cluster N + m. The live clusters sit at positions 0..YS-1, the leaves in
ascending order at the start. A pass line merges the clusters at positions Ei
and Ej (Ei < Ej): the merged cluster takes position Ei, the cluster at the
last live position YS-1 moves into position Ej, and YS drops by one. The
cluster at Ei is the left child, so the leaves read left to right are the
leading entries of "morvalen.ord".

The height of merge m is m + 1, its rank: nonnegative and growing towards the
root, as scipy wants, and the tree cut below height h is exactly the
clustering after the first h merges. (EM itself cannot serve: it is mostly
negative and does not grow along the tree.)

The best cut is the number of merges m that makes the sum of the first m
printed EM values smallest (the fewest on ties; m = 0 counts); it leaves N - m
clusters. The costs are those of morvalen's code-length formula (the adaptive
Laplace estimator, in nats, with its Stirling form of ln x!), recomputed from
the matrix as morvalen computes them, in bytes: every block with a model of
its own, the best cut's clusters with one model each, and one model for all.
Every printed EM is recomputed too; the summary says how well they agree.

Needs numpy, scipy and matplotlib (Debian: python3-numpy, python3-scipy,
python3-matplotlib). Run it directly or with any python3: when the one that
runs it lacks them (a virtual environment, pyenv), it runs itself again with
the system's /usr/bin/python3, where the Debian packages are.
"""

import argparse
import math
import os
import re
import sys

SYSTEM_PYTHON = "/usr/bin/python3"

try:
    import numpy as np
except ImportError as error:
    np = None
    missing_numpy = error

TOOL = "merge_report"
BYTES_PER_NAT = 1.0 / math.log(2.0) / 8.0
# Printed EM values carry 6 decimals: they are held as integers of 1e-6 nats,
# so that their sums, and the ties between them, are exact.
MICRO = 1000000
PASS_LINE = re.compile(r"^\s*EM\s*=\s*(-?\d+)\.(\d{6}),\s*Ei\s*=\s*(-?\d+),\s*Ej\s*=\s*(-?\d+)\s+YS=(\d+)\s*$")


def fail(message):
    sys.exit(f"{TOOL}: {message}")


# ---- Inputs -------------------------------------------------------------------

def read_matrix(path):
    """The counts of a count matrix as an int64 array of rows by columns."""
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError as error:
        fail(f"cannot read \"{path}\": {error.strerror}")
    if len(data) < 8:
        fail(f"cannot use \"{path}\" as a count matrix: too short for a header: {len(data)} bytes")
    columns, rows = (int(v) for v in np.frombuffer(data[:8], dtype="<u4"))
    if 4 * rows > 0x7FFFFFFF:
        fail(f"cannot use \"{path}\": {rows} rows would make an order file of 2^31 bytes or more")
    cells = columns * rows
    if len(data) < 8 + 4 * cells:
        fail(f"cannot use \"{path}\" as a count matrix: {columns} columns by {rows} rows need "
             f"{8 + 4 * cells} bytes, the file has {len(data)}")
    counts = np.frombuffer(data[8:8 + 4 * cells], dtype="<i4").astype(np.int64)
    return counts.reshape(rows, columns), columns


class Pass:
    """One pass line: EM in units of 1e-6 nats and as printed, Ei, Ej, YS."""

    def __init__(self, micro, text, first, second, live):
        self.micro, self.text, self.first, self.second, self.live = micro, text, first, second, live


def read_log(path):
    try:
        with open(path, "r", encoding="ascii", errors="replace") as f:
            lines = f.read().splitlines()
    except OSError as error:
        fail(f"cannot read \"{path}\": {error.strerror}")
    passes = []
    for number, line in enumerate(lines, 1):
        if not line.strip():
            continue
        match = PASS_LINE.match(line)
        if not match:
            fail(f"\"{path}\" line {number} is not a pass line of morvalen: {line.strip()[:60]!r}")
        whole, fraction, first, second, live = match.groups()
        micro = abs(int(whole)) * MICRO + int(fraction)
        if whole.startswith("-"):
            micro = -micro
        text = line.split("=", 1)[1].split(",", 1)[0].strip()
        passes.append(Pass(micro, text, int(first), int(second), int(live)))
    return passes


# ---- The cost model, as morvalen computes it ------------------------------------

def wrap32(value):
    """A Python integer reduced to a signed 32-bit value, as the tools' sums wrap."""
    return (value + 0x80000000) % 0x100000000 - 0x80000000


class CostModel:
    """Row costs with the bits of morvalen's: every operation an IEEE double
    operation in the same order, and ln from the same C library (math.log).
    The count terms are summed in ascending column order from 0.0; a count
    below 1 adds exactly 0, and lnFactorial(x) >= 0 for x >= 1, so skipping
    those counts leaves the sum's bits as they are."""

    def __init__(self, columns):
        self.columns = columns
        self.table = {}
        self.constant = self.ln_factorial(wrap32(columns - 1))

    def ln_factorial(self, x):
        value = self.table.get(x)
        if value is None:
            value = 0.0 if x < 1 else (1.0 - x) + (x + 0.5) * math.log(x)
            self.table[x] = value
        return value

    def unrounded_cost(self, row, total):
        """((T - S) - F) in double for a row of counts (already wrapped to 32 bits)."""
        counts = 0.0
        for count in row[row >= 1].tolist():
            counts += self.ln_factorial(count)
        total_term = self.ln_factorial(wrap32(wrap32(total + self.columns) - 1))
        return (total_term - counts) - self.constant


def float32(value):
    return float(np.float32(value))


def wrap_counts(row):
    return (row + 0x80000000) % 0x100000000 - 0x80000000


# ---- The replay -----------------------------------------------------------------

class Replay:
    """The merge tree and the costs, replayed from the pass lines."""

    def __init__(self, matrix, columns, passes, log_path):
        totals = [wrap32(int(t)) for t in matrix.sum(axis=1)]
        self.leaf_rows = [r for r, total in enumerate(totals) if total != 0]
        self.zero_rows = [r for r, total in enumerate(totals) if total == 0]
        leaves = len(self.leaf_rows)
        self.leaves = leaves
        self.passes = passes
        self.check_shape(log_path)

        model = CostModel(columns)
        # Per leaf slot: the summed counts and the stored (32-bit float) cost
        # of the cluster whose representative it is, as morvalen keeps them.
        sums = matrix[self.leaf_rows].copy() if leaves else np.zeros((0, columns), dtype=np.int64)
        cost = [float32(model.unrounded_cost(sums[k], totals[r])) for k, r in enumerate(self.leaf_rows)]
        total_of = [totals[r] for r in self.leaf_rows]
        self.single_cost = math.fsum(cost)

        self.best_merges = best_merge_count(passes)
        slot_at = list(range(leaves))       # position -> representative's slot
        cluster_at = list(range(leaves))    # position -> cluster id
        size = [1] * leaves + [0] * max(leaves - 1, 0)
        self.linkage = []
        self.direct_em = []                 # each merge's EM, recomputed (float32)
        self.cut_cost = self.single_cost    # stored costs of the clusters of the best cut, summed
        for m, p in enumerate(passes):
            a, b = slot_at[p.first], slot_at[p.second]
            left, right = cluster_at[p.first], cluster_at[p.second]
            merged = wrap_counts(sums[a] + sums[b])
            merged_total = wrap32(total_of[a] + total_of[b])
            unrounded = model.unrounded_cost(merged, merged_total)
            self.direct_em.append(float32(unrounded - (cost[a] + cost[b])))
            sums[a], total_of[a], cost[a] = merged, merged_total, float32(unrounded)
            new = leaves + m
            size[new] = size[left] + size[right]
            self.linkage.append((left, right, m + 1, size[new]))
            last = p.live - 1
            cluster_at[p.first] = new
            slot_at[p.second], cluster_at[p.second] = slot_at[last], cluster_at[last]
            del slot_at[last], cluster_at[last]
            if m + 1 == self.best_merges:
                self.cut_cost = math.fsum(cost[slot] for slot in slot_at)
        self.one_model_cost = math.fsum(cost[slot] for slot in slot_at)

    def check_shape(self, log_path):
        expected = max(self.leaves - 1, 0)
        if len(self.passes) != expected:
            fail(f"\"{log_path}\" has {len(self.passes)} pass lines, but the matrix has {self.leaves} nonzero "
                 f"rows and so {expected} merges: not morvalen's lines for this matrix")
        for m, p in enumerate(self.passes):
            live = self.leaves - m
            if p.live != live or not 0 <= p.first < p.second < live:
                fail(f"\"{log_path}\" pass {m + 1} reads Ei = {p.first}, Ej = {p.second}, YS={p.live}; "
                     f"expected YS={live} and 0 <= Ei < Ej < YS: not morvalen's lines for this matrix")


def best_merge_count(passes):
    """The m that minimises the sum of the first m printed EM values; the
    smallest such m on ties (m = 0, no merge, included)."""
    best, running, best_sum = 0, 0, 0
    for m, p in enumerate(passes, 1):
        running += p.micro
        if running < best_sum:
            best, best_sum = m, running
    return best


def running_sums(passes):
    sums = [0]
    for p in passes:
        sums.append(sums[-1] + p.micro)
    return sums


# ---- Outputs --------------------------------------------------------------------

def linkage_text(replay, matrix_path):
    lines = [
        f"# merge tree of {os.path.basename(matrix_path)} as a scipy linkage matrix, one row per merge",
        "# left,right,height,size: the clusters at Ei (left) and Ej (right), the merge number, the rows merged",
    ]
    if replay.leaves:
        lines.append(f"# leaves 0..{replay.leaves - 1} are the nonzero rows in ascending order; row h (height h) "
                     f"is merge h, which makes cluster {replay.leaves}+h-1")
    else:
        lines.append("# no nonzero row: no leaf and no merge")
    if replay.zero_rows:
        lines.append("# rows of total 0, not in the tree: " + " ".join(str(r) for r in replay.zero_rows))
    lines += [f"{left},{right},{height},{size}" for left, right, height, size in replay.linkage]
    return "\n".join(lines) + "\n"


def newick_text(replay):
    """The tree with the left child first, branch lengths from the heights.
    Built with an explicit stack: a left spine can be as deep as the tree."""
    leaves = replay.leaves
    if leaves == 0:
        return ";\n"
    if leaves == 1:
        return f"{replay.leaf_rows[0]};\n"

    def height(cluster):
        return 0 if cluster < leaves else replay.linkage[cluster - leaves][2]

    out = []
    # Items: a cluster to write (with its parent's height), or a literal string.
    stack = [(2 * leaves - 2, None)]
    while stack:
        item, parent_height = stack.pop()
        if isinstance(item, str):
            out.append(item)
            continue
        length = "" if parent_height is None else f":{parent_height - height(item)}"
        if item < leaves:
            out.append(f"{replay.leaf_rows[item]}{length}")
            continue
        left, right, own, _ = replay.linkage[item - leaves]
        out.append("(")
        stack += [(")" + length, None), (right, own), (",", None), (left, own)]
    return "".join(out) + ";\n"


def to_bytes(nats):
    return nats * BYTES_PER_NAT


def cost_line(label, value, change="", note=""):
    return f"  {label:<28}{value:>12}   {change:<9} {note}".rstrip()


def percent(value, base):
    return f"{100.0 * (value - base) / base:+.1f} %" if base else "-"


def summary_lines(replay, matrix_path, log_path, matrix_shape, code_stream):
    rows, columns = matrix_shape
    passes = replay.passes
    m = replay.best_merges
    clusters = replay.leaves - m
    sums = running_sums(passes)
    single, cut, whole = replay.single_cost, replay.cut_cost, replay.one_model_cost
    lines = [
        f"matrix:   {matrix_path}: {rows} rows of {columns} columns, {replay.leaves} of them nonzero",
        f"log:      {log_path}: {len(passes)} merges",
        f"best: {clusters} clusters",
        f"best cut: after {m} of {len(passes)} merges, where the running sum of EM is lowest: "
        f"{sums[m] / MICRO:.6f} nats",
        "cost in bytes (nats / ln 2 / 8) under morvalen's adaptive Laplace estimator:",
        cost_line("every block its own model", f"{to_bytes(single):.1f}"),
        cost_line(f"best cut, {clusters} clusters", f"{to_bytes(cut):.1f}", percent(cut, single)),
        cost_line("one model for all", f"{to_bytes(whole):.1f}", percent(whole, single)),
    ]
    if code_stream is not None:
        path, length = code_stream
        lines.append(cost_line("blockcode's code stream", f"{length}", percent(length, to_bytes(single)),
                               f"{os.path.basename(path)}: exact counts per block, the counts not included"))
    order_bits = math.lgamma(rows + 1) / math.log(2.0) if rows else 0.0
    lines.append(cost_line("the order, if stored", f"{order_bits / 8:.1f}", "",
                           f"log2({rows}!) bits; the order file holds {4 * rows}"))
    lines += exactness_lines(replay, sums)
    return lines


def exactness_lines(replay, sums):
    """How well the printed EM values fit the costs recomputed from the matrix."""
    passes = replay.passes
    if not passes:
        return ["exactness: no merge; the costs are exact sums of morvalen's 32-bit float row costs"]
    printed = [p.text for p in passes]
    recomputed = ["%f" % em for em in replay.direct_em]
    differing = [i for i, (a, b) in enumerate(zip(printed, recomputed)) if a != b]
    worst = max((abs(passes[i].micro / MICRO - replay.direct_em[i]) for i in differing), default=0.0)
    m = replay.best_merges
    cut_gap = replay.single_cost + sums[m] / MICRO - replay.cut_cost
    whole_gap = replay.single_cost + sums[-1] / MICRO - replay.one_model_cost
    agreement = (f"all {len(passes)} printed EM equal those recomputed from the matrix, to the last digit"
                 if not differing else
                 f"{len(differing)} of {len(passes)} printed EM differ from those recomputed from the matrix, "
                 f"by at most {worst:.6f} nats")
    return [
        f"exactness: {agreement};",
        "  the costs are exact sums of morvalen's 32-bit float cluster costs, shown to 0.1 byte;",
        f"  single costs + printed EM miss the best cut's cost by {abs(cut_gap):.6f} nats, "
        f"one model's by {abs(whole_gap):.6f}",
        "  (EM is printed to 6 decimals and rounded to 32 bits, as is each merged cost)",
    ]


def check_agreement(replay, log_path):
    """Refuses a log whose EM values are plainly not this matrix's: a last
    digit may differ, a C library with other last bits of ln may move a
    32-bit float by one step, but not more."""
    for m, p in enumerate(replay.passes):
        direct = replay.direct_em[m]
        allowed = 2e-6 + 4 * float(np.spacing(np.float32(abs(direct))))
        if abs(p.micro / MICRO - direct) > allowed:
            fail(f"\"{log_path}\" pass {m + 1} prints EM = {p.text}, but the matrix gives {direct:.6f}: "
                 f"not morvalen's lines for this matrix")


def default_code_stream(matrix_path):
    root, extension = os.path.splitext(matrix_path)
    candidate = root + ".bar" if extension == ".frq" else None
    return candidate if candidate and os.path.isfile(candidate) else None


def ensure_packages():
    """Runs the script again with the system's Python when this one lacks
    numpy, scipy or matplotlib; says in one line what to install when that
    one lacks them too."""
    missing = missing_numpy if np is None else None
    if missing is None:
        try:
            import matplotlib  # noqa: F401
            import scipy.cluster.hierarchy  # noqa: F401 (the dendrogram needs it)
        except ImportError as error:
            missing = error
    if missing is None:
        return
    here = os.path.realpath(sys.executable or "")
    if os.path.exists(SYSTEM_PYTHON) and here != os.path.realpath(SYSTEM_PYTHON):
        os.execv(SYSTEM_PYTHON, [SYSTEM_PYTHON, os.path.abspath(__file__)] + sys.argv[1:])
    fail(f"{missing}: install python3-matplotlib and python3-scipy (Debian), which bring "
         f"matplotlib, scipy and numpy for {SYSTEM_PYTHON}")


def main():
    parser = argparse.ArgumentParser(
        description="The merge tree, the best cut and the costs of morvalen's clustering of a count matrix.")
    parser.add_argument("matrix", metavar="MATRIX", help="the count matrix (.frq) morvalen clustered")
    parser.add_argument("log", metavar="LOG", help="the lines morvalen printed for it")
    parser.add_argument("outdir", metavar="OUTDIR", help="folder for the outputs (made if missing)")
    parser.add_argument("--code-stream", metavar="BAR",
                        help="blockcode's code stream, for its length (default: MATRIX with .bar for .frq)")
    args = parser.parse_args()
    ensure_packages()

    matrix, columns = read_matrix(args.matrix)
    passes = read_log(args.log)
    replay = Replay(matrix, columns, passes, args.log)
    check_agreement(replay, args.log)

    bar = args.code_stream or default_code_stream(args.matrix)
    code_stream = None
    if bar is not None:
        try:
            code_stream = (bar, os.path.getsize(bar))
        except OSError as error:
            fail(f"cannot read \"{bar}\": {error.strerror}")

    import matplotlib
    matplotlib.use("Agg")
    from merge_report_plots import draw_cost, draw_dendrogram

    try:
        os.makedirs(args.outdir, exist_ok=True)
        with open(os.path.join(args.outdir, "linkage.csv"), "w") as f:
            f.write(linkage_text(replay, args.matrix))
        with open(os.path.join(args.outdir, "tree.nwk"), "w") as f:
            f.write(newick_text(replay))
        name = os.path.basename(args.matrix)
        draw_dendrogram(replay, os.path.join(args.outdir, "dendrogram.png"), f"merge tree of {name}")
        sums = np.array(running_sums(replay.passes), dtype=float) / MICRO
        draw_cost(replay, sums, BYTES_PER_NAT, os.path.join(args.outdir, "cost.png"), f"running sum of EM, {name}")
        text = "\n".join(summary_lines(replay, args.matrix, args.log, matrix.shape, code_stream)) + "\n"
        with open(os.path.join(args.outdir, "summary.txt"), "w") as f:
            f.write(text)
    except OSError as error:
        fail(f"cannot write to \"{args.outdir}\": {error.strerror or error}")
    sys.stdout.write(text)


if __name__ == "__main__":
    main()
