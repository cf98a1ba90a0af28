// The graph build: the entry point, the plain all-pairs build, and the blocked distinct-key build
// (from scratch or reusing a saved graph), spread over the build's worker threads.

#include <algorithm>
#include <atomic>
#include <cstring>
#include <limits>
#include <new>
#include <optional>
#include <string_view>

#include "quellmar/core/internal_fault.h"
#include "quellmar/index/build_workers.h"
#include "quellmar/index/vamana_index.h"
#include "quellmar/retrieval/simd_distance.h"

namespace quellmar {
namespace {

constexpr float NEG_INF = -std::numeric_limits<float>::infinity();

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
// every key has exactly `dim` values, else the scalar dot product over the common prefix; both
// sum in index order, so the scores are the same.
template <typename Emit>
void score_all_pairs(const std::vector<std::span<const float>>& keys, uint64_t dim, Emit&& emit) {
  const size_t n = keys.size();
  bool uniform = dim > 0;
  for (const auto& k : keys) uniform = uniform && k.size() == dim;
  std::vector<float> scores;
  if (!uniform) {
    scores.resize(n);
    for (size_t q = 0; q < n; ++q) {
      for (size_t t = 0; t < n; ++t) {
        scores[t] =
            dot_f32(keys[q].data(), keys[t].data(), std::min(keys[q].size(), keys[t].size()));
      }
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

// The entry point of n nodes, node i scoring score_of(i) against the mean of the keys: the first
// node of the highest score, node 0 when no score is above minus infinity.
template <typename ScoreOf>
uint32_t entry_of(size_t n, ScoreOf&& score_of) {
  uint32_t best = 0;
  float best_score = NEG_INF;
  for (size_t i = 0; i < n; ++i) {
    const float s = score_of(i);
    if (s > best_score) {
      best_score = s;
      best = static_cast<uint32_t>(i);
    }
  }
  return best;
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
  if (key == 0) return NEG_INF;
  const uint32_t bits = (key & 0x80000000u) ? (key & 0x7FFFFFFFu) : ~key;
  return __builtin_bit_cast(float, bits);
}

constexpr uint32_t NO_NODE = UINT32_MAX;
// Of the keys whose saved lists no new node enters, one in this many is scored all the same.
constexpr size_t KEPT_CHECK_STRIDE = 64;
// Keys per row block of the blocked build: the rows of one tile of scores, and one work item.
constexpr size_t TILE = 128;
// Items of the other parallel steps: runs of nodes or keys, of panel rows (a whole number of
// panels), and of key positions for the mean (a cache line of floats).
constexpr size_t RANGE_GRAIN = 256;
constexpr size_t PANEL_GRAIN = 4 * TILE;
constexpr size_t MEAN_SLICE = 64 / sizeof(float);
static_assert(PANEL_GRAIN % F32_PANEL_WIDTH == 0);
static_assert(TILE % F32_PANEL_WIDTH == 0);
// The words of lanes_not_below's mask over one row of a tile.
constexpr size_t TILE_MASK_WORDS = (TILE + 63) / 64;

inline size_t items_of(size_t count, size_t grain) { return (count + grain - 1) / grain; }

VamanaBuildHooks& build_hooks() {
  static VamanaBuildHooks hooks;
  return hooks;
}

}  // namespace

VamanaBuildHooks& vamana_build_hooks_for_testing() { return build_hooks(); }

// The blocked distinct-key build of VamanaIndex::build_groups, one member function per phase.
// Nodes whose keys are equal bit for bit rank alike, so each distinct key (a group, numbered
// by its first node) is ranked once: its list holds its best `want` nodes, and each member takes
// that list without itself, cut at the degree. With a saved graph, the keys whose members all
// keep their saved lists (kept keys) only gather the new nodes that enter those lists; the
// others (whole keys, numbered first) are ranked over every node.
//
// The scores come from a symmetric matrix computed in tiles of TILE x TILE keys, one row block
// per work item; every tile feeds the lists of its rows and, off the diagonal, of its columns.
// Worker 0 gathers straight into the shared lists; every other worker gathers the whole lists
// into lists of its own (any whole list takes offers from every row block), merged with the
// shared ones once all are done. A kept key's list takes offers only from its own row block,
// which one worker scores, so every worker writes the kept lists in place.
class VamanaGroupBuild {
 public:
  // Requires what build_groups checks first: every key has index.dim() values, and `saved` (when
  // not null) has the same width and degree, both id lists ascending.
  VamanaGroupBuild(VamanaIndex& index, const VamanaIndex* saved, size_t threads);
  // Builds the edges and the entry point; false, having built nothing, when `saved` does not fit.
  bool run();

 private:
  // One worker's view of a set of lists: key w's best nodes, best first, as node_rank values at
  // top[w * want], of which filled[w] are set; threshold[w] is the score below which nothing
  // enters the list any more. Entries past a list's filled count are never read.
  struct Lists {
    uint64_t* top;
    uint32_t* filled;
    float* threshold;
  };
  struct OwnLists {
    std::vector<uint64_t, AlignedAllocator<uint64_t>> top;
    std::vector<uint32_t> filled;
    std::vector<float> threshold;
  };
  // Scratch of the kept keys' steps.
  struct KeptScratch {
    std::vector<uint32_t> entry, pair_of;
    std::vector<const float*> pair_a, pair_b;
    std::vector<float> pair_score;
    std::vector<uint32_t> targets;  // the keys a kept key's saved lists name, scored in pair_score
    std::vector<uint64_t> ranks;
  };
  // Scratch of one worker's row blocks.
  struct Scratch {
    std::vector<float> tile = std::vector<float>(TILE * TILE);
    std::vector<float> rows;
    KeptScratch kept;
  };

  // The steps, in order (run() reads as them).
  void map_nodes();
  bool check_and_group();
  bool score_blocks();
  // The work items over the saved nodes in the first two steps.
  size_t saved_items() const { return saved_ != nullptr ? items_of(n_, RANGE_GRAIN) : 0; }

  // Map saved nodes: for nodes [begin, begin + RANGE_GRAIN), their saved nodes and back.
  void map_saved_nodes(size_t begin);
  // Then whether those nodes' saved lists can be kept, and whether they fit at all.
  void check_saved_lists(size_t begin);
  // Group distinct keys: the hashes of owners [begin, begin + RANGE_GRAIN), then each owner's
  // first owner of equal bytes within one part of the hashes, then the groups in order.
  void hash_owners(size_t begin);
  void find_equal_keys(size_t part);
  void number_groups();
  // Order groups: whole keys first, then the kept ones (only with a saved graph).
  void order_groups();
  // Members: the nodes of each key, ascending, and with a saved graph its new nodes likewise.
  template <typename Take>
  void members_where(Take take, std::vector<uint32_t>& start, std::vector<uint32_t>& list) const;
  void collect_members();
  // The shared lists, the column panels of the whole keys and the mean as a panel.
  void prepare_lists();
  void store_panels(size_t begin, size_t end);
  // List thresholds: the floors and thresholds of kept keys [w0, w1).
  void set_floors(size_t w0, size_t w1, KeptScratch& k);
  void score_pairs(KeptScratch& k) const;
  // Tile scan and offer: the row block of one work item, its tiles, and the offers they make.
  void score_block(size_t item, size_t worker);
  Lists whole_lists_of(size_t worker);
  void scan(const float* tile, const Lists& rows, const Lists& cols, size_t r0, size_t nr,
            size_t c0, size_t nc, bool both) const;
  void offer(const Lists& lists, size_t list, size_t from, float score) const;
  // Merge kept lists: the lists of the members of kept keys [w0, w1) once no more offers reach
  // them; false when the saved lists do not rank as this index's keys rank them.
  bool kept_lists(size_t w0, size_t w1, KeptScratch& k);
  void copy_saved_lists(size_t w);
  bool merge_saved_lists(size_t w, KeptScratch& k);
  // Write whole lists: the lists of the members of whole keys [begin, end).
  void write_whole_lists(size_t begin, size_t end);
  // The edges and the entry point, into the index.
  void install();

  VamanaIndex& index_;
  const VamanaIndex* saved_;
  BuildWorkers workers_;
  const size_t n_;
  const size_t dim_;
  const size_t degree_;
  // The best degree + 1 nodes of a key's ranked list cover every member's own list, whatever
  // member is left out as the node itself.
  const size_t want_;
  const size_t n_owners_;
  const size_t m_;  // saved nodes
  const size_t old_degree_;
  std::atomic<bool> unfit_{false};

  // With a saved graph: the saved node of each node here (NO_NODE for a new one), the node here
  // of each saved node (NO_NODE for one that is gone), and the nodes that are ranked over all
  // others: the new ones, and those whose saved list names a node that is gone.
  std::vector<uint32_t> old_of_, here_;
  std::vector<uint8_t> ranked_afresh_;
  // Each owner's hash, the first owner with its bytes, and the parts the hashes are split into.
  std::vector<size_t> owner_hash_;
  std::vector<uint32_t> first_owner_;
  size_t parts_ = 1;
  // The mean of all nodes, for the entry point's scores (each key against it), computed in
  // slices of mean_slice_ positions.
  std::vector<float> mean_;
  size_t mean_slice_ = MEAN_SLICE;
  // The distinct keys: each node's key, each key's first owner's values; keys [0, full_count_)
  // have whole lists.
  std::vector<uint32_t> group_;
  std::vector<const float*> reps_;
  size_t u_count_ = 0;
  size_t full_count_ = 0;
  // Members of each key: members_[member_start_[w] .. member_start_[w + 1]); with a saved graph,
  // its new members likewise in new_members_.
  std::vector<uint32_t> member_start_, members_, new_start_, new_members_;

  std::vector<uint64_t, AlignedAllocator<uint64_t>> top_;
  std::vector<uint32_t> filled_;
  std::vector<float> threshold_;
  Lists shared_{};
  // A new node enters a kept list only when it ranks above the saved list's entry at the degree
  // (when the saved lists are that long): least_[w] over the members of key w.
  bool floors_ = false;
  std::vector<uint64_t> least_;
  // Saved node s is node s here when nothing is gone and the new nodes come after the old ones
  // (an engine that only grew): saved lists then need no translation.
  bool same_places_ = false;

  // The whole keys as panels, the columns of every tile (padding lanes zero), and the mean.
  std::vector<float, AlignedAllocator<float>> panels_;
  std::vector<float> mean_panel_;
  std::vector<float> key_score_;
  size_t full_blocks_ = 0;
  // Each thread's lists (none for the calling thread's, which are the shared ones) and scratch.
  std::vector<std::optional<OwnLists>> own_;
  std::vector<std::optional<Scratch>> scratch_;
  // The test hook's failure: the calling thread leaves the step to the other threads.
  bool fail_in_workers_ = false;

  std::vector<uint32_t, AlignedAllocator<uint32_t>> adjacency_;
};

VamanaGroupBuild::VamanaGroupBuild(VamanaIndex& index, const VamanaIndex* saved, size_t threads)
    : index_(index),
      saved_(saved),
      workers_(threads, build_hooks().thread_starts),
      n_(index.ids_.size()),
      dim_(index.dim_),
      degree_(std::min<uint64_t>(index.max_degree_, n_ - 1)),
      want_(degree_ + 1),
      n_owners_(index.key_owners_.size()),
      m_(saved != nullptr ? saved->ids_.size() : 0),
      old_degree_(m_ == 0 ? 0 : std::min<uint64_t>(index.max_degree_, m_ - 1)) {}

bool VamanaGroupBuild::run() {
  map_nodes();
  if (!check_and_group()) return false;
  number_groups();
  if (saved_ != nullptr) order_groups();
  collect_members();
  prepare_lists();
  if (!score_blocks()) return false;
  workers_.ranges(full_count_, RANGE_GRAIN,
                  [&](size_t begin, size_t end, size_t) { write_whole_lists(begin, end); });
  own_.clear();
  install();
  return true;
}

// One step for what needs only the nodes: the saved nodes, the hashes and the mean.
void VamanaGroupBuild::map_nodes() {
  if (saved_ != nullptr) {
    old_of_.assign(n_, NO_NODE);
    here_.assign(m_, NO_NODE);
    ranked_afresh_.assign(n_, 1);
  }
  owner_hash_.resize(n_owners_);
  first_owner_.resize(n_owners_);
  mean_.assign(dim_, 0.0f);
  const size_t per_worker = (dim_ + workers_.size() - 1) / workers_.size();
  mean_slice_ = std::max(MEAN_SLICE, (per_worker + MEAN_SLICE - 1) / MEAN_SLICE * MEAN_SLICE);
  const size_t match_items = saved_items();
  const size_t hash_items = items_of(n_owners_, RANGE_GRAIN);
  const size_t mean_items = items_of(dim_, mean_slice_);
  workers_.run(match_items + hash_items + mean_items, [&](size_t item, size_t) {
    if (item < match_items) return map_saved_nodes(item * RANGE_GRAIN);
    item -= match_items;
    if (item < hash_items) return hash_owners(item * RANGE_GRAIN);
    const size_t j0 = (item - hash_items) * mean_slice_;
    index_.key_mean_slice(j0, std::min(dim_, j0 + mean_slice_), mean_.data());
  });
}

// Then the saved lists are checked, and equal keys found. Each part reads every owner's hash: a
// few parts per thread, none much smaller than a run.
bool VamanaGroupBuild::check_and_group() {
  const size_t match_items = saved_items();
  parts_ =
      std::min(workers_.size() == 1 ? 1 : 4 * workers_.size(), items_of(n_owners_, RANGE_GRAIN));
  workers_.run(match_items + parts_, [&](size_t item, size_t) {
    if (item < match_items) return check_saved_lists(item * RANGE_GRAIN);
    find_equal_keys(item - match_items);
  });
  return !unfit_.load();
}

// The scores, one row block of TILE keys at a time, in order: first the whole keys against each
// other, the symmetric score matrix in square blocks, each block (b, c) with c >= b feeding its
// rows' lists with its columns and, off the diagonal, its columns' lists with its rows; then the
// kept keys against the whole keys, in one pass that serves both directions, after which the
// kept keys' lists are final and their members' lists are made. Row blocks go to whichever
// worker asks next.
bool VamanaGroupBuild::score_blocks() {
  full_blocks_ = items_of(full_count_, TILE);
  const size_t kept_blocks = items_of(u_count_ - full_count_, TILE);
  own_.resize(workers_.size());
  scratch_.resize(workers_.size());
  fail_in_workers_ = build_hooks().fail_in_workers && workers_.size() > 1;
  workers_.run(
      full_blocks_ + kept_blocks, [&](size_t item, size_t worker) { score_block(item, worker); },
      /*caller_takes_items=*/!fail_in_workers_);
  scratch_.clear();
  return !unfit_.load();
}

// Both id lists ascend strictly, so each run of nodes finds its saved nodes from where its first
// id would be.
void VamanaGroupBuild::map_saved_nodes(size_t begin) {
  const std::vector<CellId>& ids = index_.ids_;
  const std::vector<CellId>& old_ids = saved_->ids_;
  const size_t end = std::min(n_, begin + RANGE_GRAIN);
  size_t s = static_cast<size_t>(std::lower_bound(old_ids.begin(), old_ids.end(), ids[begin]) -
                                 old_ids.begin());
  for (size_t i = begin; i < end && s < m_; ++i) {
    while (s < m_ && old_ids[s] < ids[i]) ++s;
    if (s < m_ && old_ids[s] == ids[i]) {
      old_of_[i] = static_cast<uint32_t>(s);
      here_[s++] = static_cast<uint32_t>(i);
    }
  }
}

// A saved list that names its own node, or is of another length than the saved graph's degree,
// cannot be the saved graph's: unfit. One that names a node that is gone is ranked afresh.
void VamanaGroupBuild::check_saved_lists(size_t begin) {
  for (size_t i = begin; i < std::min(n_, begin + RANGE_GRAIN); ++i) {
    const uint32_t s = old_of_[i];
    if (s == NO_NODE) continue;
    std::span<const uint32_t> list = saved_->neighbours(s);
    bool gone = false;
    for (uint32_t t : list) {
      if (t == s) unfit_.store(true, std::memory_order_relaxed);
      gone = gone || here_[t] == NO_NODE;
    }
    if (list.size() != old_degree_) unfit_.store(true, std::memory_order_relaxed);
    ranked_afresh_[i] = gone;
  }
}

// Nodes sharing a key owner are equal; owners are grouped by bit pattern. Each owner's hash is
// taken on its own; then the owners are split by hash into parts, and each part finds, through
// an open-addressing table of its own, the first owner with each owner's bytes (every key has
// dim values here).
void VamanaGroupBuild::hash_owners(size_t begin) {
  for (size_t o = begin; o < std::min(n_owners_, begin + RANGE_GRAIN); ++o) {
    owner_hash_[o] = KeyBytesHash{}(key_bytes(*index_.key_owners_[o]));
  }
}

void VamanaGroupBuild::find_equal_keys(size_t part) {
  const std::vector<SharedKey>& owners = index_.key_owners_;
  std::vector<uint32_t> in_part;
  for (size_t o = 0; o < n_owners_; ++o) {
    if ((owner_hash_[o] >> 32) % parts_ == part) in_part.push_back(static_cast<uint32_t>(o));
  }
  size_t slots = 16;
  while (slots < 2 * in_part.size()) slots *= 2;
  std::vector<uint32_t> table(slots, UINT32_MAX);
  for (uint32_t o : in_part) {
    const float* key = owners[o]->data();
    size_t at = owner_hash_[o] & (slots - 1);
    while (table[at] != UINT32_MAX &&
           std::memcmp(owners[table[at]]->data(), key, dim_ * sizeof(float)) != 0) {
      at = (at + 1) & (slots - 1);
    }
    if (table[at] == UINT32_MAX) table[at] = o;
    first_owner_[o] = table[at];
  }
}

// Keys are numbered as their first nodes come: owners follow their first nodes' order, so a
// key's number is the count of first owners before its own.
void VamanaGroupBuild::number_groups() {
  std::vector<uint32_t> group_of_owner(n_owners_);
  for (size_t o = 0; o < n_owners_; ++o) {
    if (first_owner_[o] == o) {
      group_of_owner[o] = static_cast<uint32_t>(reps_.size());
      reps_.push_back(index_.key_owners_[o]->data());
    } else {
      group_of_owner[o] = group_of_owner[first_owner_[o]];
    }
  }
  group_.resize(n_);
  for (size_t i = 0; i < n_; ++i) group_[i] = group_of_owner[index_.key_of_[i]];
  u_count_ = reps_.size();
  full_count_ = u_count_;
}

// Keys whose members are all ranked over every node come first: keys [0, full_count) get a
// whole ranked list; the others (keys whose nodes all keep their saved lists) only gather the
// new nodes that enter those lists.
void VamanaGroupBuild::order_groups() {
  std::vector<uint8_t> full(u_count_, 0);
  for (size_t i = 0; i < n_; ++i) full[group_[i]] |= ranked_afresh_[i];
  std::vector<uint32_t> moved(u_count_);
  uint32_t next = 0;
  for (size_t g = 0; g < u_count_; ++g) {
    if (full[g]) moved[g] = next++;
  }
  full_count_ = next;
  for (size_t g = 0; g < u_count_; ++g) {
    if (!full[g]) moved[g] = next++;
  }
  std::vector<const float*> reordered(u_count_);
  for (size_t g = 0; g < u_count_; ++g) reordered[moved[g]] = reps_[g];
  reps_.swap(reordered);
  for (size_t i = 0; i < n_; ++i) group_[i] = moved[group_[i]];
}

template <typename Take>
void VamanaGroupBuild::members_where(Take take, std::vector<uint32_t>& start,
                                     std::vector<uint32_t>& list) const {
  start.assign(u_count_ + 1, 0);
  for (size_t i = 0; i < n_; ++i) start[group_[i] + 1] += take(i);
  for (size_t w = 0; w < u_count_; ++w) start[w + 1] += start[w];
  list.resize(start[u_count_]);
  std::vector<uint32_t> cursor(start.begin(), start.end() - 1);
  for (size_t i = 0; i < n_; ++i) {
    if (take(i)) list[cursor[group_[i]]++] = static_cast<uint32_t>(i);
  }
}

void VamanaGroupBuild::collect_members() {
  members_where([](size_t) { return true; }, member_start_, members_);
  if (saved_ != nullptr) {
    members_where([&](size_t i) { return old_of_[i] == NO_NODE; }, new_start_, new_members_);
  }
}

void VamanaGroupBuild::prepare_lists() {
  // `want` entries for a whole list, `degree` new ones above `least` for a kept one.
  top_.resize(u_count_ * want_);
  filled_.assign(u_count_, 0);
  threshold_.assign(u_count_, NEG_INF);
  shared_ = {top_.data(), filled_.data(), threshold_.data()};
  floors_ = saved_ != nullptr && degree_ > 0 && old_degree_ >= degree_;
  least_.assign(floors_ ? u_count_ : 0, UINT64_MAX);
  adjacency_.resize(n_ * degree_);
  same_places_ = saved_ != nullptr;
  for (size_t s = 0; same_places_ && s < here_.size(); ++s) same_places_ = here_[s] == s;

  panels_.resize(f32_panel_count(full_count_) * dim_ * F32_PANEL_WIDTH);
  workers_.ranges(full_count_, PANEL_GRAIN,
                  [&](size_t begin, size_t end, size_t) { store_panels(begin, end); });
  mean_panel_.assign(dim_ * F32_PANEL_WIDTH, 0.0f);
  store_panel_row(mean_panel_.data(), dim_, 0, mean_.data());
  key_score_.resize(u_count_);
}

void VamanaGroupBuild::store_panels(size_t begin, size_t end) {
  for (size_t w = begin; w < end; ++w) store_panel_row(panels_.data(), dim_, w, reps_[w]);
  if (end == full_count_) {
    const std::vector<float> zeros(dim_, 0.0f);
    for (size_t w = end; w < f32_panel_count(full_count_) * F32_PANEL_WIDTH; ++w) {
      store_panel_row(panels_.data(), dim_, w, zeros.data());
    }
  }
}

void VamanaGroupBuild::score_pairs(KeptScratch& k) const {
  k.pair_score.resize(k.pair_a.size());
  dot_f32_pairs(k.pair_a.data(), k.pair_b.data(), k.pair_a.size(), dim_, k.pair_score.data());
}

// The floor of a kept key is the rank of each member's saved entry at the degree, the lowest over
// the members. Members of a key mostly share that entry's key: each (key, key) pair is scored
// once.
void VamanaGroupBuild::set_floors(size_t w0, size_t w1, KeptScratch& k) {
  const uint32_t first = member_start_[w0];
  k.entry.resize(member_start_[w1] - first);
  k.pair_of.resize(k.entry.size());
  k.pair_a.clear();
  k.pair_b.clear();
  for (size_t w = w0; w < w1; ++w) {
    for (uint32_t j = member_start_[w]; j < member_start_[w + 1]; ++j) {
      const uint32_t t = here_[saved_->neighbours(old_of_[members_[j]])[degree_ - 1]];
      k.entry[j - first] = t;
      if (j == member_start_[w] || reps_[group_[t]] != k.pair_b.back()) {
        k.pair_a.push_back(reps_[w]);
        k.pair_b.push_back(reps_[group_[t]]);
      }
      k.pair_of[j - first] = static_cast<uint32_t>(k.pair_a.size() - 1);
    }
  }
  score_pairs(k);
  for (size_t w = w0; w < w1; ++w) {
    for (uint32_t j = member_start_[w]; j < member_start_[w + 1]; ++j) {
      const uint64_t rank =
          node_rank(score_rank_key(k.pair_score[k.pair_of[j - first]]), k.entry[j - first]);
      least_[w] = std::min(least_[w], rank);
    }
    threshold_[w] = entry_threshold(least_[w] >> 32);
  }
}

void VamanaGroupBuild::score_block(size_t item, size_t worker) {
  if (worker != 0 && fail_in_workers_) throw std::bad_alloc();
  if (unfit_.load(std::memory_order_relaxed)) return;
  if (!scratch_[worker]) scratch_[worker].emplace().rows.resize(TILE * dim_);
  Scratch& mine = *scratch_[worker];
  const Lists whole = whole_lists_of(worker);
  const bool kept = item >= full_blocks_;
  const size_t r0 = kept ? full_count_ + (item - full_blocks_) * TILE : item * TILE;
  const size_t nr = std::min(TILE, (kept ? u_count_ : full_count_) - r0);
  if (kept && floors_) set_floors(r0, r0 + nr, mine.kept);
  float* rows = mine.rows.data();
  float* tile = mine.tile.data();
  for (size_t a = 0; a < nr; ++a) std::memcpy(&rows[a * dim_], reps_[r0 + a], dim_ * sizeof(float));
  dot_f32_panels(rows, nr, dim_, mean_panel_.data(), 1, dim_, tile, F32_PANEL_WIDTH);
  for (size_t a = 0; a < nr; ++a) key_score_[r0 + a] = tile[a * F32_PANEL_WIDTH];
  for (size_t c0 = kept ? 0 : r0; c0 < full_count_; c0 += TILE) {
    const size_t nc = std::min(TILE, full_count_ - c0);
    const float* columns = &panels_[(c0 / F32_PANEL_WIDTH) * dim_ * F32_PANEL_WIDTH];
    dot_f32_panels(rows, nr, dim_, columns, f32_panel_count(nc), dim_, tile, TILE);
    scan(tile, kept ? shared_ : whole, whole, r0, nr, c0, nc, kept || c0 != r0);
  }
  if (kept && !kept_lists(r0, r0 + nr, mine.kept)) unfit_.store(true, std::memory_order_relaxed);
}

VamanaGroupBuild::Lists VamanaGroupBuild::whole_lists_of(size_t worker) {
  if (worker == 0) return shared_;
  if (!own_[worker]) {
    OwnLists& lists = own_[worker].emplace();
    lists.top.resize(full_count_ * want_);
    lists.filled.assign(full_count_, 0);
    lists.threshold.assign(full_count_, NEG_INF);
  }
  return {own_[worker]->top.data(), own_[worker]->filled.data(), own_[worker]->threshold.data()};
}

// One tile of scores, tile[a * TILE + b] for keys r0 + a and c0 + b (c0 always below
// full_count): each feeds the row's list (in `rows`) with the column's members and, with `both`,
// the column's list (in `cols`) with the row's. A score goes on only when it is not below the
// threshold of the row's list or (with both) of its column's list; thresholds only rise, so the
// mask taken at the start of a row passes every score that passes the test when its turn comes.
void VamanaGroupBuild::scan(const float* tile, const Lists& rows, const Lists& cols, size_t r0,
                            size_t nr, size_t c0, size_t nc, bool both) const {
  const float* col_threshold = &cols.threshold[c0];
  uint64_t mask[TILE_MASK_WORDS];
  for (size_t a = 0; a < nr; ++a) {
    const float* s = &tile[a * TILE];
    const size_t row = r0 + a;
    const float& row_threshold = rows.threshold[row];
    lanes_not_below(s, nc, row_threshold, both ? col_threshold : nullptr, mask);
    for (size_t word = 0; word < items_of(nc, 64); ++word) {
      for (uint64_t lanes = mask[word]; lanes != 0; lanes &= lanes - 1) {
        const size_t b = word * 64 + static_cast<size_t>(__builtin_ctzll(lanes));
        if (!(s[b] < row_threshold)) offer(rows, row, c0 + b, s[b]);
        if (both && !(s[b] < col_threshold[b])) offer(cols, c0 + b, row, s[b]);
      }
    }
  }
}

// Offers the members of key `from`, all scoring `score`, to the list of key `list` in `lists`:
// all of them to a whole list, the new ones to a kept one. Members come in ascending order, so
// once one fails to enter the rest fail too.
void VamanaGroupBuild::offer(const Lists& lists, size_t list, size_t from, float score) const {
  const bool whole = list < full_count_;
  const uint32_t* m =
      whole ? members_.data() + member_start_[from] : new_members_.data() + new_start_[from];
  const size_t cap = whole ? want_ : degree_;
  const size_t m_count = std::min<size_t>(cap, whole ? member_start_[from + 1] - member_start_[from]
                                                     : new_start_[from + 1] - new_start_[from]);
  const uint64_t floor = whole || least_.empty() ? 0 : least_[list];
  const uint32_t key = score_rank_key(score);
  uint64_t* entries = &lists.top[list * want_];
  uint32_t& count = lists.filled[list];
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
  if (changed && count == cap) lists.threshold[list] = entry_threshold(entries[cap - 1] >> 32);
}

// Each member merges its saved list with the new nodes that entered the key's list. A kept key's
// saved lists are scored only then, and for one key in KEPT_CHECK_STRIDE: they must rank as this
// index's keys rank them, or the saved graph was not built from them (false).
bool VamanaGroupBuild::kept_lists(size_t w0, size_t w1, KeptScratch& k) {
  k.ranks.resize(old_degree_);
  for (size_t w = w0; w < w1; ++w) {
    const bool check = (w - full_count_) % KEPT_CHECK_STRIDE == 0;
    if (filled_[w] == 0 && !check && old_degree_ >= degree_) {
      copy_saved_lists(w);
    } else if (!merge_saved_lists(w, k)) {
      return false;
    }
  }
  return true;
}

// No new node entered key w's list: its members keep their saved lists as they are.
void VamanaGroupBuild::copy_saved_lists(size_t w) {
  for (uint32_t j = member_start_[w]; j < member_start_[w + 1]; ++j) {
    const uint32_t i = members_[j];
    std::span<const uint32_t> list = saved_->neighbours(old_of_[i]);
    uint32_t* out = adjacency_.data() + size_t{i} * degree_;
    if (same_places_) {
      std::memcpy(out, list.data(), degree_ * sizeof(uint32_t));
    } else {
      for (size_t r = 0; r < degree_; ++r) out[r] = here_[list[r]];
    }
  }
}

bool VamanaGroupBuild::merge_saved_lists(size_t w, KeptScratch& k) {
  const uint64_t* fresh = &top_[w * want_];
  const size_t fresh_count = filled_[w];
  k.targets.clear();
  k.pair_a.clear();
  k.pair_b.clear();
  for (uint32_t j = member_start_[w]; j < member_start_[w + 1]; ++j) {
    for (uint32_t t : saved_->neighbours(old_of_[members_[j]])) {
      const uint32_t key = group_[here_[t]];
      if (std::find(k.targets.begin(), k.targets.end(), key) == k.targets.end()) {
        k.targets.push_back(key);
        k.pair_a.push_back(reps_[w]);
        k.pair_b.push_back(reps_[key]);
      }
    }
  }
  score_pairs(k);
  for (uint32_t j = member_start_[w]; j < member_start_[w + 1]; ++j) {
    const uint32_t i = members_[j];
    std::span<const uint32_t> list = saved_->neighbours(old_of_[i]);
    for (size_t r = 0; r < old_degree_; ++r) {
      const uint32_t t = here_[list[r]];
      const size_t at =
          std::find(k.targets.begin(), k.targets.end(), group_[t]) - k.targets.begin();
      k.ranks[r] = node_rank(score_rank_key(k.pair_score[at]), t);
      if (r > 0 && !(k.ranks[r - 1] > k.ranks[r])) return false;
    }
    uint32_t* out = adjacency_.data() + size_t{i} * degree_;
    for (size_t r = 0, a = 0, b = 0; r < degree_; ++r) {
      if (a == old_degree_ && b == fresh_count) return false;  // lists that cannot be
      const bool from_saved = b == fresh_count || (a < old_degree_ && k.ranks[a] > fresh[b]);
      out[r] = node_of_rank(from_saved ? k.ranks[a++] : fresh[b++]);
    }
  }
  return true;
}

// Every other worker's list of the key merged with the shared one (two ranked lists of distinct
// nodes, merged and cut at `want`, whichever worker gathered which offers), then each member
// takes the result without itself, cut at the degree.
void VamanaGroupBuild::write_whole_lists(size_t begin, size_t end) {
  std::vector<uint64_t> list(want_), merged(want_);
  for (size_t w = begin; w < end; ++w) {
    size_t count = filled_[w];
    std::copy_n(&top_[w * want_], count, list.begin());
    for (const auto& lists : own_) {
      if (!lists) continue;
      const uint64_t* from = &lists->top[w * want_];
      const size_t from_count = lists->filled[w];
      size_t a = 0, b = 0, r = 0;
      for (; r < want_ && (a < count || b < from_count); ++r) {
        merged[r] = b == from_count || (a < count && list[a] > from[b]) ? list[a++] : from[b++];
      }
      list.swap(merged);
      count = r;
    }
    for (uint32_t j = member_start_[w]; j < member_start_[w + 1]; ++j) {
      const uint32_t i = members_[j];
      uint32_t* out = adjacency_.data() + size_t{i} * degree_;
      size_t taken = 0;
      for (size_t r = 0; r < count && taken < degree_; ++r) {
        const uint32_t node = node_of_rank(list[r]);
        if (node == i) continue;
        out[taken++] = node;
      }
      QM_CHECK(taken == degree_);
    }
  }
}

void VamanaGroupBuild::install() {
  index_.entry_point_ = entry_of(n_, [&](size_t i) { return key_score_[group_[i]]; });
  index_.adjacency_ = std::move(adjacency_);
  for (size_t i = 0; i <= n_; ++i) index_.adj_start_[i] = i * degree_;
}

void VamanaIndex::key_mean_slice(size_t j0, size_t j1, float* mean) const {
  // mean[j] += key[j] / n for every node in order: a division and an addition per term. A run
  // of nodes that share a key adds the same quotients, so they are divided once per run and
  // added once per node of it. Each position sums apart from the others (the additions are
  // element-wise), so any slice of the positions can be summed on its own.
  std::vector<float> sum(j1 - j0, 0.0f);
  std::vector<float> quotients(j1 - j0, 0.0f);
  const float n = static_cast<float>(ids_.size());
  for (size_t i = 0; i < ids_.size();) {
    const uint32_t owner = key_of_[i];
    size_t run = 1;
    while (i + run < ids_.size() && key_of_[i + run] == owner) ++run;
    i += run;
    const std::span<const float> key = *key_owners_[owner];
    const size_t width = std::min<size_t>(key.size(), dim_);
    const size_t m = width > j0 ? std::min(width, j1) - j0 : 0;
    if (m == 0) continue;
    divide_f32(key.data() + j0, n, quotients.data(), m);
    accumulate_f32_repeated(sum.data(), quotients.data(), m, run);
  }
  std::copy(sum.begin(), sum.end(), mean + j0);
}

std::vector<float> VamanaIndex::key_mean() const {
  std::vector<float> mean(dim_, 0.0f);
  key_mean_slice(0, dim_, mean.data());
  return mean;
}

void VamanaIndex::compute_entry_point() {
  if (ids_.empty()) return;
  const std::vector<float> mean = key_mean();
  entry_point_ = entry_of(ids_.size(), [&](size_t i) {
    std::span<const float> key = node_key(i);
    return dot_f32(key.data(), mean.data(), std::min<size_t>(key.size(), dim_));
  });
}

void VamanaIndex::build(size_t threads) {
  if (ids_.empty()) return;
  if (!adjacency_.empty()) {
    compute_entry_point();
    return;
  }
  build_distinct_keys(threads);
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

void VamanaIndex::build_distinct_keys(size_t threads) {
  if (!build_groups(nullptr, threads)) build_all_pairs();
}

bool VamanaIndex::build_reusing(const VamanaIndex& saved, size_t threads) {
  QM_CHECK(adjacency_.empty());
  return build_groups(&saved, threads);
}

bool VamanaIndex::build_groups(const VamanaIndex* saved, size_t threads) {
  if (ids_.empty()) return true;
  if (dim_ == 0) return false;
  // Every node's key is one of the owners' (nodes are only appended with one).
  for (const SharedKey& key : key_owners_) {
    if (key->size() != dim_) return false;
  }
  if (saved != nullptr && (saved->dim_ != dim_ || saved->max_degree_ != max_degree_ ||
                           !saved->ids_ascending_ || !ids_ascending_)) {
    return false;
  }
  if (threads == 0 || ids_.size() < build_hooks().min_parallel_nodes) threads = 1;
  return VamanaGroupBuild(*this, saved, threads).run();
}

}  // namespace quellmar
