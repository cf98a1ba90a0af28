// The 4-bit group quantizer with AVX-512: one group of 32 values in two registers.

#include <immintrin.h>

#include "quellmar/storage/q4_kernels.h"

// GCC 12 flags the deliberately undefined inputs inside its own masked intrinsics.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

namespace quellmar::q4_internal {
namespace {

// The codes 0..15 of 16 values, as the scalar path computes them.
inline __m512i codes_of(__m512 x, __m512 scale) {
  __m512 q = _mm512_div_ps(x, scale);
  q = _mm512_maskz_mov_ps(_mm512_cmp_ps_mask(q, q, _CMP_ORD_Q), q);  // NaN -> 0
  q = _mm512_min_ps(_mm512_max_ps(q, _mm512_set1_ps(-130.0f)), _mm512_set1_ps(130.0f));
  __m512 t = _mm512_cvtepi32_ps(_mm512_cvttps_epi32(q));
  const __m512 frac = _mm512_sub_ps(q, t);
  const __m512 one = _mm512_set1_ps(1.0f);
  t = _mm512_mask_add_ps(t, _mm512_cmp_ps_mask(frac, _mm512_set1_ps(0.5f), _CMP_GE_OQ), t, one);
  t = _mm512_mask_sub_ps(t, _mm512_cmp_ps_mask(frac, _mm512_set1_ps(-0.5f), _CMP_LE_OQ), t, one);
  t = _mm512_min_ps(_mm512_max_ps(t, _mm512_set1_ps(-128.0f)), _mm512_set1_ps(127.0f));
  t = _mm512_add_ps(t, _mm512_set1_ps(8.0f));
  t = _mm512_min_ps(_mm512_max_ps(t, _mm512_setzero_ps()), _mm512_set1_ps(15.0f));
  return _mm512_cvttps_epi32(t);
}

// Codes of values 2k (low half of 64-bit lane k) and 2k + 1 (high half) -> byte k.
inline __m128i pack_pairs(__m512i c) {
  const __m512i joined = _mm512_or_si512(c, _mm512_srli_epi64(c, 28));
  return _mm512_cvtepi64_epi8(joined);  // keeps the low byte of each lane
}

}  // namespace

void quantize_groups_avx512(const float* v, size_t groups, float* scales, uint8_t* codes) {
  const __m512 sign = _mm512_set1_ps(-0.0f);
  for (size_t g = 0; g < groups; ++g, v += 32, codes += 16) {
    const __m512 a = _mm512_loadu_ps(v), b = _mm512_loadu_ps(v + 16);
    // max returns its second operand when either is NaN: a NaN value never becomes the largest.
    __m512 m = _mm512_max_ps(_mm512_andnot_ps(sign, a), _mm512_setzero_ps());
    m = _mm512_max_ps(_mm512_andnot_ps(sign, b), m);
    __m256 h8 = _mm256_max_ps(_mm512_castps512_ps256(m), _mm512_extractf32x8_ps(m, 1));
    __m128 h = _mm_max_ps(_mm256_castps256_ps128(h8), _mm256_extractf128_ps(h8, 1));
    h = _mm_max_ps(h, _mm_shuffle_ps(h, h, _MM_SHUFFLE(1, 0, 3, 2)));
    h = _mm_max_ps(h, _mm_shuffle_ps(h, h, _MM_SHUFFLE(2, 3, 0, 1)));
    const float absmax = _mm_cvtss_f32(h);
    const float scale = absmax == 0.0f ? 1.0f : absmax / 7.0f;
    scales[g] = scale;
    const __m512 vs = _mm512_set1_ps(scale);
    const __m128i lo = pack_pairs(codes_of(a, vs));
    const __m128i hi = pack_pairs(codes_of(b, vs));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(codes), _mm_unpacklo_epi64(lo, hi));
  }
}

}  // namespace quellmar::q4_internal
