#include "quellmar/retrieval/slb.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>
#include <optional>
#include <random>
#include <vector>

#include "test_util.h"

namespace quellmar {
namespace {

using testing::ids_of;

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

// The eviction rules written out plainly: slots with stamps, a free list reused last freed first,
// and the victim found by a scan in slot order keeping strictly smaller stamps. Random inserts,
// re-inserts, queries (whose hits the model takes from the buffer) and removals must evict the
// same cells as the buffer does.
TEST(Slb, EvictionsMatchAPlainScanOfTheStamps) {
  struct Model {
    struct Slot {
      CellId id = 0;
      uint64_t stamp = 0;
      bool occupied = false;
    };
    std::vector<Slot> slots;
    std::vector<size_t> free_slots;
    std::optional<size_t> victim;
    uint64_t clock = 0, capacity = 0, occupancy = 0;

    std::optional<size_t> find(CellId id) const {
      for (size_t i = 0; i < slots.size(); ++i)
        if (slots[i].occupied && slots[i].id == id) return i;
      return std::nullopt;
    }
    void recompute() {
      victim.reset();
      for (size_t i = 0; i < slots.size(); ++i) {
        if (slots[i].occupied && (!victim || slots[i].stamp < slots[*victim].stamp)) victim = i;
      }
    }
    void insert(CellId id) {
      clock += 1;
      if (auto i = find(id)) {
        slots[*i].stamp = clock;
        if (victim == *i) recompute();
        return;
      }
      if (occupancy >= capacity && victim) {
        slots[*victim].occupied = false;
        occupancy -= 1;
        free_slots.push_back(*victim);
        recompute();
      }
      size_t i;
      if (!free_slots.empty()) {
        i = free_slots.back();
        free_slots.pop_back();
      } else {
        i = slots.size();
        slots.emplace_back();
      }
      slots[i] = {id, clock, true};
      occupancy += 1;
      if (!victim) victim = i;
    }
    void queried(const std::vector<CellId>& hits) {
      clock += 1;
      for (CellId id : hits) slots[*find(id)].stamp = clock;
    }
    void remove(CellId id) {
      auto i = find(id);
      if (!i) return;
      slots[*i].occupied = false;
      occupancy -= 1;
      free_slots.push_back(*i);
      if (victim == *i) recompute();
    }
  };

  std::mt19937 rng(11);
  for (uint64_t capacity : {1, 2, 5, 16}) {
    SCOPED_TRACE(capacity);
    SLB slb(capacity, 2);
    Model model;
    model.capacity = capacity;
    CellId next = 1;
    for (int step = 0; step < 3000; ++step) {
      const unsigned op = rng() % 10;
      if (op < 4) {
        const CellId id = next++;
        const std::vector<float> key{float(rng() % 7) - 3.0f, float(rng() % 5)};
        slb.insert(id, 0, key);
        model.insert(id);
      } else if (op < 6) {
        const CellId id = 1 + rng() % next;
        slb.insert(id, 0, std::vector<float>{1, float(rng() % 3)});
        model.insert(id);
      } else if (op < 9) {
        auto hits = slb.query(std::vector<float>{float(rng() % 3) - 1.0f, 1}, 1 + rng() % 3);
        model.queried(ids_of(hits));
      } else {
        const CellId id = 1 + rng() % next;
        slb.remove(id);
        model.remove(id);
      }
      ASSERT_EQ(slb.occupancy(), model.occupancy) << "step " << step;
      for (CellId id = 1; id < next; ++id) {
        ASSERT_EQ(slb.contains(id), model.find(id).has_value())
            << "cell " << id << " step " << step;
      }
    }
  }
}

// A batch must leave the buffer exactly as the same inserts one by one do: same cells in the same
// slots with the same codes (queries list them identically, scores and slot order included), the
// same clock, and the same victims afterwards.
TEST(Slb, InsertAllMatchesInsertsOneByOne) {
  struct Case {
    const char* name;
    uint64_t capacity;
    std::vector<CellId> before;  // inserted one by one first, then one query
    std::vector<CellId> batch;
  };
  const std::vector<Case> cases = {
      {"empty batch", 4, {}, {}},
      {"fewer than capacity", 4, {}, {1, 2, 3}},
      {"exactly capacity", 4, {}, {5, 6, 7, 8}},
      {"one past capacity", 4, {}, {1, 2, 3, 4, 5}},
      {"several rounds", 4, {}, {2, 3, 5, 7, 11, 13, 17, 19, 23, 29, 31}},
      {"capacity one", 1, {}, {4, 8, 9}},
      {"ids out of order", 4, {}, {9, 3, 7, 1, 8, 2}},
      {"repeated ids", 3, {}, {1, 2, 1, 3, 4, 2, 5, 1}},
      {"into a filled buffer", 4, {1, 2, 3}, {2, 4, 5, 6, 1, 7}},
  };
  std::mt19937 rng(5);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SLB one(c.capacity, 3), all(c.capacity, 3);
    for (CellId id : c.before) {
      const std::vector<float> key{float(id), 1, -2};
      one.insert(id, 1, key);
      all.insert(id, 1, key);
    }
    if (!c.before.empty()) {
      one.query(std::vector<float>{1, 1, 1}, 1);
      all.query(std::vector<float>{1, 1, 1}, 1);
    }
    // Keys kept alive for the batch; one of every five has another width.
    std::vector<std::vector<float>> keys;
    for (size_t j = 0; j < c.batch.size(); ++j) {
      const size_t width = j % 5 == 4 ? 2 : 3;
      std::vector<float> key;
      for (size_t d = 0; d < width; ++d) key.push_back(float(int(rng() % 9)) - 4.0f);
      keys.push_back(std::move(key));
    }
    std::vector<SLB::Insert> items;
    for (size_t j = 0; j < c.batch.size(); ++j) {
      one.insert(c.batch[j], c.batch[j] + 100, keys[j]);
      items.push_back({c.batch[j], c.batch[j] + 100, keys[j]});
    }
    all.insert_all(items);
    auto same = [&](const char* when) {
      SCOPED_TRACE(when);
      ASSERT_EQ(all.occupancy(), one.occupancy());
      ASSERT_EQ(all.clock(), one.clock());
      ASSERT_EQ(all.slot_count(), one.slot_count());
      for (CellId id = 0; id < 40; ++id) ASSERT_EQ(all.contains(id), one.contains(id)) << id;
      for (const std::vector<float>& q : {std::vector<float>{1, 2, 3}, std::vector<float>{0, 0, 0},
                                          std::vector<float>{-1, 4, 0}}) {
        const auto a = all.query(q, c.capacity), b = one.query(q, c.capacity);
        ASSERT_EQ(a.size(), b.size());
        for (size_t i = 0; i < a.size(); ++i) {
          EXPECT_EQ(a[i].cell_id, b[i].cell_id) << i;
          EXPECT_EQ(a[i].owner, b[i].owner) << i;
          EXPECT_EQ(a[i].score, b[i].score) << i;
        }
      }
    };
    same("after the batch");
    for (CellId id = 30; id < 36; ++id) {
      one.insert(id, 0, std::vector<float>{1, 0, 0});
      all.insert(id, 0, std::vector<float>{1, 0, 0});
    }
    same("after more inserts");
  }
}

// Panels laid out ahead of a batch, more than it fills and up to past capacity, change no query:
// the same inserts, evictions and removals give the same hits as without them. Keys are positive
// and the query negative, so a padding slot a query wrongly scored would rank first.
TEST(Slb, RoomMadeAheadChangesNoQuery) {
  std::mt19937 rng(11);
  constexpr uint64_t DIM = 8;
  SLB plain(40, DIM), roomy(40, DIM);
  CellId next = 1;
  auto batch = [&](uint64_t room, int inserts) {
    roomy.make_room(room, DIM);
    for (int i = 0; i < inserts; ++i) {
      const std::vector<float> key = testing::uniform_values(rng, DIM, 0.1f, 1.0f);
      plain.insert(next, next % 2, key);
      roomy.insert(next, next % 2, key);
      ++next;
    }
  };
  auto same = [&] {
    const std::vector<float> query = testing::uniform_values(rng, DIM, -1.0f, -0.1f);
    const std::vector<ScoredCell> want = plain.query(query, 100);
    const std::vector<ScoredCell> got = roomy.query(query, 100);
    ASSERT_EQ(ids_of(got), ids_of(want));
    for (size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i].score, want[i].score);
  };
  batch(20, 3);
  same();
  batch(100, 30);  // fills to capacity, then evicts
  same();
  plain.remove(5);
  roomy.remove(5);
  batch(10, 10);
  same();
  EXPECT_EQ(roomy.slot_count(), plain.slot_count());
}

// The code panels grow with the slots in use, across panel boundaries and past capacity, with
// and without room made ahead: every key held is found by its own query, first.
TEST(Slb, PanelsGrowWithTheSlotsInUse) {
  struct Case {
    uint64_t inserts;
    uint64_t room;  // make_room before the inserts
  };
  constexpr uint64_t CAPACITY = 300;
  constexpr uint64_t DIM = 32;
  for (const Case& c : {Case{1, 0}, Case{128, 0}, Case{129, 0}, Case{257, 0}, Case{300, 0},
                        Case{700, 0}, Case{129, 1}, Case{200, 1000}}) {
    SCOPED_TRACE(::testing::Message() << c.inserts << " inserts, room " << c.room);
    std::mt19937 rng(static_cast<unsigned>(c.inserts + c.room));
    std::normal_distribution<float> normal;
    SLB slb(CAPACITY, DIM);
    slb.make_room(c.room, DIM);
    std::vector<std::vector<float>> keys;
    for (uint64_t i = 0; i < c.inserts; ++i) {
      std::vector<float> key(DIM);
      for (float& v : key) v = normal(rng);
      slb.insert(i, 0, key);
      keys.push_back(std::move(key));
    }
    const uint64_t held = std::min(c.inserts, CAPACITY);
    EXPECT_EQ(slb.slot_count(), held);
    EXPECT_EQ(slb.occupancy(), held);
    for (uint64_t i = 0; i < c.inserts; ++i) {
      const bool kept = i >= c.inserts - held;
      ASSERT_EQ(slb.contains(i), kept) << i;
      if (kept) {
        ASSERT_EQ(ids_of(slb.query(keys[i], 1)), std::vector<CellId>{i}) << i;
      }
    }
  }
}

// Until the slots fill a whole panel, their codes lie one after another and are scored slot by
// slot; once they do, they move into panels. The scores of the keys held before are the same
// bits after the move, and a query's hits the same.
TEST(Slb, FewSlotsScoreAsPanelsDo) {
  std::mt19937 rng(21);
  constexpr uint64_t DIM = 37;
  SLB slb(1000, DIM);
  std::vector<std::vector<float>> keys;
  auto add = [&] {
    keys.push_back(testing::uniform_values(rng, DIM, -1.0f, 1.0f));
    slb.insert(keys.size(), keys.size() % 3, keys.back());
  };
  const std::vector<float> query = testing::uniform_values(rng, DIM, -1.0f, 1.0f);
  while (keys.size() < I8_PANEL_WIDTH - 1) add();
  const std::vector<ScoredCell> before = slb.query(query, 1000);
  ASSERT_EQ(before.size(), keys.size());
  add();  // the first panel fills
  add();
  std::vector<ScoredCell> after = slb.query(query, 1000);
  ASSERT_EQ(after.size(), keys.size());
  std::erase_if(after, [&](const ScoredCell& c) { return c.cell_id >= I8_PANEL_WIDTH; });
  EXPECT_EQ(after, before);
}

// A width whose codes no machine could hold: the buffer is made without them, and an insert of a
// key of that width whose codes cannot be allocated fails whole, leaving the buffer as it was. A
// key of another width has no codes, and costs none of that width.
TEST(Slb, FailedPanelAllocationChangesNothing) {
  const uint64_t huge = uint64_t{1} << 45;
  SLB slb(4096, huge);
  EXPECT_EQ(slb.slot_count(), 0u);
  EXPECT_THROW(slb.insert_quantized(7, 1, SLB::Quantized{}, huge), std::bad_alloc);
  EXPECT_THROW(slb.make_room(1, huge), std::bad_alloc);
  EXPECT_EQ(slb.occupancy(), 0u);
  EXPECT_EQ(slb.slot_count(), 0u);
  EXPECT_EQ(slb.clock(), 0u);
  EXPECT_FALSE(slb.contains(7));
  slb.remove(7);
  EXPECT_EQ(slb.occupancy(), 0u);
  slb.make_room(1000, 2);
  slb.insert(8, 1, std::vector<float>{1.0f, 2.0f});
  EXPECT_EQ(slb.occupancy(), 1u);
  EXPECT_TRUE(slb.contains(8));
}

}  // namespace
}  // namespace quellmar
