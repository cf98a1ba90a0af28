#include "quellmar/retrieval/simd_distance.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <vector>

#include "quellmar/core/cpu_features.h"
#include "quellmar/core/internal_fault.h"
#include "quellmar/retrieval/simd_kernels.h"

namespace quellmar {
namespace simd_internal {
namespace {

int32_t scalar_dot_i8(const int8_t* a, const int8_t* b, size_t n) {
  // Unsigned arithmetic wraps where an i32 sum would overflow, like the vector levels.
  uint32_t sum = 0;
  for (size_t i = 0; i < n; ++i) {
    sum += static_cast<uint32_t>(static_cast<int32_t>(a[i]) * static_cast<int32_t>(b[i]));
  }
  return static_cast<int32_t>(sum);
}

void scalar_dot_i8_many(const int8_t* query, const int8_t* rows, size_t n_rows, size_t dim,
                        size_t stride, int32_t* out) {
  for (size_t r = 0; r < n_rows; ++r) out[r] = scalar_dot_i8(query, rows + r * stride, dim);
}

// The 16-lane order of the vector levels, written out.
float scalar_dot_f32_unordered(const float* a, const float* b, size_t n) {
  float lanes[16] = {};
  for (size_t i = 0; i < n; ++i) {
    float p = a[i] * b[i];
    lanes[i % 16] += p;
  }
  for (size_t l = 0; l < 8; ++l) lanes[l] += lanes[l + 8];
  for (size_t l = 0; l < 4; ++l) lanes[l] += lanes[l + 4];
  for (size_t l = 0; l < 2; ++l) lanes[l] += lanes[l + 2];
  return lanes[0] + lanes[1];
}

void scalar_dot_f32_many(const float* query, const float* rows, size_t n_rows, size_t dim,
                         size_t stride, float* out) {
  for (size_t r = 0; r < n_rows; ++r) {
    out[r] = scalar_dot_f32_unordered(query, rows + r * stride, dim);
  }
}

void scalar_dot_f32_panels(const float* queries, size_t n_queries, size_t query_stride,
                           const float* panels, size_t n_panels, size_t dim, float* out,
                           size_t out_stride) {
  for (size_t q = 0; q < n_queries; ++q) {
    const float* query = queries + q * query_stride;
    for (size_t p = 0; p < n_panels; ++p) {
      float acc[F32_PANEL_WIDTH] = {};
      const float* panel = panels + p * dim * F32_PANEL_WIDTH;
      for (size_t t = 0; t < dim; ++t) {
        for (size_t l = 0; l < F32_PANEL_WIDTH; ++l) {
          float prod = query[t] * panel[t * F32_PANEL_WIDTH + l];
          acc[l] += prod;
        }
      }
      std::memcpy(out + q * out_stride + p * F32_PANEL_WIDTH, acc, sizeof acc);
    }
  }
}

void scalar_dot_i8_panels(const int8_t* query, const uint8_t* panels, size_t n_panels, size_t dim,
                          int32_t* out) {
  const size_t panel_bytes = i8_panel_bytes(dim);
  for (size_t p = 0; p < n_panels; ++p) {
    const uint8_t* panel = panels + p * panel_bytes;
    for (size_t l = 0; l < I8_PANEL_WIDTH; ++l) {
      uint32_t sum = 0;
      for (size_t t = 0; t < dim; ++t) {
        size_t at = ((t / 4) * 8 + l / 16) * 64 + (l % 16) * 4 + t % 4;
        int8_t code = static_cast<int8_t>(panel[at] ^ 0x80);
        sum += static_cast<uint32_t>(int32_t{code} * int32_t{query[t]});
      }
      out[p * I8_PANEL_WIDTH + l] = static_cast<int32_t>(sum);
    }
  }
}

size_t scalar_top_k_scores(const float* scores, const uint8_t* keep, size_t n, size_t k,
                           ScoredIndex* out, uint32_t* keys) {
  size_t m = 0;
  for (size_t i = 0; i < n; ++i) {
    if (keep && !keep[i]) continue;
    m = top_k_insert(out, keys, m, k, scores[i], static_cast<uint32_t>(i),
                     score_rank_key(scores[i]));
  }
  return m;
}

void scalar_scale_dots_i32(const int32_t* dots, const float* scales, float a, float b, size_t n,
                           float* out) {
  for (size_t i = 0; i < n; ++i) out[i] = b * (scales[i] * (a * static_cast<float>(dots[i])));
}

size_t scalar_top_k_i8_panels(const int8_t* query, const uint8_t* panels, size_t n_panels,
                              size_t dim, const float* scales, const uint8_t* keep, float a,
                              float b, size_t k, ScoredIndex* out, uint32_t* keys) {
  TopKStream top{out, keys, k};
  int32_t dots[I8_PANEL_WIDTH];
  for (size_t p = 0; p < n_panels; ++p) {
    scalar_dot_i8_panels(query, panels + p * i8_panel_bytes(dim), 1, dim, dots);
    for (size_t l = 0; l < I8_PANEL_WIDTH; ++l) {
      const size_t r = p * I8_PANEL_WIDTH + l;
      if (!keep[r]) continue;
      top.offer(b * (scales[r] * (a * static_cast<float>(dots[l]))), static_cast<uint32_t>(r));
    }
  }
  return top.m;
}

size_t scalar_top_k_f32_panels(const float* query, const float* panels, size_t n_rows, size_t dim,
                               float f, const uint8_t* keep, size_t k, ScoredIndex* out,
                               uint32_t* keys) {
  TopKStream top{out, keys, k};
  float dots[F32_PANEL_WIDTH];
  for (size_t p = 0; p * F32_PANEL_WIDTH < n_rows; ++p) {
    scalar_dot_f32_panels(query, 1, dim, panels + p * dim * F32_PANEL_WIDTH, 1, dim, dots,
                          F32_PANEL_WIDTH);
    for (size_t l = 0; l < F32_PANEL_WIDTH && p * F32_PANEL_WIDTH + l < n_rows; ++l) {
      const size_t r = p * F32_PANEL_WIDTH + l;
      if (keep && !keep[r]) continue;
      top.offer(f * dots[l], static_cast<uint32_t>(r));
    }
  }
  return top.m;
}

void scalar_accumulate_f32(float* acc, const float* x, size_t n) {
  for (size_t i = 0; i < n; ++i) acc[i] += x[i];
}

void scalar_scale_f32(float* x, float s, size_t n) {
  for (size_t i = 0; i < n; ++i) x[i] *= s;
}

void scalar_accumulate_f32_repeated(float* acc, const float* x, size_t n, size_t times) {
  for (size_t i = 0; i < n; ++i) {
    for (size_t r = 0; r < times; ++r) acc[i] += x[i];
  }
}

void scalar_divide_f32(const float* x, float d, float* out, size_t n) {
  for (size_t i = 0; i < n; ++i) out[i] = x[i] / d;
}

void scalar_lanes_not_below(const float* scores, size_t n, float threshold, const float* thresholds,
                            uint64_t* mask) {
  fill_lane_mask(n, mask, [&](size_t begin, size_t end) {
    uint64_t bits = 0;
    for (size_t i = begin; i < end; ++i) {
      bits |= lane_not_below(scores, i, threshold, thresholds) << (i - begin);
    }
    return bits;
  });
}

}  // namespace

const SimdKernels& scalar_kernels() {
  static const SimdKernels k{
      .dot_i8 = scalar_dot_i8,
      .dot_i8_many = scalar_dot_i8_many,
      .dot_f32_unordered = scalar_dot_f32_unordered,
      .dot_f32_many = scalar_dot_f32_many,
      .dot_f32_panels = scalar_dot_f32_panels,
      .dot_i8_panels = scalar_dot_i8_panels,
      .top_k_scores = scalar_top_k_scores,
      .scale_dots_i32 = scalar_scale_dots_i32,
      .quantize_i8 = portable_quantize_i8,
      .top_k_i8_panels = scalar_top_k_i8_panels,
      .top_k_f32_panels = scalar_top_k_f32_panels,
      .accumulate_f32 = scalar_accumulate_f32,
      .scale_f32 = scalar_scale_f32,
      .accumulate_f32_repeated = scalar_accumulate_f32_repeated,
      .divide_f32 = scalar_divide_f32,
      .lanes_not_below = scalar_lanes_not_below,
  };
  return k;
}

}  // namespace simd_internal

namespace {

using simd_internal::SimdKernels;

SimdLevel detect() {
  const CpuFeatures& f = cpu_features();
  if (f.avx512f && f.avx512bw && f.avx512vl && f.avx512dq && f.avx512vnni && f.avx2 && f.fma) {
    return SimdLevel::Avx512;
  }
  if (f.avx2 && f.fma) return SimdLevel::Avx2;
  return SimdLevel::Scalar;
}

const SimdKernels& table_for(SimdLevel level) {
  switch (level) {
    case SimdLevel::Avx512:
      return simd_internal::avx512_kernels();
    case SimdLevel::Avx2:
      return simd_internal::avx2_kernels();
    case SimdLevel::Scalar:
      break;
  }
  return simd_internal::scalar_kernels();
}

struct Dispatch {
  SimdLevel detected;
  std::atomic<SimdLevel> active;
  std::atomic<const SimdKernels*> table;
  Dispatch() : detected(detect()), active(detected), table(&table_for(detected)) {}
};

Dispatch& dispatch() {
  static Dispatch d;
  return d;
}

inline const SimdKernels& kernels() { return *dispatch().table.load(std::memory_order_relaxed); }

}  // namespace

const char* simd_level_name(SimdLevel level) {
  switch (level) {
    case SimdLevel::Scalar:
      return "scalar";
    case SimdLevel::Avx2:
      return "avx2";
    case SimdLevel::Avx512:
      return "avx512";
  }
  return "unknown";
}

SimdLevel detected_simd_level() { return dispatch().detected; }

SimdLevel active_simd_level() { return dispatch().active.load(std::memory_order_relaxed); }

bool force_simd_level_for_testing(SimdLevel level) {
  Dispatch& d = dispatch();
  if (static_cast<uint8_t>(level) > static_cast<uint8_t>(d.detected)) return false;
  d.active.store(level, std::memory_order_relaxed);
  d.table.store(&table_for(level), std::memory_order_relaxed);
  return true;
}

int32_t dot_i8(const int8_t* a, const int8_t* b, size_t n) { return kernels().dot_i8(a, b, n); }

void dot_i8_many(const int8_t* query, const int8_t* rows, size_t n_rows, size_t dim, size_t stride,
                 int32_t* out) {
  kernels().dot_i8_many(query, rows, n_rows, dim, stride, out);
}

float dot_f32(const float* a, const float* b, size_t n) {
  // Sequential on purpose: the in-order sum has one dependency chain whatever the level.
  float sum = 0.0f;
  for (size_t i = 0; i < n; ++i) {
    float p = a[i] * b[i];
    sum += p;
  }
  return sum;
}

void dot_f32_pairs(const float* const* a, const float* const* b, size_t count, size_t dim,
                   float* out) {
  constexpr size_t LANES = 8;
  for (size_t p = 0; p < count; p += LANES) {
    const size_t m = std::min(LANES, count - p);
    const float* x[LANES];
    const float* y[LANES];
    for (size_t j = 0; j < LANES; ++j) {  // a short last group repeats its first pair
      x[j] = a[p + (j < m ? j : 0)];
      y[j] = b[p + (j < m ? j : 0)];
    }
    // The next pairs' keys lie anywhere in memory: they start loading now.
    for (size_t j = p + LANES; j < std::min(count, p + 2 * LANES); ++j) {
      for (size_t t = 0; t < dim; t += 64 / sizeof(float)) {
        __builtin_prefetch(a[j] + t);
        __builtin_prefetch(b[j] + t);
      }
    }
    float acc[LANES] = {};
    for (size_t t = 0; t < dim; ++t) {
#pragma GCC unroll 8
      for (size_t j = 0; j < LANES; ++j) {
        const float product = x[j][t] * y[j][t];
        acc[j] += product;
      }
    }
    for (size_t j = 0; j < m; ++j) out[p + j] = acc[j];
  }
}

float dot_f32_unordered(const float* a, const float* b, size_t n) {
  return kernels().dot_f32_unordered(a, b, n);
}

void dot_f32_many(const float* query, const float* rows, size_t n_rows, size_t dim, size_t stride,
                  float* out) {
  kernels().dot_f32_many(query, rows, n_rows, dim, stride, out);
}

void store_panel_row(float* panels, size_t dim, size_t row, const float* values) {
  float* base = panels + (row / F32_PANEL_WIDTH) * dim * F32_PANEL_WIDTH + row % F32_PANEL_WIDTH;
  for (size_t t = 0; t < dim; ++t) base[t * F32_PANEL_WIDTH] = values[t];
}

void load_panel_row(const float* panels, size_t dim, size_t row, float* values) {
  const float* base =
      panels + (row / F32_PANEL_WIDTH) * dim * F32_PANEL_WIDTH + row % F32_PANEL_WIDTH;
  for (size_t t = 0; t < dim; ++t) values[t] = base[t * F32_PANEL_WIDTH];
}

void dot_f32_panels(const float* queries, size_t n_queries, size_t query_stride,
                    const float* panels, size_t n_panels, size_t dim, float* out,
                    size_t out_stride) {
  QM_CHECK(n_queries <= 1 || out_stride >= n_panels * F32_PANEL_WIDTH);
  kernels().dot_f32_panels(queries, n_queries, query_stride, panels, n_panels, dim, out,
                           out_stride);
}

void store_i8_panel_row(uint8_t* panels, size_t dim, size_t row, const int8_t* codes) {
  uint8_t* panel = panels + (row / I8_PANEL_WIDTH) * i8_panel_bytes(dim);
  const size_t lane = row % I8_PANEL_WIDTH;
  for (size_t t = 0; t < i8_panel_dim(dim); ++t) {
    uint8_t code = t < dim ? static_cast<uint8_t>(codes[t]) : 0;
    panel[((t / 4) * 8 + lane / 16) * 64 + (lane % 16) * 4 + t % 4] = code ^ 0x80;
  }
}

void dot_i8_panels(const int8_t* query, const uint8_t* panels, size_t n_panels, size_t dim,
                   int32_t* out) {
  kernels().dot_i8_panels(query, panels, n_panels, dim, out);
}

void scale_dots_i32(const int32_t* dots, const float* scales, float a, float b, size_t n,
                    float* out) {
  kernels().scale_dots_i32(dots, scales, a, b, n, out);
}

float quantize_i8(const float* values, size_t n, int8_t* codes) {
  return kernels().quantize_i8(values, n, codes);
}

void accumulate_f32(float* acc, const float* x, size_t n) { kernels().accumulate_f32(acc, x, n); }

void scale_f32(float* x, float s, size_t n) { kernels().scale_f32(x, s, n); }

void accumulate_f32_repeated(float* acc, const float* x, size_t n, size_t times) {
  kernels().accumulate_f32_repeated(acc, x, n, times);
}

void divide_f32(const float* x, float d, float* out, size_t n) {
  kernels().divide_f32(x, d, out, n);
}

void lanes_not_below(const float* scores, size_t n, float threshold, const float* thresholds,
                     uint64_t* mask) {
  kernels().lanes_not_below(scores, n, threshold, thresholds, mask);
}

namespace {

// Keeps the best k of items[0..n) (k small) in items[0..k), sorted, by one pass that compares each
// later item with the current k-th best.
void select_by_insertion(ScoredIndex* items, size_t n, size_t k) {
  std::sort(items, items + k, ranks_before);
  for (size_t i = k; i < n; ++i) {
    if (!ranks_before(items[i], items[k - 1])) continue;
    ScoredIndex incoming = items[i];
    items[i] = items[k - 1];
    size_t j = k - 1;
    while (j > 0 && ranks_before(incoming, items[j - 1])) {
      items[j] = items[j - 1];
      --j;
    }
    items[j] = incoming;
  }
}

}  // namespace

size_t select_top_k(ScoredIndex* items, size_t n, size_t k) {
  if (k >= n) {
    std::sort(items, items + n, ranks_before);
    return n;
  }
  if (k == 0) return 0;
  if (k <= 32) {
    select_by_insertion(items, n, k);
  } else {
    std::partial_sort(items, items + k, items + n, ranks_before);
  }
  return k;
}

size_t top_k_scores(const float* scores, const uint8_t* keep, size_t n, size_t k,
                    ScoredIndex* out) {
  if (k == 0 || n == 0) return 0;
  QM_CHECK(n <= UINT32_MAX);
  if (k <= simd_internal::TOP_K_INSERTION_MAX) {
    uint32_t keys[simd_internal::TOP_K_INSERTION_MAX];
    return kernels().top_k_scores(scores, keep, n, k, out, keys);
  }
  std::vector<ScoredIndex> items;
  items.reserve(n);
  for (size_t i = 0; i < n; ++i) {
    if (!keep || keep[i]) items.push_back({scores[i], static_cast<uint32_t>(i)});
  }
  size_t m = select_top_k(items.data(), items.size(), k);
  std::copy(items.begin(), items.begin() + static_cast<ptrdiff_t>(m), out);
  return m;
}

size_t top_k_i8_panels(const int8_t* query, const uint8_t* panels, size_t n_panels, size_t dim,
                       const float* scales, const uint8_t* keep, float a, float b, size_t k,
                       ScoredIndex* out) {
  const size_t n = n_panels * I8_PANEL_WIDTH;
  if (k == 0 || n == 0) return 0;
  QM_CHECK(n <= UINT32_MAX);
  if (k <= simd_internal::TOP_K_INSERTION_MAX) {
    uint32_t keys[simd_internal::TOP_K_INSERTION_MAX];
    return kernels().top_k_i8_panels(query, panels, n_panels, dim, scales, keep, a, b, k, out,
                                     keys);
  }
  std::vector<int32_t> dots(n);
  kernels().dot_i8_panels(query, panels, n_panels, dim, dots.data());
  std::vector<float> scores(n);
  kernels().scale_dots_i32(dots.data(), scales, a, b, n, scores.data());
  return top_k_scores(scores.data(), keep, n, k, out);
}

size_t top_k_f32_panels(const float* query, const float* panels, size_t n_rows, size_t dim, float f,
                        const uint8_t* keep, size_t k, ScoredIndex* out) {
  if (k == 0 || n_rows == 0) return 0;
  QM_CHECK(n_rows <= UINT32_MAX);
  if (k <= simd_internal::TOP_K_INSERTION_MAX) {
    uint32_t keys[simd_internal::TOP_K_INSERTION_MAX];
    return kernels().top_k_f32_panels(query, panels, n_rows, dim, f, keep, k, out, keys);
  }
  const size_t n_panels = f32_panel_count(n_rows);
  std::vector<float> scores(n_panels * F32_PANEL_WIDTH);
  kernels().dot_f32_panels(query, 1, dim, panels, n_panels, dim, scores.data(), scores.size());
  for (size_t r = 0; r < n_rows; ++r) scores[r] *= f;
  return top_k_scores(scores.data(), keep, n_rows, k, out);
}

}  // namespace quellmar
