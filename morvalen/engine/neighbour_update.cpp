#include "neighbour_update.h"

#include <algorithm>
#include <limits>

#include "engine.h"
#include "shared.h"

namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();

// What every task of one update shares.
struct Update {
  uint32_t merged;      // Ei, the merged cluster's position
  uint32_t second;      // Ej, where the last cluster moved
  uint32_t last;        // the last live position before the merge
  uint32_t row;         // the merged cluster's row
  double runningStart;  // its cached delta before the update: this pass's EM
  FixedCluster fixed;
  uint32_t tileCount;
};

// Marks the cluster's entry stale when its partner is Ei, Ej or last; true
// if it did.
bool invalidateEntry(ClusteringState& state, const PassChoice& choice, uint32_t row, uint32_t last) {
  uint32_t partner = state.bestPartner[row];
  if (partner != uint32_t(choice.first) && partner != uint32_t(choice.second) && partner != last) return false;
  state.bestPartner[row] = state.rows;
  return true;
}

// The deltas of the merged cluster against the lanes of a tile set in
// `lanes`: the tile kernel when many are wanted, else pair by pair. Returns
// the lanes computed.
uint32_t tileDeltas(const FastEngine& e, const ClusteringState& state, const FixedCluster& a, uint32_t tile,
                    uint32_t lanes, double* out) {
  uint32_t count = uint32_t(__builtin_popcount(lanes));
  if (count > kFewLanes && e.tilePolicy.kept) {
    e.kernels.tile(e.kernels.deltas, a, tile, out);
    return kLanes;
  }
  PartnerCluster partners[kLanes];
  double few[kLanes];
  uint32_t n = 0;
  for (uint32_t bits = lanes; bits != 0; bits &= bits - 1)
    partners[n++] = partnerCluster(e, state, e.mirror.rowInSlot[tile * kLanes + uint32_t(__builtin_ctz(bits))]);
  partnerDeltas(e.kernels.deltas, a, partners, n, few);
  n = 0;
  for (uint32_t bits = lanes; bits != 0; bits &= bits - 1) out[__builtin_ctz(bits)] = few[n++];
  return count;
}

// The value a bound of the merged cluster against cluster x (at position j)
// must reach for their delta not to be needed: below it, the delta could
// beat x's cached delta (j earlier) or the merged cluster's running best (j
// later), or enter the list on its side (its floor). No operand is NaN:
// bounds are -inf where nothing else holds, cached deltas and floors are
// numbers or +inf.
inline double neededBelow(const FastEngine& e, const ClusteringState& state, const Update& u, uint32_t x,
                          uint32_t j) {
  return j < u.merged ? std::max(double(state.bestDelta[x]), e.floors.later[x])
                      : std::max(u.runningStart, floorEarlierOf(e, x));
}

// The floor of the side of cluster x (at position j) that the merged
// cluster lies on: only a delta below it can enter x's list. floorFor's
// choice, from the positions at hand instead of two more loads per lane.
inline double offerFloor(const FastEngine& e, const Update& u, uint32_t x, uint32_t j) {
  return j < u.merged ? e.floors.later[x] : floorEarlierOf(e, x);
}

// The first look at a tile: invalidation, the floors of the clusters the
// moved one jumped over, and which deltas are needed (returned as lanes;
// their positions go to exactList, the other bounds to the floors).
uint32_t lanesNeeded(FastEngine& e, ClusteringState& state, const PassChoice& choice, const Update& u, uint32_t t,
                     const double* bounds, ChunkResult& result, uint32_t* stale, uint32_t* exactList) {
  uint32_t lanes = 0;
  for (uint32_t lane = 0; lane < kLanes; lane++) {
    uint32_t x = e.mirror.rowInSlot[t * kLanes + lane];
    if (x == kNoRow || x == u.row) continue;
    uint32_t j = e.mirror.positionOf[x];
    if (invalidateEntry(state, choice, x, u.last)) stale[result.staleCount++] = x;
    if (j > u.second && j < u.last) lowerFloor(floorEarlierOf(e, x), e.floors.later[x]);
    double bound = bounds[lane];
    if (bound < neededBelow(e, state, u, x, j)) {
      lanes |= 1u << lane;
      exactList[result.exactCount++] = j;
    } else if (j < u.merged) {
      lowerFloor(result.floorEarlier, bound);
    } else {
      lowerFloor(result.floorLater, bound);
    }
  }
  return lanes;
}

// Applies the tile's computed deltas: an earlier cluster's cached delta is
// compared with its own, and each cluster is offered the merged one for its
// list. Most deltas fail the floor of their side; that test is made here,
// once ahead to fetch the list entries of the offers side by side.
void applyTileDeltas(FastEngine& e, ClusteringState& state, const Update& u, uint32_t t, uint32_t lanes,
                     const double* out) {
  double* deltas = e.neighbours.deltas.data();
  for (uint32_t bits = lanes; bits != 0; bits &= bits - 1) {
    uint32_t x = e.mirror.rowInSlot[t * kLanes + uint32_t(__builtin_ctz(bits))];
    if (out[__builtin_ctz(bits)] < offerFloor(e, u, x, e.mirror.positionOf[x])) prefetchOffer(e, x, u.row);
  }
  for (uint32_t bits = lanes; bits != 0; bits &= bits - 1) {
    uint32_t lane = uint32_t(__builtin_ctz(bits));
    uint32_t x = e.mirror.rowInSlot[t * kLanes + lane];
    uint32_t j = e.mirror.positionOf[x];
    double d = out[lane];
    deltas[j] = d;
    if (j < u.merged && d < double(state.bestDelta[x])) {
      state.bestDelta[x] = float(d);
      state.bestPartner[x] = u.merged;
    }
    if (d < offerFloor(e, u, x, j)) insertCandidate(e, x, u.row, d);
  }
}

// The lanes of tile t whose delta to the merged cluster is known already
// (their class is large), the merged cluster's own lane aside; their values
// go to out.
uint32_t knownLanes(const FastEngine& e, uint32_t t, uint32_t mergedRow, double* out) {
  const ContentClasses& c = e.classes;
  const NeighbourScratch& n = e.neighbours;
  uint32_t known = 0;
  for (uint32_t lane = 0; lane < kLanes; lane++) {
    uint32_t x = e.mirror.rowInSlot[t * kLanes + lane];
    if (x == kNoRow || x == mergedRow) continue;
    uint32_t cls = c.classOf[x];
    if (c.largeIndex[cls] == kNoClass || n.classValueUpdate[cls] != e.memory.updates) continue;
    out[lane] = n.classValue[cls];
    known |= 1u << lane;
  }
  return known;
}

// The merged cluster's deltas to one member of every large class.
void evaluateLargeClasses(FastEngine& e, const ClusteringState& state, const FixedCluster& a, uint32_t mergedRow) {
  const ContentClasses& c = e.classes;
  NeighbourScratch& n = e.neighbours;
  growTo(n.classValue, classCount(c));
  growTo(n.classValueUpdate, classCount(c));
  constexpr uint32_t kBatch = 64;
  PartnerCluster partners[kBatch];
  uint32_t classes[kBatch];
  double out[kBatch];
  for (size_t start = 0; start < c.large.size(); start += kBatch) {
    uint32_t count = 0;
    for (size_t i = start; i < c.large.size() && i < start + kBatch; i++) {
      uint32_t y = memberOtherThan(c, c.large[i], mergedRow);
      partners[count] = partnerCluster(e, state, y);
      classes[count++] = c.large[i];
    }
    partnerDeltas(e.kernels.deltas, a, partners, count, out);
    for (uint32_t i = 0; i < count; i++) {
      n.classValue[classes[i]] = out[i];
      n.classValueUpdate[classes[i]] = e.memory.updates;
    }
    e.counters.deltas += count;
    e.counters.neighbourDeltas += count;
    e.counters.laneDeltas += count;
  }
}

// The live lanes of tile t, the merged cluster's own aside, whose delta is
// not known (knownMask): those that need a bound.
uint32_t unknownLanes(const FastEngine& e, uint32_t t, uint32_t mergedRow, uint32_t knownMask) {
  uint32_t mergedSlot = e.mirror.slotOf[mergedRow];
  uint32_t mergedLane = mergedSlot / kLanes == t ? uint32_t(1) << (mergedSlot % kLanes) : 0;
  return liveLanes(e.mirror, t) & ~mergedLane & ~knownMask;
}

// The largest value a bound must reach for no delta of tile t to be needed
// (lanesNeeded's tests), the known lanes and the merged cluster's own aside.
double largestThreshold(const FastEngine& e, const ClusteringState& state, const Update& u, uint32_t t,
                        uint32_t knownMask) {
  double largest = -kInfinity;
  for (uint32_t lane = 0; lane < kLanes; lane++) {
    uint32_t x = e.mirror.rowInSlot[t * kLanes + lane];
    if (x == kNoRow || x == u.row || (knownMask >> lane & 1) != 0) continue;
    largest = std::max(largest, neededBelow(e, state, u, x, e.mirror.positionOf[x]));
  }
  return largest;
}

// The bounds of tile t's lanes but the known ones (knownMask) into out: the
// tile's envelope bound where it reaches every lane's threshold (it is below
// each of their deltas, and no delta would be needed), else the kernel's.
// Returns the lane bounds computed.
uint32_t tileBounds(const FastEngine& e, const ClusteringState& state, const Update& u, uint32_t t, double envelope,
                    uint32_t knownMask, double* out) {
  if (envelope >= largestThreshold(e, state, u, t, knownMask)) {
    for (uint32_t lane = 0; lane < kLanes; lane++) out[lane] = envelope;
    return 0;
  }
  e.kernels.bound(e.kernels.bounds, e.mirror.bounds[u.row], t, kAllLanes & ~knownMask, out);
  return uint32_t(__builtin_popcount(kAllLanes & ~knownMask));
}

// One task: the clusters of chunk c's tiles. Counts and floors go to a local
// result, stored once: the chunks' results share cache lines, which the
// threads would pass back and forth.
void updateChunk(FastEngine& e, ClusteringState& state, const PassChoice& choice, const Update& u, uint32_t c) {
  NeighbourScratch& n = e.neighbours;
  ChunkResult result;
  result.floorEarlier = kInfinity;
  result.floorLater = kInfinity;
  uint32_t* stale = n.chunkStale.data() + size_t(c) * kTilesPerChunk * kLanes;
  uint32_t* exactList = n.chunkExact.data() + size_t(c) * kTilesPerChunk * kLanes;
  uint32_t end = std::min(u.tileCount, (c + 1) * kTilesPerChunk);
  double out[kLanes];
  const bool largeClasses = !e.classes.large.empty();
  // Known deltas stand in for their bounds, and are not computed again.
  static_assert(kTilesPerChunk == kLanes, "a chunk's envelopes are one tile of them");
  double known[kTilesPerChunk][kLanes];
  uint32_t knownMasks[kTilesPerChunk];
  uint32_t boundTiles = 0;  // the tiles with a lane whose delta is not known
  for (uint32_t t = c * kTilesPerChunk; t < end; t++) {
    uint32_t i = t - c * kTilesPerChunk;
    knownMasks[i] = largeClasses ? knownLanes(e, t, u.row, known[i]) : 0;
    result.known += uint32_t(__builtin_popcount(knownMasks[i]));
    if (!largeClasses || unknownLanes(e, t, u.row, knownMasks[i]) != 0) boundTiles |= uint32_t(1) << i;
  }
  // The envelope bounds of those tiles, in one kernel call.
  const BoundCluster& merged = e.mirror.bounds[u.row];
  double envelopes[kLanes];
  if (boundTiles != 0) e.kernels.bound(e.kernels.envelopes, merged, c, boundTiles, envelopes);
  result.bounds += uint32_t(__builtin_popcount(boundTiles));
  for (uint32_t t = c * kTilesPerChunk; t < end; t++) {
    uint32_t i = t - c * kTilesPerChunk;
    uint32_t knownMask = knownMasks[i];
    if ((boundTiles >> i & 1) != 0) {
      double envelope = envelopeBound(e.mirror.envelopes, merged, t, e.kernels.envelopes.columnsLess1, envelopes[i]);
      result.bounds += tileBounds(e, state, u, t, envelope, knownMask, out);
    }
    for (uint32_t bits = knownMask; bits != 0; bits &= bits - 1)
      out[__builtin_ctz(bits)] = known[i][__builtin_ctz(bits)];
    uint32_t lanes = lanesNeeded(e, state, choice, u, t, out, result, stale, exactList);
    if (lanes == 0) continue;
    // The tile kernel writes every lane: the known ones are put back after
    // it. Without deltas to compute, out holds them already.
    uint32_t computeLanes = lanes & ~knownMask;
    if (computeLanes != 0) {
      result.lanes += tileDeltas(e, state, u.fixed, t, computeLanes, out);
      for (uint32_t bits = lanes & knownMask; bits != 0; bits &= bits - 1)
        out[__builtin_ctz(bits)] = known[i][__builtin_ctz(bits)];
    }
    result.deltas += uint32_t(__builtin_popcount(computeLanes));
    result.kernelWanted += __builtin_popcount(computeLanes) > int(kFewLanes);
    applyTileDeltas(e, state, u, t, lanes, out);
  }
  // The lists of the chunk's clusters are final for the pass now: the
  // entries left stale look for their best listed later partner here, on
  // the workers, for the refresh.
  for (uint32_t i = 0; i < result.staleCount; i++) {
    uint32_t x = stale[i];
    if (state.bestPartner[x] < state.rows) continue;  // a delta of this pass set it
    e.memory.listAnswer[x] = bestListedLater(e, x, e.mirror.positionOf[x]);
    e.memory.listAnswerPass[x] = e.memory.updates;
  }
  n.chunks[c] = result;
}

// One part of the merged cluster's computed deltas, chunks from..to-1:
// whether a value is kept depends on its value and row alone, and one
// turned away lowers the floor of its side (its position j against the
// merged cluster's, as floorFor would tell) without the partner's stamp
// being read.
void settlePart(FastEngine& e, const ClusteringState& state, const Update& u, uint32_t from, uint32_t to,
                SettlePart& part) {
  NeighbourScratch& n = e.neighbours;
  part.top.count = 0;
  part.floorEarlier = kInfinity;
  part.floorLater = kInfinity;
  part.improving.clear();
  for (uint32_t c = from; c < to; c++) {
    const uint32_t* exactList = n.chunkExact.data() + size_t(c) * kTilesPerChunk * kLanes;
    for (uint32_t i = 0; i < n.chunks[c].exactCount; i++) {
      uint32_t j = exactList[i];
      uint32_t x = state.activeList[j];
      double d = n.deltas[j];
      if (j > u.merged && d < u.runningStart) part.improving.push_back(j);
      if (!part.top.wouldKeep(Candidate{d, x, 0})) {
        lowerFloor(j > u.merged ? part.floorLater : part.floorEarlier, d);
        continue;
      }
      part.top.add(Candidate{d, x, e.lists.stamp[x]},
                   [&](const Candidate& c) { lowerFloor(e.mirror.positionOf[c.row] > u.merged ? part.floorLater : part.floorEarlier, c.value); });
    }
  }
}

// The merged cluster's own entry, list and floors, from what the tasks
// found, in parts side by side when they are many:
// - The list keeps the kCandidates smallest (value, row) pairs, a total
//   order, so the smallest of the parts' own lists are those of all the
//   values; every other value is turned away in a part or in the merge, and
//   lowers the floor of its side either way.
// - The entry: the later deltas in the direct order (its running best is a
//   float that each comparison may lower; a delta left unknown is at least
//   its bound, which is not below the running best). The running best never
//   rises (a double below a float rounds to a float no larger), so a delta
//   not below where it started never takes it: only the parts' improving
//   positions are compared, in ascending order.
void settleMergedCluster(FastEngine& e, ClusteringState& state, const Update& u, uint32_t chunkCount) {
  NeighbourScratch& n = e.neighbours;
  size_t computed = 0;
  double floorEarlier = kInfinity, floorLater = kInfinity;
  for (uint32_t c = 0; c < chunkCount; c++) {
    computed += n.chunks[c].exactCount;
    lowerFloor(floorEarlier, n.chunks[c].floorEarlier);
    lowerFloor(floorLater, n.chunks[c].floorLater);
  }
  uint32_t parts = uint32_t(std::min<size_t>(std::min(kSettleParts, chunkCount), computed / std::max(n.partMinimum, 1u)));
  parts = std::max(parts, 1u);
  growTo(n.settleParts, parts);
  e.pool->run(parts, [&](uint32_t p) {
    settlePart(e, state, u, uint32_t(uint64_t(chunkCount) * p / parts), uint32_t(uint64_t(chunkCount) * (p + 1) / parts),
               n.settleParts[p]);
  });
  TopCandidates top;
  auto rejected = [&](const Candidate& c) { lowerFloor(floorFor(e, u.row, c.row), c.value); };
  e.floors.later[u.row] = floorLater;
  floorEarlierOf(e, u.row) = floorEarlier;
  n.improving.clear();
  for (uint32_t p = 0; p < parts; p++) {
    const SettlePart& part = n.settleParts[p];
    lowerFloor(e.floors.later[u.row], part.floorLater);
    lowerFloor(floorEarlierOf(e, u.row), part.floorEarlier);
    for (uint32_t i = 0; i < part.top.count; i++) top.add(part.top.entries[i], rejected);
    n.improving.insert(n.improving.end(), part.improving.begin(), part.improving.end());
  }
  // Copies of one row make every later position improve: sorted by marks.
  sortDistinct(n.improving.data(), n.improving.size(), n.positionMarks, u.last);
  for (uint32_t j : n.improving) {
    if (n.deltas[j] < double(state.bestDelta[u.row])) {
      state.bestDelta[u.row] = float(n.deltas[j]);
      state.bestPartner[u.row] = j;
    }
  }
  storeList(e, u.row, top);
}

}  // namespace

void updateNeighboursFast(FastEngine& e, ClusteringState& state, const PassChoice& choice, uint32_t last) {
  uint32_t merged = uint32_t(choice.first);
  uint32_t a = state.activeList[merged];
  PassMemory& memory = e.memory;
  if (last <= 1) {
    // No other cluster is left: only the invalidation.
    for (uint32_t i = 0; i <= last; i++)
      if (invalidateEntry(state, choice, state.activeList[i], last)) memory.staleRows.push_back(state.activeList[i]);
    return;
  }
  NeighbourScratch& n = e.neighbours;
  Update u;
  u.merged = merged;
  u.second = uint32_t(choice.second);
  u.last = last;
  u.row = a;
  u.tileCount = tilesUsed(e);
  // The merged cluster's own entry is invalidated here, the others' by the
  // tasks.
  if (invalidateEntry(state, choice, a, last)) memory.staleRows.push_back(a);
  u.runningStart = double(state.bestDelta[a]);
  fixedColumnTerms(e.kernels.table, rowOf(state, a), state.columns, n.mergedTerms.data());
  u.fixed = fixedCluster(e, state, a, n.mergedTerms.data());
  evaluateLargeClasses(e, state, u.fixed, a);
  uint32_t chunkCount = (u.tileCount + kTilesPerChunk - 1) / kTilesPerChunk;
  // Every task writes its chunk's entry.
  growTo(n.chunks, chunkCount);
  e.pool->run(chunkCount, [&](uint32_t c) { updateChunk(e, state, choice, u, c); });
  for (uint32_t c = 0; c < chunkCount; c++) {
    const uint32_t* stale = n.chunkStale.data() + size_t(c) * kTilesPerChunk * kLanes;
    memory.staleRows.insert(memory.staleRows.end(), stale, stale + n.chunks[c].staleCount);
    e.counters.deltas += n.chunks[c].deltas;
    e.counters.neighbourDeltas += n.chunks[c].deltas;
    e.counters.laneDeltas += n.chunks[c].lanes;
    e.tilePolicy.kernelWanted += n.chunks[c].kernelWanted;
  }
  for (uint32_t c = 0; c < chunkCount; c++) e.counters.bounds += n.chunks[c].bounds;
  e.tilePolicy.tilesVisited += u.tileCount;
  settleMergedCluster(e, state, u, chunkCount);
}
