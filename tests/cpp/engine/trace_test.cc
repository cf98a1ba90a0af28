#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "quellmar/core/file_names.h"
#include "quellmar/core/posix_file.h"
#include "quellmar/engine/trace_graph.h"
#include "quellmar/engine/trace_wal.h"
#include "test_util.h"

namespace quellmar {
namespace {

using ::quellmar::testing::read_file;
using ::quellmar::testing::TempDir;
using ::quellmar::testing::truncate_file;
using ::quellmar::testing::write_file;

std::string record_bytes(CellId from, CellId to, uint8_t type, uint64_t at) {
  TraceEdge e{from, to, at, static_cast<EdgeType>(type)};
  auto rec = encode_trace_record(e);
  return std::string(rec.begin(), rec.end());
}

std::vector<CellId> sorted(std::vector<CellId> v) {
  std::sort(v.begin(), v.end());
  return v;
}

TEST(TraceWalTest, RecordBytesAreTheDocumentedLayout) {
  std::string rec =
      record_bytes(0x0102030405060708ull, 0x1112131415161718ull, 2, 0x2122232425262728ull);
  const std::string want(
      "\x01"
      "\x08\x07\x06\x05\x04\x03\x02\x01"
      "\x18\x17\x16\x15\x14\x13\x12\x11"
      "\x02"
      "\x28\x27\x26\x25\x24\x23\x22\x21",
      26);
  EXPECT_EQ(rec, want);
}

TEST(TraceWalTest, OpenCreatesAnEmptyLogAndAppendsReplayInOrder) {
  TempDir dir;
  QM_ASSERT_OK_AND_ASSIGN(TraceWal wal, TraceWal::open(dir.path()));
  EXPECT_EQ(wal.path(), dir.file(TRACE_WAL_FILE));
  EXPECT_EQ(read_file(wal.path()), "");
  QM_ASSERT_OK(wal.append({3, 2, 100, EdgeType::CausedBy}));
  QM_ASSERT_OK(wal.append({10, 20, 200, EdgeType::Supports}));
  EXPECT_EQ(read_file(wal.path()), record_bytes(3, 2, 0, 100) + record_bytes(10, 20, 3, 200));
  QM_ASSERT_OK_AND_ASSIGN(auto records, wal.replay());
  EXPECT_EQ(records, (std::vector<TraceRecord>{{3, 2, 0, 100}, {10, 20, 3, 200}}));

  // A second open keeps what is there; sync changes nothing.
  QM_ASSERT_OK_AND_ASSIGN(TraceWal again, TraceWal::open(dir.path()));
  QM_ASSERT_OK(again.sync());
  EXPECT_EQ(read_file(wal.path()), record_bytes(3, 2, 0, 100) + record_bytes(10, 20, 3, 200));
}

// A record whose tag is damaged is skipped and the replay reads on: only the bytes of a torn
// final record are never read.
TEST(TraceWalTest, ReplaySkipsDamagedRecords) {
  const TraceRecord a{1, 2, 0, 5}, b{2, 3, 1, 6}, c{3, 4, 2, 7};
  const std::string r1 = record_bytes(1, 2, 0, 5), r2 = record_bytes(2, 3, 1, 6),
                    r3 = record_bytes(3, 4, 2, 7);
  auto tagged = [](std::string r, char tag) {
    r[0] = tag;
    return r;
  };
  struct Case {
    const char* name;
    std::string bytes;
    std::vector<TraceRecord> want;
  } cases[] = {
      {"empty", "", {}},
      {"25 bytes", r1.substr(0, 25), {}},
      {"torn tail of 10 bytes", r1 + r2 + r3.substr(0, 10), {a, b}},
      {"third tag is 0", r1 + r2 + tagged(r3, 0) + r1, {a, b, a}},
      {"first tag is 0", tagged(r3, 0) + r1, {a}},
      {"last tag is 0x7f", r1 + r2 + tagged(r3, '\x7f'), {a, b}},
      {"every other tag damaged", tagged(r1, 2) + r2 + tagged(r3, 0) + r3, {b, c}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    QM_ASSERT_OK_AND_ASSIGN(TraceWal wal, TraceWal::open(dir.path()));
    write_file(wal.path(), c.bytes);
    QM_ASSERT_OK_AND_ASSIGN(auto records, wal.replay());
    EXPECT_EQ(records, c.want);
  }
}

// Records appended after damage are read back. A damaged record in the log is skipped, never cut;
// a torn final record is cut by the next append, whether an open found it or it appeared since
// (a failed append, a crash), and what is cut is kept beside the log. An open alone changes
// nothing.
TEST(TraceWalTest, RecordsAppendedAfterDamageStayReadable) {
  const std::string r1 = record_bytes(1, 2, 0, 5), r2 = record_bytes(2, 3, 1, 6);
  std::string bad = r2;
  bad[0] = 7;
  const TraceRecord a{1, 2, 0, 5}, added{8, 9, 1, 42};
  struct Case {
    const char* name;
    std::string bytes;
    bool reopen;  // damage there at open, or only by the append
    std::string want_kept;
    std::vector<TraceRecord> want;
  } cases[] = {
      {"torn tail found at open", r1 + r2.substr(0, 11), true, r1, {a, added}},
      {"bad tag found at open", r1 + bad + r1, true, r1 + bad + r1, {a, a, added}},
      {"torn tail found by append", r1 + r2.substr(0, 3), false, r1, {a, added}},
      {"bad tag and torn tail", bad + r1 + r2.substr(0, 25), true, bad + r1, {a, added}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    QM_ASSERT_OK_AND_ASSIGN(TraceWal wal, TraceWal::open(dir.path()));
    write_file(wal.path(), c.bytes);
    if (c.reopen) {
      QM_ASSERT_OK_AND_ASSIGN(wal, TraceWal::open(dir.path()));
      EXPECT_EQ(read_file(wal.path()), c.bytes);
      EXPECT_EQ(testing::cut_files(dir.path(), TRACE_WAL_FILE), 0u);
    }
    QM_ASSERT_OK(wal.append({8, 9, 42, EdgeType::Follows}));
    EXPECT_EQ(read_file(wal.path()), c.want_kept + record_bytes(8, 9, 1, 42));
    const bool cut = c.want_kept.size() < c.bytes.size();
    EXPECT_EQ(testing::cut_files(dir.path(), TRACE_WAL_FILE), cut ? 1u : 0u);
    if (cut) {
      EXPECT_EQ(read_file(dir.file(cut_file_name(TRACE_WAL_FILE, c.want_kept.size(), 0))),
                c.bytes.substr(c.want_kept.size()));
    }
    QM_ASSERT_OK_AND_ASSIGN(auto records, wal.replay());
    EXPECT_EQ(records, c.want);
  }
}

TEST(TraceWalTest, FailuresAreWalRecoveryExceptSync) {
  TempDir dir;
  QM_ASSERT_OK_AND_ASSIGN(TraceWal wal, TraceWal::open(dir.path()));
  std::remove(wal.path().c_str());
  // The log is created only at open: an append to a vanished log fails.
  QM_ASSERT_ERROR(WalRecovery, "WAL recovery failed: No such file or directory (os error 2)",
                  wal.append({1, 2, 3, EdgeType::CausedBy}));
  QM_ASSERT_ERROR(WalRecovery, "WAL recovery failed: No such file or directory (os error 2)",
                  wal.replay());
  QM_ASSERT_ERROR(Io, "storage I/O error: No such file or directory (os error 2)", wal.sync());
  EXPECT_FALSE(path_exists(wal.path()));
  QM_ASSERT_ERROR(WalRecovery, "", TraceWal::open(dir.file("missing/dir")));
}

TEST(TraceGraphTest, RebuildSkipsTypesFourAndUp) {
  TempDir dir;
  QM_ASSERT_OK_AND_ASSIGN(TraceWal wal, TraceWal::open(dir.path()));
  write_file(wal.path(), record_bytes(1, 2, 0, 1) + record_bytes(1, 3, 4, 2) +
                             record_bytes(1, 4, 9, 3) + record_bytes(1, 5, 3, 4));
  TraceGraph graph;
  graph.add_edge(77, 78, EdgeType::Follows, 0);  // dropped by the rebuild
  QM_ASSERT_OK_AND_ASSIGN(uint64_t read, rebuild_trace_graph(wal, graph));
  EXPECT_EQ(read, 4u);
  EXPECT_EQ(graph.edge_count(), 2u);
  EXPECT_EQ(graph.outgoing(1, EDGE_TYPE_ANY),
            (std::vector<TraceEdge>{{1, 2, 1, EdgeType::CausedBy}, {1, 5, 4, EdgeType::Supports}}));
  EXPECT_TRUE(graph.outgoing(77, EDGE_TYPE_ANY).empty());
}

TEST(TraceGraphTest, QueriesFilterKeepOrderAndDuplicates) {
  TraceGraph g;
  g.add_edge(1, 2, EdgeType::Follows, 10);
  g.add_edge(1, 3, EdgeType::Supports, 11);
  g.add_edge(1, 2, EdgeType::Follows, 10);
  g.add_edge(4, 2, EdgeType::Contradicts, 12);
  EXPECT_EQ(g.edge_count(), 4u);
  EXPECT_EQ(g.outgoing(1, static_cast<uint8_t>(EdgeType::Follows)).size(), 2u);
  EXPECT_EQ(g.outgoing(1, EDGE_TYPE_ANY).size(), 3u);
  EXPECT_EQ(g.outgoing(1, 5).size(), 0u);
  auto in = g.incoming(2, EDGE_TYPE_ANY);
  ASSERT_EQ(in.size(), 3u);
  EXPECT_EQ(in[2].from, 4u);
  EXPECT_TRUE(g.incoming(99, EDGE_TYPE_ANY).empty());
}

TEST(TraceGraphTest, AncestorsFollowChainsAndCycles) {
  const uint8_t caused = static_cast<uint8_t>(EdgeType::CausedBy);
  TraceGraph g;
  g.add_edge(3, 2, EdgeType::CausedBy, 0);
  g.add_edge(2, 1, EdgeType::CausedBy, 0);
  g.add_edge(2, 9, EdgeType::Follows, 0);  // another type: not walked
  EXPECT_EQ(sorted(g.trace_ancestors(3, caused)), (std::vector<CellId>{1, 2}));
  EXPECT_EQ(sorted(g.trace_ancestors(2, caused)), (std::vector<CellId>{1}));
  EXPECT_TRUE(g.trace_ancestors(1, caused).empty());
  EXPECT_EQ(sorted(g.trace_ancestors(3, EDGE_TYPE_ANY)), (std::vector<CellId>{1, 2, 9}));
  // A pack edge is stored both ways, so the start cell comes back through the cycle.
  g.add_edge(10, 20, EdgeType::CausedBy, 0);
  g.add_edge(20, 10, EdgeType::CausedBy, 0);
  EXPECT_EQ(sorted(g.trace_ancestors(10, caused)), (std::vector<CellId>{10, 20}));
}

}  // namespace
}  // namespace quellmar
