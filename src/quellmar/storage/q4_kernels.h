#pragma once

// The group quantizer and decoder of the 4-bit codec at each instruction-set level, chosen once
// at run time from what the CPU supports. Every level gives the bytes, scales and values of the
// plain scalar path, bit for bit: the same float operations in the same order, only more lanes
// at a time, except where q4_kernels_avx512.cc says how it gets the same result another way.

#include <cstddef>
#include <cstdint>

namespace quellmar {

enum class Q4Level : uint8_t { Scalar = 0, Sse2 = 1, Avx2 = 2, Avx512 = 3 };

// Quantizes `groups` full groups of 32 values: scales[g] and codes[16 g .. 16 g + 16).
using Q4GroupsFn = void (*)(const float* values, size_t groups, float* scales, uint8_t* codes);

// The best level this CPU supports, and the one in use.
Q4Level q4_detected_level();
Q4Level q4_active_level();
// Test hook: use `level` from now on; false, changing nothing, when the CPU lacks it.
bool q4_force_level_for_testing(Q4Level level);

// Decodes `groups` full groups: out[32 g + i] = scales[g] * (nibble i of codes[16 g ..] - 8).
using Q4DecodeFn = void (*)(const float* scales, size_t groups, const uint8_t* codes, float* out);

// The kernels in use.
Q4GroupsFn q4_groups_kernel();
Q4DecodeFn q4_decode_kernel();

namespace q4_internal {
void quantize_groups_scalar(const float* values, size_t groups, float* scales, uint8_t* codes);
void quantize_groups_sse2(const float* values, size_t groups, float* scales, uint8_t* codes);
void quantize_groups_avx2(const float* values, size_t groups, float* scales,
                          uint8_t* codes);  // q4_kernels_avx2.cc
void quantize_groups_avx512(const float* values, size_t groups, float* scales,
                            uint8_t* codes);  // q4_kernels_avx512.cc
void dequantize_groups_scalar(const float* scales, size_t groups, const uint8_t* codes, float* out);
void dequantize_groups_sse2(const float* scales, size_t groups, const uint8_t* codes, float* out);
void dequantize_groups_avx2(const float* scales, size_t groups, const uint8_t* codes,
                            float* out);  // q4_kernels_avx2.cc, also the AVX-512 level's
}  // namespace q4_internal

}  // namespace quellmar
