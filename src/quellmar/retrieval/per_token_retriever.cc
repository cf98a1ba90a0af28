#include "quellmar/retrieval/per_token_retriever.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>

#include "quellmar/core/top_n.h"
#include "quellmar/retrieval/key_view.h"
#include "quellmar/retrieval/quantization/int8_token.h"
#include "quellmar/retrieval/simd_distance.h"
#include "quellmar/retrieval/zca_whitening.h"

namespace quellmar {

namespace {

constexpr float NEG_INF = -std::numeric_limits<float>::infinity();

// Reduces one entry's token similarities to its score.
class Aggregator {
 public:
  Aggregator(PerTokenAggregation aggregation, uint64_t top_n)
      : max_(aggregation == PerTokenAggregation::Max), top_(max_ ? 0 : top_n) {}

  void add(float v) {
    if (max_) {
      if (v > best_) best_ = v;  // NaN never wins
    } else {
      top_.add(v);
    }
  }
  // Max: the largest value, NaN ignored. TopNMean: the mean of the top_n largest. Negative
  // infinity for an empty list.
  float result() const { return max_ ? best_ : top_.mean(); }

 private:
  bool max_;
  float best_ = NEG_INF;
  TopNAccumulator top_;
};

// The rows of a query as the searches read it: an encoded key's rows, or the whole key as one
// row. None for a malformed key.
struct QueryRows {
  std::span<const float> data;
  uint64_t n_rows = 0;
  uint64_t width = 0;
  bool encoded = false;

  std::span<const float> row(uint64_t i) const { return data.subspan(i * width, width); }
};

std::optional<QueryRows> read_query(std::span<const float> query) {
  std::optional<KeyView> view = classify_key(query);
  if (!view) return std::nullopt;
  return QueryRows{view->data(), view->n_tokens(), view->dim(), view->is_encoded()};
}

float inv_sqrt(uint64_t n) { return 1.0f / std::sqrt(static_cast<float>(n)); }

uint64_t saturating_mul(uint64_t a, uint64_t b) {
  uint64_t out;
  return __builtin_mul_overflow(a, b, &out) ? UINT64_MAX : out;
}

}  // namespace

PerTokenRetriever::PerTokenRetriever(PerTokenAggregation aggregation, PerTokenConfig config,
                                     uint64_t token_cache_capacity, uint64_t int8_tier_capacity,
                                     bool eager)
    : config_(config),
      aggregation_(aggregation),
      eager_(eager),
      token_cache_(std::max<uint64_t>(token_cache_capacity, 1)),
      int8_tier_(std::max<uint64_t>(int8_tier_capacity, 1)) {}

// ---------------------------------------------------------------------------------------------
// Store

void PerTokenRetriever::insert(CellId id, OwnerId owner, std::span<const float> key) {
  std::optional<KeyView> view = classify_key(key);
  if (!view) return;  // malformed encoded key
  insert_view(id, owner, *view, nullptr);
}

void PerTokenRetriever::insert_shared(CellId id, OwnerId owner, const SharedKey& key,
                                      const SharedKey& pooled) {
  std::optional<KeyView> view = classify_key(*key);
  if (!view) return;  // malformed encoded key
  insert_view(id, owner, *view, pooled);
}

void PerTokenRetriever::insert_batch(std::span<const StageInsert> items) {
  // The entries' slots are cache misses one after another: those of an item some way ahead
  // start loading while this one is inserted.
  constexpr size_t SLOT_PREFETCH_AHEAD = 24;
  for (size_t i = 0; i < items.size(); ++i) {
    if (i + SLOT_PREFETCH_AHEAD < items.size()) {
      pooled_keys_.prefetch(items[i + SLOT_PREFETCH_AHEAD].cell_id);
    }
    insert_item(items[i]);
  }
}

void PerTokenRetriever::insert_view(CellId id, OwnerId owner, const KeyView& key_view,
                                    SharedKey pooled) {
  const KeyView* view = &key_view;
  const uint64_t n = view->n_tokens();
  const uint64_t w = view->dim();
  if (!pooled) pooled = SharedKey(view->mean_pooled());
  if (!dim_) dim_ = w;
  ensure_stats_dim(w);

  const bool tier_rows = !eager_ && view->is_encoded();
  Int8TokenRows quantized;
  if (tier_rows) quantized.reserve(n);
  for (uint64_t r = 0; r < n; ++r) {
    std::span<const float> row = view->row(r);
    add_to_stats(row);
    if (eager_) {
      Int8Token token = quantize_int8_token(row);
      push_token(id, owner, token.codes, token.scale);
    } else if (tier_rows) {
      quantized.push_back(quantize_int8_group(w, row));
    }
  }
  if (tier_rows) {
    auto rows = std::make_shared<const Int8TokenRows>(std::move(quantized));
    if (auto tier = int8_tier_.lock()) (*tier)->put(id, std::move(rows));
  }
  if (!eager_) tiered_token_total_ += n;
  PooledEntry& entry = pooled_keys_[id];
  entry.key = std::move(pooled);
  entry.owner = owner;
  entry.tokens += n;
}

void PerTokenRetriever::reserve(uint64_t inserts) {
  pooled_keys_.reserve(pooled_keys_.size() + inserts);
}

void PerTokenRetriever::make_room(uint64_t inserts, uint64_t width) {
  pooled_keys_.reserve(pooled_keys_.size() + inserts);
  if (stats_.token_sum.size() == width) return;
  stats_.token_sum.reserve(width);
  if (stats_.enabled) {
    if (width != 0 && width > SIZE_MAX / sizeof(float) / width) throw std::bad_alloc();
    stats_.second_moment.reserve(width * width);
    stats_.moment_sum.reserve(width);
  }
}

void PerTokenRetriever::ensure_stats_dim(uint64_t w) {
  if (stats_.token_sum.size() != w) {
    stats_.token_sum.assign(w, 0.0f);
    stats_.token_count = 0;
    if (stats_.enabled) {
      stats_.second_moment.assign(w * w, 0.0f);
      stats_.moment_sum.assign(w, 0.0f);
    } else {
      stats_.second_moment.clear();
      stats_.moment_sum.clear();
    }
    stats_.moment_count = 0;
    stats_.moment_covers_all = stats_.enabled;
    stats_.eager_holds_counted = eager_columns_.empty();
    stats_.whitening_basis.reset();
    stats_.basis_stamp = 0;
  } else if (stats_.enabled && stats_.second_moment.size() != w * w) {
    stats_.second_moment.assign(w * w, 0.0f);
    stats_.moment_sum.assign(w, 0.0f);
    stats_.moment_count = 0;
    stats_.moment_covers_all = stats_.token_count == 0;
  }
}

void PerTokenRetriever::add_to_stats(std::span<const float> row) {
  const uint64_t w = row.size();
  // Element-wise sums: the kernel adds exactly as the plain loop would.
  accumulate_f32(stats_.token_sum.data(), row.data(), w);
  stats_.token_count += 1;
  if (stats_.enabled && w > 0 && stats_.second_moment.size() == w * w) {
    float* m = stats_.second_moment.data();
    accumulate_f32(stats_.moment_sum.data(), row.data(), w);
    stats_.moment_count += 1;
    for (uint64_t i = 0; i < w; ++i) {
      const float ri = row[i];
      float* mrow = m + i * w;
      for (uint64_t j = 0; j < w; ++j) mrow[j] += ri * row[j];
    }
  }
}

void PerTokenRetriever::push_token(CellId id, OwnerId owner, std::span<const int8_t> codes,
                                   float scale) {
  EagerColumns& cols = eager_columns_;
  // The columns hold one width: token t's codes sit at t * row_width. A token of another width
  // (or of none) would shift every later token, so it stays out of the columns.
  if (codes.empty()) return;
  if (cols.row_width == 0) cols.row_width = codes.size();
  if (codes.size() != cols.row_width) return;
  cols.codes.insert(cols.codes.end(), codes.begin(), codes.end());
  cols.scales.push_back(scale);
  cols.ids.push_back(id);
  cols.owners.push_back(owner);
}

void PerTokenRetriever::remove(CellId id) {
  EagerColumns& cols = eager_columns_;
  if (eager_ && cols.row_width != 0) {
    const uint64_t width = cols.row_width;
    uint64_t kept = 0;
    for (uint64_t t = 0; t < cols.size(); ++t) {
      if (cols.ids[t] == id) continue;
      if (kept != t) {
        std::copy_n(cols.codes.begin() + t * width, width, cols.codes.begin() + kept * width);
        cols.scales[kept] = cols.scales[t];
        cols.ids[kept] = cols.ids[t];
        cols.owners[kept] = cols.owners[t];
      }
      ++kept;
    }
    if (kept != cols.size()) stats_.eager_holds_counted = false;
    cols.codes.resize(kept * width);
    cols.scales.resize(kept);
    cols.ids.resize(kept);
    cols.owners.resize(kept);
  }
  if (auto tier = int8_tier_.lock()) (*tier)->remove(id);
  auto it = pooled_keys_.find(id);
  if (it != pooled_keys_.end()) {
    if (!eager_) tiered_token_total_ -= it->second.tokens;
    pooled_keys_.erase(it);
  }
}

uint64_t PerTokenRetriever::token_count() const {
  return eager_ ? eager_columns_.size() : tiered_token_total_;
}

// ---------------------------------------------------------------------------------------------
// Search

std::vector<ScoredCell> PerTokenRetriever::search_excluding(std::span<const float> query,
                                                            uint64_t k,
                                                            std::optional<OwnerId> owner,
                                                            const CellIdSet* exclude,
                                                            const KeyFetcher* fetcher) const {
  if (fetcher == nullptr) return search(query, k, owner);
  return search_with_fetcher(query, k, owner, exclude, *fetcher);
}

std::optional<std::vector<CellId>> PerTokenRetriever::coarse_candidate_list(
    std::span<const float> query, uint64_t k, std::optional<OwnerId> owner) const {
  if (pooled_keys_.size() <= config_.coarse_threshold) return std::nullopt;
  std::optional<KeyView> view = classify_key(query);
  if (!view) return std::nullopt;
  const std::vector<float> pooled = view->mean_pooled();
  if (pooled.empty()) return std::nullopt;
  const uint64_t p = pooled.size();
  const float f = inv_sqrt(p);

  struct Scored {
    CellId id;
    float score;
  };
  std::vector<Scored> scored;
  scored.reserve(pooled_keys_.size());
  for (const auto& [id, entry] : pooled_keys_) {
    if (entry.key->size() != p) continue;
    if (owner && entry.owner != *owner) continue;
    scored.push_back({id, dot_f32_unordered(pooled.data(), entry.key->data(), p) * f});
  }
  const uint64_t wanted =
      std::max(config_.min_candidates, saturating_mul(config_.candidate_multiplier, k));
  const uint64_t keep = std::min(
      {wanted, static_cast<uint64_t>(pooled_keys_.size()), static_cast<uint64_t>(scored.size())});
  // Best score first, ties by id; NaN scores after every number.
  auto before = [](const Scored& a, const Scored& b) {
    const uint32_t ka = score_rank_key(a.score), kb = score_rank_key(b.score);
    return ka != kb ? ka > kb : a.id < b.id;
  };
  std::partial_sort(scored.begin(), scored.begin() + static_cast<std::ptrdiff_t>(keep),
                    scored.end(), before);
  std::vector<CellId> ids(keep);
  for (uint64_t i = 0; i < keep; ++i) ids[i] = scored[i].id;
  return ids;
}

std::optional<CandidateSet> PerTokenRetriever::coarse_candidates(
    std::span<const float> query, uint64_t k, std::optional<OwnerId> owner) const {
  std::optional<std::vector<CellId>> list = coarse_candidate_list(query, k, owner);
  if (!list) return std::nullopt;
  return CandidateSet(list->begin(), list->end());
}

std::vector<ScoredCell> PerTokenRetriever::search(std::span<const float> query, uint64_t k,
                                                  std::optional<OwnerId> owner) const {
  const EagerColumns& cols = eager_columns_;
  if (query.empty() || cols.empty()) return {};
  std::optional<QueryRows> rows = read_query(query);
  if (!rows) return {};

  std::vector<std::vector<int8_t>> q_codes(rows->n_rows);
  std::vector<float> q_scales(rows->n_rows);
  for (uint64_t j = 0; j < rows->n_rows; ++j) {
    Int8Token t = quantize_int8_token(rows->row(j));
    q_codes[j] = std::move(t.codes);
    q_scales[j] = t.scale;
  }
  std::optional<CandidateSet> candidates;
  if (rows->encoded) candidates = coarse_candidates(query, k, owner);
  if (cols.row_width != rows->width) return {};
  const uint64_t width = cols.row_width;
  const float c = dim_ && *dim_ != 0 ? inv_sqrt(*dim_) : 1.0f;

  // One aggregator per id, in the order of the id's first token.
  CellIdMap<size_t> slot_of;
  std::vector<CellId> ids;
  std::vector<OwnerId> owners;
  std::vector<Aggregator> aggregators;
  for (uint64_t t = 0; t < cols.size(); ++t) {
    const CellId id = cols.ids[t];
    if (owner && cols.owners[t] != *owner) continue;
    if (candidates && candidates->count(id) == 0) continue;
    auto [it, fresh] = slot_of.try_emplace(id, aggregators.size());
    if (fresh) {
      ids.push_back(id);
      owners.push_back(cols.owners[t]);
      aggregators.emplace_back(aggregation_, config_.top_n);
    }
    Aggregator& agg = aggregators[it->second];
    const int8_t* codes = cols.codes.data() + t * width;
    for (uint64_t j = 0; j < rows->n_rows; ++j) {
      const int32_t dot = dot_i8(codes, q_codes[j].data(), width);
      agg.add(c * (cols.scales[t] * (q_scales[j] * static_cast<float>(dot))));
    }
  }
  std::vector<ScoredCell> hits(ids.size());
  for (size_t i = 0; i < ids.size(); ++i) hits[i] = {ids[i], owners[i], aggregators[i].result()};
  sort_hits_by_score(hits);
  if (hits.size() > k) hits.resize(k);
  return hits;
}

std::vector<ScoredCell> PerTokenRetriever::search_with_fetcher(std::span<const float> query,
                                                               uint64_t k,
                                                               std::optional<OwnerId> owner,
                                                               const CellIdSet* exclude,
                                                               const KeyFetcher& fetcher) const {
  if (query.empty() || pooled_keys_.empty()) return {};
  std::optional<QueryRows> rows = read_query(query);
  if (!rows) return {};
  if (!dim_ || *dim_ == 0) return {};
  const uint64_t dim = *dim_;
  const float c = inv_sqrt(dim);

  std::vector<CellId> candidates;
  if (std::optional<std::vector<CellId>> coarse = coarse_candidate_list(query, k, owner)) {
    candidates = std::move(*coarse);
  } else {
    candidates.reserve(pooled_keys_.size());
    for (const auto& [id, entry] : pooled_keys_) {
      if (!owner || entry.owner == *owner) candidates.push_back(id);
    }
  }
  if (exclude != nullptr) {
    std::erase_if(candidates, [exclude](CellId id) { return exclude->count(id) != 0; });
  }

  // Similarities over the first min(query width, dim) values. The query rows go into panels once,
  // so each candidate's rows are scored against all of them in one kernel call.
  const uint64_t n_q = rows->n_rows;
  const uint64_t len = std::min(rows->width, dim);
  const size_t n_panels = f32_panel_count(n_q);
  const size_t out_stride = n_panels * F32_PANEL_WIDTH;
  std::vector<float> panels(n_panels * len * F32_PANEL_WIDTH, 0.0f);
  for (uint64_t j = 0; j < n_q; ++j) store_panel_row(panels.data(), len, j, rows->row(j).data());
  std::vector<float> sims;

  std::vector<ScoredCell> hits;
  hits.reserve(candidates.size());
  for (CellId id : candidates) {
    auto entry = pooled_keys_.find(id);
    if (entry == pooled_keys_.end()) continue;
    if (owner && entry->second.owner != *owner) continue;
    SharedTokenMatrix matrix = fetch_tokens(id, fetcher, dim);
    if (!matrix) continue;
    const uint64_t n_r = matrix->size() / dim;
    Aggregator agg(aggregation_, config_.top_n);
    if (n_r > 0) {  // no full stored row: an empty list, negative infinity
      sims.resize(n_r * out_stride);
      dot_f32_panels(matrix->data(), n_r, dim, panels.data(), n_panels, len, sims.data(),
                     out_stride);
      // Every (query row, stored row) pair; the aggregate does not depend on their order.
      for (uint64_t r = 0; r < n_r; ++r) {
        const float* row_sims = sims.data() + r * out_stride;
        for (uint64_t j = 0; j < n_q; ++j) agg.add(c * row_sims[j]);
      }
    }
    hits.push_back({id, entry->second.owner, agg.result()});
  }
  sort_hits_by_score(hits);
  if (hits.size() > k) hits.resize(k);
  return hits;
}

// ---------------------------------------------------------------------------------------------
// Token rows

SharedTokenMatrix PerTokenRetriever::fetch_tokens(CellId id, const KeyFetcher& fetcher,
                                                  uint64_t dim) const {
  if (auto cache = token_cache_.lock()) {
    if (SharedTokenMatrix hit = (*cache)->get(id)) return hit;
  }
  Int8Tier::Value tiered;
  if (auto tier = int8_tier_.lock()) tiered = (*tier)->get(id);
  if (tiered) {
    auto matrix = std::make_shared<TokenMatrix>(tiered->size() * dim);
    bool whole = true;
    for (size_t r = 0; r < tiered->size() && whole; ++r) {
      whole = dequantize_int8_group_into(dim, (*tiered)[r], matrix->data() + r * dim);
    }
    if (whole) {
      SharedTokenMatrix shared = std::move(matrix);
      if (auto cache = token_cache_.lock()) (*cache)->put(id, shared);
      return shared;
    }
  }
  std::optional<std::vector<float>> key = fetcher(id);
  if (!key) return nullptr;
  std::optional<KeyView> view = classify_key(*key);
  if (!view || !view->is_encoded() || view->dim() != dim) return nullptr;
  std::span<const float> data = view->data();
  SharedTokenMatrix shared = std::make_shared<const TokenMatrix>(data.begin(), data.end());
  if (auto cache = token_cache_.lock()) (*cache)->put(id, shared);
  return shared;
}

std::vector<OwnedRow> PerTokenRetriever::token_rows(CellId id, const KeyFetcher* fetcher) const {
  if (fetcher != nullptr && dim_) {
    const uint64_t dim = *dim_;
    SharedTokenMatrix matrix = fetch_tokens(id, *fetcher, dim);
    auto entry = pooled_keys_.find(id);
    if (matrix && dim != 0 && entry != pooled_keys_.end()) {
      const uint64_t n = matrix->size() / dim;
      std::vector<OwnedRow> out(n);
      for (uint64_t r = 0; r < n; ++r) {
        out[r].row.assign(matrix->begin() + r * dim, matrix->begin() + (r + 1) * dim);
        out[r].owner = entry->second.owner;
      }
      return out;
    }
  }
  return eager_rows(id);
}

std::vector<OwnedRow> PerTokenRetriever::eager_rows(CellId id) const {
  const EagerColumns& cols = eager_columns_;
  std::vector<OwnedRow> out;
  const uint64_t width = cols.row_width;
  for (uint64_t t = 0; t < cols.size(); ++t) {
    if (cols.ids[t] != id) continue;
    OwnedRow row{std::vector<float>(width), cols.owners[t]};
    const int8_t* codes = cols.codes.data() + t * width;
    for (uint64_t x = 0; x < width; ++x) row.row[x] = cols.scales[t] * static_cast<float>(codes[x]);
    out.push_back(std::move(row));
  }
  return out;
}

// ---------------------------------------------------------------------------------------------
// Corpus statistics

void PerTokenRetriever::enable_corpus_stats() {
  if (stats_.enabled) return;
  stats_.enabled = true;
  const uint64_t w = stats_.token_sum.size();
  if (w == 0) return;
  stats_.second_moment.assign(w * w, 0.0f);
  stats_.moment_sum.assign(w, 0.0f);
  stats_.moment_count = 0;
  const EagerColumns& cols = eager_columns_;
  stats_.moment_covers_all = stats_.eager_holds_counted && cols.size() == stats_.token_count;
  if (!cols.empty()) {
    const uint64_t width = cols.row_width;
    const uint64_t used = std::min(width, w);
    std::vector<float> v(w, 0.0f);
    float* m = stats_.second_moment.data();
    for (uint64_t t = 0; t < cols.size(); ++t) {
      const int8_t* codes = cols.codes.data() + t * width;
      for (uint64_t j = 0; j < used; ++j) v[j] = cols.scales[t] * static_cast<float>(codes[j]);
      for (uint64_t j = 0; j < used; ++j) stats_.moment_sum[j] += v[j];
      stats_.moment_count += 1;
      for (uint64_t i = 0; i < used; ++i) {
        const float vi = v[i];
        float* mrow = m + i * w;
        for (uint64_t j = 0; j < used; ++j) mrow[j] += vi * v[j];
      }
    }
  }
  stats_.whitening_basis.reset();
  stats_.basis_stamp = 0;
}

std::optional<std::vector<float>> PerTokenRetriever::covariance() {
  const uint64_t w = stats_.token_sum.size();
  if (stats_.token_count < 2 || w == 0) return std::nullopt;
  if (!stats_.enabled) enable_corpus_stats();
  if (stats_.second_moment.size() != w * w || stats_.moment_count < 2) return std::nullopt;
  // Over every counted token when the second moment covers them all (their mean from the exact
  // token_sum); otherwise over the tokens it covers only, so that the mean of tokens it never saw
  // is not mixed in.
  const bool all = stats_.moment_covers_all;
  const float count = static_cast<float>(all ? stats_.token_count : stats_.moment_count);
  const std::vector<float>& sum = all ? stats_.token_sum : stats_.moment_sum;
  std::vector<float> mean(w);
  for (uint64_t i = 0; i < w; ++i) mean[i] = sum[i] / count;
  std::vector<float> cov(w * w);
  for (uint64_t i = 0; i < w; ++i) {
    for (uint64_t j = 0; j < w; ++j) {
      cov[i * w + j] = stats_.second_moment[i * w + j] / count - mean[i] * mean[j];
    }
  }
  return cov;
}

std::shared_ptr<const std::vector<float>> PerTokenRetriever::whitening_basis() {
  if (!stats_.enabled) enable_corpus_stats();
  if (stats_.whitening_basis && stats_.basis_stamp == stats_.token_count) {
    return stats_.whitening_basis;
  }
  std::optional<std::vector<float>> cov = covariance();
  const uint64_t w = stats_.token_sum.size();
  if (!cov || w == 0 || cov->size() != w * w) return nullptr;
  std::optional<std::vector<float>> basis = zca_whitening_matrix(*cov, w);
  if (!basis) return nullptr;
  stats_.whitening_basis = std::make_shared<const std::vector<float>>(std::move(*basis));
  stats_.basis_stamp = stats_.token_count;
  return stats_.whitening_basis;
}

}  // namespace quellmar
