// Run-time checks of the engine's invariants. findPair runs them at the
// start of every pass in builds that check (engine.h: kCheckInvariants);
// tests call them directly in every build.
#include <cstdio>
#include <cstdlib>

#include "engine.h"
#include "shared.h"

namespace {

// An invariant that does not hold is a fault of the engine, not of the
// input: nothing computed from here on could be trusted.
[[noreturn]] void invariantBroken(const char* what, uint32_t value) {
  fprintf(stderr, "morvalen: internal error: engine invariant broken: %s (%u)\n", what, unsigned(value));
  abort();
}

#define ENGINE_CHECK(condition, value) \
  do {                                  \
    if (!(condition)) invariantBroken(#condition, uint32_t(value)); \
  } while (0)

// Every live cluster's position and slot map to each other; holes make up
// the rest of the slots in use.
void checkMirror(const FastEngine& e, const ClusteringState& state) {
  const SlotMirror& m = e.mirror;
  ENGINE_CHECK(m.slotsUsed - m.holes == state.liveCount, m.holes);
  for (uint32_t p = 0; p < state.liveCount; p++) {
    uint32_t r = state.activeList[p];
    ENGINE_CHECK(m.positionOf[r] == p, r);
    uint32_t slot = m.slotOf[r];
    ENGINE_CHECK(slot < m.slotsUsed && m.rowInSlot[slot] == r && m.slotPosition[slot] == p, r);
    ENGINE_CHECK(m.tileLastPosition[slot / kLanes] >= int64_t(p), r);
  }
}

// Every tile's envelope lies beyond each of its live clusters' bound data:
// no larger a total, no smaller ownTerms, no smaller a group sum.
void checkEnvelopes(const FastEngine& e) {
  const SlotMirror& m = e.mirror;
  const BoundTiles& tiles = m.boundTiles;
  const BoundTiles& made = m.envelopes.lanes;
  for (uint32_t slot = 0; slot < m.slotsUsed; slot++) {
    if (m.rowInSlot[slot] == kNoRow) continue;
    uint32_t t = slot / kLanes, lane = slot % kLanes;
    ENGINE_CHECK(made.totals[t] <= tiles.totals[slot], slot);
    ENGINE_CHECK(made.ownTerms[t] >= tiles.ownTerms[slot], slot);
    const double* sums = tiles.groupSums.data() + size_t(t) * tiles.groups * kLanes + lane;
    const double* largest = made.groupSums.data() + size_t(t / kLanes) * made.groups * kLanes + t % kLanes;
    for (uint32_t g = 0; g < tiles.groups; g++) ENGINE_CHECK(largest[g * kLanes] >= sums[g * kLanes], slot);
  }
}

// A cached entry names a later live position.
void checkEntries(const ClusteringState& state) {
  for (uint32_t p = 0; p < state.liveCount; p++) {
    uint32_t r = state.activeList[p];
    uint32_t partner = state.bestPartner[r];
    ENGINE_CHECK(partner >= state.rows || (partner > p && partner < state.liveCount), r);
  }
}

// A current list entry names a live cluster other than its owner, whose
// filter bit is set: for up to kListsChecked clusters from position `from`
// on, wrapping around.
void checkLists(const FastEngine& e, const ClusteringState& state, uint32_t from) {
  constexpr uint32_t kListsChecked = 512;
  for (uint32_t n = 0; n < kListsChecked && n < state.liveCount; n++) {
    uint32_t r = state.activeList[(from + n) % state.liveCount];
    ENGINE_CHECK(e.lists.count[r] <= kCandidates, r);
    for (uint32_t i = 0; i < e.lists.count[r]; i++) {
      const Candidate& c = entryAt(e.lists, r, i);
      ENGINE_CHECK(e.lists.partners[size_t(r) * kCandidates + i] == c.row, r);
      if (!isCurrent(e, c)) continue;
      ENGINE_CHECK(c.row != r && isLive(e, state, c.row), r);
      ENGINE_CHECK(mayBeListed(e, r, c.row), r);
    }
  }
}

}  // namespace

void checkOneClusterExactly(const FastEngine& e, const ClusteringState& state, uint32_t position) {
  uint32_t r = state.activeList[position];
  for (uint32_t q = 0; q < state.liveCount; q++) {
    if (q == position) continue;
    uint32_t y = state.activeList[q];
    double delta = clusterMergeDelta(state, r, y);
    bool listed = false;
    for (uint32_t i = 0; i < e.lists.count[r]; i++) {
      const Candidate& c = entryAt(e.lists, r, i);
      if (c.row != y || !isCurrent(e, c)) continue;
      ENGINE_CHECK(c.value == delta, y);
      listed = true;
    }
    bool later = q > position;
    double floor = later ? e.floors.later[r] : e.floors.earlierBySlot[e.mirror.slotOf[r]];
    ENGINE_CHECK(listed || delta >= floor, y);
  }
}

void checkEngineInvariants(const FastEngine& engine, const ClusteringState& state) {
  if (engine.failed || state.liveCount < 2) return;
  checkMirror(engine, state);
  checkEntries(state);
  // The lists cost kCandidates entries per cluster: every 16th pass, a
  // few hundred of them in turn, and the content classes in full. The exact
  // check costs as much as a direct rescan: on runs of up to kExactCheckLimit clusters, one cluster in turn
  // every 16th pass, once the first refresh has set the floors up.
  constexpr uint32_t kExactCheckLimit = 2048;
  const PassMemory& memory = engine.memory;
  if (memory.updates % 16 != 0) return;
  checkLists(engine, state, memory.updates / 16 * 509);
  checkEnvelopes(engine);
  ENGINE_CHECK(classesHold(engine, state), memory.updates);
  if (memory.listsReady && state.liveCount <= kExactCheckLimit)
    checkOneClusterExactly(engine, state, memory.updates / 16 % state.liveCount);
}
