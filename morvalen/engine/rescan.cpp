#include "rescan.h"

#include <algorithm>
#include <limits>

#include "engine.h"
#include "worker_pool.h"
#include "shared.h"

namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();

// What the first look at a job's later clusters found, beside the values
// known from lists (in computedAt) and the candidates (in the selection).
struct FirstLook {
  uint32_t candidates = 0;          // unknown values whose bound is <= t
  double floorOutside = kInfinity;  // the smallest bound of the others
};

uint32_t laterClass(const FastEngine& e, const ClusteringState& state, bool classes, uint32_t position);
void startClassMemory(const FastEngine& e, WorkerScratch& scratch);
// Computes the deltas at the job's later indices listed in `wanted`
// (below).
void computeAt(FastEngine& e, const ClusteringState& state, ScanJob& job, const FixedCluster& a,
               const uint32_t* wanted, uint32_t count, WorkerScratch& s);

// Whether the first refresh's cut rules a tile out: its envelope bound lies
// above the cut by more than the margin. lookAtTiles and boundTogether both
// ask it, so that a group bounds exactly the tiles a job's look reads.
bool cutRulesOut(double envelope, double cut) { return envelope > cut + kCutMargin; }

// The first refresh's cut, from the tiles' envelopes (bounds.h). Slots
// follow positions then, so a tile holds consecutive blocks of the input,
// which are often alike (code, tables, text), and its envelope bound is then
// close to its clusters' own bounds. The deltas of the later clusters in
// the tiles of smallest envelope bound come first, until kRefill are known:
// with their smallest value u1 and their kRefill-th smallest uK (+inf with
// fewer), no rescan looks past min(uK, u1 + kRefillReach). The first refresh
// has no listed value (t is +inf), so scanJob's reach is at most the
// kRefill-th smallest value it knows, and at most kRefillReach above the
// best it knows, and it knows these values. A tile whose envelope bound
// lies above the cut needs no bound of its own clusters: the envelope is
// below each of their deltas, so it serves as their bound, and no delta of
// theirs is computed (one of them only in the first round, if fewer than
// kRefill others had smaller bounds). Which bounds serve changes no answer
// (bounds only decide which deltas are computed) and keeps every floor
// valid. Returns +inf, with nothing computed, where this does not apply:
// once the lists are set up, once the cut was found to rule out little
// (kCutShare), for short scans, and for a cluster that shares its content
// (its class's scans evaluate each later content once already: copies of
// one block would pay the envelopes and save nothing).
double firstRefreshCut(FastEngine& e, const ClusteringState& state, ScanJob& job, uint32_t firstTile,
                       uint32_t inBatch, WorkerScratch& scratch) {
  constexpr uint32_t kShortestScan = 4 * kRefill;
  uint32_t first = job.position + 1;
  if (e.memory.listsReady || !e.rescans.envelopeCut || state.liveCount - first < kShortestScan) return kInfinity;
  if (sharedClassOf(e.classes, job.row) != kNoClass) return kInfinity;
  const SlotMirror& m = e.mirror;
  uint32_t tileCount = tilesUsed(e);
  const BoundCluster& a = m.bounds[job.row];
  std::vector<double>& envelopes = scratch.tileEnvelopes;
  growTo(envelopes, tileCount);
  // The envelope tiles hold kLanes tiles' made-up clusters each.
  std::vector<std::pair<double, uint32_t>>& order = scratch.tileOrder;
  order.clear();
  double out[kLanes];
  for (uint32_t c = firstTile / kLanes; c * kLanes < tileCount; c++) {
    uint32_t from = std::max(firstTile, c * kLanes), to = std::min(tileCount, (c + 1) * kLanes);
    uint32_t lanes = 0;
    for (uint32_t tile = from; tile < to; tile++) lanes |= 1u << (tile - c * kLanes);
    e.kernels.bound(e.kernels.envelopes, a, c, lanes, out);
    job.bounds += to - from;
    for (uint32_t tile = from; tile < to; tile++) {
      envelopes[tile] = envelopeBound(m.envelopes, a, tile, e.kernels.envelopes.columnsLess1, out[tile - c * kLanes]);
      order.push_back({envelopes[tile], tile});
    }
  }
  // The tiles of smallest envelope bound, until kRefill later clusters.
  auto larger = [](const std::pair<double, uint32_t>& x, const std::pair<double, uint32_t>& y) { return x > y; };
  std::make_heap(order.begin(), order.end(), larger);
  std::vector<uint32_t>& wanted = scratch.wanted;
  wanted.clear();
  growTo(scratch.tileChosen, tileCount);
  double* values = e.rescans.values.data() + job.valueOffset;
  double* bounds = e.rescans.bounds.data() + job.valueOffset;
  for (auto end = order.end(); end != order.begin() && wanted.size() < kRefill; --end) {
    std::pop_heap(order.begin(), end, larger);
    uint32_t tile = (end - 1)->second;
    scratch.tileChosen[tile] = 1;
    for (uint32_t lane = 0; lane < kLanes; lane++) {
      uint32_t p = m.slotPosition[size_t(tile) * kLanes + lane];
      if (p < first) continue;  // earlier, the job's own cluster, or a hole
      wanted.push_back(p - first);
      values[p - first] = kInfinity;
    }
  }
  std::sort(wanted.begin(), wanted.end());
  FixedCluster fixed = fixedCluster(e, state, job.row,
                                    e.rescans.fixedTerms.data() + size_t(inBatch) * state.columns);
  computeAt(e, state, job, fixed, wanted.data(), uint32_t(wanted.size()), scratch);
  // The chosen tiles' values are known: each is its own bound, and the
  // bound of its content class, for the members met later (boundJob).
  const bool classes = e.classes.sharedCount > 0;
  for (uint32_t i : wanted) {
    bounds[i] = values[i];
    uint32_t cls = laterClass(e, state, classes, first + i);
    if (cls != kNoClass) scratch.classBound[cls] = values[i];
  }
  std::vector<double>& known = scratch.knownValues;
  known.clear();
  for (uint32_t i : wanted) known.push_back(values[i]);
  double smallest = *std::min_element(known.begin(), known.end());
  double kth = kInfinity;
  if (known.size() >= kRefill) {
    std::nth_element(known.begin(), known.begin() + (kRefill - 1), known.end());
    kth = known[kRefill - 1];
  }
  return std::min(kth, smallest + kRefillReach);
}

// What a look at some of a job's later tiles found: the values known from
// the later clusters' lists (their indices in `known`), the candidates (fed
// to `selection`), the smallest bound of the others, and the counts.
struct TileLook {
  uint32_t* known = nullptr;
  uint32_t knownCount = 0;
  Selection* selection = nullptr;
  uint32_t candidates = 0;
  double floorOutside = kInfinity;
  uint64_t bounds = 0;
  uint64_t skipped = 0;
  uint64_t ruledOut = 0;
};

// The bounds of a job's fixed cluster r against the later clusters of tiles
// from..to-1; their values start unknown (+inf). Once the lists are set up,
// a cluster y whose floorEarlier exceeds the best listed value t needs no
// bound: unless y lists r (and so knows the exact delta), the delta is at
// least that floor, and the floor itself serves as the bound. Each later
// cluster is then placed at once, in any order (what it goes to is a set):
// a known value is listed as known; an unknown one whose bound is <= t goes
// to the selection; the others' bounds give a floor. A cluster whose
// content class had a member in the kernel before (in this look, or in the
// first refresh's cut) takes that member's bound (the same bits:
// content_classes.h). `cut` is the first refresh's (+inf for none).
void lookAtTiles(FastEngine& e, const ScanJob& job, uint32_t from, uint32_t to,
                 double cut, WorkerScratch& scratch, TileLook& look) {
  const bool classes = e.classes.sharedCount > 0;
  const SlotMirror& m = e.mirror;
  uint32_t first = job.position + 1;
  double* bounds = e.rescans.bounds.data() + job.valueOffset;
  double* values = e.rescans.values.data() + job.valueOffset;
  const BoundCluster& a = m.bounds[job.row];
  // Skipping needs a finite listed value, and lists that are set up.
  double skipAbove = e.memory.listsReady ? job.threshold : kInfinity;
  uint32_t bit = job.row % (64 * kFilterWords);
  const uint64_t* filter = e.lists.filterBySlot.data() + bit / 64 * m.slotCapacity;
  const double t = job.threshold;
  // Counted in locals, stored once at the end: `known` may alias the look.
  uint32_t* known = look.known;
  uint32_t knownCount = look.knownCount, candidates = look.candidates;
  double floorOutside = look.floorOutside;
  Selection& selection = *look.selection;
  auto place = [&](uint32_t i, double value, double bound) {
    if (value != kInfinity) {
      known[knownCount++] = i;
    } else if (bound <= t) {
      candidates++;
      selection.feed(bound, i);
    } else {
      lowerFloor(floorOutside, bound);
    }
  };
  double out[kLanes];
  for (uint32_t tile = from; tile < to; tile++) {
    size_t base = size_t(tile) * kLanes;
    const uint32_t* positions = m.slotPosition.data() + base;
    if (cut != kInfinity) {
      // A tile of the cut's deltas has its values known and listed as
      // computed already; a tile whose envelope bound lies above the cut
      // gives that bound to each of its later clusters.
      bool chosen = scratch.tileChosen[tile] != 0;
      double envelope = scratch.tileEnvelopes[tile];
      scratch.tileChosen[tile] = 0;
      if (chosen) continue;
      if (cutRulesOut(envelope, cut)) {
        // Left out of the scan (bound +inf for now); settleRuledOut gives
        // them their bounds once the floor is known.
        for (uint32_t lane = 0; lane < kLanes; lane++) {
          uint32_t p = positions[lane];
          if (p < first) continue;
          values[p - first] = kInfinity;
          bounds[p - first] = kInfinity;
          look.skipped++;
          look.ruledOut++;
        }
        scratch.ruledOut.push_back(tile);
        continue;
      }
    }
    const double* floors = e.floors.earlierBySlot.data() + base;
    uint32_t lanes = 0;
    uint32_t laneClass[kLanes];
    for (uint32_t lane = 0; lane < kLanes; lane++) {
      uint32_t p = positions[lane];
      if (p < first) continue;  // earlier, the job's own cluster, or a hole
      uint32_t i = p - first;
      values[i] = kInfinity;
      if (skipAbove < floors[lane]) {
        double listedDelta;
        bool listed = (filter[base + lane] >> (bit % 64) & 1) != 0 &&
                      listedValue(e, m.rowInSlot[base + lane], job.row, &listedDelta);
        values[i] = listed ? listedDelta : kInfinity;
        bounds[i] = listed ? listedDelta : floors[lane];
        place(i, values[i], bounds[i]);
        look.skipped++;
        continue;
      }
      uint32_t cls = classes ? sharedClassOf(e.classes, m.rowInSlot[base + lane]) : kNoClass;
      laneClass[lane] = cls;
      if (cls != kNoClass && scratch.classJob[cls] == scratch.jobToken) {
        bounds[i] = scratch.classBound[cls];
        place(i, kInfinity, bounds[i]);
        continue;
      }
      lanes |= 1u << lane;
    }
    if (lanes == 0) continue;
    look.bounds += uint32_t(__builtin_popcount(lanes));
    if (job.boundsKnown) {
      // boundTogether may have left out the clusters of shared classes.
      uint32_t shared = 0;
      for (uint32_t bits = lanes; bits != 0; bits &= bits - 1) {
        uint32_t lane = uint32_t(__builtin_ctz(bits));
        if (laneClass[lane] != kNoClass && !job.classBoundsKnown) shared |= 1u << lane;
        out[lane] = bounds[positions[lane] - first];
      }
      if (shared != 0) {
        double sharedOut[kLanes];
        e.kernels.bound(e.kernels.bounds, a, tile, shared, sharedOut);
        for (uint32_t bits = shared; bits != 0; bits &= bits - 1) {
          uint32_t lane = uint32_t(__builtin_ctz(bits));
          out[lane] = sharedOut[lane];
        }
      }
    } else {
      e.kernels.bound(e.kernels.bounds, a, tile, lanes, out);
    }
    for (uint32_t bits = lanes; bits != 0; bits &= bits - 1) {
      uint32_t lane = uint32_t(__builtin_ctz(bits));
      uint32_t i = positions[lane] - first;
      bounds[i] = out[lane];
      place(i, kInfinity, out[lane]);
      uint32_t cls = laneClass[lane];
      if (cls != kNoClass && scratch.classJob[cls] != scratch.jobToken) {
        scratch.classJob[cls] = scratch.jobToken;
        scratch.classBound[cls] = out[lane];
        scratch.classValue[cls] = kInfinity;
      }
    }
  }
  look.knownCount = knownCount;
  look.candidates = candidates;
  look.floorOutside = floorOutside;
}

// A job's first step: its fixed cluster's terms, a fresh class memory, and
// the first refresh's cut where it applies (with the cut's deltas). Returns
// the cut.
double startJob(FastEngine& e, const ClusteringState& state, ScanJob& job, uint32_t inBatch,
                WorkerScratch& scratch) {
  fixedColumnTerms(e.kernels.table, rowOf(state, job.row), state.columns,
                   e.rescans.fixedTerms.data() + size_t(inBatch) * state.columns);
  startClassMemory(e, scratch);
  job.computed = 0;
  return firstRefreshCut(e, state, job, firstLaterTile(e, job.position), inBatch, scratch);
}

// The bounds of a job against all its later clusters, after the first
// refresh's cut `cut` (startJob).
void boundJob(FastEngine& e, ScanJob& job, double cut, WorkerScratch& scratch, FirstLook& look) {
  uint32_t firstTile = firstLaterTile(e, job.position);
  scratch.selection.reset();
  scratch.ruledOut.clear();
  TileLook tiles;
  tiles.known = e.rescans.computedAt.data() + job.valueOffset;
  tiles.knownCount = job.computed;  // the cut's deltas
  tiles.selection = &scratch.selection;
  lookAtTiles(e, job, firstTile, tilesUsed(e), cut, scratch, tiles);
  job.computed = tiles.knownCount;
  job.bounds += tiles.bounds;
  job.skipped += tiles.skipped;
  job.ruledOut += tiles.ruledOut;
  look.candidates = tiles.candidates;
  look.floorOutside = tiles.floorOutside;
}

// After the scan, the bounds of the clusters in tiles the first refresh's
// cut ruled out, which the scan left at +inf: those bounds are above the
// reach (each is at least its tile's envelope bound, above the cut), so no
// delta of theirs is wanted, but the smallest of them may lower the job's
// floor. Tiles whose envelope bound lies below the floor get their own
// bounds, in ascending order of envelope bound, as the floor falls; the
// others keep the envelope bound, which is then no lower than the floor. So
// the floor is the one the clusters' own bounds would give, and every bound
// left for the later clusters' floors is valid.
void settleRuledOut(FastEngine& e, ScanJob& job, WorkerScratch& scratch) {
  if (scratch.ruledOut.empty()) return;
  const SlotMirror& m = e.mirror;
  uint32_t first = job.position + 1;
  double* bounds = e.rescans.bounds.data() + job.valueOffset;
  const std::vector<double>& envelopes = scratch.tileEnvelopes;
  std::vector<uint32_t>& below = scratch.tilesBelowFloor;
  below.clear();
  for (uint32_t tile : scratch.ruledOut)
    if (envelopes[tile] < job.prunedFloor) below.push_back(tile);
  std::sort(below.begin(), below.end(), [&](uint32_t x, uint32_t y) {
    return envelopes[x] < envelopes[y] || (envelopes[x] == envelopes[y] && x < y);
  });
  double out[kLanes];
  for (uint32_t tile : below) {
    if (!(envelopes[tile] < job.prunedFloor)) break;
    uint32_t lanes = 0;
    for (uint32_t lane = 0; lane < kLanes; lane++)
      if (m.slotPosition[size_t(tile) * kLanes + lane] >= first) lanes |= 1u << lane;
    e.kernels.bound(e.kernels.bounds, m.bounds[job.row], tile, lanes, out);
    job.bounds += uint32_t(__builtin_popcount(lanes));
    for (uint32_t bits = lanes; bits != 0; bits &= bits - 1) {
      uint32_t lane = uint32_t(__builtin_ctz(bits));
      uint32_t i = m.slotPosition[size_t(tile) * kLanes + lane] - first;
      bounds[i] = out[lane];
      lowerFloor(job.prunedFloor, out[lane]);
    }
  }
  for (uint32_t tile : scratch.ruledOut)
    for (uint32_t lane = 0; lane < kLanes; lane++) {
      uint32_t p = m.slotPosition[size_t(tile) * kLanes + lane];
      if (p >= first && bounds[p - first] == kInfinity) bounds[p - first] = envelopes[tile];
    }
}

// Starts a new round of class marks (classCall).
void nextCallToken(WorkerScratch& s) {
  if (++s.callToken != 0) return;
  std::fill(s.classCall.begin(), s.classCall.end(), 0u);
  s.callToken = 1;
}

// Whether a cluster of shared class `cls` follows another member in this
// round: the class's value is known to the job, or a member was met in this
// round already. Otherwise the cluster becomes the class's member of the
// round.
bool followsClass(WorkerScratch& s, uint32_t cls) {
  if (s.classJob[cls] != s.jobToken) {
    s.classJob[cls] = s.jobToken;
    s.classValue[cls] = kInfinity;
  }
  if (s.classValue[cls] != kInfinity || s.classCall[cls] == s.callToken) return true;
  s.classCall[cls] = s.callToken;
  return false;
}

// The shared content class of the cluster at `position`, or kNoClass (also
// when no class is shared at all).
uint32_t laterClass(const FastEngine& e, const ClusteringState& state, bool classes, uint32_t position) {
  return classes ? sharedClassOf(e.classes, state.activeList[position]) : kNoClass;
}

// Computes the deltas at the job's later indices (positions - first) listed
// in `wanted`. Of the clusters of one content class, the first met is
// computed and the others take its value (the same bits:
// content_classes.h), also in later calls of the same job.
void computeAt(FastEngine& e, const ClusteringState& state, ScanJob& job, const FixedCluster& a,
               const uint32_t* wanted, uint32_t count, WorkerScratch& s) {
  uint32_t first = job.position + 1;
  double* values = e.rescans.values.data() + job.valueOffset;
  uint32_t* computed = e.rescans.computedAt.data() + job.valueOffset;
  const bool classes = e.classes.sharedCount > 0;
  auto classAt = [&](uint32_t index) { return laterClass(e, state, classes, first + index); };
  if (classes) nextCallToken(s);
  growTo(s.followers, count);
  growTo(s.callFollowerClass, count);
  uint32_t followerCount = 0;
  constexpr uint32_t kBatch = 64;
  PartnerCluster partners[kBatch];
  uint32_t at[kBatch];
  double out[kBatch];
  uint32_t n = 0;
  auto computeBatch = [&]() {
    partnerDeltas(e.kernels.deltas, a, partners, n, out);
    for (uint32_t i = 0; i < n; i++) {
      values[at[i]] = out[i];
      computed[job.computed++] = at[i];
      uint32_t cls = classAt(at[i]);
      if (cls != kNoClass) s.classValue[cls] = out[i];
    }
    job.deltas += n;
    n = 0;
  };
  // A class met at the index before follows without asking again (as in
  // the second round of scanJob: nothing here starts a new round).
  uint32_t classBefore = kNoClass;
  for (uint32_t w = 0; w < count; w++) {
    uint32_t index = wanted[w];
    uint32_t cls = classAt(index);
    bool follows = cls != kNoClass && (cls == classBefore || followsClass(s, cls));
    classBefore = cls;
    if (follows) {
      s.callFollowerClass[followerCount] = cls;
      s.followers[followerCount++] = index;
      continue;
    }
    partners[n] = partnerCluster(e, state, state.activeList[first + index]);
    at[n++] = index;
    if (n == kBatch) computeBatch();
  }
  if (n > 0) computeBatch();
  for (uint32_t f = 0; f < followerCount; f++) {
    values[s.followers[f]] = s.classValue[s.callFollowerClass[f]];
    computed[job.computed++] = s.followers[f];
  }
}

// The kRefill smallest of the values a job knows: a heap with the largest on
// top.
struct NearestValues {
  double heap[kRefill];
  uint32_t count = 0;

  void add(double value) {
    if (count < kRefill) {
      heap[count++] = value;
      std::push_heap(heap, heap + count);
    } else if (value < heap[0]) {
      std::pop_heap(heap, heap + count);
      heap[count - 1] = value;
      std::push_heap(heap, heap + count);
    }
  }
  // The kRefill-th smallest, +inf while fewer are known.
  double last() const { return count < kRefill ? kInfinity : heap[0]; }
};

// A second round takes this many candidates at a time, each step while
// their bounds are within the reach its values leave.
constexpr uint32_t kSecondRoundStep = 4;

// Takes the next step of a second round: up to kSecondRoundStep candidates,
// each while the order's smallest bound is within reach. Returns how many,
// their places in the order in `places`.
template <typename Reach>
uint32_t takeStep(BoundOrder& order, Reach reach, size_t* places) {
  uint32_t taken = 0;
  while (taken < kSecondRoundStep && !order.empty() && order.top().bound <= reach()) places[taken++] = order.takePlace();
  return taken;
}

// The deltas of an offer's chunk into its values.
void computeChunk(const FastEngine& e, const ClusteringState& state, HelpOffer& help, size_t chunk) {
  size_t from = chunk * kHelpChunk, to = std::min(help.count, from + kHelpChunk);
  PartnerCluster partners[kHelpChunk];
  uint32_t n = 0;
  for (size_t place = from; place < to; place++)
    partners[n++] = partnerCluster(e, state, state.activeList[help.first + help.entries[place].index]);
  partnerDeltas(e.kernels.deltas, help.a, partners, n, help.values.data() + from);
}

inline uint64_t helpWord(uint32_t generation, uint32_t chunks) { return uint64_t(generation) << 32 | chunks; }

// Opens `help` for the order's `count` candidates (rescan.h); returns the
// count of chunks.
size_t openOffer(HelpOffer& help, const FixedCluster& a, uint32_t first, const BoundOrder& order, size_t count) {
  if (++help.generation == 0) {
    // The chunks' marks of the generations before are all retired.
    for (size_t c = 0; c < help.readyCapacity; c++) help.ready[c].store(0, std::memory_order_relaxed);
    help.generation = 1;
  }
  size_t chunks = (count + kHelpChunk - 1) / kHelpChunk;
  if (help.readyCapacity < chunks) {
    size_t capacity = std::max(chunks, 2 * help.readyCapacity);
    help.ready.reset(new std::atomic<uint32_t>[capacity]);
    for (size_t c = 0; c < capacity; c++) help.ready[c].store(0, std::memory_order_relaxed);
    help.readyCapacity = capacity;
  }
  growTo(help.values, count);
  help.a = a;
  help.entries = order.entries();
  help.count = count;
  help.first = first;
  help.claimed.store(helpWord(help.generation, 0), std::memory_order_relaxed);
  help.published.store(helpWord(help.generation, 0), std::memory_order_release);
  help.open.store(true, std::memory_order_release);
  return chunks;
}

// The second round with help (rescan.h): takes the candidates as the plain
// loop of scanJob does, a step at a time while the bound is within reach,
// and passes each to use(index, value) in that order; the values come from
// the offer's chunks.
template <typename Reach, typename Use>
void takeWithHelp(const FastEngine& e, const ClusteringState& state, HelpOffer& help, const FixedCluster& a,
                  uint32_t first, BoundOrder& order, size_t count, Reach reach, Use use) {
  const size_t chunks = openOffer(help, a, first, order, count);
  const uint32_t generation = help.generation;
  size_t published = 0, ensured = 0;  // chunks published, chunks whose values are known
  // Claims and computes the next published chunk, as a helper would;
  // false when it claimed none (every published chunk was claimed, or a
  // helper took the one it tried).
  auto computeUnclaimed = [&]() {
    uint64_t claimed = help.claimed.load(std::memory_order_acquire);
    if (uint32_t(claimed) >= published) return false;
    if (!help.claimed.compare_exchange_strong(claimed, claimed + 1, std::memory_order_acq_rel)) return false;
    size_t chunk = uint32_t(claimed);
    computeChunk(e, state, help, chunk);
    help.ready[chunk].store(generation, std::memory_order_release);
    return true;
  };
  auto ensure = [&](size_t chunk) {
    size_t target = std::min(chunks, chunk + 1 + kHelpAhead);
    if (target > published) {
      order.sortThrough(target * kHelpChunk);
      published = target;
      help.published.store(helpWord(generation, uint32_t(published)), std::memory_order_release);
    }
    uint64_t expected = helpWord(generation, uint32_t(chunk));
    if (help.claimed.compare_exchange_strong(expected, expected + 1, std::memory_order_acq_rel)) {
      computeChunk(e, state, help, chunk);
    } else {
      // A helper claimed it: its values come with its mark. Meanwhile the
      // owner computes the next published chunk no one has claimed, which
      // it would otherwise compute or wait for later.
      SpinWait wait;
      while (help.ready[chunk].load(std::memory_order_acquire) != generation)
        if (!computeUnclaimed()) wait.once();
    }
  };
  size_t step[kSecondRoundStep];
  while (uint32_t taken = takeStep(order, reach, step)) {
    for (uint32_t i = 0; i < taken; i++) {
      while (ensured * kHelpChunk <= step[i]) ensure(ensured++);
      use(help.entries[step[i]].index, help.values[step[i]]);
    }
  }
  // Closed: no chunk is claimed from now on. Those claimed are waited for,
  // as the offer's arrays are the next generation's.
  uint64_t last = help.claimed.exchange(helpWord(generation, kHelpClosed), std::memory_order_acq_rel);
  help.open.store(false, std::memory_order_release);
  size_t claimed = std::min(chunks, size_t(uint32_t(last)));
  SpinWait wait;
  for (size_t c = ensured; c < claimed; c++)
    while (help.ready[c].load(std::memory_order_acquire) != generation) wait.once();
}

// The smallest double delta over the later positions, earliest on ties, from
// the bounds: first the deltas whose bound is below the best listed value,
// or the kRefill smallest bounds when more lie below it, which refill the
// list; then every delta whose bound does not exceed the best found (nor the
// best listed value), since only those can equal or beat it, and past them
// those within the refill's reach (below). Deltas left unknown stay +inf.
void scanJob(FastEngine& e, const ClusteringState& state, ScanJob& job, uint32_t inBatch, WorkerScratch& scratch,
             const FirstLook& look) {
  Selection& selection = scratch.selection;
  std::vector<uint32_t>& wanted = scratch.wanted;
  uint32_t first = job.position + 1;
  size_t length = state.liveCount - first;
  const double* bounds = e.rescans.bounds.data() + job.valueOffset;
  double* values = e.rescans.values.data() + job.valueOffset;
  uint32_t* computed = e.rescans.computedAt.data() + job.valueOffset;
  // The first look found the values known from the later clusters' lists,
  // the unknown ones that may matter (bound <= the listed value t) with the
  // kRefill-th smallest of their bounds, and the smallest bound of the
  // others.
  double t = job.threshold;
  // First round: the candidates below the kRefill-th smallest bound (all
  // of them when there are no more), which the selection holds.
  double threshold = look.candidates > kRefill ? selection.result() : kInfinity;
  wanted.clear();
  for (const Selection::Entry& entry : selection.buffer)
    if (entry.bound < threshold) wanted.push_back(entry.index);
  std::sort(wanted.begin(), wanted.end());
  FixedCluster a = fixedCluster(e, state, job.row,
                                e.rescans.fixedTerms.data() + size_t(inBatch) * state.columns);
  computeAt(e, state, job, a, wanted.data(), uint32_t(wanted.size()), scratch);
  Best best;
  NearestValues nearest;
  for (uint32_t n = 0; n < job.computed; n++) {
    offer(best, values[computed[n]], first + computed[n]);
    nearest.add(values[computed[n]]);
  }
  // The listed value is the exact delta of a later cluster: the answer is no
  // larger, whatever the first round found. Only a delta whose bound does
  // not exceed min(best, t) can equal or beat it. The second round computes
  // those, and goes on past them, in ascending order of bound, up to the
  // reach: the kRefill-th smallest value known, at most kRefillReach above
  // min(best, t). Beyond the kRefill-th smallest value, the list's first
  // kRefill entries are the nearest later clusters; the floor then lies
  // above them, so that the entry's next refreshes (as its best partners
  // merge) are answered from the list. Where bounds are loose (raw binary
  // code), the first round's deltas are not the nearest, and without this
  // the floor would lie just above the answer: on a raw shared library two
  // refreshes in three were rescans. The answer is the same, as every value left unknown has a
  // bound above the reach, which is at least min(best, t).
  auto reach = [&]() {
    double answerBound = std::min(best.value, t);
    return std::max(answerBound, std::min(nearest.last(), answerBound + kRefillReach));
  };
  double limit = reach();
  // Every candidate left has a bound of at least the threshold, and the
  // candidate whose bound it is was left: when the limit is below it, no
  // second round is needed, and the threshold is the candidates' floor
  // (the reach is not looked for among the other clusters).
  if (!(limit >= threshold)) {
    job.prunedFloor = std::min(look.floorOutside, threshold);
    job.bestValue = best.value;
    job.bestPosition = best.position;
    return;
  }
  // Second round: the values left unknown whose bound does not exceed the
  // limit, in ascending order of bound, a few at a time, while the bound
  // does not exceed the reach, which falls as values come. The others give
  // the floor. Of a content class, one member becomes a candidate
  // (none when the class's value is known): the others follow it.
  job.prunedFloor = kInfinity;
  const bool classes = e.classes.sharedCount > 0;
  auto classAt = [&](size_t i) { return laterClass(e, state, classes, first + uint32_t(i)); };
  if (classes) nextCallToken(scratch);
  // At most `length` of each; written in place, without a call per index.
  growTo(scratch.secondRound, length);
  growTo(scratch.classFollowers, length);
  growTo(scratch.followerClass, length);
  Selection::Entry* candidates = scratch.secondRound.data();
  uint32_t* followers = scratch.classFollowers.data();
  uint32_t* followerClass = scratch.followerClass.data();
  size_t candidateCount = 0, followerCount = 0;
  // followsClass is false for one member of a class per round, and nothing
  // in this loop starts a new round: a class met at the index before
  // follows without asking again.
  uint32_t classBefore = kNoClass;
  for (size_t i = 0; i < length; i++) {
    if (values[i] != kInfinity) continue;
    if (!(bounds[i] <= limit)) {
      lowerFloor(job.prunedFloor, bounds[i]);
      continue;
    }
    uint32_t cls = classAt(i);
    if (cls != kNoClass && (cls == classBefore || followsClass(scratch, cls))) {
      classBefore = cls;
      followerClass[followerCount] = cls;
      followers[followerCount++] = uint32_t(i);
      continue;
    }
    classBefore = cls;
    candidates[candidateCount++] = Selection::Entry{bounds[i], uint32_t(i)};
  }
  // In ascending order of (bound, index), sorted only as far as taken
  // (bound_order.h): no bound here is NaN, as each passed bound <= limit.
  BoundOrder& order = scratch.secondOrder;
  order.start(candidates, candidateCount);
  job.helped = e.rescans.helping && candidateCount >= e.rescans.helpMinimum;
  if (job.helped) {
    // As computeAt would use them: every candidate is its class's only
    // one, so none follows another, and each is computed.
    auto use = [&](uint32_t index, double value) {
      values[index] = value;
      computed[job.computed++] = index;
      uint32_t cls = classAt(index);
      if (cls != kNoClass) scratch.classValue[cls] = value;
      job.deltas++;
      offer(best, value, first + index);
      nearest.add(value);
    };
    HelpOffer& help = e.rescans.offers[size_t(&scratch - e.workers.data())];
    takeWithHelp(e, state, help, a, first, order, candidateCount, reach, use);
  } else {
    size_t places[kSecondRoundStep];
    uint32_t step[kSecondRoundStep];
    while (uint32_t count = takeStep(order, reach, places)) {
      for (uint32_t i = 0; i < count; i++) step[i] = order.entries()[places[i]].index;
      uint32_t before = job.computed;
      computeAt(e, state, job, a, step, count, scratch);
      for (uint32_t n = before; n < job.computed; n++) {
        offer(best, values[computed[n]], first + computed[n]);
        nearest.add(values[computed[n]]);
      }
    }
  }
  if (!order.empty()) lowerFloor(job.prunedFloor, order.top().bound);
  // A follower takes its class's value. A class whose candidate was never
  // taken has a delta above the answer (that candidate's bound exceeded
  // the reach the taking stopped at); its followers stay unknown,
  // each bounded by its own bound.
  for (size_t f = 0; f < followerCount; f++) {
    uint32_t i = followers[f];
    double value = scratch.classValue[followerClass[f]];
    if (value == kInfinity) {
      lowerFloor(job.prunedFloor, bounds[i]);
      continue;
    }
    values[i] = value;
    computed[job.computed++] = i;
    offer(best, value, first + i);
  }
  job.bestValue = best.value;
  job.bestPosition = best.position;
}

// Retires the class memory of the worker's last job or share; classes made
// since it ran get entries.
void startClassMemory(const FastEngine& e, WorkerScratch& scratch) {
  size_t classes = classCount(e.classes);
  growTo(scratch.classJob, classes);
  growTo(scratch.classBound, classes);
  growTo(scratch.classValue, classes);
  growTo(scratch.classCall, classes);
  if (++scratch.jobToken == 0) {
    std::fill(scratch.classJob.begin(), scratch.classJob.end(), 0u);
    scratch.jobToken = 1;
  }
}

// The job's known values in ascending order of index, so that each position
// range finds its values at once; the order of a job's values matters
// nowhere else.
void sortComputed(FastEngine& e, const ClusteringState& state, const ScanJob& job, WorkerScratch& scratch) {
  uint32_t* computed = e.rescans.computedAt.data() + job.valueOffset;
  sortDistinct(computed, job.computed, scratch.indexMarks, state.liveCount - job.position - 1);
}

// A job's steps after startJob: its bounds, its deltas, the bounds of the
// tiles its cut ruled out, and its values in order.
void finishJob(FastEngine& e, const ClusteringState& state, ScanJob& job, uint32_t inBatch, double cut,
               WorkerScratch& scratch) {
  FirstLook look;
  boundJob(e, job, cut, scratch, look);
  scanJob(e, state, job, inBatch, scratch, look);
  settleRuledOut(e, job, scratch);
  sortComputed(e, state, job, scratch);
}

// Exchanges the job memory in the scratch (the running job's) with `held`.
void swapJobMemory(WorkerScratch& scratch, JobMemory& held) {
  scratch.classJob.swap(held.classJob);
  scratch.classBound.swap(held.classBound);
  scratch.classValue.swap(held.classValue);
  scratch.classCall.swap(held.classCall);
  std::swap(scratch.jobToken, held.jobToken);
  std::swap(scratch.callToken, held.callToken);
  scratch.tileEnvelopes.swap(held.tileEnvelopes);
  scratch.tileChosen.swap(held.tileChosen);
}

// The kernel's bounds of each job (with its cut and, in `memories`, its
// cut's tiles) against its later clusters in the tiles that lookAtTiles
// will bound, into the job's bounds: those the cut neither chose nor ruled
// out. Tile by tile, so that each tile's bound data is read from memory
// once for the group. A job bounds one member of each shared content class
// (lookAtTiles), and copies of one block would make that a bound per
// member: where more than one live cluster in kRepeatShare repeats another's
// contents, the clusters of shared classes are left out (so lookAtTiles
// bounds them itself, in a call of their own for a tile that has them).
// Fresh from the start, every class has a live member.
void boundTogether(FastEngine& e, const ClusteringState& state, ScanJob* jobs, const double* cuts, uint32_t count,
                   const JobMemory* memories) {
  constexpr uint32_t kRepeatShare = 8;
  const SlotMirror& m = e.mirror;
  const bool leaveClasses = e.classes.sharedCount > 0 &&
                            size_t(state.liveCount - classCount(e.classes)) * kRepeatShare >= state.liveCount;
  uint32_t firstTiles[kJobsTogether];
  uint32_t lowest = UINT32_MAX;
  for (uint32_t j = 0; j < count; j++) {
    firstTiles[j] = firstLaterTile(e, jobs[j].position);
    lowest = std::min(lowest, firstTiles[j]);
  }
  uint32_t tileCount = tilesUsed(e);
  double out[kLanes];
  for (uint32_t tile = lowest; tile < tileCount; tile++) {
    const uint32_t* positions = m.slotPosition.data() + size_t(tile) * kLanes;
    for (uint32_t j = 0; j < count; j++) {
      // The tests of lookAtTiles, on the tiles that may hold later clusters.
      if (tile < firstTiles[j]) continue;
      if (cuts[j] != kInfinity &&
          (memories[j].tileChosen[tile] != 0 || cutRulesOut(memories[j].tileEnvelopes[tile], cuts[j])))
        continue;
      uint32_t first = jobs[j].position + 1;
      uint32_t lanes = 0;
      for (uint32_t lane = 0; lane < kLanes; lane++)
        if (positions[lane] >= first &&
            !(leaveClasses && sharedClassOf(e.classes, m.rowInSlot[size_t(tile) * kLanes + lane]) != kNoClass))
          lanes |= 1u << lane;
      if (lanes == 0) continue;
      e.kernels.bound(e.kernels.bounds, m.bounds[jobs[j].row], tile, lanes, out);
      double* bounds = e.rescans.bounds.data() + jobs[j].valueOffset;
      for (uint32_t bits = lanes; bits != 0; bits &= bits - 1) {
        uint32_t lane = uint32_t(__builtin_ctz(bits));
        bounds[positions[lane] - first] = out[lane];
      }
    }
  }
  for (uint32_t j = 0; j < count; j++) {
    jobs[j].boundsKnown = true;
    jobs[j].classBoundsKnown = !leaveClasses;
  }
}

}  // namespace

bool helpSecondRound(FastEngine& e, const ClusteringState& state, unsigned worker) {
  size_t threads = e.workers.size();
  for (size_t w = 0; w < threads; w++) {
    if (w == worker) continue;
    HelpOffer& help = e.rescans.offers[w];
    if (!help.open.load(std::memory_order_acquire)) continue;
    uint64_t published = help.published.load(std::memory_order_acquire);
    uint64_t claimed = help.claimed.load(std::memory_order_acquire);
    // Of one generation, and a chunk published but not claimed: claim it.
    while (claimed >> 32 == published >> 32 && uint32_t(claimed) < uint32_t(published)) {
      if (!help.claimed.compare_exchange_weak(claimed, claimed + 1, std::memory_order_acq_rel)) continue;
      size_t chunk = uint32_t(claimed);
      computeChunk(e, state, help, chunk);
      help.ready[chunk].store(uint32_t(claimed >> 32), std::memory_order_release);
      return true;
    }
  }
  return false;
}

void Selection::reset() {
  buffer.clear();
  threshold = kInfinity;
}

void Selection::feed(double bound, uint32_t index) {
  if (!(bound < threshold)) return;
  // Stored field by field: an entry built aside from a double and an int,
  // then copied whole, is read back as one 16-byte load before its two
  // narrower stores can be forwarded to it, a stall on every feed.
  Entry& entry = buffer.emplace_back();
  entry.bound = bound;
  entry.index = index;
  if (buffer.size() == 4 * kRefill) cut();
}

double Selection::result() {
  if (buffer.size() < kRefill) return kInfinity;
  cut();
  return threshold;
}

void Selection::cut() {
  auto byBound = [](const Entry& x, const Entry& y) { return x.bound < y.bound; };
  std::nth_element(buffer.begin(), buffer.begin() + (kRefill - 1), buffer.end(), byBound);
  threshold = buffer[kRefill - 1].bound;
  buffer.resize(kRefill);
}

uint32_t firstLaterTile(const FastEngine& e, uint32_t position) {
  uint32_t tileCount = tilesUsed(e);
  uint32_t tile = 0;
  while (tile < tileCount && e.mirror.tileLastPosition[tile] <= int64_t(position)) tile++;
  return tile;
}

void rescanJob(FastEngine& e, const ClusteringState& state, ScanJob& job, uint32_t inBatch,
               WorkerScratch& scratch) {
  double cut = startJob(e, state, job, inBatch, scratch);
  finishJob(e, state, job, inBatch, cut, scratch);
}

void rescanJobsTogether(FastEngine& e, const ClusteringState& state, ScanJob* jobs, const uint32_t* inBatch,
                        uint32_t count, WorkerScratch& scratch) {
  double cuts[kJobsTogether];
  for (uint32_t j = 0; j < count; j++) {
    swapJobMemory(scratch, scratch.held[j]);
    cuts[j] = startJob(e, state, jobs[j], inBatch[j], scratch);
    swapJobMemory(scratch, scratch.held[j]);
  }
  boundTogether(e, state, jobs, cuts, count, scratch.held);
  for (uint32_t j = 0; j < count; j++) {
    swapJobMemory(scratch, scratch.held[j]);
    finishJob(e, state, jobs[j], inBatch[j], cuts[j], scratch);
    swapJobMemory(scratch, scratch.held[j]);
  }
}

void boundShare(FastEngine& e, const ScanJob& job, BoundShare& share, WorkerScratch& scratch) {
  startClassMemory(e, scratch);
  growTo(share.known, size_t(share.tileTo - share.tileFrom) * kLanes);
  share.selection.reset();
  TileLook tiles;
  tiles.known = share.known.data();
  tiles.selection = &share.selection;
  lookAtTiles(e, job, share.tileFrom, share.tileTo, kInfinity, scratch, tiles);
  share.knownCount = tiles.knownCount;
  share.candidates = tiles.candidates;
  share.floorOutside = tiles.floorOutside;
  share.bounds = tiles.bounds;
  share.skipped = tiles.skipped;
}

void finishSharedJob(FastEngine& e, const ClusteringState& state, ScanJob& job, uint32_t inBatch,
                     const BoundShare* shares, uint32_t count, WorkerScratch& scratch) {
  fixedColumnTerms(e.kernels.table, rowOf(state, job.row), state.columns,
                   e.rescans.fixedTerms.data() + size_t(inBatch) * state.columns);
  startClassMemory(e, scratch);
  uint32_t* computed = e.rescans.computedAt.data() + job.valueOffset;
  Selection& selection = scratch.selection;
  selection.reset();
  job.computed = 0;
  FirstLook look;
  for (uint32_t i = 0; i < count; i++) {
    const BoundShare& share = shares[i];
    std::copy(share.known.begin(), share.known.begin() + share.knownCount, computed + job.computed);
    job.computed += share.knownCount;
    selection.buffer.insert(selection.buffer.end(), share.selection.buffer.begin(), share.selection.buffer.end());
    look.candidates += share.candidates;
    lowerFloor(look.floorOutside, share.floorOutside);
    job.bounds += share.bounds;
    job.skipped += share.skipped;
  }
  scanJob(e, state, job, inBatch, scratch, look);
  sortComputed(e, state, job, scratch);
}
