// The fast pass scans: the refresh and the neighbour update of the
// clustering, computed fast with exactly the results of kDirectScans.
//
// Read me first:
// - Everything the passes decide still follows the direct rules: a stale
//   entry gets the smallest double delta over the later positions, earliest
//   among equals; the selection keeps the earliest of equal cached deltas;
//   the neighbour update applies its strict float comparisons as the direct
//   one does. What changes is which deltas are computed, and how:
//   * a lower bound (bounds.h), never above the delta, rules most pairs out
//     for an order of magnitude less work than the delta;
//   * the deltas still needed come from partner sums four at a time, or,
//     where a neighbour update wants most of a tile, from tile kernels
//     (tile_kernels.h), all with the bits of mergeDelta;
//   * candidate lists (candidates.h) answer most refreshes without a rescan
//     (rescan.h);
//   * the work of a pass is spread over threads, each writing only what it
//     owns; every comparison that decides an entry is then applied in the
//     direct order, so the result does not depend on the thread count.
// - The pass, as runPasses drives it (clustering.h), and what the engine
//   does at each step:
//   findPair     the refresh (rescan.h); the tasks of its last batch of
//                rescans also select the pair, each within its positions.
//   followMerge  the mirror follows the merge (slot_mirror.h), then the
//                neighbour update (neighbour_update.h), whose tasks also mark
//                the entries stale that named the merged pair or the last
//                position, and find the listed answers of the next refresh.
// - The engine is a value: everything a clustering's scans keep lives in its
//   FastEngine, grouped by concern below. Two engines share nothing, so two
//   clusterings can run in one process, one after the other or at once.
// - When memory runs out for the engine's own arrays, the direct scans take
//   over for the rest of the run. They need nothing but the state: every
//   entry set so far is exact, and the direct refresh recomputes those still
//   stale.
// - Memory: the tiles (one copy of the live counts, while kept), the bound
//   data by slot, a few arrays of n entries and kCandidates entries per row;
//   no table of pairs.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "bounds.h"
#include "candidates.h"
#include "clustering.h"
#include "content_classes.h"
#include "kernels.h"
#include "ln_table.h"
#include "neighbour_update.h"
#include "rescan.h"
#include "slot_mirror.h"
#include "tile_kernels.h"
#include "worker_pool.h"

struct FastScanOptions {
  unsigned threads = 0;  // 0: defaultThreadCount() (worker_pool.h)
  KernelKind kernel = KernelKind::automatic;
  TileUse tiles = TileUse::automatic;
  // The fewest computed deltas per part of the merged cluster's new list
  // (neighbour_update.h); tests lower it to build small lists in parts.
  uint32_t settlePartMinimum = kSettlePartMinimum;
  // The tiles per share of a long rescan's bounds (rescan.h); tests lower it
  // to share the bounds of short rescans.
  uint32_t shareTiles = kShareTiles;
  // The fewest candidates of a second round that idle threads help with
  // (rescan.h); tests lower it to offer every second round.
  size_t helpMinimum = kHelpMinimum;
  // The first refresh's jobs per group (rescan.h), at most kJobsTogether;
  // tests set 1 to run each on its own.
  uint32_t jobsTogether = kJobsTogether;
};

// What the fast scans did, for benchmarks.
struct FastScanCounters {
  uint64_t bounds = 0;       // lower bounds evaluated
  uint64_t skipped = 0;      // pairs of rescans ruled out by a floor or an envelope alone
  uint64_t ruledOut = 0;     // of those, by the first refresh's cut (rescan.cpp)
  uint64_t deltas = 0;       // merge deltas evaluated and used
  uint64_t neighbourDeltas = 0;  // of those, by the neighbour updates
  uint64_t laneDeltas = 0;   // tile lanes computed, padding included
  uint64_t refreshes = 0;    // stale entries recomputed
  uint64_t fromLists = 0;    // of those, answered from candidate lists
  uint64_t rescans = 0;      // of those, answered by a (pruned) rescan
  uint64_t sharedRescans = 0;  // of those, with their bounds in shares (rescan.h)
  uint64_t helpedRounds = 0;   // second rounds offered to idle threads (rescan.h)
};

// The kernels chosen for the run and what they read.
struct EngineKernels {
  KernelKind kind = KernelKind::portable;  // of the bound kernel
  KernelKind tileKind = KernelKind::portable;
  // Whether the tile kernel is still to be timed (automatic kind, tiles not
  // yet holding counts).
  bool timeTiles = false;
  TileKernel tile = nullptr;
  BoundKernel bound = nullptr;
  LnFactorialTable table;
  DeltaContext deltas;   // taken again at every layout of the tiles
  BoundContext bounds;
  BoundContext envelopes;  // of the tiles' made-up clusters (bounds.h)
};

// What one step of a pass leaves for a later one.
struct PassMemory {
  // The first refresh has set the lists and floors up; before it, the
  // floors cover nothing and no cluster may be skipped.
  bool listsReady = false;
  // Every row whose entry may be stale (and maybe others): the refresh looks
  // only at these. All live rows before the first refresh.
  std::vector<uint32_t> staleRows;
  // The best listed later partner of entries the neighbour update made
  // stale, found on its workers once their lists were final for the pass:
  // valid for the refresh that follows the update numbered listAnswerPass.
  std::vector<Best> listAnswer;          // [row]
  std::vector<uint32_t> listAnswerPass;  // [row]
  uint32_t updates = 0;                  // neighbour updates so far
};

struct FastEngine {
  uint32_t rows = 0;
  bool failed = false;               // out of memory: the direct scans run instead
  EngineKernels kernels;
  SlotMirror mirror;                 // the live clusters by slot (slot_mirror.h)
  ContentClasses classes;            // the live clusters by content (content_classes.h)
  TilePolicy tilePolicy;             // whether the tiles keep their counts
  CandidateLists lists;              // exact deltas remembered (candidates.h)
  Floors floors;                     // lower bounds of the deltas not listed
  PassMemory memory;
  RescanScratch rescans;             // the refresh's batch arrays (rescan.h)
  NeighbourScratch neighbours;       // the neighbour update's arrays
  std::vector<WorkerScratch> workers;  // [worker thread]
  std::unique_ptr<WorkerPool> pool;
  FastScanCounters counters;
};

// Sets the engine up for `state`, fresh from startClustering, replacing
// whatever it held. Fails with *error set if the arrays cannot be allocated
// or the processor lacks the kernel asked for.
bool startFastScans(FastEngine& engine, const ClusteringState& state, const FastScanOptions& options,
                    std::string* error);

// The scans to hand to runPasses after startFastScans; they use `engine`,
// which must outlive the passes.
PassScans fastScans(FastEngine& engine);

// Under the automatic kind, once the tiles hold counts: times the tile
// kernels on them and takes the fastest (kernels.h). Does nothing after.
void chooseTileKernel(FastEngine& e, const ClusteringState& state);

// Whether findPair checks the engine's invariants at the start of every
// pass: in debug builds, and in builds configured with CHECK_INVARIANTS
// (the sanitizer builds); not in Release.
#if !defined(NDEBUG) || defined(CHECK_INVARIANTS)
constexpr bool kCheckInvariants = true;
#else
constexpr bool kCheckInvariants = false;
#endif

// Checks the engine's invariants against the state at the start of a pass
// (invariants.cpp): the mirror's maps and the cached entries; every 16th
// pass some hundreds of lists in turn, and on small runs one cluster's list and floors against
// its exact deltas. A broken one stops the program with a message on stderr.
void checkEngineInvariants(const FastEngine& engine, const ClusteringState& state);

// The exact part of the check, for the cluster at `position`: every current
// list entry holds the exact delta, every unlisted live cluster's delta is
// at least the floor of its side.
void checkOneClusterExactly(const FastEngine& engine, const ClusteringState& state, uint32_t position);
