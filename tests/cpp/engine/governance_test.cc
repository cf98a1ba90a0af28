#include "quellmar/engine/governance.h"

#include <gtest/gtest.h>

#include <cmath>

#include "quellmar/engine/pack_directory.h"

namespace quellmar {
namespace {

TEST(GovernanceTest, ImportanceAndTierAtWrite) {
  struct Case {
    float salience, importance;
    int tier;
  };
  const Case cases[] = {{70, 75, 1}, {80, 85, 2},   {-3, 5, 0},    {-7, 5, 0},
                        {60, 65, 1}, {250, 100, 2}, {NAN, 100, 2}, {59.99f, 64.99f, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.salience);
    GovernanceEntry e = entry_at_write(c.salience);
    EXPECT_FLOAT_EQ(e.importance, c.importance);
    EXPECT_EQ(e.tier, c.tier);
    EXPECT_EQ(e.age_days, 0.0f);
  }
}

TEST(GovernanceTest, TierUpdateHasHysteresis) {
  struct Case {
    int from;
    float x;
    int to;
  };
  const Case cases[] = {
      {0, 64.9f, 0}, {0, 65, 1},    {0, 85, 2},    {0, 100, 2},  // Draft climbs at 65 and 85
      {1, 85, 2},    {1, 35, 1},    {1, 34.9f, 0},               // Validated
      {2, 60, 2},    {2, 59.9f, 1}, {2, 34, 0},                  // Core falls below 60 and 35
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.from << " at " << c.x);
    EXPECT_EQ(tier_update(static_cast<uint8_t>(c.from), c.x), c.to);
  }
}

TEST(GovernanceTest, ReadTouchAndWeights) {
  GovernanceEntry draft62{62, 0, 0};
  read_touch(draft62);
  EXPECT_EQ(draft62.importance, 65.0f);
  EXPECT_EQ(draft62.tier, 1);
  GovernanceEntry draft83{83, 0, 0};
  read_touch(draft83);
  EXPECT_EQ(draft83.tier, 2);  // two tiers at once
  GovernanceEntry top{99, 0, 2};
  read_touch(top);
  EXPECT_EQ(top.importance, 100.0f);
  GovernanceEntry nan{NAN, 0, 0};
  read_touch(nan);
  EXPECT_EQ(nan.importance, 100.0f);

  EXPECT_EQ(tier_multiplier(0), 1.0f);
  EXPECT_EQ(tier_multiplier(1), 1.1f);
  EXPECT_EQ(tier_multiplier(2), 1.25f);
  EXPECT_NEAR(recency_factor(30), 0.36788f, 1e-5);
  EXPECT_EQ(recency_factor(-4), 1.0f);
  EXPECT_EQ(recency_factor(NAN), 1.0f);
}

TEST(PackDirectoryTest, InsertReplacesAndViewCellsAppend) {
  PackDirectory dir;
  dir.insert(1, {5, 3, 4, 3}, 7);
  EXPECT_EQ(*dir.cells(1), (std::vector<CellId>{3, 4, 5}));
  EXPECT_EQ(*dir.pack_of(4), 1u);
  dir.insert(1, {10, 11}, 8);
  EXPECT_EQ(*dir.cells(1), (std::vector<CellId>{10, 11}));
  EXPECT_EQ(dir.pack_of(3), nullptr);
  EXPECT_EQ(*dir.owner_of(1), 8u);

  dir.add_view_cells(1, 2);
  dir.add_view_cells(1, 11);
  EXPECT_EQ(*dir.cells(1), (std::vector<CellId>{10, 11, 2, 11}));
  dir.normalize();
  EXPECT_EQ(*dir.cells(1), (std::vector<CellId>{2, 10, 11}));
  dir.erase(1);
  EXPECT_FALSE(dir.contains(1));
  EXPECT_EQ(dir.pack_of(10), nullptr);
  EXPECT_EQ(dir.owner_of(1), nullptr);
}

}  // namespace
}  // namespace quellmar
