#define NO_IMPORT_ARRAY
#include "quellmar/python/py.h"

// Engine methods that run the background maintenance thread and the scheduled actions. The four
// maintenance methods work on the object's maintenance handle alone and never take the engine
// lock; the four scheduling methods take it holding the interpreter lock.

#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <vector>

#include "quellmar/core/clock.h"
#include "quellmar/python/engine_type.h"

namespace quellmar::python {

namespace {

constexpr const char* SECONDS_NEGATIVE =
    "cannot convert float seconds to Duration: value is negative";
constexpr const char* SECONDS_TOO_BIG =
    "cannot convert float seconds to Duration: value is either too big or NaN";
constexpr const char* FIRE_TIME_OVERFLOW = "overflow when adding duration to instant";
constexpr const char* MAINTENANCE_ALREADY_RUNNING = "maintenance already running";

constexpr uint64_t NANOS_PER_SEC = 1000000000;
// 2^64 seconds: the first value no duration can hold.
constexpr double SECONDS_LIMIT = 18446744073709551616.0;
// 2^63 seconds: the first fire time past what a wall-clock time can hold.
constexpr uint128_t FIRE_TIME_LIMIT_NANOS = (uint128_t{1} << 63) * NANOS_PER_SEC;

// Seconds as whole nanoseconds, rounded to the nearest (ties to even) from the exact value of the
// double. ValueError for a value below zero (-0.0 is zero), NaN, an infinity or 2^64 seconds and
// more.
std::optional<uint128_t> seconds_to_nanos(double secs) {
  if (secs < 0.0) {
    PyErr_SetString(PyExc_ValueError, SECONDS_NEGATIVE);
    return std::nullopt;
  }
  if (!(secs < SECONDS_LIMIT)) {  // NaN fails every comparison
    PyErr_SetString(PyExc_ValueError, SECONDS_TOO_BIG);
    return std::nullopt;
  }
  if (secs == 0.0) return uint128_t{0};
  // secs = m * 2^shift exactly, with m a 53-bit integer; m * 1e9 < 2^83 and secs < 2^64 keeps
  // shift <= 11, so the scaled value fits 128 bits either way.
  int exp = 0;
  const double mantissa = std::frexp(secs, &exp);
  const auto m = static_cast<uint64_t>(std::ldexp(mantissa, 53));
  const int shift = exp - 53;
  const uint128_t scaled = uint128_t{m} * NANOS_PER_SEC;
  if (shift >= 0) return scaled << shift;
  const int drop = -shift;
  if (drop > 100) return uint128_t{0};  // below a quarter of a nanosecond
  uint128_t q = scaled >> drop;
  const uint128_t rem = scaled & ((uint128_t{1} << drop) - 1);
  const uint128_t half = uint128_t{1} << (drop - 1);
  if (rem > half || (rem == half && (q & 1) != 0)) ++q;
  return q;
}

// An interval as the maintenance thread keeps it; one too long for 64-bit nanoseconds (over 584
// years) never comes due either way, so it is held at the largest.
uint64_t interval_nanos(uint128_t nanos) {
  return nanos > std::numeric_limits<uint64_t>::max() ? std::numeric_limits<uint64_t>::max()
                                                      : static_cast<uint64_t>(nanos);
}

double unix_secs(UnixTime t) {
  if (t.seconds < 0) return 0.0;
  return static_cast<double>(t.seconds) + static_cast<double>(t.nanos) / 1e9;
}

struct StartMaintenanceArgs {
  double sweep_interval_secs = 3600.0;
  double compaction_interval_secs = 21600.0;
  float eviction_threshold = DEFAULT_EVICTION_THRESHOLD;
  float hours_per_tick = 1.0f;
};
constexpr auto START_MAINTENANCE = signature(
    "Engine", "start_maintenance",
    with_default("sweep_interval_secs", &StartMaintenanceArgs::sweep_interval_secs),
    with_default("compaction_interval_secs", &StartMaintenanceArgs::compaction_interval_secs),
    with_default("eviction_threshold", &StartMaintenanceArgs::eviction_threshold),
    with_default("hours_per_tick", &StartMaintenanceArgs::hours_per_tick));

// Runs under the exclusive borrow of the object. A refused start changes nothing; a successful one
// drops the previous handle (its thread has already ended) and starts from fresh counters.
PyObject* start_maintenance(PyEngine& self, StartMaintenanceArgs& a) {
  EngineState& state = self.state;
  if (state.maintenance && state.maintenance->is_running()) {
    PyErr_SetString(PyExc_RuntimeError, MAINTENANCE_ALREADY_RUNNING);
    return nullptr;
  }
  std::optional<uint128_t> sweep = seconds_to_nanos(a.sweep_interval_secs);
  if (!sweep) return nullptr;
  std::optional<uint128_t> compaction = seconds_to_nanos(a.compaction_interval_secs);
  if (!compaction) return nullptr;
  auto handle = std::make_unique<MaintenanceHandle>(
      MaintenanceConfig{interval_nanos(*sweep), interval_nanos(*compaction), a.eviction_threshold,
                        a.hours_per_tick, true});
  // A refused thread throws here (a panic for the caller) and leaves the previous handle alone.
  Status started = handle->start(state.inner);
  if (!started) {
    raise_engine_error(started.error());
    return nullptr;
  }
  state.maintenance = std::move(handle);
  return none();
}

// Waits for the thread holding the interpreter lock; the thread never takes it. The handle stays
// with its counters.
PyObject* stop_maintenance(PyEngine& self) {
  if (self.state.maintenance) self.state.maintenance->stop();
  return none();
}

PyObject* is_maintenance_running(PyEngine& self) {
  return to_py(self.state.maintenance != nullptr && self.state.maintenance->is_running());
}

PyObject* maintenance_status(PyEngine& self) {
  const MaintenanceStats stats =
      self.state.maintenance ? self.state.maintenance->status() : MaintenanceStats{};
  static DictKeys keys({"sweep_count", "compaction_count", "total_packs_evicted",
                        "total_bytes_reclaimed", "last_sweep_epoch_secs",
                        "last_compaction_epoch_secs"});
  return keys.make({to_py(stats.sweep_count), to_py(stats.compaction_count),
                    to_py(stats.total_packs_evicted), to_py(stats.total_bytes_reclaimed),
                    to_py(stats.last_sweep_epoch_secs), to_py(stats.last_compaction_epoch_secs)});
}

struct ScheduleEvictDraftArgs {
  double fires_at_unix_secs = 0.0;
  uint64_t owner = 0;
  float threshold = 0.0f;
};
constexpr auto SCHEDULE_EVICT_DRAFT =
    signature("Engine", "schedule_evict_draft",
              required("fires_at_unix_secs", &ScheduleEvictDraftArgs::fires_at_unix_secs),
              required("owner", &ScheduleEvictDraftArgs::owner),
              required("threshold", &ScheduleEvictDraftArgs::threshold));

PyObject* schedule_evict_draft(PyEngine& self, ScheduleEvictDraftArgs& a) {
  std::optional<uint128_t> nanos = seconds_to_nanos(a.fires_at_unix_secs);
  if (!nanos) return nullptr;
  if (*nanos >= FIRE_TIME_LIMIT_NANOS) {
    PyErr_SetString(PyExc_ValueError, FIRE_TIME_OVERFLOW);
    return nullptr;
  }
  const UnixTime fires_at = from_unix_nanos(*nanos);
  std::optional<uint64_t> id = with_engine<Gil::Hold>(
      self, [&](Engine& e) { return e.schedule().add(fires_at, a.owner, a.threshold); });
  return id ? to_py(*id) : nullptr;
}

struct CancelScheduledArgs {
  uint64_t id = 0;
};
constexpr auto CANCEL_SCHEDULED =
    signature("Engine", "cancel_scheduled", required("id", &CancelScheduledArgs::id));

PyObject* cancel_scheduled(PyEngine& self, CancelScheduledArgs& a) {
  std::optional<bool> removed =
      with_engine<Gil::Hold>(self, [&](Engine& e) { return e.schedule().cancel(a.id); });
  return removed ? to_py(*removed) : nullptr;
}

PyObject* fire_due_scheduled(PyEngine& self) {
  std::optional<uint64_t> fired = with_engine<Gil::Hold>(
      self, [](Engine& e) { return e.fire_due_scheduled(from_unix_nanos(unix_now_ns())); });
  return fired ? to_py(*fired) : nullptr;
}

PyObject* list_scheduled(PyEngine& self) {
  std::optional<std::vector<ScheduledEntry>> entries =
      with_engine<Gil::Hold>(self, [](Engine& e) { return e.list_scheduled(); });
  if (!entries) return nullptr;
  static DictKeys entry_keys({"id", "fires_at_unix_secs", "action"});
  static DictKeys action_keys({"type", "owner", "threshold"});
  return list_of(entries->size(), [&](size_t i) {
    const ScheduledEntry& entry = (*entries)[i];
    PyObject* action = action_keys.make(
        {PyUnicode_FromString("evict_draft"), to_py(entry.owner), to_py(entry.threshold)});
    return entry_keys.make({to_py(entry.id), to_py(unix_secs(entry.fires_at)), action});
  });
}

}  // namespace

std::span<const PyMethodDef> engine_maintenance_methods() {
  static const PyMethodDef METHODS[] = {
      method<START_MAINTENANCE, start_maintenance, BorrowMode::Exclusive>(
          "Start background maintenance (governance sweep + auto-compaction)."),
      method_noargs<stop_maintenance, BorrowMode::Exclusive>("stop_maintenance",
                                                             "Stop background maintenance."),
      method_noargs<is_maintenance_running>("is_maintenance_running",
                                            "Whether background maintenance is currently running."),
      method_noargs<maintenance_status>("maintenance_status", "Get maintenance statistics."),
      method<SCHEDULE_EVICT_DRAFT, schedule_evict_draft>(
          "Schedule an ``evict_draft`` action to fire at ``fires_at_unix_secs``\n"
          "(seconds since the Unix epoch). Returns the assigned schedule id.\n\n"
          "The schedule is persisted to a JSON sidecar before this returns and\n"
          "survives engine restart. Built-in actions are idempotent; the\n"
          "at-least-once delivery model gives fire-once-in-effect across crashes."),
      method<CANCEL_SCHEDULED, cancel_scheduled>(
          "Cancel a previously-scheduled action. Returns ``True`` if the entry\n"
          "was found and removed."),
      method_noargs<fire_due_scheduled>(
          "fire_due_scheduled",
          "Fire any actions whose `fires_at <= now`. Returns the number of\n"
          "actions that fired successfully. Use after a known event when you\n"
          "want scheduled work committed before the next tick of the background\n"
          "maintenance worker."),
      method_noargs<list_scheduled>(
          "list_scheduled",
          "List pending scheduled entries as dicts:\n"
          "``{\"id\": int, \"fires_at_unix_secs\": float, \"action\": dict}``.\n"
          "Entries are sorted by fire time ascending."),
  };
  return METHODS;
}

}  // namespace quellmar::python
