#include "quellmar/retrieval/quantization/int8_token.h"

#include <algorithm>
#include <cmath>

namespace quellmar {

Int8Token quantize_int8_token(std::span<const float> row) {
  Int8Token out;
  float amax = 0.0f;
  for (float x : row) {
    const float a = std::fabs(x);
    if (a > amax) amax = a;  // false for NaN
  }
  out.scale = amax == 0.0f ? 1.0f : amax / 127.0f;
  const float inv = 1.0f / out.scale;
  out.codes.resize(row.size());
  for (size_t i = 0; i < row.size(); ++i) {
    const float q = row[i] * inv;
    out.codes[i] =
        std::isnan(q) ? int8_t{0} : static_cast<int8_t>(std::clamp(std::round(q), -127.0f, 127.0f));
  }
  return out;
}

}  // namespace quellmar
