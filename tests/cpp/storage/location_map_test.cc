#include "quellmar/storage/location_map.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>

namespace quellmar {
namespace {

using Entry = LocationMap::value_type;

Entry At(CellId id, uint32_t segment, uint64_t offset) { return {id, CellLocation{offset, segment}}; }

// (id, segment, offset) of every entry, in iteration order.
std::vector<std::tuple<CellId, uint32_t, uint64_t>> Dump(const LocationMap& m) {
  std::vector<std::tuple<CellId, uint32_t, uint64_t>> out;
  for (const auto& [id, loc] : m) out.emplace_back(id, loc.segment, loc.offset);
  return out;
}

TEST(LocationMapTest, FoundOutOfOrderIsSortedAndTheLaterRecordWins) {
  // Segment 2 holds copies of cells 1 and 3 that compaction moved there after cell 9.
  LocationMap m = LocationMap::from_found(
      {At(1, 1, 8), At(3, 1, 40), At(5, 1, 80), At(9, 2, 8), At(1, 2, 50), At(3, 2, 90)});
  using T = std::tuple<CellId, uint32_t, uint64_t>;
  EXPECT_EQ(Dump(m), (std::vector<T>{{1, 2, 50}, {3, 2, 90}, {5, 1, 80}, {9, 2, 8}}));
  EXPECT_EQ(m.at(3).segment, 2u);
  EXPECT_EQ(m.count(4), 0u);
  EXPECT_EQ(m.find(10), m.end());
  EXPECT_THROW((void)m.at(4), std::out_of_range);
}

TEST(LocationMapTest, AddMissingNeverMovesAKnownLocation) {
  using T = std::tuple<CellId, uint32_t, uint64_t>;
  struct Case {
    const char* name;
    std::vector<Entry> found;
    std::vector<T> want;
  };
  const std::vector<Case> cases = {
      {"all new, ascending, past the end", {At(7, 3, 8), At(8, 3, 30)},
       {{2, 1, 8}, {5, 1, 30}, {7, 3, 8}, {8, 3, 30}}},
      {"known ids keep their place", {At(2, 3, 8), At(6, 3, 30), At(5, 3, 60)},
       {{2, 1, 8}, {5, 1, 30}, {6, 3, 30}}},
      {"the first of repeated new ids wins", {At(9, 3, 8), At(4, 3, 30), At(9, 3, 60)},
       {{2, 1, 8}, {4, 3, 30}, {5, 1, 30}, {9, 3, 8}}},
      {"nothing found", {}, {{2, 1, 8}, {5, 1, 30}}},
  };
  for (const Case& c : cases) {
    LocationMap m = LocationMap::from_found({At(2, 1, 8), At(5, 1, 30)});
    m.add_missing(c.found);
    EXPECT_EQ(Dump(m), c.want) << c.name;
  }
}

TEST(LocationMapTest, AssignAppendsReplacesOrInsertsInOrder) {
  using T = std::tuple<CellId, uint32_t, uint64_t>;
  LocationMap m;
  m.assign(4, {8, 0});
  m.assign(6, {40, 0});
  m.assign(4, {8, 5});   // moved by compaction
  m.assign(5, {70, 0});  // below the highest id
  EXPECT_EQ(Dump(m), (std::vector<T>{{4, 5, 8}, {5, 0, 70}, {6, 0, 40}}));
  EXPECT_EQ(m.erase_if([](const Entry& e) { return e.second.segment == 0; }), 2u);
  EXPECT_EQ(Dump(m), (std::vector<T>{{4, 5, 8}}));
}

// Lookups narrow their search by the ids around them; check every id in and around stores with
// no gaps, gaps at either end or in the middle, and one far id, against a plain scan.
TEST(LocationMapTest, FindAgreesWithAScanAroundGaps) {
  const std::vector<std::vector<CellId>> stores = {
      {}, {7}, {1, 2, 3, 4, 5}, {1, 2, 3, 9, 10}, {1, 5, 6, 7, 8}, {1, 2, 3, 4, 9},
      {2, 4, 6, 8, 10}, {1, 2, 3, 1000}, {0, 1, 2, 3}};
  for (const std::vector<CellId>& ids : stores) {
    LocationMap m;
    for (CellId id : ids) m.assign(id, {id * 10, 1});
    for (CellId q = 0; q <= 1002; ++q) {
      const bool stored = std::find(ids.begin(), ids.end(), q) != ids.end();
      auto it = m.find(q);
      ASSERT_EQ(it != m.end(), stored) << "id " << q << " in a store of " << ids.size();
      if (stored) {
        EXPECT_EQ(it->second.offset, q * 10);
      }
    }
    // An insert below the highest id lands in order.
    m.assign(999, {1, 1});
    EXPECT_TRUE(std::is_sorted(m.begin(), m.end(),
                               [](const Entry& a, const Entry& b) { return a.first < b.first; }));
    EXPECT_EQ(m.at(999).offset, 1u);
  }
}

}  // namespace
}  // namespace quellmar
