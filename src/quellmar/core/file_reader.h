#pragma once

// Reading a file through one window: a buffer holding the bytes read last, refilled from the
// file when a read asks for bytes outside it. Every reader of a stored file goes through it, so
// the bounds are checked here alone:
//   - once the file's size is known, no read goes past it: what the file does not hold is never
//     asked of the system, and a length read from the file never sizes a buffer beyond its end;
//   - until then a refill fetches the larger of what was asked and the read-ahead, which is at
//     most `window` bytes, and a read asking for more than `window` bytes first takes the size.
//     So a damaged length can never make a read larger than the window or than the file.
// Reads retry on EINTR and loop over short reads (pread_some); a read that fails is returned as
// the I/O error, and running into the end of the file is for the caller to judge (read_some),
// or the unexpected-EOF error (read).

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "quellmar/core/posix_file.h"
#include "quellmar/core/result.h"

namespace quellmar {

class FileReader {
 public:
  // Opens `path` for reading (open_read). `window` is the largest read-ahead, and the largest
  // read made before the file's size is known.
  static Result<FileReader> open(const std::string& path, size_t window);
  // Reads through `fd`, which the caller keeps open while the reader lives, a file of `size`
  // bytes as the caller took it: no read goes past that size.
  static FileReader over(const UniqueFd& fd, uint64_t size, size_t window);

  FileReader(FileReader&&) noexcept = default;
  FileReader& operator=(FileReader&&) noexcept = default;
  FileReader(const FileReader&) = delete;
  FileReader& operator=(const FileReader&) = delete;

  // The file's size, taken from the file on first need and kept from then on: a reader is for
  // one look at a file, and bytes appended later are not read.
  Result<uint64_t> size();

  // The bytes [off, off + n) as far as the file holds them: fewer (none at or past its end) when
  // it ends before. From the window when it holds them; otherwise the window is refilled from
  // `off` with max(n, min(ahead, window)) bytes, no more than the file holds (`ahead` is the
  // read-ahead: the bytes a refill fetches at least). Valid until the next read.
  Result<std::span<const uint8_t>> read_some(uint64_t off, size_t n, size_t ahead) {
    if (const std::span<const uint8_t> in = held(off); in.size() >= n) return in.first(n);
    return fill(off, n, ahead);
  }
  Result<std::span<const uint8_t>> read_some(uint64_t off, size_t n) {
    return read_some(off, n, window_);
  }
  // Exactly the n bytes at `off`; a file that ends before is the unexpected-EOF error (without
  // a read when its size is known).
  Result<const uint8_t*> read(uint64_t off, size_t n, size_t ahead) {
    if (const std::span<const uint8_t> in = held(off); in.size() >= n) return in.data();
    return read_exact(off, n, ahead);
  }
  Result<const uint8_t*> read(uint64_t off, size_t n) { return read(off, n, window_); }

  // What the window holds from `off` on, without reading (none when off is outside it). Valid
  // until the next read.
  std::span<const uint8_t> held(uint64_t off) const {
    if (off < start_ || off - start_ > len_) return {};
    const size_t at = static_cast<size_t>(off - start_);
    return std::span<const uint8_t>(buf_.get() + at, len_ - at);
  }

 private:
  FileReader(UniqueFd fd, size_t window) : owned_(std::move(fd)), window_(window) {}
  FileReader(const UniqueFd& fd, uint64_t size, size_t window)
      : borrowed_(&fd), window_(window), size_(size) {}

  const UniqueFd& fd() const { return borrowed_ != nullptr ? *borrowed_ : owned_; }

  // read_some of bytes the window does not hold whole: the bounds, then the refill.
  Result<std::span<const uint8_t>> fill(uint64_t off, size_t n, size_t ahead);
  Result<const uint8_t*> read_exact(uint64_t off, size_t n, size_t ahead);

  UniqueFd owned_;
  const UniqueFd* borrowed_ = nullptr;  // the caller's descriptor, when it is not owned_
  size_t window_;
  std::optional<uint64_t> size_;
  // The window: [start_, start_ + len_) of the file, in a buffer of cap_ bytes that only grows
  // and is never zero-filled.
  std::unique_ptr<uint8_t[]> buf_;
  size_t cap_ = 0;
  uint64_t start_ = 0;
  size_t len_ = 0;
};

// Reads a file front to back from a position, every read exact: a read or a seek past the end of
// the file is the unexpected-EOF error. For formats of fixed-width fields.
class FileCursor {
 public:
  // Opens `path` (open_read) and takes its size.
  static Result<FileCursor> open(const std::string& path, size_t window);

  uint64_t size() const { return size_; }
  uint64_t position() const { return pos_; }
  uint64_t remaining() const { return size_ - pos_; }
  Status seek(uint64_t pos);
  // The next n bytes, valid until the next read.
  Result<const uint8_t*> take(size_t n);
  Result<uint32_t> u32();
  Result<uint64_t> u64();

 private:
  FileCursor(FileReader file, uint64_t size) : file_(std::move(file)), size_(size) {}

  FileReader file_;
  uint64_t size_;
  uint64_t pos_ = 0;
};

}  // namespace quellmar
