#include "quellmar/engine/trace_wal.h"

#include <algorithm>

#include "quellmar/core/coding.h"
#include "quellmar/core/file_names.h"
#include "quellmar/core/posix_file.h"

namespace quellmar {

namespace {

EngineError as_wal_recovery(const EngineError& e) {
  if (e.code() == EngineError::Code::Io) return EngineError::wal_recovery(e.io_error().text);
  return EngineError::wal_recovery(e.message());
}

// Records per read while scanning: just under 64 KiB.
constexpr size_t SCAN_RECORDS_PER_READ = 2520;

struct ScanOutcome {
  uint64_t records = 0;      // where the readable records end, counted from the start of the log
  bool read_failed = false;  // the scan ended on a read failure, not on damage or the end
  Status failure;            // that read's failure
};

// Decodes the readable records of an open log of `size` bytes from record `first` on, handing
// each to `sink`.
template <typename Sink>
ScanOutcome scan_records(const UniqueFd& fd, uint64_t size, Sink&& sink, uint64_t first = 0) {
  ScanOutcome out;
  out.records = first;
  std::vector<uint8_t> buf(TRACE_RECORD_SIZE * SCAN_RECORDS_PER_READ);
  const uint64_t whole = size / TRACE_RECORD_SIZE;
  while (out.records < whole) {
    uint64_t want_records = std::min<uint64_t>(whole - out.records, SCAN_RECORDS_PER_READ);
    size_t want = static_cast<size_t>(want_records) * TRACE_RECORD_SIZE;
    auto got = pread_some(fd, buf.data(), want, out.records * TRACE_RECORD_SIZE);
    if (!got.is_ok()) {
      out.read_failed = true;
      out.failure = got.status();
      return out;
    }
    size_t n = *got / TRACE_RECORD_SIZE;
    for (size_t i = 0; i < n; ++i) {
      const uint8_t* p = buf.data() + i * TRACE_RECORD_SIZE;
      if (p[TRACE_OFF_TAG] != TRACE_RECORD_TAG) return out;
      sink(TraceRecord{decode_u64(p + TRACE_OFF_FROM), decode_u64(p + TRACE_OFF_TO),
                       p[TRACE_OFF_TYPE], decode_u64(p + TRACE_OFF_CREATED_AT)});
      ++out.records;
    }
    // The file shrank under the scan: what was read is all there is.
    if (*got < want) return out;
  }
  return out;
}

}  // namespace

std::array<uint8_t, TRACE_RECORD_SIZE> encode_trace_record(const TraceEdge& edge) {
  std::array<uint8_t, TRACE_RECORD_SIZE> rec{};
  rec[TRACE_OFF_TAG] = TRACE_RECORD_TAG;
  encode_u64(rec.data() + TRACE_OFF_FROM, edge.from);
  encode_u64(rec.data() + TRACE_OFF_TO, edge.to);
  rec[TRACE_OFF_TYPE] = static_cast<uint8_t>(edge.edge_type);
  encode_u64(rec.data() + TRACE_OFF_CREATED_AT, edge.created_at);
  return rec;
}

Result<TraceWal> TraceWal::open(const std::string& dir) {
  std::string path = join_path(dir, TRACE_WAL_FILE);
  {
    auto fd = open_append(path, /*create=*/true);
    if (!fd.is_ok()) return as_wal_recovery(fd.error());
    if (Status s = fd->close(); !s.is_ok()) return as_wal_recovery(s.error());
  }
  // Where the readable records end, so that the first append can cut off what lies behind them.
  // After a read failure nothing is known about the rest: it is left alone.
  auto rfd = open_read(path);
  if (!rfd.is_ok()) return as_wal_recovery(rfd.error());
  auto size = fd_size(*rfd);
  if (!size.is_ok()) return as_wal_recovery(size.error());
  ScanOutcome scan = scan_records(*rfd, *size, [](const TraceRecord&) {});
  const uint64_t good = scan.records * TRACE_RECORD_SIZE;
  TraceWal wal(std::move(path));
  if (!scan.read_failed && good < *size) wal.tail_.readable_end = good;
  return wal;
}

Status TraceWal::append(const TraceEdge& edge) {
  auto fd = open_append(path_, /*create=*/false);
  if (!fd.is_ok()) return as_wal_recovery(fd.error());
  auto size = fd_size(*fd);
  if (!size.is_ok()) return as_wal_recovery(size.error());
  if (tail_.failed_at || tail_.readable_end || *size % TRACE_RECORD_SIZE != 0) {
    // What the open found unreadable, the bytes of a failed append that could not be cut back,
    // or a torn tail: the log is walked again from where it was last found readable (a torn tail
    // alone, from the last whole record) and what still does not read is cut. The descriptor
    // appends at the end wherever that is, so the cut may go through a path of its own.
    if (!tail_.readable_end && *size % TRACE_RECORD_SIZE != 0) {
      tail_.readable_end = *size - *size % TRACE_RECORD_SIZE;
    }
    Status cut = repair_tail(
        path_, tail_, [](const UniqueFd& rfd, uint64_t start, uint64_t end) -> Result<uint64_t> {
          ScanOutcome scan = scan_records(
              rfd, end, [](const TraceRecord&) {}, start / TRACE_RECORD_SIZE);
          if (scan.read_failed) return std::move(scan.failure).error();
          return scan.records * TRACE_RECORD_SIZE;
        });
    if (!cut.is_ok()) return as_wal_recovery(cut.error());
    size = fd_size(*fd);
    if (!size.is_ok()) return as_wal_recovery(size.error());
  }
  const uint64_t before = *size;
  auto rec = encode_trace_record(edge);
  BufferedWriter writer(*fd, path_);
  Status st = writer.append(rec.data(), rec.size());
  if (st.is_ok()) st = writer.flush();
  if (st.is_ok()) st = full_sync(*fd, path_);
  if (st.is_ok()) {
    Status closed = fd->close();
    return closed.is_ok() ? Status::ok() : Status(as_wal_recovery(closed.error()));
  }
  // The caller is told the edge failed: cut the record off again, so that the next replay does
  // not add it behind the caller's back. When that fails too, the next append cuts it first,
  // whether it is whole or not.
  if (!cut_back(*fd, before, path_).is_ok()) tail_.failed_at = before;
  return as_wal_recovery(st.error());
}

Result<std::vector<TraceRecord>> TraceWal::replay() const {
  auto fd = open_read(path_);
  if (!fd.is_ok()) return as_wal_recovery(fd.error());
  auto size = fd_size(*fd);
  if (!size.is_ok()) return as_wal_recovery(size.error());
  std::vector<TraceRecord> records;
  records.reserve(static_cast<size_t>(std::min<uint64_t>(*size / TRACE_RECORD_SIZE, 1u << 20)));
  scan_records(*fd, *size, [&](const TraceRecord& r) { records.push_back(r); });
  return records;
}

Status TraceWal::sync() const {
  QM_ASSIGN_OR_RETURN(UniqueFd fd, open_write(path_));
  QM_RETURN_IF_ERROR(full_sync(fd, path_));
  return fd.close();
}

Result<uint64_t> rebuild_trace_graph(const TraceWal& wal, TraceGraph& graph) {
  graph.clear();
  QM_ASSIGN_OR_RETURN(std::vector<TraceRecord> records, wal.replay());
  for (const TraceRecord& r : records) {
    if (r.edge_type >= EDGE_TYPE_ANY) continue;
    graph.add_edge(r.from, r.to, static_cast<EdgeType>(r.edge_type), r.created_at);
  }
  return static_cast<uint64_t>(records.size());
}

}  // namespace quellmar
