#include "quellmar/engine/maintenance.h"

#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <system_error>
#include <utility>

#include "quellmar/core/clock.h"
#include "quellmar/core/internal_fault.h"
#include "quellmar/core/mutex.h"
#include "quellmar/core/str_cat.h"

namespace quellmar {
namespace {

using Clock = std::chrono::steady_clock;
using Nanos = std::chrono::nanoseconds;

// Whole wall-clock seconds since the epoch; 0 before it.
uint64_t wall_epoch_secs() { return unix_now_ns() / 1000000000; }

// What is left of `interval` since `since`, saturating at zero.
Nanos remaining(Clock::time_point now, Clock::time_point since, uint64_t interval_ns) {
  const Nanos elapsed = std::max(Nanos(0), std::chrono::duration_cast<Nanos>(now - since));
  const Nanos interval(static_cast<int64_t>(std::min<uint64_t>(interval_ns, INT64_MAX)));
  return std::max(Nanos(0), interval - elapsed);
}

bool is_due(Clock::time_point since, uint64_t interval_ns) {
  return remaining(Clock::now(), since, interval_ns) == Nanos(0);
}

// The thread body. A poisoned engine lock skips a due step and keeps it due; the pass after such
// a skip pauses for the full cap instead of polling, since the lock stays poisoned for good.
void maintenance_loop(const MaintenanceConfig& config, EngineMutex& engine,
                      MaintenanceHandle::Shared& shared) {
  const float days_per_tick = config.hours_per_tick / 24.0f;
  Clock::time_point last_sweep = Clock::now();
  Clock::time_point last_compaction = Clock::now();
  bool skipped_poisoned = false;

  for (;;) {
    const Clock::time_point now = Clock::now();
    Nanos pause = std::min({remaining(now, last_sweep, config.sweep_interval_ns),
                            remaining(now, last_compaction, config.compaction_interval_ns),
                            Nanos(MAINTENANCE_MAX_PAUSE_NS)});
    if (skipped_poisoned) pause = Nanos(MAINTENANCE_MAX_PAUSE_NS);
    skipped_poisoned = false;
    if (pause > Nanos(0)) {
      std::unique_lock<std::mutex> l(shared.wake_mu);
      shared.wake_cv.wait_for(l, pause,
                              [&] { return shared.stop.load(std::memory_order_acquire); });
    }
    if (shared.stop.load(std::memory_order_acquire)) return;

    if (is_due(last_sweep, config.sweep_interval_ns)) {
      uint64_t evicted = 0;
      bool ran = false;
      {
        std::optional<EngineMutex::Guard> guard = engine.lock();
        if (guard) {
          // An eviction that fails counts as none.
          Result<uint64_t> n = (*guard)->sweep(SweepStep{days_per_tick, config.eviction_threshold,
                                                         /*fire_scheduled=*/true});
          if (n.is_ok()) evicted = *n;
          ran = true;
        }
      }
      if (ran) {
        {
          MutexLock l(shared.stats_mu);
          shared.stats.sweep_count += 1;
          shared.stats.total_packs_evicted += evicted;
          shared.stats.last_sweep_epoch_secs = wall_epoch_secs();
        }
        last_sweep = Clock::now();
      } else {
        skipped_poisoned = true;
      }
    }

    if (is_due(last_compaction, config.compaction_interval_ns)) {
      std::optional<Result<CompactionReport>> report;
      {
        std::optional<EngineMutex::Guard> guard = engine.lock();
        if (guard) report.emplace((*guard)->compact());
      }
      if (!report) {
        skipped_poisoned = true;
      } else if (!report->is_ok()) {
        // A failed compaction waits a full interval like a successful one.
        last_compaction = Clock::now();
      } else {
        {
          MutexLock l(shared.stats_mu);
          shared.stats.compaction_count += 1;
          shared.stats.total_bytes_reclaimed += (*report)->bytes_reclaimed;
          shared.stats.last_compaction_epoch_secs = wall_epoch_secs();
        }
        last_compaction = Clock::now();
      }
    }
  }
}

}  // namespace

MaintenanceHandle::MaintenanceHandle(MaintenanceConfig config)
    : config_(config), shared_(std::make_shared<Shared>()) {}

MaintenanceHandle::~MaintenanceHandle() {
  try {
    stop();
  } catch (...) {
    // Only a failed join lands here; the thread was detached and keeps its own references.
  }
}

Status MaintenanceHandle::start(std::shared_ptr<EngineMutex> engine) {
  if (!config_.enabled || thread_.has_value() || engine == nullptr) return Status::ok();
  // Every start counts from zero.
  auto shared = std::make_shared<Shared>();
  try {
    thread_.emplace([config = config_, engine = std::move(engine), shared]() mutable {
      pthread_setname_np(pthread_self(), MAINTENANCE_THREAD_NAME);
      try {
        maintenance_loop(config, *engine, *shared);
      } catch (...) {
        // An internal fault in a step ends the thread. The engine guard was unwound by it, which
        // left the engine lock poisoned; the failure itself is dropped with the thread.
      }
      engine.reset();
      shared->finished.store(true, std::memory_order_release);
    });
  } catch (const std::system_error& e) {
    thread_.reset();
    throw InternalFault(str_cat("failed to spawn maintenance thread: ", e.what()));
  }
  shared_ = std::move(shared);
  return Status::ok();
}

void MaintenanceHandle::stop() {
  shared_->stop.store(true, std::memory_order_seq_cst);
  if (thread_) {
    std::thread t = std::move(*thread_);
    thread_.reset();
    {
      // Taken so that a thread between its flag check and its wait cannot miss the wake-up.
      std::lock_guard<std::mutex> l(shared_->wake_mu);
    }
    shared_->wake_cv.notify_all();
    try {
      t.join();
    } catch (const std::system_error& e) {
      // The stop flag stays set, so the detached thread still ends at its next look.
      t.detach();
      throw InternalFault(str_cat("failed to join thread: ", e.what()));
    }
  }
  shared_->stop.store(false, std::memory_order_seq_cst);
}

bool MaintenanceHandle::is_running() const {
  return thread_.has_value() && !shared_->finished.load(std::memory_order_acquire);
}

MaintenanceStats MaintenanceHandle::status() const {
  MutexLock l(shared_->stats_mu);
  return shared_->stats;
}

}  // namespace quellmar
