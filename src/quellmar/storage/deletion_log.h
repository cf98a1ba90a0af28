#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_set>

#include "quellmar/core/result.h"
#include "quellmar/core/types.h"

namespace quellmar {

// deletion_log.bin: no header; one u64 little-endian pack id per deletion.
class DeletionLog {
 public:
  static Result<DeletionLog> open(const std::string& dir);

  // Stores the id durably, then adds it to the set. A partial last id the last read found is cut
  // off first (kept in a file of its own), so that later ids stay aligned.
  Status append(PackId pack);
  // Reads the file again. A partial last id (one another handle is writing, or one a crash cut
  // short) is left as it is.
  Status reload();

  bool contains(PackId pack) const { return deleted_.count(pack) != 0; }
  const std::unordered_set<PackId>& deleted() const { return deleted_; }
  const std::string& path() const { return path_; }

 private:
  explicit DeletionLog(std::string path) : path_(std::move(path)) {}

  std::string path_;
  std::unordered_set<PackId> deleted_;
  // Where the whole ids end, when the last read found a partial one behind them.
  std::optional<uint64_t> tail_at_;
};

}  // namespace quellmar
