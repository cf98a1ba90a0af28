#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "quellmar/core/file_reader.h"
#include "quellmar/core/posix_file.h"
#include "quellmar/core/result.h"
#include "quellmar/storage/cell_record.h"

namespace quellmar {

// The block pool's description of one segment file.
struct SegmentEntry {
  std::string path;
  uint64_t fill = 0;  // bytes the file holds as far as the pool knows: where the next record goes
  uint32_t id = 0;
  // Set when the file's tail can no longer be trusted (a record that could not be rolled back, a
  // damaged record): nothing more is appended to it and the next append starts a new segment.
  bool sealed = false;
  // Set when the open's scan found bytes at the end that it could not walk (a torn last record,
  // a missing or short header): where the walkable part ends. The file is left as it is until
  // the next append repairs it (repair_tail).
  std::optional<uint64_t> tail_at;
};

struct ScannedRecord {
  CellId cell_id = 0;
  uint64_t offset = 0;  // of the record's length word
  // What the walk took the record's length to be, less the length word: its stored body_len,
  // unless the record is damaged.
  uint32_t body_len = 0;
};

// How a scan ended. A damaged record before the end does not end it: the scan finds the place
// where the records go on behind it (see SegmentScan::skipped_damage).
enum class ScanEnd : uint8_t {
  Clean,  // the walk reached the end of the file exactly
  // The last record runs past the end of the file and could be a write of this system that never
  // completed: a length word cut short, or one whose record could be an encoder's (see
  // could_be_torn in the source).
  TornTail,
  // From valid_end on, the file holds the records of one write whose first length word is still
  // zero: an append that is still being written (it writes that word last) or that a crash cut
  // short before it showed its records. None of them is located; like a torn tail, they are left
  // for the handle's own next append, which keeps them in a file of their own and cuts them off.
  Unshown,
  // A damaged record behind which no place to go on could be found: nothing after it is located,
  // and the bytes are left as they are.
  Damaged,
  ReadError,  // a read failed part way
  NoHeader,   // the file is shorter than its 8-byte header
};

struct SegmentScan {
  // In file order. A damaged record is located where its length is known (from its counts, or
  // from its length word where the records go on behind it): it keeps its cell id, and a read of
  // it reports the damage.
  std::vector<ScannedRecord> records;
  uint64_t valid_end = 0;  // where the walk ended (8 when it found nothing)
  uint64_t file_size = 0;
  ScanEnd end = ScanEnd::Clean;
  // Whether the walk went over damage before it ended: a record whose length word or counts are
  // not those the encoder writes, or bytes skipped to find the next record.
  bool skipped_damage = false;
};

// Work of a caller that overlaps an append's device time.
struct AppendOverlap {
  // Runs once, when every byte of the records but the first record's length word is written,
  // before that word: no reader can see any of the records yet, so the caller waits here for
  // what must be durable before they can be seen, while their bytes are already on their way to
  // the device. A failure ends the append, and the bytes written are cut off the file again.
  std::function<Status()> before_showing;
  // Runs while the device flushes the records, after every byte was written and before the
  // outcome is known: work that must not wait for the flush and must show nothing yet.
  std::function<void()> while_flushing;
};

// The file operations on segments. No file stays open between calls, except inside a
// SegmentReader.
class SegmentFile {
 public:
  // Ids of the "segment_<decimal>.qmr" files of a directory, ascending. Two names of one id
  // ("segment_5.qmr" beside "segment_000005.qmr") fail the call with an error naming both.
  static Result<std::vector<uint32_t>> list_ids(const std::string& dir);
  // Creates the segment with its header; fill is 8. An existing file of that name fails the call
  // (EEXIST) and is left as it is.
  static Result<SegmentEntry> create(const std::string& dir, uint32_t id);
  // An existing segment, fill being its size.
  static Result<SegmentEntry> describe_existing(const std::string& dir, uint32_t id);
  // The bytes of one whole record (length word first) at its offset, valid during the call.
  using RecordVisitor = std::function<void(uint64_t offset, std::span<const uint8_t> record)>;
  // The (cell id, offset) of every record, reading only each record's fixed part (its length
  // word, counts and id) as long as the records are whole; behind a damaged record the walk finds
  // its place again (see ScanEnd). With a visitor, each record found is also handed over, in file
  // order, from the same read of the file: its bytes as far as the walk took it to reach (a
  // record whose bytes cannot be read at once is found but not visited).
  static Result<SegmentScan> scan(const std::string& dir, uint32_t id,
                                  const RecordVisitor* visit = nullptr);

  // Appends records durably (one full device flush) and returns their offsets. The first
  // record's length word is written last, so a crash part way leaves none of the records
  // readable: the scan of the next open stops at the zero word and seals the segment. On a
  // failed write or flush the file is cut back to where it was and fill is left there; when even
  // that fails the segment is sealed.
  // `scratch` is the caller's buffer for the encoded pieces, kept between calls.
  static Result<uint64_t> append_one(SegmentEntry& entry, const CellRecord& record,
                                     std::string& scratch);
  static Result<std::vector<uint64_t>> append_batch(SegmentEntry& entry,
                                                    std::span<const CellRecord> records,
                                                    std::string& scratch);
  // With `overlap`, the append is a batch's: the device starts writing pieces back as they are
  // written, and the caller's work runs where it overlaps the device (see AppendOverlap).
  static Result<std::vector<uint64_t>> append_views(SegmentEntry& entry,
                                                    std::span<const CellRecordView> records,
                                                    std::string& scratch,
                                                    const AppendOverlap* overlap = nullptr);
  // Grows `scratch` to what append_views of `records` encodes them in, so that the append
  // allocates no buffer of that size.
  static void make_room_to_encode(std::span<const CellRecordView> records, std::string& scratch);
  // Appends already-encoded records as they are; `sizes` gives each record's length in `bytes`.
  static Result<std::vector<uint64_t>> append_encoded(SegmentEntry& entry, const std::string& bytes,
                                                      std::span<const uint64_t> sizes);

  // Makes a segment safe to append to after a scan: a missing or short header is written again,
  // a torn last record or an append that never showed its records is cut off, and a segment
  // whose walk could not reach its end is sealed. Whatever is cut or written
  // over is first preserved in a file of its own beside the segment (cut_preserving).
  static Status prepare_for_append(SegmentEntry& entry, const SegmentScan& scan);
  // What an open keeps of the scan of the segment it would append to, changing nothing in the
  // file: a damaged segment is sealed, and a torn last record or a missing or short header is
  // noted in `tail_at` (the bytes may be a record or a header that another handle is writing),
  // `fill` being where the next append puts its records once it has repaired them.
  static void note_scan(SegmentEntry& entry, const SegmentScan& scan);
  // The repair an append makes first when `tail_at` is set: the segment is scanned again from
  // there (it may have changed since the open's scan), and prepare_for_append applies to what
  // that scan finds.
  static Status repair_tail(SegmentEntry& entry);
};

// Reads records of one segment through one open descriptor.
class SegmentReader {
 public:
  static Result<SegmentReader> open(const std::string& path);

  // The most a read fetches ahead of the record it was asked for.
  static constexpr uint64_t READ_AHEAD_CAP = 1 << 20;

  // Decodes the record at `offset`. `read_ahead_to` is where the records the caller reads next
  // end, as far as it knows: a read that has to go to the file fetches the bytes up to there
  // with it (at most READ_AHEAD_CAP), and later records inside those bytes need no file access.
  Status read(uint64_t offset, DecodeParts parts, CellRecord& out, uint64_t read_ahead_to = 0);
  // Appends the record at `offset` as stored (4 + body_len bytes) to `out`, after checking that
  // its counts agree with its length (and, with `check_fields`, that it would decode).
  Status read_encoded(uint64_t offset, std::string& out, uint64_t read_ahead_to = 0,
                      bool check_fields = false);
  // The bytes of the record at `offset` as stored, valid until the next read: the whole record,
  // or only its fixed part when its length word runs past the bytes read and does not agree
  // with its counts (damage, which the decode reports: the word never sizes a read). A record
  // that runs past the end of the file is the unexpected-EOF error.
  Result<std::span<const uint8_t>> stored_bytes(uint64_t offset, uint64_t read_ahead_to = 0);

  const std::string& path() const { return path_; }

 private:
  SegmentReader(FileReader file, std::string path) : file_(std::move(file)), path_(std::move(path)) {}

  // The bytes read last stay valid while the reader lives: the file only grows meanwhile.
  FileReader file_;
  std::string path_;
};

// One record by segment and offset: opens, reads and closes the file.
Result<CellRecord> decode_cell(const SegmentEntry& entry, uint64_t offset);

}  // namespace quellmar
