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

std::string temp_file_name(const std::string& name, uint64_t pid, uint64_t n) {
  return name + ".tmp-" + std::to_string(pid) + "-" + std::to_string(n);
}

bool is_temp_file_name_of(std::string_view file, std::string_view name) {
  constexpr std::string_view TAG = ".tmp-";
  if (file.size() <= name.size() + TAG.size() || !file.starts_with(name)) return false;
  std::string_view rest = file.substr(name.size());
  if (!rest.starts_with(TAG)) return false;
  rest.remove_prefix(TAG.size());
  // <pid>-<n>: two runs of digits.
  const size_t dash = rest.find('-');
  if (dash == std::string_view::npos || dash == 0 || dash + 1 == rest.size()) return false;
  for (size_t i = 0; i < rest.size(); ++i) {
    if (i != dash && (rest[i] < '0' || rest[i] > '9')) return false;
  }
  return true;
}

bool is_temp_file_name(std::string_view file) {
  if (file == LEGACY_VAMANA_TMP_FILE || file == SCHEDULE_TMP_FILE) return true;
  const size_t tag = file.rfind(".tmp-");
  return tag != std::string_view::npos && tag > 0 &&
         is_temp_file_name_of(file, file.substr(0, tag));
}

std::string join_path(const std::string& dir, const std::string& name) {
  if (dir.empty()) return name;
  if (dir.back() == '/') return dir + name;
  return dir + "/" + name;
}

}  // namespace quellmar
