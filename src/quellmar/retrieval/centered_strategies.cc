#include "quellmar/retrieval/centered_strategies.h"

#include <algorithm>
#include <cmath>

#include "quellmar/core/top_n.h"
#include "quellmar/retrieval/key_view.h"
#include "quellmar/retrieval/per_token_retriever.h"
#include "quellmar/retrieval/simd_distance.h"

namespace quellmar {

namespace {

// Maps one row of the statistics width into the scoring space (in place).
class RowTransform {
 public:
  // `basis` (w x w, row-major) may be null: centring only.
  RowTransform(std::vector<float> mean, const std::vector<float>* basis)
      : mean_(std::move(mean)), basis_(basis), scratch_(mean_.size()) {}

  void apply(std::vector<float>& row) {
    const size_t w = mean_.size();
    for (size_t x = 0; x < w; ++x) row[x] -= mean_[x];
    if (basis_ == nullptr) return;
    scratch_.swap(row);
    for (size_t i = 0; i < w; ++i) {
      row[i] = dot_f32_unordered(basis_->data() + i * w, scratch_.data(), w);
    }
  }

 private:
  std::vector<float> mean_;
  const std::vector<float>* basis_;
  std::vector<float> scratch_;
};

// The shared body of both strategies once the corpus mean (and, for whitening, the basis) is
// known.
std::vector<ScoredCell> rescore(PerTokenRetriever& retriever, std::span<const float> query,
                                std::vector<ScoredCell> candidates, uint64_t k,
                                const KeyFetcher* fetcher, const std::vector<float>* basis) {
  const CorpusStats& stats = retriever.corpus_stats();
  const uint64_t w = stats.token_sum.size();
  if (stats.token_count == 0 || w == 0) return candidates;
  std::vector<float> mean(w);
  const float inv = 1.0f / static_cast<float>(stats.token_count);
  for (uint64_t x = 0; x < w; ++x) mean[x] = stats.token_sum[x] * inv;
  std::optional<std::vector<std::vector<float>>> rows = decode_token_rows(query, w);
  if (!rows) return candidates;

  RowTransform transform(std::move(mean), basis);
  for (std::vector<float>& q : *rows) transform.apply(q);
  const float c = 1.0f / std::sqrt(static_cast<float>(w));
  const uint64_t top_n = retriever.config().top_n;

  std::vector<float> sims;
  for (ScoredCell& cand : candidates) {
    sims.clear();
    for (OwnedRow& r : retriever.token_rows(cand.cell_id, fetcher)) {
      if (r.row.size() != w) continue;
      transform.apply(r.row);
      for (const std::vector<float>& q : *rows) {
        sims.push_back(c * dot_f32_unordered(r.row.data(), q.data(), w));
      }
    }
    cand.score = top_n_average(sims, top_n);
  }
  sort_hits_by_score(candidates);
  if (candidates.size() > k) candidates.resize(k);
  return candidates;
}

}  // namespace

std::vector<ScoredCell> MeanCenteredStrategy::refine(PerTokenRetriever& retriever,
                                                     std::span<const float> query,
                                                     std::vector<ScoredCell> candidates, uint64_t k,
                                                     std::optional<OwnerId>,
                                                     const KeyFetcher* fetcher) const {
  if (candidates.empty()) return candidates;
  return rescore(retriever, query, std::move(candidates), k, fetcher, nullptr);
}

std::vector<ScoredCell> WhiteningStrategy::refine(PerTokenRetriever& retriever,
                                                  std::span<const float> query,
                                                  std::vector<ScoredCell> candidates, uint64_t k,
                                                  std::optional<OwnerId> owner,
                                                  const KeyFetcher* fetcher) const {
  if (candidates.empty()) return candidates;
  std::shared_ptr<const std::vector<float>> basis = retriever.whitening_basis();
  if (!basis) {
    return MeanCenteredStrategy().refine(retriever, query, std::move(candidates), k, owner,
                                         fetcher);
  }
  return rescore(retriever, query, std::move(candidates), k, fetcher, basis.get());
}

}  // namespace quellmar
