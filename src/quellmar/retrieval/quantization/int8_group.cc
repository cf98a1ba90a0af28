#include "quellmar/retrieval/quantization/int8_group.h"

#include <algorithm>
#include <cmath>

namespace quellmar {

namespace {

int8_t group_code(float x, float scale) {
  const float q = x / scale;
  if (std::isnan(q)) return 0;
  return static_cast<int8_t>(std::clamp(std::round(q), -127.0f, 127.0f));
}

// Number of values dequantize_int8_group produces before it is cut to `dim`.
uint64_t produced_count(const Int8GroupVector& v) {
  const uint64_t n_codes = v.codes.size();
  const uint64_t covered = static_cast<uint64_t>(v.scales.size()) * INT8_GROUP_SIZE;
  return std::min(n_codes, covered);
}

}  // namespace

Int8GroupVector quantize_int8_group(uint64_t expected_width, std::span<const float> row) {
  Int8GroupVector out;
  if (row.size() != expected_width) return out;
  out.codes.resize(row.size());
  out.scales.reserve((row.size() + INT8_GROUP_SIZE - 1) / INT8_GROUP_SIZE);
  for (size_t start = 0; start < row.size(); start += INT8_GROUP_SIZE) {
    const size_t end = std::min<size_t>(start + INT8_GROUP_SIZE, row.size());
    float m = INT8_GROUP_MIN_MAGNITUDE;
    for (size_t i = start; i < end; ++i) {
      const float a = std::fabs(row[i]);
      if (a > m) m = a;  // false for NaN
    }
    const float scale = m / 127.0f;
    for (size_t i = start; i < end; ++i) out.codes[i] = group_code(row[i], scale);
    out.scales.push_back(scale);
  }
  out.dim = row.size();
  return out;
}

std::vector<float> dequantize_int8_group(uint64_t expected_width, const Int8GroupVector& v) {
  std::vector<float> out;
  if (v.dim != expected_width) return out;
  const uint64_t n = std::min(v.dim, produced_count(v));
  out.resize(n);
  for (uint64_t i = 0; i < n; ++i) {
    out[i] = v.scales[i / INT8_GROUP_SIZE] * static_cast<float>(v.codes[i]);
  }
  return out;
}

bool dequantize_int8_group_into(uint64_t expected_width, const Int8GroupVector& v, float* out) {
  if (v.dim != expected_width || produced_count(v) < expected_width) return false;
  const int8_t* codes = v.codes.data();
  const float* scales = v.scales.data();
  uint64_t start = 0;
  for (; start + INT8_GROUP_SIZE <= expected_width; start += INT8_GROUP_SIZE) {
    const float s = scales[start / INT8_GROUP_SIZE];
    for (uint64_t i = 0; i < INT8_GROUP_SIZE; ++i) {  // fixed trip count: vectorised
      out[start + i] = s * static_cast<float>(codes[start + i]);
    }
  }
  if (start < expected_width) {
    const float s = scales[start / INT8_GROUP_SIZE];
    for (uint64_t i = start; i < expected_width; ++i) out[i] = s * static_cast<float>(codes[i]);
  }
  return true;
}

}  // namespace quellmar
