#include "quellmar/retrieval/refinement.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <map>
#include <random>
#include <vector>

#include "quellmar/retrieval/centered_strategies.h"
#include "quellmar/retrieval/key_view.h"
#include "quellmar/retrieval/latent_prf_strategy.h"
#include "quellmar/retrieval/per_token_retriever.h"
#include "test_util.h"

namespace quellmar {
namespace {

using testing::ids_of;
using testing::normal_rows;

using Rows = std::vector<std::vector<float>>;
constexpr float NEG_INF = -std::numeric_limits<float>::infinity();

std::vector<float> encode(const Rows& rows) { return EncodedKey::from_token_slices(rows); }

struct FakeStore {
  std::map<CellId, std::vector<float>> keys;
  std::optional<std::vector<float>> operator()(CellId id) {
    auto it = keys.find(id);
    if (it == keys.end()) return std::nullopt;
    return it->second;
  }
};

// A tiered retriever over stored keys that the fetcher serves too.
struct Corpus {
  PerTokenRetriever retriever{PerTokenAggregation::TopNMean, PerTokenConfig{}, 512, 1024, false};
  FakeStore store;

  void add(CellId id, OwnerId owner, const Rows& rows) {
    store.keys[id] = encode(rows);
    retriever.insert(id, owner, store.keys[id]);
  }
};

TEST(RefinementFactoryTest, ModeNamesAndAliases) {
  struct Case {
    const char* mode;
    const char* name;  // null: no strategy
    const char* debug;
  };
  const Case cases[] = {
      {"none", "none", "NoOpStrategy"},
      {"centered", "centered", "MeanCenteredStrategy"},
      {"mean_centered", "centered", "MeanCenteredStrategy"},
      {"whitened", "whitened", "WhiteningStrategy"},
      {"zca", "whitened", "WhiteningStrategy"},
      {"prf", "prf", "LatentPrfStrategy { alpha: 0.7, beta: 0.3, k_prime: 3 }"},
      {"latent_prf", "prf", "LatentPrfStrategy { alpha: 0.7, beta: 0.3, k_prime: 3 }"},
      {"ZCA", nullptr, nullptr},
      {" zca", nullptr, nullptr},
      {"None", nullptr, nullptr},
      {"", nullptr, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mode);
    std::unique_ptr<RefinementStrategy> s = refinement_strategy_from_mode(c.mode);
    if (c.name == nullptr) {
      EXPECT_EQ(s, nullptr);
      continue;
    }
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->name(), c.name);
    EXPECT_EQ(s->debug_string(), c.debug);
    EXPECT_EQ(s->is_noop(), std::string(c.name) == "none");
  }
  std::unique_ptr<RefinementStrategy> prf =
      refinement_strategy_from_mode("prf", std::nullopt, 0.5f, std::nullopt);
  EXPECT_EQ(prf->debug_string(), "LatentPrfStrategy { alpha: 0.7, beta: 0.5, k_prime: 3 }");
  prf = refinement_strategy_from_mode("prf", 1.0f, 0.0f, 9);
  EXPECT_EQ(prf->debug_string(), "LatentPrfStrategy { alpha: 1.0, beta: 0.0, k_prime: 9 }");
  // The PRF parameters mean nothing to the other modes.
  EXPECT_EQ(refinement_strategy_from_mode("zca", 1.0f, 2.0f, 3)->debug_string(),
            "WhiteningStrategy");
}

TEST(LatentPrfTest, UnusableInputsReturnTheCandidatesUnchanged) {
  Corpus corpus;
  corpus.add(1, 0, {{1, 0, 0, 0}});
  corpus.add(2, 0, {{0, 1, 0, 0}});
  KeyFetcher fetch(corpus.store);
  const std::vector<ScoredCell> given = {{2, 0, 0.5f}, {1, 0, 0.25f}};
  const std::vector<float> query = encode({{1, 1, 0, 0}});

  EXPECT_EQ(LatentPrfStrategy(0.7f, 0.3f, 0)
                .refine(corpus.retriever, query, given, 1, std::nullopt, &fetch),
            given);
  const LatentPrfStrategy prf(0.7f, 0.3f, 3);
  EXPECT_EQ(
      prf.refine(corpus.retriever, std::vector<float>{1, 1, 0, 0}, given, 1, std::nullopt, &fetch),
      given);  // plain query
  EXPECT_EQ(prf.refine(corpus.retriever, encode({{1, 1}}), given, 1, std::nullopt, &fetch),
            given);  // another width
  EXPECT_TRUE(prf.refine(corpus.retriever, query, {}, 1, std::nullopt, &fetch).empty());
  // No rows for the feedback candidates (a tiered store without a fetcher).
  EXPECT_EQ(prf.refine(corpus.retriever, query, given, 1, std::nullopt, nullptr), given);
  PerTokenRetriever empty(PerTokenAggregation::TopNMean, {}, 4, 4, false);
  EXPECT_EQ(prf.refine(empty, query, given, 1, std::nullopt, &fetch), given);
}

TEST(LatentPrfTest, ExpandsTowardsTheFeedbackCentroidAndSearchesAgain) {
  Corpus corpus;
  std::mt19937 rng(11);
  for (CellId id = 1; id <= 6; ++id) corpus.add(id, id % 2, normal_rows(rng, 2, 4));
  KeyFetcher fetch(corpus.store);
  const Rows q = normal_rows(rng, 2, 4);
  // k_prime 3 with two candidates: the four rows of both form the centroid.
  const std::vector<ScoredCell> given = {{3, 1, 0.0f}, {4, 0, 0.0f}};
  std::vector<float> centroid(4, 0.0f);
  for (CellId id : {3, 4}) {
    for (const OwnedRow& r : corpus.retriever.token_rows(id, &fetch)) {
      for (int x = 0; x < 4; ++x) centroid[x] += r.row[x];
    }
  }
  for (float& v : centroid) v *= 1.0f / 4.0f;
  Rows expanded = q;
  for (auto& row : expanded)
    for (int x = 0; x < 4; ++x) row[x] = 0.6f * row[x] + 0.4f * centroid[x];

  const LatentPrfStrategy prf(0.6f, 0.4f, 3);
  std::vector<ScoredCell> got =
      prf.refine(corpus.retriever, encode(q), given, 4, OwnerId{1}, &fetch);
  std::vector<ScoredCell> want =
      corpus.retriever.search_with_fetcher(encode(expanded), 4, OwnerId{1}, nullptr, fetch);
  ASSERT_EQ(got.size(), 3u);  // owner 1 holds ids 1, 3 and 5
  EXPECT_EQ(got, want);
}

TEST(LatentPrfTest, NothingFoundReturnsTheCandidatesCutToK) {
  PerTokenRetriever eager(PerTokenAggregation::TopNMean, {}, 4, 4, true);
  eager.insert(1, 0, encode({{1, 0}}));
  eager.insert(2, 0, encode({{0, 1}}));
  const std::vector<ScoredCell> given = {{1, 0, 0.9f}, {2, 0, 0.8f}, {3, 0, 0.7f}};
  // The centroid comes from the eager rows; the expanded search for owner 5 finds nothing.
  std::vector<ScoredCell> got = LatentPrfStrategy(0.7f, 0.3f, 3)
                                    .refine(eager, encode({{1, 1}}), given, 2, OwnerId{5}, nullptr);
  EXPECT_EQ(got, (std::vector<ScoredCell>{{1, 0, 0.9f}, {2, 0, 0.8f}}));
}

TEST(CenteredTest, RescoresAroundTheCorpusMeanAndCutsToK) {
  Corpus corpus;
  corpus.add(1, 10, {{3, 1}, {1, 1}});  // together with 2: mean (2, 1)
  corpus.add(2, 20, {{2, 2}, {2, 0}});
  KeyFetcher fetch(corpus.store);
  // Query (3, 1) centres to (1, 0). c = 1/sqrt(2).
  // Entry 1 rows centre to (1, 0), (-1, 0): similarities 1, -1 -> mean 0.
  // Entry 2 rows centre to (0, 1), (0, -1): similarities 0, 0 -> mean 0.
  // Entry 9 has no rows: negative infinity, last.
  const std::vector<ScoredCell> given = {{9, 90, 5.0f}, {2, 20, 1.0f}, {1, 10, 2.0f}};
  std::vector<ScoredCell> got = MeanCenteredStrategy().refine(corpus.retriever, encode({{3, 1}}),
                                                              given, 3, std::nullopt, &fetch);
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(ids_of(got), (std::vector<CellId>{2, 1, 9}));  // equal scores keep the list order
  EXPECT_FLOAT_EQ(got[0].score, 0.0f);
  EXPECT_EQ(got[0].owner, 20u);
  EXPECT_EQ(got[2].score, NEG_INF);

  // Query (4, 1) centres to (2, 0): both entries score 0 again; k = 1 keeps the first.
  got = MeanCenteredStrategy().refine(corpus.retriever, encode({{4, 1}}), given, 1, std::nullopt,
                                      &fetch);
  EXPECT_EQ(ids_of(got), (std::vector<CellId>{2}));
  // Another width, a plain query, no candidates: unchanged.
  EXPECT_EQ(MeanCenteredStrategy().refine(corpus.retriever, encode({{1, 1, 1}}), given, 1,
                                          std::nullopt, &fetch),
            given);
  EXPECT_EQ(MeanCenteredStrategy().refine(corpus.retriever, std::vector<float>{3, 1}, given, 1,
                                          std::nullopt, &fetch),
            given);
  // Mean centring enables no statistics by itself.
  EXPECT_FALSE(corpus.retriever.corpus_stats().enabled);
}

TEST(WhiteningTest, OneTokenFallsBackToMeanCentring) {
  // Eager, so the statistics are backfilled, but one token gives no covariance.
  PerTokenRetriever r(PerTokenAggregation::TopNMean, {}, 16, 16, true);
  r.insert(1, 0, encode({{1, 2, 3}}));
  const std::vector<ScoredCell> given = {{1, 0, 0.0f}, {7, 0, 0.0f}};
  const std::vector<float> query = encode({{0.5f, 0.0f, 1.0f}});
  std::vector<ScoredCell> whitened =
      WhiteningStrategy().refine(r, query, given, 2, std::nullopt, nullptr);
  std::vector<ScoredCell> centered =
      MeanCenteredStrategy().refine(r, query, given, 2, std::nullopt, nullptr);
  EXPECT_EQ(whitened, centered);
  EXPECT_EQ(r.whitening_basis(), nullptr);
}

TEST(WhiteningTest, ScoresInTheWhitenedSpace) {
  Corpus corpus;
  std::mt19937 rng(21);
  // Enabled before the first insert, the second moment holds every token.
  corpus.retriever.enable_corpus_stats();
  // Dimension 0 has a hundred times the spread of dimension 1.
  for (CellId id = 1; id <= 40; ++id) {
    Rows rows = normal_rows(rng, 3, 2);
    for (auto& row : rows) row[0] *= 100.0f;
    corpus.add(id, 0, rows);
  }
  corpus.add(100, 0, {{0, 4}});    // four deviations out along the narrow dimension
  corpus.add(101, 0, {{300, 0}});  // three deviations out along the wide one
  KeyFetcher fetch(corpus.store);
  const std::vector<ScoredCell> given = {{101, 0, 0.0f}, {100, 0, 0.0f}};
  const std::vector<float> query = encode({{300, 3}});
  std::vector<ScoredCell> centered =
      MeanCenteredStrategy().refine(corpus.retriever, query, given, 2, std::nullopt, &fetch);
  EXPECT_EQ(centered[0].cell_id, 101u);
  std::vector<ScoredCell> whitened =
      WhiteningStrategy().refine(corpus.retriever, query, given, 2, std::nullopt, &fetch);
  ASSERT_EQ(whitened.size(), 2u);
  // Raw units favour the wide dimension; whitened, the query (3, 3 deviations) matches 100 better.
  EXPECT_EQ(whitened[0].cell_id, 100u);
  std::shared_ptr<const std::vector<float>> w = corpus.retriever.whitening_basis();
  ASSERT_NE(w, nullptr);
  const CorpusStats& s = corpus.retriever.corpus_stats();
  auto whiten = [&](std::vector<float> x) {
    for (int i = 0; i < 2; ++i) x[i] -= s.token_sum[i] * (1.0f / s.token_count);
    return std::vector<float>{(*w)[0] * x[0] + (*w)[1] * x[1], (*w)[2] * x[0] + (*w)[3] * x[1]};
  };
  auto score = [&](std::vector<float> stored) {
    auto a = whiten(stored), b = whiten({300, 3});
    return (a[0] * b[0] + a[1] * b[1]) / std::sqrt(2.0f);
  };
  EXPECT_NEAR(whitened[0].score, score({0, 4}), 1e-3f * std::fabs(score({0, 4})));
  EXPECT_NEAR(whitened[1].score, score({300, 0}), 1e-3f * std::fabs(score({300, 0})));
}

TEST(WhiteningTest, TieredCovarianceCoversOnlyTokensSeenByTheSecondMoment) {
  Corpus corpus;
  corpus.add(1, 0, {{100, -100}, {300, 50}});  // before enabling: in the mean only
  corpus.retriever.enable_corpus_stats();
  EXPECT_FALSE(corpus.retriever.covariance().has_value());
  corpus.add(2, 0, {{1, 2}, {3, 6}});
  // Population covariance of (1, 2) and (3, 6): [[1, 2], [2, 4]].
  std::optional<std::vector<float>> cov = corpus.retriever.covariance();
  ASSERT_TRUE(cov.has_value());
  EXPECT_EQ(*cov, (std::vector<float>{1, 2, 2, 4}));
}

TEST(WhiteningTest, EagerCovarianceOverEveryCountedTokenWhenTheBackfillTookThemAll) {
  const Rows rows = {{0.3f, 1.0f}, {0.7f, -0.2f}, {0.1f, 0.45f}};
  // The second moment of the dequantized eager tokens, over the token count, less the products
  // of the means.
  auto expected = [](const EagerColumns& cols, std::vector<float> mean, float n) {
    std::vector<float> cov(4);
    for (size_t i = 0; i < 2; ++i) {
      for (size_t j = 0; j < 2; ++j) {
        float m = 0.0f;
        for (size_t t = 0; t < cols.size(); ++t) {
          m += cols.scales[t] * cols.codes[t * 2 + i] * (cols.scales[t] * cols.codes[t * 2 + j]);
        }
        cov[i * 2 + j] = m / n - mean[i] * mean[j];
      }
    }
    return cov;
  };
  {
    // Every counted token was backfilled: the means are those of the exact token sums.
    PerTokenRetriever r{PerTokenAggregation::TopNMean, PerTokenConfig{}, 512, 1024, true};
    r.insert(1, 0, encode(rows));
    std::optional<std::vector<float>> cov = r.covariance();
    ASSERT_TRUE(cov.has_value());
    const std::vector<float>& sum = r.corpus_stats().token_sum;
    EXPECT_EQ(*cov, expected(r.eager_columns(), {sum[0] / 3, sum[1] / 3}, 3));
    EXPECT_NEAR((*cov)[0], 0.06201f, 1e-5f);
  }
  {
    // A removal before enabling leaves tokens counted that the backfill cannot see: the
    // covariance is taken over the backfilled tokens alone, means included.
    PerTokenRetriever r{PerTokenAggregation::TopNMean, PerTokenConfig{}, 512, 1024, true};
    r.insert(1, 0, encode(rows));
    r.insert(2, 0, encode({{50.0f, -40.0f}}));
    r.remove(2);
    std::optional<std::vector<float>> cov = r.covariance();
    ASSERT_TRUE(cov.has_value());
    const CorpusStats& s = r.corpus_stats();
    EXPECT_EQ(s.token_count, 4u);
    EXPECT_EQ(s.moment_count, 3u);
    EXPECT_EQ(*cov, expected(r.eager_columns(), {s.moment_sum[0] / 3, s.moment_sum[1] / 3}, 3));
  }
}

TEST(WhiteningTest, BasisIsComputedOnceUntilTheNextInsert) {
  Corpus corpus;
  std::mt19937 rng(4);
  for (CellId id = 1; id <= 10; ++id) corpus.add(id, 0, normal_rows(rng, 4, 8));
  KeyFetcher fetch(corpus.store);
  const std::vector<ScoredCell> given = {{1, 0, 0.0f}, {2, 0, 0.0f}, {3, 0, 0.0f}};
  const std::vector<float> query = encode(normal_rows(rng, 2, 8));
  const WhiteningStrategy whitening;

  EXPECT_FALSE(corpus.retriever.corpus_stats().enabled);
  // Tiered: the second moment starts at enabling and covers no token yet, so the first
  // refinement centres only.
  std::vector<ScoredCell> first =
      whitening.refine(corpus.retriever, query, given, 3, std::nullopt, &fetch);
  EXPECT_TRUE(corpus.retriever.corpus_stats().enabled);
  EXPECT_EQ(corpus.retriever.corpus_stats().whitening_basis, nullptr);
  EXPECT_EQ(first,
            MeanCenteredStrategy().refine(corpus.retriever, query, given, 3, std::nullopt, &fetch));

  for (CellId id = 11; id <= 20; ++id) corpus.add(id, 0, normal_rows(rng, 4, 8));
  first = whitening.refine(corpus.retriever, query, given, 3, std::nullopt, &fetch);
  const std::shared_ptr<const std::vector<float>> basis =
      corpus.retriever.corpus_stats().whitening_basis;
  ASSERT_NE(basis, nullptr);
  EXPECT_EQ(corpus.retriever.corpus_stats().basis_stamp, 80u);
  // A second refinement with no insert in between reuses the cached basis, and scores the same.
  EXPECT_EQ(whitening.refine(corpus.retriever, query, given, 3, std::nullopt, &fetch), first);
  EXPECT_EQ(corpus.retriever.corpus_stats().whitening_basis, basis);

  corpus.add(21, 0, normal_rows(rng, 1, 8));
  whitening.refine(corpus.retriever, query, given, 3, std::nullopt, &fetch);
  EXPECT_NE(corpus.retriever.corpus_stats().whitening_basis, basis);
  EXPECT_EQ(corpus.retriever.corpus_stats().basis_stamp, 81u);
  EXPECT_EQ(corpus.retriever.whitening_basis(), corpus.retriever.corpus_stats().whitening_basis);
}

}  // namespace
}  // namespace quellmar
