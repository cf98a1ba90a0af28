#include "quellmar/storage/block_pool.h"

#include <algorithm>
#include <iterator>
#include <memory>
#include <unordered_map>

#include "quellmar/core/coding.h"
#include "quellmar/core/file_names.h"
#include "quellmar/core/posix_file.h"
#include "quellmar/core/str_cat.h"
#include "quellmar/storage/segment_format.h"

namespace quellmar {

namespace {

// Lazily opened readers, one per segment, for the length of one call.
class ReaderSet {
 public:
  explicit ReaderSet(const BlockPool& pool) : pool_(pool) {}

  Result<SegmentReader*> get(uint32_t segment, CellId id) {
    // The segment read last is the likeliest; calls that read from many segments go through them
    // in order, so the search from the back rarely goes far.
    for (auto it = readers_.rbegin(); it != readers_.rend(); ++it) {
      if (it->first == segment) return it->second.get();
    }
    const SegmentEntry* entry = nullptr;
    for (const SegmentEntry& e : pool_.segments()) {
      if (e.id == segment) entry = &e;
    }
    if (!entry) return EngineError::cell_not_found(id);
    QM_ASSIGN_OR_RETURN(SegmentReader reader, SegmentReader::open(entry->path));
    auto owned = std::make_unique<SegmentReader>(std::move(reader));
    SegmentReader* raw = owned.get();
    readers_.emplace_back(segment, std::move(owned));
    return raw;
  }

 private:
  const BlockPool& pool_;
  std::vector<std::pair<uint32_t, std::unique_ptr<SegmentReader>>> readers_;
};

// Reads the given records of a segment as stored (length word first) into `bytes`, checking that
// each would decode. False when one of them is damaged.
Result<bool> read_live_records(const std::string& path, std::span<const ScannedRecord> records,
                               std::string& bytes) {
  bytes.clear();
  if (records.empty()) return true;
  QM_ASSIGN_OR_RETURN(SegmentReader reader, SegmentReader::open(path));
  const uint64_t end = records.back().offset + 4 + uint64_t{records.back().body_len};
  for (const ScannedRecord& r : records) {
    Status st = reader.read_encoded(r.offset, bytes, end, /*check_fields=*/true);
    if (st.is_ok()) continue;
    if (st.error().code() == EngineError::Code::Io && st.error().io_error().is_damage()) {
      return false;
    }
    return std::move(st).error();
  }
  return true;
}

// Whether another scan of a segment of the same size can only find what this one found: its
// walk reached the end of the file, or stopped at damage that no write of this system leaves (a
// segment that nothing appends to any more). A torn tail or an append that has not shown its
// records may be a write in progress, which completes without changing the file's size: the
// first length word of an append is written last, after every other byte.
bool settled(const SegmentScan& scan) {
  return scan.end == ScanEnd::Clean || scan.end == ScanEnd::Damaged;
}

}  // namespace

Result<BlockPool> BlockPool::open(const std::string& dir, uint64_t capacity) {
  return open(dir, capacity, nullptr);
}

Result<BlockPool> BlockPool::open(const std::string& dir, uint64_t capacity,
                                  const ScannedRecordVisitor& visit,
                                  const std::function<void(size_t records)>& expect) {
  QM_RETURN_IF_ERROR(create_dir_all(dir));
  BlockPool pool(dir, capacity);
  QM_ASSIGN_OR_RETURN(std::vector<uint32_t> ids, SegmentFile::list_ids(dir));
  SegmentScan last_scan;
  std::vector<LocationMap::value_type> found;
  std::vector<SegmentEntry> entries;
  entries.reserve(ids.size());
  uint64_t total = 0;
  for (uint32_t id : ids) {
    QM_ASSIGN_OR_RETURN(SegmentEntry entry, SegmentFile::describe_existing(dir, id));
    total += entry.fill;
    entries.push_back(std::move(entry));
  }
  const size_t most_records = static_cast<size_t>(segment_format::most_records_in(total));
  found.reserve(most_records);
  if (expect) expect(most_records);
  for (size_t k = 0; k < ids.size(); ++k) {
    const uint32_t id = ids[k];
    SegmentEntry entry = std::move(entries[k]);
    const SegmentFile::RecordVisitor in_segment =
        [&](uint64_t offset, std::span<const uint8_t> record) { visit(id, offset, record); };
    QM_ASSIGN_OR_RETURN(SegmentScan scan,
                        SegmentFile::scan(dir, id, visit ? &in_segment : nullptr));
    if (found.capacity() < found.size() + scan.records.size()) {
      found.reserve(found.size() + scan.records.size());
    }
    for (const ScannedRecord& r : scan.records) {
      found.emplace_back(r.cell_id, CellLocation{r.offset, id});
    }
    if (settled(scan)) pool.scanned_size_[id] = scan.file_size;
    pool.segments_.push_back(std::move(entry));
    last_scan = std::move(scan);
  }
  pool.locations_ = LocationMap::from_found(std::move(found));
  if (pool.segments_.empty()) {
    QM_ASSIGN_OR_RETURN(SegmentEntry entry, SegmentFile::create(dir, 0));
    pool.segments_.push_back(std::move(entry));
  } else {
    // Only the last segment is ever appended to: a damaged one is sealed, and a torn tail or a
    // lost header is left for the first append to repair, since it may be a record or a header
    // that another handle is writing.
    SegmentFile::note_scan(pool.segments_.back(), last_scan);
  }
  return pool;
}

Status BlockPool::refresh() {
  QM_ASSIGN_OR_RETURN(std::vector<uint32_t> ids, SegmentFile::list_ids(dir_));
  for (uint32_t id : ids) {
    if (find_segment(id)) continue;
    QM_ASSIGN_OR_RETURN(SegmentEntry entry, SegmentFile::describe_existing(dir_, id));
    segments_.push_back(std::move(entry));
  }
  for (uint32_t id : ids) {
    if (auto it = scanned_size_.find(id); it != scanned_size_.end()) {
      auto size = path_size(segment_path(dir_, id));
      if (size.is_ok() && *size == it->second) continue;
    }
    QM_ASSIGN_OR_RETURN(SegmentScan scan, SegmentFile::scan(dir_, id));
    std::vector<LocationMap::value_type> found;
    found.reserve(scan.records.size());
    for (const ScannedRecord& r : scan.records) {
      found.emplace_back(r.cell_id, CellLocation{r.offset, id});
    }
    locations_.add_missing(found);
    if (settled(scan)) {
      scanned_size_[id] = scan.file_size;
    } else {
      scanned_size_.erase(id);
    }
  }
  return Status::ok();
}

const SegmentEntry* BlockPool::find_segment(uint32_t id) const {
  for (const SegmentEntry& e : segments_) {
    if (e.id == id) return &e;
  }
  return nullptr;
}

Result<const SegmentEntry*> BlockPool::active_segment() const {
  if (segments_.empty()) return EngineError::segment_full(dir_);
  return &segments_.back();
}

SegmentEntry& BlockPool::active() {
  QM_CHECK(!segments_.empty());
  return segments_.back();
}

Status BlockPool::roll_segment() {
  if (segments_.empty()) return Status::ok();
  QM_RETURN_IF_ERROR(SegmentFile::repair_tail(segments_.back()));
  const SegmentEntry& last = segments_.back();
  if (last.fill < capacity_ && !last.sealed) return Status::ok();
  if (last.id == UINT32_MAX) {
    return EngineError::io(IoError::invalid_data(
        str_cat("no segment id after ", last.id, ": cannot start a new segment in ", dir_)));
  }
  QM_ASSIGN_OR_RETURN(SegmentEntry entry, SegmentFile::create(dir_, last.id + 1));
  segments_.push_back(std::move(entry));
  return Status::ok();
}

Result<CellId> BlockPool::append(const CellRecord& record) {
  QM_RETURN_IF_ERROR(roll_segment());
  QM_RETURN_IF_ERROR(active_segment());
  SegmentEntry& seg = active();
  QM_ASSIGN_OR_RETURN(uint64_t offset, SegmentFile::append_one(seg, record, scratch_));
  locations_.assign(record.cell_id, CellLocation{offset, seg.id});
  return record.cell_id;
}

Result<std::vector<CellId>> BlockPool::append_batch(std::span<const CellRecord> records) {
  std::vector<CellRecordView> views;
  views.reserve(records.size());
  for (const CellRecord& r : records) views.push_back(r.view());
  QM_RETURN_IF_ERROR(append_views(views));
  std::vector<CellId> ids;
  ids.reserve(records.size());
  for (const CellRecord& r : records) ids.push_back(r.cell_id);
  return ids;
}

Status BlockPool::append_views(std::span<const CellRecordView> records,
                               const AppendOverlap* overlap) {
  if (records.empty()) return Status::ok();
  QM_RETURN_IF_ERROR(roll_segment());
  QM_RETURN_IF_ERROR(active_segment());
  SegmentEntry& seg = active();
  QM_ASSIGN_OR_RETURN(std::vector<uint64_t> offsets,
                      SegmentFile::append_views(seg, records, scratch_, overlap));
  // Cell ids grow with every write, so a batch's locations usually go at the end of the map.
  for (size_t i = 0; i < records.size(); ++i) {
    locations_.assign(records[i].cell_id, CellLocation{offsets[i], seg.id});
  }
  return Status::ok();
}

void BlockPool::make_room(size_t records) {
  const size_t want = locations_.size() + records;
  if (want > locations_.capacity()) locations_.reserve(std::max(want, 2 * locations_.size()));
}

const CellLocation* BlockPool::locate(CellId id) const {
  auto it = locations_.find(id);
  return it == locations_.end() ? nullptr : &it->second;
}

Result<CellRecord> BlockPool::read_cell(CellId id) const {
  auto it = locations_.find(id);
  if (it == locations_.end()) return EngineError::cell_not_found(id);
  const SegmentEntry* seg = find_segment(it->second.segment);
  if (!seg) return EngineError::cell_not_found(id);
  return decode_cell(*seg, it->second.offset);
}

template <class Read>
std::vector<Status> BlockPool::read_each(std::span<const CellId> ids, Read read) const {
  std::vector<Status> statuses(ids.size());
  std::vector<const CellLocation*> locs(ids.size(), nullptr);
  for (size_t i = 0; i < ids.size(); ++i) locs[i] = locate(ids[i]);
  // A run of records stored close behind each other in one segment (a pack's cells, written in
  // one batch) is read from the file at once: ahead[i] is where the run from i on ends, give or
  // take the last record's length, which the reader then fetches on its own if it must. That
  // length is guessed to be the one before it (a pack's layers are alike), or 4 KiB.
  static constexpr uint64_t RUN_GAP = 16 << 10;
  static constexpr uint64_t LAST_RECORD_GUESS = 4 << 10;
  auto runs_on = [&](size_t i) {
    const CellLocation* after = i + 1 < ids.size() ? locs[i + 1] : nullptr;
    return locs[i] && after && after->segment == locs[i]->segment &&
           after->offset > locs[i]->offset && after->offset - locs[i]->offset <= RUN_GAP;
  };
  std::vector<uint64_t> ahead(ids.size(), 0);
  for (size_t i = ids.size(); i-- > 0;) {
    if (!locs[i]) continue;
    if (runs_on(i)) {
      ahead[i] = ahead[i + 1];
    } else {
      const bool after_one = i > 0 && runs_on(i - 1);
      ahead[i] =
          locs[i]->offset + (after_one ? locs[i]->offset - locs[i - 1]->offset : LAST_RECORD_GUESS);
    }
  }
  ReaderSet readers(*this);
  for (size_t i = 0; i < ids.size(); ++i) {
    if (!locs[i]) {
      statuses[i] = EngineError::cell_not_found(ids[i]);
      continue;
    }
    auto reader = readers.get(locs[i]->segment, ids[i]);
    if (!reader.is_ok()) {
      statuses[i] = std::move(reader).error();
      continue;
    }
    statuses[i] = read(i, **reader, locs[i]->offset, ahead[i]);
  }
  return statuses;
}

std::vector<Status> BlockPool::read_cells(std::span<const CellId> ids, DecodeParts parts,
                                          std::vector<CellRecord>& out) const {
  out.resize(ids.size());
  return read_each(ids, [&](size_t i, SegmentReader& reader, uint64_t offset, uint64_t ahead) {
    return reader.read(offset, parts, out[i], ahead);
  });
}

std::vector<Status> BlockPool::read_encoded_cells(std::span<const CellId> ids, std::string& bytes,
                                                  std::vector<size_t>& at) const {
  at.assign(ids.size(), 0);
  // Room for records of a typical size up front, so that the appends rarely move the bytes.
  bytes.reserve(bytes.size() + ids.size() * 1024);
  return read_each(ids, [&](size_t i, SegmentReader& reader, uint64_t offset, uint64_t ahead) {
    at[i] = bytes.size();
    return reader.read_encoded(offset, bytes, ahead, /*check_fields=*/true);
  });
}

Status BlockPool::for_each_cell(DecodeParts parts,
                                const std::function<void(const CellRecord&)>& visit) const {
  ReaderSet readers(*this);
  CellRecord record;
  for (const auto& [id, loc] : locations_) {
    QM_ASSIGN_OR_RETURN(SegmentReader * reader, readers.get(loc.segment, id));
    QM_RETURN_IF_ERROR(reader->read(loc.offset, parts, record));
    visit(record);
  }
  return Status::ok();
}

void BlockPool::read_all(DecodeParts parts, const std::function<void(size_t, CellRecord&)>& visit,
                         const std::function<void(size_t, const EngineError&)>& fail) const {
  read_all(
      parts, [&](size_t i, CellRecord& r, std::span<const uint8_t>) { visit(i, r); }, fail);
}

void BlockPool::read_all(
    DecodeParts parts,
    const std::function<void(size_t, CellRecord&, std::span<const uint8_t>)>& visit,
    const std::function<void(size_t, const EngineError&)>& fail) const {
  struct Item {
    uint64_t offset;
    size_t index;
    CellId id;
    uint32_t segment;
  };
  // Every record in file order, segment by segment: usually the order of the ids already.
  std::vector<Item> all;
  all.reserve(locations_.size());
  for (const auto& [id, loc] : locations_) all.push_back({loc.offset, all.size(), id, loc.segment});
  auto in_file_order = [](const Item& a, const Item& b) {
    return a.segment != b.segment ? a.segment < b.segment : a.offset < b.offset;
  };
  if (!std::is_sorted(all.begin(), all.end(), in_file_order)) {
    std::sort(all.begin(), all.end(), in_file_order);
  }

  CellRecord record;
  for (size_t first = 0; first < all.size();) {
    const uint32_t segment = all[first].segment;
    size_t end = first;
    while (end < all.size() && all[end].segment == segment) ++end;
    const std::span<const Item> items(all.data() + first, end - first);
    first = end;
    const SegmentEntry* entry = find_segment(segment);
    if (!entry) {
      for (const Item& it : items) fail(it.index, EngineError::cell_not_found(it.id));
      continue;
    }
    auto reader = SegmentReader::open(entry->path);
    if (!reader.is_ok()) {
      for (const Item& it : items) fail(it.index, reader.error());
      continue;
    }
    for (const Item& it : items) {
      // The records go by in file order: every read from the file fetches as far ahead as a
      // reader does (no further than the file holds, so a small segment costs no large buffer),
      // and most records lie whole in what was fetched for one before them.
      auto bytes = reader->stored_bytes(it.offset, entry->fill);
      if (!bytes.is_ok()) {
        fail(it.index, bytes.error());
        continue;
      }
      Status st =
          decode_cell_record(bytes->data(), bytes->size(), parts, record, entry->path, it.offset);
      if (st.is_ok()) {
        visit(it.index, record, *bytes);
      } else {
        fail(it.index, st.error());
      }
    }
  }
}

Result<CompactionReport> BlockPool::compact(const std::unordered_set<CellId>& live) {
  CompactionReport report;
  if (segments_.size() < 2) return report;
  const uint32_t active_id = segments_.back().id;

  struct Victim {
    uint32_t id;
    uint64_t size;
    std::vector<ScannedRecord> live_records;  // in file order
    std::string bytes;  // their records as stored, when kept (empty when read again later)
  };
  // Every live record of every victim is read and checked before the first append, so that a
  // failed read or a damaged record changes nothing. What was read is kept, up to KEPT_BYTES in
  // all; the victims beyond are read again as they move.
  static constexpr uint64_t KEPT_BYTES = 64 << 20;
  uint64_t kept_bytes = 0;
  std::vector<Victim> victims;
  for (const SegmentEntry& seg : segments_) {
    if (seg.id == active_id) continue;
    QM_ASSIGN_OR_RETURN(SegmentScan scan, SegmentFile::scan(dir_, seg.id));
    // A file with bytes the scan could not walk or took for damage (a damaged record, bytes
    // skipped, a torn tail) is never deleted: only what it could locate would move, and the rest
    // would be lost with it.
    if (scan.records.empty() || scan.end != ScanEnd::Clean || scan.skipped_damage) continue;
    Victim v{seg.id, scan.file_size, {}, {}};
    for (const ScannedRecord& r : scan.records) {
      if (live.count(r.cell_id)) v.live_records.push_back(r);
    }
    if (static_cast<double>(v.live_records.size()) / static_cast<double>(scan.records.size()) >=
        0.5) {
      continue;
    }
    // A victim with a damaged live record stays where it is: its file stays, and nothing of it
    // is lost.
    QM_ASSIGN_OR_RETURN(const bool whole, read_live_records(seg.path, v.live_records, v.bytes));
    if (!whole) continue;
    if (kept_bytes + v.bytes.size() <= KEPT_BYTES) {
      kept_bytes += v.bytes.size();
    } else {
      std::string().swap(v.bytes);
    }
    victims.push_back(std::move(v));
  }
  if (victims.empty()) return report;

  std::vector<uint32_t> moved;
  for (Victim& v : victims) {
    if (!v.live_records.empty()) {
      if (v.bytes.empty()) {
        QM_ASSIGN_OR_RETURN(const bool whole,
                            read_live_records(segment_path(dir_, v.id), v.live_records, v.bytes));
        if (!whole) continue;
      }
      std::vector<uint64_t> sizes;
      sizes.reserve(v.live_records.size());
      for (const ScannedRecord& r : v.live_records) sizes.push_back(4 + uint64_t{r.body_len});
      QM_RETURN_IF_ERROR(roll_segment());
      SegmentEntry& seg = active();
      QM_ASSIGN_OR_RETURN(std::vector<uint64_t> offsets,
                          SegmentFile::append_encoded(seg, v.bytes, sizes));
      std::string().swap(v.bytes);
      for (size_t i = 0; i < offsets.size(); ++i) {
        locations_.assign(v.live_records[i].cell_id, CellLocation{offsets[i], seg.id});
      }
      report.cells_moved += offsets.size();
    }
    report.bytes_reclaimed += v.size;
    moved.push_back(v.id);
  }
  if (moved.empty()) return report;

  auto is_moved = [&](uint32_t id) {
    return std::find(moved.begin(), moved.end(), id) != moved.end();
  };
  locations_.erase_if([&](const auto& kv) { return is_moved(kv.second.segment); });
  scanned_size_.clear();

  // A file that is already gone counts as deleted. On another failure the entries of the files
  // deleted so far are dropped all the same, so a later compaction never scans a missing file.
  std::vector<uint32_t> deleted;
  Status failure;
  for (uint32_t id : moved) {
    Status st = remove_file(segment_path(dir_, id));
    if (st.is_ok() || st.error().io_error().is_not_found()) {
      deleted.push_back(id);
    } else {
      failure = std::move(st);
      break;
    }
  }
  std::erase_if(segments_, [&](const SegmentEntry& e) {
    return std::find(deleted.begin(), deleted.end(), e.id) != deleted.end();
  });
  if (!failure.is_ok()) return std::move(failure).error();
  report.segments_compacted = moved.size();
  return report;
}

}  // namespace quellmar
