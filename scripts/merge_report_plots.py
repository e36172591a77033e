"""The two pictures of merge_report.py: the merge tree, drawn from the
replay's linkage with the best cut marked, and the running sum of EM against
the number of clusters. Needs numpy, scipy and matplotlib, which
merge_report.py makes sure of before it imports this."""

import sys

import numpy as np


def draw_dendrogram(replay, path, title):
    import matplotlib.pyplot as plt
    from scipy.cluster.hierarchy import dendrogram

    leaves = replay.leaves
    m = replay.best_merges
    clusters = leaves - m
    # Up to 80 rows every leaf is drawn; beyond, the top clusters, enough of
    # them for the best cut to show when it leaves up to 240 clusters.
    shown = leaves if leaves <= 80 else min(leaves, max(60, min(clusters + clusters // 4 + 1, 300)))
    figure, axis = plt.subplots(figsize=(max(12.0, shown * 0.085), 6.5), constrained_layout=True)
    if leaves < 2:
        axis.text(0.5, 0.5, f"{leaves} nonzero row{'s' if leaves != 1 else ''}: no merge, no tree",
                  ha="center", va="center", transform=axis.transAxes)
        axis.set_axis_off()
        figure.savefig(path, dpi=100)
        plt.close(figure)
        return
    z = np.array(replay.linkage, dtype=float)
    labels = [str(r) for r in replay.leaf_rows]
    # scipy draws the tree recursively, one level per call, over the part shown.
    limit = sys.getrecursionlimit()
    sys.setrecursionlimit(max(limit, 4 * shown + 100))
    kwargs = dict(labels=labels, ax=axis, color_threshold=m + 0.5, above_threshold_color="0.45",
                  leaf_rotation=90, leaf_font_size=8 if shown <= 60 else 6)
    if shown < leaves:
        kwargs.update(truncate_mode="lastp", p=shown, show_contracted=False)
    dendrogram(z, **kwargs)
    sys.setrecursionlimit(limit)
    low = leaves - shown
    axis.set_ylim(low, leaves - 0.5)
    ticks = sorted({int(round(t)) for t in np.linspace(low, leaves - 1, 8)})
    axis.set_yticks(ticks)
    axis.set_yticklabels([str(leaves - t) for t in ticks])
    axis.set_ylabel("clusters left (height = merge number)")
    if shown < leaves:
        axis.set_xlabel(f"the top {shown} clusters: a row number, or (the number of rows) of a cluster drawn as one")
    else:
        axis.set_xlabel("row")
    if clusters <= shown and m > 0:
        axis.axhline(m + 0.5, color="crimson", linestyle="--", linewidth=1)
        axis.text(0.005, m + 0.5, f"best cut: {clusters} clusters", color="crimson", va="bottom", ha="left",
                  transform=axis.get_yaxis_transform(), bbox=dict(facecolor="white", edgecolor="none", pad=1))
    elif m > 0:
        axis.text(0.99, 0.02, f"best cut: {clusters} clusters, below the part drawn", color="crimson",
                  ha="right", transform=axis.transAxes)
    axis.set_title(title)
    figure.savefig(path, dpi=100)
    plt.close(figure)


def draw_cost(replay, sums, bytes_per_nat, path, title):
    """`sums`: the running sums of EM in nats, from 0 merges on."""
    import matplotlib.pyplot as plt
    from matplotlib.ticker import ScalarFormatter

    def to_bytes(nats):
        return nats * bytes_per_nat

    leaves = replay.leaves
    clusters = np.arange(leaves, leaves - len(sums), -1) if leaves else np.array([0])
    m = replay.best_merges
    figure, axis = plt.subplots(figsize=(9, 5.5), constrained_layout=True)
    axis.plot(clusters, sums, color="tab:blue", linewidth=1.2)
    axis.plot([clusters[m]], [sums[m]], "o", color="crimson")
    axis.axvline(clusters[m], color="crimson", linestyle="--", linewidth=1)
    axis.annotate(f"best: {clusters[m]} clusters\n{sums[m]:.1f} nats = {to_bytes(sums[m]):.1f} bytes",
                  (clusters[m], sums[m]), textcoords="offset points", xytext=(10, 10), color="crimson")
    if leaves > 50:
        axis.set_xscale("log")
        axis.xaxis.set_major_formatter(ScalarFormatter())
    axis.invert_xaxis()
    axis.set_xlabel("clusters (merges go from left to right)")
    axis.set_ylabel("running sum of EM (nats): cost against one model per block")
    secondary = axis.secondary_yaxis("right", functions=(to_bytes, lambda b: b / bytes_per_nat))
    secondary.set_ylabel("bytes")
    axis.grid(True, alpha=0.3)
    axis.set_title(title)
    figure.savefig(path, dpi=100)
    plt.close(figure)
