#include "quellmar/core/flat_id_map.h"

#include <gtest/gtest.h>

#include <map>
#include <random>

namespace quellmar {
namespace {

// A hash that sends ids to few homes, so that probe runs are long and wrap around the end of the
// array: the cases where erasing has to move entries back.
struct Crowding {
  size_t operator()(CellId id) const { return (id % 5) * 7 + 13; }
};

template <typename Hash>
void check_against_a_plain_map(uint64_t id_range, unsigned seed) {
  FlatIdMap<uint64_t, Hash> map;
  std::map<CellId, uint64_t> want;
  std::mt19937 rng(seed);
  for (int step = 0; step < 4000; ++step) {
    const CellId id = rng() % id_range;
    const unsigned op = rng() % 10;
    if (op < 5) {
      map[id] += step;
      want[id] += step;
    } else if (op < 8) {
      EXPECT_EQ(map.erase(id), want.erase(id)) << "step " << step;
    } else if (op < 9) {
      auto it = map.find(id);
      if (it != map.end()) map.erase(it);
      want.erase(id);
    } else {
      map.reserve(map.size() + rng() % 64);
    }
    ASSERT_EQ(map.size(), want.size()) << "step " << step;
    // Every id is found (or not) as the plain map says, with its value.
    for (CellId probe = 0; probe < id_range; ++probe) {
      auto w = want.find(probe);
      ASSERT_EQ(map.count(probe), w != want.end() ? 1u : 0u) << "id " << probe << " step " << step;
      if (w != want.end()) {
        ASSERT_EQ(map.at(probe), w->second) << "id " << probe;
      }
    }
  }
  // Iteration visits each entry once.
  std::map<CellId, uint64_t> seen;
  for (const auto& [id, value] : map) EXPECT_TRUE(seen.emplace(id, value).second) << id;
  EXPECT_EQ(seen, want);
  EXPECT_THROW(map.at(id_range + 1), std::out_of_range);
}

TEST(FlatIdMap, MatchesAPlainMapUnderInsertsErasesAndGrowth) {
  check_against_a_plain_map<std::hash<CellId>>(300, 1);
  check_against_a_plain_map<Crowding>(40, 2);
  check_against_a_plain_map<Crowding>(12, 3);
}

}  // namespace
}  // namespace quellmar
