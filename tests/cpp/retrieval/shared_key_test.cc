#include "quellmar/retrieval/shared_key.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "test_util.h"

namespace quellmar {
namespace {

using testing::values_of;

// Keys decoded into a block stay whole, on cache-line boundaries, and alive for as long as a
// handle to any of them is held, also across chunks and for a key larger than a chunk.
TEST(KeyBlock, HandlesKeepTheirValuesAlive) {
  std::vector<SharedKey> kept;
  std::vector<std::vector<float>> expected;
  {
    auto block = std::make_shared<KeyBlock>();
    const size_t lengths[] = {128, 3, 0, 128, 77};
    constexpr size_t HUGE_LENGTH = size_t{1} << 20;  // more than a chunk holds
    for (int round = 0; round < 3000; ++round) {
      const size_t n = round == 3 ? HUGE_LENGTH : lengths[round % 5];
      float* at = block->append(n);
      EXPECT_EQ(reinterpret_cast<uintptr_t>(at) % 64, 0u);
      std::vector<float> values(n);
      for (size_t i = 0; i < n; ++i) values[i] = static_cast<float>(round) + 0.25f * float(i);
      std::copy(values.begin(), values.end(), at);
      if (round % 7 == 0 || n == HUGE_LENGTH) {
        kept.push_back(block->share(at, n));
        expected.push_back(std::move(values));
      }
    }
    EXPECT_GT(block->bytes(), size_t{8} << 20);  // several chunks
  }
  for (size_t i = 0; i < kept.size(); ++i) {
    ASSERT_TRUE(static_cast<bool>(kept[i]));
    EXPECT_EQ(values_of(*kept[i]), expected[i]) << i;
  }
}

TEST(SharedKey, EqualHandlesShareTheirValues) {
  const SharedKey own(std::vector<float>{1, 2, 3});
  const SharedKey copy = own;
  const SharedKey other(std::vector<float>{1, 2, 3});
  EXPECT_TRUE(copy == own);
  EXPECT_FALSE(other == own);  // equal values, another key
  EXPECT_FALSE(static_cast<bool>(SharedKey()));
  EXPECT_TRUE(SharedKey() == SharedKey(nullptr));
  EXPECT_EQ(values_of(*own), (std::vector<float>{1, 2, 3}));
  EXPECT_EQ(own->size(), 3u);
}

}  // namespace
}  // namespace quellmar
