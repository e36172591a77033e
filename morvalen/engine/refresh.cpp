// The refresh (rescan.h): answers from the lists, batches of rescans, and
// the selection of the pair to merge.
#include <algorithm>
#include <limits>

#include "engine.h"
#include "rescan.h"
#include "shared.h"

namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();

// Sets the entry from the scanned values and rebuilds the cluster's list
// from its earlier entries and the later values. Touches only the job's own
// cluster, so jobs run this side by side once all have scanned.
void applyOwnEntry(FastEngine& e, ClusteringState& state, const ScanJob& job, WorkerScratch& scratch) {
  uint32_t r = job.row;
  uint32_t first = job.position + 1;
  const double* values = e.rescans.values.data() + job.valueOffset;
  const uint32_t* computed = e.rescans.computedAt.data() + job.valueOffset;
  state.bestDelta[r] = float(job.bestValue);
  if (job.bestPosition != kNoPosition) state.bestPartner[r] = job.bestPosition;

  compactCandidates(e, r);
  TopCandidates top;
  double newFloorLater = job.prunedFloor;
  auto rejected = [&](const Candidate& c) {
    if (e.mirror.positionOf[c.row] > job.position)
      lowerFloor(newFloorLater, c.value);
    else
      lowerFloor(floorEarlierOf(e, r), c.value);
  };
  uint32_t listed = e.lists.count[r];
  // The rows the list holds are marked with a fresh token of this worker's
  // own marks, so that a value for one of them is not listed twice.
  if (scratch.marks.size() < state.rows || ++scratch.token == 0) {
    scratch.marks.assign(state.rows, 0);
    scratch.token = 1;
  }
  for (uint32_t i = 0; i < listed; i++) {
    const Candidate& c = entryAt(e.lists, r, i);
    top.add(c, rejected);
    scratch.marks[c.row] = scratch.token;
  }
  // Whether a value is kept depends on its value and row alone, and a value
  // turned away here is of a later position: it lowers newFloorLater, as
  // `rejected` would, without reading the partner's stamp or position.
  for (uint32_t n = 0; n < job.computed; n++) {
    uint32_t y = state.activeList[first + computed[n]];
    double value = values[computed[n]];
    if (!top.wouldKeep(Candidate{value, y, 0})) {
      lowerFloor(newFloorLater, value);
      continue;
    }
    if (scratch.marks[y] != scratch.token) top.add(Candidate{value, y, e.lists.stamp[y]}, rejected);
  }
  storeList(e, r, top);
  e.floors.later[r] = newFloorLater;
}

// Offers the values of the batch's jobs, in job order, to the lists of the
// later clusters at positions lo..hi-1. In the first refresh, which sets the
// floors up, a value left unknown lowers the later cluster's floor to its
// bound; later on the floors already cover every pair. Tasks own disjoint
// position ranges, so they run side by side.
void offerToLaterLists(FastEngine& e, const ClusteringState& state, uint32_t firstJob, uint32_t endJob,
                       uint32_t lo, uint32_t hi) {
  for (uint32_t j = firstJob; j < endJob; j++) {
    const ScanJob& job = e.rescans.jobs[j];
    uint32_t first = job.position + 1;
    const double* values = e.rescans.values.data() + job.valueOffset;
    const uint32_t* computed = e.rescans.computedAt.data() + job.valueOffset;
    // The job's indices are ascending: those of the range are consecutive.
    const uint32_t* end = computed + job.computed;
    for (const uint32_t* n = std::lower_bound(computed, end, lo > first ? lo - first : 0); n < end; n++) {
      uint32_t p = first + *n;
      if (p >= hi) break;
      uint32_t y = state.activeList[p];
      double value = values[*n];
      if (value < floorEarlierOf(e, y)) insertCandidate(e, y, job.row, value);
    }
    if (!e.memory.listsReady) {
      const double* bounds = e.rescans.bounds.data() + job.valueOffset;
      for (uint32_t p = std::max(lo, first); p < hi; p++)
        if (values[p - first] == kInfinity) lowerFloor(floorEarlierOf(e, state.activeList[p]), bounds[p - first]);
    }
  }
}

// The selection over consecutive position ranges, given each range's own.
PassChoice combineChoices(const std::vector<PassChoice>& inOrder) {
  PassChoice choice;
  for (const PassChoice& c : inOrder)
    if (c.first >= 0 && c.bestDelta < choice.bestDelta) choice = c;
  return choice;
}

// Where thread w's share of `live` positions starts: its home, whose lists
// it writes pass after pass.
uint32_t homePosition(uint32_t live, unsigned w, unsigned threads) { return uint32_t(uint64_t(live) * w / threads); }

// The position ranges of a batch's second step, in r.rangeStarts (with
// liveCount after the last): positions before the first job's `lo` in
// kSelectSpan steps (last batch only: they only select), then at most
// kOfferRanges ranges from lo on. Thread w's home positions start at
// liveCount * w / threads, a range start too, and its share of the tasks
// (r.shareStarts[w]) begins with the first range of its home: its clusters'
// lists then stay in its own cache from pass to pass, as the neighbour
// update's chunks, shared out by tiles, keep nearly the same clusters on
// the same thread (slots follow positions, but for the clusters moved since
// the last packing). Which thread runs which range changes no result.
void planRanges(const ClusteringState& state, uint32_t lo, bool lastBatch, unsigned threads, RescanScratch& r) {
  uint32_t live = state.liveCount;
  std::vector<uint32_t>& starts = r.rangeStarts;
  starts.clear();
  if (lastBatch)
    for (uint32_t p = 0; p < lo; p += kSelectSpan) starts.push_back(p);
  uint32_t ranges = std::max(1u, std::min(kOfferRanges, (live - lo) / kOfferRangeMinimum));
  uint32_t span = (live - lo + ranges - 1) / ranges;
  for (uint32_t p = lo; p < live; p += span) starts.push_back(p);
  if (threads > 1) {
    uint32_t first = lastBatch ? 0 : lo;
    for (unsigned w = 1; w < threads; w++) {
      uint32_t home = homePosition(live, w, threads);
      if (home > first && home < live) starts.push_back(home);
    }
    std::sort(starts.begin(), starts.end());
    starts.erase(std::unique(starts.begin(), starts.end()), starts.end());
  }
  r.shareStarts.resize(threads);
  for (unsigned w = 1; w < threads; w++)
    r.shareStarts[w] = uint32_t(std::lower_bound(starts.begin(), starts.end(), homePosition(live, w, threads)) -
                                starts.begin());
  starts.push_back(live);
}

// Splits the bounds of the batch's long jobs into shares (rescan.h), once
// the lists are set up: r.sharedJobs and r.wholeJobs list the jobs, the
// shares of a shared job lie at r.shares[r.shareStart[j]..r.shareStart[j+1]).
// The shares follow from the jobs alone. Returns the count of shares.
uint32_t planShares(FastEngine& e, uint32_t firstJob, uint32_t endJob) {
  RescanScratch& r = e.rescans;
  uint32_t jobs = endJob - firstJob;
  uint32_t tileCount = tilesUsed(e);
  r.sharedJobs.clear();
  r.wholeJobs.clear();
  growTo(r.shareStart, size_t(jobs) + 1);
  uint32_t count = 0;
  for (uint32_t j = 0; j < jobs; j++) {
    r.shareStart[j] = count;
    uint32_t from = e.memory.listsReady ? firstLaterTile(e, r.jobs[firstJob + j].position) : tileCount;
    if (tileCount - from <= r.shareTiles) {
      r.wholeJobs.push_back(j);
      continue;
    }
    r.sharedJobs.push_back(j);
    for (; from < tileCount; from += r.shareTiles) {
      growTo(r.shares, size_t(count) + 1);
      BoundShare& share = r.shares[count++];
      share.job = j;
      share.tileFrom = from;
      share.tileTo = std::min(tileCount, from + r.shareTiles);
    }
  }
  r.shareStart[jobs] = count;
  return count;
}

// The deltas of a batch's jobs, each on a worker: the long jobs' first, the
// whole jobs after them, which even out the threads' ends. The first
// refresh shares no job: its jobs go in groups (rescanJobsTogether).
void runJobRound(FastEngine& e, ClusteringState& state, uint32_t firstJob) {
  RescanScratch& r = e.rescans;
  uint32_t sharedCount = uint32_t(r.sharedJobs.size()), wholeCount = uint32_t(r.wholeJobs.size());
  auto help = [&](unsigned worker) { return helpSecondRound(e, state, worker); };
  const uint32_t together = r.jobsTogether;
  // Where the first refresh's cut rules out much (blocks through a BWT,
  // whose envelopes are tight), few bounds are left to share a tile's data,
  // and grouping the jobs costs about what it saves.
  bool cutLeavesMost = !r.envelopeCut || r.cutRuledOut * kGroupedCutShare <= r.cutScanned;
  if (!e.memory.listsReady && sharedCount == 0 && together > 1 && cutLeavesMost) {
    // As many groups as the threads can share evenly, each of at most
    // `together` jobs, the jobs spread evenly over them: a batch's last
    // group would otherwise keep one thread busy while the others wait.
    uint32_t threads = e.pool->threadCount();
    uint32_t groups = (wholeCount + together - 1) / together;
    if (groups > threads) groups = (groups + threads - 1) / threads * threads;
    e.pool->runOnWorkersHelping(groups, [&](uint32_t group, unsigned worker) {
      uint32_t from = uint32_t(uint64_t(wholeCount) * group / groups);
      uint32_t count = uint32_t(uint64_t(wholeCount) * (group + 1) / groups) - from;
      if (count == 0) return;
      ScanJob jobs[kJobsTogether];
      uint32_t inBatch[kJobsTogether] = {};
      for (uint32_t g = 0; g < count; g++) {
        inBatch[g] = r.wholeJobs[from + g];
        jobs[g] = r.jobs[firstJob + inBatch[g]];
      }
      rescanJobsTogether(e, state, jobs, inBatch, count, e.workers[worker]);
      for (uint32_t g = 0; g < count; g++) r.jobs[firstJob + inBatch[g]] = jobs[g];
    }, help);
    return;
  }
  e.pool->runOnWorkersHelping(sharedCount + wholeCount, [&](uint32_t task, unsigned worker) {
    uint32_t j = task < sharedCount ? r.sharedJobs[task] : r.wholeJobs[task - sharedCount];
    // A copy of the job, written back once: neighbouring jobs share cache
    // lines, and their counters change all the time.
    ScanJob job = r.jobs[firstJob + j];
    if (task < sharedCount)
      finishSharedJob(e, state, job, j, r.shares.data() + r.shareStart[j], r.shareStart[j + 1] - r.shareStart[j],
                      e.workers[worker]);
    else
      rescanJob(e, state, job, j, e.workers[worker]);
    r.jobs[firstJob + j] = job;
  }, help);
}

// Each job runs on a worker: the fixed cluster's terms, the bounds (which
// read the later clusters' lists and floors) and the deltas; a long job's
// bounds come in shares first, in a round of their own, and the job goes on
// from them beside the whole jobs. Then, split by position range, each job
// sets its own entry and list, and the values are offered to the later
// clusters' lists. After the last batch, returns the pair to merge in
// *choice.
void runJobBatch(FastEngine& e, ClusteringState& state, uint32_t firstJob, uint32_t endJob, bool lastBatch,
                 PassChoice* choice) {
  RescanScratch& r = e.rescans;
  growTo(r.fixedTerms, size_t(endJob - firstJob) * state.columns);
  uint32_t shareCount = planShares(e, firstJob, endJob);
  e.pool->runOnWorkers(shareCount, [&](uint32_t task, unsigned worker) {
    BoundShare& share = r.shares[task];
    boundShare(e, r.jobs[firstJob + share.job], share, e.workers[worker]);
  });
  uint32_t sharedCount = uint32_t(r.sharedJobs.size());
  e.counters.sharedRescans += sharedCount;
  // Idle threads help with the long second rounds (rescan.h).
  r.helping = e.pool->threadCount() > 1;
  runJobRound(e, state, firstJob);
  r.helping = false;
  uint64_t ruledOut = 0, later = 0;
  for (uint32_t j = firstJob; j < endJob; j++) {
    ruledOut += r.jobs[j].ruledOut;
    later += state.liveCount - 1 - r.jobs[j].position;
    e.counters.bounds += r.jobs[j].bounds;
    e.counters.skipped += r.jobs[j].skipped;
    e.counters.deltas += r.jobs[j].deltas;
    e.counters.helpedRounds += r.jobs[j].helped ? 1 : 0;
    e.counters.laneDeltas += r.jobs[j].deltas;
  }
  e.counters.ruledOut += ruledOut;
  // The cut stays for the next batch while it pays (kCutShare); the
  // batches are the same whatever the thread count, and so is the choice.
  if (!e.memory.listsReady && r.envelopeCut) {
    r.cutRuledOut += ruledOut;
    r.cutScanned += later;
    if (double(r.cutRuledOut) < kCutShare * double(r.cutScanned)) r.envelopeCut = false;
  }
  // Only once every job has read the lists and floors does any list or floor
  // change. Each task owns the clusters of a position range: it sets the
  // entries and lists of the jobs among them, then offers them the values
  // of every job, as a sequential pass would in that order. After the last
  // batch every cached delta is final: each task then also selects within
  // its range, and further tasks select within the positions before the
  // first job's.
  uint32_t lo = r.jobs[firstJob].position;
  planRanges(state, lo, lastBatch, e.pool->threadCount(), r);
  uint32_t rangeCount = uint32_t(r.rangeStarts.size() - 1);
  r.rangeChoices.assign(rangeCount, PassChoice());
  auto task = [&](uint32_t q, unsigned worker) {
    uint32_t from = r.rangeStarts[q], to = r.rangeStarts[q + 1];
    if (to <= lo) {
      r.rangeChoices[q] = selectInRange(state, from, to);
      return;
    }
    for (uint32_t j = firstJob; j < endJob; j++)
      if (r.jobs[j].position >= from && r.jobs[j].position < to) applyOwnEntry(e, state, r.jobs[j], e.workers[worker]);
    offerToLaterLists(e, state, firstJob, endJob, from, to);
    if (lastBatch) r.rangeChoices[q] = selectInRange(state, from, to);
  };
  e.pool->runOnWorkers(rangeCount, task, [&](unsigned w) { return r.shareStarts[w]; });
  if (lastBatch) *choice = combineChoices(r.rangeChoices);
}

// The jobs in batches whose values fit kJobValueBudget (a job longer than
// that has a batch of its own); returns the pair to merge.
PassChoice runJobs(FastEngine& e, ClusteringState& state) {
  RescanScratch& r = e.rescans;
  PassChoice choice;
  uint32_t jobCount = uint32_t(r.jobs.size());
  uint32_t batchStart = 0;
  size_t used = 0;
  for (uint32_t j = 0; j <= jobCount; j++) {
    size_t length = j < jobCount ? state.liveCount - 1 - r.jobs[j].position : 0;
    if (j == jobCount || (used + length > kJobValueBudget && j > batchStart)) {
      if (j > batchStart) {
        // A batch holds at most the budget's values, or one job's (fewer
        // than the rows): room for that much from the start spares the
        // copies of growing step by step, and only the pages ever used are
        // touched.
        if (r.values.capacity() < used) {
          size_t room = std::max(used, std::max(kJobValueBudget, size_t(state.rows)));
          r.values.reserve(room);
          r.bounds.reserve(room);
          r.computedAt.reserve(room);
        }
        growTo(r.values, used);
        growTo(r.bounds, used);
        growTo(r.computedAt, used);
        runJobBatch(e, state, batchStart, j, j == jobCount, &choice);
      }
      batchStart = j;
      used = 0;
    }
    if (j < jobCount) {
      r.jobs[j].valueOffset = used;
      used += length;
    }
  }
  return choice;
}

// The positions of the stale entries, ascending: the live rows of staleRows
// still marked stale, once each.
void findStalePositions(FastEngine& e, const ClusteringState& state, std::vector<uint32_t>& positions) {
  positions.clear();
  for (uint32_t r : e.memory.staleRows)
    if (isLive(e, state, r) && state.bestPartner[r] >= state.rows) positions.push_back(e.mirror.positionOf[r]);
  std::sort(positions.begin(), positions.end());
  positions.erase(std::unique(positions.begin(), positions.end()), positions.end());
}

}  // namespace

PassChoice refreshAndSelect(FastEngine& e, ClusteringState& state) {
  uint32_t ys = state.liveCount;
  RescanScratch& r = e.rescans;
  PassMemory& memory = e.memory;
  r.jobs.clear();
  std::vector<uint32_t>& positions = r.stalePositions;
  findStalePositions(e, state, positions);
  for (uint32_t i : positions) {
    uint32_t row = state.activeList[i];
    e.counters.refreshes++;
    if (i + 1 == ys) {
      // No later position: the direct scan leaves 1e30 and the stale mark.
      state.bestDelta[row] = kNoDelta;
      continue;
    }
    double threshold = kInfinity;
    if (memory.listsReady) {
      Best best = memory.listAnswerPass[row] == memory.updates ? memory.listAnswer[row] : bestListedLater(e, row, i);
      if (best.value < e.floors.later[row] ||
          (best.value == e.floors.later[row] && answerTieFromLists(e, state, i, &best))) {
        state.bestDelta[row] = float(best.value);
        if (best.position != kNoPosition) state.bestPartner[row] = best.position;
        e.counters.fromLists++;
        continue;
      }
      threshold = best.value;
    }
    e.counters.rescans++;
    ScanJob job;
    job.row = row;
    job.position = i;
    job.threshold = threshold;
    job.prunedFloor = kInfinity;
    r.jobs.push_back(job);
  }
  // The last batch of rescans selects the pair on its workers; without
  // rescans every cached delta is final already.
  PassChoice choice = r.jobs.empty() ? selectPair(state) : runJobs(e, state);
  memory.listsReady = true;
  // An entry may stay stale (no later position); the others are done.
  memory.staleRows.clear();
  for (uint32_t i : positions)
    if (state.bestPartner[state.activeList[i]] >= state.rows) memory.staleRows.push_back(state.activeList[i]);
  return choice;
}
