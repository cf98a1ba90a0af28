#include "quellmar/core/file_names.h"

#include <cstdio>
#include <string>
#include <string_view>

namespace quellmar {

namespace {

constexpr std::string_view SEGMENT_PREFIX = "segment_";
constexpr std::string_view SEGMENT_SUFFIX = ".qmr";

}  // namespace

std::string segment_file_name(uint32_t id) {
  char digits[16];
  std::snprintf(digits, sizeof digits, "%06u", id);
  std::string out(SEGMENT_PREFIX);
  out += digits;
  out += SEGMENT_SUFFIX;
  return out;
}

bool parse_segment_file_name(std::string_view name, uint32_t& id) {
  if (name.size() <= SEGMENT_PREFIX.size() + SEGMENT_SUFFIX.size() ||
      !name.starts_with(SEGMENT_PREFIX) || !name.ends_with(SEGMENT_SUFFIX)) {
    return false;
  }
  std::string_view digits = name.substr(
      SEGMENT_PREFIX.size(), name.size() - SEGMENT_PREFIX.size() - SEGMENT_SUFFIX.size());
  if (!digits.empty() && digits.front() == '+') digits.remove_prefix(1);
  if (digits.empty()) return false;
  uint64_t v = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint64_t>(c - '0');
    if (v > UINT32_MAX) return false;
  }
  id = static_cast<uint32_t>(v);
  return true;
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
