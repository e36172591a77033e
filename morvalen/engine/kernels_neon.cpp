// The vector kernels for 64-bit Arm (NEON, which every such processor has),
// from the shared bodies.
#include <arm_neon.h>

#include "bound_kernel_body.h"
#include "kernel_set.h"
#include "tile_kernel_body.h"

namespace {

struct NeonTarget {
  using Arch = xsimd::neon64;
  using Floats = xsimd::batch<float, Arch>;
  using Doubles = xsimd::batch<double, Arch>;
  using Ints = xsimd::batch<int32_t, Arch>;
  using Words = xsimd::batch<uint64_t, Arch>;
  // The series logarithm of the AVX2 kernel (8 entries, 4 terms) for every
  // logarithm, with every product rounded on its own, over the groups that
  // are not 0, as AVX-512 takes them: both are within the error the margin
  // allows for (bounds.h).
  static constexpr bool kFused = false;
  static constexpr int kTableBits = 3;
  static constexpr int kSeriesTerms = 4;
  static constexpr bool kGroupLogAbove = false;
  static constexpr bool kEveryActiveGroup = false;

  static Floats fusedMultiplyAdd(Floats x, Floats y, Floats z) { return x * y + z; }  // not used: kFused is false

  // A byte table lookup over the 8 entries (32 bytes): lane index i takes
  // bytes 4i .. 4i + 3.
  static Floats lookup(const float* table, Ints index) {
    uint8x16x2_t bytes = {{vreinterpretq_u8_f32(vld1q_f32(table)), vreinterpretq_u8_f32(vld1q_f32(table + 4))}};
    uint32x4_t entry = vandq_u32(vreinterpretq_u32_s32(int32x4_t(index)), vdupq_n_u32(7));
    uint32x4_t byteIndex = vmlaq_n_u32(vdupq_n_u32(0x03020100u), entry, 0x04040404u);
    return vreinterpretq_f32_u8(vqtbl2q_u8(bytes, vreinterpretq_u8_u32(byteIndex)));
  }

  static void widen(Floats v, Doubles& low, Doubles& high) {
    float32x4_t lanes = v;
    low = vcvt_f64_f32(vget_low_f32(lanes));
    high = vcvt_high_f64_f32(lanes);
  }

  // The bits set in each byte; the sum of the bytes of each 64-bit lane,
  // summed pairwise.
  static Words countBytes(Words words) {
    return vreinterpretq_u64_u8(vcntq_u8(vreinterpretq_u8_u64(uint64x2_t(words))));
  }
  static Words sumBytes(Words bytes) {
    return vpaddlq_u32(vpaddlq_u16(vpaddlq_u8(vreinterpretq_u8_u64(uint64x2_t(bytes)))));
  }

  // lnFactorial of each lane's summed count, lane by lane, then added two
  // lanes to a vector.
  static void addSummedColumn(const DeltaContext& context, const int32_t* column, int32_t countA, Doubles* sum) {
    alignas(16) int32_t arguments[kLanes];
    alignas(16) double terms[kLanes];
    for (uint32_t lane = 0; lane < kLanes; lane++) arguments[lane] = int32_t(uint32_t(column[lane]) + uint32_t(countA));
    for (uint32_t lane = 0; lane < kLanes; lane++) {
      int32_t x = arguments[lane];
      terms[lane] = uint32_t(x) < uint32_t(context.lnSize) ? context.lnValues[x] : 0.0;
    }
    uint32_t large = 0;
    for (uint32_t lane = 0; lane < kLanes; lane++) large |= uint32_t(arguments[lane] >= context.lnSize) << lane;
    if (large != 0) patchLargeTerms(arguments, large, terms);
    for (uint32_t v = 0; v < kLanes / 2; v++) sum[v] = sum[v] + Doubles::load_aligned(terms + 2 * v);
  }
};

}  // namespace

const KernelSet kNeonKernels = {tileKernelBody<NeonTarget>, boundKernelBody<NeonTarget>};
