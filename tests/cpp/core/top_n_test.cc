#include "quellmar/core/top_n.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace quellmar {
namespace {

TEST(TopNTest, AveragesTheLargestValues) {
  const float inf = std::numeric_limits<float>::infinity();
  struct Case {
    std::vector<float> values;
    uint64_t n;
    float expected;
  };
  const Case cases[] = {
      {{3, 1, 2}, 5, 2.0f},          {{3, 1, 2}, 2, 2.5f}, {{}, 5, -inf},
      {{1, 2, 3, 4, 5, 6}, 5, 4.0f},  // six values: mean of the five largest
      {{-1, -7}, 1, -1.0f},          {{4, 4, 1}, 2, 4.0f}, {{1, 2}, 0, -inf},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.values) + " n=" + std::to_string(c.n));
    EXPECT_EQ(top_n_average(c.values, c.n), c.expected);
  }
}

TEST(TopNTest, NanRanksLowestButStillCounts) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  EXPECT_EQ(top_n_average(std::vector<float>{nan, 1, 3}, 2), 2.0f);
  EXPECT_TRUE(std::isnan(top_n_average(std::vector<float>{nan, 1}, 2)));
}

}  // namespace
}  // namespace quellmar
