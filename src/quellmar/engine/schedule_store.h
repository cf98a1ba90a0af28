#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "quellmar/core/clock.h"
#include "quellmar/core/json_reader.h"
#include "quellmar/core/result.h"
#include "quellmar/core/types.h"

namespace quellmar {

// Nanoseconds since the epoch; 0 for a time before it.
uint128_t to_unix_nanos(UnixTime t);
// The latest time a schedule file can hold: INT64_MAX seconds and 999,999,999 nanoseconds.
inline constexpr uint128_t MAX_SCHEDULE_UNIX_NANOS =
    static_cast<uint128_t>(INT64_MAX) * 1000000000u + 999999999u;
// The time `nanos` after the epoch; nanos must not exceed MAX_SCHEDULE_UNIX_NANOS.
UnixTime from_unix_nanos(uint128_t nanos);

// One scheduled EvictDraft action: at or after `fires_at`, evict the Draft packs of `owner` whose
// importance is below `threshold`.
struct ScheduledEntry {
  uint64_t id = 0;
  UnixTime fires_at;
  OwnerId owner = 0;
  float threshold = 0;

  friend bool operator==(const ScheduledEntry&, const ScheduledEntry&) = default;
};

// The scheduled actions of one engine, persisted whole in `<engine dir>/scheduled_actions.json`
// after every change (written to scheduled_actions.json.tmp and renamed over it; no device
// flush). Every change is made in memory first; a failed save leaves the change in memory and
// returns the error, and the next successful save writes the full state.
//
// scheduled_actions.json (pretty JSON, two-space indent, no final line break):
//   {"next_id": u64, "entries": [{"id": u64, "fires_at_unix_nanos": u128,
//                                 "action": {"EvictDraft": {"owner": u64, "threshold": f32}}}]}
class ScheduleStore {
 public:
  // Called when the evictions of due entries run: evict the Draft packs of `owner` below
  // `threshold`.
  using EvictFn = std::function<Status(OwnerId owner, float threshold)>;

  // Reads the store of an engine directory. A file whose metadata cannot be read is an empty
  // store with next id 1; a read failure is Io; a file that does not parse is SnapshotIntegrity
  // "scheduled_actions.json parse error: {}". The file's next_id is raised to 1 and past the id
  // of every entry.
  static Result<ScheduleStore> load(const std::string& engine_dir);

  Status save() const;
  // The file's text for the current state.
  Result<std::string> serialize() const;

  // next_id once the last id, NO_ID_LEFT - 1, has been handed out: next_id is stored as a 64-bit
  // number itself and names an id not handed out yet, so it cannot go past this, and a store
  // whose next_id it is refuses every add. Ids thus never repeat, also across reopens.
  static constexpr uint64_t NO_ID_LEFT = UINT64_MAX;

  // Appends an entry with the next id and saves. A threshold that is NaN or infinite could not be
  // stored, and no id is left once next_id is NO_ID_LEFT: both are refused before anything
  // changes (SnapshotIntegrity).
  Result<uint64_t> add(UnixTime fires_at, OwnerId owner, float threshold);
  // Removes every entry with this id; saves and answers true when one was removed.
  Result<bool> cancel(uint64_t id);
  // Copies of the entries with fires_at <= now, in store order.
  std::vector<ScheduledEntry> collect_due(UnixTime now) const;
  // Removes the entries with these ids (keeping the order of the rest); saves when any went.
  Status remove_fired(const std::vector<uint64_t>& ids);

  // Runs the due entries in store order through `evict` and then removes them; returns how many
  // were due. The first eviction error is returned at once and removes nothing, so every due
  // entry runs again at the next firing. Nothing due: 0, and no save.
  Result<uint64_t> fire_due(UnixTime now, const EvictFn& evict);
  // Copies of all entries, stably sorted by fire time (equal times keep store order).
  std::vector<ScheduledEntry> list_by_fire_time() const;

  const std::vector<ScheduledEntry>& entries() const { return entries_; }
  uint64_t next_id() const { return next_id_; }
  const std::string& path() const { return path_; }

 private:
  ScheduleStore(std::string dir, std::string path) : dir_(std::move(dir)), path_(std::move(path)) {}

  std::string dir_;
  std::string path_;
  std::vector<ScheduledEntry> entries_;
  uint64_t next_id_ = 1;
};

}  // namespace quellmar
