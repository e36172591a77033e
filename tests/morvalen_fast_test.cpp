// The fast pass scans against the direct ones: the tile kernels against
// mergeDelta, bit for bit, and whole clusterings (every pass line and the
// final order) on random and adversarial matrices, with several thread
// counts and every kernel the processor runs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "bounds.h"
#include "clustering.h"
#include "cost_model.h"
#include "engine.h"

namespace {

struct Matrix {
  uint32_t columns = 0;
  uint32_t rows = 0;
  std::vector<int32_t> counts;
};

uint64_t bitsOf(double value) {
  uint64_t bits;
  memcpy(&bits, &value, sizeof bits);
  return bits;
}

// Rows like block histograms: a few nonzero columns each, counts up to
// `maxCount`, from a small set of column patterns so that rows resemble
// each other.
Matrix histogramLike(uint32_t rows, uint32_t columns, int32_t maxCount, uint32_t seed) {
  std::mt19937 random(seed);
  Matrix m{columns, rows, std::vector<int32_t>(size_t(rows) * columns, 0)};
  for (uint32_t r = 0; r < rows; r++) {
    uint32_t pattern = random() % 5;
    for (uint32_t k = 0; k < columns; k++) {
      if ((k * 7 + pattern * 3) % 5 == 0 || random() % 11 == 0)
        m.counts[size_t(r) * columns + k] = int32_t(random() % uint32_t(maxCount + 1));
    }
  }
  return m;
}

// Rows like block histograms of machine code: 2048 bytes a block over
// nearly every byte value, a few values far more frequent than the rest, so
// that rows are nearly equidistant. Some rows are many blocks summed, as
// clusters after merges are (the zero byte's count then passes the table
// of ln-factorials), and some repeat an earlier row.
Matrix rawCodeLike(uint32_t rows, uint32_t seed) {
  const uint32_t columns = 256;
  const uint32_t frequent[] = {0x00, 0x00, 0x00, 0xff, 0x48, 0x89, 0x8b, 0xe8};
  std::mt19937 random(seed);
  Matrix m{columns, rows, std::vector<int32_t>(size_t(rows) * columns, 0)};
  for (uint32_t r = 0; r < rows; r++) {
    int32_t* row = m.counts.data() + size_t(r) * columns;
    if (r > 4 && random() % 8 == 0) {
      std::copy_n(m.counts.data() + size_t(random() % r) * columns, columns, row);
      continue;
    }
    uint32_t blocks = random() % 6 == 0 ? 1 + random() % 64 : 1;
    for (uint32_t byte = 0; byte < blocks * 2048; byte++)
      row[random() % 2 == 0 ? frequent[random() % 8] : random() % columns]++;
  }
  return m;
}

std::vector<KernelKind> availableKernels() {
  std::vector<KernelKind> kinds;
  for (KernelKind kind : kKernelKinds)
    if (tileKernel(kind)) kinds.push_back(kind);
  return kinds;
}

// ---- tile kernels ------------------------------------------------------------

struct KernelFixture {
  const Matrix* matrix;
  std::vector<int32_t> totals;
  std::vector<float> costs;
};

// Tile t holds rows t * kLanes + lane; lanes past the last row stay empty.
void matrixTile(void* context, uint32_t tile, TileContents* contents) {
  const KernelFixture& f = *static_cast<const KernelFixture*>(context);
  for (uint32_t lane = 0; lane < kLanes; lane++) {
    uint32_t r = tile * kLanes + lane;
    bool present = r < f.matrix->rows;
    contents->rows[lane] = present ? f.matrix->counts.data() + size_t(r) * f.matrix->columns : nullptr;
    contents->totals[lane] = present ? f.totals[r] : 0;
    contents->costs[lane] = present ? f.costs[r] : 0.0f;
  }
}

// Every lane of every tile against mergeDelta, for every third row as `a`.
void expectKernelsMatch(const Matrix& m, const char* what) {
  uint32_t K = m.columns;
  LnFactorialTable table;
  fillLnFactorialTable(table, 1 << 15);
  KernelFixture fixture{&m, std::vector<int32_t>(m.rows), std::vector<float>(m.rows)};
  double constant = constantTerm(K);
  for (uint32_t r = 0; r < m.rows; r++) {
    const int32_t* row = m.counts.data() + size_t(r) * K;
    fixture.totals[r] = rowSum(row, K);
    fixture.costs[r] = rowCost(row, K, fixture.totals[r], constant);
    // The merged rows' costs from the table have the bits of rowCost.
    float fromTable = tableRowCost(table, row, K, fixture.totals[r], constant);
    ASSERT_EQ(bitsOf(double(fromTable)), bitsOf(double(fixture.costs[r]))) << what << ", cost of row " << r;
  }
  ClusterTiles tiles;
  std::string error;
  ASSERT_TRUE(allocateClusterTiles(tiles, K, m.rows, &error)) << error;
  ASSERT_TRUE(layOutTiles(tiles, table, tiles.tileCount, matrixTile, &fixture, &error)) << error;
  DeltaContext context = deltaContext(table, tiles, constant);
  std::vector<uint64_t> mask(tiles.maskWords);
  std::vector<double> terms(K);
  // Scattered partners, four at a time side by side, give the bits of
  // mergeDelta too; every count of partners (1 to 7) leaves a short group.
  // With the rows' ceilings the table's terms are looked up unchecked where
  // they allow, and without them (kNoCeiling) every term is checked.
  std::vector<uint64_t> partnerMasks(size_t(m.rows) * tiles.maskWords);
  std::vector<int32_t> ceilings(m.rows);
  for (uint32_t r = 0; r < m.rows; r++) {
    rowColumnMask(m.counts.data() + size_t(r) * K, K, partnerMasks.data() + size_t(r) * tiles.maskWords);
    ceilings[r] = countCeiling(m.counts.data() + size_t(r) * K, K);
  }
  for (uint32_t a = 0; a < 2 * m.rows; a += 2) {
    const bool withCeilings = a < m.rows;
    auto ceilingOf = [&](uint32_t r) { return withCeilings ? ceilings[r] : kNoCeiling; };
    const int32_t* rowA = m.counts.data() + size_t(a % m.rows) * K;
    fixedColumnTerms(table, rowA, K, terms.data());
    FixedCluster fixed{rowA, partnerMasks.data() + size_t(a % m.rows) * tiles.maskWords, terms.data(),
                       fixture.totals[a % m.rows], double(fixture.costs[a % m.rows]), ceilingOf(a % m.rows)};
    std::vector<PartnerCluster> partners;
    std::vector<uint32_t> rows;
    for (uint32_t b = (a * 7) % 5; b < m.rows; b += 1 + (a + b) % 5) {
      rows.push_back(b);
      partners.push_back(PartnerCluster{m.counts.data() + size_t(b) * K, partnerMasks.data() + size_t(b) * tiles.maskWords,
                                        fixture.totals[b], fixture.costs[b], ceilingOf(b)});
    }
    uint32_t count = std::min<uint32_t>(uint32_t(partners.size()), 1 + a % 7);
    std::vector<double> out(partners.size());
    for (uint32_t start = 0; start < partners.size(); start += count) {
      uint32_t n = std::min<uint32_t>(count, uint32_t(partners.size()) - start);
      partnerDeltas(context, fixed, partners.data() + start, n, out.data() + start);
    }
    for (size_t i = 0; i < partners.size(); i++) {
      uint32_t b = rows[i];
      double expected = mergeDelta(rowA, m.counts.data() + size_t(b) * K, K, fixture.totals[a % m.rows],
                                   fixture.totals[b], fixture.costs[a % m.rows], fixture.costs[b], constant);
      ASSERT_EQ(bitsOf(out[i]), bitsOf(expected))
          << what << ", partners " << a % m.rows << " and " << b << (withCeilings ? "" : ", no ceilings");
    }
  }
  for (KernelKind kind : availableKernels()) {
    TileKernel kernel = tileKernel(kind);
    for (uint32_t a = 0; a < m.rows; a += 3) {
      const int32_t* rowA = m.counts.data() + size_t(a) * K;
      rowColumnMask(rowA, K, mask.data());
      fixedColumnTerms(table, rowA, K, terms.data());
      FixedCluster fixed{rowA, mask.data(), terms.data(), fixture.totals[a], double(fixture.costs[a])};
      for (uint32_t tile = 0; tile < tiles.tileCount; tile++) {
        double out[kLanes];
        kernel(context, fixed, tile, out);
        for (uint32_t lane = 0; lane < kLanes && tile * kLanes + lane < m.rows; lane++) {
          uint32_t b = tile * kLanes + lane;
          double expected = mergeDelta(rowA, m.counts.data() + size_t(b) * K, K, fixture.totals[a],
                                       fixture.totals[b], fixture.costs[a], fixture.costs[b], constant);
          ASSERT_EQ(bitsOf(out[lane]), bitsOf(expected))
              << what << ", kernel " << kernelName(kind) << ", rows " << a << " and " << b << ": " << out[lane]
              << " != " << expected;
        }
      }
    }
  }
}

TEST(MorvalenFastKernels, MatchMergeDeltaOnHistogramLikeRows) {
  expectKernelsMatch(histogramLike(70, 256, 300, 1), "histogram-like");
}

TEST(MorvalenFastKernels, MatchMergeDeltaBeyondTheTableAndWhenTotalsWrap) {
  // Counts around the table's end (2^15) and near 2^31, so that column sums
  // and totals wrap; negative counts and sums below 1.
  std::mt19937 random(7);
  const int32_t values[] = {0, 1, -1, 2, 32766, 32767, 32768, 40000, 1 << 30, 0x7FFFFFFF, -0x7FFFFFFF, -5, 3};
  Matrix m{256, 40, std::vector<int32_t>(40 * 256)};
  for (int32_t& c : m.counts) c = random() % 3 == 0 ? values[random() % 13] : 0;
  expectKernelsMatch(m, "large, negative and wrapping counts");
}

// Pairs whose summed count reaches the table's last entry (16383 + 16384)
// are looked up unchecked; pairs one past it (16384 + 16384) take the
// checked path. Rows with a count in most columns are summed over every
// column, the others over their masks.
TEST(MorvalenFastKernels, MatchMergeDeltaAtTheTablesEndWithCeilings) {
  constexpr uint32_t kRows = 40, kColumns = 256;
  static_assert(2 * 16384 == kLnTableSize, "the rows straddle the table's end");
  Matrix m{kColumns, kRows, std::vector<int32_t>(kRows * kColumns)};
  for (uint32_t r = 0; r < kRows; r++) {
    int32_t* row = m.counts.data() + size_t(r) * kColumns;
    row[0] = 16383 + int32_t(r / 2 % 2);
    for (uint32_t k = 1; k < kColumns; k++)
      if (r % 3 == 0 || k % 16 == r % 16) row[k] = int32_t(1 + (r * k) % 5);
  }
  expectKernelsMatch(m, "counts at the table's end");
}

TEST(MorvalenFastKernels, CeilingsHoldEveryCountOrAreUnknown) {
  const int32_t empty[3] = {0, 0, 0};
  const int32_t plain[3] = {4, 0, 9};
  const int32_t negative[3] = {4, -1, 9};
  const int32_t huge[2] = {0x7FFFFFFF, 0x7FFFFFFF};
  EXPECT_EQ(countCeiling(empty, 3), 0);
  EXPECT_EQ(countCeiling(plain, 3), 9);
  EXPECT_EQ(countCeiling(negative, 3), kNoCeiling);
  // A huge ceiling is kept; the kernels compare it with the table's size.
  EXPECT_EQ(countCeiling(huge, 2), 0x7FFFFFFF);
}

TEST(MorvalenFastKernels, MatchMergeDeltaOnRawCodeLikeRows) {
  expectKernelsMatch(rawCodeLike(70, 3), "raw-code-like");
}

// Lanes rewritten in place (storeLane) leave columns stored that no lane
// uses any more, and emptied lanes; every kernel's lane still has the bits
// of partnerDeltas for the same pair, which read the rows themselves.
TEST(MorvalenFastKernels, LanesRewrittenInPlaceMatchPartnerDeltas) {
  Matrix m = rawCodeLike(48, 5);
  const uint32_t K = m.columns;
  LnFactorialTable table;
  fillLnFactorialTable(table, 1 << 15);
  double constant = constantTerm(K);
  KernelFixture fixture{&m, std::vector<int32_t>(m.rows), std::vector<float>(m.rows)};
  auto describe = [&](uint32_t r) {
    const int32_t* row = m.counts.data() + size_t(r) * K;
    fixture.totals[r] = rowSum(row, K);
    fixture.costs[r] = rowCost(row, K, fixture.totals[r], constant);
  };
  for (uint32_t r = 0; r < m.rows; r++) describe(r);
  ClusterTiles tiles;
  std::string error;
  ASSERT_TRUE(allocateClusterTiles(tiles, K, m.rows, &error)) << error;
  ASSERT_TRUE(layOutTiles(tiles, table, tiles.tileCount, matrixTile, &fixture, &error)) << error;
  // Every third row keeps only its columns below 100; every seventh slot
  // is emptied.
  std::vector<bool> empty(m.rows, false);
  for (uint32_t r = 0; r < m.rows; r++) {
    int32_t* row = m.counts.data() + size_t(r) * K;
    if (r % 7 == 3) {
      empty[r] = true;
      ASSERT_TRUE(storeLane(tiles, table, r, nullptr, 0, 0.0f));
    } else if (r % 3 == 1) {
      std::fill(row + 100, row + K, 0);
      describe(r);
      ASSERT_TRUE(storeLane(tiles, table, r, row, fixture.totals[r], fixture.costs[r]));
    }
  }
  DeltaContext context = deltaContext(table, tiles, constant);
  std::vector<uint64_t> masks(size_t(m.rows) * tiles.maskWords);
  for (uint32_t r = 0; r < m.rows; r++)
    rowColumnMask(m.counts.data() + size_t(r) * K, K, masks.data() + size_t(r) * tiles.maskWords);
  std::vector<double> terms(K);
  for (uint32_t a = 0; a < m.rows; a += 5) {
    const int32_t* rowA = m.counts.data() + size_t(a) * K;
    fixedColumnTerms(table, rowA, K, terms.data());
    FixedCluster fixed{rowA, masks.data() + size_t(a) * tiles.maskWords, terms.data(), fixture.totals[a],
                       double(fixture.costs[a])};
    for (uint32_t tile = 0; tile < tiles.tileCount; tile++) {
      std::vector<PartnerCluster> partners;
      std::vector<uint32_t> lanes;
      for (uint32_t lane = 0; lane < kLanes; lane++) {
        uint32_t b = tile * kLanes + lane;
        if (b >= m.rows || empty[b]) continue;
        partners.push_back(PartnerCluster{m.counts.data() + size_t(b) * K, masks.data() + size_t(b) * tiles.maskWords,
                                          fixture.totals[b], fixture.costs[b], kNoCeiling});
        lanes.push_back(lane);
      }
      std::vector<double> expected(partners.size());
      partnerDeltas(context, fixed, partners.data(), uint32_t(partners.size()), expected.data());
      for (KernelKind kind : availableKernels()) {
        double out[kLanes];
        tileKernel(kind)(context, fixed, tile, out);
        for (size_t i = 0; i < lanes.size(); i++)
          ASSERT_EQ(bitsOf(out[lanes[i]]), bitsOf(expected[i]))
              << "kernel " << kernelName(kind) << ", rows " << a << " and " << tile * kLanes + lanes[i];
      }
    }
  }
}

TEST(MorvalenFastKernels, MatchMergeDeltaForOddColumnCounts) {
  for (uint32_t K : {1u, 3u, 17u, 64u, 65u, 300u}) {
    Matrix m = histogramLike(35, K, 50, K);
    // A zero row and identical rows among them.
    std::fill(m.counts.begin() + 2 * K, m.counts.begin() + 3 * K, 0);
    std::copy(m.counts.begin(), m.counts.begin() + K, m.counts.begin() + 5 * K);
    expectKernelsMatch(m, ("K = " + std::to_string(K)).c_str());
  }
}

// ---- whole clusterings ---------------------------------------------------------

struct Run {
  std::vector<std::string> lines;
  std::vector<uint32_t> order;
  FastScanCounters counters;
};

void recordPass(void* context, const PassReport& report, const ClusteringState&) {
  char line[128];
  snprintf(line, sizeof line, "  EM = %14f, Ei = %3i, Ej = %3i   YS=%i", report.bestDelta, report.first,
           report.second, int(report.liveCount));
  // The exact bits too: the printed line rounds EM.
  static_cast<Run*>(context)->lines.push_back(std::string(line) + " " + std::to_string(bitsOf(report.bestDelta)));
}

Run cluster(const Matrix& m, bool fast, unsigned threads, KernelKind kind = KernelKind::automatic,
            TileUse tiles = TileUse::automatic, uint32_t shareTiles = kShareTiles,
            size_t helpMinimum = kHelpMinimum, uint32_t jobsTogether = kJobsTogether) {
  std::vector<int32_t> counts = m.counts;
  ClusteringState state;
  FastEngine engine;
  std::string error;
  Run run;
  EXPECT_TRUE(startClustering(state, counts.data(), m.columns, m.rows, &error)) << error;
  if (fast) {
    FastScanOptions options;
    options.threads = threads;
    options.kernel = kind;
    options.tiles = tiles;
    options.shareTiles = shareTiles;
    options.helpMinimum = helpMinimum;
    options.jobsTogether = jobsTogether;
    EXPECT_TRUE(startFastScans(engine, state, options, &error)) << error;
  }
  EXPECT_TRUE(runPasses(state, fast ? fastScans(engine) : kDirectScans, recordPass, &run, &error)) << error;
  EXPECT_TRUE(writeRowOrder(state, &error)) << error;
  run.order.assign(state.activeList, state.activeList + m.rows);
  run.counters = engine.counters;
  return run;
}

void expectSameAsDirect(const Matrix& m, const std::string& what) {
  Run direct = cluster(m, false, 1);
  for (unsigned threads : {1u, 2u, 7u}) {
    Run fast = cluster(m, true, threads);
    ASSERT_EQ(fast.lines.size(), direct.lines.size()) << what << ", " << threads << " threads";
    for (size_t i = 0; i < direct.lines.size(); i++)
      ASSERT_EQ(fast.lines[i], direct.lines[i]) << what << ", " << threads << " threads, pass " << i;
    ASSERT_EQ(fast.order, direct.order) << what << ", " << threads << " threads";
  }
  // Every tile kernel, on tiles kept throughout; and no tiles at all.
  for (KernelKind kind : availableKernels()) {
    Run fast = cluster(m, true, 2, kind, TileUse::always);
    ASSERT_EQ(fast.lines, direct.lines) << what << ", kernel " << kernelName(kind);
    ASSERT_EQ(fast.order, direct.order) << what << ", kernel " << kernelName(kind);
  }
  Run untiled = cluster(m, true, 2, KernelKind::automatic, TileUse::never);
  ASSERT_EQ(untiled.lines, direct.lines) << what << ", no tiles";
  ASSERT_EQ(untiled.order, direct.order) << what << ", no tiles";
}

TEST(MorvalenFastClustering, SameAsDirectOnHistogramLikeMatrices) {
  expectSameAsDirect(histogramLike(300, 256, 40, 11), "300 histogram-like rows");
  expectSameAsDirect(histogramLike(150, 256, 3000, 12), "counts beyond the table");
}

TEST(MorvalenFastClustering, SameAsDirectWithTiesEverywhere) {
  // Identical rows: every delta of a pass ties.
  Matrix same{2, 40, {}};
  for (uint32_t r = 0; r < 40; r++) same.counts.insert(same.counts.end(), {5, 5});
  expectSameAsDirect(same, "40 rows of (5, 5)");
  // A few distinct rows, each repeated many times, in a shuffled order.
  Matrix few = histogramLike(4, 256, 30, 3);
  Matrix repeated{256, 200, {}};
  std::mt19937 random(5);
  for (uint32_t r = 0; r < 200; r++) {
    uint32_t from = random() % 4;
    repeated.counts.insert(repeated.counts.end(), few.counts.begin() + from * 256,
                           few.counts.begin() + (from + 1) * 256);
  }
  expectSameAsDirect(repeated, "4 distinct rows repeated");
}

TEST(MorvalenFastClustering, SameAsDirectWithNegativeHugeAndWrappingCounts) {
  std::mt19937 random(9);
  const int32_t values[] = {0, 1, -1, 2, 7, 32767, 32768, 1 << 30, 0x7FFFFFFF, -0x7FFFFFFF, -3, 100000};
  Matrix m{16, 120, std::vector<int32_t>(16 * 120)};
  for (int32_t& c : m.counts) c = random() % 2 == 0 ? values[random() % 12] : 0;
  expectSameAsDirect(m, "negative, huge and wrapping counts");
  // K = 1 with totals that cancel: the delta's argument is 0 for such pairs.
  Matrix cancelling{1, 40, {}};
  for (uint32_t r = 0; r < 40; r++) cancelling.counts.push_back(int32_t(r % 4 < 2 ? 3 + r % 3 : -3 - r % 3));
  expectSameAsDirect(cancelling, "K = 1, totals that cancel");
  Matrix cancellingWide{3, 40, {}};
  for (uint32_t r = 0; r < 40; r++) {
    int32_t sign = r % 2 == 0 ? 1 : -1;
    cancellingWide.counts.insert(cancellingWide.counts.end(), {sign * int32_t(1 + r % 5), 0, sign * int32_t(r % 3)});
  }
  expectSameAsDirect(cancellingWide, "K = 3, totals that cancel");
}

TEST(MorvalenFastClustering, SameAsDirectForOddShapes) {
  expectSameAsDirect(histogramLike(90, 1, 9, 21), "K = 1");
  expectSameAsDirect(histogramLike(90, 3, 9, 22), "K = 3");
  expectSameAsDirect(histogramLike(70, 300, 20, 23), "K = 300");
  Matrix zeros = histogramLike(80, 256, 20, 24);
  for (uint32_t r = 0; r < 80; r += 3) std::fill_n(zeros.counts.begin() + r * 256, 256, 0);
  expectSameAsDirect(zeros, "every third row zero");
  for (uint32_t rows : {0u, 1u, 2u, 3u, 17u}) expectSameAsDirect(histogramLike(rows, 8, 9, rows), "tiny");
  Matrix allZero{4, 9, std::vector<int32_t>(36, 0)};
  expectSameAsDirect(allZero, "all rows zero");
}

// More rows than the bits of a list filter: rows r and r + 1024 share a bit,
// so a set bit may stand for a row the list does not hold, and the list
// itself must be read.
// Nearly equidistant rows: the bounds rule out few pairs, so rescans take
// most later clusters in their second round, and the lists rarely answer.
TEST(MorvalenFastClustering, SameAsDirectOnRawCodeLikeRows) {
  expectSameAsDirect(rawCodeLike(160, 9), "raw-code-like rows");
}

TEST(MorvalenFastClustering, SameAsDirectWhenListFiltersCollide) {
  expectSameAsDirect(histogramLike(1300, 8, 25, 31), "1300 rows");
}

// Families of near copies (a base row with a few counts raised by one), as
// blocks of one file often are: lists fill up and push entries out, and
// rescans find many deltas below their limit, which they take in order of
// bound.
TEST(MorvalenFastClustering, SameAsDirectOnFamiliesOfNearCopies) {
  const uint32_t columns = 64, families = 40, rows = 700;
  Matrix base = histogramLike(families, columns, 60, 41);
  Matrix m{columns, rows, {}};
  std::mt19937 random(43);
  for (uint32_t r = 0; r < rows; r++) {
    uint32_t from = random() % families;
    std::vector<int32_t> row(base.counts.begin() + from * columns, base.counts.begin() + (from + 1) * columns);
    for (int n = 0; n < 3; n++) row[random() % columns] += 1;
    m.counts.insert(m.counts.end(), row.begin(), row.end());
  }
  expectSameAsDirect(m, "families of near copies");
}

// Rows of one count each, in few columns of their own group: two rows of
// different columns share none, so the bound misses such a pair's delta
// by little more than its margin, and many deltas tie exactly. Rescans must
// take every delta whose bound reaches their limit, ties included.
TEST(MorvalenFastClustering, SameAsDirectWhenBoundsAreTightAndDeltasTie) {
  const uint32_t columns = 16, rows = 300;
  Matrix m{columns, rows, std::vector<int32_t>(columns * rows, 0)};
  std::mt19937 random(47);
  const int32_t counts[] = {3, 5, 8};
  for (uint32_t r = 0; r < rows; r++) m.counts[r * columns + random() % columns] = counts[random() % 3];
  expectSameAsDirect(m, "single-count rows");
}

// Rows of equal counts share their deltas and bounds (one evaluation per
// content class), while every member is still compared on its own: many
// copies of one row, with and without tiles; and a few blocks repeated among
// distinct rows and zero rows, some more often than a large class needs.
TEST(MorvalenFastClustering, SameAsDirectWithRepeatedContents) {
  Matrix one = histogramLike(1, 256, 40, 51);
  Matrix identical{256, 240, {}};
  for (uint32_t r = 0; r < identical.rows; r++)
    identical.counts.insert(identical.counts.end(), one.counts.begin(), one.counts.end());
  expectSameAsDirect(identical, "240 identical rows");
  Matrix mixed = histogramLike(300, 256, 40, 52);
  Matrix blocks = histogramLike(4, 256, 40, 53);
  std::mt19937 random(54);
  const uint32_t copies[] = {40, 17, 5, 2};
  for (uint32_t b = 0; b < 4; b++)
    for (uint32_t n = 0; n < copies[b]; n++)
      std::copy_n(blocks.counts.begin() + b * 256, 256, mixed.counts.begin() + (random() % mixed.rows) * 256);
  for (uint32_t n = 0; n < 12; n++) std::fill_n(mixed.counts.begin() + (random() % mixed.rows) * 256, 256, 0);
  expectSameAsDirect(mixed, "repeated blocks among distinct rows");
}

// Clusters that become equal only through merges: per family, two copies
// of x (which merge into 2x), a row of 2x, and pairs x + d, x - d with
// different d, which merge in different passes into 2x as well.
TEST(MorvalenFastClustering, SameAsDirectWhenMergesMakeContentsEqual) {
  const uint32_t columns = 32, families = 12, pairs = 6;
  std::mt19937 random(61);
  std::vector<std::vector<int32_t>> rows;
  for (uint32_t f = 0; f < families; f++) {
    std::vector<int32_t> x(columns), twice(columns);
    for (uint32_t k = 0; k < columns; k++) x[k] = int32_t(random() % 50) + 10 * int32_t(f % 3);
    for (uint32_t k = 0; k < columns; k++) twice[k] = 2 * x[k];
    rows.insert(rows.end(), {x, x, twice});
    for (uint32_t p = 0; p < pairs; p++) {
      std::vector<int32_t> plus = x, minus = x;
      for (uint32_t k = 0; k < columns; k++) {
        int32_t d = int32_t(random() % 7) - 3;
        plus[k] += d;
        minus[k] -= d;
      }
      rows.insert(rows.end(), {plus, minus});
    }
  }
  std::shuffle(rows.begin(), rows.end(), random);
  Matrix m{columns, uint32_t(rows.size()), {}};
  for (const std::vector<int32_t>& row : rows) m.counts.insert(m.counts.end(), row.begin(), row.end());
  expectSameAsDirect(m, "contents made equal by merges");
}

// Rows that absorb one another in a long chain: positions move every pass.
TEST(MorvalenFastClustering, SameAsDirectWhenOneClusterGrows) {
  Matrix m{8, 400, std::vector<int32_t>(8 * 400, 0)};
  for (uint32_t r = 0; r < 400; r++) {
    m.counts[r * 8 + r % 8] = int32_t(1 + r % 13);
    m.counts[r * 8 + (r * 5) % 8] += int32_t(r % 3);
  }
  expectSameAsDirect(m, "chain");
}

}  // namespace

// Blocks of a few kinds of content mixed, as a binary's code and data are:
// each row 2048 bytes drawn from a mix of two of six byte profiles spread
// over all 256 values. Rows of like mixes are near one another, but the
// bounds, blurred by the groups of columns, are loose.
// What the fast scans did on `m`, with 2 threads and the given kernel.
FastScanCounters fastCounters(const Matrix& m, KernelKind kernel) {
  std::vector<int32_t> counts = m.counts;
  ClusteringState state;
  FastEngine engine;
  std::string error;
  FastScanOptions options;
  options.threads = 2;
  options.kernel = kernel;
  ::Run run;
  if (!startClustering(state, counts.data(), m.columns, m.rows, &error) ||
      !startFastScans(engine, state, options, &error) || !runPasses(state, fastScans(engine), recordPass, &run, &error))
    ADD_FAILURE() << error;
  return engine.counters;
}

// Column weights of byte profiles: uniform draws to the given power, so
// that a few columns of each profile carry most of its weight.
std::vector<std::vector<double>> randomProfiles(uint32_t profiles, uint32_t columns, double power,
                                                std::mt19937& random) {
  std::vector<std::vector<double>> weight(profiles, std::vector<double>(columns));
  for (std::vector<double>& profile : weight)
    for (double& w : profile) w = std::pow(double(random() % 1000 + 1) / 1000.0, power);
  return weight;
}

// Adds to `row` the byte counts of a block of 2048 bytes drawn from the mix
// of two profiles of column weights; `cumulative` is scratch.
void sampleBlock(const std::vector<double>& a, const std::vector<double>& b, double mix, std::mt19937& random,
                 std::vector<double>& cumulative, int32_t* row) {
  uint32_t columns = uint32_t(a.size());
  double sum = 0;
  for (uint32_t k = 0; k < columns; k++) cumulative[k] = sum += mix * a[k] + (1 - mix) * b[k];
  for (uint32_t byte = 0; byte < 2048; byte++) {
    double u = double(random()) / 4294967296.0 * sum;
    uint32_t k = uint32_t(std::lower_bound(cumulative.begin(), cumulative.end(), u) - cumulative.begin());
    row[std::min(k, columns - 1)]++;
  }
}

Matrix mixedProfiles(uint32_t rows, uint32_t seed) {
  const uint32_t columns = 256, profiles = 6;
  std::mt19937 random(seed);
  std::vector<std::vector<double>> weight = randomProfiles(profiles, columns, 4.0, random);
  Matrix m{columns, rows, std::vector<int32_t>(size_t(rows) * columns, 0)};
  std::vector<double> cumulative(columns);
  for (uint32_t r = 0; r < rows; r++) {
    uint32_t a = random() % profiles, b = random() % profiles;
    double mix = double(random() % 1000) / 1000.0;
    sampleBlock(weight[a], weight[b], mix, random, cumulative, &m.counts[size_t(r) * columns]);
  }
  return m;
}

// Where bounds are loose, a rescan goes on past the deltas its answer needs
// to those of the nearest values within reach, so that the list holds the
// nearest later clusters and the floor lies above them: the entry's next
// refreshes are answered from the list. The outcome stays the direct one.
// (Without the reach, 954 of the refreshes after the first needed a
// rescan.)
TEST(MorvalenFastClustering, RescansRefillTheirListsWithTheNearestClusters) {
  expectSameAsDirect(mixedProfiles(300, 7), "mixed profiles");
  Matrix m = mixedProfiles(400, 5);
  // The counters depend on the kernel's bounds.
  FastScanCounters counters = fastCounters(m, KernelKind::portable);
  uint64_t firstRefresh = m.rows - 1;  // every entry but the last is rescanned
  EXPECT_LT(counters.rescans - firstRefresh, 700u);
}

// Blocks of a file come in sections of like content: rows in runs of 40
// drawn from one mix of byte profiles each, the profiles far apart, and
// every seventh row a copy of the one before (clusters of shared content).
Matrix sectionedProfiles(uint32_t rows, uint32_t seed) {
  const uint32_t columns = 256, profiles = 8, section = 40;
  std::mt19937 random(seed);
  std::vector<std::vector<double>> weight = randomProfiles(profiles, columns, 8.0, random);
  Matrix m{columns, rows, std::vector<int32_t>(size_t(rows) * columns, 0)};
  std::vector<double> cumulative(columns);
  uint32_t a = 0, b = 0;
  for (uint32_t r = 0; r < rows; r++) {
    int32_t* row = &m.counts[size_t(r) * columns];
    if (r % 7 == 3) {
      std::copy(row - columns, row, row);
      continue;
    }
    if (r % section == 0) a = random() % profiles, b = random() % profiles;
    double mix = 0.8 + double(random() % 200) / 1000.0;
    sampleBlock(weight[a], weight[b], mix, random, cumulative, row);
  }
  return m;
}

// Where consecutive blocks are alike, the first refresh rules out whole
// tiles by their envelopes, past the deltas of the nearest tiles; the
// outcome stays the direct one, and so do the floors the next refreshes
// read (checked on every pass in debug builds).
TEST(MorvalenFastClustering, FirstRefreshRulesOutTilesByTheirEnvelopes) {
  Matrix m = sectionedProfiles(480, 3);
  expectSameAsDirect(m, "sectioned profiles");
  // Many of the n^2 / 2 pairs of the first refresh lie in tiles of other
  // sections (16,976 on this matrix).
  EXPECT_GT(fastCounters(m, KernelKind::automatic).ruledOut, uint64_t(m.rows) * m.rows / 20);
}

// The same deltas computed, clusters skipped, and refreshes rescanned and
// answered from the lists.
void expectSameDeltasAndRefreshes(const ::Run& run, const ::Run& reference, const std::string& what) {
  EXPECT_EQ(run.counters.deltas, reference.counters.deltas) << what;
  EXPECT_EQ(run.counters.skipped, reference.counters.skipped) << what;
  EXPECT_EQ(run.counters.rescans, reference.counters.rescans) << what;
  EXPECT_EQ(run.counters.fromLists, reference.counters.fromLists) << what;
}

// A matrix of a test's cases, with the words its failures name it by.
struct NamedMatrix {
  Matrix m;
  const char* what;
};

// What a failure on a case run in shares of `shareTiles` tiles names.
std::string shareCase(const char* what, uint32_t shareTiles, unsigned threads) {
  return std::string(what) + ", shares of " + std::to_string(shareTiles) + " tiles, " + std::to_string(threads) +
         " threads";
}

// mixedProfiles(rows, seed) with `copies` rows, taken at random, replaced
// by copies of `distinct` other blocks, in turn.
Matrix withRepeatedBlocks(uint32_t rows, uint32_t seed, uint32_t distinct, uint32_t copies) {
  Matrix repeated = mixedProfiles(rows, seed);
  Matrix blocks = mixedProfiles(distinct, seed + 1);
  std::mt19937 random(seed + 2);
  for (uint32_t n = 0; n < copies; n++)
    std::copy_n(blocks.counts.begin() + (n % distinct) * 256, 256,
                repeated.counts.begin() + (random() % repeated.rows) * 256);
  return repeated;
}

// Blocks from a profile over `used` columns starting at `first`, weights
// 1 / (1 + rank / flatness): the larger `flatness`, the more evenly a block
// fills its columns; two such profiles on shifted columns, mixed.
Matrix profileRows(uint32_t rows, uint32_t first, uint32_t used, double flatness, double heavy, uint32_t seed) {
  const uint32_t columns = 256;
  std::mt19937 random(seed);
  std::vector<std::vector<double>> weight(2, std::vector<double>(columns, 0.0));
  for (uint32_t p = 0; p < 2; p++) {
    for (uint32_t rank = 0; rank < used; rank++) weight[p][(first + 3 * p + rank * 5) % columns] = 1.0 / (1.0 + rank / flatness);
    weight[p][(first + 3 * p) % columns] += heavy;
  }
  Matrix m{columns, rows, std::vector<int32_t>(size_t(rows) * columns, 0)};
  std::vector<double> cumulative(columns);
  for (uint32_t r = 0; r < rows; r++)
    sampleBlock(weight[0], weight[1], double(random() % 1000) / 1000.0, random, cumulative, &m.counts[size_t(r) * columns]);
  return m;
}

// Each group count the bound may take: rows over most columns (machine
// code), rows that fill a few dozen columns evenly (text), and rows with
// most of their counts in one column (blocks through a BWT). The count and
// the partition decide only which deltas are computed.
TEST(MorvalenFastClustering, SameAsDirectWithEveryGroupCount) {
  const NamedMatrix cases[] = {{rawCodeLike(160, 31), "raw-code-like rows"},
                               {profileRows(160, 32, 48, 4.0, 0.0, 32), "text-like rows"},
                               {profileRows(160, 1, 24, 1.0, 60.0, 33), "rows through a BWT"}};
  const uint32_t groups[] = {kBoundGroups, kBoundGroups / 2, kBoundGroups / 8 * 3};
  for (uint32_t c = 0; c < 3; c++) {
    const Matrix& m = cases[c].m;
    ASSERT_EQ(boundGroupCount(m.counts.data(), m.columns, m.rows), groups[c]) << cases[c].what;
    expectSameAsDirect(m, cases[c].what);
  }
}

// A long rescan's bounds come in shares of its later tiles, computed side by
// side; here shares of 1 and 3 tiles make every rescan past the first
// refresh take that path. The outcome stays the direct one, and the shares
// find what one look finds: the same deltas are computed (the same
// selection, the same floors), the same refreshes come from the lists, and
// only the count of bounds may grow (a content class's bound is then taken
// once per share).
TEST(MorvalenFastClustering, RescansWhoseBoundsComeInSharesFindWhatOneLookFinds) {
  const NamedMatrix cases[] = {{rawCodeLike(300, 21), "raw-code-like rows"},
                               {mixedProfiles(330, 8), "mixed profiles"},
                               {withRepeatedBlocks(330, 9, 3, 60), "mixed profiles with repeated blocks"},
                               {sectionedProfiles(300, 4), "sectioned profiles"}};
  for (const auto& c : cases) {
    ::Run direct = cluster(c.m, false, 1);
    // The counters depend on the kernel's bounds: one kernel throughout.
    ::Run whole = cluster(c.m, true, 2, KernelKind::portable);
    ASSERT_EQ(whole.counters.sharedRescans, 0u) << c.what;
    for (uint32_t shareTiles : {1u, 3u}) {
      for (unsigned threads : {1u, 2u, 7u}) {
        ::Run shared = cluster(c.m, true, threads, KernelKind::portable, TileUse::automatic, shareTiles);
        std::string what = shareCase(c.what, shareTiles, threads);
        ASSERT_EQ(shared.lines, direct.lines) << what;
        ASSERT_EQ(shared.order, direct.order) << what;
        EXPECT_GT(shared.counters.sharedRescans, 0u) << what;
        expectSameDeltasAndRefreshes(shared, whole, what);
        EXPECT_GE(shared.counters.bounds, whole.counters.bounds) << what;
      }
    }
  }
}

// The first refresh's jobs in groups, the kernel's bounds computed for the
// whole group tile by tile before each job goes on: each job reads the
// bounds it would have computed itself, so the outcome and every counter
// are those of jobs run one at a time, with the plain kernel and with the
// vector one. Sectioned rows have the cut choose and rule out tiles, and
// repeat every seventh block (shared classes, which the group then leaves
// to each job); a few repeated blocks are bounded with the group; no case
// has a multiple of kJobsTogether rows, so the last group is short.
TEST(MorvalenFastClustering, FirstRefreshJobsInGroupsTakeWhatSingleJobsTake) {
  const NamedMatrix cases[] = {{sectionedProfiles(483, 3), "sectioned profiles"},
                               {withRepeatedBlocks(301, 13, 4, 20), "mixed profiles with a few repeated blocks"},
                               {rawCodeLike(302, 23), "raw-code-like rows"}};
  std::vector<KernelKind> kinds = {KernelKind::portable};
  for (KernelKind kind : {KernelKind::avx512, KernelKind::avx2, KernelKind::neon})
    if (kernelRuns(kind)) {
      kinds.push_back(kind);
      break;
    }
  for (const auto& c : cases) {
    ::Run direct = cluster(c.m, false, 1);
    for (KernelKind kind : kinds) {
      ::Run single = cluster(c.m, true, 1, kind, TileUse::automatic, kShareTiles, kHelpMinimum, 1);
      for (unsigned threads : {1u, 2u, 7u}) {
        ::Run grouped = cluster(c.m, true, threads, kind, TileUse::automatic, kShareTiles, kHelpMinimum, kJobsTogether);
        std::string what = std::string(c.what) + ", " + kernelName(kind) + " kernel, " + std::to_string(threads) +
                           " threads";
        ASSERT_EQ(grouped.lines, direct.lines) << what;
        ASSERT_EQ(grouped.order, direct.order) << what;
        expectSameDeltasAndRefreshes(grouped, single, what);
        EXPECT_EQ(grouped.counters.bounds, single.counters.bounds) << what;
        EXPECT_EQ(grouped.counters.ruledOut, single.counters.ruledOut) << what;
      }
    }
  }
  EXPECT_GT(cluster(cases[0].m, true, 1, KernelKind::portable).counters.ruledOut, 0u);
}

// Every second round offered to idle threads (a minimum of one candidate):
// the candidates taken, and so the outcome and every counter, are those of
// one thread, whichever thread computed each value; with shares of one tile
// too, where the offers come from rescans that continue shared bounds.
TEST(MorvalenFastClustering, SecondRoundsWithHelpTakeWhatOneThreadTakes) {
  // Copies of a few blocks: content classes among the candidates.
  const NamedMatrix cases[] = {{rawCodeLike(300, 23), "raw-code-like rows"},
                               {mixedProfiles(330, 12), "mixed profiles"},
                               {withRepeatedBlocks(300, 13, 4, 80), "mixed profiles with repeated blocks"}};
  for (const auto& c : cases) {
    ::Run direct = cluster(c.m, false, 1);
    for (uint32_t shareTiles : {kShareTiles, 1u}) {
      ::Run alone = cluster(c.m, true, 1, KernelKind::portable, TileUse::automatic, shareTiles, 1);
      EXPECT_EQ(alone.counters.helpedRounds, 0u) << c.what;
      for (unsigned threads : {2u, 7u}) {
        ::Run helped = cluster(c.m, true, threads, KernelKind::portable, TileUse::automatic, shareTiles, 1);
        std::string what = shareCase(c.what, shareTiles, threads);
        ASSERT_EQ(helped.lines, direct.lines) << what;
        ASSERT_EQ(helped.order, direct.order) << what;
        EXPECT_GT(helped.counters.helpedRounds, 0u) << what;
        expectSameDeltasAndRefreshes(helped, alone, what);
        EXPECT_EQ(helped.counters.bounds, alone.counters.bounds) << what;
      }
    }
  }
}
