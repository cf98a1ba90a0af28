#pragma once

// Thin, error-returning wrappers over the POSIX file calls the storage layer uses. Every call
// retries on EINTR, loops over short writes, and reports failures as EngineError::io with the
// system's text. No wrapper keeps a file open beyond the UniqueFd it returns.

#include <fcntl.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "quellmar/core/result.h"

namespace quellmar {

// Owns one file descriptor. Move-only; the destructor closes quietly, `close()` reports.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd();

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // Closes the descriptor; closing twice is harmless.
  Status close();

 private:
  int fd_ = -1;
};

// Kinds of file operation that the fault hook below can fail.
enum class FileOp : uint8_t { Open, Write, Sync, Read, Truncate, Rename, Remove };

// Test hook: when set, called before each operation; a non-zero return is taken as that errno and
// the operation fails without being made. Process-wide; only tests set it.
using FileFaultHook = int (*)(FileOp op, const std::string& path);
void set_file_fault_hook(FileFaultHook hook);
// What the hook says about an operation about to be made: an errno, or 0 (also without a hook).
// For operations made outside these wrappers.
int injected_file_fault(FileOp op, const std::string& path);

// A path given from outside, refused when it holds a NUL byte (the system calls would see only
// the part before it): an I/O error of kind "invalid input", the path shown with "\0" for each
// NUL.
Status check_path_text(const std::string& path);

// Whether an open goes through a symbolic link that the path names. The engine's own files are
// never reached through one (a link would let a write land in a file outside the engine's
// directory), so that is the default; a path that a caller gives (a snapshot archive, say) may
// be a link. Links on the way to the last component, the engine directory itself among them,
// are followed either way.
enum class Links : uint8_t { Refuse, Follow };

// Every open below refuses anything but a regular file, naming the path (an I/O error of kind
// "invalid data"), without waiting on a FIFO or reading a device; with Links::Refuse, a path
// that is a symbolic link is refused the same way ("{path} is a symbolic link ...").
Result<UniqueFd> open_read(const std::string& path, Links links = Links::Refuse);
// Opens for appending; with `create`, a missing file is created with mode 0666 (before umask).
Result<UniqueFd> open_append(const std::string& path, bool create);
// Opens for writing, creating or truncating the file (mode 0666 before umask).
Result<UniqueFd> open_truncate(const std::string& path, Links links = Links::Refuse);
// Creates a file that does not exist yet and opens it for writing (mode 0666 before umask); an
// existing file, or a link, fails the call with EEXIST and is left as it is.
Result<UniqueFd> open_create_new(const std::string& path);
// Opens for writing without truncating and without creating.
Result<UniqueFd> open_write(const std::string& path);
// Creates `path` afresh for writing, for a temporary file: whatever holds the name already (a
// file an earlier attempt left, or a link someone put there) is removed first, never written
// through, and the file is then created exclusively.
Result<UniqueFd> create_replacing(const std::string& path);

Status write_all(const UniqueFd& fd, const void* data, size_t n, const std::string& path);
// Writes all n bytes at offset `off` (a descriptor not opened for appending).
Status pwrite_all(const UniqueFd& fd, const void* data, size_t n, uint64_t off,
                  const std::string& path);
// Flushes the file to stable storage (the full device flush of this platform).
Status full_sync(const UniqueFd& fd, const std::string& path);
Status truncate_fd(const UniqueFd& fd, uint64_t size, const std::string& path);
// Cuts a failed append back off the file: truncates it to `size` and flushes that.
Status cut_back(const UniqueFd& fd, uint64_t size, const std::string& path);
Result<uint64_t> fd_size(const UniqueFd& fd);
// Which file a descriptor is open on: a file written afresh and renamed into place under the old
// name is another file.
struct FileIdentity {
  uint64_t device = 0;
  uint64_t inode = 0;
  friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};
Result<FileIdentity> fd_identity(const UniqueFd& fd);
Result<uint64_t> path_size(const std::string& path);
bool path_exists(const std::string& path);
bool is_directory(const std::string& path);

// Reads up to n bytes at off; returns how many were read (fewer only at the end of the file).
Result<size_t> pread_some(const UniqueFd& fd, void* buf, size_t n, uint64_t off);
// Reads exactly n bytes at off; running into the end of the file is the unexpected-EOF failure.
Status pread_exact(const UniqueFd& fd, void* buf, size_t n, uint64_t off);
// The whole file in one piece.
Result<std::string> read_whole_file(const std::string& path);
// Reads the whole file into `out` and returns true; returns false, leaving `out` empty, when the
// name's own status cannot be read (it does not exist, say; a link that dangles is there, and
// refused as a link).
Result<bool> read_file_if_present(const std::string& path, std::string& out);

// mkdir -p with mode 0777 (before umask); an existing directory is fine.
Status create_dir_all(const std::string& path);
// Names of the directory's entries, "." and ".." left out, in directory order.
Result<std::vector<std::string>> list_dir(const std::string& path);
Status remove_file(const std::string& path);
Status rename_path(const std::string& from, const std::string& to);
// Flushes a directory's entries (after a create or a rename in it).
Status sync_dir(const std::string& path);
// realpath(3); fails when the path does not exist.
Result<std::string> real_path(const std::string& path);

// Buffers small writes into one 8 KiB buffer in front of a descriptor; a write that does not fit
// flushes the buffer first, and one larger than the buffer goes straight to the file.
class BufferedWriter {
 public:
  static constexpr size_t CAPACITY = 8192;

  // *fd must outlive the writer.
  BufferedWriter(const UniqueFd& fd, const std::string& path) : fd_(fd), path_(path) {}
  BufferedWriter(const BufferedWriter&) = delete;
  BufferedWriter& operator=(const BufferedWriter&) = delete;

  Status append(const void* data, size_t n);
  Status flush();

 private:
  const UniqueFd& fd_;
  const std::string& path_;
  size_t len_ = 0;
  unsigned char buf_[CAPACITY];
};

}  // namespace quellmar

namespace quellmar {

// Appends `bytes` to the file at `path` and flushes it to stable storage. Returns the offset at
// which the bytes landed (the file's size before the write). When the write or the flush fails,
// the file is cut back to that size, so a failed append never leaves a partial record in front of
// the next one. When that cut fails too, `*left_behind` (when given) is set to where the bytes
// left behind begin, for the owner to cut them before its next append (FileTail::failed_at).
Result<uint64_t> append_durably(const std::string& path, const void* bytes, size_t n, bool create,
                                std::optional<uint64_t>* left_behind = nullptr);

// The same with the bytes produced piece by piece, so a large batch needs no buffer of its own
// size: next(buf) fills `buf` (cleared before each call) with the next piece and returns false
// once there is nothing more. One device flush at the end.
Result<uint64_t> append_durably_streamed(const std::string& path, bool create,
                                         const std::function<bool(std::string& buf)>& next,
                                         std::string& buf,
                                         std::optional<uint64_t>* left_behind = nullptr);

// Cuts the file at `path` to `size` bytes and flushes it (dropping a torn tail).
Status truncate_durably(const std::string& path, uint64_t size);

// Copies the bytes of the file at `path` from offset `from` to its end into a new file beside it,
// named by cut_file_name (the first of its names that is free: an existing file is never
// written over), and makes the copy durable: a full device flush of the copy, then of the
// directory. Returns the copy's path, or an empty path when the file holds no byte from `from` on.
Result<std::string> preserve_tail(const std::string& path, uint64_t from);

// What a repair of a file's tail uses in place of truncate_durably: cuts the file at `path` to
// `size` bytes only after the bytes cut off are preserved (preserve_tail), so that no byte that
// was stored is ever lost. A crash between the two steps leaves the file whole and the copy
// beside it; the next repair makes another copy. Returns the copy's path (empty when nothing was
// cut).
Result<std::string> cut_preserving(const std::string& path, uint64_t size);

// Where the records of an open file of `size` bytes stop reading when walked from `from` (the
// start of a record): the end of the last one that reads, or the failure of a read, after which
// nothing is known about the rest.
using TailWalk = std::function<Result<uint64_t>(const UniqueFd& fd, uint64_t from, uint64_t size)>;

// The repair an append makes first when a read of the file at `path` found bytes at its end that
// do not read as records, the readable part ending at `*readable_end` (nothing to do when it is
// empty). Reads only never cut: a tail that one handle cannot read may be a record another
// handle is writing. The file is walked again from `*readable_end` (from its start when it is
// shorter now), since it may have changed since that read, and what still does not read is cut
// off with cut_preserving; `readable_end` is then cleared. A failed read (of the walk, or the
// cut's own) fails the call and keeps `readable_end`, so that the next append tries again:
// nothing is cut, and nothing is appended behind bytes that may not read.
Status cut_unreadable_tail(const std::string& path, std::optional<uint64_t>& readable_end,
                           const TailWalk& walk);

// What the appender of a record file keeps between calls about bytes at the end of the file that
// must go before its next append lands there, so that every record it appends is read back.
struct FileTail {
  // Where the bytes of a failed append begin that its cut-back could not take off again (the
  // write failed part way, or the flush failed, and then the truncate or its flush). They are
  // cut off (and kept, as every cut) before the next append, whatever they read as: the caller
  // was told that append failed.
  std::optional<uint64_t> failed_at;
  // Where the readable records end, when the last read of the file found a torn final record
  // behind them (see cut_unreadable_tail).
  std::optional<uint64_t> readable_end;
};

// Cuts off the bytes of a failed append that `tail` notes (kept, as every cut), and forgets what
// a read noted behind them; nothing to do when it notes none.
Status cut_failed_append(const std::string& path, FileTail& tail);

// The repair before an append: the bytes of a failed append first, then what still does not
// read behind `readable_end`. A failure leaves what it did not finish noted for the next call.
Status repair_tail(const std::string& path, FileTail& tail, const TailWalk& walk);

}  // namespace quellmar
