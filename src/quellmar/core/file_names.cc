#include "quellmar/core/file_names.h"

#include <cstdio>
#include <string>

namespace quellmar {

std::string segment_file_name(uint32_t id) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "segment_%06u.qmr", id);
  return buf;
}

std::string segment_path(const std::string& dir, uint32_t id) {
  return join_path(dir, segment_file_name(id));
}

std::string cut_file_name(const std::string& name, uint64_t offset, unsigned n) {
  std::string out = name + ".cut-" + std::to_string(offset);
  if (n > 0) out += "." + std::to_string(n);
  return out;
}

std::string join_path(const std::string& dir, const std::string& name) {
  if (dir.empty()) return name;
  if (dir.back() == '/') return dir + name;
  return dir + "/" + name;
}

}  // namespace quellmar
