// Candidates taken in ascending order of (bound, index), sorted only as far
// as they are taken.
//
// A rescan's second round takes its candidates smallest bound first and
// stops at a reach that falls as deltas come. On raw data it takes most of
// them; elsewhere few. Either way a heap or a full sort spends a comparison
// sort on them. Here the candidates are spread over buckets of equal width
// in bound, about kPerBucket to a bucket, in linear passes (range, counts,
// placement), and a bucket is sorted when the taking reaches it.
//
// Why the order taken is exactly (bound, index) ascending: the bucket of a
// bound is a non-decreasing function of it. (x - lo) and its product with a
// positive scale are rounded to nearest, and rounding keeps the order of
// its arguments; the cut to a bucket number (with +inf and -inf clamped to
// the ends) keeps it too. So every entry of a bucket precedes, under
// (bound, index), every entry of a later bucket, and sorting each bucket in
// turn yields the full order. Entries have distinct indices, so the order
// is total and no tie is left to the sort.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

struct BoundEntry {
  double bound;
  uint32_t index;
};

class BoundOrder {
 public:
  // Takes entries[0, count) (no bound NaN, indices distinct); the entries
  // are copied, so `entries` may be reused. Keeps its buffers between
  // calls.
  void start(const BoundEntry* entries, size_t count);
  bool empty() {
    settle();
    return next_ == count_;
  }
  // The smallest entry left; only when not empty.
  const BoundEntry& top() {
    settle();
    return sorted_[next_];
  }
  // Takes the smallest entry left; returns its place in the order taken,
  // where entries() holds it. Only when not empty.
  size_t takePlace() {
    settle();
    return next_++;
  }
  // Sorts ahead of the taking: the entries at places below min(end, count)
  // are in their final order after the call, and stay there.
  void sortThrough(size_t end);
  // The entries, by place: final below the places taken or sorted through.
  const BoundEntry* entries() const { return sorted_.data(); }

  static constexpr size_t kPerBucket = 4;
  // Buckets up to this size are sorted by insertion, larger ones by std::sort.
  static constexpr ptrdiff_t kInsertionSortMost = 16;

 private:
  void settle();
  void sortNextBucket();

  std::vector<BoundEntry> sorted_;  // by bucket; in order below sortedEnd_
  std::vector<uint32_t> starts_;    // bucket b: [starts_[b], starts_[b + 1])
  size_t count_ = 0;
  size_t next_ = 0;
  size_t sortedEnd_ = 0;
  uint32_t bucket_ = 0;  // the next bucket to sort
  uint32_t buckets_ = 0;
};
