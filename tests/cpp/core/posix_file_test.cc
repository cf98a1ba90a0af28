#include "quellmar/core/posix_file.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "quellmar/core/file_names.h"
#include "test_util.h"

namespace quellmar {
namespace {

using testing::read_file;
using testing::TempDir;
using testing::write_file;

// A cut keeps what it takes off in a file of its own, under the first free name, and cuts only
// once that copy is durable.
TEST(CutPreservingTest, KeepsTheCutBytesUnderAFreeName) {
  TempDir dir;
  const std::string path = dir.file("trace.wal");
  write_file(path, "0123456789");
  write_file(dir.file("trace.wal.cut-6"), "older");  // an earlier cut at the same offset

  QM_ASSERT_OK_AND_ASSIGN(std::string kept, cut_preserving(path, 6));
  EXPECT_EQ(kept, dir.file(cut_file_name("trace.wal", 6, 1)));
  EXPECT_EQ(kept, dir.file("trace.wal.cut-6.1"));
  EXPECT_EQ(read_file(kept), "6789");
  EXPECT_EQ(read_file(dir.file("trace.wal.cut-6")), "older");
  EXPECT_EQ(read_file(path), "012345");

  // Nothing past the end: no copy, no cut.
  QM_ASSERT_OK_AND_ASSIGN(kept, cut_preserving(path, 6));
  EXPECT_EQ(kept, "");
  EXPECT_EQ(testing::cut_files(dir.path(), "trace.wal"), 2u);
}

int g_fail_errno = 0;
FileOp g_fail_op = FileOp::Write;
int FailCopy(FileOp op, const std::string& path) {
  return op == g_fail_op && path.find(".cut-") != std::string::npos ? g_fail_errno : 0;
}

TEST(CutPreservingTest, NoCutWithoutADurableCopy) {
  for (FileOp op : {FileOp::Open, FileOp::Write, FileOp::Sync}) {
    SCOPED_TRACE(static_cast<int>(op));
    TempDir dir;
    const std::string path = dir.file("text_store.bin");
    write_file(path, "0123456789");
    g_fail_op = op;
    g_fail_errno = ENOSPC;
    set_file_fault_hook(&FailCopy);
    QM_ASSERT_ERROR(Io, "storage I/O error: No space left on device (os error 28)",
                    cut_preserving(path, 4));
    set_file_fault_hook(nullptr);
    EXPECT_EQ(read_file(path), "0123456789");
  }
}

}  // namespace
}  // namespace quellmar
