// The vector kernels for AVX-512, from the shared bodies. Built with
// -mavx512f -mavx512dq -mavx512vl -mavx512bw -mavx2 -mfma; run only where the
// dispatcher (kernels.cpp) finds all of them.
#include <immintrin.h>

#include "bound_kernel_body.h"
#include "kernel_set.h"
#include "tile_kernel_body.h"

namespace {

struct Avx512Target {
  using Arch = xsimd::avx512f;
  using Floats = xsimd::batch<float, Arch>;
  using Doubles = xsimd::batch<double, Arch>;
  using Ints = xsimd::batch<int32_t, Arch>;
  using Words = xsimd::batch<uint64_t, Arch>;
  static constexpr bool kFused = true;
  static constexpr int kTableBits = 5;    // 32 entries: two registers, one two-source permutation
  static constexpr int kSeriesTerms = 3;  // |u| <= 1/64.9: truncation below 1.5e-8
  static constexpr bool kGroupLogAbove = false;
  static constexpr bool kEveryActiveGroup = false;

  static Floats fusedMultiplyAdd(Floats x, Floats y, Floats z) { return _mm512_fmadd_ps(x, y, z); }

  // The permutation reads the low 5 bits of each index.
  static Floats lookup(const float* table, Ints index) {
    return _mm512_permutex2var_ps(_mm512_load_ps(table), __m512i(index), _mm512_load_ps(table + 16));
  }

  // The halves by the masked extraction: GCC's own casts leave lanes
  // undefined and warn about it.
  static void widen(Floats v, Doubles& low, Doubles& high) {
    low = _mm512_cvtps_pd(_mm512_mask_extractf32x8_ps(_mm256_setzero_ps(), 0xFF, v, 0));
    high = _mm512_cvtps_pd(_mm512_mask_extractf32x8_ps(_mm256_setzero_ps(), 0xFF, v, 1));
  }

  // The bits set in each byte, each nibble's count from a table; the sum
  // of the bytes of each 64-bit lane.
  static Words countBytes(Words words) {
    const __m512i nibble = _mm512_set1_epi8(0x0F);
    const __m512i table = _mm512_broadcast_i32x4(_mm_setr_epi8(0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4));
    __m512i v = words;
    __m512i low = _mm512_shuffle_epi8(table, _mm512_and_si512(v, nibble));
    __m512i high = _mm512_shuffle_epi8(table, _mm512_and_si512(_mm512_srli_epi16(v, 4), nibble));
    return _mm512_add_epi8(low, high);
  }
  static Words sumBytes(Words bytes) { return _mm512_sad_epu8(bytes, _mm512_setzero_si512()); }

  // Adds one stored column's terms to the 16 lanes: lnFactorial(countA + the
  // lane's count), from the table or, beyond it, from lnFactorial itself; a
  // sum below 2 adds +0.0. No branch on the data but the rare one for sums
  // beyond the table: a branch on whether a group of lanes is empty follows
  // the data and is poorly predicted.
  static void addSummedColumn(const DeltaContext& context, const int32_t* column, int32_t countA, Doubles* sum) {
    const __m256i addend = _mm256_set1_epi32(countA);
    const __m256i two = _mm256_set1_epi32(2);
    const __m256i room = _mm256_set1_epi32(context.lnSize - 2);
    const __m256i size = _mm256_set1_epi32(context.lnSize);
    // Vector integer addition wraps like wrappingAdd.
    __m256i xLow = _mm256_add_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(column)), addend);
    __m256i xHigh = _mm256_add_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(column + 8)), addend);
    // 2 <= x < size  <=>  (unsigned)(x - 2) < size - 2
    __mmask8 inLow = _mm256_cmplt_epu32_mask(_mm256_sub_epi32(xLow, two), room);
    __mmask8 inHigh = _mm256_cmplt_epu32_mask(_mm256_sub_epi32(xHigh, two), room);
    __m512d termsLow = _mm512_mask_i32gather_pd(_mm512_setzero_pd(), inLow, xLow, context.lnValues, 8);
    __m512d termsHigh = _mm512_mask_i32gather_pd(_mm512_setzero_pd(), inHigh, xHigh, context.lnValues, 8);
    uint32_t large =
        uint32_t(_mm256_cmpge_epi32_mask(xLow, size)) | uint32_t(_mm256_cmpge_epi32_mask(xHigh, size)) << 8;
    if (large != 0) {
      alignas(64) int32_t arguments[kLanes];
      alignas(64) double patched[kLanes];
      _mm256_store_si256(reinterpret_cast<__m256i*>(arguments), xLow);
      _mm256_store_si256(reinterpret_cast<__m256i*>(arguments + 8), xHigh);
      _mm512_store_pd(patched, termsLow);
      _mm512_store_pd(patched + 8, termsHigh);
      patchLargeTerms(arguments, large, patched);
      termsLow = _mm512_load_pd(patched);
      termsHigh = _mm512_load_pd(patched + 8);
    }
    sum[0] = _mm512_add_pd(sum[0], termsLow);
    sum[1] = _mm512_add_pd(sum[1], termsHigh);
  }
};

}  // namespace

const KernelSet kAvx512Kernels = {tileKernelBody<Avx512Target>, boundKernelBody<Avx512Target>};
