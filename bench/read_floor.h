#pragma once

// The single-thread read-bandwidth floor: the time to read a buffer once, summing its 64-bit
// words with the widest loads the CPU has. Benchmarks of scanning code compare against it.
//
// The prefetching form adds a software prefetch 8 KiB ahead (past page boundaries, where the
// hardware prefetchers stop), as the flat scan does: a stricter floor for buffers that come from
// memory.

#include <immintrin.h>

#include <cstddef>
#include <cstdint>

namespace quellmar::bench {

inline constexpr size_t READ_PREFETCH_BYTES = 8192;

// Prefetches the lines of `bytes` bytes at `at` + READ_PREFETCH_BYTES.
inline void prefetch_ahead(const uint64_t* at, size_t bytes) {
  const char* ahead = reinterpret_cast<const char*>(at) + READ_PREFETCH_BYTES;
  for (size_t b = 0; b < bytes; b += 64) _mm_prefetch(ahead + b, _MM_HINT_T0);
}

inline uint64_t sum_tail(uint64_t s, const uint64_t* p, size_t i, size_t n) {
  for (; i < n; ++i) s += p[i];
  return s;
}

template <bool Prefetch>
__attribute__((target("avx512f"))) inline uint64_t read_sum_avx512(const uint64_t* p, size_t n) {
  __m512i a0 = _mm512_setzero_si512(), a1 = a0, a2 = a0, a3 = a0;
  size_t i = 0;
  for (; i + 32 <= n; i += 32) {
    if (Prefetch) prefetch_ahead(p + i, 256);
    a0 = _mm512_add_epi64(a0, _mm512_loadu_si512(p + i));
    a1 = _mm512_add_epi64(a1, _mm512_loadu_si512(p + i + 8));
    a2 = _mm512_add_epi64(a2, _mm512_loadu_si512(p + i + 16));
    a3 = _mm512_add_epi64(a3, _mm512_loadu_si512(p + i + 24));
  }
  alignas(64) uint64_t lanes[8];
  _mm512_store_si512(lanes, _mm512_add_epi64(_mm512_add_epi64(a0, a1), _mm512_add_epi64(a2, a3)));
  uint64_t s = 0;
  for (uint64_t l : lanes) s += l;
  return sum_tail(s, p, i, n);
}

template <bool Prefetch>
__attribute__((target("avx2"))) inline uint64_t read_sum_avx2(const uint64_t* p, size_t n) {
  const __m256i* v = reinterpret_cast<const __m256i*>(p);
  __m256i a0 = _mm256_setzero_si256(), a1 = a0, a2 = a0, a3 = a0;
  size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    if (Prefetch) prefetch_ahead(p + i, 128);
    a0 = _mm256_add_epi64(a0, _mm256_loadu_si256(v + i / 4));
    a1 = _mm256_add_epi64(a1, _mm256_loadu_si256(v + i / 4 + 1));
    a2 = _mm256_add_epi64(a2, _mm256_loadu_si256(v + i / 4 + 2));
    a3 = _mm256_add_epi64(a3, _mm256_loadu_si256(v + i / 4 + 3));
  }
  alignas(32) uint64_t lanes[4];
  _mm256_store_si256(reinterpret_cast<__m256i*>(lanes),
                     _mm256_add_epi64(_mm256_add_epi64(a0, a1), _mm256_add_epi64(a2, a3)));
  uint64_t s = 0;
  for (uint64_t l : lanes) s += l;
  return sum_tail(s, p, i, n);
}

inline uint64_t read_sum_plain(const uint64_t* p, size_t n) {
  uint64_t s0 = 0, s1 = 0, s2 = 0, s3 = 0;
  size_t i = 0;
  for (; i + 4 <= n; i += 4) s0 += p[i], s1 += p[i + 1], s2 += p[i + 2], s3 += p[i + 3];
  return sum_tail(s0 + s1 + s2 + s3, p, i, n);
}

// 2: AVX-512, 1: AVX2, 0: neither.
inline int read_width() {
  static const int width = __builtin_cpu_supports("avx512f") ? 2
                           : __builtin_cpu_supports("avx2")  ? 1
                                                             : 0;
  return width;
}

template <bool Prefetch>
inline uint64_t read_sum_widest(const uint64_t* p, size_t n) {
  switch (read_width()) {
    case 2:
      return read_sum_avx512<Prefetch>(p, n);
    case 1:
      return read_sum_avx2<Prefetch>(p, n);
  }
  return read_sum_plain(p, n);
}

inline uint64_t read_sum(const uint64_t* p, size_t n) { return read_sum_widest<false>(p, n); }

inline uint64_t read_sum_prefetch(const uint64_t* p, size_t n) {
  return read_sum_widest<true>(p, n);
}

}  // namespace quellmar::bench
