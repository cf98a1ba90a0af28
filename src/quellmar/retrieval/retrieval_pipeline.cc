#include "quellmar/retrieval/retrieval_pipeline.h"

#include "quellmar/core/internal_fault.h"

namespace quellmar {

void RetrievalPipeline::add_stage(std::unique_ptr<VectorIndex> stage) {
  QM_CHECK(stage != nullptr);
  stages_.push_back(std::move(stage));
}

std::vector<ScoredCell> RetrievalPipeline::search(std::span<const float> query, uint64_t k,
                                                  std::optional<OwnerId> owner,
                                                  const KeyFetcher* fetcher) const {
  // k comes from callers unchecked; the product saturates rather than wrapping to a small ask.
  uint64_t ask = 0;
  if (__builtin_mul_overflow(over_fetch_factor_, k, &ask)) ask = UINT64_MAX;
  CellIdSet seen;
  std::vector<ScoredCell> result;
  for (const auto& stage : stages_) {
    if (stage->is_empty()) continue;
    std::vector<ScoredCell> hits =
        stage->search_excluding(query, ask, owner, seen.empty() ? nullptr : &seen, fetcher);
    for (const ScoredCell& hit : hits) {
      if (seen.insert(hit.cell_id).second) result.push_back(hit);
    }
    if (result.size() >= k) break;
  }
  sort_hits_by_score(result);
  if (result.size() > k) result.resize(k);
  return result;
}

}  // namespace quellmar
