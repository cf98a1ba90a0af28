// The 4-bit group codec with AVX2: one group of 32 values in four registers.

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

void dequantize_groups_avx2(const float* scales, size_t groups, const uint8_t* codes, float* out) {
  const __m128i mask = _mm_set1_epi8(0x0F);
  const __m256i eight = _mm256_set1_epi32(8);
  for (size_t g = 0; g < groups; ++g, codes += 16, out += 32) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(codes));
    const __m128i lo = _mm_and_si128(bytes, mask);
    const __m128i hi = _mm_and_si128(_mm_srli_epi16(bytes, 4), mask);
    // The nibbles in value order (low, high of each byte), 8 values widened at a time.
    const __m128i ordered[2] = {_mm_unpacklo_epi8(lo, hi), _mm_unpackhi_epi8(lo, hi)};
    const __m256 vscale = _mm256_set1_ps(scales[g]);
    for (int h = 0; h < 2; ++h) {
      const __m256i a = _mm256_sub_epi32(_mm256_cvtepu8_epi32(ordered[h]), eight);
      const __m256i b =
          _mm256_sub_epi32(_mm256_cvtepu8_epi32(_mm_srli_si128(ordered[h], 8)), eight);
      _mm256_storeu_ps(out + 16 * h, _mm256_mul_ps(vscale, _mm256_cvtepi32_ps(a)));
      _mm256_storeu_ps(out + 16 * h + 8, _mm256_mul_ps(vscale, _mm256_cvtepi32_ps(b)));
    }
  }
}

}  // namespace quellmar::q4_internal
