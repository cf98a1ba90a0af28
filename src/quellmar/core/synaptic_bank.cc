#include "quellmar/core/synaptic_bank.h"

#include <algorithm>
#include <cstring>
#include <optional>

#include "quellmar/core/coding.h"
#include "quellmar/core/file_names.h"
#include "quellmar/core/posix_file.h"
#include "quellmar/core/str_cat.h"

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

// The bytes of an open file of `size` bytes, read a window at a time.
class FileWindow {
 public:
  FileWindow(const UniqueFd& fd, uint64_t size) : fd_(fd), size_(size) {}

  // The bytes from `off` on, at least min(n, what the file holds from there) of them, reading
  // `ahead` bytes (at least n) when the window does not hold them. Sets `*got` to how many
  // follow the pointer.
  Result<const uint8_t*> at(uint64_t off, size_t n, size_t ahead, size_t* got) {
    const uint64_t want_end = std::min<uint64_t>(size_, off + n);
    if (off < start_ || want_end > start_ + buf_.size()) {
      const size_t len = static_cast<size_t>(std::min<uint64_t>(size_ - off, std::max(n, ahead)));
      buf_.resize(len);
      QM_ASSIGN_OR_RETURN(const size_t read, pread_some(fd_, buf_.data(), len, off));
      buf_.resize(read);
      start_ = off;
    }
    *got = static_cast<size_t>(start_ + buf_.size() - off);
    return buf_.data() + (off - start_);
  }

 private:
  const UniqueFd& fd_;
  const uint64_t size_;
  uint64_t start_ = 0;
  std::vector<uint8_t> buf_;
};

// What the bytes at one offset say about a record there.
struct HeaderCheck {
  bool whole = false;         // a readable header whose length agrees with its shape, in the file
  bool runs_past = false;     // its length, or too few bytes for one, runs past the end of file
  bool shape_known = false;   // rank and d_model were readable
  bool shape_agrees = false;  // ... and B = 38 + 4 * rank * d_model
  bool shape_fits = false;    // ... and a record of that shape ends inside the file
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
  c.shape_fits = representable && off + SynapticBank::RECORD_HEADER + 4 * values <= size;
  c.whole = c.shape_agrees && !c.runs_past;
  return c;
}

// Whether a record ending at `off` can be followed by what is there: the end of the file, a whole
// record, or the start of one torn by the end of the file.
Result<bool> good_successor(FileWindow& w, uint64_t off, uint64_t size) {
  if (off == size) return true;
  size_t avail = 0;
  QM_ASSIGN_OR_RETURN(const uint8_t* p, w.at(off, WALK_HEADER, WALK_HEADER, &avail));
  const HeaderCheck c = check_header(p, avail, off, size);
  return c.whole || (c.runs_past && (!c.shape_known || c.shape_agrees));
}

// Walks the records of an open file of `size` bytes from `from` (the start of a record), handing
// each whole one to `index` (when given). A record is whole when its length agrees with its own
// shape (B = 38 + 4 * rank * d_model) and it ends inside the file. Where one is not, its length
// cannot be trusted: the walk goes on at the next offset where a whole record starts that is
// followed by another, by the end of the file or by a torn record (the damaged bytes between are
// skipped, not indexed). When there is none, the bytes from the damaged record on are a torn
// final record if its length runs past the end and its shape (when readable) does not say it
// fits (returned: where the whole records end); otherwise a damaged final record, which stays
// (the size is returned). A read failure is returned.
Result<uint64_t> walk_records(const UniqueFd& fd, uint64_t from, uint64_t size,
                              std::vector<SynapticBank::IndexEntry>* index) {
  FileWindow w(fd, size);
  uint64_t off = from;
  while (off < size) {
    size_t avail = 0;
    QM_ASSIGN_OR_RETURN(const uint8_t* p, w.at(off, WALK_HEADER, WALK_HEADER, &avail));
    const HeaderCheck c = check_header(p, avail, off, size);
    if (c.whole) {
      if (index != nullptr) index->push_back({decode_u64(p + 4), decode_u64(p + 12), off});
      off += 4 + c.body;
      continue;
    }
    std::optional<uint64_t> next;
    for (uint64_t x = off + 1; x + SynapticBank::RECORD_HEADER <= size && !next; ++x) {
      QM_ASSIGN_OR_RETURN(const uint8_t* q, w.at(x, WALK_HEADER, SCAN_CHUNK, &avail));
      const HeaderCheck at = check_header(q, avail, x, size);
      if (!at.whole) continue;
      QM_ASSIGN_OR_RETURN(const bool followed, good_successor(w, x + 4 + at.body, size));
      if (followed) next = x;
    }
    if (!next) return c.runs_past && !c.shape_fits ? off : size;
    off = *next;
  }
  return off;
}

}  // namespace

Result<SynapticBank> SynapticBank::open(const std::string& dir) {
  QM_RETURN_IF_ERROR(create_dir_all(dir));
  SynapticBank bank(join_path(dir, SYNAPTIC_FILE));
  {
    QM_ASSIGN_OR_RETURN(UniqueFd created, open_append(bank.path_, /*create=*/true));
    QM_RETURN_IF_ERROR(created.close());
  }
  QM_ASSIGN_OR_RETURN(UniqueFd fd, open_read(bank.path_));
  QM_ASSIGN_OR_RETURN(const uint64_t size, fd_size(fd));
  // A torn tail (or a length that runs past the end after damage) stays as it is: it may be a
  // record another handle is writing. The next append cuts what still does not read then.
  // After a read failure nothing is known about the rest: it is left alone.
  const Result<uint64_t> end = walk_records(fd, 0, size, &bank.index_);
  if (end.is_ok() && *end < size) bank.tail_.readable_end = *end;
  return bank;
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
  // Cut off what still does not read, so that the record lands where the walk of the next open
  // finds it; the bytes cut go to a file of their own first.
  QM_RETURN_IF_ERROR(
      repair_tail(path_, tail_, [](const UniqueFd& fd, uint64_t from, uint64_t size) {
        return walk_records(fd, from, size, nullptr);
      }));
  QM_ASSIGN_OR_RETURN(const uint64_t offset, append_durably(path_, buf.data(), buf.size(),
                                                            /*create=*/false, &tail_.failed_at));
  index_.push_back({e.id, e.owner, offset});
  return Status::ok();
}

Result<std::vector<SynapticEntry>> SynapticBank::load_for_owner(OwnerId owner) const {
  std::vector<SynapticEntry> out;
  std::vector<uint64_t> offsets;
  for (const IndexEntry& ie : index_) {
    if (ie.owner == owner) offsets.push_back(ie.offset);
  }
  if (offsets.empty()) return out;
  QM_ASSIGN_OR_RETURN(UniqueFd fd, open_read(path_));
  QM_ASSIGN_OR_RETURN(const uint64_t size, fd_size(fd));
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
