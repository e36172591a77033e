#include "tiles.h"

#include <algorithm>
#include <cstring>
#include <new>

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

void rowColumnMask(const int32_t* counts, uint32_t columns, uint64_t* mask) {
  for (uint32_t w = 0; w < (columns + 63) / 64; w++) mask[w] = 0;
  for (uint32_t k = 0; k < columns; k++)
    if (counts[k] != 0) mask[k / 64] |= uint64_t(1) << (k % 64);
}
