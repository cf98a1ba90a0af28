// Snapshots of a whole engine, and opening an engine restored from one.

#include "quellmar/engine/engine.h"

namespace quellmar {

Result<SnapshotManifest> Engine::snapshot(const std::string& out_path) {
  QM_RETURN_IF_ERROR(flush_buffer());
  QM_RETURN_IF_ERROR(trace_wal_.sync());
  const SnapshotStats stats{pack_directory_.pack_count(), list_owners().size()};
  return write_snapshot(path_, out_path, stats);
}

Result<std::unique_ptr<Engine>> Engine::restore_from(const std::string& in_path,
                                                     const std::string& target_dir) {
  QM_RETURN_IF_ERROR(restore_snapshot(in_path, target_dir));
  return open(target_dir);
}

}  // namespace quellmar
