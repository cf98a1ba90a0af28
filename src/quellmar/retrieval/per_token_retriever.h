#pragma once

// The multi-vector retrieval stage: keeps every token row of every key it is given and scores a
// query token against token, the best few matches of an entry making its score.
//
// Two modes, fixed at construction. Eager: every token sits in memory in flat int8 columns and the
// search without a fetcher scans them. Tiered (the default): each entry's rows are kept int8
// group-quantized in `int8_tier`, a bounded LRU cache; the fetcher search scores the candidates
// of a coarse stage over mean-pooled keys, taking their rows from `token_cache`, then the tier,
// then the engine's KeyFetcher.
//
// Thread safety: every operation runs under the engine lock. The two caches each sit behind a
// mutex of their own, a PoisonMutex whose value the thread-safety analysis sees guarded by it (at
// most one held at a time, never while the fetcher runs); a cache whose mutex was poisoned is
// bypassed.

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "quellmar/core/cell_id_hash.h"
#include "quellmar/core/flat_id_map.h"
#include "quellmar/core/lru_cache.h"
#include "quellmar/core/poison_mutex.h"
#include "quellmar/core/types.h"
#include "quellmar/retrieval/key_view.h"
#include "quellmar/retrieval/quantization/int8_group.h"
#include "quellmar/retrieval/vector_index.h"

namespace quellmar {

struct PerTokenConfig {
  // With at most this many entries the coarse candidate stage is skipped.
  uint64_t coarse_threshold = 512;
  // Lower bound of the coarse candidate count.
  uint64_t min_candidates = 256;
  // Coarse candidate count = max(min_candidates, candidate_multiplier * k), bounded by the store.
  uint64_t candidate_multiplier = 64;
  // n of the top-n mean aggregation and of the refinement scores; at least 1.
  uint64_t top_n = 5;
};

// The capacities the engine builds the retriever with: the token cache, and the int8 tier
// unless configured otherwise.
inline constexpr uint64_t TOKEN_CACHE_CAPACITY = 512;
inline constexpr uint64_t DEFAULT_INT8_TIER_CAPACITY = 32768;

enum class PerTokenAggregation : uint8_t {
  Max = 0,       // an entry's score is its largest token similarity
  TopNMean = 1,  // the mean of its top_n largest token similarities
};

template <typename V>
using CellIdMap = std::unordered_map<CellId, V, CellIdHash>;
using CandidateSet = std::unordered_set<CellId, CellIdHash>;

// Every eager token in insertion order, column by column.
struct EagerColumns {
  std::vector<int8_t> codes;    // row_width codes per token, concatenated
  std::vector<float> scales;    // one per token
  std::vector<CellId> ids;      // the id each token was inserted under
  std::vector<OwnerId> owners;  // the owner each token was inserted with
  uint64_t row_width = 0;       // 0 until the first token of non-zero width, then fixed

  uint64_t size() const { return ids.size(); }
  bool empty() const { return ids.empty(); }
};

// Running statistics of the inserted tokens, for the centring and whitening refinements.
struct CorpusStats {
  bool enabled = false;              // switched on once by enable_corpus_stats, never off
  std::vector<float> token_sum;      // per-dimension sum; its length is the statistics width
  uint64_t token_count = 0;          // tokens added to token_sum
  std::vector<float> second_moment;  // width x width sum of outer products, row-major (if enabled)
  // The tokens that second_moment covers: their sum and count. In tiered mode, where nothing is
  // backfilled, these are only the tokens inserted since enabling (or the last width change), so
  // the covariance is taken over them rather than mixing in the mean of tokens it never saw.
  std::vector<float> moment_sum;
  uint64_t moment_count = 0;
  // Whether second_moment covers every token counted in token_sum: from a restart while enabled,
  // or from an enabling whose backfill took exactly the counted tokens.
  bool moment_covers_all = false;
  // Until enabling: whether the eager columns hold only counted tokens (none from before the last
  // restart, none removed since), so that a backfill of all of them covers the counted ones.
  bool eager_holds_counted = true;
  std::shared_ptr<const std::vector<float>> whitening_basis;  // cached ZCA matrix, or null
  uint64_t basis_stamp = 0;  // token_count when the cached basis was computed
};

// An entry's rows of `dim` values, concatenated row by row.
using TokenMatrix = std::vector<float>;
using SharedTokenMatrix = std::shared_ptr<const TokenMatrix>;
// An entry's group-quantized rows, in insertion order.
using Int8TokenRows = std::vector<Int8GroupVector>;

using TokenCache = LruCache<CellId, TokenMatrix, CellIdHash>;
using Int8Tier = LruCache<CellId, Int8TokenRows, CellIdHash>;

// A token row handed to refinement, with the owner of its entry.
struct OwnedRow {
  std::vector<float> row;
  OwnerId owner = 0;
};

struct PooledEntry {
  SharedKey key;  // mean-pooled key of the latest insert, never null
  OwnerId owner = 0;
  uint64_t tokens = 0;  // rows inserted under the id, over all its inserts
};

class PerTokenRetriever final : public VectorIndex {
 public:
  // Both capacities are taken as at least 1.
  PerTokenRetriever(PerTokenAggregation aggregation, PerTokenConfig config,
                    uint64_t token_cache_capacity, uint64_t int8_tier_capacity, bool eager);

  PerTokenRetriever(const PerTokenRetriever&) = delete;
  PerTokenRetriever& operator=(const PerTokenRetriever&) = delete;

  // VectorIndex. `search` is the eager scan (empty in tiered mode); `search_excluding` with a
  // fetcher is search_with_fetcher, without one `search` (the exclude set unused).
  std::vector<ScoredCell> search(std::span<const float> query, uint64_t k,
                                 std::optional<OwnerId> owner) const override;
  // Stores the rows of an encoded key (or a plain key as one row); a malformed key is ignored.
  void insert(CellId id, OwnerId owner, std::span<const float> key) override;
  void insert_shared(CellId id, OwnerId owner, const SharedKey& key,
                     const SharedKey& pooled) override;
  // insert_shared of each item in order, the slot of an item some way ahead loading meanwhile.
  void insert_batch(std::span<const StageInsert> items) override;
  // Drops the id's tokens; the corpus statistics keep them. An unknown id is no error.
  void remove(CellId id) override;
  void reserve(uint64_t inserts) override;
  // Room for that many more entries, and for corpus statistics of that width when the keys
  // would change it; the statistics themselves change only as keys are inserted.
  void make_room(uint64_t inserts, uint64_t width) override;
  uint64_t len() const override { return token_count(); }
  bool is_empty() const override { return token_count() == 0; }
  PerTokenRetriever* as_per_token() override { return this; }
  const PerTokenRetriever* as_per_token() const override { return this; }
  std::vector<ScoredCell> search_excluding(std::span<const float> query, uint64_t k,
                                           std::optional<OwnerId> owner, const CellIdSet* exclude,
                                           const KeyFetcher* fetcher) const override;

  // Scores the candidates from their token rows (token_cache, int8_tier, fetcher). `exclude` may
  // be null.
  std::vector<ScoredCell> search_with_fetcher(std::span<const float> query, uint64_t k,
                                              std::optional<OwnerId> owner,
                                              const CellIdSet* exclude,
                                              const KeyFetcher& fetcher) const;
  // The ids of the best entries by pooled key, or none when every entry is a candidate (a store
  // of at most coarse_threshold entries, a malformed query, an empty pooled query).
  std::optional<CandidateSet> coarse_candidates(std::span<const float> query, uint64_t k,
                                                std::optional<OwnerId> owner) const;

  // The entry's rows of `dim` values from token_cache, else int8_tier (then cached), else the
  // fetcher (then cached). Null when none of them has rows of that width.
  SharedTokenMatrix fetch_tokens(CellId id, const KeyFetcher& fetcher, uint64_t dim) const;
  // Rows for refinement: fetched when a fetcher is given and the width is known, else the
  // dequantized eager rows (none in tiered mode).
  std::vector<OwnedRow> token_rows(CellId id, const KeyFetcher* fetcher) const;
  // The dequantized eager rows of one id, each with its owner, in insertion order.
  std::vector<OwnedRow> eager_rows(CellId id) const;

  // Eager: tokens in the columns. Tiered: the sum of the entries' token counts.
  uint64_t token_count() const;

  // Switches on the second moment (once), backfilling it from the eager columns.
  void enable_corpus_stats();
  // Population covariance of the tokens the second moment covers, width x width row-major; none
  // with fewer than 2 tokens (counted or covered), width 0 or no second moment. Enables the
  // statistics.
  std::optional<std::vector<float>> covariance();
  // The ZCA whitening matrix of the covariance, cached until token_count changes; null when it
  // cannot be built. Enables the statistics.
  std::shared_ptr<const std::vector<float>> whitening_basis();

  std::optional<uint64_t> dim() const { return dim_; }
  const PerTokenConfig& config() const { return config_; }
  PerTokenAggregation aggregation() const { return aggregation_; }
  bool eager() const { return eager_; }
  const EagerColumns& eager_columns() const { return eager_columns_; }
  const FlatIdMap<PooledEntry, CellIdHash>& pooled_keys() const { return pooled_keys_; }
  const CorpusStats& corpus_stats() const { return stats_; }
  PoisonMutex<TokenCache>& token_cache() const { return token_cache_; }
  PoisonMutex<Int8Tier>& int8_tier() const { return int8_tier_; }

 private:
  // insert of a classified key; `pooled` is its pooled form, or null to compute it.
  void insert_view(CellId id, OwnerId owner, const KeyView& view, SharedKey pooled);
  // Coarse candidates in rank order (best first), or none as for coarse_candidates.
  std::optional<std::vector<CellId>> coarse_candidate_list(std::span<const float> query, uint64_t k,
                                                           std::optional<OwnerId> owner) const;
  void ensure_stats_dim(uint64_t w);
  void add_to_stats(std::span<const float> row);
  void push_token(CellId id, OwnerId owner, std::span<const int8_t> codes, float scale);

  std::optional<uint64_t> dim_;
  PerTokenConfig config_;
  PerTokenAggregation aggregation_;
  bool eager_;
  EagerColumns eager_columns_;
  uint64_t tiered_token_total_ = 0;  // sum of the entries' tokens
  // One entry per inserted id: its pooled key, owner and token count.
  FlatIdMap<PooledEntry, CellIdHash> pooled_keys_;
  CorpusStats stats_;
  mutable PoisonMutex<TokenCache> token_cache_;
  mutable PoisonMutex<Int8Tier> int8_tier_;
};

}  // namespace quellmar
