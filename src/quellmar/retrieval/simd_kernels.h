#pragma once

// The per-level kernel tables behind simd_distance.h. Only the simd_distance*.cc files use this.

#include <cstddef>
#include <cstdint>

#include "quellmar/retrieval/simd_distance.h"

namespace quellmar::simd_internal {

struct SimdKernels {
  int32_t (*dot_i8)(const int8_t* a, const int8_t* b, size_t n);
  void (*dot_i8_many)(const int8_t* query, const int8_t* rows, size_t n_rows, size_t dim,
                      size_t stride, int32_t* out);
  float (*dot_f32_unordered)(const float* a, const float* b, size_t n);
  void (*dot_f32_many)(const float* query, const float* rows, size_t n_rows, size_t dim,
                       size_t stride, float* out);
  void (*dot_f32_panels)(const float* queries, size_t n_queries, size_t query_stride,
                         const float* panels, size_t n_panels, size_t dim, float* out,
                         size_t out_stride);
  void (*dot_i8_panels)(const int8_t* query, const uint8_t* panels, size_t n_panels, size_t dim,
                        int32_t* out);
  // Only for k <= TOP_K_INSERTION_MAX; larger k take the generic selection.
  size_t (*top_k_scores)(const float* scores, const uint8_t* keep, size_t n, size_t k,
                         ScoredIndex* out, uint32_t* keys);
  void (*scale_dots_i32)(const int32_t* dots, const float* scales, float a, float b, size_t n,
                         float* out);
  float (*quantize_i8)(const float* values, size_t n, int8_t* codes);
  // Both only for 1 <= k <= TOP_K_INSERTION_MAX.
  size_t (*top_k_i8_panels)(const int8_t* query, const uint8_t* panels, size_t n_panels, size_t dim,
                            const float* scales, const uint8_t* keep, float a, float b, size_t k,
                            ScoredIndex* out, uint32_t* keys);
  size_t (*top_k_f32_panels)(const float* query, const float* panels, size_t n_rows, size_t dim,
                             float f, const uint8_t* keep, size_t k, ScoredIndex* out,
                             uint32_t* keys);
  void (*accumulate_f32)(float* acc, const float* x, size_t n);
  void (*scale_f32)(float* x, float s, size_t n);
  void (*accumulate_f32_repeated)(float* acc, const float* x, size_t n, size_t times);
  void (*divide_f32)(const float* x, float d, float* out, size_t n);
  void (*lanes_not_below)(const float* scores, size_t n, float threshold, const float* thresholds,
                          uint64_t* mask);
};

inline constexpr size_t TOP_K_INSERTION_MAX = 64;

// Shared by every level's top-k: each translation unit gets its own copy (internal linkage), so
// no instruction-set flags leak between them.
namespace {

// Inserts (score, index, key) into the sorted best[0..m) (capacity k) when it ranks high enough;
// index is larger than every index already held, so equal keys stay behind. Returns the new m.
inline size_t top_k_insert(ScoredIndex* best, uint32_t* keys, size_t m, size_t k, float score,
                           uint32_t index, uint32_t key) {
  if (m == k && key <= keys[k - 1]) return m;
  size_t j = m < k ? m : k - 1;
  while (j > 0 && key > keys[j - 1]) {
    best[j] = best[j - 1];
    keys[j] = keys[j - 1];
    --j;
  }
  best[j] = {score, index};
  keys[j] = key;
  return m < k ? m + 1 : m;
}

// Rank key of simd_distance.h (larger is better, NaN lowest, -0 == +0), kept local so that no
// header inline is compiled with another level's instructions.
inline uint32_t local_rank_key(float score) {
  if (score != score) return 0;
  if (score == 0.0f) score = 0.0f;
  uint32_t bits;
  __builtin_memcpy(&bits, &score, 4);
  return (bits & 0x80000000u) ? ~bits : (bits | 0x80000000u);
}

// A running selection of the best k of rows offered in increasing index order.
struct TopKStream {
  ScoredIndex* best;
  uint32_t* keys;
  size_t k;
  size_t m = 0;

  void offer(float score, uint32_t index) {
    m = top_k_insert(best, keys, m, k, score, index, local_rank_key(score));
  }
  // Whether `score > threshold()` (ordered) is, from now on, exactly the test of beating the
  // k-th best: k rows are held and the k-th best is a number. Until then every row is offered.
  bool filtering() const { return m == k && best[k - 1].score == best[k - 1].score; }
  float threshold() const { return best[k - 1].score; }
};

// The quantization of simd_distance.h without a library call: v = x * inv is clamped to
// [-127, 127] first (rounding and clamping commute there, as +-127 are integers), then truncated;
// v - trunc(v) is exact, so comparing it with +-0.5 rounds halves away from zero exactly.
inline int8_t quantize_one(float x, float inv) {
  float v = x * inv;
  if (v != v) return 0;
  v = v > 127.0f ? 127.0f : (v < -127.0f ? -127.0f : v);
  int32_t t = static_cast<int32_t>(v);
  float frac = v - static_cast<float>(t);
  t += (frac >= 0.5f ? 1 : 0) - (frac <= -0.5f ? 1 : 0);
  return static_cast<int8_t>(t);
}

// lanes_not_below, shared by every level: bits_of(begin, end) gives the bits of scores
// [begin, end) (64 at the most, score begin in bit 0), and the scalar test of score i.
template <typename BitsOf>
inline void fill_lane_mask(size_t n, uint64_t* mask, BitsOf&& bits_of) {
  for (size_t begin = 0; begin < n; begin += 64) {
    mask[begin / 64] = bits_of(begin, n < begin + 64 ? n : begin + 64);
  }
}
inline uint64_t lane_not_below(const float* scores, size_t i, float threshold,
                               const float* thresholds) {
  return !(scores[i] < threshold) || (thresholds != nullptr && !(scores[i] < thresholds[i]));
}

inline float quantize_scale(float m) { return m == 0.0f ? 1.0f : m / 127.0f; }

inline float portable_quantize_i8(const float* values, size_t n, int8_t* codes) {
  float m = 0.0f;
  for (size_t i = 0; i < n; ++i) {
    float a = __builtin_fabsf(values[i]);
    m = a > m ? a : m;  // a NaN never becomes the largest
  }
  const float scale = quantize_scale(m);
  const float inv = 1.0f / scale;
  for (size_t i = 0; i < n; ++i) codes[i] = quantize_one(values[i], inv);
  return scale;
}

}  // namespace

const SimdKernels& scalar_kernels();
const SimdKernels& avx2_kernels();    // simd_distance_avx2.cc
const SimdKernels& avx512_kernels();  // simd_distance_avx512.cc

}  // namespace quellmar::simd_internal
