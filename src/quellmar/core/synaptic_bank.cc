#include "quellmar/core/synaptic_bank.h"

#include <cstring>

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

// Walks the records of an open file of `size` bytes from `from` (the start of a record) and
// returns where the last whole one ends, handing each one long enough for its fixed fields to
// `index` (when given), or the failure of a read.
Result<uint64_t> walk_records(const UniqueFd& fd, uint64_t from, uint64_t size,
                              std::vector<SynapticBank::IndexEntry>* index) {
  uint64_t off = from;
  while (off + 4 <= size) {
    uint8_t head[20];
    QM_RETURN_IF_ERROR(pread_some(fd, head, sizeof head, off).status());
    const uint64_t body = decode_u32(head);
    if (off + 4 + body > size) break;  // torn last record
    // A record too short for its fixed fields is damaged: it is not indexed, and the walk goes on
    // behind it.
    if (index != nullptr && body >= SynapticBank::FIXED_BODY) {
      index->push_back({decode_u64(head + 4), decode_u64(head + 12), off});
    }
    off += 4 + body;
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
