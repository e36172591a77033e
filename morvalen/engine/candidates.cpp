#include "candidates.h"

#include <cstring>

#include "content_classes.h"
#include "engine.h"
#include "shared.h"

static uint64_t& filterWord(FastEngine& e, uint32_t owner, uint32_t word) {
  return e.lists.filterBySlot[word * e.mirror.slotCapacity + e.mirror.slotOf[owner]];
}

static void markListed(FastEngine& e, uint32_t owner, uint32_t partner) {
  uint32_t bit = partner % (64 * kFilterWords);
  filterWord(e, owner, bit / 64) |= uint64_t(1) << (bit % 64);
}

void compactCandidates(FastEngine& e, uint32_t owner) {
  Candidate* list = &e.lists.entries[size_t(owner) * kCandidates];
  uint32_t* partners = &e.lists.partners[size_t(owner) * kCandidates];
  uint32_t kept = 0;
  for (uint32_t i = 0; i < e.lists.count[owner]; i++) {
    const Candidate c = entryAt(e.lists, owner, i);
    if (!isCurrent(e, c)) continue;
    partners[kept] = c.row;
    list[kept++] = c;
  }
  // Every entry is in its place now.
  e.lists.count[owner] = uint8_t(kept);
  e.lists.lastInserted[owner] = kNoEntry;
}

// The partners of a list are compared kSearchWidth at a time, as vectors of
// four rows (GCC's vector extension: SSE2, NEON, or plain code): a group
// without the partner, the common case, costs a few vector compares. A
// list's partner rows fill whole groups (kCandidates is a multiple of
// kSearchWidth), and those past its count are masked off.
constexpr uint32_t kSearchWidth = 16;
static_assert(kCandidates % kSearchWidth == 0, "a list is whole groups");
typedef uint32_t FourRows __attribute__((vector_size(16)));

static uint32_t matchesAt(const uint32_t* partners, uint32_t partner) {
  FourRows any = {0, 0, 0, 0};
  for (uint32_t k = 0; k < kSearchWidth; k += 4) {
    FourRows four;
    std::memcpy(&four, partners + k, sizeof four);
    any |= (FourRows)(four == partner);
  }
  if ((any[0] | any[1] | any[2] | any[3]) == 0) return 0;
  uint32_t hits = 0;
  for (uint32_t k = 0; k < kSearchWidth; k++) hits |= uint32_t(partners[k] == partner) << k;
  return hits;
}

static uint32_t widthMask(uint32_t left) {
  return left >= kSearchWidth ? (uint32_t(1) << kSearchWidth) - 1 : (uint32_t(1) << left) - 1;
}

constexpr uint32_t kNotListed = UINT32_MAX;

// The index of owner's current entry of partner, or kNotListed. Stale
// entries of the partner may sit beside its current one: every match is
// looked at.
static uint32_t currentEntryOf(const FastEngine& e, uint32_t owner, uint32_t partner) {
  const uint32_t* partners = &e.lists.partners[size_t(owner) * kCandidates];
  uint32_t count = e.lists.count[owner];
  for (uint32_t start = 0; start < count; start += kSearchWidth) {
    for (uint32_t hits = matchesAt(partners + start, partner) & widthMask(count - start); hits != 0; hits &= hits - 1) {
      uint32_t i = start + uint32_t(__builtin_ctz(hits));
      if (isCurrent(e, entryAt(e.lists, owner, i))) return i;
    }
  }
  return kNotListed;
}

// Places `fresh` at index i of owner's list, as the entry placed last; the
// one placed before goes back to its place in the list.
static void placeAt(FastEngine& e, uint32_t owner, uint32_t i, const Candidate& fresh) {
  CandidateLists& lists = e.lists;
  uint32_t last = lists.lastInserted[owner];
  if (last < lists.count[owner] && last != i) lists.entries[size_t(owner) * kCandidates + last] = lists.lastEntry[owner];
  lists.lastEntry[owner] = fresh;
  lists.partners[size_t(owner) * kCandidates + i] = fresh.row;
  if (i == lists.count[owner]) lists.count[owner] = uint8_t(i + 1);
  lists.lastInserted[owner] = uint8_t(i);
  markListed(e, owner, fresh.row);
}

// A stale entry's place is reused, so the list needs no compaction here.
void insertCandidate(FastEngine& e, uint32_t owner, uint32_t partner, double value) {
  double& floor = floorFor(e, owner, partner);
  if (!(value < floor)) return;
  uint32_t count = e.lists.count[owner];
  Candidate fresh = {value, partner, e.lists.stamp[partner]};
  // The partner placed last: when that entry is current, the partner is
  // listed already; when it is stale, the partner merged after it was
  // placed, so every entry of the partner is stale (each was placed before
  // it: storeList and compaction reset lastInserted), and taking this stale
  // place leaves the same current entries as the search below would.
  // The entry keeps its partner, so its partner row and filter bit stand.
  if (placedLast(e.lists, owner, partner)) {
    Candidate& lastEntry = e.lists.lastEntry[owner];
    // Field by field: the row stands, and a copy of the whole of `fresh`
    // would wait for its parts to be stored first.
    if (!isCurrent(e, lastEntry)) {
      lastEntry.value = value;
      lastEntry.stamp = fresh.stamp;
    }
    return;
  }
  // Most often the list has room and its filter proves the partner absent:
  // the entry goes to the end. Its current entries are then the same as if
  // it had taken a stale entry's place.
  bool mayHold = mayBeListed(e, owner, partner);
  if (count < kCandidates && !mayHold) {
    placeAt(e, owner, count, fresh);
    return;
  }
  // A partner listed already keeps its entry; else the first stale entry
  // makes way, or the end.
  if (mayHold && currentEntryOf(e, owner, partner) != kNotListed) return;
  uint32_t freeSlot = count;
  for (uint32_t i = 0; i < count; i++) {
    if (!isCurrent(e, entryAt(e.lists, owner, i))) {
      freeSlot = i;
      break;
    }
  }
  if (freeSlot < kCandidates) {
    placeAt(e, owner, freeSlot, fresh);
    return;
  }
  // Full of current entries: the largest makes way, or the value is turned
  // away.
  uint32_t largest = 0;
  for (uint32_t i = 1; i < count; i++)
    if (candidateBefore(entryAt(e.lists, owner, largest), entryAt(e.lists, owner, i))) largest = i;
  const Candidate pushedOut = entryAt(e.lists, owner, largest);
  if (candidateBefore(pushedOut, fresh)) {
    lowerFloor(floor, value);
    return;
  }
  lowerFloor(floorFor(e, owner, pushedOut.row), pushedOut.value);
  placeAt(e, owner, largest, fresh);
}

// The entry placed last answers first: a rescan's fixed cluster is most often
// the merged cluster the last neighbour update placed in every list. When
// that entry is the partner's and current, it holds the exact delta (every
// current entry of a pair does); when it is the partner's and stale, so is
// every entry of the partner (insertCandidate), and the search below would
// find none.
bool listedValue(const FastEngine& e, uint32_t owner, uint32_t partner, double* value) {
  if (!mayBeListed(e, owner, partner)) return false;
  if (placedLast(e.lists, owner, partner)) {
    const Candidate& lastEntry = e.lists.lastEntry[owner];
    if (!isCurrent(e, lastEntry)) return false;
    *value = lastEntry.value;
    return true;
  }
  uint32_t i = currentEntryOf(e, owner, partner);
  if (i == kNotListed) return false;
  *value = entryAt(e.lists, owner, i).value;
  return true;
}

Best bestListedLater(const FastEngine& e, uint32_t row, uint32_t position) {
  Best best;
  for (uint32_t i = 0; i < e.lists.count[row]; i++) {
    const Candidate& c = entryAt(e.lists, row, i);
    if (!isCurrent(e, c)) continue;
    uint32_t partnerPosition = e.mirror.positionOf[c.row];
    if (partnerPosition > position) offer(best, c.value, partnerPosition);
  }
  return best;
}

// The listed best (t, p) is the smallest listed later value, at its earliest
// position; every unlisted later cluster has a delta of at least the floor,
// which is t. So the direct scan's answer is t, at p or at an earlier
// unlisted position whose delta is exactly t. Walking the positions q before
// p in order: a listed cluster's exact value exceeds t (else it would be the
// listed best), so it is passed; an unlisted cluster with the counts of p's
// has exactly t (content_classes.h), so the first one is the answer; any
// other unlisted cluster may have t, and only a rescan can tell.
bool answerTieFromLists(const FastEngine& e, const ClusteringState& state, uint32_t position, Best* best) {
  constexpr uint32_t kLongestWalk = 256;
  if (best->position == kNoPosition || best->position - position - 1 > kLongestWalk) return false;
  uint32_t row = state.activeList[position];
  uint32_t cls = sharedClassOf(e.classes, state.activeList[best->position]);
  for (uint32_t q = position + 1; q < best->position; q++) {
    uint32_t y = state.activeList[q];
    double value;
    if (listedValue(e, row, y, &value)) {
      if (!(value > best->value)) return false;  // not a listed best after all: leave it to a rescan
      continue;
    }
    if (cls == kNoClass || sharedClassOf(e.classes, y) != cls) return false;
    best->position = q;
    return true;
  }
  return true;
}

void storeList(FastEngine& e, uint32_t owner, const TopCandidates& top) {
  Candidate* list = &e.lists.entries[size_t(owner) * kCandidates];
  for (uint32_t w = 0; w < kFilterWords; w++) filterWord(e, owner, w) = 0;
  uint32_t* partners = &e.lists.partners[size_t(owner) * kCandidates];
  for (uint32_t i = 0; i < top.count; i++) {
    list[i] = top.entries[i];
    partners[i] = list[i].row;
    markListed(e, owner, list[i].row);
  }
  e.lists.count[owner] = uint8_t(top.count);
  e.lists.lastInserted[owner] = kNoEntry;
}
