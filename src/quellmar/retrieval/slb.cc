#include "quellmar/retrieval/slb.h"

#include <cmath>
#include <cstring>

#include "quellmar/core/internal_fault.h"
#include "quellmar/retrieval/simd_distance.h"

namespace quellmar {

SLB::SLB(uint64_t capacity, uint64_t dim) : capacity_(capacity), dim_(dim) {
  slots_.reserve(capacity);
  codes_.reserve(capacity * dim);
  id_map_.reserve(capacity);
}

SLB::Quantized SLB::quantize(std::span<const float> values) {
  float m = 0.0f;
  for (float x : values) {
    float a = std::fabs(x);
    if (a > m) m = a;  // a NaN never becomes the largest
  }
  Quantized q;
  q.scale = m == 0.0f ? 1.0f : m / 127.0f;
  const float inv = 1.0f / q.scale;
  q.codes.resize(values.size());
  for (size_t i = 0; i < values.size(); ++i) {
    float r = std::round(values[i] * inv);
    if (r != r) {
      q.codes[i] = 0;
    } else {
      q.codes[i] = static_cast<int8_t>(r > 127.0f ? 127.0f : (r < -127.0f ? -127.0f : r));
    }
  }
  return q;
}

void SLB::recompute_victim() {
  victim_.reset();
  for (size_t i = 0; i < slots_.size(); ++i) {
    if (!slots_[i].occupied) continue;
    if (!victim_ || slots_[i].stamp < slots_[*victim_].stamp) victim_ = i;
  }
}

void SLB::store_codes(size_t slot, const Quantized& q, uint64_t width) {
  slots_[slot].width = width;
  if (width == dim_ && dim_ > 0) std::memcpy(&codes_[slot * dim_], q.codes.data(), dim_);
}

void SLB::insert(CellId cell_id, OwnerId owner, std::span<const float> key) {
  clock_ += 1;
  if (auto it = id_map_.find(cell_id); it != id_map_.end()) {
    size_t i = it->second;
    Quantized q = quantize(key);
    slots_[i].scale = q.scale;
    store_codes(i, q, key.size());
    slots_[i].stamp = clock_;
    if (victim_ == i) recompute_victim();
    return;
  }
  if (occupancy_ >= capacity_ && victim_) {
    size_t v = *victim_;
    slots_[v].occupied = false;
    id_map_.erase(slots_[v].cell_id);
    occupancy_ -= 1;
    free_slots_.push_back(v);
    recompute_victim();
  }
  Quantized q = quantize(key);
  size_t i;
  // Free slots are reused most recently freed first (the just-evicted one after an eviction).
  if (!free_slots_.empty()) {
    i = free_slots_.back();
    free_slots_.pop_back();
  } else {
    i = slots_.size();
    slots_.push_back(Slot{});
    codes_.resize(slots_.size() * dim_, 0);
  }
  Slot& s = slots_[i];
  s.scale = q.scale;
  s.cell_id = cell_id;
  s.owner = owner;
  s.stamp = clock_;
  s.occupied = true;
  store_codes(i, q, key.size());
  id_map_[cell_id] = i;
  occupancy_ += 1;
  if (!victim_) victim_ = i;
}

std::vector<ScoredCell> SLB::query(std::span<const float> query, uint64_t k) {
  std::vector<ScoredCell> out;
  if (query.size() != dim_) return out;
  Quantized q = quantize(query);
  const float f = 1.0f / std::sqrt(static_cast<float>(query.size()));
  dots_.resize(slots_.size());
  if (dim_ > 0) {
    dot_i8_many(q.codes.data(), codes_.data(), slots_.size(), dim_, dim_, dots_.data());
  } else {
    std::fill(dots_.begin(), dots_.end(), 0);
  }
  scored_.clear();
  for (size_t i = 0; i < slots_.size(); ++i) {
    const Slot& s = slots_[i];
    if (!s.occupied || s.width != dim_) continue;
    float score = f * (s.scale * (q.scale * static_cast<float>(dots_[i])));
    scored_.push_back({score, static_cast<uint32_t>(i)});
  }
  size_t kept = select_top_k(scored_.data(), scored_.size(), k);
  clock_ += 1;
  out.reserve(kept);
  for (size_t j = 0; j < kept; ++j) {
    Slot& s = slots_[scored_[j].index];
    s.stamp = clock_;
    out.push_back({s.cell_id, s.owner, scored_[j].score});
  }
  return out;
}

void SLB::remove(CellId cell_id) {
  auto it = id_map_.find(cell_id);
  if (it == id_map_.end()) return;
  size_t i = it->second;
  if (slots_[i].occupied) {
    slots_[i].occupied = false;
    if (occupancy_ > 0) occupancy_ -= 1;
    free_slots_.push_back(i);
  }
  id_map_.erase(it);
  if (victim_ == i) recompute_victim();
}

}  // namespace quellmar
