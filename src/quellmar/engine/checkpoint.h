#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "quellmar/core/result.h"
#include "quellmar/engine/snapshot.h"

namespace quellmar {

// One stored checkpoint: `<root>/<label>/<seq>.tar`.
struct CheckpointInfo {
  std::string label;
  uint32_t seq = 0;
  std::string path;
  SnapshotManifest manifest;
};

// The sequence number of a checkpoint file name: "<decimal u32>.tar", with at most one leading
// "+" and leading zeros allowed ("007.tar" is 7); none for any other name.
std::optional<uint32_t> checkpoint_seq(std::string_view file_name);

// A label must be one path component: not empty, not "." or "..", without "/" or NUL bytes.
// Anything else is refused (SnapshotIntegrity), so a label never reaches outside the root.
Status validate_checkpoint_label(std::string_view label);

// Numbered snapshot archives of engines under labels in one root directory. Holds only the root;
// every call reads the directory tree afresh. Takes no lock: two saves to one label at the same
// time can pick the same number.
class CheckpointRepository {
 public:
  // Writes one snapshot archive of the engine to `out_path` (the engine's snapshot call, run under
  // its lock).
  using SnapshotFn = std::function<Result<SnapshotManifest>(const std::string& out_path)>;

  explicit CheckpointRepository(std::string root) : root_(std::move(root)) {}

  const std::string& root() const { return root_; }

  // Creates `<root>/<label>` as needed and snapshots into the next number of the label (1 + the
  // highest present, 1 for none). A label whose numbers are used up is SnapshotIntegrity.
  Result<CheckpointInfo> save(const std::string& label, const SnapshotFn& snapshot) const;
  // All checkpoints, or those of one label, ordered by label and then number, each with its
  // manifest (read_snapshot_manifest). A root that does not exist has none; one unreadable
  // archive fails the whole listing.
  Result<std::vector<CheckpointInfo>> list(const std::optional<std::string>& label) const;
  // The checkpoint of the label with the highest number, if any.
  Result<std::optional<CheckpointInfo>> latest(const std::string& label) const;
  // Restores the files of the label's latest checkpoint into `target_dir` (restore_snapshot) and
  // returns it; none is SnapshotIntegrity "no checkpoint found for label {}". The caller then
  // opens the engine on `target_dir`.
  Result<CheckpointInfo> restore_latest(const std::string& label,
                                        const std::string& target_dir) const;

  // The checkpoint files of one label directory as (number, path), stably sorted by number.
  static Result<std::vector<std::pair<uint32_t, std::string>>> scan_label(
      const std::string& label_dir);

 private:
  std::string root_;
};

}  // namespace quellmar
