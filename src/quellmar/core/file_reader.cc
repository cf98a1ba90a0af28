#include "quellmar/core/file_reader.h"

#include <algorithm>

#include "quellmar/core/coding.h"

namespace quellmar {

Result<FileReader> FileReader::open(const std::string& path, size_t window) {
  QM_ASSIGN_OR_RETURN(UniqueFd fd, open_read(path));
  return FileReader(std::move(fd), window);
}

FileReader FileReader::over(const UniqueFd& fd, uint64_t size, size_t window) {
  return FileReader(fd, size, window);
}

Result<uint64_t> FileReader::size() {
  if (!size_) {
    QM_ASSIGN_OR_RETURN(const uint64_t size, fd_size(fd()));
    size_ = size;
  }
  return *size_;
}

Result<std::span<const uint8_t>> FileReader::fill(uint64_t off, size_t n, size_t ahead) {
  if (!size_ && n > window_) {
    QM_RETURN_IF_ERROR(size());
  }
  if (size_) {
    if (off >= *size_) return std::span<const uint8_t>();
    n = static_cast<size_t>(std::min<uint64_t>(n, *size_ - off));
    if (const std::span<const uint8_t> in = held(off); in.size() >= n) return in.first(n);
  }
  size_t len = std::max(n, std::min(ahead, window_));
  if (size_) len = static_cast<size_t>(std::min<uint64_t>(len, *size_ - off));
  // The window is emptied before anything else: a failed read (or allocation) leaves none.
  start_ = off;
  len_ = 0;
  if (len > cap_) {
    buf_.reset();
    cap_ = 0;
    buf_ = std::make_unique_for_overwrite<uint8_t[]>(len);
    cap_ = len;
  }
  QM_ASSIGN_OR_RETURN(len_, pread_some(fd(), buf_.get(), len, off));
  return std::span<const uint8_t>(buf_.get(), std::min(n, len_));
}

Result<const uint8_t*> FileReader::read_exact(uint64_t off, size_t n, size_t ahead) {
  // Bytes the file is known not to hold are never read.
  if (!size_ && n > window_) {
    QM_RETURN_IF_ERROR(size());
  }
  if (size_ && (off > *size_ || *size_ - off < n)) {
    return EngineError::io(IoError::unexpected_eof());
  }
  QM_ASSIGN_OR_RETURN(const std::span<const uint8_t> bytes, fill(off, n, ahead));
  if (bytes.size() < n) return EngineError::io(IoError::unexpected_eof());
  return bytes.data();
}

Result<FileCursor> FileCursor::open(const std::string& path, size_t window) {
  QM_ASSIGN_OR_RETURN(FileReader file, FileReader::open(path, window));
  QM_ASSIGN_OR_RETURN(const uint64_t size, file.size());
  return FileCursor(std::move(file), size);
}

Status FileCursor::seek(uint64_t pos) {
  if (pos > size_) return EngineError::io(IoError::unexpected_eof());
  pos_ = pos;
  return Status::ok();
}

Result<const uint8_t*> FileCursor::take(size_t n) {
  QM_ASSIGN_OR_RETURN(const uint8_t* p, file_.read(pos_, n));
  pos_ += n;
  return p;
}

Result<uint32_t> FileCursor::u32() {
  QM_ASSIGN_OR_RETURN(const uint8_t* p, take(4));
  return decode_u32(p);
}

Result<uint64_t> FileCursor::u64() {
  QM_ASSIGN_OR_RETURN(const uint8_t* p, take(8));
  return decode_u64(p);
}

}  // namespace quellmar
