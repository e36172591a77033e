#include "kernels.h"

#include <chrono>

#include "bounds.h"
#include "cost_model.h"
#include "kernel_set.h"
#include "tile_kernels.h"

void patchLargeTerms(const int32_t* arguments, uint32_t laneMask, double* terms) {
  // Only lanes whose argument is at least the table's size (>= 1) come here.
  for (; laneMask != 0; laneMask &= laneMask - 1) {
    uint32_t lane = uint32_t(__builtin_ctz(laneMask));
    terms[lane] = lnFactorial(arguments[lane]);
  }
}

// The features each kind needs, the one place they are stated. The AVX-512
// kernels use AVX-512F with the DQ, VL and BW extensions (and the AVX2 and
// FMA instructions every such processor has); the AVX2 ones AVX2 and FMA;
// the NEON ones only what every 64-bit Arm processor has.
static bool processorRuns(KernelKind kind) {
  switch (kind) {
    case KernelKind::automatic:
    case KernelKind::portable:
      return true;
    case KernelKind::avx2:
#if defined(MORVALEN_KERNELS_AVX2)
      __builtin_cpu_init();
      return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
#else
      return false;
#endif
    case KernelKind::avx512:
#if defined(MORVALEN_KERNELS_AVX512)
      __builtin_cpu_init();
      return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
             __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
#else
      return false;
#endif
    case KernelKind::neon:
#if defined(MORVALEN_KERNELS_NEON)
      return true;
#else
      return false;
#endif
  }
  return false;
}

bool kernelRuns(KernelKind kind) { return processorRuns(kind); }

// The kernels of a kind that runs.
static KernelSet kernelSet(KernelKind kind) {
  switch (kind) {
#if defined(MORVALEN_KERNELS_AVX2)
    case KernelKind::avx2:
      return kAvx2Kernels;
#endif
#if defined(MORVALEN_KERNELS_AVX512)
    case KernelKind::avx512:
      return kAvx512Kernels;
#endif
#if defined(MORVALEN_KERNELS_NEON)
    case KernelKind::neon:
      return kNeonKernels;
#endif
    default:
      return KernelSet{portableTileKernel, portableBoundKernel};
  }
}

static KernelKind preferredKind() {
  for (KernelKind kind : kKernelKinds)
    if (processorRuns(kind)) return kind;
  return KernelKind::portable;
}

TileKernel tileKernel(KernelKind kind) {
  if (kind == KernelKind::automatic) kind = preferredKind();
  return processorRuns(kind) ? kernelSet(kind).tile : nullptr;
}

BoundKernel boundKernel(KernelKind kind) {
  if (kind == KernelKind::automatic) kind = preferredKind();
  return processorRuns(kind) ? kernelSet(kind).bound : portableBoundKernel;
}

const char* kernelName(KernelKind kind) {
  switch (kind) {
    case KernelKind::portable:
      return "portable";
    case KernelKind::avx2:
      return "avx2";
    case KernelKind::avx512:
      return "avx512";
    case KernelKind::neon:
      return "neon";
    case KernelKind::automatic:
      break;
  }
  return "automatic";
}

// Seconds for one sweep of `count` sample clusters against `tileCount`
// tiles, call(i, tile) running the kernel and returning a value of it.
template <class Call>
static double timeSweep(uint32_t count, uint32_t tileCount, Call call) {
  double sink = 0.0;
  auto start = std::chrono::steady_clock::now();
  for (uint32_t i = 0; i < count; i++)
    for (uint32_t tile = 0; tile < tileCount; tile++) sink += call(i, tile);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  // Keeps the calls from being optimised away; never true for a real sink.
  return sink == 1.0 ? seconds + 1e-9 : seconds;
}

// The kind that runs whose sweep (sweepSeconds(kind)) is fastest, the kinds
// interleaved, best of a few rounds.
template <class SweepSeconds>
static KernelKind fastestKind(SweepSeconds sweepSeconds) {
  constexpr uint32_t kRounds = 3;
  KernelKind kinds[4];
  double best[4];
  uint32_t kindCount = 0;
  for (KernelKind kind : kKernelKinds) {
    if (!processorRuns(kind)) continue;
    kinds[kindCount] = kind;
    best[kindCount++] = 1e300;
  }
  if (kindCount < 2) return preferredKind();
  for (uint32_t round = 0; round < kRounds; round++) {
    for (uint32_t i = 0; i < kindCount; i++) {
      double seconds = sweepSeconds(kinds[i]);
      if (seconds < best[i]) best[i] = seconds;
    }
  }
  uint32_t fastest = 0;
  for (uint32_t i = 1; i < kindCount; i++)
    if (best[i] < best[fastest]) fastest = i;
  return kinds[fastest];
}

KernelKind fastestKernel(const BoundContext& context, const BoundCluster* const* sample, uint32_t count,
                         uint32_t tileCount) {
  if (count == 0 || tileCount == 0) return preferredKind();
  return fastestKind([&](KernelKind kind) {
    BoundKernel kernel = kernelSet(kind).bound;
    double out[kLanes];
    return timeSweep(count, tileCount, [&](uint32_t i, uint32_t tile) {
      kernel(context, *sample[i], tile, kAllLanes, out);
      return out[0];
    });
  });
}

KernelKind fastestTileKind(const DeltaContext& context, const FixedCluster* sample, uint32_t count,
                           uint32_t tileCount) {
  if (count == 0 || tileCount == 0) return preferredKind();
  return fastestKind([&](KernelKind kind) {
    TileKernel kernel = kernelSet(kind).tile;
    double out[kLanes];
    return timeSweep(count, tileCount, [&](uint32_t i, uint32_t tile) {
      kernel(context, sample[i], tile, out);
      return out[0];
    });
  });
}
