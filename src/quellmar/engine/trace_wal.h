#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "quellmar/core/posix_file.h"
#include "quellmar/core/result.h"
#include "quellmar/core/types.h"
#include "quellmar/engine/trace_graph.h"

namespace quellmar {

// trace.wal: a plain sequence of fixed-size records, no file header, little-endian.
//   offset 0  u8   tag, always TRACE_RECORD_TAG
//   offset 1  u64  from cell id
//   offset 9  u64  to cell id
//   offset 17 u8   edge type
//   offset 18 u64  created_at, Unix nanoseconds
inline constexpr size_t TRACE_RECORD_SIZE = 26;
inline constexpr uint8_t TRACE_RECORD_TAG = 1;
inline constexpr size_t TRACE_OFF_TAG = 0;
inline constexpr size_t TRACE_OFF_FROM = 1;
inline constexpr size_t TRACE_OFF_TO = 9;
inline constexpr size_t TRACE_OFF_TYPE = 17;
inline constexpr size_t TRACE_OFF_CREATED_AT = 18;
static_assert(TRACE_OFF_FROM == TRACE_OFF_TAG + 1);
static_assert(TRACE_OFF_TO == TRACE_OFF_FROM + 8);
static_assert(TRACE_OFF_TYPE == TRACE_OFF_TO + 8);
static_assert(TRACE_OFF_CREATED_AT == TRACE_OFF_TYPE + 1);
static_assert(TRACE_RECORD_SIZE == TRACE_OFF_CREATED_AT + 8);

// One record as stored; the type byte is kept as read, so values of 4 and above survive a replay
// for the caller to skip.
struct TraceRecord {
  CellId from = 0;
  CellId to = 0;
  uint8_t edge_type = 0;
  uint64_t created_at = 0;

  friend bool operator==(const TraceRecord&, const TraceRecord&) = default;
};

std::array<uint8_t, TRACE_RECORD_SIZE> encode_trace_record(const TraceEdge& edge);

// The append-only trace log of an engine directory. Holds only the path and what its next append
// must cut first: every call opens and closes the file.
//
// Records have a fixed size, so a record whose tag is damaged costs that record alone: a replay
// skips it and reads on. The only bytes that do not read are a torn final record (fewer than
// TRACE_RECORD_SIZE bytes at the end), and the log is kept a whole number of records where this
// handle appends: open and replay only read (a torn final record may be one that another handle
// is writing), and every append first cuts what is torn at the end then (the file's size says
// so, whatever an open or a replay saw before), and the bytes of an earlier failed append that
// could not be cut back, so records appended after damage are always read back. Every cut first
// keeps the bytes it takes off in a file of their own beside the log (cut_preserving), so
// nothing stored is ever lost.
class TraceWal {
 public:
  // Creates `<dir>/trace.wal` when it is missing (mode 0666 before umask). Failures are
  // WalRecovery.
  static Result<TraceWal> open(const std::string& dir);

  const std::string& path() const { return path_; }

  // Writes one record through the 8 KiB write buffer and flushes it to stable storage, after
  // cutting off what does not read at the end (see above). The file must exist. Failures are
  // WalRecovery.
  Status append(const TraceEdge& edge);

  // Reads the records from the start of the file to the last whole one, skipping those whose tag
  // is damaged; a read failure ends it with what was read. Only an open or stat failure is
  // returned (as WalRecovery).
  Result<std::vector<TraceRecord>> replay() const;

  // Flushes the log to stable storage without changing it (no create, no truncate). Failures are
  // Io.
  Status sync() const;

 private:
  explicit TraceWal(std::string path) : path_(std::move(path)) {}

  std::string path_;
  // What the next append cuts first besides a torn final record: a failed append's bytes.
  FileTail tail_;
};

// The refresh step of the trace graph: empties `graph`, replays `wal` and adds every record whose
// type byte is a stored edge type (below 4), in file order. Returns how many records the replay
// read, skipped ones included; the caller syncs the log when that is not 0. A failed replay is
// WalRecovery.
Result<uint64_t> rebuild_trace_graph(const TraceWal& wal, TraceGraph& graph);

}  // namespace quellmar
