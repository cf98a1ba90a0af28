#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace quellmar {

// Values per quantization group of an Int8GroupVector; the last group of a row may be shorter.
inline constexpr uint64_t INT8_GROUP_SIZE = 32;
// Smallest group magnitude: an all-zero group gets the scale INT8_GROUP_MIN_MAGNITUDE / 127.
inline constexpr float INT8_GROUP_MIN_MAGNITUDE = 1e-12f;

// One token row quantized to int8 codes with one scale per group of INT8_GROUP_SIZE values.
struct Int8GroupVector {
  std::vector<int8_t> codes;  // one code per value of the row
  std::vector<float> scales;  // one scale per group
  uint64_t dim = 0;           // number of values of the row

  bool operator==(const Int8GroupVector&) const = default;
};

// Quantizes `row`. A row whose length is not `expected_width` gives the empty vector (dim 0).
// Per group: scale = max(1e-12, largest |x|) / 127 (NaN ignored); code = round-half-away(x /
// scale) clamped to [-127, 127]; a NaN value gives code 0.
Int8GroupVector quantize_int8_group(uint64_t expected_width, std::span<const float> row);

// The row back as floats, min(dim, values produced) of them; empty when `v.dim` is not
// `expected_width`.
std::vector<float> dequantize_int8_group(uint64_t expected_width, const Int8GroupVector& v);

// Dequantizes into `out`, which holds `expected_width` values. Returns false, with `out` in an
// unspecified state, unless `v` yields exactly `expected_width` values (what the vector form
// would return as a list of that length).
bool dequantize_int8_group_into(uint64_t expected_width, const Int8GroupVector& v, float* out);

}  // namespace quellmar
