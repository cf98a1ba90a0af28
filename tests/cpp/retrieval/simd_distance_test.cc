#include "quellmar/retrieval/simd_distance.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

namespace quellmar {
namespace {

constexpr size_t DIMS[] = {1, 3, 7, 8, 9, 15, 16, 17, 31, 32, 33, 64, 127, 128, 129};

// Runs a body once per level this machine supports, and restores the detected level after.
class SimdLevels : public ::testing::Test {
 protected:
  void TearDown() override { force_simd_level_for_testing(detected_simd_level()); }

  std::vector<SimdLevel> vector_levels() const {
    std::vector<SimdLevel> out;
    for (SimdLevel l : {SimdLevel::Avx2, SimdLevel::Avx512}) {
      if (static_cast<uint8_t>(l) <= static_cast<uint8_t>(detected_simd_level())) out.push_back(l);
    }
    return out;
  }
};

std::vector<int8_t> random_codes(std::mt19937& rng, size_t n, int lo, int hi) {
  std::uniform_int_distribution<int> d(lo, hi);
  std::vector<int8_t> v(n);
  for (auto& x : v) x = static_cast<int8_t>(d(rng));
  return v;
}

std::vector<float> random_floats(std::mt19937& rng, size_t n) {
  std::normal_distribution<float> d(0.0f, 1.0f);
  std::vector<float> v(n);
  for (auto& x : v) x = d(rng);
  return v;
}

// Bit pattern, with every NaN folded into one: which NaN payload survives an addition depends on
// operand order, which the kernels do not fix.
uint32_t bits(float f) { return f != f ? 0x7FC00000u : std::bit_cast<uint32_t>(f); }

TEST_F(SimdLevels, DetectsWhatTheCpuHas) {
  EXPECT_EQ(active_simd_level(), detected_simd_level());
  EXPECT_TRUE(force_simd_level_for_testing(SimdLevel::Scalar));
  EXPECT_EQ(active_simd_level(), SimdLevel::Scalar);
  if (detected_simd_level() != SimdLevel::Avx512) {
    EXPECT_FALSE(force_simd_level_for_testing(SimdLevel::Avx512));
  }
}

// Every level against the scalar level, over widths around each vector size, including the full
// int8 range (-128 too) and row strides wider than the rows.
TEST_F(SimdLevels, KernelsMatchScalarBitForBit) {
  std::mt19937 rng(7);
  const size_t n_rows = 37;
  for (size_t dim : DIMS) {
    SCOPED_TRACE(dim);
    const size_t stride = dim + 5;
    auto qa = random_codes(rng, dim, -128, 127);
    auto ra = random_codes(rng, n_rows * stride, -128, 127);
    auto qf = random_floats(rng, dim);
    auto rf = random_floats(rng, n_rows * stride);
    const size_t n_panels = f32_panel_count(n_rows);
    std::vector<float> panels(n_panels * dim * F32_PANEL_WIDTH, 0.0f);
    for (size_t r = 0; r < n_rows; ++r) store_panel_row(panels.data(), dim, r, &rf[r * stride]);
    const size_t n_queries = 13;  // exercises the 8-, 4- and 1-query blocks
    auto queries = random_floats(rng, n_queries * dim);
    auto acc0 = random_floats(rng, dim);
    std::vector<uint8_t> i8_panels(i8_panel_count(n_rows) * i8_panel_bytes(dim), 0);
    for (size_t r = 0; r < n_rows; ++r) {
      store_i8_panel_row(i8_panels.data(), dim, r, &ra[r * stride]);
    }

    struct Outputs {
      int32_t dot_i8;
      std::vector<int32_t> i8_many;
      float unordered;
      std::vector<float> f32_many;
      std::vector<float> panel_out;
      std::vector<float> acc;
      std::vector<int32_t> i8_panel_out;
      std::vector<float> scaled;
    };
    auto run = [&] {
      Outputs o;
      o.dot_i8 = dot_i8(qa.data(), ra.data(), dim);
      o.i8_many.resize(n_rows);
      dot_i8_many(qa.data(), ra.data(), n_rows, dim, stride, o.i8_many.data());
      o.unordered = dot_f32_unordered(qf.data(), rf.data(), dim);
      o.f32_many.resize(n_rows);
      dot_f32_many(qf.data(), rf.data(), n_rows, dim, stride, o.f32_many.data());
      const size_t out_stride = n_panels * F32_PANEL_WIDTH;
      o.panel_out.resize(n_queries * out_stride);
      dot_f32_panels(queries.data(), n_queries, dim, panels.data(), n_panels, dim,
                     o.panel_out.data(), out_stride);
      o.i8_panel_out.resize(i8_panel_count(n_rows) * I8_PANEL_WIDTH);
      dot_i8_panels(qa.data(), i8_panels.data(), i8_panel_count(n_rows), dim,
                    o.i8_panel_out.data());
      o.i8_panel_out.resize(n_rows);
      o.scaled.resize(n_rows);
      scale_dots_i32(o.i8_many.data(), rf.data(), 0.3f, 1.7f, n_rows, o.scaled.data());
      o.acc = acc0;
      accumulate_f32(o.acc.data(), qf.data(), dim);
      scale_f32(o.acc.data(), 0.37f, dim);
      return o;
    };
    ASSERT_TRUE(force_simd_level_for_testing(SimdLevel::Scalar));
    Outputs want = run();
    // The scalar level itself: i8 against a plain i32 sum, panels against the in-order dot.
    for (size_t r = 0; r < n_rows; ++r) {
      int64_t s = 0;
      for (size_t i = 0; i < dim; ++i) s += int64_t{qa[i]} * ra[r * stride + i];
      ASSERT_EQ(want.i8_many[r], s);
      ASSERT_EQ(want.i8_panel_out[r], s);
      for (size_t q = 0; q < n_queries; ++q) {
        float d = dot_f32(&queries[q * dim], &rf[r * stride], dim);
        ASSERT_EQ(bits(want.panel_out[q * n_panels * F32_PANEL_WIDTH + r]), bits(d));
      }
    }
    for (SimdLevel level : vector_levels()) {
      SCOPED_TRACE(simd_level_name(level));
      ASSERT_TRUE(force_simd_level_for_testing(level));
      Outputs got = run();
      EXPECT_EQ(got.dot_i8, want.dot_i8);
      EXPECT_EQ(got.i8_many, want.i8_many);
      EXPECT_EQ(got.i8_panel_out, want.i8_panel_out);
      EXPECT_EQ(bits(got.unordered), bits(want.unordered));
      for (size_t r = 0; r < n_rows; ++r) EXPECT_EQ(bits(got.f32_many[r]), bits(want.f32_many[r]));
      for (size_t i = 0; i < want.panel_out.size(); ++i) {
        ASSERT_EQ(bits(got.panel_out[i]), bits(want.panel_out[i])) << i;
      }
      for (size_t i = 0; i < dim; ++i) EXPECT_EQ(bits(got.acc[i]), bits(want.acc[i]));
      for (size_t r = 0; r < n_rows; ++r) EXPECT_EQ(bits(got.scaled[r]), bits(want.scaled[r]));
    }
  }
}

// Non-finite values flow through the vector lanes exactly as through the scalar loop: a product
// with inf or NaN is never hidden or invented by zero padding.
TEST_F(SimdLevels, NonFiniteValuesMatchScalar) {
  const float inf = std::numeric_limits<float>::infinity();
  const float nan = std::numeric_limits<float>::quiet_NaN();
  for (size_t dim : DIMS) {
    SCOPED_TRACE(dim);
    std::vector<float> q(dim, 1.0f), r(dim, -0.0f);
    q.back() = inf;
    if (dim > 2) r[1] = nan;
    std::vector<float> panels(dim * F32_PANEL_WIDTH, 0.0f);
    store_panel_row(panels.data(), dim, 0, r.data());
    ASSERT_TRUE(force_simd_level_for_testing(SimdLevel::Scalar));
    float want_u = dot_f32_unordered(q.data(), r.data(), dim);
    float want_p[F32_PANEL_WIDTH];
    dot_f32_panels(q.data(), 1, dim, panels.data(), 1, dim, want_p, F32_PANEL_WIDTH);
    for (SimdLevel level : vector_levels()) {
      SCOPED_TRACE(simd_level_name(level));
      ASSERT_TRUE(force_simd_level_for_testing(level));
      EXPECT_EQ(bits(dot_f32_unordered(q.data(), r.data(), dim)), bits(want_u));
      float got_p[F32_PANEL_WIDTH];
      dot_f32_panels(q.data(), 1, dim, panels.data(), 1, dim, got_p, F32_PANEL_WIDTH);
      for (size_t l = 0; l < F32_PANEL_WIDTH; ++l) EXPECT_EQ(bits(got_p[l]), bits(want_p[l]));
    }
  }
}

// The element-wise kernels and the threshold mask on every level against their definitions
// (which the portable level is, written out): quotients and repeated sums of normal numbers,
// denormals, infinities, NaN and signed zeros (a zero divisor too); masks over scores and
// thresholds that tie, are NaN or infinite, without and with per-lane thresholds, over widths
// around each vector and mask-word size.
TEST_F(SimdLevels, ElementWiseAndMaskKernelsMatchTheirDefinitions) {
  const float inf = std::numeric_limits<float>::infinity();
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float specials[] = {0.0f, -0.0f, 1.0f, -1.0f, inf, -inf, nan, 1e-40f, -3e38f, 0.5f};
  std::mt19937 rng(23);
  auto values = [&](size_t n) {
    std::vector<float> v = random_floats(rng, n);
    for (float& x : v) {
      if (rng() % 3 == 0) x = specials[rng() % std::size(specials)];
    }
    return v;
  };
  std::vector<size_t> widths(std::begin(DIMS), std::end(DIMS));
  for (size_t n : {0, 63, 64, 65, 200}) widths.push_back(n);
  for (size_t n : widths) {
    SCOPED_TRACE(n);
    const std::vector<float> x = values(n), acc0 = values(n);
    const std::vector<float> scores = values(n), own = values(n);
    for (SimdLevel level : {SimdLevel::Scalar, SimdLevel::Avx2, SimdLevel::Avx512}) {
      if (!force_simd_level_for_testing(level)) continue;
      SCOPED_TRACE(simd_level_name(level));
      for (float d : {7.0f, -0.3f, 1e-39f, 0.0f, inf, nan}) {
        std::vector<float> out(n + 1, 42.0f);
        divide_f32(x.data(), d, out.data(), n);
        for (size_t i = 0; i < n; ++i) ASSERT_EQ(bits(out[i]), bits(x[i] / d)) << d << " " << i;
        EXPECT_EQ(out[n], 42.0f);
      }
      for (size_t times : {0, 1, 3, 10}) {
        std::vector<float> got = acc0, want = acc0;
        accumulate_f32_repeated(got.data(), x.data(), n, times);
        for (size_t i = 0; i < n; ++i) {
          for (size_t r = 0; r < times; ++r) want[i] += x[i];
          ASSERT_EQ(bits(got[i]), bits(want[i])) << times << " " << i;
        }
      }
      for (float threshold : {-inf, 0.0f, -0.0f, 0.5f, inf, nan}) {
        for (const float* thresholds : {static_cast<const float*>(nullptr), own.data()}) {
          const size_t words = (n + 63) / 64;
          std::vector<uint64_t> mask(words + 1, 0x5A5A5A5A5A5A5A5Aull);
          lanes_not_below(scores.data(), n, threshold, thresholds, mask.data());
          EXPECT_EQ(mask[words], 0x5A5A5A5A5A5A5A5Aull);
          for (size_t i = 0; i < words * 64; ++i) {
            const bool pass = i < n && (!(scores[i] < threshold) ||
                                        (thresholds != nullptr && !(scores[i] < thresholds[i])));
            ASSERT_EQ((mask[i / 64] >> (i % 64)) & 1, uint64_t{pass})
                << threshold << " " << (thresholds != nullptr) << " " << i;
          }
        }
      }
    }
  }
}

// The side-by-side pairs sum each pair exactly as dot_f32 does, bit for bit, for counts that fill
// whole groups of pairs and counts that leave a short last group.
TEST(DotF32Pairs, EqualsInOrderDotOfEachPair) {
  std::mt19937 rng(5);
  for (size_t dim : DIMS) {
    for (size_t count : {size_t{1}, size_t{7}, size_t{8}, size_t{9}, size_t{20}}) {
      std::vector<std::vector<float>> xs, ys;
      std::vector<const float*> a, b;
      for (size_t p = 0; p < count; ++p) {
        xs.push_back(random_floats(rng, dim));
        ys.push_back(random_floats(rng, dim));
      }
      for (size_t p = 0; p < count; ++p) a.push_back(xs[p].data()), b.push_back(ys[p].data());
      std::vector<float> out(count);
      dot_f32_pairs(a.data(), b.data(), count, dim, out.data());
      for (size_t p = 0; p < count; ++p) {
        EXPECT_EQ(bits(out[p]), bits(dot_f32(a[p], b[p], dim))) << dim << " " << count << " " << p;
      }
    }
  }
}

// On integer-valued data every summation order is exact, so the unordered kernels equal the
// in-order dot product.
TEST_F(SimdLevels, UnorderedEqualsInOrderOnSmallIntegers) {
  std::mt19937 rng(3);
  std::uniform_int_distribution<int> d(-9, 9);
  for (size_t dim : DIMS) {
    std::vector<float> a(dim), b(dim);
    for (size_t i = 0; i < dim; ++i) a[i] = float(d(rng)), b[i] = float(d(rng));
    for (SimdLevel level : vector_levels()) {
      ASSERT_TRUE(force_simd_level_for_testing(level));
      EXPECT_EQ(dot_f32_unordered(a.data(), b.data(), dim), dot_f32(a.data(), b.data(), dim));
    }
  }
}

// Int8 panel dots where a pair of query codes sits at or just past the largest sum a pair can
// carry exactly in 16 bits (|q0 + q1| = 128 or 129, same and mixed signs, -128 included), against
// rows at the ends of the code range, every pair of a group and every group of a panel.
TEST_F(SimdLevels, PanelDotsAtThePairLimit) {
  const int8_t pairs[][2] = {{64, 64},    {64, 65},    {127, 1},   {127, 2},     {-64, -64},
                             {-64, -65},  {-128, 0},   {-128, -1}, {-128, -128}, {127, 127},
                             {127, -128}, {-128, 127}, {1, 127},   {0, -128},    {100, -29}};
  constexpr size_t dim = 8 * 4;  // eight groups
  const int8_t row_values[][2] = {{127, 127}, {-128, -128}, {127, -128}, {-128, 127}, {-127, -127}};
  const size_t n_rows = std::size(row_values);
  std::vector<uint8_t> panels(i8_panel_bytes(dim), 0x80);
  std::vector<int8_t> rows(n_rows * dim);
  for (size_t r = 0; r < n_rows; ++r) {
    for (size_t t = 0; t < dim; ++t) rows[r * dim + t] = row_values[r][t % 2];
    store_i8_panel_row(panels.data(), dim, r, &rows[r * dim]);
  }
  for (size_t i = 0; i < std::size(pairs); ++i) {
    // The pair in every slot of the query, with the other slots zero, one slot, or the pair too.
    for (size_t at = 0; at < dim; at += 2) {
      std::vector<int8_t> query(dim, 0);
      query[at] = pairs[i][0];
      query[at + 1] = pairs[i][1];
      if (at % 4 == 0) query[at + 2] = pairs[(i + 1) % std::size(pairs)][0];
      for (SimdLevel level : vector_levels()) {
        ASSERT_TRUE(force_simd_level_for_testing(level));
        std::vector<int32_t> got(I8_PANEL_WIDTH);
        dot_i8_panels(query.data(), panels.data(), 1, dim, got.data());
        for (size_t r = 0; r < n_rows; ++r) {
          int32_t want = 0;
          for (size_t t = 0; t < dim; ++t) want += int32_t{query[t]} * rows[r * dim + t];
          ASSERT_EQ(got[r], want) << simd_level_name(level) << " pair " << i << " at " << at
                                  << " row " << r;
        }
      }
    }
  }
}

TEST(SimdDistance, DotI8WrapsLikeI32) {
  // 140000 * 127 * 127 exceeds i32: every level wraps the same way.
  std::vector<int8_t> a(140000, 127);
  uint32_t want = static_cast<uint32_t>(140000u * 127u * 127u);
  for (SimdLevel l : {SimdLevel::Scalar, SimdLevel::Avx2, SimdLevel::Avx512}) {
    if (!force_simd_level_for_testing(l)) continue;
    EXPECT_EQ(static_cast<uint32_t>(dot_i8(a.data(), a.data(), a.size())), want);
  }
  force_simd_level_for_testing(detected_simd_level());
}

TEST(SimdDistance, PanelRowsRoundTrip) {
  std::vector<float> panels(2 * 3 * F32_PANEL_WIDTH, 0.0f);
  for (size_t r = 0; r < 20; ++r) {
    float row[3] = {float(r), float(r) + 0.5f, -float(r)};
    store_panel_row(panels.data(), 3, r, row);
  }
  float out[3];
  load_panel_row(panels.data(), 3, 17, out);
  EXPECT_EQ(out[0], 17.0f);
  EXPECT_EQ(out[1], 17.5f);
  EXPECT_EQ(out[2], -17.0f);
}

// The ranked order: score descending, NaN last, -0 == +0, ties by index; and the selection does
// not depend on the method (insertion for small k, partial sort for larger k, full sort).
TEST(SimdDistance, SelectTopKFollowsTheRankedOrder) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  std::vector<float> scores = {1.0f, nan, 3.0f, -0.0f, 3.0f, 0.0f, -inf, 2.0f, nan, 3.0f};
  std::vector<uint32_t> want = {2, 4, 9, 7, 0, 3, 5, 6, 1, 8};
  for (size_t k = 0; k <= scores.size() + 1; ++k) {
    SCOPED_TRACE(k);
    std::vector<ScoredIndex> items;
    for (uint32_t i = 0; i < scores.size(); ++i) items.push_back({scores[i], i});
    size_t m = select_top_k(items.data(), items.size(), k);
    ASSERT_EQ(m, std::min(k, scores.size()));
    for (size_t i = 0; i < m; ++i) EXPECT_EQ(items[i].index, want[i]);
  }
  // Large inputs: both selection methods against a full sort.
  std::mt19937 rng(11);
  std::uniform_int_distribution<int> d(0, 50);  // many ties
  std::vector<ScoredIndex> base;
  for (uint32_t i = 0; i < 5000; ++i) base.push_back({float(d(rng)), i});
  std::vector<ScoredIndex> sorted = base;
  select_top_k(sorted.data(), sorted.size(), sorted.size());
  for (size_t k : {1, 10, 32, 33, 200}) {
    std::vector<ScoredIndex> items = base;
    select_top_k(items.data(), items.size(), k);
    for (size_t i = 0; i < k; ++i) ASSERT_EQ(items[i].index, sorted[i].index) << k << " " << i;
  }
}

// top_k_scores on every level against select_top_k over the kept positions: many ties, NaNs and
// signed zeros, with and without a keep mask, for k on both sides of the insertion limit.
TEST_F(SimdLevels, TopKScoresMatchesTheRankedOrder) {
  std::mt19937 rng(13);
  std::uniform_int_distribution<int> d(-20, 20);
  const float nan = std::numeric_limits<float>::quiet_NaN();
  for (size_t n : {0, 1, 15, 16, 17, 100, 1000}) {
    std::vector<float> scores(n);
    std::vector<uint8_t> keep(n);
    for (size_t i = 0; i < n; ++i) {
      int v = d(rng);
      scores[i] = v == 20 ? nan : (v == 19 ? -0.0f : float(v) / 4.0f);
      keep[i] = rng() % 3 != 0;
    }
    for (bool masked : {false, true}) {
      std::vector<ScoredIndex> items;
      for (uint32_t i = 0; i < n; ++i) {
        if (!masked || keep[i]) items.push_back({scores[i], i});
      }
      std::vector<ScoredIndex> sorted = items;
      select_top_k(sorted.data(), sorted.size(), sorted.size());
      for (size_t k : {0, 1, 5, 10, 64, 65, 2000}) {
        SCOPED_TRACE(testing::Message() << "n=" << n << " masked=" << masked << " k=" << k);
        for (SimdLevel level : {SimdLevel::Scalar, SimdLevel::Avx2, SimdLevel::Avx512}) {
          if (!force_simd_level_for_testing(level)) continue;
          std::vector<ScoredIndex> out(std::min(k, n));
          size_t m = top_k_scores(scores.data(), masked ? keep.data() : nullptr, n, k, out.data());
          ASSERT_EQ(m, std::min(k, sorted.size())) << simd_level_name(level);
          for (size_t i = 0; i < m; ++i) ASSERT_EQ(out[i].index, sorted[i].index) << i;
        }
      }
    }
  }
}

// quantize_i8 on every level against the definition written with the library's rounding: halves
// (away from zero), values past +-127 after scaling, NaN and infinities, all widths around the
// vector sizes.
TEST_F(SimdLevels, QuantizeMatchesTheDefinition) {
  const float inf = std::numeric_limits<float>::infinity();
  const float nan = std::numeric_limits<float>::quiet_NaN();
  auto reference = [](const std::vector<float>& x, std::vector<int8_t>& codes) {
    float m = 0.0f;
    for (float v : x) m = std::fabs(v) > m ? std::fabs(v) : m;
    float scale = m == 0.0f ? 1.0f : m / 127.0f;
    float inv = 1.0f / scale;
    codes.resize(x.size());
    for (size_t i = 0; i < x.size(); ++i) {
      float r = std::round(x[i] * inv);
      codes[i] = r != r ? 0 : static_cast<int8_t>(std::clamp(r, -127.0f, 127.0f));
    }
    return scale;
  };
  std::mt19937 rng(17);
  std::vector<std::vector<float>> cases = {
      {},
      {0.0f, -0.0f},
      {127.0f, -254.0f, 63.5f, -63.5f, 0.5f, -0.5f, 1.5f, -2.5f},
      {nan, -3.0f, 1.5f},
      {inf, 2.0f, -1.0f},
      {-inf, nan, 0.0f},
      {0.49999997f, -0.49999997f, 127.0f},
  };
  for (size_t dim : DIMS) {
    std::vector<float> v = random_floats(rng, dim);
    // Integers and halves on the code grid of max 127.
    for (size_t i = 0; i < dim; i += 3) v[i] = float(int(rng() % 255) - 127) / 2.0f;
    v[0] = 127.0f;
    cases.push_back(v);
    cases.push_back(random_floats(rng, dim));
  }
  for (size_t c = 0; c < cases.size(); ++c) {
    SCOPED_TRACE(c);
    std::vector<int8_t> want;
    float want_scale = reference(cases[c], want);
    for (SimdLevel level : {SimdLevel::Scalar, SimdLevel::Avx2, SimdLevel::Avx512}) {
      if (!force_simd_level_for_testing(level)) continue;
      SCOPED_TRACE(simd_level_name(level));
      std::vector<int8_t> got(cases[c].size(), 99);
      EXPECT_EQ(bits(quantize_i8(cases[c].data(), cases[c].size(), got.data())), bits(want_scale));
      EXPECT_EQ(got, want);
    }
  }
}

// The fused scans on every level return what scoring every row and then top_k_scores return:
// many equal scores (small integer codes and shared scales), NaN and infinite scores, rows left
// out by the keep mask, partial last panels, and k on both sides of the fused limit.
TEST_F(SimdLevels, FusedTopKMatchesScoreThenSelect) {
  std::mt19937 rng(19);
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  for (size_t dim : {3, 16, 33, 128}) {
    // Several chunks of 32 panels (4200 rows), and half panels with every row kept as well as
    // with some left out.
    struct Case {
      size_t n_rows;
      bool keep_all;
    };
    for (Case c : {Case{1, false}, Case{17, false}, Case{130, true}, Case{700, false},
                   Case{4200, true}, Case{4200, false}}) {
      const size_t n_rows = c.n_rows;
      SCOPED_TRACE(testing::Message()
                   << "dim=" << dim << " rows=" << n_rows << " keep_all=" << c.keep_all);
      // Int8 panels.
      const size_t n_panels = i8_panel_count(n_rows), padded = n_panels * I8_PANEL_WIDTH;
      std::vector<uint8_t> panels(n_panels * i8_panel_bytes(dim), 0x80);
      std::vector<int8_t> codes = random_codes(rng, n_rows * dim, -3, 3);
      for (size_t r = 0; r < n_rows; ++r) {
        store_i8_panel_row(panels.data(), dim, r, &codes[r * dim]);
      }
      std::vector<int8_t> query = random_codes(rng, dim, -127, 127);
      std::vector<float> scales(padded, 1.0f);
      std::vector<uint8_t> keep(padded, 0);
      for (size_t r = 0; r < n_rows; ++r) {
        int v = int(rng() % 40);
        scales[r] = v == 0 ? nan : (v == 1 ? inf : float(1 + v % 3) * 0.25f);
        keep[r] = c.keep_all || rng() % 4 != 0;
      }
      std::vector<float> scores(padded);
      for (size_t r = 0; r < padded; ++r) {
        int32_t d = r < n_rows ? dot_i8(query.data(), &codes[r * dim], dim) : 0;
        scores[r] = 0.5f * (scales[r] * (0.01f * static_cast<float>(d)));
      }
      // Float panels (owners filtered or not).
      std::vector<float> rows(n_rows * dim);
      for (float& x : rows) x = float(int(rng() % 7) - 3) * 0.5f;
      rows[0] = nan;
      std::vector<float> f32_panels(f32_panel_count(n_rows) * dim * F32_PANEL_WIDTH, 0.0f);
      for (size_t r = 0; r < n_rows; ++r) {
        store_panel_row(f32_panels.data(), dim, r, &rows[r * dim]);
      }
      std::vector<float> fq = random_floats(rng, dim);
      for (float& x : fq) x = std::round(x * 2.0f);
      std::vector<float> f32_scores(n_rows);
      for (size_t r = 0; r < n_rows; ++r) {
        f32_scores[r] = 0.125f * dot_f32(fq.data(), &rows[r * dim], dim);
      }
      for (size_t k : {1, 3, 10, 64, 65, 1000}) {
        SCOPED_TRACE(k);
        ASSERT_TRUE(force_simd_level_for_testing(SimdLevel::Scalar));
        std::vector<ScoredIndex> want(std::min(k, padded));
        want.resize(top_k_scores(scores.data(), keep.data(), padded, k, want.data()));
        std::vector<ScoredIndex> want_f[2];
        for (int masked = 0; masked < 2; ++masked) {
          want_f[masked].resize(std::min(k, n_rows));
          want_f[masked].resize(top_k_scores(f32_scores.data(), masked ? keep.data() : nullptr,
                                             n_rows, k, want_f[masked].data()));
        }
        for (SimdLevel level : {SimdLevel::Scalar, SimdLevel::Avx2, SimdLevel::Avx512}) {
          if (!force_simd_level_for_testing(level)) continue;
          SCOPED_TRACE(simd_level_name(level));
          std::vector<ScoredIndex> got(std::min(k, padded));
          got.resize(top_k_i8_panels(query.data(), panels.data(), n_panels, dim, scales.data(),
                                     keep.data(), 0.01f, 0.5f, k, got.data()));
          ASSERT_EQ(got.size(), want.size());
          for (size_t i = 0; i < got.size(); ++i) {
            ASSERT_EQ(got[i].index, want[i].index) << i;
            ASSERT_EQ(bits(got[i].score), bits(want[i].score)) << i;
          }
          for (int masked = 0; masked < 2; ++masked) {
            SCOPED_TRACE(masked);
            std::vector<ScoredIndex> got_f(std::min(k, n_rows));
            got_f.resize(top_k_f32_panels(fq.data(), f32_panels.data(), n_rows, dim, 0.125f,
                                          masked ? keep.data() : nullptr, k, got_f.data()));
            ASSERT_EQ(got_f.size(), want_f[masked].size());
            for (size_t i = 0; i < got_f.size(); ++i) {
              ASSERT_EQ(got_f[i].index, want_f[masked][i].index) << i;
              ASSERT_EQ(bits(got_f[i].score), bits(want_f[masked][i].score)) << i;
            }
          }
        }
      }
    }
  }
}

}  // namespace
}  // namespace quellmar
