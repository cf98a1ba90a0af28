#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <span>
#include <string>
#include <unordered_set>
#include <vector>

#include "quellmar/core/result.h"
#include "quellmar/storage/cell_record.h"
#include "quellmar/storage/location_map.h"
#include "quellmar/storage/segment_file.h"

namespace quellmar {

struct CompactionReport {
  uint64_t segments_compacted = 0;
  uint64_t cells_moved = 0;
  uint64_t bytes_reclaimed = 0;
};

// The cell store of an engine: append-only segment files in one directory and an ordered map from
// each stored cell id to its record (the location map). New records go to the last segment, which
// rolls over to a new file once it holds `capacity` bytes. No file is held open between calls.
//
// Not thread-safe: the engine calls it under its own lock.
class BlockPool {
 public:
  static constexpr uint64_t DEFAULT_CAPACITY = 268435456;  // 256 MiB

  // Creates the directory if needed and scans every segment (a cell stored twice is found at its
  // later record). Nothing of the files changes: what the last segment needs before it can be
  // appended to (a torn tail cut, a lost header written) is done by the first append.
  static Result<BlockPool> open(const std::string& dir, uint64_t capacity);
  // The bytes of one record found by the open's scan: its segment, offset and whole record.
  using ScannedRecordVisitor =
      std::function<void(uint32_t segment, uint64_t offset, std::span<const uint8_t> record)>;
  // The same, handing each record found to `visit` as the scan reads it, in file order (segment
  // by segment). A record that could not be handed over whole is left out; the caller can tell
  // by comparing what it got against locations(). `expect`, when given, first learns how many
  // records to make room for (segment_format::most_records_in of the files' size).
  static Result<BlockPool> open(const std::string& dir, uint64_t capacity,
                                const ScannedRecordVisitor& visit,
                                const std::function<void(size_t records)>& expect = nullptr);

  // Adds segments and cells that appeared in the directory since the pool was opened; known
  // locations never move.
  Status refresh();

  Result<const SegmentEntry*> active_segment() const;
  // Repairs the tail of the active segment when its open left one (SegmentFile::repair_tail),
  // then starts a new segment when the active one is full (or sealed). Every append calls it
  // first.
  Status roll_segment();

  // Stores one record durably (one full device flush) and returns its cell id.
  Result<CellId> append(const CellRecord& record);
  // Stores records durably in one segment with one full device flush; ids in input order.
  Result<std::vector<CellId>> append_batch(std::span<const CellRecord> records);
  // The same for records whose vectors the caller keeps; with `overlap`, as a batch whose
  // caller works while the device does (see AppendOverlap). The records' locations are known
  // only once the call returns.
  Status append_views(std::span<const CellRecordView> records,
                      const AppendOverlap* overlap = nullptr);
  // Room for the locations of `records` more records, so that storing them copies nothing; the
  // room grows geometrically.
  void make_room(size_t records);
  // Room to encode these records, so that appending them allocates no buffer in proportion to
  // their size.
  void make_room_to_encode(std::span<const CellRecordView> records) {
    SegmentFile::make_room_to_encode(records, scratch_);
  }

  Result<CellRecord> read_cell(CellId id) const;
  // Reads several cells, opening each segment file once: out[i] is the record of ids[i] when
  // the returned status i is ok (CellNotFound for an id without a record).
  std::vector<Status> read_cells(std::span<const CellId> ids, DecodeParts parts,
                                 std::vector<CellRecord>& out) const;
  // The records of several cells as stored (length word first), read as read_cells reads them and
  // checked to decode without failure: each is appended to `bytes`, at[i] being where the record
  // of ids[i] starts there when the returned status i is ok.
  std::vector<Status> read_encoded_cells(std::span<const CellId> ids, std::string& bytes,
                                         std::vector<size_t>& at) const;
  // Visits every stored cell in ascending cell-id order, opening each segment file once.
  Status for_each_cell(DecodeParts parts,
                       const std::function<void(const CellRecord&)>& visit) const;

  // Decodes every stored cell once: each segment is read front to back in large chunks, and
  // visit(i, record) gets i, the position of the record's cell id among all ids in ascending
  // order (the order of locations()). A record that cannot be read calls fail(i, error) instead.
  void read_all(DecodeParts parts, const std::function<void(size_t, CellRecord&)>& visit,
                const std::function<void(size_t, const EngineError&)>& fail) const;
  // The same, also handing the visitor the record's encoded bytes (valid during the call).
  void read_all(DecodeParts parts,
                const std::function<void(size_t, CellRecord&, std::span<const uint8_t>)>& visit,
                const std::function<void(size_t, const EngineError&)>& fail) const;

  // Rewrites every non-active segment in which fewer than half of the records are live: its live
  // records are copied, byte for byte, to the active segment and the file is deleted. Every live
  // record to move is read and checked first, so a failed read changes nothing (the first 64 MiB
  // of them are kept from that read; a victim beyond is read again as it moves, and a failure
  // then leaves the victims moved so far moved and every file in place). A segment with a damaged
  // live record (one that would not decode), or with bytes its scan could not walk, stays as it
  // is.
  Result<CompactionReport> compact(const std::unordered_set<CellId>& live);

  const std::string& dir() const { return dir_; }
  uint64_t capacity() const { return capacity_; }
  const std::vector<SegmentEntry>& segments() const { return segments_; }
  const LocationMap& locations() const { return locations_; }
  size_t cell_count() const { return locations_.size(); }
  bool contains(CellId id) const { return locations_.count(id) != 0; }

 private:
  BlockPool(std::string dir, uint64_t capacity) : dir_(std::move(dir)), capacity_(capacity) {}
  const SegmentEntry* find_segment(uint32_t id) const;
  // Where a cell's record is (null without one).
  const CellLocation* locate(CellId id) const;
  // The visiting order of read_cells: read(i, reader, offset, read_ahead_to) for each of `ids`
  // with a location, in order; status i is its result, or why the cell could not be reached.
  template <class Read>
  std::vector<Status> read_each(std::span<const CellId> ids, Read read) const;
  SegmentEntry& active();

  std::string dir_;
  uint64_t capacity_;
  std::vector<SegmentEntry> segments_;
  LocationMap locations_;
  // Per segment id, the file size its last full scan saw, when that scan ended settled (at the
  // end of the file, or at damage). A refresh skips a segment that still has that size, since its
  // scan could only find the same records again, unless locations were dropped since
  // (compaction), which a rescan could fill again. A scan that ended at a torn tail or at an
  // append not yet shown is not noted: the write may complete at that size.
  std::map<uint32_t, uint64_t> scanned_size_;
  // Encoding buffer of the appends, kept so that large batches do not fault in fresh pages.
  std::string scratch_;
};

}  // namespace quellmar
