#pragma once

// Post-retrieval refinement of the candidates of a multi-token cell read: a strategy may re-rank
// or replace them with the help of the per-token retriever. The engine owns one strategy, the
// no-op after open; refinement_strategy_from_mode builds the others by mode name.

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "quellmar/core/types.h"
#include "quellmar/retrieval/vector_index.h"

namespace quellmar {

class PerTokenRetriever;

class RefinementStrategy {
 public:
  virtual ~RefinementStrategy() = default;

  // The strategy as a debug text, e.g. "NoOpStrategy".
  virtual std::string debug_string() const = 0;
  // Takes the candidates over and returns the list that replaces them; never fails. `fetcher`
  // may be null. May fill the retriever's caches and enable its corpus statistics.
  virtual std::vector<ScoredCell> refine(PerTokenRetriever& retriever, std::span<const float> query,
                                         std::vector<ScoredCell> candidates, uint64_t k,
                                         std::optional<OwnerId> owner,
                                         const KeyFetcher* fetcher) const = 0;
  // The canonical mode name: "none", "centered", "whitened" or "prf".
  virtual std::string_view name() const = 0;
  virtual bool is_noop() const { return false; }
};

// Returns the candidates unchanged.
class NoOpStrategy final : public RefinementStrategy {
 public:
  std::string debug_string() const override { return "NoOpStrategy"; }
  std::vector<ScoredCell> refine(PerTokenRetriever& retriever, std::span<const float> query,
                                 std::vector<ScoredCell> candidates, uint64_t k,
                                 std::optional<OwnerId> owner,
                                 const KeyFetcher* fetcher) const override;
  std::string_view name() const override { return "none"; }
  bool is_noop() const override { return true; }
};

inline constexpr float DEFAULT_PRF_ALPHA = 0.7f;
inline constexpr float DEFAULT_PRF_BETA = 0.3f;
inline constexpr uint64_t DEFAULT_PRF_K_PRIME = 3;

// The strategy for a mode name, compared byte for byte: "none"; "centered" or "mean_centered";
// "whitened" or "zca"; "prf" or "latent_prf" (with alpha, beta and k_prime defaulting to 0.7,
// 0.3 and 3; the three are ignored by the other modes). Null for any other name.
std::unique_ptr<RefinementStrategy> refinement_strategy_from_mode(
    std::string_view mode, std::optional<float> alpha = std::nullopt,
    std::optional<float> beta = std::nullopt, std::optional<uint64_t> k_prime = std::nullopt);

}  // namespace quellmar
