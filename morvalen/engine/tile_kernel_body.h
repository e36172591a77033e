// The vector tile kernel, one body for every instruction set: included by
// kernels_<set>.cpp, each built for its set, with a Target that supplies
//   Arch                    the xsimd architecture,
//   addSummedColumn(...)    adds one stored column's terms lnFactorial(a's
//                           count + the lane's count) to the lanes' sums.
// Why its sums have the bits of mergeDelta's: tile_kernels.h. The body only
// adds (each lane's terms in ascending column order); the AVX-512 file is
// built with FMA enabled for the bound kernel, but -ffp-contract=off keeps
// the compiler from fusing anything it did not write as a fused operation.
// Only kernel_types.h may be included besides (see there).
#pragma once

#include <xsimd/xsimd.hpp>

#include "kernel_types.h"

template <class Target>
void tileKernelBody(const DeltaContext& context, const FixedCluster& a, uint32_t tile, double* out) {
  using Doubles = xsimd::batch<double, typename Target::Arch>;
  constexpr uint32_t kWidth = uint32_t(Doubles::size);
  constexpr uint32_t kVectors = kLanes / kWidth;
  static_assert(kLanes % kWidth == 0, "a tile is a whole number of vectors");
  Doubles sum[kVectors];
  for (uint32_t v = 0; v < kVectors; v++) sum[v] = Doubles(0.0);
  forEachColumn(context, a, tile, [&](uint32_t k, size_t stored) {
    if (stored == kNotStored) {
      // No lane has a count here: every lane's term is a's.
      Doubles termA(a.terms[k]);
      for (uint32_t v = 0; v < kVectors; v++) sum[v] = sum[v] + termA;
      return;
    }
    // The columns a few ahead are fetched while this one is summed: a tile
    // of raw data stores all 256 columns (48 KiB), more than stays cached
    // between calls. A hint only; it changes no value.
    __builtin_prefetch(context.counts + (stored + 4) * kLanes);
    __builtin_prefetch(context.terms + (stored + 4) * kLanes);
    __builtin_prefetch(context.terms + (stored + 4) * kLanes + kLanes / 2);
    if (a.counts[k] == 0) {
      // a has no count here: every lane's term is ready in the tile.
      const double* terms = context.terms + stored * kLanes;
      for (uint32_t v = 0; v < kVectors; v++) sum[v] = sum[v] + Doubles::load_unaligned(terms + v * kWidth);
      return;
    }
    Target::addSummedColumn(context, context.counts + stored * kLanes, a.counts[k], sum);
  });
  alignas(64) double sums[kLanes];
  for (uint32_t v = 0; v < kVectors; v++) sum[v].store_aligned(sums + v * kWidth);
  finishTile(context, a, tile, sums, out);
}
