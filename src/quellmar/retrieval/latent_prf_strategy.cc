#include "quellmar/retrieval/latent_prf_strategy.h"

#include <algorithm>
#include <charconv>
#include <string>

#include "quellmar/core/str_cat.h"
#include "quellmar/retrieval/key_view.h"
#include "quellmar/retrieval/per_token_retriever.h"

namespace quellmar {

namespace {

// Shortest text that reads back as the same float, with ".0" on whole numbers.
std::string float_text(float v) {
  char buf[32];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
  (void)ec;
  std::string s(buf, end);
  if (s.find_first_of(".eEn") == std::string::npos) s += ".0";  // "n": inf and nan
  return s;
}

}  // namespace

std::string LatentPrfStrategy::debug_string() const {
  return str_cat("LatentPrfStrategy { alpha: ", float_text(alpha_), ", beta: ", float_text(beta_),
                 ", k_prime: ", k_prime_, " }");
}

std::vector<ScoredCell> LatentPrfStrategy::refine(PerTokenRetriever& retriever,
                                                  std::span<const float> query,
                                                  std::vector<ScoredCell> candidates, uint64_t k,
                                                  std::optional<OwnerId> owner,
                                                  const KeyFetcher* fetcher) const {
  if (k_prime_ == 0 || candidates.empty() || !retriever.dim()) return candidates;
  const uint64_t dim = *retriever.dim();
  std::optional<std::vector<std::vector<float>>> rows = decode_token_rows(query, dim);
  if (!rows) return candidates;

  std::vector<float> centroid(dim, 0.0f);
  uint64_t count = 0;
  const size_t feedback = std::min<uint64_t>(k_prime_, candidates.size());
  for (size_t i = 0; i < feedback; ++i) {
    for (const OwnedRow& r : retriever.token_rows(candidates[i].cell_id, fetcher)) {
      if (r.row.size() != dim) continue;
      for (uint64_t x = 0; x < dim; ++x) centroid[x] += r.row[x];
      ++count;
    }
  }
  if (count == 0) return candidates;
  const float inv = 1.0f / static_cast<float>(count);
  for (float& v : centroid) v *= inv;

  for (std::vector<float>& q : *rows) {
    for (uint64_t x = 0; x < dim; ++x) q[x] = alpha_ * q[x] + beta_ * centroid[x];
  }
  const std::vector<float> expanded = EncodedKey::from_token_slices(*rows);
  std::vector<ScoredCell> results =
      fetcher != nullptr ? retriever.search_with_fetcher(expanded, k, owner, nullptr, *fetcher)
                         : retriever.search(expanded, k, owner);
  if (!results.empty()) return results;
  if (candidates.size() > k) candidates.resize(k);
  return candidates;
}

}  // namespace quellmar
