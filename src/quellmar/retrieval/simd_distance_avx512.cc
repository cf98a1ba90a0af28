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

// The quantization of quantize_one, sixteen values at a time.
float avx512_quantize_i8(const float* values, size_t n, int8_t* codes) {
  const __m512 abs_mask = _mm512_castsi512_ps(_mm512_set1_epi32(0x7FFFFFFF));
  __m512 m = _mm512_setzero_ps();
  for (size_t i = 0; i < n; i += 16) {
    __m512 a = _mm512_and_ps(_mm512_maskz_loadu_ps(float_mask(n - i), values + i), abs_mask);
    m = _mm512_max_ps(a, m);  // a > m ? a : m, so a NaN never wins; the order is irrelevant
  }
  const float scale = quantize_scale(_mm512_reduce_max_ps(m));
  const __m512 inv = _mm512_set1_ps(1.0f / scale);
  const __m512 hi = _mm512_set1_ps(127.0f), lo = _mm512_set1_ps(-127.0f);
  const __m512 half = _mm512_set1_ps(0.5f), neg_half = _mm512_set1_ps(-0.5f);
  const __m512i one = _mm512_set1_epi32(1);
  for (size_t i = 0; i < n; i += 16) {
    const __mmask16 lanes = float_mask(n - i);
    __m512 v = _mm512_mul_ps(_mm512_maskz_loadu_ps(lanes, values + i), inv);
    const __mmask16 number = _mm512_cmp_ps_mask(v, v, _CMP_ORD_Q);
    v = _mm512_min_ps(_mm512_max_ps(v, lo), hi);
    __m512i t = _mm512_cvttps_epi32(v);
    __m512 frac = _mm512_sub_ps(v, _mm512_cvtepi32_ps(t));
    t = _mm512_mask_add_epi32(t, _mm512_cmp_ps_mask(frac, half, _CMP_GE_OQ), t, one);
    t = _mm512_mask_sub_epi32(t, _mm512_cmp_ps_mask(frac, neg_half, _CMP_LE_OQ), t, one);
    t = _mm512_maskz_mov_epi32(number, t);
    _mm_mask_storeu_epi8(codes + i, lanes, _mm512_cvtepi32_epi8(t));
  }
  return scale;
}

// The rank keys of 16 scores (rank_keys16) made back into the score they came from; -0 comes back
// as +0, which compares equal.
inline float score_of_key(uint32_t key) {
  uint32_t bits = (key & 0x80000000u) ? (key & 0x7FFFFFFFu) : ~key;
  float f;
  __builtin_memcpy(&f, &bits, 4);
  return f;
}

// acc += the VNNI step of (unsigned u, signed s), as one instruction on acc's own register: with
// the intrinsic, GCC at -O2 copies every sum to a scratch register and back around each step.
inline void dpbusd_in_place(__m512i& acc, __m512i u, __m512i s) {
  asm("vpdpbusd %2, %1, %0" : "+v"(acc) : "v"(u), "v"(s));
}

// One panel of avx512_top_k_i8_panels: writes its 128 scores and returns `bucket` raised, lane by
// lane, to the largest kept score of the panel.
template <class Pack>
__attribute__((noinline)) __m512 score_i8_panel(const uint8_t* line, const int32_t* words,
                                                size_t groups, const Pack& pack, __m512i bias,
                                                __m512 va, __m512 vb, const float* scales,
                                                const uint8_t* keep, float* score, __m512 bucket) {
  constexpr size_t PREPARED_GROUPS = 512;
  __m512i acc[8];
#pragma GCC unroll 8
  for (size_t j = 0; j < 8; ++j) acc[j] = _mm512_setzero_si512();
  const size_t prepared = groups < PREPARED_GROUPS ? groups : PREPARED_GROUPS;
  for (size_t g = 0; g < prepared; ++g, line += 8 * 64) {
    const __m512i q = _mm512_set1_epi32(words[g]);
#pragma GCC unroll 8
    for (size_t j = 0; j < 8; ++j) dpbusd_in_place(acc[j], _mm512_loadu_si512(line + j * 64), q);
  }
  for (size_t g = prepared; g < groups; ++g, line += 8 * 64) {
    const __m512i q = _mm512_set1_epi32(pack(g));
#pragma GCC unroll 8
    for (size_t j = 0; j < 8; ++j) {
      acc[j] = _mm512_dpbusd_epi32(acc[j], _mm512_loadu_si512(line + j * 64), q);
    }
  }
  const __m128i all_bits = _mm_set1_epi8(-1);
#pragma GCC unroll 8
  for (size_t j = 0; j < 8; ++j) {
    __m512 d = _mm512_mul_ps(va, _mm512_cvtepi32_ps(_mm512_sub_epi32(acc[j], bias)));
    __m512 sc = _mm512_mul_ps(vb, _mm512_mul_ps(_mm512_loadu_ps(scales + j * 16), d));
    _mm512_store_ps(score + j * 16, sc);
    __mmask16 kept = _mm_test_epi8_mask(
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(keep + j * 16)), all_bits);
    bucket = _mm512_mask_max_ps(bucket, kept, sc, bucket);  // sc > m ? sc : m: NaN never counts
  }
  return bucket;
}

// The int8 scan of avx512_dot_i8_panels with the score and the selection folded in, a chunk of
// panels at a time. The scan writes the chunk's scores to a buffer that stays in L1 and keeps,
// branch-free, the largest score of every bucket of 32 rows (one lane of four panels). k buckets
// hold a row at least as good as the k-th largest bucket maximum, so that value bounds the chunk's
// k-th best from below; a second pass over the buffer offers the selection only the few rows at or
// above it, in index order, which keeps the result exactly that of offering every row.
size_t avx512_top_k_i8_panels(const int8_t* query, const uint8_t* panels, size_t n_panels,
                              size_t dim, const float* scales, const uint8_t* keep, float a,
                              float b, size_t k, ScoredIndex* out, uint32_t* keys) {
  constexpr size_t CHUNK_PANELS = 32, BUCKET_PANELS = 4;
  constexpr size_t CHUNK_BUCKETS = CHUNK_PANELS / BUCKET_PANELS;  // vectors of 16 buckets
  const size_t groups = (dim + 3) / 4;
  const size_t panel_bytes = groups * 8 * 64;
  uint32_t sum_q = 0;
  for (size_t t = 0; t < dim; ++t) sum_q += static_cast<uint32_t>(int32_t{query[t]});
  // sum((c + 128) * q) = dot + 128 * sum(q), as i32 (wrapping).
  const __m512i bias = _mm512_set1_epi32(static_cast<int32_t>(sum_q * 128u));
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
  const __m512 va = _mm512_set1_ps(a), vb = _mm512_set1_ps(b);
  const __m512 neg_inf = _mm512_set1_ps(-__builtin_inff());
  const __m128i all_bits = _mm_set1_epi8(-1);
  TopKStream top{out, keys, k};
  alignas(64) float score[CHUNK_PANELS * I8_PANEL_WIDTH];
  for (size_t first = 0; first < n_panels; first += CHUNK_PANELS) {
    const size_t count = n_panels - first < CHUNK_PANELS ? n_panels - first : CHUNK_PANELS;
    __m512 bucket[CHUNK_BUCKETS];
#pragma GCC unroll 8
    for (size_t i = 0; i < CHUNK_BUCKETS; ++i) bucket[i] = neg_inf;
    for (size_t c = 0; c < count; ++c) {
      const size_t p = first + c;
      // One small function per panel keeps GCC's register allocation of the sums clean.
      bucket[c / BUCKET_PANELS] = score_i8_panel(
          panels + p * panel_bytes, words, groups, pack, bias, va, vb, scales + p * I8_PANEL_WIDTH,
          keep + p * I8_PANEL_WIDTH, score + c * I8_PANEL_WIDTH, bucket[c / BUCKET_PANELS]);
    }
    // The k-th largest bucket maximum, by bisection on the rank keys; buckets holding no number
    // above -inf do not count. Too few such buckets: every kept row is offered.
    const uint32_t floor_key = local_rank_key(-__builtin_inff());
    __m512i bucket_key[CHUNK_BUCKETS];
    size_t valid = 0;
#pragma GCC unroll 8
    for (size_t i = 0; i < CHUNK_BUCKETS; ++i) {
      bucket_key[i] = rank_keys16(bucket[i]);
      valid += static_cast<size_t>(__builtin_popcount(
          _mm512_cmpgt_epu32_mask(bucket_key[i], _mm512_set1_epi32(int32_t(floor_key)))));
    }
    bool offer_all = valid < k;
    float bound = 0.0f;
    if (!offer_all) {
      // Only the top 16 bits of the key: a bound up to 2^16 keys lower is still a lower bound,
      // and costs a few more rows in the second pass rather than 16 more steps here.
      uint32_t t = 0;
      for (int bit = 31; bit >= 16; --bit) {
        const uint32_t probe = t | (1u << bit);
        const __m512i vp = _mm512_set1_epi32(static_cast<int32_t>(probe));
        size_t at_least = 0;
#pragma GCC unroll 8
        for (size_t i = 0; i < CHUNK_BUCKETS; ++i) {
          at_least +=
              static_cast<size_t>(__builtin_popcount(_mm512_cmpge_epu32_mask(bucket_key[i], vp)));
        }
        if (at_least >= k) t = probe;
      }
      bound = score_of_key(t);
    }
    const __m512 vbound = _mm512_set1_ps(bound);
    for (size_t v = 0; v < count * 8; ++v) {
      // A bucket group whose maxima are all below the bound holds no row to offer.
      if (v % (BUCKET_PANELS * 8) == 0 && !offer_all &&
          _mm512_cmp_ps_mask(bucket[v / (BUCKET_PANELS * 8)], vbound, _CMP_GE_OQ) == 0) {
        v += BUCKET_PANELS * 8 - 1;
        continue;
      }
      const size_t at = first * I8_PANEL_WIDTH + v * 16;
      const __m512 sc = _mm512_load_ps(score + v * 16);
      __mmask16 lanes = offer_all ? __mmask16(0xFFFF) : _mm512_cmp_ps_mask(sc, vbound, _CMP_GE_OQ);
      if (lanes == 0) continue;
      lanes &= _mm_test_epi8_mask(_mm_loadu_si128(reinterpret_cast<const __m128i*>(keep + at)),
                                  all_bits);
      while (lanes) {
        unsigned l = static_cast<unsigned>(__builtin_ctz(lanes));
        lanes &= static_cast<__mmask16>(lanes - 1);
        top.offer(score[v * 16 + l], static_cast<uint32_t>(at + l));
      }
    }
  }
  return top.m;
}

// The float scan of panels_block<1> (two panels side by side, each lane summing its row in index
// order) with the score f * dot and the selection folded in. The panels ahead are prefetched far
// enough to cover the memory latency, across page boundaries, which the hardware does not.
size_t avx512_top_k_f32_panels(const float* query, const float* panels, size_t n_rows, size_t dim,
                               float f, const uint8_t* keep, size_t k, ScoredIndex* out,
                               uint32_t* keys) {
  constexpr size_t PREFETCH_BYTES = 8192;
  const size_t n_panels = (n_rows + F32_PANEL_WIDTH - 1) / F32_PANEL_WIDTH;
  const size_t panel_floats = dim * F32_PANEL_WIDTH;
  const __m512 vf = _mm512_set1_ps(f);
  TopKStream top{out, keys, k};
  bool filtering = false;
  __m512 threshold = _mm512_setzero_ps();
  auto select = [&](__m512 score, size_t base) {
    __mmask16 lanes = n_rows - base >= 16 ? __mmask16(0xFFFF) : float_mask(n_rows - base);
    if (filtering) lanes &= _mm512_cmp_ps_mask(score, threshold, _CMP_GT_OQ);
    if (lanes == 0) return;
    if (keep) {
      lanes &= _mm_test_epi8_mask(_mm_maskz_loadu_epi8(lanes, keep + base), _mm_set1_epi8(-1));
    }
    alignas(64) float s[16];
    _mm512_store_ps(s, score);
    while (lanes) {
      unsigned l = static_cast<unsigned>(__builtin_ctz(lanes));
      lanes &= static_cast<__mmask16>(lanes - 1);
      top.offer(s[l], static_cast<uint32_t>(base + l));
      if (top.filtering()) {
        filtering = true;
        threshold = _mm512_set1_ps(top.threshold());
      }
    }
  };
  size_t p = 0;
  for (; p + 2 <= n_panels; p += 2) {
    const float* panel = panels + p * panel_floats;
    const char* ahead = reinterpret_cast<const char*>(panel) + PREFETCH_BYTES;
    for (size_t b = 0; b < 2 * panel_floats * sizeof(float); b += 64) {
      _mm_prefetch(ahead + b, _MM_HINT_T0);
    }
    __m512 acc0 = _mm512_setzero_ps(), acc1 = _mm512_setzero_ps();
    for (size_t t = 0; t < dim; ++t) {
      const __m512 s = _mm512_set1_ps(query[t]);
      acc0 = _mm512_add_ps(acc0, _mm512_mul_ps(s, _mm512_loadu_ps(panel + t * F32_PANEL_WIDTH)));
      acc1 = _mm512_add_ps(
          acc1, _mm512_mul_ps(s, _mm512_loadu_ps(panel + panel_floats + t * F32_PANEL_WIDTH)));
    }
    select(_mm512_mul_ps(vf, acc0), p * F32_PANEL_WIDTH);
    select(_mm512_mul_ps(vf, acc1), (p + 1) * F32_PANEL_WIDTH);
  }
  for (; p < n_panels; ++p) {
    const float* panel = panels + p * panel_floats;
    __m512 acc = _mm512_setzero_ps();
    for (size_t t = 0; t < dim; ++t) {
      acc = _mm512_add_ps(acc, _mm512_mul_ps(_mm512_set1_ps(query[t]),
                                             _mm512_loadu_ps(panel + t * F32_PANEL_WIDTH)));
    }
    select(_mm512_mul_ps(vf, acc), p * F32_PANEL_WIDTH);
  }
  return top.m;
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

void avx512_accumulate_f32_repeated(float* acc, const float* x, size_t n, size_t times) {
  for (size_t i = 0; i < n; i += 16) {
    const __mmask16 m = float_mask(n - i);
    const __m512 v = _mm512_maskz_loadu_ps(m, x + i);
    __m512 sum = _mm512_maskz_loadu_ps(m, acc + i);
    for (size_t r = 0; r < times; ++r) sum = _mm512_add_ps(sum, v);
    _mm512_mask_storeu_ps(acc + i, m, sum);
  }
}

void avx512_divide_f32(const float* x, float d, float* out, size_t n) {
  const __m512 vd = _mm512_set1_ps(d);
  for (size_t i = 0; i < n; i += 16) {
    const __mmask16 m = float_mask(n - i);
    _mm512_mask_storeu_ps(out + i, m, _mm512_maskz_div_ps(m, _mm512_maskz_loadu_ps(m, x + i), vd));
  }
}

// _CMP_NLT_UQ is !(a < b): true where either side is NaN, as the scalar comparison is.
void avx512_lanes_not_below(const float* scores, size_t n, float threshold, const float* thresholds,
                            uint64_t* mask) {
  const __m512 vt = _mm512_set1_ps(threshold);
  fill_lane_mask(n, mask, [&](size_t begin, size_t end) {
    uint64_t bits = 0;
    for (size_t i = begin; i < end; i += 16) {
      const __mmask16 m = float_mask(end - i);
      const __m512 v = _mm512_maskz_loadu_ps(m, scores + i);
      __mmask16 pass = _mm512_mask_cmp_ps_mask(m, v, vt, _CMP_NLT_UQ);
      if (thresholds != nullptr) {
        pass |=
            _mm512_mask_cmp_ps_mask(m, v, _mm512_maskz_loadu_ps(m, thresholds + i), _CMP_NLT_UQ);
      }
      bits |= uint64_t{pass} << (i - begin);
    }
    return bits;
  });
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
      .quantize_i8 = avx512_quantize_i8,
      .top_k_i8_panels = avx512_top_k_i8_panels,
      .top_k_f32_panels = avx512_top_k_f32_panels,
      .accumulate_f32 = avx512_accumulate_f32,
      .scale_f32 = avx512_scale_f32,
      .accumulate_f32_repeated = avx512_accumulate_f32_repeated,
      .divide_f32 = avx512_divide_f32,
      .lanes_not_below = avx512_lanes_not_below,
  };
  return k;
}

}  // namespace quellmar::simd_internal
