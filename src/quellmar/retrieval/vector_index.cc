#include "quellmar/retrieval/vector_index.h"

#include <algorithm>

#include "quellmar/retrieval/simd_distance.h"

namespace quellmar {

void VectorIndex::insert_batch(std::span<const StageInsert> items) {
  for (const StageInsert& in : items) insert_item(in);
}

void sort_hits_by_score(std::vector<ScoredCell>& hits) {
  std::stable_sort(hits.begin(), hits.end(), [](const ScoredCell& a, const ScoredCell& b) {
    return score_rank_key(a.score) > score_rank_key(b.score);
  });
}

}  // namespace quellmar
