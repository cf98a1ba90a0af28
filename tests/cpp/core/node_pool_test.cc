#include "quellmar/core/node_pool.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>

namespace quellmar {
namespace {

using Map = PooledHashMap<uint64_t, std::string>;

void Fill(Map& m, uint64_t from, uint64_t to) {
  for (uint64_t i = from; i < to; ++i) m[i] = std::to_string(i * 7);
}

void ExpectHolds(const Map& m, uint64_t from, uint64_t to) {
  ASSERT_EQ(m.size(), to - from);
  for (uint64_t i = from; i < to; ++i) {
    auto it = m.find(i);
    ASSERT_NE(it, m.end()) << i;
    EXPECT_EQ(it->second, std::to_string(i * 7));
  }
}

// Enough entries to span several chunks, erased and inserted again so that freed nodes are reused,
// through copies (each with a pool of its own), moves and swaps.
TEST(NodePoolTest, MapsKeepTheirEntriesThroughReuseCopiesMovesAndSwaps) {
  Map a;
  Fill(a, 0, 20000);
  for (uint64_t i = 0; i < 20000; i += 2) a.erase(i);
  for (uint64_t i = 0; i < 20000; i += 2) a[i] = std::to_string(i * 7);
  ExpectHolds(a, 0, 20000);

  Map copy(a);
  EXPECT_FALSE(copy.get_allocator() == a.get_allocator());
  a.clear();
  Fill(a, 50000, 51000);
  ExpectHolds(copy, 0, 20000);

  Map assigned;
  Fill(assigned, 0, 10);
  assigned = copy;  // keeps its own pool
  EXPECT_FALSE(assigned.get_allocator() == copy.get_allocator());
  copy.clear();
  ExpectHolds(assigned, 0, 20000);

  Map moved(std::move(assigned));
  ExpectHolds(moved, 0, 20000);
  assigned.clear();  // NOLINT: a moved-from map stays usable
  Fill(assigned, 5, 9);
  ExpectHolds(assigned, 5, 9);

  std::swap(moved, a);
  ExpectHolds(a, 0, 20000);
  ExpectHolds(moved, 50000, 51000);
}

}  // namespace
}  // namespace quellmar
