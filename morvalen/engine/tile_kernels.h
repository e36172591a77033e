// Merge deltas of one cluster against many, evaluated side by side with the
// same bits as mergeDelta (cost_model.h).
//
// Read me first:
// - A tile kernel computes the deltas of one fixed cluster `a` against the
//   kLanes clusters of a tile (tiles.h), one sum per lane. Each lane's sum
//   runs over the columns in ascending order, as mergeDelta's does; vectors
//   run across clusters, never inside one sum, so no sum is reassociated.
//   Every kernel takes the same walk (forEachColumn, kernel_types.h); the
//   vector ones are one body (tile_kernel_body.h) compiled per instruction
//   set.
// - Why the bits are those of mergeDelta:
//   * lnFactorial values come from a table filled by lnFactorial itself, so an
//     entry has the bits of the call it replaces; arguments beyond the table
//     call lnFactorial. Where the fixed cluster has no count in a column, each
//     lane's term is lnFactorial of the lane's own count, which the tile keeps
//     ready; where no lane has a count, every lane's term is lnFactorial of
//     the fixed cluster's count. Both are the same calls, made earlier.
//   * A column whose summed count is below 2 contributes lnFactorial = +0.0
//     (0 for x < 1 by definition, (1 - 1) + 1.5 * ln 1 = +0.0 for x = 1).
//     The sum starts at +0.0 and every term is >= +0.0, so it is never -0.0,
//     and s + 0.0 == s exactly for such s: skipping the term, or adding +0.0
//     in a lane that has none, changes nothing. Columns where neither cluster
//     has a nonzero count are skipped for that reason.
//   * Integer sums wrap in 32 bits, in vectors as in mergeDelta; the double
//     operations are the same IEEE operations in the same order per lane,
//     rounded to nearest, with no contraction (-ffp-contract=off and no FMA).
#pragma once

#include "kernel_types.h"
#include "ln_table.h"
#include "tiles.h"

// The kernels' view of a table and tiles; taken again after every layout
// (planTiles may move the arena).
DeltaContext deltaContext(const LnFactorialTable& table, const ClusterTiles& tiles, double constant);

// The tile kernel in plain code, for every processor.
void portableTileKernel(const DeltaContext& context, const FixedCluster& a, uint32_t tile, double* out);

// The ceiling of a row (kernel_types.h): its largest count when no count is
// negative, else kNoCeiling.
int32_t countCeiling(const int32_t* counts, uint32_t columns);

// out[i] = mergeDelta(a, partners[i]) for i < count. Four partners at a time
// are summed side by side over the columns where a or any of the four has a
// count, in ascending order: the four sums do not wait on one another, and
// each adds +0.0 (exactly nothing) where its own pair has no count. Where
// the ceilings show every summed count within the table, the terms are
// looked up without a check; where most columns have a count, every column
// is summed in turn, the others adding the table's +0.0 for a sum of 0.
void partnerDeltas(const DeltaContext& context, const FixedCluster& a, const PartnerCluster* partners,
                   uint32_t count, double* out);
