#pragma once

// An Engine behind the one engine mutex, shared by every handle on it (the Python objects and the
// maintenance thread). Like the engine's own invariants, the lock is poisoned for good when an
// internal fault escapes while it is held: from then on every lock attempt fails.

#include <exception>
#include <memory>
#include <mutex>
#include <optional>

#include "quellmar/engine/engine.h"

namespace quellmar {

class EngineMutex {
 public:
  explicit EngineMutex(std::unique_ptr<Engine> engine) : engine_(std::move(engine)) {}
  EngineMutex(const EngineMutex&) = delete;
  EngineMutex& operator=(const EngineMutex&) = delete;

  // Holds the lock; poisons it when destroyed while an exception propagates through its scope.
  class Guard {
   public:
    explicit Guard(EngineMutex& m)
        : m_(&m), lock_(m.mu_), exceptions_(std::uncaught_exceptions()) {}
    Guard(Guard&& other) noexcept = default;
    Guard& operator=(Guard&&) = delete;
    ~Guard() {
      if (m_ && lock_.owns_lock() && std::uncaught_exceptions() > exceptions_) m_->poisoned_ = true;
    }
    Engine& operator*() const { return *m_->engine_; }
    Engine* operator->() const { return m_->engine_.get(); }
    // Marks the lock poisoned (a fault was caught while it was held).
    void poison() const { m_->poisoned_ = true; }

   private:
    EngineMutex* m_;
    std::unique_lock<std::mutex> lock_;
    int exceptions_;
  };

  // Takes the lock; none (with the lock released again) when it is poisoned.
  std::optional<Guard> lock() {
    Guard g(*this);
    if (poisoned_) return std::nullopt;
    return std::optional<Guard>(std::move(g));
  }

  // Without locking: whether a fault poisoned the lock.
  bool poisoned() {
    std::lock_guard<std::mutex> l(mu_);
    return poisoned_;
  }

 private:
  std::mutex mu_;
  bool poisoned_ = false;  // guarded by mu_
  std::unique_ptr<Engine> engine_;
};

inline constexpr const char* ENGINE_LOCK_POISONED = "engine lock poisoned";

}  // namespace quellmar
