#include "quellmar/index/vamana_index.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <limits>
#include <mutex>
#include <new>
#include <string_view>
#include <system_error>
#include <thread>
#include <unordered_set>

#include "quellmar/core/coding.h"
#include "quellmar/core/file_names.h"
#include "quellmar/core/internal_fault.h"
#include "quellmar/core/posix_file.h"
#include "quellmar/core/saturating.h"
#include "quellmar/core/str_cat.h"
#include "quellmar/core/temp_file.h"
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

// Keys per row block of the blocked build: the rows of one tile of scores, and one work item.
constexpr size_t TILE = 128;
// Items of the other parallel steps: runs of nodes or keys, of panel rows (a whole number of
// panels), and of key positions for the mean (a cache line of floats).
constexpr size_t RANGE_GRAIN = 256;
constexpr size_t PANEL_GRAIN = 4 * TILE;
constexpr size_t MEAN_SLICE = 64 / sizeof(float);
static_assert(PANEL_GRAIN % F32_PANEL_WIDTH == 0);

VamanaBuildHooks& build_hooks() {
  static VamanaBuildHooks hooks;
  return hooks;
}

// The worker threads of one build: started when the build begins and joined when it ends (no
// thread outlives the build). Each step of the build is a number of items (row blocks, runs of
// nodes): run() hands them out one at a time to whichever thread asks first, the calling thread
// among them, and returns once every item is done. It never waits for a thread that has not come
// to the step: a thread that the system did not start, or one that has not woken yet, leaves its
// share to the others. The first exception an item throws is rethrown by run() on the calling
// thread once the step is over; the items not yet begun by then are dropped.
class BuildWorkers {
 public:
  using Body = FunctionRef<void(size_t item, size_t worker)>;

  explicit BuildWorkers(size_t threads) {
    if (threads <= 1) return;
    const size_t start_limit = build_hooks().thread_starts;
    try {
      started_.reserve(threads - 1);
      for (size_t worker = 1; worker < threads; ++worker) {
        if (started_.size() >= start_limit) {
          throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
        }
        started_.emplace_back([this, worker] { serve(worker); });
      }
    } catch (const std::system_error&) {
      // Fewer threads: those started and the calling thread share the work.
    } catch (const std::bad_alloc&) {
    }
  }
  ~BuildWorkers() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      stop_ = true;
    }
    wake_.notify_all();
    started_.clear();  // joins every thread
  }
  BuildWorkers(const BuildWorkers&) = delete;
  BuildWorkers& operator=(const BuildWorkers&) = delete;

  // The threads that share the steps, the calling thread included; worker numbers run below it.
  size_t size() const { return started_.size() + 1; }

  // body(item, worker) for every item of [0, items), worker 0 being the calling thread. With
  // `caller_takes_items` false the calling thread only waits (when there are other threads).
  void run(size_t items, Body body, bool caller_takes_items = true) {
    if (items == 0) return;
    if (started_.empty()) {
      for (size_t item = 0; item < items; ++item) body(item, 0);
      return;
    }
    QM_CHECK(items <= UINT32_MAX);
    uint32_t step = 0;
    {
      std::lock_guard<std::mutex> lock(mu_);
      step = ++step_;
      body_.emplace(body);
      items_ = items;
      done_ = 0;
      failure_ = nullptr;
      failed_.store(false, std::memory_order_relaxed);
      ticket_.store(uint64_t{step} << 32, std::memory_order_relaxed);
    }
    wake_.notify_all();
    if (caller_takes_items) drain(step, body, items, 0);
    std::exception_ptr failure;
    {
      std::unique_lock<std::mutex> lock(mu_);
      finished_.wait(lock, [&] { return done_ == items_; });
      failure = failure_;
    }
    if (failure) std::rethrow_exception(failure);
  }

  // fn(begin, end, worker) over the runs of `grain` of [0, count).
  template <typename Fn>
  void ranges(size_t count, size_t grain, Fn&& fn) {
    run((count + grain - 1) / grain, [&](size_t item, size_t worker) {
      fn(item * grain, std::min(count, (item + 1) * grain), worker);
    });
  }

 private:
  void serve(size_t worker) {
    uint32_t seen = 0;
    for (;;) {
      std::optional<Body> body;
      size_t items = 0;
      uint32_t step = 0;
      {
        std::unique_lock<std::mutex> lock(mu_);
        wake_.wait(lock, [&] { return stop_ || step_ != seen; });
        if (stop_) return;
        seen = step = step_;
        body = body_;
        items = items_;
      }
      drain(step, *body, items, worker);
    }
  }

  // Takes the step's items until none is left. The ticket holds the step's number above the next
  // item: a thread still on an earlier step takes nothing from a later one.
  void drain(uint32_t step, Body body, size_t items, size_t worker) {
    for (;;) {
      uint64_t ticket = ticket_.load(std::memory_order_relaxed);
      do {
        if (static_cast<uint32_t>(ticket >> 32) != step || (ticket & UINT32_MAX) >= items) return;
      } while (!ticket_.compare_exchange_weak(ticket, ticket + 1, std::memory_order_relaxed));
      if (!failed_.load(std::memory_order_relaxed)) {
        try {
          body(static_cast<size_t>(ticket & UINT32_MAX), worker);
        } catch (...) {
          std::lock_guard<std::mutex> lock(mu_);
          if (!failure_) failure_ = std::current_exception();
          failed_.store(true, std::memory_order_relaxed);
        }
      }
      std::lock_guard<std::mutex> lock(mu_);
      if (++done_ == items_) finished_.notify_one();
    }
  }

  // The step under way; guarded by mu_ except the ticket and the failed flag.
  std::mutex mu_;
  std::condition_variable wake_;      // a step begins, or the threads are to stop
  std::condition_variable finished_;  // the step's last item is done
  uint32_t step_ = 0;
  std::optional<Body> body_;
  size_t items_ = 0;
  size_t done_ = 0;
  std::exception_ptr failure_;
  bool stop_ = false;
  std::atomic<uint64_t> ticket_{0};
  std::atomic<bool> failed_{false};
  // Last, so that the threads are joined before anything they use goes.
  std::vector<std::jthread> started_;
};

}  // namespace

VamanaBuildHooks& vamana_build_hooks_for_testing() { return build_hooks(); }

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
  const size_t n = ids_.size();
  if (n == 0) return true;
  if (dim_ == 0) return false;
  // Every node's key is one of the owners' (nodes are only appended with one).
  for (const SharedKey& key : key_owners_) {
    if (key->size() != dim_) return false;
  }
  if (threads == 0 || n < build_hooks().min_parallel_nodes) threads = 1;
  const size_t degree = std::min<uint64_t>(max_degree_, n - 1);
  // The best degree + 1 nodes of a key's ranked list cover every member's own list, whatever
  // member is left out as the node itself.
  const size_t want = degree + 1;
  const size_t n_owners = key_owners_.size();
  if (saved != nullptr && (saved->dim_ != dim_ || saved->max_degree_ != max_degree_ ||
                           !saved->ids_ascending_ || !ids_ascending_)) {
    return false;
  }
  BuildWorkers workers(threads);

  // With a saved graph: the saved node of each node here (NO_NODE for a new one), the node here
  // of each saved node (NO_NODE for one that is gone), and the nodes that are ranked over all
  // others: the new ones, and those whose saved list names a node that is gone. Both id lists
  // ascend strictly, so each run of nodes finds its saved nodes from where its first id would
  // be.
  std::vector<uint32_t> old_of, here;
  std::vector<uint8_t> ranked_afresh;
  const size_t m = saved != nullptr ? saved->ids_.size() : 0;
  const size_t old_degree = m == 0 ? 0 : std::min<uint64_t>(max_degree_, m - 1);
  if (saved != nullptr) {
    old_of.assign(n, NO_NODE);
    here.assign(m, NO_NODE);
    ranked_afresh.assign(n, 1);
  }
  // Distinct keys: nodes sharing a key owner are equal; owners are then grouped by bit pattern.
  // Each owner's hash is taken on its own; then the owners are split by hash into parts, and
  // each part finds, through an open-addressing table of its own, the first owner with each
  // owner's bytes (every key has dim values here).
  std::vector<size_t> owner_hash(n_owners);
  std::vector<uint32_t> first_owner(n_owners);
  // The mean of all nodes, for the entry point's scores (each key against it).
  std::vector<float> mean(dim_, 0.0f);
  const size_t per_worker = (dim_ + workers.size() - 1) / workers.size();
  const size_t slice =
      std::max(MEAN_SLICE, (per_worker + MEAN_SLICE - 1) / MEAN_SLICE * MEAN_SLICE);

  // One step for what needs only the nodes: the saved nodes, the hashes and the mean.
  const size_t match_items = saved != nullptr ? (n + RANGE_GRAIN - 1) / RANGE_GRAIN : 0;
  const size_t hash_items = (n_owners + RANGE_GRAIN - 1) / RANGE_GRAIN;
  const size_t mean_items = (dim_ + slice - 1) / slice;
  workers.run(match_items + hash_items + mean_items, [&](size_t item, size_t) {
    if (item < match_items) {
      const size_t begin = item * RANGE_GRAIN, end = std::min(n, begin + RANGE_GRAIN);
      size_t s = static_cast<size_t>(
          std::lower_bound(saved->ids_.begin(), saved->ids_.end(), ids_[begin]) -
          saved->ids_.begin());
      for (size_t i = begin; i < end && s < m; ++i) {
        while (s < m && saved->ids_[s] < ids_[i]) ++s;
        if (s < m && saved->ids_[s] == ids_[i]) {
          old_of[i] = static_cast<uint32_t>(s);
          here[s++] = static_cast<uint32_t>(i);
        }
      }
    } else if (item < match_items + hash_items) {
      const size_t begin = (item - match_items) * RANGE_GRAIN;
      for (size_t o = begin; o < std::min(n_owners, begin + RANGE_GRAIN); ++o) {
        owner_hash[o] = KeyBytesHash{}(key_bytes(*key_owners_[o]));
      }
    } else {
      const size_t j0 = (item - match_items - hash_items) * slice;
      key_mean_slice(j0, std::min<size_t>(dim_, j0 + slice), mean.data());
    }
  });

  // Then the saved lists are checked, and equal keys found. Each part reads every owner's hash:
  // a few parts per thread, none much smaller than a run.
  const size_t parts = std::min(workers.size() == 1 ? 1 : 4 * workers.size(), hash_items);
  auto part_of = [&](size_t hash) { return static_cast<size_t>((hash >> 32) % parts); };
  std::atomic<bool> unfit{false};
  workers.run(match_items + parts, [&](size_t item, size_t) {
    if (item < match_items) {
      for (size_t i = item * RANGE_GRAIN; i < std::min(n, (item + 1) * RANGE_GRAIN); ++i) {
        const uint32_t s = old_of[i];
        if (s == NO_NODE) continue;
        std::span<const uint32_t> list = saved->neighbours(s);
        bool gone = false;
        for (uint32_t t : list) {
          if (t == s) unfit.store(true, std::memory_order_relaxed);
          gone = gone || here[t] == NO_NODE;
        }
        if (list.size() != old_degree) unfit.store(true, std::memory_order_relaxed);
        ranked_afresh[i] = gone;
      }
      return;
    }
    const size_t part = item - match_items;
    std::vector<uint32_t> in_part;
    for (size_t o = 0; o < n_owners; ++o) {
      if (part_of(owner_hash[o]) == part) in_part.push_back(static_cast<uint32_t>(o));
    }
    size_t slots = 16;
    while (slots < 2 * in_part.size()) slots *= 2;
    std::vector<uint32_t> table(slots, UINT32_MAX);
    for (uint32_t o : in_part) {
      const float* key = key_owners_[o]->data();
      size_t at = owner_hash[o] & (slots - 1);
      while (table[at] != UINT32_MAX &&
             std::memcmp(key_owners_[table[at]]->data(), key, dim_ * sizeof(float)) != 0) {
        at = (at + 1) & (slots - 1);
      }
      if (table[at] == UINT32_MAX) table[at] = o;
      first_owner[o] = table[at];
    }
  });
  if (unfit.load()) return false;
  // Keys are numbered as their first nodes come: owners follow their first nodes' order, so a
  // key's number is the count of first owners before its own.
  std::vector<uint32_t> group_of_owner(n_owners);
  std::vector<const float*> reps;
  for (size_t o = 0; o < n_owners; ++o) {
    if (first_owner[o] == o) {
      group_of_owner[o] = static_cast<uint32_t>(reps.size());
      reps.push_back(key_owners_[o]->data());
    } else {
      group_of_owner[o] = group_of_owner[first_owner[o]];
    }
  }
  std::vector<uint32_t> group(n);
  for (size_t i = 0; i < n; ++i) group[i] = group_of_owner[key_of_[i]];
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
  // the list any more. Entries past a list's `filled` count are never read.
  std::vector<uint64_t, AlignedAllocator<uint64_t>> top(u_count * want);
  std::vector<uint32_t> filled(u_count, 0);
  std::vector<float> threshold(u_count, -std::numeric_limits<float>::infinity());
  // A new node enters a kept list only when it ranks above the saved list's entry at the degree
  // (when the saved lists are that long).
  const bool floors = saved != nullptr && degree > 0 && old_degree >= degree;
  std::vector<uint64_t> least(floors ? u_count : 0, UINT64_MAX);

  // One worker's view of the lists: those of keys with whole lists, and those of the kept keys.
  // Worker 0 gathers straight into the shared lists; every other worker gathers the whole lists
  // into lists of its own (any key's whole list takes offers from every row block), merged with
  // the shared ones once all are done. A kept key's list takes offers only from its own row
  // block, which one worker scores, so every worker writes the kept lists in place.
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
  const Lists shared{top.data(), filled.data(), threshold.data()};

  // Offers the members of key `from`, all scoring `score`, to the list of key `list` in `lists`:
  // all of them to a whole list, the new ones to a kept one. Members come in ascending order, so
  // once one fails to enter the rest fail too.
  auto offer = [&](const Lists& lists, size_t list, size_t from, float score) {
    const bool whole = list < full_count;
    const uint32_t* m =
        whole ? members.data() + member_start[from] : new_members.data() + new_start[from];
    const size_t cap = whole ? want : degree;
    const size_t m_count = std::min<size_t>(cap, whole ? member_start[from + 1] - member_start[from]
                                                       : new_start[from + 1] - new_start[from]);
    const uint64_t floor = whole || least.empty() ? 0 : least[list];
    const uint32_t key = score_rank_key(score);
    uint64_t* entries = &lists.top[list * want];
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
  };

  // One tile of scores, tile[a * TILE + b] for keys r0 + a and c0 + b (c0 always below
  // full_count): each feeds the row's list (in `rows`) with the column's members and, with
  // `both`, the column's list (in `cols`) with the row's. A score goes on only when it is not
  // below the threshold of the row's list or (with both) of its column's list; thresholds only
  // rise, so the mask taken at the start of a row passes every score that passes the test when
  // its turn comes.
  static_assert(TILE % F32_PANEL_WIDTH == 0);
  auto scan = [&](const float* tile, const Lists& rows, const Lists& cols, size_t r0, size_t nr,
                  size_t c0, size_t nc, bool both) {
    const float* col_threshold = &cols.threshold[c0];
    uint64_t mask[(TILE + 63) / 64];
    for (size_t a = 0; a < nr; ++a) {
      const float* s = &tile[a * TILE];
      const size_t row = r0 + a;
      const float& row_threshold = rows.threshold[row];
      lanes_not_below(s, nc, row_threshold, both ? col_threshold : nullptr, mask);
      for (size_t word = 0; word * 64 < nc; ++word) {
        for (uint64_t lanes = mask[word]; lanes != 0; lanes &= lanes - 1) {
          const size_t b = word * 64 + static_cast<size_t>(__builtin_ctzll(lanes));
          if (!(s[b] < row_threshold)) offer(rows, row, c0 + b, s[b]);
          if (both && !(s[b] < col_threshold[b])) offer(cols, c0 + b, row, s[b]);
        }
      }
    }
  };

  // Scratch of the kept keys' steps, one per worker.
  struct KeptScratch {
    std::vector<uint32_t> entry, pair_of;
    std::vector<const float*> pair_a, pair_b;
    std::vector<float> pair_score;
    std::vector<uint32_t> targets;  // the keys a kept key's saved lists name, scored in pair_score
    std::vector<uint64_t> ranks;
  };
  auto score_pairs = [&](KeptScratch& k) {
    k.pair_score.resize(k.pair_a.size());
    dot_f32_pairs(k.pair_a.data(), k.pair_b.data(), k.pair_a.size(), dim_, k.pair_score.data());
  };
  // The floors and thresholds of kept keys [w0, w1): the rank of each member's saved entry at the
  // degree, the lowest over the members. Members of a key mostly share that entry's key: each
  // (key, key) pair is scored once.
  auto set_floors = [&](size_t w0, size_t w1, KeptScratch& k) {
    const uint32_t first = member_start[w0];
    k.entry.resize(member_start[w1] - first);
    k.pair_of.resize(k.entry.size());
    k.pair_a.clear();
    k.pair_b.clear();
    for (size_t w = w0; w < w1; ++w) {
      for (uint32_t j = member_start[w]; j < member_start[w + 1]; ++j) {
        const uint32_t t = here[saved->neighbours(old_of[members[j]])[degree - 1]];
        k.entry[j - first] = t;
        if (j == member_start[w] || reps[group[t]] != k.pair_b.back()) {
          k.pair_a.push_back(reps[w]);
          k.pair_b.push_back(reps[group[t]]);
        }
        k.pair_of[j - first] = static_cast<uint32_t>(k.pair_a.size() - 1);
      }
    }
    score_pairs(k);
    for (size_t w = w0; w < w1; ++w) {
      for (uint32_t j = member_start[w]; j < member_start[w + 1]; ++j) {
        const uint64_t rank =
            node_rank(score_rank_key(k.pair_score[k.pair_of[j - first]]), k.entry[j - first]);
        least[w] = std::min(least[w], rank);
      }
      threshold[w] = entry_threshold(least[w] >> 32);
    }
  };

  std::vector<uint32_t, AlignedAllocator<uint32_t>> adjacency(n * degree);
  // Saved node s is node s here when nothing is gone and the new nodes come after the old ones
  // (an engine that only grew): saved lists then need no translation.
  bool same_places = saved != nullptr;
  for (size_t s = 0; same_places && s < here.size(); ++s) same_places = here[s] == s;
  // The lists of the members of kept keys [w0, w1), once no more offers can reach them: each
  // member merges its saved list with the new nodes that entered the key's list. A kept key's
  // saved lists are scored only then, and for one key in KEPT_CHECK_STRIDE: they must rank as
  // this index's keys rank them, or the saved graph was not built from them (false).
  auto kept_lists = [&](size_t w0, size_t w1, KeptScratch& k) {
    k.ranks.resize(old_degree);
    for (size_t w = w0; w < w1; ++w) {
      const bool check = (w - full_count) % KEPT_CHECK_STRIDE == 0;
      const uint64_t* fresh = &top[w * want];
      const size_t fresh_count = filled[w];
      if (fresh_count == 0 && !check && old_degree >= degree) {
        for (uint32_t j = member_start[w]; j < member_start[w + 1]; ++j) {
          const uint32_t i = members[j];
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
      k.targets.clear();
      k.pair_a.clear();
      k.pair_b.clear();
      for (uint32_t j = member_start[w]; j < member_start[w + 1]; ++j) {
        for (uint32_t t : saved->neighbours(old_of[members[j]])) {
          const uint32_t key = group[here[t]];
          if (std::find(k.targets.begin(), k.targets.end(), key) == k.targets.end()) {
            k.targets.push_back(key);
            k.pair_a.push_back(reps[w]);
            k.pair_b.push_back(reps[key]);
          }
        }
      }
      score_pairs(k);
      for (uint32_t j = member_start[w]; j < member_start[w + 1]; ++j) {
        const uint32_t i = members[j];
        std::span<const uint32_t> list = saved->neighbours(old_of[i]);
        for (size_t r = 0; r < old_degree; ++r) {
          const uint32_t t = here[list[r]];
          const size_t at =
              std::find(k.targets.begin(), k.targets.end(), group[t]) - k.targets.begin();
          k.ranks[r] = node_rank(score_rank_key(k.pair_score[at]), t);
          if (r > 0 && !(k.ranks[r - 1] > k.ranks[r])) return false;
        }
        uint32_t* out = adjacency.data() + size_t{i} * degree;
        for (size_t r = 0, a = 0, b = 0; r < degree; ++r) {
          if (a == old_degree && b == fresh_count) return false;  // lists that cannot be
          const bool from_saved = b == fresh_count || (a < old_degree && k.ranks[a] > fresh[b]);
          out[r] = node_of_rank(from_saved ? k.ranks[a++] : fresh[b++]);
        }
      }
    }
    return true;
  };

  // The keys with whole lists as panels, the columns of every tile (padding lanes zero).
  const size_t n_panels = f32_panel_count(full_count);
  std::vector<float, AlignedAllocator<float>> panels(n_panels * dim_ * F32_PANEL_WIDTH);
  workers.ranges(full_count, PANEL_GRAIN, [&](size_t begin, size_t end, size_t) {
    for (size_t w = begin; w < end; ++w) store_panel_row(panels.data(), dim_, w, reps[w]);
    if (end == full_count) {
      const std::vector<float> zeros(dim_, 0.0f);
      for (size_t w = end; w < n_panels * F32_PANEL_WIDTH; ++w) {
        store_panel_row(panels.data(), dim_, w, zeros.data());
      }
    }
  });
  std::vector<float> mean_panel(dim_ * F32_PANEL_WIDTH, 0.0f);
  store_panel_row(mean_panel.data(), dim_, 0, mean.data());
  std::vector<float> key_score(u_count);
  auto panels_from = [&](size_t c0) {
    return &panels[(c0 / F32_PANEL_WIDTH) * dim_ * F32_PANEL_WIDTH];
  };

  // The scores, one row block of TILE keys at a time, in order: first the keys with whole lists
  // against each other, the symmetric score matrix in square blocks, each block (b, c) with
  // c >= b feeding its rows' lists with its columns and, off the diagonal, its columns' lists
  // with its rows; then the kept keys against the keys with whole lists, in one pass that serves
  // both directions, after which the kept keys' lists are final and their members' lists are
  // made. Row blocks go to whichever worker asks next.
  const size_t full_blocks = (full_count + TILE - 1) / TILE;
  const size_t kept_blocks = (u_count - full_count + TILE - 1) / TILE;
  // Each thread's lists (none for the calling thread's, which are the shared ones) and scratch.
  struct Scratch {
    std::vector<float> tile = std::vector<float>(TILE * TILE);
    std::vector<float> rows;
    KeptScratch kept;
  };
  std::vector<std::optional<OwnLists>> own(workers.size());
  std::vector<std::optional<Scratch>> scratch(workers.size());
  // The test hook's failure: the calling thread leaves the step to the other threads.
  const bool fail_in_workers = build_hooks().fail_in_workers && workers.size() > 1;
  auto score_block = [&](size_t item, size_t worker) {
    if (worker != 0 && fail_in_workers) throw std::bad_alloc();
    if (unfit.load(std::memory_order_relaxed)) return;
    if (!scratch[worker]) scratch[worker].emplace().rows.resize(TILE * dim_);
    Scratch& mine = *scratch[worker];
    Lists whole = shared;
    if (worker != 0) {
      if (!own[worker]) {
        OwnLists& lists = own[worker].emplace();
        lists.top.resize(full_count * want);
        lists.filled.assign(full_count, 0);
        lists.threshold.assign(full_count, -std::numeric_limits<float>::infinity());
      }
      whole = {own[worker]->top.data(), own[worker]->filled.data(), own[worker]->threshold.data()};
    }
    const bool kept = item >= full_blocks;
    const size_t r0 = kept ? full_count + (item - full_blocks) * TILE : item * TILE;
    const size_t nr = std::min(TILE, (kept ? u_count : full_count) - r0);
    if (kept && floors) set_floors(r0, r0 + nr, mine.kept);
    float* rows = mine.rows.data();
    float* tile = mine.tile.data();
    for (size_t a = 0; a < nr; ++a)
      std::memcpy(&rows[a * dim_], reps[r0 + a], dim_ * sizeof(float));
    dot_f32_panels(rows, nr, dim_, mean_panel.data(), 1, dim_, tile, F32_PANEL_WIDTH);
    for (size_t a = 0; a < nr; ++a) key_score[r0 + a] = tile[a * F32_PANEL_WIDTH];
    for (size_t c0 = kept ? 0 : r0; c0 < full_count; c0 += TILE) {
      const size_t nc = std::min(TILE, full_count - c0);
      dot_f32_panels(rows, nr, dim_, panels_from(c0), f32_panel_count(nc), dim_, tile, TILE);
      scan(tile, kept ? shared : whole, whole, r0, nr, c0, nc, kept || c0 != r0);
    }
    if (kept && !kept_lists(r0, r0 + nr, mine.kept)) unfit.store(true, std::memory_order_relaxed);
  };
  workers.run(full_blocks + kept_blocks, score_block, /*caller_takes_items=*/!fail_in_workers);
  scratch.clear();
  if (unfit.load()) return false;

  // The lists of the members of keys with whole lists: every other worker's lists of the key
  // merged with the shared one (two ranked lists of distinct nodes, merged and cut at `want`,
  // whichever worker gathered which offers), then each member takes the result without itself,
  // cut at the degree.
  workers.ranges(full_count, RANGE_GRAIN, [&](size_t begin, size_t end, size_t) {
    std::vector<uint64_t> list(want), merged(want);
    for (size_t w = begin; w < end; ++w) {
      size_t count = filled[w];
      std::copy_n(&top[w * want], count, list.begin());
      for (const auto& lists : own) {
        if (!lists) continue;
        const uint64_t* from = &lists->top[w * want];
        const size_t from_count = lists->filled[w];
        size_t a = 0, b = 0, r = 0;
        for (; r < want && (a < count || b < from_count); ++r) {
          merged[r] = b == from_count || (a < count && list[a] > from[b]) ? list[a++] : from[b++];
        }
        list.swap(merged);
        count = r;
      }
      for (uint32_t j = member_start[w]; j < member_start[w + 1]; ++j) {
        const uint32_t i = members[j];
        uint32_t* out = adjacency.data() + size_t{i} * degree;
        size_t taken = 0;
        for (size_t r = 0; r < count && taken < degree; ++r) {
          const uint32_t node = node_of_rank(list[r]);
          if (node == i) continue;
          out[taken++] = node;
        }
        QM_CHECK(taken == degree);
      }
    }
  });
  own.clear();

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
  // A key of another width is left out before anything is pooled or copied.
  if (!view || view->dim() != dim_) return;
  insert_node(cell_id, SharedKey(view->mean_pooled()));
}

void VamanaIndex::insert_shared(CellId cell_id, OwnerId /*owner*/, const SharedKey& key,
                                const SharedKey& pooled) {
  if (!classify_key(*key) || pooled->size() != dim_) return;
  insert_node(cell_id, pooled);
}

void VamanaIndex::remove(CellId /*cell_id*/) {}

std::vector<ScoredCell> VamanaIndex::search_excluding(std::span<const float> query, uint64_t k,
                                                      std::optional<OwnerId> owner,
                                                      const CellIdSet* /*exclude*/,
                                                      const KeyFetcher* /*fetcher*/) const {
  return search(query, k, owner);
}

uint64_t vamana_key_digest(std::span<const float> key) {
  // The values' little-endian bytes, 16 at a time: one 64 x 64 -> 128-bit product per piece, of
  // its two halves each mixed with a constant (the first also with the piece's place), the
  // products independent of one another so that a key digests at the pace of the multiplier;
  // the tail and the length, then a final mix.
  static_assert(std::endian::native == std::endian::little);
  constexpr uint64_t K0 = 0xA0761D6478BD642Full, K1 = 0xE7037ED1A0B428DBull;
  constexpr uint64_t K2 = 0x8EBC6AF09C88C6E3ull, MUL = 0x9E3779B97F4A7C15ull;
  const auto* p = reinterpret_cast<const uint8_t*>(key.data());
  const size_t n = key.size() * sizeof(float);
  auto mix = [](uint64_t a, uint64_t b) {
    const unsigned __int128 m = static_cast<unsigned __int128>(a) * b;
    return static_cast<uint64_t>(m) ^ static_cast<uint64_t>(m >> 64);
  };
  uint64_t h = mix(n ^ K0, K2);
  size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    uint64_t a, b;
    std::memcpy(&a, p + i, 8);
    std::memcpy(&b, p + i + 8, 8);
    h ^= mix(a ^ (K0 + i), b ^ K1);
  }
  if (i < n) {
    uint64_t a = 0, b = 0;
    std::memcpy(&a, p + i, std::min<size_t>(8, n - i));
    if (n - i > 8) std::memcpy(&b, p + i + 8, n - i - 8);
    h ^= mix(a ^ (K0 + i), b ^ K2);
  }
  h = mix(h ^ K1, MUL);
  return h ^ (h >> 29);
}

Status VamanaIndex::save(const std::string& dir) const {
  // Written under a temporary name of this save's own and renamed over the old file once it is
  // on stable storage: a crash part way leaves the previous file (or none), never a torn one
  // that fails every later open, and saves of other handles never meet it.
  QM_ASSIGN_OR_RETURN(TempFile temp, TempFile::create(dir, VAMANA_FILE));
  const UniqueFd& fd = temp.fd();
  const std::string& path = temp.path();
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
  // The key check: nodes that share a key share its digest.
  uint8_t keys_header[VAMANA_KEYS_HEADER_SIZE];
  std::memcpy(keys_header, VAMANA_KEYS_MAGIC, sizeof VAMANA_KEYS_MAGIC);
  encode_u32(keys_header + 4, VAMANA_KEYS_VERSION);
  encode_u64(keys_header + 8, ids_.size());
  QM_RETURN_IF_ERROR(writer.append(keys_header, sizeof keys_header));
  used = 0;
  uint32_t digest_owner = UINT32_MAX;
  uint64_t digest = 0;
  for (size_t i = 0; i < ids_.size(); ++i) {
    if (key_of_[i] != digest_owner) {
      digest_owner = key_of_[i];
      digest = vamana_key_digest(*key_owners_[digest_owner]);
    }
    if (used + VAMANA_KEY_DIGEST_SIZE > chunk.size()) {
      QM_RETURN_IF_ERROR(writer.append(chunk.data(), used));
      used = 0;
    }
    encode_u64(chunk.data() + used, digest);
    used += VAMANA_KEY_DIGEST_SIZE;
  }
  QM_RETURN_IF_ERROR(writer.append(chunk.data(), used));
  QM_RETURN_IF_ERROR(writer.flush());
  QM_RETURN_IF_ERROR(full_sync(fd, path));
  return temp.commit();
}

void VamanaIndex::remove_stale_temps(const std::string& dir) {
  quellmar::remove_stale_temps(dir, VAMANA_FILE);
  remove_if_stale(join_path(dir, LEGACY_VAMANA_TMP_FILE));
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
  // Per key owner: whether the caller gave that key (the key check skips the others).
  std::vector<uint8_t> owner_found;

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
    if (!same_key) {
      index.key_owners_.push_back(found != nullptr ? *found : SharedKey());
      owner_found.push_back(found != nullptr);
    }
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
  const uint64_t nodes_end = in.position();
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
  // The key check. One that is missing, of another version or another node count, or cut short,
  // is no check: the graph is then not known to fit the keys.
  // It is read with reads of its own, in blocks: the node walk above keeps the window to itself.
  auto check_keys = [&]() -> KeyCheck {
    uint8_t header[VAMANA_KEYS_HEADER_SIZE];
    if (file_size - nodes_end < VAMANA_KEYS_HEADER_SIZE ||
        !pread_exact(fd, header, sizeof header, nodes_end).is_ok() ||
        std::memcmp(header, VAMANA_KEYS_MAGIC, sizeof VAMANA_KEYS_MAGIC) != 0 ||
        decode_u32(header + 4) != VAMANA_KEYS_VERSION || decode_u64(header + 8) != n_nodes ||
        (file_size - nodes_end - VAMANA_KEYS_HEADER_SIZE) / VAMANA_KEY_DIGEST_SIZE < n_nodes) {
      return KeyCheck::Unchecked;
    }
    uint32_t digest_owner = UINT32_MAX;
    uint64_t digest = 0;
    constexpr size_t BLOCK = 4096;
    std::vector<uint8_t> block(std::min<size_t>(BLOCK, n_nodes) * VAMANA_KEY_DIGEST_SIZE);
    for (size_t first = 0; first < n_nodes; first += BLOCK) {
      const size_t n = std::min(BLOCK, n_nodes - first);
      const uint8_t* stored = block.data();
      if (!pread_exact(fd, block.data(), n * VAMANA_KEY_DIGEST_SIZE,
                       nodes_end + VAMANA_KEYS_HEADER_SIZE + first * VAMANA_KEY_DIGEST_SIZE)
               .is_ok()) {
        return KeyCheck::Unchecked;
      }
      for (size_t j = 0; j < n; ++j) {
        const uint32_t owner = index.key_of_[first + j];
        if (!owner_found[owner]) continue;  // a node whose cell is gone: no key to hold it to
        if (owner != digest_owner) {
          digest_owner = owner;
          digest = vamana_key_digest(*index.key_owners_[owner]);
        }
        if (decode_u64(stored + VAMANA_KEY_DIGEST_SIZE * j) != digest) {
          return KeyCheck::Mismatched;
        }
      }
    }
    return KeyCheck::Matched;
  };
  index.key_check_ = check_keys();
  return std::optional<VamanaIndex>(std::move(index));
}

Result<std::optional<CellId>> VamanaIndex::highest_saved_id(const std::string& dir, CellId below) {
  const std::string path = join_path(dir, VAMANA_FILE);
  if (!path_exists(path)) return std::optional<CellId>();
  QM_ASSIGN_OR_RETURN(UniqueFd fd, open_read(path));
  QM_ASSIGN_OR_RETURN(uint64_t file_size, fd_size(fd));
  Reader in(fd, file_size);
  const uint8_t* header = nullptr;
  QM_RETURN_IF_ERROR(in.take(VAMANA_HEADER_SIZE, &header));
  if (std::memcmp(header, VAMANA_MAGIC, sizeof VAMANA_MAGIC) != 0) {
    return EngineError::io(IoError::invalid_data("bad vamana magic"));
  }
  if (decode_u32(header + VAMANA_VERSION_OFFSET) != VAMANA_VERSION) {
    return EngineError::io(IoError::invalid_data("unsupported vamana version"));
  }
  const uint64_t count = decode_u64(header + VAMANA_NODE_COUNT_OFFSET);
  std::optional<CellId> highest;
  for (uint64_t i = 0; i < count; ++i) {
    const uint8_t* node = nullptr;
    QM_RETURN_IF_ERROR(in.take(VAMANA_NODE_FIXED_SIZE, &node));
    const CellId id = decode_u64(node);
    const uint32_t n = decode_u32(node + 8);
    if (in.remaining() / VAMANA_NEIGHBOUR_SIZE < n) {
      return EngineError::io(IoError::unexpected_eof());
    }
    QM_RETURN_IF_ERROR(in.seek(in.position() + uint64_t{n} * VAMANA_NEIGHBOUR_SIZE));
    if (id < below) highest = highest ? std::max(*highest, id) : id;
  }
  return highest;
}

}  // namespace quellmar
