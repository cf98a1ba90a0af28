#pragma once

// The exact brute-force retrieval stage: one pooled key per inserted cell, all of them scored on
// every search.

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "quellmar/core/aligned_allocator.h"
#include "quellmar/retrieval/vector_index.h"

namespace quellmar {

class FlatIndex : public VectorIndex {
 public:
  FlatIndex() = default;

  // Scores = (1 / sqrt(d)) * dot(pooled query, key), the dot summed in f32 in index order, over
  // the entries whose key has the pooled query's width d (and the owner, when filtered). Best
  // first; equal scores in insertion order.
  std::vector<ScoredCell> search(std::span<const float> query, uint64_t k,
                                 std::optional<OwnerId> owner) const override;
  // Appends the pooled key; a malformed key is left out. No duplicate check.
  void insert(CellId cell_id, OwnerId owner, std::span<const float> key) override;
  // The same from the pooled key given, which an encoded key then need not be pooled again for.
  void insert_shared(CellId cell_id, OwnerId owner, const SharedKey& key,
                     const SharedKey& pooled) override;
  // The same for each item in order, from the pooled keys given, laying out each panel once.
  void insert_batch(std::span<const StageInsert> items) override;
  // Drops every entry of the cell, keeping the order of the rest.
  void remove(CellId cell_id) override;
  // Makes room for that many more entries of the width of the next insert; before a batch, for
  // the entries the batch holds of each width.
  void reserve(uint64_t inserts) override { reserve_hint_ = inserts; }
  // Makes room for that many more entries of that width, the group of a new width included, so
  // that the inserts allocate nothing; an existing group grows geometrically.
  void make_room(uint64_t inserts, uint64_t width) override;
  uint64_t len() const override { return len_; }
  bool is_empty() const override { return len_ == 0; }
  // The same as search: the exclude set and the fetcher are not consulted.
  std::vector<ScoredCell> search_excluding(std::span<const float> query, uint64_t k,
                                           std::optional<OwnerId> owner, const CellIdSet* exclude,
                                           const KeyFetcher* fetcher) const override;

 private:
  // The entries of one key width, in insertion order, on cache-line boundaries. Until a group
  // first holds a whole panel of entries (F32_PANEL_WIDTH), its keys lie one after another in
  // `rows`, so that a few keys cost what they hold; from then on they are in `panels`, in the
  // panel layout of simd_distance.h (zero padding after the last entry), where a search scores
  // them a panel at a time.
  struct WidthGroup {
    uint64_t dim = 0;
    size_t count = 0;
    bool paneled = false;
    std::vector<float, AlignedAllocator<float>> rows;
    std::vector<float, AlignedAllocator<float>> panels;
    std::vector<CellId> ids;
    std::vector<OwnerId> owners;
  };

  const WidthGroup* group_for(uint64_t dim) const;
  WidthGroup* group_for(uint64_t dim);
  // The group of that width (made when missing), with room for `inserts` more entries or for
  // what reserve() asked, whichever is more.
  WidthGroup& group_taking(uint64_t dim, size_t inserts);
  // Room in the group for `rows` entries in all, without laying anything out: what it has, or
  // `grow` times that when it has to grow (and at least `rows`).
  static void reserve_rows(WidthGroup& g, size_t rows, size_t grow);
  // Lays out room for `rows` entries in all (its count and the new ones): row-major room, or the
  // panels they need with zero padding, the row-major keys moved into them once the entries fill
  // a whole panel.
  static void lay_out(WidthGroup& g, size_t rows);
  // Writes entry r's key where lay_out made room for it.
  static void store_row(WidthGroup& g, size_t r, const float* key);
  // Back to row-major keys once a group holds fewer than a panel's entries again; stays in
  // panels when that copy cannot be had.
  static void unpanel(WidthGroup& g);

  // Entries of different widths never meet in one search, so each width's entries are kept
  // apart; insertion order holds within a group, which is all a search sees.
  std::vector<WidthGroup> groups_;
  uint64_t len_ = 0;
  uint64_t reserve_hint_ = 0;
};

}  // namespace quellmar
