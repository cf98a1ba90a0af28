// Pack-level operations of the engine: listing, deletion, view keys, texts, edges, governance over
// time, owners and scheduled actions.

#include <algorithm>
#include <cmath>
#include <set>

#include "quellmar/core/clock.h"
#include "quellmar/engine/engine.h"
#include "quellmar/engine/refresh_scan.h"
#include "quellmar/retrieval/key_view.h"
#include "quellmar/retrieval/slb.h"

namespace quellmar {

namespace {

// Whole days of an age: truncated toward zero into 0..2^32-1; negative and NaN ages are 0.
uint32_t whole_days(float age) {
  if (!(age > 0.0f)) return 0;
  if (age >= 4294967295.0f) return UINT32_MAX;
  return static_cast<uint32_t>(age);
}

// 0.995^n in f32 by square-and-multiply over the bits of n, lowest bit first.
float decay_power(uint32_t n) {
  float result = 1.0f, base = DAILY_DECAY;
  while (n) {
    if (n & 1) result *= base;
    base *= base;
    n >>= 1;
  }
  return result;
}

}  // namespace

std::vector<PackMetadata> Engine::list_packs_metadata(std::optional<OwnerId> owner) const {
  std::vector<PackMetadata> out;
  for (const auto& [pack, cells] : pack_directory_.packs()) {
    const OwnerId* pack_owner = pack_directory_.owner_of(pack);
    if (!pack_owner || (owner && *pack_owner != *owner) || cells.empty()) continue;
    PackMetadata m{pack, *pack_owner, 0, 0.0f};
    if (auto it = governance_.find(cells.front()); it != governance_.end()) {
      m.tier = it->second.tier;
      m.importance = it->second.importance;
    }
    out.push_back(m);
  }
  std::stable_sort(out.begin(), out.end(), [](const PackMetadata& a, const PackMetadata& b) {
    return a.importance > b.importance;
  });
  return out;
}

Result<uint64_t> Engine::view_count(PackId pack_id) const {
  const std::vector<CellId>* cells = pack_directory_.cells(pack_id);
  if (!cells) return EngineError::pack_not_found(pack_id);
  std::vector<CellRecord> records;
  std::vector<Status> statuses = block_pool_.read_cells(*cells, DecodeParts::SkipValue, records);
  uint64_t heads = 0;
  for (size_t i = 0; i < records.size(); ++i) {
    if (statuses[i].is_ok() && records[i].layer == HEAD_CELL_LAYER) ++heads;
  }
  return heads == 0 ? 0 : heads - 1;
}

Status Engine::delete_pack(PackId pack_id) {
  // Pack id 0 is no pack: the cell API's cells on the head layer are listed under it, but they
  // belong to no pack and are never deleted with one, before a reopen or after it.
  const std::vector<CellId>* listed = pack_id == 0 ? nullptr : pack_directory_.cells(pack_id);
  if (!listed) return EngineError::cell_not_found(pack_id);
  const std::vector<CellId> cells = *listed;
  QM_RETURN_IF_ERROR(deletion_log_.append(pack_id));
  for (CellId cell : cells) {
    for (const auto& stage : pipeline_.stages()) stage->remove(cell);
    slb_->remove(cell);
    governance_.erase(cell);
  }
  pack_directory_.erase(pack_id);
  text_store_.erase(pack_id);
  return Status::ok();
}

Result<uint64_t> Engine::add_view_keys(PackId pack_id,
                                       const std::vector<std::vector<float>>& view_keys) {
  const std::vector<CellId>* cells = pack_directory_.cells(pack_id);
  if (!cells || cells->empty()) return EngineError::pack_not_found(pack_id);
  QM_ASSIGN_OR_RETURN(CellRecord head, block_pool_.read_cell(cells->front()));
  QM_ASSIGN_OR_RETURN(const TakenIds taken, take_ids(0, view_keys.size()));
  CellId next_cell = taken.first_cell;
  const uint64_t now = unix_now_ns();
  for (const std::vector<float>& key : view_keys) {
    CellRecord r;
    r.cell_id = next_cell++;
    r.owner = head.owner;
    r.layer = HEAD_CELL_LAYER;
    r.key = key;
    r.pack_id = pack_id;
    r.view_tag = VIEW_KEY_TAG;
    r.created_at_ns = r.updated_at_ns = now;
    CellInsert in;
    make_room_for_keys(1, pooled_key_len(key), [&] { in = cell_insert(key); });
    QM_RETURN_IF_ERROR(block_pool_.append(r));
    index_cell(r.cell_id, r.owner, in);
    pack_directory_.add_view_cells(pack_id, r.cell_id);
  }
  return view_keys.size();
}

Status Engine::set_pack_texts(const std::vector<std::pair<PackId, std::string>>& entries) {
  for (const auto& [pack, text] : entries) {
    if (!pack_directory_.contains(pack)) return EngineError::cell_not_found(pack);
  }
  return text_store_.append_batch(entries);
}

Status Engine::add_pack_edge(PackId pack_1, PackId pack_2, EdgeType edge_type) {
  const std::vector<CellId>* c1 = pack_directory_.cells(pack_1);
  if (!c1 || c1->empty()) return EngineError::cell_not_found(pack_1);
  const std::vector<CellId>* c2 = pack_directory_.cells(pack_2);
  if (!c2 || c2->empty()) return EngineError::cell_not_found(pack_2);
  const CellId head1 = c1->front(), head2 = c2->front();
  const uint64_t now = unix_now_ns();
  for (const TraceEdge& edge :
       {TraceEdge{head1, head2, now, edge_type}, TraceEdge{head2, head1, now, edge_type}}) {
    QM_RETURN_IF_ERROR(trace_wal_.append(edge));
    trace_graph_.add_edge(edge.from, edge.to, edge.edge_type, edge.created_at);
  }
  return Status::ok();
}

std::vector<PackId> Engine::pack_links_by_type(PackId pack_id, uint8_t filter) const {
  const std::vector<CellId>* cells = pack_directory_.cells(pack_id);
  if (!cells || cells->empty()) return {};
  const CellId head = cells->front();
  std::unordered_set<PackId> linked;
  auto add = [&](CellId cell) {
    const PackId* p = pack_directory_.pack_of(cell);
    if (p && *p != pack_id) linked.insert(*p);
  };
  for (const TraceEdge& e : trace_graph_.outgoing(head, filter)) add(e.to);
  for (const TraceEdge& e : trace_graph_.incoming(head, filter)) add(e.from);
  return std::vector<PackId>(linked.begin(), linked.end());
}

void Engine::advance_days(float days) {
  for (auto& [cell, entry] : governance_) {
    const float old_age = entry.age_days;
    const float new_age = old_age + days;
    entry.age_days = new_age;
    const uint32_t before = whole_days(old_age), after = whole_days(new_age);
    if (after > before) {
      const uint32_t n = std::min<uint32_t>(after - before, 10000);
      entry.importance = std::fmax(entry.importance * decay_power(n), 0.0f);
      entry.tier = tier_update(entry.tier, entry.importance);
    }
  }
}

Result<uint64_t> Engine::evict_draft_packs(float threshold, std::optional<OwnerId> owner) {
  // Only packs whose standing is known: not pack 0 (no pack), nor a pack whose head cell has no
  // governance entry (its record is damaged), which is listed as a Draft of importance 0 but
  // would be deleted unseen.
  std::vector<PackId> victims;
  for (const PackMetadata& m : list_packs_metadata(owner)) {
    if (m.pack_id == 0) continue;
    const std::vector<CellId>* cells = pack_directory_.cells(m.pack_id);
    if (!cells || cells->empty() || !governance_.count(cells->front())) continue;
    if (m.tier == static_cast<uint8_t>(Tier::Draft) && m.importance < threshold) {
      victims.push_back(m.pack_id);
    }
  }
  for (PackId pack : victims) QM_RETURN_IF_ERROR(delete_pack(pack));
  return victims.size();
}

Result<uint64_t> Engine::sweep(const SweepStep& step) {
  if (step.days) advance_days(*step.days);
  Result<uint64_t> evicted = evict_draft_packs(step.eviction_threshold, std::nullopt);
  if (step.fire_scheduled) (void)fire_due_scheduled(wall_unix_time());
  return evicted;
}

std::vector<OwnerId> Engine::list_owners() const {
  std::set<OwnerId> owners;
  for (const auto& [pack, cells] : pack_directory_.packs()) {
    if (cells.empty()) continue;
    auto head = block_pool_.read_cell(cells.front());
    if (head.is_ok()) owners.insert(head->owner);
  }
  return std::vector<OwnerId>(owners.begin(), owners.end());
}

bool Engine::owner_exists(OwnerId owner) const {
  const std::vector<OwnerId> owners = list_owners();
  return std::binary_search(owners.begin(), owners.end(), owner);
}

Result<uint64_t> Engine::delete_owner(OwnerId owner) {
  // Every pack of the owner, which pack 0 (the cell API's cells on the head layer) is not.
  uint64_t deleted = 0;
  for (const PackMetadata& m : list_packs_metadata(owner)) {
    if (m.pack_id == 0) continue;
    QM_RETURN_IF_ERROR(delete_pack(m.pack_id));
    ++deleted;
  }
  return deleted;
}

Result<uint64_t> Engine::fire_due_scheduled(UnixTime now) {
  return schedule_.fire_due(now, [this](OwnerId owner, float threshold) -> Status {
    return evict_draft_packs(threshold, owner).status();
  });
}

}  // namespace quellmar
