// The neighbour update: after a merge, the merged cluster meets every other
// live cluster once, and the entries that named the merged pair or the last
// position become stale.
//
// Read me first:
// - Pruning by bounds: a delta whose bound is not below a value it has to
//   beat cannot change the outcome. The update computes a delta only where
//   its bound is below the other cluster's cached best or floor (earlier
//   clusters), or below the merged cluster's running best (EM, which only
//   falls) or the other's floor (later clusters).
// - The comparisons that decide entries are those of the direct update:
//   each earlier cluster compares its own delta with its own cached value
//   (so the order across clusters does not matter), and the merged
//   cluster's running best takes the later deltas in ascending position
//   order, after the tasks, on the calling thread.
// - The work is cut into chunks of kTilesPerChunk tiles, one task each. A
//   task touches only the clusters of its tiles: it marks their entries
//   stale where they named Ei, Ej or the last position (the invalidation, on
//   the workers, after the merge), lowers the floorEarlier of the clusters
//   the moved one jumped over, computes the bounds and the deltas needed,
//   updates earlier entries, and offers the merged cluster to their lists.
//   Once its lists are final for the pass, it also finds the best listed
//   later partner of every entry it made stale, for the next refresh.
// - Keeping the floors true: every other cluster is offered the merged
//   cluster's delta when it may beat the floor on that side; the merged
//   cluster's list starts afresh from the deltas computed, and its floors
//   from the bounds of the deltas left uncomputed.
// - Content classes (content_classes.h): before the tasks, the merged
//   cluster's delta to each class of kLargeClass members or more is
//   computed once, from one member; every member takes it, bit for bit the
//   delta its own evaluation would give. A known delta serves as the
//   member's bound too (a bound may be anything up to the delta): where it
//   is not below what it has to beat, the computed delta would have changed
//   nothing either. Each member is still compared and offered on its own.
#pragma once

#include <cstdint>
#include <vector>

#include "candidates.h"
#include "clustering.h"
#include "kernel_types.h"

struct FastEngine;

// A chunk is the tiles whose envelopes (bounds.h) share a tile of their own,
// so that one kernel call gives the envelope bounds of all its tiles.
constexpr uint32_t kTilesPerChunk = kLanes;
// Up to this many wanted lanes of a tile are summed as scattered partners,
// four side by side; more take the tile kernel (while the tiles are kept).
constexpr uint32_t kFewLanes = 8;

// What one task found in its chunk of tiles.
struct ChunkResult {
  uint32_t staleCount = 0;   // entries it made stale, in chunkStale
  uint32_t exactCount = 0;   // positions whose delta it computed, in chunkExact
  uint64_t deltas = 0;       // deltas computed
  uint64_t lanes = 0;        // tile lanes computed (all 16 of a kernel call)
  uint64_t kernelWanted = 0; // tiles that wanted the tile kernel
  uint64_t known = 0;        // lanes whose delta the large classes gave
  uint64_t bounds = 0;       // lane bounds and envelope bounds computed
  double floorEarlier = 0.0; // smallest bound left uncomputed, earlier than the merged cluster
  double floorLater = 0.0;   // the same, later
};

// The merged cluster's new list is built in up to kSettleParts parts side
// by side, each from at least kSettlePartMinimum computed deltas, then
// merged.
constexpr uint32_t kSettleParts = 8;
constexpr uint32_t kSettlePartMinimum = 2048;

// One part of the merged cluster's deltas: the kCandidates smallest, the
// floors the others lower, and the later positions whose delta is below the
// merged cluster's cached one.
struct SettlePart {
  TopCandidates top;
  double floorEarlier = 0.0;
  double floorLater = 0.0;
  std::vector<uint32_t> improving;
};

struct NeighbourScratch {
  std::vector<double> mergedTerms;   // [column]: lnFactorial of the merged cluster's counts
  std::vector<double> deltas;        // [position]: the deltas computed
  std::vector<ChunkResult> chunks;   // [chunk]
  std::vector<uint32_t> chunkStale;  // [chunk][kTilesPerChunk * kLanes]: rows
  std::vector<uint32_t> chunkExact;  // [chunk][kTilesPerChunk * kLanes]: positions
  std::vector<SettlePart> settleParts;
  uint32_t partMinimum = kSettlePartMinimum;
  std::vector<uint32_t> improving;   // of every part, ascending
  std::vector<uint8_t> positionMarks; // [position], zero between updates
  // The merged cluster's delta to each large class, valid in the update
  // numbered classValueUpdate[class] (PassMemory::updates).
  std::vector<double> classValue;         // [class]
  std::vector<uint32_t> classValueUpdate; // [class]
};

// Invalidates the entries that named choice.first, choice.second or `last`
// and offers the merged cluster (now at choice.first) to every other, after
// the merge and the move of the cluster at `last` into choice.second.
void updateNeighboursFast(FastEngine& e, ClusteringState& state, const PassChoice& choice, uint32_t last);
