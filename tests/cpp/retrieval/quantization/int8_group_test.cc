#include "quellmar/retrieval/quantization/int8_group.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "quellmar/retrieval/quantization/int8_token.h"

namespace quellmar {
namespace {

TEST(Int8GroupTest, RowSplitsIntoGroupsOf32WithAShortLastGroup) {
  std::vector<float> row(70);
  for (size_t i = 0; i < row.size(); ++i) row[i] = static_cast<float>(i) - 35.0f;
  Int8GroupVector v = quantize_int8_group(70, row);
  EXPECT_EQ(v.dim, 70u);
  ASSERT_EQ(v.codes.size(), 70u);
  ASSERT_EQ(v.scales.size(), 3u);
  EXPECT_FLOAT_EQ(v.scales[0], 35.0f / 127.0f);  // group 0: -35 .. -4
  EXPECT_FLOAT_EQ(v.scales[1], 28.0f / 127.0f);  // group 1: -3 .. 28
  EXPECT_FLOAT_EQ(v.scales[2], 34.0f / 127.0f);  // group 2: 29 .. 34
  EXPECT_EQ(v.codes[0], -127);
  EXPECT_EQ(v.codes[63], 127);
  std::vector<float> back = dequantize_int8_group(70, v);
  ASSERT_EQ(back.size(), 70u);
  for (size_t i = 0; i < row.size(); ++i) EXPECT_NEAR(back[i], row[i], 0.14f) << i;
  std::vector<float> into(70);
  ASSERT_TRUE(dequantize_int8_group_into(70, v, into.data()));
  EXPECT_EQ(into, back);
}

TEST(Int8GroupTest, ZeroGroupGetsTheFloorScaleAndDequantizesToZeros) {
  std::vector<float> row(40, 0.0f);
  row[35] = 2.0f;
  Int8GroupVector v = quantize_int8_group(40, row);
  ASSERT_EQ(v.scales.size(), 2u);
  EXPECT_EQ(v.scales[0], 1e-12f / 127.0f);
  for (int i = 0; i < 32; ++i) EXPECT_EQ(v.codes[i], 0);
  std::vector<float> back = dequantize_int8_group(40, v);
  for (int i = 0; i < 32; ++i) EXPECT_EQ(back[i], 0.0f);
  EXPECT_FLOAT_EQ(back[35], 2.0f);
}

TEST(Int8GroupTest, RoundsHalfAwayFromZeroAndMapsNanToZero) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  // Scale 1.0: the magnitude is 127.
  std::vector<float> row = {127.0f, 2.5f, -2.5f, nan, -127.0f};
  Int8GroupVector v = quantize_int8_group(5, row);
  EXPECT_EQ(v.scales[0], 1.0f);
  EXPECT_EQ(v.codes, (std::vector<int8_t>{127, 3, -3, 0, -127}));
}

TEST(Int8GroupTest, WidthMismatchesGiveEmptyResults) {
  std::vector<float> row = {1.0f, 2.0f, 3.0f};
  EXPECT_EQ(quantize_int8_group(4, row), Int8GroupVector{});
  Int8GroupVector v = quantize_int8_group(3, row);
  EXPECT_TRUE(dequantize_int8_group(4, v).empty());
  std::vector<float> out(4);
  EXPECT_FALSE(dequantize_int8_group_into(4, v, out.data()));
}

TEST(Int8GroupTest, DamagedVectorDequantizesOnlyWhatItsScalesCover) {
  std::vector<float> row(40, 1.0f);
  Int8GroupVector v = quantize_int8_group(40, row);
  v.scales.pop_back();  // the second group has lost its scale
  EXPECT_EQ(dequantize_int8_group(40, v).size(), 32u);
  std::vector<float> out(40);
  EXPECT_FALSE(dequantize_int8_group_into(40, v, out.data()));
  v = quantize_int8_group(40, row);
  v.codes.resize(10);  // fewer codes than dim
  EXPECT_EQ(dequantize_int8_group(40, v).size(), 10u);
  EXPECT_FALSE(dequantize_int8_group_into(40, v, out.data()));
}

TEST(Int8TokenTest, ScalesByTheRowMaximum) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  struct Case {
    std::vector<float> row;
    float scale;
    std::vector<int8_t> codes;
  };
  const Case cases[] = {
      {{127.0f, -254.0f}, 2.0f, {64, -127}},  // 63.5 rounds away from zero
      {{0.0f, 0.0f}, 1.0f, {0, 0}},
      {{}, 1.0f, {}},
      {{nan, 1.27f}, 0.01f, {0, 127}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.row));
    Int8Token t = quantize_int8_token(c.row);
    EXPECT_FLOAT_EQ(t.scale, c.scale);
    EXPECT_EQ(t.codes, c.codes);
  }
}

}  // namespace
}  // namespace quellmar
