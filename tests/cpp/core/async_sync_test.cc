#include "quellmar/core/async_sync.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>

#include "test_util.h"

namespace quellmar {
namespace {

using testing::read_file;
using testing::TempDir;
using testing::write_file;

int g_fail_sync = 0;  // errno the hook gives flushes, 0 for none
int g_syncs = 0;      // flushes the hook saw
int CountAndFailSync(FileOp op, const std::string&) {
  if (op != FileOp::Sync) return 0;
  ++g_syncs;
  return g_fail_sync;
}

// Every case runs with the kernel's asynchronous flush (where this machine allows it) and with
// the synchronous one the component falls back to.
class AsyncSyncTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    AsyncSync::force_synchronous(GetParam());
    g_fail_sync = 0;
    g_syncs = 0;
    set_file_fault_hook(&CountAndFailSync);
  }
  void TearDown() override {
    set_file_fault_hook(nullptr);
    AsyncSync::force_synchronous(false);
  }
  TempDir dir_;
};

TEST_P(AsyncSyncTest, FlushesCompleteAndTheContextIsReused) {
  write_file(dir_.file("f"), "abc");
  QM_ASSERT_OK_AND_ASSIGN(UniqueFd fd, open_write(dir_.file("f")));
  for (int i = 0; i < 3; ++i) {
    AsyncSync sync(fd, dir_.file("f"));
    if (GetParam()) {
      EXPECT_FALSE(sync.in_background());
    }
    QM_EXPECT_OK(sync.wait());
    EXPECT_FALSE(sync.in_background());
  }
  // One dropped unwaited, one moved before the wait: neither leaves a completion behind for the
  // next flush to reap.
  { AsyncSync dropped(fd, dir_.file("f")); }
  AsyncSync first(fd, dir_.file("f"));
  AsyncSync moved(std::move(first));
  QM_EXPECT_OK(moved.wait());
  AsyncSync last(fd, dir_.file("f"));
  QM_EXPECT_OK(last.wait());
  EXPECT_EQ(g_syncs, 6);  // the fault hook sees each flush once
}

// done() never waits; once it says so the flush is over, and wait() still gives the outcome,
// a failure included.
TEST_P(AsyncSyncTest, DoneTellsWithoutWaiting) {
  write_file(dir_.file("f"), "abc");
  QM_ASSERT_OK_AND_ASSIGN(UniqueFd fd, open_write(dir_.file("f")));
  for (int fail : {0, EIO}) {
    g_fail_sync = fail;
    AsyncSync sync(fd, dir_.file("f"));
    if (GetParam() || fail) {
      EXPECT_TRUE(sync.done());  // made at once
    }
    while (!sync.done()) ::usleep(100);
    EXPECT_TRUE(sync.done());
    EXPECT_FALSE(sync.in_background());
    if (fail) {
      QM_ASSERT_ERROR(Io, "storage I/O error: Input/output error (os error 5)", sync.wait());
    } else {
      QM_EXPECT_OK(sync.wait());
    }
  }
  // Reaped by done(), the flush leaves nothing for the next one's wait to take.
  g_fail_sync = 0;
  AsyncSync next(fd, dir_.file("f"));
  QM_EXPECT_OK(next.wait());
}

TEST_P(AsyncSyncTest, FailuresAreReportedByWait) {
  // An injected failure, as the device would report it.
  write_file(dir_.file("f"), "abc");
  QM_ASSERT_OK_AND_ASSIGN(UniqueFd fd, open_write(dir_.file("f")));
  g_fail_sync = EIO;
  AsyncSync failed(fd, dir_.file("f"));
  QM_ASSERT_ERROR(Io, "storage I/O error: Input/output error (os error 5)", failed.wait());
  g_fail_sync = 0;
  // A descriptor that cannot be flushed at all: the kernel's own refusal reaches the caller.
  int ends[2];
  ASSERT_EQ(::pipe(ends), 0);
  UniqueFd read_end(ends[0]), write_end(ends[1]);
  AsyncSync pipe_sync(write_end, "pipe");
  QM_ASSERT_ERROR(Io, "storage I/O error: Invalid argument (os error 22)", pipe_sync.wait());
  // The next flush is unaffected.
  AsyncSync after(fd, dir_.file("f"));
  QM_EXPECT_OK(after.wait());
}

TEST_P(AsyncSyncTest, PendingAppendLandsOrIsCutBack) {
  const std::string path = dir_.file("log");
  write_file(path, "head");
  {
    QM_ASSERT_OK_AND_ASSIGN(PendingAppend ok, PendingAppend::start(path, "tail", 4, false));
    std::optional<uint64_t> left_behind;
    QM_ASSERT_OK_AND_ASSIGN(uint64_t at, ok.finish(&left_behind));
    EXPECT_FALSE(left_behind);
    EXPECT_EQ(at, 4u);
    EXPECT_EQ(read_file(path), "headtail");
  }
  {
    // The bytes are in the file until the failed flush is known; then they are cut off.
    g_fail_sync = EIO;
    QM_ASSERT_OK_AND_ASSIGN(PendingAppend bad, PendingAppend::start(path, "lost", 4, false));
    g_fail_sync = 0;
    EXPECT_EQ(read_file(path), "headtaillost");
    std::optional<uint64_t> left_behind;
    QM_ASSERT_ERROR(Io, "storage I/O error: Input/output error (os error 5)",
                    bad.finish(&left_behind));
    EXPECT_FALSE(left_behind);  // cut back
    EXPECT_EQ(read_file(path), "headtail");
  }
  QM_ASSERT_ERROR(Io, "", PendingAppend::start(dir_.file("missing"), "x", 1, false));
  QM_ASSERT_OK_AND_ASSIGN(PendingAppend created,
                          PendingAppend::start(dir_.file("new"), "x", 1, true));
  QM_ASSERT_OK_AND_ASSIGN(uint64_t at, created.finish());
  EXPECT_EQ(at, 0u);
  EXPECT_EQ(read_file(dir_.file("new")), "x");
}

INSTANTIATE_TEST_SUITE_P(Modes, AsyncSyncTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Synchronous" : "Kernel"; });

}  // namespace
}  // namespace quellmar
