#pragma once

// The graph retrieval stage: a proximity graph over pooled keys with at most max_degree out-edges
// per node, built exactly (each node's best neighbours by raw dot product over all others) and
// searched by a multi-seed greedy beam search. Saved whole to vamana.idx.

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "quellmar/core/aligned_allocator.h"
#include "quellmar/core/function_ref.h"
#include "quellmar/core/result.h"
#include "quellmar/retrieval/vector_index.h"

namespace quellmar {

// vamana.idx layout, all integers little-endian: a 32-byte header, then one record per node.
inline constexpr char VAMANA_MAGIC[4] = {'V', 'A', 'M', 'G'};
inline constexpr uint32_t VAMANA_VERSION = 1;
inline constexpr size_t VAMANA_HEADER_SIZE = 32;  // magic, version, dim, max_degree, entry, count
inline constexpr size_t VAMANA_MAGIC_OFFSET = 0;
inline constexpr size_t VAMANA_VERSION_OFFSET = 4;
inline constexpr size_t VAMANA_DIM_OFFSET = 8;
inline constexpr size_t VAMANA_MAX_DEGREE_OFFSET = 12;
inline constexpr size_t VAMANA_ENTRY_OFFSET = 16;
inline constexpr size_t VAMANA_NODE_COUNT_OFFSET = 24;
// Node record: u64 CellId, u32 neighbour count n, then n u64 neighbour CellIds.
inline constexpr size_t VAMANA_NODE_FIXED_SIZE = 12;
inline constexpr size_t VAMANA_NEIGHBOUR_SIZE = 8;
// The entry CellId written when the index has no entry point.
inline constexpr uint64_t VAMANA_NO_ENTRY = UINT64_MAX;
static_assert(VAMANA_NODE_COUNT_OFFSET + 8 == VAMANA_HEADER_SIZE);
// After the node records, the key check: the magic "VKEY", u32 version 1, u64 node count, then one
// u64 digest per node, in node order, of the key the node was built with (vamana_key_digest).
// Readers that know nothing of it stop after the node records; a loader uses it to tell whether
// the keys it is given are those the graph was built over.
inline constexpr char VAMANA_KEYS_MAGIC[4] = {'V', 'K', 'E', 'Y'};
inline constexpr uint32_t VAMANA_KEYS_VERSION = 1;
inline constexpr size_t VAMANA_KEYS_HEADER_SIZE = 16;  // magic, version, node count
inline constexpr size_t VAMANA_KEY_DIGEST_SIZE = 8;

// The digest of a key that the key check stores: 64 bits over its length and the bit patterns of
// its values, the same on every machine.
uint64_t vamana_key_digest(std::span<const float> key);

// The degree and alpha the engine builds and loads with.
inline constexpr uint64_t VAMANA_MAX_DEGREE = 16;
inline constexpr float VAMANA_ALPHA = 1.2f;

// Builds over fewer nodes than this stay on the calling thread whatever thread count they are
// given: starting workers would cost about what they save.
inline constexpr size_t VAMANA_PARALLEL_MIN_NODES = 4096;

// Test hooks of the threaded build, process-wide: a test sets them before a build and puts them
// back after it.
struct VamanaBuildHooks {
  // Builds over fewer nodes stay on the calling thread.
  size_t min_parallel_nodes = VAMANA_PARALLEL_MIN_NODES;
  // Worker threads that start in each parallel step; starting the next one fails as when the
  // system refuses a thread.
  size_t thread_starts = SIZE_MAX;
  // Every worker thread of the scoring step throws std::bad_alloc as it starts.
  bool fail_in_workers = false;
};
VamanaBuildHooks& vamana_build_hooks_for_testing();

// The stored pooled key of a cell, for the load: null when the cell has none.
using VamanaKeyLookup = FunctionRef<const SharedKey*(CellId)>;

class VamanaIndex : public VectorIndex {
  friend class VamanaGroupBuild;  // the phases of build_groups (vamana_build.cc)
  friend class VamanaLoader;      // the steps of load (vamana_index.cc)

 public:
  VamanaIndex(uint64_t dim, uint64_t max_degree, float alpha);

  // Appends a node with a copy of key and no neighbours. key must have dim() values; a duplicate
  // cell id is an internal fault.
  void insert_node(CellId cell_id, std::span<const float> key);
  // The same, sharing the key instead of copying it.
  void insert_node(CellId cell_id, SharedKey key);
  // Builds every node's edges and the entry point; once any node has edges, only the entry point
  // is recomputed. Uses build_distinct_keys when every key has dim() values, else
  // build_all_pairs: both give the same graph.
  //
  // `threads` is how many threads the build may use, the calling thread among them: the blocked
  // build spreads its scoring (and most of the rest) over workers started for the call and
  // joined before it returns, never below VAMANA_PARALLEL_MIN_NODES nodes. The graph is the same
  // for every count. A thread that cannot be started leaves its share to the others; an
  // exception in a worker (std::bad_alloc, an internal fault) is rethrown on the calling thread
  // once every worker has stopped, with nothing built. build_all_pairs runs on the calling
  // thread only.
  void build(size_t threads = 1);
  // Exact all pairs: each node's neighbours are the min(max_degree, n - 1) best other nodes,
  // score descending, lower node index first on equal scores (NaN scores after every number).
  // The plain form, one row of scores per node.
  void build_all_pairs();
  // The same graph, scoring each distinct key (by bit pattern) once against every distinct key:
  // equal keys score equally, so the ranked list of one key serves all its nodes. The score
  // matrix is symmetric and is computed in blocks, each block feeding the ranked lists of its
  // rows and of its columns. Falls back to build_all_pairs when a key has another width.
  void build_distinct_keys(size_t threads = 1);
  // Builds the same edges and entry point as build(), reusing the lists of `saved`: a graph
  // built earlier over nodes of which those still here come in the same order, the keys of
  // the nodes the two share being unchanged (an engine's graph: ids ascending, records never
  // rewritten). A new node is ranked over all nodes; a saved node keeps its saved list merged
  // with the new nodes that enter it, or is ranked afresh when its list names a node that is
  // gone. The scores are those of build(), so ties break alike. Returns false, having built
  // nothing, when `saved` cannot be such a graph: another width or degree, ids out of order, a
  // list of another length or naming its own node, or lists that this index's keys rank
  // otherwise (those it merges, and a sample of the rest, are checked); build() is the way then.
  // Requires that no node has edges yet. `threads` as for build().
  bool build_reusing(const VamanaIndex& saved, size_t threads = 1);
  void compute_entry_point();

  // The beam search over node indices, best first.
  std::vector<std::pair<uint32_t, float>> beam_search(std::span<const float> query,
                                                      size_t list_size) const;

  // Writes dir/vamana.idx whole, key check included, under a temporary name of this save's own
  // (core/temp_file.h), flushes it to stable storage and renames it over the old file.
  Status save(const std::string& dir) const;
  // None when dir/vamana.idx does not exist. A node whose id `keys` has no key for gets dim
  // zeros (no more than the longest key found: further zeros would change no score, and a
  // damaged dim must not size them). The file's key check is held against the keys found
  // (key_check).
  static Result<std::optional<VamanaIndex>> load(const std::string& dir, VamanaKeyLookup keys);
  static Result<std::optional<VamanaIndex>> load(
      const std::string& dir, const std::unordered_map<CellId, std::vector<float>>& keys);
  // The largest node id of dir/vamana.idx below `below` (none without the file or without such
  // a node), reading the node records only; the failures are those of load.
  static Result<std::optional<CellId>> highest_saved_id(const std::string& dir, CellId below);
  // Removes the temporaries of earlier saves whose writers are gone (core/temp_file.h), and the
  // one of the legacy name when no save holds it.
  static void remove_stale_temps(const std::string& dir);

  // What a loaded graph's key check found: no check in the file (or one that does not read),
  // every node whose key the loader was given built over that very key, or some node built over
  // another key than the one given for its id. An index that was not loaded is Unchecked.
  enum class KeyCheck : uint8_t { Unchecked, Matched, Mismatched };
  KeyCheck key_check() const { return key_check_; }

  // VectorIndex: owner filters are ignored and every hit carries owner 0; remove does nothing;
  // insert adds the pooled key as a node when it has dim() values.
  std::vector<ScoredCell> search(std::span<const float> query, uint64_t k,
                                 std::optional<OwnerId> owner) const override;
  void insert(CellId cell_id, OwnerId owner, std::span<const float> key) override;
  // The same, the node sharing the pooled key instead of a copy of it.
  void insert_shared(CellId cell_id, OwnerId owner, const SharedKey& key,
                     const SharedKey& pooled) override;
  void remove(CellId cell_id) override;
  uint64_t len() const override { return ids_.size(); }
  bool is_empty() const override { return ids_.empty(); }
  std::vector<ScoredCell> search_excluding(std::span<const float> query, uint64_t k,
                                           std::optional<OwnerId> owner, const CellIdSet* exclude,
                                           const KeyFetcher* fetcher) const override;

  uint64_t dim() const { return dim_; }
  uint64_t max_degree() const { return max_degree_; }
  float alpha() const { return alpha_; }
  std::optional<uint32_t> entry_point() const { return entry_point_; }
  // Node i: its cell id, its key and its neighbours (node indices, best first).
  size_t node_count() const { return ids_.size(); }
  CellId node_cell_id(size_t i) const { return ids_[i]; }
  std::span<const float> node_key(size_t i) const { return *key_owners_[key_of_[i]]; }
  std::span<const uint32_t> neighbours(size_t i) const {
    return std::span<const uint32_t>(adjacency_)
        .subspan(adj_start_[i], adj_start_[i + 1] - adj_start_[i]);
  }
  // The seeds of a beam search over this index, in order.
  std::vector<uint32_t> seeds() const;

 private:
  void append_node(CellId cell_id, uint32_t key_owner);
  // The blocked distinct-key build, reusing `saved` when not null (build_reusing). False, having
  // built nothing, when a key has another width than dim(), or when `saved` does not fit.
  bool build_groups(const VamanaIndex* saved, size_t threads);
  // The mean of the node keys as the entry point takes it: key[j] / n added node by node.
  std::vector<float> key_mean() const;
  // Positions [j0, j1) of that mean, written to mean[j0 .. j1): each position sums on its own.
  void key_mean_slice(size_t j0, size_t j1, float* mean) const;
  // The node of a cell id (the last one for a repeated id), if any.
  std::optional<uint32_t> node_of(CellId cell_id) const;

  uint64_t dim_;
  uint64_t max_degree_;
  // As constructed (a load gives VAMANA_ALPHA: the file does not hold it); the exact build does
  // not use it.
  float alpha_;
  std::optional<uint32_t> entry_point_;
  std::vector<CellId> ids_;
  // Keys: node i's key is *key_owners_[key_of_[i]]; nodes that share a key share one owner.
  std::vector<SharedKey> key_owners_;
  std::vector<uint32_t> key_of_;
  // Neighbour lists back to back: node i's are adjacency_[adj_start_[i] .. adj_start_[i + 1]).
  std::vector<uint32_t, AlignedAllocator<uint32_t>> adjacency_;
  std::vector<uint64_t> adj_start_{0};
  // While the node ids ascend strictly (the engine's order), lookups are binary searches over
  // ids_; the hash map is built only once an id arrives out of order.
  bool ids_ascending_ = true;
  std::unordered_map<CellId, uint32_t> id_map_;
  KeyCheck key_check_ = KeyCheck::Unchecked;
};

}  // namespace quellmar
