#!/usr/bin/python3
"""Tests of scripts/merge_report.py on matrices run through the real morvalen.

    merge_report_test.py TOOLS_DIR SCRATCH_DIR CORPUS_DIR [unittest arguments]

Exits with 77 (a skip for CTest) when this interpreter lacks numpy, scipy or
matplotlib (Debian: python3-numpy, python3-scipy, python3-matplotlib).
"""

import math
import os
import re
import shutil
import struct
import subprocess
import sys
import tarfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
SCRIPT = os.path.join(HERE, "..", "scripts", "merge_report.py")
PYTHON = "/usr/bin/python3"

try:
    import numpy as np
    from scipy.cluster.hierarchy import cut_tree, is_monotonic, is_valid_linkage, leaves_list
    import matplotlib  # noqa: F401
except ImportError as missing:
    print(f"skipped: {missing} (Debian: python3-numpy python3-scipy python3-matplotlib)")
    sys.exit(77)

sys.path.insert(0, os.path.join(HERE, "..", "scripts"))
import merge_report  # noqa: E402

TOOLS = SCRATCH = CORPUS = None
PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"


def scratch(name):
    path = os.path.join(SCRATCH, "merge_report", name)
    shutil.rmtree(path, ignore_errors=True)
    os.makedirs(path)
    return path


def write_matrix(path, rows, columns=None):
    columns = len(rows[0]) if columns is None else columns
    with open(path, "wb") as f:
        f.write(struct.pack("<2I", columns, len(rows)))
        for row in rows:
            f.write(struct.pack(f"<{columns}i", *row))


def read_text(*path):
    with open(os.path.join(*path)) as f:
        return f.read()


def read_words(path):
    with open(path, "rb") as f:
        data = f.read()
    return list(struct.unpack(f"<{len(data) // 4}I", data))


def run_morvalen(folder, matrix="in.frq"):
    with open(os.path.join(folder, "morvalen.log"), "wb") as log:
        subprocess.run([os.path.join(TOOLS, "morvalen"), matrix], cwd=folder, stdout=log, check=True,
                       env=dict(os.environ, MORVALEN_THREADS="2"))


def run_report(folder, matrix="in.frq", log="morvalen.log", out="report", extra=()):
    return subprocess.run([PYTHON, SCRIPT, matrix, log, out, *extra], cwd=folder, capture_output=True, text=True)


def report_of(test, folder, **kwargs):
    result = run_report(folder, **kwargs)
    test.assertEqual(result.returncode, 0, result.stderr)
    out = os.path.join(folder, kwargs.get("out", "report"))
    with open(os.path.join(out, "summary.txt")) as f:
        test.assertEqual(f.read(), result.stdout, "summary.txt is what was printed")
    return Report(out, result.stdout)


class Report:
    def __init__(self, folder, summary):
        self.summary = summary
        self.linkage = np.array([[float(v) for v in line.split(",")]
                                 for line in read_text(folder, "linkage.csv").splitlines()
                                 if not line.startswith("#")], dtype=float).reshape(-1, 4)
        self.newick = read_text(folder, "tree.nwk")
        self.folder = folder

    def best(self):
        return int(re.search(r"^best: (\d+) clusters$", self.summary, re.M).group(1))

    def cost(self, label):
        return float(re.search(r"^  " + re.escape(label) + r"\s+(-?[\d.]+)", self.summary, re.M).group(1))

    def newick_leaves(self):
        return [int(name) for name in re.findall(r"(?<=[(,])(\d+)(?=[:,)])", self.newick)] or \
            [int(name) for name in re.findall(r"^(\d+);", self.newick)]


def parse_newick(text):
    """Nested lists of row numbers; the children in the order written."""
    tokens = re.findall(r"\(|\)|,|:\d+|\d+", text)
    stack = [[]]
    for token in tokens:
        if token == "(":
            stack.append([])
        elif token == ")":
            node = stack.pop()
            stack[-1].append(node)
        elif token != "," and not token.startswith(":"):
            stack[-1].append(int(token))
    return stack[0][0]


def linkage_tree(linkage, leaf_rows):
    """The same nested lists from the linkage: left child first."""
    nodes = [row for row in leaf_rows]
    for left, right, _, _ in linkage:
        nodes.append([nodes[int(left)], nodes[int(right)]])
    return nodes[-1]


def ln_factorial(x):
    return np.where(x >= 1, (1.0 - x) + (x + 0.5) * np.log(np.maximum(x, 1)), 0.0)


def adaptive_cost(rows):
    """Code length, in nats, of each row under morvalen's formula, computed
    here with numpy on its own."""
    rows = np.asarray(rows, dtype=np.float64)
    columns = rows.shape[1]
    return ln_factorial(rows.sum(axis=1) + columns - 1) - ln_factorial(rows).sum(axis=1) - ln_factorial(
        np.float64(columns - 1))


def printed_em(log_path):
    return [float(value) for value in re.findall(r"EM =\s*(-?[\d.]+)", read_text(log_path))]


def best_merges_by_hand(values):
    sums = [0.0]
    for v in values:
        sums.append(round(sums[-1] + v, 6))
    return sums.index(min(sums))


class HandTrees(unittest.TestCase):
    def test_worked_example(self):
        folder = scratch("worked")
        write_matrix(os.path.join(folder, "in.frq"), [(10, 0), (0, 10), (10, 0)])
        run_morvalen(folder)
        report = report_of(self, folder)
        # Rows 0 and 2 merge first (Ei = 0, Ej = 2), then that cluster, at
        # position 0, with row 1, which the swap left at position 1.
        np.testing.assert_array_equal(report.linkage, [[0, 2, 1, 2], [3, 1, 2, 3]])
        self.assertEqual(report.newick, "((0:1,2:1):1,1:2);\n")
        self.assertEqual(report.newick_leaves(), read_words(os.path.join(folder, "morvalen.ord")))
        self.assertTrue(is_valid_linkage(report.linkage))
        # EM -1.752583 then 15.137568: one merge is worth making.
        self.assertEqual(report.best(), 2)
        self.assertIn("best cut: after 1 of 2 merges, where the running sum of EM is lowest: -1.752583 nats",
                      report.summary)
        single = adaptive_cost([(10, 0), (0, 10), (10, 0)]).sum()
        cut = adaptive_cost([(20, 0), (0, 10)]).sum()
        self.assertAlmostEqual(report.cost("every block its own model"), single * merge_report.BYTES_PER_NAT, 1)
        self.assertAlmostEqual(report.cost("best cut, 2 clusters"), cut * merge_report.BYTES_PER_NAT, 1)
        for picture in ("dendrogram.png", "cost.png"):
            with open(os.path.join(folder, "report", picture), "rb") as f:
                self.assertEqual(f.read(8), PNG_SIGNATURE, picture)

    def test_swap_moves_the_last_cluster_into_ej(self):
        # Rows 0 and 1 are alike, 2 and 3 are alike. The first merge takes
        # positions 0 and 1; row 3 moves from the last position into position
        # 1 and so is the right child of the next merge at position 1, and row
        # 4 (all zero) stays out of the tree.
        folder = scratch("swap")
        write_matrix(os.path.join(folder, "in.frq"),
                     [(40, 0, 1), (40, 0, 1), (0, 40, 2), (0, 0, 0), (0, 41, 2)])
        run_morvalen(folder)
        self.assertEqual(re.findall(r"Ei = +(\d+), Ej = +(\d+) +YS=(\d+)", read_text(folder, "morvalen.log")),
                         [("0", "1", "4"), ("1", "2", "3"), ("0", "1", "2")])
        report = report_of(self, folder)
        # Leaves 0..3 are rows 0, 1, 2, 4; after the first merge the list is
        # [4, 3, 2]: leaf 3 (row 4) moved into position 1.
        np.testing.assert_array_equal(report.linkage, [[0, 1, 1, 2], [3, 2, 2, 2], [4, 5, 3, 4]])
        self.assertEqual(report.newick, "((0:1,1:1):2,(4:2,2:2):1);\n")
        self.assertEqual(report.newick_leaves(), read_words(os.path.join(folder, "morvalen.ord"))[:4])
        self.assertIn("# rows of total 0, not in the tree: 3", read_text(folder, "report", "linkage.csv"))
        self.assertEqual(report.best(), 2)

    def test_left_spine_and_ties(self):
        # One column: every row costs 0 and every EM is 0. The cluster at
        # position 0 takes the row at position 1 each time, and the swap
        # brings the rows there from the back: 0, 1, then n-1 down to 2. All
        # running sums tie at 0, so the best cut makes no merge.
        folder = scratch("spine")
        rows = 1500
        write_matrix(os.path.join(folder, "in.frq"), [(1,)] * rows)
        run_morvalen(folder)
        report = report_of(self, folder)
        expected = [[0, 1, 1, 2]] + [[rows + h - 2, rows - h + 1, h, h + 1] for h in range(2, rows)]
        np.testing.assert_array_equal(report.linkage, expected)
        self.assertEqual(report.newick_leaves(), read_words(os.path.join(folder, "morvalen.ord")))
        self.assertTrue(report.newick.startswith("(" * (rows - 1) + "0:1,1:1):1,1499:2):1,1498:3):1,"))
        self.assertEqual(report.best(), rows)

    def test_matrices_without_merges(self):
        cases = [("all-zero", [(0, 0), (0, 0)], 0, ";\n"), ("one-row", [(0, 0), (3, 4), (0, 0)], 1, "1;\n"),
                 ("no-rows", [], 0, ";\n")]
        for name, rows, clusters, newick in cases:
            with self.subTest(name):
                folder = scratch(name)
                write_matrix(os.path.join(folder, "in.frq"), rows, columns=2)
                run_morvalen(folder)
                report = report_of(self, folder)
                self.assertEqual(report.best(), clusters)
                self.assertEqual(report.newick, newick)
                self.assertEqual(report.linkage.shape, (0, 4))
                self.assertIn("exactness: no merge", report.summary)


class BestCut(unittest.TestCase):
    def passes(self, texts):
        lines = [f"  EM = {t:>14}, Ei =   0, Ej =   1   YS={len(texts) + 1 - i}" for i, t in enumerate(texts)]
        path = os.path.join(scratch("best-cut"), "log")
        with open(path, "w") as f:
            f.write("\n".join(lines) + "\n")
        return merge_report.read_log(path)

    def test_fewest_merges_on_ties_and_none_when_nothing_saves(self):
        cases = [(["-1.000000", "1.000000", "0.000000"], 1),
                 (["-2.000000", "1.000000", "-1.000000"], 1),
                 (["-2.000000", "1.000000", "-1.000001"], 3),
                 (["0.000000", "0.000000"], 0),
                 (["-0.000000"], 0),
                 (["3.250000", "-3.250000"], 0),
                 (["0.100000", "0.200000", "-0.300001"], 3),
                 ([], 0)]
        for texts, merges in cases:
            with self.subTest(texts):
                self.assertEqual(merge_report.best_merge_count(self.passes(texts)), merges)

    def test_sums_of_printed_values_are_exact(self):
        # 0.1 + 0.2 - 0.3 is not 0 in binary floating point; in units of
        # 1e-6 nats it is, so the tie goes to the fewest merges.
        self.assertEqual(merge_report.best_merge_count(self.passes(["0.100000", "0.200000", "-0.300000"])), 0)


class Refusals(unittest.TestCase):
    def setUp(self):
        self.folder = scratch("refusals")
        write_matrix(os.path.join(self.folder, "in.frq"), [(10, 0), (0, 10), (10, 0)])
        run_morvalen(self.folder)
        self.lines = read_text(self.folder, "morvalen.log").splitlines()

    def refusal(self, lines, matrix="in.frq"):
        with open(os.path.join(self.folder, "bad.log"), "w") as f:
            f.write("\n".join(lines) + "\n")
        result = run_report(self.folder, matrix=matrix, log="bad.log", out="refused")
        self.assertEqual(result.returncode, 1)
        self.assertEqual(result.stdout, "")
        self.assertEqual(len(result.stderr.splitlines()), 1, result.stderr)
        self.assertTrue(result.stderr.startswith("merge_report: "), result.stderr)
        self.assertFalse(os.path.exists(os.path.join(self.folder, "refused")), "nothing is written")
        return result.stderr

    def test_logs_that_are_not_this_matrix(self):
        self.assertIn("has 1 pass lines, but the matrix has 3 nonzero rows", self.refusal(self.lines[:1]))
        swapped = [self.lines[0].replace("Ej =   2", "Ej =   3")] + self.lines[1:]
        self.assertIn("pass 1 reads Ei = 0, Ej = 3, YS=3", self.refusal(swapped))
        other = [self.lines[0].replace("-1.752583", "-1.762583")] + self.lines[1:]
        self.assertIn("pass 1 prints EM = -1.762583, but the matrix gives -1.752583", self.refusal(other))
        self.assertIn("line 2 is not a pass line of morvalen", self.refusal([self.lines[0], "EM = x", self.lines[1]]))

    def test_bad_matrix(self):
        with open(os.path.join(self.folder, "short.frq"), "wb") as f:
            f.write(struct.pack("<3I", 2, 3, 7))
        self.assertIn("2 columns by 3 rows need 32 bytes, the file has 12",
                      self.refusal(self.lines, matrix="short.frq"))
        self.assertIn("cannot read \"missing.frq\"", self.refusal(self.lines, matrix="missing.frq"))


class RealData(unittest.TestCase):
    """blockcode, morvalen and the report on real or generated data: the tree
    against morvalen.ord, the costs against an independent computation."""

    def check_chain(self, folder):
        subprocess.run([os.path.join(TOOLS, "blockcode")], cwd=folder, check=True)
        run_morvalen(folder, "book1bwt.frq")
        report = report_of(self, folder, matrix="book1bwt.frq")
        order = read_words(os.path.join(folder, "morvalen.ord"))
        with open(os.path.join(folder, "book1bwt.frq"), "rb") as f:
            columns, rows = struct.unpack("<2I", f.read(8))
            matrix = np.frombuffer(f.read(), dtype="<i4").reshape(rows, columns).astype(np.int64)
        leaf_rows = [r for r in range(rows) if matrix[r].sum() != 0]
        leaves = len(leaf_rows)

        self.assertTrue(is_valid_linkage(report.linkage, throw=True))
        self.assertTrue(is_monotonic(report.linkage))
        self.assertEqual([leaf_rows[k] for k in leaves_list(report.linkage)], order[:leaves])
        self.assertEqual(report.newick_leaves(), order[:leaves])
        self.assertEqual(parse_newick(report.newick), linkage_tree(report.linkage, leaf_rows))

        em = printed_em(os.path.join(folder, "morvalen.log"))
        merges = best_merges_by_hand(em)
        self.assertEqual(report.best(), leaves - merges)
        self.assertIn(f"all {leaves - 1} printed EM equal those recomputed from the matrix", report.summary)

        # The costs, from the matrix with the tree cut by scipy.
        per_nat = merge_report.BYTES_PER_NAT
        single = adaptive_cost(matrix[leaf_rows]).sum()
        labels = cut_tree(report.linkage, height=[merges + 0.5])[:, 0]
        clusters = np.zeros((labels.max() + 1, columns), dtype=np.int64)
        np.add.at(clusters, labels, matrix[leaf_rows])
        self.assertEqual(len(clusters), report.best())
        cut = adaptive_cost(clusters).sum()
        whole = adaptive_cost(matrix.sum(axis=0, keepdims=True)).sum()
        # Printed to 0.1 byte; the 32-bit float costs differ from these by far less.
        self.assertLess(abs(report.cost("every block its own model") - single * per_nat), 0.06 + 1e-7 * single)
        self.assertLess(abs(report.cost(f"best cut, {report.best()} clusters") - cut * per_nat), 0.06 + 1e-7 * cut)
        self.assertLess(abs(report.cost("one model for all") - whole * per_nat), 0.06 + 1e-7 * whole)
        # The identities: the single costs and the printed EM of the first m
        # merges give the cut's cost; of all merges, one model's.
        self.assertLess(abs((single + math.fsum(em[:merges])) * per_nat - cut * per_nat), 0.06 + 1e-7 * cut)
        self.assertLess(abs((single + math.fsum(em)) * per_nat - whole * per_nat), 0.06 + 1e-7 * whole)
        self.assertLessEqual(cut, single + 1e-6 * single)
        self.assertLessEqual(cut, whole + 1e-6 * whole)

        bar = os.path.getsize(os.path.join(folder, "book1bwt.bar"))
        self.assertRegex(report.summary, rf"\n  blockcode's code stream +{bar} ")
        for picture in ("dendrogram.png", "cost.png"):
            with open(os.path.join(report.folder, picture), "rb") as f:
                self.assertEqual(f.read(8), PNG_SIGNATURE, picture)
        return report

    def test_generated_sample(self):
        for name, length in (("sample", 60 * 2048 + 999), ("sample-large", 260 * 2048)):
            with self.subTest(name):
                folder = scratch(name)
                subprocess.run([os.path.join(TOOLS, "make_sample"), "book1bwt.", str(length), "3"], cwd=folder,
                               check=True)
                self.check_chain(folder)

    def test_corpus_files(self):
        archive = os.path.join(CORPUS, "calgary.tar.gz")
        if not os.path.isfile(archive):
            self.skipTest("no corpus beside the project (../shared/corpus)")
        for name in ("paper1", "geo", "obj2"):
            with self.subTest(name):
                folder = scratch("corpus-" + name)
                with tarfile.open(archive) as tar:
                    member = next(m for m in tar.getmembers() if os.path.basename(m.name) == name)
                    with open(os.path.join(folder, "book1bwt."), "wb") as f:
                        f.write(tar.extractfile(member).read())
                self.check_chain(folder)


if __name__ == "__main__":
    TOOLS, SCRATCH, CORPUS = (os.path.abspath(path) for path in sys.argv[1:4])
    unittest.main(argv=[sys.argv[0]] + sys.argv[4:])
