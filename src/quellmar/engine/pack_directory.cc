#include "quellmar/engine/pack_directory.h"

#include <algorithm>
#include <unordered_set>

namespace quellmar {

void PackDirectory::insert(PackId pack, std::vector<CellId> cells, OwnerId owner) {
  if (auto it = packs_.find(pack); it != packs_.end()) {
    for (CellId c : it->second) cell_to_pack_.erase(c);
    packs_.erase(it);
  }
  // Each id once, ascending.
  std::vector<CellId> kept = std::move(cells);
  if (!std::is_sorted(kept.begin(), kept.end())) std::sort(kept.begin(), kept.end());
  kept.erase(std::unique(kept.begin(), kept.end()), kept.end());
  for (CellId c : kept) cell_to_pack_[c] = pack;
  packs_[pack] = std::move(kept);
  pack_owner_[pack] = owner;
}

void PackDirectory::add_view_cells(PackId pack, CellId cell) {
  packs_[pack].push_back(cell);
  cell_to_pack_[cell] = pack;
}

void PackDirectory::add_view_cells(PackId pack, std::span<const CellId> cells) {
  std::vector<CellId>& list = packs_[pack];
  list.insert(list.end(), cells.begin(), cells.end());
  for (CellId c : cells) cell_to_pack_[c] = pack;
}

void PackDirectory::normalize() {
  for (auto& [pack, cells] : packs_) {
    if (!std::is_sorted(cells.begin(), cells.end())) std::sort(cells.begin(), cells.end());
    cells.erase(std::unique(cells.begin(), cells.end()), cells.end());
  }
}

void PackDirectory::erase(PackId pack) {
  pack_owner_.erase(pack);
  auto it = packs_.find(pack);
  if (it == packs_.end()) return;
  for (CellId c : it->second) cell_to_pack_.erase(c);
  packs_.erase(it);
}

const std::vector<CellId>* PackDirectory::cells(PackId pack) const {
  auto it = packs_.find(pack);
  return it == packs_.end() ? nullptr : &it->second;
}

const PackId* PackDirectory::pack_of(CellId cell) const {
  auto it = cell_to_pack_.find(cell);
  return it == cell_to_pack_.end() ? nullptr : &it->second;
}

const OwnerId* PackDirectory::owner_of(PackId pack) const {
  auto it = pack_owner_.find(pack);
  return it == pack_owner_.end() ? nullptr : &it->second;
}

}  // namespace quellmar
