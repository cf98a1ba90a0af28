#pragma once

#include <atomic>
#include <exception>
#include <memory>
#include <optional>
#include <utility>

#include "quellmar/core/mutex.h"
#include "quellmar/core/thread_annotations.h"

namespace quellmar {

namespace detail {

// What a guard hands out: the value itself, or the object a held unique_ptr owns.
template <typename T>
struct PoisonMutexSlot {
  using Value = T;
  static Value& get(T& v) { return v; }
};

template <typename U, typename D>
struct PoisonMutexSlot<std::unique_ptr<U, D>> {
  using Value = U;
  static Value& get(std::unique_ptr<U, D>& p) { return *p; }
};

}  // namespace detail

// A value behind a mutex that remembers a failure: when an exception leaves a scope that holds
// the lock, the mutex becomes poisoned for good and every later lock() answers nullopt, so that
// callers bypass a value that may have been left half-changed. A value held as a unique_ptr is
// reached through it: the guard hands out the object it owns.
//
// The value is guarded by the mutex; the only way to it is a Guard, which holds the lock for as
// long as it lives (a moved-from Guard holds nothing and must not be dereferenced).
template <typename T>
class PoisonMutex {
  using Slot = detail::PoisonMutexSlot<T>;

 public:
  using Value = typename Slot::Value;

  class Guard {
   public:
    Guard(Guard&& other) noexcept = default;
    Guard& operator=(Guard&&) = delete;
    ~Guard() {
      if (lock_.owns_lock() && std::uncaught_exceptions() > exceptions_at_lock_) poison();
    }

    Value& operator*() const { return owner_->locked_value(); }
    Value* operator->() const { return &owner_->locked_value(); }
    // Marks the mutex poisoned (a fault was caught while it was held).
    void poison() const { owner_->poisoned_.store(true, std::memory_order_release); }

   private:
    friend class PoisonMutex;
    explicit Guard(PoisonMutex* owner)
        : owner_(owner), lock_(owner->mutex_), exceptions_at_lock_(std::uncaught_exceptions()) {}

    PoisonMutex* owner_;
    MovableMutexLock lock_;  // holds nothing once moved from
    int exceptions_at_lock_;
  };

  template <typename... Args>
  explicit PoisonMutex(Args&&... args) : value_(std::forward<Args>(args)...) {}

  PoisonMutex(const PoisonMutex&) = delete;
  PoisonMutex& operator=(const PoisonMutex&) = delete;

  // Locks the mutex; nullopt (with the mutex released again) when it is poisoned.
  std::optional<Guard> lock() QM_EXCLUDES(mutex_) {
    Guard guard(this);
    if (poisoned_.load(std::memory_order_acquire)) return std::nullopt;
    return std::optional<Guard>(std::move(guard));
  }

  // Without locking: whether a fault poisoned the mutex.
  bool is_poisoned() const { return poisoned_.load(std::memory_order_acquire); }

 private:
  // Only a live Guard calls this, and it holds the lock.
  Value& locked_value() {
    mutex_.assert_held();
    return Slot::get(value_);
  }

  Mutex mutex_;
  std::atomic<bool> poisoned_{false};
  T value_ QM_GUARDED_BY(mutex_);
};

}  // namespace quellmar
