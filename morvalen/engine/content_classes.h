// Content classes: the live clusters grouped by their counts, so that a
// delta or a bound that clusters of equal counts share is evaluated once.
//
// Read me first:
// - A merge delta is a function of the two clusters' counts alone. A
//   cluster's total is the wrapping sum of its counts (it is the wrapping sum
//   of its members' totals, and 32-bit wrapping addition is associative and
//   commutative), and its stored cost is rowCost of those counts and that
//   total (a merged cluster's cost has the bits of rowCost: mergedCost). So
//   clusters with equal counts have equal totals and costs, equal bound data
//   (describeCluster reads nothing else), and their deltas and lower bounds
//   against any third cluster are the same bits, whichever kernel or lane
//   computes them (every kernel gives the bits of mergeDelta). Only the
//   evaluation is shared: every member still receives its value, and every
//   comparison that decides an entry is still made per member, in the order
//   the direct scans make it.
// - Every live cluster belongs to the class of its counts. A class is found
//   by a 64-bit hash of the counts and confirmed by comparing them in full
//   with a live member's. A class left without members is never found again,
//   so an id names one content for the whole run.
// - Each class links its live members (firstMember, nextMember,
//   previousMember), so that a member other than a given cluster is found
//   in O(1).
//   sharedClass names the class of the rows whose class is shared, with
//   one read where the scans ask.
// - The classes of kLargeClass members or more are listed in `large`: the
//   neighbour update evaluates the merged cluster against each once.
#pragma once

#include <cstdint>
#include <unordered_map>
#include <vector>

#include "candidates.h"
#include "clustering.h"

struct FastEngine;

constexpr uint32_t kNoClass = UINT32_MAX;
constexpr uint32_t kLargeClass = 16;

struct ContentClasses {
  std::vector<uint32_t> classOf;                       // [row], for live rows
  std::vector<uint32_t> sharedClass;                   // [row]: classOf while shared, else kNoClass
  std::vector<uint32_t> nextMember;                    // [row]: in its class; kNoRow at the end
  std::vector<uint32_t> previousMember;                // [row]: kNoRow at the start
  std::vector<uint32_t> firstMember;                   // [class]; kNoRow for none
  std::vector<uint32_t> members;                       // [class]: live members
  std::vector<uint64_t> hashOf;                        // [class]
  std::unordered_multimap<uint64_t, uint32_t> byHash;  // the classes with live members, by hash
  std::vector<uint32_t> large;                         // classes of kLargeClass members or more
  std::vector<uint32_t> largeIndex;                    // [class]: its index in `large`, or kNoClass
  uint32_t sharedCount = 0;                            // classes of two members or more
};

inline uint32_t classCount(const ContentClasses& c) { return uint32_t(c.members.size()); }

// The class of a live row when another live cluster has the same counts;
// kNoClass otherwise.
inline uint32_t sharedClassOf(const ContentClasses& c, uint32_t row) { return c.sharedClass[row]; }

// A live member of `cls` other than `row` (which need not be a member);
// kNoRow when there is none.
uint32_t memberOtherThan(const ContentClasses& c, uint32_t cls, uint32_t row);

// Sorts the live clusters of a fresh state into classes.
void classifyLiveClusters(FastEngine& e, const ClusteringState& state);

// Follows the merge of the cluster at `last` (after the merge; it was
// absorbed) into the one at `merged`, whose counts changed.
void classesFollowMerge(FastEngine& e, const ClusteringState& state, uint32_t merged, uint32_t last);

// Checks that every live cluster's counts are those of its class's first
// member, and that the member counts add up; false if not.
bool classesHold(const FastEngine& e, const ClusteringState& state);
