#pragma once

// A std::allocator stand-in that places every block on an ALIGN-byte boundary, for buffers that
// the scan kernels read in whole cache lines.

#include <cstddef>
#include <new>

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
  template <class U>
  bool operator==(const AlignedAllocator<U, ALIGN>&) const {
    return true;
  }
};

}  // namespace quellmar
