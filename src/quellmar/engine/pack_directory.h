#pragma once

#include <cstddef>
#include <span>
#include <unordered_map>
#include <vector>

#include "quellmar/core/node_pool.h"
#include "quellmar/core/types.h"

namespace quellmar {

// In-memory index of packs: pack to its cells (head cell first, ascending), cell back to its
// pack, pack to its owner. Never written to disk; refresh rebuilds it from the cell records.
class PackDirectory {
 public:
  // Registers a whole pack, replacing an earlier registration of the same id. Repeated cell ids
  // are kept once and the list is stored ascending.
  void insert(PackId pack, std::vector<CellId> cells, OwnerId owner);
  // Appends one cell to a pack's list (creating the list), without sorting or de-duplicating.
  void add_view_cells(PackId pack, CellId cell);
  // add_view_cells of each of `cells` in order, with one lookup of the pack.
  void add_view_cells(PackId pack, std::span<const CellId> cells);
  // Room for this many cells in the cell-to-pack map (whose order nothing reads; the pack maps
  // keep the order their inserts give them).
  void reserve_cells(size_t cells) { cell_to_pack_.reserve(cells); }
  // Room for this many packs in the pack maps.
  void reserve_packs(size_t packs) {
    packs_.reserve(packs);
    pack_owner_.reserve(packs);
  }
  // Sorts every list and drops repeated ids (after a run of add_view_cells).
  void normalize();
  // Drops a pack and the back-references of its cells.
  void erase(PackId pack);
  void set_owner(PackId pack, OwnerId owner) { pack_owner_[pack] = owner; }

  const std::vector<CellId>* cells(PackId pack) const;
  const PackId* pack_of(CellId cell) const;
  const OwnerId* owner_of(PackId pack) const;
  bool contains(PackId pack) const { return packs_.count(pack) != 0; }
  size_t pack_count() const { return packs_.size(); }

  const PooledHashMap<PackId, std::vector<CellId>>& packs() const { return packs_; }
  const PooledHashMap<CellId, PackId>& cell_to_pack() const { return cell_to_pack_; }
  const PooledHashMap<PackId, OwnerId>& pack_owner() const { return pack_owner_; }

 private:
  PooledHashMap<PackId, std::vector<CellId>> packs_;
  PooledHashMap<CellId, PackId> cell_to_pack_;
  PooledHashMap<PackId, OwnerId> pack_owner_;
};

}  // namespace quellmar
