#include "quellmar/core/engine_error.h"

#include <cerrno>
#include <cstring>

#include "quellmar/core/str_cat.h"

namespace quellmar {

IoError IoError::from_errno(int err) {
  char buf[256];
  // GNU strerror_r may return a static string instead of filling buf.
  const char* text = strerror_r(err, buf, sizeof buf);
  return IoError{IoErrorKind::Os, err, str_cat(text, " (os error ", err, ")")};
}

IoError IoError::invalid_data(std::string message) {
  return IoError{IoErrorKind::InvalidData, 0, std::move(message)};
}

IoError IoError::invalid_input(std::string message) {
  return IoError{IoErrorKind::InvalidInput, 0, std::move(message)};
}

IoError IoError::unexpected_eof() {
  return IoError{IoErrorKind::UnexpectedEof, 0, "failed to fill whole buffer"};
}

EngineError EngineError::cell_not_found(uint64_t cell_id) {
  return {Code::CellNotFound, str_cat("cell not found: ", cell_id)};
}

EngineError EngineError::pack_not_found(uint64_t pack_id) {
  return {Code::PackNotFound, str_cat("pack not found: ", pack_id)};
}

EngineError EngineError::segment_full(std::string_view location) {
  return {Code::SegmentFull, str_cat("segment full: cannot append to segment at ", location)};
}

EngineError EngineError::io(IoError error) {
  EngineError e{Code::Io, str_cat("storage I/O error: ", error.text)};
  e.io_ = std::move(error);
  return e;
}

EngineError EngineError::quantization(std::string_view reason) {
  return {Code::Quantization, str_cat("quantization error: ", reason)};
}

EngineError EngineError::dimension_mismatch(uint64_t expected, uint64_t got,
                                            std::string_view context) {
  return {Code::DimensionMismatch,
          str_cat("dimension mismatch: expected ", expected, ", got ", got, " for ", context)};
}

EngineError EngineError::wal_recovery(std::string_view reason) {
  return {Code::WalRecovery, str_cat("WAL recovery failed: ", reason)};
}

EngineError EngineError::index(std::string_view reason) {
  return {Code::Index, str_cat("index error: ", reason)};
}

EngineError EngineError::governance(std::string_view reason) {
  return {Code::Governance, str_cat("governance error: ", reason)};
}

EngineError EngineError::capacity_exceeded(std::string_view reason) {
  return {Code::CapacityExceeded, str_cat("capacity exceeded: ", reason)};
}

EngineError EngineError::not_a_snapshot(std::string_view reason) {
  return {Code::NotASnapshot, str_cat("not a Quellmar snapshot: ", reason)};
}

EngineError EngineError::unsupported_snapshot_version(uint8_t found, uint8_t supported) {
  return {Code::UnsupportedSnapshotVersion,
          str_cat("unsupported snapshot format version ", unsigned{found},
                  ", supported: ", unsigned{supported})};
}

EngineError EngineError::snapshot_codec_mismatch(std::string_view codec, std::string_view snapshot,
                                                 std::string_view engine) {
  return {Code::SnapshotCodecMismatch, str_cat("snapshot codec mismatch for ", codec,
                                               ": snapshot=", snapshot, ", engine=", engine)};
}

EngineError EngineError::snapshot_integrity(std::string_view reason) {
  return {Code::SnapshotIntegrity, str_cat("snapshot integrity check failed: ", reason)};
}

EngineError EngineError::empty_corpus(uint64_t owner) {
  return {Code::EmptyCorpus, str_cat("empty corpus for owner ", owner,
                                     ": no packs have ever been stored for this owner")};
}

EngineError EngineError::no_query_key(std::string_view reason) {
  return {Code::NoQueryKey, str_cat("no query key produced: ", reason)};
}

EngineError EngineError::write_buffer_flush(uint64_t offset, std::string_view reason) {
  return {Code::WriteBufferFlush,
          str_cat("write buffer flush failed at offset ", offset, ": ", reason)};
}

EngineError EngineError::malformed_token_matrix(uint64_t n_tokens, uint64_t dim,
                                                uint64_t buffer_len) {
  return {Code::MalformedTokenMatrix,
          str_cat("empty or malformed token matrix: n_tokens=", n_tokens, ", dim=", dim,
                  ", buffer_len=", buffer_len)};
}

}  // namespace quellmar
