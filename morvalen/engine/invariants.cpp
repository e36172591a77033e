// Run-time checks of the engine's invariants, at the start of every pass.
// Compiled in where NDEBUG is not defined, or with CHECK_INVARIANTS (the
// sanitizer builds): they cost a pass over the live clusters, and now and
// then the exact deltas of one cluster against all others.
#if defined(CHECK_INVARIANTS)
#undef NDEBUG
#endif
#include <cassert>

#include "engine.h"
#include "shared.h"

#if defined(NDEBUG)

void checkEngineInvariants(const FastEngine&, const ClusteringState&) {}

#else

namespace {

// Every live cluster's position and slot map to each other; holes make up
// the rest of the slots in use.
void checkMirror(const FastEngine& e, const ClusteringState& state) {
  const SlotMirror& m = e.mirror;
  assert(m.slotsUsed - m.holes == state.liveCount);
  for (uint32_t p = 0; p < state.liveCount; p++) {
    uint32_t r = state.activeList[p];
    assert(m.positionOf[r] == p);
    uint32_t slot = m.slotOf[r];
    assert(slot < m.slotsUsed && m.rowInSlot[slot] == r && m.slotPosition[slot] == p);
    assert(m.tileLastPosition[slot / kLanes] >= int64_t(p));
    (void)slot;
  }
}

// A cached entry names a later live position; a current list entry names a
// live cluster other than its owner, whose filter bit is set.
void checkEntriesAndLists(const FastEngine& e, const ClusteringState& state) {
  for (uint32_t p = 0; p < state.liveCount; p++) {
    uint32_t r = state.activeList[p];
    uint32_t partner = state.bestPartner[r];
    assert(partner >= state.rows || (partner > p && partner < state.liveCount));
    assert(e.lists.count[r] <= kCandidates);
    const Candidate* list = &e.lists.entries[size_t(r) * kCandidates];
    for (uint32_t i = 0; i < e.lists.count[r]; i++) {
      if (!isCurrent(e, list[i])) continue;
      assert(list[i].row != r && isLive(e, state, list[i].row));
      assert(mayBeListed(e, r, list[i].row));
    }
    (void)partner;
  }
}

// For one cluster: every current list entry holds the exact delta, and every
// unlisted live cluster's delta is at least the floor of its side.
void checkOneCluster(const FastEngine& e, const ClusteringState& state, uint32_t p) {
  uint32_t r = state.activeList[p];
  const Candidate* list = &e.lists.entries[size_t(r) * kCandidates];
  for (uint32_t q = 0; q < state.liveCount; q++) {
    if (q == p) continue;
    uint32_t y = state.activeList[q];
    double delta = clusterMergeDelta(state, r, y);
    bool listed = false;
    for (uint32_t i = 0; i < e.lists.count[r]; i++) {
      if (list[i].row != y || !isCurrent(e, list[i])) continue;
      assert(list[i].value == delta);
      listed = true;
    }
    bool later = e.mirror.positionOf[y] > e.mirror.positionOf[r];
    double floor = later ? e.floors.later[r] : e.floors.earlierBySlot[e.mirror.slotOf[r]];
    if (!listed) assert(delta >= floor);
    (void)floor;
  }
}

}  // namespace

void checkEngineInvariants(const FastEngine& engine, const ClusteringState& state) {
  if (engine.failed || state.liveCount < 2) return;
  checkMirror(engine, state);
  checkEntriesAndLists(engine, state);
  // The exact check costs as much as a direct rescan: on small runs, every
  // 16th pass, one cluster in turn.
  constexpr uint32_t kExactCheckLimit = 2048;
  if (engine.memory.listsReady && state.liveCount <= kExactCheckLimit && engine.memory.updates % 16 == 0)
    checkOneCluster(engine, state, engine.memory.updates / 16 % state.liveCount);
}

#endif
