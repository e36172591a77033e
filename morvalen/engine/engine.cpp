#include "engine.h"

#include <algorithm>
#include <limits>
#include <new>

#include "shared.h"

namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();

// Clusters and tiles whose bound kernel the start-up timing runs (kernels.h).
constexpr uint32_t kTimedClusters = 8;
constexpr uint32_t kTimedTiles = 32;
// Clusters whose deltas against kTimedTiles / 2 tiles time the tile kernels.
constexpr uint32_t kTimedTileClusters = 4;

PassChoice findPairFast(void* scans, ClusteringState& state) {
  FastEngine& e = *static_cast<FastEngine*>(scans);
  if (kCheckInvariants) checkEngineInvariants(e, state);
  if (!e.failed) {
    try {
      return refreshAndSelect(e, state);
    } catch (const std::bad_alloc&) {
      e.failed = true;
    }
  }
  refreshStaleEntries(state);
  return selectPair(state);
}

// Retires the values that involve either merged cluster (candidates.h) and
// keeps the mirror in step. False when memory ran out.
bool followMergeInEngine(FastEngine& e, const ClusteringState& state, uint32_t merged, uint32_t second,
                         uint32_t last) {
  uint32_t a = state.activeList[merged];
  uint32_t b = state.activeList[last];
  e.lists.stamp[a]++;
  e.lists.stamp[b]++;
  e.lists.count[a] = 0;
  classesFollowMerge(e, state, merged, last);
  return mirrorMerge(e, state, merged, second, last);
}

void followMergeFast(void* scans, ClusteringState& state, const PassChoice& choice, uint32_t last) {
  FastEngine& e = *static_cast<FastEngine*>(scans);
  e.memory.updates++;  // retires the list answers of the last update
  // followMergeInEngine changes only the engine's own arrays, so the direct
  // steps can still take over when it fails.
  try {
    if (!e.failed && !followMergeInEngine(e, state, uint32_t(choice.first), uint32_t(choice.second), last))
      e.failed = true;
  } catch (const std::bad_alloc&) {
    e.failed = true;
  }
  if (e.failed) {
    invalidateEntries(state, choice, last);
    updateNeighbours(state, uint32_t(choice.first), last);
    return;
  }
  updateNeighboursFast(e, state, choice, last);
}

// The merged row's cost from the engine's table (its lookups have the bits
// of lnFactorial), instead of a logarithm per count.
float mergedCostFast(void* scans, const int32_t* row, uint32_t columns, int32_t total, double constant) {
  return tableRowCost(static_cast<FastEngine*>(scans)->kernels.table, row, columns, total, constant);
}

// The arrays of n entries, of slots and of tiles.
void allocateArrays(FastEngine& e, const ClusteringState& state, unsigned threads) {
  uint32_t rows = state.rows;
  SlotMirror& m = e.mirror;
  uint32_t tileCount = m.tiles.tileCount;
  m.slotCapacity = size_t(tileCount) * kLanes;
  m.maskWords = m.tiles.maskWords;
  fillLnFactorialTable(e.kernels.table, kLnTableSize);
  m.positionOf.assign(rows, 0);
  m.slotOf.assign(rows, 0);
  m.rowInSlot.assign(m.slotCapacity, kNoRow);
  m.slotPosition.assign(m.slotCapacity, 0);
  m.tileLastPosition.assign(tileCount, -1);
  m.rowMasks.assign(size_t(rows) * m.maskWords, 0);
  m.rowCeilings.assign(rows, kNoCeiling);
  m.bounds.resize(rows);
  const uint32_t groupCount = boundGroupCount(state.counts, state.columns, rows);
  m.boundGroups = chooseBoundGroups(state.counts, state.columns, rows, groupCount);
  m.correctionLevels = correctionPays(state.counts, state.columns, rows) ? kCorrectionLevels : 0;
  if (!allocateBoundTiles(m.boundTiles, tileCount, groupCount)) throw std::bad_alloc();
  if (!allocateTileEnvelopes(m.envelopes, tileCount, groupCount)) throw std::bad_alloc();
  e.lists.stamp.assign(rows, 0);
  e.lists.entries.resize(size_t(rows) * kCandidates);
  e.lists.partners.assign(size_t(rows) * kCandidates, kNoRow);
  e.lists.count.assign(rows, 0);
  e.lists.lastInserted.assign(rows, kNoEntry);
  e.lists.lastEntry.resize(rows);
  e.lists.filterBySlot.assign(kFilterWords * m.slotCapacity, 0);
  e.floors.later.assign(rows, kInfinity);
  e.floors.earlierBySlot.assign(m.slotCapacity, kInfinity);
  e.memory.staleRows.reserve(rows);
  e.memory.listAnswer.resize(rows);
  e.memory.listAnswerPass.assign(rows, UINT32_MAX);
  e.neighbours.mergedTerms.assign(state.columns, 0.0);
  e.neighbours.deltas.assign(m.slotCapacity, 0.0);
  e.neighbours.chunkExact.assign(m.slotCapacity + kTilesPerChunk * kLanes, 0);
  e.neighbours.chunkStale.assign(m.slotCapacity + kTilesPerChunk * kLanes, 0);
  e.pool.reset(new WorkerPool(threads));
  e.workers.resize(e.pool->threadCount());
  e.rescans.offers.reset(new HelpOffer[e.pool->threadCount()]);
}

// The automatic kind: the fastest on this processor, timed on the run's own
// bound data (the first clusters against the first tiles).
KernelKind timedKernel(const FastEngine& e, const ClusteringState& state) {
  const BoundCluster* sample[kTimedClusters];
  uint32_t count = 0;
  for (uint32_t p = 0; p < state.liveCount && count < kTimedClusters; p++)
    sample[count++] = &e.mirror.bounds[state.activeList[p]];
  uint32_t tiles = tilesUsed(e) < kTimedTiles ? tilesUsed(e) : kTimedTiles;
  return fastestKernel(e.kernels.bounds, sample, count, tiles);
}

}  // namespace

void chooseTileKernel(FastEngine& e, const ClusteringState& state) {
  if (!e.kernels.timeTiles || !e.tilePolicy.kept) return;
  e.kernels.timeTiles = false;
  FixedCluster sample[kTimedTileClusters];
  std::vector<double> terms;
  try {
    terms.resize(size_t(kTimedTileClusters) * state.columns);
  } catch (const std::bad_alloc&) {
    return;  // the kind's own tile kernel stays
  }
  uint32_t count = 0;
  for (uint32_t p = 0; p < state.liveCount && count < kTimedTileClusters; p++, count++) {
    uint32_t row = state.activeList[p];
    fixedColumnTerms(e.kernels.table, rowOf(state, row), state.columns, terms.data() + size_t(count) * state.columns);
    sample[count] = fixedCluster(e, state, row, terms.data() + size_t(count) * state.columns);
  }
  uint32_t tiles = std::min(tilesUsed(e), kTimedTiles / 2);
  e.kernels.tileKind = fastestTileKind(e.kernels.deltas, sample, count, tiles);
  e.kernels.tile = tileKernel(e.kernels.tileKind);
}

bool startFastScans(FastEngine& engine, const ClusteringState& state, const FastScanOptions& options,
                    std::string* error) {
  engine = FastEngine();
  FastEngine& e = engine;
  // No pass runs with fewer than two clusters, so there is nothing to set
  // up; a matrix without rows may still promise 2^32 - 1 columns, whose
  // per-column arrays could not be allocated.
  if (state.liveCount < 2) return true;
  if (!kernelRuns(options.kernel)) {
    *error = std::string("the processor lacks the instructions of the ") + kernelName(options.kernel) + " kernel";
    return false;
  }
  e.rows = state.rows;
  e.tilePolicy.use = options.tiles;
  e.neighbours.partMinimum = options.settlePartMinimum;
  e.rescans.shareTiles = std::max(options.shareTiles, 1u);
  e.rescans.helpMinimum = options.helpMinimum;
  e.rescans.jobsTogether = std::min(std::max(options.jobsTogether, 1u), kJobsTogether);
  if (!allocateClusterTiles(e.mirror.tiles, state.columns, state.liveCount, error)) return false;
  try {
    allocateArrays(e, state, options.threads == 0 ? defaultThreadCount() : options.threads);
    e.kernels.bounds = boundContext(e.mirror.boundTiles, state.columns, state.constant);
    e.kernels.envelopes = boundContext(e.mirror.envelopes.lanes, state.columns, state.constant);
    e.kernels.deltas = deltaContext(e.kernels.table, e.mirror.tiles, state.constant);
    e.memory.staleRows.assign(state.activeList, state.activeList + state.liveCount);
  } catch (const std::bad_alloc&) {
    *error = "cannot allocate the fast scans for " + std::to_string(state.rows) + " rows: out of memory";
    return false;
  }
  // Without room for the tiles the direct scans run the passes.
  try {
    classifyLiveClusters(e, state);
    if (!mirrorLiveClusters(e, state)) e.failed = true;
  } catch (const std::bad_alloc&) {
    e.failed = true;
  }
  e.kernels.kind = options.kernel != KernelKind::automatic ? options.kernel
                   : e.failed                              ? KernelKind::portable
                                                           : timedKernel(e, state);
  e.kernels.tileKind = e.kernels.kind;
  e.kernels.tile = tileKernel(e.kernels.kind);
  e.kernels.bound = boundKernel(e.kernels.kind);
  e.kernels.timeTiles = options.kernel == KernelKind::automatic && !e.failed;
  chooseTileKernel(e, state);
  return true;
}

PassScans fastScans(FastEngine& engine) {
  PassScans scans;
  scans.scans = &engine;
  scans.findPair = findPairFast;
  scans.followMerge = followMergeFast;
  scans.mergedCost = mergedCostFast;
  return scans;
}
