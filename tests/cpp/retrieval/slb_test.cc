#include "quellmar/retrieval/slb.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace quellmar {
namespace {

std::vector<CellId> ids_of(const std::vector<ScoredCell>& hits) {
  std::vector<CellId> out;
  for (const auto& h : hits) out.push_back(h.cell_id);
  return out;
}

TEST(SlbQuantize, ScaleAndRounding) {
  SLB::Quantized q = SLB::quantize(std::vector<float>{127.0f, -254.0f});
  EXPECT_EQ(q.scale, 2.0f);
  EXPECT_EQ(q.codes, (std::vector<int8_t>{64, -127}));  // 63.5 rounds away from zero
  SLB::Quantized zero = SLB::quantize(std::vector<float>{0.0f, 0.0f});
  EXPECT_EQ(zero.scale, 1.0f);
  EXPECT_EQ(zero.codes, (std::vector<int8_t>{0, 0}));
  EXPECT_EQ(SLB::quantize({}).scale, 1.0f);
  const float nan = std::numeric_limits<float>::quiet_NaN();
  SLB::Quantized with_nan = SLB::quantize(std::vector<float>{nan, -3.0f, 1.5f});
  EXPECT_EQ(with_nan.scale, 3.0f / 127.0f);
  EXPECT_EQ(with_nan.codes[0], 0);
  EXPECT_EQ(with_nan.codes[1], -127);  // never -128
}

TEST(Slb, ScoresFollowTheProductOrder) {
  SLB slb(8, 4);
  std::vector<float> key = {1.0f, -2.0f, 0.5f, 4.0f};
  slb.insert(1, 9, key);
  std::vector<float> query = {0.25f, 3.0f, -1.0f, 2.0f};
  std::vector<ScoredCell> hits = slb.query(query, 5);
  ASSERT_EQ(hits.size(), 1u);
  SLB::Quantized qk = SLB::quantize(key), qq = SLB::quantize(query);
  int32_t dot = 0;
  for (size_t i = 0; i < 4; ++i) dot += int32_t{qk.codes[i]} * qq.codes[i];
  const float f = 1.0f / std::sqrt(4.0f);
  EXPECT_EQ(hits[0].score, f * (qk.scale * (qq.scale * static_cast<float>(dot))));
  EXPECT_EQ(hits[0].owner, 9u);
  // An all-zero key scores 0 against anything.
  slb.insert(2, 9, std::vector<float>{0, 0, 0, 0});
  hits = slb.query(query, 5);
  ASSERT_EQ(hits.size(), 2u);
  EXPECT_EQ(hits[1].cell_id, 2u);
  EXPECT_EQ(hits[1].score, 0.0f);
}

TEST(Slb, EmptyQueriesStillAdvanceTheClock) {
  SLB slb(4, 2);
  EXPECT_TRUE(slb.query(std::vector<float>{1, 1}, 3).empty());
  EXPECT_EQ(slb.clock(), 1u);
  slb.insert(1, 0, std::vector<float>{1, 0});
  EXPECT_TRUE(slb.query(std::vector<float>{1, 1}, 0).empty());
  EXPECT_EQ(slb.clock(), 3u);
  // Another width: nothing returned, nothing changed.
  EXPECT_TRUE(slb.query(std::vector<float>{1, 1, 1}, 3).empty());
  EXPECT_EQ(slb.clock(), 3u);
}

TEST(Slb, OffWidthKeysAreStoredButNeverMatch) {
  SLB slb(4, 2);
  slb.insert(1, 0, std::vector<float>{1, 2, 3});
  slb.insert(2, 0, std::vector<float>{1, 2});
  EXPECT_EQ(slb.occupancy(), 2u);
  EXPECT_EQ(ids_of(slb.query(std::vector<float>{1, 1}, 5)), (std::vector<CellId>{2}));
}

TEST(Slb, ReinsertRefreshesCodesAndKeepsFirstOwner) {
  SLB slb(4, 2);
  slb.insert(1, 5, std::vector<float>{1, 0});
  slb.insert(1, 6, std::vector<float>{0, 1});
  EXPECT_EQ(slb.occupancy(), 1u);
  std::vector<ScoredCell> hits = slb.query(std::vector<float>{0, 1}, 1);
  ASSERT_EQ(hits.size(), 1u);
  EXPECT_EQ(hits[0].owner, 5u);
  EXPECT_GT(hits[0].score, 0.0f);
}

// capacity 2: A, B, C evicts A; a query returning B then stamps it, but the cached victim
// (B, chosen when A left) is not moved, so D evicts B and not C.
TEST(Slb, EvictionUsesTheCachedVictim) {
  SLB slb(2, 2);
  slb.insert(1, 0, std::vector<float>{1, 0});  // A
  slb.insert(2, 0, std::vector<float>{0, 1});  // B
  slb.insert(3, 0, std::vector<float>{1, 1});  // C evicts A
  EXPECT_FALSE(slb.contains(1));
  EXPECT_EQ(ids_of(slb.query(std::vector<float>{-1, 2}, 1)), (std::vector<CellId>{2}));
  slb.insert(4, 0, std::vector<float>{-1, 0});  // D evicts B
  EXPECT_FALSE(slb.contains(2));
  EXPECT_TRUE(slb.contains(3));
  EXPECT_TRUE(slb.contains(4));
  EXPECT_EQ(slb.occupancy(), 2u);
  EXPECT_LE(slb.slot_count(), 2u);
}

TEST(Slb, RemovingTheVictimPicksTheNextOldest) {
  SLB slb(3, 2);
  slb.insert(1, 0, std::vector<float>{1, 0});
  slb.insert(2, 0, std::vector<float>{0, 1});
  slb.insert(3, 0, std::vector<float>{1, 1});
  slb.remove(1);  // the victim
  EXPECT_EQ(slb.occupancy(), 2u);
  slb.insert(4, 0, std::vector<float>{1, 2});  // takes the free slot, evicts nothing
  EXPECT_EQ(slb.occupancy(), 3u);
  slb.insert(5, 0, std::vector<float>{2, 1});  // evicts 2, the smallest stamp left
  EXPECT_FALSE(slb.contains(2));
  EXPECT_TRUE(slb.contains(3) && slb.contains(4) && slb.contains(5));
  EXPECT_EQ(slb.occupancy(), 3u);
  slb.remove(42);  // unknown: nothing happens
  EXPECT_EQ(slb.occupancy(), 3u);
}

TEST(Slb, SlotListNeverOutgrowsCapacity) {
  SLB slb(16, 4);
  for (CellId id = 1; id <= 500; ++id) {
    slb.insert(id, 0, std::vector<float>{float(id), 1, 2, 3});
    if (id % 7 == 0) slb.remove(id - 3);
    if (id % 5 == 0) (void)slb.query(std::vector<float>{1, 1, 1, 1}, 3);
    ASSERT_LE(slb.slot_count(), 16u);
    ASSERT_LE(slb.occupancy(), 16u);
  }
  EXPECT_EQ(slb.occupancy(), 16u);
  EXPECT_EQ(slb.query(std::vector<float>{1, 1, 1, 1}, 100).size(), 16u);
}

// Equal scores come back by slot order, and the cut at k keeps the lower slots.
TEST(Slb, EqualScoresAreOrderedBySlot) {
  SLB slb(8, 2);
  for (CellId id = 10; id < 15; ++id) slb.insert(id, 0, std::vector<float>{1, 1});
  EXPECT_EQ(ids_of(slb.query(std::vector<float>{1, 1}, 3)), (std::vector<CellId>{10, 11, 12}));
}

}  // namespace
}  // namespace quellmar
