// Lower bounds on merge deltas, an order of magnitude cheaper than the deltas
// themselves: a scan evaluates a delta exactly only where its bound does not
// already rule the pair out.
//
// Read me first:
// - The bound is never above the delta mergeDelta computes, bit for bit
//   included; it only decides which deltas are computed, never what they are.
// - Why it holds, in real arithmetic, for clusters a and b whose counts are
//   non-negative and whose totals Na, Nb did not wrap, with
//   x = Na + Nb + K - 1 below 2^31 (so no integer sum of the delta wraps):
//   * with l = lnFactorial, l(s) = (1 - s) + (s + 1/2) ln s for s >= 1 and
//     l(0) = 0, ca and cb the stored float costs, F = l(K - 1) and
//     S_c = sum_k l(c_k) for a row c, the delta is
//       D = l(x) - F - (ca + S_a) - (cb + S_b) - G,
//       G = sum_k g(a_k, b_k),  g(u, v) = l(u + v) - l(u) - l(v).
//   * Let phi(u) = u ln u (phi(0) = 0) and psi(u, v) = phi(u + v) - phi(u)
//     - phi(v). Expanding l, for u, v >= 1 exactly
//       g(u, v) = psi(u, v) - c(u, v),  c(u, v) = 1 + ln(u v / (u + v)) / 2,
//     and g = psi = 0 when u or v is 0. As u v / (u + v) >= min(u, v) / 2
//     >= 1/2, c(u, v) >= 1 + ln(min(u, v) / 2) / 2 >= 1 - ln(2) / 2 > 0.
//     So G = sum_k psi(a_k, b_k) - C, C the sum of c over the columns
//     where both counts are at least 1.
//   * psi(u, v) = (u + v) h(u / (u + v)), h the binary entropy, is the
//     perspective of a concave function: jointly concave and homogeneous of
//     degree 1, hence superadditive. Summed over the columns of a group,
//     sum_{k in g} psi(a_k, b_k) <= psi(A_g, B_g), A_g and B_g the group sums.
//   * Hence, with Phi_c = sum_g phi(C_g) and the offset Q_c = c_cost + S_c
//     - Phi_c of each cluster,
//       D >= l(x) - F - Q_a - Q_b - sum_g phi(A_g + B_g) + C.
//     Only the last two terms and l(x) need both clusters; the sum takes
//     kBoundGroups logarithms instead of one lookup per column.
//   * The correction: a column whose smaller count m reaches the threshold
//     t_J = 2^(J s) (s = kCorrectionStepBits) has c >= 1 - ln(2) / 2
//     + J s ln(2) / 2. Each cluster keeps, for j < kCorrectionLevels, the
//     mask of its columns (among the first 64 kCorrectionWords) whose count
//     reaches t_j; the column is in both clusters' masks exactly for
//     j <= J. So with w_0 = 1 - ln(2) / 2 and w_j = s ln(2) / 2 (j >= 1),
//       C >= sum_j w_j popcount(mask_j(a) & mask_j(b)),
//     the columns left out of the masks adding their c > 0 to the slack.
//     The kernels take the counts as integers (exact), w_0 and w_j lowered
//     by a relative 1e-12 before their rounding to double: two products and
//     a sum round by a relative 2^-52 at most, so the computed correction
//     stays below the real sum. As each column counted has both counts at
//     least 1, it counts at most x / 2 columns and is below 2 x.
// - Rounding: the computed delta differs from D by at most about
//   (K + 10) 2^-52 M, with M = (x + 1)(ln x + 2) bounding the magnitude of
//   every term (T, S, F, the costs). The bound's own terms are within
//   (K + kBoundGroups + 8) 2^-52 M of their real values, and its logarithms
//   (libm, or the table-and-polynomial one of the plain kernel) within
//   2e-13 of ln. Adding the correction (below 2 x <= M) last rounds once
//   more, by 2^-53 of a result below 9 M. The bound subtracts kMarginScale
//   (K + kBoundGroups + 64) M, more than a thousand times all of these
//   together.
// - The vector kernels (one body, bound_kernel_body.h, compiled per
//   instruction set) compute l(x) and the group terms phi(s) in single
//   precision, 16 lanes to a vector (AVX-512), 8 (AVX2) or 4 (NEON), sum
//   the group terms in kBoundPartialSums float partial sums of at most
//   kBoundGroups / kBoundPartialSums = 16 terms each (the fixed cluster's
//   groups, at most kBoundGroups, taken by fours into the two halves of the
//   partial sums in turn), and the rest in double. Their logarithms take the
//   steps of the plain one, with a 32-entry table and 3 terms of the series
//   (AVX-512: truncation t below 1.5e-8) or an 8-entry table and 4 terms
//   (AVX2 and NEON: t below 1.5e-7). The AVX2 kernel takes the group terms'
//   logarithms from above instead (upperLogarithm, bound_kernel_body.h):
//   ln(1 + u) as u (1 - 0.48 u), never below it and at most 1.4e-4 above,
//   in fewer roundings than the series. A larger phi(A_g + B_g) only lowers
//   the bound, so only the roundings below count for it, and t only for
//   l(x). With e = 2^-24:
//   x and every s are within 3e of their values, a float logarithm within
//   e (3 |ln s| + 6) + t of ln s, so l(x) is within e x (8 ln x + 11) + t x,
//   the group terms within e (7 N ln x + 9 N) + t N, N <= x, and the partial
//   sums (of 16 terms at most) round by at most 16e times the
//   terms' total, below 16e M: together below 31 e M + 2 t x (the first
//   three are below e x (15 ln x + 20) <= 15 e M). The kernels take
//   sum_g phi(A_g + B_g) as Phi_b (within ownTerms_b, in double) plus
//   phi(A_g + B_g) - phi(B_g) over a's groups that are not 0, with phi(B_g)
//   stored as float. Each such difference lies in [0, phi(A_g + B_g)] (in
//   [0, phi(A_g + B_g) + 1.4e-4 s] with the logarithm from above, which adds
//   less than 1e-10 M), so the partial sums' bound stands, and the two extra
//   roundings add at most 2e M: 33 e M + 2 t x in all, at most about
//   2.1e-6 M (as M >= 2x). (The AVX-512 and AVX2 kernels' fused
//   multiply-adds round once where this counts two. The AVX2 kernel also
//   takes a's groups that are 0, padded to a multiple of 4: each adds
//   phi(B_g) - phi(B_g), both rounded, which the same count of roundings
//   covers.)
//   The vector kernels subtract kFloatMarginScale M = 2e-5 M on top, more
//   than nine times that, and add the correction last, in double, from the
//   same masks by the same operations as the plain kernel (so with its
//   bits): the argument for the plain kernel covers it.
// - A cluster with a negative count or a wrapped total has offset +inf: every
//   bound involving it is -inf, which rules nothing out. So is a pair whose
//   x reaches 2^31.
#pragma once

#include <cstdint>
#include <vector>

#include "kernel_types.h"
#include "ln_table.h"

// Columns are cut into at most kBoundGroups groups (kernel_types.h): three
// quarters of them the columns with the largest totals in the matrix alone
// (where most of the counts are, and so most of what the grouping would
// blur), the others runs of consecutive columns. Any partition keeps the
// bound valid; this one keeps it tight. The vector kernels take logarithms
// only for the fixed cluster's groups that are not 0.

// The clusters' bound data by slot, as ClusterTiles holds their counts:
// groupSums as [tile][group][lane], so a vector load fetches a group for
// kLanes clusters.
struct BoundTiles {
  uint32_t groups = 0;            // groups stored per slot, at most kBoundGroups
  std::vector<double> groupSums;  // [tile][groups][kLanes]
  std::vector<double> totals;     // [slot]
  std::vector<double> offsets;    // [slot]; +inf for an empty slot
  // The same sums and totals rounded to float, for the vector kernel.
  std::vector<float> groupSumsFloat;  // [tile][groups][kLanes]
  std::vector<float> totalsFloat;     // [slot]
  // phi of the group sums, rounded to float, and ownTerms, for the vector
  // kernels, which take Phi_b + ... as above.
  std::vector<float> groupPhisFloat;  // [tile][groups][kLanes]
  std::vector<double> ownTerms;       // [slot]; +inf for an empty slot
  // The columns whose count reaches each level, 0 for an empty slot.
  std::vector<uint64_t> levelMasks;   // [tile][kCorrectionLevels][kCorrectionWords][kLanes]
};

// The kernels' view of the bound data, with the constants and the float
// logarithm's tables; taken again if the tiles are allocated again.
BoundContext boundContext(const BoundTiles& tiles, uint32_t columns, double constant);

// Whether the correction pays for the `rows` rows of `counts`: whether the
// median row has a count in at least 3/16 of the columns the masks cover.
// Each column two clusters share adds at least 0.65 nats; rows that use
// few columns (blocks through a BWT, say) gain too little to pay for the
// popcounts.
bool correctionPays(const int32_t* counts, uint32_t columns, uint32_t rows);

// How many groups pay for the `rows` rows of `counts`. A bound costs about
// one logarithm per group of the fixed cluster, and a delta it fails to rule
// out costs a table lookup per column, some three times a bound's cost; so
// the count follows how many columns it takes to tell the rows apart:
// - kBoundGroups where the median row has a count in half the columns or
//   more (machine code, say), whose spread counts the runs of the grouping
//   blur most, or where there are no more columns than groups;
// - half as many where the median row spreads its counts evenly enough to
//   fill kSpreadRowColumns columns or more (text, archives of text and
//   code): T^2 / sum_k c_k^2 for a row of total T;
// - 3/8 of them otherwise (blocks through a BWT, say), where a few columns
//   hold most of each row's counts and the groups of the columns of largest
//   total tell the rows apart well.
// The medians are those of up to 1024 rows spread evenly over the matrix.
// The count changes which deltas are computed, never a delta.
constexpr double kSpreadRowColumns = 10.0;
uint32_t boundGroupCount(const int32_t* counts, uint32_t columns, uint32_t rows);

// The group (below groupCount, a multiple of 4 up to kBoundGroups) of every
// column (`columns` entries) for the `rows` rows of `counts`.
std::vector<uint8_t> chooseBoundGroups(const int32_t* counts, uint32_t columns, uint32_t rows,
                                       uint32_t groupCount = kBoundGroups);

// Fills *out for a row of `columns` counts with the given wrapped total and
// stored cost, with the correction's first `correctionLevels` levels (0 or
// kCorrectionLevels: correctionPays); the table supplies lnFactorial.
void describeCluster(const LnFactorialTable& table, const uint8_t* groupOf, const int32_t* counts,
                     uint32_t columns, int32_t total, float cost, uint32_t correctionLevels, BoundCluster* out);

// Room for `groupCount` groups, a multiple of 4 up to kBoundGroups: the
// groups of every cluster stored lie below it, and so do those the AVX2
// kernel pads a cluster's groups with (groups that are 0, the lowest first).
bool allocateBoundTiles(BoundTiles& tiles, uint32_t tileCount, uint32_t groupCount);

// Stores a cluster in a slot; null empties it.
void storeBoundLane(BoundTiles& tiles, uint32_t slot, const BoundCluster* cluster);

// Envelopes: one lower bound for every cluster of a tile at once.
// - The bound's terms (above, in the vector kernels' form) each move one way
//   with b's data: l(x) rises with b's total (l'(x) = ln x + 1/(2x) > 0 for
//   x >= 1); -ownTerms_b falls as ownTerms_b rises; and
//   -(phi(A_g + B_g) - phi(B_g)) falls as B_g rises (its derivative is
//   -ln((A_g + B_g) / B_g) <= 0, and it is continuous at B_g = 0); the
//   correction is at least 0. So the bound of a against a made-up cluster
//   with the tile's smallest total, largest ownTerms and largest sum in each
//   group, without correction, is at most a's bound against each cluster of
//   the tile, in real arithmetic. The plain kernel's form agrees with it:
//   with offset = ownTerms - Phi of the made-up sums, -offset_b -
//   sum_g phi(A_g + B_g) is at least -offset - sum_g phi(A_g + B_max g),
//   as phi(A + B_max) - phi(A + B) >= phi(B_max) - phi(B) term by term.
// - Rounding: the kernels' argument takes the sum of the group arguments s
//   below x; for the made-up cluster it may reach x' = Na + S + K - 1, S the
//   sum of its group sums. envelopeBound subtracts kFloatMarginScale M(x')
//   more (ln x' taken from above by its binary exponent), over nine times
//   what the argument asks for that size, and the kernel's margin stays.
// - A tile without live clusters, or with one whose bound holds for no pair
//   (ownTerms +inf), has ownTerms +inf: its envelope bound is -inf.
struct TileEnvelopes {
  BoundTiles lanes;               // tile t's made-up cluster in slot t
  std::vector<double> groupSumTotals;  // [tile]: S
};

bool allocateTileEnvelopes(TileEnvelopes& envelopes, uint32_t tileCount, uint32_t groupCount);

// Stores the envelope of tile `tile` of `tiles`, whose live lanes are set
// in liveLanes.
void storeTileEnvelope(TileEnvelopes& envelopes, const BoundTiles& tiles, uint32_t tile, uint32_t liveLanes);

// The envelope bound of a against tile `tile`, from the kernel's bound of a
// against the tile's made-up cluster (slot `tile` of envelopes.lanes).
double envelopeBound(const TileEnvelopes& envelopes, const BoundCluster& a, uint32_t tile, double columnsLess1,
                     double kernelBound);

// The bound of one pair, in plain code, with libm's logarithm.
double pairBound(const BoundContext& context, const BoundCluster& a, const BoundCluster& b);

// The bound kernel in plain code, for every processor: pairBound per lane.
void portableBoundKernel(const BoundContext& context, const BoundCluster& a, uint32_t tile, uint32_t lanes,
                         double* out);

// ln s for s >= 1 within 2e-13, as the plain kernel computes it (exposed for
// its test).
double boundLogarithm(double s);
