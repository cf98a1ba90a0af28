#include "quellmar/retrieval/refinement.h"

#include "quellmar/retrieval/centered_strategies.h"
#include "quellmar/retrieval/latent_prf_strategy.h"

namespace quellmar {

std::vector<ScoredCell> NoOpStrategy::refine(PerTokenRetriever&, std::span<const float>,
                                             std::vector<ScoredCell> candidates, uint64_t,
                                             std::optional<OwnerId>, const KeyFetcher*) const {
  return candidates;
}

std::unique_ptr<RefinementStrategy> refinement_strategy_from_mode(std::string_view mode,
                                                                  std::optional<float> alpha,
                                                                  std::optional<float> beta,
                                                                  std::optional<uint64_t> k_prime) {
  if (mode == "none") return std::make_unique<NoOpStrategy>();
  if (mode == "centered" || mode == "mean_centered")
    return std::make_unique<MeanCenteredStrategy>();
  if (mode == "whitened" || mode == "zca") return std::make_unique<WhiteningStrategy>();
  if (mode == "prf" || mode == "latent_prf") {
    return std::make_unique<LatentPrfStrategy>(alpha.value_or(DEFAULT_PRF_ALPHA),
                                               beta.value_or(DEFAULT_PRF_BETA),
                                               k_prime.value_or(DEFAULT_PRF_K_PRIME));
  }
  return nullptr;
}

}  // namespace quellmar
