#pragma once

// The interface of the retrieval stages (per-token retriever, flat index, Vamana index), the hit
// record they return, and the callback through which a stage reads a stored key back.

#include <cstdint>
#include <optional>
#include <span>
#include <unordered_set>
#include <vector>

#include "quellmar/core/function_ref.h"
#include "quellmar/core/types.h"
#include "quellmar/retrieval/shared_key.h"

namespace quellmar {

class PerTokenRetriever;

// One retrieval hit. Higher scores are better.
struct ScoredCell {
  CellId cell_id = 0;
  OwnerId owner = 0;
  float score = 0.0f;

  friend bool operator==(const ScoredCell&, const ScoredCell&) = default;
};

// Reads the key stored in a cell's record back from the engine; none when the read fails. Valid
// for the duration of one search call.
using KeyFetcher = FunctionRef<std::optional<std::vector<float>>(CellId)>;

using CellIdSet = std::unordered_set<CellId>;

// One insert of a batch (VectorIndex::insert_batch): a stored key and its pooled form, as
// insert_shared takes them; both null for a cell without a key (inserted as an empty key).
struct StageInsert {
  CellId cell_id = 0;
  OwnerId owner = 0;
  const SharedKey* key = nullptr;
  const SharedKey* pooled = nullptr;
};

// A retrieval stage. Stages are used single-threaded under the engine lock; a search does not
// change what the stage holds (a stage with caches keeps them behind its own locks).
class VectorIndex {
 public:
  virtual ~VectorIndex() = default;

  // At most k hits, best first; `owner`, when given, keeps only that owner's cells.
  virtual std::vector<ScoredCell> search(std::span<const float> query, uint64_t k,
                                         std::optional<OwnerId> owner) const = 0;
  virtual void insert(CellId cell_id, OwnerId owner, std::span<const float> key) = 0;
  // The same, from a stored key (not null) and its pooled form (the mean of an encoded key's rows,
  // the key itself when plain), which a stage that keeps pooled keys may share instead of copying.
  virtual void insert_shared(CellId cell_id, OwnerId owner, const SharedKey& key,
                             const SharedKey& /*pooled*/) {
    insert(cell_id, owner, *key);
  }
  // Every insert in order, as insert_shared (or insert of an empty key) of each one after the
  // other; a stage that can do better with all of them at once does.
  virtual void insert_batch(std::span<const StageInsert> items);
  virtual void remove(CellId cell_id) = 0;
  // A hint that about this many inserts follow (a refresh feeding every stored cell); stages that
  // can make room for them at once do.
  virtual void reserve(uint64_t /*inserts*/) {}
  // Makes room now for that many more inserts of pooled keys of `width` (a batch about to be
  // shown), so that the inserts themselves need not grow anything. Nothing a search sees changes.
  virtual void make_room(uint64_t /*inserts*/, uint64_t /*width*/) {}
  // The number of items held (entries, nodes or tokens, by stage).
  virtual uint64_t len() const = 0;
  virtual bool is_empty() const = 0;
  // The type-identifying downcast: the per-token retriever returns itself, every other stage
  // null.
  virtual PerTokenRetriever* as_per_token() { return nullptr; }
  virtual const PerTokenRetriever* as_per_token() const { return nullptr; }
  // The search the pipeline runs. `exclude` (may be null) names cells already found by an earlier
  // stage, which a stage may skip; `fetcher` (may be null) lets a stage read stored keys.
  virtual std::vector<ScoredCell> search_excluding(std::span<const float> query, uint64_t k,
                                                   std::optional<OwnerId> owner,
                                                   const CellIdSet* exclude,
                                                   const KeyFetcher* fetcher) const = 0;

 protected:
  // One item of insert_batch: insert_shared of its key, or insert of an empty key.
  void insert_item(const StageInsert& in) {
    if (in.key == nullptr) {
      insert(in.cell_id, in.owner, {});
    } else {
      insert_shared(in.cell_id, in.owner, *in.key, *in.pooled);
    }
  }
};

// Stable sort of hits, best first, in the one order of ranked lists (see ranks_before in
// simd_distance.h): higher score first, NaN scores after every number, equal scores keep their
// order.
void sort_hits_by_score(std::vector<ScoredCell>& hits);

}  // namespace quellmar
