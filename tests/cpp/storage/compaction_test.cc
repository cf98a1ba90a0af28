#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <map>
#include <tuple>

#include "quellmar/core/file_names.h"
#include "quellmar/core/posix_file.h"
#include "quellmar/storage/block_pool.h"
#include "quellmar/storage/segment_format.h"
#include "test_util.h"

namespace quellmar {
namespace {

using testing::expect_same_record;
using testing::read_file;
using testing::sample_record;
using testing::TempDir;
using testing::write_file;

// A record whose key and value the 4-bit codes do not hold exactly, so that a move that coded them
// again would show; the other fields follow from the id.
CellRecord Cell(CellId id) {
  CellRecord r = sample_record(id, 4, 3);
  r.key = {0.1f * id, -0.37f, 1.0f / 3.0f, 2.5f};
  r.value = {0.71f, 0.2f * id, -1.9f};
  return r;
}

class CompactionTest : public ::testing::Test {
 protected:
  // Segment 0 gets cells 1..n in one batch; segment 1 (the active one) gets cell 100.
  BlockPool TwoSegments(CellId n) { return TwoSegmentsIn(dir_.path(), n); }
  static BlockPool TwoSegmentsIn(const std::string& dir, CellId n) {
    auto opened = BlockPool::open(dir, 64);
    EXPECT_TRUE(opened.is_ok());
    BlockPool pool = std::move(opened).value();
    std::vector<CellRecord> batch;
    for (CellId id = 1; id <= n; ++id) batch.push_back(Cell(id));
    EXPECT_TRUE(pool.append_batch(batch).is_ok());
    EXPECT_TRUE(pool.append(Cell(100)).is_ok());
    EXPECT_EQ(pool.segments().size(), 2u);
    return pool;
  }
  std::string Seg(uint32_t id) { return segment_path(dir_.path(), id); }
  // Segment 0 holds cells 1..4, segment 1 cells 5..8 (one batch each), the active segment 2
  // cell 100. With cells 1, 5 and 100 live, segments 0 and 1 are both victims.
  BlockPool TwoVictims() {
    auto opened = BlockPool::open(dir_.path(), 64);
    EXPECT_TRUE(opened.is_ok());
    BlockPool pool = std::move(opened).value();
    for (CellId first : {1, 5}) {
      std::vector<CellRecord> batch;
      for (CellId id = first; id < first + 4; ++id) batch.push_back(Cell(id));
      EXPECT_TRUE(pool.append_batch(batch).is_ok());
    }
    EXPECT_TRUE(pool.append(Cell(100)).is_ok());
    EXPECT_EQ(pool.segments().size(), 3u);
    return pool;
  }
  static inline const std::unordered_set<CellId> TWO_VICTIMS_LIVE = {1, 5, 100};
  // Every file of the directory with its bytes.
  std::map<std::string, std::string> Files() {
    std::map<std::string, std::string> out;
    for (const auto& f : std::filesystem::directory_iterator(dir_.path())) {
      out[f.path().filename().string()] = read_file(f.path().string());
    }
    return out;
  }
  static std::vector<std::tuple<CellId, uint32_t, uint64_t>> Locations(const BlockPool& pool) {
    std::vector<std::tuple<CellId, uint32_t, uint64_t>> out;
    for (const auto& [id, loc] : pool.locations()) out.emplace_back(id, loc.segment, loc.offset);
    return out;
  }
  // Where record k (from 0) of a segment written by TwoVictims starts.
  static uint64_t RecordAt(size_t k) { return 8 + k * *Cell(1).encoded_size(); }

  TempDir dir_;
};

TEST_F(CompactionTest, OneSegmentIsNeverTouched) {
  QM_ASSERT_OK_AND_ASSIGN(BlockPool pool, BlockPool::open(dir_.path(), 1 << 20));
  QM_ASSERT_OK(pool.append(Cell(1)));
  QM_ASSERT_OK_AND_ASSIGN(CompactionReport r, pool.compact({}));
  EXPECT_EQ(r.segments_compacted + r.cells_moved + r.bytes_reclaimed, 0u);
  QM_EXPECT_OK(pool.read_cell(1));
}

TEST_F(CompactionTest, SelectionByLiveShare) {
  struct Case {
    const char* name;
    std::unordered_set<CellId> live;
    uint64_t compacted, moved;
  };
  const Case cases[] = {
      {"4 of 10 live: moved", {2, 4, 6, 8}, 1, 4},
      {"5 of 10 live: stays", {1, 2, 3, 4, 5}, 0, 0},
      {"all dead: deleted without an append", {}, 1, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    BlockPool pool = TwoSegmentsIn(dir.path(), 10);
    const std::string seg0 = segment_path(dir.path(), 0), seg1 = segment_path(dir.path(), 1);
    const uint64_t size0 = read_file(seg0).size();
    const uint64_t active_before = read_file(seg1).size();
    QM_ASSERT_OK_AND_ASSIGN(CompactionReport r, pool.compact(c.live));
    EXPECT_EQ(r.segments_compacted, c.compacted);
    EXPECT_EQ(r.cells_moved, c.moved);
    EXPECT_EQ(r.bytes_reclaimed, c.compacted ? size0 : 0);
    EXPECT_EQ(path_exists(seg0), c.compacted == 0);
    if (c.moved == 0) {
      EXPECT_EQ(read_file(seg1).size(), active_before);
    }
    QM_EXPECT_OK(pool.read_cell(100));  // the active segment is never selected
    for (CellId id = 1; id <= 10; ++id) {
      const bool readable = c.compacted == 0 || c.live.count(id);
      EXPECT_EQ(pool.read_cell(id).is_ok(), readable) << id;
    }
    if (c.compacted) {
      QM_ASSERT_ERROR(CellNotFound, "cell not found: 1", pool.read_cell(1));
    }
  }
}

TEST_F(CompactionTest, MovedRecordsKeepEveryByte) {
  BlockPool pool = TwoSegments(10);
  std::vector<CellRecord> before;
  for (CellId id : {3, 7}) before.push_back(*pool.read_cell(id));
  const std::string seg0 = read_file(Seg(0));
  QM_ASSERT_OK_AND_ASSIGN(CompactionReport r, pool.compact({3, 7, 100}));
  EXPECT_EQ(r.cells_moved, 2u);
  auto check = [&](const BlockPool& p) {
    for (const CellRecord& want : before) {
      QM_ASSERT_OK_AND_ASSIGN(CellRecord got, p.read_cell(want.cell_id));
      // Key and value bit for bit: not quantized a second time.
      expect_same_record(got, want);
    }
  };
  check(pool);
  // The moved bytes are the old record bytes, as they were.
  const std::string active = read_file(Seg(pool.locations().at(3).segment));
  const uint64_t off = pool.locations().at(3).offset;
  const uint64_t len = *Cell(3).encoded_size();
  const uint64_t old_off = 8 + 2 * len;  // cells 1..10 have equal sizes
  EXPECT_EQ(active.substr(off, len), seg0.substr(old_off, len));
  QM_ASSERT_OK_AND_ASSIGN(BlockPool reopened, BlockPool::open(dir_.path(), 64));
  check(reopened);
}

TEST_F(CompactionTest, FullActiveSegmentRollsBeforeTheMove) {
  // Capacity 64 is below one record: every batch starts a segment of its own.
  QM_ASSERT_OK_AND_ASSIGN(BlockPool pool, BlockPool::open(dir_.path(), 64));
  for (CellId first : {1, 4, 7}) {
    std::vector<CellRecord> batch;
    for (CellId id = first; id < first + 3 && id <= 7; ++id) batch.push_back(Cell(id));
    QM_ASSERT_OK(pool.append_batch(batch));
  }
  ASSERT_EQ(pool.segments().size(), 3u);
  QM_ASSERT_OK_AND_ASSIGN(CompactionReport r, pool.compact({1, 4, 7}));
  EXPECT_EQ(r.segments_compacted, 2u);
  EXPECT_EQ(r.cells_moved, 2u);
  std::vector<uint32_t> ids;
  for (const SegmentEntry& e : pool.segments()) ids.push_back(e.id);
  EXPECT_EQ(ids, (std::vector<uint32_t>{2, 3, 4}));
  EXPECT_EQ(pool.locations().at(1).segment, 3u);
  EXPECT_EQ(pool.locations().at(4).segment, 4u);
  for (CellId id : {1, 4, 7}) QM_EXPECT_OK(pool.read_cell(id));
}

int g_remove_calls = 0;
int FailSecondRemove(FileOp op, const std::string&) {
  if (op != FileOp::Remove) return 0;
  return ++g_remove_calls == 2 ? EACCES : 0;
}

TEST_F(CompactionTest, FailedDeleteDoesNotWedgeLaterCompactions) {
  QM_ASSERT_OK_AND_ASSIGN(BlockPool pool, BlockPool::open(dir_.path(), 64));
  for (CellId id = 1; id <= 4; ++id) QM_ASSERT_OK(pool.append(Cell(id)));
  ASSERT_EQ(pool.segments().size(), 4u);
  set_file_fault_hook(&FailSecondRemove);
  auto failed = pool.compact({4});
  set_file_fault_hook(nullptr);
  ASSERT_FALSE(failed.is_ok());
  EXPECT_FALSE(path_exists(Seg(0)));
  EXPECT_TRUE(path_exists(Seg(1)));
  // The deleted file is no longer listed; the one left is compacted next time.
  QM_ASSERT_OK_AND_ASSIGN(CompactionReport r, pool.compact({4}));
  EXPECT_EQ(r.segments_compacted, 2u);
  QM_EXPECT_OK(pool.read_cell(4));
}

// Fails the n-th open of one path, counting from 1.
std::string g_fail_path;
int g_fail_nth = 0;
int g_opens = 0;
int FailNthOpen(FileOp op, const std::string& path) {
  if (op != FileOp::Open || path != g_fail_path) return 0;
  return ++g_opens == g_fail_nth ? EIO : 0;
}

// Everything a compaction moves is read before the first append: a failed read of a later
// victim, at its scan or at its records, leaves every file and every location as it was.
TEST_F(CompactionTest, FailedReadOfALaterVictimChangesNothing) {
  struct Case {
    const char* name;
    int nth_open;
  };
  const Case cases[] = {{"its scan", 1}, {"its records", 2}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(dir_.path());
    BlockPool pool = TwoVictims();
    const auto files = Files();
    const auto locations = Locations(pool);
    g_fail_path = Seg(1);
    g_fail_nth = c.nth_open;
    g_opens = 0;
    set_file_fault_hook(&FailNthOpen);
    auto failed = pool.compact(TWO_VICTIMS_LIVE);
    set_file_fault_hook(nullptr);
    ASSERT_FALSE(failed.is_ok());
    EXPECT_EQ(failed.error().message(), "storage I/O error: Input/output error (os error 5)");
    EXPECT_EQ(Files(), files);
    EXPECT_EQ(pool.segments().size(), 3u);
    EXPECT_EQ(Locations(pool), locations);
    // Without the fault the same compaction runs whole.
    QM_ASSERT_OK_AND_ASSIGN(CompactionReport r, pool.compact(TWO_VICTIMS_LIVE));
    EXPECT_EQ(r.segments_compacted, 2u);
    EXPECT_EQ(r.cells_moved, 2u);
    for (CellId id : TWO_VICTIMS_LIVE) QM_EXPECT_OK(pool.read_cell(id));
  }
}

// A victim whose live records would not all decode, or whose file holds bytes its scan cannot
// walk, stays as it is; the other victim is compacted. Damage to a dead record does not matter.
TEST_F(CompactionTest, DamagedVictimStaysInPlace) {
  struct Case {
    const char* name;
    size_t record;  // of segment 0, from 0
    size_t field;
    uint8_t byte;
    bool garbage_tail;
    bool stays;
  };
  const Case cases[] = {
      {"tier byte 3 in a live record", 0, segment_format::OFF_TIER, 3, false, true},
      {"key scale count of a live record", 0, segment_format::OFF_KEY_SCALES, 9, false, true},
      {"bytes after the last record", 0, 0, 0, true, true},
      {"tier byte 3 in a dead record", 2, segment_format::OFF_TIER, 3, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(dir_.path());
    BlockPool pool = TwoVictims();
    std::string seg0 = read_file(Seg(0));
    if (c.garbage_tail) {
      seg0 += std::string(10, '\x5a');
    } else {
      seg0[RecordAt(c.record) + c.field] = static_cast<char>(c.byte);
    }
    write_file(Seg(0), seg0);
    QM_ASSERT_OK_AND_ASSIGN(CompactionReport r, pool.compact(TWO_VICTIMS_LIVE));
    EXPECT_EQ(r.segments_compacted, c.stays ? 1u : 2u);
    EXPECT_EQ(r.cells_moved, c.stays ? 1u : 2u);
    EXPECT_FALSE(path_exists(Seg(1)));
    EXPECT_EQ(path_exists(Seg(0)), c.stays);
    if (c.stays) {
      EXPECT_EQ(read_file(Seg(0)), seg0);
      EXPECT_EQ(pool.locations().at(1).segment, 0u);
      for (CellId id = 2; id <= 4; ++id) EXPECT_TRUE(pool.contains(id)) << id;
    } else {
      QM_EXPECT_OK(pool.read_cell(1));
    }
    QM_EXPECT_OK(pool.read_cell(5));
  }
  // The damaged cell reads as damaged, where it always was.
  std::filesystem::remove_all(dir_.path());
  BlockPool pool = TwoVictims();
  std::string seg0 = read_file(Seg(0));
  seg0[RecordAt(0) + segment_format::OFF_TIER] = 3;
  write_file(Seg(0), seg0);
  QM_ASSERT_OK(pool.compact(TWO_VICTIMS_LIVE).status());
  QM_ASSERT_ERROR(Io, "storage I/O error: invalid tier byte 3 in cell 1", pool.read_cell(1));
}

}  // namespace
}  // namespace quellmar
