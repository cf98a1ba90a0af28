#include "quellmar/core/posix_file.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

#include "quellmar/core/file_names.h"
#include "quellmar/core/str_cat.h"

namespace quellmar {

namespace {

FileFaultHook g_fault_hook = nullptr;

int injected(FileOp op, const std::string& path) {
  return g_fault_hook ? g_fault_hook(op, path) : 0;
}

EngineError os_error(int err) { return EngineError::io(IoError::from_errno(err)); }

EngineError not_regular(const std::string& path) {
  return EngineError::io(IoError::invalid_data(str_cat(path, " is not a regular file")));
}

EngineError is_link(const std::string& path) {
  return EngineError::io(IoError::invalid_data(
      str_cat(path, " is a symbolic link; the engine does not follow links to its own files")));
}

bool names_link(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

// Opens `path`, which must be a regular file (or, with O_DIRECTORY, a directory). The open
// itself never waits: a FIFO would block it until the other end opens, so it is made
// non-blocking and the type checked on the descriptor before anything is read or written.
// With Links::Refuse the last component must not be a symbolic link (O_NOFOLLOW).
Result<UniqueFd> open_with(const std::string& path, int flags, mode_t mode,
                           Links links = Links::Refuse) {
  if (int err = injected(FileOp::Open, path)) return os_error(err);
  if (links == Links::Refuse && (flags & O_DIRECTORY) == 0) flags |= O_NOFOLLOW;
  int fd;
  do {
    fd = ::open(path.c_str(), flags | O_CLOEXEC | O_NONBLOCK, mode);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    const int err = errno;
    // O_NOFOLLOW refuses a link with ELOOP. (An exclusive create finds the name taken instead,
    // and says so: its caller may try another name.)
    if ((flags & O_NOFOLLOW) != 0 && err == ELOOP && names_link(path)) {
      return is_link(path);
    }
    // A FIFO without a reader refuses a non-blocking open for writing.
    struct stat st;
    if (err == ENXIO && ::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
      return not_regular(path);
    }
    return os_error(err);
  }
  UniqueFd owned(fd);
  if ((flags & O_DIRECTORY) == 0) {
    struct stat st;
    if (::fstat(fd, &st) != 0) return os_error(errno);
    if (!S_ISREG(st.st_mode)) return not_regular(path);
  }
  // Of the flags opened with, only O_APPEND is one that F_SETFL sets.
  if (::fcntl(fd, F_SETFL, flags & O_APPEND) != 0) return os_error(errno);
  return owned;
}

struct DirCloser {
  void operator()(DIR* d) const { ::closedir(d); }
};

}  // namespace

void set_file_fault_hook(FileFaultHook hook) { g_fault_hook = hook; }

Status check_path_text(const std::string& path) {
  if (path.find('\0') == std::string::npos) return Status::ok();
  std::string shown;
  for (char c : path) shown += c == '\0' ? std::string_view("\\0") : std::string_view(&c, 1);
  return EngineError::io(IoError::invalid_input(str_cat("path contains a NUL byte: ", shown)));
}

int injected_file_fault(FileOp op, const std::string& path) { return injected(op, path); }

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) {
    (void)close();
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

UniqueFd::~UniqueFd() { (void)close(); }

Status UniqueFd::close() {
  if (fd_ < 0) return Status::ok();
  int fd = fd_;
  fd_ = -1;
  // close(2) must not be retried on EINTR on Linux: the descriptor is gone either way.
  if (::close(fd) != 0 && errno != EINTR) return os_error(errno);
  return Status::ok();
}

Result<UniqueFd> open_read(const std::string& path, Links links) {
  return open_with(path, O_RDONLY, 0, links);
}

Result<UniqueFd> open_append(const std::string& path, bool create) {
  return open_with(path, O_WRONLY | O_APPEND | (create ? O_CREAT : 0), 0666);
}

Result<UniqueFd> open_truncate(const std::string& path, Links links) {
  return open_with(path, O_WRONLY | O_CREAT | O_TRUNC, 0666, links);
}

Result<UniqueFd> open_create_new(const std::string& path) {
  return open_with(path, O_WRONLY | O_CREAT | O_EXCL, 0666);
}

Result<UniqueFd> open_write(const std::string& path) { return open_with(path, O_WRONLY, 0); }

Result<UniqueFd> create_replacing(const std::string& path) {
  if (Status st = remove_file(path); !st.is_ok() && !st.error().io_error().is_not_found()) {
    return std::move(st).error();
  }
  return open_create_new(path);
}

Status write_all(const UniqueFd& fd, const void* data, size_t n, const std::string& path) {
  if (int err = injected(FileOp::Write, path)) return os_error(err);
  const char* p = static_cast<const char*>(data);
  while (n > 0) {
    ssize_t w = ::write(fd.get(), p, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      return os_error(errno);
    }
    if (w == 0) return os_error(EIO);
    p += w;
    n -= static_cast<size_t>(w);
  }
  return Status::ok();
}

Status pwrite_all(const UniqueFd& fd, const void* data, size_t n, uint64_t off,
                  const std::string& path) {
  if (int err = injected(FileOp::Write, path)) return os_error(err);
  const char* p = static_cast<const char*>(data);
  while (n > 0) {
    ssize_t w = ::pwrite(fd.get(), p, n, static_cast<off_t>(off));
    if (w < 0) {
      if (errno == EINTR) continue;
      return os_error(errno);
    }
    if (w == 0) return os_error(EIO);
    p += w;
    off += static_cast<uint64_t>(w);
    n -= static_cast<size_t>(w);
  }
  return Status::ok();
}

Status full_sync(const UniqueFd& fd, const std::string& path) {
  if (int err = injected(FileOp::Sync, path)) return os_error(err);
  int rc;
  do {
    rc = ::fsync(fd.get());
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) return os_error(errno);
  return Status::ok();
}

Status truncate_fd(const UniqueFd& fd, uint64_t size, const std::string& path) {
  if (int err = injected(FileOp::Truncate, path)) return os_error(err);
  int rc;
  do {
    rc = ::ftruncate(fd.get(), static_cast<off_t>(size));
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) return os_error(errno);
  return Status::ok();
}

Result<uint64_t> fd_size(const UniqueFd& fd) {
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return os_error(errno);
  return static_cast<uint64_t>(st.st_size);
}

Result<FileIdentity> fd_identity(const UniqueFd& fd) {
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return os_error(errno);
  return FileIdentity{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
}

Result<uint64_t> path_size(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return os_error(errno);
  return static_cast<uint64_t>(st.st_size);
}

bool path_exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

bool is_directory(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

Result<size_t> pread_some(const UniqueFd& fd, void* buf, size_t n, uint64_t off) {
  char* p = static_cast<char*>(buf);
  size_t got = 0;
  while (got < n) {
    ssize_t r = ::pread(fd.get(), p + got, n - got, static_cast<off_t>(off + got));
    if (r < 0) {
      if (errno == EINTR) continue;
      return os_error(errno);
    }
    if (r == 0) break;
    got += static_cast<size_t>(r);
  }
  return got;
}

Status pread_exact(const UniqueFd& fd, void* buf, size_t n, uint64_t off) {
  QM_ASSIGN_OR_RETURN(size_t got, pread_some(fd, buf, n, off));
  if (got != n) return EngineError::io(IoError::unexpected_eof());
  return Status::ok();
}

Result<std::string> read_whole_file(const std::string& path) {
  if (int err = injected(FileOp::Read, path)) return os_error(err);
  QM_ASSIGN_OR_RETURN(UniqueFd fd, open_read(path));
  QM_ASSIGN_OR_RETURN(uint64_t size, fd_size(fd));
  std::string out(size, '\0');
  QM_ASSIGN_OR_RETURN(size_t got, pread_some(fd, out.data(), out.size(), 0));
  out.resize(got);
  // A file that grew since fstat is read to its current end.
  char more[4096];
  for (;;) {
    QM_ASSIGN_OR_RETURN(size_t n, pread_some(fd, more, sizeof more, out.size()));
    if (n == 0) break;
    out.append(more, n);
  }
  return out;
}

Result<bool> read_file_if_present(const std::string& path, std::string& out) {
  out.clear();
  // The name's own status: a link is present (and refused by the read), even when it dangles.
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return false;
  QM_ASSIGN_OR_RETURN(out, read_whole_file(path));
  return true;
}

Status create_dir_all(const std::string& path) {
  // The directory itself first; only a missing parent makes the parents be created, so a failure
  // names what is wrong with the path asked for ("Not a directory" under a file, say).
  if (path.empty() || ::mkdir(path.c_str(), 0777) == 0) return Status::ok();
  const int err = errno;
  if (err == ENOENT) {
    const size_t slash = path.find_last_of('/', path.find_last_not_of('/'));
    if (slash != std::string::npos && slash > 0) {
      QM_RETURN_IF_ERROR(create_dir_all(path.substr(0, slash)));
      if (::mkdir(path.c_str(), 0777) == 0) return Status::ok();
      if (is_directory(path)) return Status::ok();
      return os_error(errno);
    }
  }
  if (is_directory(path)) return Status::ok();
  return os_error(err);
}

Result<std::vector<std::string>> list_dir(const std::string& path) {
  std::unique_ptr<DIR, DirCloser> dir(::opendir(path.c_str()));
  if (!dir) return os_error(errno);
  std::vector<std::string> names;
  for (;;) {
    errno = 0;
    struct dirent* e = ::readdir(dir.get());
    if (!e) {
      if (errno != 0) return os_error(errno);
      break;
    }
    if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
    names.emplace_back(e->d_name);
  }
  return names;
}

Status remove_file(const std::string& path) {
  if (int err = injected(FileOp::Remove, path)) return os_error(err);
  if (::unlink(path.c_str()) != 0) return os_error(errno);
  return Status::ok();
}

Status rename_path(const std::string& from, const std::string& to) {
  if (int err = injected(FileOp::Rename, to)) return os_error(err);
  if (::rename(from.c_str(), to.c_str()) != 0) return os_error(errno);
  return Status::ok();
}

Status sync_dir(const std::string& path) {
  QM_ASSIGN_OR_RETURN(UniqueFd fd, open_with(path, O_RDONLY | O_DIRECTORY, 0));
  return full_sync(fd, path);
}

Result<std::string> real_path(const std::string& path) {
  char buf[PATH_MAX];
  if (!::realpath(path.c_str(), buf)) return os_error(errno);
  return std::string(buf);
}

Status BufferedWriter::append(const void* data, size_t n) {
  if (len_ + n > CAPACITY) {
    QM_RETURN_IF_ERROR(flush());
  }
  if (n >= CAPACITY) return write_all(fd_, data, n, path_);
  std::memcpy(buf_ + len_, data, n);
  len_ += n;
  return Status::ok();
}

Status BufferedWriter::flush() {
  if (len_ == 0) return Status::ok();
  size_t n = len_;
  len_ = 0;
  return write_all(fd_, buf_, n, path_);
}

}  // namespace quellmar

namespace quellmar {

namespace {

// Opens for appending, writes through `body`, flushes to stable storage; on a failure cuts the
// file back to its size before the call.
Result<uint64_t> append_with(const std::string& path, bool create,
                             const std::function<Status(const UniqueFd&)>& body,
                             std::optional<uint64_t>* left_behind) {
  QM_ASSIGN_OR_RETURN(UniqueFd fd, open_append(path, create));
  QM_ASSIGN_OR_RETURN(const uint64_t before, fd_size(fd));
  Status st = body(fd);
  if (st.is_ok()) st = full_sync(fd, path);
  if (st.is_ok()) st = fd.close();
  if (st.is_ok()) return before;
  // (After a failed close there is no descriptor to cut back through: the bytes stay, noted.)
  const bool undone = fd.valid() && cut_back(fd, before, path).is_ok();
  if (!undone && left_behind) *left_behind = before;
  return std::move(st).error();
}

}  // namespace

Result<uint64_t> append_durably_streamed(const std::string& path, bool create,
                                         const std::function<bool(std::string& buf)>& next,
                                         std::string& buf, std::optional<uint64_t>* left_behind) {
  return append_with(
      path, create,
      [&](const UniqueFd& fd) -> Status {
        for (;;) {
          buf.clear();
          const bool more = next(buf);
          if (!buf.empty()) QM_RETURN_IF_ERROR(write_all(fd, buf.data(), buf.size(), path));
          if (!more) return Status::ok();
        }
      },
      left_behind);
}

Result<uint64_t> append_durably(const std::string& path, const void* bytes, size_t n, bool create,
                                std::optional<uint64_t>* left_behind) {
  return append_with(
      path, create, [&](const UniqueFd& fd) { return write_all(fd, bytes, n, path); }, left_behind);
}

Status cut_back(const UniqueFd& fd, uint64_t size, const std::string& path) {
  QM_RETURN_IF_ERROR(truncate_fd(fd, size, path));
  return full_sync(fd, path);
}

Status truncate_durably(const std::string& path, uint64_t size) {
  QM_ASSIGN_OR_RETURN(UniqueFd fd, open_write(path));
  QM_RETURN_IF_ERROR(cut_back(fd, size, path));
  return fd.close();
}

Result<std::string> preserve_tail(const std::string& path, uint64_t from) {
  QM_ASSIGN_OR_RETURN(UniqueFd src, open_read(path));
  QM_ASSIGN_OR_RETURN(const uint64_t size, fd_size(src));
  if (from >= size) return std::string();
  const size_t slash = path.find_last_of('/');
  const std::string dir =
      slash == std::string::npos ? std::string(".") : path.substr(0, std::max<size_t>(slash, 1));
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  std::string kept;
  UniqueFd out;
  for (unsigned n = 0;; ++n) {
    kept =
        join_path(slash == std::string::npos ? std::string() : dir, cut_file_name(name, from, n));
    auto created = open_create_new(kept);
    if (created.is_ok()) {
      out = std::move(created).value();
      break;
    }
    const EngineError& e = created.error();
    const bool taken = e.code() == EngineError::Code::Io && e.io_error().is_exists();
    if (!taken) return created.error();
  }
  // A copy that fails part way stays behind under its name: it is never read, and the file it
  // was taken from is not cut.
  static constexpr size_t COPY_CHUNK = 1 << 20;
  std::string buf(static_cast<size_t>(std::min<uint64_t>(COPY_CHUNK, size - from)), '\0');
  for (uint64_t off = from; off < size;) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(buf.size(), size - off));
    QM_ASSIGN_OR_RETURN(const size_t got, pread_some(src, buf.data(), want, off));
    if (got == 0) break;  // the file shrank under the copy: what was read is all there is
    QM_RETURN_IF_ERROR(write_all(out, buf.data(), got, kept));
    off += got;
  }
  QM_RETURN_IF_ERROR(full_sync(out, kept));
  QM_RETURN_IF_ERROR(out.close());
  QM_RETURN_IF_ERROR(sync_dir(dir));
  return kept;
}

Result<std::string> cut_preserving(const std::string& path, uint64_t size) {
  QM_ASSIGN_OR_RETURN(std::string kept, preserve_tail(path, size));
  if (kept.empty()) return kept;
  QM_RETURN_IF_ERROR(truncate_durably(path, size));
  return kept;
}

Status cut_unreadable_tail(const std::string& path, std::optional<uint64_t>& readable_end,
                           const TailWalk& walk) {
  if (!readable_end) return Status::ok();
  uint64_t end = 0;
  uint64_t size = 0;
  {
    QM_ASSIGN_OR_RETURN(UniqueFd fd, open_read(path));
    QM_ASSIGN_OR_RETURN(size, fd_size(fd));
    // The walk's reads.
    if (int err = injected(FileOp::Read, path)) return os_error(err);
    QM_ASSIGN_OR_RETURN(end, walk(fd, *readable_end <= size ? *readable_end : 0, size));
  }
  if (end < size) QM_RETURN_IF_ERROR(cut_preserving(path, end).status());
  readable_end.reset();
  return Status::ok();
}

Status cut_failed_append(const std::string& path, FileTail& tail) {
  if (!tail.failed_at) return Status::ok();
  QM_RETURN_IF_ERROR(cut_preserving(path, *tail.failed_at).status());
  // What a read noted behind it went with it.
  if (tail.readable_end && *tail.readable_end >= *tail.failed_at) tail.readable_end.reset();
  tail.failed_at.reset();
  return Status::ok();
}

Status repair_tail(const std::string& path, FileTail& tail, const TailWalk& walk) {
  QM_RETURN_IF_ERROR(cut_failed_append(path, tail));
  return cut_unreadable_tail(path, tail.readable_end, walk);
}

}  // namespace quellmar
