#include "quellmar/engine/engine.h"

#include <algorithm>
#include <optional>
#include <string_view>

#include "quellmar/core/file_names.h"
#include "quellmar/core/internal_fault.h"
#include "quellmar/core/posix_file.h"
#include "quellmar/core/str_cat.h"
#include "quellmar/core/temp_file.h"
#include "quellmar/engine/env_settings.h"
#include "quellmar/engine/id_floor.h"
#include "quellmar/engine/refresh_scan.h"
#include "quellmar/index/vamana_index.h"
#include "quellmar/retrieval/key_view.h"
#include "quellmar/retrieval/refinement.h"
#include "quellmar/retrieval/slb.h"

namespace quellmar {

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
      graph_threads_(graph_threads_from_env()),
      refinement_(std::make_unique<NoOpStrategy>()),
      vamana_threshold_(vamana_threshold) {}

Engine::~Engine() {
  if (write_buffer_ && !write_buffer_->entries.empty()) (void)flush_buffer();
}

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
  // A save cut short by a crash leaves its temporary file behind; nothing reads it. Those whose
  // writers are gone go; those of saves still under way (other handles') stay.
  VamanaIndex::remove_stale_temps(path);
  remove_stale_temps(path, ID_FLOOR_FILE);
  remove_stale_temps(path, TEXT_STORE_FILE);
  remove_stale_temps(path, SYNAPTIC_FILE);
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
  live.reserve(pack_directory_.cell_to_pack().size() + packless_cells_.size());
  for (const auto& [cell, pack] : pack_directory_.cell_to_pack()) live.insert(cell);
  live.insert(packless_cells_.begin(), packless_cells_.end());
  // Compaction may drop the records of the highest ids handed out (their packs deleted), and
  // then no record names them any more: before anything is dropped, the ids handed out are kept
  // in the id floor, so that no later open hands them out again (the saved graph, the trace log
  // and the deletion log may still name them). The floor is only ever raised.
  const bool drops = std::any_of(block_pool_.locations().begin(), block_pool_.locations().end(),
                                 [&](const auto& entry) { return !live.count(entry.first); });
  if (drops) {
    QM_ASSIGN_OR_RETURN(const std::optional<IdFloor> on_disk, read_id_floor(path_));
    IdFloor floor{next_cell_id_, next_pack_id_};
    if (on_disk) {
      floor.next_cell = std::max(floor.next_cell, on_disk->next_cell);
      floor.next_pack = std::max(floor.next_pack, on_disk->next_pack);
    }
    if (floor != on_disk) QM_RETURN_IF_ERROR(write_id_floor(path_, floor));
  }
  return block_pool_.compact(live);
}

// Snapshots of the whole engine, and opening an engine restored from one.

Result<SnapshotManifest> Engine::snapshot(const std::string& out_path) {
  QM_RETURN_IF_ERROR(flush_buffer());
  QM_RETURN_IF_ERROR(trace_wal_.sync());
  const SnapshotStats stats{pack_directory_.pack_count(), list_owners().size()};
  return write_snapshot(path_, out_path, stats);
}

Result<std::unique_ptr<Engine>> Engine::restore_from(const std::string& in_path,
                                                     const std::string& target_dir) {
  QM_RETURN_IF_ERROR(restore_snapshot(in_path, target_dir));
  return open(target_dir);
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
  slb->make_room(1, pooled_len);
  slb_ = std::move(slb);
  key_dim_ = pooled_len;
}

void Engine::make_room_for_keys(uint64_t keys, uint64_t pooled_width,
                                const std::function<void()>& work) {
  // Room laid out ahead is nothing a reader sees, so each step may stay when a later one fails.
  try {
    for (const auto& stage : pipeline_.stages()) stage->make_room(keys, pooled_width);
    adopt_key_dim(pooled_width);
    slb_->make_room(keys, pooled_width);
    if (work) work();
  } catch (const std::bad_alloc&) {
    throw AllocationFailure(str_cat("out of memory: no room for ",
                                    keys == 1 ? std::string("a key") : str_cat(keys, " keys"),
                                    " of ", pooled_width, " values; nothing was written"));
  }
}

Engine::CellInsert Engine::cell_insert(std::span<const float> key) {
  CellInsert in;
  in.pooled = SharedKey(pooled_key(key));
  // A plain key is its own pooled form; an encoded or malformed one is kept as it is, for the
  // stages that take its rows (or leave it out).
  in.key = classify_key_kind(key) == KeyKind::Plain
               ? in.pooled
               : SharedKey(std::vector<float>(key.begin(), key.end()));
  in.codes = SLB::quantize(*in.pooled);
  return in;
}

void Engine::index_cell(CellId cell, OwnerId owner, const CellInsert& in) {
  for (const auto& stage : pipeline_.stages()) stage->insert_shared(cell, owner, in.key, in.pooled);
  slb_->insert_quantized(cell, owner, in.codes, in.pooled->size());
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

void Engine::make_room_for_packs(size_t packs, size_t cells,
                                 std::span<const std::pair<uint64_t, uint64_t>> widths) {
  for (const auto& [width, keys] : widths) {
    for (const auto& stage : pipeline_.stages()) stage->make_room(keys, width);
    slb_->make_room(keys, width);
  }
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

}  // namespace quellmar
