#include "quellmar/index/vamana_index.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <string_view>
#include <unordered_set>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

std::string_view key_bytes(std::span<const float> key) {
  return {reinterpret_cast<const char*>(key.data()), key.size() * sizeof(float)};
}

// Queries scored per pass of the panel kernel: enough to reuse each loaded panel several times.
constexpr size_t QUERY_BLOCK = 8;

// Scores query keys against target keys in blocks: for each block of queries, `emit(q, scores)`
// receives query q's scores against every target (in target order). Uses the panel kernel when
// every key has exactly `dim` values, else the scalar prefix dot product; both sum in index order,
// so the scores are the same.
template <typename Emit>
void score_all_pairs(const std::vector<std::span<const float>>& keys, uint64_t dim, Emit&& emit) {
  const size_t n = keys.size();
  bool uniform = dim > 0;
  for (const auto& k : keys) uniform = uniform && k.size() == dim;
  std::vector<float> scores;
  if (!uniform) {
    scores.resize(n);
    for (size_t q = 0; q < n; ++q) {
      for (size_t t = 0; t < n; ++t) scores[t] = prefix_dot(keys[q], keys[t]);
      emit(q, scores.data());
    }
    return;
  }
  const size_t n_panels = f32_panel_count(n);
  const size_t row_stride = n_panels * F32_PANEL_WIDTH;
  std::vector<float> panels(n_panels * dim * F32_PANEL_WIDTH, 0.0f);
  for (size_t t = 0; t < n; ++t) store_panel_row(panels.data(), dim, t, keys[t].data());
  std::vector<float> queries(QUERY_BLOCK * dim);
  scores.resize(QUERY_BLOCK * row_stride);
  for (size_t q0 = 0; q0 < n; q0 += QUERY_BLOCK) {
    const size_t nq = std::min(QUERY_BLOCK, n - q0);
    for (size_t j = 0; j < nq; ++j) {
      std::memcpy(&queries[j * dim], keys[q0 + j].data(), dim * sizeof(float));
    }
    dot_f32_panels(queries.data(), nq, dim, panels.data(), n_panels, dim, scores.data(),
                   row_stride);
    for (size_t j = 0; j < nq; ++j) emit(q0 + j, &scores[j * row_stride]);
  }
}

// A node's place in a ranked list as one number: larger is better. Score rank first, then the
// lower node index.
inline uint64_t node_rank(uint32_t score_key, uint32_t node) {
  return (uint64_t{score_key} << 32) | (UINT32_MAX - node);
}
inline uint32_t node_of_rank(uint64_t rank) { return UINT32_MAX - static_cast<uint32_t>(rank); }

// The lowest score that can still enter a full list whose last entry has rank key `key`: every
// score below it (as a float comparison) ranks strictly after that entry. When the last entry is
// NaN anything can enter, and no score is below minus infinity.
float entry_threshold(uint32_t key) {
  if (key == 0) return -std::numeric_limits<float>::infinity();
  const uint32_t bits = (key & 0x80000000u) ? (key & 0x7FFFFFFFu) : ~key;
  return __builtin_bit_cast(float, bits);
}

}  // namespace

VamanaIndex::VamanaIndex(uint64_t dim, uint64_t max_degree, float alpha)
    : dim_(dim), max_degree_(max_degree), alpha_(alpha) {}

std::optional<uint32_t> VamanaIndex::node_of(CellId cell_id) const {
  if (!ids_ascending_) {
    auto it = id_map_.find(cell_id);
    if (it == id_map_.end()) return std::nullopt;
    return it->second;
  }
  auto it = std::lower_bound(ids_.begin(), ids_.end(), cell_id);
  if (it == ids_.end() || *it != cell_id) return std::nullopt;
  return static_cast<uint32_t>(it - ids_.begin());
}

void VamanaIndex::append_node(CellId cell_id, uint32_t key_owner) {
  const auto index = static_cast<uint32_t>(ids_.size());
  if (ids_ascending_ && !ids_.empty() && cell_id <= ids_.back()) {
    ids_ascending_ = false;
    id_map_.reserve(ids_.size() + 1);
    for (size_t i = 0; i < ids_.size(); ++i) id_map_[ids_[i]] = static_cast<uint32_t>(i);
  }
  if (!ids_ascending_) id_map_[cell_id] = index;  // a repeated id (only from a file): last wins
  ids_.push_back(cell_id);
  key_of_.push_back(key_owner);
  adj_start_.push_back(adjacency_.size());
}

void VamanaIndex::insert_node(CellId cell_id, std::span<const float> key) {
  insert_node(cell_id, SharedKey(std::vector<float>(key.begin(), key.end())));
}

void VamanaIndex::insert_node(CellId cell_id, SharedKey key) {
  QM_CHECK(static_cast<bool>(key));
  if (node_of(cell_id)) {
    throw InternalFault(str_cat("duplicate CellId ", cell_id, " in VamanaIndex"));
  }
  QM_CHECK(ids_.size() < UINT32_MAX);
  // Consecutive nodes that share one key (a pack's cells) share one owner.
  if (key_owners_.empty() || key_owners_.back() != key) key_owners_.push_back(std::move(key));
  append_node(cell_id, static_cast<uint32_t>(key_owners_.size() - 1));
}

void VamanaIndex::compute_entry_point() {
  if (ids_.empty()) return;
  const float n = static_cast<float>(ids_.size());
  std::vector<float> mean(dim_, 0.0f);
  for (size_t i = 0; i < ids_.size(); ++i) {
    std::span<const float> key = node_key(i);
    const size_t m = std::min<size_t>(key.size(), dim_);
    for (size_t j = 0; j < m; ++j) mean[j] += key[j] / n;
  }
  std::optional<uint32_t> best;
  float best_score = -std::numeric_limits<float>::infinity();
  for (size_t i = 0; i < ids_.size(); ++i) {
    std::span<const float> key = node_key(i);
    float s = dot_f32(key.data(), mean.data(), std::min<size_t>(key.size(), dim_));
    if (s > best_score) {
      best_score = s;
      best = static_cast<uint32_t>(i);
    }
  }
  entry_point_ = best.value_or(0);
}

void VamanaIndex::build() {
  if (ids_.empty()) return;
  if (!adjacency_.empty()) {
    compute_entry_point();
    return;
  }
  build_distinct_keys();
}

void VamanaIndex::build_all_pairs() {
  if (ids_.empty()) return;
  compute_entry_point();
  const size_t n = ids_.size();
  const size_t degree = std::min<uint64_t>(max_degree_, n - 1);
  std::vector<std::span<const float>> keys;
  keys.reserve(n);
  for (size_t i = 0; i < n; ++i) keys.push_back(node_key(i));
  // Every other node may be a neighbour: the node itself is masked out of its own ranking.
  std::vector<uint8_t> others(n, 1);
  std::vector<ScoredIndex> best(degree);
  std::vector<std::vector<uint32_t>> lists(n);
  score_all_pairs(keys, dim_, [&](size_t i, const float* scores) {
    others[i] = 0;
    size_t kept = top_k_scores(scores, others.data(), n, degree, best.data());
    others[i] = 1;
    for (size_t r = 0; r < kept; ++r) lists[i].push_back(best[r].index);
  });
  adjacency_.clear();
  for (size_t i = 0; i < n; ++i) {
    adj_start_[i] = adjacency_.size();
    adjacency_.insert(adjacency_.end(), lists[i].begin(), lists[i].end());
  }
  adj_start_[n] = adjacency_.size();
}

void VamanaIndex::build_distinct_keys() {
  const size_t n = ids_.size();
  if (n == 0) return;
  for (size_t i = 0; i < n; ++i) {
    if (dim_ == 0 || node_key(i).size() != dim_) {
      build_all_pairs();
      return;
    }
  }
  compute_entry_point();
  const size_t degree = std::min<uint64_t>(max_degree_, n - 1);
  // The best degree + 1 nodes of a key's ranked list cover every member's own list, whatever
  // member is left out as the node itself.
  const size_t want = degree + 1;

  // Distinct keys: nodes sharing a key owner are equal; owners are then grouped by bit pattern.
  std::vector<uint32_t> group_of_owner(key_owners_.size(), UINT32_MAX);
  std::unordered_map<std::string_view, uint32_t> by_bytes;
  by_bytes.reserve(key_owners_.size());
  std::vector<const float*> reps;
  std::vector<uint32_t> group(n);
  for (size_t i = 0; i < n; ++i) {
    uint32_t& g = group_of_owner[key_of_[i]];
    if (g == UINT32_MAX) {
      const std::span<const float> key = *key_owners_[key_of_[i]];
      auto [it, fresh] = by_bytes.emplace(key_bytes(key), static_cast<uint32_t>(reps.size()));
      if (fresh) reps.push_back(key.data());
      g = it->second;
    }
    group[i] = g;
  }
  const size_t u_count = reps.size();
  // Members of each group, ascending: members[member_start[w] ..  member_start[w + 1]).
  std::vector<uint32_t> member_start(u_count + 1, 0), members(n);
  for (size_t i = 0; i < n; ++i) member_start[group[i] + 1] += 1;
  for (size_t w = 0; w < u_count; ++w) member_start[w + 1] += member_start[w];
  {
    std::vector<uint32_t> cursor(member_start.begin(), member_start.end() - 1);
    for (size_t i = 0; i < n; ++i) members[cursor[group[i]]++] = static_cast<uint32_t>(i);
  }

  // Each distinct key's best `want` nodes, best first, as node_rank values; `threshold` is the
  // score below which nothing enters the list any more.
  std::vector<uint64_t> top(u_count * want);
  std::vector<uint32_t> filled(u_count, 0);
  std::vector<float> threshold(u_count, -std::numeric_limits<float>::infinity());
  // Offers the members of key w, all scoring `score`, to the list of key `row`. Members come in
  // ascending order, so once one fails to enter the rest fail too.
  auto offer = [&](size_t row, size_t w, float score) {
    const uint32_t key = score_rank_key(score);
    uint64_t* list = &top[row * want];
    uint32_t& count = filled[row];
    const uint32_t* m = &members[member_start[w]];
    const size_t m_count = std::min<size_t>(want, member_start[w + 1] - member_start[w]);
    bool changed = false;
    for (size_t r = 0; r < m_count; ++r) {
      const uint64_t rank = node_rank(key, m[r]);
      if (count == want && rank <= list[want - 1]) break;
      size_t j = count < want ? count++ : want - 1;
      while (j > 0 && list[j - 1] < rank) {
        list[j] = list[j - 1];
        --j;
      }
      list[j] = rank;
      changed = true;
    }
    if (changed && count == want) threshold[row] = entry_threshold(list[want - 1] >> 32);
  };

  // The symmetric score matrix in square blocks of TILE keys: block (b, c) with c >= b feeds its
  // rows' lists with its columns and, off the diagonal, its columns' lists with its rows.
  constexpr size_t TILE = 128;
  static_assert(TILE % F32_PANEL_WIDTH == 0);
  std::vector<float> rows(u_count * dim_);
  const size_t n_panels = f32_panel_count(u_count);
  std::vector<float> panels(n_panels * dim_ * F32_PANEL_WIDTH, 0.0f);
  for (size_t w = 0; w < u_count; ++w) {
    std::memcpy(&rows[w * dim_], reps[w], dim_ * sizeof(float));
    store_panel_row(panels.data(), dim_, w, reps[w]);
  }
  std::vector<float> tile(TILE * TILE);
  for (size_t b0 = 0; b0 < u_count; b0 += TILE) {
    const size_t nr = std::min(TILE, u_count - b0);
    for (size_t c0 = b0; c0 < u_count; c0 += TILE) {
      const size_t nc = std::min(TILE, u_count - c0);
      dot_f32_panels(&rows[b0 * dim_], nr, dim_,
                     &panels[(c0 / F32_PANEL_WIDTH) * dim_ * F32_PANEL_WIDTH], f32_panel_count(nc),
                     dim_, tile.data(), TILE);
      const bool diagonal = c0 == b0;
      const float* col_threshold = &threshold[c0];
      for (size_t a = 0; a < nr; ++a) {
        const float* s = &tile[a * TILE];
        const size_t row = b0 + a;
        size_t b = 0;
#if defined(__SSE2__)
        // Four scores at a time: a lane goes on only when it is not below the threshold of the
        // row's list or (off the diagonal) of its column's list.
        for (; b + 4 <= nc; b += 4) {
          const __m128 v = _mm_loadu_ps(s + b);
          __m128 pass = _mm_cmpnlt_ps(v, _mm_set1_ps(threshold[row]));
          if (!diagonal) pass = _mm_or_ps(pass, _mm_cmpnlt_ps(v, _mm_loadu_ps(col_threshold + b)));
          int mask = _mm_movemask_ps(pass);
          while (mask != 0) {
            const size_t lane = b + static_cast<size_t>(__builtin_ctz(static_cast<unsigned>(mask)));
            mask &= mask - 1;
            if (!(s[lane] < threshold[row])) offer(row, c0 + lane, s[lane]);
            if (!diagonal && !(s[lane] < col_threshold[lane])) offer(c0 + lane, row, s[lane]);
          }
        }
#endif
        for (; b < nc; ++b) {
          if (!(s[b] < threshold[row])) offer(row, c0 + b, s[b]);
          if (!diagonal && !(s[b] < col_threshold[b])) offer(c0 + b, row, s[b]);
        }
      }
    }
  }

  // Every member of a key takes the key's list without itself, cut at the degree.
  adjacency_.clear();
  adjacency_.reserve(n * degree);
  for (size_t i = 0; i < n; ++i) {
    adj_start_[i] = adjacency_.size();
    const uint64_t* list = &top[group[i] * want];
    size_t taken = 0;
    for (size_t r = 0; r < filled[group[i]] && taken < degree; ++r) {
      const uint32_t node = node_of_rank(list[r]);
      if (node == i) continue;
      adjacency_.push_back(node);
      ++taken;
    }
  }
  adj_start_[n] = adjacency_.size();
}

std::vector<uint32_t> VamanaIndex::seeds() const {
  std::vector<uint32_t> out;
  const size_t n = ids_.size();
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
  if (ids_.empty()) return out;
  std::vector<uint8_t> visited(ids_.size(), 0);
  std::vector<Candidate> list;
  auto visit = [&](uint32_t node) {
    visited[node] = 1;
    list.push_back({node, prefix_dot(query, node_key(node)), false});
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
    for (uint32_t nb : neighbours(node)) {
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
  if (ids_.empty()) return out;
  const uint64_t wider = std::max<uint64_t>(max_degree_, k);
  const uint64_t list_size = wider > UINT64_MAX / 2 ? UINT64_MAX : 2 * wider;
  std::vector<std::pair<uint32_t, float>> found = beam_search(pooled, list_size);
  const size_t take = std::min<uint64_t>(k, found.size());
  out.reserve(take);
  for (size_t i = 0; i < take; ++i) out.push_back({ids_[found[i].first], 0, found[i].second});
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
  const std::string path = str_cat(dir, "/", VAMANA_TMP_FILE);
  QM_ASSIGN_OR_RETURN(UniqueFd fd, open_truncate(path));
  BufferedWriter writer(fd, path);
  uint8_t header[VAMANA_HEADER_SIZE];
  std::memcpy(header + VAMANA_MAGIC_OFFSET, VAMANA_MAGIC, sizeof VAMANA_MAGIC);
  encode_u32(header + VAMANA_VERSION_OFFSET, VAMANA_VERSION);
  encode_u32(header + VAMANA_DIM_OFFSET, static_cast<uint32_t>(dim_));
  encode_u32(header + VAMANA_MAX_DEGREE_OFFSET, static_cast<uint32_t>(max_degree_));
  encode_u64(header + VAMANA_ENTRY_OFFSET, entry_point_ ? ids_[*entry_point_] : VAMANA_NO_ENTRY);
  encode_u64(header + VAMANA_NODE_COUNT_OFFSET, ids_.size());
  QM_RETURN_IF_ERROR(writer.append(header, sizeof header));
  std::string record;
  for (size_t i = 0; i < ids_.size(); ++i) {
    record.clear();
    std::span<const uint32_t> nb = neighbours(i);
    put_u64(record, ids_[i]);
    put_u32(record, static_cast<uint32_t>(nb.size()));
    for (uint32_t j : nb) put_u64(record, ids_[j]);
    QM_RETURN_IF_ERROR(writer.append(record.data(), record.size()));
  }
  QM_RETURN_IF_ERROR(writer.flush());
  QM_RETURN_IF_ERROR(full_sync(fd, path));
  QM_RETURN_IF_ERROR(fd.close());
  QM_RETURN_IF_ERROR(rename_path(path, final_path));
  return sync_dir(dir);
}

namespace {

// Reads fixed-width fields front to back through one reused window, so a large file is neither
// held whole nor copied into fresh memory; running past the end is the short-read error. A
// pointer from take stays valid until the next call.
class Reader {
 public:
  static constexpr size_t WINDOW = 1 << 20;
  Reader(const UniqueFd& fd, uint64_t size) : fd_(fd), size_(size) {}
  uint64_t remaining() const { return size_ - pos_; }
  uint64_t position() const { return pos_; }
  Status seek(uint64_t pos) {
    if (pos > size_) return EngineError::io(IoError::unexpected_eof());
    pos_ = pos;
    return Status::ok();
  }
  Status take(size_t n, const uint8_t** out) {
    if (pos_ >= start_ && pos_ + n <= start_ + len_) {  // in the window, so in the file
      *out = buf_.data() + (pos_ - start_);
      pos_ += n;
      return Status::ok();
    }
    return refill_and_take(n, out);
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
  Status refill_and_take(size_t n, const uint8_t** out) {
    if (remaining() < n) return EngineError::io(IoError::unexpected_eof());
    if (pos_ < start_ || pos_ + n > start_ + len_) {
      // n is bounded by the bytes left in the file, checked above.
      if (buf_.size() < std::max(WINDOW, n)) buf_.resize(std::max(WINDOW, n));
      const size_t want = static_cast<size_t>(std::min<uint64_t>(buf_.size(), size_ - pos_));
      size_t got = 0;
      while (got < want) {
        QM_ASSIGN_OR_RETURN(size_t k, pread_some(fd_, buf_.data() + got, want - got, pos_ + got));
        if (k == 0) break;
        got += k;
      }
      start_ = pos_;
      len_ = got;
      if (got < n) return EngineError::io(IoError::unexpected_eof());
    }
    *out = buf_.data() + (pos_ - start_);
    pos_ += n;
    return Status::ok();
  }

  const UniqueFd& fd_;
  uint64_t size_;
  uint64_t pos_ = 0;
  uint64_t start_ = 0;
  uint64_t len_ = 0;
  std::vector<uint8_t> buf_;
};

}  // namespace

Result<std::optional<VamanaIndex>> VamanaIndex::load(
    const std::string& dir, const std::unordered_map<CellId, std::vector<float>>& keys) {
  std::unordered_map<CellId, SharedKey> shared;
  shared.reserve(keys.size());
  for (const auto& [id, key] : keys) shared.emplace(id, SharedKey(key));
  auto lookup = [&](CellId id) -> const SharedKey* {
    auto it = shared.find(id);
    return it == shared.end() ? nullptr : &it->second;
  };
  return load(dir, lookup);
}

Result<std::optional<VamanaIndex>> VamanaIndex::load(const std::string& dir, VamanaKeyLookup keys) {
  const std::string path = str_cat(dir, "/", VAMANA_FILE);
  if (!path_exists(path)) return std::optional<VamanaIndex>();
  // Every count below is checked against the bytes the file holds before anything is sized
  // from it.
  QM_ASSIGN_OR_RETURN(UniqueFd fd, open_read(path));
  QM_ASSIGN_OR_RETURN(uint64_t file_size, fd_size(fd));
  Reader in(fd, file_size);
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
  // the longest key the caller has change no score: a damaged `dim` must not size them. They
  // are made once every node is read, in place of the null placeholders below.
  size_t longest_key = 0;
  bool missing_keys = false;

  VamanaIndex index(dim, max_degree, VAMANA_ALPHA);
  // Nodes first, with their neighbour cell ids as they are stored, narrowed to 32 bits while
  // every one fits; the ids are translated to node numbers once every node is known. A file with
  // a wider id is read a second time for them, from where each node's list sits.
  std::vector<uint64_t> neighbour_at;
  uint64_t neighbour_total = 0;
  bool narrow = true;
  uint64_t lowest = UINT64_MAX, highest = 0;  // of the narrow neighbour ids
  // Narrow ids are kept less the first node's id (mod 2^32): when the node ids run without gaps
  // from there, that is already the node index.
  uint32_t shift = 0;
  const uint64_t fits = std::min(count, in.remaining() / VAMANA_NODE_FIXED_SIZE);
  index.ids_.reserve(fits);
  index.key_of_.reserve(fits);
  index.adj_start_.reserve(fits + 1);
  neighbour_at.reserve(fits);
  index.adjacency_.reserve(
      std::min<uint64_t>(fits * max_degree, in.remaining() / VAMANA_NEIGHBOUR_SIZE));
  for (uint64_t i = 0; i < count; ++i) {
    const uint8_t* head = nullptr;
    QM_RETURN_IF_ERROR(in.take(VAMANA_NODE_FIXED_SIZE, &head));
    const uint64_t id = decode_u64(head);
    const uint32_t n = decode_u32(head + 8);
    const uint8_t* ids = nullptr;
    if (in.remaining() / VAMANA_NEIGHBOUR_SIZE < n) {
      return EngineError::io(IoError::unexpected_eof());
    }
    neighbour_at.push_back(in.position());
    QM_RETURN_IF_ERROR(in.take(size_t{n} * VAMANA_NEIGHBOUR_SIZE, &ids));
    if (index.ids_.size() >= UINT32_MAX) {
      return EngineError::io(IoError::invalid_data("too many vamana nodes"));
    }
    const SharedKey* found = keys(id);
    if (found != nullptr) {
      longest_key = std::max(longest_key, (*found)->size());
    } else {
      missing_keys = true;
    }
    // Consecutive nodes of one key (or of none) share one owner.
    const bool same_key =
        !index.key_owners_.empty() &&
        (found != nullptr ? index.key_owners_.back() == *found : !index.key_owners_.back());
    if (!same_key) index.key_owners_.push_back(found != nullptr ? *found : SharedKey());
    index.append_node(id, static_cast<uint32_t>(index.key_owners_.size() - 1));
    index.adj_start_[index.ids_.size() - 1] = neighbour_total;
    if (i == 0) shift = static_cast<uint32_t>(id);
    if (narrow) {
      const size_t at = index.adjacency_.size();
      index.adjacency_.resize(at + n);
      uint32_t* out = index.adjacency_.data() + at;
      // The low halves' bounds and the high halves' union: every id of the list is narrow
      // (below UINT32_MAX) exactly when no high half is set and no low half is UINT32_MAX, and
      // then the low halves' bounds are the ids'.
      uint32_t high = 0, low_min = UINT32_MAX, low_max = 0;
      for (uint32_t j = 0; j < n; ++j) {
        const uint64_t nb = decode_u64(ids + VAMANA_NEIGHBOUR_SIZE * j);
        const uint32_t low = static_cast<uint32_t>(nb);
        high |= static_cast<uint32_t>(nb >> 32);
        low_min = std::min(low_min, low);
        low_max = std::max(low_max, low);
        out[j] = low - shift;
      }
      if (high != 0 || low_max == UINT32_MAX) {
        narrow = false;
      } else if (n > 0) {
        lowest = std::min<uint64_t>(lowest, low_min);
        highest = std::max<uint64_t>(highest, low_max);
      }
    }
    neighbour_total += n;
  }
  if (missing_keys) {
    const SharedKey zeros(
        std::vector<float>(static_cast<size_t>(std::min<uint64_t>(dim, longest_key)), 0.0f));
    for (SharedKey& owner : index.key_owners_) {
      if (!owner) owner = zeros;
    }
  }
  // Translation: the node ids of an engine's file ascend, usually without gaps, so a table over
  // their range (or a binary search) stands in for the hash map.
  const size_t n_nodes = index.ids_.size();
  std::vector<uint32_t> table;
  CellId base = 0;
  bool contiguous = false;
  if (index.ids_ascending_ && n_nodes > 0 &&
      index.ids_.back() - index.ids_.front() < 4 * uint64_t{n_nodes} + 1024) {
    base = index.ids_.front();
    // Strictly ascending ids without gaps (the usual case) need no table: node i is base + i.
    contiguous = index.ids_.back() - base + 1 == n_nodes;
    if (!contiguous) {
      table.assign(index.ids_.back() - base + 1, UINT32_MAX);
      for (size_t i = 0; i < n_nodes; ++i) table[index.ids_[i] - base] = static_cast<uint32_t>(i);
    }
  }
  auto translate = [&](CellId id) -> std::optional<uint32_t> {
    if (contiguous) {
      if (id < base || id - base >= n_nodes) return std::nullopt;
      return static_cast<uint32_t>(id - base);
    }
    if (!table.empty()) {
      if (id < base || id - base >= table.size() || table[id - base] == UINT32_MAX) {
        return std::nullopt;
      }
      return table[id - base];
    }
    return index.node_of(id);
  };
  // Node i's stored ids are [stored(i), stored(i + 1)); ids without a node are dropped, so the
  // translated lists are packed to the front in place.
  auto stored = [&](size_t i) {
    return i + 1 < n_nodes ? index.adj_start_[i + 1] : neighbour_total;
  };
  // When every stored neighbour names a node of contiguous ids (base being the first node's id),
  // the narrowed lists are final already.
  const bool final_lists = narrow && contiguous &&
                           (neighbour_total == 0 || (lowest >= base && highest - base < n_nodes));
  if (narrow && !final_lists) {
    uint64_t out = 0;
    uint64_t from = 0;
    for (size_t i = 0; i < n_nodes; ++i) {
      const uint64_t to = stored(i);
      index.adj_start_[i] = out;
      for (; from < to; ++from) {
        const CellId id = static_cast<uint32_t>(index.adjacency_[from] + shift);
        if (auto node = translate(id)) index.adjacency_[out++] = *node;
      }
    }
    index.adjacency_.resize(out);
  } else if (!narrow) {
    index.adjacency_.clear();
    index.adjacency_.reserve(neighbour_total);
    for (size_t i = 0; i < n_nodes; ++i) {
      const uint64_t n = stored(i) - index.adj_start_[i];
      index.adj_start_[i] = index.adjacency_.size();
      const uint8_t* p = nullptr;
      QM_RETURN_IF_ERROR(in.seek(neighbour_at[i]));
      QM_RETURN_IF_ERROR(in.take(static_cast<size_t>(n * VAMANA_NEIGHBOUR_SIZE), &p));
      for (uint64_t j = 0; j < n; ++j) {
        if (auto node = translate(decode_u64(p + VAMANA_NEIGHBOUR_SIZE * j))) {
          index.adjacency_.push_back(*node);
        }
      }
    }
  }
  index.adj_start_[n_nodes] = index.adjacency_.size();
  if (entry_id != VAMANA_NO_ENTRY) {
    if (auto node = translate(entry_id)) index.entry_point_ = *node;
  }
  return std::optional<VamanaIndex>(std::move(index));
}

}  // namespace quellmar
