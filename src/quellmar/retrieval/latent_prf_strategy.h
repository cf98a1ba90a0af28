#pragma once

#include <cstdint>

#include "quellmar/retrieval/refinement.h"

namespace quellmar {

// Latent pseudo-relevance feedback: every query token moves towards the centroid of the token
// rows of the first k_prime candidates (q' = alpha q + beta centroid), and the expanded query is
// searched again. Falls back to the candidates when nothing can be expanded or found.
class LatentPrfStrategy final : public RefinementStrategy {
 public:
  LatentPrfStrategy(float alpha, float beta, uint64_t k_prime)
      : alpha_(alpha), beta_(beta), k_prime_(k_prime) {}

  // "LatentPrfStrategy { alpha: 0.7, beta: 0.3, k_prime: 3 }".
  std::string debug_string() const override;
  std::vector<ScoredCell> refine(PerTokenRetriever& retriever, std::span<const float> query,
                                 std::vector<ScoredCell> candidates, uint64_t k,
                                 std::optional<OwnerId> owner,
                                 const KeyFetcher* fetcher) const override;
  std::string_view name() const override { return "prf"; }

  float alpha() const { return alpha_; }
  float beta() const { return beta_; }
  uint64_t k_prime() const { return k_prime_; }

 private:
  float alpha_;
  float beta_;
  uint64_t k_prime_;
};

}  // namespace quellmar
