#include "quellmar/core/file_names.h"

#include <cstdio>

namespace quellmar {

std::string segment_file_name(uint32_t id) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "segment_%06u.qmr", id);
  return buf;
}

std::string segment_path(const std::string& dir, uint32_t id) {
  return join_path(dir, segment_file_name(id));
}

std::string join_path(const std::string& dir, const std::string& name) {
  if (dir.empty()) return name;
  if (dir.back() == '/') return dir + name;
  return dir + "/" + name;
}

}  // namespace quellmar
