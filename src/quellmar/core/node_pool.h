#pragma once

// An allocator for node-based containers (std::unordered_map and the like) that hands out their
// one-node blocks from large chunks instead of one heap call each. An engine's governance and
// pack maps hold one node per cell; building them at open from a quarter of a million heap calls
// cost more than everything else the open does with them.
//
// Each container has a pool of its own: copies of a container start a new pool, and only moves
// carry one along, so two containers never share a pool (and never race on it). Freed nodes are
// kept for the container's later inserts; the chunks go back when the container is destroyed.
// Arrays (the bucket tables) come from the heap as usual. Under AddressSanitizer every block
// comes from the heap, so that use-after-free of a node is still caught.

#include <algorithm>
#include <cstddef>
#include <memory>
#include <new>
#include <type_traits>
#include <unordered_map>
#include <vector>

namespace quellmar {

#if defined(__SANITIZE_ADDRESS__)
#define QM_NODE_POOL_PASSTHROUGH 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QM_NODE_POOL_PASSTHROUGH 1
#endif
#endif
#ifndef QM_NODE_POOL_PASSTHROUGH
#define QM_NODE_POOL_PASSTHROUGH 0
#endif

class NodePool {
 public:
  static constexpr size_t GRAIN = 16;           // block sizes are rounded up to this
  static constexpr size_t MAX_BLOCK = 256;      // larger blocks come from the heap
  static constexpr size_t FIRST_CHUNK = 16384;  // chunks double from here ...
  static constexpr size_t MAX_CHUNK = 1 << 20;  // ... up to this

  NodePool() = default;
  NodePool(const NodePool&) = delete;
  NodePool& operator=(const NodePool&) = delete;

  void* allocate(size_t bytes) {
    if (QM_NODE_POOL_PASSTHROUGH || bytes > MAX_BLOCK) return ::operator new(bytes);
    const size_t cls = class_of(bytes);
    if (FreeBlock* b = free_[cls]) {
      free_[cls] = b->next;
      return b;
    }
    const size_t size = cls * GRAIN;
    if (static_cast<size_t>(end_ - cur_) < size) grow();
    void* p = cur_;
    cur_ += size;
    return p;
  }

  void deallocate(void* p, size_t bytes) noexcept {
    if (QM_NODE_POOL_PASSTHROUGH || bytes > MAX_BLOCK) {
      ::operator delete(p);
      return;
    }
    const size_t cls = class_of(bytes);
    auto* b = static_cast<FreeBlock*>(p);
    b->next = free_[cls];
    free_[cls] = b;
  }

 private:
  struct FreeBlock {
    FreeBlock* next;
  };
  static size_t class_of(size_t bytes) { return bytes == 0 ? 1 : (bytes + GRAIN - 1) / GRAIN; }

  void grow() {
    const size_t size = chunks_.empty() ? FIRST_CHUNK : std::min(MAX_CHUNK, 2 * chunk_size_);
    // The tail of the old chunk is too short for the block asked for; it stays unused.
    chunks_.push_back(std::unique_ptr<std::byte[]>(new std::byte[size]));
    chunk_size_ = size;
    cur_ = chunks_.back().get();
    end_ = cur_ + size;
  }

  std::vector<std::unique_ptr<std::byte[]>> chunks_;
  size_t chunk_size_ = 0;
  std::byte* cur_ = nullptr;
  std::byte* end_ = nullptr;
  FreeBlock* free_[MAX_BLOCK / GRAIN + 1] = {};
};

template <class T>
class NodePoolAllocator {
 public:
  using value_type = T;
  // Moves and swaps take the pool along; a copy-assigned container keeps its own.
  using propagate_on_container_copy_assignment = std::false_type;
  using propagate_on_container_move_assignment = std::true_type;
  using propagate_on_container_swap = std::true_type;
  static_assert(alignof(T) <= NodePool::GRAIN);

  NodePoolAllocator() : pool_(std::make_shared<NodePool>()) {}
  // Declared so that a move copies: a moved-from container keeps a usable pool.
  NodePoolAllocator(const NodePoolAllocator&) = default;
  NodePoolAllocator& operator=(const NodePoolAllocator&) = default;
  template <class U>
  NodePoolAllocator(const NodePoolAllocator<U>& other) : pool_(other.pool_) {}  // NOLINT

  // A copied container gets a pool of its own.
  NodePoolAllocator select_on_container_copy_construction() const { return NodePoolAllocator(); }

  T* allocate(size_t n) {
    if (n != 1) return std::allocator<T>().allocate(n);
    return static_cast<T*>(pool_->allocate(sizeof(T)));
  }
  void deallocate(T* p, size_t n) noexcept {
    if (n != 1) {
      std::allocator<T>().deallocate(p, n);
      return;
    }
    pool_->deallocate(p, sizeof(T));
  }

  template <class U>
  bool operator==(const NodePoolAllocator<U>& other) const {
    return pool_ == other.pool_;
  }

 private:
  template <class U>
  friend class NodePoolAllocator;
  std::shared_ptr<NodePool> pool_;
};

// A hash map whose nodes come from a pool of its own.
template <class K, class V>
using PooledHashMap = std::unordered_map<K, V, std::hash<K>, std::equal_to<K>,
                                         NodePoolAllocator<std::pair<const K, V>>>;

}  // namespace quellmar
