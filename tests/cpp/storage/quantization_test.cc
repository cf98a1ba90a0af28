#include "quellmar/storage/quantization.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>

#include "quellmar/storage/q4_kernels.h"

namespace quellmar {
namespace {

TEST(Q4Test, WorkedExamples) {
  {
    Q4Vector q = quantize_q4({});
    EXPECT_TRUE(q.data.empty());
    EXPECT_TRUE(q.scales.empty());
    EXPECT_TRUE(dequantize_q4(q).empty());
  }
  {
    const float v[] = {3.5f};
    Q4Vector q = quantize_q4(v);
    ASSERT_EQ(q.scales.size(), 1u);
    EXPECT_EQ(q.scales[0], 0.5f);
    ASSERT_EQ(q.data.size(), 16u);
    EXPECT_EQ(q.data[0], 0x8F);
    for (int i = 1; i < 16; ++i) EXPECT_EQ(q.data[i], 0x88);
    EXPECT_EQ(dequantize_q4(q), std::vector<float>{3.5f});
  }
  {
    std::vector<float> v(33);
    for (int i = 0; i < 33; ++i) v[i] = static_cast<float>(i % 7) - 3.0f;
    Q4Vector q = quantize_q4(v);
    EXPECT_EQ(q.scales.size(), 2u);
    ASSERT_EQ(q.data.size(), 32u);
    // Value 32 alone in its group: its code in the low nibble, 8 in the high one, then padding.
    const float s = q.scales[1];
    const int code = static_cast<int>(std::round(v[32] / s)) + 8;
    EXPECT_EQ(q.data[16], code + 0x80);
    for (int i = 17; i < 32; ++i) EXPECT_EQ(q.data[i], 0x88);
  }
  {
    std::vector<float> v(32, -2.0f);
    Q4Vector q = quantize_q4(v);
    EXPECT_EQ(q.scales[0], 2.0f / 7.0f);
    for (uint8_t b : q.data) EXPECT_EQ(b, 0x11);
    for (float x : dequantize_q4(q)) EXPECT_NEAR(x, -2.0f, 1e-6f);
  }
  {
    const float v[] = {1.0f, std::numeric_limits<float>::quiet_NaN()};
    Q4Vector q = quantize_q4(v);
    EXPECT_EQ(q.scales[0], 1.0f / 7.0f);
    EXPECT_EQ(q.data[0] >> 4, 8);
    EXPECT_EQ(dequantize_q4(q)[1], 0.0f);
  }
}

TEST(Q4Test, ZerosInfinitiesAndRoundTrip) {
  std::vector<float> zeros(40, 0.0f);
  Q4Vector z = quantize_q4(zeros);
  EXPECT_EQ(z.scales, (std::vector<float>{1.0f, 1.0f}));
  EXPECT_EQ(dequantize_q4(z), zeros);

  // An infinity makes its group's scale infinite; the codes stay in range.
  const float inf[] = {std::numeric_limits<float>::infinity(), 1.0f};
  Q4Vector qi = quantize_q4(inf);
  EXPECT_EQ(qi.data[0], 0x88);  // inf / inf is NaN (code 8), 1 / inf is 0 (code 8)
  EXPECT_EQ(dequantize_q4(qi).size(), 2u);

  std::mt19937 rng(7);
  std::normal_distribution<float> dist(0.0f, 3.0f);
  for (size_t n : {1u, 31u, 32u, 33u, 100u, 1024u}) {
    std::vector<float> v(n);
    for (float& x : v) x = dist(rng);
    Q4Vector q = quantize_q4(v);
    std::vector<float> back = dequantize_q4(q);
    ASSERT_EQ(back.size(), n);
    for (size_t i = 0; i < n; ++i) {
      const float scale = q.scales[i / 32];
      EXPECT_LE(std::fabs(back[i] - v[i]), scale * 0.5f + 1e-6f) << "n=" << n << " i=" << i;
    }
  }
}

// Every instruction-set level of the group quantizer against the scalar path, bit for bit: NaN,
// infinities, signed zeros, subnormals, exact halves of the step, whole vectors of several groups
// (up to 22) and a partial last group.
TEST(Q4Test, EveryLevelAgreesWithTheScalarPath) {
  std::mt19937 rng(3);
  std::uniform_int_distribution<int> pick(0, 9);
  std::normal_distribution<float> dist(0.0f, 10.0f);
  const float specials[] = {std::numeric_limits<float>::quiet_NaN(),
                            std::numeric_limits<float>::infinity(),
                            -0.0f,
                            0.5f,
                            -3.5f,
                            1e-40f};
  const Q4Level detected = q4_detected_level();
  for (Q4Level level : {Q4Level::Scalar, Q4Level::Sse2, Q4Level::Avx2, Q4Level::Avx512}) {
    if (!q4_force_level_for_testing(level)) continue;
    SCOPED_TRACE(static_cast<int>(level));
    for (int round = 0; round < 2000; ++round) {
      // Some vectors long enough for the kernels that take several groups at a time.
      const size_t n = round % 5 == 0 ? 32 : 1 + rng() % (round % 5 == 1 ? 700 : 200);
      std::vector<float> v(n);
      for (float& x : v) {
        const int p = pick(rng);
        x = p < 6 ? specials[p] : (p == 6 ? std::round(dist(rng)) * 0.5f : dist(rng));
      }
      if (round % 3 == 0) {
        for (float& x : v) x = std::round(dist(rng));  // many exact halves of the step
      }
      if (round % 7 == 0) std::fill(v.begin(), v.end(), 0.0f);
      if (round % 4 == 1) {
        // Quotients at and next to half steps, under a scale that is not a power of two.
        const float step = 0.3f * float(1 + rng() % 5);
        for (size_t i = 0; i < n; ++i) {
          const float half = (float(int(rng() % 15)) - 7.0f + 0.5f) * step;
          // Up to 4 representable values to either side: a kernel that multiplies by the
          // reciprocal of the scale is a few units in the last place off the quotient.
          float x = half;
          const int nudge = int(rng() % 9) - 4;
          for (int k = 0; k < std::abs(nudge); ++k) x = std::nextafter(x, nudge * INFINITY);
          v[i] = x;
          if (i % 32 == 0) v[i] = 7.0f * step;  // the group's largest value
        }
      }
      if (round % 11 == 2) {
        // Scales from subnormal to near the largest float, whose reciprocals overflow, lose
        // precision or are exact.
        const int e = int(rng() % 270) - 145;
        for (float& x : v) x = std::ldexp(x, e);
      }
      const uint64_t groups = q4_group_count(n);
      std::vector<float> sa(groups), sb(groups);
      std::vector<uint8_t> a(groups * 16), b(groups * 16);
      quantize_q4_into(v.data(), n, sa.data(), a.data());
      for (uint64_t g = 0; g < groups; ++g) {
        float padded[32] = {};
        std::copy(v.begin() + g * 32, v.begin() + std::min<size_t>(n, g * 32 + 32), padded);
        sb[g] = detail::quantize_q4_group_scalar(padded, b.data() + g * 16);
      }
      ASSERT_EQ(std::memcmp(sa.data(), sb.data(), 4 * groups), 0) << round;
      ASSERT_EQ(a, b) << round;
      if (n == 32) {
        uint8_t one[16];
        const float s = detail::quantize_q4_group(v.data(), one);
        ASSERT_EQ(std::memcmp(&s, sb.data(), 4), 0) << round;
        ASSERT_EQ(std::memcmp(one, b.data(), 16), 0) << round;
      }
    }
  }
  ASSERT_TRUE(q4_force_level_for_testing(detected));
}

// Values whose quotient by the scale and product with the scale's reciprocal round to different
// codes: every level must give the quotient's.
TEST(Q4Test, EveryLevelRoundsTheQuotientWhereTheProductRoundsOtherwise) {
  std::mt19937 rng(5);
  std::vector<float> v;
  for (int tries = 0; tries < 20000 && v.size() < 32 * 40; ++tries) {
    const float largest =
        7.0f * std::ldexp(1.0f + float(rng() % 1000000) / 1e6f, int(rng() % 20) - 10);
    const float scale = largest / 7.0f, recip = 1.0f / scale;
    std::vector<float> tricky;
    for (int k = -7; k <= 6; ++k) {
      float x = (float(k) + 0.5f) * scale;
      for (int i = 0; i < 6; ++i) x = std::nextafter(x, -INFINITY);
      for (int i = 0; i < 12; ++i, x = std::nextafter(x, INFINITY)) {
        const int quotient = int(std::round(x / scale));  // halves away from zero
        const int product = int(std::fmaf(x, recip, 8.5f)) - 8;
        if (quotient != product) tricky.push_back(x);
      }
    }
    if (tricky.empty()) continue;
    v.push_back(largest);  // a group fixing its scale, the rest of it tricky values
    for (size_t i = 0; i < 31; ++i) v.push_back(tricky[i % tricky.size()]);
  }
  ASSERT_GE(v.size(), 32u * 8) << "too few values found to test with";
  const uint64_t groups = v.size() / 32;
  std::vector<float> want_scales(groups), scales(groups);
  std::vector<uint8_t> want(groups * 16), codes(groups * 16);
  for (uint64_t g = 0; g < groups; ++g) {
    want_scales[g] = detail::quantize_q4_group_scalar(v.data() + 32 * g, want.data() + 16 * g);
  }
  const Q4Level detected = q4_detected_level();
  for (Q4Level level : {Q4Level::Scalar, Q4Level::Sse2, Q4Level::Avx2, Q4Level::Avx512}) {
    if (!q4_force_level_for_testing(level)) continue;
    SCOPED_TRACE(static_cast<int>(level));
    quantize_q4_into(v.data(), v.size(), scales.data(), codes.data());
    EXPECT_EQ(std::memcmp(scales.data(), want_scales.data(), 4 * groups), 0);
    EXPECT_EQ(codes, want);
  }
  ASSERT_TRUE(q4_force_level_for_testing(detected));
}

// Every code byte under scales of every kind decodes to scale * (nibble - 8), low nibble first,
// bit for bit, at every instruction-set level, whether the group goes through the group kernel
// (full groups) or the tail loop.
TEST(Q4Test, DecodeIsOneProductPerValue) {
  const float SCALES[] = {1.0f,
                          -0.37f,
                          3.1e-39f,  // subnormal
                          std::numeric_limits<float>::max(),
                          std::numeric_limits<float>::infinity(),
                          std::numeric_limits<float>::quiet_NaN()};
  std::vector<uint8_t> codes(256);
  for (int b = 0; b < 256; ++b) codes[b] = static_cast<uint8_t>(b);
  const uint64_t groups = codes.size() / Q4_GROUP_BYTES;
  const Q4Level detected = q4_detected_level();
  for (Q4Level level : {Q4Level::Scalar, Q4Level::Sse2, Q4Level::Avx2, Q4Level::Avx512}) {
    if (!q4_force_level_for_testing(level)) continue;
    SCOPED_TRACE(static_cast<int>(level));
    for (float scale : SCALES) {
      SCOPED_TRACE(scale);
      std::vector<float> scales(groups, scale);
      for (uint64_t len : {groups * Q4_GROUP, groups * Q4_GROUP - 5}) {
        std::vector<float> out(len, 123.0f);
        ASSERT_EQ(
            dequantize_q4_into(scales.data(), groups, codes.data(), codes.size(), len, out.data()),
            len);
        for (uint64_t i = 0; i < len; ++i) {
          const uint8_t byte = codes[i / 2];
          const int nibble = (i & 1) ? byte >> 4 : byte & 0x0F;
          const float want = scale * static_cast<float>(nibble - 8);
          EXPECT_EQ(std::memcmp(&out[i], &want, sizeof want), 0)
              << "len=" << len << " i=" << i << ": " << out[i] << " vs " << want;
        }
      }
    }
  }
  ASSERT_TRUE(q4_force_level_for_testing(detected));
}

TEST(Q4Test, ShortDataNeverReadsPastItsEnd) {
  std::vector<float> v(64, 1.0f);
  Q4Vector q = quantize_q4(v);
  q.data.resize(20);  // a damaged vector: 20 code bytes for 64 values
  EXPECT_EQ(dequantize_q4(q).size(), 40u);
  q.scales.resize(1);
  EXPECT_EQ(dequantize_q4(q).size(), 32u);
}

}  // namespace
}  // namespace quellmar
