// The model of one block: its byte counts and, for every byte value u, the
// cumulative count cumLow(u) = sum of counts of the values 0..u-1, kept up
// to date as counts are lowered one at a time.
//
// Two levels of 16 x 16: cumLow(u) = groupBefore[u / 16] + withinGroup[u],
// where groupBefore[g] sums the groups before g and withinGroup[u] the values
// before u in u's own group. Lowering count[u] by one lowers withinGroup for
// the later values of u's group and groupBefore for the later groups: two
// runs of 16 lanes, done as four 8-lane subtractions. All sums are integers
// no larger than the block size, so the 16-bit lanes hold them exactly and
// cumLow is the same number the plain sum over 0..u-1 gives.
#pragma once

#include <cstdint>
#include <cstring>

#include "fileio.h"
#include "range_encoder.h"

static_assert(kBlockSize <= 0xFFFF, "the counts of a block and their sums fit 16-bit lanes");

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

struct BlockModel {
  alignas(16) uint16_t withinGroup[256];
  alignas(16) uint16_t groupBefore[16];
  alignas(16) uint16_t count[256];
};

// lanes[k][j] = 1 for j > k, else 0.
struct LaterLaneMasks {
  alignas(16) uint16_t lanes[16][16];
};

constexpr LaterLaneMasks makeLaterLaneMasks() {
  LaterLaneMasks masks{};
  for (int k = 0; k < 16; k++)
    for (int j = 0; j < 16; j++) masks.lanes[k][j] = j > k ? 1 : 0;
  return masks;
}

inline constexpr LaterLaneMasks kLaterLaneMasks = makeLaterLaneMasks();

inline void buildBlockModel(const int32_t* counts, BlockModel* model) {
  uint16_t groupSum = 0;
  for (int g = 0; g < 16; g++) {
    model->groupBefore[g] = groupSum;
    uint16_t sum = 0;
    for (int j = 0; j < 16; j++) {
      int u = g * 16 + j;
      model->withinGroup[u] = sum;
      model->count[u] = uint16_t(counts[u]);
      sum = uint16_t(sum + counts[u]);
    }
    groupSum = uint16_t(groupSum + sum);
  }
}

inline uint32_t cumulativeBelow(const BlockModel& model, unsigned value) {
  return uint32_t(model.groupBefore[value >> 4]) + model.withinGroup[value];
}

// Subtracts kLaterLaneMasks.lanes[k] from the 16 lanes at `lanes`.
inline void lowerLaterLanes(uint16_t* lanes, unsigned k) {
  const uint16_t* mask = kLaterLaneMasks.lanes[k];
#if defined(__SSE2__)
  __m128i* target = reinterpret_cast<__m128i*>(lanes);
  const __m128i* minus = reinterpret_cast<const __m128i*>(mask);
  _mm_store_si128(target, _mm_sub_epi16(_mm_load_si128(target), _mm_load_si128(minus)));
  _mm_store_si128(target + 1,
                  _mm_sub_epi16(_mm_load_si128(target + 1), _mm_load_si128(minus + 1)));
#else
  for (int j = 0; j < 16; j++) lanes[j] = uint16_t(lanes[j] - mask[j]);
#endif
}

inline void lowerCount(BlockModel* model, unsigned value) {
  model->count[value]--;
  lowerLaterLanes(model->withinGroup + (value & ~15u), value & 15u);
  lowerLaterLanes(model->groupBefore, value >> 4);
}

// Where the batch paths take their symbols from: an array, or the bytes
// of one block (below).

// The symbols of one block in file order: cumLow from the current counts,
// cumHigh = cumLow + count, a total of 2048 dropping by one per byte (also
// in a short last block), and the byte's count lowered once it is coded.
struct IntervalSource {
  const SymbolInterval* intervals;
  SymbolInterval symbolAt(uint32_t i) const { return intervals[i]; }
};

// Symbols must be taken in order, each once: taking one lowers its count.
struct BlockSource {
  BlockModel model;
  const uint8_t* block;

  BlockSource(const uint8_t* bytes, const int32_t* counts) : block(bytes) {
    buildBlockModel(counts, &model);
  }

  SymbolInterval symbolAt(uint32_t i) {
    unsigned value = block[i];
    uint32_t cumLow = cumulativeBelow(model, value);
    SymbolInterval symbol{cumLow, cumLow + model.count[value], kBlockSize - i};
    lowerCount(&model, value);
    return symbol;
  }
};
