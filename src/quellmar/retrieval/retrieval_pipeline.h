#pragma once

// The engine's ordered list of retrieval stages and the fan-out that queries them: each stage is
// asked for over_fetch_factor * k hits, cells already gathered are dropped, and the walk stops
// once k distinct cells are in hand.

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "quellmar/retrieval/vector_index.h"

namespace quellmar {

class RetrievalPipeline {
 public:
  static constexpr uint64_t DEFAULT_OVER_FETCH_FACTOR = 2;

  explicit RetrievalPipeline(uint64_t over_fetch_factor = DEFAULT_OVER_FETCH_FACTOR)
      : over_fetch_factor_(over_fetch_factor) {}

  // At most k hits, best first, each cell once (its first-gathered record wins); equal scores
  // keep the order gathered (stage order, then each stage's order). `fetcher` may be null.
  std::vector<ScoredCell> search(std::span<const float> query, uint64_t k,
                                 std::optional<OwnerId> owner, const KeyFetcher* fetcher) const;

  void add_stage(std::unique_ptr<VectorIndex> stage);
  size_t stage_count() const { return stages_.size(); }
  VectorIndex& stage(size_t i) { return *stages_[i]; }
  const VectorIndex& stage(size_t i) const { return *stages_[i]; }
  std::span<const std::unique_ptr<VectorIndex>> stages() const { return stages_; }
  uint64_t over_fetch_factor() const { return over_fetch_factor_; }

 private:
  std::vector<std::unique_ptr<VectorIndex>> stages_;
  uint64_t over_fetch_factor_;
};

}  // namespace quellmar
