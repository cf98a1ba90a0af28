#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_set>

#include "quellmar/core/posix_file.h"
#include "quellmar/core/result.h"
#include "quellmar/core/types.h"

namespace quellmar {

// deletion_log.bin: no header; one u64 little-endian pack id per deletion.
class DeletionLog {
 public:
  static Result<DeletionLog> open(const std::string& dir);

  // Stores the id durably, then adds it to the set. A partial last id the last read found, and
  // the bytes a failed append could not take back, are cut off first (kept in a file of their
  // own), so that later ids stay aligned.
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
  // What the next append cuts first: a failed append's bytes, and a partial id the last read
  // found behind the whole ones.
  FileTail tail_;
};

}  // namespace quellmar
