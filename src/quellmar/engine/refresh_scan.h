#pragma once

// The one pass over the stored records that a refresh and a graph build read the cells from, the
// rules by which a stored cell is indexed, and what the indexes are handed of a cell. Internal to
// the engine: included by its sources only.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "quellmar/core/internal_fault.h"
#include "quellmar/engine/engine.h"
#include "quellmar/retrieval/shared_key.h"
#include "quellmar/retrieval/slb.h"
#include "quellmar/storage/cell_record.h"
#include "quellmar/storage/location_map.h"

namespace quellmar {

// A cell belongs to a pack (it is grouped into the pack, and deleted with it) when its pack id is
// not 0 or it lies on the head layer. It is eligible (the SLB and the retrieval stages index it)
// when it is a cell-API cell or a pack's head or view-key cell: a pack's layer cells are not.
inline bool belongs_to_pack(const CellFields& c) {
  return c.pack_id != 0 || c.layer == HEAD_CELL_LAYER;
}
inline bool is_eligible(const CellFields& c) {
  return c.pack_id == 0 || c.layer == HEAD_CELL_LAYER;
}

// Which indexes take a stored cell, given the packs of the deletion log: the cells of a deleted
// pack none; the graph every other cell; the SLB and the stages every other eligible cell. Pack
// id 0 names no pack (the cell API's cells on the head layer are grouped under it, but they
// belong to no pack), so an entry 0 in the deletion log, which earlier versions could write,
// deletes nothing.
class CellIndexing {
 public:
  // *deleted must outlive this.
  explicit CellIndexing(const std::unordered_set<PackId>& deleted) : deleted_(&deleted) {}

  bool of_deleted_pack(const CellFields& c) const {
    return c.pack_id != 0 && !deleted_->empty() && deleted_->count(c.pack_id) != 0;
  }
  bool in_graph(const CellFields& c) const { return !of_deleted_pack(c); }
  bool in_stages(const CellFields& c) const { return is_eligible(c) && !of_deleted_pack(c); }

 private:
  const std::unordered_set<PackId>* deleted_;
};

// The stored keys a pass kept, and their pooled forms. Key k is stored[k] (never null); its
// pooled key is pooled[k], or stored[k] itself when that is plain (pooled[k] null then).
struct KeptKeys {
  std::vector<SharedKey> stored;
  std::vector<SharedKey> pooled;

  const SharedKey& pooled_key(uint32_t k) const { return pooled[k] ? pooled[k] : stored[k]; }
};

// What one pass over the stored records keeps of each cell, in ascending cell-id order.
struct Engine::RefreshScan {
  struct Cell : CellFields {
    bool ok = false;
    // The fields are known: the record decoded (ok), or it did not but its fixed part is there
    // (a damaged record, which still names its pack).
    bool named = false;
    uint32_t key = UINT32_MAX;  // index into keys, when the key was kept
  };
  std::vector<Cell> cells;
  // The stored keys kept, decoded into one block (a pack's layer cells share the head's).
  std::shared_ptr<KeyBlock> block = std::make_shared<KeyBlock>();
  KeptKeys keys;
  // The failures of the records that could not be read, by position (rarely any).
  std::unordered_map<size_t, EngineError> errors;
  // Of the records read: the eligible cells, and the pack heads (about the number of packs).
  uint64_t eligible = 0;
  size_t heads = 0;

  // Every record the pass could not read left its failure.
  const EngineError& error_of(size_t i) const {
    auto it = errors.find(i);
    QM_CHECK(it != errors.end());
    return it->second;
  }

  // Whether record i could not be read because its bytes are damaged (not because a call
  // failed).
  bool damaged(size_t i) const {
    const EngineError& e = error_of(i);
    return e.code() == EngineError::Code::Io && e.io_error().is_damage();
  }

  // The failure of the lowest position whose read failed other than by damage; null when there
  // is none.
  const EngineError* first_undamaged_failure() const {
    const EngineError* found = nullptr;
    size_t at = SIZE_MAX;
    for (const auto& [i, e] : errors) {
      if (i < at && !damaged(i)) {
        at = i;
        found = &e;
      }
    }
    return found;
  }

  // The pooled key of the cell; empty when its key was not kept.
  std::span<const float> pooled_key(const Cell& c) const {
    return c.key == UINT32_MAX ? std::span<const float>() : *keys.pooled_key(c.key);
  }
  // The insert of the cell into a retrieval stage.
  StageInsert stage_insert(const Cell& c) const {
    if (c.key == UINT32_MAX) return StageInsert{c.cell_id, c.owner, nullptr, nullptr};
    return StageInsert{c.cell_id, c.owner, &keys.stored[c.key], &keys.pooled_key(c.key)};
  }

  // Takes record i of the pass. Keys are kept for eligible cells, and for every cell with
  // `all_keys` (when the Vamana index may have to be built from them). A pack's cells are stored
  // together, and its layer cells carry a copy of its retrieval key: a key whose encoded bytes
  // are those of the pack's last kept key shares it, undecoded.
  void add(size_t i, const CellFields& r, const uint8_t* raw, bool all_keys);
  // Takes the failure of record i.
  void fail(size_t i, const EngineError& e);
  // Takes what the fixed part of damaged record i says of it.
  void name_damaged(size_t i, const CellFields& fields);
  // Appends a record of the pool's opening scan, in file order; where it lies is kept for
  // matches_locations.
  void add_scanned(const std::string& dir, uint32_t segment, uint64_t offset,
                   std::span<const uint8_t> record);
  // Whether the records appended by add_scanned are exactly those of `locations`, in its order,
  // so that position i here is position i there.
  bool matches_locations(const LocationMap& locations) const;
  // Gives the cells whose records could not be read their ids, from the locations the pass read.
  void name_failed_cells(const LocationMap& locations);

  PackId last_pack = 0;
  uint32_t last_key = UINT32_MAX;
  std::string last_key_bytes;
  std::vector<CellLocation> scanned_at;
  // The path of the segment the records of add_scanned come from.
  std::string path;
  uint32_t path_segment = 0;
};

// Stored cells with their pooled keys, ascending, for the Vamana build; cells of deleted packs
// are left out. Cells that repeat a key share one: cell i's key is keys[cells[i].key].
struct Engine::PooledCells {
  struct Cell {
    CellId id = 0;
    uint32_t key = 0;
  };
  std::vector<Cell> cells;
  KeptKeys keys;

  const SharedKey& pooled_key(const Cell& c) const { return keys.pooled_key(c.key); }
};

// What indexing one eligible cell hands the retrieval stages and the SLB, worked out before its
// record is stored: the stored key, its pooled form (one handle for a plain key) and the pooled
// form's SLB codes.
struct Engine::CellInsert {
  SharedKey key;
  SharedKey pooled;
  SLB::Quantized codes;
};

// Everything a refresh installs, built aside from the engine's state (Engine::refresh_from).
struct Engine::Refreshed {
  explicit Refreshed(BlockPool p) : pool(std::move(p)) {}

  BlockPool pool;
  std::optional<TextStore> texts;
  std::optional<DeletionLog> deletions;
  std::unique_ptr<SLB> slb;
  std::optional<uint64_t> key_dim;
  RetrievalPipeline pipeline;
  size_t graph_threads = 1;  // the graph build's threads, read with the pipeline's settings
  bool vamana_active = false;
  // The governance entries of the cells read for the first time; known cells keep theirs.
  GovernanceMap entries;
  PackDirectory directory;
  std::unordered_set<CellId> packless_cells;
  TraceGraph trace_graph;
  // The next ids, and the ids below which one that nothing vouches for is still taken
  // (Engine::vouch_ids).
  CellId next_cell = 0;
  PackId next_pack = 0;
  CellId cell_reach = 0;
  PackId pack_reach = 0;
};

}  // namespace quellmar
