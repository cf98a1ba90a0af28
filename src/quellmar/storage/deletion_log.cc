#include "quellmar/storage/deletion_log.h"

#include "quellmar/core/coding.h"
#include "quellmar/core/file_names.h"
#include "quellmar/core/posix_file.h"

namespace quellmar {

Result<DeletionLog> DeletionLog::open(const std::string& dir) {
  DeletionLog log(join_path(dir, DELETION_LOG_FILE));
  QM_RETURN_IF_ERROR(log.reload());
  return log;
}

Status DeletionLog::reload() {
  std::string bytes;
  QM_ASSIGN_OR_RETURN(const bool present, read_file_if_present(path_, bytes));
  std::unordered_set<PackId> deleted;
  tail_.readable_end.reset();
  if (present) {
    const auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
    const uint64_t whole = bytes.size() / 8 * 8;
    for (uint64_t off = 0; off < whole; off += 8) deleted.insert(decode_u64(p + off));
    if (whole < bytes.size()) tail_.readable_end = whole;
  }
  deleted_ = std::move(deleted);
  return Status::ok();
}

Status DeletionLog::append(PackId pack) {
  uint8_t word[8];
  encode_u64(word, pack);
  // Whole ids are readable wherever the walk starts: only a torn last one is cut.
  QM_RETURN_IF_ERROR(repair_tail(
      path_, tail_,
      [](const UniqueFd&, uint64_t, uint64_t size) -> Result<uint64_t> { return size / 8 * 8; }));
  QM_RETURN_IF_ERROR(
      append_durably(path_, word, sizeof word, /*create=*/true, &tail_.failed_at).status());
  deleted_.insert(pack);
  return Status::ok();
}

}  // namespace quellmar
