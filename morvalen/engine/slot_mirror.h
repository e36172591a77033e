// The slot mirror: the engine's copy of the live clusters, by slot, in the
// layout the kernels read (tiles.h, bounds.h).
//
// Read me first:
// - A live cluster has a position (its place in activeList, which changes
//   when the last cluster moves into an absorbed one's place) and a slot (its
//   lane in the tiles, kept while it lives, so that moves between positions
//   do not scatter the tiles). positionOf and slotOf map a live row to both;
//   rowInSlot and slotPosition map back. An absorbed cluster leaves a hole
//   (kNoRow, position 0); once holes fill an eighth of the slots, the slots
//   are packed in order and the tiles laid out again.
// - Slots start in position order, which is row order: neighbouring blocks of
//   a file tend to use the same byte values, so tiles of them store few
//   columns.
// - Every live cluster's bound data (BoundCluster by row, and BoundTiles by
//   slot) and column mask are those of its current counts, total and cost;
//   so are the tiles' counts and terms while the tiles are kept.
// - envelopes hold, for every tile, the envelope of its live clusters'
//   bound data (bounds.h).
// - tileLastPosition[t] is the largest position in tile t (-1 for none): a
//   rescan from position p skips the tiles whose last position is below p.
// - The tiles keep their counts only while the neighbour updates want the
//   tile kernel for at least 1 in kTilesPerKernelCall of the tiles they
//   visit, judged over kPassesToJudgeTiles passes at least: keeping them up
//   to date costs about as much per merge as a few kernel calls save, and
//   that upkeep runs on one thread while the kernel calls are shared. Without
//   them every delta is summed from the partners' rows; the results are the
//   same either way.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "bounds.h"
#include "clustering.h"
#include "tiles.h"

struct FastEngine;

// Whether the tiles keep their clusters' counts for the tile kernel:
// `automatic` keeps them while the neighbour updates want the kernel often
// enough to repay their upkeep. The results are the same either way.
enum class TileUse { automatic, always, never };

constexpr uint64_t kTilesPerKernelCall = 4;
constexpr uint64_t kPassesToJudgeTiles = 32;

struct SlotMirror {
  std::vector<uint32_t> positionOf;       // [row], for live rows
  std::vector<uint32_t> slotOf;           // [row], for live rows
  std::vector<uint32_t> rowInSlot;        // [slot]; kNoRow for a hole
  std::vector<uint32_t> slotPosition;     // [slot]: position of its cluster; 0 for a hole
  std::vector<int64_t> tileLastPosition;  // [tile]: largest position in it, -1 if none
  uint32_t slotsUsed = 0;                 // slots 0..slotsUsed-1 hold clusters or holes
  uint32_t holes = 0;
  size_t slotCapacity = 0;                // slots of the by-slot arrays
  uint32_t maskWords = 0;
  std::vector<uint64_t> rowMasks;         // [row][maskWords]: nonzero columns, for live rows
  std::vector<int32_t> rowCeilings;       // [row]: countCeiling of its counts, for live rows
  ClusterTiles tiles;                     // counts and terms by slot, while kept
  BoundTiles boundTiles;                  // bound data by slot
  TileEnvelopes envelopes;                // of each tile's live clusters
  std::vector<BoundCluster> bounds;       // [row], for live rows
  std::vector<uint8_t> boundGroups;       // [column]
  uint32_t correctionLevels = 0;          // of the bound's correction; 0: none
};

struct TilePolicy {
  TileUse use = TileUse::automatic;
  bool kept = false;                // the tiles hold counts and terms now
  uint64_t kernelWanted = 0;        // tile kernel calls wanted since the last layout
  uint64_t tilesVisited = 0;        // tiles the neighbour updates visited since then
  uint64_t passesSinceLayout = 0;
};

// Mirrors the live clusters of a fresh state and lays the tiles out.
bool mirrorLiveClusters(FastEngine& e, const ClusteringState& state);

// Keeps the mirror in step with a merge of the clusters at `merged` and
// `second` and the move of the cluster at `last` into `second`. Does not
// touch the lists and floors, but for the moved cluster's floorLater.
bool mirrorMerge(FastEngine& e, const ClusteringState& state, uint32_t merged, uint32_t second, uint32_t last);

uint32_t tilesUsed(const FastEngine& e);

// The lanes of tile t that hold a live cluster.
uint32_t liveLanes(const SlotMirror& m, uint32_t t);
