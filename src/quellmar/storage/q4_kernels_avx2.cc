// The 4-bit group codec with AVX2: one group of 32 values in four registers, and the scales of
// eight groups at a time when quantizing.

#include <immintrin.h>

#include "quellmar/storage/q4_group_scales.h"
#include "quellmar/storage/q4_kernels.h"

namespace quellmar::q4_internal {
namespace {

// The codes 0..15 of 8 values, as the scalar path computes them. Rounding is monotone and keeps
// -8 and 7 as they are, so limiting the quotient to -8..7 before rounding gives what rounding
// first and then limiting gives. For 0.5 <= |q| <= 8, q + copysign(0.5, q) truncates to q rounded
// with halves away from zero: the sum is exact, or rounds to a neighbour on a grid that holds
// every integer nearby without reaching the next one. Below 0.5 the code is the zero code; the
// sum alone could round up to 1 there.
inline __m256i codes_of(__m256 x, __m256 scale) {
  const __m256 sign = _mm256_set1_ps(-0.0f);
  __m256 q = _mm256_div_ps(x, scale);
  // max and min return their second operand when either is NaN: a NaN stays NaN here.
  q = _mm256_min_ps(_mm256_set1_ps(7.0f), _mm256_max_ps(_mm256_set1_ps(-8.0f), q));
  const __m256 half = _mm256_or_ps(_mm256_and_ps(q, sign), _mm256_set1_ps(0.5f));
  const __m256i t = _mm256_cvttps_epi32(_mm256_add_ps(q, half));
  // |q| < 0.5, or NaN (which must give the zero code too).
  const __m256 zero_code =
      _mm256_cmp_ps(_mm256_andnot_ps(sign, q), _mm256_set1_ps(0.5f), _CMP_NGE_UQ);
  return _mm256_add_epi32(_mm256_andnot_si256(_mm256_castps_si256(zero_code), t),
                          _mm256_set1_epi32(8));
}

// The 16 code bytes of one group under its scale, low nibble first.
inline void group_codes(const float* v, float scale, uint8_t* codes) {
  const __m256 vs = _mm256_set1_ps(scale);
  // Packing keeps 128-bit lanes apart: lane 0 ends up with values 0-3, 8-11, 16-19, 24-27 as
  // bytes, lane 1 with the other halves. Neighbouring values stay neighbours, so each pair
  // becomes its byte (low + 16 * high) there, and one shuffle puts the bytes in value order.
  const __m256i c01 =
      _mm256_packus_epi32(codes_of(_mm256_loadu_ps(v), vs), codes_of(_mm256_loadu_ps(v + 8), vs));
  const __m256i c23 = _mm256_packus_epi32(codes_of(_mm256_loadu_ps(v + 16), vs),
                                          codes_of(_mm256_loadu_ps(v + 24), vs));
  const __m256i pairs =
      _mm256_maddubs_epi16(_mm256_packus_epi16(c01, c23), _mm256_set1_epi16(0x1001));
  const __m128i packed =
      _mm_packus_epi16(_mm256_castsi256_si128(pairs), _mm256_extracti128_si256(pairs, 1));
  const __m128i order = _mm_setr_epi8(0, 1, 8, 9, 2, 3, 10, 11, 4, 5, 12, 13, 6, 7, 14, 15);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(codes), _mm_shuffle_epi8(packed, order));
}

// Lane-wise largest magnitude of one group. max returns its second operand when either is NaN:
// a NaN never becomes the largest.
inline __m256 abs_max(const float* v) {
  const __m256 sign = _mm256_set1_ps(-0.0f);
  __m256 m = _mm256_setzero_ps();
  for (int k = 0; k < 4; ++k)
    m = _mm256_max_ps(_mm256_andnot_ps(sign, _mm256_loadu_ps(v + 8 * k)), m);
  return m;
}

float scale_of(float absmax) { return absmax == 0.0f ? 1.0f : absmax / 7.0f; }

}  // namespace

void quantize_groups_avx2(const float* v, size_t groups, float* scales, uint8_t* codes) {
  size_t g = 0;
  // Eight groups at a time: their maxima in one register, their scales in one division.
  for (; g + 8 <= groups; g += 8, v += 256, codes += 128) {
    __m256 m[8];
    for (int i = 0; i < 8; ++i) m[i] = abs_max(v + 32 * i);
    const __m256 s = scales_of_eight(m);
    _mm256_storeu_ps(scales + g, s);
    for (int i = 0; i < 8; ++i) group_codes(v + 32 * i, scales[g + i], codes + 16 * i);
  }
  for (; g < groups; ++g, v += 32, codes += 16) {
    const __m256 m = abs_max(v);
    __m128 h = _mm_max_ps(_mm256_castps256_ps128(m), _mm256_extractf128_ps(m, 1));
    h = _mm_max_ps(h, _mm_shuffle_ps(h, h, _MM_SHUFFLE(1, 0, 3, 2)));
    h = _mm_max_ps(h, _mm_shuffle_ps(h, h, _MM_SHUFFLE(2, 3, 0, 1)));
    scales[g] = scale_of(_mm_cvtss_f32(h));
    group_codes(v, scales[g], codes);
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
