// AVX2 level of the retrieval kernels. Products and sums are separate instructions (no fused
// multiply-add), so every lane rounds exactly as the scalar level does.

// GCC contracts a separate multiply and add into one fused instruction unless told not to; the
// kernels promise the rounding of the scalar level, so contraction stays off in this file.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC optimize("fp-contract=off")
#endif

#include <immintrin.h>

#include <cstring>
#include <vector>

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

// The int8 panel scan. maddubs multiplies unsigned by signed bytes and adds neighbouring products
// into an i16 with saturation; the stored offset-binary bytes u = code + 128 (0..255) are its
// unsigned side as they are, the query codes its signed side. A pair u0 * q0 + u1 * q1 lies
// between 255 * (the negative one of q0, q1) and 255 * (the positive one) when the two codes
// differ in sign, and between 0 and 255 * (q0 + q1) when they share it, so it stays exact whenever
// |q0 + q1| <= 128 (255 * 128 = 32640), which most pairs of a query meet; a group of four query
// codes with a pair that does not is split into two halves that each do, and the second half is
// added by a second, short pass over those groups only. madd with ones then adds each row's two
// pairs into one i32, and sum(u * q) = dot + 128 * sum(q) gives the dot. Integer sums are exact in
// any order, so the split changes nothing in the results.
struct I8Query {
  static constexpr size_t STACK_GROUPS = 512;
  size_t groups = 0, n_split = 0;
  int32_t* words = nullptr;   // per group: the query codes, or the first half of a split group
  int32_t* rest = nullptr;    // per split group: the second half
  uint32_t* split = nullptr;  // the split groups, in increasing order
  __m256i bias;               // 128 * sum(q), wrapping like i32
  int32_t stack[3 * STACK_GROUPS];
  std::vector<int32_t> heap;  // for keys wider than 4 * STACK_GROUPS values

  // Whether both pairs of the word's four codes have |q0 + q1| <= 128.
  static bool fits(uint32_t w) {
    auto pair = [&](int t) {
      return int32_t{static_cast<int8_t>(static_cast<uint8_t>(w >> (8 * t)))} +
             int32_t{static_cast<int8_t>(static_cast<uint8_t>(w >> (8 * t + 8)))};
    };
    auto small = [](int32_t s) { return s >= -128 && s <= 128; };
    return small(pair(0)) && small(pair(2));
  }
  // Replaces group g's word by its first half and records the second.
  void add_split(size_t g) {
    const uint32_t w = static_cast<uint32_t>(words[g]);
    uint32_t first = 0, second = 0;
    for (int t = 0; t < 4; ++t) {
      // Halves of at most 64 in magnitude each: q / 2 (towards zero) and the remainder.
      const int32_t v = static_cast<int8_t>(static_cast<uint8_t>(w >> (8 * t)));
      const int32_t a = v / 2;
      first |= uint32_t{static_cast<uint8_t>(a)} << (8 * t);
      second |= uint32_t{static_cast<uint8_t>(v - a)} << (8 * t);
    }
    words[g] = static_cast<int32_t>(first);
    rest[n_split] = static_cast<int32_t>(second);
    split[n_split++] = static_cast<uint32_t>(g);
  }

  I8Query(const int8_t* query, size_t dim) {
    groups = (dim + 3) / 4;
    int32_t* base = stack;
    if (groups > STACK_GROUPS) {
      heap.resize(3 * groups);
      base = heap.data();
    }
    words = base;
    rest = base + groups;
    split = reinterpret_cast<uint32_t*>(base + 2 * groups);
    // The query's bytes are the words of every group that needs no split; the checks run eight
    // groups at a time.
    const size_t full = dim / 32 * 8;  // groups in whole 32-byte blocks
    const __m256i ones_i8 = _mm256_set1_epi8(1), ones_i16 = _mm256_set1_epi16(1);
    const __m256i limit = _mm256_set1_epi16(128);
    __m256i sum = _mm256_setzero_si256();
    for (size_t g = 0; g < full; g += 8) {
      const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(query + g * 4));
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(words + g), v);
      // q0 + q1 per pair, exact in i16; over 128 in magnitude in some pair: split.
      const __m256i pairs = _mm256_maddubs_epi16(ones_i8, v);
      sum = _mm256_add_epi32(sum, _mm256_madd_epi16(pairs, ones_i16));
      const __m256i over_limit = _mm256_cmpgt_epi16(_mm256_abs_epi16(pairs), limit);
      const __m256i ok = _mm256_cmpeq_epi32(over_limit, _mm256_setzero_si256());
      unsigned over = ~static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(ok))) & 0xFFu;
      for (; over; over &= over - 1) add_split(g + static_cast<size_t>(__builtin_ctz(over)));
    }
    uint32_t sum_q = static_cast<uint32_t>(hsum_epi32(sum));
    for (size_t g = full; g < groups; ++g) {
      uint32_t w = 0;
      for (size_t t = 0; t < 4 && g * 4 + t < dim; ++t) {
        sum_q += static_cast<uint32_t>(int32_t{query[g * 4 + t]});
        w |= uint32_t{static_cast<uint8_t>(query[g * 4 + t])} << (8 * t);
      }
      words[g] = static_cast<int32_t>(w);
      if (!fits(w)) add_split(g);
    }
    bias = _mm256_set1_epi32(static_cast<int32_t>(sum_q * 128u));
  }
};

// One half panel (64 rows, from `line`, the half's first line of group 0) into eight vectors of
// 8 exact row dots, rows in order. The main pass prefetches the lines 4 KiB ahead: the hardware
// alone keeps fewer reads in flight than the scan can use.
__attribute__((always_inline)) inline void scan_i8_half_panel(const uint8_t* line, const I8Query& q,
                                                             __m256i acc[8]) {
  constexpr size_t PREFETCH_BYTES = 4096;
  const __m256i ones = _mm256_set1_epi16(1);
  // Named sums rather than an array: GCC keeps an array's elements in memory across the loop.
  __m256i a0 = _mm256_setzero_si256(), a1 = a0, a2 = a0, a3 = a0, a4 = a0, a5 = a0, a6 = a0,
          a7 = a0;
  // sum += madd(maddubs(32 bytes at `at`, w), ones), as one block on sum's own register: left to
  // itself, GCC loads a whole group ahead and runs out of registers for the sums.
  auto step = [&](__m256i& sum, const uint8_t* at, __m256i w) {
    __m256i t;
    asm("vmovdqu %[mem], %[t]\n\t"
        "vpmaddubsw %[w], %[t], %[t]\n\t"
        "vpmaddwd %[ones], %[t], %[t]\n\t"
        "vpaddd %[t], %[sum], %[sum]"
        : [sum] "+x"(sum), [t] "=&x"(t)
        : [mem] "m"(*reinterpret_cast<const __m256i_u*>(at)), [w] "x"(w), [ones] "x"(ones));
  };
  auto group = [&](const uint8_t* at, int32_t word) {
    const __m256i w = _mm256_set1_epi32(word);
    step(a0, at, w);
    step(a1, at + 32, w);
    step(a2, at + 64, w);
    step(a3, at + 96, w);
    step(a4, at + 128, w);
    step(a5, at + 160, w);
    step(a6, at + 192, w);
    step(a7, at + 224, w);
  };
  for (size_t g = 0; g < q.groups; ++g) {
    const uint8_t* at = line + g * 8 * 64;
    const char* ahead = reinterpret_cast<const char*>(at) + PREFETCH_BYTES;
    _mm_prefetch(ahead, _MM_HINT_T0);
    _mm_prefetch(ahead + 64, _MM_HINT_T0);
    _mm_prefetch(ahead + 128, _MM_HINT_T0);
    _mm_prefetch(ahead + 192, _MM_HINT_T0);
    group(at, q.words[g]);
  }
  for (size_t i = 0; i < q.n_split; ++i) group(line + q.split[i] * 8 * 64, q.rest[i]);
  acc[0] = _mm256_sub_epi32(a0, q.bias), acc[1] = _mm256_sub_epi32(a1, q.bias);
  acc[2] = _mm256_sub_epi32(a2, q.bias), acc[3] = _mm256_sub_epi32(a3, q.bias);
  acc[4] = _mm256_sub_epi32(a4, q.bias), acc[5] = _mm256_sub_epi32(a5, q.bias);
  acc[6] = _mm256_sub_epi32(a6, q.bias), acc[7] = _mm256_sub_epi32(a7, q.bias);
}

void avx2_dot_i8_panels(const int8_t* query, const uint8_t* panels, size_t n_panels, size_t dim,
                        int32_t* out) {
  const I8Query q(query, dim);
  const size_t panel_bytes = q.groups * 8 * 64;
  for (size_t p = 0; p < n_panels; ++p) {
    for (size_t half = 0; half < 2; ++half) {
      __m256i acc[8];
      scan_i8_half_panel(panels + p * panel_bytes + half * 256, q, acc);
      for (size_t j = 0; j < 8; ++j) {
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + p * 128 + half * 64 + j * 8), acc[j]);
      }
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

// The quantization of quantize_one, eight values at a time; the last partial block goes through
// a zero-padded copy.
float avx2_quantize_i8(const float* values, size_t n, int8_t* codes) {
  const __m256 abs_mask = _mm256_castsi256_ps(_mm256_set1_epi32(0x7FFFFFFF));
  const size_t full = n / 8 * 8;
  alignas(32) float tail[8] = {};
  for (size_t i = full; i < n; ++i) tail[i - full] = values[i];
  auto block = [&](size_t i) { return i < full ? _mm256_loadu_ps(values + i) : _mm256_load_ps(tail); };
  __m256 m = _mm256_setzero_ps();
  for (size_t i = 0; i < n; i += 8) {
    m = _mm256_max_ps(_mm256_and_ps(block(i), abs_mask), m);  // a > m ? a : m: NaN never wins
  }
  __m128 m4 = _mm_max_ps(_mm256_castps256_ps128(m), _mm256_extractf128_ps(m, 1));
  m4 = _mm_max_ps(m4, _mm_movehl_ps(m4, m4));
  m4 = _mm_max_ss(m4, _mm_shuffle_ps(m4, m4, 1));
  const float scale = quantize_scale(_mm_cvtss_f32(m4));
  const __m256 inv = _mm256_set1_ps(1.0f / scale);
  const __m256 hi = _mm256_set1_ps(127.0f), lo = _mm256_set1_ps(-127.0f);
  const __m256 half = _mm256_set1_ps(0.5f), neg_half = _mm256_set1_ps(-0.5f);
  const __m256i gather = _mm256_setr_epi32(0, 4, 0, 4, 0, 4, 0, 4);
  for (size_t i = 0; i < n; i += 8) {
    __m256 v = _mm256_mul_ps(block(i), inv);
    const __m256i number = _mm256_castps_si256(_mm256_cmp_ps(v, v, _CMP_ORD_Q));
    v = _mm256_min_ps(_mm256_max_ps(v, lo), hi);
    __m256i t = _mm256_cvttps_epi32(v);
    const __m256 frac = _mm256_sub_ps(v, _mm256_cvtepi32_ps(t));
    // The comparisons give -1 where true: subtracting adds one, adding subtracts one.
    t = _mm256_sub_epi32(t, _mm256_castps_si256(_mm256_cmp_ps(frac, half, _CMP_GE_OQ)));
    t = _mm256_add_epi32(t, _mm256_castps_si256(_mm256_cmp_ps(frac, neg_half, _CMP_LE_OQ)));
    t = _mm256_and_si256(t, number);
    // Values in [-127, 127] pack without saturation; each 128-bit lane then holds its four codes
    // in its low 32 bits.
    __m256i bytes = _mm256_packs_epi16(_mm256_packs_epi32(t, t), _mm256_setzero_si256());
    bytes = _mm256_permutevar8x32_epi32(bytes, gather);
    const int64_t eight = _mm_cvtsi128_si64(_mm256_castsi256_si128(bytes));
    if (i < full) {
      __builtin_memcpy(codes + i, &eight, 8);
    } else {
      __builtin_memcpy(codes + i, &eight, n - i);
    }
  }
  return scale;
}

// The largest of eight scores; a NaN never wins.
inline float max8(__m256 v) {
  __m128 m = _mm_max_ps(_mm256_extractf128_ps(v, 1), _mm256_castps256_ps128(v));
  m = _mm_max_ps(_mm_movehl_ps(m, m), m);
  m = _mm_max_ss(_mm_shuffle_ps(m, m, 1), m);
  return _mm_cvtss_f32(m);
}

// Monotone signed-integer keys of numbers (NaN excluded; -0 below +0, which only ever lowers a
// bound taken from them), eight at a time.
inline __m256i order_keys(__m256 v) {
  const __m256i bits = _mm256_castps_si256(v);
  return _mm256_xor_si256(bits, _mm256_srli_epi32(_mm256_srai_epi32(bits, 31), 1));
}
inline float key_to_score(int32_t key) {
  const int32_t bits = key < 0 ? key ^ 0x7FFFFFFF : key;
  float f;
  std::memcpy(&f, &bits, 4);
  return f;
}

// The scan, the score and the selection, a chunk of panels at a time. The scan writes the chunk's
// scores to a buffer that stays in L1 and keeps the largest kept score of every half panel (a NaN
// never counts). k half panels hold a row at least as good as the k-th largest of those maxima, so
// that value bounds the chunk's k-th best from below; a second pass offers the selection only the
// rows at or above it, in index order, which keeps the result exactly that of offering every row.
// With fewer than k maxima above -inf every kept row is offered.
size_t avx2_top_k_i8_panels(const int8_t* query, const uint8_t* panels, size_t n_panels, size_t dim,
                            const float* scales, const uint8_t* keep, float a, float b, size_t k,
                            ScoredIndex* out, uint32_t* keys) {
  constexpr size_t CHUNK_PANELS = 32, CHUNK_HALVES = 2 * CHUNK_PANELS;
  const I8Query q(query, dim);
  const size_t panel_bytes = q.groups * 8 * 64;
  const __m256 va = _mm256_set1_ps(a), vb = _mm256_set1_ps(b);
  const __m256 neg_inf = _mm256_set1_ps(-__builtin_inff());
  TopKStream top{out, keys, k};
  alignas(32) float score[CHUNK_PANELS * I8_PANEL_WIDTH];
  alignas(32) float half_max[CHUNK_HALVES];
  for (size_t first = 0; first < n_panels; first += CHUNK_PANELS) {
    const size_t count = n_panels - first < CHUNK_PANELS ? n_panels - first : CHUNK_PANELS;
    const size_t halves = 2 * count;
    for (size_t h = 0; h < halves; ++h) {
      const size_t row = first * I8_PANEL_WIDTH + h * 64;  // the half panel's first row
      __m256i acc[8];
      scan_i8_half_panel(panels + (first + h / 2) * panel_bytes + (h % 2) * 256, q, acc);
      const uint8_t* kept = keep + row;
      const __m256i zero = _mm256_setzero_si256();
      const bool all_kept =
          _mm256_movemask_epi8(_mm256_or_si256(
              _mm256_cmpeq_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(kept)), zero),
              _mm256_cmpeq_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(kept + 32)),
                                zero))) == 0;
      __m256 m = neg_inf;
      for (size_t j = 0; j < 8; ++j) {
        const __m256 d = _mm256_mul_ps(va, _mm256_cvtepi32_ps(acc[j]));
        const __m256 sc = _mm256_mul_ps(vb, _mm256_mul_ps(_mm256_loadu_ps(scales + row + j * 8), d));
        _mm256_store_ps(score + h * 64 + j * 8, sc);
        if (all_kept) {
          m = _mm256_max_ps(sc, m);  // sc > m ? sc : m
        } else {
          const __m256i lanes = _mm256_cvtepu8_epi32(
              _mm_loadl_epi64(reinterpret_cast<const __m128i*>(kept + j * 8)));
          const __m256 mask = _mm256_castsi256_ps(_mm256_cmpgt_epi32(lanes, zero));
          m = _mm256_max_ps(_mm256_blendv_ps(neg_inf, sc, mask), m);
        }
      }
      half_max[h] = max8(m);
    }
    for (size_t h = halves; h < CHUNK_HALVES; ++h) half_max[h] = -__builtin_inff();
    // The k-th largest maximum, by bisection on the top 16 bits of the keys: a bound up to 2^16
    // keys lower is still a lower bound, and costs a few more rows in the second pass.
    __m256i maxima[CHUNK_HALVES / 8];
    int valid = 0;
    const __m256i floor_key = order_keys(neg_inf);
    for (size_t i = 0; i < CHUNK_HALVES / 8; ++i) {
      maxima[i] = order_keys(_mm256_load_ps(half_max + i * 8));
      valid += __builtin_popcount(static_cast<unsigned>(
          _mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpgt_epi32(maxima[i], floor_key)))));
    }
    const bool offer_all = static_cast<size_t>(valid) < k;
    float bound = 0.0f;
    if (!offer_all) {
      // Keys as offset binary (unsigned order), bisected bit by bit from the top.
      uint32_t t = 0;
      for (int bit = 31; bit >= 16; --bit) {
        const uint32_t probe = t | (1u << bit);
        const __m256i vp = _mm256_set1_epi32(static_cast<int32_t>(probe ^ 0x80000000u));
        // Keys below the probe (as signed keys, probe > key), counted lane by lane.
        __m256i below = _mm256_setzero_si256();
        for (size_t i = 0; i < CHUNK_HALVES / 8; ++i) {
          below = _mm256_sub_epi32(below, _mm256_cmpgt_epi32(vp, maxima[i]));
        }
        const size_t at_least = CHUNK_HALVES - static_cast<size_t>(hsum_epi32(below));
        if (at_least >= k) t = probe;
      }
      bound = key_to_score(static_cast<int32_t>(t ^ 0x80000000u));
      if (top.filtering() && top.threshold() > bound) bound = top.threshold();
    }
    // Bit h of `chosen`, and bit l of a half's `lanes`: the half panel, the row, reaches the
    // selection (at or above the bound).
    const __m256 vbound = _mm256_set1_ps(bound);
    auto at_or_above = [&](const float* values) {
      uint64_t bits = 0;
      for (size_t i = 0; i < 8; ++i) {
        const __m256 v = _mm256_load_ps(values + i * 8);
        bits |= uint64_t{static_cast<uint32_t>(
                    _mm256_movemask_ps(_mm256_cmp_ps(v, vbound, _CMP_GE_OQ)))}
                << (8 * i);
      }
      return bits;
    };
    const uint64_t all = halves == 64 ? ~uint64_t{0} : (uint64_t{1} << halves) - 1;
    for (uint64_t chosen = offer_all ? all : at_or_above(half_max) & all; chosen;
         chosen &= chosen - 1) {
      const size_t h = static_cast<size_t>(__builtin_ctzll(chosen));
      const size_t row = first * I8_PANEL_WIDTH + h * 64;
      const float* sc = score + h * 64;
      for (uint64_t lanes = offer_all ? ~uint64_t{0} : at_or_above(sc); lanes; lanes &= lanes - 1) {
        const size_t l = static_cast<size_t>(__builtin_ctzll(lanes));
        if (keep[row + l]) top.offer(sc[l], static_cast<uint32_t>(row + l));
      }
    }
  }
  return top.m;
}

// The float scan of panels_block<1> (each lane summing its row in index order) with the score
// f * dot and the selection folded in: once k rows are held, a row reaches the scalar insertion
// only when it beats the k-th best. (Software prefetching, which helps the AVX-512 level, only
// slowed this one down where measured.)
size_t avx2_top_k_f32_panels(const float* query, const float* panels, size_t n_rows, size_t dim,
                             float f, const uint8_t* keep, size_t k, ScoredIndex* out,
                             uint32_t* keys) {
  const size_t n_panels = (n_rows + F32_PANEL_WIDTH - 1) / F32_PANEL_WIDTH;
  const size_t panel_floats = dim * F32_PANEL_WIDTH;
  const __m256 vf = _mm256_set1_ps(f);
  TopKStream top{out, keys, k};
  bool filtering = false;
  __m256 threshold = _mm256_setzero_ps();
  alignas(32) float s[8];
  auto select = [&](__m256 score, size_t base) {
    unsigned lanes = filtering ? static_cast<unsigned>(_mm256_movemask_ps(
                                     _mm256_cmp_ps(score, threshold, _CMP_GT_OQ)))
                               : 0xFFu;
    if (lanes == 0) return;
    _mm256_store_ps(s, score);
    while (lanes) {
      const unsigned l = static_cast<unsigned>(__builtin_ctz(lanes));
      lanes &= lanes - 1;
      const size_t r = base + l;
      if (r >= n_rows || (keep && !keep[r])) continue;
      top.offer(s[l], static_cast<uint32_t>(r));
      if (top.filtering()) {
        filtering = true;
        threshold = _mm256_set1_ps(top.threshold());
      }
    }
  };
  for (size_t p = 0; p < n_panels; ++p) {
    const float* panel = panels + p * panel_floats;
    __m256 lo = _mm256_setzero_ps(), hi = _mm256_setzero_ps();
    for (size_t t = 0; t < dim; ++t) {
      const __m256 q = _mm256_broadcast_ss(query + t);
      lo = _mm256_add_ps(lo, _mm256_mul_ps(q, _mm256_loadu_ps(panel + t * F32_PANEL_WIDTH)));
      hi = _mm256_add_ps(hi, _mm256_mul_ps(q, _mm256_loadu_ps(panel + t * F32_PANEL_WIDTH + 8)));
    }
    select(_mm256_mul_ps(vf, lo), p * F32_PANEL_WIDTH);
    select(_mm256_mul_ps(vf, hi), p * F32_PANEL_WIDTH + 8);
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

void avx2_accumulate_f32_repeated(float* acc, const float* x, size_t n, size_t times) {
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m256 v = _mm256_loadu_ps(x + i);
    __m256 sum = _mm256_loadu_ps(acc + i);
    for (size_t r = 0; r < times; ++r) sum = _mm256_add_ps(sum, v);
    _mm256_storeu_ps(acc + i, sum);
  }
  for (; i < n; ++i) {
    for (size_t r = 0; r < times; ++r) acc[i] += x[i];
  }
}

void avx2_divide_f32(const float* x, float d, float* out, size_t n) {
  const __m256 vd = _mm256_set1_ps(d);
  size_t i = 0;
  for (; i + 8 <= n; i += 8) _mm256_storeu_ps(out + i, _mm256_div_ps(_mm256_loadu_ps(x + i), vd));
  for (; i < n; ++i) out[i] = x[i] / d;
}

// _CMP_NLT_UQ is !(a < b): true where either side is NaN, as the scalar comparison is.
void avx2_lanes_not_below(const float* scores, size_t n, float threshold, const float* thresholds,
                          uint64_t* mask) {
  const __m256 vt = _mm256_set1_ps(threshold);
  fill_lane_mask(n, mask, [&](size_t begin, size_t end) {
    uint64_t bits = 0;
    size_t i = begin;
    for (; i + 8 <= end; i += 8) {
      const __m256 v = _mm256_loadu_ps(scores + i);
      __m256 pass = _mm256_cmp_ps(v, vt, _CMP_NLT_UQ);
      if (thresholds != nullptr) {
        pass = _mm256_or_ps(pass, _mm256_cmp_ps(v, _mm256_loadu_ps(thresholds + i), _CMP_NLT_UQ));
      }
      bits |= uint64_t{static_cast<unsigned>(_mm256_movemask_ps(pass))} << (i - begin);
    }
    for (; i < end; ++i) bits |= lane_not_below(scores, i, threshold, thresholds) << (i - begin);
    return bits;
  });
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
      .quantize_i8 = avx2_quantize_i8,
      .top_k_i8_panels = avx2_top_k_i8_panels,
      .top_k_f32_panels = avx2_top_k_f32_panels,
      .accumulate_f32 = avx2_accumulate_f32,
      .scale_f32 = avx2_scale_f32,
      .accumulate_f32_repeated = avx2_accumulate_f32_repeated,
      .divide_f32 = avx2_divide_f32,
      .lanes_not_below = avx2_lanes_not_below,
  };
  return k;
}

}  // namespace quellmar::simd_internal
