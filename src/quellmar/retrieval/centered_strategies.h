#pragma once

// Re-scoring of the candidates in a space where the corpus's common direction no longer
// dominates: the corpus mean token is subtracted from every query and candidate token, and the
// whitening strategy also applies the ZCA matrix of the corpus covariance. Candidates without rows
// of the statistics width score negative infinity; at most k come back, re-sorted.

#include "quellmar/retrieval/refinement.h"

namespace quellmar {

class MeanCenteredStrategy final : public RefinementStrategy {
 public:
  std::string debug_string() const override { return "MeanCenteredStrategy"; }
  std::vector<ScoredCell> refine(PerTokenRetriever& retriever, std::span<const float> query,
                                 std::vector<ScoredCell> candidates, uint64_t k,
                                 std::optional<OwnerId> owner,
                                 const KeyFetcher* fetcher) const override;
  std::string_view name() const override { return "centered"; }
};

// Falls back to mean centring when no whitening matrix can be built (fewer than 2 tokens, no
// second moment, a failed decomposition).
class WhiteningStrategy final : public RefinementStrategy {
 public:
  std::string debug_string() const override { return "WhiteningStrategy"; }
  std::vector<ScoredCell> refine(PerTokenRetriever& retriever, std::span<const float> query,
                                 std::vector<ScoredCell> candidates, uint64_t k,
                                 std::optional<OwnerId> owner,
                                 const KeyFetcher* fetcher) const override;
  std::string_view name() const override { return "whitened"; }
};

}  // namespace quellmar
