#pragma once

// A file's flush to stable storage started in the background, so that the caller can do work that
// does not depend on it while the device is busy, and collect the outcome when it does.
//
// The kernel runs the flush (through its asynchronous I/O interface; no thread of ours). Where
// that interface is missing or refused (ENOSYS, EPERM, EINVAL, no room for a context) the flush
// is made synchronously when started and wait() reports its outcome: callers write the same code
// either way.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "quellmar/core/posix_file.h"
#include "quellmar/core/result.h"

namespace quellmar {

class AsyncSync {
 public:
  // Starts a full flush of `fd` (as full_sync). The descriptor must stay open until wait().
  AsyncSync(const UniqueFd& fd, const std::string& path);
  AsyncSync(AsyncSync&& other) noexcept;
  AsyncSync& operator=(AsyncSync&&) = delete;
  AsyncSync(const AsyncSync&) = delete;
  AsyncSync& operator=(const AsyncSync&) = delete;
  // Waits for a flush still in flight, dropping its outcome.
  ~AsyncSync();

  // Whether the flush has completed (its outcome then waits for wait()), without waiting.
  bool done();
  // The flush's outcome, waiting for it when it is still in flight. Call once.
  Status wait();
  // Whether the flush runs in the background (false: it was made when started, or was waited for).
  bool in_background() const { return in_flight_; }

  // Tests: with true, every flush is made synchronously, as where the kernel refuses the
  // asynchronous one.
  static void force_synchronous(bool on);

 private:
  Status result_;
  bool in_flight_ = false;
  bool waited_ = false;
};

// An append made durable in two steps, so that the caller can work while the device flushes:
// start() writes the bytes and starts the flush, finish() waits for it. The bytes are durable only
// once finish() succeeds; until then the caller must act as if they were not written.
class PendingAppend {
 public:
  // Opens the file for appending (creating it with `create`), writes the n bytes and starts the
  // flush. A failed write is cut back off the file before the failure is returned; when that cut
  // fails too, `*left_behind` (when given) is set to where the bytes left behind begin (as
  // append_durably does).
  static Result<PendingAppend> start(const std::string& path, const void* bytes, size_t n,
                                     bool create, std::optional<uint64_t>* left_behind = nullptr);
  // Whether the flush has completed, without waiting for it.
  bool done();
  // Waits for the flush and returns the offset at which the bytes landed. When the flush fails
  // the file is cut back to its size before start(), and `*left_behind` set as above when that
  // cut fails.
  Result<uint64_t> finish(std::optional<uint64_t>* left_behind = nullptr);

 private:
  PendingAppend(std::string path, UniqueFd fd, uint64_t before, AsyncSync sync)
      : path_(std::move(path)), fd_(std::move(fd)), before_(before), sync_(std::move(sync)) {}

  std::string path_;
  UniqueFd fd_;
  uint64_t before_;
  AsyncSync sync_;
};

}  // namespace quellmar
