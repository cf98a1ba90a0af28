#include "quellmar/core/posix_file.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <functional>

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

// A link in the last component is refused by every open unless the caller asks for it to be
// followed; nothing is created, read or written through it. A temporary file replaces a link.
TEST(OpenTest, LinksAreRefusedUnlessFollowed) {
  TempDir dir;
  const std::string target = dir.file("target"), missing = dir.file("missing");
  write_file(target, "kept");
  const std::string link = dir.file("link"), dangling = dir.file("dangling");
  ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);
  ASSERT_EQ(::symlink(missing.c_str(), dangling.c_str()), 0);
  const std::function<Result<UniqueFd>(const std::string&)> opens[] = {
      [](const std::string& p) { return open_read(p); },
      [](const std::string& p) { return open_append(p, true); },
      [](const std::string& p) { return open_append(p, false); },
      [](const std::string& p) { return open_truncate(p); },
      [](const std::string& p) { return open_write(p); },
  };
  for (const std::string& path : {link, dangling}) {
    for (size_t i = 0; i < std::size(opens); ++i) {
      SCOPED_TRACE(::testing::Message() << path << " open " << i);
      QM_ASSERT_ERROR(Io,
                      "storage I/O error: " + path +
                          " is a symbolic link; the engine does not follow links to its own files",
                      opens[i](path));
    }
  }
  QM_ASSERT_ERROR(Io, "storage I/O error: File exists (os error 17)", open_create_new(dangling));
  EXPECT_EQ(read_file(target), "kept");
  EXPECT_FALSE(path_exists(missing));

  QM_ASSERT_OK_AND_ASSIGN(UniqueFd followed, open_read(link, Links::Follow));
  char buf[4];
  QM_ASSERT_OK(pread_exact(followed, buf, 4, 0));
  EXPECT_EQ(std::string(buf, 4), "kept");
  QM_ASSERT_OK(open_truncate(dangling, Links::Follow));  // what a caller asks for
  EXPECT_TRUE(path_exists(missing));

  QM_ASSERT_OK_AND_ASSIGN(UniqueFd fresh, create_replacing(link));
  QM_ASSERT_OK(write_all(fresh, "new", 3, link));
  EXPECT_EQ(read_file(link), "new");
  EXPECT_EQ(read_file(target), "kept");
}

}  // namespace
}  // namespace quellmar
