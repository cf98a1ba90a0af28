#include "quellmar/index/vamana_index.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <string_view>
#include <unordered_set>

#include "quellmar/core/coding.h"
#include "quellmar/core/file_names.h"
#include "quellmar/core/internal_fault.h"
#include "quellmar/core/posix_file.h"
#include "quellmar/core/str_cat.h"
#include "quellmar/retrieval/key_view.h"
#include "quellmar/retrieval/simd_distance.h"

namespace quellmar {
namespace {

// Raw dot product over the common prefix, summed in f32 in index order.
inline float prefix_dot(std::span<const float> a, std::span<const float> b) {
  return dot_f32(a.data(), b.data(), std::min(a.size(), b.size()));
}

std::string_view key_bytes(const std::vector<float>& key) {
  return {reinterpret_cast<const char*>(key.data()), key.size() * sizeof(float)};
}

// Queries scored per pass of the panel kernel: enough to reuse each loaded panel several times.
constexpr size_t QUERY_BLOCK = 8;

// Scores query keys against target keys in blocks: for each block of queries, `emit(q, scores)`
// receives query q's scores against every target (in target order). Uses the panel kernel when
// every key has exactly `dim` values, else the scalar prefix dot product; both sum in index order,
// so the scores are the same.
template <typename Emit>
void score_all_pairs(const std::vector<const std::vector<float>*>& keys, uint64_t dim,
                     Emit&& emit) {
  const size_t n = keys.size();
  bool uniform = dim > 0;
  for (const auto* k : keys) uniform = uniform && k->size() == dim;
  std::vector<float> scores;
  if (!uniform) {
    scores.resize(n);
    for (size_t q = 0; q < n; ++q) {
      for (size_t t = 0; t < n; ++t) scores[t] = prefix_dot(*keys[q], *keys[t]);
      emit(q, scores.data());
    }
    return;
  }
  const size_t n_panels = f32_panel_count(n);
  const size_t row_stride = n_panels * F32_PANEL_WIDTH;
  std::vector<float> panels(n_panels * dim * F32_PANEL_WIDTH, 0.0f);
  for (size_t t = 0; t < n; ++t) store_panel_row(panels.data(), dim, t, keys[t]->data());
  std::vector<float> queries(QUERY_BLOCK * dim);
  scores.resize(QUERY_BLOCK * row_stride);
  for (size_t q0 = 0; q0 < n; q0 += QUERY_BLOCK) {
    const size_t nq = std::min(QUERY_BLOCK, n - q0);
    for (size_t j = 0; j < nq; ++j) {
      std::memcpy(&queries[j * dim], keys[q0 + j]->data(), dim * sizeof(float));
    }
    dot_f32_panels(queries.data(), nq, dim, panels.data(), n_panels, dim, scores.data(),
                   row_stride);
    for (size_t j = 0; j < nq; ++j) emit(q0 + j, &scores[j * row_stride]);
  }
}

}  // namespace

VamanaIndex::VamanaIndex(uint64_t dim, uint64_t max_degree, float alpha)
    : dim_(dim), max_degree_(max_degree), alpha_(alpha) {}

void VamanaIndex::insert_node(CellId cell_id, std::span<const float> key) {
  if (id_map_.contains(cell_id)) {
    throw InternalFault(str_cat("duplicate CellId ", cell_id, " in VamanaIndex"));
  }
  QM_CHECK(nodes_.size() < UINT32_MAX);
  id_map_.emplace(cell_id, static_cast<uint32_t>(nodes_.size()));
  nodes_.push_back(Node{std::vector<float>(key.begin(), key.end()), {}, cell_id});
}

void VamanaIndex::compute_entry_point() {
  if (nodes_.empty()) return;
  const float n = static_cast<float>(nodes_.size());
  std::vector<float> mean(dim_, 0.0f);
  for (const Node& node : nodes_) {
    const size_t m = std::min<size_t>(node.key.size(), dim_);
    for (size_t j = 0; j < m; ++j) mean[j] += node.key[j] / n;
  }
  std::optional<uint32_t> best;
  float best_score = -std::numeric_limits<float>::infinity();
  for (size_t i = 0; i < nodes_.size(); ++i) {
    const std::vector<float>& key = nodes_[i].key;
    float s = dot_f32(key.data(), mean.data(), std::min<size_t>(key.size(), dim_));
    if (s > best_score) {
      best_score = s;
      best = static_cast<uint32_t>(i);
    }
  }
  entry_point_ = best.value_or(0);
}

void VamanaIndex::build() {
  if (nodes_.empty()) return;
  for (const Node& node : nodes_) {
    if (!node.neighbours.empty()) {
      compute_entry_point();
      return;
    }
  }
  std::unordered_set<std::string_view> distinct;
  distinct.reserve(nodes_.size());
  for (const Node& node : nodes_) distinct.insert(key_bytes(node.key));
  if (distinct.size() * 2 <= nodes_.size()) {
    build_distinct_keys();
  } else {
    build_all_pairs();
  }
}

void VamanaIndex::build_all_pairs() {
  if (nodes_.empty()) return;
  compute_entry_point();
  const size_t n = nodes_.size();
  const size_t degree = std::min<uint64_t>(max_degree_, n - 1);
  std::vector<const std::vector<float>*> keys;
  keys.reserve(n);
  for (const Node& node : nodes_) keys.push_back(&node.key);
  // Every other node may be a neighbour: the node itself is masked out of its own ranking.
  std::vector<uint8_t> others(n, 1);
  std::vector<ScoredIndex> best(degree);
  score_all_pairs(keys, dim_, [&](size_t i, const float* scores) {
    others[i] = 0;
    size_t kept = top_k_scores(scores, others.data(), n, degree, best.data());
    others[i] = 1;
    std::vector<uint32_t>& out = nodes_[i].neighbours;
    out.clear();
    for (size_t r = 0; r < kept; ++r) out.push_back(best[r].index);
  });
}

void VamanaIndex::build_distinct_keys() {
  if (nodes_.empty()) return;
  compute_entry_point();
  const size_t n = nodes_.size();
  const size_t degree = std::min<uint64_t>(max_degree_, n - 1);
  // Group the nodes by key bit pattern; members stay in ascending node order.
  std::unordered_map<std::string_view, uint32_t> group_of;
  std::vector<const std::vector<float>*> reps;
  std::vector<std::vector<uint32_t>> members;
  for (size_t i = 0; i < n; ++i) {
    auto [it, fresh] =
        group_of.emplace(key_bytes(nodes_[i].key), static_cast<uint32_t>(reps.size()));
    if (fresh) {
      reps.push_back(&nodes_[i].key);
      members.emplace_back();
    }
    members[it->second].push_back(static_cast<uint32_t>(i));
  }
  const size_t u_count = reps.size();
  // The best degree + 1 nodes of a key's ranked list cover every member's own list, whatever
  // member is left out as the node itself.
  const size_t want = degree + 1;
  std::vector<ScoredIndex> groups, candidates;
  std::vector<uint8_t> included(u_count, 0);
  std::vector<uint32_t> included_list;
  score_all_pairs(reps, dim_, [&](size_t u, const float* scores) {
    groups.clear();
    for (size_t w = 0; w < u_count; ++w) groups.push_back({scores[w], static_cast<uint32_t>(w)});
    size_t top = select_top_k(groups.data(), groups.size(), want);
    // Walk the best groups until they hold `want` nodes; then every group that ties the last one
    // taken must join, since its members may have lower node indices.
    size_t taken = 0, nodes_taken = 0;
    while (taken < top && nodes_taken < want) nodes_taken += members[groups[taken++].index].size();
    const uint32_t cut = score_rank_key(groups[taken - 1].score);
    candidates.clear();
    included_list.clear();
    auto add_group = [&](uint32_t w) {
      included[w] = 1;
      included_list.push_back(w);
      const std::vector<uint32_t>& m = members[w];
      // Members share one score; only the lowest `want` indices can place.
      for (size_t r = 0; r < std::min(want, m.size()); ++r) candidates.push_back({scores[w], m[r]});
    };
    for (size_t g = 0; g < taken; ++g) add_group(groups[g].index);
    for (size_t w = 0; w < u_count; ++w) {
      if (!included[w] && score_rank_key(scores[w]) == cut) add_group(static_cast<uint32_t>(w));
    }
    for (uint32_t w : included_list) included[w] = 0;
    size_t kept = select_top_k(candidates.data(), candidates.size(), want);
    for (uint32_t i : members[u]) {
      std::vector<uint32_t>& out = nodes_[i].neighbours;
      out.clear();
      for (size_t r = 0; r < kept && out.size() < degree; ++r) {
        if (candidates[r].index != i) out.push_back(candidates[r].index);
      }
    }
  });
}

std::vector<uint32_t> VamanaIndex::seeds() const {
  std::vector<uint32_t> out;
  const size_t n = nodes_.size();
  if (n == 0) return out;
  const size_t s = n < 100 ? 1 : std::min<size_t>(n / 100, 10);
  const size_t stride = n / s;
  out.push_back(entry_point_.value_or(0));
  for (size_t i = 1; i < s; ++i) out.push_back(static_cast<uint32_t>(i * stride));
  return out;
}

std::vector<std::pair<uint32_t, float>> VamanaIndex::beam_search(std::span<const float> query,
                                                                 size_t list_size) const {
  struct Candidate {
    uint32_t node;
    float score;
    bool expanded;
  };
  std::vector<std::pair<uint32_t, float>> out;
  if (nodes_.empty()) return out;
  std::vector<uint8_t> visited(nodes_.size(), 0);
  std::vector<Candidate> list;
  auto visit = [&](uint32_t node) {
    visited[node] = 1;
    list.push_back({node, prefix_dot(query, nodes_[node].key), false});
  };
  for (uint32_t seed : seeds()) {
    if (!visited[seed]) visit(seed);
  }
  for (;;) {
    // The highest unexpanded score; among equal scores the last in list order.
    std::optional<size_t> pick;
    for (size_t c = 0; c < list.size(); ++c) {
      if (list[c].expanded) continue;
      if (!pick || !(list[*pick].score > list[c].score)) pick = c;
    }
    if (!pick) break;
    list[*pick].expanded = true;
    const uint32_t node = list[*pick].node;
    for (uint32_t nb : nodes_[node].neighbours) {
      if (!visited[nb]) visit(nb);
    }
    std::stable_sort(list.begin(), list.end(), [](const Candidate& a, const Candidate& b) {
      return score_rank_key(a.score) > score_rank_key(b.score);
    });
    if (list.size() > list_size) list.resize(list_size);
  }
  out.reserve(list.size());
  for (const Candidate& c : list) out.emplace_back(c.node, c.score);
  return out;
}

std::vector<ScoredCell> VamanaIndex::search(std::span<const float> query, uint64_t k,
                                            std::optional<OwnerId> /*owner*/) const {
  std::vector<ScoredCell> out;
  std::optional<KeyView> view = classify_key(query);
  // A malformed query is searched as the empty vector: every node scores zero.
  std::vector<float> pooled = view ? view->mean_pooled() : std::vector<float>{};
  if (nodes_.empty()) return out;
  const uint64_t wider = std::max<uint64_t>(max_degree_, k);
  const uint64_t list_size = wider > UINT64_MAX / 2 ? UINT64_MAX : 2 * wider;
  std::vector<std::pair<uint32_t, float>> found = beam_search(pooled, list_size);
  const size_t take = std::min<uint64_t>(k, found.size());
  out.reserve(take);
  for (size_t i = 0; i < take; ++i)
    out.push_back({nodes_[found[i].first].cell_id, 0, found[i].second});
  return out;
}

void VamanaIndex::insert(CellId cell_id, OwnerId /*owner*/, std::span<const float> key) {
  std::optional<KeyView> view = classify_key(key);
  if (!view) return;
  std::vector<float> pooled = view->mean_pooled();
  if (pooled.size() != dim_) return;
  insert_node(cell_id, pooled);
}

void VamanaIndex::remove(CellId /*cell_id*/) {}

std::vector<ScoredCell> VamanaIndex::search_excluding(std::span<const float> query, uint64_t k,
                                                      std::optional<OwnerId> owner,
                                                      const CellIdSet* /*exclude*/,
                                                      const KeyFetcher* /*fetcher*/) const {
  return search(query, k, owner);
}

Status VamanaIndex::save(const std::string& dir) const {
  // Written under a temporary name and renamed over the old file once it is on stable storage:
  // a crash part way leaves the previous file (or none), never a torn one that fails every later
  // open.
  const std::string final_path = str_cat(dir, "/", VAMANA_FILE);
  const std::string path = str_cat(final_path, ".tmp");
  QM_ASSIGN_OR_RETURN(UniqueFd fd, open_truncate(path));
  BufferedWriter writer(fd, path);
  uint8_t header[VAMANA_HEADER_SIZE];
  std::memcpy(header + VAMANA_MAGIC_OFFSET, VAMANA_MAGIC, sizeof VAMANA_MAGIC);
  encode_u32(header + VAMANA_VERSION_OFFSET, VAMANA_VERSION);
  encode_u32(header + VAMANA_DIM_OFFSET, static_cast<uint32_t>(dim_));
  encode_u32(header + VAMANA_MAX_DEGREE_OFFSET, static_cast<uint32_t>(max_degree_));
  encode_u64(header + VAMANA_ENTRY_OFFSET,
             entry_point_ ? nodes_[*entry_point_].cell_id : VAMANA_NO_ENTRY);
  encode_u64(header + VAMANA_NODE_COUNT_OFFSET, nodes_.size());
  QM_RETURN_IF_ERROR(writer.append(header, sizeof header));
  std::string record;
  for (const Node& node : nodes_) {
    record.clear();
    put_u64(record, node.cell_id);
    put_u32(record, static_cast<uint32_t>(node.neighbours.size()));
    for (uint32_t nb : node.neighbours) put_u64(record, nodes_[nb].cell_id);
    QM_RETURN_IF_ERROR(writer.append(record.data(), record.size()));
  }
  QM_RETURN_IF_ERROR(writer.flush());
  QM_RETURN_IF_ERROR(full_sync(fd, path));
  QM_RETURN_IF_ERROR(fd.close());
  QM_RETURN_IF_ERROR(rename_path(path, final_path));
  return sync_dir(dir);
}

namespace {

// Reads fixed-width fields front to back; running past the end is the short-read error.
class Reader {
 public:
  explicit Reader(std::string_view bytes) : bytes_(bytes) {}
  size_t remaining() const { return bytes_.size() - pos_; }
  Status take(size_t n, const uint8_t** out) {
    if (remaining() < n) return EngineError::io(IoError::unexpected_eof());
    *out = reinterpret_cast<const uint8_t*>(bytes_.data() + pos_);
    pos_ += n;
    return Status::ok();
  }
  Result<uint32_t> u32() {
    const uint8_t* p = nullptr;
    QM_RETURN_IF_ERROR(take(4, &p));
    return decode_u32(p);
  }
  Result<uint64_t> u64() {
    const uint8_t* p = nullptr;
    QM_RETURN_IF_ERROR(take(8, &p));
    return decode_u64(p);
  }

 private:
  std::string_view bytes_;
  size_t pos_ = 0;
};

}  // namespace

Result<std::optional<VamanaIndex>> VamanaIndex::load(
    const std::string& dir, const std::unordered_map<CellId, std::vector<float>>& keys) {
  const std::string path = str_cat(dir, "/", VAMANA_FILE);
  if (!path_exists(path)) return std::optional<VamanaIndex>();
  // The whole file, once: every count below is checked against the bytes it holds before
  // anything is sized from it.
  QM_ASSIGN_OR_RETURN(std::string bytes, read_whole_file(path));
  Reader in(bytes);
  const uint8_t* magic = nullptr;
  QM_RETURN_IF_ERROR(in.take(sizeof VAMANA_MAGIC, &magic));
  if (std::memcmp(magic, VAMANA_MAGIC, sizeof VAMANA_MAGIC) != 0) {
    return EngineError::io(IoError::invalid_data("bad vamana magic"));
  }
  QM_ASSIGN_OR_RETURN(uint32_t version, in.u32());
  if (version != VAMANA_VERSION) {
    return EngineError::io(IoError::invalid_data("unsupported vamana version"));
  }
  QM_ASSIGN_OR_RETURN(uint32_t dim, in.u32());
  QM_ASSIGN_OR_RETURN(uint32_t max_degree, in.u32());
  QM_ASSIGN_OR_RETURN(uint64_t entry_id, in.u64());
  QM_ASSIGN_OR_RETURN(uint64_t count, in.u64());

  // A node without a key gets zeros. Scores are taken over the common prefix, so zeros beyond
  // the longest key the caller has change no score: a damaged `dim` must not size them.
  size_t longest_key = 0;
  for (const auto& [id, key] : keys) longest_key = std::max(longest_key, key.size());
  const size_t zero_len = static_cast<size_t>(std::min<uint64_t>(dim, longest_key));

  VamanaIndex index(dim, max_degree, VAMANA_ALPHA);
  // Node ids and neighbour ids as the file gives them, translated once all nodes are known.
  std::vector<std::vector<CellId>> neighbour_ids;
  const uint64_t fits = in.remaining() / VAMANA_NODE_FIXED_SIZE;
  index.nodes_.reserve(std::min(count, fits));
  neighbour_ids.reserve(std::min(count, fits));
  for (uint64_t i = 0; i < count; ++i) {
    QM_ASSIGN_OR_RETURN(uint64_t id, in.u64());
    QM_ASSIGN_OR_RETURN(uint32_t n, in.u32());
    if (in.remaining() / VAMANA_NEIGHBOUR_SIZE < n) {
      return EngineError::io(IoError::unexpected_eof());
    }
    std::vector<CellId> ids(n);
    for (uint32_t j = 0; j < n; ++j) ids[j] = in.u64().value();
    if (index.nodes_.size() >= UINT32_MAX) {
      return EngineError::io(IoError::invalid_data("too many vamana nodes"));
    }
    Node node;
    node.cell_id = id;
    auto it = keys.find(id);
    node.key = it != keys.end() ? it->second : std::vector<float>(zero_len, 0.0f);
    index.id_map_[id] = static_cast<uint32_t>(index.nodes_.size());  // a repeated id: last wins
    index.nodes_.push_back(std::move(node));
    neighbour_ids.push_back(std::move(ids));
  }
  for (size_t i = 0; i < index.nodes_.size(); ++i) {
    std::vector<uint32_t>& out = index.nodes_[i].neighbours;
    out.reserve(neighbour_ids[i].size());
    for (CellId id : neighbour_ids[i]) {
      auto it = index.id_map_.find(id);
      if (it != index.id_map_.end()) out.push_back(it->second);
    }
  }
  if (entry_id != VAMANA_NO_ENTRY) {
    auto it = index.id_map_.find(entry_id);
    if (it != index.id_map_.end()) index.entry_point_ = it->second;
  }
  return std::optional<VamanaIndex>(std::move(index));
}

}  // namespace quellmar
