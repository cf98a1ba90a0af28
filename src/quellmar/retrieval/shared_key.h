#pragma once

// A stored key that several holders share (the engine's refresh, the stages, the graph's nodes):
// a view of its values plus a reference that keeps the memory under them alive. The memory is
// either the key's own vector or a slice of a KeyBlock, where a refresh decodes the keys of all
// the records it reads: one allocation for all of them instead of one (and a page fault per few)
// for each.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "quellmar/core/aligned_allocator.h"

namespace quellmar {

class SharedKey {
 public:
  SharedKey() = default;
  SharedKey(std::nullptr_t) {}  // NOLINT: the empty handle, like a null pointer
  // A key of its own.
  explicit SharedKey(std::vector<float> values) {
    auto owned = std::make_shared<const std::vector<float>>(std::move(values));
    values_ = std::span<const float>(*owned);
    owner_ = std::move(owned);
  }
  // Values that `owner` keeps alive.
  SharedKey(std::shared_ptr<const void> owner, std::span<const float> values)
      : owner_(std::move(owner)), values_(values) {}

  std::span<const float> operator*() const { return values_; }
  const std::span<const float>* operator->() const { return &values_; }
  // False for the empty handle.
  explicit operator bool() const { return owner_ != nullptr; }
  // Two handles of the same values (the same memory, the same length) are equal.
  friend bool operator==(const SharedKey& a, const SharedKey& b) {
    return a.owner_ == b.owner_ && a.values_.data() == b.values_.data() &&
           a.values_.size() == b.values_.size();
  }

 private:
  std::shared_ptr<const void> owner_;
  std::span<const float> values_;
};

// Keys appended one after another into large blocks, each key on a cache-line boundary and
// whole within one block. Handles to its keys keep the whole block alive.
class KeyBlock : public std::enable_shared_from_this<KeyBlock> {
 public:
  // Room for `n` values, filled by the caller at once; valid until the next append.
  float* append(size_t n);
  // The handle of the values at `at` (from append) of length n.
  SharedKey share(const float* at, size_t n) const {
    return SharedKey(shared_from_this(), std::span<const float>(at, n));
  }
  size_t bytes() const;

 private:
  // Blocks large enough to be mapped on their own (see AlignedAllocator).
  static constexpr size_t CHUNK_FLOATS = (size_t{4} << 20) / sizeof(float);
  static constexpr size_t ALIGN_FLOATS = 64 / sizeof(float);
  std::vector<std::vector<float, AlignedAllocator<float>>> chunks_;
  size_t used_ = 0;  // floats used of the last chunk
};

}  // namespace quellmar
