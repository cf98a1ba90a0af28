// The refresh: the engine's in-memory state rebuilt from the files of its directory, one step at a
// time, and the two hooks that load and build the Vamana index.

#include <algorithm>
#include <optional>

#include "quellmar/core/file_names.h"
#include "quellmar/engine/engine.h"
#include "quellmar/engine/refresh_scan.h"
#include "quellmar/index/vamana_index.h"
#include "quellmar/retrieval/key_view.h"

namespace quellmar {

namespace {

// Raises an id counter past a stored id. The counter saturates at LAST_ID + 1, where no id is
// left; an id past LAST_ID is never handed out, so it raises nothing.
void raise_past(uint64_t& next, uint64_t id) {
  if (id <= Engine::LAST_ID && next <= id) next = id + 1;
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
  c.key = static_cast<uint32_t>(keys.size());
  keys.push_back(decode_key_into(*block, raw));
  // A plain key is its own pooled form.
  pooled.push_back(classify_key_kind(*keys.back()) == KeyKind::Plain
                       ? SharedKey()
                       : SharedKey(quellmar::pooled_key(*keys.back())));
  last_pack = r.pack_id;
  last_key = c.key;
  last_key_bytes.assign(bytes);
}

void Engine::RefreshScan::fail(size_t i, const EngineError& e) { errors.insert_or_assign(i, e); }

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

void Engine::read_records(RefreshScan& scan, bool all_keys) const {
  // Values are not decoded.
  scan.cells.resize(block_pool_.cell_count());
  block_pool_.read_all(
      DecodeParts::FieldsOnly,
      [&](size_t i, CellRecord& r, std::span<const uint8_t> raw) {
        const CellFields fields{r.cell_id, r.owner, r.pack_id, r.importance, r.layer, r.tier};
        scan.add(i, fields, raw.data(), all_keys);
      },
      [&](size_t i, const EngineError& e) { scan.fail(i, e); });
  scan.name_failed_cells(block_pool_.locations());
}

// ---------------------------------------------------------------------------------------------
// Refresh

Status Engine::refresh() { return refresh_from(nullptr); }

Status Engine::refresh_from(RefreshScan* opened) {
  QM_RETURN_IF_ERROR(block_pool_.refresh());
  // Texts and deletions are read before anything is indexed: the cells of deleted packs are kept
  // out of every index.
  QM_RETURN_IF_ERROR(text_store_.reload());
  QM_RETURN_IF_ERROR(deletion_log_.reload());

  const std::unordered_set<CellId> known = known_cells();
  // The records the pool's opening scan handed over stand in for the pass when they are exactly
  // the stored ones. Keys are kept for eligible cells, and for every cell when the Vamana index
  // may have to be built from them.
  RefreshScan fresh_scan;
  const bool reuse = opened != nullptr && opened->matches_locations(block_pool_.locations());
  RefreshScan& scan = reuse ? *opened : fresh_scan;
  if (reuse) {
    scan.name_failed_cells(block_pool_.locations());
  } else {
    read_records(scan, /*all_keys=*/block_pool_.cell_count() >= vamana_threshold_);
  }

  QM_RETURN_IF_ERROR(refresh_key_dim(scan, known));
  std::vector<StageInsert> inserts;
  renew_pipeline(scan, inserts);
  QM_RETURN_IF_ERROR(index_new_cells(scan, known, inserts));
  index_known_cells(scan, known, inserts);
  feed_indexes(inserts);

  PackId candidate = 1;
  PackDirectory fresh = group_packs(scan, candidate);
  QM_ASSIGN_OR_RETURN(const size_t replayed, replay_trace());
  install_pack_directory(std::move(fresh), candidate);

  QM_RETURN_IF_ERROR(refresh_vamana(scan));

  if (replayed != 0) {
    Status st = trace_wal_.sync();
    if (!st.is_ok()) return EngineError::wal_recovery(st.error().io_error().text);
  }
  return Status::ok();
}

std::unordered_set<CellId> Engine::known_cells() const {
  std::unordered_set<CellId> known;
  known.reserve(governance_.size());
  for (const auto& [cell, entry] : governance_) known.insert(cell);
  return known;
}

Status Engine::refresh_key_dim(const RefreshScan& scan, const std::unordered_set<CellId>& known) {
  // From the first new cell that the SLB takes (eligible, not of a deleted pack) whose key has a
  // width (not empty, not malformed): the cell that sets key_dim when the cells are indexed.
  const CellIndexing indexing(deletion_log_.deleted());
  for (size_t i = 0; i < scan.cells.size(); ++i) {
    const RefreshScan::Cell& c = scan.cells[i];
    if (!known.empty() && known.count(c.cell_id)) continue;
    if (!c.ok) {
      if (scan.damaged(i)) continue;
      return scan.error_of(i);
    }
    if (!indexing.in_stages(c)) continue;
    const uint64_t len = scan.pooled_of(c).size();
    if (len == 0) continue;
    if (len != slb_->dim()) {
      slb_ = std::make_unique<SLB>(SLB_CAPACITY, len);
      key_dim_ = len;
    }
    break;
  }
  return Status::ok();
}

void Engine::renew_pipeline(const RefreshScan& scan, std::vector<StageInsert>& inserts) {
  pipeline_ = engine_config_from_env(per_token_config_);
  graph_threads_ = graph_threads_from_env();
  vamana_active_ = false;
  for (const auto& stage : pipeline_.stages()) stage->reserve(scan.eligible);
  inserts.reserve(scan.eligible);
}

Status Engine::index_new_cells(const RefreshScan& scan, const std::unordered_set<CellId>& known,
                               std::vector<StageInsert>& inserts) {
  const CellIndexing indexing(deletion_log_.deleted());
  const size_t n = scan.cells.size();
  // The cell-API cells are collected on the way, over every cell.
  plain_cells_.clear();
  governance_.reserve(governance_.size() + n - std::min(n, known.size()));
  for (size_t i = 0; i < n; ++i) {
    const RefreshScan::Cell& c = scan.cells[i];
    // A record that could not be read may be anyone's: compaction keeps it too.
    if (!c.ok || c.pack_id == 0) plain_cells_.insert(c.cell_id);
    if (!known.empty() && known.count(c.cell_id)) continue;
    if (!c.ok && !scan.damaged(i)) return scan.error_of(i);
    // Every stored id stays taken, a deleted pack's and a damaged record's included: two records
    // with one id would each be read as the other's cell.
    raise_past(next_cell_id_, c.cell_id);
    // A damaged record stays where it is, out of every index, and a read of its cell reports the
    // damage; the rest of the store opens.
    if (!c.ok || indexing.of_deleted_pack(c)) continue;
    if (indexing.in_stages(c)) {
      if (!key_dim_ && !scan.pooled_of(c).empty()) key_dim_ = scan.pooled_of(c).size();
      inserts.push_back(scan.stage_insert(c));
    }
    governance_[c.cell_id] = GovernanceEntry{clamp_importance(c.importance), 0.0f, c.tier};
  }
  return Status::ok();
}

void Engine::index_known_cells(const RefreshScan& scan, const std::unordered_set<CellId>& known,
                               std::vector<StageInsert>& inserts) const {
  // They keep their entries; they are fed to the fresh stages again.
  if (known.empty()) return;
  const CellIndexing indexing(deletion_log_.deleted());
  for (const RefreshScan::Cell& c : scan.cells) {
    if (known.count(c.cell_id) && c.ok && indexing.in_stages(c)) {
      inserts.push_back(scan.stage_insert(c));
    }
  }
}

void Engine::feed_indexes(const std::vector<StageInsert>& inserts) {
  // Each stage takes every insert in that order, as one insert after the other would give them.
  for (const auto& stage : pipeline_.stages()) stage->insert_batch(inserts);
  std::vector<SLB::Insert> slb_inserts;
  slb_inserts.reserve(inserts.size());
  for (const StageInsert& in : inserts) {
    slb_inserts.push_back(
        {in.cell_id, in.owner, in.pooled ? **in.pooled : std::span<const float>()});
  }
  slb_->insert_all(slb_inserts);
}

PackDirectory Engine::group_packs(const RefreshScan& scan, PackId& candidate) const {
  // One run of consecutive cells of a pack at a time; the owner of a pack is that of its last
  // cell.
  const size_t n = scan.cells.size();
  PackDirectory fresh;
  fresh.reserve_cells(n);
  fresh.reserve_packs(scan.heads);
  std::vector<CellId> run;
  size_t runs = 0;
  for (size_t i = 0; i < n;) {
    const RefreshScan::Cell& c = scan.cells[i];
    if (!c.ok || !belongs_to_pack(c)) {
      ++i;
      continue;
    }
    run.clear();
    OwnerId owner = c.owner;
    size_t j = i;
    for (; j < n; ++j) {
      const RefreshScan::Cell& d = scan.cells[j];
      if (!d.ok || !belongs_to_pack(d) || d.pack_id != c.pack_id) break;
      run.push_back(d.cell_id);
      owner = d.owner;
    }
    fresh.add_view_cells(c.pack_id, run);
    fresh.set_owner(c.pack_id, owner);
    raise_past(candidate, c.pack_id);
    ++runs;
    i = j;
  }
  // Cells come in ascending id order, so a pack made of one run is sorted and free of repeats.
  if (runs != fresh.pack_count()) fresh.normalize();
  // Ids that the deletion log or the text store name are never given out again either: their
  // cells may be gone (compaction drops deleted packs, a crash can leave a text without its
  // pack), and a new pack under such an id would be deleted again, or get that text, at the
  // next open.
  for (PackId pack : deletion_log_.deleted()) raise_past(candidate, pack);
  for (const auto& [pack, text] : text_store_.texts()) raise_past(candidate, pack);
  return fresh;
}

Result<size_t> Engine::replay_trace() {
  trace_graph_.clear();
  QM_ASSIGN_OR_RETURN(std::vector<TraceRecord> replayed, trace_wal_.replay());
  for (const TraceRecord& r : replayed) {
    // An edge leaves a cell that this engine wrote; its id stays taken after compaction drops
    // the cell, so that a new cell never inherits the edges of a deleted one.
    raise_past(next_cell_id_, r.from);
    if (r.edge_type < EDGE_TYPE_ANY) {
      trace_graph_.add_edge(r.from, r.to, static_cast<EdgeType>(r.edge_type), r.created_at);
    }
  }
  return replayed.size();
}

void Engine::install_pack_directory(PackDirectory fresh, PackId candidate) {
  // The deleted packs leave the directory and the texts again.
  for (PackId pack : deletion_log_.deleted()) {
    fresh.erase(pack);
    text_store_.erase(pack);
  }
  pack_directory_ = std::move(fresh);
  next_pack_id_ = std::max(next_pack_id_, candidate);
}

Status Engine::refresh_vamana(RefreshScan& scan) {
  if (vamana_active_ || block_pool_.cell_count() < vamana_threshold_) return Status::ok();
  // A build fails on a record that could not be read, unless its bytes are damaged; a saved
  // graph is taken without those records.
  std::optional<EngineError> failure;
  if (const EngineError* e = scan.first_undamaged_failure()) failure = *e;
  // The scan is done with its keys (the stages and the SLB hold what they need).
  const PooledCells pooled = graph_cells(scan);
  // A saved graph that is not taken as it is still serves the build: the lists of the cells
  // it shares with the store are merged with the cells written since.
  std::optional<VamanaIndex> saved;
  QM_ASSIGN_OR_RETURN(const bool loaded, load_or_build_vamana(pooled, &saved));
  if (loaded) return Status::ok();
  if (failure) return *failure;
  return ensure_vamana(pooled, saved ? &*saved : nullptr);
}

// ---------------------------------------------------------------------------------------------
// Vamana activation

Engine::PooledCells Engine::graph_cells(RefreshScan& scan) const {
  const CellIndexing indexing(deletion_log_.deleted());
  PooledCells pooled;
  pooled.cells.reserve(scan.cells.size());
  for (const RefreshScan::Cell& c : scan.cells) {
    if (c.ok && indexing.in_graph(c)) pooled.cells.push_back({c.cell_id, c.key});
  }
  pooled.keys = std::move(scan.keys);
  pooled.pooled = std::move(scan.pooled);
  return pooled;
}

Result<Engine::PooledCells> Engine::read_pooled_cells(bool skip_failures) const {
  RefreshScan scan;
  read_records(scan, /*all_keys=*/true);
  // Damaged records stay out of the graph, as at open; a read that failed fails the build.
  if (!skip_failures) {
    if (const EngineError* e = scan.first_undamaged_failure()) return *e;
  }
  return graph_cells(scan);
}

Result<bool> Engine::load_or_build_vamana() {
  QM_ASSIGN_OR_RETURN(const PooledCells pooled, read_pooled_cells(/*skip_failures=*/true));
  return load_or_build_vamana(pooled, nullptr);
}

Status Engine::ensure_vamana() {
  QM_ASSIGN_OR_RETURN(const PooledCells pooled, read_pooled_cells(/*skip_failures=*/false));
  return ensure_vamana(pooled, nullptr);
}

Status Engine::maybe_ensure_vamana() {
  if (vamana_active_ || block_pool_.cell_count() < vamana_threshold_) return Status::ok();
  return ensure_vamana();
}

Result<bool> Engine::load_or_build_vamana(const PooledCells& pooled,
                                          std::optional<VamanaIndex>* not_taken) {
  const uint64_t dim = key_dim_.value_or(SLB_INITIAL_DIM);
  const std::vector<PooledCells::Cell>& cells = pooled.cells;
  // The pooled key of a cell id: the file lists its nodes in ascending id order, like `cells`,
  // so a cursor that moves forward finds each in turn.
  size_t cursor = 0;
  constexpr size_t KEY_PREFETCH_AHEAD = 12;
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
      __builtin_prefetch(pooled.key_of(cells[cursor + KEY_PREFETCH_AHEAD])->data());
    }
    if (cursor < cells.size() && cells[cursor].id == id) return &pooled.key_of(cells[cursor]);
    return nullptr;
  };
  QM_ASSIGN_OR_RETURN(std::optional<VamanaIndex> loaded, VamanaIndex::load(path_, lookup));
  if (!loaded) return false;
  // Records never change once written, so a graph saved over exactly the cells a build would
  // index, in the same order, is the graph that build would make: take it as it is. Any other
  // graph is not (it may hold cells of packs deleted since, or lack cells): it is rebuilt.
  bool same_nodes = true;
  {
    size_t j = 0;
    for (size_t i = 0; i < cells.size(); ++i) {
      const PooledCells::Cell& c = cells[i];
      if (i + KEY_PREFETCH_AHEAD < cells.size()) {
        __builtin_prefetch(pooled.key_of(cells[i + KEY_PREFETCH_AHEAD])->data());
      }
      if (pooled.key_of(c)->size() != dim) continue;
      if (j >= loaded->node_count() || loaded->node_cell_id(j) != c.id) {
        same_nodes = false;
        break;
      }
      ++j;
    }
    same_nodes = same_nodes && j == loaded->node_count() && loaded->dim() == dim;
  }
  if (!same_nodes) {
    if (not_taken != nullptr) *not_taken = std::move(loaded);
    return false;
  }
  install_vamana(std::make_unique<VamanaIndex>(std::move(*loaded)));
  return true;
}

Status Engine::ensure_vamana(const PooledCells& pooled, const VamanaIndex* saved) {
  const uint64_t dim = key_dim_.value_or(SLB_INITIAL_DIM);
  auto index = std::make_unique<VamanaIndex>(dim, VAMANA_MAX_DEGREE, VAMANA_ALPHA);
  for (const PooledCells::Cell& c : pooled.cells) {
    const SharedKey& key = pooled.key_of(c);
    if (key->size() == dim) index->insert_node(c.id, key);
  }
  if (saved == nullptr || !index->build_reusing(*saved, graph_threads_)) {
    index->build(graph_threads_);
  }
  QM_RETURN_IF_ERROR(index->save(path_));
  install_vamana(std::move(index));
  return Status::ok();
}

void Engine::install_vamana(std::unique_ptr<VectorIndex> index) {
  pipeline_.add_stage(std::move(index));
  vamana_active_ = true;
}

}  // namespace quellmar
