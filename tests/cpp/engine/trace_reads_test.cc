// The auto-linking pack write and the trace-boosted pack reads.

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "engine_test_peer.h"
#include "quellmar/core/file_names.h"
#include "quellmar/core/posix_file.h"
#include "quellmar/engine/engine.h"
#include "test_util.h"

namespace quellmar {
namespace {

using testing::TempDir;

constexpr size_t DIM = 16;

// A key pointing mostly along axis i, with `weight` on it.
std::vector<float> Key(int i, float weight = 4.0f) {
  std::vector<float> k(DIM, 0.25f);
  k[static_cast<size_t>(i) % DIM] = weight;
  k[3] += 1.0f;
  return k;
}

PackWrite Pack(OwnerId owner, std::vector<float> key, float salience = 0.0f) {
  PackWrite w;
  w.owner = owner;
  w.retrieval_key = std::move(key);
  w.layer_payloads = {LayerPayload{0, std::vector<float>(8, 1.0f)}};
  w.salience = salience;
  return w;
}

// Reads of one segment file fail while it is named here.
std::string g_unreadable;
int FailUnreadable(FileOp op, const std::string& path) {
  return (op == FileOp::Open || op == FileOp::Read) && path == g_unreadable ? EIO : 0;
}

class TraceReadsTest : public ::testing::Test {
 protected:
  void TearDown() override {
    set_file_fault_hook(nullptr);
    g_unreadable.clear();
  }

  // `segment_size` 1 puts every pack in a segment file of its own.
  std::unique_ptr<Engine> Open(const TempDir& dir, std::optional<uint64_t> segment_size = {}) {
    auto e = Engine::open(dir.path(), DEFAULT_VAMANA_THRESHOLD, segment_size);
    EXPECT_TRUE(e.is_ok()) << e.error().message();
    return e.is_ok() ? std::move(e).value() : nullptr;
  }
  static PackId Write(Engine& e, PackWrite w) {
    auto id = e.mem_write_pack(std::move(w));
    EXPECT_TRUE(id.is_ok()) << id.error().message();
    return id.is_ok() ? *id : 0;
  }
  static CellId Head(const Engine& e, PackId pack) {
    return e.pack_directory().cells(pack)->front();
  }
  static float Importance(const Engine& e, PackId pack) {
    return e.governance().at(Head(e, pack)).importance;
  }
  // The raw similarity of a pack's head cell to the query, as candidate search reports it.
  static float Raw(Engine& e, const std::vector<float>& query, PackId pack) {
    for (const ScoredCell& h : EngineTestPeer(e).find_candidates(query, 20, std::nullopt)) {
      if (h.cell_id == Head(e, pack)) return h.score;
    }
    ADD_FAILURE() << "pack " << pack << " not among the candidates";
    return 0.0f;
  }
  static std::vector<PackId> Sorted(std::vector<PackId> v) {
    std::sort(v.begin(), v.end());
    return v;
  }
  static std::vector<PackId> Ids(const std::vector<PackReadResult>& results) {
    std::vector<PackId> ids;
    for (const PackReadResult& r : results) ids.push_back(r.pack_id);
    return ids;
  }
};

TEST_F(TraceReadsTest, AutoLinkComparesTheReadScoreWithTheThreshold) {
  struct Case {
    const char* name;
    float threshold;  // NaN: filled in below from the measured score
    bool links;
  };
  constexpr float AT_SCORE = -1.0f, ABOVE_SCORE = -2.0f;
  const Case cases[] = {
      {"threshold equal to the score", AT_SCORE, true},
      {"threshold just above the score", ABOVE_SCORE, false},
      {"threshold zero", 0.0f, true},
      {"threshold minus infinity", -std::numeric_limits<float>::infinity(), true},
      {"threshold NaN", std::numeric_limits<float>::quiet_NaN(), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    auto e = Open(dir);
    // Owner 2 holds the exact key; owner 1 only a near one. Owner 1's write links to its own.
    const PackId mine = Write(*e, Pack(1, Key(1)));
    const PackId other = Write(*e, Pack(2, Key(0)));
    const float raw = Raw(*e, Key(0), mine);
    float threshold = c.threshold;
    if (threshold == AT_SCORE) threshold = raw;
    if (threshold == ABOVE_SCORE) threshold = std::nextafter(raw, 1e9f);

    QM_ASSERT_OK_AND_ASSIGN(auto written,
                            e->mem_write_pack_with_auto_link(Pack(1, Key(0)), threshold));
    const auto& [pack, linked] = written;
    EXPECT_EQ(pack, 3u);
    EXPECT_TRUE(e->pack_directory().contains(pack));
    // The similarity read is an ordinary read: it touched the pack it found.
    EXPECT_FLOAT_EQ(Importance(*e, mine), 5.0f + 3.0f);
    EXPECT_FLOAT_EQ(Importance(*e, other), 5.0f);
    if (c.links) {
      EXPECT_EQ(linked, std::vector<PackId>{mine});
      EXPECT_EQ(e->pack_links_by_type(pack, static_cast<uint8_t>(EdgeType::Follows)),
                std::vector<PackId>{mine});
      EXPECT_EQ(e->pack_links_by_type(mine, static_cast<uint8_t>(EdgeType::Follows)),
                std::vector<PackId>{pack});
      EXPECT_TRUE(e->pack_links_by_type(pack, static_cast<uint8_t>(EdgeType::CausedBy)).empty());
    } else {
      EXPECT_TRUE(linked.empty());
      EXPECT_TRUE(e->pack_links_by_type(pack, EDGE_TYPE_ANY).empty());
    }
  }
}

TEST_F(TraceReadsTest, AutoLinkWithoutAnEligiblePack) {
  TempDir dir;
  auto e = Open(dir);
  const float any = -std::numeric_limits<float>::infinity();
  // No pack at all: nothing to read, nothing linked.
  QM_ASSERT_OK_AND_ASSIGN(auto first, e->mem_write_pack_with_auto_link(Pack(2, Key(0)), any));
  EXPECT_EQ(first.first, 1u);
  EXPECT_TRUE(first.second.empty());
  // Only another owner's pack, even an identical one: never linked.
  QM_ASSERT_OK_AND_ASSIGN(auto second, e->mem_write_pack_with_auto_link(Pack(1, Key(0)), any));
  EXPECT_TRUE(second.second.empty());
  EXPECT_FLOAT_EQ(Importance(*e, first.first), 5.0f);
  EXPECT_EQ(e->pack_count(), 2u);
  EXPECT_EQ(e->trace_graph().edge_count(), 0u);
}

TEST_F(TraceReadsTest, AutoLinkSeesAndLinksQueuedPacks) {
  TempDir dir;
  QM_ASSERT_OK_AND_ASSIGN(auto e, Engine::open_with_write_buffer(dir.path(), 100, 0));
  QM_ASSERT_OK_AND_ASSIGN(const PackId queued, e->mem_write_pack(Pack(1, Key(0))));
  ASSERT_FALSE(e->pack_directory().contains(queued));

  QM_ASSERT_OK_AND_ASSIGN(auto written, e->mem_write_pack_with_auto_link(Pack(1, Key(0)), 0.0f));
  EXPECT_EQ(written.second, std::vector<PackId>{queued});
  EXPECT_TRUE(e->pack_directory().contains(written.first));
  EXPECT_EQ(e->pack_links_by_type(written.first, EDGE_TYPE_ANY), std::vector<PackId>{queued});

  // Without a link the new pack stays queued.
  QM_ASSERT_OK_AND_ASSIGN(auto lone, e->mem_write_pack_with_auto_link(Pack(1, Key(0)), 1e9f));
  EXPECT_TRUE(lone.second.empty());
  EXPECT_FALSE(e->pack_directory().contains(lone.first));
  QM_ASSERT_OK(e->flush());
  EXPECT_TRUE(e->pack_directory().contains(lone.first));
}

// Two strong packs (p1 slightly ahead of p2 on raw score) and two weak ones linked to p2.
class BoostTest : public TraceReadsTest {
 protected:
  void SetUp() override {
    e_ = Open(dir_);
    p1_ = Write(*e_, Pack(1, Key(0)));
    p2_ = Write(*e_, Pack(1, Key(0, 3.9f)));
    l1_ = Write(*e_, Pack(1, Key(7, 3.0f)));
    l2_ = Write(*e_, Pack(1, Key(9, 2.0f)));
    QM_ASSERT_OK(e_->add_pack_edge(p2_, l1_, EdgeType::Supports));
    QM_ASSERT_OK(e_->add_pack_edge(l2_, p2_, EdgeType::CausedBy));
    for (PackId p : {p1_, p2_, l1_, l2_}) raw_.push_back(Raw(*e_, query_, p));
    ASSERT_GT(raw_[0], raw_[1]);
    ASSERT_GT(raw_[1], raw_[2]);
    ASSERT_GT(raw_[2], raw_[3]);
  }

  TempDir dir_;
  std::unique_ptr<Engine> e_;
  const std::vector<float> query_ = Key(0);
  PackId p1_ = 0, p2_ = 0, l1_ = 0, l2_ = 0;
  std::vector<float> raw_;
};

TEST_F(BoostTest, ScoresGrowWithTheLinkCount) {
  struct Case {
    float boost;
    std::vector<int> order;     // indexes into {p1, p2, l1, l2}
    std::vector<float> factor;  // boost_factor * links + 1, by the same indexes
  };
  const Case cases[] = {
      {0.0f, {0, 1, 2, 3}, {1, 1, 1, 1}},
      // p2 has two links: its raw score doubles and it overtakes p1.
      {0.5f, {1, 0, 2, 3}, {1, 2, 1.5f, 1.5f}},
      // A negative factor pushes linked packs down: p2 to zero.
      {-0.5f, {0, 2, 3, 1}, {1, 0, 0.5f, 0.5f}},
  };
  const PackId ids[] = {p1_, p2_, l1_, l2_};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.boost);
    QM_ASSERT_OK_AND_ASSIGN(auto results,
                            e_->mem_read_pack_with_trace_boost(query_, 4, std::nullopt, c.boost));
    ASSERT_EQ(results.size(), 4u);
    for (size_t i = 0; i < 4; ++i) {
      const int idx = c.order[i];
      EXPECT_EQ(results[i].pack_id, ids[idx]) << "position " << i;
      EXPECT_FLOAT_EQ(results[i].score, raw_[idx] * c.factor[idx]);
      EXPECT_EQ(results[i].owner, 1u);
      ASSERT_EQ(results[i].layers.size(), 1u);
    }
  }
}

TEST_F(BoostTest, TheWholePoolIsTouchedBeforeTheCut) {
  struct Case {
    uint64_t k;
    std::vector<PackId> want;
  };
  const Case cases[] = {{1, {p2_}}, {0, {}}, {UINT64_MAX, {p2_, p1_, l1_, l2_}}};
  float expected = 5.0f;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.k);
    QM_ASSERT_OK_AND_ASSIGN(auto results,
                            e_->mem_read_pack_with_trace_boost(query_, c.k, std::nullopt, 0.5f));
    EXPECT_EQ(Ids(results), c.want);
    expected += 3.0f;
    for (PackId p : {p1_, p2_, l1_, l2_}) EXPECT_FLOAT_EQ(Importance(*e_, p), expected) << p;
  }
  QM_ASSERT_OK_AND_ASSIGN(
      auto followed, e_->mem_read_pack_with_trace_boost_and_follow(query_, 0, std::nullopt, 0.5f));
  EXPECT_TRUE(followed.empty());
}

TEST_F(BoostTest, TheBoostComesBeforeTheTierWeight) {
  // A Core pack of its own owner, linked once: ((raw * 2) * recency 1) * 1.25.
  const PackId core = Write(*e_, Pack(3, Key(0), 90.0f));
  QM_ASSERT_OK(e_->add_pack_edge(core, l1_, EdgeType::Follows));
  const float raw = Raw(*e_, query_, core);
  QM_ASSERT_OK_AND_ASSIGN(auto results, e_->mem_read_pack_with_trace_boost(query_, 1, 3, 1.0f));
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].pack_id, core);
  EXPECT_EQ(results[0].tier, static_cast<uint8_t>(Tier::Core));
  EXPECT_FLOAT_EQ(results[0].score, raw * 2.0f * 1.25f);
}

TEST_F(TraceReadsTest, FollowingAddsEachLinkedPackOnceAndSkipsUnloadableOnes) {
  TempDir dir;
  auto e = Open(dir, 1);
  const PackId p1 = Write(*e, Pack(1, Key(0)));
  const PackId p2 = Write(*e, Pack(1, Key(0, 3.9f)));
  const PackId far = Write(*e, Pack(1, Key(8, 0.5f)));
  // Other owners' packs are outside the owner-filtered pool, but linked packs are followed.
  const PackId shared = Write(*e, Pack(2, Key(0)));
  const PackId broken = Write(*e, Pack(2, Key(0)));
  for (auto [a, b] : {std::pair{p1, p2}, {p1, shared}, {p2, shared}, {p2, broken}}) {
    QM_ASSERT_OK(e->add_pack_edge(a, b, EdgeType::Follows));
  }
  QM_ASSERT_OK(e->add_pack_edge(shared, far, EdgeType::Supports));  // two hops away

  QM_ASSERT_OK_AND_ASSIGN(auto all,
                          e->mem_read_pack_with_trace_boost_and_follow(Key(0), 2, 1, 0.0f));
  EXPECT_EQ(Ids(all).size(), 4u);
  EXPECT_EQ(Sorted(Ids(all)), Sorted({p1, p2, shared, broken}));

  const uint32_t seg = EngineTestPeer(*e).block_pool().locations().at(Head(*e, broken)).segment;
  ASSERT_NE(seg, EngineTestPeer(*e).block_pool().locations().at(Head(*e, shared)).segment);
  g_unreadable = segment_path(dir.path(), seg);
  set_file_fault_hook(&FailUnreadable);
  const float shared_before = Importance(*e, shared);
  QM_ASSERT_OK_AND_ASSIGN(auto results,
                          e->mem_read_pack_with_trace_boost_and_follow(Key(0), 2, 1, 0.0f));
  ASSERT_EQ(results.size(), 3u);
  EXPECT_EQ(results[0].pack_id, p1);
  EXPECT_EQ(results[1].pack_id, p2);
  EXPECT_GT(results[1].score, 0.0f);
  // p1 and p2 both link to `shared`: it comes once, with score 0 and the read touch.
  EXPECT_EQ(results[2].pack_id, shared);
  EXPECT_EQ(results[2].score, 0.0f);
  EXPECT_EQ(results[2].owner, 2u);
  EXPECT_FLOAT_EQ(Importance(*e, shared), shared_before + 3.0f);
}

TEST_F(TraceReadsTest, ALayerLoadFailureFailsTheBoostedRead) {
  TempDir dir;
  auto e = Open(dir, 1);
  const PackId best = Write(*e, Pack(1, Key(0)));
  Write(*e, Pack(1, Key(5)));
  g_unreadable = segment_path(
      dir.path(), EngineTestPeer(*e).block_pool().locations().at(Head(*e, best)).segment);
  set_file_fault_hook(&FailUnreadable);
  QM_ASSERT_ERROR(Io, "", e->mem_read_pack_with_trace_boost(Key(0), 1, std::nullopt, 0.5f));
  QM_ASSERT_ERROR(Io, "",
                  e->mem_read_pack_with_trace_boost_and_follow(Key(0), 1, std::nullopt, 0.5f));
}

}  // namespace
}  // namespace quellmar
