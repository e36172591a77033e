#include "fast_clustering.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <new>
#include <vector>

#include "delta_bounds.h"
#include "worker_pool.h"

namespace {

// A cluster's list holds up to kCandidates exact deltas; a rescan computes
// the kRefill smallest bounds' deltas first, which refill it. Longer lists
// answer more refreshes as the clusters grow in number.
constexpr uint32_t kCandidates = 128;
constexpr uint32_t kRefill = 64;
// 64-bit words per cluster of the filter of the partners its list may hold.
constexpr uint32_t kFilterWords = 16;
// 2^15 doubles (256 KiB): every count of a single 2048-byte block, and of
// the sum of a few, hits the table; the hot low part stays in L1.
constexpr int32_t kTableSize = 1 << 15;
constexpr uint32_t kTilesPerChunk = 4;
// Up to this many wanted lanes of a tile are summed as scattered partners,
// four side by side; more take the tile kernel.
constexpr uint32_t kFewLanes = 8;
// Keeping the tiles' counts and terms up to date costs about as much per
// merge as a few tile kernel calls save, and that upkeep runs on one thread
// while the kernel calls are shared: the tiles are kept only while the
// neighbour updates want the kernel for at least 1 in kTilesPerKernelCall
// of the tiles they visit, judged over kPassesToJudgeTiles passes at least.
constexpr uint64_t kTilesPerKernelCall = 4;
constexpr uint64_t kPassesToJudgeTiles = 32;
// The later lists a batch of rescans offers its values to are split into at
// most this many position ranges of at least kOfferRangeMinimum positions.
constexpr uint32_t kOfferRanges = 16;
constexpr uint32_t kOfferRangeMinimum = 64;
// Positions before the first job's are searched for the pair to merge in
// tasks of this many.
constexpr uint32_t kSelectSpan = 1024;
// Deltas of one batch of rescans kept at once (doubles).
constexpr size_t kJobValueBudget = size_t(1) << 18;
constexpr double kInfinity = std::numeric_limits<double>::infinity();
constexpr uint32_t kNoPosition = UINT32_MAX;
constexpr uint32_t kNoRow = UINT32_MAX;

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

// Finds the kRefill-th smallest of the bounds fed to it (+inf when fewer
// came) and the indices of those below it: bounds below the running
// threshold go to a buffer, which is cut back to its kRefill smallest
// whenever it fills up; most bounds fail the threshold test.
struct Selection {
  struct Entry {
    double bound;
    uint32_t index;
  };
  std::vector<Entry> buffer;
  double threshold = kInfinity;

  void reset() {
    buffer.clear();
    threshold = kInfinity;
  }
  void feed(double bound, uint32_t index) {
    if (!(bound < threshold)) return;
    buffer.push_back(Entry{bound, index});
    if (buffer.size() == 4 * kRefill) cut();
  }
  // Call once, after the last feed. Every bound fed that is below the
  // result is in the buffer then (with others not below it).
  double result() {
    if (buffer.size() < kRefill) return kInfinity;
    cut();
    return threshold;
  }

 private:
  void cut() {
    auto byBound = [](const Entry& x, const Entry& y) { return x.bound < y.bound; };
    std::nth_element(buffer.begin(), buffer.begin() + (kRefill - 1), buffer.end(), byBound);
    threshold = buffer[kRefill - 1].bound;
    buffer.resize(kRefill);
  }
};

// A stale entry to rescan over positions first..ys-1.
struct ScanJob {
  uint32_t row;
  uint32_t position;
  double threshold;     // best listed later value; +inf: prune nothing
  size_t valueOffset;   // its bounds and deltas in jobBounds and jobValues,
                        // by position - first
  uint32_t computed;    // values known, listed in jobComputed by index
  double prunedFloor;   // the smallest bound of the values left unknown
  uint64_t deltas;
  uint64_t bounds;   // bounds computed
  uint64_t skipped;  // clusters ruled out by their floor
};

struct FastEngine {
  uint32_t columns = 0;
  uint32_t rows = 0;
  LnFactorialTable table;
  ClusterTiles tiles;
  std::vector<uint32_t> slotOf;      // [row], for live rows
  std::vector<uint32_t> rowInSlot;   // [slot]; kNoRow for a hole
  uint32_t slotsUsed = 0;            // slots 0..slotsUsed-1 hold clusters or holes
  uint32_t holes = 0;
  std::vector<int64_t> tileLastPosition;  // [tile]: largest position in it, -1 if none
                                          // (kept up to date by every move)
  DeltaContext context;
  TileKernel kernel = nullptr;

  std::vector<uint32_t> stamp;       // [row]
  std::vector<uint32_t> positionOf;  // [row], for live rows
  std::vector<Candidate> candidates; // [row][kCandidates]
  std::vector<uint8_t> candidateCount;
  // [kFilterWords][slot]: bit (partner % 1024) is set for every partner the
  // list of the slot's cluster holds (and maybe for some it no longer
  // holds), so a clear bit proves that the list lacks the partner without
  // reading it. By slot, word-major, like the next two: a rescan reads them
  // for the kLanes clusters of a tile side by side.
  std::vector<uint64_t> slotFilter;
  std::vector<double> slotFloorEarlier;  // [slot]: floorEarlier of its cluster
  std::vector<uint32_t> slotPosition;    // [slot]: position of its cluster; 0 for a hole
  size_t slotCapacity = 0;
  std::vector<double> floorLater;    // [row]

  std::vector<uint64_t> rowMasks;     // [row][maskWords]: nonzero columns, for live rows
  std::vector<double> mergedTerms;
  std::vector<double> neighbourDeltas;  // [position]
  std::vector<uint64_t> chunkDeltas;    // [chunk]: deltas, lanes computed, tile kernel calls wanted
  std::vector<uint32_t> chunkExact;     // [chunk][kTilesPerChunk * kLanes]: positions computed
  std::vector<uint32_t> chunkExactCount;  // [chunk]
  std::vector<double> chunkFloors;      // [chunk]: smallest bound left, earlier and later side
  std::vector<uint32_t> neighbourComputed;

  BoundTiles boundTiles;
  BoundContext boundContext;
  BoundKernel boundKernel = nullptr;
  std::vector<BoundCluster> bounds;     // [row], for live rows
  std::vector<uint8_t> boundGroups;     // [column]
  std::vector<ScanJob> jobs;
  std::vector<double> jobTerms;
  std::vector<double> jobBounds;
  std::vector<double> jobValues;
  std::vector<uint32_t> jobComputed;

  bool mirrored = false;
  // The best listed later partner of entries the neighbour update made
  // stale, found on its workers once their lists were final for the pass:
  // valid for the refresh that follows the update numbered listAnswerPass.
  std::vector<Best> listAnswer;          // [row]
  std::vector<uint32_t> listAnswerPass;  // [row]
  uint32_t updates = 0;                  // neighbour updates so far
  // Whether the tiles' counts and terms are kept (the bound data always
  // is); without them every delta is summed from the partners' rows. Set
  // at each layout from how often the tile kernel was wanted.
  bool tilesKept = false;
  TileUse tileUse = TileUse::automatic;
  uint64_t kernelWanted = 0;      // tile kernel calls wanted since the last layout
  uint64_t tilesVisited = 0;      // tiles the neighbour updates visited since then
  uint64_t passesSinceLayout = 0;
  bool failed = false;  // the tiles could not be laid out: scans run directly
  bool listsReady = false;
  PassChoice chosen;                 // this pass's pair, for the invalidation
  // The pair to merge when the refresh found it on its workers.
  bool choiceReady = false;
  PassChoice choice;
  std::vector<PassChoice> rangeChoices;
  bool invalidationPending = false;  // chosen still has entries to invalidate
  // Every row whose entry may be stale (and maybe others): the refresh
  // looks only at these. All rows before the first refresh.
  std::vector<uint32_t> staleRows;
  std::vector<uint32_t> stalePositions;
  std::vector<uint32_t> chunkStale;       // [chunk][kTilesPerChunk * kLanes]
  std::vector<uint32_t> chunkStaleCount;  // [chunk]
  std::unique_ptr<WorkerPool> pool;
  FastScanCounters counters;
};

std::unique_ptr<FastEngine> engine;

const int32_t* rowOf(const ClusteringState& state, uint32_t row) {
  return state.counts + size_t(row) * state.columns;
}

FixedCluster fixedCluster(const ClusteringState& state, uint32_t row, const uint64_t* mask, const double* terms) {
  FixedCluster a;
  a.counts = rowOf(state, row);
  a.mask = mask;
  a.terms = terms;
  a.total = state.rowTotal[row];
  a.cost = double(state.rowCost[row]);
  return a;
}

const uint64_t* maskOf(const FastEngine& e, uint32_t row) {
  return e.rowMasks.data() + size_t(row) * e.tiles.maskWords;
}

PartnerCluster partnerCluster(const FastEngine& e, const ClusteringState& state, uint32_t row) {
  return PartnerCluster{rowOf(state, row), maskOf(e, row), state.rowTotal[row], state.rowCost[row]};
}

// The deltas of `a` against the lanes of a tile set in `lanes`: the tile
// kernel when many are wanted, else pair by pair. Returns the lanes computed.
uint32_t tileDeltas(const FastEngine& e, const ClusteringState& state, const FixedCluster& a, uint32_t tile,
                    uint32_t lanes, double* out) {
  uint32_t count = uint32_t(__builtin_popcount(lanes));
  if (count > kFewLanes && e.tilesKept) {
    e.kernel(e.context, a, tile, out);
    return kLanes;
  }
  PartnerCluster partners[kLanes];
  double few[kLanes];
  uint32_t n = 0;
  for (uint32_t bits = lanes; bits != 0; bits &= bits - 1)
    partners[n++] = partnerCluster(e, state, e.rowInSlot[tile * kLanes + uint32_t(__builtin_ctz(bits))]);
  partnerDeltas(e.context, a, partners, n, few);
  n = 0;
  for (uint32_t bits = lanes; bits != 0; bits &= bits - 1) out[__builtin_ctz(bits)] = few[n++];
  return count;
}

// ---- candidate lists ---------------------------------------------------------

bool isCurrent(const FastEngine& e, const Candidate& c) { return e.stamp[c.row] == c.stamp; }

uint64_t& filterWord(FastEngine& e, uint32_t owner, uint32_t word) {
  return e.slotFilter[word * e.slotCapacity + e.slotOf[owner]];
}

void markListed(FastEngine& e, uint32_t owner, uint32_t partner) {
  uint32_t bit = partner % (64 * kFilterWords);
  filterWord(e, owner, bit / 64) |= uint64_t(1) << (bit % 64);
}

bool mayBeListed(const FastEngine& e, uint32_t owner, uint32_t partner) {
  uint32_t bit = partner % (64 * kFilterWords);
  return (e.slotFilter[bit / 64 * e.slotCapacity + e.slotOf[owner]] >> (bit % 64) & 1) != 0;
}

double& floorEarlierOf(FastEngine& e, uint32_t row) { return e.slotFloorEarlier[e.slotOf[row]]; }

// Lexicographic order on (value, row): a total order, so the lists kept do
// not depend on the order in which values arrive.
bool before(double value, uint32_t row, const Candidate& c) {
  return value < c.value || (value == c.value && row < c.row);
}

double& floorFor(FastEngine& e, uint32_t owner, uint32_t partner) {
  return e.positionOf[partner] > e.positionOf[owner] ? e.floorLater[owner] : floorEarlierOf(e, owner);
}

void lowerFloor(double& floor, double value) {
  if (value < floor) floor = value;
}

// Drops entries whose partner merged or vanished.
void compactCandidates(FastEngine& e, uint32_t owner) {
  Candidate* list = &e.candidates[size_t(owner) * kCandidates];
  uint32_t kept = 0;
  for (uint32_t i = 0; i < e.candidateCount[owner]; i++)
    if (isCurrent(e, list[i])) list[kept++] = list[i];
  e.candidateCount[owner] = uint8_t(kept);
}

// Records the exact delta between owner and partner in owner's list when it
// beats the floor of its side; an entry pushed out lowers the floor of its
// own side, so the floors stay lower bounds of every unlisted delta.
// A stale entry's place is reused, so the list needs no compaction here.
void insertCandidate(FastEngine& e, uint32_t owner, uint32_t partner, double value) {
  double& floor = floorFor(e, owner, partner);
  if (!(value < floor)) return;
  Candidate* list = &e.candidates[size_t(owner) * kCandidates];
  uint32_t count = e.candidateCount[owner];
  // Most often the list has room and its filter proves the partner absent:
  // the entry goes to the end. Its current entries are then the same as if
  // it had taken a stale entry's place.
  bool mayHold = mayBeListed(e, owner, partner);
  if (count < kCandidates && !mayHold) {
    list[count] = Candidate{value, partner, e.stamp[partner]};
    e.candidateCount[owner] = uint8_t(count + 1);
    markListed(e, owner, partner);
    return;
  }
  // The first stale entry, else the end; where the filter proves the
  // partner absent, the search ends there.
  uint32_t freeSlot = count;
  for (uint32_t i = 0; i < count; i++) {
    const Candidate& c = list[i];
    if (!isCurrent(e, c)) {
      if (freeSlot == count) freeSlot = i;
      if (!mayHold) break;
      continue;
    }
    if (c.row == partner) return;
  }
  Candidate fresh = {value, partner, e.stamp[partner]};
  if (freeSlot < kCandidates) {
    list[freeSlot] = fresh;
    if (freeSlot == count) e.candidateCount[owner] = uint8_t(count + 1);
    markListed(e, owner, partner);
    return;
  }
  // Full of current entries: the largest makes way, or the value is turned
  // away.
  uint32_t largest = 0;
  for (uint32_t i = 1; i < count; i++)
    if (before(list[largest].value, list[largest].row, list[i])) largest = i;
  if (before(list[largest].value, list[largest].row, fresh)) {
    lowerFloor(floor, value);
    return;
  }
  lowerFloor(floorFor(e, owner, list[largest].row), list[largest].value);
  list[largest] = fresh;
  markListed(e, owner, partner);
}

// The exact delta between owner and partner if owner lists partner.
bool listedValue(const FastEngine& e, uint32_t owner, uint32_t partner, double* value) {
  if (!mayBeListed(e, owner, partner)) return false;
  const Candidate* list = &e.candidates[size_t(owner) * kCandidates];
  for (uint32_t i = 0; i < e.candidateCount[owner]; i++) {
    if (list[i].row == partner && isCurrent(e, list[i])) {
      *value = list[i].value;
      return true;
    }
  }
  return false;
}

// The best listed partner of the cluster at `position` among later positions.
Best bestListedLater(const FastEngine& e, uint32_t row, uint32_t position) {
  Best best;
  const Candidate* list = &e.candidates[size_t(row) * kCandidates];
  for (uint32_t i = 0; i < e.candidateCount[row]; i++) {
    const Candidate& c = list[i];
    if (!isCurrent(e, c)) continue;
    uint32_t partnerPosition = e.positionOf[c.row];
    if (partnerPosition > position) offer(best, c.value, partnerPosition);
  }
  return best;
}

// Keeps the kCandidates smallest (value, row) pairs offered; reports every
// pair it turns away or pushes out.
struct TopCandidates {
  Candidate entries[kCandidates];  // once full, a heap with the largest first
  uint32_t count = 0;

  static bool isBefore(const Candidate& x, const Candidate& y) { return before(x.value, x.row, y); }

  // Whether `c` would be kept (always while there is room).
  bool wouldKeep(const Candidate& c) const { return count < kCandidates || before(c.value, c.row, entries[0]); }

  template <typename Rejected>
  void add(const Candidate& c, Rejected rejected) {
    if (!wouldKeep(c)) {
      rejected(c);
      return;
    }
    if (count < kCandidates) {
      entries[count++] = c;
      if (count == kCandidates) std::make_heap(entries, entries + count, isBefore);
      return;
    }
    rejected(entries[0]);
    std::pop_heap(entries, entries + count, isBefore);
    entries[count - 1] = c;
    std::push_heap(entries, entries + count, isBefore);
  }
};

void storeList(FastEngine& e, uint32_t owner, const TopCandidates& top) {
  Candidate* list = &e.candidates[size_t(owner) * kCandidates];
  for (uint32_t w = 0; w < kFilterWords; w++) filterWord(e, owner, w) = 0;
  for (uint32_t i = 0; i < top.count; i++) {
    list[i] = top.entries[i];
    markListed(e, owner, list[i].row);
  }
  e.candidateCount[owner] = uint8_t(top.count);
}

// ---- the slot mirror -------------------------------------------------------------

struct MirrorSource {
  const FastEngine* engine;
  const ClusteringState* state;
};

// The clusters in a tile's slots, as the state has them now.
void tileContents(void* context, uint32_t tile, TileContents* contents) {
  const MirrorSource& source = *static_cast<const MirrorSource*>(context);
  const FastEngine& e = *source.engine;
  for (uint32_t lane = 0; lane < kLanes; lane++) {
    uint32_t slot = tile * kLanes + lane;
    uint32_t r = slot < e.slotsUsed ? e.rowInSlot[slot] : kNoRow;
    contents->rows[lane] = r == kNoRow ? nullptr : rowOf(*source.state, r);
    contents->masks[lane] = r == kNoRow ? nullptr : maskOf(e, r);
    contents->totals[lane] = r == kNoRow ? 0 : source.state->rowTotal[r];
    contents->costs[lane] = r == kNoRow ? 0.0f : source.state->rowCost[r];
  }
}

// The largest position in a tile, -1 if it holds no cluster. Only the
// clusters moved by a merge or a packing change it.
void findTileLastPosition(FastEngine& e, uint32_t tile) {
  int64_t last = -1;
  for (uint32_t slot = tile * kLanes; slot < (tile + 1) * kLanes; slot++)
    if (slot < e.slotsUsed && e.rowInSlot[slot] != kNoRow) last = std::max(last, int64_t(e.slotPosition[slot]));
  e.tileLastPosition[tile] = last;
}

// Whether the tiles are to keep their counts: as the options say, or, left
// to the engine, when the tile kernel was wanted often enough since the last
// layout (over at least kPassesToJudgeTiles passes) to repay their upkeep.
bool tilesWorthKeeping(const FastEngine& e) {
  if (e.tileUse != TileUse::automatic) return e.tileUse == TileUse::always;
  return e.passesSinceLayout >= kPassesToJudgeTiles && e.kernelWanted * kTilesPerKernelCall >= e.tilesVisited;
}

// Plans the tiles in order, then writes them (when they are kept) and their
// bound data on the workers, each task its own tiles. Only the tiles in use
// are written: slotsUsed never grows, and every scan stops at tilesUsed, so
// the tiles past it are never read again.
bool layOutAll(FastEngine& e, const ClusteringState& state) {
  MirrorSource source = {&e, &state};
  std::string error;
  uint32_t used = (e.slotsUsed + kLanes - 1) / kLanes;
  if (e.tileUse != TileUse::automatic || e.passesSinceLayout > 0) e.tilesKept = tilesWorthKeeping(e);
  e.kernelWanted = 0;
  e.tilesVisited = 0;
  e.passesSinceLayout = 0;
  if (e.tilesKept && !planTiles(e.tiles, used, tileContents, &source, &error)) return false;
  e.pool->run((used + kTilesPerChunk - 1) / kTilesPerChunk, [&](uint32_t c) {
    for (uint32_t t = c * kTilesPerChunk; t < std::min(used, (c + 1) * kTilesPerChunk); t++) {
      if (e.tilesKept) {
        TileContents contents;
        tileContents(&source, t, &contents);
        writeTile(e.tiles, e.table, t, contents);
      }
      for (uint32_t slot = t * kLanes; slot < (t + 1) * kLanes; slot++) {
        uint32_t r = slot < e.slotsUsed ? e.rowInSlot[slot] : kNoRow;
        storeBoundLane(e.boundTiles, slot, r == kNoRow ? nullptr : &e.bounds[r]);
      }
      findTileLastPosition(e, t);
    }
  });
  return true;
}

// Stores a tile anew from the state; lays all out again when it outgrew the
// arena. False when memory ran out.
bool restoreTile(FastEngine& e, const ClusteringState& state, uint32_t tile) {
  MirrorSource source = {&e, &state};
  TileContents contents;
  tileContents(&source, tile, &contents);
  return storeTile(e.tiles, e.table, tile, contents) || layOutAll(e, state);
}

// Slots start in position order, which is row order: neighbouring blocks of
// a file tend to use the same byte values, so tiles of them store few
// columns. A cluster keeps its slot while it lives, so moves between
// positions do not scatter the tiles.
bool mirrorLiveClusters(FastEngine& e, const ClusteringState& state) {
  for (uint32_t p = 0; p < state.liveCount; p++) {
    uint32_t r = state.activeList[p];
    e.positionOf[r] = p;
    e.slotOf[r] = p;
    e.rowInSlot[p] = r;
    e.slotPosition[p] = p;
    rowColumnMask(rowOf(state, r), state.columns, e.rowMasks.data() + size_t(r) * e.tiles.maskWords);
    describeCluster(e.table, e.boundGroups.data(), rowOf(state, r), state.columns, state.rowTotal[r], state.rowCost[r], &e.bounds[r]);
  }
  e.slotsUsed = state.liveCount;
  e.staleRows.assign(state.activeList, state.activeList + state.liveCount);
  e.mirrored = true;
  return layOutAll(e, state);
}

// Closes the holes left by absorbed clusters, keeping the slot order.
bool packSlots(FastEngine& e, const ClusteringState& state) {
  uint32_t used = 0;
  for (uint32_t s = 0; s < e.slotsUsed; s++) {
    uint32_t r = e.rowInSlot[s];
    if (r == kNoRow) continue;
    e.rowInSlot[used] = r;
    e.slotOf[r] = used;
    e.slotPosition[used] = e.slotPosition[s];
    e.slotFloorEarlier[used] = e.slotFloorEarlier[s];
    for (uint32_t w = 0; w < kFilterWords; w++)
      e.slotFilter[w * e.slotCapacity + used] = e.slotFilter[w * e.slotCapacity + s];
    used++;
  }
  for (uint32_t s = used; s < e.slotsUsed; s++) {
    e.rowInSlot[s] = kNoRow;
    e.slotPosition[s] = 0;
  }
  e.slotsUsed = used;
  e.holes = 0;
  return layOutAll(e, state);
}

uint32_t tilesUsed(const FastEngine& e) { return (e.slotsUsed + kLanes - 1) / kLanes; }


// ---- refresh -------------------------------------------------------------------

// What the first look at a job's later clusters found, beside the values
// known from lists (in jobComputed) and the candidates (in the selection).
struct FirstLook {
  uint32_t candidates = 0;      // unknown values whose bound is <= t
  double floorOutside = kInfinity;  // the smallest bound of the others
};

// The bounds of a job's fixed cluster r against the later clusters; values
// start unknown (+inf). Once the lists are set up, a
// cluster y whose floorEarlier exceeds the best listed value t needs no
// bound: unless y lists r (and so knows the exact delta), the delta is at
// least that floor, and the floor itself serves as the bound.
// Each later cluster is then placed at once, in any order (what it goes to
// is a set): a known value is listed as computed; an unknown one whose
// bound is <= t goes to the selection; the others' bounds give a floor.
void boundJob(FastEngine& e, ScanJob& job, Selection& selection, FirstLook& look) {
  uint32_t first = job.position + 1;
  uint32_t tileCount = tilesUsed(e);
  uint32_t firstTile = 0;  // tiles before it hold no later position
  while (firstTile < tileCount && e.tileLastPosition[firstTile] < int64_t(first)) firstTile++;
  double* bounds = e.jobBounds.data() + job.valueOffset;
  double* values = e.jobValues.data() + job.valueOffset;
  const BoundCluster& a = e.bounds[job.row];
  // Skipping needs a finite listed value, and lists that are set up.
  double skipAbove = e.listsReady ? job.threshold : kInfinity;
  uint32_t bit = job.row % (64 * kFilterWords);
  const uint64_t* filter = e.slotFilter.data() + bit / 64 * e.slotCapacity;
  const double t = job.threshold;
  uint32_t* computed = e.jobComputed.data() + job.valueOffset;
  job.computed = 0;
  selection.reset();
  auto place = [&](uint32_t i, double value, double bound) {
    if (value != kInfinity) {
      computed[job.computed++] = i;
    } else if (bound <= t) {
      look.candidates++;
      selection.feed(bound, i);
    } else {
      lowerFloor(look.floorOutside, bound);
    }
  };
  double out[kLanes];
  for (uint32_t tile = firstTile; tile < tileCount; tile++) {
    size_t base = size_t(tile) * kLanes;
    const uint32_t* positions = e.slotPosition.data() + base;
    const double* floors = e.slotFloorEarlier.data() + base;
    uint32_t lanes = 0;
    for (uint32_t lane = 0; lane < kLanes; lane++) {
      uint32_t p = positions[lane];
      if (p < first) continue;  // earlier, the job's own cluster, or a hole
      uint32_t i = p - first;
      values[i] = kInfinity;
      if (skipAbove < floors[lane]) {
        double known;
        bool listed = (filter[base + lane] >> (bit % 64) & 1) != 0 &&
                      listedValue(e, e.rowInSlot[base + lane], job.row, &known);
        values[i] = listed ? known : kInfinity;
        bounds[i] = listed ? known : floors[lane];
        place(i, values[i], bounds[i]);
        job.skipped++;
        continue;
      }
      lanes |= 1u << lane;
    }
    if (lanes == 0) continue;
    job.bounds += uint32_t(__builtin_popcount(lanes));
    e.boundKernel(e.boundContext, a, tile, lanes, out);
    for (uint32_t bits = lanes; bits != 0; bits &= bits - 1) {
      uint32_t lane = uint32_t(__builtin_ctz(bits));
      uint32_t i = positions[lane] - first;
      bounds[i] = out[lane];
      place(i, kInfinity, out[lane]);
    }
  }
}

// Computes the deltas at the job's later indices (positions - first) listed
// in `wanted`.
void computeAt(FastEngine& e, const ClusteringState& state, ScanJob& job, const FixedCluster& a,
               const uint32_t* wanted, uint32_t count) {
  uint32_t first = job.position + 1;
  double* values = e.jobValues.data() + job.valueOffset;
  uint32_t* computed = e.jobComputed.data() + job.valueOffset;
  constexpr uint32_t kBatch = 64;
  PartnerCluster partners[kBatch];
  double out[kBatch];
  for (uint32_t start = 0; start < count; start += kBatch) {
    uint32_t n = std::min(kBatch, count - start);
    for (uint32_t i = 0; i < n; i++) partners[i] = partnerCluster(e, state, state.activeList[first + wanted[start + i]]);
    partnerDeltas(e.context, a, partners, n, out);
    for (uint32_t i = 0; i < n; i++) {
      values[wanted[start + i]] = out[i];
      computed[job.computed++] = wanted[start + i];
    }
  }
  job.deltas += count;
}

// The smallest double delta over the later positions, earliest on ties, from
// the bounds: first the deltas whose bound is below the best listed value,
// or the kRefill smallest bounds when more lie below it, which refill
// the list; then every delta whose bound does not exceed the best found (nor
// the best listed value), since only those can equal or beat it. Deltas left
// unknown stay +inf.
void scanJob(FastEngine& e, const ClusteringState& state, ScanJob& job, uint32_t inBatch, Selection& selection,
             const FirstLook& look, std::vector<uint32_t>& wanted) {
  uint32_t first = job.position + 1;
  size_t length = state.liveCount - first;
  const double* bounds = e.jobBounds.data() + job.valueOffset;
  const double* values = e.jobValues.data() + job.valueOffset;
  uint32_t* computed = e.jobComputed.data() + job.valueOffset;
  // The first look found the values known from the later clusters' lists,
  // the unknown ones that may matter (bound <= the listed value t) with the
  // kRefill-th smallest of their bounds, and the smallest bound of the
  // others.
  double t = job.threshold;
  uint32_t candidateCount = look.candidates;
  double floorOutside = look.floorOutside;
  // First round: the candidates below the kRefill-th smallest bound (all
  // of them when there are no more), which the selection holds.
  double threshold = candidateCount > kRefill ? selection.result() : kInfinity;
  wanted.clear();
  for (const Selection::Entry& entry : selection.buffer)
    if (entry.bound < threshold) wanted.push_back(entry.index);
  std::sort(wanted.begin(), wanted.end());
  FixedCluster a = fixedCluster(state, job.row, maskOf(e, job.row), e.jobTerms.data() + size_t(inBatch) * e.columns);
  computeAt(e, state, job, a, wanted.data(), uint32_t(wanted.size()));
  Best best;
  for (uint32_t n = 0; n < job.computed; n++) offer(best, values[computed[n]], first + computed[n]);
  // The listed value is the exact delta of a later cluster: the answer is no
  // larger, whatever the first round found.
  double limit = std::min(best.value, t);
  // Every candidate left has a bound of at least the threshold, and the
  // candidate whose bound it is was left: when the limit is below it, no
  // second round is needed, and the threshold is the candidates' floor.
  if (!(limit >= threshold)) {
    job.prunedFloor = std::min(floorOutside, threshold);
    return;
  }
  // Second round: the values left unknown whose bound does not exceed the
  // limit (all are candidates, as limit <= t), in ascending order of bound,
  // a few at a time, while the bound does not exceed the best found so far:
  // a delta whose bound exceeds the best is larger than the answer. The
  // others give the floor.
  wanted.clear();
  job.prunedFloor = kInfinity;
  for (size_t i = 0; i < length; i++) {
    if (values[i] != kInfinity) continue;
    if (bounds[i] <= limit)
      wanted.push_back(uint32_t(i));
    else
      lowerFloor(job.prunedFloor, bounds[i]);
  }
  // A heap with the smallest (bound, index) on top: most of them are never
  // taken, so they need no full sort.
  auto later = [&](uint32_t x, uint32_t y) { return bounds[x] > bounds[y] || (bounds[x] == bounds[y] && x > y); };
  std::make_heap(wanted.begin(), wanted.end(), later);
  size_t remaining = wanted.size();
  constexpr uint32_t kStep = 4;
  uint32_t step[kStep];
  while (remaining > 0 && bounds[wanted[0]] <= std::min(best.value, t)) {
    uint32_t count = 0;
    while (count < kStep && remaining > 0 && bounds[wanted[0]] <= std::min(best.value, t)) {
      std::pop_heap(wanted.begin(), wanted.begin() + remaining, later);
      step[count++] = wanted[--remaining];
    }
    uint32_t before = job.computed;
    computeAt(e, state, job, a, step, count);
    for (uint32_t n = before; n < job.computed; n++) offer(best, values[computed[n]], first + computed[n]);
  }
  if (remaining > 0) lowerFloor(job.prunedFloor, bounds[wanted[0]]);
}

// Sets the entry from the scanned values and rebuilds the cluster's list
// from its earlier entries and the later values. Touches only the job's own
// cluster, so jobs run this side by side once all have scanned.
void applyOwnEntry(FastEngine& e, ClusteringState& state, uint32_t jobIndex) {
  const ScanJob& job = e.jobs[jobIndex];
  uint32_t r = job.row;
  uint32_t first = job.position + 1;
  const double* values = e.jobValues.data() + job.valueOffset;
  const uint32_t* computed = e.jobComputed.data() + job.valueOffset;
  Best best;
  for (uint32_t n = 0; n < job.computed; n++) offer(best, values[computed[n]], first + computed[n]);
  state.bestDelta[r] = float(best.value);
  if (best.position != kNoPosition) state.bestPartner[r] = best.position;

  compactCandidates(e, r);
  TopCandidates top;
  double newFloorLater = job.prunedFloor;
  auto rejected = [&](const Candidate& c) {
    if (e.positionOf[c.row] > job.position)
      lowerFloor(newFloorLater, c.value);
    else
      lowerFloor(floorEarlierOf(e, r), c.value);
  };
  const Candidate* list = &e.candidates[size_t(r) * kCandidates];
  uint32_t listed = e.candidateCount[r];
  // The rows the list holds are marked with a fresh token of this thread's
  // own marks, so that a value for one of them is not listed twice.
  thread_local std::vector<uint32_t> marks;
  thread_local uint32_t token = 0;
  if (marks.size() < e.rows || ++token == 0) {
    marks.assign(e.rows, 0);
    token = 1;
  }
  for (uint32_t i = 0; i < listed; i++) {
    top.add(list[i], rejected);
    marks[list[i].row] = token;
  }
  for (uint32_t n = 0; n < job.computed; n++) {
    uint32_t y = state.activeList[first + computed[n]];
    Candidate c = {values[computed[n]], y, e.stamp[y]};
    if (!top.wouldKeep(c)) {
      rejected(c);
      continue;
    }
    if (marks[y] != token) top.add(c, rejected);
  }
  storeList(e, r, top);
  e.floorLater[r] = newFloorLater;
}

// Offers the values of the batch's jobs, in job order, to the lists of the
// later clusters at positions lo..hi-1. In the first refresh, which sets the
// floors up, a value left unknown lowers the later cluster's floor to its
// bound; later on the floors already cover every pair. Tasks own disjoint
// position ranges, so they run side by side.
void offerToLaterLists(FastEngine& e, const ClusteringState& state, uint32_t firstJob, uint32_t endJob,
                       uint32_t lo, uint32_t hi) {
  for (uint32_t j = firstJob; j < endJob; j++) {
    const ScanJob& job = e.jobs[j];
    uint32_t first = job.position + 1;
    const double* values = e.jobValues.data() + job.valueOffset;
    const uint32_t* computed = e.jobComputed.data() + job.valueOffset;
    // The job's indices are ascending: those of the range are consecutive.
    const uint32_t* end = computed + job.computed;
    for (const uint32_t* n = std::lower_bound(computed, end, lo > first ? lo - first : 0); n < end; n++) {
      uint32_t p = first + *n;
      if (p >= hi) break;
      uint32_t y = state.activeList[p];
      double value = values[*n];
      if (value < floorEarlierOf(e, y)) insertCandidate(e, y, job.row, value);
    }
    if (!e.listsReady) {
      const double* bounds = e.jobBounds.data() + job.valueOffset;
      for (uint32_t p = std::max(lo, first); p < hi; p++)
        if (values[p - first] == kInfinity) lowerFloor(floorEarlierOf(e, state.activeList[p]), bounds[p - first]);
    }
  }
}

// The selection over consecutive position ranges, given each range's own.
void combineChoices(const std::vector<PassChoice>& inOrder, PassChoice* choice) {
  *choice = PassChoice();
  for (const PassChoice& c : inOrder)
    if (c.first >= 0 && c.bestDelta < choice->bestDelta) *choice = c;
}

// Batch arrays only grow: a batch writes every entry it reads, and each
// shrinking would have the next growth fill the entries with zeros again.
template <typename T>
void growTo(std::vector<T>& v, size_t size) {
  if (v.size() < size) v.resize(size);
}

// Each job runs on a worker: the fixed cluster's terms, the bounds (which
// read the later clusters' lists and floors) and the deltas. Then, split by
// position range, each job sets its own entry and list, and the values are
// offered to the later clusters' lists.
void runJobBatch(FastEngine& e, ClusteringState& state, uint32_t firstJob, uint32_t endJob, bool lastBatch) {
  growTo(e.jobTerms, size_t(endJob - firstJob) * e.columns);
  e.pool->run(endJob - firstJob, [&](uint32_t j) {
    // A copy of the job, written back once: neighbouring jobs share cache
    // lines, and their counters change all the time.
    ScanJob job = e.jobs[firstJob + j];
    fixedColumnTerms(e.table, rowOf(state, job.row), e.columns, e.jobTerms.data() + size_t(j) * e.columns);
    thread_local Selection selection;
    thread_local std::vector<uint32_t> wanted;
    FirstLook look;
    boundJob(e, job, selection, look);
    scanJob(e, state, job, j, selection, look, wanted);
    // In ascending order, so that each position range finds its values at
    // once; the order of a job's values matters nowhere else.
    uint32_t* computed = e.jobComputed.data() + job.valueOffset;
    std::sort(computed, computed + job.computed);
    e.jobs[firstJob + j] = job;
  });
  for (uint32_t j = firstJob; j < endJob; j++) {
    e.counters.bounds += e.jobs[j].bounds;
    e.counters.skipped += e.jobs[j].skipped;
    e.counters.deltas += e.jobs[j].deltas;
    e.counters.laneDeltas += e.jobs[j].deltas;
  }
  // Only once every job has read the lists and floors does any list or floor
  // change. Each task owns the clusters of a position range: it sets the
  // entries and lists of the jobs among them, then offers them the values
  // of every job, as a sequential pass would in that order. After the last
  // batch every cached delta is final: each task then also selects within
  // its range, and further tasks select within the positions before the
  // first job's.
  uint32_t lo = e.jobs[firstJob].position;
  uint32_t ranges = std::max(1u, std::min(kOfferRanges, (state.liveCount - lo) / kOfferRangeMinimum));
  uint32_t span = (state.liveCount - lo + ranges - 1) / ranges;
  uint32_t selectRanges = lastBatch ? (lo + kSelectSpan - 1) / kSelectSpan : 0;
  e.rangeChoices.assign(selectRanges + ranges, PassChoice());
  e.pool->run(selectRanges + ranges, [&](uint32_t q) {
    if (q < selectRanges) {
      e.rangeChoices[q] = selectInRange(state, q * kSelectSpan, std::min(lo, (q + 1) * kSelectSpan));
      return;
    }
    uint32_t from = lo + (q - selectRanges) * span;
    uint32_t to = std::min(state.liveCount, from + span);
    for (uint32_t j = firstJob; j < endJob; j++)
      if (e.jobs[j].position >= from && e.jobs[j].position < to) applyOwnEntry(e, state, j);
    offerToLaterLists(e, state, firstJob, endJob, from, to);
    if (lastBatch) e.rangeChoices[q] = selectInRange(state, from, to);
  });
  if (lastBatch) {
    combineChoices(e.rangeChoices, &e.choice);
    e.choiceReady = true;
  }
}

void runJobs(FastEngine& e, ClusteringState& state) {
  uint32_t jobCount = uint32_t(e.jobs.size());
  uint32_t batchStart = 0;
  size_t used = 0;
  for (uint32_t j = 0; j <= jobCount; j++) {
    size_t length = j < jobCount ? state.liveCount - 1 - e.jobs[j].position : 0;
    if (j == jobCount || (used + length > kJobValueBudget && j > batchStart)) {
      if (j > batchStart) {
        growTo(e.jobValues, used);
        growTo(e.jobBounds, used);
        growTo(e.jobComputed, used);
        runJobBatch(e, state, batchStart, j, j == jobCount);
      }
      batchStart = j;
      used = 0;
    }
    if (j < jobCount) {
      e.jobs[j].valueOffset = used;
      used += length;
    }
  }
}

bool isLive(const FastEngine& e, const ClusteringState& state, uint32_t row) {
  uint32_t p = e.positionOf[row];
  return p < state.liveCount && state.activeList[p] == row;
}

// The positions of the stale entries, ascending: the live rows of staleRows
// still marked stale, once each.
void findStalePositions(FastEngine& e, const ClusteringState& state, std::vector<uint32_t>& positions) {
  positions.clear();
  for (uint32_t r : e.staleRows)
    if (isLive(e, state, r) && state.bestPartner[r] >= state.rows) positions.push_back(e.positionOf[r]);
  std::sort(positions.begin(), positions.end());
  positions.erase(std::unique(positions.begin(), positions.end()), positions.end());
}

void refreshEntries(FastEngine& e, ClusteringState& state) {
  uint32_t ys = state.liveCount;
  e.jobs.clear();
  std::vector<uint32_t>& positions = e.stalePositions;
  findStalePositions(e, state, positions);
  for (uint32_t i : positions) {
    uint32_t r = state.activeList[i];
    e.counters.refreshes++;
    if (i + 1 == ys) {
      // No later position: the direct scan leaves 1e30 and the stale mark.
      state.bestDelta[r] = kNoDelta;
      continue;
    }
    double threshold = kInfinity;
    if (e.listsReady) {
      Best best = e.listAnswerPass[r] == e.updates ? e.listAnswer[r] : bestListedLater(e, r, i);
      if (best.value < e.floorLater[r]) {
        state.bestDelta[r] = float(best.value);
        if (best.position != kNoPosition) state.bestPartner[r] = best.position;
        e.counters.fromLists++;
        continue;
      }
      threshold = best.value;
    }
    e.counters.rescans++;
    e.jobs.push_back(ScanJob{r, i, threshold, 0, 0, kInfinity, 0, 0, 0});
  }
  if (!e.jobs.empty()) runJobs(e, state);
  e.listsReady = true;
  // An entry may stay stale (no later position); the others are done.
  e.staleRows.clear();
  for (uint32_t i : positions)
    if (state.bestPartner[state.activeList[i]] >= state.rows) e.staleRows.push_back(state.activeList[i]);
}

// When memory runs out for the fast scans' own arrays, the direct scans take
// over for the rest of the run. They need nothing but the state: every entry
// set so far is exact, and the direct refresh recomputes those still stale.
void refreshFast(ClusteringState& state) {
  FastEngine& e = *engine;
  e.choiceReady = false;
  if (!e.failed) {
    try {
      if (!e.mirrored && !mirrorLiveClusters(e, state)) e.failed = true;
      if (!e.failed) refreshEntries(e, state);
    } catch (const std::bad_alloc&) {
      e.failed = true;
    }
  }
  if (e.failed) kDirectScans.refresh(state);
}

// ---- select and invalidate --------------------------------------------------------

PassChoice selectFast(const ClusteringState& state) {
  FastEngine& e = *engine;
  if (e.choiceReady) {
    e.choiceReady = false;
    return e.choice;
  }
  return kDirectScans.select(state);
}

// The merge neither changes a cached partner nor the set of clusters at
// positions 0..last (it only swaps two of them), so the invalidation can
// wait until the neighbour update, which does it on its workers alongside
// the bounds.
void invalidateFast(ClusteringState& state, const PassChoice& choice) {
  FastEngine& e = *engine;
  e.chosen = choice;
  e.invalidationPending = true;
  if (e.failed) {
    kDirectScans.invalidate(state, choice);
    e.invalidationPending = false;
  }
}

// The invalidation of the chosen pair's entries for one cluster; true if
// it made the entry stale.
bool invalidateEntry(const FastEngine& e, ClusteringState& state, uint32_t row, uint32_t last) {
  uint32_t partner = state.bestPartner[row];
  if (partner != uint32_t(e.chosen.first) && partner != uint32_t(e.chosen.second) && partner != last) return false;
  state.bestPartner[row] = state.rows;
  return true;
}

// The invalidation in one pass, on the calling thread, for the live
// clusters at positions 0..last.
void invalidateAll(FastEngine& e, ClusteringState& state, uint32_t last) {
  for (uint32_t i = 0; i <= last; i++)
    if (invalidateEntry(e, state, state.activeList[i], last)) e.staleRows.push_back(state.activeList[i]);
  e.invalidationPending = false;
}

// ---- neighbour update ----------------------------------------------------------

// Keeps the mirror and the floors in step with the merge and the move of the
// last cluster into the absorbed one's position.
bool followMerge(FastEngine& e, const ClusteringState& state, uint32_t merged, uint32_t last) {
  uint32_t a = state.activeList[merged];
  uint32_t b = state.activeList[last];
  uint32_t second = uint32_t(e.chosen.second);
  e.stamp[a]++;
  e.stamp[b]++;
  e.candidateCount[a] = 0;
  uint32_t hole = e.slotOf[b];
  e.rowInSlot[hole] = kNoRow;
  e.slotPosition[hole] = 0;
  e.holes++;
  describeCluster(e.table, e.boundGroups.data(), rowOf(state, a), state.columns, state.rowTotal[a], state.rowCost[a], &e.bounds[a]);
  storeBoundLane(e.boundTiles, hole, nullptr);
  rowColumnMask(rowOf(state, a), state.columns, e.rowMasks.data() + size_t(a) * e.tiles.maskWords);
  storeBoundLane(e.boundTiles, e.slotOf[a], &e.bounds[a]);
  if (second != last) {
    uint32_t moved = state.activeList[second];
    e.positionOf[moved] = second;
    e.slotPosition[e.slotOf[moved]] = second;
    e.floorLater[moved] = floorEarlierOf(e, moved);
    // The clusters it jumped over (positions second + 1 .. last - 1) lower
    // their floorEarlier to their floorLater: the neighbour update does that
    // on its worker threads.
    findTileLastPosition(e, e.slotOf[moved] / kLanes);
  }
  findTileLastPosition(e, hole / kLanes);
  if (e.holes * 8 > e.slotsUsed) return packSlots(e, state);
  e.passesSinceLayout++;
  // Tiles not kept are laid out as soon as the kernel proves worth them.
  if (!e.tilesKept) return !tilesWorthKeeping(e) || layOutAll(e, state);
  storeLane(e.tiles, e.table, hole, nullptr, 0, 0.0f);
  return storeLane(e.tiles, e.table, e.slotOf[a], rowOf(state, a), state.rowTotal[a], state.rowCost[a]) ||
         restoreTile(e, state, e.slotOf[a] / kLanes);
}

// The merged row's cost from the engine's table (its lookups have the bits
// of lnFactorial), instead of a logarithm per count.
float mergedCostFast(const int32_t* row, uint32_t columns, int32_t total, double constant) {
  return tableRowCost(engine->table, row, columns, total, constant);
}

void updateNeighboursFast(ClusteringState& state, uint32_t merged, uint32_t last) {
  FastEngine& e = *engine;
  e.updates++;  // retires the list answers of the last update
  // followMerge changes only the engine's own arrays, so the direct update
  // can still take over when it fails.
  try {
    if (!e.failed && !followMerge(e, state, merged, last)) e.failed = true;
  } catch (const std::bad_alloc&) {
    e.failed = true;
  }
  if (e.failed) {
    if (e.invalidationPending) kDirectScans.invalidate(state, e.chosen);
    e.invalidationPending = false;
    kDirectScans.updateNeighbours(state, merged, last);
    return;
  }
  uint32_t a = state.activeList[merged];
  if (last <= 1) {
    invalidateAll(e, state, last);
    return;
  }
  uint32_t tileCount = tilesUsed(e);
  uint32_t chunkCount = (tileCount + kTilesPerChunk - 1) / kTilesPerChunk;
  double* deltas = e.neighbourDeltas.data();

  // One task per chunk of tiles does everything that concerns only the
  // clusters of its tiles, cluster by cluster in the order a sequential
  // pass would:
  // - the invalidation of the entries that named the chosen pair or the
  //   last position (the merged cluster's own entry is done here), listing
  //   those it made stale;
  // - the floors of the clusters that the moved one jumped over;
  // - the bound of the merged cluster and the cluster, and the delta where
  //   it is needed: where it may beat the cluster's cached best (earlier
  //   clusters) or the merged cluster's running best, which starts at EM
  //   and only falls (later clusters), or where it may enter the cluster's
  //   list (below its floor). An earlier cluster's cached delta is then
  //   compared with it directly (each entry once, with its own delta, so
  //   the order across entries does not matter), and the merged cluster is
  //   offered to the cluster's list.
  // It lists the positions it computed, for the merged cluster's own list
  // (a refresh that the list cannot answer rescans), and keeps the smallest
  // bound of the others on either side of the merged cluster for its floors.
  uint32_t second = uint32_t(e.chosen.second);
  if (invalidateEntry(e, state, a, last)) e.staleRows.push_back(a);
  double runningStart = double(state.bestDelta[a]);
  fixedColumnTerms(e.table, rowOf(state, a), e.columns, e.mergedTerms.data());
  FixedCluster fixed = fixedCluster(state, a, maskOf(e, a), e.mergedTerms.data());
  // Every task writes all of its chunk's entries.
  growTo(e.chunkStaleCount, chunkCount);
  growTo(e.chunkDeltas, size_t(chunkCount) * 3);
  growTo(e.chunkExactCount, chunkCount);
  growTo(e.chunkFloors, size_t(chunkCount) * 2);
  e.pool->run(chunkCount, [&](uint32_t c) {
    // Counts and floors are kept in locals and stored once: the chunks'
    // entries share cache lines, which the threads would pass back and forth.
    double out[kLanes];
    uint32_t staleCount = 0, exactCount = 0;
    uint64_t deltaCount = 0, laneCount = 0, kernelWanted = 0;
    double floors[2] = {kInfinity, kInfinity};
    uint32_t* stale = e.chunkStale.data() + size_t(c) * kTilesPerChunk * kLanes;
    uint32_t* exactList = e.chunkExact.data() + size_t(c) * kTilesPerChunk * kLanes;
    uint32_t end = std::min(tileCount, (c + 1) * kTilesPerChunk);
    for (uint32_t t = c * kTilesPerChunk; t < end; t++) {
      e.boundKernel(e.boundContext, e.bounds[a], t, kAllLanes, out);
      uint32_t lanes = 0;
      for (uint32_t lane = 0; lane < kLanes; lane++) {
        uint32_t x = e.rowInSlot[t * kLanes + lane];
        if (x == kNoRow || x == a) continue;
        uint32_t j = e.positionOf[x];
        if (invalidateEntry(e, state, x, last)) stale[staleCount++] = x;
        if (j > second && j < last) lowerFloor(floorEarlierOf(e, x), e.floorLater[x]);
        double bound = out[lane];
        bool needed = j < merged ? bound < double(state.bestDelta[x]) || bound < e.floorLater[x]
                                 : bound < runningStart || bound < floorEarlierOf(e, x);
        if (needed) {
          lanes |= 1u << lane;
          exactList[exactCount++] = j;
        } else {
          lowerFloor(floors[j > merged], bound);
        }
      }
      if (lanes == 0) continue;
      laneCount += tileDeltas(e, state, fixed, t, lanes, out);
      deltaCount += uint32_t(__builtin_popcount(lanes));
      kernelWanted += __builtin_popcount(lanes) > int(kFewLanes);
      for (uint32_t lane = 0; lane < kLanes; lane++) {
        if ((lanes >> lane & 1) == 0) continue;
        uint32_t x = e.rowInSlot[t * kLanes + lane];
        uint32_t j = e.positionOf[x];
        double d = out[lane];
        deltas[j] = d;
        if (j < merged && d < double(state.bestDelta[x])) {
          state.bestDelta[x] = float(d);
          state.bestPartner[x] = merged;
        }
        // Most deltas fail the floor of their side; that test is done here.
        if (d < (j < merged ? e.floorLater[x] : floorEarlierOf(e, x))) insertCandidate(e, x, a, d);
      }
    }
    // The lists of the chunk's clusters are final for the pass now: the
    // entries left stale look for their best listed later partner here, on
    // the workers, for the refresh.
    for (uint32_t i = 0; i < staleCount; i++) {
      uint32_t x = stale[i];
      if (state.bestPartner[x] < state.rows) continue;  // a delta of this pass set it
      e.listAnswer[x] = bestListedLater(e, x, e.positionOf[x]);
      e.listAnswerPass[x] = e.updates;
    }
    e.chunkStaleCount[c] = staleCount;
    e.chunkExactCount[c] = exactCount;
    e.chunkDeltas[3 * c] = deltaCount;
    e.chunkDeltas[3 * c + 1] = laneCount;
    e.chunkDeltas[3 * c + 2] = kernelWanted;
    e.chunkFloors[2 * c] = floors[0];
    e.chunkFloors[2 * c + 1] = floors[1];
  });
  for (uint32_t c = 0; c < chunkCount; c++) {
    const uint32_t* stale = e.chunkStale.data() + size_t(c) * kTilesPerChunk * kLanes;
    e.staleRows.insert(e.staleRows.end(), stale, stale + e.chunkStaleCount[c]);
  }
  e.invalidationPending = false;
  e.counters.bounds += last - 1;
  for (uint32_t c = 0; c < chunkCount; c++) {
    e.counters.deltas += e.chunkDeltas[3 * c];
    e.counters.neighbourDeltas += e.chunkDeltas[3 * c];
    e.counters.laneDeltas += e.chunkDeltas[3 * c + 1];
    e.kernelWanted += e.chunkDeltas[3 * c + 2];
  }
  e.tilesVisited += tileCount;

  // The computed positions, in ascending order.
  std::vector<uint32_t>& computed = e.neighbourComputed;
  computed.clear();
  double floorEarlierA = kInfinity, floorLaterA = kInfinity;
  for (uint32_t c = 0; c < chunkCount; c++) {
    const uint32_t* exactList = e.chunkExact.data() + size_t(c) * kTilesPerChunk * kLanes;
    computed.insert(computed.end(), exactList, exactList + e.chunkExactCount[c]);
    lowerFloor(floorEarlierA, e.chunkFloors[2 * c]);
    lowerFloor(floorLaterA, e.chunkFloors[2 * c + 1]);
  }
  std::sort(computed.begin(), computed.end());

  // The later clusters, in the direct order: a's running best is a float
  // that each comparison may lower. A delta left unknown is at least its
  // bound, which is not below the running best.
  for (uint32_t j : computed) {
    if (j > merged && deltas[j] < double(state.bestDelta[a])) {
      state.bestDelta[a] = float(deltas[j]);
      state.bestPartner[a] = j;
    }
  }

  // The merged cluster met every other: its list and floors start afresh,
  // the floors from the bounds of the deltas left unknown.
  TopCandidates top;
  e.floorLater[a] = floorLaterA;
  floorEarlierOf(e, a) = floorEarlierA;
  for (uint32_t j : computed) {
    uint32_t x = state.activeList[j];
    top.add(Candidate{deltas[j], x, e.stamp[x]},
            [&](const Candidate& c) { lowerFloor(floorFor(e, a, c.row), c.value); });
  }
  storeList(e, a, top);
}

}  // namespace

const PassScans kFastScans = {refreshFast, selectFast, invalidateFast, updateNeighboursFast, mergedCostFast};

bool startFastScans(const ClusteringState& state, const FastScanOptions& options, std::string* error) {
  engine.reset();
  // No pass runs with fewer than two clusters, so there is nothing to set
  // up; a matrix without rows may still promise 2^32 - 1 columns, whose
  // per-column arrays could not be allocated.
  if (state.liveCount < 2) return true;
  std::unique_ptr<FastEngine> e(new (std::nothrow) FastEngine);
  if (!e) {
    *error = "cannot allocate the fast scans: out of memory";
    return false;
  }
  e->kernel = tileKernel(options.kernel);
  e->tileUse = options.tiles;
  if (!e->kernel) {
    *error = std::string("the processor lacks the instructions of the ") + kernelName(options.kernel) + " kernel";
    return false;
  }
  e->columns = state.columns;
  e->rows = state.rows;
  uint32_t live = state.liveCount;
  if (!allocateClusterTiles(e->tiles, state.columns, live, error)) return false;
  try {
    fillLnFactorialTable(e->table, kTableSize);
    e->stamp.assign(state.rows, 0);
    e->positionOf.assign(state.rows, 0);
    e->slotOf.assign(state.rows, 0);
    e->rowInSlot.assign(size_t(e->tiles.tileCount) * kLanes, kNoRow);
    e->candidates.resize(size_t(state.rows) * kCandidates);
    e->candidateCount.assign(state.rows, 0);
    e->bounds.resize(state.rows);
    e->boundGroups = chooseBoundGroups(state.counts, state.columns, state.rows);
    e->tileLastPosition.assign(e->tiles.tileCount, -1);
    e->chunkExact.assign(size_t(e->tiles.tileCount) * kLanes + kTilesPerChunk * kLanes, 0);
    e->chunkStale.assign(size_t(e->tiles.tileCount) * kLanes + kTilesPerChunk * kLanes, 0);
    e->staleRows.reserve(state.rows);
    if (!allocateBoundTiles(e->boundTiles, e->tiles.tileCount)) throw std::bad_alloc();
    e->floorLater.assign(state.rows, kInfinity);
    e->listAnswer.resize(state.rows);
    e->listAnswerPass.assign(state.rows, UINT32_MAX);
    e->slotCapacity = size_t(e->tiles.tileCount) * kLanes;
    e->slotFloorEarlier.assign(e->slotCapacity, kInfinity);
    e->slotPosition.assign(e->slotCapacity, 0);
    e->slotFilter.assign(kFilterWords * e->slotCapacity, 0);
    e->rowMasks.assign(size_t(state.rows) * e->tiles.maskWords, 0);
    e->mergedTerms.assign(state.columns, 0.0);
    e->neighbourDeltas.assign(size_t(e->tiles.tileCount) * kLanes, 0.0);
    e->pool.reset(new WorkerPool(options.threads == 0 ? defaultThreadCount() : options.threads));
  } catch (const std::bad_alloc&) {
    *error = "cannot allocate the fast scans for " + std::to_string(state.rows) + " rows: out of memory";
    return false;
  }
  e->context.table = &e->table;
  e->context.tiles = &e->tiles;
  e->context.constant = state.constant;
  e->boundKernel = boundKernel(options.kernel);
  e->boundContext = boundContext(e->boundTiles, state.columns, state.constant);
  engine = std::move(e);
  return true;
}

FastScanCounters fastScanCounters() { return engine ? engine->counters : FastScanCounters(); }

unsigned fastScanThreads() { return engine ? engine->pool->threadCount() : 0; }
