#pragma once

// 4-bit group quantization of the keys and values stored in cell records: groups of 32 values,
// one f32 scale per group, two codes per byte.

#include <cstdint>
#include <span>
#include <vector>

namespace quellmar {

inline constexpr uint64_t Q4_GROUP = 32;
inline constexpr uint64_t Q4_GROUP_BYTES = 16;

struct Q4Vector {
  std::vector<uint8_t> data;  // 16 bytes per group
  std::vector<float> scales;  // one per group
  uint64_t len = 0;           // number of values encoded
};

inline uint64_t q4_group_count(uint64_t len) { return (len + Q4_GROUP - 1) / Q4_GROUP; }

Q4Vector quantize_q4(std::span<const float> values);
std::vector<float> dequantize_q4(const Q4Vector& q);

// The codec on raw buffers, for the record encoder and decoder.
// Writes q4_group_count(n) scales to `scales` and 16 bytes per group to `codes`.
void quantize_q4_into(const float* values, uint64_t n, float* scales, uint8_t* codes);
// Decodes min(len, 32 * n_scales) values into `out`, reading no byte past codes + n_codes;
// returns how many values were written.
uint64_t dequantize_q4_into(const float* scales, uint64_t n_scales, const uint8_t* codes,
                            uint64_t n_codes, uint64_t len, float* out);

namespace detail {
// One full group of 32 values: writes 16 code bytes and returns the scale. The first is the
// vectorised path the codec uses; the second the plain reference it must agree with.
float quantize_q4_group(const float* values, uint8_t* codes);
float quantize_q4_group_scalar(const float* values, uint8_t* codes);
}  // namespace detail

}  // namespace quellmar
