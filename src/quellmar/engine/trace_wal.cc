#include "quellmar/engine/trace_wal.h"

#include <algorithm>

#include "quellmar/core/coding.h"
#include "quellmar/core/file_names.h"
#include "quellmar/core/file_reader.h"
#include "quellmar/core/posix_file.h"

namespace quellmar {

namespace {

EngineError as_wal_recovery(const EngineError& e) {
  if (e.code() == EngineError::Code::Io) return EngineError::wal_recovery(e.io_error().text);
  return EngineError::wal_recovery(e.message());
}

// Records per read while scanning: just under 64 KiB.
constexpr size_t SCAN_RECORDS_PER_READ = 2520;
constexpr size_t SCAN_WINDOW = TRACE_RECORD_SIZE * SCAN_RECORDS_PER_READ;

// Decodes the records of an open log of `size` bytes, handing each whole one whose tag is intact
// to `sink`: a damaged tag skips that record alone. A read failure ends the scan.
template <typename Sink>
void scan_records(FileReader& file, uint64_t size, Sink&& sink) {
  const uint64_t whole = size / TRACE_RECORD_SIZE;
  for (uint64_t at = 0; at < whole;) {
    const uint64_t want_records = std::min<uint64_t>(whole - at, SCAN_RECORDS_PER_READ);
    const size_t want = static_cast<size_t>(want_records) * TRACE_RECORD_SIZE;
    auto got = file.read_some(at * TRACE_RECORD_SIZE, want, 0);
    if (!got.is_ok()) return;
    const size_t n = got->size() / TRACE_RECORD_SIZE;
    for (size_t i = 0; i < n; ++i) {
      const uint8_t* p = got->data() + i * TRACE_RECORD_SIZE;
      if (p[TRACE_OFF_TAG] != TRACE_RECORD_TAG) continue;
      sink(TraceRecord{decode_u64(p + TRACE_OFF_FROM), decode_u64(p + TRACE_OFF_TO),
                       p[TRACE_OFF_TYPE], decode_u64(p + TRACE_OFF_CREATED_AT)});
    }
    at += n;
    // The file shrank under the scan: what was read is all there is.
    if (got->size() < want) return;
  }
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
  return TraceWal(std::move(path));
}

Status TraceWal::append(const TraceEdge& edge) {
  auto fd = open_append(path_, /*create=*/false);
  if (!fd.is_ok()) return as_wal_recovery(fd.error());
  auto size = fd_size(*fd);
  if (!size.is_ok()) return as_wal_recovery(size.error());
  if (tail_.failed_at || *size % TRACE_RECORD_SIZE != 0) {
    // The bytes of a failed append that could not be cut back, and a torn final record: both
    // are cut (the records before a torn one are whole whatever they hold, so the walk needs no
    // read). The descriptor appends at the end wherever that is, so the cut may go through a
    // path of its own.
    if (*size % TRACE_RECORD_SIZE != 0) tail_.readable_end = *size - *size % TRACE_RECORD_SIZE;
    Status cut = repair_tail(path_, tail_, [](const UniqueFd&, uint64_t, uint64_t end) {
      return Result<uint64_t>(end - end % TRACE_RECORD_SIZE);
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
  auto file = FileReader::open(path_, SCAN_WINDOW);
  if (!file.is_ok()) return as_wal_recovery(file.error());
  auto size = file->size();
  if (!size.is_ok()) return as_wal_recovery(size.error());
  std::vector<TraceRecord> records;
  records.reserve(static_cast<size_t>(std::min<uint64_t>(*size / TRACE_RECORD_SIZE, 1u << 20)));
  scan_records(*file, *size, [&](const TraceRecord& r) { records.push_back(r); });
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
