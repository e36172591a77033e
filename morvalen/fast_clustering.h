// The pass scans of the clustering (refresh and neighbour update), computed
// fast with exactly the results of kDirectScans.
//
// Read me first:
// - Everything the passes decide still follows the direct rules: select and
//   invalidate are the direct ones, the neighbour update applies its strict
//   float comparisons in ascending position order, and a stale entry gets the
//   smallest double delta over the later positions, earliest among equals.
//   What changes is which deltas are computed, and how:
//   * a lower bound (delta_bounds.h), never above the delta, rules most
//     pairs out for an order of magnitude less work than the delta;
//   * the deltas still needed come from partner sums four at a time, or,
//     where a neighbour update wants most of a tile, from tile kernels
//     (fast_deltas.h), one cluster against kLanes side by side, all with the
//     bits of mergeDelta; the tiles keep their counts only while that is
//     common enough to repay keeping them up to date (TileUse);
//   * the work of a pass is spread over threads, each writing only what it
//     owns; every comparison that decides an entry is then applied in the
//     direct order, so the result does not depend on the thread count;
//   * candidate lists answer most refreshes without a rescan (below).
// - A delta depends only on the two clusters' counts, totals and stored costs,
//   and it is exactly symmetric: the integer sums commute, and so do the two
//   IEEE additions of the costs. A value computed once therefore stays exact
//   until one of the two clusters merges. Each cluster is stamped; a merge
//   bumps the stamps of both clusters involved, which retires every stored
//   value that involves either.
// - Pruning by bounds: a delta whose bound is not below a value it has to
//   beat cannot change the outcome. The neighbour update computes a delta
//   only where its bound is below the other cluster's cached best or floor,
//   or below the merged cluster's running best (EM, which only falls). A
//   rescan computes the deltas of the kCandidates smallest bounds (to refill
//   the list), then every delta whose bound does not exceed the best found:
//   the others are larger than the answer.
// - Candidate lists. Every live cluster r keeps up to kCandidates partners
//   with their exact deltas, and two floors: every live cluster that is not
//   in the list and sits at a later position has a delta to r of at least
//   floorLater[r]; at an earlier position, at least floorEarlier[r]. A delta
//   left uncomputed lowers a floor by its bound at most. A stale entry whose
//   best listed later partner t is strictly below floorLater is answered
//   from the list. Otherwise the later positions are rescanned, skipping
//   clusters y whose floorEarlier exceeds t (their delta is larger still)
//   unless r is listed by y, which gives the exact value.
// - Keeping the floors true: every other cluster is offered the merged
//   cluster's delta when it may beat the floor on that side, and the merged
//   cluster's floors start from the bounds of the deltas left uncomputed.
//   Evicting an entry lowers the floor of its side. When the last cluster
//   moves into the absorbed one's position, the clusters it jumps over see it
//   move from later to earlier, so their floorEarlier drops to at most
//   floorLater; its own later side consists of clusters that were earlier,
//   so its floorLater becomes its floorEarlier.
// - Memory: the tiles (one copy of the live counts, while kept), the bound
//   data by slot, a few arrays of n entries and kCandidates entries per row; no
//   table of pairs.
#pragma once

#include <cstdint>
#include <string>

#include "clustering.h"
#include "fast_deltas.h"

// Whether the tiles keep their clusters' counts for the tile kernel:
// `automatic` keeps them while the neighbour updates want the kernel often
// enough to repay their upkeep. The results are the same either way.
enum class TileUse { automatic, always, never };

struct FastScanOptions {
  unsigned threads = 0;  // 0: defaultThreadCount() (worker_pool.h)
  KernelKind kernel = KernelKind::automatic;
  TileUse tiles = TileUse::automatic;
};

// What the fast scans did, for benchmarks.
struct FastScanCounters {
  uint64_t bounds = 0;       // lower bounds evaluated
  uint64_t skipped = 0;      // pairs of rescans ruled out by a floor alone
  uint64_t deltas = 0;       // merge deltas evaluated and used
  uint64_t neighbourDeltas = 0;  // of those, by the neighbour updates
  uint64_t laneDeltas = 0;   // tile lanes computed, padding included
  uint64_t refreshes = 0;    // stale entries recomputed
  uint64_t fromLists = 0;    // of those, answered from candidate lists
  uint64_t rescans = 0;      // of those, answered by a (pruned) rescan
};

// Binds the fast scans to `state`, fresh from startClustering, until the next
// call. Fails with *error set if the arrays cannot be allocated or the
// processor lacks the kernel asked for.
bool startFastScans(const ClusteringState& state, const FastScanOptions& options, std::string* error);

// The scans to hand to runPasses after startFastScans.
extern const PassScans kFastScans;

FastScanCounters fastScanCounters();
unsigned fastScanThreads();
