// The 4-bit group quantizer with AVX2: one group of 32 values in four registers.

#include <immintrin.h>

#include <cstring>

#include "quellmar/storage/q4_kernels.h"

namespace quellmar::q4_internal {
namespace {

// The codes 0..15 of 8 values, as the scalar path computes them.
inline __m256i codes_of(__m256 x, __m256 scale) {
  __m256 q = _mm256_div_ps(x, scale);
  q = _mm256_and_ps(q, _mm256_cmp_ps(q, q, _CMP_ORD_Q));  // NaN -> 0
  q = _mm256_min_ps(_mm256_max_ps(q, _mm256_set1_ps(-130.0f)), _mm256_set1_ps(130.0f));
  __m256 t = _mm256_cvtepi32_ps(_mm256_cvttps_epi32(q));
  const __m256 frac = _mm256_sub_ps(q, t);
  const __m256 one = _mm256_set1_ps(1.0f);
  t = _mm256_add_ps(t, _mm256_and_ps(_mm256_cmp_ps(frac, _mm256_set1_ps(0.5f), _CMP_GE_OQ), one));
  t = _mm256_sub_ps(t, _mm256_and_ps(_mm256_cmp_ps(frac, _mm256_set1_ps(-0.5f), _CMP_LE_OQ), one));
  t = _mm256_min_ps(_mm256_max_ps(t, _mm256_set1_ps(-128.0f)), _mm256_set1_ps(127.0f));
  t = _mm256_add_ps(t, _mm256_set1_ps(8.0f));
  t = _mm256_min_ps(_mm256_max_ps(t, _mm256_setzero_ps()), _mm256_set1_ps(15.0f));
  return _mm256_cvttps_epi32(t);
}

}  // namespace

void quantize_groups_avx2(const float* v, size_t groups, float* scales, uint8_t* codes) {
  const __m256 sign = _mm256_set1_ps(-0.0f);
  for (size_t g = 0; g < groups; ++g, v += 32, codes += 16) {
    __m256 x[4];
    __m256 m = _mm256_setzero_ps();
    for (int k = 0; k < 4; ++k) {
      x[k] = _mm256_loadu_ps(v + 8 * k);
      // max returns its second operand when either is NaN: a NaN never becomes the largest.
      m = _mm256_max_ps(_mm256_andnot_ps(sign, x[k]), m);
    }
    __m128 h = _mm_max_ps(_mm256_castps256_ps128(m), _mm256_extractf128_ps(m, 1));
    h = _mm_max_ps(h, _mm_shuffle_ps(h, h, _MM_SHUFFLE(1, 0, 3, 2)));
    h = _mm_max_ps(h, _mm_shuffle_ps(h, h, _MM_SHUFFLE(2, 3, 0, 1)));
    const float absmax = _mm_cvtss_f32(h);
    const float scale = absmax == 0.0f ? 1.0f : absmax / 7.0f;
    scales[g] = scale;
    const __m256 vs = _mm256_set1_ps(scale);
    // Codes 2k and 2k + 1 share a 64-bit lane: byte k is the lane's low byte after the join.
    alignas(32) uint64_t lanes[16];
    for (int k = 0; k < 4; ++k) {
      const __m256i c = codes_of(x[k], vs);
      _mm256_store_si256(reinterpret_cast<__m256i*>(lanes + 4 * k),
                         _mm256_or_si256(c, _mm256_srli_epi64(c, 28)));
    }
    for (int k = 0; k < 16; ++k) codes[k] = static_cast<uint8_t>(lanes[k]);
  }
}

}  // namespace quellmar::q4_internal
