// The refresh: every stale entry gets its best later partner again, from
// the candidate lists when they can answer, else by a pruned rescan.
//
// Read me first:
// - A stale entry whose best listed later partner t is strictly below its
//   floorLater is answered from the list: no unlisted later cluster can
//   equal or beat t.
// - Otherwise the later positions are rescanned (a job). A job computes the
//   bounds against every later cluster, skipping clusters y whose
//   floorEarlier exceeds t (their delta is larger still) unless r is listed
//   by y, which gives the exact value. It then computes the deltas of the
//   kRefill smallest bounds (to refill the list), then every delta whose
//   bound does not exceed the best found: the others are larger than the
//   answer. It goes on with the next bounds, in ascending order, while they
//   are within reach of the kRefill nearest values (kRefillReach), so that
//   the list holds the nearest later clusters and the next refreshes of the
//   entry are answered from it. Its deltas are offered to the later
//   clusters' lists.
// - In the first refresh, while slots still follow the input's order, a job
//   first computes the deltas in the tiles of smallest envelope bound
//   (bounds.h), which cap its reach; a tile whose envelope lies well above
//   that cap needs no bound of its own clusters (firstRefreshCut,
//   rescan.cpp).
// - Jobs run side by side on the workers, in batches whose values fit a
//   budget. Once the lists are set up, a pass has a few rescans, of very
//   unequal lengths, and one long job would keep the other threads idle:
//   the bounds of a job with more than kShareTiles later tiles are then
//   computed in shares of kShareTiles tiles, each a task of its own, and
//   the job goes on from them as a task (BoundShare). The shares find what
//   one look over all the tiles finds (the same bounds, bit for bit: a
//   class's bound is the same whichever member is in the kernel), so only
//   the count of bounds computed changes; the shares follow from the job
//   alone, not from the thread count. Within a batch, every job first
//   reads the lists and floors; only then does any list or floor change, range of positions by range, each
//   task applying the jobs of its range in job order, as a sequential pass
//   would. The result does not depend on the thread count.
// - After the last batch every cached delta is final, so its tasks also
//   select the pair to merge, each within its positions; the selection's
//   rule (selectInRange) over consecutive ranges, kept where strictly
//   smaller, is the selection over all positions.
// - Later clusters of one content class (content_classes.h) have the same
//   bound and the same delta against the job's cluster, bit for bit: a job
//   evaluates each once, for the first member it meets, and its other
//   members take those values. Every member is still placed, selected and
//   offered on its own, so nothing is decided differently.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "bound_order.h"
#include "clustering.h"
#include "kernel_types.h"

struct FastEngine;

// A rescan computes the kRefill smallest bounds' deltas first, which refill
// the list.
constexpr uint32_t kRefill = 64;
// Past the deltas the answer needs, a rescan computes those whose bound is
// at most the kRefill-th smallest value it knows, up to this many nats above
// the answer (scanJob). Tuned on raw binaries, archives and text: from 150
// to 300 nats the raw binaries gain most, and text, whose bounds are tight,
// neither gains nor loses.
constexpr double kRefillReach = 256.0;
// The first refresh's cut (rescan.cpp) rules a tile out where its envelope
// bound lies this many nats above the cut: a tile just above it would lower
// its clusters' floors, which cost more rescans later than its bounds save
// (blocks through a BWT, whose bounds are tight).
constexpr double kCutMargin = 256.0;
// The cut stays in use for the first refresh while the batches of its jobs
// so far have ruled out at least this share of their later clusters: where
// the tiles' envelopes rule out next to nothing (text, near copies spread
// over the input), its envelopes and deltas are spent for nothing. Over the
// batches so far, so that a stretch of unlike blocks does not end it: on a
// raw shared library it rules out a fifth of the pairs, and single batches
// far fewer.
constexpr double kCutShare = 0.05;
// The later lists a batch of rescans offers its values to are split into at
// most this many position ranges of at least kOfferRangeMinimum positions.
constexpr uint32_t kOfferRanges = 16;
constexpr uint32_t kOfferRangeMinimum = 64;
// Positions before the first job's are searched for the pair to merge in
// tasks of this many.
constexpr uint32_t kSelectSpan = 1024;
// Deltas of one batch of rescans kept at once (doubles).
constexpr size_t kJobValueBudget = size_t(1) << 18;

// A stale entry to rescan over positions position + 1 .. ys - 1.
struct ScanJob {
  uint32_t row = 0;
  uint32_t position = 0;
  double threshold = 0.0;    // best listed later value; +inf: prune nothing
  size_t valueOffset = 0;    // its bounds and deltas in the batch arrays, by position - first
  uint32_t computed = 0;     // values known, listed in computedAt by index
  double prunedFloor = 0.0;  // the smallest bound of the values left unknown
  // The answer over the values known (offer's, from 1e30): offer keeps the
  // smallest value below 1e30 at its earliest position, whatever the order
  // in which the values came, so it is the direct scan's over them.
  double bestValue = 0.0;
  uint32_t bestPosition = 0;
  uint64_t deltas = 0;       // deltas computed
  uint64_t bounds = 0;       // bounds computed
  uint64_t skipped = 0;      // clusters ruled out by their floor or the cut
  uint64_t ruledOut = 0;     // of those, by the first refresh's cut
  bool helped = false;       // its second round was offered to idle threads
  // Its later clusters' kernel bounds are in the batch's bounds already
  // (rescanJobsTogether): its look at the tiles reads them there. Those of
  // clusters of shared classes only with classBoundsKnown.
  bool boundsKnown = false;
  bool classBoundsKnown = false;
};

// Finds the kRefill-th smallest of the bounds fed to it (+inf when fewer
// came) and the indices of those below it: bounds below the running
// threshold go to a buffer, which is cut back to its kRefill smallest
// whenever it fills up; most bounds fail the threshold test.
struct Selection {
  using Entry = BoundEntry;
  std::vector<Entry> buffer;
  double threshold = 0.0;

  void reset();
  void feed(double bound, uint32_t index);
  // Call once, after the last feed. Every bound fed that is below the
  // result is in the buffer then (with others not below it).
  double result();

 private:
  void cut();
};

// A job's bounds come in shares of this many tiles where it has more later
// tiles (once the lists are set up). 512 clusters are about 40 us of
// bounds: shares of a long rescan keep both threads busy, and the tasks
// stay far longer than a hand-over.
constexpr uint32_t kShareTiles = 32;

// What the bounds of a job against the clusters of tiles tileFrom..tileTo-1
// found: the values known from the later clusters' lists (their indices,
// the first knownCount of `known`), the candidates (bound <= the job's
// threshold t, fed to `selection`) with their count, the smallest bound of
// the others, and the counts of bounds computed and clusters skipped. A
// job's bounds and values arrays hold the shares' bounds and values.
struct BoundShare {
  uint32_t job = 0;  // in the batch
  uint32_t tileFrom = 0;
  uint32_t tileTo = 0;
  std::vector<uint32_t> known;
  uint32_t knownCount = 0;
  Selection selection;
  uint32_t candidates = 0;
  double floorOutside = 0.0;
  uint64_t bounds = 0;
  uint64_t skipped = 0;
};

// A long second round (scanJob) offers idle threads a share of its deltas,
// on two threads or more: its candidates, in the order taken, in chunks of
// kHelpChunk. The owner publishes the chunks a few ahead of the one it
// takes from (sorted that far: bound_order.h); any thread claims the next
// chunk published, in order, and computes its deltas. The owner takes its
// candidates exactly as without help, a step at a time while the bound is
// within reach, and uses each value once its chunk is done, claiming the
// chunk itself when no helper has; while a helper's chunk is not done, it
// computes the next chunk no one has claimed rather than wait. So the
// candidates taken, their values (partnerDeltas sums each pair on its own)
// and the counters are those of one thread, whoever computed which chunk;
// values computed past the last candidate taken are dropped.
constexpr uint32_t kHelpChunk = 16;
constexpr uint32_t kHelpAhead = 4;
// Fewer candidates than this are not offered: the round is short, and a
// chunk computed past its end would be a large share of it.
constexpr size_t kHelpMinimum = 256;

struct HelpOffer {
  // The owner's generation (a count of its offers) in the high 32 bits,
  // and in the low ones the chunks claimed (kHelpClosed once the owner is
  // done) or published.
  std::atomic<uint64_t> claimed{0};
  std::atomic<uint64_t> published{0};
  std::atomic<bool> open{false};
  uint32_t generation = 0;
  // Set before the generation's first chunk is published, then left as
  // they are until the offer is closed.
  FixedCluster a;
  const BoundEntry* entries = nullptr;  // in the order taken
  size_t count = 0;
  uint32_t first = 0;                   // the position of index 0
  std::vector<double> values;           // [place in the order taken]
  // [chunk]: the generation whose values it holds.
  std::unique_ptr<std::atomic<uint32_t>[]> ready;
  size_t readyCapacity = 0;
};
constexpr uint32_t kHelpClosed = UINT32_MAX;

// The first refresh's jobs run in groups of this many on a worker
// (rescanJobsTogether): the bounds of a tile's clusters against each job of
// the group are computed one after the other, while the tile's bound data
// sits in the first-level cache, instead of reading it from the outer cache
// once per job. On raw binaries, text and near copies the first refresh's
// bounds read every tile once per earlier cluster, and took twice as long
// as with their data in cache.
constexpr uint32_t kJobsTogether = 4;
// The first refresh's jobs go in groups while its cut has ruled out at most
// one in this many of their later clusters (refresh.cpp): on raw binaries
// and archives it rules out a quarter, on blocks through a BWT half.
constexpr uint64_t kGroupedCutShare = 3;

// What a job of a group keeps from its first step (the first refresh's cut)
// to its last: its class memory and the cut's envelopes and chosen tiles.
// It stands in the worker's scratch while the job runs (swapJobMemory).
struct JobMemory {
  std::vector<uint32_t> classJob;
  std::vector<double> classBound;
  std::vector<double> classValue;
  std::vector<uint32_t> classCall;
  uint32_t jobToken = 0;
  uint32_t callToken = 0;
  std::vector<double> tileEnvelopes;
  std::vector<uint8_t> tileChosen;
};

// One worker's scratch: no other task touches it while a task runs.
struct WorkerScratch {
  Selection selection;
  std::vector<uint32_t> wanted;
  // Rows marked with the current token: a list being rebuilt holds them.
  std::vector<uint32_t> marks;
  uint32_t token = 0;
  // What the current job knows of each content class: valid where
  // classJob[class] is jobToken; a value of +inf is not known yet.
  std::vector<uint32_t> classJob;   // [class]
  std::vector<double> classBound;   // [class]
  std::vector<double> classValue;   // [class]
  uint32_t jobToken = 0;
  // Classes with a member among the deltas of the current computeAt call:
  // where classCall[class] is callToken. Its other members follow it.
  std::vector<uint32_t> classCall;  // [class]
  uint32_t callToken = 0;
  std::vector<uint32_t> followers;       // of one computeAt call
  std::vector<uint32_t> callFollowerClass;  // [follower of the call]: its class
  std::vector<Selection::Entry> secondRound;  // a second round's candidates
  BoundOrder secondOrder;                     // the same, in the order taken
  std::vector<uint32_t> classFollowers;  // of a second round
  std::vector<uint32_t> followerClass;   // [follower]: its class
  std::vector<uint8_t> indexMarks;       // sortDistinct's, all zero between jobs
  // The first refresh's cut (rescan.cpp): the tiles' envelope bounds, the
  // tiles by envelope bound, the tiles of the cut's deltas (all zero
  // between jobs), and the values of those deltas.
  std::vector<double> tileEnvelopes;                    // [tile]
  std::vector<std::pair<double, uint32_t>> tileOrder;   // (envelope bound, tile)
  std::vector<uint8_t> tileChosen;                      // [tile]
  std::vector<double> knownValues;
  std::vector<uint32_t> ruledOut;         // tiles the cut ruled out
  std::vector<uint32_t> tilesBelowFloor;  // of those, settleRuledOut's
  // The memories of the jobs of a group but the one running.
  JobMemory held[kJobsTogether];
};

// The batch arrays of the rescans of one refresh.
struct RescanScratch {
  std::vector<ScanJob> jobs;
  std::vector<double> fixedTerms;   // [job in batch][column]
  std::vector<double> bounds;       // [job's valueOffset + index]
  std::vector<double> values;       // [job's valueOffset + index]; +inf: unknown
  std::vector<uint32_t> computedAt; // [job's valueOffset + n]: indices of known values
  std::vector<uint32_t> rangeStarts;  // of a batch's position ranges, then liveCount
  std::vector<uint32_t> shareStarts;  // [thread]: its first range
  std::vector<PassChoice> rangeChoices;
  std::vector<uint32_t> stalePositions;
  std::vector<BoundShare> shares;      // of a batch's shared jobs, job by job
  std::vector<uint32_t> shareStart;    // [job in batch]: its first share; one more at the end
  std::vector<uint32_t> sharedJobs;    // jobs in batch whose bounds came in shares
  std::vector<uint32_t> wholeJobs;     // the others
  uint32_t shareTiles = kShareTiles;
  uint32_t jobsTogether = kJobsTogether;  // 1: each job on its own
  // [thread]: its second round's offer; only while `helping`, the job
  // round of a batch on two threads or more.
  std::unique_ptr<HelpOffer[]> offers;
  bool helping = false;
  size_t helpMinimum = kHelpMinimum;
  bool envelopeCut = true;  // whether the first refresh's jobs use the cut
  uint64_t cutRuledOut = 0;  // later clusters the cut ruled out so far
  uint64_t cutScanned = 0;   // of the later clusters of the jobs that used it
};

// Refreshes every stale entry, then selects the pair to merge.
PassChoice refreshAndSelect(FastEngine& e, ClusteringState& state);

// The rescan of one job, on a worker: its bounds, then its deltas. Reads the
// lists and floors, writes only the job's own entries of the batch arrays.
void rescanJob(FastEngine& e, const ClusteringState& state, ScanJob& job, uint32_t inBatch, WorkerScratch& scratch);

// The rescans of `count` (at most kJobsTogether) jobs of the first refresh
// on one worker, the job inBatch[j] of the batch in jobs[j]. Each job does
// what rescanJob does, with the same bounds and values, so the same
// counters; only the kernel's bounds of the tiles its cut leaves are
// computed beforehand, for all the jobs, tile by tile. A bound depends only
// on the two clusters, not on when the kernel computes it.
void rescanJobsTogether(FastEngine& e, const ClusteringState& state, ScanJob* jobs, const uint32_t* inBatch,
                        uint32_t count, WorkerScratch& scratch);

// The first tile that may hold a position after `position`: the tiles
// before it hold none.
uint32_t firstLaterTile(const FastEngine& e, uint32_t position);

// The bounds of one share of a job (its tiles, job set), on a worker; the
// lists set up. Writes only the share and the job's entries of the batch
// arrays for the share's clusters.
void boundShare(FastEngine& e, const ScanJob& job, BoundShare& share, WorkerScratch& scratch);

// An idle thread's help (worker_pool.h): computes the next chunk published
// by some other thread's offer. Returns whether there was one.
bool helpSecondRound(FastEngine& e, const ClusteringState& state, unsigned worker);

// The rest of the rescan of a job whose bounds came in `count` shares, which
// cover its later tiles: their findings gathered as one look over the
// tiles would have them, then its deltas, as rescanJob. Why the deltas are
// the same: the known values, the candidates' count and the floor are a
// union, a sum and a minimum over the shares. The selection gathers every
// share's buffer; scanJob takes from it the candidates whose bound is below
// the kRefill-th smallest candidate bound T (all of them when there are at
// most kRefill). A share's threshold only falls, and is at least T (the
// kRefill-th smallest of some candidates), so a candidate below T is fed
// and never cut away. One whose bound is T is lost only where its share's
// threshold came down to T, and that share then keeps kRefill bounds of at
// most T. So the gathered buffer holds every candidate below T and at least
// kRefill of at most T: its kRefill-th smallest is T, and the candidates
// taken are those one look would take.
void finishSharedJob(FastEngine& e, const ClusteringState& state, ScanJob& job, uint32_t inBatch,
                     const BoundShare* shares, uint32_t count, WorkerScratch& scratch);
