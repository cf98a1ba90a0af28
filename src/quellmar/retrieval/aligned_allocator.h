#pragma once

// A std::allocator stand-in that places every block on an ALIGN-byte boundary, for buffers that
// the scan kernels read in whole cache lines.

#include <algorithm>
#include <cstddef>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

namespace quellmar {

template <class T, size_t ALIGN = 64>
struct AlignedAllocator {
  using value_type = T;
  static_assert(ALIGN >= alignof(T) && (ALIGN & (ALIGN - 1)) == 0);

  AlignedAllocator() = default;
  template <class U>
  AlignedAllocator(const AlignedAllocator<U, ALIGN>&) {}  // NOLINT: rebinding is implicit
  template <class U>
  struct rebind {
    using other = AlignedAllocator<U, ALIGN>;
  };

  T* allocate(size_t n) {
    return static_cast<T*>(::operator new (n * sizeof(T), std::align_val_t{ALIGN}));
  }
  // Unsized: clang declares sized deallocation only when asked to.
  void deallocate(T* p, size_t /*n*/) { ::operator delete (p, std::align_val_t{ALIGN}); }
  // Default-initialises: a resize without a value leaves trivial elements unset (append_filled
  // then sets them in one fill, where a vector would construct them one at a time).
  template <class U>
  void construct(U* p) noexcept(std::is_nothrow_default_constructible_v<U>) {
    ::new (static_cast<void*>(p)) U;
  }
  template <class U, class... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
  template <class U>
  bool operator==(const AlignedAllocator<U, ALIGN>&) const {
    return true;
  }
};

// Grows v by n elements equal to value.
template <class T, size_t ALIGN>
void append_filled(std::vector<T, AlignedAllocator<T, ALIGN>>& v, size_t n, T value) {
  static_assert(std::is_trivially_copyable_v<T>);
  const size_t old = v.size();
  v.resize(old + n);
  std::fill_n(v.data() + old, n, value);
}

}  // namespace quellmar
