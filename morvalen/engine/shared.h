// Small helpers the engine's parts share.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "clustering.h"
#include "engine.h"

inline const int32_t* rowOf(const ClusteringState& state, uint32_t row) {
  return state.counts + size_t(row) * state.columns;
}

// The nonzero columns of a live row.
inline const uint64_t* maskOf(const FastEngine& e, uint32_t row) {
  return e.mirror.rowMasks.data() + size_t(row) * e.mirror.maskWords;
}

// The ceiling of a live row's counts (kernel_types.h).
inline int32_t ceilingOf(const FastEngine& e, uint32_t row) { return e.mirror.rowCeilings[row]; }

// Asks ahead for the list memory an offer of partner to owner writes: none
// when the offer renews the entry placed last (lastEntry, by row); else the
// place the entry placed last goes back to, and the list's end, where a
// new partner most often goes. Offers go to lists far apart in memory;
// fetched side by side, their misses overlap. A hint only: nothing is read
// or written but the dense arrays.
inline void prefetchOffer(const FastEngine& e, uint32_t owner, uint32_t partner) {
  const CandidateLists& lists = e.lists;
  uint32_t last = lists.lastInserted[owner];
  uint32_t count = lists.count[owner];
  if (placedLast(lists, owner, partner)) return;
  size_t list = size_t(owner) * kCandidates;
  if (last < count) __builtin_prefetch(&lists.entries[list + last], 1);
  if (count < kCandidates) __builtin_prefetch(&lists.partners[list + count], 1);
}

// A candidate is current while its partner has not merged since.
inline bool isCurrent(const FastEngine& e, const Candidate& c) { return e.lists.stamp[c.row] == c.stamp; }

// Whether owner's filter lets partner be in its list.
inline bool mayBeListed(const FastEngine& e, uint32_t owner, uint32_t partner) {
  uint32_t bit = partner % (64 * kFilterWords);
  return (e.lists.filterBySlot[bit / 64 * e.mirror.slotCapacity + e.mirror.slotOf[owner]] >> (bit % 64) & 1) != 0;
}

inline double& floorEarlierOf(FastEngine& e, uint32_t row) { return e.floors.earlierBySlot[e.mirror.slotOf[row]]; }
inline double floorEarlierOf(const FastEngine& e, uint32_t row) {
  return e.floors.earlierBySlot[e.mirror.slotOf[row]];
}

// The floor of owner's side that partner lies on.
inline double& floorFor(FastEngine& e, uint32_t owner, uint32_t partner) {
  return e.mirror.positionOf[partner] > e.mirror.positionOf[owner] ? e.floors.later[owner] : floorEarlierOf(e, owner);
}

// A live row as the fixed cluster of a kernel; `terms` holds its
// fixedColumnTerms.
inline FixedCluster fixedCluster(const FastEngine& e, const ClusteringState& state, uint32_t row,
                                 const double* terms) {
  FixedCluster a;
  a.counts = rowOf(state, row);
  a.mask = maskOf(e, row);
  a.terms = terms;
  a.total = state.rowTotal[row];
  a.cost = double(state.rowCost[row]);
  a.ceiling = ceilingOf(e, row);
  return a;
}

inline PartnerCluster partnerCluster(const FastEngine& e, const ClusteringState& state, uint32_t row) {
  PartnerCluster p;
  p.counts = rowOf(state, row);
  p.mask = maskOf(e, row);
  p.total = state.rowTotal[row];
  p.cost = state.rowCost[row];
  p.ceiling = ceilingOf(e, row);
  return p;
}

inline bool isLive(const FastEngine& e, const ClusteringState& state, uint32_t row) {
  uint32_t p = e.mirror.positionOf[row];
  return p < state.liveCount && state.activeList[p] == row;
}

// Sorts `count` distinct values below `end` in place. When they are many
// (identical rows make nearly every delta needed), marking them and reading
// the marks in order is cheaper than sorting; `marks` is all zero between
// calls, and the result is the same either way.
inline void sortDistinct(uint32_t* values, size_t count, std::vector<uint8_t>& marks, uint32_t end) {
  constexpr size_t kMarkShare = 16;
  if (count * kMarkShare < end) {
    std::sort(values, values + count);
    return;
  }
  if (marks.size() < end) marks.resize(end);
  for (size_t i = 0; i < count; i++) marks[values[i]] = 1;
  size_t n = 0;
  for (uint32_t v = 0; v < end; v++) {
    if (marks[v] == 0) continue;
    values[n++] = v;
    marks[v] = 0;
  }
}

// Scratch arrays only grow: a batch writes every entry it reads, and each
// shrinking would have the next growth fill the entries with zeros again.
template <typename T>
void growTo(std::vector<T>& v, size_t size) {
  if (v.size() < size) v.resize(size);
}
