#pragma once

#include <cerrno>
#include <cstdint>
#include <string>
#include <string_view>

namespace quellmar {

// Kind of a failed file-system operation. `Os` carries the system's error number; the other kinds
// are raised by this system's own readers and writers with a message of their own.
enum class IoErrorKind : uint8_t {
  Os,
  InvalidData,
  InvalidInput,
  UnexpectedEof,
};

// One failed file-system operation, as `EngineError::io` wraps it.
struct IoError {
  IoErrorKind kind = IoErrorKind::Os;
  int os_code = 0;   // errno, for kind Os
  std::string text;  // the failure's own text

  // errno as the system describes it: "No such file or directory (os error 2)".
  static IoError from_errno(int err);
  static IoError invalid_data(std::string message);
  static IoError invalid_input(std::string message);
  // A read that ran past the end of a file.
  static IoError unexpected_eof();

  bool is_not_found() const { return kind == IoErrorKind::Os && os_code == ENOENT; }
  bool is_exists() const { return kind == IoErrorKind::Os && os_code == EEXIST; }
  // Bytes on disk that do not read as what they should be (as against a failing call): reading
  // them again gives the same answer.
  bool is_damage() const {
    return kind == IoErrorKind::InvalidData || kind == IoErrorKind::UnexpectedEof;
  }
};

// The one error type of the storage, retrieval and engine layers. Each case keeps the text that
// callers see; the case index is stable and is what the binding maps to exception classes.
class EngineError {
 public:
  enum class Code : uint8_t {
    CellNotFound = 0,
    PackNotFound = 1,
    SegmentFull = 2,
    Io = 3,
    Quantization = 4,
    DimensionMismatch = 5,
    WalRecovery = 6,
    Index = 7,
    Governance = 8,
    CapacityExceeded = 9,
    NotASnapshot = 10,
    UnsupportedSnapshotVersion = 11,
    SnapshotCodecMismatch = 12,
    SnapshotIntegrity = 13,
    EmptyCorpus = 14,
    NoQueryKey = 15,
    WriteBufferFlush = 16,
    MalformedTokenMatrix = 17,
  };

  static EngineError cell_not_found(uint64_t cell_id);
  static EngineError pack_not_found(uint64_t pack_id);
  static EngineError segment_full(std::string_view location);
  static EngineError io(IoError error);
  static EngineError quantization(std::string_view reason);
  static EngineError dimension_mismatch(uint64_t expected, uint64_t got, std::string_view context);
  static EngineError wal_recovery(std::string_view reason);
  static EngineError index(std::string_view reason);
  static EngineError governance(std::string_view reason);
  static EngineError capacity_exceeded(std::string_view reason);
  static EngineError not_a_snapshot(std::string_view reason);
  static EngineError unsupported_snapshot_version(uint8_t found, uint8_t supported);
  static EngineError snapshot_codec_mismatch(std::string_view codec, std::string_view snapshot,
                                             std::string_view engine);
  static EngineError snapshot_integrity(std::string_view reason);
  static EngineError empty_corpus(uint64_t owner);
  static EngineError no_query_key(std::string_view reason);
  static EngineError write_buffer_flush(uint64_t offset, std::string_view reason);
  static EngineError malformed_token_matrix(uint64_t n_tokens, uint64_t dim, uint64_t buffer_len);

  Code code() const { return code_; }
  // The whole text, as the binding reports it.
  const std::string& message() const { return message_; }
  // The wrapped failure of an `Io` error; empty for every other case.
  const IoError& io_error() const { return io_; }

 private:
  EngineError(Code code, std::string message) : code_(code), message_(std::move(message)) {}

  Code code_;
  std::string message_;
  IoError io_;
};

}  // namespace quellmar
