#include "fast_deltas.h"

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
  memset(memory, 0, rounded);
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
  if (columns != 0 && lanes > SIZE_MAX / sizeof(double) / columns) {
    *error = "cannot allocate the tiles for " + std::to_string(slots) + " clusters: too large";
    return false;
  }
  if (!tiles.counts.allocate(lanes * columns) || !tiles.terms.allocate(lanes * columns)) {
    *error = "cannot allocate the tiles for " + std::to_string(slots) + " clusters: out of memory";
    return false;
  }
  try {
    tiles.masks.assign(size_t(tiles.tileCount) * tiles.maskWords, 0);
    tiles.totals.assign(lanes, 0);
    tiles.costs.assign(lanes, 0.0);
  } catch (const std::bad_alloc&) {
    *error = "cannot allocate the tiles for " + std::to_string(slots) + " clusters: out of memory";
    return false;
  }
  return true;
}

static int32_t* tileCounts(ClusterTiles& tiles, uint32_t tile) {
  return tiles.counts.data() + size_t(tile) * tiles.columns * kLanes;
}

void storeSlot(ClusterTiles& tiles, const LnFactorialTable& table, uint32_t slot, const int32_t* counts,
               int32_t total, float cost) {
  uint32_t tile = slot / kLanes;
  uint32_t lane = slot % kLanes;
  int32_t* column = tileCounts(tiles, tile) + lane;
  double* terms = tiles.terms.data() + size_t(tile) * tiles.columns * kLanes + lane;
  uint64_t* mask = tiles.masks.data() + size_t(tile) * tiles.maskWords;
  for (uint32_t k = 0; k < tiles.columns; k++) {
    column[size_t(k) * kLanes] = counts[k];
    terms[size_t(k) * kLanes] = tableLnFactorial(table, counts[k]);
    if (counts[k] != 0) mask[k / 64] |= uint64_t(1) << (k % 64);
  }
  tiles.totals[slot] = total;
  tiles.costs[slot] = double(cost);
}

void rebuildTileMask(ClusterTiles& tiles, uint32_t tile) {
  const int32_t* column = tileCounts(tiles, tile);
  uint64_t* mask = tiles.masks.data() + size_t(tile) * tiles.maskWords;
  for (uint32_t w = 0; w < tiles.maskWords; w++) mask[w] = 0;
  for (uint32_t k = 0; k < tiles.columns; k++) {
    bool any = false;
    for (uint32_t lane = 0; lane < kLanes; lane++) any |= column[size_t(k) * kLanes + lane] != 0;
    if (any) mask[k / 64] |= uint64_t(1) << (k % 64);
  }
}

void fixedColumnTerms(const LnFactorialTable& table, const int32_t* counts, uint32_t columns, double* terms) {
  for (uint32_t k = 0; k < columns; k++) terms[k] = tableLnFactorial(table, counts[k]);
}

void rowColumnMask(const int32_t* counts, uint32_t columns, uint64_t* mask) {
  for (uint32_t w = 0; w < (columns + 63) / 64; w++) mask[w] = 0;
  for (uint32_t k = 0; k < columns; k++)
    if (counts[k] != 0) mask[k / 64] |= uint64_t(1) << (k % 64);
}

// Calls visit(k) for every column nonzero in `a` or in the tile, ascending.
template <typename Visit>
static inline void forEachColumn(const DeltaContext& context, const FixedCluster& a, uint32_t tile, Visit visit) {
  const ClusterTiles& tiles = *context.tiles;
  const uint64_t* tileMask = tiles.masks.data() + size_t(tile) * tiles.maskWords;
  for (uint32_t w = 0; w < tiles.maskWords; w++) {
    uint64_t bits = a.mask[w] | tileMask[w];
    while (bits != 0) {
      visit(w * 64 + uint32_t(__builtin_ctzll(bits)));
      bits &= bits - 1;
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

static const int32_t* columnOf(const ClusterTiles& tiles, uint32_t tile, uint32_t k) {
  return tiles.counts.data() + (size_t(tile) * tiles.columns + k) * kLanes;
}

static void portableKernel(const DeltaContext& context, const FixedCluster& a, uint32_t tile, double* out) {
  const LnFactorialTable& table = *context.table;
  double sums[kLanes] = {};
  forEachColumn(context, a, tile, [&](uint32_t k) {
    const int32_t* column = columnOf(*context.tiles, tile, k);
    int32_t countA = a.counts[k];
    for (uint32_t lane = 0; lane < kLanes; lane++) {
      int32_t sum = wrappingAdd(countA, column[lane]);
      if (sum > 1) sums[lane] += tableLnFactorial(table, sum);
    }
  });
  finishTile(context, a, tile, sums, out);
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

// The columns a kernel visits: those nonzero in `a` or in some lane of the
// tile, as mask words; bit b of word w is column 64 w + b.
static inline uint64_t visitedColumns(const DeltaContext& context, const FixedCluster& a, uint32_t tile, uint32_t w) {
  return a.mask[w] | context.tiles->masks[size_t(tile) * context.tiles->maskWords + w];
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
  __m256d sum[4] = {_mm256_setzero_pd(), _mm256_setzero_pd(), _mm256_setzero_pd(), _mm256_setzero_pd()};
  for (uint32_t w = 0; w < context.tiles->maskWords; w++) {
    for (uint64_t bits = visitedColumns(context, a, tile, w); bits != 0; bits &= bits - 1) {
      uint32_t k = w * 64 + uint32_t(__builtin_ctzll(bits));
      const int32_t* column = columnOf(*context.tiles, tile, k);
      avx2Column(*context.table, column, a.counts[k], sum);
      avx2Column(*context.table, column + 8, a.counts[k], sum + 2);
    }
  }
  alignas(32) double sums[kLanes];
  for (int q = 0; q < 4; q++) _mm256_store_pd(sums + 4 * q, sum[q]);
  finishTile(context, a, tile, sums, out);
}

#ifdef MANUAL_GATHER
#include "/tmp/fastwork/manual.inc"
#endif
// Adds one column's terms for 8 lanes to `sum`. When no lane of the group
// has a count in this column, every lane's term is lnFactorial(countA), the
// same value, and no table lookup per lane is needed.
__attribute__((target("avx512f,avx512vl"))) static inline void avx512Group(const LnFactorialTable& table, __m256i counts,
                                                                  int32_t countA, double termA, __m512d& sum) {
  if (_mm256_testz_si256(counts, counts)) {
    sum = _mm512_add_pd(sum, _mm512_set1_pd(termA));
    return;
  }
  __m256i x = _mm256_add_epi32(counts, _mm256_set1_epi32(countA));
  // 2 <= x < size  <=>  (unsigned)(x - 2) < size - 2
  __mmask8 inTable = _mm256_cmplt_epu32_mask(_mm256_sub_epi32(x, _mm256_set1_epi32(2)),
                                             _mm256_set1_epi32(table.size - 2));
  __mmask8 large = _mm256_cmpge_epi32_mask(x, _mm256_set1_epi32(table.size));
#ifdef MANUAL_GATHER
  __m512d terms = manualGather(table.values.data(), _mm256_maskz_mov_epi32(inTable, x));
#else
  __m512d terms = _mm512_mask_i32gather_pd(_mm512_setzero_pd(), inTable, x, table.values.data(), 8);
#endif
  if (large != 0) {
    alignas(64) int32_t args[8];
    alignas(64) double patched[8];
    _mm256_store_si256(reinterpret_cast<__m256i*>(args), x);
    _mm512_store_pd(patched, terms);
    patchLargeTerms(table, args, large, patched);
    terms = _mm512_load_pd(patched);
  }
  sum = _mm512_add_pd(sum, terms);
}

__attribute__((target("avx512f,avx512vl"))) static void avx512Kernel(const DeltaContext& context, const FixedCluster& a,
                                                           uint32_t tile, double* out) {
  __m512d low = _mm512_setzero_pd();
  __m512d high = _mm512_setzero_pd();
  const LnFactorialTable& table = *context.table;
  for (uint32_t w = 0; w < context.tiles->maskWords; w++) {
    for (uint64_t bits = visitedColumns(context, a, tile, w); bits != 0; bits &= bits - 1) {
      uint32_t k = w * 64 + uint32_t(__builtin_ctzll(bits));
#ifndef NO_TILE_TERMS
      if (a.counts[k] == 0) {
        const double* terms = context.tiles->terms.data() + (size_t(tile) * context.tiles->columns + k) * kLanes;
        low = _mm512_add_pd(low, _mm512_loadu_pd(terms));
        high = _mm512_add_pd(high, _mm512_loadu_pd(terms + 8));
        continue;
      }
#endif
      const int32_t* column = columnOf(*context.tiles, tile, k);
      double termA = a.terms[k];
      avx512Group(table, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(column)), a.counts[k], termA, low);
      avx512Group(table, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(column + 8)), a.counts[k], termA, high);
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
