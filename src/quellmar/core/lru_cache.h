#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <unordered_map>
#include <utility>

namespace quellmar {

// A map of fixed capacity that evicts its least recently used entry. Values are shared and
// immutable: a caller that got a value keeps it valid after the entry is evicted or replaced.
// Not thread-safe; wrap it in a PoisonMutex to share it.
template <typename K, typename V, typename Hash = std::hash<K>>
class LruCache {
 public:
  using Value = std::shared_ptr<const V>;

  // A capacity of 0 is taken as 1.
  explicit LruCache(uint64_t capacity, Hash hash = Hash())
      : capacity_(std::max<uint64_t>(capacity, 1)), index_(0, std::move(hash)) {}

  LruCache(const LruCache&) = delete;
  LruCache& operator=(const LruCache&) = delete;

  // The value of `key`, made the most recent; null when absent.
  Value get(const K& key) {
    auto it = index_.find(key);
    if (it == index_.end()) return nullptr;
    order_.splice(order_.begin(), order_, it->second);
    return it->second->second;
  }

  // The value of `key` without changing the recency order; null when absent.
  Value peek(const K& key) const {
    auto it = index_.find(key);
    return it == index_.end() ? nullptr : it->second->second;
  }

  bool contains(const K& key) const { return index_.count(key) != 0; }

  // Stores `value` under `key` as the most recent entry. A present key gets the new value; a new
  // key in a full cache first evicts the least recently used entry.
  void put(const K& key, Value value) {
    auto it = index_.find(key);
    if (it != index_.end()) {
      it->second->second = std::move(value);
      order_.splice(order_.begin(), order_, it->second);
      return;
    }
    if (index_.size() >= capacity_) {
      index_.erase(order_.back().first);
      order_.pop_back();
    }
    order_.emplace_front(key, std::move(value));
    index_.emplace(key, order_.begin());
  }

  // Drops `key`; returns whether it was present.
  bool remove(const K& key) {
    auto it = index_.find(key);
    if (it == index_.end()) return false;
    order_.erase(it->second);
    index_.erase(it);
    return true;
  }

  uint64_t size() const { return index_.size(); }
  uint64_t capacity() const { return capacity_; }
  bool empty() const { return index_.empty(); }

 private:
  using Entry = std::pair<K, Value>;

  uint64_t capacity_;
  std::list<Entry> order_;  // most recent first
  std::unordered_map<K, typename std::list<Entry>::iterator, Hash> index_;
};

}  // namespace quellmar
