#pragma once

// A map from cell ids to values in one array of slots (open addressing, linear probing, a power
// of two of slots, at most 7/8 of them used). Inserting or finding costs one hash and, usually,
// one cache line, where a node-based map pays a division, a pointer chase and an allocation.
// Iteration goes through the slots in array order, which follows the (seeded) hash: no order can
// be relied upon. References and iterators are invalidated by inserts that grow the array and by
// erasures.

#include <cstdint>
#include <stdexcept>
#include <type_traits>
#include <utility>
#include <vector>

#include "quellmar/core/types.h"

namespace quellmar {

template <typename V, typename Hash>
class FlatIdMap {
 public:
  using value_type = std::pair<CellId, V>;

  template <bool Const>
  class Iter {
   public:
    using Map = std::conditional_t<Const, const FlatIdMap, FlatIdMap>;
    using Ref = std::conditional_t<Const, const value_type&, value_type&>;
    using Ptr = std::conditional_t<Const, const value_type*, value_type*>;

    Iter(Map* map, size_t slot) : map_(map), slot_(slot) { skip(); }
    Ref operator*() const { return map_->slots_[slot_]; }
    Ptr operator->() const { return &map_->slots_[slot_]; }
    Iter& operator++() {
      ++slot_;
      skip();
      return *this;
    }
    bool operator==(const Iter& o) const { return slot_ == o.slot_; }
    bool operator!=(const Iter& o) const { return slot_ != o.slot_; }
    size_t slot() const { return slot_; }

   private:
    void skip() {
      while (slot_ < map_->used_.size() && !map_->used_[slot_]) ++slot_;
    }
    Map* map_;
    size_t slot_;
  };
  using iterator = Iter<false>;
  using const_iterator = Iter<true>;

  iterator begin() { return iterator(this, 0); }
  iterator end() { return iterator(this, used_.size()); }
  const_iterator begin() const { return const_iterator(this, 0); }
  const_iterator end() const { return const_iterator(this, used_.size()); }

  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

  // Room for n entries without growing.
  void reserve(size_t n) {
    size_t slots = 16;
    while (slots - slots / 8 < n) slots *= 2;
    if (slots > used_.size()) rehash(slots);
  }

  iterator find(CellId id) { return iterator(this, locate(id)); }
  const_iterator find(CellId id) const { return const_iterator(this, locate(id)); }
  size_t count(CellId id) const { return locate(id) != used_.size() ? 1 : 0; }
  const V& at(CellId id) const {
    const size_t i = locate(id);
    if (i == used_.size()) throw std::out_of_range("FlatIdMap::at");
    return slots_[i].second;
  }

  // Starts loading the cache lines of id's home slot (a hint; changes nothing).
  void prefetch(CellId id) const {
    if (used_.empty()) return;
    const size_t i = home(id);
    __builtin_prefetch(&used_[i], 1);
    __builtin_prefetch(&slots_[i], 1);
  }

  // The entry of id, default-constructed when new.
  V& operator[](CellId id) {
    if (size_ + 1 > used_.size() - used_.size() / 8) reserve(size_ + 1);
    size_t i = home(id);
    while (used_[i]) {
      if (slots_[i].first == id) return slots_[i].second;
      i = (i + 1) & mask_;
    }
    used_[i] = 1;
    slots_[i].first = id;
    slots_[i].second = V();
    ++size_;
    return slots_[i].second;
  }

  void erase(iterator it) { erase_slot(it.slot()); }
  size_t erase(CellId id) {
    const size_t i = locate(id);
    if (i == used_.size()) return 0;
    erase_slot(i);
    return 1;
  }
  void clear() {
    slots_.clear();
    used_.clear();
    mask_ = 0;
    size_ = 0;
  }

 private:
  size_t home(CellId id) const { return Hash()(id) & mask_; }

  // The slot holding id, or used_.size().
  size_t locate(CellId id) const {
    if (size_ == 0) return used_.size();
    for (size_t i = home(id);; i = (i + 1) & mask_) {
      if (!used_[i]) return used_.size();
      if (slots_[i].first == id) return i;
    }
  }

  // Backward-shift deletion: entries after the hole that may move back into it do, so every
  // entry stays reachable from its home slot without tombstones.
  void erase_slot(size_t hole) {
    used_[hole] = 0;
    slots_[hole].second = V();
    --size_;
    for (size_t j = (hole + 1) & mask_; used_[j]; j = (j + 1) & mask_) {
      const size_t h = home(slots_[j].first);
      // The entry at j stays when its home lies cyclically in (hole, j].
      const bool stays = hole <= j ? (hole < h && h <= j) : (hole < h || h <= j);
      if (stays) continue;
      slots_[hole] = std::move(slots_[j]);
      used_[hole] = 1;
      used_[j] = 0;
      slots_[j].second = V();
      hole = j;
    }
  }

  void rehash(size_t slots) {
    std::vector<value_type> old_slots(slots);
    std::vector<uint8_t> old_used(slots, 0);
    old_slots.swap(slots_);
    old_used.swap(used_);
    mask_ = slots - 1;
    for (size_t i = 0; i < old_used.size(); ++i) {
      if (!old_used[i]) continue;
      size_t j = home(old_slots[i].first);
      while (used_[j]) j = (j + 1) & mask_;
      used_[j] = 1;
      slots_[j] = std::move(old_slots[i]);
    }
  }

  std::vector<value_type> slots_;
  std::vector<uint8_t> used_;
  size_t mask_ = 0;
  size_t size_ = 0;
};

}  // namespace quellmar
