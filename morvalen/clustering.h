// Greedy bottom-up clustering of the rows of a count matrix.
//
// Read me first:
// - Every row with a nonzero total starts as a cluster of its own; each pass
//   merges the two clusters whose union costs the fewest extra nats
//   (mergeDelta) and records the merge in the merge tree, until one cluster
//   is left. Rows of total 0 never take part.
// - activeList[0..liveCount) names the live clusters by their representative
//   row (the row that absorbed the others, whose counts, total and cost are
//   those of the whole cluster). Removed representatives and the rows of
//   total 0 sit behind them.
// - bestPartner[r] is the position (not the row) of the cached best later
//   partner of the cluster represented by r, and bestDelta[r] the delta to it
//   rounded to float. The value `rows` marks the entry as stale. At the start
//   of every pass, a non-stale entry of the row at position i holds a
//   position j with i < j < liveCount, bestDelta equals the delta to j
//   rounded to float, and no later cluster's delta, rounded to float, is
//   below it.
// - The core prints nothing: each pass is reported to an observer before its
//   merge is applied.
//
// A pass, as runPasses drives it, in this order:
//   1. findPair: refresh every stale entry at positions 0..ys-1 (its best
//      later partner), then select the entry with the smallest cached delta,
//      earliest on ties: the pair Ei < Ej.
//   2. the observer sees the pass.
//   3. the merge: the cluster at Ej is added into the cluster at Ei (counts,
//      total and tree; the cost is computed anew by mergedCost), and the
//      cluster at the last live position moves into position Ej.
//   4. followMerge: every entry whose partner was Ei, Ej or the last
//      position becomes stale, then the merged cluster is offered to every
//      other (the neighbour update). Then ys drops by one.
// Steps 1 and 4 are the only code that evaluates merge deltas. They sit
// behind PassScans, so that a faster implementation with identical results
// can replace them without touching the driver; kDirectScans is the literal
// one and the reference the others are tested against. The direct scans
// mark entries stale after the merge rather than before it: the merge
// changes no cached entry and only swaps two clusters among positions
// 0..last, and whether an entry becomes stale depends on its own partner
// alone, so the same entries become stale.
#pragma once

#include <cstdint>
#include <string>

#include "merge_tree.h"

// The sentinel "no partner yet": 1e30 as a float (0x7149F2CA).
constexpr float kNoDelta = 1e30f;

struct ClusteringState {
  uint32_t columns = 0;        // K
  uint32_t rows = 0;           // n; also the stale mark of bestPartner
  int32_t* counts = nullptr;   // n rows of K; merges add rows in place
  double constant = 0.0;       // lnFactorial(K - 1), shared by every cost
  float* rowCost = nullptr;
  float* bestDelta = nullptr;
  uint32_t* bestPartner = nullptr;
  uint32_t* activeList = nullptr;
  int32_t* rowTotal = nullptr;
  TreeHandle* treeHandle = nullptr;
  MergeNode* nodes = nullptr;  // one per merge, used in order
  uint32_t nodesUsed = 0;
  uint32_t nonzeroRows = 0;    // ys0, the live count after the partition
  uint32_t liveCount = 0;      // ys
};

// The pair chosen by a pass: EM (a float widened to double) and the two
// positions, Ei < Ej.
struct PassChoice {
  double bestDelta = double(kNoDelta);
  int32_t first = -1;
  int32_t second = -1;
};

// What the observer learns about each pass, before its merge.
struct PassReport {
  double bestDelta;    // EM
  int32_t first;       // Ei
  int32_t second;      // Ej
  uint32_t liveCount;  // ys before the merge
};

using PassObserver = void (*)(void* context, const PassReport& report, const ClusteringState& state);

struct PassScans {
  // The implementation's own state, handed to each operation; null for the
  // direct scans.
  void* scans = nullptr;
  // Step 1: refreshes every stale entry, then selects the pair to merge.
  PassChoice (*findPair)(void* scans, ClusteringState& state) = nullptr;
  // Step 4: after the merge of `choice` and the move of the cluster at
  // `last` into position choice.second, marks stale every entry whose
  // partner is choice.first, choice.second or last, then offers the merged
  // cluster (at choice.first) to every earlier cluster and every later one
  // below `last`.
  void (*followMerge)(void* scans, ClusteringState& state, const PassChoice& choice, uint32_t last) = nullptr;
  // The stored cost of a merged row, with the bits of rowCost; null takes
  // rowCost itself.
  float (*mergedCost)(void* scans, const int32_t* row, uint32_t columns, int32_t total, double constant) = nullptr;
};

// The direct scans, literally as the passes are defined.
extern const PassScans kDirectScans;

// The steps of the direct scans, for implementations that fall back on them.
// Recomputes every stale entry at positions 0..ys-1.
void refreshStaleEntries(ClusteringState& state);
// The entry with the smallest cached delta, earliest on ties.
PassChoice selectPair(const ClusteringState& state);
// Marks stale every entry at positions 0..last whose partner is Ei, Ej or last.
void invalidateEntries(ClusteringState& state, const PassChoice& choice, uint32_t last);
// Offers the merged cluster at `merged` to every earlier cluster and every
// later one below `last`.
void updateNeighbours(ClusteringState& state, uint32_t merged, uint32_t last);

// The selection's rule over positions from..to-1: the first position whose
// cached delta is below all before it, starting from 1e30 (first = -1 when
// none is). The selection is this over all live positions; ranges taken in
// order, each kept where strictly smaller, give the same.
PassChoice selectInRange(const ClusteringState& state, uint32_t from, uint32_t to);

// The merge delta of the clusters represented by rows a and b.
double clusterMergeDelta(const ClusteringState& state, uint32_t a, uint32_t b);

// Start-up: allocates the arrays (and one merge node per future merge),
// sets the leaf tags, the totals, the partition and the costs. `counts` is
// the matrix of `rows` rows by `columns`, summed in place by the merges.
// Fails with *error set when an array cannot be allocated. When every row
// totals 0 (always so with no columns) only activeList is allocated, as no
// pass will run: the other per-row arrays stay null.
bool startClustering(ClusteringState& state, int32_t* counts, uint32_t columns, uint32_t rows,
                     std::string* error);

// Runs the passes until one cluster is left, reporting each to `observer`
// (may be null). Fails only if a pass finds no pair, which the invariants
// above rule out.
bool runPasses(ClusteringState& state, const PassScans& scans, PassObserver observer,
               void* observerContext, std::string* error);

// The root of the merge tree once the passes are done; a leaf when only one
// nonzero row exists. Only meaningful when nonzeroRows >= 1.
TreeHandle clusteringRoot(const ClusteringState& state);

// Rewrites activeList[0..nonzeroRows) in leaf order of the merge tree; the
// rows of total 0 stay behind them in descending row order. With fewer than
// two nonzero rows the list is left as the partition made it.
bool writeRowOrder(ClusteringState& state, std::string* error);
