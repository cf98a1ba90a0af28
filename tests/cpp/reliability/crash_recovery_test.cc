// What a process that dies part way through a write leaves behind, and what the next open makes
// of it. A forked child runs the write with a file fault hook that ends the process (as SIGKILL
// would, with no clean-up) right before its k-th write to a chosen file; the parent reopens the
// directory and checks that nothing half-written is visible and that later writes survive.

#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "engine_test_peer.h"
#include "quellmar/core/file_names.h"
#include "quellmar/core/posix_file.h"
#include "quellmar/engine/engine.h"
#include "test_util.h"

namespace quellmar {
namespace {

using testing::exact_q4_values;
using testing::TempDir;

constexpr size_t DIM = 16;

PackWrite BigPack(uint64_t seed, size_t layers, size_t width, bool with_text) {
  PackWrite w;
  w.owner = 1;
  w.retrieval_key = exact_q4_values(seed, DIM);
  for (size_t l = 0; l < layers; ++l) {
    w.layer_payloads.push_back({static_cast<LayerIdx>(l), exact_q4_values(seed + l, width)});
  }
  w.salience = 10.0f;
  if (with_text) w.text = "text of pack " + std::to_string(seed);
  return w;
}

// The fault hook of the child: ends the process before the k-th write to a file whose name
// contains `g_target`.
const char* g_target = "";
int g_writes_left = 0;
int DieAtWrite(FileOp op, const std::string& path) {
  if (op == FileOp::Write && path.find(g_target) != std::string::npos && --g_writes_left == 0) {
    ::_exit(0);
  }
  return 0;
}

// Runs `body` in a child process that dies before its k-th write to `target`; returns true when
// the child died there, false when it got through every write.
bool RunDyingAt(const char* target, int k, const std::function<void()>& body) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    g_target = target;
    g_writes_left = k;
    set_file_fault_hook(&DieAtWrite);
    body();
    ::_exit(7);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status));
  return WEXITSTATUS(status) == 0;
}

void ExpectWholePack(Engine& engine, PackId id, const PackWrite& want) {
  auto got = engine.load_pack_by_id(id);
  ASSERT_TRUE(got.is_ok()) << "pack " << id << ": " << got.error().message();
  ASSERT_EQ(got->layers.size(), want.layer_payloads.size()) << "pack " << id;
  for (size_t l = 0; l < want.layer_payloads.size(); ++l) {
    EXPECT_EQ(got->layers[l].data, want.layer_payloads[l].data) << "pack " << id << " layer " << l;
  }
  EXPECT_EQ(got->text, want.text) << "pack " << id;
}

// A batch of more than 2 MiB is written in several pieces; wherever the process dies, the next
// open sees all of the batch or none of it, and writes after the reopen survive the next one.
TEST(CrashRecoveryTest, BatchIsAllOrNothingWhereverTheProcessDies) {
  constexpr size_t PACKS = 16;
  auto batch = [] {
    std::vector<PackWrite> packs;
    for (size_t i = 0; i < PACKS; ++i) packs.push_back(BigPack(i, 4, 65536, i % 2 == 0));
    return packs;
  };
  bool got_through = false;
  for (int k = 1; !got_through && k < 20; ++k) {
    SCOPED_TRACE(::testing::Message() << "dies before segment write " << k);
    TempDir dir;
    {
      QM_ASSERT_OK_AND_ASSIGN(auto engine, Engine::open(dir.path()));
      QM_ASSERT_OK(engine->mem_write_pack(BigPack(100, 1, 64, true)));
    }
    got_through = !RunDyingAt("segment_", k, [&] {
      auto engine = Engine::open(dir.path());
      if (engine.is_ok()) (void)(*engine)->mem_write_batch_packs(batch());
    });
    QM_ASSERT_OK_AND_ASSIGN(auto engine, Engine::open(dir.path()));
    const uint64_t n = engine->pack_count();
    ASSERT_TRUE(n == 1 || n == 1 + PACKS) << n << " packs";
    ExpectWholePack(*engine, 1, BigPack(100, 1, 64, true));
    const std::vector<PackWrite> want = batch();
    for (size_t i = 0; n > 1 && i < PACKS; ++i) ExpectWholePack(*engine, 2 + i, want[i]);

    QM_ASSERT_OK_AND_ASSIGN(PackId later, engine->mem_write_pack(BigPack(200, 2, 64, true)));
    engine.reset();
    QM_ASSERT_OK_AND_ASSIGN(engine, Engine::open(dir.path()));
    ExpectWholePack(*engine, later, BigPack(200, 2, 64, true));
    EXPECT_EQ(engine->pack_count(), n + 1);
  }
  EXPECT_TRUE(got_through) << "the batch never completed";
}

// A pack whose write dies after its text reached the text store but before its cells did is
// absent; its id is not handed out again, so no later pack shows that text.
TEST(CrashRecoveryTest, TextWithoutItsPackIsNeverShownByAnotherPack) {
  TempDir dir;
  { QM_ASSERT_OK(Engine::open(dir.path())); }
  ASSERT_TRUE(RunDyingAt("segment_", 1, [&] {
    auto engine = Engine::open(dir.path());
    if (engine.is_ok()) (void)(*engine)->mem_write_pack(BigPack(1, 2, 64, true));
  }));
  EXPECT_TRUE(path_exists(join_path(dir.path(), TEXT_STORE_FILE)));
  QM_ASSERT_OK_AND_ASSIGN(auto engine, Engine::open(dir.path()));
  EXPECT_EQ(engine->pack_count(), 0u);
  QM_ASSERT_OK_AND_ASSIGN(PackId id, engine->mem_write_pack(BigPack(2, 2, 64, false)));
  EXPECT_GT(id, 1u);
  engine.reset();
  QM_ASSERT_OK_AND_ASSIGN(engine, Engine::open(dir.path()));
  ExpectWholePack(*engine, id, BigPack(2, 2, 64, false));
}

// vamana.idx is rewritten at a build; a process that dies in the middle of writing it leaves an
// engine that still opens (with the old file or none) and builds the graph again.
TEST(CrashRecoveryTest, TornVamanaSaveDoesNotBlockTheNextOpen) {
  for (int k : {1, 2, 3}) {
    SCOPED_TRACE(::testing::Message() << "dies before vamana write " << k);
    TempDir dir;
    {
      QM_ASSERT_OK_AND_ASSIGN(auto engine, Engine::open(dir.path()));
      std::vector<PackWrite> packs;
      for (int i = 0; i < 900; ++i) packs.push_back(BigPack(i, 0, 0, false));
      QM_ASSERT_OK(engine->mem_write_batch_packs(std::move(packs)));
    }
    ASSERT_TRUE(RunDyingAt(VAMANA_FILE, k, [&] { (void)Engine::open(dir.path(), 500); }));
    QM_ASSERT_OK_AND_ASSIGN(auto engine, Engine::open(dir.path(), 500));
    EXPECT_TRUE(engine->has_vamana());
    EXPECT_EQ(engine->pack_count(), 900u);
  }
}

// Compaction drops every cell of a deleted pack; its id must still never be handed out again, or
// the next open would delete the new pack under that id (it is in the deletion log).
TEST(CrashRecoveryTest, IdsOfCompactedDeletedPacksAreNotReused) {
  TempDir dir;
  PackId a = 0, b = 0;
  {
    // Each pack fills a segment of its own; plain cells go to a third, the active one.
    QM_ASSERT_OK_AND_ASSIGN(auto engine, Engine::open(dir.path(), DEFAULT_VAMANA_THRESHOLD, 4096));
    QM_ASSERT_OK_AND_ASSIGN(a, engine->mem_write_pack(BigPack(1, 1, 8192, true)));
    QM_ASSERT_OK_AND_ASSIGN(b, engine->mem_write_pack(BigPack(2, 1, 8192, true)));
    QM_ASSERT_OK(
        engine->mem_write(7, 3, exact_q4_values(9, DIM), exact_q4_values(9, 64), 1.0f, {}));
    QM_ASSERT_OK(engine->delete_pack(a));
    QM_ASSERT_OK(engine->delete_pack(b));
    QM_ASSERT_OK_AND_ASSIGN(CompactionReport report, engine->compact());
    ASSERT_EQ(report.segments_compacted, 2u);
  }
  QM_ASSERT_OK_AND_ASSIGN(auto engine, Engine::open(dir.path(), DEFAULT_VAMANA_THRESHOLD, 4096));
  QM_ASSERT_OK_AND_ASSIGN(PackId c, engine->mem_write_pack(BigPack(3, 1, 64, false)));
  EXPECT_GT(c, b);
  engine.reset();
  QM_ASSERT_OK_AND_ASSIGN(engine, Engine::open(dir.path(), DEFAULT_VAMANA_THRESHOLD, 4096));
  ExpectWholePack(*engine, c, BigPack(3, 1, 64, false));
  EXPECT_EQ(engine->pack_count(), 1u);
}

// The cells of a deleted pack stay in their segment until compaction; a reopen must not hand
// their ids out again, or two records share one id and the block pool reads one for the other.
TEST(CrashRecoveryTest, CellIdsOfDeletedPacksAreNotReused) {
  TempDir dir;
  CellId last_deleted_cell = 0;
  {
    QM_ASSERT_OK_AND_ASSIGN(auto engine, Engine::open(dir.path()));
    QM_ASSERT_OK(engine->mem_write_pack(BigPack(1, 2, 64, true)));
    QM_ASSERT_OK_AND_ASSIGN(PackId gone, engine->mem_write_pack(BigPack(2, 3, 64, true)));
    last_deleted_cell = EngineTestPeer(*engine).next_cell_id() - 1;
    QM_ASSERT_OK(engine->delete_pack(gone));
  }
  QM_ASSERT_OK_AND_ASSIGN(auto engine, Engine::open(dir.path()));
  EXPECT_GT(EngineTestPeer(*engine).next_cell_id(), last_deleted_cell);
  QM_ASSERT_OK_AND_ASSIGN(PackId id, engine->mem_write_pack(BigPack(3, 3, 64, false)));
  engine.reset();
  QM_ASSERT_OK_AND_ASSIGN(engine, Engine::open(dir.path(), 5));  // the Vamana build reads all
  EXPECT_TRUE(engine->has_vamana());
  ExpectWholePack(*engine, 1, BigPack(1, 2, 64, true));
  ExpectWholePack(*engine, id, BigPack(3, 3, 64, false));
}

}  // namespace
}  // namespace quellmar
