// AVX-512 (F, BW, VL, DQ, VNNI) level of the retrieval kernels. Float products and sums are
// separate instructions (no fused multiply-add), so every lane rounds exactly as the scalar level
// does; tails use zero-masked loads, whose 0 * 0 terms leave a sum started at +0.0 unchanged.

// GCC contracts a separate multiply and add into one fused instruction unless told not to; the
// kernels promise the rounding of the scalar level, so contraction stays off in this file.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC optimize("fp-contract=off")
#endif

#include <immintrin.h>

#include "quellmar/retrieval/simd_distance.h"
#include "quellmar/retrieval/simd_kernels.h"

// GCC 12 flags the deliberately undefined upper halves inside its own extract intrinsics.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

namespace quellmar::simd_internal {
namespace {

inline __mmask64 byte_mask(size_t count) {
  return count >= 64 ? ~__mmask64{0} : ((__mmask64{1} << count) - 1);
}
inline __mmask16 float_mask(size_t count) {
  return count >= 16 ? __mmask16(0xFFFF) : __mmask16((1u << count) - 1);
}

// The sum of the 16 lanes, wrapping like u32. The header's _mm512_reduce_add_epi32 adds the
// lanes as int, where a wrap is undefined behaviour; vector adds wrap by definition.
inline uint32_t reduce_add_wrapping(__m512i v) {
  __m256i h = _mm256_add_epi32(_mm512_castsi512_si256(v), _mm512_extracti64x4_epi64(v, 1));
  __m128i q = _mm_add_epi32(_mm256_castsi256_si128(h), _mm256_extracti128_si256(h, 1));
  q = _mm_add_epi32(q, _mm_shuffle_epi32(q, 0x4E));
  q = _mm_add_epi32(q, _mm_shuffle_epi32(q, 0xB1));
  return static_cast<uint32_t>(_mm_cvtsi128_si32(q));
}

// Signed-by-signed bytes through the unsigned-by-signed VNNI instruction: (a ^ 0x80) is a + 128
// as an unsigned byte, so sum((a ^ 0x80) * b) = dot(a, b) + 128 * sum(b). Sums wrap like i32.
int32_t avx512_dot_i8(const int8_t* a, const int8_t* b, size_t n) {
  const __m512i flip = _mm512_set1_epi8(static_cast<char>(0x80));
  const __m512i ones = _mm512_set1_epi8(1);
  __m512i acc = _mm512_setzero_si512(), sum_b = _mm512_setzero_si512();
  for (size_t i = 0; i < n; i += 64) {
    __mmask64 m = byte_mask(n - i);
    __m512i va = _mm512_maskz_loadu_epi8(m, a + i);
    __m512i vb = _mm512_maskz_loadu_epi8(m, b + i);
    acc = _mm512_dpbusd_epi32(acc, _mm512_xor_si512(va, flip), vb);
    sum_b = _mm512_dpbusd_epi32(sum_b, ones, vb);
  }
  uint32_t total = reduce_add_wrapping(acc);
  uint32_t bias = reduce_add_wrapping(sum_b) * 128u;
  return static_cast<int32_t>(total - bias);
}

inline uint32_t sum_i8(const int8_t* q, size_t n) {
  uint32_t s = 0;
  for (size_t i = 0; i < n; ++i) s += static_cast<uint32_t>(static_cast<int32_t>(q[i]));
  return s;
}

// Reduces four vectors of i32 partial sums to their four totals.
inline __m128i reduce4_epi32(__m512i a, __m512i b, __m512i c, __m512i d) {
  // Pairwise: add halves so each register's total survives in fewer lanes, interleaving four.
  __m256i a8 = _mm256_add_epi32(_mm512_castsi512_si256(a), _mm512_extracti64x4_epi64(a, 1));
  __m256i b8 = _mm256_add_epi32(_mm512_castsi512_si256(b), _mm512_extracti64x4_epi64(b, 1));
  __m256i c8 = _mm256_add_epi32(_mm512_castsi512_si256(c), _mm512_extracti64x4_epi64(c, 1));
  __m256i d8 = _mm256_add_epi32(_mm512_castsi512_si256(d), _mm512_extracti64x4_epi64(d, 1));
  __m256i ab = _mm256_hadd_epi32(a8, b8);  // a01 a23 b01 b23 | a45 a67 b45 b67
  __m256i cd = _mm256_hadd_epi32(c8, d8);
  __m256i abcd = _mm256_hadd_epi32(ab, cd);  // a b c d | a b c d (partials)
  return _mm_add_epi32(_mm256_castsi256_si128(abcd), _mm256_extracti128_si256(abcd, 1));
}

void avx512_dot_i8_many(const int8_t* query, const int8_t* rows, size_t n_rows, size_t dim,
                        size_t stride, int32_t* out) {
  const __m512i flip = _mm512_set1_epi8(static_cast<char>(0x80));
  // Rows take the bias: sum((r ^ 0x80) * q) = dot(r, q) + 128 * sum(q), with sum(q) once per call.
  const uint32_t bias = sum_i8(query, dim) * 128u;
  size_t r = 0;
  for (; r + 4 <= n_rows; r += 4) {
    const int8_t* r0 = rows + r * stride;
    __m512i a0 = _mm512_setzero_si512(), a1 = _mm512_setzero_si512();
    __m512i a2 = _mm512_setzero_si512(), a3 = _mm512_setzero_si512();
    for (size_t i = 0; i < dim; i += 64) {
      __mmask64 m = byte_mask(dim - i);
      __m512i q = _mm512_maskz_loadu_epi8(m, query + i);
      __m512i v0 = _mm512_xor_si512(_mm512_maskz_loadu_epi8(m, r0 + i), flip);
      __m512i v1 = _mm512_xor_si512(_mm512_maskz_loadu_epi8(m, r0 + stride + i), flip);
      __m512i v2 = _mm512_xor_si512(_mm512_maskz_loadu_epi8(m, r0 + 2 * stride + i), flip);
      __m512i v3 = _mm512_xor_si512(_mm512_maskz_loadu_epi8(m, r0 + 3 * stride + i), flip);
      a0 = _mm512_dpbusd_epi32(a0, v0, q);
      a1 = _mm512_dpbusd_epi32(a1, v1, q);
      a2 = _mm512_dpbusd_epi32(a2, v2, q);
      a3 = _mm512_dpbusd_epi32(a3, v3, q);
    }
    __m128i totals =
        _mm_sub_epi32(reduce4_epi32(a0, a1, a2, a3), _mm_set1_epi32(static_cast<int32_t>(bias)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + r), totals);
  }
  for (; r < n_rows; ++r) out[r] = avx512_dot_i8(query, rows + r * stride, dim);
}

// The fixed lane tree: (l, l+8), (l, l+4), (l, l+2), (l, l+1).
inline float reduce16(__m512 v) {
  __m256 s8 = _mm256_add_ps(_mm512_castps512_ps256(v), _mm512_extractf32x8_ps(v, 1));
  __m128 s4 = _mm_add_ps(_mm256_castps256_ps128(s8), _mm256_extractf128_ps(s8, 1));
  __m128 s2 = _mm_add_ps(s4, _mm_movehl_ps(s4, s4));
  __m128 s1 = _mm_add_ss(s2, _mm_shuffle_ps(s2, s2, 1));
  return _mm_cvtss_f32(s1);
}

float avx512_dot_f32_unordered(const float* a, const float* b, size_t n) {
  __m512 acc = _mm512_setzero_ps();
  for (size_t i = 0; i < n; i += 16) {
    __mmask16 m = float_mask(n - i);
    __m512 p = _mm512_mul_ps(_mm512_maskz_loadu_ps(m, a + i), _mm512_maskz_loadu_ps(m, b + i));
    acc = _mm512_add_ps(acc, p);
  }
  return reduce16(acc);
}

void avx512_dot_f32_many(const float* query, const float* rows, size_t n_rows, size_t dim,
                         size_t stride, float* out) {
  size_t r = 0;
  for (; r + 4 <= n_rows; r += 4) {
    const float* r0 = rows + r * stride;
    __m512 a0 = _mm512_setzero_ps(), a1 = _mm512_setzero_ps();
    __m512 a2 = _mm512_setzero_ps(), a3 = _mm512_setzero_ps();
    for (size_t i = 0; i < dim; i += 16) {
      __mmask16 m = float_mask(dim - i);
      __m512 q = _mm512_maskz_loadu_ps(m, query + i);
      a0 = _mm512_add_ps(a0, _mm512_mul_ps(q, _mm512_maskz_loadu_ps(m, r0 + i)));
      a1 = _mm512_add_ps(a1, _mm512_mul_ps(q, _mm512_maskz_loadu_ps(m, r0 + stride + i)));
      a2 = _mm512_add_ps(a2, _mm512_mul_ps(q, _mm512_maskz_loadu_ps(m, r0 + 2 * stride + i)));
      a3 = _mm512_add_ps(a3, _mm512_mul_ps(q, _mm512_maskz_loadu_ps(m, r0 + 3 * stride + i)));
    }
    out[r] = reduce16(a0);
    out[r + 1] = reduce16(a1);
    out[r + 2] = reduce16(a2);
    out[r + 3] = reduce16(a3);
  }
  for (; r < n_rows; ++r) out[r] = avx512_dot_f32_unordered(query, rows + r * stride, dim);
}

template <size_t NQ>
void panels_block(const float* queries, size_t query_stride, const float* panels, size_t n_panels,
                  size_t dim, float* out, size_t out_stride) {
  size_t p = 0;
  // Two panels per pass when NQ is small, so that enough independent sums are in flight.
  constexpr size_t NP = NQ <= 4 ? 2 : 1;
  for (; p + NP <= n_panels; p += NP) {
    const float* panel = panels + p * dim * F32_PANEL_WIDTH;
    __m512 acc[NP][NQ];
#pragma GCC unroll 16
    for (size_t j = 0; j < NP; ++j)
#pragma GCC unroll 16
      for (size_t q = 0; q < NQ; ++q) acc[j][q] = _mm512_setzero_ps();
    for (size_t t = 0; t < dim; ++t) {
      __m512 v[NP];
#pragma GCC unroll 16
      for (size_t j = 0; j < NP; ++j) {
        v[j] = _mm512_loadu_ps(panel + (j * dim + t) * F32_PANEL_WIDTH);
      }
#pragma GCC unroll 16
      for (size_t q = 0; q < NQ; ++q) {
        __m512 s = _mm512_set1_ps(queries[q * query_stride + t]);
#pragma GCC unroll 16
        for (size_t j = 0; j < NP; ++j)
          acc[j][q] = _mm512_add_ps(acc[j][q], _mm512_mul_ps(s, v[j]));
      }
    }
#pragma GCC unroll 16
    for (size_t j = 0; j < NP; ++j)
#pragma GCC unroll 16
      for (size_t q = 0; q < NQ; ++q)
        _mm512_storeu_ps(out + q * out_stride + (p + j) * F32_PANEL_WIDTH, acc[j][q]);
  }
  for (; p < n_panels; ++p) {
    const float* panel = panels + p * dim * F32_PANEL_WIDTH;
    __m512 acc[NQ];
#pragma GCC unroll 16
    for (size_t q = 0; q < NQ; ++q) acc[q] = _mm512_setzero_ps();
    for (size_t t = 0; t < dim; ++t) {
      __m512 v = _mm512_loadu_ps(panel + t * F32_PANEL_WIDTH);
#pragma GCC unroll 16
      for (size_t q = 0; q < NQ; ++q) {
        acc[q] =
            _mm512_add_ps(acc[q], _mm512_mul_ps(_mm512_set1_ps(queries[q * query_stride + t]), v));
      }
    }
#pragma GCC unroll 16
    for (size_t q = 0; q < NQ; ++q)
      _mm512_storeu_ps(out + q * out_stride + p * F32_PANEL_WIDTH, acc[q]);
  }
}

void avx512_dot_f32_panels(const float* queries, size_t n_queries, size_t query_stride,
                           const float* panels, size_t n_panels, size_t dim, float* out,
                           size_t out_stride) {
  size_t q = 0;
  for (; q + 8 <= n_queries; q += 8) {
    panels_block<8>(queries + q * query_stride, query_stride, panels, n_panels, dim,
                    out + q * out_stride, out_stride);
  }
  for (; q + 4 <= n_queries; q += 4) {
    panels_block<4>(queries + q * query_stride, query_stride, panels, n_panels, dim,
                    out + q * out_stride, out_stride);
  }
  for (; q < n_queries; ++q) {
    panels_block<1>(queries + q * query_stride, query_stride, panels, n_panels, dim,
                    out + q * out_stride, out_stride);
  }
}

// Offset-binary rows against signed query bytes: each 64-byte line holds one 4-value group of 16
// rows, so one VNNI step with the group's four query bytes broadcast adds the group to 16 row
// sums at once: sum((r + 128) * q) = dot(r, q) + 128 * sum(q). A panel's eight lines per group
// feed eight independent sums, read front to back.
void avx512_dot_i8_panels(const int8_t* query, const uint8_t* panels, size_t n_panels, size_t dim,
                          int32_t* out) {
  const size_t groups = (dim + 3) / 4;
  const size_t panel_bytes = groups * 8 * 64;
  uint32_t sum_q = 0;
  for (size_t t = 0; t < dim; ++t) sum_q += static_cast<uint32_t>(int32_t{query[t]});
  const __m512i bias = _mm512_set1_epi32(static_cast<int32_t>(sum_q * 128u));
  // The query as one 32-bit word per group of four codes, zero padded, prepared once (groups past
  // the prepared ones, for very wide keys, are packed as they come).
  constexpr size_t PREPARED_GROUPS = 512;
  auto pack = [&](size_t g) {
    uint32_t w = 0;
    for (size_t t = 0; t < 4 && g * 4 + t < dim; ++t) {
      w |= uint32_t{static_cast<uint8_t>(query[g * 4 + t])} << (8 * t);
    }
    return static_cast<int32_t>(w);
  };
  int32_t words[PREPARED_GROUPS];
  for (size_t g = 0; g < groups && g < PREPARED_GROUPS; ++g) words[g] = pack(g);
  for (size_t p = 0; p < n_panels; ++p) {
    const uint8_t* line = panels + p * panel_bytes;
    __m512i acc[8];
#pragma GCC unroll 8
    for (size_t j = 0; j < 8; ++j) acc[j] = _mm512_setzero_si512();
    for (size_t g = 0; g < groups; ++g, line += 8 * 64) {
      const __m512i q = _mm512_set1_epi32(g < PREPARED_GROUPS ? words[g] : pack(g));
#pragma GCC unroll 8
      for (size_t j = 0; j < 8; ++j) {
        acc[j] = _mm512_dpbusd_epi32(acc[j], _mm512_loadu_si512(line + j * 64), q);
      }
    }
#pragma GCC unroll 8
    for (size_t j = 0; j < 8; ++j) {
      _mm512_storeu_si512(out + p * 128 + j * 16, _mm512_sub_epi32(acc[j], bias));
    }
  }
}

// Rank key of simd_distance.h, kept local so that no header inline is compiled for this level.
inline uint32_t rank_key(float score) {
  if (score != score) return 0;
  if (score == 0.0f) score = 0.0f;
  uint32_t bits;
  __builtin_memcpy(&bits, &score, 4);
  return (bits & 0x80000000u) ? ~bits : (bits | 0x80000000u);
}

// The same keys for 16 scores at once.
inline __m512i rank_keys16(__m512 v) {
  const __m512i sign = _mm512_set1_epi32(static_cast<int32_t>(0x80000000u));
  __m512i bits = _mm512_castps_si512(v);
  bits = _mm512_mask_mov_epi32(bits, _mm512_cmp_ps_mask(v, _mm512_setzero_ps(), _CMP_EQ_OQ),
                               _mm512_setzero_si512());
  __mmask16 neg = _mm512_movepi32_mask(bits);
  __m512i key = _mm512_mask_blend_epi32(neg, _mm512_or_si512(bits, sign),
                                        _mm512_xor_si512(bits, _mm512_set1_epi32(-1)));
  return _mm512_mask_mov_epi32(key, _mm512_cmp_ps_mask(v, v, _CMP_UNORD_Q), _mm512_setzero_si512());
}

// Once k entries are held, sixteen scores at a time are compared with the k-th best key; only the
// few that beat it go through the scalar insertion.
size_t avx512_top_k_scores(const float* scores, const uint8_t* keep, size_t n, size_t k,
                           ScoredIndex* out, uint32_t* keys) {
  size_t m = 0, i = 0;
  auto one = [&](size_t at) {
    if (keep && !keep[at]) return;
    m = top_k_insert(out, keys, m, k, scores[at], static_cast<uint32_t>(at), rank_key(scores[at]));
  };
  for (; i < n && m < k; ++i) one(i);
  for (; i + 16 <= n; i += 16) {
    __mmask16 cand = _mm512_cmpgt_epu32_mask(rank_keys16(_mm512_loadu_ps(scores + i)),
                                             _mm512_set1_epi32(static_cast<int32_t>(keys[k - 1])));
    if (keep)
      cand &= _mm_test_epi8_mask(_mm_loadu_si128(reinterpret_cast<const __m128i*>(keep + i)),
                                 _mm_set1_epi8(-1));
    while (cand) {
      one(i + static_cast<size_t>(__builtin_ctz(cand)));
      cand &= static_cast<__mmask16>(cand - 1);
    }
  }
  for (; i < n; ++i) one(i);
  return m;
}

void avx512_scale_dots_i32(const int32_t* dots, const float* scales, float a, float b, size_t n,
                           float* out) {
  const __m512 va = _mm512_set1_ps(a), vb = _mm512_set1_ps(b);
  for (size_t i = 0; i < n; i += 16) {
    __mmask16 m = float_mask(n - i);
    __m512 d = _mm512_cvtepi32_ps(_mm512_maskz_loadu_epi32(m, dots + i));
    __m512 s = _mm512_mul_ps(_mm512_maskz_loadu_ps(m, scales + i), _mm512_mul_ps(va, d));
    _mm512_mask_storeu_ps(out + i, m, _mm512_mul_ps(vb, s));
  }
}

void avx512_accumulate_f32(float* acc, const float* x, size_t n) {
  for (size_t i = 0; i < n; i += 16) {
    __mmask16 m = float_mask(n - i);
    __m512 s = _mm512_add_ps(_mm512_maskz_loadu_ps(m, acc + i), _mm512_maskz_loadu_ps(m, x + i));
    _mm512_mask_storeu_ps(acc + i, m, s);
  }
}

void avx512_scale_f32(float* x, float s, size_t n) {
  const __m512 vs = _mm512_set1_ps(s);
  for (size_t i = 0; i < n; i += 16) {
    __mmask16 m = float_mask(n - i);
    _mm512_mask_storeu_ps(x + i, m, _mm512_mul_ps(_mm512_maskz_loadu_ps(m, x + i), vs));
  }
}

}  // namespace

const SimdKernels& avx512_kernels() {
  static const SimdKernels k{
      .dot_i8 = avx512_dot_i8,
      .dot_i8_many = avx512_dot_i8_many,
      .dot_f32_unordered = avx512_dot_f32_unordered,
      .dot_f32_many = avx512_dot_f32_many,
      .dot_f32_panels = avx512_dot_f32_panels,
      .dot_i8_panels = avx512_dot_i8_panels,
      .top_k_scores = avx512_top_k_scores,
      .scale_dots_i32 = avx512_scale_dots_i32,
      .accumulate_f32 = avx512_accumulate_f32,
      .scale_f32 = avx512_scale_f32,
  };
  return k;
}

}  // namespace quellmar::simd_internal
