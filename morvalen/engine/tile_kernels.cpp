#include "tile_kernels.h"

#include <algorithm>

#include "cost_model.h"

DeltaContext deltaContext(const LnFactorialTable& table, const ClusterTiles& tiles, double constant) {
  DeltaContext context;
  context.lnValues = table.values.data();
  context.lnSize = table.size;
  context.columns = tiles.columns;
  context.maskWords = tiles.maskWords;
  context.masks = tiles.masks.data();
  context.ranks = tiles.ranks.data();
  context.offsets = tiles.offsets.data();
  context.counts = tiles.counts.data();
  context.terms = tiles.terms.data();
  context.totals = tiles.totals.data();
  context.costs = tiles.costs.data();
  context.constant = constant;
  return context;
}

// lnFactorial(x) from the context's table, as tableLnFactorial (ln_table.h).
static inline double contextLnFactorial(const DeltaContext& context, int32_t x) {
  if (x < 1) return 0.0;
  if (x < context.lnSize) return context.lnValues[x];
  return lnFactorial(x);
}

void finishTile(const DeltaContext& context, const FixedCluster& a, uint32_t tile, const double* sums, double* out) {
  int32_t columnsTerm = columnsAsTerm(context.columns);
  for (uint32_t lane = 0; lane < kLanes; lane++) {
    size_t slot = size_t(tile) * kLanes + lane;
    int32_t argument = wrappingAdd(wrappingAdd(wrappingAdd(a.total, context.totals[slot]), -1), columnsTerm);
    double totalTerm = contextLnFactorial(context, argument);
    out[lane] = ((totalTerm - sums[lane]) - context.constant) - (a.cost + context.costs[slot]);
  }
}

// A column the tile does not store has no count in any lane: every lane's
// term is lnFactorial(a's count). Elsewhere each lane adds lnFactorial of
// the summed count when it is 2 or more.
void portableTileKernel(const DeltaContext& context, const FixedCluster& a, uint32_t tile, double* out) {
  double sums[kLanes] = {};
  forEachColumn(context, a, tile, [&](uint32_t k, size_t stored) {
    const int32_t* column = stored == kNotStored ? nullptr : context.counts + stored * kLanes;
    int32_t countA = a.counts[k];
    for (uint32_t lane = 0; lane < kLanes; lane++) {
      int32_t sum = column ? wrappingAdd(countA, column[lane]) : countA;
      if (sum > 1) sums[lane] += contextLnFactorial(context, sum);
    }
  });
  finishTile(context, a, tile, sums, out);
}

// lnFactorial(x) for a summed count beyond the table (or below 0). Out of
// line and cold, so that the loops that call it keep their sums in
// registers on the common path.
__attribute__((noinline, cold)) static double beyondTable(int32_t x) { return x < 1 ? 0.0 : lnFactorial(x); }

// lnFactorial(x) for the summed count of a column; +0.0 for x < 2, as the
// table holds lnFactorial(0) = 0 and lnFactorial(1) = +0.0.
static inline double summedTerm(const double* lnValues, uint32_t lnSize, int32_t x) {
  if (uint32_t(x) < lnSize) return lnValues[uint32_t(x)];
  return beyondTable(x);
}

int32_t countCeiling(const int32_t* counts, uint32_t columns) {
  int32_t largest = 0;
  for (uint32_t k = 0; k < columns; k++) {
    if (counts[k] < 0) return kNoCeiling;
    largest = std::max(largest, counts[k]);
  }
  return largest;
}

namespace {

constexpr uint32_t kWays = 4;

// The sums of partnerDeltas for one group of kWays partners, over the
// columns of their masks' union. When `checked` is false, every summed
// count lies in 0..lnSize-1 (the ceilings say so), so each term is a plain
// lookup: the value the checked summedTerm returns for it.
template <bool checked>
void sumOverUnion(const DeltaContext& context, const FixedCluster& a, const PartnerCluster* const* p,
                  double* sums) {
  // The pointers in locals: the rare call beyond the table could change any
  // memory the loop would read them from, so the compiler would fetch them
  // again for every term.
  const int32_t* countsA = a.counts;
  const int32_t* counts[kWays];
  for (uint32_t i = 0; i < kWays; i++) counts[i] = p[i]->counts;
  const double* lnValues = context.lnValues;
  const uint32_t lnSize = uint32_t(context.lnSize);
  for (uint32_t w = 0; w < context.maskWords; w++) {
    uint64_t bits = a.mask[w] | p[0]->mask[w] | p[1]->mask[w] | p[2]->mask[w] | p[3]->mask[w];
    for (; bits != 0; bits &= bits - 1) {
      uint32_t k = w * 64 + uint32_t(__builtin_ctzll(bits));
      int32_t countA = countsA[k];
      for (uint32_t i = 0; i < kWays; i++) {
        int32_t x = wrappingAdd(countA, counts[i][k]);
        sums[i] += checked ? summedTerm(lnValues, lnSize, x) : lnValues[uint32_t(x)];
      }
    }
  }
}

// The same sums over every column in ascending order, the counts within the
// table as for sumOverUnion<false>. A column outside the union adds
// lnValues[0] = +0.0, which leaves every sum as it is (a sum starts at +0.0
// and no term is below it, so it is never -0.0).
void sumOverEveryColumn(const DeltaContext& context, const FixedCluster& a, const PartnerCluster* const* p,
                        double* sums) {
  const int32_t* countsA = a.counts;
  const int32_t* counts[kWays];
  for (uint32_t i = 0; i < kWays; i++) counts[i] = p[i]->counts;
  const double* lnValues = context.lnValues;
  for (uint32_t k = 0; k < context.columns; k++) {
    int32_t countA = countsA[k];
    for (uint32_t i = 0; i < kWays; i++) sums[i] += lnValues[uint32_t(countA + counts[i][k])];
  }
}

// Whether the union of the group's masks holds at least 3/4 of the columns.
bool mostColumnsCounted(const DeltaContext& context, const FixedCluster& a, const PartnerCluster* const* p) {
  uint32_t counted = 0;
  for (uint32_t w = 0; w < context.maskWords; w++)
    counted += uint32_t(__builtin_popcountll(a.mask[w] | p[0]->mask[w] | p[1]->mask[w] | p[2]->mask[w] | p[3]->mask[w]));
  return 4 * counted >= 3 * context.columns;
}

}  // namespace

void partnerDeltas(const DeltaContext& context, const FixedCluster& a, const PartnerCluster* partners,
                   uint32_t count, double* out) {
  for (uint32_t start = 0; start < count; start += kWays) {
    // A short last group repeats its last partner.
    const PartnerCluster* p[kWays];
    for (uint32_t i = 0; i < kWays; i++) p[i] = &partners[std::min(start + i, count - 1)];
    // Every summed count lies in 0..a's ceiling + the largest partner
    // ceiling: within the table when that is below its size.
    int64_t reach = a.ceiling;
    int32_t partnerCeiling = 0;
    for (uint32_t i = 0; i < kWays; i++) partnerCeiling = std::max(partnerCeiling, p[i]->ceiling);
    reach += partnerCeiling;
    double sums[kWays] = {};
    if (reach >= context.lnSize) {
      sumOverUnion<true>(context, a, p, sums);
    } else if (mostColumnsCounted(context, a, p)) {
      sumOverEveryColumn(context, a, p, sums);
    } else {
      sumOverUnion<false>(context, a, p, sums);
    }
    for (uint32_t i = 0; i < kWays && start + i < count; i++) {
      int32_t argument =
          wrappingAdd(wrappingAdd(wrappingAdd(a.total, p[i]->total), -1), columnsAsTerm(context.columns));
      double totalTerm = contextLnFactorial(context, argument);
      out[start + i] = ((totalTerm - sums[i]) - context.constant) - (a.cost + double(p[i]->cost));
    }
  }
}
