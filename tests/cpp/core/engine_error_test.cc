#include "quellmar/core/engine_error.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "quellmar/core/salience_mode.h"

namespace quellmar {
namespace {

using Code = EngineError::Code;

TEST(EngineErrorTest, EveryCaseHasItsIndexAndMessage) {
  struct Case {
    EngineError error;
    int index;
    const char* message;
  };
  const Case cases[] = {
      {EngineError::cell_not_found(7), 0, "cell not found: 7"},
      {EngineError::pack_not_found(42), 1, "pack not found: 42"},
      {EngineError::segment_full("/tmp/e"), 2, "segment full: cannot append to segment at /tmp/e"},
      {EngineError::io(IoError::unexpected_eof()), 3,
       "storage I/O error: failed to fill whole buffer"},
      {EngineError::quantization("x"), 4, "quantization error: x"},
      {EngineError::dimension_mismatch(4, 3, "query"), 5,
       "dimension mismatch: expected 4, got 3 for query"},
      {EngineError::wal_recovery("bad"), 6, "WAL recovery failed: bad"},
      {EngineError::index("i"), 7, "index error: i"},
      {EngineError::governance("g"), 8, "governance error: g"},
      {EngineError::capacity_exceeded("c"), 9, "capacity exceeded: c"},
      {EngineError::not_a_snapshot("m"), 10, "not a Quellmar snapshot: m"},
      {EngineError::unsupported_snapshot_version(2, 1), 11,
       "unsupported snapshot format version 2, supported: 1"},
      {EngineError::snapshot_codec_mismatch("kv", "q4", "f16"), 12,
       "snapshot codec mismatch for kv: snapshot=q4, engine=f16"},
      {EngineError::snapshot_integrity("sha"), 13, "snapshot integrity check failed: sha"},
      {EngineError::empty_corpus(9), 14,
       "empty corpus for owner 9: no packs have ever been stored for this owner"},
      {EngineError::no_query_key("none"), 15, "no query key produced: none"},
      {EngineError::write_buffer_flush(18446744073709551615ull, "r"), 16,
       "write buffer flush failed at offset 18446744073709551615: r"},
      {EngineError::malformed_token_matrix(0, 8, 0), 17,
       "empty or malformed token matrix: n_tokens=0, dim=8, buffer_len=0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    EXPECT_EQ(static_cast<int>(c.error.code()), c.index);
    EXPECT_EQ(c.error.message(), c.message);
  }
}

TEST(EngineErrorTest, IoCarriesTheSystemTextAndNumber) {
  EngineError e = EngineError::io(IoError::from_errno(ENOENT));
  EXPECT_EQ(e.code(), Code::Io);
  EXPECT_EQ(e.message(), "storage I/O error: No such file or directory (os error 2)");
  EXPECT_TRUE(e.io_error().is_not_found());

  EngineError own = EngineError::io(IoError::invalid_data("invalid tier byte 3 in cell 5"));
  EXPECT_EQ(own.message(), "storage I/O error: invalid tier byte 3 in cell 5");
  EXPECT_EQ(own.io_error().kind, IoErrorKind::InvalidData);
}

TEST(SalienceModeTest, ParsesExactKeywordsOnly) {
  struct Case {
    const char* word;
    int mode;  // -1: refused
  };
  const Case cases[] = {
      {"none", 0},  {"explicit", 0}, {"l2", 1},   {"max", 2},  {"L2", -1},   {"MAX", -1},
      {"None", -1}, {"", -1},        {" l2", -1}, {"l2 ", -1}, {"maxi", -1}, {"explicitly", -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.word);
    auto parsed = parse_salience_mode(c.word);
    if (c.mode < 0) {
      ASSERT_TRUE(std::holds_alternative<std::string>(parsed));
      EXPECT_EQ(std::get<std::string>(parsed), c.word);
    } else {
      ASSERT_TRUE(std::holds_alternative<SalienceMode>(parsed));
      EXPECT_EQ(static_cast<int>(std::get<SalienceMode>(parsed)), c.mode);
    }
  }
}

}  // namespace
}  // namespace quellmar
