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

// File operations failed on demand: the nth operation of a kind on a path containing a text.
struct Fault {
  FileOp op;
  std::string file;
  int nth = 1;
};
std::vector<Fault> g_faults;
std::vector<int> g_seen;
int FailNth(FileOp op, const std::string& path) {
  for (size_t i = 0; i < g_faults.size(); ++i) {
    const Fault& f = g_faults[i];
    if (op == f.op && path.find(f.file) != std::string::npos && ++g_seen[i] == f.nth) return EIO;
  }
  return 0;
}
// Runs `body` with the faults set; returns whether each of them was hit.
bool WithFaults(std::vector<Fault> faults, const std::function<void()>& body) {
  g_faults = std::move(faults);
  g_seen.assign(g_faults.size(), 0);
  set_file_fault_hook(&FailNth);
  body();
  set_file_fault_hook(nullptr);
  for (size_t i = 0; i < g_faults.size(); ++i) {
    if (g_seen[i] < g_faults[i].nth) return false;
  }
  return true;
}

// ---------------------------------------------------------------------------------------------
// Ids

// A history in which compactions drop the records of the highest cell ids (their
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
    bool cell;             // names a cell id (else a pack id)
    bool pack;             // names a pack id
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

// Compaction keeps the floor durably before it drops a record, and only then: one that would drop
// nothing writes none, and one whose floor cannot be written drops nothing.
TEST(StoreIds, CompactionKeepsTheFloorBeforeItDropsAnything) {
  constexpr size_t WIDTH = 8;
  TempDir dir;
  auto e = OpenOrFail(dir.path(), DEFAULT_VAMANA_THRESHOLD, /*segment_size=*/64);
  for (int i = 0; i < 3; ++i) {
    QM_ASSERT_OK(e->mem_write_pack(KeyOnly(std::vector<float>(WIDTH, float(i)))));
  }
  QM_ASSERT_OK(e->compact());
  EXPECT_FALSE(path_exists(dir.file(ID_FLOOR_FILE)));
  QM_ASSERT_OK(e->delete_pack(2));
  QM_ASSERT_OK(e->mem_write(1, 0, std::vector<float>(WIDTH, 1), std::vector<float>{1}, 50, {}));
  Result<CompactionReport> failed = CompactionReport{};
  ASSERT_TRUE(WithFaults({{FileOp::Rename, ID_FLOOR_FILE, 1}}, [&] { failed = e->compact(); }));
  QM_ASSERT_ERROR(Io, "", failed);
  EXPECT_EQ(e->cell_count(), 4u);
  EXPECT_FALSE(path_exists(dir.file(ID_FLOOR_FILE)));
  QM_ASSERT_OK_AND_ASSIGN(CompactionReport report, e->compact());
  EXPECT_EQ(report.segments_compacted, 1u);
  EXPECT_EQ(e->cell_count(), 3u);
  QM_ASSERT_OK_AND_ASSIGN(std::optional<IdFloor> floor, read_id_floor(dir.path()));
  EXPECT_EQ(floor, (IdFloor{4, 4}));
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

// ---------------------------------------------------------------------------------------------
// A failed refresh

// What an engine shows, read without changing it.
struct Shown {
  uint64_t cells, packs, segments, slb, stages, entries, edges;
  bool vamana;
  CellId next_cell;
  PackId next_pack;
  std::map<PackId, std::pair<std::vector<CellId>, OwnerId>> directory;
  std::map<CellId, std::pair<float, uint8_t>> governance;
  std::map<PackId, std::string> texts;
  std::vector<CellId> candidates;
  friend bool operator==(const Shown&, const Shown&) = default;
};

Shown Show(Engine& e, const std::vector<float>& query) {
  const EngineStatus st = e.status();
  EngineTestPeer peer(e);
  Shown s{st.cell_count,
          st.pack_count,
          st.segment_count,
          st.slb_occupancy,
          st.pipeline_stages,
          st.governance_entries,
          st.trace_edges,
          st.vamana_active,
          peer.next_cell_id(),
          peer.next_pack_id(),
          {},
          {},
          {},
          {}};
  for (const auto& [pack, cells] : e.pack_directory().packs()) {
    s.directory[pack] = {cells, *e.pack_directory().owner_of(pack)};
  }
  for (const auto& [cell, g] : e.governance()) s.governance[cell] = {g.importance, g.tier};
  for (const auto& [pack, text] : e.text_store().texts()) s.texts[pack] = text;
  for (const ScoredCell& c : peer.find_candidates(query, 8, std::nullopt)) {
    s.candidates.push_back(c.cell_id);
  }
  return s;
}

// A refresh that fails at any of its steps leaves the engine as it was; the engine then reads,
// compacts and reopens without losing anything that either handle stored, and the refresh goes
// through once the fault is gone. The engine under test stored packs (one deleted), cell-API
// cells (one on the head layer) and an edge, and compacted; another handle then stored more of
// each, deleted a pack, and saved a graph that its last pack leaves out of date. Every write
// starts a segment of its own, so compaction has whole segments to drop.
TEST(FailedRefresh, ChangesNothingAndLosesNothing) {
  constexpr size_t WIDTH = 8;
  constexpr uint64_t THRESHOLD = 16, SEGMENT = 64;
  std::mt19937 rng(21);
  std::vector<std::vector<float>> keys;
  for (int i = 0; i < 12; ++i) keys.push_back(Normal(rng, WIDTH, 1.0f));
  auto pack = [&](int i) {
    PackWrite w = KeyOnly(keys[i]);
    w.layer_payloads = {{0, {1, 2, 3}}, {1, {4, 5, 6}}};
    w.text = "text " + std::to_string(i);
    return w;
  };
  // The other handle's first write, whose segment the engine reads at its refresh.
  const std::string other_first_segment = segment_file_name(5);
  struct Case {
    const char* name;
    std::vector<Fault> faults;
    EngineError::Code code;
  };
  const Case cases[] = {
      {"segment scan", {{FileOp::Open, other_first_segment, 1}}, EngineError::Code::Io},
      {"reading a new cell", {{FileOp::Open, other_first_segment, 2}}, EngineError::Code::Io},
      {"trace log replay", {{FileOp::Open, TRACE_WAL_FILE, 1}}, EngineError::Code::WalRecovery},
      {"text store", {{FileOp::Open, TEXT_STORE_FILE, 1}}, EngineError::Code::Io},
      {"deletion log", {{FileOp::Open, DELETION_LOG_FILE, 1}}, EngineError::Code::Io},
      {"id floor", {{FileOp::Open, ID_FLOOR_FILE, 1}}, EngineError::Code::Io},
      {"saved graph", {{FileOp::Open, VAMANA_FILE, 1}}, EngineError::Code::Io},
      {"graph save", {{FileOp::Rename, VAMANA_FILE, 1}}, EngineError::Code::Io},
      {"trace log sync", {{FileOp::Sync, TRACE_WAL_FILE, 1}}, EngineError::Code::WalRecovery},
      // Both fail: the trace log comes first in the refresh's order.
      {"trace log and texts",
       {{FileOp::Open, TEXT_STORE_FILE, 1}, {FileOp::Open, TRACE_WAL_FILE, 1}},
       EngineError::Code::WalRecovery},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    auto e = OpenOrFail(dir.path(), THRESHOLD, SEGMENT);
    std::vector<CellId> plain;
    for (int i = 0; i < 3; ++i) QM_ASSERT_OK(e->mem_write_pack(pack(i)));
    for (LayerIdx layer : {LayerIdx{3}, HEAD_CELL_LAYER}) {
      QM_ASSERT_OK_AND_ASSIGN(CellId id, e->mem_write(7, layer, keys[3 + plain.size()],
                                                      std::vector<float>{1, 2}, 40.0f, {}));
      plain.push_back(id);
    }
    QM_ASSERT_OK(e->delete_pack(2));
    QM_ASSERT_OK(e->add_pack_edge(1, 3, EdgeType::Follows));
    QM_ASSERT_OK(e->compact());
    ASSERT_EQ(EngineTestPeer(*e).block_pool().segments().back().id, 4u);
    {
      auto other = OpenOrFail(dir.path(), THRESHOLD, SEGMENT);
      QM_ASSERT_OK_AND_ASSIGN(CellId id,
                              other->mem_write(8, 3, keys[5], std::vector<float>{3}, 40.0f, {}));
      plain.push_back(id);
      for (int i = 6; i < 8; ++i) QM_ASSERT_OK(other->mem_write_pack(pack(i)));
      QM_ASSERT_OK(other->delete_pack(3));
      QM_ASSERT_OK(other->add_pack_edge(4, 5, EdgeType::Supports));
      QM_ASSERT_OK_AND_ASSIGN(
          id, other->mem_write(8, HEAD_CELL_LAYER, keys[8], std::vector<float>{4}, 40.0f, {}));
      plain.push_back(id);
      ASSERT_TRUE(other->has_vamana());  // the cell write built and saved the graph
      QM_ASSERT_OK(other->mem_write_pack(pack(9)));
      EXPECT_EQ(EngineTestPeer(*other).block_pool().locations().at(plain[2]).segment, 5u);
    }
    const Shown before = Show(*e, keys[0]);
    Status st;
    ASSERT_TRUE(WithFaults(c.faults, [&] { st = e->refresh(); })) << "a fault was not reached";
    ASSERT_FALSE(st.is_ok());
    EXPECT_EQ(st.error().code(), c.code) << st.error().message();
    EXPECT_TRUE(Show(*e, keys[0]) == before) << "the failed refresh changed the engine";

    // It reads and compacts as it did, and keeps everything.
    QM_ASSERT_OK_AND_ASSIGN(PackReadResult one, e->load_pack_by_id(1));
    EXPECT_EQ(one.layers.size(), 2u);
    QM_ASSERT_OK(e->mem_read_pack(keys[0], 3, std::nullopt));
    QM_ASSERT_OK(e->compact());
    e.reset();
    e = OpenOrFail(dir.path(), THRESHOLD, SEGMENT);
    for (PackId p : {1, 4, 5, 6}) {
      QM_ASSERT_OK_AND_ASSIGN(PackReadResult got, e->load_pack_by_id(p));
      EXPECT_EQ(got.layers.size(), 2u) << "pack " << p;
      EXPECT_TRUE(got.text.has_value()) << "pack " << p;
    }
    for (PackId p : {2, 3}) EXPECT_FALSE(e->pack_directory().contains(p)) << "pack " << p;
    for (CellId id : plain) {
      QM_EXPECT_OK(EngineTestPeer(*e).block_pool().read_cell(id));
      EXPECT_TRUE(e->governance().contains(id)) << "cell " << id;
    }
    EXPECT_EQ(e->trace_graph().edge_count(), 4u);
    QM_ASSERT_OK(e->refresh());
  }
}

// ---------------------------------------------------------------------------------------------
// Damaged records

// Overwrites bytes of the record of `cell` in the first segment of dir, at `field` from the
// record's start.
void DamageRecord(const std::string& dir, CellId cell, size_t field, const std::string& bytes) {
  const std::string seg = dir + "/" + segment_file_name(0);
  std::string b = read_file(seg);
  for (size_t at = segment_format::HEADER_SIZE; at + 12 <= b.size();) {
    const auto* p = reinterpret_cast<const uint8_t*>(b.data()) + at;
    if (decode_u64(p + segment_format::OFF_CELL_ID) == cell) {
      b.replace(at + field, bytes.size(), bytes);
      write_file(seg, b);
      return;
    }
    at += 4 + decode_u32(p);
  }
  FAIL() << "no record of cell " << cell;
}

// A pack with a damaged record is an error wherever it would be returned, never a smaller pack:
// the record stays in its pack's cell list (its fixed part still names the pack, whatever else
// of it is damaged), so loading the pack or reading it reports the damage, naming the record. The
// pack stays listed, with its owner, and is not evicted unseen; compaction keeps the record. The
// other packs read as before. Both for an engine that opens the damaged store and for one that
// was open before and refreshes.
TEST(DamagedPacks, ADamagedRecordFailsEveryReadOfItsPack) {
  constexpr size_t WIDTH = 8;
  namespace sf = segment_format;
  // Packs 1 to 3: a head cell and two layer cells each (cells 0-2, 3-5, 6-8).
  std::mt19937 rng(9);
  std::vector<std::vector<float>> keys;
  for (int i = 0; i < 3; ++i) keys.push_back(Normal(rng, WIDTH, 1.0f));
  struct Case {
    const char* name;
    CellId cell;
    size_t field;
    std::string bytes;
    std::string message;  // part of the damage error
  };
  const std::string bad_len(4, '\x7f');
  const Case cases[] = {
      {"layer cell, tier byte", 4, sf::OFF_TIER, "\x09", "invalid tier byte 9 in cell 4"},
      {"head cell, tier byte", 3, sf::OFF_TIER, "\x09", "invalid tier byte 9 in cell 3"},
      {"layer cell, value length", 5, sf::OFF_VALUE_LEN, bad_len, "damaged cell record at offset"},
      {"head cell, key length", 3, sf::OFF_KEY_LEN, bad_len, "damaged cell record at offset"},
  };
  for (const Case& c : cases) {
    for (bool refreshed : {false, true}) {
      SCOPED_TRACE(::testing::Message() << c.name << (refreshed ? ", refreshed" : ", reopened"));
      const bool head = c.cell == 3;
      TempDir dir;
      {
        auto e = OpenOrFail(dir.path(), DEFAULT_VAMANA_THRESHOLD);
        for (int i = 0; i < 3; ++i) {
          PackWrite w = KeyOnly(keys[i]);
          w.owner = 5 + i;
          w.layer_payloads = {{0, {1, 2, 3}}, {1, {4, 5, 6}}};
          w.text = "text";
          QM_ASSERT_OK(e->mem_write_pack(std::move(w)));
        }
      }
      std::unique_ptr<Engine> e;
      if (refreshed) e = OpenOrFail(dir.path(), DEFAULT_VAMANA_THRESHOLD);
      DamageRecord(dir.path(), c.cell, c.field, c.bytes);
      if (refreshed) {
        QM_ASSERT_OK(e->refresh());
      } else {
        e = OpenOrFail(dir.path(), DEFAULT_VAMANA_THRESHOLD);
      }
      ASSERT_NE(e, nullptr);
      auto expect_damage = [&](const EngineError& err) {
        EXPECT_EQ(err.code(), EngineError::Code::Io);
        EXPECT_NE(err.message().find(c.message), std::string::npos) << err.message();
      };
      for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round == 0 ? "as opened" : "after a compaction and a reopen");
        ASSERT_TRUE(e->pack_directory().contains(2));
        EXPECT_EQ(*e->pack_directory().cells(2), (std::vector<CellId>{3, 4, 5}));
        EXPECT_EQ(*e->pack_directory().owner_of(2), 6u);
        std::set<PackId> listed;
        for (const PackMetadata& m : e->list_packs_metadata(std::nullopt)) listed.insert(m.pack_id);
        EXPECT_EQ(listed, (std::set<PackId>{1, 2, 3}));

        auto loaded = e->load_pack_by_id(2);
        ASSERT_FALSE(loaded.is_ok());
        expect_damage(loaded.error());
        for (PackId p : {1, 3}) {
          QM_ASSERT_OK_AND_ASSIGN(PackReadResult got, e->load_pack_by_id(p));
          EXPECT_EQ(got.layers.size(), 2u);
        }
        // A read that returns the pack fails with the damage; the head's own key finds it while
        // the head reads (a damaged head is indexed nowhere, though a buffer may still hold it).
        auto read = e->mem_read_pack(keys[1], 1, std::nullopt);
        if (!head || !read.is_ok()) {
          ASSERT_FALSE(read.is_ok());
          expect_damage(read.error());
        } else {
          for (const PackReadResult& r : *read) EXPECT_NE(r.pack_id, 2u);
        }
        QM_ASSERT_OK_AND_ASSIGN(auto other, e->mem_read_pack(keys[0], 1, std::nullopt));
        ASSERT_EQ(other.size(), 1u);
        EXPECT_EQ(other[0].pack_id, 1u);

        QM_ASSERT_OK(e->compact());
        e.reset();
        e = OpenOrFail(dir.path(), DEFAULT_VAMANA_THRESHOLD);
        ASSERT_NE(e, nullptr);
      }
      // Eviction takes the packs whose standing it knows; a pack whose head does not read has
      // none, and stays.
      QM_ASSERT_OK_AND_ASSIGN(uint64_t evicted, e->evict_draft_packs(101.0f, std::nullopt));
      EXPECT_EQ(evicted, head ? 2u : 3u);
      EXPECT_EQ(e->pack_directory().contains(2), head);
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Pack 0

// Cell-API cells on the head layer are listed under pack id 0 once a refresh groups them, but
// pack 0 is no pack: deleting it is refused as an unknown pack is, before a refresh and after,
// eviction and owner deletion pass it over, and an entry 0 in the deletion log (which earlier
// versions could write) deletes nothing. So such cells written before or after are found, and
// governed, the same in the live engine and after a reopen.
TEST(PackZero, IsNoPackBeforeOrAfterAReopen) {
  constexpr size_t WIDTH = 8;
  constexpr OwnerId OWNER = 4;
  std::mt19937 rng(13);
  std::vector<std::vector<float>> keys;
  for (int i = 0; i < 3; ++i) keys.push_back(Normal(rng, WIDTH, 1.0f));
  auto found = [&](Engine& e, const std::vector<float>& key, CellId cell) {
    auto hits = e.mem_read(key, 1, std::nullopt);
    return hits.is_ok() && hits->size() == 1 && (*hits)[0].record.cell_id == cell &&
           e.governance().contains(cell);
  };
  for (bool old_log : {false, true}) {
    SCOPED_TRACE(old_log ? "a deletion log holding 0" : "delete_pack(0) refused");
    TempDir dir;
    CellId first = 0, second = 0;
    {
      auto e = OpenOrFail(dir.path(), DEFAULT_VAMANA_THRESHOLD);
      QM_ASSERT_ERROR(CellNotFound, "cell not found: 0", e->delete_pack(0));
      QM_ASSERT_OK_AND_ASSIGN(
          first, e->mem_write(OWNER, HEAD_CELL_LAYER, keys[0], std::vector<float>{1}, 0.0f, {}));
      QM_ASSERT_OK(e->mem_write_pack(KeyOnly(keys[1])));
      QM_ASSERT_OK(e->refresh());
      ASSERT_TRUE(e->pack_directory().contains(0));  // the cell is grouped under 0
      if (old_log) {
        std::string b;
        put_u64(b, 0);
        write_file(dir.file(DELETION_LOG_FILE), b);
        QM_ASSERT_OK(e->refresh());
      } else {
        QM_ASSERT_ERROR(CellNotFound, "cell not found: 0", e->delete_pack(0));
      }
      QM_ASSERT_OK_AND_ASSIGN(
          second, e->mem_write(OWNER, HEAD_CELL_LAYER, keys[2], std::vector<float>{2}, 0.0f, {}));
      EXPECT_TRUE(found(*e, keys[0], first));
      EXPECT_TRUE(found(*e, keys[2], second));
      QM_ASSERT_OK(e->refresh());
      // Both cells are Draft of importance 5, as the pack is 55: eviction takes the pack only.
      QM_ASSERT_OK_AND_ASSIGN(uint64_t evicted, e->evict_draft_packs(101.0f, std::nullopt));
      EXPECT_EQ(evicted, 1u);
      QM_ASSERT_OK_AND_ASSIGN(uint64_t deleted, e->delete_owner(OWNER));
      EXPECT_EQ(deleted, 0u);
      EXPECT_TRUE(found(*e, keys[0], first));
      EXPECT_TRUE(found(*e, keys[2], second));
    }
    auto e = OpenOrFail(dir.path(), DEFAULT_VAMANA_THRESHOLD);
    EXPECT_TRUE(found(*e, keys[0], first));
    EXPECT_TRUE(found(*e, keys[2], second));
    ASSERT_TRUE(e->pack_directory().contains(0));
    EXPECT_EQ(*e->pack_directory().cells(0), (std::vector<CellId>{first, second}));
    QM_ASSERT_ERROR(CellNotFound, "cell not found: 0", e->delete_pack(0));
  }
}

}  // namespace
}  // namespace quellmar
