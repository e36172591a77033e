#include "slot_mirror.h"

#include <algorithm>

#include "engine.h"
#include "shared.h"

uint32_t tilesUsed(const FastEngine& e) { return (e.mirror.slotsUsed + kLanes - 1) / kLanes; }

uint32_t liveLanes(const SlotMirror& m, uint32_t t) {
  uint32_t lanes = 0;
  for (uint32_t lane = 0; lane < kLanes; lane++) {
    uint32_t slot = t * kLanes + lane;
    if (slot < m.slotsUsed && m.rowInSlot[slot] != kNoRow) lanes |= 1u << lane;
  }
  return lanes;
}

namespace {

struct MirrorSource {
  const FastEngine* engine;
  const ClusteringState* state;
};

// The clusters in a tile's slots, as the state has them now.
void tileContents(void* context, uint32_t tile, TileContents* contents) {
  const MirrorSource& source = *static_cast<const MirrorSource*>(context);
  const SlotMirror& m = source.engine->mirror;
  for (uint32_t lane = 0; lane < kLanes; lane++) {
    uint32_t slot = tile * kLanes + lane;
    uint32_t r = slot < m.slotsUsed ? m.rowInSlot[slot] : kNoRow;
    contents->rows[lane] = r == kNoRow ? nullptr : rowOf(*source.state, r);
    contents->masks[lane] = r == kNoRow ? nullptr : maskOf(*source.engine, r);
    contents->totals[lane] = r == kNoRow ? 0 : source.state->rowTotal[r];
    contents->costs[lane] = r == kNoRow ? 0.0f : source.state->rowCost[r];
  }
}

// The largest position in a tile, -1 if it holds no cluster. Only the
// clusters moved by a merge or a packing change it.
void findTileLastPosition(SlotMirror& m, uint32_t tile) {
  int64_t last = -1;
  for (uint32_t slot = tile * kLanes; slot < (tile + 1) * kLanes; slot++)
    if (slot < m.slotsUsed && m.rowInSlot[slot] != kNoRow) last = std::max(last, int64_t(m.slotPosition[slot]));
  m.tileLastPosition[tile] = last;
}

// Whether the tiles are to keep their counts: as the options say, or, left
// to the engine, when the tile kernel was wanted often enough since the last
// layout (over at least kPassesToJudgeTiles passes) to repay their upkeep.
bool tilesWorthKeeping(const TilePolicy& policy) {
  if (policy.use != TileUse::automatic) return policy.use == TileUse::always;
  return policy.passesSinceLayout >= kPassesToJudgeTiles &&
         policy.kernelWanted * kTilesPerKernelCall >= policy.tilesVisited;
}

// Plans the tiles in order, then writes them (when they are kept) and their
// bound data on the workers, each task its own tiles. Only the tiles in use
// are written: slotsUsed never grows, and every scan stops at tilesUsed, so
// the tiles past it are never read again.
bool layOutAll(FastEngine& e, const ClusteringState& state) {
  constexpr uint32_t kTilesPerTask = 4;
  SlotMirror& m = e.mirror;
  TilePolicy& policy = e.tilePolicy;
  MirrorSource source = {&e, &state};
  std::string error;
  uint32_t used = tilesUsed(e);
  if (policy.use != TileUse::automatic || policy.passesSinceLayout > 0) policy.kept = tilesWorthKeeping(policy);
  policy.kernelWanted = 0;
  policy.tilesVisited = 0;
  policy.passesSinceLayout = 0;
  if (policy.kept && !planTiles(m.tiles, used, tileContents, &source, &error)) return false;
  e.kernels.deltas = deltaContext(e.kernels.table, m.tiles, state.constant);
  e.pool->run((used + kTilesPerTask - 1) / kTilesPerTask, [&](uint32_t c) {
    for (uint32_t t = c * kTilesPerTask; t < std::min(used, (c + 1) * kTilesPerTask); t++) {
      if (policy.kept) {
        TileContents contents;
        tileContents(&source, t, &contents);
        writeTile(m.tiles, e.kernels.table, t, contents);
      }
      for (uint32_t slot = t * kLanes; slot < (t + 1) * kLanes; slot++) {
        uint32_t r = slot < m.slotsUsed ? m.rowInSlot[slot] : kNoRow;
        storeBoundLane(m.boundTiles, slot, r == kNoRow ? nullptr : &m.bounds[r]);
      }
      storeTileEnvelope(m.envelopes, m.boundTiles, t, liveLanes(m, t));
      findTileLastPosition(m, t);
    }
  });
  chooseTileKernel(e, state);
  return true;
}

// Stores a tile anew from the state; lays all out again when it outgrew the
// arena. False when memory ran out.
bool restoreTile(FastEngine& e, const ClusteringState& state, uint32_t tile) {
  MirrorSource source = {&e, &state};
  TileContents contents;
  tileContents(&source, tile, &contents);
  return storeTile(e.mirror.tiles, e.kernels.table, tile, contents) || layOutAll(e, state);
}

// Closes the holes left by absorbed clusters, keeping the slot order; the
// by-slot filters and floors move with their clusters.
bool packSlots(FastEngine& e, const ClusteringState& state) {
  SlotMirror& m = e.mirror;
  uint32_t used = 0;
  for (uint32_t s = 0; s < m.slotsUsed; s++) {
    uint32_t r = m.rowInSlot[s];
    if (r == kNoRow) continue;
    m.rowInSlot[used] = r;
    m.slotOf[r] = used;
    m.slotPosition[used] = m.slotPosition[s];
    e.floors.earlierBySlot[used] = e.floors.earlierBySlot[s];
    for (uint32_t w = 0; w < kFilterWords; w++)
      e.lists.filterBySlot[w * m.slotCapacity + used] = e.lists.filterBySlot[w * m.slotCapacity + s];
    used++;
  }
  for (uint32_t s = used; s < m.slotsUsed; s++) {
    m.rowInSlot[s] = kNoRow;
    m.slotPosition[s] = 0;
  }
  m.slotsUsed = used;
  m.holes = 0;
  return layOutAll(e, state);
}

void describeRow(FastEngine& e, const ClusteringState& state, uint32_t r) {
  SlotMirror& m = e.mirror;
  rowColumnMask(rowOf(state, r), state.columns, m.rowMasks.data() + size_t(r) * m.maskWords);
  m.rowCeilings[r] = countCeiling(rowOf(state, r), state.columns);
  describeCluster(e.kernels.table, m.boundGroups.data(), rowOf(state, r), state.columns, state.rowTotal[r],
                  state.rowCost[r], m.correctionLevels, &m.bounds[r]);
}

}  // namespace

bool mirrorLiveClusters(FastEngine& e, const ClusteringState& state) {
  SlotMirror& m = e.mirror;
  for (uint32_t p = 0; p < state.liveCount; p++) {
    uint32_t r = state.activeList[p];
    m.positionOf[r] = p;
    m.slotOf[r] = p;
    m.rowInSlot[p] = r;
    m.slotPosition[p] = p;
    describeRow(e, state, r);
  }
  m.slotsUsed = state.liveCount;
  return layOutAll(e, state);
}

bool mirrorMerge(FastEngine& e, const ClusteringState& state, uint32_t merged, uint32_t second, uint32_t last) {
  SlotMirror& m = e.mirror;
  uint32_t a = state.activeList[merged];
  uint32_t b = state.activeList[last];
  uint32_t hole = m.slotOf[b];
  m.rowInSlot[hole] = kNoRow;
  m.slotPosition[hole] = 0;
  m.holes++;
  rowColumnMask(rowOf(state, a), state.columns, m.rowMasks.data() + size_t(a) * m.maskWords);
  m.rowCeilings[a] = countCeiling(rowOf(state, a), state.columns);
  describeCluster(e.kernels.table, m.boundGroups.data(), rowOf(state, a), state.columns, state.rowTotal[a],
                  state.rowCost[a], m.correctionLevels, &m.bounds[a]);
  storeBoundLane(m.boundTiles, hole, nullptr);
  storeBoundLane(m.boundTiles, m.slotOf[a], &m.bounds[a]);
  storeTileEnvelope(m.envelopes, m.boundTiles, hole / kLanes, liveLanes(m, hole / kLanes));
  if (m.slotOf[a] / kLanes != hole / kLanes)
    storeTileEnvelope(m.envelopes, m.boundTiles, m.slotOf[a] / kLanes, liveLanes(m, m.slotOf[a] / kLanes));
  if (second != last) {
    uint32_t moved = state.activeList[second];
    m.positionOf[moved] = second;
    m.slotPosition[m.slotOf[moved]] = second;
    // Its later side consists of clusters that were earlier: its floorLater
    // becomes its floorEarlier. The clusters it jumped over (positions
    // second + 1 .. last - 1) lower their floorEarlier to their floorLater:
    // the neighbour update does that on its worker threads.
    e.floors.later[moved] = floorEarlierOf(e, moved);
    findTileLastPosition(m, m.slotOf[moved] / kLanes);
  }
  findTileLastPosition(m, hole / kLanes);
  if (m.holes * 8 > m.slotsUsed) return packSlots(e, state);
  e.tilePolicy.passesSinceLayout++;
  // Tiles not kept are laid out as soon as the kernel proves worth them.
  if (!e.tilePolicy.kept) return !tilesWorthKeeping(e.tilePolicy) || layOutAll(e, state);
  storeLane(m.tiles, e.kernels.table, hole, nullptr, 0, 0.0f);
  return storeLane(m.tiles, e.kernels.table, m.slotOf[a], rowOf(state, a), state.rowTotal[a], state.rowCost[a]) ||
         restoreTile(e, state, m.slotOf[a] / kLanes);
}
