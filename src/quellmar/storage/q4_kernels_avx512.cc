// The 4-bit group quantizer with AVX-512. Dividing every value by its group's scale bounds the
// 256-bit kernel; this one multiplies by the scale's reciprocal instead and keeps the divided
// result only where it can be told apart from the product's. A code changes only where the
// quotient crosses a half step, and the product lies so close to the quotient that it rounds the
// same way whenever it is not within 2^-16 of one: a group with a value that close, or with a
// NaN, or under a scale too small or too large for its reciprocal to be exact to a rounding, is
// quantized again by the 256-bit kernel, which divides. That happens for about one group in a
// thousand of real data.

#include <immintrin.h>

#include "quellmar/storage/q4_group_scales.h"
#include "quellmar/storage/q4_kernels.h"

// GCC 12 flags the deliberately undefined sources its own 512-bit intrinsics start from.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

namespace quellmar::q4_internal {
namespace {

// Lane-wise largest magnitude of one group, folded to 8 lanes. A NaN may or may not survive it:
// a group with one is quantized again anyway.
inline __m256 abs_max(const float* v) {
  const __m512 m =
      _mm512_max_ps(_mm512_abs_ps(_mm512_loadu_ps(v)), _mm512_abs_ps(_mm512_loadu_ps(v + 16)));
  return _mm256_max_ps(_mm512_castps512_ps256(m), _mm512_extractf32x8_ps(m, 1));
}

// Codes of 16 values as 32-bit lanes: x / scale rounded to nearest, plus 8. `bad` gains the
// lanes where the product with the reciprocal is too close to a half step (or is NaN) to stand
// for the quotient. Off those, rounding halves away from zero is plain rounding to nearest, and
// the quotient lies within -7.0000005..7.0000005, so x * r + 8.5 truncates to the code.
inline __m512i codes_of(__m512 x, __m512 r, __mmask16& bad) {
  const __m512 t = _mm512_fmadd_ps(x, r, _mm512_set1_ps(8.5f));
  // Distance to the nearest whole number, which is where the half steps moved to.
  const __m512 d =
      _mm512_abs_ps(_mm512_reduce_ps(t, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC));
  bad |= _mm512_cmp_ps_mask(d, _mm512_set1_ps(0x1p-16f), _CMP_NGE_UQ);
  return _mm512_cvttps_epi32(t);
}

// The 16 code bytes of one group, low nibble first, from the codes of its two halves.
inline void store_group(__m512i lo, __m512i hi, uint8_t* out) {
  // Per 128-bit lane j: values 4j..4j+3 of each half as 16-bit words, so every 32-bit lane holds
  // one pair, which becomes its byte (low + 16 * high) in its low 8 bits.
  const __m512i words = _mm512_packus_epi32(lo, hi);
  const __m512i pairs = _mm512_or_si512(words, _mm512_srli_epi32(words, 12));
  const __m128i bytes = _mm512_cvtepi32_epi8(pairs);
  // Byte 4j + k holds pair 2j + k of the first half (k < 2), or pair 2j + k - 2 of the second.
  const __m128i order = _mm_setr_epi8(0, 1, 4, 5, 8, 9, 12, 13, 2, 3, 6, 7, 10, 11, 14, 15);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_shuffle_epi8(bytes, order));
}

}  // namespace

void quantize_groups_avx512(const float* v, size_t groups, float* scales, uint8_t* codes) {
  size_t g = 0;
  for (; g + 8 <= groups; g += 8, v += 256, codes += 128) {
    __m256 m[8];
    for (int i = 0; i < 8; ++i) m[i] = abs_max(v + 32 * i);
    const __m256 s = scales_of_eight(m);
    _mm256_storeu_ps(scales + g, s);
    alignas(32) float recip[8];
    _mm256_store_ps(recip, _mm256_div_ps(_mm256_set1_ps(1.0f), s));
    // Scales whose reciprocal is a normal number correct to a rounding (NaN fails both tests).
    const __m256 usable = _mm256_and_ps(_mm256_cmp_ps(s, _mm256_set1_ps(0x1p-120f), _CMP_GE_OQ),
                                        _mm256_cmp_ps(s, _mm256_set1_ps(0x1p120f), _CMP_LE_OQ));
    const int usable_bits = _mm256_movemask_ps(usable);
    for (int i = 0; i < 8; ++i) {
      const float* gv = v + 32 * i;
      uint8_t* gc = codes + 16 * i;
      // Under a scale that is no use, every lane counts as too close.
      __mmask16 bad = (usable_bits >> i & 1) ? 0 : 0xFFFF;
      if (!bad) {
        const __m512 r = _mm512_set1_ps(recip[i]);
        const __m512i c0 = codes_of(_mm512_loadu_ps(gv), r, bad);
        const __m512i c1 = codes_of(_mm512_loadu_ps(gv + 16), r, bad);
        store_group(c0, c1, gc);
      }
      if (bad) quantize_groups_avx2(gv, 1, scales + g + i, gc);
    }
  }
  if (g < groups) quantize_groups_avx2(v, groups - g, scales + g, codes);
}

}  // namespace quellmar::q4_internal
