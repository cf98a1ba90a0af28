#pragma once

#include <atomic>
#include <exception>
#include <mutex>
#include <optional>
#include <utility>

namespace quellmar {

// A value behind a mutex that remembers a failure: when an exception leaves a scope that holds
// the lock, the mutex becomes poisoned for good and every later lock() answers nullopt, so that
// callers bypass a value that may have been left half-changed.
template <typename T>
class PoisonMutex {
 public:
  class Guard {
   public:
    Guard(Guard&& other) noexcept = default;
    Guard& operator=(Guard&&) = delete;
    ~Guard() {
      if (lock_.owns_lock() && std::uncaught_exceptions() > exceptions_at_lock_) {
        owner_->poisoned_.store(true, std::memory_order_release);
      }
    }

    T& operator*() const { return owner_->value_; }
    T* operator->() const { return &owner_->value_; }

   private:
    friend class PoisonMutex;
    explicit Guard(PoisonMutex* owner)
        : owner_(owner), lock_(owner->mutex_), exceptions_at_lock_(std::uncaught_exceptions()) {}

    PoisonMutex* owner_;
    std::unique_lock<std::mutex> lock_;
    int exceptions_at_lock_;
  };

  template <typename... Args>
  explicit PoisonMutex(Args&&... args) : value_(std::forward<Args>(args)...) {}

  PoisonMutex(const PoisonMutex&) = delete;
  PoisonMutex& operator=(const PoisonMutex&) = delete;

  // Locks the mutex; nullopt (with the mutex released again) when it is poisoned.
  std::optional<Guard> lock() {
    Guard guard(this);
    if (poisoned_.load(std::memory_order_acquire)) return std::nullopt;
    return std::optional<Guard>(std::move(guard));
  }

  bool is_poisoned() const { return poisoned_.load(std::memory_order_acquire); }

 private:
  std::mutex mutex_;
  std::atomic<bool> poisoned_{false};
  T value_;
};

}  // namespace quellmar
