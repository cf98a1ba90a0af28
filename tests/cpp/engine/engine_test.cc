#include "quellmar/engine/engine.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <functional>
#include <random>
#include <thread>
#include <unordered_set>

#include "engine_test_peer.h"
#include "quellmar/core/async_sync.h"
#include "quellmar/core/coding.h"
#include "quellmar/core/file_names.h"
#include "quellmar/core/posix_file.h"
#include "quellmar/core/temp_file.h"
#include "quellmar/engine/env_settings.h"
#include "quellmar/index/vamana_index.h"
#include "quellmar/retrieval/key_view.h"
#include "test_util.h"

namespace quellmar {
namespace {

using testing::read_file;
using testing::TempDir;
using testing::write_file;

constexpr size_t DIM = 16;

// A key that points mostly along axis i: distinct packs get clearly distinct keys.
std::vector<float> Key(int i, float weight = 4.0f) {
  std::vector<float> k(DIM, 0.25f);
  k[static_cast<size_t>(i) % DIM] = weight;
  k[(static_cast<size_t>(i) / DIM + 3) % DIM] += 1.0f;
  return k;
}

std::vector<LayerPayload> Layers(std::initializer_list<LayerIdx> layers, size_t width = 8) {
  std::vector<LayerPayload> out;
  for (LayerIdx l : layers) {
    // Whole numbers with 7 the largest magnitude: the 4-bit codes hold them exactly.
    LayerPayload p{l, std::vector<float>(width)};
    p.data[0] = 7.0f;
    for (size_t i = 1; i < width; ++i) p.data[i] = static_cast<float>((i + l) % 7) - 3.0f;
    out.push_back(std::move(p));
  }
  return out;
}

PackWrite Pack(OwnerId owner, std::vector<float> key, float salience = 50.0f,
               std::optional<std::string> text = std::nullopt,
               std::vector<LayerPayload> layers = Layers({0, 1})) {
  PackWrite w;
  w.owner = owner;
  w.retrieval_key = std::move(key);
  w.layer_payloads = std::move(layers);
  w.salience = salience;
  w.text = std::move(text);
  return w;
}

class EngineTest : public ::testing::Test {
 protected:
  std::unique_ptr<Engine> Open(uint64_t threshold = DEFAULT_VAMANA_THRESHOLD) {
    auto e = Engine::open(dir_.path(), threshold);
    EXPECT_TRUE(e.is_ok()) << e.error().message();
    return e.is_ok() ? std::move(e).value() : nullptr;
  }
  PackId Write(Engine& e, PackWrite w) {
    auto id = e.mem_write_pack(std::move(w));
    EXPECT_TRUE(id.is_ok()) << id.error().message();
    return id.is_ok() ? *id : 0;
  }
  std::vector<PackId> Read(Engine& e, const std::vector<float>& q, uint64_t k,
                           std::optional<OwnerId> owner = std::nullopt) {
    auto r = e.mem_read_pack(q, k, owner);
    EXPECT_TRUE(r.is_ok()) << r.error().message();
    std::vector<PackId> ids;
    if (r.is_ok()) {
      for (const PackReadResult& p : *r) ids.push_back(p.pack_id);
    }
    return ids;
  }

  TempDir dir_;
};

TEST_F(EngineTest, OpeningAnEmptyDirectory) {
  const std::string path = dir_.file("fresh/engine");
  QM_ASSERT_OK_AND_ASSIGN(auto e, Engine::open(path));
  EXPECT_TRUE(path_exists(segment_path(path, 0)));
  EXPECT_EQ(read_file(path + "/trace.wal"), "");
  EXPECT_EQ(read_file(path + "/synaptic.qmr"), "");
  EXPECT_EQ(e->cell_count(), 0u);
  EXPECT_EQ(e->pack_count(), 0u);
  EXPECT_EQ(EngineTestPeer(*e).next_pack_id(), 1u);
  EXPECT_EQ(EngineTestPeer(*e).next_cell_id(), 0u);
  EXPECT_FALSE(EngineTestPeer(*e).key_dim().has_value());
  EXPECT_EQ(EngineTestPeer(*e).slb().dim(), 128u);
  EXPECT_EQ(EngineTestPeer(*e).pipeline().stage_count(), 2u);
  EXPECT_FALSE(e->has_vamana());
  QM_EXPECT_OK(e->flush());  // without a buffer: only syncs trace.wal
}

TEST(EngineConfigTest, EnvironmentParsing) {
  struct Case {
    const char* value;
    uint64_t capacity;
  };
  const Case cases[] = {{nullptr, 32768},
                        {"+1000", 1000},
                        {"1000", 1000},
                        {"-5", 32768},
                        {"12a", 32768},
                        {"", 32768},
                        {"0", 32768},
                        {"+", 32768},
                        {"++1", 32768},
                        {"18446744073709551615", 18446744073709551615ull},
                        {"18446744073709551616", 32768}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value ? c.value : "(unset)");
    EXPECT_EQ(parse_int8_tier_capacity(c.value), c.capacity);
  }
  for (const char* on : {"1", "true"}) EXPECT_TRUE(parse_per_token_eager(on)) << on;
  for (const char* off : {"True", "yes", " 1", "1 ", "0", ""}) {
    EXPECT_FALSE(parse_per_token_eager(off)) << off;
  }
  EXPECT_FALSE(parse_per_token_eager(nullptr));

  // The graph's threads: a positive number lowers them from the machine's; anything else leaves
  // them there.
  struct ThreadsCase {
    const char* value;
    size_t cores;
    size_t threads;
  };
  const ThreadsCase thread_cases[] = {{nullptr, 8, 8},
                                      {"3", 8, 3},
                                      {"+3", 8, 3},
                                      {"1", 8, 1},
                                      {"8", 8, 8},
                                      {"9", 8, 8},
                                      {"0", 8, 8},
                                      {"-2", 8, 8},
                                      {"2x", 8, 8},
                                      {"", 8, 8},
                                      {" 2", 8, 8},
                                      {"+", 8, 8},
                                      {"18446744073709551616", 8, 8},
                                      {"4", 0, 1},
                                      {nullptr, 0, 1},
                                      {"18446744073709551615", 64, 64}};
  for (const ThreadsCase& c : thread_cases) {
    SCOPED_TRACE(c.value ? c.value : "(unset)");
    EXPECT_EQ(parse_graph_threads(c.value, c.cores), c.threads);
  }
  EXPECT_GE(hardware_threads(), 1u);
  ::setenv("QMR_GRAPH_THREADS", "2", 1);
  EXPECT_EQ(graph_threads_from_env(), std::min<size_t>(2, hardware_threads()));
  ::unsetenv("QMR_GRAPH_THREADS");
  EXPECT_EQ(graph_threads_from_env(), hardware_threads());

  ::setenv("QMR_PER_TOKEN_EAGER", "true", 1);
  ::setenv("QMR_INT8_TIER_CAPACITY", "1000", 1);
  RetrievalPipeline p = engine_config_from_env(PerTokenConfig{});
  ::unsetenv("QMR_PER_TOKEN_EAGER");
  ::unsetenv("QMR_INT8_TIER_CAPACITY");
  ASSERT_EQ(p.stage_count(), 2u);
  PerTokenRetriever* r = p.stage(0).as_per_token();
  ASSERT_NE(r, nullptr);
  EXPECT_TRUE(r->eager());
  EXPECT_EQ(p.stage(1).as_per_token(), nullptr);
}

TEST_F(EngineTest, PackWriteIdsRecordsAndGovernance) {
  auto e = Open();
  PackWrite w = Pack(7, std::vector<float>(256, 0.5f), 60.0f, "hello", Layers({3, 0, 1}));
  QM_ASSERT_OK_AND_ASSIGN(PackId id, e->mem_write_pack(w));
  EXPECT_EQ(id, 1u);
  EXPECT_EQ(EngineTestPeer(*e).key_dim(), 256u);
  EXPECT_EQ(EngineTestPeer(*e).slb().dim(), 256u);
  EXPECT_EQ(*e->pack_directory().cells(1), (std::vector<CellId>{0, 1, 2, 3}));
  QM_ASSERT_OK_AND_ASSIGN(CellRecord head, EngineTestPeer(*e).block_pool().read_cell(0));
  EXPECT_EQ(head.layer, HEAD_CELL_LAYER);
  EXPECT_EQ(head.pack_id, 1u);
  EXPECT_TRUE(head.value.empty());
  QM_ASSERT_OK_AND_ASSIGN(CellRecord layer, EngineTestPeer(*e).block_pool().read_cell(1));
  EXPECT_EQ(layer.layer, 3);
  EXPECT_EQ(layer.key, head.key);  // layer cells carry the retrieval key too
  EXPECT_EQ(layer.importance, 65.0f);
  EXPECT_EQ(layer.tier, 1);
  EXPECT_EQ(e->governance().size(), 1u);  // the head cell only, until a refresh

  struct Case {
    float salience, importance;
    int tier;
  };
  for (const Case& c :
       {Case{-7, 5, 0}, Case{60, 65, 1}, Case{80, 85, 2}, Case{200, 100, 2}, Case{NAN, 100, 2}}) {
    QM_ASSERT_OK_AND_ASSIGN(PackId p, e->mem_write_pack(Pack(1, Key(2), c.salience)));
    const GovernanceEntry& g = e->governance().at(e->pack_directory().cells(p)->front());
    EXPECT_EQ(g.importance, c.importance) << c.salience;
    EXPECT_EQ(g.tier, c.tier) << c.salience;
  }

  QM_ASSERT_OK_AND_ASSIGN(PackReadResult r, e->load_pack_by_id(1));
  ASSERT_EQ(r.layers.size(), 3u);
  EXPECT_EQ(r.layers[0].layer_idx, 0);
  EXPECT_EQ(r.layers[2].layer_idx, 3);
  EXPECT_EQ(r.text, "hello");
  EXPECT_EQ(r.owner, 7u);
  EXPECT_EQ(r.score, 0.0f);
  EXPECT_EQ(e->governance().at(0).importance, 68.0f);
  QM_ASSERT_ERROR(CellNotFound, "cell not found: 99", e->load_pack_by_id(99));

  QM_ASSERT_ERROR(MalformedTokenMatrix,
                  "empty or malformed token matrix: n_tokens=2, dim=3, buffer_len=5",
                  e->mem_write_pack_tokens(1, std::vector<float>(5), 2, 3, {}, 1.0f, {}));
}

TEST_F(EngineTest, ReopenRebuildsEverythingFromTheRecords) {
  {
    auto e = Open();
    Write(*e, Pack(1, Key(0), 70.0f, "first"));
    Write(*e, Pack(2, Key(1), 85.0f));
    QM_ASSERT_OK(e->mem_write(3, 4, Key(2), std::vector<float>{1, 2}, 10.0f, std::nullopt));
  }
  auto e = Open();
  EXPECT_EQ(e->cell_count(), 7u);
  EXPECT_EQ(e->pack_count(), 2u);
  EXPECT_EQ(EngineTestPeer(*e).next_pack_id(), 3u);
  EXPECT_EQ(EngineTestPeer(*e).next_cell_id(), 7u);
  EXPECT_EQ(EngineTestPeer(*e).key_dim(), DIM);
  // Every cell, layer cells included, has an entry from its stored importance and tier.
  ASSERT_EQ(e->governance().size(), 7u);
  EXPECT_EQ(e->governance().at(1).importance, 75.0f);
  EXPECT_EQ(e->governance().at(1).tier, 1);
  EXPECT_EQ(e->governance().at(3).tier, 2);
  EXPECT_EQ(*e->pack_directory().cells(2), (std::vector<CellId>{3, 4, 5}));
  EXPECT_EQ(*e->text_store().find(1), "first");
  EXPECT_EQ(Read(*e, Key(1), 1), (std::vector<PackId>{2}));

  const auto counts = [&] {
    return std::vector<uint64_t>{e->cell_count(),
                                 e->pack_count(),
                                 e->governance().size(),
                                 e->trace_graph().edge_count(),
                                 EngineTestPeer(*e).slb().occupancy(),
                                 EngineTestPeer(*e).pipeline().stage(1).len()};
  };
  const auto before = counts();
  QM_ASSERT_OK(e->refresh());
  QM_ASSERT_OK(e->refresh());
  EXPECT_EQ(counts(), before);
  EXPECT_EQ(EngineTestPeer(*e).slb().occupancy(), 3u);  // two head cells and the cell-API cell
}

TEST_F(EngineTest, AKeyOfNoWidthNeverSetsTheKeyWidth) {
  std::vector<float> zero_dim(64 + 8, 1.0f);
  zero_dim[0] = -1e9f;
  zero_dim[33] = 0.0f;
  std::vector<float> uneven = zero_dim;
  uneven[33] = 3.0f;  // 8 values do not make whole rows of 3
  const std::vector<float> short_key = {-1e9f, 1.0f, 2.0f};
  struct Case {
    const char* name;
    std::vector<float> key;
  };
  for (const Case& c : {Case{"zero-dim", zero_dim}, Case{"uneven", uneven},
                        Case{"short", short_key}, Case{"empty", {}}}) {
    SCOPED_TRACE(c.name);
    const std::string path = dir_.file(c.name);
    auto check = [&](Engine& e, std::optional<uint64_t> width) {
      EXPECT_EQ(EngineTestPeer(e).key_dim(), width);
      EXPECT_EQ(Read(e, c.key, 5), std::vector<PackId>{});  // matches nothing
      if (width) {
        EXPECT_EQ(Read(e, Key(0), 5), std::vector<PackId>{2});
      }
    };
    {
      QM_ASSERT_OK_AND_ASSIGN(auto e, Engine::open(path));
      Write(*e, Pack(1, c.key));
      check(*e, std::nullopt);
    }
    {
      QM_ASSERT_OK_AND_ASSIGN(auto e, Engine::open(path));
      check(*e, std::nullopt);
      Write(*e, Pack(1, Key(0)));  // the first key with a width sets it
      check(*e, DIM);
    }
    QM_ASSERT_OK_AND_ASSIGN(auto e, Engine::open(path));
    check(*e, DIM);
  }
  // In a batch the first key with a width sets it too.
  QM_ASSERT_OK_AND_ASSIGN(auto e, Engine::open(dir_.file("batch")));
  QM_ASSERT_OK(e->mem_write_batch_packs({Pack(1, zero_dim), Pack(1, Key(0))}));
  EXPECT_EQ(EngineTestPeer(*e).key_dim(), DIM);
  EXPECT_EQ(Read(*e, zero_dim, 5), std::vector<PackId>{});
  EXPECT_EQ(Read(*e, Key(0), 5), std::vector<PackId>{2});
}

TEST_F(EngineTest, PackReadsRankWeightAndTouch) {
  auto e = Open();
  const PackId core = Write(*e, Pack(1, Key(0), 90.0f, "core"));
  const PackId draft = Write(*e, Pack(1, Key(1), 20.0f));
  Write(*e, Pack(2, Key(2), 50.0f));

  // A query between the two: the raw scores are close, the Core tier factor decides.
  std::vector<float> q = Key(0);
  q[1] = 3.9f;
  QM_ASSERT_OK_AND_ASSIGN(auto results, e->mem_read_pack(q, 2, std::nullopt));
  ASSERT_EQ(results.size(), 2u);
  EXPECT_EQ(results[0].pack_id, core);
  EXPECT_EQ(results[0].tier, 2);
  EXPECT_EQ(results[0].text, "core");
  ASSERT_EQ(results[0].layers.size(), 2u);
  EXPECT_EQ(results[0].layers[1].data, Layers({1})[0].data);
  EXPECT_EQ(results[1].pack_id, draft);
  EXPECT_GT(results[0].score, results[1].score);
  const CellId core_head = e->pack_directory().cells(core)->front();
  EXPECT_EQ(e->governance().at(core_head).importance, 98.0f);
  QM_ASSERT_OK(e->mem_read_pack(q, 1, std::nullopt));
  EXPECT_EQ(e->governance().at(core_head).importance, 100.0f);  // capped

  // Recency: 30 simulated days scale the score by e^-1.
  QM_ASSERT_OK_AND_ASSIGN(auto fresh, e->mem_read_pack(Key(2), 1, std::nullopt));
  e->advance_days(30.0f);
  QM_ASSERT_OK_AND_ASSIGN(auto aged, e->mem_read_pack(Key(2), 1, std::nullopt));
  EXPECT_NEAR(aged[0].score / fresh[0].score, std::exp(-1.0f), 1e-3);

  EXPECT_EQ(Read(*e, Key(2), 5, /*owner=*/1).size(), 2u);  // owner 2's pack filtered out
  EXPECT_TRUE(Read(*e, Key(0), 0).empty());
  EXPECT_EQ(Read(*e, Key(0), 1000).size(), 3u);
  EXPECT_EQ(Read(*e, Key(0), UINT64_MAX).size(), 3u);  // no wrap of the over-fetch counts
  EXPECT_EQ(Read(*e, Key(0), (UINT64_MAX >> 1) + 1).size(), 3u);
}

// Candidates come from the SLB and then the pipeline, which finds the same cells again; each cell
// is kept once, however many hits there are.
TEST_F(EngineTest, CandidatesAreDistinctCells) {
  auto e = Open();
  for (int i = 0; i < 100; ++i) Write(*e, Pack(1, Key(i)));
  for (uint64_t k : {3u, 40u, 150u}) {
    SCOPED_TRACE(k);
    const std::vector<ScoredCell> hits =
        EngineTestPeer(*e).find_candidates(Key(0), k, std::nullopt);
    std::unordered_set<CellId> distinct;
    for (const ScoredCell& h : hits) distinct.insert(h.cell_id);
    EXPECT_EQ(distinct.size(), hits.size());
    EXPECT_GE(hits.size(), std::min<uint64_t>(k, 100));
  }
  EXPECT_EQ(Read(*e, Key(0), 150).size(), 100u);
}

TEST_F(EngineTest, WriteBufferQueuesThenWritesOneBatch) {
  QM_ASSERT_OK_AND_ASSIGN(auto e, Engine::open_with_write_buffer(dir_.path(), 3, 5));
  EXPECT_EQ(Write(*e, Pack(1, Key(0))), 1u);
  EXPECT_EQ(Write(*e, Pack(1, Key(1), 50.0f, "queued text")), 2u);
  EXPECT_EQ(e->pack_count(), 0u);
  EXPECT_TRUE(Read(*e, Key(0), 1).empty());
  EXPECT_EQ(Write(*e, Pack(1, Key(2))), 3u);
  EXPECT_EQ(e->pack_count(), 3u);
  EXPECT_EQ(e->cell_count(), 9u);

  Write(*e, Pack(1, Key(3)));  // queued
  QM_ASSERT_OK_AND_ASSIGN(auto none, e->mem_write_batch_packs({}));
  EXPECT_TRUE(none.empty());
  EXPECT_EQ(EngineTestPeer(*e).write_buffer()->entries.size(), 1u);
  std::vector<PackWrite> batch = {Pack(1, Key(4)), Pack(1, Key(5))};
  QM_ASSERT_OK_AND_ASSIGN(auto ids, e->mem_write_batch_packs(std::move(batch)));
  EXPECT_EQ(ids, (std::vector<PackId>{5, 6}));
  EXPECT_EQ(e->pack_count(), 6u);
  // The queued pack went first and kept the smaller id and cells.
  EXPECT_LT(e->pack_directory().cells(4)->front(), e->pack_directory().cells(5)->front());

  Write(*e, Pack(1, Key(6)));  // queued, then drained when the engine goes away
  e.reset();
  QM_ASSERT_OK_AND_ASSIGN(auto reopened, Engine::open(dir_.path()));
  EXPECT_EQ(reopened->pack_count(), 7u);
  EXPECT_EQ(*reopened->text_store().find(2), "queued text");
}

// A drain stores its packs byte for byte as a batch of the same packs does, apart from the write
// times: the buffer quantizes each pack when it takes it, and the drain copies those bytes.
TEST_F(EngineTest, DrainedPacksAreStoredAsABatchStoresThem) {
  TempDir other;
  QM_ASSERT_OK_AND_ASSIGN(auto buffered, Engine::open_with_write_buffer(dir_.path(), 3, 0));
  QM_ASSERT_OK_AND_ASSIGN(auto direct, Engine::open(other.path()));
  std::mt19937 rng(5);
  std::normal_distribution<float> dist;
  std::vector<PackWrite> packs;
  for (int i = 0; i < 3; ++i) {
    std::vector<LayerPayload> layers = Layers({0, 1, 2}, 70 + 31 * i);  // partial last groups
    for (LayerPayload& l : layers) {
      for (float& x : l.data) x = dist(rng);
    }
    layers.push_back(LayerPayload{3, {}});
    packs.push_back(Pack(1, Key(i), 20.0f * float(i), "text", std::move(layers)));
    Write(*buffered, packs.back());
  }
  ASSERT_EQ(buffered->pack_count(), 3u);
  QM_ASSERT_OK(direct->mem_write_batch_packs(std::move(packs)).status());
  auto records_of = [](const std::string& dir) {
    std::string bytes = read_file(segment_path(dir, 0));
    for (uint64_t off = 8; off + 4 <= bytes.size();) {
      auto* p = reinterpret_cast<uint8_t*>(bytes.data() + off);
      std::fill(p + 50, p + 66, uint8_t{0});  // created and updated times
      off += 4 + uint64_t{decode_u32(p)};
    }
    return bytes;
  };
  EXPECT_EQ(direct->cell_count(), 15u);
  EXPECT_TRUE(records_of(dir_.path()) == records_of(other.path()));
}

int g_fail_sync = 0;
int FailSegmentSync(FileOp op, const std::string& path) {
  return op == FileOp::Sync && g_fail_sync && path.find("segment_") != std::string::npos ? EIO : 0;
}

TEST_F(EngineTest, FailedDrainKeepsAcknowledgedPacksQueued) {
  QM_ASSERT_OK_AND_ASSIGN(auto e, Engine::open_with_write_buffer(dir_.path(), 2, 0));
  EXPECT_EQ(Write(*e, Pack(1, Key(0))), 1u);  // acknowledged, queued
  g_fail_sync = 1;
  set_file_fault_hook(&FailSegmentSync);
  QM_ASSERT_ERROR(Io, "", e->mem_write_pack(Pack(1, Key(1))));  // fills the queue; drain fails
  g_fail_sync = 0;
  set_file_fault_hook(nullptr);
  ASSERT_EQ(EngineTestPeer(*e).write_buffer()->entries.size(), 1u);
  EXPECT_EQ(EngineTestPeer(*e).write_buffer()->entries[0].pack_id, 1u);
  QM_ASSERT_OK(e->flush());
  EXPECT_EQ(e->pack_count(), 1u);
  EXPECT_TRUE(e->pack_directory().contains(1));
  EXPECT_FALSE(e->pack_directory().contains(2));  // its caller was told it failed
  EXPECT_EQ(Write(*e, Pack(1, Key(2))), 3u);      // ids are never given out again
}

const char* g_fail_sync_of = nullptr;  // a file name part whose flushes fail
int FailSyncOf(FileOp op, const std::string& path) {
  return op == FileOp::Sync && g_fail_sync_of && path.find(g_fail_sync_of) != std::string::npos
             ? EIO
             : 0;
}

// A batch's flushes run while the engine prepares what the batch adds; a failed one, whether the
// kernel reported it in the background or the flush was made in place, leaves nothing of the
// batch to see, now or after a reopen, and the segment as it was (texts flushed before a failed
// segment flush stay in their file, naming packs that do not exist).
TEST_F(EngineTest, FailedBatchFlushLeavesNothingVisible) {
  struct Case {
    const char* name;
    const char* failing;
    bool synchronous;
  };
  const Case cases[] = {
      {"segment flush, in the background", "segment_", false},
      {"segment flush, in place", "segment_", true},
      {"text flush, in the background", "text_store", false},
      {"text flush, in place", "text_store", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    AsyncSync::force_synchronous(c.synchronous);
    {
      QM_ASSERT_OK_AND_ASSIGN(auto e, Engine::open(dir.path()));
      QM_ASSERT_OK(e->mem_write_batch_packs({Pack(1, Key(0), 50.0f, "kept")}));
      const std::string segment = read_file(segment_path(dir.path(), 0));
      const std::string texts = read_file(dir.file("text_store.bin"));
      g_fail_sync_of = c.failing;
      set_file_fault_hook(&FailSyncOf);
      QM_ASSERT_ERROR(Io, "",
                      e->mem_write_batch_packs(
                          {Pack(1, Key(1), 50.0f, "lost"), Pack(2, Key(2), 50.0f, "lost too")}));
      set_file_fault_hook(nullptr);
      EXPECT_EQ(read_file(segment_path(dir.path(), 0)), segment);
      if (std::string(c.failing) == "text_store") {
        EXPECT_EQ(read_file(dir.file("text_store.bin")), texts);
      }
      EXPECT_EQ(e->pack_count(), 1u);
      EXPECT_EQ(e->cell_count(), 3u);
      EXPECT_EQ(e->governance().size(), 1u);
      EXPECT_EQ(e->text_store().find(2), nullptr);
      EXPECT_EQ(e->text_store().find(3), nullptr);
      EXPECT_EQ(Read(*e, Key(1), 5), (std::vector<PackId>{1}));
      // Ids are not given out again; the next batch works.
      QM_ASSERT_OK_AND_ASSIGN(auto ids, e->mem_write_batch_packs({Pack(1, Key(3), 50.0f, "x")}));
      EXPECT_EQ(ids, (std::vector<PackId>{4}));
      EXPECT_EQ(*e->text_store().find(4), "x");
    }
    QM_ASSERT_OK_AND_ASSIGN(auto e, Engine::open(dir.path()));
    EXPECT_EQ(e->pack_count(), 2u);
    EXPECT_FALSE(e->pack_directory().contains(2));
    EXPECT_EQ(Read(*e, Key(3), 5), (std::vector<PackId>{4, 1}));
  }
  g_fail_sync_of = nullptr;
  AsyncSync::force_synchronous(false);
}

TEST_F(EngineTest, DeletedPacksStayDeleted) {
  {
    auto e = Open();
    Write(*e, Pack(1, Key(0), 50.0f, "gone"));
    Write(*e, Pack(1, Key(1)));
    QM_ASSERT_OK(e->delete_pack(1));
    QM_ASSERT_ERROR(CellNotFound, "cell not found: 1", e->delete_pack(1));
    EXPECT_EQ(read_file(dir_.file("deletion_log.bin")).size(), 8u);
    EXPECT_EQ(Read(*e, Key(0), 1), (std::vector<PackId>{2}));
    EXPECT_EQ(e->text_store().find(1), nullptr);
  }
  auto e = Open();
  EXPECT_FALSE(e->pack_directory().contains(1));
  EXPECT_EQ(e->text_store().find(1), nullptr);
  EXPECT_EQ(Write(*e, Pack(1, Key(2))), 3u);
  // The deleted pack's cells are kept out of the indexes: no cell read finds them.
  QM_ASSERT_OK_AND_ASSIGN(auto cells, e->mem_read(Key(0), 10, std::nullopt));
  for (const CellReadResult& c : cells) EXPECT_NE(c.record.pack_id, 1u);
  EXPECT_EQ(e->governance().count(0), 0u);

  QM_ASSERT_OK_AND_ASSIGN(CompactionReport r, e->compact());
  EXPECT_EQ(r.segments_compacted, 0u);  // a single segment is never compacted
}

TEST_F(EngineTest, DeletedPacksStayOutOfTheGraph) {
  std::vector<CellId> gone;
  {
    auto e = Open(4);
    for (int i = 0; i < 3; ++i) Write(*e, Pack(1, Key(i)));  // a head and two layers each
  }
  {
    auto e = Open(4);  // saves the graph over the nine cells
    ASSERT_TRUE(e->has_vamana());
    EXPECT_EQ(EngineTestPeer(*e).pipeline().stage(2).len(), 9u);
    gone = *e->pack_directory().cells(1);
    QM_ASSERT_OK(e->delete_pack(1));
  }
  auto reads_no_deleted_cell = [&](Engine& e, const std::vector<float>& query) {
    QM_ASSERT_OK_AND_ASSIGN(auto cells, e.mem_read(query, 10, std::nullopt));
    EXPECT_FALSE(cells.empty());
    for (const CellReadResult& c : cells) {
      EXPECT_TRUE(std::find(gone.begin(), gone.end(), c.record.cell_id) == gone.end())
          << "cell " << c.record.cell_id;
    }
    for (CellId cell : gone)
      EXPECT_FALSE(EngineTestPeer(e).slb().contains(cell)) << "cell " << cell;
  };
  // The first reopen finds the saved graph with the deleted cells and builds it again without
  // them; the second takes that one as it is.
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    auto e = Open(4);
    ASSERT_TRUE(e->has_vamana());
    EXPECT_EQ(EngineTestPeer(*e).pipeline().stage(2).len(), 6u);
    const std::unordered_map<CellId, std::vector<float>> no_keys;
    QM_ASSERT_OK_AND_ASSIGN(auto saved, VamanaIndex::load(dir_.path(), no_keys));
    ASSERT_TRUE(saved.has_value());
    for (size_t i = 0; i < saved->node_count(); ++i) {
      EXPECT_TRUE(std::find(gone.begin(), gone.end(), saved->node_cell_id(i)) == gone.end());
    }
    reads_no_deleted_cell(*e, Key(0));
  }
  // A writer's build after a deletion in the same session leaves the pack out as well.
  auto e = Open(10);
  EXPECT_FALSE(e->has_vamana());  // nine cells stored
  const std::vector<CellId> pack2 = *e->pack_directory().cells(2);
  gone.insert(gone.end(), pack2.begin(), pack2.end());
  QM_ASSERT_OK(e->delete_pack(2));
  QM_ASSERT_OK(e->mem_write(1, 0, Key(20), {}, 50.0f, {}));
  ASSERT_TRUE(e->has_vamana());
  EXPECT_EQ(EngineTestPeer(*e).pipeline().stage(2).len(), 4u);  // pack 3 and the cell
  reads_no_deleted_cell(*e, Key(1));
  // A pack deleted while the graph holds its cells: the graph keeps its nodes until the next
  // open, and reads pass over them.
  const std::vector<CellId> pack3 = *e->pack_directory().cells(3);
  gone.insert(gone.end(), pack3.begin(), pack3.end());
  QM_ASSERT_OK(e->delete_pack(3));
  EXPECT_EQ(EngineTestPeer(*e).pipeline().stage(2).len(), 4u);
  reads_no_deleted_cell(*e, Key(2));
}

// A damaged record stays out of the graph whoever builds it: the open below the threshold, and a
// writer's build once the cell count reaches it, both leave the record out and go on.
TEST_F(EngineTest, DamagedRecordStaysOutOfAWritersGraphBuild) {
  {
    auto e = Open();
    for (int i = 0; i < 3; ++i) Write(*e, Pack(1, Key(i)));  // nine cells
  }
  const std::string seg = dir_.file(segment_file_name(0));
  std::string bytes = read_file(seg);
  bytes[8 + 74] = '\x09';  // the first record's tier byte
  write_file(seg, bytes);
  auto e = Open(10);
  ASSERT_FALSE(e->has_vamana());
  QM_ASSERT_OK(e->mem_write(1, 0, Key(7), {}, 50.0f, {}));
  EXPECT_TRUE(e->has_vamana());
  QM_ASSERT_OK(e->mem_write(1, 0, Key(8), {}, 50.0f, {}));
}

// The key width comes from the first cell the SLB takes: a deleted first pack of another width
// leaves the SLB and the graph at the width of what is indexed.
TEST_F(EngineTest, KeyWidthOfADeletedFirstPackIsNotTaken) {
  std::vector<float> wide(SLB_INITIAL_DIM, 0.5f);
  {
    auto e = Open();
    const PackId first = Write(*e, Pack(1, wide));
    QM_ASSERT_OK(e->delete_pack(first));
  }
  {
    auto e = Open();
    Write(*e, Pack(1, Key(1)));  // the SLB still has the width of the deleted pack's key
  }
  auto e = Open();
  EngineTestPeer peer(*e);
  EXPECT_EQ(peer.key_dim(), std::optional<uint64_t>(DIM));
  EXPECT_EQ(peer.slb().dim(), DIM);
}

TEST_F(EngineTest, CompactionKeepsPacksAndCellApiCells) {
  auto opened = Engine::open(dir_.path(), DEFAULT_VAMANA_THRESHOLD, /*segment_size=*/64);
  ASSERT_TRUE(opened.is_ok());
  auto e = std::move(opened).value();
  QM_ASSERT_OK_AND_ASSIGN(CellId plain,
                          e->mem_write(9, 1, Key(5), std::vector<float>{1}, 50.0f, std::nullopt));
  const PackId keep = Write(*e, Pack(1, Key(0)));
  const PackId drop = Write(*e, Pack(1, Key(1)));
  Write(*e, Pack(1, Key(2)));
  QM_ASSERT_OK(e->delete_pack(drop));
  QM_ASSERT_OK_AND_ASSIGN(CompactionReport r, e->compact());
  EXPECT_GE(r.segments_compacted, 1u);
  QM_EXPECT_OK(EngineTestPeer(*e).block_pool().read_cell(plain));
  QM_ASSERT_OK_AND_ASSIGN(PackReadResult p, e->load_pack_by_id(keep));
  EXPECT_EQ(p.layers.size(), 2u);
  QM_ASSERT_ERROR(CellNotFound, "",
                  EngineTestPeer(*e).block_pool().read_cell(EngineTestPeer(*e).next_cell_id() - 6));
}

// Cell-API cells on the head layer belong to no pack either: compaction keeps them whichever
// writer stored them, before and after a refresh groups them. Each write below starts a segment
// of its own; the deleted pack's segment is the one compacted.
TEST_F(EngineTest, CompactionKeepsCellApiCellsOnEveryLayer) {
  struct Case {
    const char* name;
    bool batch;
    bool refresh;
  };
  const Case cases[] = {
      {"mem_write", false, false},
      {"mem_write, refreshed", false, true},
      {"mem_write_batch", true, false},
      {"mem_write_batch, refreshed", true, true},
  };
  const LayerIdx layers[] = {HEAD_CELL_LAYER, HEAD_CELL_LAYER, 3};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    std::vector<CellId> cells;
    std::vector<std::vector<float>> values;
    {
      QM_ASSERT_OK_AND_ASSIGN(
          auto e, Engine::open(dir.path(), DEFAULT_VAMANA_THRESHOLD, /*segment_size=*/64));
      // Three cells in one segment (a batch) or in three, the head-layer ones first.
      std::vector<CellWrite> writes;
      for (size_t i = 0; i < 3; ++i) {
        values.push_back({7, static_cast<float>(i) - 3});  // held exactly by the 4-bit codes
        writes.push_back(
            CellWrite{1, layers[i], Key(static_cast<int>(i)), values.back(), 50.0f, {}});
      }
      if (c.batch) {
        QM_ASSERT_OK_AND_ASSIGN(cells, e->mem_write_batch(writes));
      } else {
        for (const CellWrite& w : writes) {
          QM_ASSERT_OK_AND_ASSIGN(CellId id,
                                  e->mem_write(w.owner, w.layer, w.key, w.value, w.salience, {}));
          cells.push_back(id);
        }
      }
      const PackId dropped = Write(*e, Pack(2, Key(7)));
      QM_ASSERT_OK(e->delete_pack(dropped));
      QM_ASSERT_OK(e->mem_write(1, 4, Key(8), std::vector<float>{1}, 50.0f, {}).status());
      if (c.refresh) QM_ASSERT_OK(e->refresh());
      QM_ASSERT_OK_AND_ASSIGN(CompactionReport r, e->compact());
      EXPECT_EQ(r.segments_compacted, 1u);
      EXPECT_EQ(r.cells_moved, 0u);
    }
    QM_ASSERT_OK_AND_ASSIGN(auto e, Engine::open(dir.path(), DEFAULT_VAMANA_THRESHOLD, 64));
    EXPECT_EQ(e->cell_count(), 4u);
    for (size_t i = 0; i < cells.size(); ++i) {
      QM_ASSERT_OK_AND_ASSIGN(CellRecord r, EngineTestPeer(*e).block_pool().read_cell(cells[i]));
      EXPECT_EQ(r.layer, layers[i]);
      EXPECT_EQ(r.value, values[i]);
    }
    // Kept through a second compaction too, now that the reopen grouped them.
    QM_ASSERT_OK(e->compact().status());
    EXPECT_EQ(e->cell_count(), 4u);
  }
}

// Id counters never wrap: a stored record raises them to its id + 1, and a write that would need
// an id past LAST_ID is refused whole, takes no id and stores nothing. An id of all bits set is
// never handed out, so a record that holds one takes nothing away.
TEST_F(EngineTest, IdsPastTheLargestAreRefusedNeverReused) {
  using Ids = Result<std::vector<uint64_t>>;
  using Writer = std::function<Ids(Engine&)>;
  const Writer cell = [](Engine& e) -> Ids {
    QM_ASSIGN_OR_RETURN(CellId id, e.mem_write(1, 3, Key(1), std::vector<float>{1}, 50.0f, {}));
    return std::vector<uint64_t>{id};
  };
  const Writer cells = [](Engine& e) -> Ids {
    return e.mem_write_batch({CellWrite{1, 3, Key(1), {1}, 50.0f, {}},
                              CellWrite{1, HEAD_CELL_LAYER, Key(2), {1}, 50.0f, {}}});
  };
  const Writer pack = [](Engine& e) -> Ids {  // a head cell and two layer cells
    QM_ASSIGN_OR_RETURN(PackId id, e.mem_write_pack(Pack(1, Key(3))));
    return std::vector<uint64_t>{id};
  };
  const Writer packs = [](Engine& e) -> Ids {
    return e.mem_write_batch_packs({Pack(1, Key(3)), Pack(1, Key(4))});
  };
  struct Case {
    const char* name;
    CellId stored_cell;
    PackId stored_pack;  // 0: a cell of the cell API
    Writer write;
    std::string refused;               // empty: the write succeeds
    std::vector<uint64_t> given = {};  // the ids it returns then
    bool buffered = false;             // through a write buffer's queue
  };
  const uint64_t last = Engine::LAST_ID;
  const Case cases[] = {
      {"cell after the last cell id", last, 0, cell,
       "capacity exceeded: out of cell ids: 1 needed, 0 left"},
      {"batch after the last cell id", last, 0, cells,
       "capacity exceeded: out of cell ids: 2 needed, 0 left"},
      {"pack after the last cell id", last, 0, pack,
       "capacity exceeded: out of cell ids: 3 needed, 0 left"},
      {"packs after the last cell id", last, 0, packs,
       "capacity exceeded: out of cell ids: 6 needed, 0 left"},
      {"pack needing more cell ids than are left", last - 2, 0, pack,
       "capacity exceeded: out of cell ids: 3 needed, 2 left"},
      {"batch taking the last cell ids", last - 2, 0, cells, "", {last - 1, last}},
      {"queued pack after the last cell id",
       last,
       0,
       pack,
       "capacity exceeded: out of cell ids: 3 needed, 0 left",
       {},
       true},
      {"pack after the last pack id", 0, last, pack,
       "capacity exceeded: out of pack ids: 1 needed, 0 left"},
      {"queued pack after the last pack id",
       0,
       last,
       pack,
       "capacity exceeded: out of pack ids: 1 needed, 0 left",
       {},
       true},
      {"packs needing more pack ids than are left", 0, last - 1, packs,
       "capacity exceeded: out of pack ids: 2 needed, 1 left"},
      {"cell beside the last pack id", 0, last, cell, "", {1}},
      {"cell beside an id of all bits set", UINT64_MAX, 0, cell, "", {0}},
      {"pack beside a pack id of all bits set", 0, UINT64_MAX, pack, "", {1}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    {
      CellRecord r;
      r.cell_id = c.stored_cell;
      r.owner = 1;
      r.layer = c.stored_pack ? HEAD_CELL_LAYER : 3;
      r.key = Key(0);
      r.pack_id = c.stored_pack;
      QM_ASSERT_OK_AND_ASSIGN(BlockPool pool, BlockPool::open(dir.path(), 1 << 20));
      QM_ASSERT_OK(pool.append(r));
    }
    QM_ASSERT_OK_AND_ASSIGN(auto e, c.buffered ? Engine::open_with_write_buffer(dir.path(), 1, 0)
                                               : Engine::open(dir.path()));
    const CellId next_cell = EngineTestPeer(*e).next_cell_id();
    const PackId next_pack = EngineTestPeer(*e).next_pack_id();
    Ids got = c.write(*e);
    if (c.refused.empty()) {
      ASSERT_TRUE(got.is_ok()) << got.error().message();
      EXPECT_EQ(*got, c.given);
    } else {
      QM_ASSERT_ERROR(CapacityExceeded, c.refused, got);
      EXPECT_EQ(EngineTestPeer(*e).next_cell_id(), next_cell);
      EXPECT_EQ(EngineTestPeer(*e).next_pack_id(), next_pack);
      EXPECT_EQ(e->cell_count(), 1u);
    }
    const uint64_t count = e->cell_count();
    e.reset();
    QM_ASSERT_OK_AND_ASSIGN(e, Engine::open(dir.path()));
    EXPECT_EQ(e->cell_count(), count);  // no record was stored under an id given before
    QM_ASSERT_OK_AND_ASSIGN(CellRecord stored,
                            EngineTestPeer(*e).block_pool().read_cell(c.stored_cell));
    EXPECT_EQ(stored.pack_id, c.stored_pack);
  }
}

// A queued pack is refused when the cell ids left would not suffice for it together with the
// packs queued before it, so that every acknowledged pack can be written when the queue drains.
TEST_F(EngineTest, QueuedPacksTogetherNeverNeedMoreCellIdsThanLeft) {
  {
    CellRecord r;
    r.cell_id = Engine::LAST_ID - 5;  // five cell ids left after it
    r.owner = 1;
    r.layer = 3;
    r.key = Key(0);
    QM_ASSERT_OK_AND_ASSIGN(BlockPool pool, BlockPool::open(dir_.path(), 1 << 20));
    QM_ASSERT_OK(pool.append(r));
  }
  PackId queued = 0;
  {
    QM_ASSERT_OK_AND_ASSIGN(auto e, Engine::open_with_write_buffer(dir_.path(), 4, 0));
    QM_ASSERT_OK_AND_ASSIGN(queued, e->mem_write_pack(Pack(1, Key(1))));  // three cells
    QM_ASSERT_ERROR(CapacityExceeded, "capacity exceeded: out of cell ids: 6 needed, 5 left",
                    e->mem_write_pack(Pack(1, Key(2))));
    QM_ASSERT_OK(e->flush_buffer());
  }
  auto e = Open();
  QM_ASSERT_OK_AND_ASSIGN(PackReadResult got, e->load_pack_by_id(queued));
  EXPECT_EQ(got.layers.size(), 2u);
}

TEST_F(EngineTest, CellApiWritesReadsAndParents) {
  auto e = Open();
  QM_ASSERT_OK_AND_ASSIGN(CellId first,
                          e->mem_write(1, 2, Key(0), std::vector<float>{7, 2, -3}, 70.0f, {}));
  EXPECT_EQ(first, 0u);
  EXPECT_EQ(EngineTestPeer(*e).key_dim(), DIM);
  QM_ASSERT_OK_AND_ASSIGN(CellId child,
                          e->mem_write(1, 2, Key(1), std::vector<float>{4}, 10.0f, 999));
  EXPECT_EQ(e->trace_graph().trace_ancestors(child, EDGE_TYPE_ANY), (std::vector<CellId>{999}));
  EXPECT_EQ(read_file(dir_.file("trace.wal")).size(), 26u);

  std::vector<CellWrite> batch(3);
  for (int i = 0; i < 3; ++i) batch[i] = CellWrite{2, 0, Key(2 + i), {float(i)}, 50.0f, {}};
  QM_ASSERT_OK_AND_ASSIGN(auto ids, e->mem_write_batch(std::move(batch)));
  EXPECT_EQ(ids, (std::vector<CellId>{2, 3, 4}));
  QM_ASSERT_OK_AND_ASSIGN(auto empty, e->mem_write_batch({}));
  EXPECT_TRUE(empty.empty());

  QM_ASSERT_OK_AND_ASSIGN(auto hits, e->mem_read(Key(0), 2, std::nullopt));
  ASSERT_FALSE(hits.empty());
  EXPECT_EQ(hits[0].record.cell_id, first);
  EXPECT_EQ(hits[0].tier, 1);  // as before the touch
  EXPECT_EQ(hits[0].record.value, (std::vector<float>{7, 2, -3}));
  EXPECT_EQ(e->governance().at(first).importance, 78.0f);
  QM_ASSERT_OK_AND_ASSIGN(auto owned, e->mem_read(Key(0), 5, /*owner=*/2));
  for (const CellReadResult& c : owned) EXPECT_EQ(c.record.owner, 2u);
  QM_ASSERT_OK_AND_ASSIGN(auto none, e->mem_read({}, 5, std::nullopt));
  EXPECT_TRUE(none.empty());
  QM_ASSERT_OK_AND_ASSIGN(auto bad, e->mem_read_tokens(std::vector<float>(5), 2, 3, 5, {}));
  EXPECT_TRUE(bad.empty());
}

TEST_F(EngineTest, ViewKeysTextsAndEdges) {
  auto e = Open();
  const PackId p5 = Write(*e, Pack(1, Key(0)));
  const PackId p7 = Write(*e, Pack(1, Key(1)));
  QM_ASSERT_OK_AND_ASSIGN(uint64_t zero, e->view_count(p5));
  EXPECT_EQ(zero, 0u);
  QM_ASSERT_OK_AND_ASSIGN(uint64_t added, e->add_view_keys(p5, {Key(9), Key(10)}));
  EXPECT_EQ(added, 2u);
  QM_ASSERT_OK_AND_ASSIGN(uint64_t two, e->view_count(p5));
  EXPECT_EQ(two, 2u);
  QM_ASSERT_ERROR(PackNotFound, "pack not found: 42", e->add_view_keys(42, {}));
  QM_ASSERT_ERROR(PackNotFound, "pack not found: 42", e->view_count(42));
  EXPECT_EQ(Read(*e, Key(9), 1), (std::vector<PackId>{p5}));  // found through its view key

  QM_ASSERT_OK(e->set_pack_texts({{p5, "a"}, {p5, "b"}}));
  EXPECT_EQ(*e->text_store().find(p5), "b");
  QM_ASSERT_ERROR(CellNotFound, "cell not found: 99", e->set_pack_texts({{p7, "x"}, {99, "y"}}));
  EXPECT_EQ(e->text_store().find(p7), nullptr);

  const uint64_t wal_before = read_file(dir_.file("trace.wal")).size();
  QM_ASSERT_OK(e->add_pack_edge(p5, p7, EdgeType::Supports));
  EXPECT_EQ(read_file(dir_.file("trace.wal")).size(), wal_before + 52);
  EXPECT_EQ(e->trace_graph().edge_count(), 2u);
  EXPECT_EQ(e->pack_links_by_type(p5, 3), (std::vector<PackId>{p7}));
  EXPECT_EQ(e->pack_links_by_type(p7, 3), (std::vector<PackId>{p5}));
  EXPECT_TRUE(e->pack_links_by_type(p5, 2).empty());
  QM_ASSERT_OK(e->add_pack_edge(p5, p7, EdgeType::Follows));
  QM_ASSERT_OK(e->add_pack_edge(p5, p5, EdgeType::Follows));
  EXPECT_EQ(e->pack_links_by_type(p5, EDGE_TYPE_ANY), (std::vector<PackId>{p7}));
  QM_ASSERT_ERROR(CellNotFound, "cell not found: 99", e->add_pack_edge(p5, 99, EdgeType::Follows));
  QM_ASSERT_OK(e->delete_pack(p7));
  EXPECT_TRUE(e->pack_links_by_type(p5, EDGE_TYPE_ANY).empty());
  EXPECT_EQ(e->trace_graph().edge_count(), 6u);

  // After a reopen the view keys count for their pack and the edges come back from the log.
  e.reset();
  auto again = Open();
  QM_ASSERT_OK_AND_ASSIGN(uint64_t still, again->view_count(p5));
  EXPECT_EQ(still, 2u);
  EXPECT_EQ(again->trace_graph().edge_count(), 6u);
}

TEST_F(EngineTest, TraceReplaySkipsUnknownEdgeTypes) {
  {
    auto e = Open();
    QM_ASSERT_OK(e->mem_write(1, 0, Key(0), {}, 50.0f, 5));
  }
  std::string wal = read_file(dir_.file("trace.wal"));
  std::string extra = wal;
  extra[17] = 4;  // the same edge with type 4
  write_file(dir_.file("trace.wal"), wal + extra);
  auto e = Open();
  EXPECT_EQ(e->trace_graph().edge_count(), 1u);
}

TEST_F(EngineTest, DecayEvictionAndOwners) {
  auto e = Open();
  const PackId low = Write(*e, Pack(1, Key(0), 10.0f));  // importance 15, Draft
  const PackId mid = Write(*e, Pack(1, Key(1), 10.5f));  // 15.5, Draft
  const PackId val = Write(*e, Pack(2, Key(2), 60.0f));  // 65, Validated
  e->advance_days(0.5f);
  const CellId low_head = e->pack_directory().cells(low)->front();
  EXPECT_EQ(e->governance().at(low_head).importance, 15.0f);
  e->advance_days(0.5f);
  EXPECT_FLOAT_EQ(e->governance().at(low_head).importance, 15.0f * 0.995f);
  e->advance_days(-2.0f);
  EXPECT_FLOAT_EQ(e->governance().at(low_head).importance, 15.0f * 0.995f);

  EXPECT_EQ(e->list_owners(), (std::vector<OwnerId>{1, 2}));
  // A pack exactly at the threshold stays; one below it goes.
  const float at = e->governance().at(e->pack_directory().cells(mid)->front()).importance;
  QM_ASSERT_OK_AND_ASSIGN(uint64_t evicted, e->evict_draft_packs(at, std::nullopt));
  EXPECT_EQ(evicted, 1u);
  EXPECT_FALSE(e->pack_directory().contains(low));
  EXPECT_TRUE(e->pack_directory().contains(mid));
  QM_ASSERT_OK_AND_ASSIGN(uint64_t none, e->evict_draft_packs(NAN, std::nullopt));
  EXPECT_EQ(none, 0u);
  QM_ASSERT_OK_AND_ASSIGN(uint64_t owner2, e->delete_owner(2));
  EXPECT_EQ(owner2, 1u);
  EXPECT_FALSE(e->pack_directory().contains(val));
  EXPECT_FALSE(e->owner_exists(2));
  EXPECT_TRUE(e->owner_exists(1));

  e->advance_days(20000.0f);
  const GovernanceEntry& g = e->governance().at(e->pack_directory().cells(mid)->front());
  EXPECT_GE(g.importance, 0.0f);
  EXPECT_LT(g.importance, 1e-6f);
  EXPECT_EQ(g.tier, 0);
}

TEST_F(EngineTest, ScheduledEvictionFires) {
  auto e = Open();
  Write(*e, Pack(3, Key(0), 1.0f));
  Write(*e, Pack(4, Key(1), 1.0f));
  QM_ASSERT_OK(e->schedule().add(UnixTime{100, 0}, 3, 50.0f));
  QM_ASSERT_OK_AND_ASSIGN(uint64_t early, e->fire_due_scheduled(UnixTime{99, 0}));
  EXPECT_EQ(early, 0u);
  QM_ASSERT_OK_AND_ASSIGN(uint64_t fired, e->fire_due_scheduled(UnixTime{100, 0}));
  EXPECT_EQ(fired, 1u);
  EXPECT_EQ(e->pack_count(), 1u);
  EXPECT_TRUE(e->list_scheduled().empty());
}

TEST_F(EngineTest, SweepAdvancesEvictsAndFiresWhenAsked) {
  auto e = Open();
  const PackId weak = Write(*e, Pack(1, Key(0), 10.0f));        // importance 15, Draft
  const PackId scheduled = Write(*e, Pack(3, Key(1), 30.0f));   // 35, Draft
  QM_ASSERT_OK(e->schedule().add(UnixTime{100, 0}, 3, 50.0f));  // due long ago
  const CellId head = e->pack_directory().cells(scheduled)->front();

  // No clock and no scheduled actions: the eviction alone.
  QM_ASSERT_OK_AND_ASSIGN(uint64_t evicted, e->sweep(SweepStep{std::nullopt, 20.0f, false}));
  EXPECT_EQ(evicted, 1u);
  EXPECT_FALSE(e->pack_directory().contains(weak));
  EXPECT_TRUE(e->pack_directory().contains(scheduled));
  EXPECT_EQ(e->governance().at(head).age_days, 0.0f);
  EXPECT_EQ(e->list_scheduled().size(), 1u);

  // The clock, then the eviction (nothing left below 20), then the due action, which the count
  // leaves out.
  QM_ASSERT_OK_AND_ASSIGN(evicted, e->sweep(SweepStep{2.0f, 20.0f, true}));
  EXPECT_EQ(evicted, 0u);
  EXPECT_FALSE(e->pack_directory().contains(scheduled));
  EXPECT_TRUE(e->list_scheduled().empty());
}

TEST_F(EngineTest, VamanaActivatesAtTheThresholdAndIsReusedOnReopen) {
  {
    auto e = Open(/*threshold=*/8);
    for (int i = 0; i < 3; ++i) Write(*e, Pack(1, Key(i)));  // 9 cells: no build on this path
    EXPECT_FALSE(e->has_vamana());
    QM_ASSERT_OK(e->mem_write(1, 0, Key(20), {}, 50.0f, {}));  // a cell write builds it
    EXPECT_TRUE(e->has_vamana());
    EXPECT_EQ(EngineTestPeer(*e).pipeline().stage_count(), 3u);
  }
  const std::string idx = dir_.file("vamana.idx");
  ASSERT_TRUE(path_exists(idx));
  struct stat before;
  ASSERT_EQ(::stat(idx.c_str(), &before), 0);
  const std::string bytes = read_file(idx);
  {
    auto e = Open(8);
    EXPECT_TRUE(e->has_vamana());
    EXPECT_EQ(EngineTestPeer(*e).pipeline().stage(2).len(),
              10u);  // heads, layer cells and the cell
    EXPECT_EQ(Read(*e, Key(2), 1), (std::vector<PackId>{3}));
  }
  // The saved graph held exactly the cells a build would index: it was taken as it is.
  struct stat after;
  ASSERT_EQ(::stat(idx.c_str(), &after), 0);
  EXPECT_EQ(before.st_mtim.tv_nsec, after.st_mtim.tv_nsec);
  EXPECT_EQ(read_file(idx), bytes);

  {
    auto e = Open(8);
    Write(*e, Pack(1, Key(5)));
  }
  auto e = Open(8);  // one more pack: rebuilt, and saved again
  EXPECT_EQ(EngineTestPeer(*e).pipeline().stage(2).len(), 13u);
  EXPECT_NE(read_file(idx), bytes);
}

// Keys of DIM normal values, or with `spread` of whole numbers in [-spread, spread] (many equal
// scores).
std::vector<std::vector<float>> Keys(size_t n, uint32_t seed, int spread = 0) {
  return testing::random_keys(n, DIM, spread, seed);
}

std::unique_ptr<Engine> OpenAt(const std::string& path, std::optional<uint64_t> segment_size = {},
                               uint64_t threshold = 4) {
  auto e = Engine::open(path, threshold, segment_size);
  EXPECT_TRUE(e.is_ok()) << e.error().message();
  return e.is_ok() ? std::move(e).value() : nullptr;
}

void WritePacks(Engine& e, const std::vector<std::vector<float>>& keys) {
  for (const auto& k : keys) ASSERT_TRUE(e.mem_write_pack(Pack(1, k)).is_ok());
}

// A store grows (or loses packs) after its graph was saved: the open that finds the saved graph
// updates it, and what it saves is byte for byte what a build from scratch saves.
TEST(EngineGraphUpdate, SavedGraphIsWhatARebuildSaves) {
  using Step = std::function<void(Engine&, const std::string& path)>;
  struct History {
    const char* name;
    Step before;   // the store the graph is saved over
    Step between;  // after that save, before the open that updates the graph
    std::optional<uint64_t> segment_size;
  };
  auto packs = [](std::vector<std::vector<float>> keys) {
    return [keys](Engine& e, const std::string&) { WritePacks(e, keys); };
  };
  // A graph saved by another store, copied over this one's.
  auto foreign = [](std::vector<std::vector<float>> keys) {
    return [keys](Engine& e, const std::string& path) {
      TempDir other;
      {
        auto o = OpenAt(other.path());
        WritePacks(*o, keys);
      }
      OpenAt(other.path());  // saves its graph
      write_file(path + "/" + VAMANA_FILE, read_file(other.file(VAMANA_FILE)));
      WritePacks(e, Keys(2, 99));
    };
  };
  const auto repeated = [] {
    const auto base = Keys(5, 7);
    std::vector<std::vector<float>> old_keys, new_keys;
    for (size_t i = 0; i < 14; ++i) old_keys.push_back(base[(i * 3) % base.size()]);
    for (size_t i = 0; i < 8; ++i) new_keys.push_back(base[i % base.size()]);
    new_keys.push_back(Keys(1, 8)[0]);
    new_keys.push_back(new_keys.back());
    return std::pair(old_keys, new_keys);
  }();
  std::vector<History> histories;
  histories.push_back({"appends", packs(Keys(12, 1)), packs(Keys(6, 2)), {}});
  histories.push_back({"repeated keys", packs(repeated.first), packs(repeated.second), {}});
  histories.push_back(
      {"ties across the boundary", packs(Keys(15, 3, 1)), packs(Keys(10, 4, 1)), {}});
  histories.push_back({"saved graph below the degree", packs(Keys(2, 5)), packs(Keys(10, 6)), {}});
  histories.push_back({"deletions",
                       packs(Keys(12, 9)),
                       [](Engine& e, const std::string&) {
                         ASSERT_TRUE(e.delete_pack(2).is_ok());
                         ASSERT_TRUE(e.delete_pack(7).is_ok());
                         WritePacks(e, Keys(4, 10));
                       },
                       {}});
  histories.push_back({"compaction", packs(Keys(12, 11)),
                       [](Engine& e, const std::string&) {
                         ASSERT_TRUE(e.delete_pack(1).is_ok());
                         ASSERT_TRUE(e.delete_pack(5).is_ok());
                         auto r = e.compact();
                         ASSERT_TRUE(r.is_ok());
                         EXPECT_GE(r->segments_compacted, 1u);
                         WritePacks(e, Keys(3, 12));
                       },
                       /*segment_size=*/64});
  histories.push_back({"cells of other widths",
                       packs(Keys(10, 13)),
                       [](Engine& e, const std::string&) {
                         const std::vector<float> narrow(8, 0.5f), wide(DIM + 3, 0.25f);
                         ASSERT_TRUE(e.mem_write(1, 0, narrow, {}, 50.0f, {}).is_ok());
                         ASSERT_TRUE(e.mem_write(1, 0, wide, {}, 50.0f, {}).is_ok());
                         ASSERT_TRUE(e.mem_write(1, 0, Keys(1, 14)[0], {}, 50.0f, {}).is_ok());
                         WritePacks(e, Keys(3, 15));
                       },
                       {}});
  histories.push_back({"another store's graph", packs(Keys(12, 16)), foreign(Keys(8, 17)), {}});
  histories.push_back({"another store's graph of another width",
                       packs(Keys(12, 18)),
                       [&](Engine& e, const std::string& path) {
                         TempDir other;
                         {
                           auto o = OpenAt(other.path());
                           for (int i = 0; i < 6; ++i) {
                             auto key = Keys(1, 19 + i)[0];
                             key.resize(8);
                             ASSERT_TRUE(o->mem_write_pack(Pack(1, key)).is_ok());
                           }
                         }
                         OpenAt(other.path());
                         write_file(path + "/" + VAMANA_FILE, read_file(other.file(VAMANA_FILE)));
                         WritePacks(e, Keys(2, 25));
                       },
                       {}});
  histories.push_back({"refresh after another handle's writes",
                       packs(Keys(12, 26)),
                       [](Engine& e, const std::string& path) {
                         {
                           auto other = OpenAt(path);
                           WritePacks(*other, Keys(5, 27));
                         }
                         ASSERT_TRUE(e.refresh().is_ok());  // updates the graph, as an open does
                       },
                       {}});
  for (const History& h : histories) {
    SCOPED_TRACE(h.name);
    TempDir dir;
    const std::string path = dir.file("engine");
    const std::string idx = path + "/" + VAMANA_FILE;
    h.before(*OpenAt(path, h.segment_size), path);
    ASSERT_TRUE(OpenAt(path, h.segment_size)->has_vamana());  // saves the graph
    const std::string saved = read_file(idx);
    h.between(*OpenAt(path, h.segment_size), path);
    ASSERT_TRUE(OpenAt(path, h.segment_size)->has_vamana());  // updates it
    const std::string updated = read_file(idx);
    QM_ASSERT_OK(remove_file(idx));
    ASSERT_TRUE(OpenAt(path, h.segment_size)->has_vamana());  // builds it from scratch
    EXPECT_NE(updated, saved);
    EXPECT_EQ(updated, read_file(idx));
  }
}

}  // namespace
}  // namespace quellmar

namespace quellmar {
namespace {

TEST_F(EngineTest, SnapshotRestoresIntoAnEngineThatReadsEveryPack) {
  QM_ASSERT_OK_AND_ASSIGN(auto e, Engine::open_with_write_buffer(dir_.path(), 100, 0));
  Write(*e, Pack(1, Key(0), 50.0f, "one"));
  Write(*e, Pack(2, Key(1), 50.0f, "two"));
  QM_ASSERT_OK(e->flush_buffer());
  QM_ASSERT_OK(e->add_pack_edge(1, 2, EdgeType::Follows));
  Write(*e, Pack(2, Key(2)));  // still queued: the snapshot drains it first
  testing::TempDir out;
  QM_ASSERT_OK_AND_ASSIGN(SnapshotManifest m, e->snapshot(out.file("snap.tar")));
  EXPECT_EQ(m.stats.pack_count, 3u);
  EXPECT_EQ(m.stats.owner_count, 2u);

  QM_ASSERT_OK_AND_ASSIGN(auto restored,
                          Engine::restore_from(out.file("snap.tar"), out.file("restored")));
  EXPECT_EQ(restored->pack_count(), 3u);
  EXPECT_EQ(restored->trace_graph().edge_count(), 2u);
  EXPECT_EQ(Read(*restored, Key(1), 1), (std::vector<PackId>{2}));
  QM_ASSERT_OK_AND_ASSIGN(PackReadResult p, restored->load_pack_by_id(1));
  EXPECT_EQ(p.text, "one");
  EXPECT_EQ(p.layers.size(), 2u);
}

// A directory holding every file the engine keeps: segments, texts, deletions, synapses, the
// trace log, the saved graph and the schedule.
void FillEveryFile(const std::string& dir) {
  auto e = Engine::open(dir, /*vamana_threshold=*/8);
  ASSERT_TRUE(e.is_ok()) << e.error().message();
  for (int i = 0; i < 3; ++i)
    ASSERT_TRUE((*e)->mem_write_pack(Pack(1, Key(i), 50.0f, "t")).is_ok());
  QM_ASSERT_OK((*e)->mem_write(1, 0, Key(20), {}, 50.0f, {}));  // builds and saves the graph
  QM_ASSERT_OK((*e)->add_pack_edge(1, 2, EdgeType::Follows));
  QM_ASSERT_OK((*e)->delete_pack(3));
  QM_ASSERT_OK((*e)->schedule().add(UnixTime{100, 0}, 3, 50.0f));
}

// Each of the engine's own files replaced by something that is no regular file of its own: the
// open fails with an error that names the file, at once (a FIFO does not block it, a device is
// not read), and a link is never followed, even to a file that holds just what the engine's own
// did. The trace log reports its failures as a recovery failure, the others as I/O errors.
TEST(EngineFileTypes, OpenRefusesWhatIsNoRegularFileOfItsOwn) {
  struct File {
    const char* name;
    const char* prefix;
  };
  constexpr const char* IO = "storage I/O error: ";
  const File files[] = {{"segment_000000.qmr", IO},
                        {TEXT_STORE_FILE, IO},
                        {DELETION_LOG_FILE, IO},
                        {SYNAPTIC_FILE, IO},
                        {TRACE_WAL_FILE, "WAL recovery failed: "},
                        {VAMANA_FILE, IO},
                        {SCHEDULE_FILE, IO}};
  enum class Kind { Fifo, LinkToDevZero, LinkToACopy };
  const char* kind_names[] = {"fifo", "link to /dev/zero", "link to a copy"};
  for (const File& f : files) {
    for (Kind kind : {Kind::Fifo, Kind::LinkToDevZero, Kind::LinkToACopy}) {
      SCOPED_TRACE(::testing::Message() << f.name << " " << kind_names[static_cast<int>(kind)]);
      TempDir dir, elsewhere;
      FillEveryFile(dir.path());
      const std::string path = dir.file(f.name);
      ASSERT_TRUE(path_exists(path));
      const std::string copy = elsewhere.file("user-file");
      write_file(copy, read_file(path));
      ASSERT_EQ(::unlink(path.c_str()), 0);
      const int made = kind == Kind::Fifo            ? ::mkfifo(path.c_str(), 0600)
                       : kind == Kind::LinkToDevZero ? ::symlink("/dev/zero", path.c_str())
                                                     : ::symlink(copy.c_str(), path.c_str());
      ASSERT_EQ(made, 0);
      const std::string user_bytes = read_file(copy);
      auto e = Engine::open(dir.path(), 8);
      ASSERT_FALSE(e.is_ok());
      EXPECT_EQ(
          e.error().message(),
          std::string(f.prefix) + path +
              (kind == Kind::Fifo
                   ? " is not a regular file"
                   : " is a symbolic link; the engine does not follow links to its own files"));
      EXPECT_EQ(read_file(copy), user_bytes);
    }
  }
}

// A link in the place of a file that a first write creates (texts, deletions) never has its
// target read, created or written: the open refuses it. One in the place of a temporary file
// (the schedule's, the graph's) is taken away, not written through.
TEST(EngineFileTypes, WritesNeverGoThroughALink) {
  const std::string refused =
      " is a symbolic link; the engine does not follow links to its own files";
  TempDir elsewhere;
  const std::string user = elsewhere.file("notes.txt");
  const std::string none = elsewhere.file("none");
  write_file(user, "the user's own");
  for (const char* name : {TEXT_STORE_FILE, DELETION_LOG_FILE}) {
    for (const std::string& target : {user, none}) {
      SCOPED_TRACE(::testing::Message() << name << " -> " << target);
      TempDir dir;
      const std::string link = dir.file(name);
      ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);
      QM_ASSERT_ERROR(Io, "storage I/O error: " + link + refused, Engine::open(dir.path()));
      EXPECT_FALSE(path_exists(none));
    }
  }
  // The schedule's temporary is taken away and written afresh; the graph's legacy temporary name
  // is written by nothing, so a link there is left as it is.
  for (const char* name : {SCHEDULE_TMP_FILE, LEGACY_VAMANA_TMP_FILE}) {
    SCOPED_TRACE(name);
    TempDir dir;
    const std::string link = dir.file(name);
    ASSERT_EQ(::symlink(user.c_str(), link.c_str()), 0);
    QM_ASSERT_OK_AND_ASSIGN(auto e, Engine::open(dir.path(), 2));
    QM_ASSERT_OK(e->mem_write_pack(Pack(1, Key(0), 50.0f, "hello")).status());
    QM_ASSERT_OK(e->mem_write_pack(Pack(1, Key(1), 50.0f, "again")).status());
    QM_ASSERT_OK(e->ensure_vamana());
    QM_ASSERT_OK(e->schedule().add(UnixTime{100, 0}, 3, 50.0f));
    struct stat st {};
    EXPECT_EQ(::lstat(link.c_str(), &st) == 0, name == std::string(LEGACY_VAMANA_TMP_FILE));
    EXPECT_TRUE(path_exists(dir.file(SCHEDULE_FILE)));
    EXPECT_TRUE(path_exists(dir.file(VAMANA_FILE)));
  }
  EXPECT_EQ(read_file(user), "the user's own");
}

// A link on the engine directory itself is the caller's choice: it is followed.
TEST(EngineFileTypes, LinkOnTheEngineDirectoryWorks) {
  TempDir dir, elsewhere;
  const std::string via = elsewhere.file("engine-link");
  ASSERT_EQ(::symlink(dir.path().c_str(), via.c_str()), 0);
  PackId id = 0;
  {
    QM_ASSERT_OK_AND_ASSIGN(auto e, Engine::open(via));
    QM_ASSERT_OK_AND_ASSIGN(id, e->mem_write_pack(Pack(1, Key(0), 50.0f, "through the link")));
    QM_ASSERT_OK(e->add_pack_edge(id, id, EdgeType::Follows));
    QM_ASSERT_OK(e->synaptic().append(SynapticEntry{}));
    QM_ASSERT_OK(e->schedule().add(UnixTime{100, 0}, 3, 50.0f));
    QM_ASSERT_OK(e->ensure_vamana());
  }
  QM_ASSERT_OK_AND_ASSIGN(auto e, Engine::open(via));
  QM_ASSERT_OK_AND_ASSIGN(PackReadResult got, e->load_pack_by_id(id));
  EXPECT_EQ(got.text, "through the link");
  EXPECT_EQ(e->trace_graph().edge_count(), 2u);
  EXPECT_TRUE(path_exists(dir.file(TEXT_STORE_FILE)));
}

// Archives that are no regular file are refused the same way wherever one is read.
TEST(EngineFileTypes, SnapshotInputsMustBeRegularFiles) {
  TempDir dir;
  const std::string fifo = dir.file("snap.fifo"), dev = dir.file("snap.dev");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  ASSERT_EQ(::symlink("/dev/zero", dev.c_str()), 0);
  for (const std::string& in : {fifo, dev}) {
    SCOPED_TRACE(in);
    const std::string message = "storage I/O error: " + in + " is not a regular file";
    QM_ASSERT_ERROR(Io, message, read_snapshot_manifest(in));
    QM_ASSERT_ERROR(Io, message, Engine::restore_from(in, dir.file("restored")));
    EXPECT_FALSE(path_exists(dir.file("restored")));
  }
  // Nor is one written over: the engine's snapshot to a FIFO fails without waiting for a reader.
  QM_ASSERT_OK_AND_ASSIGN(auto e, Engine::open(dir.file("engine")));
  QM_ASSERT_ERROR(Io, "storage I/O error: " + fifo + " is not a regular file", e->snapshot(fifo));
}

// Handles on one directory save the graph at the same time without breaking each other's save:
// readers refreshing (each refresh after the writer's packs rebuilds and saves the graph) and
// handles opening (which sweep stale temporaries) while the writer writes. Every refresh and
// open succeeds, no temporary is left, and the graph on disk is a whole one of the store.
TEST(EngineGraphSaves, HandlesSavingAtOnceNeverBreakEachOther) {
  TempDir dir;
  constexpr uint64_t THRESHOLD = 250;
  auto writer = OpenAt(dir.path(), {}, THRESHOLD);
  WritePacks(*writer, Keys(300, 31));
  std::atomic<bool> writing{true};
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int r = 0; r < 2; ++r) {
    threads.emplace_back([&, r] {
      auto reader = OpenAt(dir.path(), {}, THRESHOLD);
      for (int i = 0; i < 15 || writing; ++i) {
        Status st = reader->refresh();
        if (!st.is_ok()) {
          ADD_FAILURE() << "reader " << r << ": " << st.error().message();
          ++failures;
        }
      }
    });
  }
  threads.emplace_back([&] {
    for (int i = 0; i < 15 || writing; ++i) {
      auto e = Engine::open(dir.path(), THRESHOLD);
      if (!e.is_ok()) {
        ADD_FAILURE() << "open: " << e.error().message();
        ++failures;
      }
    }
  });
  for (int i = 0; i < 30; ++i) WritePacks(*writer, Keys(3, 40 + i));
  writing = false;
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(failures, 0);
  QM_ASSERT_OK_AND_ASSIGN(const std::vector<std::string> names, list_dir(dir.path()));
  for (const std::string& name : names) EXPECT_FALSE(is_temp_file_name(name)) << name;
  QM_ASSERT_OK(writer->refresh());
  std::unordered_map<CellId, std::vector<float>> keys;
  for (const auto& [id, loc] : EngineTestPeer(*writer).block_pool().locations()) {
    QM_ASSERT_OK_AND_ASSIGN(CellRecord r, EngineTestPeer(*writer).block_pool().read_cell(id));
    keys[id] = pooled_key(r.key);
  }
  QM_ASSERT_OK_AND_ASSIGN(auto saved, VamanaIndex::load(dir.path(), keys));
  ASSERT_TRUE(saved.has_value());
  EXPECT_EQ(saved->key_check(), VamanaIndex::KeyCheck::Matched);
}

// A save cut short by a crash leaves its temporary behind, under a name of its own (graph and id
// floor saves, and the repairs that write the text store or the synaptic bank afresh): the next
// open removes those whose writers are gone (and the legacy name of earlier versions), keeps the
// saved graph, and leaves alone a temporary that a save under way holds, which that save then
// commits.
TEST_F(EngineTest, OpenRemovesOnlyStaleGraphTemporaries) {
  FillEveryFile(dir_.path());
  // The fill deletes a pack after the graph was saved: one open brings the saved graph in line.
  (void)Open(8);
  const std::string idx = dir_.file(VAMANA_FILE);
  const std::string saved = read_file(idx);
  const std::vector<std::string> stale = {
      dir_.file(temp_file_name(VAMANA_FILE, 1, 7)), dir_.file(temp_file_name(ID_FLOOR_FILE, 2, 0)),
      dir_.file(temp_file_name(TEXT_STORE_FILE, 3, 1)),
      dir_.file(temp_file_name(SYNAPTIC_FILE, 4, 2)), dir_.file(LEGACY_VAMANA_TMP_FILE)};
  for (const std::string& path : stale) write_file(path, saved.substr(0, saved.size() / 2));
  QM_ASSERT_OK_AND_ASSIGN(TempFile busy, TempFile::create(dir_.path(), VAMANA_FILE));
  QM_ASSERT_OK(write_all(busy.fd(), saved.data(), saved.size(), busy.path()));
  {
    auto e = Open(8);
    for (const std::string& path : stale) EXPECT_FALSE(path_exists(path)) << path;
    EXPECT_TRUE(path_exists(busy.path()));
    EXPECT_TRUE(e->has_vamana());
    EXPECT_EQ(read_file(idx), saved);
  }
  const std::string busy_path = busy.path();
  QM_ASSERT_OK(busy.commit());
  EXPECT_FALSE(path_exists(busy_path));
  EXPECT_EQ(read_file(idx), saved);
  // A temporary that is not committed is gone with its write.
  {
    QM_ASSERT_OK_AND_ASSIGN(TempFile failed, TempFile::create(dir_.path(), VAMANA_FILE));
    ASSERT_TRUE(path_exists(failed.path()));
    const std::string failed_path = failed.path();
    { TempFile gone = std::move(failed); }
    EXPECT_FALSE(path_exists(failed_path));
  }
  auto e = Open(8);
  EXPECT_EQ(read_file(idx), saved);
}

// The graph an open builds, and the update of it after more writes, are byte for byte the same on
// one thread as on eight: a store past the size from which builds use threads, with a pack's key
// now and then repeated.
TEST(EngineGraphThreads, OneThreadAndEightSaveTheSameGraph) {
  TempDir dir;
  const std::string path = dir.file("engine");
  const std::string idx = path + "/" + VAMANA_FILE;
  auto write = [&](size_t packs, uint32_t seed) {
    auto keys = Keys(packs, seed, /*spread=*/2);
    for (size_t i = 5; i < keys.size(); i += 17) keys[i] = keys[i - 5];
    auto e = OpenAt(path, {}, /*threshold=*/UINT64_MAX);  // the graph is left as it is
    for (size_t done = 0; done < keys.size();) {
      std::vector<PackWrite> batch;
      for (; done < keys.size() && batch.size() < 512; ++done) {
        batch.push_back(Pack(1, keys[done], 50.0f, std::nullopt, Layers({0})));
      }
      ASSERT_TRUE(e->mem_write_batch_packs(std::move(batch)).is_ok());
    }
  };
  // The graph an open saves with `threads` threads, starting from the graph file `from` (none
  // when empty).
  auto open_with = [&](const char* threads, const std::string& from) {
    if (from.empty()) {
      (void)remove_file(idx);
    } else {
      write_file(idx, from);
    }
    ::setenv("QMR_GRAPH_THREADS", threads, 1);
    const bool built = OpenAt(path, {}, /*threshold=*/4)->has_vamana();
    ::unsetenv("QMR_GRAPH_THREADS");
    EXPECT_TRUE(built);
    return read_file(idx);
  };
  write(2200, 51);  // two cells a pack
  ASSERT_GE(2200u * 2, VAMANA_PARALLEL_MIN_NODES);
  const std::string built = open_with("1", "");
  EXPECT_EQ(open_with("8", ""), built);
  write(300, 52);
  const std::string updated = open_with("1", built);
  EXPECT_NE(updated, built);
  EXPECT_EQ(open_with("8", built), updated);
  EXPECT_EQ(open_with("8", ""), updated);
}

}  // namespace
}  // namespace quellmar
