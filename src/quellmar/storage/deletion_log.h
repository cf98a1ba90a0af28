#pragma once

#include <cstdint>
#include <string>
#include <unordered_set>

#include "quellmar/core/result.h"
#include "quellmar/core/types.h"

namespace quellmar {

// deletion_log.bin: no header; one u64 little-endian pack id per deletion.
class DeletionLog {
 public:
  static Result<DeletionLog> open(const std::string& dir);

  // Stores the id durably, then adds it to the set.
  Status append(PackId pack);
  Status reload();

  bool contains(PackId pack) const { return deleted_.count(pack) != 0; }
  const std::unordered_set<PackId>& deleted() const { return deleted_; }
  const std::string& path() const { return path_; }

 private:
  explicit DeletionLog(std::string path) : path_(std::move(path)) {}

  std::string path_;
  std::unordered_set<PackId> deleted_;
};

}  // namespace quellmar
