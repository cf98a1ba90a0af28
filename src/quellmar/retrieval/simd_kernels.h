#pragma once

// The per-level kernel tables behind simd_distance.h. Only the simd_distance*.cc files use this.

#include <cstddef>
#include <cstdint>

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
  void (*accumulate_f32)(float* acc, const float* x, size_t n);
  void (*scale_f32)(float* x, float s, size_t n);
};

const SimdKernels& scalar_kernels();
const SimdKernels& avx2_kernels();    // simd_distance_avx2.cc
const SimdKernels& avx512_kernels();  // simd_distance_avx512.cc

}  // namespace quellmar::simd_internal
