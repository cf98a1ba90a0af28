#pragma once

// Borrows of a Python instance's native state: many shared borrows or one exclusive one, taken for
// the length of a call. A call that finds its borrow taken fails with a RuntimeError instead of
// waiting.

#include "quellmar/python/py.h"

#include <atomic>
#include <cstdint>
#include <utility>

namespace quellmar::python {

// Shared borrows counted up and down; one exclusive borrow marked by EXCLUSIVE. Borrows are
// taken and given back only by threads that hold the interpreter lock (before a method gives it
// up and after it takes it back), so the lock orders every change and each one is a plain
// atomic load and store rather than a locked read-modify-write.
class BorrowFlag {
 public:
  bool try_shared() {
    int64_t v = v_.load(std::memory_order_relaxed);
    if (v == EXCLUSIVE) return false;
    v_.store(v + 1, std::memory_order_relaxed);
    return true;
  }
  void release_shared() {
    v_.store(v_.load(std::memory_order_relaxed) - 1, std::memory_order_relaxed);
  }
  bool try_exclusive() {
    if (v_.load(std::memory_order_relaxed) != 0) return false;
    v_.store(EXCLUSIVE, std::memory_order_relaxed);
    return true;
  }
  void release_exclusive() { v_.store(0, std::memory_order_relaxed); }

 private:
  static constexpr int64_t EXCLUSIVE = -1;
  std::atomic<int64_t> v_{0};
};

enum class BorrowMode { Shared, Exclusive };

// RuntimeError "Already mutably borrowed" (a shared borrow failed) or "Already borrowed".
inline void raise_borrow_conflict(BorrowMode mode) {
  PyErr_SetString(PyExc_RuntimeError,
                  mode == BorrowMode::Shared ? "Already mutably borrowed" : "Already borrowed");
}

// One borrow of an instance, given back when destroyed. Empty when it could not be taken; then
// RuntimeError "Already mutably borrowed" (shared) or "Already borrowed" (exclusive) is set.
class Borrow {
 public:
  Borrow() = default;
  static Borrow take(BorrowFlag& flag, BorrowMode mode) {
    if (mode == BorrowMode::Shared ? flag.try_shared() : flag.try_exclusive()) {
      return Borrow(&flag, mode);
    }
    raise_borrow_conflict(mode);
    return Borrow();
  }
  Borrow(Borrow&& other) noexcept
      : flag_(std::exchange(other.flag_, nullptr)), mode_(other.mode_) {}
  Borrow& operator=(Borrow&& other) noexcept {
    if (this != &other) {
      reset();
      flag_ = std::exchange(other.flag_, nullptr);
      mode_ = other.mode_;
    }
    return *this;
  }
  ~Borrow() { reset(); }
  explicit operator bool() const { return flag_ != nullptr; }

 private:
  Borrow(BorrowFlag* flag, BorrowMode mode) : flag_(flag), mode_(mode) {}
  void reset() {
    if (flag_ == nullptr) return;
    // A thread the interpreter is ending holds no interpreter lock, which orders every change of
    // the flag; its borrow stays taken, like the references it leaves behind.
    if (interpreter_ended_this_thread()) {
      flag_ = nullptr;
      return;
    }
    if (mode_ == BorrowMode::Shared) {
      flag_->release_shared();
    } else {
      flag_->release_exclusive();
    }
    flag_ = nullptr;
  }

  BorrowFlag* flag_ = nullptr;
  BorrowMode mode_ = BorrowMode::Shared;
};

}  // namespace quellmar::python
