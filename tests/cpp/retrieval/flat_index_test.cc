#include "quellmar/retrieval/flat_index.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "quellmar/retrieval/key_view.h"
#include "test_util.h"

namespace quellmar {
namespace {

using testing::ids_of;

TEST(FlatIndex, EmptyAndMalformedQueriesFindNothing) {
  FlatIndex index;
  EXPECT_TRUE(index.is_empty());
  EXPECT_TRUE(index.search(std::vector<float>{1, 2}, 5, std::nullopt).empty());
  index.insert(1, 0, std::vector<float>{1, 2});
  EXPECT_TRUE(index.search({}, 5, std::nullopt).empty());
  std::vector<float> malformed(70, 0.0f);
  malformed[0] = ENCODING_SENTINEL;
  malformed[ENCODING_DIM_IDX] = 4.0f;  // 6 row words do not divide by 4
  EXPECT_TRUE(index.search(malformed, 5, std::nullopt).empty());
  index.insert(2, 0, malformed);  // left out
  EXPECT_EQ(index.len(), 1u);
  EXPECT_TRUE(index.search(std::vector<float>{1, 2}, 0, std::nullopt).empty());
}

TEST(FlatIndex, OwnerFilterAndWidths) {
  FlatIndex index;
  index.insert(1, 7, std::vector<float>{1, 0, 0, 0});
  index.insert(2, 8, std::vector<float>{0, 1, 0, 0});
  index.insert(3, 7, std::vector<float>{1, 1, 1, 1, 1, 1, 1, 1});
  std::vector<float> q = {1, 1, 0, 0};
  EXPECT_EQ(ids_of(index.search(q, 10, OwnerId{7})), (std::vector<CellId>{1}));
  EXPECT_EQ(ids_of(index.search(q, 10, std::nullopt)), (std::vector<CellId>{1, 2}));
  EXPECT_EQ(ids_of(index.search(std::vector<float>(8, 1.0f), 10, std::nullopt)),
            (std::vector<CellId>{3}));
}

TEST(FlatIndex, EncodedKeysArePooled) {
  FlatIndex index;
  std::vector<std::vector<float>> rows = {{1, 2, 3}, {3, 0, 1}, {2, 1, -1}};
  index.insert(1, 0, EncodedKey::from_token_slices(rows));
  std::vector<float> mean = classify_key(EncodedKey::from_token_slices(rows))->mean_pooled();
  std::vector<ScoredCell> hits = index.search(mean, 1, std::nullopt);
  ASSERT_EQ(hits.size(), 1u);
  float norm2 = 0.0f;
  for (float x : mean) norm2 += x * x;
  EXPECT_EQ(hits[0].score, (1.0f / std::sqrt(3.0f)) * norm2);
}

// Equal scores keep insertion order, including after removals, and the top-k cut keeps the
// earliest of them; scores equal a stable sort of in-order dot products.
TEST(FlatIndex, MatchesStableSortOfInOrderScores) {
  std::mt19937 rng(5);
  std::uniform_int_distribution<int> small(-2, 2);  // many exact ties
  std::normal_distribution<float> normal(0.0f, 1.0f);
  for (bool ties : {true, false}) {
    SCOPED_TRACE(ties);
    FlatIndex index;
    const size_t dim = 19;
    std::vector<std::pair<CellId, std::vector<float>>> model;
    for (CellId id = 1; id <= 300; ++id) {
      std::vector<float> key(dim);
      for (float& x : key) x = ties ? float(small(rng)) : normal(rng);
      index.insert(id, id % 3, key);
      model.emplace_back(id, key);
      if (id % 11 == 0) {  // also exercise duplicates of one id
        index.insert(id, id % 3, key);
        model.emplace_back(id, key);
      }
    }
    for (CellId gone : {CellId{3}, CellId{22}, CellId{100}, CellId{299}, CellId{1000}}) {
      index.remove(gone);
      std::erase_if(model, [&](const auto& e) { return e.first == gone; });
    }
    ASSERT_EQ(index.len(), model.size());
    std::vector<float> q(dim);
    for (float& x : q) x = ties ? float(small(rng)) : normal(rng);
    const float f = 1.0f / std::sqrt(float(dim));
    std::vector<ScoredCell> want;
    for (const auto& [id, key] : model) {
      float dot = 0.0f;
      for (size_t i = 0; i < dim; ++i) dot += q[i] * key[i];
      want.push_back({id, id % 3, f * dot});
    }
    std::stable_sort(want.begin(), want.end(),
                     [](const ScoredCell& a, const ScoredCell& b) { return a.score > b.score; });
    for (uint64_t k : {1u, 7u, 40u, 1000u}) {
      std::vector<ScoredCell> got = index.search(q, k, std::nullopt);
      std::vector<ScoredCell> expect(want.begin(), want.begin() + std::min<size_t>(k, want.size()));
      EXPECT_EQ(got, expect) << k;
    }
  }
}

// Fewer keys of a width than a panel holds are kept one after another and scored on their own;
// from a whole panel on they are scored a panel at a time. Either way the scores are the in-order
// dot products, ranked as a stable sort ranks them, across the change in both directions
// (inserts one at a time and in batches, and removals back below a panel).
TEST(FlatIndex, FewKeysScoreAsPanelsDo) {
  std::mt19937 rng(3);
  std::uniform_int_distribution<int> small(-2, 2);  // ties
  constexpr size_t DIM = 23;
  FlatIndex index;
  std::vector<std::pair<CellId, std::vector<float>>> model;
  CellId next = 1;
  auto expect_model = [&](const char* when) {
    SCOPED_TRACE(::testing::Message() << when << ", " << model.size() << " keys");
    ASSERT_EQ(index.len(), model.size());
    std::vector<float> q(DIM);
    for (float& x : q) x = float(small(rng));
    const float f = 1.0f / std::sqrt(float(DIM));
    std::vector<ScoredCell> want;
    for (const auto& [id, key] : model) {
      float dot = 0.0f;
      for (size_t i = 0; i < DIM; ++i) dot += q[i] * key[i];
      want.push_back({id, id % 2, f * dot});
    }
    std::stable_sort(want.begin(), want.end(),
                     [](const ScoredCell& a, const ScoredCell& b) { return a.score > b.score; });
    EXPECT_EQ(index.search(q, 1000, std::nullopt), want);
    std::erase_if(want, [](const ScoredCell& c) { return c.owner != 1; });
    if (want.size() > 3) want.resize(3);
    EXPECT_EQ(index.search(q, 3, OwnerId{1}), want);
  };
  auto key = [&] {
    std::vector<float> k(DIM);
    for (float& x : k) x = float(small(rng));
    return k;
  };
  for (size_t target : {1, 7, 15, 16, 17, 40}) {
    while (model.size() < target) {
      model.emplace_back(next, key());
      index.insert(next, next % 2, model.back().second);
      ++next;
    }
    expect_model("inserted");
  }
  for (size_t target : {20, 15, 3, 0}) {
    while (model.size() > target) {
      index.remove(model.front().first);
      model.erase(model.begin());
    }
    expect_model("removed");
  }
  // A batch that crosses from row-major keys into panels, after room made ahead.
  std::vector<SharedKey> keys;
  for (int i = 0; i < 9; ++i) {
    model.emplace_back(next, key());
    index.insert(next, next % 2, model.back().second);
    ++next;
  }
  index.make_room(30, DIM);
  std::vector<StageInsert> items;
  keys.reserve(30);
  for (int i = 0; i < 30; ++i) {
    model.emplace_back(next, key());
    keys.push_back(SharedKey(model.back().second));
    items.push_back({next, next % 2, &keys.back(), &keys.back()});
    ++next;
  }
  index.insert_batch(items);
  expect_model("batch into panels");
}

TEST(FlatIndex, RemoveDropsEveryEntryOfTheCell) {
  FlatIndex index;
  index.insert(1, 0, std::vector<float>{1, 0});
  index.insert(1, 0, std::vector<float>{0, 1});
  index.insert(2, 0, std::vector<float>{1, 1});
  index.remove(9);
  EXPECT_EQ(index.len(), 3u);
  index.remove(1);
  EXPECT_EQ(index.len(), 1u);
  EXPECT_EQ(ids_of(index.search(std::vector<float>{1, 0}, 5, std::nullopt)),
            (std::vector<CellId>{2}));
  index.remove(2);
  EXPECT_TRUE(index.is_empty());
}

// Room made ahead of a batch may be more than the batch fills, and later removals and batches
// follow: searches see exactly what an index grown one insert at a time holds. The keys are
// positive and the queries negative, so a zero row a search wrongly read would rank first.
TEST(FlatIndex, RoomMadeAheadChangesNoSearch) {
  std::mt19937 rng(7);
  constexpr size_t DIM = 16;
  FlatIndex plain, roomy;
  CellId next = 1;
  auto batch = [&](size_t room, size_t inserts) {
    roomy.make_room(room, DIM);
    for (size_t i = 0; i < inserts; ++i) {
      const std::vector<float> key = testing::uniform_values(rng, DIM, 0.1f, 1.0f);
      plain.insert(next, next % 3, key);
      roomy.insert(next, next % 3, key);
      ++next;
    }
  };
  auto same = [&] {
    for (int q = 0; q < 3; ++q) {
      const std::vector<float> query = testing::uniform_values(rng, DIM, -1.0f, -0.1f);
      for (std::optional<OwnerId> owner : {std::optional<OwnerId>(), std::optional<OwnerId>(1)}) {
        const std::vector<ScoredCell> want = plain.search(query, 1000, owner);
        const std::vector<ScoredCell> got = roomy.search(query, 1000, owner);
        ASSERT_EQ(ids_of(got), ids_of(want));
        for (size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i].score, want[i].score);
      }
    }
  };
  batch(1, 1);  // the width's first insert makes its group
  batch(40, 13);
  same();
  batch(5, 0);
  batch(100, 37);
  same();
  for (CellId id = 2; id < next; id += 4) {
    plain.remove(id);
    roomy.remove(id);
  }
  same();
  batch(64, 64);
  batch(3, 3);
  EXPECT_EQ(roomy.len(), plain.len());
  same();
}

// A refresh hands the stage its keys in batches: each batch gives what inserting its items one
// at a time gives, whatever the widths, malformed and encoded keys among them, the room made
// ahead, a partly filled last panel or removals in between.
TEST(FlatIndex, BatchInsertsMatchOneAtATime) {
  std::mt19937 rng(11);
  std::vector<SharedKey> keys, pooled;
  for (int i = 0; i < 300; ++i) {
    std::vector<float> key;
    switch (i % 10) {
      case 3:  // another width
        key = testing::uniform_values(rng, 8, 0.1f, 1.0f);
        break;
      case 5: {  // two rows of 16, pooled to their mean
        key.assign(ENCODING_HEADER_SIZE, 0.0f);
        key[0] = ENCODING_SENTINEL;
        key[ENCODING_DIM_IDX] = 16.0f;
        const std::vector<float> rows = testing::uniform_values(rng, 32, 0.1f, 1.0f);
        key.insert(key.end(), rows.begin(), rows.end());
        break;
      }
      case 7:  // malformed: left out
        key.assign(70, 0.0f);
        key[0] = ENCODING_SENTINEL;
        key[ENCODING_DIM_IDX] = 4.0f;
        break;
      default:
        key = testing::uniform_values(rng, 16, 0.1f, 1.0f);
    }
    std::optional<KeyView> view = classify_key(key);
    pooled.push_back(SharedKey(view ? view->mean_pooled() : std::vector<float>{}));
    keys.push_back(SharedKey(std::move(key)));
  }
  FlatIndex plain, batched;
  plain.reserve(120);
  batched.reserve(120);
  size_t next = 0;
  auto add = [&](size_t n) {
    std::vector<StageInsert> items;
    for (size_t i = 0; i < n && next < keys.size(); ++i, ++next) {
      plain.insert(next, next % 3, *keys[next]);
      items.push_back({next, next % 3, &keys[next], &pooled[next]});
    }
    batched.insert_batch(items);
  };
  auto same = [&] {
    for (size_t width : {16, 8}) {
      const std::vector<float> query = testing::uniform_values(rng, width, -1.0f, -0.1f);
      for (std::optional<OwnerId> owner : {std::optional<OwnerId>(), std::optional<OwnerId>(2)}) {
        const std::vector<ScoredCell> want = plain.search(query, 1000, owner);
        const std::vector<ScoredCell> got = batched.search(query, 1000, owner);
        ASSERT_EQ(ids_of(got), ids_of(want));
        for (size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i].score, want[i].score);
      }
    }
    EXPECT_EQ(batched.len(), plain.len());
  };
  add(1);
  add(70);  // past the reserved room's first panels, ending inside a panel
  same();
  batched.make_room(50, 16);
  add(33);
  same();
  for (CellId id = 1; id < next; id += 5) {
    plain.remove(id);
    batched.remove(id);
  }
  add(0);
  add(96);
  same();
  add(1000);
  same();
}

}  // namespace
}  // namespace quellmar
