#include "quellmar/storage/quantization.h"

#include <algorithm>
#include <atomic>
#include <cmath>

#include "quellmar/core/cpu_features.h"
#include "quellmar/storage/q4_kernels.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace quellmar {

namespace {

// The nibble of x: x / scale rounded to nearest with halves away from zero, limited to
// -128..127, plus 8, limited to 0..15; NaN gives the zero code 8. Float operations only, so that
// the group loops vectorise on the baseline instruction set; every step is exact (|q| is clamped
// far below 2^23 before the conversion).
inline float nibble(float x, float scale) {
  float q = x / scale;
  q = q == q ? q : 0.0f;
  q = std::min(std::max(q, -130.0f), 130.0f);
  float t = static_cast<float>(static_cast<int32_t>(q));
  const float frac = q - t;
  t += (frac >= 0.5f ? 1.0f : 0.0f) - (frac <= -0.5f ? 1.0f : 0.0f);
  t = std::min(std::max(t, -128.0f), 127.0f);
  return std::min(std::max(t + 8.0f, 0.0f), 15.0f);
}

}  // namespace

namespace q4_internal {

#if defined(__SSE2__)
// Full groups with SSE2, which every x86-64 machine has. Same results as the scalar path: max
// ignores NaN (maxps returns its second operand when either is NaN), and the rounding is the same
// exact sequence of float operations.
void quantize_groups_sse2(const float* v, size_t groups, float* scales, uint8_t* out) {
  for (size_t g = 0; g < groups; ++g, v += Q4_GROUP, out += Q4_GROUP_BYTES) {
    const __m128 sign_mask = _mm_set1_ps(-0.0f);
    __m128 m = _mm_setzero_ps();
    for (int i = 0; i < 32; i += 4) {
      m = _mm_max_ps(_mm_andnot_ps(sign_mask, _mm_loadu_ps(v + i)), m);
    }
    m = _mm_max_ps(m, _mm_shuffle_ps(m, m, _MM_SHUFFLE(1, 0, 3, 2)));
    m = _mm_max_ps(m, _mm_shuffle_ps(m, m, _MM_SHUFFLE(2, 3, 0, 1)));
    const float absmax = _mm_cvtss_f32(m);
    const float scale = absmax == 0.0f ? 1.0f : absmax / 7.0f;
    scales[g] = scale;
    const __m128 vs = _mm_set1_ps(scale), lo = _mm_set1_ps(-130.0f), hi = _mm_set1_ps(130.0f);
    const __m128 half = _mm_set1_ps(0.5f), mhalf = _mm_set1_ps(-0.5f), one = _mm_set1_ps(1.0f);
    const __m128 eight = _mm_set1_ps(8.0f), zero = _mm_setzero_ps(), fifteen = _mm_set1_ps(15.0f);
    const __m128 tmin = _mm_set1_ps(-128.0f), tmax = _mm_set1_ps(127.0f);
    __m128i codes[8];
    for (int k = 0; k < 8; ++k) {
      __m128 q = _mm_div_ps(_mm_loadu_ps(v + 4 * k), vs);
      q = _mm_and_ps(q, _mm_cmpord_ps(q, q));  // NaN -> 0
      q = _mm_min_ps(_mm_max_ps(q, lo), hi);
      __m128 t = _mm_cvtepi32_ps(_mm_cvttps_epi32(q));
      const __m128 frac = _mm_sub_ps(q, t);
      t = _mm_add_ps(t, _mm_and_ps(_mm_cmpge_ps(frac, half), one));
      t = _mm_sub_ps(t, _mm_and_ps(_mm_cmple_ps(frac, mhalf), one));
      t = _mm_min_ps(_mm_max_ps(t, tmin), tmax);
      t = _mm_min_ps(_mm_max_ps(_mm_add_ps(t, eight), zero), fifteen);
      codes[k] = _mm_cvttps_epi32(t);
    }
    // 32 codes of 0..15 -> 16 bytes, low nibble first.
    alignas(16) int32_t c[32];
    for (int k = 0; k < 8; ++k) _mm_store_si128(reinterpret_cast<__m128i*>(c + 4 * k), codes[k]);
    for (int b = 0; b < 16; ++b) out[b] = static_cast<uint8_t>(c[2 * b] | (c[2 * b + 1] << 4));
  }
}

// The same one product per value as the scalar decoder, four lanes at a time: the nibbles
// interleaved low, high in value order, widened to 32 bits and converted exactly.
void dequantize_groups_sse2(const float* scales, size_t groups, const uint8_t* codes, float* out) {
  const __m128i mask = _mm_set1_epi8(0x0F);
  const __m128i zero = _mm_setzero_si128();
  const __m128i eight = _mm_set1_epi16(8);
  for (size_t g = 0; g < groups; ++g, codes += Q4_GROUP_BYTES, out += Q4_GROUP) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(codes));
    const __m128i lo = _mm_and_si128(bytes, mask);
    const __m128i hi = _mm_and_si128(_mm_srli_epi16(bytes, 4), mask);
    const __m128 vscale = _mm_set1_ps(scales[g]);
    const __m128i halves[2] = {_mm_unpacklo_epi8(lo, hi), _mm_unpackhi_epi8(lo, hi)};
    for (int h = 0; h < 2; ++h) {
      const __m128i w[2] = {_mm_sub_epi16(_mm_unpacklo_epi8(halves[h], zero), eight),
                            _mm_sub_epi16(_mm_unpackhi_epi8(halves[h], zero), eight)};
      for (int q = 0; q < 2; ++q) {
        // Sign-extend 16 -> 32 bits: each value in the upper half of its lane, shifted down.
        const __m128i d0 = _mm_srai_epi32(_mm_unpacklo_epi16(zero, w[q]), 16);
        const __m128i d1 = _mm_srai_epi32(_mm_unpackhi_epi16(zero, w[q]), 16);
        float* dst = out + 16 * h + 8 * q;
        _mm_storeu_ps(dst, _mm_mul_ps(vscale, _mm_cvtepi32_ps(d0)));
        _mm_storeu_ps(dst + 4, _mm_mul_ps(vscale, _mm_cvtepi32_ps(d1)));
      }
    }
  }
}
#else
void quantize_groups_sse2(const float* v, size_t groups, float* scales, uint8_t* out) {
  quantize_groups_scalar(v, groups, scales, out);
}
void dequantize_groups_sse2(const float* scales, size_t groups, const uint8_t* codes, float* out) {
  dequantize_groups_scalar(scales, groups, codes, out);
}
#endif

void quantize_groups_scalar(const float* v, size_t groups, float* scales, uint8_t* out) {
  for (size_t g = 0; g < groups; ++g) {
    scales[g] = detail::quantize_q4_group_scalar(v + g * Q4_GROUP, out + g * Q4_GROUP_BYTES);
  }
}

void dequantize_groups_scalar(const float* scales, size_t groups, const uint8_t* codes,
                              float* out) {
  for (size_t g = 0; g < groups; ++g, codes += Q4_GROUP_BYTES, out += Q4_GROUP) {
    for (uint64_t b = 0; b < Q4_GROUP_BYTES; ++b) {
      out[2 * b] = scales[g] * static_cast<float>((codes[b] & 0x0F) - 8);
      out[2 * b + 1] = scales[g] * static_cast<float>((codes[b] >> 4) - 8);
    }
  }
}

}  // namespace q4_internal

namespace {

Q4Level detect_level();

// The quantizer and decoder of one level.
struct Q4Kernels {
  Q4GroupsFn quantize;
  Q4DecodeFn decode;
};
Q4Kernels kernels_for(Q4Level level);

struct Q4Dispatch {
  explicit Q4Dispatch(Q4Level level = detect_level())
      : detected(level),
        kernel(kernels_for(level).quantize),
        decode(kernels_for(level).decode),
        active(level) {}
  Q4Level detected;
  std::atomic<Q4GroupsFn> kernel;
  std::atomic<Q4DecodeFn> decode;
  std::atomic<Q4Level> active;
};

Q4Kernels kernels_for(Q4Level level) {
  using namespace q4_internal;
  switch (level) {
    // Decoding gains nothing from 512-bit lanes: the AVX2 decoder serves this level too.
    case Q4Level::Avx512:
      return {quantize_groups_avx512, dequantize_groups_avx2};
    case Q4Level::Avx2:
      return {quantize_groups_avx2, dequantize_groups_avx2};
    case Q4Level::Sse2:
      return {quantize_groups_sse2, dequantize_groups_sse2};
    case Q4Level::Scalar:
      break;
  }
  return {quantize_groups_scalar, dequantize_groups_scalar};
}

Q4Level detect_level() {
  const CpuFeatures& f = cpu_features();
  if (f.avx512f && f.avx512bw && f.avx512vl && f.avx512dq) return Q4Level::Avx512;
  if (f.avx2 && f.fma) return Q4Level::Avx2;
#if defined(__SSE2__)
  return Q4Level::Sse2;
#else
  return Q4Level::Scalar;
#endif
}

Q4Dispatch& dispatch() {
  static Q4Dispatch d;
  return d;
}

}  // namespace

Q4Level q4_detected_level() { return dispatch().detected; }
Q4Level q4_active_level() { return dispatch().active.load(std::memory_order_relaxed); }
Q4GroupsFn q4_groups_kernel() { return dispatch().kernel.load(std::memory_order_relaxed); }
Q4DecodeFn q4_decode_kernel() { return dispatch().decode.load(std::memory_order_relaxed); }

bool q4_force_level_for_testing(Q4Level level) {
  Q4Dispatch& d = dispatch();
  if (static_cast<uint8_t>(level) > static_cast<uint8_t>(d.detected)) return false;
  const Q4Kernels kernels = kernels_for(level);
  d.kernel = kernels.quantize;
  d.decode = kernels.decode;
  d.active = level;
  return true;
}

float detail::quantize_q4_group_scalar(const float* v, uint8_t* out) {
  float absmax = 0.0f;
  for (uint64_t i = 0; i < Q4_GROUP; ++i) {
    const float a = std::fabs(v[i]);
    absmax = a > absmax ? a : absmax;  // NaN never compares greater
  }
  const float scale = absmax == 0.0f ? 1.0f : absmax / 7.0f;
  uint8_t nib[Q4_GROUP];
  for (uint64_t i = 0; i < Q4_GROUP; ++i) {
    nib[i] = static_cast<uint8_t>(static_cast<int32_t>(nibble(v[i], scale)));
  }
  for (uint64_t b = 0; b < Q4_GROUP_BYTES; ++b) {
    out[b] = static_cast<uint8_t>(nib[2 * b] | (nib[2 * b + 1] << 4));
  }
  return scale;
}

float detail::quantize_q4_group(const float* v, uint8_t* out) {
  float scale;
  q4_groups_kernel()(v, 1, &scale, out);
  return scale;
}

void quantize_q4_into(const float* values, uint64_t n, float* scales, uint8_t* codes) {
  const uint64_t full = n / Q4_GROUP;
  const Q4GroupsFn kernel = q4_groups_kernel();
  if (full > 0) kernel(values, full, scales, codes);
  if (const uint64_t m = n - full * Q4_GROUP; m > 0) {
    // A partial last group is padded with zeros, which encode as the zero code 8.
    float padded[Q4_GROUP] = {};
    std::copy(values + full * Q4_GROUP, values + n, padded);
    kernel(padded, 1, scales + full, codes + full * Q4_GROUP_BYTES);
  }
}

uint64_t dequantize_q4_into(const float* scales, uint64_t n_scales, const uint8_t* codes,
                            uint64_t n_codes, uint64_t len, float* out) {
  uint64_t n = std::min(len, n_scales * Q4_GROUP);
  n = std::min(n, n_codes * 2);  // never read past the code bytes
  const uint64_t full = n / Q4_GROUP;
  if (full > 0) q4_decode_kernel()(scales, full, codes, out);
  for (uint64_t i = full * Q4_GROUP; i < n; ++i) {
    const uint8_t byte = codes[(i / Q4_GROUP) * Q4_GROUP_BYTES + (i % Q4_GROUP) / 2];
    const int code = (i & 1) ? (byte >> 4) : (byte & 0x0F);
    out[i] = scales[i / Q4_GROUP] * static_cast<float>(code - 8);
  }
  return n;
}

Q4Vector quantize_q4(std::span<const float> values) {
  Q4Vector q;
  const uint64_t groups = q4_group_count(values.size());
  q.len = values.size();
  q.scales.resize(groups);
  q.data.resize(groups * Q4_GROUP_BYTES);
  quantize_q4_into(values.data(), values.size(), q.scales.data(), q.data.data());
  return q;
}

std::vector<float> dequantize_q4(const Q4Vector& q) {
  std::vector<float> out(std::min(q.len, q.scales.size() * Q4_GROUP));
  const uint64_t n = dequantize_q4_into(q.scales.data(), q.scales.size(), q.data.data(),
                                        q.data.size(), q.len, out.data());
  out.resize(n);
  return out;
}

}  // namespace quellmar
