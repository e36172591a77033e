#include "bound_order.h"

#include <algorithm>
#include <cmath>

#include "shared.h"

namespace {

// The bucket of bound x of buckets 0..last: a non-decreasing function of x
// (bound_order.h). With scale 0 (one bucket, or a range too wide for a
// double) every bound goes to bucket 0, where inf * 0 is NaN.
inline uint32_t bucketOf(double x, double lo, double scale, uint32_t last) {
  double r = (x - lo) * scale;
  if (!(r > 0.0)) return 0;
  if (r >= double(last)) return last;
  return uint32_t(r);
}

}  // namespace

void BoundOrder::start(const BoundEntry* entries, size_t count) {
  count_ = count;
  next_ = 0;
  sortedEnd_ = 0;
  bucket_ = 0;
  buckets_ = 0;
  if (count == 0) return;
  double lo = INFINITY, hi = -INFINITY;
  for (size_t i = 0; i < count; i++) {
    double x = entries[i].bound;
    if (std::isfinite(x)) {
      lo = std::min(lo, x);
      hi = std::max(hi, x);
    }
  }
  buckets_ = uint32_t(std::max<size_t>(1, count / kPerBucket));
  uint32_t last = buckets_ - 1;
  double scale = 0.0;
  if (hi > lo && std::isfinite(hi - lo)) scale = double(buckets_) / (hi - lo);
  if (!std::isfinite(scale)) scale = 0.0;
  if (!(lo <= hi)) lo = 0.0;  // no finite bound: scale is 0, every one in bucket 0
  growTo(starts_, size_t(buckets_) + 1);
  growTo(sorted_, count);
  std::fill(starts_.begin(), starts_.begin() + buckets_ + 1, 0u);
  for (size_t i = 0; i < count; i++) starts_[bucketOf(entries[i].bound, lo, scale, last) + 1]++;
  for (uint32_t b = 0; b < buckets_; b++) starts_[b + 1] += starts_[b];
  // starts_[b] now is bucket b's first slot; it moves along while filling,
  // and ends at bucket b + 1's first slot, so the fill is undone below.
  for (size_t i = 0; i < count; i++) sorted_[starts_[bucketOf(entries[i].bound, lo, scale, last)]++] = entries[i];
  for (uint32_t b = buckets_; b > 0; b--) starts_[b] = starts_[b - 1];
  starts_[0] = 0;
}

// Sorts the next bucket in place; the entries before it are sorted.
void BoundOrder::sortNextBucket() {
  auto before = [](const BoundEntry& x, const BoundEntry& y) {
    return x.bound < y.bound || (x.bound == y.bound && x.index < y.index);
  };
  BoundEntry* from = sorted_.data() + starts_[bucket_];
  BoundEntry* to = sorted_.data() + starts_[bucket_ + 1];
  if (to - from <= kInsertionSortMost) {
    // most buckets hold a few entries
    for (BoundEntry* p = from + 1; p < to; p++) {
      BoundEntry v = *p;
      BoundEntry* q = p;
      for (; q > from && before(v, q[-1]); q--) *q = q[-1];
      *q = v;
    }
  } else {
    std::sort(from, to, before);
  }
  sortedEnd_ = starts_[bucket_ + 1];
  bucket_++;
}

// Sorts buckets until the next entry is in its final place (or none is
// left).
void BoundOrder::settle() {
  while (next_ == sortedEnd_ && bucket_ < buckets_) sortNextBucket();
}

void BoundOrder::sortThrough(size_t end) {
  while (sortedEnd_ < end && bucket_ < buckets_) sortNextBucket();
}
