#pragma once

// A mutex and a scoped lock that the thread-safety analysis knows about. Members guarded by a
// Mutex are declared QM_GUARDED_BY(mu_); a scope that holds it takes a MutexLock.

#include <mutex>

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

}  // namespace quellmar
