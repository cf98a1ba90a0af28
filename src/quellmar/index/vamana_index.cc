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
#include "quellmar/core/saturating.h"
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

// A hash of a key's bytes: one 64 x 64 -> 128-bit product per 16 bytes, the products of the
// pieces independent of one another, so that a long key hashes at the pace of the multiplier.
// Equal hashes are compared byte for byte anyway.
struct KeyBytesHash {
  size_t operator()(std::string_view bytes) const {
    constexpr uint64_t MUL = 0x9E3779B97F4A7C15ull;
    const char* p = bytes.data();
    uint64_t h = bytes.size() * MUL;
    size_t i = 0;
    for (; i + 16 <= bytes.size(); i += 16) {
      uint64_t a, b;
      std::memcpy(&a, p + i, 8);
      std::memcpy(&b, p + i + 8, 8);
      const unsigned __int128 m = static_cast<unsigned __int128>(a ^ (0xA0761D6478BD642Full + i)) *
                                  (b ^ 0xE7037ED1A0B428DBull);
      h ^= static_cast<uint64_t>(m) ^ static_cast<uint64_t>(m >> 64);
    }
    for (; i < bytes.size(); ++i) h = (h ^ static_cast<unsigned char>(p[i])) * MUL;
    h = (h ^ (h >> 32)) * MUL;
    return static_cast<size_t>(h ^ (h >> 29));
  }
};

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

constexpr uint32_t NO_NODE = UINT32_MAX;
// The bytes of node records that a save writes with one call: a large graph is written in a few
// hundred calls rather than thousands.
constexpr size_t SAVE_CHUNK = 64 * 1024;
// Of the keys whose saved lists no new node enters, one in this many is scored all the same.
constexpr size_t KEPT_CHECK_STRIDE = 64;

// out[j] = x[j] / d for j < n, four at a time where SSE2 is there (the same quotients).
void divide_f32(const float* x, float d, float* out, size_t n) {
  size_t j = 0;
#if defined(__SSE2__)
  const __m128 dv = _mm_set1_ps(d);
  for (; j + 4 <= n; j += 4) _mm_storeu_ps(out + j, _mm_div_ps(_mm_loadu_ps(x + j), dv));
#endif
  for (; j < n; ++j) out[j] = x[j] / d;
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
  // An id above every id so far (the engine's order) cannot be there yet.
  const bool above_all = ids_ascending_ && (ids_.empty() || cell_id > ids_.back());
  if (!above_all && node_of(cell_id)) {
    throw InternalFault(str_cat("duplicate CellId ", cell_id, " in VamanaIndex"));
  }
  QM_CHECK(ids_.size() < UINT32_MAX);
  // Consecutive nodes that share one key (a pack's cells) share one owner.
  if (key_owners_.empty() || key_owners_.back() != key) key_owners_.push_back(std::move(key));
  append_node(cell_id, static_cast<uint32_t>(key_owners_.size() - 1));
}

std::vector<float> VamanaIndex::key_mean() const {
  // mean[j] += key[j] / n for every node in order: a division and an addition per term. A run
  // of nodes that share a key adds the same quotients, so they are divided once per run.
  std::vector<float> mean(dim_, 0.0f);
  std::vector<float> quotients(dim_, 0.0f);
  const float n = static_cast<float>(ids_.size());
  uint32_t last_owner = UINT32_MAX;
  size_t m = 0;
  for (size_t i = 0; i < ids_.size(); ++i) {
    if (key_of_[i] != last_owner) {
      last_owner = key_of_[i];
      std::span<const float> key = node_key(i);
      m = std::min<size_t>(key.size(), dim_);
      divide_f32(key.data(), n, quotients.data(), m);
    }
    accumulate_f32(mean.data(), quotients.data(), m);
  }
  return mean;
}

void VamanaIndex::compute_entry_point() {
  if (ids_.empty()) return;
  const std::vector<float> mean = key_mean();
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
  if (!build_groups(nullptr)) build_all_pairs();
}

bool VamanaIndex::build_reusing(const VamanaIndex& saved) {
  QM_CHECK(adjacency_.empty());
  return build_groups(&saved);
}

bool VamanaIndex::build_groups(const VamanaIndex* saved) {
  const size_t n = ids_.size();
  if (n == 0) return true;
  if (dim_ == 0) return false;
  for (size_t i = 0; i < n; ++i) {
    if (node_key(i).size() != dim_) return false;
  }
  const size_t degree = std::min<uint64_t>(max_degree_, n - 1);
  // The best degree + 1 nodes of a key's ranked list cover every member's own list, whatever
  // member is left out as the node itself.
  const size_t want = degree + 1;

  // With a saved graph: the saved node of each node here (NO_NODE for a new one), the node here
  // of each saved node (NO_NODE for one that is gone), and the nodes that are ranked over all
  // others: the new ones, and those whose saved list names a node that is gone.
  std::vector<uint32_t> old_of, here;
  std::vector<uint8_t> ranked_afresh;
  size_t old_degree = 0;
  if (saved != nullptr) {
    if (saved->dim_ != dim_ || saved->max_degree_ != max_degree_ || !saved->ids_ascending_ ||
        !ids_ascending_) {
      return false;
    }
    const size_t m = saved->ids_.size();
    old_of.assign(n, NO_NODE);
    here.assign(m, NO_NODE);
    for (size_t i = 0, s = 0; i < n && s < m;) {
      if (ids_[i] < saved->ids_[s]) {
        ++i;
      } else if (saved->ids_[s] < ids_[i]) {
        ++s;
      } else {
        old_of[i] = static_cast<uint32_t>(s);
        here[s++] = static_cast<uint32_t>(i++);
      }
    }
    old_degree = m == 0 ? 0 : std::min<uint64_t>(max_degree_, m - 1);
    ranked_afresh.assign(n, 1);
    for (size_t i = 0; i < n; ++i) {
      const uint32_t s = old_of[i];
      if (s == NO_NODE) continue;
      std::span<const uint32_t> list = saved->neighbours(s);
      if (list.size() != old_degree) return false;
      bool gone = false;
      for (uint32_t t : list) {
        if (t == s) return false;
        gone = gone || here[t] == NO_NODE;
      }
      ranked_afresh[i] = gone;
    }
  }

  // Distinct keys: nodes sharing a key owner are equal; owners are then grouped by bit pattern,
  // through an open-addressing table of key numbers (every key has dim values here).
  std::vector<uint32_t> group_of_owner(key_owners_.size(), UINT32_MAX);
  size_t slots = 16;
  while (slots < 2 * key_owners_.size()) slots *= 2;
  std::vector<uint32_t> by_bytes(slots, UINT32_MAX);
  std::vector<const float*> reps;
  std::vector<uint32_t> group(n);
  for (size_t i = 0; i < n; ++i) {
    uint32_t& g = group_of_owner[key_of_[i]];
    if (g == UINT32_MAX) {
      const std::span<const float> key = *key_owners_[key_of_[i]];
      size_t at = KeyBytesHash{}(key_bytes(key)) & (slots - 1);
      while (by_bytes[at] != UINT32_MAX &&
             std::memcmp(reps[by_bytes[at]], key.data(), dim_ * sizeof(float)) != 0) {
        at = (at + 1) & (slots - 1);
      }
      if (by_bytes[at] == UINT32_MAX) {
        by_bytes[at] = static_cast<uint32_t>(reps.size());
        reps.push_back(key.data());
      }
      g = by_bytes[at];
    }
    group[i] = g;
  }
  const size_t u_count = reps.size();
  // Keys whose members are all ranked over every node come first: keys [0, full_count) get a
  // whole ranked list; the others (with a saved graph: keys whose nodes all keep their saved
  // lists) only gather the new nodes that enter those lists.
  size_t full_count = u_count;
  if (saved != nullptr) {
    std::vector<uint8_t> full(u_count, 0);
    for (size_t i = 0; i < n; ++i) full[group[i]] |= ranked_afresh[i];
    std::vector<uint32_t> moved(u_count);
    uint32_t next = 0;
    for (size_t g = 0; g < u_count; ++g) {
      if (full[g]) moved[g] = next++;
    }
    full_count = next;
    for (size_t g = 0; g < u_count; ++g) {
      if (!full[g]) moved[g] = next++;
    }
    std::vector<const float*> reordered(u_count);
    for (size_t g = 0; g < u_count; ++g) reordered[moved[g]] = reps[g];
    reps.swap(reordered);
    for (size_t i = 0; i < n; ++i) group[i] = moved[group[i]];
  }
  // Members of each key, ascending: members[member_start[w] .. member_start[w + 1]); with a
  // saved graph, its new members likewise in new_members.
  auto members_of = [&](auto&& take, std::vector<uint32_t>& start, std::vector<uint32_t>& list) {
    start.assign(u_count + 1, 0);
    for (size_t i = 0; i < n; ++i) start[group[i] + 1] += take(i);
    for (size_t w = 0; w < u_count; ++w) start[w + 1] += start[w];
    list.resize(start[u_count]);
    std::vector<uint32_t> cursor(start.begin(), start.end() - 1);
    for (size_t i = 0; i < n; ++i) {
      if (take(i)) list[cursor[group[i]]++] = static_cast<uint32_t>(i);
    }
  };
  std::vector<uint32_t> member_start, members, new_start, new_members;
  members_of([](size_t) { return true; }, member_start, members);
  if (saved != nullptr) {
    members_of([&](size_t i) { return old_of[i] == NO_NODE; }, new_start, new_members);
  }

  // Each key's best nodes, best first, as node_rank values: `want` for a whole list, `degree`
  // new ones above `least` for the others. `threshold` is the score below which nothing enters
  // the list any more.
  std::vector<uint64_t> top(u_count * want);
  std::vector<uint32_t> filled(u_count, 0);
  std::vector<float> threshold(u_count, -std::numeric_limits<float>::infinity());
  std::vector<uint64_t> least;
  std::vector<const float*> pair_a, pair_b;
  std::vector<float> pair_score;
  auto score_pairs = [&] {
    pair_score.resize(pair_a.size());
    dot_f32_pairs(pair_a.data(), pair_b.data(), pair_a.size(), dim_, pair_score.data());
  };
  if (saved != nullptr && degree > 0 && old_degree >= degree) {
    // A new node enters a kept list only when it ranks above the list's entry at the degree.
    // Members of a key mostly share that entry's key: each (key, key) pair is scored once.
    least.assign(u_count, UINT64_MAX);
    const uint32_t first = member_start[full_count];
    std::vector<uint32_t> entry(n - first), pair_of(n - first);
    for (size_t w = full_count; w < u_count; ++w) {
      for (uint32_t k = member_start[w]; k < member_start[w + 1]; ++k) {
        const uint32_t t = here[saved->neighbours(old_of[members[k]])[degree - 1]];
        entry[k - first] = t;
        if (k == member_start[w] || reps[group[t]] != pair_b.back()) {
          pair_a.push_back(reps[w]);
          pair_b.push_back(reps[group[t]]);
        }
        pair_of[k - first] = static_cast<uint32_t>(pair_a.size() - 1);
      }
    }
    score_pairs();
    for (size_t w = full_count; w < u_count; ++w) {
      for (uint32_t k = member_start[w]; k < member_start[w + 1]; ++k) {
        const uint64_t rank =
            node_rank(score_rank_key(pair_score[pair_of[k - first]]), entry[k - first]);
        least[w] = std::min(least[w], rank);
      }
      threshold[w] = entry_threshold(least[w] >> 32);
    }
  }
  // Offers the members of key `from`, all scoring `score`, to the list of key `list`: all of them
  // to a whole list, the new ones to a kept one. Members come in ascending order, so once one
  // fails to enter the rest fail too.
  auto offer = [&](size_t list, size_t from, float score) {
    const bool whole = list < full_count;
    const uint32_t* m =
        whole ? members.data() + member_start[from] : new_members.data() + new_start[from];
    const size_t cap = whole ? want : degree;
    const size_t m_count = std::min<size_t>(cap, whole ? member_start[from + 1] - member_start[from]
                                                       : new_start[from + 1] - new_start[from]);
    const uint64_t floor = whole || least.empty() ? 0 : least[list];
    const uint32_t key = score_rank_key(score);
    uint64_t* entries = &top[list * want];
    uint32_t& count = filled[list];
    bool changed = false;
    for (size_t r = 0; r < m_count; ++r) {
      const uint64_t rank = node_rank(key, m[r]);
      if (rank <= floor || (count == cap && rank <= entries[cap - 1])) break;
      size_t j = count < cap ? count++ : cap - 1;
      while (j > 0 && entries[j - 1] < rank) {
        entries[j] = entries[j - 1];
        --j;
      }
      entries[j] = rank;
      changed = true;
    }
    if (changed && count == cap) threshold[list] = entry_threshold(entries[cap - 1] >> 32);
  };

  // One tile of scores, tile[a * TILE + b] for keys r0 + a and c0 + b: each feeds the row's
  // list with the column's members and, with `both`, the column's list with the row's.
  constexpr size_t TILE = 128;
  static_assert(TILE % F32_PANEL_WIDTH == 0);
  std::vector<float> tile(TILE * TILE);
  auto scan = [&](size_t r0, size_t nr, size_t c0, size_t nc, bool both) {
    const float* col_threshold = &threshold[c0];
    for (size_t a = 0; a < nr; ++a) {
      const float* s = &tile[a * TILE];
      const size_t row = r0 + a;
      size_t b = 0;
#if defined(__SSE2__)
      // Sixteen scores at a time, four to a vector: a lane goes on only when it is not below the
      // threshold of the row's list or (with both) of its column's list.
      auto lanes_passing = [&](size_t at, __m128 row_threshold) {
        const __m128 v = _mm_loadu_ps(s + at);
        __m128 pass = _mm_cmpnlt_ps(v, row_threshold);
        if (both) pass = _mm_or_ps(pass, _mm_cmpnlt_ps(v, _mm_loadu_ps(col_threshold + at)));
        return static_cast<unsigned>(_mm_movemask_ps(pass));
      };
      for (; b + 16 <= nc; b += 16) {
        const __m128 rt = _mm_set1_ps(threshold[row]);
        unsigned mask = lanes_passing(b, rt) | lanes_passing(b + 4, rt) << 4 |
                        lanes_passing(b + 8, rt) << 8 | lanes_passing(b + 12, rt) << 12;
        while (mask != 0) {
          const size_t lane = b + static_cast<size_t>(__builtin_ctz(mask));
          mask &= mask - 1;
          if (!(s[lane] < threshold[row])) offer(row, c0 + lane, s[lane]);
          if (both && !(s[lane] < col_threshold[lane])) offer(c0 + lane, row, s[lane]);
        }
      }
#endif
      for (; b < nc; ++b) {
        if (!(s[b] < threshold[row])) offer(row, c0 + b, s[b]);
        if (both && !(s[b] < col_threshold[b])) offer(c0 + b, row, s[b]);
      }
    }
  };

  // The entry point's scores, each key against the mean of all nodes, as a panel of one row.
  const std::vector<float> mean = key_mean();
  std::vector<float> mean_panel(dim_ * F32_PANEL_WIDTH, 0.0f);
  store_panel_row(mean_panel.data(), dim_, 0, mean.data());
  std::vector<float> key_score(u_count);
  auto score_mean = [&](const float* rows, size_t r0, size_t nr) {
    dot_f32_panels(rows, nr, dim_, mean_panel.data(), 1, dim_, tile.data(), F32_PANEL_WIDTH);
    for (size_t a = 0; a < nr; ++a) key_score[r0 + a] = tile[a * F32_PANEL_WIDTH];
  };

  // Keys with whole lists against each other: the symmetric score matrix in square blocks, each
  // block (b, c) with c >= b feeding its rows' lists with its columns and, off the diagonal, its
  // columns' lists with its rows.
  std::vector<float> rows(full_count * dim_);
  std::vector<float> panels(f32_panel_count(full_count) * dim_ * F32_PANEL_WIDTH, 0.0f);
  for (size_t w = 0; w < full_count; ++w) {
    std::memcpy(&rows[w * dim_], reps[w], dim_ * sizeof(float));
    store_panel_row(panels.data(), dim_, w, reps[w]);
  }
  auto panels_from = [&](size_t c0) {
    return &panels[(c0 / F32_PANEL_WIDTH) * dim_ * F32_PANEL_WIDTH];
  };
  for (size_t b0 = 0; b0 < full_count; b0 += TILE) {
    const size_t nr = std::min(TILE, full_count - b0);
    score_mean(&rows[b0 * dim_], b0, nr);
    for (size_t c0 = b0; c0 < full_count; c0 += TILE) {
      const size_t nc = std::min(TILE, full_count - c0);
      dot_f32_panels(&rows[b0 * dim_], nr, dim_, panels_from(c0), f32_panel_count(nc), dim_,
                     tile.data(), TILE);
      scan(b0, nr, c0, nc, c0 != b0);
    }
  }
  // Kept keys against the keys with whole lists, in one pass that serves both directions.
  std::vector<float> kept_rows(std::min(TILE, u_count - full_count) * dim_);
  for (size_t q0 = full_count; q0 < u_count; q0 += TILE) {
    const size_t nq = std::min(TILE, u_count - q0);
    for (size_t a = 0; a < nq; ++a) {
      std::memcpy(&kept_rows[a * dim_], reps[q0 + a], dim_ * sizeof(float));
    }
    score_mean(kept_rows.data(), q0, nq);
    for (size_t c0 = 0; c0 < full_count; c0 += TILE) {
      const size_t nc = std::min(TILE, full_count - c0);
      dot_f32_panels(kept_rows.data(), nq, dim_, panels_from(c0), f32_panel_count(nc), dim_,
                     tile.data(), TILE);
      scan(q0, nq, c0, nc, true);
    }
  }

  std::vector<uint32_t, AlignedAllocator<uint32_t>> adjacency(n * degree);
  // Every member of a key with a whole list takes that list without itself, cut at the degree.
  for (size_t i = 0; i < n; ++i) {
    if (group[i] >= full_count) continue;
    const uint64_t* list = &top[group[i] * want];
    uint32_t* out = adjacency.data() + i * degree;
    size_t taken = 0;
    for (size_t r = 0; r < filled[group[i]] && taken < degree; ++r) {
      const uint32_t node = node_of_rank(list[r]);
      if (node == i) continue;
      out[taken++] = node;
    }
    QM_CHECK(taken == degree);
  }
  // A member of a kept key merges its saved list with the new nodes that entered the key's list.
  // The saved list is scored only then, and for one key in KEPT_CHECK_STRIDE: it must rank as
  // this index's keys rank it, or the saved graph was not built from them.
  // Saved node s is node s here when nothing is gone and the new nodes come after the old ones
  // (an engine that only grew): saved lists then need no translation.
  bool same_places = saved != nullptr;
  for (size_t s = 0; same_places && s < here.size(); ++s) same_places = here[s] == s;
  std::vector<uint64_t> ranks(old_degree);
  std::vector<uint32_t> targets;  // the keys a kept key's saved lists name, scored in pair_score
  for (size_t w = full_count; w < u_count; ++w) {
    const bool check = (w - full_count) % KEPT_CHECK_STRIDE == 0;
    const uint64_t* fresh = &top[w * want];
    const size_t fresh_count = filled[w];
    if (fresh_count == 0 && !check && old_degree >= degree) {
      for (uint32_t k = member_start[w]; k < member_start[w + 1]; ++k) {
        const uint32_t i = members[k];
        std::span<const uint32_t> list = saved->neighbours(old_of[i]);
        uint32_t* out = adjacency.data() + size_t{i} * degree;
        if (same_places) {
          std::memcpy(out, list.data(), degree * sizeof(uint32_t));
        } else {
          for (size_t r = 0; r < degree; ++r) out[r] = here[list[r]];
        }
      }
      continue;
    }
    targets.clear();
    pair_a.clear();
    pair_b.clear();
    for (uint32_t k = member_start[w]; k < member_start[w + 1]; ++k) {
      for (uint32_t t : saved->neighbours(old_of[members[k]])) {
        const uint32_t key = group[here[t]];
        if (std::find(targets.begin(), targets.end(), key) == targets.end()) {
          targets.push_back(key);
          pair_a.push_back(reps[w]);
          pair_b.push_back(reps[key]);
        }
      }
    }
    score_pairs();
    for (uint32_t k = member_start[w]; k < member_start[w + 1]; ++k) {
      const uint32_t i = members[k];
      std::span<const uint32_t> list = saved->neighbours(old_of[i]);
      for (size_t r = 0; r < old_degree; ++r) {
        const uint32_t t = here[list[r]];
        const size_t at = std::find(targets.begin(), targets.end(), group[t]) - targets.begin();
        ranks[r] = node_rank(score_rank_key(pair_score[at]), t);
        if (r > 0 && !(ranks[r - 1] > ranks[r])) return false;
      }
      uint32_t* out = adjacency.data() + size_t{i} * degree;
      for (size_t r = 0, a = 0, b = 0; r < degree; ++r) {
        if (a == old_degree && b == fresh_count) return false;  // lists that cannot be
        const bool from_saved = b == fresh_count || (a < old_degree && ranks[a] > fresh[b]);
        out[r] = node_of_rank(from_saved ? ranks[a++] : fresh[b++]);
      }
    }
  }

  std::optional<uint32_t> best;
  float best_score = -std::numeric_limits<float>::infinity();
  for (size_t i = 0; i < n; ++i) {
    if (key_score[group[i]] > best_score) {
      best_score = key_score[group[i]];
      best = static_cast<uint32_t>(i);
    }
  }
  entry_point_ = best.value_or(0);
  adjacency_ = std::move(adjacency);
  for (size_t i = 0; i <= n; ++i) adj_start_[i] = i * degree;
  return true;
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
  const uint64_t list_size = saturating_mul(2, wider);
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
  QM_ASSIGN_OR_RETURN(UniqueFd fd, create_replacing(path));
  BufferedWriter writer(fd, path);
  uint8_t header[VAMANA_HEADER_SIZE];
  std::memcpy(header + VAMANA_MAGIC_OFFSET, VAMANA_MAGIC, sizeof VAMANA_MAGIC);
  encode_u32(header + VAMANA_VERSION_OFFSET, VAMANA_VERSION);
  encode_u32(header + VAMANA_DIM_OFFSET, static_cast<uint32_t>(dim_));
  encode_u32(header + VAMANA_MAX_DEGREE_OFFSET, static_cast<uint32_t>(max_degree_));
  encode_u64(header + VAMANA_ENTRY_OFFSET, entry_point_ ? ids_[*entry_point_] : VAMANA_NO_ENTRY);
  encode_u64(header + VAMANA_NODE_COUNT_OFFSET, ids_.size());
  QM_RETURN_IF_ERROR(writer.append(header, sizeof header));
  // Node records are encoded SAVE_CHUNK bytes at a time, and written a chunk at a time.
  std::vector<uint8_t> chunk(SAVE_CHUNK);
  size_t used = 0;
  for (size_t i = 0; i < ids_.size(); ++i) {
    std::span<const uint32_t> nb = neighbours(i);
    const size_t size = VAMANA_NODE_FIXED_SIZE + VAMANA_NEIGHBOUR_SIZE * nb.size();
    if (used + size > chunk.size()) {
      QM_RETURN_IF_ERROR(writer.append(chunk.data(), used));
      used = 0;
      if (size > chunk.size()) chunk.resize(size);
    }
    uint8_t* out = chunk.data() + used;
    encode_u64(out, ids_[i]);
    encode_u32(out + 8, static_cast<uint32_t>(nb.size()));
    out += VAMANA_NODE_FIXED_SIZE;
    for (uint32_t j : nb) {
      encode_u64(out, ids_[j]);
      out += VAMANA_NEIGHBOUR_SIZE;
    }
    used += size;
  }
  QM_RETURN_IF_ERROR(writer.append(chunk.data(), used));
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
