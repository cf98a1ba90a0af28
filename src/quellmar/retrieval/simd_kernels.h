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
  void (*accumulate_f32)(float* acc, const float* x, size_t n);
  void (*scale_f32)(float* x, float s, size_t n);
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

}  // namespace

const SimdKernels& scalar_kernels();
const SimdKernels& avx2_kernels();    // simd_distance_avx2.cc
const SimdKernels& avx512_kernels();  // simd_distance_avx512.cc

}  // namespace quellmar::simd_internal
