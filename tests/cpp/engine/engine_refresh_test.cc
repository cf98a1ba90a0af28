// What a refresh (and so an open) makes of the files of a store: ids that stay taken whatever
// compaction dropped and whatever a damaged file names, a saved graph that is taken only over the
// keys it was built on, a failed refresh that leaves the engine as it was, and damaged records
// that stay in their packs.

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "engine_test_peer.h"
#include "quellmar/core/coding.h"
#include "quellmar/core/file_names.h"
#include "quellmar/core/posix_file.h"
#include "quellmar/engine/engine.h"
#include "quellmar/engine/id_floor.h"
#include "quellmar/engine/trace_wal.h"
#include "quellmar/index/vamana_index.h"
#include "quellmar/storage/segment_format.h"
#include "test_util.h"

namespace quellmar {
namespace {

using testing::read_file;
using testing::TempDir;
using testing::write_file;

std::vector<float> Normal(std::mt19937& rng, size_t dim, float scale) {
  std::normal_distribution<float> normal;
  std::vector<float> v(dim);
  for (float& x : v) x = scale * normal(rng);
  return v;
}

PackWrite KeyOnly(std::vector<float> key) {
  PackWrite w;
  w.owner = 1;
  w.retrieval_key = std::move(key);
  w.salience = 50.0f;
  return w;
}

std::unique_ptr<Engine> OpenOrFail(const std::string& dir, uint64_t threshold,
                                   std::optional<uint64_t> segment_size = {}) {
  auto e = Engine::open(dir, threshold, segment_size);
  EXPECT_TRUE(e.is_ok()) << e.error().message();
  return e.is_ok() ? std::move(e).value() : nullptr;
}

std::vector<CellId> CellIds(const std::vector<CellReadResult>& hits) {
  std::vector<CellId> ids;
  for (const CellReadResult& h : hits) ids.push_back(h.record.cell_id);
  return ids;
}

// ---------------------------------------------------------------------------------------------
// Ids

// The history of the reproducer: compactions drop the records of the highest cell ids (their
// packs deleted) while vamana.idx, left alone by an open below the threshold, still names them.
// The ids stay taken: the next packs get new ones, and the open that finds the saved graph makes
// of it exactly what a build from scratch makes, so reads answer alike.
TEST(StoreIds, CompactionNeverLetsAnIdBeHandedOutAgain) {
  constexpr size_t WIDTH = 8;
  constexpr uint64_t THRESHOLD = 39, SEGMENT = 341;
  TempDir dir;
  std::mt19937 rng(5);
  const std::set<PackId> small = {1, 2, 37, 38, 39};
  {
    auto e = OpenOrFail(dir.path(), THRESHOLD, SEGMENT);
    for (PackId p = 1; p <= 39; ++p) {
      QM_ASSERT_OK(e->mem_write_pack(KeyOnly(Normal(rng, WIDTH, small.count(p) ? 0.01f : 1.0f))));
    }
    QM_ASSERT_OK(e->refresh());
    ASSERT_TRUE(e->has_vamana());
    for (PackId p : small) QM_ASSERT_OK(e->delete_pack(p));
    QM_ASSERT_OK(e->compact());
    QM_ASSERT_OK(e->compact());
    EXPECT_FALSE(EngineTestPeer(*e).block_pool().contains(38));
  }
  std::vector<CellId> given;
  {
    auto e = OpenOrFail(dir.path(), THRESHOLD, SEGMENT);
    EXPECT_LT(e->cell_count(), THRESHOLD);
    EXPECT_EQ(EngineTestPeer(*e).next_cell_id(), 39u);
    EXPECT_EQ(EngineTestPeer(*e).next_pack_id(), 40u);
    for (int i = 0; i < 6; ++i) {
      QM_ASSERT_OK_AND_ASSIGN(PackId p,
                              e->mem_write_pack(KeyOnly(Normal(rng, WIDTH, i < 3 ? 30.0f : 1.0f))));
      EXPECT_GT(p, 39u);
      given.push_back(e->pack_directory().cells(p)->front());
    }
  }
  EXPECT_EQ(given, (std::vector<CellId>{39, 40, 41, 42, 43, 44}));
  const std::vector<float> query = Normal(rng, WIDTH, 1.0f);
  auto e = OpenOrFail(dir.path(), THRESHOLD, SEGMENT);
  ASSERT_TRUE(e->has_vamana());
  QM_ASSERT_OK_AND_ASSIGN(auto updated_hits, e->mem_read(query, 60, std::nullopt));
  const std::string updated = read_file(dir.file(VAMANA_FILE));
  e.reset();
  QM_ASSERT_OK(remove_file(dir.file(VAMANA_FILE)));
  e = OpenOrFail(dir.path(), THRESHOLD, SEGMENT);
  ASSERT_TRUE(e->has_vamana());
  EXPECT_TRUE(read_file(dir.file(VAMANA_FILE)) == updated) << "the update differs from a build";
  QM_ASSERT_OK_AND_ASSIGN(auto built_hits, e->mem_read(query, 60, std::nullopt));
  EXPECT_EQ(CellIds(updated_hits), CellIds(built_hits));
}

// Where an id that nothing else vouches for comes from, and what it then does: an id a side file
// or a damaged record names stays taken when it lies within reach of what the records and the
// id floor vouch for (it may be the store's own, its records compacted away or damaged), and
// raises nothing when it lies far off, where only damage puts one: one garbage id never uses up
// the id space. The id floor is vouched for as long as it reads (its check holds).
TEST(StoreIds, WhatAnIdNamedOnlyBySideFilesOrDamageTakes) {
  constexpr size_t WIDTH = 8;
  // The base store: three packs of a head and two layers (cells 0 to 8), pack 2 deleted, an edge
  // from pack 1 to pack 3.
  auto base = [](const std::string& dir) {
    auto e = OpenOrFail(dir, DEFAULT_VAMANA_THRESHOLD);
    std::mt19937 rng(3);
    for (int i = 0; i < 3; ++i) {
      PackWrite w = KeyOnly(Normal(rng, WIDTH, 1.0f));
      w.layer_payloads = {{0, {1, 2}}, {1, {3, 4}}};
      w.text = "text";
      QM_ASSERT_OK(e->mem_write_pack(std::move(w)));
    }
    QM_ASSERT_OK(e->delete_pack(2));
    QM_ASSERT_OK(e->add_pack_edge(1, 3, EdgeType::Follows));
  };
  constexpr CellId CELLS = 9;
  constexpr PackId PACKS = 4;
  using Inject = std::function<void(const std::string& dir, uint64_t id)>;
  const Inject deletion = [](const std::string& dir, uint64_t id) {
    std::string b = read_file(dir + "/" + DELETION_LOG_FILE);
    put_u64(b, id);
    write_file(dir + "/" + DELETION_LOG_FILE, b);
  };
  const Inject text = [](const std::string& dir, uint64_t id) {
    std::string b = read_file(dir + "/" + TEXT_STORE_FILE);
    put_u64(b, id);
    put_u32(b, 1);
    b += "t";
    write_file(dir + "/" + TEXT_STORE_FILE, b);
  };
  const Inject edge = [](const std::string& dir, uint64_t id) {
    std::string b = read_file(dir + "/" + TRACE_WAL_FILE);
    const auto rec = encode_trace_record(TraceEdge{id, 0, 1, EdgeType::Follows});
    b.append(reinterpret_cast<const char*>(rec.data()), rec.size());
    write_file(dir + "/" + TRACE_WAL_FILE, b);
  };
  const Inject graph = [](const std::string& dir, uint64_t id) {
    VamanaIndex index(WIDTH, VAMANA_MAX_DEGREE, VAMANA_ALPHA);
    index.insert_node(0, std::vector<float>(WIDTH, 1.0f));
    index.insert_node(id, std::vector<float>(WIDTH, 2.0f));
    index.build();
    ASSERT_TRUE(index.save(dir).is_ok());
  };
  // A record of that cell id and pack id whose key length no writer stores: it is located under
  // its id, and its fixed part names its pack.
  const Inject damaged_record = [](const std::string& dir, uint64_t id) {
    {
      QM_ASSERT_OK_AND_ASSIGN(BlockPool pool, BlockPool::open(dir, BlockPool::DEFAULT_CAPACITY));
      CellRecord r;
      r.cell_id = id;
      r.pack_id = id;
      r.layer = 3;
      r.key = std::vector<float>(WIDTH, 1.0f);
      QM_ASSERT_OK(pool.append(r));
    }
    const std::string seg = dir + "/" + segment_file_name(0);
    std::string b = read_file(seg);
    size_t last = segment_format::HEADER_SIZE, at = last;
    while (at < b.size()) {
      last = at;
      at += 4 + decode_u32(reinterpret_cast<const uint8_t*>(b.data()) + at);
    }
    encode_u32(reinterpret_cast<uint8_t*>(b.data()) + last + segment_format::OFF_KEY_LEN, 7777);
    write_file(seg, b);
  };
  const Inject floor = [](const std::string& dir, uint64_t id) {
    // Every id up to this one was handed out.
    write_file(dir + "/" + ID_FLOOR_FILE, encode_id_floor(IdFloor{id + 1, id + 1}));
  };
  const Inject damaged_floor = [](const std::string& dir, uint64_t id) {
    std::string b = encode_id_floor(IdFloor{id + 1, id + 1});
    b[10] ^= 0x40;
    write_file(dir + "/" + ID_FLOOR_FILE, b);
  };
  struct Case {
    const char* name;
    Inject inject;
    bool cell;  // names a cell id (else a pack id)
    bool pack;  // names a pack id
    bool vouched = false;  // taken however far off
    uint64_t threshold = DEFAULT_VAMANA_THRESHOLD;
  };
  const Case cases[] = {
      {"deletion log", deletion, false, true},
      {"text store", text, false, true},
      {"trace log", edge, true, false},
      {"saved graph, below the threshold", graph, true, false},
      {"saved graph, loaded", graph, true, false, false, 3},
      {"damaged record", damaged_record, true, true},
      {"id floor", floor, true, true, true},
  };
  const uint64_t near = 1000, far = Engine::LAST_ID;
  for (const Case& c : cases) {
    for (uint64_t id : {near, far}) {
      SCOPED_TRACE(::testing::Message() << c.name << ", id " << id);
      TempDir dir;
      base(dir.path());
      c.inject(dir.path(), id);
      auto e = OpenOrFail(dir.path(), c.threshold);
      ASSERT_NE(e, nullptr);
      const bool taken = id == near || c.vouched;
      EXPECT_EQ(EngineTestPeer(*e).next_cell_id(), c.cell && taken ? id + 1 : CELLS);
      EXPECT_EQ(EngineTestPeer(*e).next_pack_id(), c.pack && taken ? id + 1 : PACKS);
      if (taken && id == far) continue;  // the floor says every id is taken: writes are refused
      QM_ASSERT_OK_AND_ASSIGN(PackId p, e->mem_write_pack(KeyOnly(std::vector<float>(WIDTH, 1))));
      EXPECT_EQ(p, EngineTestPeer(*e).next_pack_id() - 1);
      e.reset();
      e = OpenOrFail(dir.path(), c.threshold);
      QM_ASSERT_OK(e->load_pack_by_id(p));
    }
  }
  // A floor that does not read names nothing.
  TempDir dir;
  base(dir.path());
  damaged_floor(dir.path(), far);
  auto e = OpenOrFail(dir.path(), DEFAULT_VAMANA_THRESHOLD);
  EXPECT_EQ(EngineTestPeer(*e).next_cell_id(), CELLS);
  EXPECT_EQ(EngineTestPeer(*e).next_pack_id(), PACKS);
}

// A saved graph whose node ids are the store's but some of whose nodes were built over other keys
// (a store whose ids were handed out twice by an earlier version, or another store's graph) is
// neither taken as it stands nor trusted by the update: what the open makes of it is what a
// build from scratch makes. A few keys are changed, scaled (which keeps each of their own lists
// in order) or replaced; with no packs written since, the node ids are exactly the store's.
TEST(SavedGraph, SameIdsAFewKeysChangedAreBuiltAgain) {
  constexpr size_t WIDTH = 8;
  constexpr uint64_t THRESHOLD = 4;
  for (size_t extra : {0, 3}) {
    SCOPED_TRACE(::testing::Message() << extra << " packs written since");
    std::mt19937 rng(11);
    std::vector<std::vector<float>> keys;
    for (int i = 0; i < 24; ++i) keys.push_back(Normal(rng, WIDTH, 1.0f));
    TempDir saved_over, dir;
    auto write_all_keys = [&](const std::string& path) {
      auto e = OpenOrFail(path, DEFAULT_VAMANA_THRESHOLD);
      std::vector<PackWrite> packs;
      for (const auto& k : keys) packs.push_back(KeyOnly(k));
      QM_ASSERT_OK(e->mem_write_batch_packs(std::move(packs)));
    };
    write_all_keys(saved_over.path());
    ASSERT_TRUE(OpenOrFail(saved_over.path(), THRESHOLD)->has_vamana());  // saves the graph
    for (float& x : keys[3]) x *= 6.0f;
    for (float& x : keys[17]) x *= 0.1f;
    keys[9] = Normal(rng, WIDTH, 3.0f);
    for (size_t i = 0; i < extra; ++i) keys.push_back(Normal(rng, WIDTH, 1.0f));
    write_all_keys(dir.path());
    const std::string stale = read_file(saved_over.file(VAMANA_FILE));
    write_file(dir.file(VAMANA_FILE), stale);
    ASSERT_TRUE(OpenOrFail(dir.path(), THRESHOLD)->has_vamana());
    const std::string opened = read_file(dir.file(VAMANA_FILE));
    QM_ASSERT_OK(remove_file(dir.file(VAMANA_FILE)));
    ASSERT_TRUE(OpenOrFail(dir.path(), THRESHOLD)->has_vamana());
    const std::string built = read_file(dir.file(VAMANA_FILE));
    EXPECT_FALSE(stale == built);
    EXPECT_TRUE(opened == built) << "the open made another graph than a build";
  }
}

}  // namespace
}  // namespace quellmar
