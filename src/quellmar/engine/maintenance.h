#pragma once

// The maintenance thread: an optional background worker that keeps an open engine tidy. At the
// sweep interval it advances the governance clock, evicts weak Draft packs and fires due scheduled
// actions; at the compaction interval it compacts the block pool. It shares the one engine mutex
// with every other caller and takes it once per step; its counters live under a second mutex that
// it never holds together with the engine mutex.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "quellmar/core/mutex.h"
#include "quellmar/core/result.h"
#include "quellmar/core/thread_annotations.h"
#include "quellmar/engine/engine_mutex.h"

namespace quellmar {

inline constexpr const char* MAINTENANCE_THREAD_NAME = "qmr-maintenance";
// The longest pause between two looks at the stop flag.
inline constexpr uint64_t MAINTENANCE_MAX_PAUSE_NS = 1000000000;

// Copied into the thread when it starts; never changed afterwards.
struct MaintenanceConfig {
  uint64_t sweep_interval_ns = 0;       // from the end of one sweep to the next sweep
  uint64_t compaction_interval_ns = 0;  // from the end of one compaction attempt to the next
  float eviction_threshold = 0.0f;      // importance bound of each sweep's Draft eviction
  float hours_per_tick = 0.0f;          // simulated hours one sweep adds to the governance clock
  bool enabled = true;                  // the thread is only started when true
};

struct MaintenanceStats {
  uint64_t sweep_count = 0;            // sweeps that ran (wrapping)
  uint64_t compaction_count = 0;       // compactions that succeeded (wrapping)
  uint64_t total_packs_evicted = 0;    // packs removed by the sweeps' own Draft evictions
  uint64_t total_bytes_reclaimed = 0;  // bytes reclaimed by the successful compactions
  std::optional<uint64_t> last_sweep_epoch_secs;       // wall clock at the end of the last sweep
  std::optional<uint64_t> last_compaction_epoch_secs;  // ... of the last successful compaction

  friend bool operator==(const MaintenanceStats&, const MaintenanceStats&) = default;
};

class MaintenanceHandle {
 public:
  // A handle with fresh counters, a cleared stop flag and no thread.
  explicit MaintenanceHandle(MaintenanceConfig config);
  MaintenanceHandle(const MaintenanceHandle&) = delete;
  MaintenanceHandle& operator=(const MaintenanceHandle&) = delete;
  // Stops the thread and waits for it.
  ~MaintenanceHandle();

  // Starts the thread on a shared reference to the engine. Does nothing (and releases the
  // reference) when the config is disabled or a thread is already attached, even one that has
  // ended on its own. When the system refuses to create the thread this is an internal failure:
  // it throws InternalFault with a message beginning "failed to spawn maintenance thread", and
  // the handle keeps no thread. Never call it with the engine lock held.
  Status start(std::shared_ptr<EngineMutex> engine);
  // Sets the stop flag, wakes the thread, waits for it to end (a step under way finishes first)
  // and clears the flag again. An internal fault that ended the thread is discarded. Without a
  // thread it only clears the flag.
  void stop();
  // A thread is attached and has not ended (a thread ended by an internal fault does not run).
  bool is_running() const;
  // A copy of the counters, taken under their mutex.
  MaintenanceStats status() const;

  const MaintenanceConfig& config() const { return config_; }

  // State shared by the handle and its thread.
  struct Shared {
    mutable Mutex stats_mu;
    MaintenanceStats stats QM_GUARDED_BY(stats_mu);

    std::atomic<bool> stop{false};
    // Wakes a pausing thread at once on stop; guards nothing else.
    std::mutex wake_mu;
    std::condition_variable wake_cv;

    std::atomic<bool> finished{false};  // the thread has left its loop
  };

 private:
  MaintenanceConfig config_;
  std::shared_ptr<Shared> shared_;
  std::optional<std::thread> thread_;
};

}  // namespace quellmar
