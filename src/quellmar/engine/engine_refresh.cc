// The refresh: the engine's in-memory state rebuilt from the files of its directory, one step at a
// time, and the hooks that build the Vamana index.

#include <algorithm>
#include <optional>

#include "quellmar/core/file_names.h"
#include "quellmar/core/posix_file.h"
#include "quellmar/engine/engine.h"
#include "quellmar/engine/env_settings.h"
#include "quellmar/engine/id_floor.h"
#include "quellmar/engine/refresh_scan.h"
#include "quellmar/index/vamana_index.h"
#include "quellmar/retrieval/key_view.h"
#include "quellmar/retrieval/slb.h"
#include "quellmar/storage/segment_format.h"

namespace quellmar {

namespace {

// Raises an id counter past a stored id. The counter saturates at LAST_ID + 1, where no id is
// left; an id past LAST_ID is never handed out, so it raises nothing.
void raise_past(uint64_t& next, uint64_t id) {
  if (id <= Engine::LAST_ID && next <= id) next = id + 1;
}

// How far past the ids that readable records, the id floor or the handle itself vouch for, an id
// that only a damaged record or a side file (trace.wal, deletion_log.bin, text_store.bin,
// vamana.idx) names is still taken as handed out. Such an id is one of the store's when records
// of it were dropped before the id floor was kept (by earlier versions' compactions), or when
// the damaged record is the newest: never more than a store could ever have handed out beyond
// what is vouched for. Further off it can only be damage, and raising a counter past it could
// give away the id space for good (an id near LAST_ID would refuse every later write).
constexpr uint64_t REACH_OF_UNVOUCHED_IDS = uint64_t{1} << 40;

uint64_t reach_of(uint64_t vouched) {
  return vouched > UINT64_MAX - REACH_OF_UNVOUCHED_IDS ? UINT64_MAX
                                                       : vouched + REACH_OF_UNVOUCHED_IDS;
}

// raise_past for an id that nothing vouches for: only below the reach.
void raise_near(uint64_t& next, uint64_t id, uint64_t reach) {
  if (id < reach) raise_past(next, id);
}

float clamp_importance(float x) {
  if (x < 0.0f) return 0.0f;
  if (x > 100.0f) return 100.0f;
  return x;  // NaN stays NaN
}

// Decodes the key of a checked record into the block; returns its handle.
SharedKey decode_key_into(KeyBlock& block, const uint8_t* record) {
  const uint64_t len = record_key_len(record);
  float* at = block.append(len);
  decode_record_key_to(record, at);
  return block.share(at, len);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// The pass over the stored records

void Engine::RefreshScan::add(size_t i, const CellFields& r, const uint8_t* raw, bool all_keys) {
  Cell& c = cells[i];
  static_cast<CellFields&>(c) = r;  // the id is the one the pool found the record under
  c.ok = true;
  c.named = true;
  eligible += is_eligible(r);
  heads += r.pack_id != 0 && r.layer == HEAD_CELL_LAYER;
  if (!is_eligible(r) && !all_keys) return;
  const std::span<const uint8_t> key_bytes = encoded_key_bytes(raw);
  const std::string_view bytes(reinterpret_cast<const char*>(key_bytes.data()), key_bytes.size());
  if (r.pack_id != 0 && r.pack_id == last_pack && last_key != UINT32_MAX &&
      bytes == last_key_bytes) {
    c.key = last_key;
    return;
  }
  c.key = static_cast<uint32_t>(keys.stored.size());
  const SharedKey& key = keys.stored.emplace_back(decode_key_into(*block, raw));
  // A plain key is its own pooled form.
  keys.pooled.push_back(classify_key_kind(*key) == KeyKind::Plain
                            ? SharedKey()
                            : SharedKey(quellmar::pooled_key(*key)));
  last_pack = r.pack_id;
  last_key = c.key;
  last_key_bytes.assign(bytes);
}

void Engine::RefreshScan::fail(size_t i, const EngineError& e) { errors.insert_or_assign(i, e); }

void Engine::RefreshScan::name_damaged(size_t i, const CellFields& fields) {
  Cell& c = cells[i];
  static_cast<CellFields&>(c) = fields;
  c.named = true;
}

void Engine::RefreshScan::add_scanned(const std::string& dir, uint32_t segment, uint64_t offset,
                                      std::span<const uint8_t> bytes) {
  const size_t i = cells.size();
  cells.emplace_back();
  scanned_at.push_back(CellLocation{offset, segment});
  // Decoded as the refresh's own read would decode it; the count of cells is not known yet, so
  // every key is kept.
  if (segment != path_segment || path.empty()) {
    path = segment_path(dir, segment);
    path_segment = segment;
  }
  CellFields fields;
  Status st = decode_cell_fields(bytes.data(), bytes.size(), fields, path, offset);
  if (st.is_ok()) {
    add(i, fields, bytes.data(), /*all_keys=*/true);
  } else {
    fail(i, st.error());
    if (decode_fixed_fields(bytes.data(), bytes.size(), fields)) name_damaged(i, fields);
  }
}

bool Engine::RefreshScan::matches_locations(const LocationMap& locations) const {
  if (locations.size() != scanned_at.size()) return false;
  size_t i = 0;
  for (const auto& [id, loc] : locations) {
    if (loc.segment != scanned_at[i].segment || loc.offset != scanned_at[i].offset) return false;
    ++i;
  }
  return true;
}

void Engine::RefreshScan::name_failed_cells(const LocationMap& locations) {
  if (errors.empty()) return;
  size_t i = 0;
  for (const auto& [id, loc] : locations) cells[i++].cell_id = id;
}

void Engine::read_records(const BlockPool& pool, RefreshScan& scan, bool all_keys) const {
  // Values are not decoded.
  scan.cells.resize(pool.cell_count());
  pool.read_all(
      DecodeParts::FieldsOnly,
      [&](size_t i, CellRecord& r, std::span<const uint8_t> raw) {
        const CellFields fields{r.cell_id, r.owner, r.pack_id, r.importance, r.layer, r.tier};
        scan.add(i, fields, raw.data(), all_keys);
      },
      [&](size_t i, const EngineError& e) { scan.fail(i, e); });
  scan.name_failed_cells(pool.locations());
  // A damaged record still says which pack it is of when its fixed part is there: read it again
  // for that part alone (there are rarely any).
  for (const auto& [i, e] : scan.errors) {
    if (!scan.damaged(i)) continue;
    const CellLocation& loc = pool.locations().at(scan.cells[i].cell_id);
    const SegmentEntry* segment = nullptr;
    for (const SegmentEntry& entry : pool.segments()) {
      if (entry.id == loc.segment) segment = &entry;
    }
    if (segment == nullptr) continue;
    Result<UniqueFd> fd = open_read(segment->path);
    if (!fd.is_ok()) continue;
    uint8_t fixed[segment_format::FIXED_SIZE];
    Result<size_t> got = pread_some(*fd, fixed, sizeof fixed, loc.offset);
    CellFields fields;
    if (got.is_ok() && decode_fixed_fields(fixed, *got, fields)) scan.name_damaged(i, fields);
  }
}

// ---------------------------------------------------------------------------------------------
// Refresh

Status Engine::refresh() { return refresh_from(nullptr); }

Status Engine::refresh_from(RefreshScan* opened) {
  // At an open the engine is new and is dropped when its refresh fails: its pool and SLB are
  // taken over instead of copied.
  const bool at_open = opened != nullptr;
  Refreshed s(at_open ? std::move(block_pool_) : BlockPool(block_pool_));
  QM_RETURN_IF_ERROR(s.pool.refresh());

  const std::unordered_set<CellId> known = known_cells();
  // The records the pool's opening scan handed over stand in for the pass when they are exactly
  // the stored ones. Keys are kept for eligible cells, and for every cell when the Vamana index
  // may have to be built from them.
  RefreshScan fresh_scan;
  const bool reuse = at_open && opened->matches_locations(s.pool.locations());
  RefreshScan& scan = reuse ? *opened : fresh_scan;
  if (reuse) {
    scan.name_failed_cells(s.pool.locations());
  } else {
    read_records(s.pool, scan, /*all_keys=*/s.pool.cell_count() >= vamana_threshold_);
  }
  // A read that failed other than by damage (the file could not be read, not its bytes) fails
  // the refresh, whether the cell is new or known: what that record holds cannot be told, and
  // going on without it would hide the cell or shrink its pack. A refresh repeated once the
  // cause is gone completes.
  if (const EngineError* e = scan.first_undamaged_failure()) return *e;

  // Texts, deletions and the id floor are read before anything is indexed (the cells of deleted
  // packs are kept out of every index), but their failures come after the trace log's.
  Result<TextStore> texts = TextStore::open(path_);
  Result<DeletionLog> deletions = DeletionLog::open(path_);
  Result<std::optional<IdFloor>> floor = read_id_floor(path_);
  vouch_ids(scan, floor.is_ok() ? *floor : std::nullopt, s);
  QM_ASSIGN_OR_RETURN(const size_t replayed, replay_trace(s));
  if (!texts.is_ok()) return std::move(texts).error();
  if (!deletions.is_ok()) return std::move(deletions).error();
  if (!floor.is_ok()) return std::move(floor).error();
  s.texts.emplace(std::move(texts).value());
  s.deletions.emplace(std::move(deletions).value());

  if (std::optional<uint64_t> width = first_new_key_width(scan, known, s);
      width && *width != slb_->dim()) {
    s.slb = std::make_unique<SLB>(SLB_CAPACITY, *width);
    s.key_dim = *width;
  } else {
    s.slb = at_open ? std::move(slb_) : std::make_unique<SLB>(*slb_);
    s.key_dim = key_dim_;
  }
  std::vector<StageInsert> inserts;
  renew_pipeline(scan, s, inserts);
  index_new_cells(scan, known, s, inserts);
  index_known_cells(scan, known, s, inserts);
  feed_indexes(inserts, s);
  group_packs(scan, s);
  QM_RETURN_IF_ERROR(refresh_vamana(scan, s));

  if (replayed != 0) {
    Status st = trace_wal_.sync();
    if (!st.is_ok()) return EngineError::wal_recovery(st.error().io_error().text);
  }
  install(std::move(s));
  return Status::ok();
}

std::unordered_set<CellId> Engine::known_cells() const {
  std::unordered_set<CellId> known;
  known.reserve(governance_.size());
  for (const auto& [cell, entry] : governance_) known.insert(cell);
  return known;
}

void Engine::vouch_ids(const RefreshScan& scan, const std::optional<IdFloor>& floor,
                       Refreshed& s) const {
  CellId cell = next_cell_id_;
  PackId pack = std::max<PackId>(next_pack_id_, 1);
  // Every stored id stays taken, a deleted pack's and a damaged record's included: two records
  // with one id would each be read as the other's cell.
  PackId highest_pack = 0;  // of those that raise anything
  for (const RefreshScan::Cell& c : scan.cells) {
    if (!c.ok) continue;
    raise_past(cell, c.cell_id);
    if (c.pack_id <= LAST_ID) highest_pack = std::max(highest_pack, c.pack_id);
  }
  raise_past(pack, highest_pack);
  if (floor) {
    cell = std::max(cell, floor->next_cell);
    pack = std::max(pack, floor->next_pack);
  }
  s.cell_reach = reach_of(cell);
  s.pack_reach = reach_of(pack);
  for (const auto& [i, e] : scan.errors) {
    const RefreshScan::Cell& c = scan.cells[i];
    raise_near(cell, c.cell_id, s.cell_reach);
    if (c.named) raise_near(pack, c.pack_id, s.pack_reach);
  }
  s.next_cell = cell;
  s.next_pack = pack;
}

Result<size_t> Engine::replay_trace(Refreshed& s) const {
  QM_ASSIGN_OR_RETURN(std::vector<TraceRecord> replayed, trace_wal_.replay());
  for (const TraceRecord& r : replayed) {
    // An edge leaves a cell that this engine wrote; its id stays taken after compaction drops
    // the cell, so that a new cell never inherits the edges of a deleted one.
    raise_near(s.next_cell, r.from, s.cell_reach);
    if (r.edge_type < EDGE_TYPE_ANY) {
      s.trace_graph.add_edge(r.from, r.to, static_cast<EdgeType>(r.edge_type), r.created_at);
    }
  }
  return replayed.size();
}

std::optional<uint64_t> Engine::first_new_key_width(const RefreshScan& scan,
                                                    const std::unordered_set<CellId>& known,
                                                    const Refreshed& s) const {
  // From the first new cell that the SLB takes (eligible, not of a deleted pack) whose key has a
  // width (not empty, not malformed): the cell that sets key_dim when the cells are indexed.
  const CellIndexing indexing(s.deletions->deleted());
  for (const RefreshScan::Cell& c : scan.cells) {
    if (!c.ok || (!known.empty() && known.count(c.cell_id))) continue;
    if (!indexing.in_stages(c)) continue;
    const uint64_t len = scan.pooled_key(c).size();
    if (len != 0) return len;
  }
  return std::nullopt;
}

void Engine::renew_pipeline(const RefreshScan& scan, Refreshed& s,
                            std::vector<StageInsert>& inserts) const {
  s.pipeline = engine_config_from_env(per_token_config_);
  s.graph_threads = graph_threads_from_env();
  s.vamana_active = false;
  for (const auto& stage : s.pipeline.stages()) stage->reserve(scan.eligible);
  inserts.reserve(scan.eligible);
}

void Engine::index_new_cells(const RefreshScan& scan, const std::unordered_set<CellId>& known,
                             Refreshed& s, std::vector<StageInsert>& inserts) const {
  const CellIndexing indexing(s.deletions->deleted());
  const size_t n = scan.cells.size();
  s.entries.reserve(n - std::min(n, known.size()));
  for (const RefreshScan::Cell& c : scan.cells) {
    // Compaction keeps what no pack lists: the cell API's cells (pack id 0, whatever their
    // layer), and damaged records that name no pack (their fields read as 0).
    if (c.pack_id == 0) s.packless_cells.insert(c.cell_id);
    if (!known.empty() && known.count(c.cell_id)) continue;
    // A damaged record stays where it is, out of every index, and a read of its cell (or of its
    // pack) reports the damage; the rest of the store opens.
    if (!c.ok || indexing.of_deleted_pack(c)) continue;
    if (indexing.in_stages(c)) {
      if (!s.key_dim && !scan.pooled_key(c).empty()) s.key_dim = scan.pooled_key(c).size();
      inserts.push_back(scan.stage_insert(c));
    }
    s.entries[c.cell_id] = GovernanceEntry{clamp_importance(c.importance), 0.0f, c.tier};
  }
}

void Engine::index_known_cells(const RefreshScan& scan, const std::unordered_set<CellId>& known,
                               const Refreshed& s, std::vector<StageInsert>& inserts) const {
  // They keep their entries; they are fed to the fresh stages again.
  if (known.empty()) return;
  const CellIndexing indexing(s.deletions->deleted());
  for (const RefreshScan::Cell& c : scan.cells) {
    if (known.count(c.cell_id) && c.ok && indexing.in_stages(c)) {
      inserts.push_back(scan.stage_insert(c));
    }
  }
}

void Engine::feed_indexes(const std::vector<StageInsert>& inserts, Refreshed& s) {
  // Each stage takes every insert in that order, as one insert after the other would give them.
  for (const auto& stage : s.pipeline.stages()) stage->insert_batch(inserts);
  std::vector<SLB::Insert> slb_inserts;
  slb_inserts.reserve(inserts.size());
  for (const StageInsert& in : inserts) {
    slb_inserts.push_back(
        {in.cell_id, in.owner, in.pooled ? **in.pooled : std::span<const float>()});
  }
  s.slb->insert_all(slb_inserts);
}

void Engine::group_packs(const RefreshScan& scan, Refreshed& s) const {
  // One run of consecutive cells of a pack at a time. A damaged record that names its pack is
  // listed in it, so that every read of the pack reports the damage instead of returning less
  // of it. The owner of a pack is that of its last readable cell (a damaged record's owner only
  // when none reads).
  auto grouped = [](const RefreshScan::Cell& c) { return c.named && belongs_to_pack(c); };
  const size_t n = scan.cells.size();
  PackDirectory& fresh = s.directory;
  fresh.reserve_cells(n);
  fresh.reserve_packs(scan.heads);
  std::vector<CellId> run;
  size_t runs = 0;
  for (size_t i = 0; i < n;) {
    const RefreshScan::Cell& c = scan.cells[i];
    if (!grouped(c)) {
      ++i;
      continue;
    }
    run.clear();
    OwnerId owner = c.owner;
    bool owner_read = c.ok;
    size_t j = i;
    for (; j < n; ++j) {
      const RefreshScan::Cell& d = scan.cells[j];
      if (!grouped(d) || d.pack_id != c.pack_id) break;
      run.push_back(d.cell_id);
      if (d.ok || !owner_read) owner = d.owner;
      owner_read = owner_read || d.ok;
    }
    fresh.add_view_cells(c.pack_id, run);
    fresh.set_owner(c.pack_id, owner);
    ++runs;
    i = j;
  }
  // Cells come in ascending id order, so a pack made of one run is sorted and free of repeats.
  if (runs != fresh.pack_count()) fresh.normalize();
  // The deleted packs leave the directory and the texts. Pack id 0 is no pack: an entry of it
  // deletes nothing.
  for (PackId pack : s.deletions->deleted()) {
    if (pack == 0) continue;
    fresh.erase(pack);
    s.texts->erase(pack);
  }
  // Ids that the deletion log or the text store name are never given out again either: their
  // cells may be gone (compaction drops deleted packs, a crash can leave a text without its
  // pack), and a new pack under such an id would be deleted again, or get that text, at the
  // next open.
  for (PackId pack : s.deletions->deleted()) raise_near(s.next_pack, pack, s.pack_reach);
  for (const auto& [pack, text] : s.texts->texts()) raise_near(s.next_pack, pack, s.pack_reach);
}

Status Engine::refresh_vamana(RefreshScan& scan, Refreshed& s) const {
  if (s.pool.cell_count() < vamana_threshold_) {
    // The saved graph is not read below the threshold, but the ids it names stay taken; a file
    // that does not read names none.
    Result<std::optional<CellId>> highest = VamanaIndex::highest_saved_id(path_, s.cell_reach);
    if (highest.is_ok() && *highest) raise_past(s.next_cell, **highest);
    return Status::ok();
  }
  const uint64_t dim = s.key_dim.value_or(SLB_INITIAL_DIM);
  // The scan is done with its keys (the stages and the SLB hold what they need).
  const PooledCells pooled = graph_cells(scan, s.deletions->deleted());
  QM_ASSIGN_OR_RETURN(std::optional<VamanaIndex> saved, read_saved_graph(pooled));
  if (saved) {
    for (size_t i = 0; i < saved->node_count(); ++i) {
      raise_near(s.next_cell, saved->node_cell_id(i), s.cell_reach);
    }
    switch (fit_of_saved_graph(*saved, pooled, dim)) {
      case GraphFit::Stands:
        s.pipeline.add_stage(std::make_unique<VamanaIndex>(std::move(*saved)));
        s.vamana_active = true;
        return Status::ok();
      case GraphFit::ServesUpdate:
        // The lists of the cells it shares with the store are merged with the cells written
        // since.
        break;
      case GraphFit::Unusable:
        saved.reset();
        break;
    }
  }
  QM_ASSIGN_OR_RETURN(std::unique_ptr<VamanaIndex> built,
                      build_graph(pooled, dim, saved ? &*saved : nullptr, s.graph_threads));
  s.pipeline.add_stage(std::move(built));
  s.vamana_active = true;
  return Status::ok();
}

void Engine::install(Refreshed&& s) {
  block_pool_ = std::move(s.pool);
  text_store_ = std::move(*s.texts);
  deletion_log_ = std::move(*s.deletions);
  slb_ = std::move(s.slb);
  key_dim_ = s.key_dim;
  pipeline_ = std::move(s.pipeline);
  graph_threads_ = s.graph_threads;
  vamana_active_ = s.vamana_active;
  if (governance_.empty()) {
    governance_ = std::move(s.entries);  // an open: every entry is new
  } else {
    governance_.reserve(governance_.size() + s.entries.size());
    for (const auto& [cell, entry] : s.entries) governance_[cell] = entry;
  }
  pack_directory_ = std::move(s.directory);
  packless_cells_ = std::move(s.packless_cells);
  trace_graph_ = std::move(s.trace_graph);
  next_cell_id_ = std::max(next_cell_id_, s.next_cell);
  next_pack_id_ = std::max(next_pack_id_, s.next_pack);
}

// ---------------------------------------------------------------------------------------------
// Vamana activation

Engine::PooledCells Engine::graph_cells(RefreshScan& scan,
                                        const std::unordered_set<PackId>& deleted) {
  const CellIndexing indexing(deleted);
  PooledCells pooled;
  pooled.cells.reserve(scan.cells.size());
  for (const RefreshScan::Cell& c : scan.cells) {
    if (c.ok && indexing.in_graph(c)) pooled.cells.push_back({c.cell_id, c.key});
  }
  pooled.keys = std::move(scan.keys);
  return pooled;
}

Result<Engine::PooledCells> Engine::read_pooled_cells() const {
  RefreshScan scan;
  read_records(block_pool_, scan, /*all_keys=*/true);
  // Damaged records stay out of the graph, as at open; a read that failed fails the build.
  if (const EngineError* e = scan.first_undamaged_failure()) return *e;
  return graph_cells(scan, deletion_log_.deleted());
}

Status Engine::ensure_vamana() {
  QM_ASSIGN_OR_RETURN(const PooledCells pooled, read_pooled_cells());
  QM_ASSIGN_OR_RETURN(
      std::unique_ptr<VamanaIndex> built,
      build_graph(pooled, key_dim_.value_or(SLB_INITIAL_DIM), nullptr, graph_threads_));
  install_vamana(std::move(built));
  return Status::ok();
}

Status Engine::maybe_ensure_vamana() {
  if (vamana_active_ || block_pool_.cell_count() < vamana_threshold_) return Status::ok();
  return ensure_vamana();
}

namespace {

constexpr size_t KEY_PREFETCH_AHEAD = 12;

}  // namespace

Result<std::optional<VamanaIndex>> Engine::read_saved_graph(const PooledCells& pooled) const {
  const std::vector<PooledCells::Cell>& cells = pooled.cells;
  // The pooled key of a cell id: the file lists its nodes in ascending id order, like `cells`,
  // so a cursor that moves forward finds each in turn.
  size_t cursor = 0;
  auto lookup = [&](CellId id) -> const SharedKey* {
    if (cursor >= cells.size() || cells[cursor].id > id) {
      cursor = static_cast<size_t>(
          std::lower_bound(cells.begin(), cells.end(), id,
                           [](const PooledCells::Cell& c, CellId v) { return c.id < v; }) -
          cells.begin());
    }
    while (cursor < cells.size() && cells[cursor].id < id) ++cursor;
    // The keys lie apart in memory: the one a few cells on starts loading now.
    if (cursor + KEY_PREFETCH_AHEAD < cells.size()) {
      __builtin_prefetch(pooled.pooled_key(cells[cursor + KEY_PREFETCH_AHEAD])->data());
    }
    if (cursor < cells.size() && cells[cursor].id == id) return &pooled.pooled_key(cells[cursor]);
    return nullptr;
  };
  return VamanaIndex::load(path_, lookup);
}

Engine::GraphFit Engine::fit_of_saved_graph(const VamanaIndex& saved, const PooledCells& pooled,
                                            uint64_t dim) {
  // A graph is only as good as the keys it was built over. One whose check finds another key
  // under a node's id than the store holds (the id named another cell when it was saved), or
  // that has no check to go by, neither stands nor serves an update: it is built again.
  if (saved.key_check() != VamanaIndex::KeyCheck::Matched) return GraphFit::Unusable;
  // Records never change once written, so a graph saved over exactly the cells a build would
  // index, in the same order, is the graph that build would make: it stands as it is. Any other
  // graph is not (it may hold cells of packs deleted since, or lack cells): it is rebuilt.
  const std::vector<PooledCells::Cell>& cells = pooled.cells;
  size_t j = 0;
  for (size_t i = 0; i < cells.size(); ++i) {
    const PooledCells::Cell& c = cells[i];
    if (i + KEY_PREFETCH_AHEAD < cells.size()) {
      __builtin_prefetch(pooled.pooled_key(cells[i + KEY_PREFETCH_AHEAD])->data());
    }
    if (pooled.pooled_key(c)->size() != dim) continue;
    if (j >= saved.node_count() || saved.node_cell_id(j) != c.id) return GraphFit::ServesUpdate;
    ++j;
  }
  return j == saved.node_count() && saved.dim() == dim ? GraphFit::Stands : GraphFit::ServesUpdate;
}

Result<std::unique_ptr<VamanaIndex>> Engine::build_graph(const PooledCells& pooled, uint64_t dim,
                                                         const VamanaIndex* saved,
                                                         size_t threads) const {
  auto index = std::make_unique<VamanaIndex>(dim, VAMANA_MAX_DEGREE, VAMANA_ALPHA);
  for (const PooledCells::Cell& c : pooled.cells) {
    const SharedKey& key = pooled.pooled_key(c);
    if (key->size() == dim) index->insert_node(c.id, key);
  }
  if (saved == nullptr || !index->build_reusing(*saved, threads)) index->build(threads);
  QM_RETURN_IF_ERROR(index->save(path_));
  return index;
}

void Engine::install_vamana(std::unique_ptr<VectorIndex> index) {
  pipeline_.add_stage(std::move(index));
  vamana_active_ = true;
}

}  // namespace quellmar
