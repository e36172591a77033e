// The fast engine as a value: clusterings side by side in one process, its
// invariants on every pass, and the kernel dispatcher.
#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bound_order.h"
#include "clustering.h"
#include "engine.h"

namespace {

struct Matrix {
  uint32_t columns = 0;
  uint32_t rows = 0;
  std::vector<int32_t> counts;
};

// Rows of a few column patterns with random counts, some rows zero.
Matrix patterned(uint32_t rows, uint32_t columns, uint32_t seed) {
  std::mt19937 random(seed);
  Matrix m{columns, rows, std::vector<int32_t>(size_t(rows) * columns, 0)};
  for (uint32_t r = 0; r < rows; r++) {
    if (random() % 17 == 0) continue;
    uint32_t pattern = random() % 4;
    for (uint32_t k = 0; k < columns; k++)
      if ((k + pattern) % 3 == 0 || random() % 9 == 0) m.counts[size_t(r) * columns + k] = int32_t(random() % 60);
  }
  return m;
}

struct Outcome {
  std::vector<double> deltas;
  std::vector<int32_t> pairs;
  std::vector<uint32_t> order;
  bool operator==(const Outcome& o) const { return deltas == o.deltas && pairs == o.pairs && order == o.order; }
};

void recordPass(void* context, const PassReport& report, const ClusteringState&) {
  Outcome& outcome = *static_cast<Outcome*>(context);
  outcome.deltas.push_back(report.bestDelta);
  outcome.pairs.push_back(report.first);
  outcome.pairs.push_back(report.second);
}

// Clusters `m` with `engine` (null: the direct scans).
Outcome clusterWith(const Matrix& m, FastEngine* engine, unsigned threads = 2,
                    uint32_t settlePartMinimum = kSettlePartMinimum, KernelKind kind = KernelKind::automatic) {
  std::vector<int32_t> counts = m.counts;
  ClusteringState state;
  std::string error;
  Outcome outcome;
  EXPECT_TRUE(startClustering(state, counts.data(), m.columns, m.rows, &error)) << error;
  FastScanOptions options;
  options.threads = threads;
  options.settlePartMinimum = settlePartMinimum;
  options.kernel = kind;
  if (engine) {
    EXPECT_TRUE(startFastScans(*engine, state, options, &error)) << error;
  }
  EXPECT_TRUE(runPasses(state, engine ? fastScans(*engine) : kDirectScans, recordPass, &outcome, &error)) << error;
  EXPECT_TRUE(writeRowOrder(state, &error)) << error;
  outcome.order.assign(state.activeList, state.activeList + m.rows);
  return outcome;
}

TEST(MorvalenEngine, TwoClusteringsInOneProcessGiveWhatEachGivesAlone) {
  Matrix first = patterned(400, 64, 1), second = patterned(300, 256, 2);
  Outcome firstAlone = clusterWith(first, nullptr), secondAlone = clusterWith(second, nullptr);
  // One engine after the other, and one engine used again.
  FastEngine engine;
  EXPECT_EQ(clusterWith(first, &engine), firstAlone);
  EXPECT_EQ(clusterWith(second, &engine), secondAlone);
  EXPECT_EQ(clusterWith(first, &engine), firstAlone);
  // Two at the same time, on two threads, each with its own workers.
  for (int round = 0; round < 3; round++) {
    Outcome firstThere, secondThere;
    std::thread other([&] {
      FastEngine own;
      firstThere = clusterWith(first, &own);
    });
    FastEngine own;
    secondThere = clusterWith(second, &own, 3);
    other.join();
    EXPECT_EQ(firstThere, firstAlone) << "round " << round;
    EXPECT_EQ(secondThere, secondAlone) << "round " << round;
  }
}

struct Checked {
  const FastEngine* engine;
  uint32_t passes = 0;
};

// listedValue, which asks the entry placed last first, against a reading of
// the whole list: the value of the partner's current entry, if any.
void checkListedValues(const FastEngine& e, const ClusteringState& state) {
  for (uint32_t p = 0; p < state.liveCount; p++) {
    uint32_t owner = state.activeList[p];
    for (uint32_t q = 0; q < state.liveCount; q++) {
      uint32_t partner = state.activeList[q];
      bool listed = false;
      double expected = 0.0;
      for (uint32_t i = 0; i < e.lists.count[owner] && !listed; i++) {
        const Candidate& c = entryAt(e.lists, owner, i);
        listed = c.row == partner && c.stamp == e.lists.stamp[partner];
        expected = c.value;
      }
      double value = 0.0;
      ASSERT_EQ(listedValue(e, owner, partner, &value), listed) << owner << " lists " << partner;
      if (listed) {
        ASSERT_EQ(value, expected) << owner << " lists " << partner;
      }
    }
  }
}

// Every invariant, and the exact deltas of every cluster against its list
// and floors, at every 8th pass; then too, once the clusters are few, what
// listedValue reads from every list.
void checkPass(void* context, const PassReport&, const ClusteringState& state) {
  constexpr uint32_t kListedChecked = 150;
  Checked& checked = *static_cast<Checked*>(context);
  checkEngineInvariants(*checked.engine, state);
  if (checked.passes++ % 8 != 1) return;
  for (uint32_t p = 0; p < state.liveCount; p++) checkOneClusterExactly(*checked.engine, state, p);
  if (state.liveCount <= kListedChecked) checkListedValues(*checked.engine, state);
}

// Rows of `m` copied over others: row r takes the counts of row r % distinct.
Matrix withRepeats(Matrix m, uint32_t distinct) {
  for (uint32_t r = distinct; r < m.rows; r++)
    std::copy_n(m.counts.begin() + (r % distinct) * m.columns, m.columns, m.counts.begin() + r * m.columns);
  return m;
}

TEST(MorvalenEngine, InvariantsHoldOnEveryPass) {
  // Repeated rows exercise the content classes and the re-offer of the
  // partner a list placed last; parts of one delta, the merged cluster's
  // list built in parts; shares of one tile, every rescan's bounds in
  // shares.
  for (const Matrix& m : {patterned(260, 40, 3), withRepeats(patterned(300, 40, 6), 70)}) {
    for (TileUse tiles : {TileUse::always, TileUse::never}) {
      uint32_t settlePartMinimum = tiles == TileUse::always ? kSettlePartMinimum : 1;
      uint32_t shareTiles = tiles == TileUse::always ? kShareTiles : 1;
      ClusteringState state;
      FastEngine engine;
      std::string error;
      std::vector<int32_t> counts = m.counts;
      ASSERT_TRUE(startClustering(state, counts.data(), m.columns, m.rows, &error)) << error;
      FastScanOptions options;
      options.threads = 3;
      options.tiles = tiles;
      options.settlePartMinimum = settlePartMinimum;
      options.shareTiles = shareTiles;
      ASSERT_TRUE(startFastScans(engine, state, options, &error)) << error;
      Checked checked{&engine};
      ASSERT_TRUE(runPasses(state, fastScans(engine), checkPass, &checked, &error)) << error;
      EXPECT_EQ(checked.passes, state.nonzeroRows - 1);
    }
  }
}

// Copies of one row: a delta or a bound is evaluated once per content, not
// once per pair of copies (about 1.3 n^2 of each without the classes), and
// the outcome is the direct one. After the first refresh, every stale entry
// is answered from its list, although its best listed value ties its floor
// (the unlisted copies have that value too): no rescan after the first. A
// neighbour update takes no envelope bound for tiles whose deltas are all
// known (about 23 bounds per row here without that).
TEST(MorvalenEngine, IdenticalRowsAreEvaluatedOncePerContent) {
  const uint32_t rows = 400;
  Matrix m{64, rows, std::vector<int32_t>(size_t(rows) * 64, 0)};
  for (uint32_t k = 0; k < 64; k++) m.counts[k] = int32_t(k * 7 % 23);
  m = withRepeats(m, 1);
  for (unsigned threads : {1u, 2u, 7u}) {
    FastEngine engine;
    EXPECT_EQ(clusterWith(m, &engine, threads), clusterWith(m, nullptr)) << threads << " threads";
    EXPECT_LT(engine.counters.deltas, 10 * rows) << threads << " threads";
    EXPECT_LT(engine.counters.bounds, 15 * rows) << threads << " threads";
    EXPECT_EQ(engine.counters.rescans, rows - 1) << threads << " threads";
  }
}

// The merged cluster's list built in parts of a few deltas each, merged:
// the same outcome as built whole, on distinct rows, on rows repeated among
// them (ties across parts) and on copies of one row.
TEST(MorvalenEngine, MergedListsBuiltInPartsGiveTheDirectOutcome) {
  Matrix distinct = patterned(300, 48, 5);
  Matrix repeated = withRepeats(patterned(240, 48, 6), 40);
  Matrix copies{48, 200, std::vector<int32_t>(size_t(200) * 48, 0)};
  for (uint32_t k = 0; k < 48; k++) copies.counts[k] = int32_t(k * 5 % 17);
  copies = withRepeats(copies, 1);
  for (const Matrix* m : {&distinct, &repeated, &copies}) {
    Outcome direct = clusterWith(*m, nullptr);
    for (unsigned threads : {1u, 2u, 7u}) {
      for (uint32_t minimum : {1u, 8u}) {
        FastEngine engine;
        EXPECT_EQ(clusterWith(*m, &engine, threads, minimum), direct)
            << m->rows << " rows, " << threads << " threads, parts of " << minimum;
      }
    }
  }
  // Parts of more than a list's worth of deltas each turn values away
  // themselves; the whole list, checked above, is the reference.
  Matrix many = withRepeats(patterned(1500, 48, 7), 3);
  for (uint32_t k = 0; k < 48; k += 5) many.counts[size_t(1499) * 48 + k] += 3;
  FastEngine whole;
  Outcome reference = clusterWith(many, &whole, 2);
  for (unsigned threads : {1u, 2u, 7u}) {
    FastEngine engine;
    EXPECT_EQ(clusterWith(many, &engine, threads, 1), reference) << threads << " threads";
  }
}

bool operator==(const FastScanCounters& a, const FastScanCounters& b) {
  return a.bounds == b.bounds && a.skipped == b.skipped && a.deltas == b.deltas &&
         a.neighbourDeltas == b.neighbourDeltas && a.laneDeltas == b.laneDeltas && a.refreshes == b.refreshes &&
         a.fromLists == b.fromLists && a.rescans == b.rescans;
}

// The work is shared out by thread count (the ranges of a batch start at
// each thread's home positions), but what is computed is not: the outcome
// and every counter are those of one thread. Over 1,024 rows the last batch
// of a pass also selects in ranges before its first job. The bounds, and so
// the counters, differ by kernel, and the automatic choice is timed: every
// run takes the first run's kernel.
TEST(MorvalenEngine, OutcomeAndCountersDoNotDependOnTheThreadCount) {
  for (const Matrix& m : {patterned(1300, 24, 11), withRepeats(patterned(1100, 24, 12), 150)}) {
    FastEngine one;
    Outcome alone = clusterWith(m, &one, 1);
    for (unsigned threads : {2u, 3u, 7u}) {
      FastEngine engine;
      EXPECT_EQ(clusterWith(m, &engine, threads, kSettlePartMinimum, one.kernels.kind), alone) << threads << " threads";
      EXPECT_TRUE(engine.counters == one.counters) << threads << " threads";
    }
  }
}

// The second round's order: taken in full or in part, and sorted ahead at
// times, it must be exactly (bound, index) ascending, on bounds with ties, both infinities, negative
// values, a range too wide for one subtraction and a single value; reused
// across calls of different sizes.
TEST(MorvalenEngine, BoundOrderTakesTheCandidatesInAscendingOrder) {
  std::mt19937_64 random(7);
  BoundOrder order;
  auto check = [&](std::vector<BoundEntry> entries, size_t toTake, const std::string& what) {
    for (uint32_t i = 0; i < entries.size(); i++) entries[i].index = i * 3 + 1;
    std::shuffle(entries.begin(), entries.end(), random);
    std::vector<BoundEntry> expected = entries;
    std::sort(expected.begin(), expected.end(), [](const BoundEntry& x, const BoundEntry& y) {
      return x.bound < y.bound || (x.bound == y.bound && x.index < y.index);
    });
    order.start(entries.data(), entries.size());
    for (size_t n = 0; n < toTake; n++) {
      ASSERT_FALSE(order.empty()) << what << " at " << n;
      ASSERT_EQ(order.top().index, expected[n].index) << what << " at " << n;
      ASSERT_EQ(order.top().bound, expected[n].bound) << what << " at " << n;
      // Sorting ahead, at times, changes nothing of the order taken.
      if (n % 7 == 3) order.sortThrough(n + n % 13);
      size_t place = order.takePlace();
      ASSERT_EQ(place, n) << what;
      ASSERT_EQ(order.entries()[place].index, expected[n].index) << what << " at " << n;
    }
    // What was sorted ahead stays where it was taken.
    for (size_t n = 0; n < toTake; n++) ASSERT_EQ(order.entries()[n].index, expected[n].index) << what << " at " << n;
    EXPECT_EQ(order.empty(), toTake == expected.size()) << what;
    if (toTake < expected.size()) {
      EXPECT_EQ(order.top().index, expected[toTake].index) << what;
    }
  };
  const double inf = std::numeric_limits<double>::infinity();
  for (size_t size : {0, 1, 2, 5, 17, 100, 3000}) {
    std::vector<BoundEntry> spread(size), ties(size), wide(size), flat(size);
    for (size_t i = 0; i < size; i++) {
      spread[i].bound = std::uniform_real_distribution<double>(-50.0, 4000.0)(random);
      ties[i].bound = double(random() % 7) * 0.25 - 1.0;
      wide[i].bound = (random() % 2 ? 1.0 : -1.0) * 1e308 * double(random() % 100) / 100.0;
      flat[i].bound = 12.5;
    }
    if (size > 3) {
      spread[0].bound = inf, spread[1].bound = -inf, spread[2].bound = inf;
      wide[0].bound = std::numeric_limits<double>::max();
      wide[1].bound = -std::numeric_limits<double>::max();
      // bounds that sit in one bucket while the rest spread wide
      for (size_t i = 0; i < size / 2; i++) spread[size - 1 - i].bound = 700.0 + double(i) * 1e-12;
    }
    std::vector<BoundEntry> infinite(size, BoundEntry{inf, 0});
    for (const auto& [entries, name] : {std::pair{spread, "spread"}, {ties, "ties"}, {wide, "wide"},
                                        {flat, "flat"}, {infinite, "infinite"}}) {
      std::string what = std::string(name) + " of " + std::to_string(size);
      check(entries, entries.size(), what);
      check(entries, entries.size() / 3, what + ", a third taken");
    }
  }
}

TEST(MorvalenEngineDeathTest, BrokenInvariantsStopTheProgram) {
  Matrix m = patterned(60, 16, 4);
  ClusteringState state;
  FastEngine engine;
  std::string error;
  ASSERT_TRUE(startClustering(state, m.counts.data(), m.columns, m.rows, &error)) << error;
  ASSERT_TRUE(startFastScans(engine, state, FastScanOptions(), &error)) << error;
  checkEngineInvariants(engine, state);  // holds
  // A mirror that has lost track of a cluster's position.
  std::swap(engine.mirror.positionOf[state.activeList[3]], engine.mirror.positionOf[state.activeList[4]]);
  EXPECT_DEATH(checkEngineInvariants(engine, state), "engine invariant broken");
  std::swap(engine.mirror.positionOf[state.activeList[3]], engine.mirror.positionOf[state.activeList[4]]);
  // A cached partner that is not a later position.
  state.bestPartner[state.activeList[5]] = 2;
  EXPECT_DEATH(checkEngineInvariants(engine, state), "engine invariant broken");
}

TEST(MorvalenKernels, DispatchAgreesWithWhatRuns) {
  EXPECT_TRUE(kernelRuns(KernelKind::portable));
  EXPECT_TRUE(kernelRuns(KernelKind::automatic));
  EXPECT_NE(tileKernel(KernelKind::automatic), nullptr);
  for (KernelKind kind : kKernelKinds) {
    EXPECT_EQ(tileKernel(kind) != nullptr, kernelRuns(kind)) << kernelName(kind);
    EXPECT_NE(boundKernel(kind), nullptr) << kernelName(kind);
    if (!kernelRuns(kind)) {
      EXPECT_EQ(boundKernel(kind), boundKernel(KernelKind::portable)) << kernelName(kind);
    }
  }
  // The automatic choice is timed, and is always a kind that runs.
  Matrix m = patterned(200, 256, 5);
  ClusteringState state;
  FastEngine engine;
  std::string error;
  ASSERT_TRUE(startClustering(state, m.counts.data(), m.columns, m.rows, &error)) << error;
  ASSERT_TRUE(startFastScans(engine, state, FastScanOptions(), &error)) << error;
  EXPECT_NE(engine.kernels.kind, KernelKind::automatic);
  EXPECT_TRUE(kernelRuns(engine.kernels.kind)) << kernelName(engine.kernels.kind);
  // The tile kernel is the bound kernel's kind's until the tiles hold
  // counts, then the one timed fastest on them; a kind asked for is kept.
  EXPECT_EQ(engine.kernels.tile, tileKernel(engine.kernels.kind));
  EXPECT_TRUE(engine.kernels.timeTiles);
  FastScanOptions options;
  options.tiles = TileUse::always;
  ASSERT_TRUE(startFastScans(engine, state, options, &error)) << error;
  EXPECT_FALSE(engine.kernels.timeTiles);
  EXPECT_TRUE(kernelRuns(engine.kernels.tileKind)) << kernelName(engine.kernels.tileKind);
  EXPECT_NE(engine.kernels.tileKind, KernelKind::automatic);
  EXPECT_EQ(engine.kernels.tile, tileKernel(engine.kernels.tileKind));
  options.kernel = KernelKind::portable;
  ASSERT_TRUE(startFastScans(engine, state, options, &error)) << error;
  EXPECT_EQ(engine.kernels.tileKind, KernelKind::portable);
  EXPECT_EQ(engine.kernels.tile, tileKernel(KernelKind::portable));
}

}  // namespace
