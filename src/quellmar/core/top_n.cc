#include "quellmar/core/top_n.h"

#include <cmath>
#include <limits>

namespace quellmar {

void TopNAccumulator::insert(float v) {
  size_t pos = best_.size();
  while (pos > 0 && ranks_above(v, best_[pos - 1])) --pos;
  if (best_.size() < n_) {
    best_.insert(best_.begin() + static_cast<std::ptrdiff_t>(pos), v);
  } else if (pos < best_.size()) {
    best_.pop_back();
    best_.insert(best_.begin() + static_cast<std::ptrdiff_t>(pos), v);
  }
}

float TopNAccumulator::mean() const {
  if (best_.empty()) return -std::numeric_limits<float>::infinity();
  float sum = 0.0f;
  for (float v : best_) sum += v;
  return sum / static_cast<float>(best_.size());
}

float top_n_average(std::span<const float> values, uint64_t n) {
  TopNAccumulator acc(n);
  for (float v : values) acc.add(v);
  return acc.mean();
}

}  // namespace quellmar
