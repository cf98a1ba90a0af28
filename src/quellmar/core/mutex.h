#pragma once

// A mutex and a scoped lock that the thread-safety analysis knows about. Members guarded by a
// Mutex are declared QM_GUARDED_BY(mu_); a scope that holds it takes a MutexLock.

#include <mutex>
#include <utility>

#include "quellmar/core/thread_annotations.h"

namespace quellmar {

class QM_CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void lock() QM_ACQUIRE() { mu_.lock(); }
  void unlock() QM_RELEASE() { mu_.unlock(); }
  // Tells the analysis that the calling thread holds the lock; checks nothing at run time. For
  // code that holds it through an object the analysis cannot follow (a lock handed out by value).
  void assert_held() const QM_ASSERT_CAPABILITY(this) {}

 private:
  std::mutex mu_;
};

// Holds a Mutex for its scope.
class QM_SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mu) QM_ACQUIRE(mu) : mu_(mu) { mu_.lock(); }
  ~MutexLock() QM_RELEASE() { mu_.unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex& mu_;
};

// Holds a Mutex like MutexLock, but can be moved out of the scope that took it (into an optional,
// a return value); a moved-from lock holds nothing.
class QM_SCOPED_CAPABILITY MovableMutexLock {
 public:
  explicit MovableMutexLock(Mutex& mu) QM_ACQUIRE(mu) : mu_(&mu), owns_(true) { mu_->lock(); }
  MovableMutexLock(MovableMutexLock&& other) noexcept
      : mu_(std::exchange(other.mu_, nullptr)), owns_(std::exchange(other.owns_, false)) {}
  ~MovableMutexLock() QM_RELEASE() {
    if (owns_) mu_->unlock();
  }
  MovableMutexLock& operator=(MovableMutexLock&&) = delete;

  bool owns_lock() const { return owns_; }

 private:
  Mutex* mu_;
  bool owns_;
};

}  // namespace quellmar
