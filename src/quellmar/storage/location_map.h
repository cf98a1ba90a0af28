#pragma once

// Where each stored cell's record lies, in one array sorted by cell id. Cell ids are handed out in
// increasing order, so nearly every new location goes at the end of the array; the few that do not
// (records moved by compaction, cells another writer stored) are found by binary search or merged
// in. A lookup searches only as many entries as the ids below it leave gaps, so over gapless ids
// it is one memory access. Iterators are invalidated by every change.

#include <algorithm>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <utility>
#include <vector>

#include "quellmar/core/types.h"

namespace quellmar {

struct CellLocation {
  uint64_t offset = 0;   // of the record in its segment
  uint32_t segment = 0;  // segment id
};

class LocationMap {
 public:
  using value_type = std::pair<CellId, CellLocation>;
  using const_iterator = std::vector<value_type>::const_iterator;
  using const_reverse_iterator = std::vector<value_type>::const_reverse_iterator;

  LocationMap() = default;
  // Locations in the order their records were found: where an id repeats, the later one wins.
  static LocationMap from_found(std::vector<value_type> found) {
    LocationMap map;
    map.entries_ = std::move(found);
    map.normalize(/*later_wins=*/true);
    return map;
  }

  const_iterator begin() const { return entries_.begin(); }
  const_iterator end() const { return entries_.end(); }
  const_reverse_iterator rbegin() const { return entries_.rbegin(); }
  const_reverse_iterator rend() const { return entries_.rend(); }
  size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }

  const_iterator find(CellId id) const {
    auto it = lower(id);
    return it != entries_.end() && it->first == id ? it : entries_.end();
  }
  size_t count(CellId id) const { return find(id) != entries_.end() ? 1 : 0; }
  const CellLocation& at(CellId id) const {
    auto it = find(id);
    if (it == entries_.end()) throw std::out_of_range("LocationMap::at");
    return it->second;
  }

  // Sets the location of id, replacing a known one.
  void assign(CellId id, CellLocation loc) {
    if (entries_.empty() || entries_.back().first < id) {
      entries_.emplace_back(id, loc);
      return;
    }
    auto it = entries_.begin() + (lower(id) - entries_.cbegin());
    if (it != entries_.end() && it->first == id) {
      it->second = loc;
    } else {
      entries_.emplace(it, id, loc);
    }
  }

  // Adds the locations of ids not known yet, in the order they were found: where an id repeats,
  // the earlier one is kept, and a known location is never replaced.
  void add_missing(std::span<const value_type> found) {
    if (found.empty()) return;
    const size_t old = entries_.size();
    const bool tail = old == 0 || entries_.back().first < found.front().first;
    entries_.insert(entries_.end(), found.begin(), found.end());
    // Strictly ascending and above every known id: nothing to sort or drop.
    if (tail && std::adjacent_find(entries_.begin() + old, entries_.end(), not_ascending) ==
                    entries_.end()) {
      return;
    }
    normalize(/*later_wins=*/false);
  }

  // Drops the locations for which pred(entry) holds.
  template <class Pred>
  size_t erase_if(Pred pred) {
    return std::erase_if(entries_, pred);
  }

  void reserve(size_t n) { entries_.reserve(n); }
  size_t capacity() const { return entries_.capacity(); }

 private:
  static bool id_less(const value_type& a, const value_type& b) { return a.first < b.first; }
  static bool not_ascending(const value_type& a, const value_type& b) {
    return a.first >= b.first;
  }
  static bool same_id(const value_type& a, const value_type& b) { return a.first == b.first; }

  // The first entry whose id is not below id. Ids are unique, so the entry of id can stand no
  // further right than id - first and no further left than size - 1 - (last - id): without gaps
  // the two meet and there is nothing to search, and each gap widens the range by one.
  const_iterator lower(CellId id) const {
    if (entries_.empty() || id <= entries_.front().first) return entries_.begin();
    if (id > entries_.back().first) return entries_.end();
    const size_t n = entries_.size();
    const CellId right = id - entries_.front().first;
    const CellId from_back = entries_.back().first - id;
    const size_t hi = right < n - 1 ? static_cast<size_t>(right) : n - 1;
    const size_t lo = from_back < n - 1 ? n - 1 - static_cast<size_t>(from_back) : 0;
    return std::lower_bound(entries_.begin() + lo, entries_.begin() + hi + 1, id,
                            [](const value_type& e, CellId v) { return e.first < v; });
  }

  // Sorts by id (stably, so equal ids keep their order) and keeps one entry per id: the last of
  // its run or the first.
  void normalize(bool later_wins) {
    if (!std::is_sorted(entries_.begin(), entries_.end(), id_less)) {
      std::stable_sort(entries_.begin(), entries_.end(), id_less);
    }
    if (std::adjacent_find(entries_.begin(), entries_.end(), same_id) == entries_.end()) return;
    size_t w = 0;
    for (size_t i = 0; i < entries_.size();) {
      size_t j = i + 1;
      while (j < entries_.size() && entries_[j].first == entries_[i].first) ++j;
      entries_[w++] = entries_[later_wins ? j - 1 : i];
      i = j;
    }
    entries_.resize(w);
  }

  std::vector<value_type> entries_;
};

}  // namespace quellmar
