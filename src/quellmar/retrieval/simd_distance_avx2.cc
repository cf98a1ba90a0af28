// AVX2 level of the retrieval kernels. Products and sums are separate instructions (no fused
// multiply-add), so every lane rounds exactly as the scalar level does.

// GCC contracts a separate multiply and add into one fused instruction unless told not to; the
// kernels promise the rounding of the scalar level, so contraction stays off in this file.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC optimize("fp-contract=off")
#endif

#include <immintrin.h>

#include <cstring>

#include "quellmar/retrieval/simd_distance.h"
#include "quellmar/retrieval/simd_kernels.h"

namespace quellmar::simd_internal {
namespace {

inline int32_t hsum_epi32(__m256i v) {
  __m128i s = _mm_add_epi32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
  s = _mm_add_epi32(s, _mm_shuffle_epi32(s, _MM_SHUFFLE(1, 0, 3, 2)));
  s = _mm_add_epi32(s, _mm_shuffle_epi32(s, _MM_SHUFFLE(2, 3, 0, 1)));
  return _mm_cvtsi128_si32(s);
}

// Sign-extends 16 codes to 16 bits and multiply-adds them pairwise: exact, no saturation.
inline __m256i madd_i8x16(const int8_t* a, const int8_t* b) {
  __m256i va = _mm256_cvtepi8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(a)));
  __m256i vb = _mm256_cvtepi8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(b)));
  return _mm256_madd_epi16(va, vb);
}

inline uint32_t tail_dot_i8(const int8_t* a, const int8_t* b, size_t from, size_t n) {
  uint32_t sum = 0;
  for (size_t i = from; i < n; ++i) {
    sum += static_cast<uint32_t>(static_cast<int32_t>(a[i]) * static_cast<int32_t>(b[i]));
  }
  return sum;
}

int32_t avx2_dot_i8(const int8_t* a, const int8_t* b, size_t n) {
  __m256i acc0 = _mm256_setzero_si256(), acc1 = _mm256_setzero_si256();
  size_t i = 0;
  for (; i + 32 <= n; i += 32) {
    acc0 = _mm256_add_epi32(acc0, madd_i8x16(a + i, b + i));
    acc1 = _mm256_add_epi32(acc1, madd_i8x16(a + i + 16, b + i + 16));
  }
  for (; i + 16 <= n; i += 16) acc0 = _mm256_add_epi32(acc0, madd_i8x16(a + i, b + i));
  uint32_t sum = static_cast<uint32_t>(hsum_epi32(_mm256_add_epi32(acc0, acc1)));
  return static_cast<int32_t>(sum + tail_dot_i8(a, b, i, n));
}

void avx2_dot_i8_many(const int8_t* query, const int8_t* rows, size_t n_rows, size_t dim,
                      size_t stride, int32_t* out) {
  size_t r = 0;
  for (; r + 2 <= n_rows; r += 2) {
    const int8_t* r0 = rows + r * stride;
    const int8_t* r1 = r0 + stride;
    __m256i a0 = _mm256_setzero_si256(), a1 = _mm256_setzero_si256();
    size_t i = 0;
    for (; i + 16 <= dim; i += 16) {
      __m256i q =
          _mm256_cvtepi8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(query + i)));
      __m256i v0 = _mm256_cvtepi8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(r0 + i)));
      __m256i v1 = _mm256_cvtepi8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(r1 + i)));
      a0 = _mm256_add_epi32(a0, _mm256_madd_epi16(q, v0));
      a1 = _mm256_add_epi32(a1, _mm256_madd_epi16(q, v1));
    }
    out[r] = static_cast<int32_t>(static_cast<uint32_t>(hsum_epi32(a0)) +
                                  tail_dot_i8(query, r0, i, dim));
    out[r + 1] = static_cast<int32_t>(static_cast<uint32_t>(hsum_epi32(a1)) +
                                      tail_dot_i8(query, r1, i, dim));
  }
  for (; r < n_rows; ++r) out[r] = avx2_dot_i8(query, rows + r * stride, dim);
}

// Mask of the first `count` (0..8) lanes.
inline __m256i lane_mask(size_t count) {
  static const int32_t table[16] = {-1, -1, -1, -1, -1, -1, -1, -1, 0, 0, 0, 0, 0, 0, 0, 0};
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(table + 8 - count));
}

// Sixteen lanes as two registers: lanes 0..7 in lo, 8..15 in hi.
inline float reduce16(__m256 lo, __m256 hi) {
  __m256 s8 = _mm256_add_ps(lo, hi);  // lane l + lane l+8
  __m128 s4 = _mm_add_ps(_mm256_castps256_ps128(s8), _mm256_extractf128_ps(s8, 1));  // l + l+4
  __m128 s2 = _mm_add_ps(s4, _mm_movehl_ps(s4, s4));                                 // l + l+2
  __m128 s1 = _mm_add_ss(s2, _mm_shuffle_ps(s2, s2, 1));                             // 0 + 1
  return _mm_cvtss_f32(s1);
}

// Adds a[i] * b[i] for i in [from, n) (n - from < 16) into the two lane registers.
inline void tail_f32(const float* a, const float* b, size_t from, size_t n, __m256& lo,
                     __m256& hi) {
  size_t left = n - from;
  size_t n_lo = left < 8 ? left : 8;
  size_t n_hi = left - n_lo;
  __m256i m_lo = lane_mask(n_lo), m_hi = lane_mask(n_hi);
  __m256 p_lo =
      _mm256_mul_ps(_mm256_maskload_ps(a + from, m_lo), _mm256_maskload_ps(b + from, m_lo));
  lo = _mm256_add_ps(lo, p_lo);
  if (n_hi) {
    __m256 p_hi = _mm256_mul_ps(_mm256_maskload_ps(a + from + 8, m_hi),
                                _mm256_maskload_ps(b + from + 8, m_hi));
    hi = _mm256_add_ps(hi, p_hi);
  }
}

float avx2_dot_f32_unordered(const float* a, const float* b, size_t n) {
  __m256 lo = _mm256_setzero_ps(), hi = _mm256_setzero_ps();
  size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    lo = _mm256_add_ps(lo, _mm256_mul_ps(_mm256_loadu_ps(a + i), _mm256_loadu_ps(b + i)));
    hi = _mm256_add_ps(hi, _mm256_mul_ps(_mm256_loadu_ps(a + i + 8), _mm256_loadu_ps(b + i + 8)));
  }
  if (i < n) tail_f32(a, b, i, n, lo, hi);
  return reduce16(lo, hi);
}

void avx2_dot_f32_many(const float* query, const float* rows, size_t n_rows, size_t dim,
                       size_t stride, float* out) {
  size_t r = 0;
  for (; r + 2 <= n_rows; r += 2) {
    const float* r0 = rows + r * stride;
    const float* r1 = r0 + stride;
    __m256 lo0 = _mm256_setzero_ps(), hi0 = _mm256_setzero_ps();
    __m256 lo1 = _mm256_setzero_ps(), hi1 = _mm256_setzero_ps();
    size_t i = 0;
    for (; i + 16 <= dim; i += 16) {
      __m256 qlo = _mm256_loadu_ps(query + i), qhi = _mm256_loadu_ps(query + i + 8);
      lo0 = _mm256_add_ps(lo0, _mm256_mul_ps(qlo, _mm256_loadu_ps(r0 + i)));
      hi0 = _mm256_add_ps(hi0, _mm256_mul_ps(qhi, _mm256_loadu_ps(r0 + i + 8)));
      lo1 = _mm256_add_ps(lo1, _mm256_mul_ps(qlo, _mm256_loadu_ps(r1 + i)));
      hi1 = _mm256_add_ps(hi1, _mm256_mul_ps(qhi, _mm256_loadu_ps(r1 + i + 8)));
    }
    if (i < dim) {
      tail_f32(query, r0, i, dim, lo0, hi0);
      tail_f32(query, r1, i, dim, lo1, hi1);
    }
    out[r] = reduce16(lo0, hi0);
    out[r + 1] = reduce16(lo1, hi1);
  }
  for (; r < n_rows; ++r) out[r] = avx2_dot_f32_unordered(query, rows + r * stride, dim);
}

template <size_t NQ>
void panels_block(const float* queries, size_t query_stride, const float* panels, size_t n_panels,
                  size_t dim, float* out, size_t out_stride) {
  for (size_t p = 0; p < n_panels; ++p) {
    const float* panel = panels + p * dim * F32_PANEL_WIDTH;
    __m256 lo[NQ], hi[NQ];
#pragma GCC unroll 16
    for (size_t q = 0; q < NQ; ++q) lo[q] = hi[q] = _mm256_setzero_ps();
    for (size_t t = 0; t < dim; ++t) {
      __m256 vlo = _mm256_loadu_ps(panel + t * F32_PANEL_WIDTH);
      __m256 vhi = _mm256_loadu_ps(panel + t * F32_PANEL_WIDTH + 8);
#pragma GCC unroll 16
      for (size_t q = 0; q < NQ; ++q) {
        __m256 s = _mm256_broadcast_ss(queries + q * query_stride + t);
        lo[q] = _mm256_add_ps(lo[q], _mm256_mul_ps(s, vlo));
        hi[q] = _mm256_add_ps(hi[q], _mm256_mul_ps(s, vhi));
      }
    }
#pragma GCC unroll 16
    for (size_t q = 0; q < NQ; ++q) {
      float* o = out + q * out_stride + p * F32_PANEL_WIDTH;
      _mm256_storeu_ps(o, lo[q]);
      _mm256_storeu_ps(o + 8, hi[q]);
    }
  }
}

void avx2_dot_f32_panels(const float* queries, size_t n_queries, size_t query_stride,
                         const float* panels, size_t n_panels, size_t dim, float* out,
                         size_t out_stride) {
  size_t q = 0;
  for (; q + 4 <= n_queries; q += 4) {
    panels_block<4>(queries + q * query_stride, query_stride, panels, n_panels, dim,
                    out + q * out_stride, out_stride);
  }
  for (; q < n_queries; ++q) {
    panels_block<1>(queries + q * query_stride, query_stride, panels, n_panels, dim,
                    out + q * out_stride, out_stride);
  }
}

// Rank key of simd_distance.h, kept local so that no header inline is compiled for this level.
inline uint32_t rank_key(float score) {
  if (score != score) return 0;
  if (score == 0.0f) score = 0.0f;
  uint32_t bits;
  std::memcpy(&bits, &score, 4);
  return (bits & 0x80000000u) ? ~bits : (bits | 0x80000000u);
}

size_t avx2_top_k_scores(const float* scores, const uint8_t* keep, size_t n, size_t k,
                         ScoredIndex* out, uint32_t* keys) {
  size_t m = 0;
  for (size_t i = 0; i < n; ++i) {
    if (keep && !keep[i]) continue;
    m = top_k_insert(out, keys, m, k, scores[i], static_cast<uint32_t>(i), rank_key(scores[i]));
  }
  return m;
}

// Sign-extends the 32 codes of one 64-byte group line half (8 rows x 4 values) and multiplies
// them pairwise with the group's four query values: 2 partial sums per row.
inline void i8_group_madd(const uint8_t* line, __m256i q_pattern, __m256i flip, __m256i& acc_lo,
                          __m256i& acc_hi) {
  __m256i v = _mm256_xor_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(line)), flip);
  __m256i lo = _mm256_cvtepi8_epi16(_mm256_castsi256_si128(v));       // rows 0..3
  __m256i hi = _mm256_cvtepi8_epi16(_mm256_extracti128_si256(v, 1));  // rows 4..7
  acc_lo = _mm256_add_epi32(acc_lo, _mm256_madd_epi16(lo, q_pattern));
  acc_hi = _mm256_add_epi32(acc_hi, _mm256_madd_epi16(hi, q_pattern));
}

// [r0a r0b r1a r1b | r2a r2b r3a r3b] and the same for rows 4..7 -> the eight row totals.
inline __m256i row_totals(__m256i a, __m256i b) {
  __m256i h = _mm256_hadd_epi32(a, b);  // r0 r1 r4 r5 | r2 r3 r6 r7
  return _mm256_permute4x64_epi64(h, _MM_SHUFFLE(3, 1, 2, 0));
}

void avx2_dot_i8_panels(const int8_t* query, const uint8_t* panels, size_t n_panels, size_t dim,
                        int32_t* out) {
  const size_t groups = (dim + 3) / 4;
  const size_t panel_bytes = groups * 8 * 64;
  const __m256i flip = _mm256_set1_epi8(static_cast<char>(0x80));
  for (size_t p = 0; p < n_panels; ++p) {
    const uint8_t* panel = panels + p * panel_bytes;
    for (size_t sub = 0; sub < 8; ++sub) {
      __m256i a0 = _mm256_setzero_si256(), a1 = a0, a2 = a0, a3 = a0;
      for (size_t g = 0; g < groups; ++g) {
        int16_t q[4] = {0, 0, 0, 0};
        for (size_t t = 0; t < 4 && g * 4 + t < dim; ++t) q[t] = query[g * 4 + t];
        __m256i pattern = _mm256_setr_epi16(q[0], q[1], q[2], q[3], q[0], q[1], q[2], q[3], q[0],
                                            q[1], q[2], q[3], q[0], q[1], q[2], q[3]);
        const uint8_t* line = panel + (g * 8 + sub) * 64;
        i8_group_madd(line, pattern, flip, a0, a1);
        i8_group_madd(line + 32, pattern, flip, a2, a3);
      }
      int32_t* o = out + p * 128 + sub * 16;
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(o), row_totals(a0, a1));
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(o + 8), row_totals(a2, a3));
    }
  }
}

void avx2_scale_dots_i32(const int32_t* dots, const float* scales, float a, float b, size_t n,
                         float* out) {
  const __m256 va = _mm256_set1_ps(a), vb = _mm256_set1_ps(b);
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    __m256 d = _mm256_cvtepi32_ps(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(dots + i)));
    __m256 s = _mm256_mul_ps(_mm256_loadu_ps(scales + i), _mm256_mul_ps(va, d));
    _mm256_storeu_ps(out + i, _mm256_mul_ps(vb, s));
  }
  for (; i < n; ++i) out[i] = b * (scales[i] * (a * static_cast<float>(dots[i])));
}

// One panel at a time: its dots and scores stay in a small buffer that the selection reads.
size_t avx2_top_k_i8_panels(const int8_t* query, const uint8_t* panels, size_t n_panels, size_t dim,
                            const float* scales, const uint8_t* keep, float a, float b, size_t k,
                            ScoredIndex* out, uint32_t* keys) {
  TopKStream top{out, keys, k};
  int32_t dots[I8_PANEL_WIDTH];
  float scores[I8_PANEL_WIDTH];
  for (size_t p = 0; p < n_panels; ++p) {
    const size_t base = p * I8_PANEL_WIDTH;
    avx2_dot_i8_panels(query, panels + p * i8_panel_bytes(dim), 1, dim, dots);
    avx2_scale_dots_i32(dots, scales + base, a, b, I8_PANEL_WIDTH, scores);
    for (size_t l = 0; l < I8_PANEL_WIDTH; ++l) {
      if (keep[base + l]) top.offer(scores[l], static_cast<uint32_t>(base + l));
    }
  }
  return top.m;
}

size_t avx2_top_k_f32_panels(const float* query, const float* panels, size_t n_rows, size_t dim,
                             float f, const uint8_t* keep, size_t k, ScoredIndex* out,
                             uint32_t* keys) {
  TopKStream top{out, keys, k};
  float dots[F32_PANEL_WIDTH];
  const __m256 vf = _mm256_set1_ps(f);
  for (size_t p = 0; p * F32_PANEL_WIDTH < n_rows; ++p) {
    const size_t base = p * F32_PANEL_WIDTH;
    avx2_dot_f32_panels(query, 1, dim, panels + p * dim * F32_PANEL_WIDTH, 1, dim, dots,
                        F32_PANEL_WIDTH);
    _mm256_storeu_ps(dots, _mm256_mul_ps(vf, _mm256_loadu_ps(dots)));
    _mm256_storeu_ps(dots + 8, _mm256_mul_ps(vf, _mm256_loadu_ps(dots + 8)));
    for (size_t l = 0; l < F32_PANEL_WIDTH && base + l < n_rows; ++l) {
      if (!keep || keep[base + l]) top.offer(dots[l], static_cast<uint32_t>(base + l));
    }
  }
  return top.m;
}

void avx2_accumulate_f32(float* acc, const float* x, size_t n) {
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    _mm256_storeu_ps(acc + i, _mm256_add_ps(_mm256_loadu_ps(acc + i), _mm256_loadu_ps(x + i)));
  }
  for (; i < n; ++i) acc[i] += x[i];
}

void avx2_scale_f32(float* x, float s, size_t n) {
  __m256 vs = _mm256_set1_ps(s);
  size_t i = 0;
  for (; i + 8 <= n; i += 8) _mm256_storeu_ps(x + i, _mm256_mul_ps(_mm256_loadu_ps(x + i), vs));
  for (; i < n; ++i) x[i] *= s;
}

}  // namespace

const SimdKernels& avx2_kernels() {
  static const SimdKernels k{
      .dot_i8 = avx2_dot_i8,
      .dot_i8_many = avx2_dot_i8_many,
      .dot_f32_unordered = avx2_dot_f32_unordered,
      .dot_f32_many = avx2_dot_f32_many,
      .dot_f32_panels = avx2_dot_f32_panels,
      .dot_i8_panels = avx2_dot_i8_panels,
      .top_k_scores = avx2_top_k_scores,
      .scale_dots_i32 = avx2_scale_dots_i32,
      .quantize_i8 = portable_quantize_i8,
      .top_k_i8_panels = avx2_top_k_i8_panels,
      .top_k_f32_panels = avx2_top_k_f32_panels,
      .accumulate_f32 = avx2_accumulate_f32,
      .scale_f32 = avx2_scale_f32,
  };
  return k;
}

}  // namespace quellmar::simd_internal
