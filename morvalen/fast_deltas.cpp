#include "fast_deltas.h"

#include <algorithm>
#include <cstring>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define MORVALEN_X86_KERNELS 1
#endif

void* allocateLarge(size_t bytes) {
  const size_t kHugePage = size_t(1) << 21;
  size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
  if (rounded == 0) rounded = kHugePage;
  void* memory = nullptr;
  if (posix_memalign(&memory, kHugePage, rounded) != 0) return nullptr;
#ifdef MADV_HUGEPAGE
  madvise(memory, rounded, MADV_HUGEPAGE);  // advice only: failure is harmless
#endif
  return memory;
}

void fillLnFactorialTable(LnFactorialTable& table, int32_t size) {
  table.values.resize(size_t(size));
  for (int32_t x = 0; x < size; x++) table.values[size_t(x)] = lnFactorial(x);
  table.size = size;
}

bool allocateClusterTiles(ClusterTiles& tiles, uint32_t columns, uint32_t slots, std::string* error) {
  tiles.columns = columns;
  tiles.maskWords = (columns + 63) / 64;
  tiles.tileCount = (slots + kLanes - 1) / kLanes;
  size_t lanes = size_t(tiles.tileCount) * kLanes;
  try {
    tiles.masks.assign(size_t(tiles.tileCount) * tiles.maskWords, 0);
    tiles.ranks.assign(size_t(tiles.tileCount) * tiles.maskWords, 0);
    tiles.offsets.assign(tiles.tileCount, 0);
    tiles.capacity.assign(tiles.tileCount, 0);
    tiles.totals.assign(lanes, 0);
    tiles.costs.assign(lanes, 0.0);
  } catch (const std::bad_alloc&) {
    *error = "cannot allocate the tiles for " + std::to_string(slots) + " clusters: out of memory";
    return false;
  }
  return true;
}

// The union of the lanes' nonzero columns; returns how many there are.
static uint32_t tileMask(const ClusterTiles& tiles, const TileContents& contents, uint64_t* mask) {
  for (uint32_t w = 0; w < tiles.maskWords; w++) mask[w] = 0;
  for (uint32_t lane = 0; lane < kLanes; lane++) {
    const int32_t* row = contents.rows[lane];
    if (!row) continue;
    if (contents.masks[lane]) {
      for (uint32_t w = 0; w < tiles.maskWords; w++) mask[w] |= contents.masks[lane][w];
      continue;
    }
    for (uint32_t k = 0; k < tiles.columns; k++)
      if (row[k] != 0) mask[k / 64] |= uint64_t(1) << (k % 64);
  }
  uint32_t count = 0;
  for (uint32_t w = 0; w < tiles.maskWords; w++) count += uint32_t(__builtin_popcountll(mask[w]));
  return count;
}

// Writes the tile's columns at its offset, and its totals and costs.
void writeTile(ClusterTiles& tiles, const LnFactorialTable& table, uint32_t tile, const TileContents& contents) {
  const uint64_t* mask = tiles.masks.data() + size_t(tile) * tiles.maskWords;
  uint32_t* ranks = tiles.ranks.data() + size_t(tile) * tiles.maskWords;
  size_t stored = tiles.offsets[tile];
  for (uint32_t w = 0; w < tiles.maskWords; w++) {
    ranks[w] = uint32_t(stored - tiles.offsets[tile]);
    for (uint64_t bits = mask[w]; bits != 0; bits &= bits - 1, stored++) {
      uint32_t k = w * 64 + uint32_t(__builtin_ctzll(bits));
      int32_t* counts = tiles.counts.data() + stored * kLanes;
      double* terms = tiles.terms.data() + stored * kLanes;
      for (uint32_t lane = 0; lane < kLanes; lane++) {
        int32_t count = contents.rows[lane] ? contents.rows[lane][k] : 0;
        counts[lane] = count;
        terms[lane] = tableLnFactorial(table, count);
      }
    }
  }
  for (uint32_t lane = 0; lane < kLanes; lane++) {
    size_t slot = size_t(tile) * kLanes + lane;
    tiles.totals[slot] = contents.rows[lane] ? contents.totals[lane] : 0;
    tiles.costs[slot] = contents.rows[lane] ? double(contents.costs[lane]) : 0.0;
  }
}

bool planTiles(ClusterTiles& tiles, uint32_t tileCount, TileSource source, void* context, std::string* error) {
  std::vector<uint64_t> masks;
  std::vector<uint32_t> sizes;
  try {
    masks.resize(size_t(tileCount) * tiles.maskWords);
    sizes.resize(tileCount);
  } catch (const std::bad_alloc&) {
    *error = "cannot lay out the tiles: out of memory";
    return false;
  }
  size_t needed = 0;
  // Merged clusters widen their tiles: each gets room to grow in place, and
  // the arena room for tiles that outgrow theirs.
  for (uint32_t t = 0; t < tileCount; t++) {
    TileContents contents;
    source(context, t, &contents);
    uint32_t size = tileMask(tiles, contents, masks.data() + size_t(t) * tiles.maskWords);
    sizes[t] = std::min(tiles.columns, size + size / 2 + 4);
    needed += sizes[t];
  }
  size_t capacity = needed + needed / 4 + 4 * size_t(tiles.columns) + 1;
  if (capacity > tiles.arenaCapacity) {
    if (capacity > SIZE_MAX / kLanes / sizeof(double) || !tiles.counts.allocate(capacity * kLanes) ||
        !tiles.terms.allocate(capacity * kLanes)) {
      *error = "cannot allocate the tiles for " + std::to_string(size_t(tileCount) * kLanes) +
               " clusters: out of memory";
      return false;
    }
  } else {
    capacity = tiles.arenaCapacity;  // the columns are rewritten in place
  }
  std::copy(masks.begin(), masks.end(), tiles.masks.begin());
  std::fill(tiles.masks.begin() + masks.size(), tiles.masks.end(), 0);
  std::copy(sizes.begin(), sizes.end(), tiles.capacity.begin());
  std::fill(tiles.capacity.begin() + tileCount, tiles.capacity.end(), 0);
  tiles.arenaCapacity = capacity;
  tiles.arenaUsed = 0;
  for (uint32_t t = 0; t < tileCount; t++) {
    tiles.offsets[t] = tiles.arenaUsed;
    tiles.arenaUsed += tiles.capacity[t];
  }
  return true;
}

bool layOutTiles(ClusterTiles& tiles, const LnFactorialTable& table, uint32_t tileCount, TileSource source,
                 void* context, std::string* error) {
  if (!planTiles(tiles, tileCount, source, context, error)) return false;
  for (uint32_t t = 0; t < tileCount; t++) {
    TileContents contents;
    source(context, t, &contents);
    writeTile(tiles, table, t, contents);
  }
  return true;
}

bool storeTile(ClusterTiles& tiles, const LnFactorialTable& table, uint32_t tile, const TileContents& contents) {
  std::vector<uint64_t> mask(tiles.maskWords);
  uint32_t count = tileMask(tiles, contents, mask.data());
  if (count > tiles.capacity[tile]) {
    if (tiles.arenaUsed + count > tiles.arenaCapacity) return false;
    tiles.offsets[tile] = tiles.arenaUsed;
    tiles.capacity[tile] = count;
    tiles.arenaUsed += count;
  }
  std::copy(mask.begin(), mask.end(), tiles.masks.begin() + size_t(tile) * tiles.maskWords);
  writeTile(tiles, table, tile, contents);
  return true;
}

bool storeLane(ClusterTiles& tiles, const LnFactorialTable& table, uint32_t slot, const int32_t* row,
               int32_t total, float cost) {
  uint32_t tile = slot / kLanes;
  uint32_t lane = slot % kLanes;
  const uint64_t* mask = tiles.masks.data() + size_t(tile) * tiles.maskWords;
  if (row) {
    for (uint32_t k = 0; k < tiles.columns; k++)
      if (row[k] != 0 && (mask[k / 64] >> (k % 64) & 1) == 0) return false;
  }
  size_t stored = tiles.offsets[tile];
  for (uint32_t w = 0; w < tiles.maskWords; w++) {
    for (uint64_t bits = mask[w]; bits != 0; bits &= bits - 1, stored++) {
      int32_t count = row ? row[w * 64 + uint32_t(__builtin_ctzll(bits))] : 0;
      tiles.counts.data()[stored * kLanes + lane] = count;
      tiles.terms.data()[stored * kLanes + lane] = tableLnFactorial(table, count);
    }
  }
  tiles.totals[slot] = row ? total : 0;
  tiles.costs[slot] = row ? double(cost) : 0.0;
  return true;
}

float tableRowCost(const LnFactorialTable& table, const int32_t* row, uint32_t columns, int32_t total,
                   double constant) {
  return rowCostWith(row, columns, total, constant, [&](int32_t x) { return tableLnFactorial(table, x); });
}

void fixedColumnTerms(const LnFactorialTable& table, const int32_t* counts, uint32_t columns, double* terms) {
  for (uint32_t k = 0; k < columns; k++) terms[k] = tableLnFactorial(table, counts[k]);
}

void rowColumnMask(const int32_t* counts, uint32_t columns, uint64_t* mask) {
  for (uint32_t w = 0; w < (columns + 63) / 64; w++) mask[w] = 0;
  for (uint32_t k = 0; k < columns; k++)
    if (counts[k] != 0) mask[k / 64] |= uint64_t(1) << (k % 64);
}

// Calls visit(k, stored) for every column nonzero in `a` or in the tile, in
// ascending order; `stored` is the column's index in the arena, or SIZE_MAX
// when the tile has no count there.
template <typename Visit>
static inline void forEachColumn(const ClusterTiles& tiles, const FixedCluster& a, uint32_t tile, Visit visit) {
  const uint64_t* tileMask = tiles.masks.data() + size_t(tile) * tiles.maskWords;
  const uint32_t* ranks = tiles.ranks.data() + size_t(tile) * tiles.maskWords;
  for (uint32_t w = 0; w < tiles.maskWords; w++) {
    uint64_t inTile = tileMask[w];
    // The loop visits every column of the tile in ascending order, so the
    // tile's columns met so far count the stored columns before this one.
    size_t stored = tiles.offsets[tile] + ranks[w];
    for (uint64_t bits = a.mask[w] | inTile; bits != 0; bits &= bits - 1) {
      uint64_t bit = bits & (~bits + 1);
      uint32_t k = w * 64 + uint32_t(__builtin_ctzll(bits));
      visit(k, (inTile & bit) ? stored++ : SIZE_MAX);
    }
  }
}

// The rest of mergeDelta once each lane's count sum S is known:
// ((T - S) - F) - (cost a + cost lane), with T from the wrapped totals.
static void finishTile(const DeltaContext& context, const FixedCluster& a, uint32_t tile, const double* sums,
                       double* out) {
  const ClusterTiles& tiles = *context.tiles;
  int32_t columnsTerm = columnsAsTerm(tiles.columns);
  for (uint32_t lane = 0; lane < kLanes; lane++) {
    size_t slot = size_t(tile) * kLanes + lane;
    int32_t argument = wrappingAdd(wrappingAdd(wrappingAdd(a.total, tiles.totals[slot]), -1), columnsTerm);
    double totalTerm = tableLnFactorial(*context.table, argument);
    out[lane] = ((totalTerm - sums[lane]) - context.constant) - (a.cost + tiles.costs[slot]);
  }
}

// Each kernel visits the columns where `a` or some lane has a count, in
// ascending order. A column the tile does not store has no count in any lane:
// every lane's term is lnFactorial(a's count). A stored column where `a` has
// no count gives each lane lnFactorial(its own count), ready in the tile.
// Only the columns where both may have counts need a lookup per lane.

static void portableKernel(const DeltaContext& context, const FixedCluster& a, uint32_t tile, double* out) {
  const LnFactorialTable& table = *context.table;
  const ClusterTiles& tiles = *context.tiles;
  double sums[kLanes] = {};
  forEachColumn(tiles, a, tile, [&](uint32_t k, size_t stored) {
    const int32_t* column = stored == SIZE_MAX ? nullptr : tiles.counts.data() + stored * kLanes;
    int32_t countA = a.counts[k];
    for (uint32_t lane = 0; lane < kLanes; lane++) {
      int32_t sum = column ? wrappingAdd(countA, column[lane]) : countA;
      if (sum > 1) sums[lane] += tableLnFactorial(table, sum);
    }
  });
  finishTile(context, a, tile, sums, out);
}

// lnFactorial(x) for the summed count of a column; +0.0 for x < 2, as the
// table holds lnFactorial(0) = 0 and lnFactorial(1) = +0.0.
static inline double summedTerm(const LnFactorialTable& table, int32_t x) {
  if (uint32_t(x) < uint32_t(table.size)) return table.values[uint32_t(x)];
  return tableLnFactorial(table, x);
}

void partnerDeltas(const DeltaContext& context, const FixedCluster& a, const PartnerCluster* partners,
                   uint32_t count, double* out) {
  constexpr uint32_t kWays = 4;
  const LnFactorialTable& table = *context.table;
  const ClusterTiles& tiles = *context.tiles;
  for (uint32_t start = 0; start < count; start += kWays) {
    // A short last group repeats its last partner.
    const PartnerCluster* p[kWays];
    for (uint32_t i = 0; i < kWays; i++) p[i] = &partners[std::min(start + i, count - 1)];
    double sums[kWays] = {};
    for (uint32_t w = 0; w < tiles.maskWords; w++) {
      uint64_t bits = a.mask[w] | p[0]->mask[w] | p[1]->mask[w] | p[2]->mask[w] | p[3]->mask[w];
      for (; bits != 0; bits &= bits - 1) {
        uint32_t k = w * 64 + uint32_t(__builtin_ctzll(bits));
        int32_t countA = a.counts[k];
        for (uint32_t i = 0; i < kWays; i++) sums[i] += summedTerm(table, wrappingAdd(countA, p[i]->counts[k]));
      }
    }
    for (uint32_t i = 0; i < kWays && start + i < count; i++) {
      int32_t argument =
          wrappingAdd(wrappingAdd(wrappingAdd(a.total, p[i]->total), -1), columnsAsTerm(tiles.columns));
      double totalTerm = tableLnFactorial(table, argument);
      out[start + i] = ((totalTerm - sums[i]) - context.constant) - (a.cost + double(p[i]->cost));
    }
  }
}

#if MORVALEN_X86_KERNELS
// Replaces the terms of lanes whose summed count lies beyond the table by
// lnFactorial itself.
static void patchLargeTerms(const LnFactorialTable& table, const int32_t* sums, uint32_t laneMask, double* terms) {
  while (laneMask != 0) {
    uint32_t lane = uint32_t(__builtin_ctz(laneMask));
    terms[lane] = tableLnFactorial(table, sums[lane]);
    laneMask &= laneMask - 1;
  }
}


// Adds one column's terms for 8 lanes (two groups of 4) to `sum`.
__attribute__((target("avx2"))) static inline void avx2Column(const LnFactorialTable& table, const int32_t* column,
                                                              int32_t countA, __m256d* sum) {
  const __m256i one = _mm256_set1_epi32(1);
  const __m256i size = _mm256_set1_epi32(table.size);
  // Vector integer addition wraps like wrappingAdd.
  __m256i x = _mm256_add_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(column)), _mm256_set1_epi32(countA));
  __m256i inTable = _mm256_and_si256(_mm256_cmpgt_epi32(x, one), _mm256_cmpgt_epi32(size, x));
  __m256i large = _mm256_cmpgt_epi32(x, _mm256_sub_epi32(size, one));
  __m256d terms[2];
  for (int group = 0; group < 2; group++) {
    __m128i index = group == 0 ? _mm256_castsi256_si128(x) : _mm256_extracti128_si256(x, 1);
    __m128i lanes = group == 0 ? _mm256_castsi256_si128(inTable) : _mm256_extracti128_si256(inTable, 1);
    __m256d mask = _mm256_castsi256_pd(_mm256_cvtepi32_epi64(lanes));
    terms[group] = _mm256_mask_i32gather_pd(_mm256_setzero_pd(), table.values.data(), index, mask, 8);
  }
  uint32_t largeLanes = uint32_t(_mm256_movemask_ps(_mm256_castsi256_ps(large)));
  if (largeLanes != 0) {
    alignas(32) int32_t args[8];
    alignas(32) double patched[8];
    _mm256_store_si256(reinterpret_cast<__m256i*>(args), x);
    _mm256_store_pd(patched, terms[0]);
    _mm256_store_pd(patched + 4, terms[1]);
    patchLargeTerms(table, args, largeLanes, patched);
    terms[0] = _mm256_load_pd(patched);
    terms[1] = _mm256_load_pd(patched + 4);
  }
  sum[0] = _mm256_add_pd(sum[0], terms[0]);
  sum[1] = _mm256_add_pd(sum[1], terms[1]);
}

__attribute__((target("avx2"))) static void avx2Kernel(const DeltaContext& context, const FixedCluster& a,
                                                       uint32_t tile, double* out) {
  const ClusterTiles& tiles = *context.tiles;
  const uint64_t* tileMask = tiles.masks.data() + size_t(tile) * tiles.maskWords;
  const uint32_t* ranks = tiles.ranks.data() + size_t(tile) * tiles.maskWords;
  __m256d sum[4] = {_mm256_setzero_pd(), _mm256_setzero_pd(), _mm256_setzero_pd(), _mm256_setzero_pd()};
  for (uint32_t w = 0; w < tiles.maskWords; w++) {
    uint64_t inTile = tileMask[w];
    // The loop visits every column of the tile in ascending order, so the
    // tile's columns met so far count the stored columns before this one.
    size_t stored = tiles.offsets[tile] + ranks[w];
    for (uint64_t bits = a.mask[w] | inTile; bits != 0; bits &= bits - 1) {
      uint64_t bit = bits & (~bits + 1);
      uint32_t k = w * 64 + uint32_t(__builtin_ctzll(bits));
      if ((inTile & bit) == 0) {
        __m256d termA = _mm256_set1_pd(a.terms[k]);
        for (int q = 0; q < 4; q++) sum[q] = _mm256_add_pd(sum[q], termA);
        continue;
      }
      size_t index = stored++;
      if (a.counts[k] == 0) {
        const double* terms = tiles.terms.data() + index * kLanes;
        for (int q = 0; q < 4; q++) sum[q] = _mm256_add_pd(sum[q], _mm256_loadu_pd(terms + 4 * q));
        continue;
      }
      const int32_t* column = tiles.counts.data() + index * kLanes;
      avx2Column(*context.table, column, a.counts[k], sum);
      avx2Column(*context.table, column + 8, a.counts[k], sum + 2);
    }
  }
  alignas(32) double sums[kLanes];
  for (int q = 0; q < 4; q++) _mm256_store_pd(sums + 4 * q, sum[q]);
  finishTile(context, a, tile, sums, out);
}

// Adds one stored column's terms to low (lanes 0-7) and high (lanes 8-15):
// lnFactorial(countA + the lane's count), from the table or, beyond it, from
// lnFactorial itself; a sum below 2 adds +0.0. No branch on the data but the
// rare one for sums beyond the table: a branch on whether a group of lanes
// is empty follows the data and is poorly predicted.
__attribute__((target("avx512f,avx512vl"))) static inline void avx512Column(const LnFactorialTable& table,
                                                                           const int32_t* column, int32_t countA,
                                                                           __m512d& low, __m512d& high) {
  const __m256i addend = _mm256_set1_epi32(countA);
  const __m256i two = _mm256_set1_epi32(2);
  const __m256i room = _mm256_set1_epi32(table.size - 2);
  const __m256i size = _mm256_set1_epi32(table.size);
  // Vector integer addition wraps like wrappingAdd.
  __m256i xLow = _mm256_add_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(column)), addend);
  __m256i xHigh = _mm256_add_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(column + 8)), addend);
  // 2 <= x < size  <=>  (unsigned)(x - 2) < size - 2
  __mmask8 inLow = _mm256_cmplt_epu32_mask(_mm256_sub_epi32(xLow, two), room);
  __mmask8 inHigh = _mm256_cmplt_epu32_mask(_mm256_sub_epi32(xHigh, two), room);
  __m512d termsLow = _mm512_mask_i32gather_pd(_mm512_setzero_pd(), inLow, xLow, table.values.data(), 8);
  __m512d termsHigh = _mm512_mask_i32gather_pd(_mm512_setzero_pd(), inHigh, xHigh, table.values.data(), 8);
  uint32_t large = uint32_t(_mm256_cmpge_epi32_mask(xLow, size)) | uint32_t(_mm256_cmpge_epi32_mask(xHigh, size)) << 8;
  if (large != 0) {
    alignas(64) int32_t args[kLanes];
    alignas(64) double patched[kLanes];
    _mm256_store_si256(reinterpret_cast<__m256i*>(args), xLow);
    _mm256_store_si256(reinterpret_cast<__m256i*>(args + 8), xHigh);
    _mm512_store_pd(patched, termsLow);
    _mm512_store_pd(patched + 8, termsHigh);
    patchLargeTerms(table, args, large, patched);
    termsLow = _mm512_load_pd(patched);
    termsHigh = _mm512_load_pd(patched + 8);
  }
  low = _mm512_add_pd(low, termsLow);
  high = _mm512_add_pd(high, termsHigh);
}

__attribute__((target("avx512f,avx512vl"))) static void avx512Kernel(const DeltaContext& context,
                                                                    const FixedCluster& a, uint32_t tile,
                                                                    double* out) {
  const ClusterTiles& tiles = *context.tiles;
  const uint64_t* tileMask = tiles.masks.data() + size_t(tile) * tiles.maskWords;
  const uint32_t* ranks = tiles.ranks.data() + size_t(tile) * tiles.maskWords;
  __m512d low = _mm512_setzero_pd();
  __m512d high = _mm512_setzero_pd();
  for (uint32_t w = 0; w < tiles.maskWords; w++) {
    uint64_t inTile = tileMask[w];
    // The loop visits every column of the tile in ascending order, so the
    // tile's columns met so far count the stored columns before this one.
    size_t stored = tiles.offsets[tile] + ranks[w];
    for (uint64_t bits = a.mask[w] | inTile; bits != 0; bits &= bits - 1) {
      uint64_t bit = bits & (~bits + 1);
      uint32_t k = w * 64 + uint32_t(__builtin_ctzll(bits));
      if ((inTile & bit) == 0) {
        // No lane has a count here: every lane's term is a's.
        __m512d termA = _mm512_set1_pd(a.terms[k]);
        low = _mm512_add_pd(low, termA);
        high = _mm512_add_pd(high, termA);
        continue;
      }
      size_t index = stored++;
      if (a.counts[k] == 0) {
        // a has no count here: every lane's term is ready in the tile.
        const double* terms = tiles.terms.data() + index * kLanes;
        low = _mm512_add_pd(low, _mm512_loadu_pd(terms));
        high = _mm512_add_pd(high, _mm512_loadu_pd(terms + 8));
        continue;
      }
      const int32_t* column = tiles.counts.data() + index * kLanes;
      avx512Column(*context.table, column, a.counts[k], low, high);
    }
  }
  alignas(64) double sums[kLanes];
  _mm512_store_pd(sums, low);
  _mm512_store_pd(sums + 8, high);
  finishTile(context, a, tile, sums, out);
}

#endif

TileKernel tileKernel(KernelKind kind) {
#if MORVALEN_X86_KERNELS
  __builtin_cpu_init();
  bool hasAvx2 = __builtin_cpu_supports("avx2");
  bool hasAvx512 = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl");
#else
  const TileKernel avx2Kernel = nullptr, avx512Kernel = nullptr;
  bool hasAvx2 = false, hasAvx512 = false;
#endif
  switch (kind) {
    case KernelKind::portable:
      return portableKernel;
    case KernelKind::avx2:
      return hasAvx2 ? avx2Kernel : nullptr;
    case KernelKind::avx512:
      return hasAvx512 ? avx512Kernel : nullptr;
    case KernelKind::automatic:
      break;
  }
  return hasAvx512 ? avx512Kernel : hasAvx2 ? avx2Kernel : portableKernel;
}

const char* kernelName(KernelKind kind) {
  switch (kind) {
    case KernelKind::portable:
      return "portable";
    case KernelKind::avx2:
      return "avx2";
    case KernelKind::avx512:
      return "avx512";
    case KernelKind::automatic:
      break;
  }
  return "automatic";
}
