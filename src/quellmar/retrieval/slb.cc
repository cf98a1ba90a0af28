#include "quellmar/retrieval/slb.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "quellmar/core/internal_fault.h"
#include "quellmar/retrieval/simd_distance.h"

namespace quellmar {

SLB::SLB(uint64_t capacity, uint64_t dim) : capacity_(capacity), dim_(dim) {
  // The per-slot bookkeeping is reserved whole; the codes, whose size a key's width sets, grow
  // with the slots that hold keys of that width.
  slots_.reserve(capacity);
  slot_of_row_.reserve(capacity);
  scales_.reserve(i8_panel_count(capacity) * I8_PANEL_WIDTH);
  scorable_.reserve(i8_panel_count(capacity) * I8_PANEL_WIDTH);
  in_heap_.reserve(capacity);
  stamp_heap_.reserve(capacity);
  id_map_.reserve(capacity);
}

SLB::Quantized SLB::quantize(std::span<const float> values) {
  Quantized q;
  q.codes.resize(values.size());
  q.scale = quantize_i8(values.data(), values.size(), q.codes.data());
  return q;
}

void SLB::recompute_victim() {
  // The occupied slot with the smallest (stamp, index), as a scan in index order keeping strictly
  // smaller stamps would find it.
  auto later = [](const std::pair<uint64_t, uint32_t>& a, const std::pair<uint64_t, uint32_t>& b) {
    return a > b;
  };
  victim_.reset();
  while (!stamp_heap_.empty()) {
    const auto [stamp, i] = stamp_heap_.front();
    if (slots_[i].occupied && slots_[i].stamp == stamp) {
      victim_ = i;
      return;
    }
    std::pop_heap(stamp_heap_.begin(), stamp_heap_.end(), later);
    if (slots_[i].occupied) {
      stamp_heap_.back() = {slots_[i].stamp, i};
      std::push_heap(stamp_heap_.begin(), stamp_heap_.end(), later);
    } else {
      stamp_heap_.pop_back();
      in_heap_[i] = 0;
    }
  }
}

void SLB::track_slot(size_t slot) {
  if (in_heap_[slot]) return;
  in_heap_[slot] = 1;
  stamp_heap_.emplace_back(slots_[slot].stamp, static_cast<uint32_t>(slot));
  std::push_heap(stamp_heap_.begin(), stamp_heap_.end(),
                 [](const auto& a, const auto& b) { return a > b; });
}

void SLB::give_row(size_t slot) {
  Slot& s = slots_[slot];
  if (s.row != NO_ROW) return;
  // The room was made ahead (make_room_for_codes), so that nothing is allocated here.
  const size_t row = slot_of_row_.size();
  lay_out_rows(row + 1);
  slot_of_row_.push_back(static_cast<uint32_t>(slot));
  s.row = static_cast<uint32_t>(row);
  scorable_[row] = 0;
}

void SLB::store_codes(size_t slot, const Quantized& q, uint64_t width) {
  Slot& s = slots_[slot];
  s.width = width;
  if (width != dim_) {
    if (s.row != NO_ROW) scorable_[s.row] = 0;
    return;
  }
  QM_CHECK(s.row != NO_ROW);
  scales_[s.row] = q.scale;
  scorable_[s.row] = s.occupied;
  if (paneled_) {
    store_i8_panel_row(codes_.data(), dim_, s.row, q.codes.data());
  } else if (dim_ != 0) {
    std::memcpy(codes_.data() + size_t{s.row} * i8_panel_dim(dim_), q.codes.data(), dim_);
  }
}

size_t SLB::append_slot() {
  size_t i = slots_.size();
  QM_CHECK(i < UINT32_MAX);
  slots_.push_back(Slot{});
  in_heap_.push_back(0);
  return i;
}

void SLB::make_room_for_codes(uint64_t keys) {
  // A key can open a code row only below capacity (every slot has at most one).
  const uint64_t rows = std::min<uint64_t>(capacity_, slot_of_row_.size() + keys);
  if (rows > 0) lay_out_rows(static_cast<size_t>(rows));
}

namespace {

// Room for n more elements, growing the block geometrically (the scan needs the panels in one
// block, and doubling keeps the copies of a growing buffer to a constant per byte).
template <class V>
void reserve_more(V& v, size_t n) {
  if (v.capacity() - v.size() >= n) return;
  v.reserve(std::max(v.size() + n, 2 * v.capacity()));
}

}  // namespace

void SLB::lay_out_rows(size_t rows) {
  // The scales and flags go by whole panels (a few bytes a row); the codes by what the rows
  // hold: row-major until they fill a whole panel, then in panels. Every block is made big enough
  // before any grows, so that a failed allocation leaves the three in step.
  const size_t entries = i8_panel_count(rows) * I8_PANEL_WIDTH;
  const size_t more_entries = entries > scales_.size() ? entries - scales_.size() : 0;
  const bool to_panels = !paneled_ && rows >= I8_PANEL_WIDTH;
  const size_t code_bytes = paneled_ || to_panels ? i8_panel_count(rows) * i8_panel_bytes(dim_)
                                                  : rows * i8_panel_dim(dim_);
  std::vector<uint8_t, AlignedAllocator<uint8_t>> panels;
  if (to_panels) {
    panels.reserve(code_bytes);
  } else if (code_bytes > codes_.size()) {
    reserve_more(codes_, code_bytes - codes_.size());
  }
  reserve_more(scales_, more_entries);
  reserve_more(scorable_, more_entries);
  append_filled(scales_, more_entries, 1.0f);
  append_filled(scorable_, more_entries, uint8_t{0});
  if (to_panels) {
    // Padding until their rows are written.
    append_filled(panels, code_bytes, uint8_t{0x80});
    const size_t row_bytes = i8_panel_dim(dim_);
    for (size_t r = 0; r < slot_of_row_.size(); ++r) {
      store_i8_panel_row(panels.data(), dim_, r,
                         reinterpret_cast<const int8_t*>(codes_.data() + r * row_bytes));
    }
    codes_ = std::move(panels);
    paneled_ = true;
  } else if (code_bytes > codes_.size()) {
    append_filled(codes_, code_bytes - codes_.size(), uint8_t{0x80});
  }
}

void SLB::make_room(uint64_t inserts, uint64_t width) {
  // Only keys of the buffer's width have codes: others need no room.
  if (width == dim_) make_room_for_codes(inserts);
}

void SLB::insert(CellId cell_id, OwnerId owner, std::span<const float> key) {
  const Quantized q = quantize(key);
  insert_quantized(cell_id, owner, q, key.size());
}

void SLB::insert_quantized(CellId cell_id, OwnerId owner, const Quantized& q, uint64_t width) {
  // The room its codes may need first: when that allocation fails, nothing has changed.
  if (width == dim_) make_room_for_codes(1);
  const size_t i = take_slot(cell_id, owner);
  if (width == dim_) give_row(i);
  store_codes(i, q, width);
}

void SLB::insert_all(std::span<const Insert> items) {
  // Codes are written per slot and nothing before the end of the batch reads them, so the last
  // item placed in each slot is the only one whose key needs quantizing.
  if (fill_empty(items)) return;
  static constexpr size_t NONE = SIZE_MAX;
  size_t coded = 0;
  for (const Insert& in : items) coded += in.key.size() == dim_;
  make_room_for_codes(coded);
  std::vector<size_t> last;
  last.reserve(std::min<uint64_t>(capacity_, items.size()));
  for (size_t j = 0; j < items.size(); ++j) {
    const size_t i = take_slot(items[j].cell_id, items[j].owner);
    // A slot takes its code row with its first key of width dim_, as insert gives it.
    if (items[j].key.size() == dim_) give_row(i);
    if (i >= last.size()) last.resize(i + 1, NONE);
    last[i] = j;
  }
  for (size_t i = 0; i < last.size(); ++i) {
    if (last[i] == NONE) continue;
    const std::span<const float> key = items[last[i]].key;
    store_codes(i, quantize(key), key.size());
  }
}

bool SLB::fill_empty(std::span<const Insert> items) {
  // Into an empty buffer, distinct cells go round the slots in order: item j ends up in slot
  // j % capacity, stamped clock + j + 1, and only the last `capacity` items stay. Strictly
  // ascending ids are distinct.
  if (!slots_.empty() || occupancy_ != 0 || capacity_ == 0 || items.empty()) return false;
  for (size_t j = 1; j < items.size(); ++j) {
    if (items[j].cell_id <= items[j - 1].cell_id) return false;
  }
  const size_t n = items.size();
  const size_t kept = static_cast<size_t>(std::min<uint64_t>(n, capacity_));
  QM_CHECK(kept < UINT32_MAX);
  size_t coded = 0;
  for (const Insert& in : items) coded += in.key.size() == dim_;
  make_room_for_codes(coded);
  for (size_t i = 0; i < kept; ++i) append_slot();
  id_map_.reserve(kept);
  stamp_heap_.reserve(kept);
  // A slot takes its code row with its first key of width dim_, as inserts one by one give
  // them, evicted items included.
  for (size_t j = 0; j < n; ++j) {
    if (items[j].key.size() == dim_) give_row(static_cast<size_t>(j % capacity_));
  }
  for (size_t j = n - kept; j < n; ++j) {
    const size_t i = static_cast<size_t>(j % capacity_);
    Slot& s = slots_[i];
    s.cell_id = items[j].cell_id;
    s.owner = items[j].owner;
    s.stamp = clock_ + j + 1;
    s.occupied = true;
    store_codes(i, quantize(items[j].key), items[j].key.size());
    in_heap_[i] = 1;
    stamp_heap_.emplace_back(s.stamp, static_cast<uint32_t>(i));
    id_map_[s.cell_id] = i;
  }
  std::make_heap(stamp_heap_.begin(), stamp_heap_.end(),
                 [](const auto& a, const auto& b) { return a > b; });
  clock_ += n;
  occupancy_ = kept;
  recompute_victim();
  return true;
}

size_t SLB::take_slot(CellId cell_id, OwnerId owner) {
  if (auto it = id_map_.find(cell_id); it != id_map_.end()) {
    clock_ += 1;
    size_t i = it->second;
    slots_[i].stamp = clock_;
    if (victim_ == i) recompute_victim();
    return i;
  }
  // The id's map entry and a slot that has to be appended are made before anything else
  // changes, so that an allocation that fails leaves the buffer as it was.
  const auto entry = id_map_.emplace(cell_id, 0).first;
  const bool evicts = occupancy_ >= capacity_ && victim_;
  std::optional<size_t> appended;
  if (!evicts && free_slots_.empty()) {
    try {
      appended = append_slot();
    } catch (...) {
      id_map_.erase(entry);
      throw;
    }
  }
  clock_ += 1;
  if (evicts) {
    size_t v = *victim_;
    slots_[v].occupied = false;
    if (slots_[v].row != NO_ROW) scorable_[slots_[v].row] = 0;
    id_map_.erase(slots_[v].cell_id);
    occupancy_ -= 1;
    free_slots_.push_back(v);
    recompute_victim();
  }
  size_t i;
  // Free slots are reused most recently freed first (the just-evicted one after an eviction).
  if (appended) {
    i = *appended;
  } else {
    i = free_slots_.back();
    free_slots_.pop_back();
  }
  Slot& s = slots_[i];
  s.cell_id = cell_id;
  s.owner = owner;
  s.stamp = clock_;
  s.occupied = true;
  track_slot(i);
  entry->second = i;
  occupancy_ += 1;
  if (!victim_) victim_ = i;
  return i;
}

std::vector<ScoredCell> SLB::query(std::span<const float> query, uint64_t k) {
  std::vector<ScoredCell> out;
  if (query.size() != dim_) return out;
  query_codes_.resize(query.size());
  const float query_scale = quantize_i8(query.data(), query.size(), query_codes_.data());
  const float f = 1.0f / std::sqrt(static_cast<float>(query.size()));
  size_t kept;
  if (paneled_) {
    const size_t n_panels = i8_panel_count(slot_of_row_.size());
    best_.resize(std::min<uint64_t>(k, n_panels * I8_PANEL_WIDTH));
    // The scan scores the padding rows of the last panel too; scorable_ leaves them out.
    kept = top_k_i8_panels(query_codes_.data(), codes_.data(), n_panels, dim_, scales_.data(),
                           scorable_.data(), query_scale, f, k, best_.data());
  } else {
    // Fewer rows than a panel holds: the same scores, row by row.
    const size_t n = slot_of_row_.size();
    best_.resize(std::min<uint64_t>(k, n));
    int32_t dots[I8_PANEL_WIDTH];
    float scores[I8_PANEL_WIDTH];
    dot_i8_many(query_codes_.data(), reinterpret_cast<const int8_t*>(codes_.data()), n, dim_,
                i8_panel_dim(dim_), dots);
    scale_dots_i32(dots, scales_.data(), query_scale, f, n, scores);
    kept = top_k_scores(scores, scorable_.data(), n, k, best_.data());
  }
  clock_ += 1;
  out.reserve(kept);
  for (size_t j = 0; j < kept; ++j) {
    Slot& s = slots_[slot_of_row_[best_[j].index]];
    s.stamp = clock_;
    out.push_back({s.cell_id, s.owner, best_[j].score});
  }
  return out;
}

void SLB::remove(CellId cell_id) {
  auto it = id_map_.find(cell_id);
  if (it == id_map_.end()) return;
  size_t i = it->second;
  if (slots_[i].occupied) {
    slots_[i].occupied = false;
    if (slots_[i].row != NO_ROW) scorable_[slots_[i].row] = 0;
    if (occupancy_ > 0) occupancy_ -= 1;
    free_slots_.push_back(i);
  }
  id_map_.erase(it);
  if (victim_ == i) recompute_victim();
}

}  // namespace quellmar
