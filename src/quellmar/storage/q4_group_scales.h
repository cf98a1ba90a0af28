#pragma once

// The scales of eight groups at a time, in 256-bit lanes, for the x86 group quantizers
// (q4_kernels_avx2.cc and q4_kernels_avx512.cc only). Internal linkage: each of those files is
// built for its own instruction set, so none may take the other's copy of these at link time.

#include <immintrin.h>

namespace quellmar::q4_internal {
namespace {

// Maxima of neighbouring lanes of a, then of b, per 128-bit lane (the pattern of hadd).
inline __m256 pair_max(__m256 a, __m256 b) {
  return _mm256_max_ps(_mm256_shuffle_ps(a, b, _MM_SHUFFLE(2, 0, 2, 0)),
                       _mm256_shuffle_ps(a, b, _MM_SHUFFLE(3, 1, 3, 1)));
}

// The scales of eight groups from their lane-wise largest magnitudes m[0..8): each group's
// largest magnitude over 7, or 1 for a group of zeros, in one division.
inline __m256 scales_of_eight(const __m256 m[8]) {
  const __m256 lo = pair_max(pair_max(m[0], m[1]), pair_max(m[2], m[3]));
  const __m256 hi = pair_max(pair_max(m[4], m[5]), pair_max(m[6], m[7]));
  const __m256 absmax =
      _mm256_max_ps(_mm256_permute2f128_ps(lo, hi, 0x20), _mm256_permute2f128_ps(lo, hi, 0x31));
  const __m256 zero = _mm256_cmp_ps(absmax, _mm256_setzero_ps(), _CMP_EQ_OQ);
  return _mm256_blendv_ps(_mm256_div_ps(absmax, _mm256_set1_ps(7.0f)), _mm256_set1_ps(1.0f), zero);
}

}  // namespace
}  // namespace quellmar::q4_internal
