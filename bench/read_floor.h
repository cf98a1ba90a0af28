#pragma once

// The single-thread read-bandwidth floor: the time to read a buffer once, summing its 64-bit
// words with the widest loads the CPU has. Benchmarks of scanning code compare against it.

#include <immintrin.h>

#include <cstddef>
#include <cstdint>

namespace quellmar::bench {

__attribute__((target("avx512f"))) inline uint64_t read_sum_avx512(const uint64_t* p, size_t n) {
  __m512i a0 = _mm512_setzero_si512(), a1 = a0, a2 = a0, a3 = a0;
  size_t i = 0;
  for (; i + 32 <= n; i += 32) {
    a0 = _mm512_add_epi64(a0, _mm512_loadu_si512(p + i));
    a1 = _mm512_add_epi64(a1, _mm512_loadu_si512(p + i + 8));
    a2 = _mm512_add_epi64(a2, _mm512_loadu_si512(p + i + 16));
    a3 = _mm512_add_epi64(a3, _mm512_loadu_si512(p + i + 24));
  }
  alignas(64) uint64_t lanes[8];
  _mm512_store_si512(lanes, _mm512_add_epi64(_mm512_add_epi64(a0, a1), _mm512_add_epi64(a2, a3)));
  uint64_t s = 0;
  for (uint64_t l : lanes) s += l;
  for (; i < n; ++i) s += p[i];
  return s;
}

// The same read with a software prefetch 8 KiB ahead (past page boundaries, where the hardware
// prefetchers stop), as the flat scan does: a stricter floor for buffers that come from memory.
__attribute__((target("avx512f"))) inline uint64_t read_sum_prefetch_avx512(const uint64_t* p,
                                                                            size_t n) {
  __m512i a0 = _mm512_setzero_si512(), a1 = a0, a2 = a0, a3 = a0;
  size_t i = 0;
  for (; i + 32 <= n; i += 32) {
    const char* ahead = reinterpret_cast<const char*>(p + i) + 8192;
    _mm_prefetch(ahead, _MM_HINT_T0);
    _mm_prefetch(ahead + 64, _MM_HINT_T0);
    _mm_prefetch(ahead + 128, _MM_HINT_T0);
    _mm_prefetch(ahead + 192, _MM_HINT_T0);
    a0 = _mm512_add_epi64(a0, _mm512_loadu_si512(p + i));
    a1 = _mm512_add_epi64(a1, _mm512_loadu_si512(p + i + 8));
    a2 = _mm512_add_epi64(a2, _mm512_loadu_si512(p + i + 16));
    a3 = _mm512_add_epi64(a3, _mm512_loadu_si512(p + i + 24));
  }
  alignas(64) uint64_t lanes[8];
  _mm512_store_si512(lanes, _mm512_add_epi64(_mm512_add_epi64(a0, a1), _mm512_add_epi64(a2, a3)));
  uint64_t s = 0;
  for (uint64_t l : lanes) s += l;
  for (; i < n; ++i) s += p[i];
  return s;
}

// The AVX2 forms of the two reads above, for CPUs without AVX-512.
__attribute__((target("avx2"))) inline uint64_t read_sum_avx2(const uint64_t* p, size_t n) {
  __m256i a0 = _mm256_setzero_si256(), a1 = a0, a2 = a0, a3 = a0;
  size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    a0 = _mm256_add_epi64(a0, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i)));
    a1 = _mm256_add_epi64(a1, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i + 4)));
    a2 = _mm256_add_epi64(a2, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i + 8)));
    a3 = _mm256_add_epi64(a3, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i + 12)));
  }
  alignas(32) uint64_t lanes[4];
  _mm256_store_si256(reinterpret_cast<__m256i*>(lanes),
                     _mm256_add_epi64(_mm256_add_epi64(a0, a1), _mm256_add_epi64(a2, a3)));
  uint64_t s = 0;
  for (uint64_t l : lanes) s += l;
  for (; i < n; ++i) s += p[i];
  return s;
}

__attribute__((target("avx2"))) inline uint64_t read_sum_prefetch_avx2(const uint64_t* p,
                                                                        size_t n) {
  __m256i a0 = _mm256_setzero_si256(), a1 = a0, a2 = a0, a3 = a0;
  size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    const char* ahead = reinterpret_cast<const char*>(p + i) + 8192;
    _mm_prefetch(ahead, _MM_HINT_T0);
    _mm_prefetch(ahead + 64, _MM_HINT_T0);
    a0 = _mm256_add_epi64(a0, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i)));
    a1 = _mm256_add_epi64(a1, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i + 4)));
    a2 = _mm256_add_epi64(a2, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i + 8)));
    a3 = _mm256_add_epi64(a3, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i + 12)));
  }
  alignas(32) uint64_t lanes[4];
  _mm256_store_si256(reinterpret_cast<__m256i*>(lanes),
                     _mm256_add_epi64(_mm256_add_epi64(a0, a1), _mm256_add_epi64(a2, a3)));
  uint64_t s = 0;
  for (uint64_t l : lanes) s += l;
  for (; i < n; ++i) s += p[i];
  return s;
}

inline uint64_t read_sum_plain(const uint64_t* p, size_t n) {
  uint64_t s0 = 0, s1 = 0, s2 = 0, s3 = 0;
  size_t i = 0;
  for (; i + 4 <= n; i += 4) s0 += p[i], s1 += p[i + 1], s2 += p[i + 2], s3 += p[i + 3];
  for (; i < n; ++i) s0 += p[i];
  return s0 + s1 + s2 + s3;
}

// 2: AVX-512, 1: AVX2, 0: neither.
inline int read_width() {
  static const int width = __builtin_cpu_supports("avx512f") ? 2
                           : __builtin_cpu_supports("avx2")  ? 1
                                                             : 0;
  return width;
}

inline uint64_t read_sum(const uint64_t* p, size_t n) {
  switch (read_width()) {
    case 2:
      return read_sum_avx512(p, n);
    case 1:
      return read_sum_avx2(p, n);
  }
  return read_sum_plain(p, n);
}

inline uint64_t read_sum_prefetch(const uint64_t* p, size_t n) {
  switch (read_width()) {
    case 2:
      return read_sum_prefetch_avx512(p, n);
    case 1:
      return read_sum_prefetch_avx2(p, n);
  }
  return read_sum_plain(p, n);
}

}  // namespace quellmar::bench
