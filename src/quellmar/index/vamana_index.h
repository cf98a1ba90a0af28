#pragma once

// The graph retrieval stage: a proximity graph over pooled keys with at most max_degree out-edges
// per node, built exactly (each node's best neighbours by raw dot product over all others) and
// searched by a multi-seed greedy beam search. Saved whole to vamana.idx.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

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

// The degree and alpha the engine builds and loads with.
inline constexpr uint64_t VAMANA_MAX_DEGREE = 16;
inline constexpr float VAMANA_ALPHA = 1.2f;

class VamanaIndex : public VectorIndex {
 public:
  struct Node {
    std::vector<float> key;
    std::vector<uint32_t> neighbours;  // node indices, best first
    CellId cell_id = 0;
  };

  VamanaIndex(uint64_t dim, uint64_t max_degree, float alpha);

  // Appends a node with a copy of key and no neighbours. key must have dim() values; a duplicate
  // cell id is an internal fault.
  void insert_node(CellId cell_id, std::span<const float> key);
  // Builds every node's edges and the entry point; once any node has edges, only the entry point
  // is recomputed. Picks build_distinct_keys when at most half of the keys are distinct, else
  // build_all_pairs: both give the same graph.
  void build();
  // Exact all pairs: each node's neighbours are the min(max_degree, n - 1) best other nodes,
  // score descending, lower node index first on equal scores (NaN scores after every number).
  void build_all_pairs();
  // The same graph, scoring each distinct key (by bit pattern) once against every distinct key:
  // equal keys score equally, so the ranked list of one key serves all its nodes.
  void build_distinct_keys();
  void compute_entry_point();

  // The beam search over node indices, best first.
  std::vector<std::pair<uint32_t, float>> beam_search(std::span<const float> query,
                                                      size_t list_size) const;

  // Rewrites dir/vamana.idx whole, then flushes it to stable storage.
  Status save(const std::string& dir) const;
  // None when dir/vamana.idx does not exist. A node whose id `keys` lacks gets dim zeros (no
  // more than the longest key of `keys`: further zeros would change no score).
  static Result<std::optional<VamanaIndex>> load(
      const std::string& dir, const std::unordered_map<CellId, std::vector<float>>& keys);

  // VectorIndex: owner filters are ignored and every hit carries owner 0; remove does nothing;
  // insert adds the pooled key as a node when it has dim() values.
  std::vector<ScoredCell> search(std::span<const float> query, uint64_t k,
                                 std::optional<OwnerId> owner) const override;
  void insert(CellId cell_id, OwnerId owner, std::span<const float> key) override;
  void remove(CellId cell_id) override;
  uint64_t len() const override { return nodes_.size(); }
  bool is_empty() const override { return nodes_.empty(); }
  std::vector<ScoredCell> search_excluding(std::span<const float> query, uint64_t k,
                                           std::optional<OwnerId> owner, const CellIdSet* exclude,
                                           const KeyFetcher* fetcher) const override;

  uint64_t dim() const { return dim_; }
  uint64_t max_degree() const { return max_degree_; }
  float alpha() const { return alpha_; }
  std::optional<uint32_t> entry_point() const { return entry_point_; }
  const std::vector<Node>& nodes() const { return nodes_; }
  // The seeds of a beam search over this index, in order.
  std::vector<uint32_t> seeds() const;

 private:
  uint64_t dim_;
  uint64_t max_degree_;
  float alpha_;  // kept for the file's sake; the exact build does not use it
  std::optional<uint32_t> entry_point_;
  std::vector<Node> nodes_;
  std::unordered_map<CellId, uint32_t> id_map_;
};

}  // namespace quellmar
