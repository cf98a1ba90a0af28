#include "quellmar/core/async_sync.h"

#include <linux/aio_abi.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

namespace quellmar {

namespace {

std::atomic<bool> g_force_synchronous{false};

// One kernel context per thread, set up on first use and kept until the thread ends, with at
// most one flush in flight: a wait then reaps exactly its own completion.
class AioContext {
 public:
  ~AioContext() {
    if (state_ == State::Usable) ::syscall(SYS_io_destroy, ctx_);
  }

  // Submits a flush of fd; false when the kernel would not take it (the caller then flushes
  // synchronously).
  bool submit(int fd) {
    if (busy_ || !usable()) return false;
    struct iocb cb;
    std::memset(&cb, 0, sizeof cb);
    cb.aio_lio_opcode = IOCB_CMD_FSYNC;
    cb.aio_fildes = static_cast<uint32_t>(fd);
    struct iocb* list[1] = {&cb};
    long rc;
    do {
      rc = ::syscall(SYS_io_submit, ctx_, 1L, list);
    } while (rc < 0 && (errno == EINTR || errno == EAGAIN));
    if (rc != 1) {
      // No asynchronous flush for this kind of file (EINVAL) or none at all: the synchronous
      // flush tells the caller what the file's flush really gives.
      if (rc < 0 && (errno == ENOSYS || errno == EPERM)) state_ = State::Unsupported;
      return false;
    }
    busy_ = true;
    return true;
  }

  // Whether the flush submitted last has completed, without waiting; its errno goes to *err
  // when it has (it is then reaped).
  bool poll(int* err) {
    struct timespec zero = {0, 0};
    return collect(0, &zero, err);
  }

  // Waits for the flush submitted last; its errno, or 0.
  int reap() {
    int err = 0;
    (void)collect(1, nullptr, &err);
    return err;
  }

 private:
  enum class State { Unprobed, Usable, Unsupported };

  // Takes the completion of the flush in flight, waiting for it at most `timeout` (null: for as
  // long as it takes; with min_nr 0 a zero timeout only looks). False when it has not completed;
  // else its errno, or 0, goes to *err.
  bool collect(long min_nr, struct timespec* timeout, int* err) {
    struct io_event ev;
    long rc;
    do {
      rc = ::syscall(SYS_io_getevents, ctx_, min_nr, 1L, &ev, timeout);
    } while (rc < 0 && errno == EINTR);
    if (rc == 0 && min_nr == 0) return false;
    busy_ = false;
    *err = rc == 1 ? (ev.res < 0 ? static_cast<int>(-ev.res) : 0) : (rc < 0 ? errno : EIO);
    return true;
  }

  bool usable() {
    if (state_ == State::Unprobed) {
      state_ = ::syscall(SYS_io_setup, 4L, &ctx_) == 0 ? State::Usable : State::Unsupported;
    }
    return state_ == State::Usable;
  }

  aio_context_t ctx_ = 0;
  State state_ = State::Unprobed;
  bool busy_ = false;
};

thread_local AioContext t_aio;

}  // namespace

AsyncSync::AsyncSync(const UniqueFd& fd, const std::string& path) {
  // An injected fault is reported by wait(), as the kernel's failure would be.
  if (int err = injected_file_fault(FileOp::Sync, path)) {
    result_ = EngineError::io(IoError::from_errno(err));
    return;
  }
  if (!g_force_synchronous.load(std::memory_order_relaxed) && t_aio.submit(fd.get())) {
    in_flight_ = true;
    return;
  }
  int rc;
  do {
    rc = ::fsync(fd.get());
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) result_ = EngineError::io(IoError::from_errno(errno));
}

AsyncSync::AsyncSync(AsyncSync&& other) noexcept
    : result_(std::move(other.result_)), in_flight_(other.in_flight_), waited_(other.waited_) {
  other.in_flight_ = false;
  other.waited_ = true;
}

AsyncSync::~AsyncSync() {
  if (in_flight_) (void)t_aio.reap();
}

bool AsyncSync::done() {
  if (!in_flight_) return true;
  int err = 0;
  if (!t_aio.poll(&err)) return false;
  in_flight_ = false;
  if (err) result_ = EngineError::io(IoError::from_errno(err));
  return true;
}

Status AsyncSync::wait() {
  QM_CHECK(!waited_);
  waited_ = true;
  if (in_flight_) {
    in_flight_ = false;
    if (int err = t_aio.reap()) result_ = EngineError::io(IoError::from_errno(err));
  }
  return std::move(result_);
}

Result<PendingAppend> PendingAppend::start(const std::string& path, const void* bytes, size_t n,
                                           bool create, std::optional<uint64_t>* left_behind) {
  QM_ASSIGN_OR_RETURN(UniqueFd fd, open_append(path, create));
  QM_ASSIGN_OR_RETURN(const uint64_t before, fd_size(fd));
  if (Status st = write_all(fd, bytes, n, path); !st.is_ok()) {
    if (!cut_back(fd, before, path).is_ok() && left_behind) *left_behind = before;
    return st;
  }
  AsyncSync sync(fd, path);
  return PendingAppend(path, std::move(fd), before, std::move(sync));
}

bool PendingAppend::done() { return sync_.done(); }

Result<uint64_t> PendingAppend::finish(std::optional<uint64_t>* left_behind) {
  Status st = sync_.wait();
  if (st.is_ok()) st = fd_.close();
  if (st.is_ok()) return before_;
  const bool undone = fd_.valid() && cut_back(fd_, before_, path_).is_ok();
  if (!undone && left_behind) *left_behind = before_;
  return std::move(st).error();
}

void AsyncSync::force_synchronous(bool on) {
  g_force_synchronous.store(on, std::memory_order_relaxed);
}

}  // namespace quellmar
