#include "quellmar/core/aligned_allocator.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace quellmar {
namespace {

using Floats = std::vector<float, AlignedAllocator<float>>;

bool aligned_to(const void* p, uintptr_t a) { return reinterpret_cast<uintptr_t>(p) % a == 0; }

// Small blocks come from the heap on cache-line boundaries; large ones are mapped on huge-page
// boundaries. Contents survive growth across the threshold.
TEST(AlignedAllocatorTest, SmallAndLargeBlocks) {
  Floats v;
  append_filled(v, 1000, 1.5f);
  EXPECT_TRUE(aligned_to(v.data(), 64));
  const size_t large = huge_block::MIN_BYTES / sizeof(float) + 12345;
  for (size_t i = 0; i < large; ++i) v.push_back(static_cast<float>(i));
  EXPECT_TRUE(aligned_to(v.data(), huge_block::PAGE));
  for (size_t i = 0; i < 1000; ++i) ASSERT_EQ(v[i], 1.5f);
  for (size_t i = 0; i < large; i += 4099) ASSERT_EQ(v[1000 + i], static_cast<float>(i));
}

}  // namespace
}  // namespace quellmar
