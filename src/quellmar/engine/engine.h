#pragma once

// The engine: the one object that owns every store and every in-memory index of one engine
// directory. It is not synchronised: its owner holds one mutex around every call.
//
// Writes take their ids first and never give one back, make their records durable (block pool,
// then text store), and only then update, in this order, every retrieval stage, the SLB, the
// governance map and the pack directory.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "quellmar/core/result.h"
#include "quellmar/core/synaptic_bank.h"
#include "quellmar/core/types.h"
#include "quellmar/engine/engine_types.h"
#include "quellmar/engine/governance.h"
#include "quellmar/engine/pack_directory.h"
#include "quellmar/engine/schedule_store.h"
#include "quellmar/engine/snapshot.h"
#include "quellmar/engine/trace_graph.h"
#include "quellmar/engine/trace_wal.h"
#include "quellmar/retrieval/per_token_retriever.h"
#include "quellmar/retrieval/retrieval_pipeline.h"
#include "quellmar/storage/block_pool.h"
#include "quellmar/storage/deletion_log.h"
#include "quellmar/storage/text_store.h"

namespace quellmar {

// Held by pointer, or named only in the engine's own steps.
class RefinementStrategy;
class SLB;
class VamanaIndex;
struct IdFloor;

inline constexpr uint64_t DEFAULT_VAMANA_THRESHOLD = 10000;
inline constexpr uint64_t SLB_CAPACITY = 4096;
inline constexpr uint64_t SLB_INITIAL_DIM = 128;

class Engine {
 public:
  static Result<std::unique_ptr<Engine>> open(const std::string& path,
                                              uint64_t vamana_threshold = DEFAULT_VAMANA_THRESHOLD,
                                              std::optional<uint64_t> segment_size = std::nullopt);
  static Result<std::unique_ptr<Engine>> open_with_write_buffer(const std::string& path,
                                                                uint64_t max_batch_size,
                                                                uint64_t max_idle_ms);
  // Drains the write buffer: its ids were handed to callers, so the packs are written rather
  // than dropped (a failure there is lost with the engine).
  ~Engine();
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  // Drains the write buffer, then flushes trace.wal to stable storage.
  Status flush();
  // Compacts the block pool, keeping every cell of a listed pack and every cell-API cell.
  Result<CompactionReport> compact();
  // Rebuilds the in-memory state from the files of the directory.
  Status refresh();
  // Builds, saves and installs the graph.
  Status ensure_vamana();

  // Pack writes.
  Result<PackId> mem_write_pack(PackWrite request);
  Result<PackId> mem_write_pack_tokens(OwnerId owner, std::span<const float> tokens,
                                       uint64_t n_tokens, uint64_t dim,
                                       std::vector<LayerPayload> layer_payloads, float salience,
                                       std::optional<std::string> text);
  Result<std::vector<PackId>> mem_write_batch_packs(std::vector<PackWrite> packs);
  Status flush_buffer();

  // Cell writes.
  Result<CellId> mem_write(OwnerId owner, LayerIdx layer, std::span<const float> key,
                           std::span<const float> value, float salience,
                           std::optional<CellId> parent);
  Result<std::vector<CellId>> mem_write_batch(std::vector<CellWrite> requests);

  // Pack reads.
  Result<std::vector<PackReadResult>> mem_read_pack(std::span<const float> query, uint64_t k,
                                                    std::optional<OwnerId> owner);
  // mem_read_pack with the payloads left as stored (the same packs, scores and touches).
  Result<StoredPackReads> mem_read_pack_stored(std::span<const float> query, uint64_t k,
                                               std::optional<OwnerId> owner);
  Result<PackReadResult> load_pack_by_id(PackId pack_id);

  // Cell reads.
  Result<std::vector<CellReadResult>> mem_read(std::span<const float> query, uint64_t k,
                                               std::optional<OwnerId> owner);
  Result<std::vector<CellReadResult>> mem_read_tokens(std::span<const float> tokens,
                                                      uint64_t n_tokens, uint64_t dim, uint64_t k,
                                                      std::optional<OwnerId> owner);

  // Listing, deletion, view keys and texts.
  std::vector<PackMetadata> list_packs_metadata(std::optional<OwnerId> owner) const;
  Result<uint64_t> view_count(PackId pack_id) const;
  Status delete_pack(PackId pack_id);
  Result<uint64_t> add_view_keys(PackId pack_id, const std::vector<std::vector<float>>& view_keys);
  Status set_pack_texts(const std::vector<std::pair<PackId, std::string>>& entries);

  // Pack edges.
  Status add_pack_edge(PackId pack_1, PackId pack_2, EdgeType edge_type);
  // Packs linked to pack_id by edges of the filtered type (EDGE_TYPE_ANY: every type).
  std::vector<PackId> pack_links_by_type(PackId pack_id, uint8_t filter) const;

  // Trace-linked writes and reads.
  // Stores the pack and links it by a Follows edge to the best pack of the same owner whose read
  // score is at least the threshold; returns the new id and the linked ids (at most one).
  Result<std::pair<PackId, std::vector<PackId>>> mem_write_pack_with_auto_link(
      PackWrite request, float auto_link_threshold);
  // A pack read over max(5k, 10) candidates whose raw scores grow with the number of linked
  // packs: raw * (boost_factor * links + 1), then weighted as by mem_read_pack; best k.
  Result<std::vector<PackReadResult>> mem_read_pack_with_trace_boost(std::span<const float> query,
                                                                     uint64_t k,
                                                                     std::optional<OwnerId> owner,
                                                                     float boost_factor);
  // The boosted read followed by every pack directly linked to one of its results (score 0).
  Result<std::vector<PackReadResult>> mem_read_pack_with_trace_boost_and_follow(
      std::span<const float> query, uint64_t k, std::optional<OwnerId> owner, float boost_factor);

  // Governance over time, eviction and owners.
  void advance_days(float days);
  Result<uint64_t> evict_draft_packs(float threshold, std::optional<OwnerId> owner);
  std::vector<OwnerId> list_owners() const;
  bool owner_exists(OwnerId owner) const;
  Result<uint64_t> delete_owner(OwnerId owner);
  // The sweep of the maintenance thread and of the binding's sweep_now: the clock, then the
  // eviction, then (when asked) the due scheduled actions, whose count and failure are dropped.
  // Returns the packs the eviction removed, or its failure; the clock stays advanced then.
  Result<uint64_t> sweep(const SweepStep& step);

  // Scheduled actions.
  Result<uint64_t> fire_due_scheduled(UnixTime now);
  std::vector<ScheduledEntry> list_scheduled() const { return schedule_.list_by_fire_time(); }

  // Snapshots: drains the write buffer, syncs trace.wal and archives the directory.
  Result<SnapshotManifest> snapshot(const std::string& out_path);
  // Restores an archive into target_dir and opens the engine there.
  static Result<std::unique_ptr<Engine>> restore_from(const std::string& in_path,
                                                      const std::string& target_dir);

  // State, for the binding.
  EngineStatus status() const;
  const std::string& path() const { return path_; }
  uint64_t cell_count() const { return block_pool_.cell_count(); }
  uint64_t pack_count() const { return pack_directory_.pack_count(); }
  bool has_vamana() const { return vamana_active_; }
  uint64_t pipeline_stage_count() const { return pipeline_.stage_count(); }
  // The stores the binding reads and appends to directly.
  SynapticBank& synaptic() { return synaptic_; }
  TextStore& text_store() { return text_store_; }
  const TextStore& text_store() const { return text_store_; }
  ScheduleStore& schedule() { return schedule_; }
  const GovernanceMap& governance() const { return governance_; }
  const TraceGraph& trace_graph() const { return trace_graph_; }
  const PackDirectory& pack_directory() const { return pack_directory_; }
  // The largest cell or pack id a write is given; ids are never handed out twice, so once it is
  // taken, writes that need a new id are refused. (An id of all bits set, found in a record that
  // this engine did not write, is never handed out and so takes nothing away.)
  static constexpr uint64_t LAST_ID = UINT64_MAX - 1;

  const RefinementStrategy& refinement() const { return *refinement_; }
  void set_refinement(std::unique_ptr<RefinementStrategy> strategy);
  bool token_reweighting_enabled() const { return token_reweighting_enabled_; }
  void set_token_reweighting(bool enabled) { token_reweighting_enabled_ = enabled; }

 private:
  // What one pass over the stored records keeps of each cell, what a refresh builds aside
  // before it installs it, the cells a graph build indexes, and what indexing one new cell hands
  // the indexes (all in refresh_scan.h).
  struct RefreshScan;
  struct Refreshed;
  struct PooledCells;
  struct CellInsert;

  // Tests reach the engine's components and internal steps through this (tests/cpp).
  friend class EngineTestPeer;

  Engine(std::string path, BlockPool pool, SynapticBank synaptic, TraceWal wal, TextStore texts,
         DeletionLog deletions, ScheduleStore schedule, uint64_t vamana_threshold);

  // Stores a batch of packs whose ids are taken: the drain of the write buffer and the batch
  // write.
  Status write_pack_batch(std::vector<BufferedPack> packs);

  // The steps of the pack reads: candidate search, pack ranking and the loading of the layers.
  std::vector<ScoredCell> find_candidates(std::span<const float> query, uint64_t k,
                                          std::optional<OwnerId> owner);
  std::vector<PackCandidate> rank_pack_candidates(std::vector<ScoredCell> hits, uint64_t k,
                                                  std::optional<OwnerId> owner) const;
  Result<std::vector<LayerPayload>> load_pack_layers(std::span<const CellId> cells) const;
  // The stored layer payloads of each candidate, reading all their cells in one pass: their
  // records are appended to `bytes`.
  std::vector<Result<std::vector<StoredPayload>>> stored_layers_of(
      const std::vector<PackCandidate>& candidates, std::string& bytes) const;
  // The read touch on a cell's entry; returns the tier after it (0, untouched, without entry).
  uint8_t touch(CellId cell);
  // The read touch on a pack hit's entry and the weights of its score after it: tier factor and
  // recency (1.0 and tier 0, untouched, without entry).
  struct HitWeight {
    uint8_t tier = 0;
    float multiplier = 1.0f;
    float recency = 1.0f;
  };
  HitWeight touch_hit(CellId cell);
  // The first stage that is the per-token retriever, if any.
  PerTokenRetriever* per_token_retriever();

  // The first ids of a write's new packs and cells, taken together.
  struct TakenIds {
    PackId first_pack = 0;
    CellId first_cell = 0;
  };
  // Takes `packs` consecutive pack ids and `cells` consecutive cell ids, or, when either would
  // run past LAST_ID, refuses with CapacityExceeded and takes none.
  Result<TakenIds> take_ids(uint64_t packs, uint64_t cells);
  // The refusal of take_ids, without taking anything.
  Status check_ids_left(uint64_t packs, uint64_t cells) const;

  // Sets key_dim from a first write's pooled key and re-creates the SLB at that width, with the
  // room for that key laid out; changes nothing when an allocation fails. A length of 0 (an
  // empty or malformed key) is never adopted: an SLB of no width would score every malformed
  // query against such keys; the next key with a width sets it.
  void adopt_key_dim(uint64_t pooled_len);
  // adopt_key_dim, and the room that indexing `keys` more keys of that width takes in the SLB and
  // the stages laid out, before a write stores anything; then `work`, what else the write works
  // out before it stores anything. Keys too large for memory then throw AllocationFailure with
  // nothing stored.
  void make_room_for_keys(uint64_t keys, uint64_t pooled_width,
                          const std::function<void()>& work = nullptr);
  // What indexing one eligible cell hands the indexes, worked out before its record is stored.
  static CellInsert cell_insert(std::span<const float> key);
  // Feeds one eligible cell to every retrieval stage and to the SLB; allocates nothing in
  // proportion to its key once make_room_for_keys made room for it.
  void index_cell(CellId cell, OwnerId owner, const CellInsert& in);
  // Makes room in the in-memory structures for a batch of packs about to be shown, so that
  // showing it grows nothing: nothing a reader sees changes.
  // `widths`: how many of the packs' retrieval keys have each pooled width.
  void make_room_for_packs(size_t packs, size_t cells,
                           std::span<const std::pair<uint64_t, uint64_t>> widths);

  // The refresh (engine_refresh.cc), taking the stored records from `opened` (what the pool's
  // opening scan read) when they are still exactly the stored ones; null reads them. Everything
  // it installs is built aside first (Refreshed): a refresh that fails at any step changes
  // nothing, and the engine goes on with its state as it was. The functions after it are its
  // steps, in their order.
  Status refresh_from(RefreshScan* opened);
  // Reads every record `pool` stores into the scan, keeping the keys of eligible cells, or of
  // every cell with `all_keys`; values are not decoded. A record that does not decode keeps what
  // its fixed part still says of it (its pack), when that part is there.
  void read_records(const BlockPool& pool, RefreshScan& scan, bool all_keys) const;
  // The cells with a governance entry: taken to be indexed already.
  std::unordered_set<CellId> known_cells() const;
  // Starts the next ids past every id the store handed out that a readable record, the id floor
  // or this handle vouches for, sets the reach of the ids nothing vouches for (an id that only a
  // damaged record or a side file names is taken only below it: REACH_OF_UNVOUCHED_IDS past the
  // vouched ones), and takes the ids of the damaged records within it. The trace replay, the
  // grouping and the graph step take those of the side files.
  void vouch_ids(const RefreshScan& scan, const std::optional<IdFloor>& floor, Refreshed& s) const;
  // Replays trace.wal into the refreshed trace graph; returns the number of records replayed.
  Result<size_t> replay_trace(Refreshed& s) const;
  // The width of the first new cell the SLB takes whose key has a width: the one that sets the
  // key width (and the SLB's) when it differs from the SLB's.
  std::optional<uint64_t> first_new_key_width(const RefreshScan& scan,
                                              const std::unordered_set<CellId>& known,
                                              const Refreshed& s) const;
  // A fresh retrieval pipeline (no Vamana stage), with room for the scan's eligible cells in its
  // stages and in `inserts`.
  void renew_pipeline(const RefreshScan& scan, Refreshed& s,
                      std::vector<StageInsert>& inserts) const;
  // Gives every new readable cell its governance entry; appends the inserts of those the stages
  // index. Collects the cells compaction must keep that no pack lists.
  void index_new_cells(const RefreshScan& scan, const std::unordered_set<CellId>& known,
                       Refreshed& s, std::vector<StageInsert>& inserts) const;
  // Appends the inserts of the known cells the stages index.
  void index_known_cells(const RefreshScan& scan, const std::unordered_set<CellId>& known,
                         const Refreshed& s, std::vector<StageInsert>& inserts) const;
  // Feeds the inserts to every stage and their pooled keys to the SLB.
  static void feed_indexes(const std::vector<StageInsert>& inserts, Refreshed& s);
  // The packs of the stored cells (a damaged record in the pack it names), without the deleted
  // ones, whose texts go too.
  void group_packs(const RefreshScan& scan, Refreshed& s) const;
  // Loads or builds the graph over the scan's cells when the cell count has reached the
  // threshold (the saved graph, then a build); the scan gives up its keys.
  Status refresh_vamana(RefreshScan& scan, Refreshed& s) const;
  // Puts the refreshed state in place of the engine's.
  void install(Refreshed&& s);

  // The cells of the scan that the graph indexes (none of the packs in `deleted`), taking the
  // scan's keys.
  static PooledCells graph_cells(RefreshScan& scan, const std::unordered_set<PackId>& deleted);
  // Pooled keys of every stored cell but those of deleted packs, ascending, read in one pass; a
  // damaged record is left out, and a read that failed otherwise returns its failure.
  Result<PooledCells> read_pooled_cells() const;
  // vamana.idx read with the pooled keys of the cells (none without the file), and what it is
  // good for at the index width `dim`: standing as it is (its nodes are exactly the cells a build
  // would index, in the same order, each built over the key the store holds for it), serving
  // the update of a build (every node the store still holds was built over its key), or nothing
  // (built over other keys than the store's, or without a key check to tell).
  Result<std::optional<VamanaIndex>> read_saved_graph(const PooledCells& pooled) const;
  enum class GraphFit : uint8_t { Stands, ServesUpdate, Unusable };
  static GraphFit fit_of_saved_graph(const VamanaIndex& saved, const PooledCells& pooled,
                                     uint64_t dim);
  // Builds the graph over every cell whose pooled key has the index width (reusing the lists of
  // `saved`, an earlier graph of this store, where it can) on `threads` threads and saves it to
  // vamana.idx.
  Result<std::unique_ptr<VamanaIndex>> build_graph(const PooledCells& pooled, uint64_t dim,
                                                   const VamanaIndex* saved, size_t threads) const;
  // Appends the graph as the last stage of the engine's pipeline and marks it active.
  void install_vamana(std::unique_ptr<VectorIndex> index);
  // The build hook of the writers: when no Vamana index is active and the cell count has reached
  // the threshold.
  Status maybe_ensure_vamana();
  // Gathers candidates from the SLB and the pipeline; `multi_factor` is the pipeline request
  // factor for multi-token queries (4 for packs, 2 for cells).
  std::vector<ScoredCell> gather(std::span<const float> query, uint64_t k,
                                 std::optional<OwnerId> owner, uint64_t multi_factor);
  std::optional<std::vector<float>> fetch_key(CellId cell) const;

  std::string path_;
  BlockPool block_pool_;
  SynapticBank synaptic_;
  TraceWal trace_wal_;
  TextStore text_store_;
  DeletionLog deletion_log_;
  ScheduleStore schedule_;
  std::unique_ptr<SLB> slb_;
  std::optional<uint64_t> key_dim_;
  bool vamana_active_ = false;
  // Declared before the pipeline, which the constructor builds from it.
  PerTokenConfig per_token_config_;
  RetrievalPipeline pipeline_;
  // Threads of a graph build or update (QMR_GRAPH_THREADS), read with the pipeline's settings.
  size_t graph_threads_;
  std::optional<WriteBuffer> write_buffer_;
  TraceGraph trace_graph_;
  GovernanceMap governance_;
  PackDirectory pack_directory_;
  // The cells that no pack lists: those of the cell API (pack id 0, whatever their layer), and
  // damaged records that name no pack. Compaction keeps them.
  std::unordered_set<CellId> packless_cells_;
  std::unique_ptr<RefinementStrategy> refinement_;
  bool token_reweighting_enabled_ = false;
  CellId next_cell_id_ = 0;
  PackId next_pack_id_ = 0;
  uint64_t vamana_threshold_;
};

}  // namespace quellmar
