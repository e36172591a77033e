// The live clusters' counts by slot, kLanes slots to a tile, laid out for
// the tile kernels (tile_kernels.h).
//
// Read me first:
// - A tile stores only its columns: those where some lane has a nonzero
//   count. Each stored column holds kLanes counts side by side and kLanes
//   ready terms lnFactorial(count), so that one vector load fetches a column
//   for kLanes clusters. The tile also keeps each lane's total and cost
//   (widened to double). An empty lane has no counts, total 0 and cost 0.
// - masks[tile] marks the stored columns, in ascending order from
//   offsets[tile] in the arena; ranks[tile][w] counts the stored columns in
//   the mask words before word w, so a walk that starts at any word knows
//   where its columns are.
// - A tile owns capacity[tile] stored columns of the arena from its offset;
//   tiles never overlap, so tasks may write different tiles side by side.
//   A tile that outgrows its room moves to the arena's free end; when that
//   is used up, every tile is laid out afresh (planTiles, then writeTile).
// - Clusters with similar columns share tiles, which keeps tiles small and
//   the columns a kernel visits (the tile's and the fixed cluster's) few.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "kernel_types.h"
#include "large_memory.h"
#include "ln_table.h"

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

// Marks the nonzero columns of a row in `mask` ((columns + 63) / 64 words).
void rowColumnMask(const int32_t* counts, uint32_t columns, uint64_t* mask);
