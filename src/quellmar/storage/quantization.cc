#include "quellmar/storage/quantization.h"

#include <algorithm>
#include <cmath>

namespace quellmar {

namespace {

// Rounds half away from zero and limits to -128..127; NaN gives 0.
inline int32_t step_code(float x, float scale) {
  const float q = std::round(x / scale);
  if (std::isnan(q)) return 0;
  return static_cast<int32_t>(std::clamp(q, -128.0f, 127.0f));
}

inline uint8_t nibble(float x, float scale) {
  return static_cast<uint8_t>(std::clamp(step_code(x, scale) + 8, 0, 15));
}

}  // namespace

void quantize_q4_into(const float* values, uint64_t n, float* scales, uint8_t* codes) {
  const uint64_t groups = q4_group_count(n);
  for (uint64_t g = 0; g < groups; ++g) {
    const float* v = values + g * Q4_GROUP;
    const uint64_t m = std::min<uint64_t>(Q4_GROUP, n - g * Q4_GROUP);
    float absmax = 0.0f;
    for (uint64_t i = 0; i < m; ++i) {
      const float a = std::fabs(v[i]);
      if (a > absmax) absmax = a;  // NaN never compares greater
    }
    const float scale = absmax == 0.0f ? 1.0f : absmax / 7.0f;
    scales[g] = scale;
    uint8_t* out = codes + g * Q4_GROUP_BYTES;
    uint64_t i = 0;
    for (; i + 1 < m; i += 2) {
      out[i / 2] = static_cast<uint8_t>(nibble(v[i], scale) | (nibble(v[i + 1], scale) << 4));
    }
    if (i < m) out[i / 2] = static_cast<uint8_t>(nibble(v[i], scale) | 0x80);
    for (uint64_t b = (m + 1) / 2; b < Q4_GROUP_BYTES; ++b) out[b] = 0x88;
  }
}

uint64_t dequantize_q4_into(const float* scales, uint64_t n_scales, const uint8_t* codes,
                            uint64_t n_codes, uint64_t len, float* out) {
  uint64_t n = std::min(len, n_scales * Q4_GROUP);
  n = std::min(n, n_codes * 2);  // never read past the code bytes
  for (uint64_t i = 0; i < n; ++i) {
    const float scale = scales[i / Q4_GROUP];
    const uint8_t byte = codes[(i / Q4_GROUP) * Q4_GROUP_BYTES + (i % Q4_GROUP) / 2];
    const int code = (i & 1) ? (byte >> 4) : (byte & 0x0F);
    out[i] = scale * static_cast<float>(code - 8);
  }
  return n;
}

Q4Vector quantize_q4(std::span<const float> values) {
  Q4Vector q;
  const uint64_t groups = q4_group_count(values.size());
  q.len = values.size();
  q.scales.resize(groups);
  q.data.resize(groups * Q4_GROUP_BYTES);
  quantize_q4_into(values.data(), values.size(), q.scales.data(), q.data.data());
  return q;
}

std::vector<float> dequantize_q4(const Q4Vector& q) {
  std::vector<float> out(std::min(q.len, q.scales.size() * Q4_GROUP));
  const uint64_t n = dequantize_q4_into(q.scales.data(), q.scales.size(), q.data.data(),
                                        q.data.size(), q.len, out.data());
  out.resize(n);
  return out;
}

}  // namespace quellmar
