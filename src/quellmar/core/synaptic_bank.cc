#include "quellmar/core/synaptic_bank.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <span>

#include "quellmar/core/coding.h"
#include "quellmar/core/file_names.h"
#include "quellmar/core/file_reader.h"
#include "quellmar/core/posix_file.h"
#include "quellmar/core/str_cat.h"
#include "quellmar/core/temp_file.h"

namespace quellmar {

namespace {

EngineError damaged_entry(uint64_t offset) {
  return EngineError::io(
      IoError::invalid_data(str_cat("damaged synaptic record at offset ", offset)));
}

// The fields of a record's header that the walk looks at.
constexpr size_t WALK_HEADER = 28;  // B, id, owner, rank, d_model
// How much of the file the walk reads at once while it looks for the next whole record.
constexpr size_t SCAN_CHUNK = 64 * 1024;

// What the bytes at one offset say about a record there.
struct HeaderCheck {
  bool whole = false;         // a readable header whose length agrees with its shape, in the file
  bool runs_past = false;     // its length, or too few bytes for one, runs past the end of file
  bool shape_known = false;   // rank and d_model were readable
  bool shape_agrees = false;  // ... and B = 38 + 4 * rank * d_model
  uint64_t body = 0;
};

HeaderCheck check_header(const uint8_t* p, size_t avail, uint64_t off, uint64_t size) {
  HeaderCheck c;
  if (avail < 4) {
    c.runs_past = true;
    return c;
  }
  c.body = decode_u32(p);
  c.runs_past = off + 4 + c.body > size;
  if (avail < WALK_HEADER) return c;
  c.shape_known = true;
  const uint64_t values = uint64_t{decode_u32(p + 20)} * decode_u32(p + 24);
  const bool representable = values <= (UINT32_MAX - SynapticBank::FIXED_BODY) / 4;
  c.shape_agrees = representable && c.body == SynapticBank::FIXED_BODY + 4 * values;
  c.whole = c.shape_agrees && !c.runs_past;
  return c;
}

// A header whose length agrees with its shape but runs past the end of the file: a torn final
// record (growth would make it whole, so it is never taken for damage).
bool torn(const HeaderCheck& c) { return c.shape_agrees && c.runs_past; }

// Whether a record ending at `off` can be followed by what is there: the end of the file, a whole
// record, or a torn one: a header that agrees with its shape and runs past the end, or one too
// short to say (the walk then takes it for the torn final record, and an append cuts it: a
// header that the file's growth could complete is never taken for damage). Taken from the
// search's window when it holds them, and read on their own otherwise, so that the window stays
// where the search is: at most one small read per candidate, however far its length points.
Result<bool> good_successor(const FileReader& w, const UniqueFd& fd, uint64_t off,
                            uint64_t size) {
  if (off + WALK_HEADER > size) return true;
  const std::span<const uint8_t> in = w.held(off);
  const uint8_t* p = in.data();
  uint8_t head[WALK_HEADER];
  size_t avail = WALK_HEADER;
  if (in.size() < WALK_HEADER) {
    QM_ASSIGN_OR_RETURN(avail, pread_some(fd, head, sizeof head, off));
    p = head;
  }
  const HeaderCheck c = check_header(p, avail, off, size);
  return c.whole || torn(c);
}

struct Walked {
  uint64_t end = 0;      // the size, or where a torn final record starts
  bool damaged = false;  // the walk skipped damaged bytes on the way
};

// A whole record the walk found.
struct FoundRecord {
  SynapticBank::IndexEntry entry;
  uint64_t size;
};

// Walks the records of an open file of `size` bytes from `from` (the start of a record), handing
// each whole one to `found` (when given). A record is whole when its length agrees with its own
// shape (B = 38 + 4 * rank * d_model) and it ends inside the file. Where one is not whole its
// length cannot be trusted: the walk goes on at the next offset where a whole record starts that
// something fit to follow a record follows (see good_successor); the damaged bytes between are
// skipped, not indexed, and the walk says it met damage. A header that agrees with its shape and
// runs past the end, met by the walk, is a torn final record; when the search meets one before
// any whole record, or meets none, the damaged record is the file's last (nothing reads it) and
// the torn final record starts there. A walk without damage looks at no byte past where a torn
// final record starts, so it reads the same once that is cut off and a record appended; a file
// with damage is written afresh before its next append (SynapticBank::repair). A read failure is
// returned.
Result<Walked> walk_records(const UniqueFd& fd, uint64_t from, uint64_t size,
                            std::vector<FoundRecord>* found) {
  FileReader w = FileReader::over(fd, size, SCAN_CHUNK);
  Walked out;
  uint64_t off = from;
  while (off < size) {
    QM_ASSIGN_OR_RETURN(const std::span<const uint8_t> head, w.read_some(off, WALK_HEADER, 0));
    const uint8_t* p = head.data();
    const HeaderCheck c = check_header(p, head.size(), off, size);
    if (torn(c)) break;
    if (c.whole) {
      if (found != nullptr) {
        found->push_back({{decode_u64(p + 4), decode_u64(p + 12), off}, 4 + c.body});
      }
      off += 4 + c.body;
      continue;
    }
    std::optional<uint64_t> next;
    bool torn_behind = false;
    for (uint64_t x = off + 1; x + WALK_HEADER <= size && !next && !torn_behind; ++x) {
      QM_ASSIGN_OR_RETURN(const std::span<const uint8_t> q, w.read_some(x, WALK_HEADER));
      const HeaderCheck at = check_header(q.data(), q.size(), x, size);
      torn_behind = torn(at);
      if (!at.whole) continue;
      QM_ASSIGN_OR_RETURN(const bool followed, good_successor(w, fd, x + 4 + at.body, size));
      if (followed) next = x;
    }
    if (!next) break;
    out.damaged = true;
    off = *next;
  }
  out.end = off;
  return out;
}

}  // namespace

Result<SynapticBank> SynapticBank::open(const std::string& dir) {
  QM_RETURN_IF_ERROR(create_dir_all(dir));
  SynapticBank bank(dir, join_path(dir, SYNAPTIC_FILE));
  {
    QM_ASSIGN_OR_RETURN(UniqueFd created, open_append(bank.path_, /*create=*/true));
    QM_RETURN_IF_ERROR(created.close());
  }
  QM_ASSIGN_OR_RETURN(UniqueFd fd, open_read(bank.path_));
  QM_ASSIGN_OR_RETURN(const uint64_t size, fd_size(fd));
  // After a read failure nothing is known about the rest: the entries found so far are indexed,
  // and the next load or append walks the file again.
  (void)bank.index_file(fd, size);
  return bank;
}

Status SynapticBank::index_file(const UniqueFd& fd, uint64_t size) {
  QM_ASSIGN_OR_RETURN(indexed_, fd_identity(fd));
  index_.clear();
  tail_ = FileTail{};
  damaged_ = false;
  // A torn tail stays as it is: it may be a record another handle is writing. The next append
  // cuts what still does not read then, or writes the file afresh when it holds damage.
  std::vector<FoundRecord> found;
  const Result<Walked> walked = walk_records(fd, 0, size, &found);
  for (const FoundRecord& r : found) index_.push_back(r.entry);
  if (!walked.is_ok()) {
    // Nothing is known about the rest: the next load or append walks the file again, and no
    // append lands behind bytes that may not read.
    indexed_ = FileIdentity{};
    return walked.status();
  }
  if (walked->end < size) tail_.readable_end = walked->end;
  damaged_ = walked->damaged;
  return Status::ok();
}

Status SynapticBank::follow(const UniqueFd& fd, uint64_t size) {
  QM_ASSIGN_OR_RETURN(const FileIdentity now, fd_identity(fd));
  if (now == indexed_) return Status::ok();
  // Another handle wrote the file afresh (a repair of damage): offsets into the old file mean
  // nothing in the new one. What this handle noted about the old file's end went with it.
  if (int err = injected_file_fault(FileOp::Read, path_)) {
    return EngineError::io(IoError::from_errno(err));
  }
  return index_file(fd, size);
}

Status SynapticBank::repair() {
  {
    QM_ASSIGN_OR_RETURN(UniqueFd fd, open_read(path_));
    QM_ASSIGN_OR_RETURN(const uint64_t size, fd_size(fd));
    QM_RETURN_IF_ERROR(follow(fd, size));
  }
  if (!damaged_) {
    return repair_tail(path_, tail_,
                       [](const UniqueFd& fd, uint64_t from, uint64_t size) -> Result<uint64_t> {
                         QM_ASSIGN_OR_RETURN(const Walked w, walk_records(fd, from, size, nullptr));
                         return w.end;
                       });
  }
  // Damage in the middle of the file: the walk found the records behind it by their bytes, and
  // records appended behind them could change what it finds (bytes it looked at past a torn
  // tail would be replaced). So before the next append the file is written afresh with just the
  // whole records: the damaged file is kept whole first, under "synaptic.qmr.cut-0"
  // (cut_file_name), and the new one is written and flushed under a temporary name of this
  // handle's own and renamed over it (replace_preserving), so a crash leaves the old file or the
  // new one. The index follows the new file; a handle that indexed the old one finds the new
  // file by its identity and indexes it again (follow). A failure leaves the damage noted, and
  // the next append tries again. Nothing is written after a failed read.
  QM_RETURN_IF_ERROR(cut_failed_append(path_, tail_));
  QM_ASSIGN_OR_RETURN(UniqueFd src, open_read(path_));
  QM_ASSIGN_OR_RETURN(const uint64_t size, fd_size(src));
  if (int err = injected_file_fault(FileOp::Read, path_)) {
    return EngineError::io(IoError::from_errno(err));
  }
  std::vector<FoundRecord> found;
  QM_ASSIGN_OR_RETURN(const Walked walked, walk_records(src, 0, size, &found));
  if (!walked.damaged && walked.end < size) {
    QM_RETURN_IF_ERROR(cut_preserving(path_, walked.end).status());
  } else if (walked.damaged) {
    std::vector<IndexEntry> index;
    FileIdentity written;
    QM_RETURN_IF_ERROR(replace_preserving(
        dir_, SYNAPTIC_FILE, [&](const UniqueFd& out, const std::string& tmp) -> Status {
          std::vector<char> buf(SCAN_CHUNK);
          uint64_t at = 0;
          for (const FoundRecord& r : found) {
            index.push_back({r.entry.id, r.entry.owner, at});
            for (uint64_t done = 0; done < r.size;) {
              const size_t n = static_cast<size_t>(std::min<uint64_t>(buf.size(), r.size - done));
              QM_RETURN_IF_ERROR(pread_exact(src, buf.data(), n, r.entry.offset + done));
              QM_RETURN_IF_ERROR(write_all(out, buf.data(), n, tmp));
              done += n;
            }
            at += r.size;
          }
          QM_ASSIGN_OR_RETURN(written, fd_identity(out));
          return Status::ok();
        }));
    index_ = std::move(index);
    indexed_ = written;
  }
  tail_.readable_end.reset();
  damaged_ = false;
  return Status::ok();
}

Status SynapticBank::append(const SynapticEntry& e) {
  const uint64_t body = FIXED_BODY + 2 * (uint64_t{e.lora_a.size()} + e.lora_b.size());
  if (body > UINT32_MAX) return EngineError::io(IoError::invalid_input("record too large"));
  std::string buf;
  buf.reserve(4 + body);
  put_u32(buf, static_cast<uint32_t>(body));
  put_u64(buf, e.id);
  put_u64(buf, e.owner);
  put_u32(buf, e.rank);
  put_u32(buf, e.d_model);
  put_u16(buf, e.scale);
  put_u64(buf, e.last_used);
  put_f32(buf, e.quality);
  buf.append(reinterpret_cast<const char*>(e.lora_a.data()), 2 * e.lora_a.size());
  buf.append(reinterpret_cast<const char*>(e.lora_b.data()), 2 * e.lora_b.size());
  // Cut off what still does not read (or write the file afresh, after damage), so that the
  // record lands where the walk of the next open finds it; the bytes cut go to a file of their
  // own first.
  QM_RETURN_IF_ERROR(repair());
  QM_ASSIGN_OR_RETURN(const uint64_t offset, append_durably(path_, buf.data(), buf.size(),
                                                            /*create=*/false, &tail_.failed_at));
  index_.push_back({e.id, e.owner, offset});
  return Status::ok();
}

Result<std::vector<SynapticEntry>> SynapticBank::load_for_owner(OwnerId owner) {
  std::vector<SynapticEntry> out;
  auto of_owner = [&] {
    return std::any_of(index_.begin(), index_.end(),
                       [&](const IndexEntry& ie) { return ie.owner == owner; });
  };
  Result<UniqueFd> opened = open_read(path_);
  if (!opened.is_ok()) {
    if (!of_owner()) return out;
    return std::move(opened).error();
  }
  const UniqueFd fd = std::move(opened).value();
  QM_ASSIGN_OR_RETURN(const uint64_t size, fd_size(fd));
  QM_RETURN_IF_ERROR(follow(fd, size));
  std::vector<uint64_t> offsets;
  for (const IndexEntry& ie : index_) {
    if (ie.owner == owner) offsets.push_back(ie.offset);
  }
  for (uint64_t off : offsets) {
    uint8_t head[RECORD_HEADER];
    QM_RETURN_IF_ERROR(pread_exact(fd, head, sizeof head, off));
    SynapticEntry e;
    const uint64_t body = decode_u32(head);
    e.id = decode_u64(head + 4);
    e.owner = decode_u64(head + 12);
    e.rank = decode_u32(head + 20);
    e.d_model = decode_u32(head + 24);
    e.scale = decode_u16(head + 28);
    e.last_used = decode_u64(head + 30);
    e.quality = decode_f32(head + 38);
    const uint64_t n = uint64_t{e.rank} * e.d_model;
    // The matrices must fit in what the file holds before room is made for them; a record whose
    // length disagrees with its shape is damaged.
    const uint64_t avail = size - std::min(size, off + RECORD_HEADER);
    if (n > avail / 4) return EngineError::io(IoError::unexpected_eof());
    if (body != FIXED_BODY + 4 * n) return damaged_entry(off);
    e.lora_a.resize(n);
    e.lora_b.resize(n);
    QM_RETURN_IF_ERROR(pread_exact(fd, e.lora_a.data(), 2 * n, off + RECORD_HEADER));
    QM_RETURN_IF_ERROR(pread_exact(fd, e.lora_b.data(), 2 * n, off + RECORD_HEADER + 2 * n));
    out.push_back(std::move(e));
  }
  return out;
}

}  // namespace quellmar
