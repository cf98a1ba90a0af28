#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace quellmar {

// One token row quantized to int8 codes with a single scale for the whole row.
struct Int8Token {
  std::vector<int8_t> codes;  // one code per value
  float scale = 1.0f;
};

// amax = largest |x| (NaN ignored, 0 for an empty row); scale = amax / 127, or 1.0 when amax is
// 0; code = round-half-away(x * (1 / scale)) clamped to [-127, 127]; a NaN value gives code 0.
Int8Token quantize_int8_token(std::span<const float> row);

}  // namespace quellmar
