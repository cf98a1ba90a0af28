#include "quellmar/engine/checkpoint.h"

#include <sys/stat.h>

#include <algorithm>

#include "quellmar/core/file_names.h"
#include "quellmar/core/posix_file.h"
#include "quellmar/core/quote.h"
#include "quellmar/core/str_cat.h"

namespace quellmar {

namespace {

// Length of the valid UTF-8 sequence at s[i], or 0 when none starts there.
size_t utf8_sequence(std::string_view s, size_t i) {
  auto at = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  unsigned char c = at(i);
  if (c < 0x80) return 1;
  size_t n;
  uint32_t cp;
  if (c >= 0xC2 && c <= 0xDF) {
    n = 2;
    cp = c & 0x1F;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3;
    cp = c & 0x0F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4;
    cp = c & 0x07;
  } else {
    return 0;
  }
  if (i + n > s.size()) return 0;
  for (size_t k = 1; k < n; ++k) {
    if ((at(i + k) & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (at(i + k) & 0x3F);
  }
  bool overlong = (n == 3 && cp < 0x800) || (n == 4 && cp < 0x10000);
  bool surrogate = cp >= 0xD800 && cp <= 0xDFFF;
  if (overlong || surrogate || cp > 0x10FFFF) return 0;
  return n;
}

bool is_valid_utf8(std::string_view s) {
  for (size_t i = 0; i < s.size();) {
    size_t n = utf8_sequence(s, i);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

// Invalid bytes shown as U+FFFD, so that the message itself is valid text.
std::string utf8_lossy(std::string_view s) {
  std::string out;
  for (size_t i = 0; i < s.size();) {
    size_t n = utf8_sequence(s, i);
    if (n == 0) {
      out += "\xEF\xBF\xBD";
      ++i;
    } else {
      out.append(s.substr(i, n));
      i += n;
    }
  }
  return out;
}

bool metadata_readable(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

}  // namespace

std::optional<uint32_t> checkpoint_seq(std::string_view name) {
  size_t dot = name.rfind('.');
  // A name whose only dot leads it (".tar") has no extension.
  if (dot == std::string_view::npos || dot == 0 || name.substr(dot + 1) != "tar") {
    return std::nullopt;
  }
  std::string_view stem = name.substr(0, dot);
  if (!stem.empty() && stem[0] == '+') stem.remove_prefix(1);
  if (stem.empty()) return std::nullopt;
  uint64_t v = 0;
  for (char c : stem) {
    if (c < '0' || c > '9') return std::nullopt;
    v = v * 10 + static_cast<uint64_t>(c - '0');
    if (v > UINT32_MAX) return std::nullopt;
  }
  return static_cast<uint32_t>(v);
}

Status validate_checkpoint_label(std::string_view label) {
  bool bad = label.empty() || label == "." || label == ".." ||
             label.find('/') != std::string_view::npos ||
             label.find('\0') != std::string_view::npos;
  if (!bad) return Status::ok();
  return EngineError::snapshot_integrity(
      str_cat("invalid checkpoint label ", quote_for_message(label),
              ": a label must be a single path component (not empty, \".\" or \"..\", and "
              "without \"/\")"));
}

Result<std::vector<std::pair<uint32_t, std::string>>> CheckpointRepository::scan_label(
    const std::string& label_dir) {
  QM_ASSIGN_OR_RETURN(std::vector<std::string> names, list_dir(label_dir));
  std::vector<std::pair<uint32_t, std::string>> out;
  for (const std::string& name : names) {
    if (auto seq = checkpoint_seq(name)) out.emplace_back(*seq, join_path(label_dir, name));
  }
  std::stable_sort(out.begin(), out.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  return out;
}

Result<CheckpointInfo> CheckpointRepository::save(const std::string& label,
                                                  const SnapshotFn& snapshot) const {
  QM_RETURN_IF_ERROR(check_path_text(root_));
  QM_RETURN_IF_ERROR(validate_checkpoint_label(label));
  const std::string label_dir = join_path(root_, label);
  QM_RETURN_IF_ERROR(create_dir_all(label_dir));
  uint32_t seq = 1;
  if (metadata_readable(label_dir)) {
    QM_ASSIGN_OR_RETURN(auto existing, scan_label(label_dir));
    if (!existing.empty()) {
      uint32_t highest = existing.back().first;
      if (highest == UINT32_MAX) {
        return EngineError::snapshot_integrity(
            str_cat("checkpoint numbers of label ", label, " are used up (", highest, ".tar)"));
      }
      seq = highest + 1;
    }
  }
  std::string path = join_path(label_dir, str_cat(seq, ".tar"));
  QM_ASSIGN_OR_RETURN(SnapshotManifest manifest, snapshot(path));
  return CheckpointInfo{label, seq, std::move(path), std::move(manifest)};
}

Result<std::vector<CheckpointInfo>> CheckpointRepository::list(
    const std::optional<std::string>& label) const {
  QM_RETURN_IF_ERROR(check_path_text(root_));
  // The filter is compared with directory names: one that could name no label directory (such as
  // "a/b" or "..") matches nothing rather than being refused, as only save writes through it.
  std::vector<CheckpointInfo> out;
  if (!metadata_readable(root_)) return out;
  QM_ASSIGN_OR_RETURN(std::vector<std::string> names, list_dir(root_));
  std::vector<std::string> labels;
  for (const std::string& name : names) {
    if (!is_directory(join_path(root_, name))) continue;
    if (label && !(is_valid_utf8(name) && name == *label)) continue;
    labels.push_back(name);
  }
  std::sort(labels.begin(), labels.end());
  for (const std::string& name : labels) {
    const std::string label_dir = join_path(root_, name);
    if (!is_valid_utf8(name)) {
      return EngineError::snapshot_integrity(
          str_cat("non-UTF8 checkpoint label directory: ", utf8_lossy(label_dir)));
    }
    QM_ASSIGN_OR_RETURN(auto checkpoints, scan_label(label_dir));
    for (auto& [seq, path] : checkpoints) {
      QM_ASSIGN_OR_RETURN(SnapshotManifest manifest, read_snapshot_manifest(path));
      out.push_back(CheckpointInfo{name, seq, std::move(path), std::move(manifest)});
    }
  }
  return out;
}

Result<std::optional<CheckpointInfo>> CheckpointRepository::latest(const std::string& label) const {
  QM_ASSIGN_OR_RETURN(std::vector<CheckpointInfo> all, list(label));
  if (all.empty()) return std::optional<CheckpointInfo>();
  return std::optional<CheckpointInfo>(std::move(all.back()));
}

Result<CheckpointInfo> CheckpointRepository::restore_latest(const std::string& label,
                                                            const std::string& target_dir) const {
  QM_RETURN_IF_ERROR(check_path_text(target_dir));
  QM_ASSIGN_OR_RETURN(std::optional<CheckpointInfo> info, latest(label));
  if (!info) {
    return EngineError::snapshot_integrity(str_cat("no checkpoint found for label ", label));
  }
  QM_RETURN_IF_ERROR(restore_snapshot(info->path, target_dir));
  return std::move(*info);
}

}  // namespace quellmar
