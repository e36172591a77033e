// Which kernels run: one policy for the tile kernels and the bound kernels.
//
// Read me first:
// - A kind names one instruction set: its tile kernel and its bound kernel.
//   The CPU features each needs are stated once, in kernels.cpp; a kind
//   whose features the processor lacks, or whose file this build left out,
//   does not run.
// - The tile kernels of every kind give the bits of mergeDelta, so the
//   outputs never depend on the kind. The bound kernels differ in their last
//   bits (each is a lower bound with a margin); they decide only which deltas
//   are computed, so the counters of a run (FastScanCounters) depend on the
//   kind, the outputs do not.
// - `automatic` times the kinds that run on a sample of the run's own bound
//   data at start-up and takes the fastest: the outputs stay the same, but
//   the kind, and so the counters, may differ between machines and, when two
//   kinds are about as fast, between runs.
// - Under `automatic` the tile kernel is timed on its own, once the tiles
//   first hold counts: its gathers are slower than the portable loop on some
//   processors (AMD's first EPYC), faster on others. Which tile kernel runs
//   changes neither the outputs nor the counters.
#pragma once

#include <cstdint>

#include "kernel_types.h"

enum class KernelKind { automatic, portable, avx2, avx512, neon };

// Every kind but `automatic`, in order of preference when nothing is timed.
constexpr KernelKind kKernelKinds[] = {KernelKind::avx512, KernelKind::avx2, KernelKind::neon,
                                       KernelKind::portable};

// Whether this build has the kind and the processor runs it; `automatic`
// always runs.
bool kernelRuns(KernelKind kind);

// The tile kernel of `kind`, null when it does not run; `automatic` takes
// the first kind of kKernelKinds that runs.
TileKernel tileKernel(KernelKind kind);

// The bound kernel of `kind` where it runs, else the plain one.
BoundKernel boundKernel(KernelKind kind);

const char* kernelName(KernelKind kind);

// The kind that runs fastest on this processor, from timing the bound
// kernel of each kind that runs: the fixed clusters `sample` (count of
// them) against tiles 0..tileCount-1 of `context`, the kinds interleaved,
// best of a few rounds. Takes a few milliseconds.
KernelKind fastestKernel(const BoundContext& context, const BoundCluster* const* sample, uint32_t count,
                         uint32_t tileCount);

// The kind whose tile kernel runs fastest on this processor, timed as
// fastestKernel times the bound kernels: the fixed clusters `sample` (count
// of them) against tiles 0..tileCount-1 of `context`, which hold counts.
KernelKind fastestTileKind(const DeltaContext& context, const FixedCluster* sample, uint32_t count,
                           uint32_t tileCount);
