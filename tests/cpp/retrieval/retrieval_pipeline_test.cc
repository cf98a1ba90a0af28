#include "quellmar/retrieval/retrieval_pipeline.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace quellmar {
namespace {

// A stage that returns fixed hits and records how it was asked.
class FakeStage : public VectorIndex {
 public:
  explicit FakeStage(std::vector<ScoredCell> hits) : hits_(std::move(hits)) {}

  std::vector<ScoredCell> search(std::span<const float>, uint64_t k,
                                 std::optional<OwnerId>) const override {
    std::vector<ScoredCell> out = hits_;
    if (out.size() > k) out.resize(k);
    return out;
  }
  void insert(CellId, OwnerId, std::span<const float>) override {}
  void remove(CellId) override {}
  uint64_t len() const override { return hits_.size(); }
  bool is_empty() const override { return hits_.empty(); }
  std::vector<ScoredCell> search_excluding(std::span<const float> q, uint64_t k,
                                           std::optional<OwnerId> owner, const CellIdSet* exclude,
                                           const KeyFetcher* fetcher) const override {
    ++calls;
    last_k = k;
    last_exclude_size = exclude ? exclude->size() : 0;
    last_had_exclude = exclude != nullptr;
    last_had_fetcher = fetcher != nullptr;
    last_owner = owner;
    return search(q, k, owner);
  }

  mutable int calls = 0;
  mutable uint64_t last_k = 0;
  mutable size_t last_exclude_size = 0;
  mutable bool last_had_exclude = false;
  mutable bool last_had_fetcher = false;
  mutable std::optional<OwnerId> last_owner;

 private:
  std::vector<ScoredCell> hits_;
};

struct Stages {
  RetrievalPipeline pipeline;
  std::vector<FakeStage*> fakes;
  void add(std::vector<ScoredCell> hits) {
    auto stage = std::make_unique<FakeStage>(std::move(hits));
    fakes.push_back(stage.get());
    pipeline.add_stage(std::move(stage));
  }
};

const std::vector<float> QUERY = {1.0f};

TEST(RetrievalPipeline, NoStagesOrAllEmpty) {
  Stages s;
  EXPECT_TRUE(s.pipeline.search(QUERY, 5, std::nullopt, nullptr).empty());
  s.add({});
  EXPECT_TRUE(s.pipeline.search(QUERY, 5, std::nullopt, nullptr).empty());
  EXPECT_EQ(s.fakes[0]->calls, 0);  // an empty stage is skipped
}

TEST(RetrievalPipeline, FirstOccurrenceWinsAndEqualScoresKeepStageOrder) {
  Stages s;
  s.add({{1, 0, 0.9f}, {2, 0, 0.5f}});
  s.add({{1, 0, 0.95f}, {3, 0, 0.5f}, {4, 0, 0.7f}});
  auto fetch = [](CellId) { return std::optional<std::vector<float>>(); };
  KeyFetcher fetcher(fetch);
  std::vector<ScoredCell> got = s.pipeline.search(QUERY, 4, OwnerId{3}, &fetcher);
  EXPECT_EQ(got, (std::vector<ScoredCell>{{1, 0, 0.9f}, {4, 0, 0.7f}, {2, 0, 0.5f}, {3, 0, 0.5f}}));
  // Each stage is asked for factor * k; the second sees the cells already gathered.
  EXPECT_EQ(s.fakes[0]->last_k, 8u);
  EXPECT_FALSE(s.fakes[0]->last_had_exclude);
  EXPECT_TRUE(s.fakes[1]->last_had_exclude);
  EXPECT_EQ(s.fakes[1]->last_exclude_size, 2u);
  EXPECT_TRUE(s.fakes[1]->last_had_fetcher);
  EXPECT_EQ(s.fakes[1]->last_owner, OwnerId{3});
}

TEST(RetrievalPipeline, StopsOnceKDistinctCellsAreFound) {
  Stages s;
  s.add({{1, 0, 0.1f}, {2, 0, 0.2f}, {3, 0, 0.3f}});
  s.add({{9, 0, 1.0f}});
  std::vector<ScoredCell> got = s.pipeline.search(QUERY, 2, std::nullopt, nullptr);
  EXPECT_EQ(s.fakes[1]->calls, 0);
  // Up to factor * k gathered, sorted, then cut to k.
  EXPECT_EQ(got, (std::vector<ScoredCell>{{3, 0, 0.3f}, {2, 0, 0.2f}}));
}

TEST(RetrievalPipeline, ZeroKAsksTheFirstStageOnly) {
  Stages s;
  s.add({});
  s.add({{1, 0, 0.1f}});
  s.add({{2, 0, 0.1f}});
  EXPECT_TRUE(s.pipeline.search(QUERY, 0, std::nullopt, nullptr).empty());
  EXPECT_EQ(s.fakes[1]->calls, 1);
  EXPECT_EQ(s.fakes[1]->last_k, 0u);
  EXPECT_EQ(s.fakes[2]->calls, 0);
}

TEST(RetrievalPipeline, HugeKSaturatesTheAsk) {
  Stages s;
  s.add({{1, 0, 0.1f}});
  EXPECT_EQ(s.pipeline.search(QUERY, UINT64_MAX, std::nullopt, nullptr).size(), 1u);
  EXPECT_EQ(s.fakes[0]->last_k, UINT64_MAX);
}

}  // namespace
}  // namespace quellmar
