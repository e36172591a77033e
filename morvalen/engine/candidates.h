// Candidate lists and floors: what every live cluster remembers of its exact
// deltas, so that most stale entries need no rescan.
//
// Read me first:
// - A delta depends only on the two clusters' counts, totals and stored
//   costs, and it is exactly symmetric: the integer sums commute, and so do
//   the two IEEE additions of the costs. A value computed once therefore
//   stays exact until one of the two clusters merges. Each cluster is
//   stamped; a merge bumps the stamps of both clusters involved, which
//   retires every stored value that involves either (a candidate is current
//   while its stamp is its partner's).
// - Every live cluster r keeps up to kCandidates partners with their exact
//   deltas, and two floors: every live cluster that is not in the list and
//   sits at a later position has a delta to r of at least floorLater[r]; at
//   an earlier position, at least floorEarlier[r]. A delta left uncomputed
//   lowers a floor by its bound at most; evicting an entry lowers the floor
//   of its side.
// - A filter of kFilterWords words per cluster has bit (partner % 1024) set
//   for every partner its list holds (and maybe for some it no longer
//   holds): a clear bit proves the partner absent without reading the list.
// - The filters and floorEarlier are kept by slot, word-major, so that a
//   rescan reads them for the kLanes clusters of a tile side by side; lists,
//   stamps and floorLater by row.
// - partners[owner][i] is entries[owner][i].row for every i below the
//   owner's count.
// - lastInserted[owner] is the index of the entry insertCandidate placed
//   last in owner's list (kNoEntry once the list was rebuilt or compacted
//   since): the neighbour update offers the merged cluster to every list in
//   every pass, and most often that cluster was the last one placed there.
// - That entry lives in lastEntry[owner], by row, side by side with the
//   other lists' last entries: while lastInserted[owner] is below the count,
//   entry lastInserted[owner] of owner's list is lastEntry[owner], and the
//   list's own place there is out of date (its partner row stands). Every
//   reader takes entries through entryAt; a write at another index first
//   puts the last entry back in its place. So the offers of an update,
//   which mostly renew the entry placed last, touch no list at all: on
//   copies of one row a list miss per cluster and pass was most of the
//   update's time.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "clustering.h"

struct FastEngine;

// A cluster's list holds up to kCandidates exact deltas. Longer lists answer
// more refreshes as the clusters grow in number.
constexpr uint32_t kCandidates = 128;
constexpr uint32_t kFilterWords = 16;
constexpr uint32_t kNoPosition = UINT32_MAX;
constexpr uint32_t kNoRow = UINT32_MAX;
constexpr uint8_t kNoEntry = UINT8_MAX;
static_assert(kCandidates < kNoEntry, "an entry index fits lastInserted");

struct Candidate {
  double value;
  uint32_t row;
  uint32_t stamp;
};

// The running answer of a refresh: the direct scan keeps the first position
// whose delta is strictly below everything before it, starting from 1e30.
struct Best {
  double value = double(kNoDelta);
  uint32_t position = kNoPosition;
};

inline void offer(Best& best, double value, uint32_t position) {
  if (value < best.value || (value == best.value && best.position != kNoPosition && position < best.position)) {
    best.value = value;
    best.position = position;
  }
}

inline void lowerFloor(double& floor, double value) {
  if (value < floor) floor = value;
}

struct CandidateLists {
  std::vector<uint32_t> stamp;        // [row]
  std::vector<Candidate> entries;     // [row][kCandidates]
  // The entries' partner rows again, side by side, so that a search for a
  // partner reads a quarter of the memory and compares many at once.
  std::vector<uint32_t> partners;     // [row][kCandidates]
  std::vector<uint8_t> count;         // [row]
  std::vector<uint8_t> lastInserted;  // [row]: an entry index, or kNoEntry
  std::vector<Candidate> lastEntry;   // [row]: the entry at lastInserted
  std::vector<uint64_t> filterBySlot; // [kFilterWords][slot]
};

struct Floors {
  std::vector<double> later;          // [row]
  std::vector<double> earlierBySlot;  // [slot]
};

// Keeps the kCandidates smallest (value, row) pairs offered; reports every
// pair it turns away or pushes out. Lexicographic order on (value, row) is a
// total order, so the lists kept do not depend on the order in which values
// arrive.
struct TopCandidates {
  Candidate entries[kCandidates];  // once full, a heap with the largest first
  uint32_t count = 0;

  // Whether `c` would be kept (always while there is room).
  bool wouldKeep(const Candidate& c) const;

  template <typename Rejected>
  void add(const Candidate& c, Rejected rejected);
};

// isCurrent, mayBeListed, floorEarlierOf and floorFor: shared.h.

// Drops entries whose partner merged or vanished.
void compactCandidates(FastEngine& e, uint32_t owner);
// Records the exact delta between owner and partner in owner's list when it
// beats the floor of its side; an entry pushed out lowers the floor of its
// own side, so the floors stay lower bounds of every unlisted delta.
void insertCandidate(FastEngine& e, uint32_t owner, uint32_t partner, double value);
// The exact delta between owner and partner if owner lists partner.
bool listedValue(const FastEngine& e, uint32_t owner, uint32_t partner, double* value);
// The best listed partner of the cluster at `position` among later positions.
Best bestListedLater(const FastEngine& e, uint32_t row, uint32_t position);
// The answer of the cluster at `position` when its best listed later value
// equals its floorLater, where the floor alone cannot rule out an unlisted
// cluster of that value at an earlier position; false when the lists and
// the content classes cannot tell (then a rescan must).
bool answerTieFromLists(const FastEngine& e, const ClusteringState& state, uint32_t position, Best* best);
// Makes owner's list the entries of `top`, and its filter theirs.
void storeList(FastEngine& e, uint32_t owner, const TopCandidates& top);

// ---- inline ----------------------------------------------------------------

// Entry i (below the count) of owner's list.
inline const Candidate& entryAt(const CandidateLists& lists, uint32_t owner, uint32_t i) {
  return i == lists.lastInserted[owner] ? lists.lastEntry[owner] : lists.entries[size_t(owner) * kCandidates + i];
}

// Whether owner's entry placed last names partner (lastEntry holds it).
inline bool placedLast(const CandidateLists& lists, uint32_t owner, uint32_t partner) {
  return lists.lastInserted[owner] < lists.count[owner] && lists.lastEntry[owner].row == partner;
}

inline bool candidateBefore(const Candidate& x, const Candidate& y) {
  return x.value < y.value || (x.value == y.value && x.row < y.row);
}

inline bool TopCandidates::wouldKeep(const Candidate& c) const {
  return count < kCandidates || candidateBefore(c, entries[0]);
}

template <typename Rejected>
void TopCandidates::add(const Candidate& c, Rejected rejected) {
  if (!wouldKeep(c)) {
    rejected(c);
    return;
  }
  if (count < kCandidates) {
    entries[count++] = c;
    if (count == kCandidates) std::make_heap(entries, entries + count, candidateBefore);
    return;
  }
  rejected(entries[0]);
  std::pop_heap(entries, entries + count, candidateBefore);
  entries[count - 1] = c;
  std::push_heap(entries, entries + count, candidateBefore);
}
