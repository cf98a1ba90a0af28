#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace quellmar {

// Keeps the n largest of a stream of similarities and their mean. NaN ranks below every number
// but still counts as a value, so a list with fewer than n numbers and a NaN has a NaN mean.
class TopNAccumulator {
 public:
  explicit TopNAccumulator(uint64_t n) : n_(n) { best_.reserve(n); }

  void add(float v) {
    ++count_;
    // Full and v no better than the n-th best (or NaN): nothing to keep.
    if (best_.size() == n_ && (n_ == 0 || !ranks_above(v, best_.back()))) return;
    insert(v);
  }
  // Mean of the min(n, values added) largest values; negative infinity when that is 0.
  float mean() const;
  uint64_t count() const { return count_; }
  void clear() {
    best_.clear();
    count_ = 0;
  }

 private:
  // Whether a ranks strictly above b, NaN lowest.
  static bool ranks_above(float a, float b) {
    if (a != a) return false;
    if (b != b) return true;
    return a > b;
  }
  void insert(float v);

  uint64_t n_;
  uint64_t count_ = 0;
  std::vector<float> best_;  // descending, NaN last
};

// Sum of the min(n, |values|) largest values divided by that count, in f32; negative infinity
// for an empty list (or n = 0).
float top_n_average(std::span<const float> values, uint64_t n);

}  // namespace quellmar
