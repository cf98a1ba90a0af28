#include "quellmar/retrieval/per_token_retriever.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <map>
#include <random>
#include <stdexcept>
#include <vector>

#include "quellmar/retrieval/key_view.h"
#include "quellmar/retrieval/quantization/int8_token.h"
#include "test_util.h"

namespace quellmar {
namespace {

using testing::normal_rows;
using testing::values_of;

using Rows = std::vector<std::vector<float>>;

std::vector<float> encode(const Rows& rows) { return EncodedKey::from_token_slices(rows); }

PerTokenRetriever make_tiered(uint64_t tier_capacity = 64, uint64_t cache_capacity = 16,
                              PerTokenConfig config = {}) {
  return PerTokenRetriever(PerTokenAggregation::TopNMean, config, cache_capacity, tier_capacity,
                           /*eager=*/false);
}
PerTokenRetriever make_eager(PerTokenConfig config = {}) {
  return PerTokenRetriever(PerTokenAggregation::TopNMean, config, 16, 64, /*eager=*/true);
}

// The engine's stored keys, served by id and counted.
struct FakeStore {
  std::map<CellId, std::vector<float>> keys;
  std::map<CellId, int> calls;

  std::optional<std::vector<float>> operator()(CellId id) {
    ++calls[id];
    auto it = keys.find(id);
    if (it == keys.end()) return std::nullopt;
    return it->second;
  }
};

// Poisons a cache's mutex the way a failure inside a cache operation would.
template <typename T>
void poison(PoisonMutex<T>& m) {
  try {
    auto guard = m.lock();
    throw std::runtime_error("failure while holding the cache");
  } catch (const std::runtime_error&) {
  }
  ASSERT_TRUE(m.is_poisoned());
}

// ---------------------------------------------------------------------------------------------
// Store

TEST(PerTokenStoreTest, TieredInsertKeepsCountsPooledKeyAndTierRows) {
  PerTokenRetriever r = make_tiered();
  const Rows rows = {{1, 2, 3, 4}, {3, 2, 1, 0}, {2, 2, 2, 2}};
  r.insert(7, 70, encode(rows));
  EXPECT_EQ(r.dim(), 4u);
  EXPECT_EQ(r.len(), 3u);
  EXPECT_EQ(r.pooled_keys().at(7).tokens, 3u);
  EXPECT_EQ(values_of(*r.pooled_keys().at(7).key), (std::vector<float>{2, 2, 2, 2}));
  EXPECT_EQ(r.pooled_keys().at(7).owner, 70u);
  EXPECT_TRUE(r.eager_columns().empty());
  {
    auto tier = r.int8_tier().lock();
    ASSERT_TRUE(tier.has_value());
    auto held = (*tier)->peek(7);
    ASSERT_NE(held, nullptr);
    EXPECT_EQ(held->size(), 3u);
  }

  // The same id again: counts add up, the pooled key and the tier hold the second key only.
  r.insert(7, 71, encode({{4, 4, 4, 4}}));
  EXPECT_EQ(r.len(), 4u);
  EXPECT_EQ(r.pooled_keys().at(7).tokens, 4u);
  EXPECT_EQ(values_of(*r.pooled_keys().at(7).key), (std::vector<float>{4, 4, 4, 4}));
  EXPECT_EQ(r.pooled_keys().at(7).owner, 71u);
  EXPECT_EQ((*r.int8_tier().lock())->peek(7)->size(), 1u);

  // A plain key counts one token and goes nowhere near the tier.
  r.insert(8, 80, std::vector<float>{1, 1, 1, 1});
  EXPECT_EQ(r.len(), 5u);
  EXPECT_EQ(r.pooled_keys().at(8).tokens, 1u);
  EXPECT_EQ(values_of(*r.pooled_keys().at(8).key), (std::vector<float>{1, 1, 1, 1}));
  EXPECT_FALSE((*r.int8_tier().lock())->contains(8));

  // A malformed encoded key (sentinel, width 0) changes nothing.
  std::vector<float> malformed(68, 0.0f);
  malformed[0] = ENCODING_SENTINEL;
  r.insert(9, 90, malformed);
  EXPECT_EQ(r.len(), 5u);
  EXPECT_EQ(r.pooled_keys().count(9), 0u);
  EXPECT_EQ(r.corpus_stats().token_count, 5u);

  r.remove(7);
  EXPECT_EQ(r.len(), 1u);
  EXPECT_FALSE((*r.int8_tier().lock())->contains(7));
  EXPECT_EQ(r.pooled_keys().count(7), 0u);
  r.remove(12345);  // unknown: nothing happens
  EXPECT_EQ(r.len(), 1u);
  // Removed tokens stay in the statistics.
  EXPECT_EQ(r.corpus_stats().token_count, 5u);
}

TEST(PerTokenStoreTest, WidthChangeRestartsStatisticsButKeepsDim) {
  PerTokenRetriever r = make_eager();
  std::mt19937 rng(1);
  r.insert(1, 0, encode(normal_rows(rng, 2, 8)));
  r.insert(2, 0, encode(normal_rows(rng, 1, 8)));
  r.enable_corpus_stats();
  ASSERT_NE(r.whitening_basis(), nullptr);
  EXPECT_EQ(r.corpus_stats().token_count, 3u);

  const Rows wide = normal_rows(rng, 1, 16);
  r.insert(3, 0, encode(wide));
  EXPECT_EQ(r.dim(), 8u);
  const CorpusStats& s = r.corpus_stats();
  EXPECT_EQ(s.token_sum, wide[0]);
  EXPECT_EQ(s.token_count, 1u);
  EXPECT_EQ(s.whitening_basis, nullptr);
  EXPECT_EQ(s.basis_stamp, 0u);
  ASSERT_EQ(s.second_moment.size(), 256u);
  EXPECT_FLOAT_EQ(s.second_moment[0], wide[0][0] * wide[0][0]);
  EXPECT_FLOAT_EQ(s.second_moment[1 * 16 + 5], wide[0][1] * wide[0][5]);
  // One token of the new width is too few for a covariance.
  EXPECT_FALSE(r.covariance().has_value());
  // The eager columns keep their first width; the 16-wide token stays out of them.
  EXPECT_EQ(r.eager_columns().row_width, 8u);
  EXPECT_EQ(r.len(), 3u);
}

TEST(PerTokenStoreTest, EagerRemoveCompactsColumnsInOrder) {
  PerTokenRetriever r = make_eager();
  r.insert(1, 10, encode({{1, 0}, {2, 0}}));
  r.insert(2, 20, encode({{0, 3}}));
  r.insert(1, 10, encode({{4, 0}}));
  r.insert(3, 30, encode({{0, 5}, {0, 6}}));
  EXPECT_EQ(r.len(), 6u);

  r.remove(1);
  const EagerColumns& cols = r.eager_columns();
  EXPECT_EQ(cols.ids, (std::vector<CellId>{2, 3, 3}));
  EXPECT_EQ(cols.owners, (std::vector<OwnerId>{20, 30, 30}));
  EXPECT_EQ(cols.scales.size(), 3u);
  EXPECT_EQ(cols.codes.size(), 6u);
  EXPECT_EQ(r.len(), 3u);
  std::vector<OwnedRow> rows3 = r.eager_rows(3);
  ASSERT_EQ(rows3.size(), 2u);
  EXPECT_NEAR(rows3[0].row[1], 5.0f, 1e-6);
  EXPECT_NEAR(rows3[1].row[1], 6.0f, 1e-6);
  EXPECT_EQ(rows3[1].owner, 30u);
  EXPECT_TRUE(r.eager_rows(1).empty());
}

TEST(PerTokenStoreTest, EnablingStatisticsBackfillsOnlyEagerTokens) {
  const Rows a = {{1.0f, -2.0f, 0.5f}, {0.25f, 3.0f, -1.0f}};
  PerTokenRetriever eager = make_eager();
  PerTokenRetriever tiered = make_tiered();
  eager.insert(1, 0, encode(a));
  tiered.insert(1, 0, encode(a));
  eager.enable_corpus_stats();
  tiered.enable_corpus_stats();

  std::vector<float> expected(9, 0.0f);
  for (const auto& row : a) {
    Int8Token t = quantize_int8_token(row);
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j)
        expected[i * 3 + j] += (t.scale * t.codes[i]) * (t.scale * t.codes[j]);
  }
  ASSERT_EQ(eager.corpus_stats().second_moment.size(), 9u);
  for (int i = 0; i < 9; ++i) EXPECT_FLOAT_EQ(eager.corpus_stats().second_moment[i], expected[i]);
  EXPECT_EQ(tiered.corpus_stats().second_moment, std::vector<float>(9, 0.0f));

  // Tokens inserted afterwards enter the second moment exactly.
  tiered.insert(2, 0, encode({{1, 2, 3}}));
  EXPECT_EQ(tiered.corpus_stats().second_moment[1 * 3 + 2], 6.0f);
}

// ---------------------------------------------------------------------------------------------
// Search

TEST(PerTokenSearchTest, TieredStoreWithoutFetcherFindsNothing) {
  PerTokenRetriever r = make_tiered();
  r.insert(1, 0, encode({{1, 2, 3, 4}}));
  EXPECT_TRUE(r.search(encode({{1, 2, 3, 4}}), 5, std::nullopt).empty());
  EXPECT_TRUE(
      r.search_excluding(encode({{1, 2, 3, 4}}), 5, std::nullopt, nullptr, nullptr).empty());
  EXPECT_TRUE(r.token_rows(1, nullptr).empty());
}

TEST(PerTokenSearchTest, FetcherPathAggregatesEveryTokenPair) {
  // Width 4 and a group maximum of 127: the int8 tier holds these rows exactly; c = 1/2.
  PerTokenRetriever r = make_tiered();
  r.insert(1, 10, encode({{127, 0, 0, 0}, {0, 127, 0, 0}}));  // two stored tokens
  r.insert(2, 20, encode({{127, 1, 0, 0}, {1, 127, 0, 0}, {0, 0, 127, 0}}));
  FakeStore store;
  KeyFetcher fetch(store);

  const std::vector<float> query = encode({{2, 0, 0, 0}, {0, 4, 0, 0}});
  std::vector<ScoredCell> hits = r.search_with_fetcher(query, 5, std::nullopt, nullptr, fetch);
  ASSERT_EQ(hits.size(), 2u);
  // Entry 1: four similarities 127, 0, 0, 254 -> mean 95.25.
  // Entry 2: six similarities 127, 1, 0, 2, 254, 0 -> top five mean 76.8.
  EXPECT_EQ(hits[0].cell_id, 1u);
  EXPECT_EQ(hits[0].owner, 10u);
  EXPECT_FLOAT_EQ(hits[0].score, (127.0f + 254.0f) / 4.0f);
  EXPECT_EQ(hits[1].cell_id, 2u);
  EXPECT_FLOAT_EQ(hits[1].score, (127.0f + 1.0f + 2.0f + 254.0f + 0.0f) / 5.0f);
  EXPECT_TRUE(store.calls.empty());  // all served by the tier

  // The same through the VectorIndex slot, with an owner filter and with exclusions.
  hits = r.search_excluding(query, 5, OwnerId{20}, nullptr, &fetch);
  ASSERT_EQ(hits.size(), 1u);
  EXPECT_EQ(hits[0].cell_id, 2u);
  CellIdSet all = {1, 2};
  EXPECT_TRUE(r.search_excluding(query, 5, std::nullopt, &all, &fetch).empty());
  EXPECT_TRUE(r.search_with_fetcher(query, 0, std::nullopt, nullptr, fetch).empty());

  PerTokenRetriever max(PerTokenAggregation::Max, {}, 16, 64, false);
  max.insert(1, 10, encode({{127, 0, 0, 0}, {0, 127, 0, 0}}));
  hits = max.search_with_fetcher(query, 5, std::nullopt, nullptr, fetch);
  ASSERT_EQ(hits.size(), 1u);
  EXPECT_FLOAT_EQ(hits[0].score, 254.0f);
}

TEST(PerTokenSearchTest, CoarseStageStartsAboveTheThreshold) {
  struct Case {
    int entries;
    uint64_t k;
    std::optional<size_t> expected;
  };
  const Case cases[] = {{512, 5, std::nullopt}, {513, 5, 320}, {513, 1, 256}, {513, 100, 513}};
  std::mt19937 rng(2);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.entries);
    PerTokenRetriever r = make_tiered(1024);
    for (int i = 0; i < c.entries; ++i) r.insert(i, 0, encode(normal_rows(rng, 2, 4)));
    const std::vector<float> query = encode(normal_rows(rng, 2, 4));
    std::optional<CandidateSet> got = r.coarse_candidates(query, c.k, std::nullopt);
    ASSERT_EQ(got.has_value(), c.expected.has_value());
    if (got) {
      EXPECT_EQ(got->size(), *c.expected);
    }
  }
}

TEST(PerTokenSearchTest, CoarseStageKeepsTheBestPooledKeys) {
  PerTokenConfig config;
  config.coarse_threshold = 2;
  config.min_candidates = 2;
  config.candidate_multiplier = 1;
  PerTokenRetriever r = make_tiered(64, 16, config);
  r.insert(1, 0, encode({{1, 0}, {1, 0}}));
  r.insert(2, 0, encode({{0, 1}}));
  r.insert(3, 0, encode({{1, 1}}));
  r.insert(4, 1, encode({{5, 5}}));
  std::optional<CandidateSet> got = r.coarse_candidates(encode({{1, 0}}), 1, OwnerId{0});
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(*got, (CandidateSet{1, 3}));
  // An entry of another width is not scored; a malformed query means no coarse stage.
  std::vector<float> malformed(10, 0.0f);
  malformed[0] = ENCODING_SENTINEL;
  EXPECT_FALSE(r.coarse_candidates(malformed, 1, std::nullopt).has_value());
  got = r.coarse_candidates(std::vector<float>{1, 0, 0}, 1, std::nullopt);
  ASSERT_TRUE(got.has_value());
  EXPECT_TRUE(got->empty());
}

TEST(PerTokenSearchTest, TierEvictionFallsBackToFetcherThenTokenCache) {
  PerTokenRetriever r = make_tiered(/*tier_capacity=*/2);
  FakeStore store;
  const Rows a = {{0.5f, 0.25f}}, b = {{1, 0}}, c = {{0, 1}};
  for (auto [id, rows] : {std::pair{1, a}, std::pair{2, b}, std::pair{3, c}}) {
    store.keys[id] = encode(rows);
    r.insert(id, 0, store.keys[id]);
  }
  KeyFetcher fetch(store);
  EXPECT_FALSE((*r.int8_tier().lock())->contains(1));

  SharedTokenMatrix m = r.fetch_tokens(1, fetch, 2);
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(*m, a[0]);  // the stored full-precision key
  EXPECT_EQ(store.calls[1], 1);
  SharedTokenMatrix again = r.fetch_tokens(1, fetch, 2);
  EXPECT_EQ(again, m);  // served by the token cache
  EXPECT_EQ(store.calls[1], 1);
  // A fetched key is not put back into the tier.
  EXPECT_FALSE((*r.int8_tier().lock())->contains(1));
  // Tier hit: dequantized once, then cached.
  SharedTokenMatrix from_tier = r.fetch_tokens(3, fetch, 2);
  ASSERT_NE(from_tier, nullptr);
  EXPECT_EQ(store.calls.count(3), 0u);
  EXPECT_TRUE((*r.token_cache().lock())->contains(3));

  // Search still finds the evicted entry through the fetcher.
  std::vector<ScoredCell> hits =
      r.search_with_fetcher(encode({{1, 1}}), 3, std::nullopt, nullptr, fetch);
  EXPECT_EQ(hits.size(), 3u);

  // After removal a fetch may still hit the cache, but search no longer asks for the id.
  r.remove(1);
  EXPECT_NE(r.fetch_tokens(1, fetch, 2), nullptr);
  hits = r.search_with_fetcher(encode({{1, 1}}), 3, std::nullopt, nullptr, fetch);
  ASSERT_EQ(hits.size(), 2u);
  for (const ScoredCell& h : hits) EXPECT_NE(h.cell_id, 1u);
}

TEST(PerTokenSearchTest, UnfetchableCandidatesAreLeftOut) {
  PerTokenRetriever r = make_tiered(/*tier_capacity=*/1);
  FakeStore store;
  r.insert(1, 0, encode({{1, 0}}));  // evicted, and the store has nothing
  r.insert(2, 0, encode({{0, 1}}));  // evicted, and the store has a key of another width
  store.keys[2] = encode({{0, 1, 0}});
  r.insert(3, 0, encode({{1, 1}}));  // in the tier
  KeyFetcher fetch(store);
  EXPECT_EQ(r.fetch_tokens(2, fetch, 2), nullptr);
  std::vector<ScoredCell> hits =
      r.search_with_fetcher(encode({{1, 1}}), 5, std::nullopt, nullptr, fetch);
  ASSERT_EQ(hits.size(), 1u);
  EXPECT_EQ(hits[0].cell_id, 3u);
}

TEST(PerTokenSearchTest, PoisonedCachesAreBypassed) {
  PerTokenRetriever r = make_tiered();
  FakeStore store;
  store.keys[1] = encode({{0.5f, 0.25f}});
  poison(r.int8_tier());
  r.insert(1, 0, store.keys[1]);  // the tier put is skipped, the rest goes on
  EXPECT_EQ(r.len(), 1u);
  KeyFetcher fetch(store);
  std::vector<ScoredCell> hits =
      r.search_with_fetcher(encode({{1, 1}}), 5, std::nullopt, nullptr, fetch);
  ASSERT_EQ(hits.size(), 1u);
  EXPECT_EQ(store.calls[1], 1);
  r.remove(1);  // the tier removal is skipped
  EXPECT_EQ(r.len(), 0u);

  PerTokenRetriever r2 = make_tiered();
  r2.insert(1, 0, store.keys[1]);
  poison(r2.token_cache());
  EXPECT_NE(r2.fetch_tokens(1, fetch, 2), nullptr);  // dequantized from the tier every time
  EXPECT_NE(r2.fetch_tokens(1, fetch, 2), nullptr);
  EXPECT_EQ(store.calls[1], 1);
}

TEST(PerTokenSearchTest, EagerScanScoresIntegerDotsWithoutCoarseStageForPlainQueries) {
  PerTokenConfig config;
  config.coarse_threshold = 4;
  config.min_candidates = 1;
  config.candidate_multiplier = 1;
  PerTokenRetriever r = make_eager(config);
  std::mt19937 rng(5);
  for (int i = 0; i < 20; ++i) r.insert(i, i % 2, encode(normal_rows(rng, 3, 8)));
  const Rows q = normal_rows(rng, 1, 8);
  // A plain query: every entry scored although the store is above the coarse threshold.
  std::vector<ScoredCell> hits = r.search(q[0], 100, std::nullopt);
  EXPECT_EQ(hits.size(), 20u);
  // An encoded query goes through the coarse stage: max(1, 1 * k) entries.
  EXPECT_EQ(r.search(encode(q), 3, std::nullopt).size(), 3u);
  EXPECT_EQ(r.search(q[0], 100, OwnerId{1}).size(), 10u);
  EXPECT_TRUE(r.search(std::vector<float>(4, 1.0f), 5, std::nullopt).empty());  // wrong width
  EXPECT_TRUE(r.search(q[0], 0, std::nullopt).empty());

  // The score of one entry, from the int8 codes.
  PerTokenRetriever one = make_eager();
  const Rows stored = {{1.0f, -0.5f, 0.25f, 2.0f}, {0.0f, 1.0f, 1.0f, -1.0f}};
  one.insert(9, 3, encode(stored));
  const std::vector<float> query = {0.5f, 0.5f, -1.0f, 1.0f};
  Int8Token qt = quantize_int8_token(query);
  std::vector<float> sims;
  for (const auto& row : stored) {
    Int8Token t = quantize_int8_token(row);
    int32_t dot = 0;
    for (int x = 0; x < 4; ++x) dot += t.codes[x] * qt.codes[x];
    sims.push_back(0.5f * (t.scale * (qt.scale * static_cast<float>(dot))));
  }
  hits = one.search(query, 5, std::nullopt);
  ASSERT_EQ(hits.size(), 1u);
  EXPECT_EQ(hits[0].owner, 3u);
  EXPECT_FLOAT_EQ(hits[0].score, (sims[0] + sims[1]) / 2.0f);
}

TEST(PerTokenSearchTest, EagerEngineSearchReadsThroughFetcherAndTokenCache) {
  PerTokenRetriever r = make_eager();
  FakeStore store;
  store.keys[1] = encode({{1, 2}, {3, 4}});
  r.insert(1, 0, store.keys[1]);
  KeyFetcher fetch(store);
  std::vector<ScoredCell> hits =
      r.search_excluding(encode({{1, 0}}), 5, std::nullopt, nullptr, &fetch);
  ASSERT_EQ(hits.size(), 1u);
  EXPECT_FLOAT_EQ(hits[0].score, (1.0f + 3.0f) / 2.0f / std::sqrt(2.0f));
  EXPECT_EQ(store.calls[1], 1);
  r.search_excluding(encode({{1, 0}}), 5, std::nullopt, nullptr, &fetch);
  EXPECT_EQ(store.calls[1], 1);
  // token_rows with a fetcher returns the full-precision rows, without one the eager rows.
  EXPECT_EQ(r.token_rows(1, &fetch)[1].row, (std::vector<float>{3, 4}));
  EXPECT_EQ(r.token_rows(1, nullptr).size(), 2u);
}

}  // namespace
}  // namespace quellmar
