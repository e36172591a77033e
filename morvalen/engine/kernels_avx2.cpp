// The vector kernels for AVX2, from the shared bodies. Built with -mavx2
// -mfma: the bound kernel's logarithm and group terms fuse their products
// and sums, which saves a sixth of its time; the tile kernels, in double,
// are never contracted (-ffp-contract=off). Run only where the dispatcher
// (kernels.cpp) finds both: processors with AVX2 have FMA as a rule, and
// where one does not (or a virtual machine hides it), the portable kernels
// run, with the same outputs.
#include <immintrin.h>

#include "bound_kernel_body.h"
#include "kernel_set.h"
#include "tile_kernel_body.h"

namespace {

struct Avx2Target {
  using Arch = xsimd::avx2;
  using Floats = xsimd::batch<float, Arch>;
  using Doubles = xsimd::batch<double, Arch>;
  using Ints = xsimd::batch<int32_t, Arch>;
  using Words = xsimd::batch<uint64_t, Arch>;
  static constexpr bool kFused = true;
  static constexpr int kTableBits = 3;    // 8 entries: one register, one permutation
  static constexpr int kSeriesTerms = 4;  // |u| <= 1/17: truncation below 1.5e-7
  static constexpr bool kGroupLogAbove = true;  // a group term in 5 fused steps, not 7
  static constexpr bool kEveryActiveGroup = true;

  static Floats fusedMultiplyAdd(Floats x, Floats y, Floats z) { return _mm256_fmadd_ps(x, y, z); }

  // The permutation reads the low 3 bits of each index.
  static Floats lookup(const float* table, Ints index) {
    return _mm256_permutevar8x32_ps(_mm256_load_ps(table), __m256i(index));
  }

  static void widen(Floats v, Doubles& low, Doubles& high) {
    low = _mm256_cvtps_pd(_mm256_castps256_ps128(v));
    high = _mm256_cvtps_pd(_mm256_extractf128_ps(v, 1));
  }

  // The bits set in each byte, each nibble's count from a table; the sum
  // of the bytes of each 64-bit lane.
  static Words countBytes(Words words) {
    const __m256i nibble = _mm256_set1_epi8(0x0F);
    const __m256i table = _mm256_setr_epi8(0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4, 0, 1, 1, 2, 1, 2, 2, 3, 1, 2,
                                           2, 3, 2, 3, 3, 4);
    __m256i v = words;
    __m256i low = _mm256_shuffle_epi8(table, _mm256_and_si256(v, nibble));
    __m256i high = _mm256_shuffle_epi8(table, _mm256_and_si256(_mm256_srli_epi16(v, 4), nibble));
    return _mm256_add_epi8(low, high);
  }
  static Words sumBytes(Words bytes) { return _mm256_sad_epu8(bytes, _mm256_setzero_si256()); }

  // Adds lnFactorial(countA + count) for 8 lanes (two vectors of 4) to sum:
  // from the table where 2 <= x < size, +0.0 below 2, and from lnFactorial
  // itself beyond the table.
  static void addEightLanes(const DeltaContext& context, const int32_t* column, int32_t countA, Doubles* sum) {
    const __m256i one = _mm256_set1_epi32(1);
    const __m256i size = _mm256_set1_epi32(context.lnSize);
    // Vector integer addition wraps like wrappingAdd.
    __m256i x = _mm256_add_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(column)), _mm256_set1_epi32(countA));
    __m256i inTable = _mm256_and_si256(_mm256_cmpgt_epi32(x, one), _mm256_cmpgt_epi32(size, x));
    __m256i large = _mm256_cmpgt_epi32(x, _mm256_sub_epi32(size, one));
    __m256d terms[2];
    for (int group = 0; group < 2; group++) {
      __m128i index = group == 0 ? _mm256_castsi256_si128(x) : _mm256_extracti128_si256(x, 1);
      __m128i lanes = group == 0 ? _mm256_castsi256_si128(inTable) : _mm256_extracti128_si256(inTable, 1);
      __m256d mask = _mm256_castsi256_pd(_mm256_cvtepi32_epi64(lanes));
      terms[group] = _mm256_mask_i32gather_pd(_mm256_setzero_pd(), context.lnValues, index, mask, 8);
    }
    uint32_t largeLanes = uint32_t(_mm256_movemask_ps(_mm256_castsi256_ps(large)));
    if (largeLanes != 0) {
      alignas(32) int32_t arguments[8];
      alignas(32) double patched[8];
      _mm256_store_si256(reinterpret_cast<__m256i*>(arguments), x);
      _mm256_store_pd(patched, terms[0]);
      _mm256_store_pd(patched + 4, terms[1]);
      patchLargeTerms(arguments, largeLanes, patched);
      terms[0] = _mm256_load_pd(patched);
      terms[1] = _mm256_load_pd(patched + 4);
    }
    sum[0] = _mm256_add_pd(sum[0], terms[0]);
    sum[1] = _mm256_add_pd(sum[1], terms[1]);
  }

  static void addSummedColumn(const DeltaContext& context, const int32_t* column, int32_t countA, Doubles* sum) {
    addEightLanes(context, column, countA, sum);
    addEightLanes(context, column + 8, countA, sum + 2);
  }
};

}  // namespace

const KernelSet kAvx2Kernels = {tileKernelBody<Avx2Target>, boundKernelBody<Avx2Target>};
