// What the kernels read and write: plain structs of numbers and pointers.
//
// Read me first:
// - The vector kernels are compiled once per instruction set, each in a file
//   of its own built for that set (kernels_avx2.cpp, ...). A function that
//   such a file shares with the rest of the program (an inline function of a
//   common header, a member of std::vector) could be emitted there with the
//   wider instructions and picked by the linker for every caller, which would
//   then fail on a processor without them. So the kernels see only the
//   structs below, whose fields they read directly, and call out only to
//   functions defined elsewhere (lnFactorial, finishTile).
// - A context holds pointers into arrays that its owner keeps: the tiles,
//   the bound data, the ln-factorial table. It is taken afresh whenever
//   those arrays may have moved (a new arena, say).
#pragma once

#include <cstddef>
#include <cstdint>

constexpr uint32_t kLanes = 16;  // slots per tile: clusters a kernel call covers
constexpr uint32_t kAllLanes = (1u << kLanes) - 1;

// Columns are cut into at most kBoundGroups groups (bounds.h); the vector
// kernels sum the group terms in kBoundPartialSums float sums, each of at
// most kBoundGroups / kBoundPartialSums terms.
constexpr uint32_t kBoundGroups = 128;
constexpr uint32_t kBoundPartialSums = 8;
static_assert(kBoundGroups % kBoundPartialSums == 0 && kBoundGroups / kBoundPartialSums <= 16,
              "the float partial sums' rounding bound");
// The bound's correction (bounds.h) counts, for each of kCorrectionLevels
// thresholds t_j = 2^(j kCorrectionStepBits), the columns among the first
// 64 kCorrectionWords where both clusters have a count of at least t_j.
constexpr uint32_t kCorrectionLevels = 4;
constexpr uint32_t kCorrectionStepBits = 2;
constexpr uint32_t kCorrectionWords = 4;

// ---- merge deltas ------------------------------------------------------------

// A cluster's ceiling: every count of it lies in 0..ceiling. kNoCeiling
// where none is known (a negative count).
constexpr int32_t kNoCeiling = INT32_MAX;

// The cluster whose deltas a kernel computes.
struct FixedCluster {
  const int32_t* counts = nullptr;
  const uint64_t* mask = nullptr;  // its nonzero columns
  const double* terms = nullptr;   // lnFactorial of each of its counts
  int32_t total = 0;
  double cost = 0.0;  // its stored float cost, widened
  int32_t ceiling = kNoCeiling;
};

// A cluster given by its row: for deltas against scattered partners. No
// default values: arrays of them are scratch, filled as far as used.
struct PartnerCluster {
  const int32_t* counts;
  const uint64_t* mask;  // its nonzero columns
  int32_t total;
  float cost;
  int32_t ceiling;
};

// The table and the tiles (tiles.h), as the delta kernels read them.
struct DeltaContext {
  const double* lnValues = nullptr;  // lnFactorial(x) for 0 <= x < lnSize
  int32_t lnSize = 0;
  uint32_t columns = 0;
  uint32_t maskWords = 0;
  const uint64_t* masks = nullptr;   // [tile][maskWords]
  const uint32_t* ranks = nullptr;   // [tile][maskWords]
  const size_t* offsets = nullptr;   // [tile]
  const int32_t* counts = nullptr;   // [stored column][lane]
  const double* terms = nullptr;     // [stored column][lane]
  const int32_t* totals = nullptr;   // [slot]
  const double* costs = nullptr;     // [slot]
  double constant = 0.0;             // lnFactorial(K - 1)
};

// out[l] = mergeDelta(a, cluster in slot tile * kLanes + l) for every lane.
using TileKernel = void (*)(const DeltaContext& context, const FixedCluster& a, uint32_t tile, double* out);

// The rest of mergeDelta once each lane's count sum S is known:
// ((T - S) - F) - (cost a + cost lane), with T from the wrapped totals.
void finishTile(const DeltaContext& context, const FixedCluster& a, uint32_t tile, const double* sums, double* out);

// Where a column lies in the arena of a tile, when the tile stores it.
constexpr size_t kNotStored = SIZE_MAX;

// Calls visit(k, stored) for every column nonzero in `a` or in the tile, in
// ascending order; `stored` is the column's index in the arena, or
// kNotStored when no lane of the tile has a count there. This walk is the
// one every tile kernel takes.
template <typename Visit>
inline void forEachColumn(const DeltaContext& context, const FixedCluster& a, uint32_t tile, Visit visit) {
  const uint64_t* tileMask = context.masks + size_t(tile) * context.maskWords;
  const uint32_t* ranks = context.ranks + size_t(tile) * context.maskWords;
  for (uint32_t w = 0; w < context.maskWords; w++) {
    uint64_t inTile = tileMask[w];
    // The loop visits every column of the tile in ascending order, so the
    // tile's columns met so far count the stored columns before this one.
    size_t stored = context.offsets[tile] + ranks[w];
    for (uint64_t bits = a.mask[w] | inTile; bits != 0; bits &= bits - 1) {
      uint64_t bit = bits & (~bits + 1);
      uint32_t k = w * 64 + uint32_t(__builtin_ctzll(bits));
      visit(k, (inTile & bit) ? stored++ : kNotStored);
    }
  }
}

// ---- lower bounds --------------------------------------------------------------

// What the bound needs of one cluster (bounds.h).
struct BoundCluster {
  double groupSums[kBoundGroups];
  float groupSumsFloat[kBoundGroups];  // the same rounded, for the vector kernels
  float groupPhisFloat[kBoundGroups];  // phi of the group sums, rounded; 0 when no bound holds
  double total = 0.0;
  double offset = 0.0;      // cost + S - Phi; +inf when no bound holds
  double ownTerms = 0.0;    // cost + S = offset + Phi; +inf when no bound holds
  // The groups whose sum is not 0, then as many others as make the count a
  // multiple of 4 (sum_g phi(A_g + B_g) = Phi_b + the sum over any such set
  // of phi(A_g + B_g) - phi(B_g)).
  uint8_t activeGroups[kBoundGroups];
  uint32_t activeCount = 0;
  uint32_t nonzeroCount = 0;  // the groups whose sum is not 0, first in activeGroups
  // levelMasks[j]: the columns whose count is at least t_j, for the levels
  // the run takes (none where the correction does not pay). Each level's
  // columns are among the level before's, so only the first levelCount
  // levels have any; with levelCount 0 the bound takes no correction.
  uint64_t levelMasks[kCorrectionLevels][kCorrectionWords];
  uint32_t levelCount = 0;
};

// The float logarithm's tables: entry i for the mantissas whose top bits
// are i, r_i = 1 / (1 + (i + 0.5) / size) and -ln r_i (from libm, rounded).
struct BoundLogTables {
  alignas(64) float reciprocal8[8];
  alignas(64) float minusLog8[8];
  alignas(64) float reciprocal32[32];
  alignas(64) float minusLog32[32];
};

// The bound data by slot (BoundTiles, bounds.h) and the constants, as the
// bound kernels read them.
struct BoundContext {
  uint32_t groups = 0;                     // groups stored per slot
  const double* groupSums = nullptr;       // [tile][groups][kLanes]
  const double* totals = nullptr;          // [slot]
  const double* offsets = nullptr;         // [slot]
  const float* groupSumsFloat = nullptr;   // [tile][groups][kLanes]
  const float* totalsFloat = nullptr;      // [slot]
  const float* groupPhisFloat = nullptr;   // [tile][groups][kLanes]
  const double* ownTerms = nullptr;        // [slot]
  const uint64_t* levelMasks = nullptr;    // [tile][kCorrectionLevels][kCorrectionWords][kLanes]
  double constant = 0.0;          // lnFactorial(K - 1)
  double columnsLess1 = 0.0;      // K - 1
  double marginScale = 0.0;       // kMarginScale (K + kBoundGroups + 64)
  double floatMarginScale = 0.0;  // marginScale + kFloatMarginScale
  // What a column counted at the first level and at each later one adds to
  // the correction, rounded down.
  double firstLevelWeight = 0.0;
  double levelWeight = 0.0;
  BoundLogTables logTables;
};

// out[l] <= mergeDelta(a, cluster in slot tile * kLanes + l) for every lane
// l set in `lanes` (-inf for empty lanes); a kernel may fill the others too.
using BoundKernel = void (*)(const BoundContext& context, const BoundCluster& a, uint32_t tile, uint32_t lanes,
                             double* out);
