#include "quellmar/core/temp_file.h"

#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "quellmar/core/file_names.h"

namespace quellmar {

namespace {

// Numbers the temporaries of this process; with the process id, a name no other write uses
// (a leftover of a dead process that had the same id is skipped as taken).
std::atomic<uint64_t> g_next_temp{0};

// Takes the lock, waiting (a handle examining the temporary holds it only for a moment); or, with
// `wait` false, only when it is free. False when it is not taken.
bool lock(const UniqueFd& fd, bool wait) {
  for (;;) {
    if (::flock(fd.get(), LOCK_EX | (wait ? 0 : LOCK_NB)) == 0) return true;
    if (errno != EINTR) return false;
  }
}

// Whether `path` still names the file open as `fd`.
bool names_file(const std::string& path, const UniqueFd& fd) {
  struct stat by_path, by_fd;
  if (::stat(path.c_str(), &by_path) != 0 || ::fstat(fd.get(), &by_fd) != 0) return false;
  return by_path.st_dev == by_fd.st_dev && by_path.st_ino == by_fd.st_ino;
}

}  // namespace

Result<TempFile> TempFile::create(const std::string& dir, const std::string& name) {
  const uint64_t pid = static_cast<uint64_t>(::getpid());
  for (int attempt = 0;; ++attempt) {
    const std::string path = join_path(dir, temp_file_name(name, pid, g_next_temp++));
    Result<UniqueFd> created = open_create_new(path);
    if (!created.is_ok()) {
      const EngineError& e = created.error();
      if (attempt < 64 && e.code() == EngineError::Code::Io && e.io_error().is_exists()) continue;
      return std::move(created).error();
    }
    UniqueFd fd = std::move(created).value();
    if (!lock(fd, /*wait=*/true)) return EngineError::io(IoError::from_errno(errno));
    // A handle sweeping stale temporaries may have taken the file between its creation and the
    // lock, and removed it: then it is written under another name.
    if (!names_file(path, fd)) {
      if (attempt < 64) continue;
      return EngineError::io(IoError::from_errno(ENOENT));
    }
    return TempFile(std::move(fd), path, join_path(dir, name), dir);
  }
}

TempFile::~TempFile() {
  // Only while the lock is held, and only the file this write created: the name is this write's.
  if (!committed_ && fd_.valid() && names_file(path_, fd_)) (void)::unlink(path_.c_str());
}

Status TempFile::commit() {
  QM_RETURN_IF_ERROR(rename_path(path_, final_path_));
  committed_ = true;
  QM_RETURN_IF_ERROR(sync_dir(dir_));
  return fd_.close();
}

Status replace_preserving(
    const std::string& dir, const std::string& name,
    const std::function<Status(const UniqueFd& fd, const std::string& path)>& write) {
  QM_RETURN_IF_ERROR(preserve_tail(join_path(dir, name), 0).status());
  QM_ASSIGN_OR_RETURN(TempFile temp, TempFile::create(dir, name));
  QM_RETURN_IF_ERROR(write(temp.fd(), temp.path()));
  QM_RETURN_IF_ERROR(full_sync(temp.fd(), temp.path()));
  return temp.commit();
}

void remove_stale_temps(const std::string& dir, const std::string& name) {
  Result<std::vector<std::string>> names = list_dir(dir);
  if (!names.is_ok()) return;
  for (const std::string& file : *names) {
    if (is_temp_file_name_of(file, name)) remove_if_stale(join_path(dir, file));
  }
}

void remove_if_stale(const std::string& path) {
  Result<UniqueFd> fd = open_read(path);
  if (!fd.is_ok() || !lock(*fd, /*wait=*/false)) return;
  // Locked by this handle now, so no write holds it; the name must still be the file locked.
  if (names_file(path, *fd)) (void)remove_file(path);
}

}  // namespace quellmar
