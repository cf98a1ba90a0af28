#pragma once

// A std::allocator stand-in that places every block on an ALIGN-byte boundary, for buffers that
// the scan kernels read in whole cache lines.
//
// Large blocks (the stages' key panels, graph adjacency) are mapped on their own, 2 MiB-aligned,
// and marked for transparent huge pages: filling them then takes one page fault per 2 MiB
// instead of one per 4 KiB, which is most of what building them at open costs.

#include <sys/mman.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

namespace quellmar {

namespace huge_block {

inline constexpr size_t PAGE = size_t{2} << 20;
// Blocks from this size on get their own mapping; smaller ones come from the heap as usual, so
// none of them takes a whole huge page.
inline constexpr size_t MIN_BYTES = size_t{4} << 20;

inline size_t mapped_size(size_t bytes) { return (bytes + PAGE - 1) / PAGE * PAGE; }

// A PAGE-aligned mapping of at least `bytes`, or null when the system refuses one.
inline void* map(size_t bytes) {
  const size_t size = mapped_size(bytes);
  void* raw =
      ::mmap(nullptr, size + PAGE, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) return nullptr;
  // Trim the slack so the block starts on a huge-page boundary.
  const auto addr = reinterpret_cast<uintptr_t>(raw);
  const uintptr_t start = (addr + PAGE - 1) & ~(uintptr_t{PAGE} - 1);
  if (start > addr) ::munmap(raw, start - addr);
  const uintptr_t tail = addr + size + PAGE - (start + size);
  if (tail > 0) ::munmap(reinterpret_cast<void*>(start + size), tail);
  void* block = reinterpret_cast<void*>(start);
  (void)::madvise(block, size, MADV_HUGEPAGE);  // a hint only: 4 KiB pages work all the same
  return block;
}

inline void unmap(void* block, size_t bytes) { ::munmap(block, mapped_size(bytes)); }

}  // namespace huge_block

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
    if (n > SIZE_MAX / sizeof(T)) throw std::bad_array_new_length();
    if (n * sizeof(T) >= huge_block::MIN_BYTES) {
      if (void* block = huge_block::map(n * sizeof(T))) return static_cast<T*>(block);
      throw std::bad_alloc();
    }
    return static_cast<T*>(::operator new (n * sizeof(T), std::align_val_t{ALIGN}));
  }
  // Unsized: clang declares sized deallocation only when asked to. The size a block was
  // allocated with tells which of the two kinds it is.
  void deallocate(T* p, size_t n) {
    if (n * sizeof(T) >= huge_block::MIN_BYTES) {
      huge_block::unmap(p, n * sizeof(T));
      return;
    }
    ::operator delete (p, std::align_val_t{ALIGN});
  }
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
