#pragma once

// The SLB: a fixed-capacity in-memory buffer of int8-quantized pooled keys, one per recently
// written cell, answering top-k queries by integer dot product. When full, a new cell takes the
// slot of the least recently stamped one (the cached victim). Never persisted.

#include <cstdint>
#include <optional>
#include <span>
#include <unordered_map>
#include <vector>

#include "quellmar/core/aligned_allocator.h"
#include "quellmar/core/types.h"
#include "quellmar/retrieval/simd_distance.h"
#include "quellmar/retrieval/vector_index.h"

namespace quellmar {

class SLB {
 public:
  // One insert of a batch; the key must stay valid for the call.
  struct Insert {
    CellId cell_id = 0;
    OwnerId owner = 0;
    std::span<const float> key;
  };
  // Codes and scale of one quantized vector.
  struct Quantized {
    std::vector<int8_t> codes;
    float scale = 1.0f;
  };

  SLB(uint64_t capacity, uint64_t dim);

  // Stores a new cell's pooled key, evicting the victim when full, or refreshes the codes and
  // stamp of a cell already held (its first owner stays). The key's length is not checked.
  void insert(CellId cell_id, OwnerId owner, std::span<const float> key);
  // insert with the key's codes worked out ahead by quantize(); `width` is the key's length.
  void insert_quantized(CellId cell_id, OwnerId owner, const Quantized& q, uint64_t width);
  // The same as insert of each item in order, but a key is only quantized when its cell still
  // holds the slot at the end (a long batch evicts most of its own cells again).
  void insert_all(std::span<const Insert> items);
  // Lays out the codes that many more inserts of keys of `width` could need, so that the inserts
  // themselves touch no fresh memory (keys of another width than dim() have none). Nothing a
  // query sees changes.
  void make_room(uint64_t inserts, uint64_t width);
  // At most k hits, best first (equal scores in the order of the slots' code rows: by lower slot
  // first while every key held has the width dim()). A query of another width than dim()
  // returns nothing and changes nothing; otherwise the clock advances and the returned slots are
  // stamped.
  std::vector<ScoredCell> query(std::span<const float> query, uint64_t k);
  // Frees the cell's slot, if it has one.
  void remove(CellId cell_id);

  uint64_t occupancy() const { return occupancy_; }
  uint64_t capacity() const { return capacity_; }
  uint64_t dim() const { return dim_; }
  uint64_t clock() const { return clock_; }
  // The slot list's length (at most capacity()).
  size_t slot_count() const { return slots_.size(); }
  bool contains(CellId cell_id) const { return id_map_.contains(cell_id); }

  // m = max |x| (NaN ignored); scale = m / 127 (1 when m is 0); codes = round-half-away(x / scale)
  // clamped to [-127, 127], NaN giving 0.
  static Quantized quantize(std::span<const float> values);

 private:
  static constexpr uint32_t NO_ROW = UINT32_MAX;
  struct Slot {
    CellId cell_id = 0;
    OwnerId owner = 0;
    uint64_t stamp = 0;
    uint64_t width = 0;  // the stored key's length
    // Where its codes lie, from the first key of width dim() it held on (kept when it is freed
    // or holds a key of another width, for the next key of width dim() it takes).
    uint32_t row = NO_ROW;
    bool occupied = false;
  };

  void recompute_victim();
  // insert without the codes: the slot of the cell (evicting when full), stamped and tracked.
  size_t take_slot(CellId cell_id, OwnerId owner);
  // insert_all into an empty buffer, placing only the items that stay; false (nothing done)
  // when the buffer is not empty or the ids do not ascend.
  bool fill_empty(std::span<const Insert> items);
  // Gives a newly occupied slot its entry in the stamp heap, unless it still has one.
  void track_slot(size_t slot);
  // Gives the slot the next code row, unless it has one: a slot takes one with its first key of
  // width dim_ (the only ones a query can score).
  void give_row(size_t slot);
  // For a key of width dim_, stores its codes and scale in the slot's code row (which it has by
  // then); a key of another width leaves the row unscored.
  void store_codes(size_t slot, const Quantized& q, uint64_t width);
  size_t append_slot();
  // Lays out the codes, scales and flags of `rows` code rows in all.
  void lay_out_rows(size_t rows);
  // Room for the code rows that `keys` more keys of width dim_ could open.
  void make_room_for_codes(uint64_t keys);

  std::optional<size_t> victim_;
  std::vector<Slot> slots_;
  // The codes of the slots that held a key of width dim_, one code row each, so that keys of
  // another width cost no codes: the slot of each row.
  std::vector<uint32_t> slot_of_row_;
  // Per code row, side by side for the scan, with an entry for every row of the panels laid out
  // (padding and room made ahead included): the scale, and whether its slot is occupied and holds
  // a key of width dim_. On cache-line boundaries too, so that the scan's vector loads of them
  // never straddle two lines.
  std::vector<float, AlignedAllocator<float>> scales_;
  std::vector<uint8_t, AlignedAllocator<uint8_t>> scorable_;
  // The code rows, on cache-line boundaries: until they fill a whole panel, one after another
  // (i8_panel_dim(dim) bytes each), so that a few keys cost what they hold; from then on
  // (paneled_) in the int8 panel layout of simd_distance.h.
  std::vector<uint8_t, AlignedAllocator<uint8_t>> codes_;
  bool paneled_ = false;
  std::vector<size_t> free_slots_;
  // Min-heap of (stamp, slot) behind recompute_victim: at most one entry per slot, and every
  // occupied slot has one whose stamp is at most the slot's own (stamps only grow, so a query's
  // stamps need no update here). Entries of freed or re-stamped slots are fixed when they reach
  // the top.
  std::vector<std::pair<uint64_t, uint32_t>> stamp_heap_;
  std::vector<uint8_t> in_heap_;
  std::unordered_map<CellId, size_t> id_map_;
  uint64_t capacity_;
  uint64_t dim_;
  uint64_t clock_ = 0;
  uint64_t occupancy_ = 0;
  // Scratch for queries, kept to avoid an allocation per query.
  std::vector<int8_t> query_codes_;
  std::vector<ScoredIndex> best_;
};

}  // namespace quellmar
