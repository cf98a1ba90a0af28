#pragma once

// Files rewritten whole (vamana.idx, id_floor.bin, and text_store.bin and synaptic.qmr when a
// repair writes them afresh) are written under a temporary name and renamed over the old file
// once they are on stable storage, so that a crash part way leaves the old file
// or none, never a torn one.
//
// Several handles, in one process or in several, may rewrite the same file at once (readers that
// refresh build and save the graph too). Each write therefore takes a temporary name of its own
// (file_names.h: temp_file_name), created exclusively, and holds an exclusive advisory lock
// (flock) on it from before its first byte until its rename is done. The lock tells a temporary
// whose writer is gone from one being written: a handle that can take the lock of a temporary
// knows no write holds it any more (the kernel drops a lock with its process) and may remove
// it; one whose lock is held is left alone. No handle ever removes a temporary it cannot lock.

#include <functional>
#include <string>

#include "quellmar/core/posix_file.h"
#include "quellmar/core/result.h"

namespace quellmar {

class TempFile {
 public:
  // A fresh, empty, locked temporary for dir/name (mode 0666 before umask).
  static Result<TempFile> create(const std::string& dir, const std::string& name);

  TempFile(TempFile&& other) noexcept = default;
  TempFile& operator=(TempFile&&) = delete;
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  // Removes the temporary when it was not committed: a failed write leaves nothing behind.
  ~TempFile();

  const UniqueFd& fd() const { return fd_; }
  const std::string& path() const { return path_; }
  // Renames the temporary over dir/name and syncs the directory, then lets the lock go. The
  // caller has made the contents durable (full_sync) first.
  Status commit();

 private:
  TempFile(UniqueFd fd, std::string path, std::string final_path, std::string dir)
      : fd_(std::move(fd)),
        path_(std::move(path)),
        final_path_(std::move(final_path)),
        dir_(std::move(dir)) {}

  UniqueFd fd_;
  std::string path_;
  std::string final_path_;
  std::string dir_;
  bool committed_ = false;
};

// Writes dir/name afresh, for the repair of a record file whose damage a later append could be
// read into: the old file is first kept whole beside it (preserve_tail from offset 0, so
// "<name>.cut-0" or the first free name after it), durably; then `write` fills a TempFile of
// dir/name, which is flushed to stable storage and renamed over the old file. A crash at any
// point leaves the old file or the new one in place, and the copy once it is durable; a failure
// leaves the old file (the temporary is removed) and the copy, and the caller may try again.
Status replace_preserving(
    const std::string& dir, const std::string& name,
    const std::function<Status(const UniqueFd& fd, const std::string& path)>& write);

// Removes every temporary of dir/name whose lock can be taken (its writer is gone); temporaries
// being written are left, and so is anything that cannot be examined. Best effort: failures are
// ignored, since a leftover temporary is never read.
void remove_stale_temps(const std::string& dir, const std::string& name);
// The same for one path: removed when it is a regular file whose lock can be taken.
void remove_if_stale(const std::string& path);

}  // namespace quellmar
