#include "quellmar/core/file_reader.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "quellmar/core/coding.h"
#include "test_util.h"

namespace quellmar {
namespace {

using testing::TempDir;
using testing::write_file;

constexpr size_t FILE_SIZE = 10000;
constexpr size_t WINDOW = 1024;

uint8_t byte_at(uint64_t off) { return static_cast<uint8_t>(off * 7 % 251); }

std::string pattern(size_t n) {
  std::string bytes(n, '\0');
  for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<char>(byte_at(i));
  return bytes;
}

void expect_bytes_at(uint64_t off, std::span<const uint8_t> bytes) {
  for (size_t i = 0; i < bytes.size(); ++i) {
    ASSERT_EQ(bytes[i], byte_at(off + i)) << "at " << off + i;
  }
}

// Reads one after another through one reader, as the callers make them: from the window, across
// its end, at and past the end of the file. The bytes are always the file's, and as many as it
// holds.
TEST(FileReaderTest, ReadsWhatTheFileHolds) {
  TempDir dir;
  const std::string path = dir.file("data");
  write_file(path, pattern(FILE_SIZE));
  QM_ASSERT_OK_AND_ASSIGN(FileReader file, FileReader::open(path, WINDOW));
  struct Case {
    uint64_t off;
    size_t n;
    size_t ahead;
    size_t expect;
    size_t held_after;  // what the window holds from `off` afterwards
  } cases[] = {
      {0, 10, 0, 10, 10},                   // no read-ahead: only the bytes asked for
      {4, 6, 0, 6, 6},                      // inside the window
      {8, 10, 100, 10, 100},                // past the window's end: refilled, 100 bytes in all
      {8, 100, 0, 100, 100},                // all inside the window
      {8, 110, 0, 110, 110},                // a little more: refilled as asked
      {100, 50, WINDOW * 4, 50, WINDOW},    // read-ahead is at most the window
      {1000, 3 * WINDOW, 0, 3 * WINDOW, 3 * WINDOW},  // larger than the window: as asked
      {FILE_SIZE - 5, 10, 0, 5, 5},         // the file ends first
      {FILE_SIZE - 5, 4, 100, 4, 5},        // read-ahead stops at the end of the file
      {FILE_SIZE, 10, 0, 0, 0},             // at the end
      {FILE_SIZE + 100, 10, 0, 0, 0},       // past it
      {0, 2 * FILE_SIZE, 0, FILE_SIZE, FILE_SIZE},  // a length the file does not hold
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "off " << c.off << " n " << c.n << " ahead " << c.ahead);
    QM_ASSERT_OK_AND_ASSIGN(std::span<const uint8_t> got, file.read_some(c.off, c.n, c.ahead));
    EXPECT_EQ(got.size(), c.expect);
    expect_bytes_at(c.off, got);
    EXPECT_EQ(file.held(c.off).size(), c.held_after);
  }
}

// An exact read of bytes the file does not hold is the short-read error, for a fresh reader and
// for one that knows the size, and a length no file could hold sizes nothing.
TEST(FileReaderTest, ExactReadPastTheEndIsTheShortRead) {
  TempDir dir;
  const std::string path = dir.file("data");
  write_file(path, pattern(FILE_SIZE));
  struct Case {
    uint64_t off;
    size_t n;
  } cases[] = {
      {FILE_SIZE - 5, 10},
      {FILE_SIZE, 1},
      {FILE_SIZE + 1, 1},
      {0, FILE_SIZE + 1},
      {8, SIZE_MAX / 2},  // a damaged length: never allocated
      {8, SIZE_MAX},
  };
  for (bool size_known : {false, true}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(::testing::Message() << "off " << c.off << " n " << c.n << " size known "
                                      << size_known);
      QM_ASSERT_OK_AND_ASSIGN(FileReader file, FileReader::open(path, WINDOW));
      if (size_known) {
        QM_ASSERT_OK_AND_ASSIGN(const uint64_t size, file.size());
        ASSERT_EQ(size, FILE_SIZE);
      }
      QM_ASSERT_ERROR(Io, "storage I/O error: failed to fill whole buffer",
                      file.read(c.off, c.n));
      // The reader still reads after the failure.
      QM_ASSERT_OK_AND_ASSIGN(const uint8_t* p, file.read(FILE_SIZE - 4, 4));
      expect_bytes_at(FILE_SIZE - 4, std::span<const uint8_t>(p, 4));
    }
  }
}

TEST(FileReaderTest, OpenOfAMissingFileFails) {
  TempDir dir;
  QM_ASSERT_ERROR(Io, "", FileReader::open(dir.file("missing"), WINDOW));
  QM_ASSERT_ERROR(Io, "", FileCursor::open(dir.file("missing"), WINDOW));
}

// Fixed-width fields front to back: a field or a seek past the end is the short read and leaves
// the position where it was.
TEST(FileCursorTest, ReadsFieldsInOrderAndStopsAtTheEnd) {
  TempDir dir;
  const std::string path = dir.file("fields");
  std::string bytes(4 + 8 + 3, '\0');
  encode_u32(reinterpret_cast<uint8_t*>(bytes.data()), 0xA1B2C3D4u);
  encode_u64(reinterpret_cast<uint8_t*>(bytes.data()) + 4, 0x0102030405060708ull);
  bytes[12] = 'x';
  write_file(path, bytes);
  QM_ASSERT_OK_AND_ASSIGN(FileCursor in, FileCursor::open(path, /*window=*/8));
  EXPECT_EQ(in.size(), bytes.size());
  QM_ASSERT_OK_AND_ASSIGN(const uint32_t a, in.u32());
  EXPECT_EQ(a, 0xA1B2C3D4u);
  QM_ASSERT_OK_AND_ASSIGN(const uint64_t b, in.u64());  // across the window's end
  EXPECT_EQ(b, 0x0102030405060708ull);
  EXPECT_EQ(in.position(), 12u);
  EXPECT_EQ(in.remaining(), 3u);
  QM_ASSERT_ERROR(Io, "storage I/O error: failed to fill whole buffer", in.u32());
  EXPECT_EQ(in.position(), 12u);
  QM_ASSERT_OK_AND_ASSIGN(const uint8_t* x, in.take(1));
  EXPECT_EQ(*x, 'x');
  QM_ASSERT_ERROR(Io, "storage I/O error: failed to fill whole buffer", in.seek(bytes.size() + 1));
  QM_ASSERT_OK(in.seek(bytes.size()));
  EXPECT_EQ(in.remaining(), 0u);
  QM_ASSERT_OK(in.seek(4));
  QM_ASSERT_OK_AND_ASSIGN(const uint64_t again, in.u64());  // back behind the window
  EXPECT_EQ(again, b);
}

}  // namespace
}  // namespace quellmar
