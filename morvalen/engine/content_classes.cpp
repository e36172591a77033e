#include "content_classes.h"

#include <algorithm>

#include "engine.h"
#include "shared.h"

namespace {

uint64_t contentHash(const int32_t* counts, uint32_t columns) {
  uint64_t h = 0x9E3779B97F4A7C15ull ^ columns;
  for (uint32_t k = 0; k < columns; k++) {
    h = (h ^ uint32_t(counts[k])) * 0xFF51AFD7ED558CCDull;
    h ^= h >> 32;
  }
  return h;
}

// The class of `counts` among those with live members, made when there is
// none: a new id.
uint32_t findOrMakeClass(ContentClasses& c, const ClusteringState& state, const int32_t* counts) {
  uint64_t h = contentHash(counts, state.columns);
  auto range = c.byHash.equal_range(h);
  for (auto it = range.first; it != range.second; ++it) {
    const int32_t* member = rowOf(state, c.firstMember[it->second]);
    if (std::equal(counts, counts + state.columns, member)) return it->second;
  }
  uint32_t id = classCount(c);
  c.hashOf.push_back(h);
  c.firstMember.push_back(kNoRow);
  c.members.push_back(0);
  c.largeIndex.push_back(kNoClass);
  c.byHash.emplace(h, id);
  return id;
}

// Keeps `large` in step with the class's member count.
void updateLarge(ContentClasses& c, uint32_t cls) {
  bool isLarge = c.members[cls] >= kLargeClass;
  uint32_t index = c.largeIndex[cls];
  if (isLarge == (index != kNoClass)) return;
  if (isLarge) {
    c.largeIndex[cls] = uint32_t(c.large.size());
    c.large.push_back(cls);
    return;
  }
  c.large[index] = c.large.back();
  c.largeIndex[c.large[index]] = index;
  c.large.pop_back();
  c.largeIndex[cls] = kNoClass;
}

void addMember(ContentClasses& c, uint32_t cls, uint32_t row) {
  c.classOf[row] = cls;
  c.previousMember[row] = kNoRow;
  c.nextMember[row] = c.firstMember[cls];
  if (c.firstMember[cls] != kNoRow) c.previousMember[c.firstMember[cls]] = row;
  c.firstMember[cls] = row;
  c.members[cls]++;
  c.sharedCount += c.members[cls] == 2;
  if (c.members[cls] >= 2) c.sharedClass[row] = cls;
  if (c.members[cls] == 2) c.sharedClass[c.nextMember[row]] = cls;
  updateLarge(c, cls);
}

// A class left without members leaves the hash index, so that its id is
// never found again.
void removeMember(ContentClasses& c, uint32_t row) {
  uint32_t cls = c.classOf[row];
  uint32_t next = c.nextMember[row], previous = c.previousMember[row];
  if (previous != kNoRow)
    c.nextMember[previous] = next;
  else
    c.firstMember[cls] = next;
  if (next != kNoRow) c.previousMember[next] = previous;
  c.classOf[row] = kNoClass;
  c.sharedClass[row] = kNoClass;
  c.members[cls]--;
  c.sharedCount -= c.members[cls] == 1;
  if (c.members[cls] == 1) c.sharedClass[c.firstMember[cls]] = kNoClass;
  updateLarge(c, cls);
  if (c.members[cls] != 0) return;
  auto range = c.byHash.equal_range(c.hashOf[cls]);
  for (auto it = range.first; it != range.second; ++it) {
    if (it->second == cls) {
      c.byHash.erase(it);
      break;
    }
  }
}

}  // namespace

uint32_t memberOtherThan(const ContentClasses& c, uint32_t cls, uint32_t row) {
  uint32_t first = c.firstMember[cls];
  return first != row ? first : c.nextMember[first];
}

void classifyLiveClusters(FastEngine& e, const ClusteringState& state) {
  ContentClasses& c = e.classes;
  c = ContentClasses();
  c.classOf.assign(state.rows, kNoClass);
  c.sharedClass.assign(state.rows, kNoClass);
  c.nextMember.assign(state.rows, kNoRow);
  c.previousMember.assign(state.rows, kNoRow);
  for (uint32_t p = 0; p < state.liveCount; p++) {
    uint32_t r = state.activeList[p];
    addMember(c, findOrMakeClass(c, state, rowOf(state, r)), r);
  }
}

void classesFollowMerge(FastEngine& e, const ClusteringState& state, uint32_t merged, uint32_t last) {
  ContentClasses& c = e.classes;
  uint32_t a = state.activeList[merged];
  removeMember(c, state.activeList[last]);
  // a leaves its old class before its new one is looked up, so that the
  // lookup compares with live members of the current counts only.
  removeMember(c, a);
  addMember(c, findOrMakeClass(c, state, rowOf(state, a)), a);
}

bool classesHold(const FastEngine& e, const ClusteringState& state) {
  const ContentClasses& c = e.classes;
  std::vector<uint32_t> seen(classCount(c), 0);
  for (uint32_t p = 0; p < state.liveCount; p++) {
    uint32_t r = state.activeList[p];
    uint32_t cls = c.classOf[r];
    if (cls >= classCount(c) || c.firstMember[cls] == kNoRow) return false;
    const int32_t* first = rowOf(state, c.firstMember[cls]);
    if (!std::equal(first, first + state.columns, rowOf(state, r))) return false;
    if (c.sharedClass[r] != (c.members[cls] >= 2 ? cls : kNoClass)) return false;
    seen[cls]++;
  }
  uint32_t shared = 0;
  for (uint32_t cls = 0; cls < classCount(c); cls++) {
    if (seen[cls] != c.members[cls]) return false;
    shared += c.members[cls] >= 2;
    if ((c.members[cls] >= kLargeClass) != (c.largeIndex[cls] != kNoClass)) return false;
  }
  return shared == c.sharedCount;
}
