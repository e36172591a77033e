// Merge deltas of one cluster against many, evaluated side by side with the
// same bits as mergeDelta (cost_model.h).
//
// Read me first:
// - The live clusters are mirrored in slots, kLanes slots to a tile. A tile
//   stores only its columns (those where some lane has a nonzero count), each
//   as kLanes counts side by side and kLanes ready terms lnFactorial(count),
//   so one vector load fetches a column for kLanes clusters. It also keeps
//   the totals and the costs (widened to double). Clusters with similar
//   columns share tiles, which keeps tiles small and the columns a kernel
//   visits (the tile's and the fixed cluster's) few.
// - A tile kernel computes the deltas of one fixed cluster `a` against the
//   kLanes clusters of a tile, one sum per lane. Each lane's sum runs over the
//   columns in ascending order, as mergeDelta's does; vectors run across
//   clusters, never inside one sum, so no sum is reassociated.
// - Why the bits are those of mergeDelta:
//   * lnFactorial values come from a table filled by lnFactorial itself, so an
//     entry has the bits of the call it replaces; arguments beyond the table
//     call lnFactorial. Where the fixed cluster has no count in a column, each
//     lane's term is lnFactorial of the lane's own count, which the tile keeps
//     ready; where no lane has a count, every lane's term is lnFactorial of
//     the fixed cluster's count. Both are the same calls, made earlier.
//   * A column whose summed count is below 2 contributes lnFactorial = +0.0
//     (0 for x < 1 by definition, (1 - 1) + 1.5 * ln 1 = +0.0 for x = 1).
//     The sum starts at +0.0 and every term is >= +0.0, so it is never -0.0,
//     and s + 0.0 == s exactly for such s: skipping the term, or adding +0.0
//     in a masked lane, changes nothing. Columns where neither cluster has a
//     nonzero count are skipped for that reason.
//   * Integer sums wrap in 32 bits, in vectors as in mergeDelta; the double
//     operations are the same IEEE operations in the same order per lane,
//     rounded to nearest, with no contraction (-ffp-contract=off and no FMA
//     intrinsics).
#pragma once

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "cost_model.h"

constexpr uint32_t kLanes = 16;

// lnFactorial for small arguments from a table computed by lnFactorial.
struct LnFactorialTable {
  std::vector<double> values;  // values[x] == lnFactorial(x), 0 <= x < size
  int32_t size = 0;
};

void fillLnFactorialTable(LnFactorialTable& table, int32_t size);

inline double tableLnFactorial(const LnFactorialTable& table, int32_t x);

// Memory (uninitialised) for arrays that scans stream through: 2 MiB aligned and,
// where the system allows, backed by huge pages, so that sweeps over tens of
// megabytes do not spend their time on TLB misses. Null when out of memory.
void* allocateLarge(size_t bytes);

template <typename T>
class LargeArray {
 public:
  LargeArray() = default;
  LargeArray(const LargeArray&) = delete;
  LargeArray& operator=(const LargeArray&) = delete;
  ~LargeArray() { free(data_); }
  // Replaces the array by `count` uninitialised entries; on failure the old
  // one stays.
  bool allocate(size_t count) {
    T* fresh = static_cast<T*>(allocateLarge(count * sizeof(T)));
    if (!fresh) return false;
    free(data_);
    data_ = fresh;
    return true;
  }
  T* data() { return data_; }
  const T* data() const { return data_; }

 private:
  T* data_ = nullptr;
};

// Clusters by slot, kLanes slots per tile; the stored columns of all tiles
// lie in one arena.
struct ClusterTiles {
  uint32_t columns = 0;
  uint32_t maskWords = 0;  // 64-bit words of a column mask
  uint32_t tileCount = 0;
  std::vector<uint64_t> masks;     // [tile][maskWords]: the tile's columns
  std::vector<uint32_t> ranks;     // [tile][maskWords]: its columns in earlier words
  std::vector<size_t> offsets;     // [tile]: its first stored column in the arena
  std::vector<uint32_t> capacity;  // [tile]: stored columns it has room for
  size_t arenaUsed = 0;            // stored columns
  size_t arenaCapacity = 0;
  LargeArray<int32_t> counts;      // [stored column][lane]
  LargeArray<double> terms;        // [stored column][lane]: lnFactorial(count)
  std::vector<int32_t> totals;     // [slot]
  std::vector<double> costs;       // [slot]
};

// What a tile holds: per lane a row of counts (null for an empty lane), its
// total and its stored cost.
struct TileContents {
  const int32_t* rows[kLanes];
  // The nonzero columns of each row (maskWords words), where the caller
  // keeps them; null to have them found from the row.
  const uint64_t* masks[kLanes] = {};
  int32_t totals[kLanes];
  float costs[kLanes];
};

// Sizes the per-slot and per-tile arrays for `slots` slots; the arena comes
// with planTiles.
bool allocateClusterTiles(ClusterTiles& tiles, uint32_t columns, uint32_t slots, std::string* error);

// Plans tiles 0..tileCount-1 afresh, each from source(context, tile,
// &contents): their columns and their room in the arena, with some room to
// grow, in a new arena when the old one is too small. Each tile is then
// unusable until writeTile writes it. Fails when out of memory; the tiles
// are unusable then.
using TileSource = void (*)(void* context, uint32_t tile, TileContents* contents);
bool planTiles(ClusterTiles& tiles, uint32_t tileCount, TileSource source, void* context, std::string* error);

// Writes a planned tile's columns from `contents`, as planTiles saw them.
// It touches only that tile's part of the arena, so tiles may be written
// side by side.
void writeTile(ClusterTiles& tiles, const LnFactorialTable& table, uint32_t tile, const TileContents& contents);

// planTiles, then every tile written in turn.
bool layOutTiles(ClusterTiles& tiles, const LnFactorialTable& table, uint32_t tileCount, TileSource source,
                 void* context, std::string* error);

// Stores one tile anew. False when it no longer fits the arena: lay all tiles
// out again then.
bool storeTile(ClusterTiles& tiles, const LnFactorialTable& table, uint32_t tile, const TileContents& contents);

// Rewrites one lane of a tile in place (`row` null empties it). False, with
// nothing changed, when the row has a count in a column the tile does not
// store: store the whole tile then. A stored column left with no count in
// any lane stays stored; its terms are exact all the same.
bool storeLane(ClusterTiles& tiles, const LnFactorialTable& table, uint32_t slot, const int32_t* row,
               int32_t total, float cost);

// rowCost with the table's lnFactorial: the same terms, added in the same
// order, so the same bits.
float tableRowCost(const LnFactorialTable& table, const int32_t* row, uint32_t columns, int32_t total,
                   double constant);

// terms[k] = lnFactorial(counts[k]): a column's term in every lane that has
// no count there.
void fixedColumnTerms(const LnFactorialTable& table, const int32_t* counts, uint32_t columns, double* terms);

// Marks the nonzero columns of a row in `mask` (maskWords words).
void rowColumnMask(const int32_t* counts, uint32_t columns, uint64_t* mask);

// The cluster whose deltas a kernel computes.
struct FixedCluster {
  const int32_t* counts = nullptr;
  const uint64_t* mask = nullptr;  // its nonzero columns
  const double* terms = nullptr;   // lnFactorial of each of its counts
  int32_t total = 0;
  double cost = 0.0;  // its stored float cost, widened
};

struct DeltaContext {
  const LnFactorialTable* table = nullptr;
  const ClusterTiles* tiles = nullptr;
  double constant = 0.0;  // lnFactorial(K - 1)
};

// out[l] = mergeDelta(a, cluster in slot tile * kLanes + l) for every lane.
using TileKernel = void (*)(const DeltaContext& context, const FixedCluster& a, uint32_t tile, double* out);

// A cluster given by its row: for deltas against scattered partners.
struct PartnerCluster {
  const int32_t* counts;
  const uint64_t* mask;  // its nonzero columns
  int32_t total;
  float cost;
};

// out[i] = mergeDelta(a, partners[i]) for i < count. Four partners at a time
// are summed side by side over the columns where a or any of the four has a
// count, in ascending order: the four sums do not wait on one another, and
// each adds +0.0 (exactly nothing) where its own pair has no count.
void partnerDeltas(const DeltaContext& context, const FixedCluster& a, const PartnerCluster* partners,
                   uint32_t count, double* out);

enum class KernelKind { automatic, portable, avx2, avx512 };

// The kernel for `kind`; `automatic` picks the widest the processor runs.
// Returns null when the processor lacks the instructions of `kind`.
TileKernel tileKernel(KernelKind kind);
const char* kernelName(KernelKind kind);

// ---- inline ----------------------------------------------------------------

inline double tableLnFactorial(const LnFactorialTable& table, int32_t x) {
  if (x < 1) return 0.0;
  if (x < table.size) return table.values[size_t(x)];
  return lnFactorial(x);
}
