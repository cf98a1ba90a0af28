#include "quellmar/storage/segment_file.h"

#include <fcntl.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <optional>
#include <utility>

#include "quellmar/core/async_sync.h"
#include "quellmar/core/coding.h"
#include "quellmar/core/file_names.h"
#include "quellmar/core/internal_fault.h"
#include "quellmar/core/str_cat.h"
#include "quellmar/storage/segment_format.h"

namespace quellmar {

namespace sf = segment_format;

namespace {

// The window a scan reads the file through.
constexpr size_t SCAN_WINDOW = 256 * 1024;

// Turns where an append landed into record offsets. The offsets come from where the bytes really
// landed, so the location map and the file always agree. A failed append was cut back off the
// file; if even that failed, the segment is sealed.
Result<std::vector<uint64_t>> finish_append(SegmentEntry& entry, Result<uint64_t> at,
                                            bool rolled_back, std::span<const uint64_t> sizes) {
  if (!at.is_ok()) {
    if (!rolled_back) entry.sealed = true;
    return std::move(at).error();
  }
  std::vector<uint64_t> offsets;
  offsets.reserve(sizes.size());
  uint64_t off = *at;
  for (uint64_t s : sizes) {
    offsets.push_back(off);
    off += s;
  }
  entry.fill = off;
  return offsets;
}

// The page size the writeback hints round to (a larger real page only makes them coarser).
constexpr uint64_t PAGE = 4096;

// Encodes records into pieces of at most this size (or one record, when that is larger).
constexpr uint64_t WRITE_PIECE = 1 << 20;

// Appends whole records durably and so that a crash part way leaves no readable part of them:
// everything but the first record's length word is written first, then that word, then the one
// device flush. A scan stops at a zero length word (no record is that short), and the bytes not
// yet written read as zeros, so until the word is in place the file ends, for every reader, where
// it ended before the call. next() gives the records piece by piece, an empty piece after the
// last. With `overlap`, each piece's writeback starts once it is written and the caller's work
// runs as AppendOverlap describes. On a failed write or flush the file is cut back;
// `*rolled_back` tells whether that worked.
Result<uint64_t> append_records(const std::string& path,
                                const std::function<std::string_view()>& next,
                                const AppendOverlap* overlap, bool* rolled_back) {
  *rolled_back = true;
  QM_ASSIGN_OR_RETURN(UniqueFd fd, open_write(path));
  QM_ASSIGN_OR_RETURN(const uint64_t before, fd_size(fd));
  auto write_pieces = [&]() -> Status {
    uint8_t first_word[4];
    bool first = true;
    uint64_t off = before;
    for (std::string_view piece = next(); !piece.empty(); piece = next()) {
      if (first) {
        QM_CHECK(piece.size() >= sizeof first_word);
        std::memcpy(first_word, piece.data(), sizeof first_word);
        QM_RETURN_IF_ERROR(pwrite_all(fd, piece.data() + sizeof first_word,
                                      piece.size() - sizeof first_word, off + sizeof first_word,
                                      path));
        first = false;
      } else {
        QM_RETURN_IF_ERROR(pwrite_all(fd, piece.data(), piece.size(), off, path));
      }
      // The device starts writing the piece back while the next one is encoded (the last one's
      // too: the flush starts later than this), all but the page of the first length word, which
      // is written again at the end. Only a hint: the flush reports any failure.
      if (overlap) {
        const uint64_t from = std::max(off, (before + sizeof first_word + PAGE - 1) & ~(PAGE - 1));
        const uint64_t to = off + piece.size();
        if (from < to) {
          (void)::sync_file_range(fd.get(), static_cast<off64_t>(from),
                                  static_cast<off64_t>(to - from), SYNC_FILE_RANGE_WRITE);
        }
      }
      off += piece.size();
    }
    if (first) return Status::ok();  // nothing to write
    if (overlap && overlap->before_showing) QM_RETURN_IF_ERROR(overlap->before_showing());
    QM_RETURN_IF_ERROR(pwrite_all(fd, first_word, sizeof first_word, before, path));
    if (overlap && overlap->while_flushing) {
      AsyncSync sync(fd, path);
      overlap->while_flushing();
      QM_RETURN_IF_ERROR(sync.wait());
    } else {
      QM_RETURN_IF_ERROR(full_sync(fd, path));
    }
    return fd.close();
  };
  Status st;
  try {
    st = write_pieces();
  } catch (...) {
    // An encoding or a caller's step that throws (an allocation that failed) ends the append
    // before its records were shown: its bytes are cut back off the file all the same.
    if (fd.valid() && !cut_back(fd, before, path).is_ok()) *rolled_back = false;
    throw;
  }
  if (st.is_ok()) return before;
  *rolled_back = fd.valid() && cut_back(fd, before, path).is_ok();
  return std::move(st).error();
}

// append_records into the segment; when an exception ends it and its bytes could not be cut
// back, the segment is sealed, since they lie where the next append would go.
Result<uint64_t> append_to(SegmentEntry& entry, const std::function<std::string_view()>& next,
                           const AppendOverlap* overlap, bool* rolled_back) {
  try {
    return append_records(entry.path, next, overlap, rolled_back);
  } catch (...) {
    if (!*rolled_back) entry.sealed = true;
    throw;
  }
}

// Whether a record that runs past the end of the file, of which the file holds the first `have`
// bytes (4 at least), could be a write of this system that never completed: its length word is
// one the encoder writes (87 + 20 per group of 32 key or value floats, a 4-byte scale and 16
// bytes of codes, + 4 per extra value), and when the file holds its fixed part, the counts there
// agree with that length. Anything else (a length byte flipped, garbage
// behind the last record) is damage and is never cut off.
bool could_be_torn(const uint8_t* p, size_t have) {
  const uint32_t body_len = decode_u32(p);
  if (body_len < sf::MIN_BODY_LEN || (body_len - sf::MIN_BODY_LEN) % 4 != 0) return false;
  return have < sf::FIXED_SIZE || fixed_part_agrees(p);
}

// Writes the 8-byte header at the start of a file just opened for writing.
Status write_header_to(const UniqueFd& fd, const std::string& path) {
  uint8_t header[sf::HEADER_SIZE];
  std::memcpy(header, sf::MAGIC, 4);
  encode_u32(header + 4, sf::VERSION);
  return write_all(fd, header, sizeof header, path);
}

// Creates or truncates the file and writes the 8-byte header; returns the open descriptor.
Result<UniqueFd> write_header(const std::string& path) {
  QM_ASSIGN_OR_RETURN(UniqueFd fd, open_truncate(path));
  QM_RETURN_IF_ERROR(write_header_to(fd, path));
  return fd;
}

// The scan of SegmentFile::scan, of the segment at `path`.
Result<SegmentScan> scan_file(const std::string& path, const SegmentFile::RecordVisitor* visit,
                              uint64_t from);

}  // namespace

Result<std::vector<uint32_t>> SegmentFile::list_ids(const std::string& dir) {
  QM_ASSIGN_OR_RETURN(std::vector<std::string> names, list_dir(dir));
  std::vector<std::pair<uint32_t, std::string>> found;
  for (std::string& name : names) {
    uint32_t id;
    if (parse_segment_file_name(name, id)) found.emplace_back(id, std::move(name));
  }
  std::sort(found.begin(), found.end());
  std::vector<uint32_t> ids;
  ids.reserve(found.size());
  for (size_t i = 0; i < found.size(); ++i) {
    // Two names of one id ("segment_5.qmr" beside "segment_000005.qmr") would be one segment
    // listed twice, its records moved and deleted twice by compaction: such a directory is
    // refused, and neither file is touched.
    if (i > 0 && found[i].first == found[i - 1].first) {
      return EngineError::io(IoError::invalid_data(
          str_cat("two segment files name segment ", found[i].first, ": ", found[i - 1].second,
                  " and ", found[i].second, " in ", dir)));
    }
    ids.push_back(found[i].first);
  }
  return ids;
}

Result<SegmentEntry> SegmentFile::create(const std::string& dir, uint32_t id) {
  SegmentEntry entry{segment_path(dir, id), sf::HEADER_SIZE, id, false, std::nullopt};
  // Never over an existing file: its records would be lost.
  QM_ASSIGN_OR_RETURN(UniqueFd fd, open_create_new(entry.path));
  Status st = write_header_to(fd, entry.path);
  if (st.is_ok()) st = fd.close();
  if (!st.is_ok()) {
    // The file is this call's own and holds no record: removed, so that the next roll-over can
    // create it again.
    (void)fd.close();
    (void)remove_file(entry.path);
    return st;
  }
  return entry;
}

Result<SegmentEntry> SegmentFile::describe_existing(const std::string& dir, uint32_t id) {
  SegmentEntry entry{segment_path(dir, id), 0, id, false, std::nullopt};
  QM_ASSIGN_OR_RETURN(entry.fill, path_size(entry.path));
  return entry;
}

Result<SegmentScan> SegmentFile::scan(const std::string& dir, uint32_t id,
                                      const RecordVisitor* visit) {
  return scan_file(segment_path(dir, id), visit, /*from=*/0);
}

namespace {

// The places of one file that a scan looks at, read through one window. A read that fails sets
// failed(); what it was asked then counts as not found.
class RecordWalk {
 public:
  RecordWalk(FileReader& file, uint64_t size) : file_(file), size_(size) {}

  uint64_t size() const { return size_; }
  bool failed() const { return failed_; }

  // The fixed part of the record at `off`, or as much of it as the file holds (*have bytes, 4 at
  // least: the caller checks that the file holds them); null when the read failed. Valid until
  // the next call.
  const uint8_t* fixed_part(uint64_t off, size_t* have) {
    *have = static_cast<size_t>(std::min<uint64_t>(size_ - off, sf::FIXED_SIZE));
    auto head = file_.read(off, *have);
    if (!head.is_ok()) {
      failed_ = true;
      return nullptr;
    }
    return *head;
  }

  // Whether a record as the encoder writes it starts at `off`: its length word agrees with its
  // counts and it lies in the file. Its length (4 + body_len) goes to *len.
  bool whole_record_at(uint64_t off, uint64_t* len) {
    if (off > size_ || size_ - off < sf::FIXED_SIZE) return false;
    size_t have;
    const uint8_t* p = fixed_part(off, &have);
    if (p == nullptr) return false;
    *len = 4 + uint64_t{decode_u32(p)};
    return *len <= size_ - off && fixed_part_agrees(p);
  }

  // Whether a walk may go on at `off`: the end of the file, or a whole record.
  bool place_at(uint64_t off) {
    uint64_t len;
    return off == size_ || whole_record_at(off, &len);
  }

  // Where the walk goes on behind the damaged record at `off` (its fixed part, or what the file
  // holds of it, in `fixed`, `have` bytes), and whether the record itself is located there. The
  // lengths its counts imply come first, then its length word: the first of them behind which a
  // place lies is taken, and the record keeps its cell id (it reads as damaged). When none fits,
  // the next whole record behind which a place lies is searched for byte by byte; the bytes
  // before it are skipped and nothing of them is located. Nothing found: none.
  struct Place {
    uint64_t next = 0;
    bool located = false;
  };
  std::optional<Place> find_place(uint64_t off, const uint8_t* fixed, size_t have) {
    const uint64_t left = size_ - off;
    uint64_t lengths[3];
    size_t n = 0;
    if (have == sf::FIXED_SIZE) {
      const ImpliedLength implied = implied_length(fixed);
      lengths[n++] = implied.from_counts;
      lengths[n++] = implied.from_lengths;
    }
    const uint32_t body_len = decode_u32(fixed);
    if (body_len >= sf::MIN_WALKED_BODY_LEN) lengths[n++] = 4 + uint64_t{body_len};
    for (size_t i = 0; i < n; ++i) {
      if (std::find(lengths, lengths + i, lengths[i]) != lengths + i) continue;
      if (lengths[i] <= left && place_at(off + lengths[i])) return Place{off + lengths[i], true};
      if (failed_) return std::nullopt;
    }
    for (uint64_t p = off + 1; size_ - p >= sf::FIXED_SIZE; ++p) {
      uint64_t len;
      if (whole_record_at(p, &len) && place_at(p + len)) return Place{p, false};
      if (failed_) return std::nullopt;
    }
    return std::nullopt;
  }

  // The offset of no record, for the walk before the first whole record.
  static constexpr uint64_t NO_RECORD = UINT64_MAX;

  // Whether the zero length word at `off` is the first length word of an append that has not
  // shown its records: one that is still being written (the word is written last) or that a crash
  // cut short. Every append writes the records of one write, stored with one write time and
  // consecutive cell ids, and writes them last in the file; so the zero word is taken for that
  // when the records from it to the end of the file are such a run (its last record may be cut
  // short), and the record walked before it is not of the same run (the whole record at `last`,
  // when it ends at `off`). A first record cut short before its fixed part is taken for one too.
  // Anything else is a damaged length word.
  bool unshown_append_at(uint64_t off, uint64_t last) {
    size_t have;
    const uint8_t* p = fixed_part(off, &have);
    if (p == nullptr) return false;
    if (have < sf::FIXED_SIZE) return true;
    if (!counts_agree(p)) return false;
    const CellId first = decode_u64(p + sf::OFF_CELL_ID);
    const uint64_t created = decode_u64(p + sf::OFF_CREATED);
    uint64_t at = off + implied_length(p).from_lengths;
    if (last != NO_RECORD) {
      p = fixed_part(last, &have);
      if (p == nullptr) return false;
      if (last + 4 + decode_u32(p) == off && decode_u64(p + sf::OFF_CREATED) == created &&
          decode_u64(p + sf::OFF_CELL_ID) + 1 == first) {
        return false;
      }
    }
    for (CellId next = first + 1; at < size_; ++next) {
      if (size_ - at < 4) return true;
      p = fixed_part(at, &have);
      if (p == nullptr) return false;
      const uint64_t len = 4 + uint64_t{decode_u32(p)};
      if (len > size_ - at) return could_be_torn(p, have);
      if (have < sf::FIXED_SIZE || !fixed_part_agrees(p) ||
          decode_u64(p + sf::OFF_CELL_ID) != next || decode_u64(p + sf::OFF_CREATED) != created) {
        return false;
      }
      at += len;
    }
    return true;
  }

 private:
  FileReader& file_;
  uint64_t size_;
  bool failed_ = false;
};

Result<SegmentScan> scan_file(const std::string& path, const SegmentFile::RecordVisitor* visit,
                              uint64_t from) {
  QM_ASSIGN_OR_RETURN(FileReader file, FileReader::open(path, SCAN_WINDOW));
  SegmentScan out;
  QM_ASSIGN_OR_RETURN(out.file_size, file.size());
  out.valid_end = sf::HEADER_SIZE;
  if (out.file_size < sf::HEADER_SIZE) {
    out.valid_end = out.file_size;
    out.end = ScanEnd::NoHeader;
    return out;
  }
  // The magic alone: the walk may start far behind it.
  QM_ASSIGN_OR_RETURN(const uint8_t* magic, file.read(0, sizeof sf::MAGIC, 0));
  if (std::memcmp(magic, sf::MAGIC, sizeof sf::MAGIC) != 0) {
    return EngineError::io(IoError::invalid_data(str_cat("invalid segment magic in ", path)));
  }
  if (from < sf::HEADER_SIZE || from > out.file_size) from = sf::HEADER_SIZE;
  out.valid_end = from;
  out.records.reserve(static_cast<size_t>(sf::most_records_in(out.file_size - from)));
  RecordWalk walk(file, out.file_size);
  uint64_t last = RecordWalk::NO_RECORD;
  auto locate = [&](CellId id, uint64_t off, uint64_t len) {
    out.records.push_back({id, off, static_cast<uint32_t>(len - 4)});
    if (visit != nullptr) {
      // The whole record lies in the file; it is in the window already unless it crosses the
      // window's end.
      auto whole = file.read(off, static_cast<size_t>(len));
      if (whole.is_ok()) (*visit)(off, std::span<const uint8_t>(*whole, static_cast<size_t>(len)));
    }
  };
  uint64_t off = from;
  while (off < out.file_size) {
    const uint64_t left = out.file_size - off;
    if (left < 4) {  // a length word cut short
      out.end = ScanEnd::TornTail;
      break;
    }
    size_t have;
    const uint8_t* head = walk.fixed_part(off, &have);
    if (head == nullptr) {
      out.end = ScanEnd::ReadError;
      break;
    }
    const uint64_t len = 4 + uint64_t{decode_u32(head)};
    if (have == sf::FIXED_SIZE && len <= left && fixed_part_agrees(head)) {
      locate(decode_u64(head + sf::OFF_CELL_ID), off, len);
      last = off;
      off += len;
      out.valid_end = off;
      continue;
    }
    // Only what could be the last write, never completed or not yet shown, ends the walk as a
    // tail; any other record that is not whole is damaged, and the walk looks for its place
    // again behind it.
    if (len > left && could_be_torn(head, have)) {
      out.end = ScanEnd::TornTail;
      break;
    }
    uint8_t fixed[sf::FIXED_SIZE];
    std::memcpy(fixed, head, have);
    if (len == 4) {
      const bool unshown = walk.unshown_append_at(off, last);
      if (walk.failed()) {
        out.end = ScanEnd::ReadError;
        break;
      }
      if (unshown) {
        out.end = ScanEnd::Unshown;
        break;
      }
    }
    const std::optional<RecordWalk::Place> place = walk.find_place(off, fixed, have);
    if (walk.failed()) {
      out.end = ScanEnd::ReadError;
      break;
    }
    if (!place) {
      out.end = ScanEnd::Damaged;
      break;
    }
    out.skipped_damage = true;
    if (place->located) locate(decode_u64(fixed + sf::OFF_CELL_ID), off, place->next - off);
    last = RecordWalk::NO_RECORD;
    off = place->next;
    out.valid_end = off;
  }
  return out;
}

}  // namespace

Status SegmentFile::prepare_for_append(SegmentEntry& entry, const SegmentScan& scan) {
  switch (scan.end) {
    case ScanEnd::NoHeader: {
      QM_RETURN_IF_ERROR(preserve_tail(entry.path, 0).status());
      QM_ASSIGN_OR_RETURN(UniqueFd fd, write_header(entry.path));
      QM_RETURN_IF_ERROR(full_sync(fd, entry.path));
      QM_RETURN_IF_ERROR(fd.close());
      entry.fill = sf::HEADER_SIZE;
      return Status::ok();
    }
    case ScanEnd::TornTail:
    case ScanEnd::Unshown: {
      QM_RETURN_IF_ERROR(cut_preserving(entry.path, scan.valid_end).status());
      entry.fill = scan.valid_end;
      return Status::ok();
    }
    case ScanEnd::Damaged:
    case ScanEnd::ReadError:
      entry.sealed = true;
      return Status::ok();
    case ScanEnd::Clean:
      return Status::ok();
  }
  return Status::ok();
}

void SegmentFile::note_scan(SegmentEntry& entry, const SegmentScan& scan) {
  switch (scan.end) {
    case ScanEnd::NoHeader:
      entry.tail_at = scan.valid_end;
      entry.fill = sf::HEADER_SIZE;
      return;
    case ScanEnd::TornTail:
    case ScanEnd::Unshown:
      entry.tail_at = scan.valid_end;
      entry.fill = scan.valid_end;
      return;
    case ScanEnd::Damaged:
    case ScanEnd::ReadError:
      entry.sealed = true;
      return;
    case ScanEnd::Clean:
      return;
  }
}

Status SegmentFile::repair_tail(SegmentEntry& entry) {
  if (!entry.tail_at) return Status::ok();
  QM_ASSIGN_OR_RETURN(SegmentScan now, scan_file(entry.path, nullptr, *entry.tail_at));
  QM_RETURN_IF_ERROR(prepare_for_append(entry, now));
  // The tail may have become whole since: the next record goes behind it.
  if (now.end == ScanEnd::Clean) entry.fill = now.file_size;
  entry.tail_at.reset();
  return Status::ok();
}

Result<uint64_t> SegmentFile::append_one(SegmentEntry& entry, const CellRecord& record,
                                         std::string& scratch) {
  const CellRecordView view = record.view();
  QM_ASSIGN_OR_RETURN(std::vector<uint64_t> offsets,
                      append_views(entry, std::span<const CellRecordView>(&view, 1), scratch));
  return offsets.front();
}

Result<std::vector<uint64_t>> SegmentFile::append_batch(SegmentEntry& entry,
                                                        std::span<const CellRecord> records,
                                                        std::string& scratch) {
  std::vector<CellRecordView> views;
  views.reserve(records.size());
  for (const CellRecord& r : records) views.push_back(r.view());
  return append_views(entry, views, scratch);
}

void SegmentFile::make_room_to_encode(std::span<const CellRecordView> records,
                                      std::string& scratch) {
  // The largest piece append_views writes: one record, or as many as WRITE_PIECE holds.
  uint64_t largest = 0, piece = 0;
  for (const CellRecordView& r : records) {
    auto size = r.encoded_size();
    if (!size.is_ok()) return;  // the append refuses it before encoding anything
    piece = piece != 0 && piece + *size <= WRITE_PIECE ? piece + *size : *size;
    largest = std::max(largest, piece);
  }
  if (scratch.size() < largest) scratch.resize(static_cast<size_t>(largest));
}

Result<std::vector<uint64_t>> SegmentFile::append_views(SegmentEntry& entry,
                                                        std::span<const CellRecordView> records,
                                                        std::string& scratch,
                                                        const AppendOverlap* overlap) {
  if (records.empty()) return std::vector<uint64_t>{};
  // Every size first: a record too large to encode fails the call before anything is written.
  std::vector<uint64_t> sizes;
  sizes.reserve(records.size());
  for (const CellRecordView& r : records) {
    QM_ASSIGN_OR_RETURN(uint64_t s, r.encoded_size());
    sizes.push_back(s);
  }
  size_t i = 0;
  auto next = [&]() -> std::string_view {
    uint64_t bytes = 0;
    size_t end = i;
    while (end < records.size() && (end == i || bytes + sizes[end] <= WRITE_PIECE)) {
      bytes += sizes[end++];
    }
    // The buffer only grows, so that its bytes are not cleared again for every piece.
    if (scratch.size() < bytes) scratch.resize(bytes);
    uint8_t* out = reinterpret_cast<uint8_t*>(scratch.data());
    // Records of one pack share their key: it is quantized once per piece.
    std::span<const float> last_key;
    const uint8_t* last_key_stored = nullptr;
    for (; i < end; ++i) {
      CellRecordView r = records[i];
      if (r.key_stored == nullptr && last_key_stored != nullptr &&
          r.key.data() == last_key.data() && r.key.size() == last_key.size()) {
        r.key_stored = last_key_stored;
      }
      r.encode_to(out);
      last_key = r.key;
      last_key_stored = out + sf::FIXED_SIZE;
      out += sizes[i];
    }
    return std::string_view(scratch.data(), bytes);
  };
  bool rolled_back = true;
  auto at = append_to(entry, next, overlap, &rolled_back);
  return finish_append(entry, std::move(at), rolled_back, sizes);
}

Result<std::vector<uint64_t>> SegmentFile::append_encoded(SegmentEntry& entry,
                                                          const std::string& bytes,
                                                          std::span<const uint64_t> sizes) {
  if (sizes.empty()) return std::vector<uint64_t>{};
  bool rolled_back = true;
  bool given = false;
  auto next = [&]() -> std::string_view {
    if (given) return {};
    given = true;
    return bytes;
  };
  auto at = append_to(entry, next, nullptr, &rolled_back);
  return finish_append(entry, std::move(at), rolled_back, sizes);
}

Result<SegmentReader> SegmentReader::open(const std::string& path) {
  QM_ASSIGN_OR_RETURN(FileReader file, FileReader::open(path, READ_AHEAD_CAP));
  return SegmentReader(std::move(file), path);
}

Result<std::span<const uint8_t>> SegmentReader::stored_bytes(uint64_t offset,
                                                             uint64_t read_ahead_to) {
  static constexpr uint64_t FIRST_READ = 4096;
  auto record_length = [](std::span<const uint8_t> bytes) {
    return 4 + uint64_t{decode_u32(bytes.data())};
  };
  std::span<const uint8_t> bytes = file_.held(offset);
  if (bytes.size() >= 4 && record_length(bytes) <= bytes.size()) {
    return bytes.first(static_cast<size_t>(record_length(bytes)));
  }
  uint64_t want = FIRST_READ;
  if (read_ahead_to > offset) want = std::clamp(read_ahead_to - offset, FIRST_READ, READ_AHEAD_CAP);
  QM_ASSIGN_OR_RETURN(bytes, file_.read_some(offset, static_cast<size_t>(want), 0));
  if (bytes.size() < 4) return EngineError::io(IoError::unexpected_eof());
  const uint64_t total = record_length(bytes);
  if (total <= bytes.size()) return bytes.first(static_cast<size_t>(total));
  // A length word that its counts do not agree with is damage: the fixed part alone goes to the
  // decode, which reports it.
  if (bytes.size() >= sf::FIXED_SIZE && !fixed_part_agrees(bytes.data())) {
    return bytes.first(sf::FIXED_SIZE);
  }
  // A short first read means the file ended.
  if (bytes.size() < want) return EngineError::io(IoError::unexpected_eof());
  QM_ASSIGN_OR_RETURN(const uint8_t* whole, file_.read(offset, static_cast<size_t>(total), 0));
  return std::span<const uint8_t>(whole, static_cast<size_t>(total));
}

Status SegmentReader::read(uint64_t offset, DecodeParts parts, CellRecord& out,
                           uint64_t read_ahead_to) {
  QM_ASSIGN_OR_RETURN(std::span<const uint8_t> bytes, stored_bytes(offset, read_ahead_to));
  return decode_cell_record(bytes.data(), bytes.size(), parts, out, path_, offset);
}

Status SegmentReader::read_encoded(uint64_t offset, std::string& out, uint64_t read_ahead_to,
                                   bool check_fields) {
  QM_ASSIGN_OR_RETURN(std::span<const uint8_t> bytes, stored_bytes(offset, read_ahead_to));
  QM_RETURN_IF_ERROR(check_fields ? check_cell_record(bytes.data(), bytes.size(), path_, offset)
                                  : check_record_header(bytes.data(), bytes.size(), path_, offset));
  out.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  return Status::ok();
}

Result<CellRecord> decode_cell(const SegmentEntry& entry, uint64_t offset) {
  QM_ASSIGN_OR_RETURN(SegmentReader reader, SegmentReader::open(entry.path));
  CellRecord record;
  QM_RETURN_IF_ERROR(reader.read(offset, DecodeParts::All, record));
  return record;
}

}  // namespace quellmar
