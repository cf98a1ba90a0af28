#include "quellmar/engine/engine.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <map>

#include "quellmar/core/file_names.h"
#include "quellmar/core/internal_fault.h"
#include "quellmar/core/posix_file.h"
#include "quellmar/core/str_cat.h"
#include "quellmar/index/vamana_index.h"
#include "quellmar/retrieval/flat_index.h"
#include "quellmar/retrieval/key_view.h"

namespace quellmar {

namespace {

// Whether a cell belongs to a pack of the deletion log: such cells stay out of the SLB, the
// stages and the graph. A cell counts for a pack as the pack grouping counts it.
bool of_deleted_pack(PackId pack_id, LayerIdx layer, const std::unordered_set<PackId>& deleted) {
  return !deleted.empty() && (pack_id != 0 || layer == HEAD_CELL_LAYER) &&
         deleted.count(pack_id) != 0;
}

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

}  // namespace

uint64_t parse_int8_tier_capacity(const char* value) {
  if (value == nullptr) return DEFAULT_INT8_TIER_CAPACITY;
  std::string_view s(value);
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  if (s.empty()) return DEFAULT_INT8_TIER_CAPACITY;
  uint64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return DEFAULT_INT8_TIER_CAPACITY;
    const uint64_t d = static_cast<uint64_t>(c - '0');
    if (v > (UINT64_MAX - d) / 10) return DEFAULT_INT8_TIER_CAPACITY;
    v = v * 10 + d;
  }
  return v == 0 ? DEFAULT_INT8_TIER_CAPACITY : v;
}

bool parse_per_token_eager(const char* value) {
  if (value == nullptr) return false;
  std::string_view s(value);
  return s == "1" || s == "true";
}

RetrievalPipeline engine_config_from_env(const PerTokenConfig& config) {
  uint64_t capacity = parse_int8_tier_capacity(std::getenv("QMR_INT8_TIER_CAPACITY"));
  const bool eager = parse_per_token_eager(std::getenv("QMR_PER_TOKEN_EAGER"));
  if (eager) capacity = DEFAULT_INT8_TIER_CAPACITY;
  RetrievalPipeline pipeline(2);
  pipeline.add_stage(std::make_unique<PerTokenRetriever>(PerTokenAggregation::TopNMean, config,
                                                         TOKEN_CACHE_CAPACITY, capacity, eager));
  pipeline.add_stage(std::make_unique<FlatIndex>());
  return pipeline;
}

std::vector<float> encode_per_token_key(std::span<const float> tokens, uint64_t dim) {
  std::vector<float> key(ENCODING_HEADER_SIZE + tokens.size(), 0.0f);
  key[0] = ENCODING_SENTINEL;
  key[ENCODING_DIM_IDX] = static_cast<float>(dim);
  std::copy(tokens.begin(), tokens.end(), key.begin() + ENCODING_HEADER_SIZE);
  return key;
}

uint64_t unix_now_ns() {
  const auto since = std::chrono::system_clock::now().time_since_epoch();
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(since).count();
  return ns < 0 ? 0 : static_cast<uint64_t>(ns);
}

UnixTime wall_unix_time() {
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                      std::chrono::system_clock::now().time_since_epoch())
                      .count();
  int64_t seconds = ns / 1000000000;
  int64_t nanos = ns % 1000000000;
  if (nanos < 0) {
    nanos += 1000000000;
    --seconds;
  }
  return UnixTime{seconds, static_cast<uint32_t>(nanos)};
}

Engine::Engine(std::string path, BlockPool pool, SynapticBank synaptic, TraceWal wal,
               TextStore texts, DeletionLog deletions, ScheduleStore schedule,
               uint64_t vamana_threshold)
    : path_(std::move(path)),
      block_pool_(std::move(pool)),
      synaptic_(std::move(synaptic)),
      trace_wal_(std::move(wal)),
      text_store_(std::move(texts)),
      deletion_log_(std::move(deletions)),
      schedule_(std::move(schedule)),
      slb_(std::make_unique<SLB>(SLB_CAPACITY, SLB_INITIAL_DIM)),
      pipeline_(engine_config_from_env(per_token_config_)),
      refinement_(std::make_unique<NoOpStrategy>()),
      vamana_threshold_(vamana_threshold) {}

Engine::~Engine() {
  if (write_buffer_ && !write_buffer_->entries.empty()) (void)flush_buffer();
}

// What one pass over the stored records keeps of each cell, in ascending cell-id order.
struct Engine::RefreshScan {
  struct Cell : CellFields {
    bool ok = false;
    uint32_t key = UINT32_MAX;  // index into keys, when the key was kept
  };
  std::vector<Cell> cells;
  // The stored keys kept, decoded into one block (a pack's layer cells share the head's), and
  // the pooled forms of the encoded ones; a plain key is its own pooled form (pooled[k] empty).
  std::shared_ptr<KeyBlock> block = std::make_shared<KeyBlock>();
  std::vector<SharedKey> keys;
  std::vector<SharedKey> pooled;
  // The failures of the records that could not be read, by position (rarely any).
  std::unordered_map<size_t, EngineError> errors;

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

  bool eligible(const Cell& c) const { return c.pack_id == 0 || c.layer == HEAD_CELL_LAYER; }
  const SharedKey& pooled_key(uint32_t k) const { return pooled[k] ? pooled[k] : keys[k]; }
  std::span<const float> pooled_of(const Cell& c) const {
    return c.key == UINT32_MAX ? std::span<const float>() : *pooled_key(c.key);
  }
  // The insert of the cell into a retrieval stage.
  StageInsert stage_insert(const Cell& c) const {
    if (c.key == UINT32_MAX) return StageInsert{c.cell_id, c.owner, nullptr, nullptr};
    return StageInsert{c.cell_id, c.owner, &keys[c.key], &pooled_key(c.key)};
  }

  // Takes record i of the pass. Keys are kept for eligible cells, and for every cell with
  // `all_keys` (when the Vamana index may have to be built from them). A pack's cells are stored
  // together, and its layer cells carry a copy of its retrieval key: a key whose encoded bytes
  // are those of the pack's last kept key shares it, undecoded.
  void add(size_t i, const CellFields& r, const uint8_t* raw, bool all_keys);
  // Appends a record of the pool's opening scan, in file order; where it lies is kept for
  // matches_locations.
  void add_scanned(const std::string& dir, uint32_t segment, uint64_t offset,
                   std::span<const uint8_t> record);
  // Whether the records appended by add_scanned are exactly those of `locations`, in its order,
  // so that position i here is position i there.
  bool matches_locations(const LocationMap& locations) const;

  PackId last_pack = 0;
  uint32_t last_key = UINT32_MAX;
  std::string last_key_bytes;
  std::vector<CellLocation> scanned_at;
  // The path of the segment the records of add_scanned come from.
  std::string path;
  uint32_t path_segment = 0;
};

Result<std::unique_ptr<Engine>> Engine::open(const std::string& path, uint64_t vamana_threshold,
                                             std::optional<uint64_t> segment_size) {
  QM_RETURN_IF_ERROR(check_path_text(path));
  // The pool's scan reads every record already: the refresh below takes what it needs of them
  // from that read instead of reading the segments a second time.
  auto opened = std::make_unique<RefreshScan>();
  QM_ASSIGN_OR_RETURN(BlockPool pool,
                      BlockPool::open(
                          path, segment_size.value_or(BlockPool::DEFAULT_CAPACITY),
                          [&](uint32_t segment, uint64_t offset, std::span<const uint8_t> record) {
                            opened->add_scanned(path, segment, offset, record);
                          },
                          [&](size_t records) {
                            opened->cells.reserve(records);
                            opened->scanned_at.reserve(records);
                          }));
  // A graph save cut short by a crash leaves its temporary file behind; nothing reads it.
  if (Status st = remove_file(join_path(path, VAMANA_TMP_FILE));
      !st.is_ok() && !st.error().io_error().is_not_found()) {
    return std::move(st).error();
  }
  QM_ASSIGN_OR_RETURN(SynapticBank synaptic, SynapticBank::open(path));
  QM_ASSIGN_OR_RETURN(TraceWal wal, TraceWal::open(path));
  QM_ASSIGN_OR_RETURN(TextStore texts, TextStore::open(path));
  QM_ASSIGN_OR_RETURN(DeletionLog deletions, DeletionLog::open(path));
  QM_ASSIGN_OR_RETURN(ScheduleStore schedule, ScheduleStore::load(path));
  std::unique_ptr<Engine> engine(new Engine(path, std::move(pool), std::move(synaptic),
                                            std::move(wal), std::move(texts), std::move(deletions),
                                            std::move(schedule), vamana_threshold));
  QM_RETURN_IF_ERROR(engine->refresh_from(opened.get()));
  return engine;
}

Result<std::unique_ptr<Engine>> Engine::open_with_write_buffer(const std::string& path,
                                                               uint64_t max_batch_size,
                                                               uint64_t max_idle_ms) {
  QM_ASSIGN_OR_RETURN(std::unique_ptr<Engine> engine, open(path));
  engine->write_buffer_ = WriteBuffer{{}, max_batch_size, max_idle_ms};
  engine->write_buffer_->entries.reserve(std::min<uint64_t>(max_batch_size, 1 << 16));
  return engine;
}

Status Engine::flush() {
  QM_RETURN_IF_ERROR(flush_buffer());
  return trace_wal_.sync();
}

Result<CompactionReport> Engine::compact() {
  std::unordered_set<CellId> live;
  live.reserve(pack_directory_.cell_to_pack().size() + plain_cells_.size());
  for (const auto& [cell, pack] : pack_directory_.cell_to_pack()) live.insert(cell);
  live.insert(plain_cells_.begin(), plain_cells_.end());
  return block_pool_.compact(live);
}

Status Engine::check_ids_left(uint64_t packs, uint64_t cells) const {
  auto refuse = [](std::string_view what, uint64_t needed, uint64_t next) {
    const uint64_t left = LAST_ID + 1 - next;
    return EngineError::capacity_exceeded(
        str_cat("out of ", what, " ids: ", needed, " needed, ", left, " left"));
  };
  if (packs > LAST_ID + 1 - next_pack_id_) return refuse("pack", packs, next_pack_id_);
  if (cells > LAST_ID + 1 - next_cell_id_) return refuse("cell", cells, next_cell_id_);
  return Status::ok();
}

Result<Engine::TakenIds> Engine::take_ids(uint64_t packs, uint64_t cells) {
  QM_RETURN_IF_ERROR(check_ids_left(packs, cells));
  const TakenIds taken{next_pack_id_, next_cell_id_};
  next_pack_id_ += packs;
  next_cell_id_ += cells;
  return taken;
}

EngineStatus Engine::status() const {
  EngineStatus s;
  s.cell_count = cell_count();
  s.pack_count = pack_count();
  s.segment_count = block_pool_.segments().size();
  s.slb_occupancy = slb_->occupancy();
  s.slb_capacity = slb_->capacity();
  s.vamana_active = vamana_active_;
  s.pipeline_stages = pipeline_.stage_count();
  s.governance_entries = governance_.size();
  s.trace_edges = trace_graph_.edge_count();
  for (const SegmentEntry& segment : block_pool_.segments()) s.arena_bytes += segment.fill;
  s.arena_bytes_per_cell = s.cell_count == 0 ? 0 : s.arena_bytes / s.cell_count;
  return s;
}

void Engine::set_refinement(std::unique_ptr<RefinementStrategy> strategy) {
  QM_CHECK(strategy != nullptr);
  refinement_ = std::move(strategy);
}

PerTokenRetriever* Engine::per_token_retriever() {
  for (const auto& stage : pipeline_.stages()) {
    if (PerTokenRetriever* r = stage->as_per_token()) return r;
  }
  return nullptr;
}

void Engine::adopt_key_dim(uint64_t pooled_len) {
  if (key_dim_ || pooled_len == 0) return;
  auto slb = std::make_unique<SLB>(SLB_CAPACITY, pooled_len);
  slb->make_room(1);
  slb_ = std::move(slb);
  key_dim_ = pooled_len;
}

void Engine::make_room_for_key(uint64_t pooled_width) {
  // Room laid out ahead is nothing a reader sees, so each step may stay when a later one fails.
  try {
    for (const auto& stage : pipeline_.stages()) stage->make_room(1, pooled_width);
    adopt_key_dim(pooled_width);
    slb_->make_room(1);
  } catch (const std::bad_alloc&) {
    throw AllocationFailure(str_cat("out of memory: no room for a key of ", pooled_width,
                                    " values; nothing was written"));
  }
}

void Engine::index_cell(CellId cell, OwnerId owner, std::span<const float> key,
                        std::span<const float> pooled) {
  for (const auto& stage : pipeline_.stages()) stage->insert(cell, owner, key);
  slb_->insert(cell, owner, pooled);
}

namespace {

// What an unordered map should reserve to take `more` entries without a rehash, grown
// geometrically so that a run of batches rehashes rarely; 0 when it has the room.
template <class Map>
size_t room_for(const Map& m, size_t more) {
  const size_t want = m.size() + more;
  if (static_cast<double>(want) <= static_cast<double>(m.bucket_count()) * m.max_load_factor()) {
    return 0;
  }
  return std::max(want, 2 * m.size());
}

}  // namespace

void Engine::make_room_for_packs(size_t packs, size_t cells, uint64_t pooled_width) {
  for (const auto& stage : pipeline_.stages()) stage->make_room(packs, pooled_width);
  slb_->make_room(packs);
  block_pool_.make_room(cells);
  if (size_t n = room_for(governance_, packs)) governance_.reserve(n);
  if (size_t n = room_for(text_store_.texts(), packs)) text_store_.reserve(n);
  if (size_t n = room_for(pack_directory_.packs(), packs)) pack_directory_.reserve_packs(n);
  if (size_t n = room_for(pack_directory_.cell_to_pack(), cells)) {
    pack_directory_.reserve_cells(n);
  }
}

std::optional<std::vector<float>> Engine::fetch_key(CellId cell) const {
  auto record = block_pool_.read_cell(cell);
  if (!record.is_ok()) return std::nullopt;
  return std::move(record->key);
}

// ---------------------------------------------------------------------------------------------
// Refresh

namespace {

// The pooled form of a stored key that is not plain: the mean of an encoded key's rows, or empty
// for a malformed one. Empty (the key is its own pooled form) for a plain key.
SharedKey pooled_if_encoded(std::span<const float> key) {
  std::optional<KeyView> view = classify_key(key);
  if (view && !view->is_encoded()) return SharedKey();
  return SharedKey(view ? view->mean_pooled() : std::vector<float>{});
}

// Decodes the key of a checked record into the block; returns its handle.
SharedKey decode_key_into(KeyBlock& block, const uint8_t* record) {
  const uint64_t len = record_key_len(record);
  float* at = block.append(len);
  decode_record_key_to(record, at);
  return block.share(at, len);
}

}  // namespace

void Engine::RefreshScan::add(size_t i, const CellFields& r, const uint8_t* raw, bool all_keys) {
  Cell& c = cells[i];
  static_cast<CellFields&>(c) = r;  // the id is the one the pool found the record under
  c.ok = true;
  if (!(r.pack_id == 0 || r.layer == HEAD_CELL_LAYER) && !all_keys) return;
  const std::span<const uint8_t> key_bytes = encoded_key_bytes(raw);
  const std::string_view bytes(reinterpret_cast<const char*>(key_bytes.data()), key_bytes.size());
  if (r.pack_id != 0 && r.pack_id == last_pack && last_key != UINT32_MAX &&
      bytes == last_key_bytes) {
    c.key = last_key;
    return;
  }
  c.key = static_cast<uint32_t>(keys.size());
  keys.push_back(decode_key_into(*block, raw));
  pooled.push_back(pooled_if_encoded(*keys.back()));
  last_pack = r.pack_id;
  last_key = c.key;
  last_key_bytes.assign(bytes);
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
    errors.insert_or_assign(i, st.error());
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

Status Engine::refresh() { return refresh_from(nullptr); }

Status Engine::refresh_from(RefreshScan* opened) {
  QM_RETURN_IF_ERROR(block_pool_.refresh());
  // Texts and deletions first: cells of deleted packs are kept out of every index below.
  QM_RETURN_IF_ERROR(text_store_.reload());
  QM_RETURN_IF_ERROR(deletion_log_.reload());
  const auto& deleted = deletion_log_.deleted();

  std::unordered_set<CellId> known;
  known.reserve(governance_.size());
  for (const auto& [cell, entry] : governance_) known.insert(cell);

  // One pass over every record; values are not decoded. Keys are kept for eligible cells, and
  // for every cell when the Vamana index may have to be built from them. The records the pool's
  // opening scan handed over stand in for the pass when they are exactly the stored ones.
  const bool vamana_due = block_pool_.cell_count() >= vamana_threshold_;
  const size_t n = block_pool_.cell_count();
  RefreshScan fresh_scan;
  const bool reuse = opened != nullptr && opened->matches_locations(block_pool_.locations());
  RefreshScan& scan = reuse ? *opened : fresh_scan;
  if (!reuse) {
    scan.cells.resize(n);
    block_pool_.read_all(
        DecodeParts::FieldsOnly,
        [&](size_t i, CellRecord& r, std::span<const uint8_t> raw) {
          const CellFields fields{r.cell_id, r.owner, r.pack_id, r.importance, r.layer, r.tier};
          scan.add(i, fields, raw.data(), vamana_due);
        },
        [&](size_t i, const EngineError& e) { scan.errors.insert_or_assign(i, e); });
  }
  if (!scan.errors.empty()) {
    // The ids of the records that could not be read, from the locations.
    size_t i = 0;
    for (const auto& [id, loc] : block_pool_.locations()) scan.cells[i++].cell_id = id;
  }

  auto excluded = [&](const RefreshScan::Cell& c) {
    return of_deleted_pack(c.pack_id, c.layer, deleted);
  };

  // Key dimension from the first new eligible cell whose key has a width (not empty, not
  // malformed).
  for (size_t i = 0; i < n; ++i) {
    const RefreshScan::Cell& c = scan.cells[i];
    if (!known.empty() && known.count(c.cell_id)) continue;
    if (!c.ok) {
      if (scan.damaged(i)) continue;
      return scan.error_of(i);
    }
    if (!scan.eligible(c)) continue;
    const uint64_t len = scan.pooled_of(c).size();
    if (len == 0) continue;
    if (len != slb_->dim()) {
      slb_ = std::make_unique<SLB>(SLB_CAPACITY, len);
      key_dim_ = len;
    }
    break;
  }

  pipeline_ = engine_config_from_env(per_token_config_);
  vamana_active_ = false;
  size_t heads = 0;  // about the number of packs
  std::vector<StageInsert> inserts;
  {
    uint64_t eligible = 0;
    for (const RefreshScan::Cell& c : scan.cells) {
      eligible += c.ok && scan.eligible(c);
      heads += c.ok && c.pack_id != 0 && c.layer == HEAD_CELL_LAYER;
    }
    for (const auto& stage : pipeline_.stages()) stage->reserve(eligible);
    inserts.reserve(eligible);
  }

  // New cells, ascending.
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
    if (!c.ok) continue;
    if (excluded(c)) continue;
    if (scan.eligible(c)) {
      if (!key_dim_ && !scan.pooled_of(c).empty()) key_dim_ = scan.pooled_of(c).size();
      inserts.push_back(scan.stage_insert(c));
    }
    governance_[c.cell_id] = GovernanceEntry{clamp_importance(c.importance), 0.0f, c.tier};
  }
  // Known cells keep their entries; they are fed to the fresh stages again.
  if (!known.empty()) {
    for (size_t i = 0; i < n; ++i) {
      const RefreshScan::Cell& c = scan.cells[i];
      if (!known.count(c.cell_id) || !c.ok || !scan.eligible(c) || excluded(c)) continue;
      inserts.push_back(scan.stage_insert(c));
    }
  }
  // Each stage takes every insert in that order, as one insert after the other would give them.
  for (const auto& stage : pipeline_.stages()) stage->insert_batch(inserts);
  {
    std::vector<SLB::Insert> slb_inserts;
    slb_inserts.reserve(inserts.size());
    for (const StageInsert& in : inserts) {
      slb_inserts.push_back(
          {in.cell_id, in.owner, in.pooled ? **in.pooled : std::span<const float>()});
    }
    slb_->insert_all(slb_inserts);
  }

  // Pack grouping, one run of consecutive cells of a pack at a time (the owner of a pack is that
  // of its last cell), then the deleted packs leave the directory again.
  PackDirectory fresh;
  fresh.reserve_cells(n);
  fresh.reserve_packs(heads);
  std::vector<CellId> run;
  size_t runs = 0;
  PackId candidate = 1;  // the next pack id: past every pack stored
  for (size_t i = 0; i < n;) {
    const RefreshScan::Cell& c = scan.cells[i];
    if (!c.ok || !(c.pack_id != 0 || c.layer == HEAD_CELL_LAYER)) {
      ++i;
      continue;
    }
    run.clear();
    OwnerId owner = c.owner;
    size_t j = i;
    for (; j < n; ++j) {
      const RefreshScan::Cell& d = scan.cells[j];
      if (!d.ok || !(d.pack_id != 0 || d.layer == HEAD_CELL_LAYER) || d.pack_id != c.pack_id) {
        break;
      }
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
  for (PackId pack : deleted) raise_past(candidate, pack);
  for (const auto& [pack, text] : text_store_.texts()) raise_past(candidate, pack);

  trace_graph_.clear();
  auto replayed = trace_wal_.replay();
  if (!replayed.is_ok()) return std::move(replayed).error();
  for (const TraceRecord& r : *replayed) {
    // An edge leaves a cell that this engine wrote; its id stays taken after compaction drops
    // the cell, so that a new cell never inherits the edges of a deleted one.
    raise_past(next_cell_id_, r.from);
    if (r.edge_type < EDGE_TYPE_ANY) {
      trace_graph_.add_edge(r.from, r.to, static_cast<EdgeType>(r.edge_type), r.created_at);
    }
  }

  for (PackId pack : deleted) {
    fresh.erase(pack);
    text_store_.erase(pack);
  }
  pack_directory_ = std::move(fresh);
  next_pack_id_ = std::max(next_pack_id_, candidate);

  if (!vamana_active_ && block_pool_.cell_count() >= vamana_threshold_) {
    PooledCells pooled;
    pooled.cells.reserve(n);
    std::optional<EngineError> first_failure;
    for (size_t i = 0; i < n; ++i) {
      const RefreshScan::Cell& c = scan.cells[i];
      if (!c.ok) {
        if (!first_failure && !scan.damaged(i)) first_failure = scan.error_of(i);
        continue;
      }
      if (!excluded(c)) pooled.cells.push_back({c.cell_id, c.key});
    }
    // The scan is done with its keys (the stages and the SLB hold what they need).
    pooled.keys = std::move(scan.keys);
    pooled.pooled = std::move(scan.pooled);
    // A saved graph that is not taken as it is still serves the build: the lists of the cells
    // it shares with the store are merged with the cells written since.
    std::optional<VamanaIndex> saved;
    QM_ASSIGN_OR_RETURN(const bool loaded, try_load_vamana(pooled, &saved));
    if (!loaded) {
      if (first_failure) return *first_failure;
      QM_RETURN_IF_ERROR(build_vamana(pooled, saved ? &*saved : nullptr));
    }
  }

  if (!replayed->empty()) {
    Status st = trace_wal_.sync();
    if (!st.is_ok()) return EngineError::wal_recovery(st.error().io_error().text);
  }
  return Status::ok();
}

// ---------------------------------------------------------------------------------------------
// Vamana activation

Result<Engine::PooledCells> Engine::read_pooled_cells(bool skip_failures) const {
  std::vector<PooledCells::Cell> cells(block_pool_.cell_count());
  std::vector<bool> ok(cells.size(), false);
  PooledCells out;
  std::optional<EngineError> failure;
  // As in refresh: a pack's cells that repeat its last key share one pooled key, and the keys
  // are decoded into one block.
  PackId last_pack = 0;
  std::string last_key_bytes;
  const auto block = std::make_shared<KeyBlock>();
  block_pool_.read_all(
      DecodeParts::FieldsOnly,
      [&](size_t i, CellRecord& r, std::span<const uint8_t> raw) {
        if (of_deleted_pack(r.pack_id, r.layer, deletion_log_.deleted())) return;
        const std::span<const uint8_t> key_bytes = encoded_key_bytes(raw.data());
        const std::string_view bytes(reinterpret_cast<const char*>(key_bytes.data()),
                                     key_bytes.size());
        if (!(r.pack_id != 0 && r.pack_id == last_pack && !out.keys.empty() &&
              bytes == last_key_bytes)) {
          out.keys.push_back(decode_key_into(*block, raw.data()));
          out.pooled.push_back(pooled_if_encoded(*out.keys.back()));
          last_pack = r.pack_id;
          last_key_bytes.assign(bytes);
        }
        cells[i] = PooledCells::Cell{r.cell_id, static_cast<uint32_t>(out.keys.size() - 1)};
        ok[i] = true;
      },
      [&](size_t, const EngineError& e) {
        if (!failure) failure = e;
      });
  if (failure && !skip_failures) return *failure;
  out.cells.reserve(cells.size());
  for (size_t i = 0; i < cells.size(); ++i) {
    if (ok[i]) out.cells.push_back(cells[i]);
  }
  return out;
}

Result<bool> Engine::load_or_build_vamana() {
  QM_ASSIGN_OR_RETURN(PooledCells pooled, read_pooled_cells(/*skip_failures=*/true));
  return try_load_vamana(pooled, nullptr);
}

Status Engine::ensure_vamana() {
  QM_ASSIGN_OR_RETURN(PooledCells pooled, read_pooled_cells(/*skip_failures=*/false));
  return build_vamana(pooled);
}

Status Engine::maybe_ensure_vamana() {
  if (vamana_active_ || block_pool_.cell_count() < vamana_threshold_) return Status::ok();
  return ensure_vamana();
}

Result<bool> Engine::try_load_vamana(const PooledCells& pooled,
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

Status Engine::build_vamana(const PooledCells& pooled, const VamanaIndex* saved) {
  const uint64_t dim = key_dim_.value_or(SLB_INITIAL_DIM);
  auto index = std::make_unique<VamanaIndex>(dim, VAMANA_MAX_DEGREE, VAMANA_ALPHA);
  for (const PooledCells::Cell& c : pooled.cells) {
    const SharedKey& key = pooled.key_of(c);
    if (key->size() == dim) index->insert_node(c.id, key);
  }
  if (saved == nullptr || !index->build_reusing(*saved)) index->build();
  QM_RETURN_IF_ERROR(index->save(path_));
  install_vamana(std::move(index));
  return Status::ok();
}

void Engine::install_vamana(std::unique_ptr<VectorIndex> index) {
  pipeline_.add_stage(std::move(index));
  vamana_active_ = true;
}

}  // namespace quellmar
