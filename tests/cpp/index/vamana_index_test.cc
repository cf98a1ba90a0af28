#include "quellmar/index/vamana_index.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "quellmar/core/coding.h"
#include "quellmar/core/file_names.h"
#include "quellmar/retrieval/key_view.h"
#include "test_util.h"

namespace quellmar {
namespace {

using testing::random_keys;
using testing::TempDir;

VamanaIndex index_of(const std::vector<std::vector<float>>& keys, uint64_t dim,
                     uint64_t degree = VAMANA_MAX_DEGREE, CellId first_id = 100) {
  VamanaIndex index(dim, degree, VAMANA_ALPHA);
  for (size_t i = 0; i < keys.size(); ++i) index.insert_node(first_id + i, keys[i]);
  return index;
}

// The graph as the definition gives it: for each node, every other node scored by the in-order
// dot product, stably sorted by score, cut at the degree.
std::vector<std::vector<uint32_t>> reference_graph(const std::vector<std::vector<float>>& keys,
                                                   size_t degree) {
  std::vector<std::vector<uint32_t>> out;
  for (size_t i = 0; i < keys.size(); ++i) {
    std::vector<std::pair<uint32_t, float>> scored;
    for (size_t j = 0; j < keys.size(); ++j) {
      if (j == i) continue;
      float s = 0.0f;
      for (size_t t = 0; t < std::min(keys[i].size(), keys[j].size()); ++t) {
        s += keys[i][t] * keys[j][t];
      }
      scored.emplace_back(uint32_t(j), s);
    }
    std::stable_sort(scored.begin(), scored.end(),
                     [](const auto& a, const auto& b) { return a.second > b.second; });
    std::vector<uint32_t> nb;
    for (size_t r = 0; r < std::min(degree, scored.size()); ++r) nb.push_back(scored[r].first);
    out.push_back(nb);
  }
  return out;
}

std::vector<std::vector<uint32_t>> graph_of(const VamanaIndex& index) {
  std::vector<std::vector<uint32_t>> out;
  for (size_t i = 0; i < index.node_count(); ++i) {
    std::span<const uint32_t> nb = index.neighbours(i);
    out.emplace_back(nb.begin(), nb.end());
  }
  return out;
}

// Lets builds of any size spread over the threads they are given (the tests' indexes are
// small), and puts every hook back at the end of the scope.
class ThreadedBuilds {
 public:
  ThreadedBuilds() : saved_(vamana_build_hooks_for_testing()) { hooks().min_parallel_nodes = 0; }
  ~ThreadedBuilds() { hooks() = saved_; }
  VamanaBuildHooks& hooks() { return vamana_build_hooks_for_testing(); }

 private:
  VamanaBuildHooks saved_;
};

// The file a graph saves.
std::string saved_bytes(const VamanaIndex& index) {
  TempDir dir;
  EXPECT_TRUE(index.save(dir.path()).is_ok());
  return testing::read_file(dir.file(VAMANA_FILE));
}

TEST(VamanaBuild, ThreeNodesWithTies) {
  VamanaIndex index = index_of({{1, 0}, {1, 0}, {1, 0}}, 2);
  index.build();
  EXPECT_EQ(graph_of(index), (std::vector<std::vector<uint32_t>>{{1, 2}, {0, 2}, {0, 1}}));
  VamanaIndex ordered = index_of({{1, 0}, {2, 0}, {3, 0}}, 2);
  ordered.build();
  EXPECT_EQ(graph_of(ordered), (std::vector<std::vector<uint32_t>>{{2, 1}, {2, 0}, {1, 0}}));
  EXPECT_EQ(ordered.entry_point(), 2u);
}

// Both build paths against the definition, bit for bit: small integers (exact in any order, many
// ties), normal floats (where only the in-order sum agrees), many duplicate keys (the distinct-key
// path), odd widths, and keys of uneven length (the scalar path).
TEST(VamanaBuild, BothPathsMatchTheDefinition) {
  struct Case {
    const char* name;
    std::vector<std::vector<float>> keys;
    uint64_t dim;
  };
  std::vector<Case> cases;
  cases.push_back({"small integers", random_keys(150, 24, 2, 1), 24});
  cases.push_back({"normal floats", random_keys(140, 33, 0, 2), 33});
  {
    auto base = random_keys(23, 16, 1, 3);
    std::vector<std::vector<float>> keys;
    std::mt19937 rng(4);
    for (size_t i = 0; i < 200; ++i) keys.push_back(base[rng() % base.size()]);
    cases.push_back({"duplicates", keys, 16});
  }
  cases.push_back({"one node", {{1, 2, 3}}, 3});
  cases.push_back({"two nodes", {{1, 2, 3}, {3, 2, 1}}, 3});
  {
    auto keys = random_keys(40, 8, 2, 5);
    keys[3].resize(5);
    keys[7].resize(11, 1.0f);
    cases.push_back({"uneven lengths", keys, 8});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto want = reference_graph(c.keys, VAMANA_MAX_DEGREE);
    VamanaIndex plain = index_of(c.keys, c.dim);
    plain.build_all_pairs();
    EXPECT_EQ(graph_of(plain), want);
    VamanaIndex distinct = index_of(c.keys, c.dim);
    distinct.build_distinct_keys();
    EXPECT_EQ(graph_of(distinct), want);
    EXPECT_EQ(distinct.entry_point(), plain.entry_point());
    VamanaIndex chosen = index_of(c.keys, c.dim);
    chosen.build();
    EXPECT_EQ(graph_of(chosen), want);
    ThreadedBuilds threaded;
    for (size_t threads : {2, 8}) {
      SCOPED_TRACE(threads);
      VamanaIndex spread = index_of(c.keys, c.dim);
      spread.build(threads);
      EXPECT_EQ(graph_of(spread), want);
      EXPECT_EQ(spread.entry_point(), plain.entry_point());
    }
  }
}

// The blocked distinct-key build against the plain one over several blocks of keys: heavy ties
// and repeats, infinities and NaN (ranked after every number), and degrees that keep the lists
// short or longer than some groups.
TEST(VamanaBuild, BlockedBuildMatchesThePlainOneAcrossBlocks) {
  struct Case {
    const char* name;
    std::vector<std::vector<float>> keys;
    uint64_t degree;
  };
  std::vector<Case> cases;
  {
    auto base = random_keys(300, 8, 1, 6);
    std::vector<std::vector<float>> keys;
    std::mt19937 rng(7);
    for (size_t i = 0; i < 700; ++i) keys.push_back(base[rng() % base.size()]);
    cases.push_back({"ties and repeats", keys, VAMANA_MAX_DEGREE});
    cases.push_back({"ties, degree 3", keys, 3});
  }
  {
    auto keys = random_keys(520, 12, 0, 8);
    for (size_t i = 0; i < keys.size(); i += 37) keys[i][i % 12] = std::nanf("");
    for (size_t i = 5; i < keys.size(); i += 41) keys[i][0] = INFINITY;
    for (size_t i = 9; i < keys.size(); i += 43) keys[i][1] = -INFINITY;
    for (size_t i = 0; i < 60; ++i) keys.push_back(keys[i * 3]);
    cases.push_back({"NaN and infinities", keys, VAMANA_MAX_DEGREE});
    cases.push_back({"NaN, degree 40", keys, 40});
  }
  {
    // Few distinct keys with large groups: a list is filled by one or two groups.
    auto base = random_keys(5, 4, 0, 9);
    std::vector<std::vector<float>> keys;
    for (size_t i = 0; i < 300; ++i) keys.push_back(base[(i * 7) % base.size()]);
    cases.push_back({"large groups", keys, VAMANA_MAX_DEGREE});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const uint64_t dim = c.keys[0].size();
    VamanaIndex plain = index_of(c.keys, dim, c.degree);
    plain.build_all_pairs();
    VamanaIndex blocked = index_of(c.keys, dim, c.degree);
    blocked.build_distinct_keys();
    EXPECT_EQ(graph_of(blocked), graph_of(plain));
    EXPECT_EQ(blocked.entry_point(), plain.entry_point());
    ThreadedBuilds threaded;
    for (size_t threads : {2, 3, 8}) {
      SCOPED_TRACE(threads);
      VamanaIndex spread = index_of(c.keys, dim, c.degree);
      spread.build_distinct_keys(threads);
      EXPECT_EQ(graph_of(spread), graph_of(plain));
      EXPECT_EQ(spread.entry_point(), plain.entry_point());
    }
  }
}

std::unordered_map<CellId, std::vector<float>> key_map(const VamanaIndex& index) {
  std::unordered_map<CellId, std::vector<float>> keys;
  for (size_t i = 0; i < index.node_count(); ++i) {
    std::span<const float> key = index.node_key(i);
    keys[index.node_cell_id(i)].assign(key.begin(), key.end());
  }
  return keys;
}

// A graph built over `old_keys` (node j is cell 10 * j), and the nodes of a later index: the old
// nodes not in `gone`, and `new_keys` after them or, with `interleave`, between them.
struct Grown {
  VamanaIndex saved;
  std::vector<std::pair<CellId, std::vector<float>>> nodes;  // ascending ids
};

Grown grow(const std::vector<std::vector<float>>& old_keys,
           const std::vector<std::vector<float>>& new_keys, const std::vector<size_t>& gone,
           bool interleave, uint64_t degree) {
  const uint64_t dim = old_keys[0].size();
  Grown g{VamanaIndex(dim, degree, VAMANA_ALPHA), {}};
  for (size_t j = 0; j < old_keys.size(); ++j) g.saved.insert_node(10 * j, old_keys[j]);
  g.saved.build();
  for (size_t j = 0; j < old_keys.size(); ++j) {
    if (std::find(gone.begin(), gone.end(), j) == gone.end()) {
      g.nodes.emplace_back(10 * j, old_keys[j]);
    }
  }
  for (size_t k = 0; k < new_keys.size(); ++k) {
    const CellId id = interleave ? 10 * (k % old_keys.size()) + 1 + k / old_keys.size()
                                 : 10 * old_keys.size() + k;
    g.nodes.emplace_back(id, new_keys[k]);
  }
  std::sort(g.nodes.begin(), g.nodes.end());
  return g;
}

VamanaIndex index_over(const Grown& g, uint64_t degree) {
  VamanaIndex index(g.nodes[0].second.size(), degree, VAMANA_ALPHA);
  for (const auto& [id, key] : g.nodes) index.insert_node(id, key);
  return index;
}

// A graph updated from a saved one is the graph a build from scratch gives, list for list, with
// the same entry point: appends, repeated keys on both sides, ties across the boundary, nodes
// gone, new ids between old ones, a saved graph smaller than the degree, and NaN scores.
TEST(VamanaBuild, ReusingASavedGraphMatchesAFreshBuild) {
  struct Case {
    const char* name;
    std::vector<std::vector<float>> old_keys, new_keys;
    std::vector<size_t> gone;
    bool interleave = false;
    uint64_t degree = VAMANA_MAX_DEGREE;
  };
  std::vector<Case> cases;
  // More keys than one block of the product on both sides.
  cases.push_back({"appends", random_keys(300, 12, 0, 11), random_keys(150, 12, 0, 12), {}});
  {
    auto base = random_keys(30, 8, 0, 13);
    std::mt19937 rng(14);
    std::vector<std::vector<float>> old_keys, new_keys;
    for (size_t i = 0; i < 200; ++i) old_keys.push_back(base[rng() % base.size()]);
    for (size_t i = 0; i < 60; ++i) new_keys.push_back(base[rng() % base.size()]);
    cases.push_back({"repeated keys", old_keys, new_keys, {}});
    cases.push_back({"repeated keys, some gone", old_keys, new_keys, {3, 50, 199}});
  }
  {
    // Keys of -1, 0 and 1: most scores tie, old against new as much as old against old.
    auto keys = random_keys(260, 6, 1, 15);
    std::vector<std::vector<float>> old_keys(keys.begin(), keys.begin() + 200);
    std::vector<std::vector<float>> new_keys(keys.begin() + 200, keys.end());
    cases.push_back({"ties", old_keys, new_keys, {}});
    cases.push_back({"ties, degree 3", old_keys, new_keys, {}, false, 3});
    cases.push_back({"ties, new ids between", old_keys, new_keys, {}, true});
  }
  {
    std::vector<size_t> gone;
    for (size_t j = 0; j < 200; j += 8) gone.push_back(j);
    cases.push_back(
        {"gone and new", random_keys(200, 10, 0, 16), random_keys(30, 10, 0, 17), gone});
    cases.push_back({"gone only", random_keys(200, 10, 0, 16), {}, gone});
  }
  cases.push_back({"unchanged", random_keys(120, 10, 0, 18), {}, {}});
  cases.push_back(
      {"saved smaller than the degree", random_keys(5, 7, 0, 19), random_keys(40, 7, 0, 20), {}});
  cases.push_back({"one node saved", random_keys(1, 7, 0, 21), random_keys(3, 7, 0, 22), {}});
  {
    auto old_keys = random_keys(150, 5, 0, 23);
    auto new_keys = random_keys(40, 5, 0, 24);
    for (size_t i = 0; i < old_keys.size(); i += 31) old_keys[i][2] = std::nanf("");
    for (size_t i = 0; i < new_keys.size(); i += 13) new_keys[i][0] = INFINITY;
    cases.push_back({"NaN and infinities", old_keys, new_keys, {}, true});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Grown g = grow(c.old_keys, c.new_keys, c.gone, c.interleave, c.degree);
    VamanaIndex fresh = index_over(g, c.degree);
    fresh.build();
    VamanaIndex updated = index_over(g, c.degree);
    ASSERT_TRUE(updated.build_reusing(g.saved));
    EXPECT_EQ(graph_of(updated), graph_of(fresh));
    EXPECT_EQ(updated.entry_point(), fresh.entry_point());
    ThreadedBuilds threaded;
    for (size_t threads : {2, 8}) {
      SCOPED_TRACE(threads);
      VamanaIndex spread = index_over(g, c.degree);
      ASSERT_TRUE(spread.build_reusing(g.saved, threads));
      EXPECT_EQ(graph_of(spread), graph_of(fresh));
      EXPECT_EQ(spread.entry_point(), fresh.entry_point());
    }
  }
}

// A saved graph that cannot be this index's earlier graph is refused, and nothing is built.
TEST(VamanaBuild, ReusingRefusesAGraphOfOtherKeysOrShape) {
  const auto old_keys = random_keys(100, 8, 0, 31);
  const auto new_keys = random_keys(20, 8, 0, 32);
  const Grown g = grow(old_keys, new_keys, {}, false, VAMANA_MAX_DEGREE);
  struct Case {
    const char* name;
    VamanaIndex saved;
  };
  std::vector<Case> cases;
  // Other keys under the same ids: the saved lists are not ranked by this index's keys.
  cases.push_back(
      {"other keys", grow(random_keys(100, 8, 0, 33), {}, {}, false, VAMANA_MAX_DEGREE).saved});
  cases.push_back({"other degree", grow(old_keys, {}, {}, false, 8).saved});
  {
    auto wider = old_keys;
    for (auto& k : wider) k.push_back(1.0f);
    cases.push_back({"other width", grow(wider, {}, {}, false, VAMANA_MAX_DEGREE).saved});
  }
  {
    // A neighbour id that names no node is dropped by the load: that list is short.
    TempDir dir;
    QM_ASSERT_OK(g.saved.save(dir.path()));
    std::string bytes = testing::read_file(dir.file(VAMANA_FILE));
    std::string id;
    put_u64(id, 999999);
    bytes.replace(VAMANA_HEADER_SIZE + VAMANA_NODE_FIXED_SIZE, id.size(), id);
    testing::write_file(dir.file(VAMANA_FILE), bytes);
    QM_ASSERT_OK_AND_ASSIGN(auto loaded, VamanaIndex::load(dir.path(), key_map(g.saved)));
    cases.push_back({"short list", std::move(*loaded)});
  }
  ThreadedBuilds threaded;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    VamanaIndex spread = index_over(g, VAMANA_MAX_DEGREE);
    EXPECT_FALSE(spread.build_reusing(c.saved, 8));
    EXPECT_FALSE(spread.entry_point().has_value());
    VamanaIndex index = index_over(g, VAMANA_MAX_DEGREE);
    EXPECT_FALSE(index.build_reusing(c.saved));
    EXPECT_FALSE(index.entry_point().has_value());
    for (size_t i = 0; i < index.node_count(); ++i) EXPECT_TRUE(index.neighbours(i).empty());
    index.build();
    VamanaIndex fresh = index_over(g, VAMANA_MAX_DEGREE);
    fresh.build();
    EXPECT_EQ(graph_of(index), graph_of(fresh));
  }
}

// Nodes for the threaded builds: many row blocks of distinct keys with heavy ties (whole numbers
// in [-1, 1]), a pack's worth of repeats here and there, and NaN in a few keys.
std::vector<std::vector<float>> many_keys(size_t n, uint32_t seed) {
  auto keys = random_keys(n, 10, 1, seed);
  for (size_t i = 7; i < keys.size(); i += 29) keys[i] = keys[i - 7];
  for (size_t i = 3; i < keys.size(); i += 211) keys[i][4] = std::nanf("");
  return keys;
}

// However many threads a build or an update is given, it saves the file the one-thread build
// saves, byte for byte.
TEST(VamanaBuild, ThreadCountsSaveTheSameFile) {
  ThreadedBuilds threaded;
  const auto keys = many_keys(1500, 41);
  VamanaIndex one = index_of(keys, 10);
  one.build(1);
  const std::string want = saved_bytes(one);
  std::vector<size_t> gone;
  for (size_t j = 5; j < keys.size(); j += 97) gone.push_back(j);
  const Grown g = grow(keys, many_keys(400, 42), gone, /*interleave=*/true, VAMANA_MAX_DEGREE);
  VamanaIndex fresh = index_over(g, VAMANA_MAX_DEGREE);
  fresh.build(1);
  const std::string want_update = saved_bytes(fresh);
  for (size_t threads : {2, 3, 8, 64}) {
    SCOPED_TRACE(threads);
    VamanaIndex spread = index_of(keys, 10);
    spread.build(threads);
    EXPECT_EQ(saved_bytes(spread), want);
    VamanaIndex updated = index_over(g, VAMANA_MAX_DEGREE);
    ASSERT_TRUE(updated.build_reusing(g.saved, threads));
    EXPECT_EQ(saved_bytes(updated), want_update);
  }
}

// Threads the system refuses to start leave their share of the work to the threads that did
// start and to the calling thread.
TEST(VamanaBuild, ThreadsThatDoNotStartLeaveTheirWorkToTheOthers) {
  ThreadedBuilds threaded;
  const auto keys = many_keys(900, 43);
  VamanaIndex one = index_of(keys, 10);
  one.build(1);
  const std::string want = saved_bytes(one);
  const Grown g = grow(keys, many_keys(200, 44), {}, /*interleave=*/false, VAMANA_MAX_DEGREE);
  VamanaIndex fresh = index_over(g, VAMANA_MAX_DEGREE);
  fresh.build(1);
  for (size_t starts : {0, 1, 3}) {
    SCOPED_TRACE(starts);
    threaded.hooks().thread_starts = starts;
    VamanaIndex spread = index_of(keys, 10);
    spread.build(8);
    EXPECT_EQ(saved_bytes(spread), want);
    VamanaIndex updated = index_over(g, VAMANA_MAX_DEGREE);
    ASSERT_TRUE(updated.build_reusing(g.saved, 8));
    EXPECT_EQ(saved_bytes(updated), saved_bytes(fresh));
  }
}

// An allocation failure on a worker thread reaches the caller as the std::bad_alloc a one-thread
// build would throw, with nothing built; the next build, given the memory, completes.
TEST(VamanaBuild, AWorkerThatFailsFailsTheBuildOnTheCallingThread) {
  ThreadedBuilds threaded;
  const auto keys = many_keys(900, 45);
  const Grown g = grow(keys, many_keys(200, 46), {}, /*interleave=*/false, VAMANA_MAX_DEGREE);
  VamanaIndex fresh = index_over(g, VAMANA_MAX_DEGREE);
  fresh.build(1);
  auto unbuilt = [](const VamanaIndex& index) {
    bool none = !index.entry_point().has_value();
    for (size_t i = 0; i < index.node_count(); ++i) none = none && index.neighbours(i).empty();
    return none;
  };
  VamanaIndex built = index_over(g, VAMANA_MAX_DEGREE);
  VamanaIndex updated = index_over(g, VAMANA_MAX_DEGREE);
  threaded.hooks().fail_in_workers = true;
  EXPECT_THROW(built.build(8), std::bad_alloc);
  EXPECT_TRUE(unbuilt(built));
  EXPECT_THROW((void)updated.build_reusing(g.saved, 8), std::bad_alloc);
  EXPECT_TRUE(unbuilt(updated));
  threaded.hooks().fail_in_workers = false;
  built.build(8);
  EXPECT_EQ(saved_bytes(built), saved_bytes(fresh));
  ASSERT_TRUE(updated.build_reusing(g.saved, 8));
  EXPECT_EQ(saved_bytes(updated), saved_bytes(fresh));
}

TEST(VamanaBuild, SecondBuildOnlyMovesTheEntryPoint) {
  VamanaIndex index = index_of({{1, 0}, {0, 1}, {1, 1}}, 2);
  index.build();
  auto graph = graph_of(index);
  EXPECT_EQ(index.entry_point(), 2u);
  index.insert_node(7, std::vector<float>{5, 5});
  index.build();
  EXPECT_EQ(index.entry_point(), 3u);
  graph.push_back({});
  EXPECT_EQ(graph_of(index), graph);
}

TEST(VamanaBuild, EntryPointOfNaNScoresIsNodeZero) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  VamanaIndex index = index_of({{nan, 1}, {nan, 2}}, 2);
  index.compute_entry_point();
  EXPECT_EQ(index.entry_point(), 0u);
}

TEST(VamanaIndex, SeedsByNodeCount) {
  struct Case {
    size_t n;
    std::vector<uint32_t> seeds;
  };
  std::vector<uint32_t> ten;
  for (uint32_t i = 0; i < 10; ++i) ten.push_back(i * 500);
  const Case cases[] = {{99, {0}}, {250, {0, 125}}, {5000, ten}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.n);
    VamanaIndex index = index_of(std::vector<std::vector<float>>(c.n, {1.0f}), 1);
    EXPECT_EQ(index.seeds(), c.seeds);  // no entry point: seed 0 is node 0
  }
  VamanaIndex index = index_of(random_keys(250, 2, 3, 9), 2);
  index.compute_entry_point();
  EXPECT_EQ(index.seeds()[0], *index.entry_point());
}

TEST(VamanaIndex, BeamSearchKeepsListSize) {
  auto keys = random_keys(300, 8, 0, 6);
  VamanaIndex index = index_of(keys, 8);
  index.build();
  for (size_t list_size : {1u, 5u, 32u, 80u}) {
    auto found = index.beam_search(keys[0], list_size);
    EXPECT_EQ(found.size(), list_size);
    for (size_t i = 1; i < found.size(); ++i) EXPECT_GE(found[i - 1].second, found[i].second);
  }
  // search: k results (the list of 2 * max(16, k) holds at least k).
  EXPECT_EQ(index.search(keys[0], 5, std::nullopt).size(), 5u);
  EXPECT_EQ(index.search(keys[0], 40, std::nullopt).size(), 40u);
  EXPECT_EQ(index.search(keys[0], 0, std::nullopt).size(), 0u);
}

// Unit-norm keys: each key is its own best match, and the beam search finds it.
TEST(VamanaIndex, FindsEachNodeByItsOwnKey) {
  auto keys = random_keys(400, 16, 0, 8);
  for (auto& k : keys) {
    float n = 0;
    for (float x : k) n += x * x;
    for (float& x : k) x /= std::sqrt(n);
  }
  VamanaIndex index = index_of(keys, 16);
  index.build();
  size_t found = 0;
  for (size_t i = 0; i < keys.size(); ++i) {
    auto hits = index.search(keys[i], 1, std::nullopt);
    found += hits.size() == 1 && hits[0].cell_id == 100 + i;
  }
  EXPECT_GE(found, keys.size() * 95 / 100);
}

TEST(VamanaIndex, OwnersWidthsAndRemove) {
  VamanaIndex index(2, 16, VAMANA_ALPHA);
  index.insert(1, 7, std::vector<float>{1, 0});
  index.insert(2, 8, std::vector<float>{0, 1});
  index.insert(3, 7, std::vector<float>{1, 0, 0});  // another width: left out
  std::vector<float> malformed(70, 0.0f);
  malformed[0] = ENCODING_SENTINEL;
  malformed[ENCODING_DIM_IDX] = 4.0f;
  index.insert(4, 7, malformed);  // malformed: left out
  index.insert(5, 7,
               EncodedKey::from_token_slices(std::vector<std::vector<float>>{{2, 2}, {0, 2}}));
  EXPECT_EQ(index.len(), 3u);
  index.build();
  auto filtered = index.search(std::vector<float>{1, 0}, 5, OwnerId{7});
  EXPECT_EQ(filtered, index.search(std::vector<float>{1, 0}, 5, std::nullopt));
  ASSERT_EQ(filtered.size(), 3u);
  for (const auto& h : filtered) EXPECT_EQ(h.owner, 0u);
  // A wider query is scored over the common prefix: (0, 1 | 9) against the pooled (1, 2) is 2.
  auto wide = index.search(std::vector<float>{0, 1, 9}, 1, std::nullopt);
  ASSERT_EQ(wide.size(), 1u);
  EXPECT_EQ(wide[0].cell_id, 5u);
  EXPECT_EQ(wide[0].score, 2.0f);
  index.remove(1);
  EXPECT_EQ(index.len(), 3u);
}

TEST(VamanaIndex, MalformedQueryScoresZero) {
  VamanaIndex index = index_of({{1, 0}, {0, 1}}, 2);
  index.build();
  std::vector<float> malformed(70, 0.0f);
  malformed[0] = ENCODING_SENTINEL;
  auto hits = index.search(malformed, 2, std::nullopt);
  ASSERT_EQ(hits.size(), 2u);
  EXPECT_EQ(hits[0].score, 0.0f);
  EXPECT_EQ(hits[1].score, 0.0f);
}

TEST(VamanaIndex, DuplicateNodeIsAnInternalFault) {
  VamanaIndex index(1, 16, VAMANA_ALPHA);
  index.insert_node(5, std::vector<float>{1});
  try {
    index.insert_node(5, std::vector<float>{2});
    FAIL() << "no fault";
  } catch (const InternalFault& f) {
    EXPECT_STREQ(f.what(), "duplicate CellId 5 in VamanaIndex");
  }
}

TEST(VamanaFile, ExactBytes) {
  TempDir dir;
  VamanaIndex index = index_of({{1, 0}, {0, 1}, {1, 1}}, 2, 2, 10);
  index.build();
  QM_ASSERT_OK(index.save(dir.path()));
  std::string bytes = testing::read_file(dir.file(VAMANA_FILE));
  std::string want = "VAMG";
  put_u32(want, 1);
  put_u32(want, 2);
  put_u32(want, 2);
  put_u64(want, 12);  // entry: node 2, cell 12
  put_u64(want, 3);
  const std::vector<std::vector<CellId>> nb = {{12, 11}, {12, 10}, {10, 11}};
  for (CellId i = 0; i < 3; ++i) {
    put_u64(want, 10 + i);
    put_u32(want, 2);
    for (CellId n : nb[i]) put_u64(want, n);
  }
  // The key check, after the node records.
  want += "VKEY";
  put_u32(want, 1);
  put_u64(want, 3);
  for (const std::vector<float>& key : {std::vector<float>{1, 0}, {0, 1}, {1, 1}}) {
    put_u64(want, vamana_key_digest(key));
  }
  EXPECT_EQ(bytes, want);

  QM_ASSERT_OK_AND_ASSIGN(auto loaded, VamanaIndex::load(dir.path(), key_map(index)));
  ASSERT_TRUE(loaded.has_value());
  EXPECT_EQ(loaded->key_check(), VamanaIndex::KeyCheck::Matched);
  EXPECT_EQ(loaded->dim(), 2u);
  EXPECT_EQ(loaded->max_degree(), 2u);
  EXPECT_EQ(loaded->alpha(), VAMANA_ALPHA);
  EXPECT_EQ(loaded->entry_point(), index.entry_point());
  EXPECT_EQ(graph_of(*loaded), graph_of(index));
  EXPECT_EQ(loaded->search(std::vector<float>{1, 1}, 3, std::nullopt),
            index.search(std::vector<float>{1, 1}, 3, std::nullopt));
}

TEST(VamanaFile, NoEntryPointMissingKeysAndUnknownNeighbours) {
  TempDir dir;
  VamanaIndex empty(4, 16, VAMANA_ALPHA);
  QM_ASSERT_OK(empty.save(dir.path()));
  std::string bytes = testing::read_file(dir.file(VAMANA_FILE));
  ASSERT_EQ(bytes.size(), VAMANA_HEADER_SIZE + VAMANA_KEYS_HEADER_SIZE);
  EXPECT_EQ(decode_u64(reinterpret_cast<const uint8_t*>(bytes.data()) + 16), UINT64_MAX);

  // Hand-made: two nodes, no entry, node 1 repeated (the last record wins), a neighbour id that
  // names no node.
  std::string file = "VAMG";
  put_u32(file, 1);
  put_u32(file, 3);
  put_u32(file, 16);
  put_u64(file, UINT64_MAX);
  put_u64(file, 3);
  put_u64(file, 1);
  put_u32(file, 2);
  put_u64(file, 99);
  put_u64(file, 2);
  put_u64(file, 2);
  put_u32(file, 1);
  put_u64(file, 1);
  put_u64(file, 1);
  put_u32(file, 0);
  testing::write_file(dir.file(VAMANA_FILE), file);
  std::unordered_map<CellId, std::vector<float>> keys = {{2, {1, 2, 3}}};
  QM_ASSERT_OK_AND_ASSIGN(auto loaded, VamanaIndex::load(dir.path(), keys));
  ASSERT_TRUE(loaded.has_value());
  EXPECT_FALSE(loaded->entry_point().has_value());
  ASSERT_EQ(loaded->len(), 3u);
  auto key_of = [&](size_t i) {
    std::span<const float> key = loaded->node_key(i);
    return std::vector<float>(key.begin(), key.end());
  };
  EXPECT_EQ(key_of(0), (std::vector<float>{0, 0, 0}));
  EXPECT_EQ(key_of(1), (std::vector<float>{1, 2, 3}));
  // 99 is dropped; 1 maps to its last node (index 2).
  EXPECT_EQ(graph_of(*loaded), (std::vector<std::vector<uint32_t>>{{1}, {2}, {}}));
  EXPECT_EQ(loaded->seeds(), (std::vector<uint32_t>{0}));
}

TEST(VamanaFile, NeighbourIdsWithoutANodeAreDropped) {
  // Ascending node ids, without and with gaps: neighbour ids below, between and above the nodes
  // are dropped, the rest map to their nodes.
  struct Case {
    const char* name;
    std::vector<CellId> nodes;
    std::vector<std::vector<CellId>> neighbours;
    std::vector<std::vector<uint32_t>> graph;
  };
  const Case cases[] = {
      {"contiguous", {10, 11, 12}, {{9, 12, 13}, {10}, {11, 0, 10}}, {{2}, {0}, {1, 0}}},
      {"with gaps", {10, 12, 15}, {{11, 15, 16}, {10, 14}, {12, 9}}, {{2}, {0}, {1}}},
      {"every neighbour a node", {10, 11, 12}, {{12, 11}, {10}, {}}, {{2, 1}, {0}, {}}},
      {"ids past 32 bits",
       {1ull << 32, (1ull << 32) + 1, (1ull << 32) + 2},
       {{(1ull << 32) + 2, 7}, {1ull << 32}, {(1ull << 32) + 1, (1ull << 32) + 3}},
       {{2}, {0}, {1}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    std::string file = "VAMG";
    put_u32(file, 1);
    put_u32(file, 1);
    put_u32(file, 16);
    put_u64(file, c.nodes.back());
    put_u64(file, c.nodes.size());
    std::unordered_map<CellId, std::vector<float>> keys;
    for (size_t i = 0; i < c.nodes.size(); ++i) {
      put_u64(file, c.nodes[i]);
      put_u32(file, static_cast<uint32_t>(c.neighbours[i].size()));
      for (CellId n : c.neighbours[i]) put_u64(file, n);
      keys[c.nodes[i]] = {float(i)};
    }
    testing::write_file(dir.file(VAMANA_FILE), file);
    QM_ASSERT_OK_AND_ASSIGN(auto loaded, VamanaIndex::load(dir.path(), keys));
    ASSERT_TRUE(loaded.has_value());
    EXPECT_EQ(graph_of(*loaded), c.graph);
    EXPECT_EQ(loaded->entry_point(), std::optional<uint32_t>(2));
  }
}

// The key check holds a loaded graph to the keys it is given: the keys it was built over match,
// a node whose key differs (or a digest that does not) is a mismatch, and a node the caller has
// no key for is not held to anything. A file without a check that reads (one of an earlier
// version, or one whose check is cut or damaged) loads all the same, unchecked.
TEST(VamanaFile, KeyCheckHoldsTheGraphToTheKeysGiven) {
  TempDir dir;
  VamanaIndex index = index_of(random_keys(12, 4, 3, 2), 4, 3, 100);
  index.build();
  QM_ASSERT_OK(index.save(dir.path()));
  const std::string good = testing::read_file(dir.file(VAMANA_FILE));
  const size_t check_at = good.size() - VAMANA_KEYS_HEADER_SIZE - 12 * VAMANA_KEY_DIGEST_SIZE;
  ASSERT_EQ(good.compare(check_at, 4, "VKEY"), 0);
  const auto keys = key_map(index);
  auto changed = [&](CellId id, float delta) {
    auto k = keys;
    k.at(id)[1] += delta;
    return k;
  };
  auto without = [&](CellId id) {
    auto k = keys;
    k.erase(id);
    return k;
  };
  auto flipped = [&](size_t off) {
    std::string b = good;
    b[off] ^= 0x01;
    return b;
  };
  using KeyCheck = VamanaIndex::KeyCheck;
  struct Case {
    const char* name;
    std::string bytes;
    std::unordered_map<CellId, std::vector<float>> keys;
    KeyCheck want;
  };
  const Case cases[] = {
      {"the keys it was built over", good, keys, KeyCheck::Matched},
      {"one key changed", good, changed(105, 0.5f), KeyCheck::Mismatched},
      {"one key scaled (the same ranking)", good,
       [&] {
         auto k = keys;
         for (float& x : k.at(111)) x *= 2.0f;
         return k;
       }(),
       KeyCheck::Mismatched},
      {"a node without a key", good, without(103), KeyCheck::Matched},
      {"a digest damaged", flipped(good.size() - 3), keys, KeyCheck::Mismatched},
      {"no check (an earlier version's file)", good.substr(0, check_at), keys, KeyCheck::Unchecked},
      {"check cut short", good.substr(0, good.size() - 1), keys, KeyCheck::Unchecked},
      {"check of another node count", flipped(check_at + 8), keys, KeyCheck::Unchecked},
      {"check of another version", flipped(check_at + 4), keys, KeyCheck::Unchecked},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::write_file(dir.file(VAMANA_FILE), c.bytes);
    QM_ASSERT_OK_AND_ASSIGN(auto loaded, VamanaIndex::load(dir.path(), c.keys));
    ASSERT_TRUE(loaded.has_value());
    EXPECT_EQ(loaded->key_check(), c.want);
    EXPECT_EQ(graph_of(*loaded), graph_of(index));
  }
  // The digest is part of the file format: fixed for a given key, and it tells keys apart.
  EXPECT_EQ(vamana_key_digest(std::vector<float>{}), vamana_key_digest(std::vector<float>{}));
  EXPECT_NE(vamana_key_digest(std::vector<float>{0.0f}), vamana_key_digest(std::vector<float>{}));
  EXPECT_NE(vamana_key_digest(std::vector<float>{0.0f}),
            vamana_key_digest(std::vector<float>{-0.0f}));
  EXPECT_EQ(vamana_key_digest(std::vector<float>{1, 2, 3, 4, 5, 6, 7, 8, 9}),
            0x8022425b26c0b9c7ull);
}

TEST(VamanaFile, MissingFileIsNone) {
  TempDir dir;
  QM_ASSERT_OK_AND_ASSIGN(auto loaded, VamanaIndex::load(dir.path(), {}));
  EXPECT_FALSE(loaded.has_value());
}

TEST(VamanaFile, DamagedFiles) {
  TempDir dir;
  VamanaIndex index = index_of(random_keys(20, 4, 2, 1), 4, 3);
  index.build();
  QM_ASSERT_OK(index.save(dir.path()));
  const std::string good = testing::read_file(dir.file(VAMANA_FILE));
  auto with_u64 = [&](size_t off, uint64_t v) {
    std::string b = good;
    encode_u64(reinterpret_cast<uint8_t*>(b.data()) + off, v);
    return b;
  };
  auto with_u32 = [&](size_t off, uint32_t v) {
    std::string b = good;
    encode_u32(reinterpret_cast<uint8_t*>(b.data()) + off, v);
    return b;
  };
  struct Case {
    const char* name;
    std::string bytes;
    const char* message;
  };
  const Case cases[] = {
      {"bad magic", "VAMX" + good.substr(4), "storage I/O error: bad vamana magic"},
      {"version 2", with_u32(4, 2), "storage I/O error: unsupported vamana version"},
      {"shorter than the magic", "VA", "storage I/O error: failed to fill whole buffer"},
      {"cut in the header", good.substr(0, 30), "storage I/O error: failed to fill whole buffer"},
      {"cut in a node record",
       good.substr(0, good.size() - VAMANA_KEYS_HEADER_SIZE -
                          VAMANA_KEY_DIGEST_SIZE * index.node_count() - 5),
       "storage I/O error: failed to fill whole buffer"},
      // Claimed counts far beyond the file: refused as a short read, nothing sized from them.
      {"huge node count", with_u64(24, UINT64_MAX / 2),
       "storage I/O error: failed to fill whole buffer"},
      {"huge neighbour count", with_u32(VAMANA_HEADER_SIZE + 8, UINT32_MAX),
       "storage I/O error: failed to fill whole buffer"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::write_file(dir.file(VAMANA_FILE), c.bytes);
    auto loaded = VamanaIndex::load(dir.path(), key_map(index));
    ASSERT_FALSE(loaded.is_ok());
    EXPECT_EQ(loaded.error().code(), EngineError::Code::Io);
    EXPECT_EQ(loaded.error().message(), c.message);
  }
}

}  // namespace
}  // namespace quellmar
