#include "quellmar/engine/schedule_store.h"

#include <sys/stat.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <unordered_set>

#include "quellmar/core/file_names.h"
#include "quellmar/core/posix_file.h"
#include "quellmar/core/str_cat.h"

namespace quellmar {

namespace {

using ordered_json = nlohmann::ordered_json;

constexpr uint64_t NANOS_PER_SECOND = 1000000000;
constexpr const char* EVICT_DRAFT = "EvictDraft";
// A number the JSON library would print in another form (a fire time beyond 64 bits, a threshold)
// is held as this marker plus its text while the library prints the document, and then written
// as a bare number.
constexpr std::string_view RAW_NUMBER_MARKER = "qmr-number:";

// A finite float in the shortest decimal form that reads back as the same 32-bit value. From
// 1e-6 up to below 1e13 in plain notation with at least one digit after the point (15.0, 0.1,
// 0.000001); otherwise one digit, the others after a point, and an exponent without sign or
// padding when positive (1e30, 1e-7, 3.4028235e38).
std::string shortest_f32(float f) {
  char buf[64];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, f, std::chars_format::scientific);
  QM_CHECK(ec == std::errc());
  std::string_view sci(buf, static_cast<size_t>(end - buf));  // [-]d[.ddd]e(+|-)xx
  std::string out;
  if (sci.front() == '-') {
    out = "-";
    sci.remove_prefix(1);
  }
  const size_t e = sci.find('e');
  std::string digits(sci.substr(0, e));
  if (digits.size() > 1) digits.erase(1, 1);  // the point
  const int exp10 = std::stoi(std::string(sci.substr(e + 1)));
  if (digits == "0") return out + "0.0";
  // The value is 0.DIGITS times 10^point.
  const int point = exp10 + 1;
  const int len = static_cast<int>(digits.size());
  if (point >= len && point <= 13) {
    out += digits + std::string(static_cast<size_t>(point - len), '0') + ".0";
  } else if (point > 0 && point <= 13) {
    out += digits.substr(0, static_cast<size_t>(point)) + "." +
           digits.substr(static_cast<size_t>(point));
  } else if (point > -6 && point <= 0) {
    out += "0." + std::string(static_cast<size_t>(-point), '0') + digits;
  } else {
    out += digits.substr(0, 1);
    if (len > 1) out += "." + digits.substr(1);
    out += str_cat("e", exp10);
  }
  return out;
}

EngineError parse_error(const std::string& reason) {
  return EngineError::snapshot_integrity(str_cat("scheduled_actions.json parse error: ", reason));
}

bool read_entry(JsonReader& r, const JsonValue& v, ScheduledEntry& out) {
  std::vector<const JsonValue*> f;
  if (!r.fields(v, "DiskEntry", {"id", "fires_at_unix_nanos", "action"}, f)) return false;
  const JsonValue* fire = f[1];
  const JsonValue* action = f[2];
  uint128_t nanos;
  if (!r.get_u64(*f[0], out.id) || !r.get_u128(*fire, nanos)) return false;
  if (nanos > MAX_SCHEDULE_UNIX_NANOS) {
    return r.fail(*fire, str_cat("invalid value: integer `", u128_to_string(nanos),
                                 "`, expected a time at most ",
                                 u128_to_string(MAX_SCHEDULE_UNIX_NANOS), " nanoseconds"));
  }
  out.fires_at = from_unix_nanos(nanos);
  size_t which;
  const JsonValue* payload = nullptr;
  if (!r.variant(*action, {EVICT_DRAFT}, which, payload)) return false;
  std::vector<const JsonValue*> g;
  if (!r.fields(*payload, "ScheduledAction::EvictDraft", {"owner", "threshold"}, g)) return false;
  return r.get_u64(*g[0], out.owner) && r.get_f32(*g[1], out.threshold);
}

}  // namespace

uint128_t to_unix_nanos(UnixTime t) {
  if (t.seconds < 0) return 0;
  return static_cast<uint128_t>(t.seconds) * NANOS_PER_SECOND + t.nanos;
}

UnixTime from_unix_nanos(uint128_t nanos) {
  QM_CHECK(nanos <= MAX_SCHEDULE_UNIX_NANOS);
  return UnixTime{static_cast<int64_t>(nanos / NANOS_PER_SECOND),
                  static_cast<uint32_t>(nanos % NANOS_PER_SECOND)};
}

Result<ScheduleStore> ScheduleStore::load(const std::string& engine_dir) {
  ScheduleStore store(engine_dir, join_path(engine_dir, SCHEDULE_FILE));
  struct stat st;
  // The name's own status: a link (even a dangling one) is read, and refused as a link.
  if (store.path_.find('\0') != std::string::npos || ::lstat(store.path_.c_str(), &st) != 0) {
    return store;
  }
  QM_ASSIGN_OR_RETURN(std::string text, read_whole_file(store.path_));
  JsonReader r;
  if (!r.parse(text)) return parse_error(r.error());
  std::vector<const JsonValue*> f;
  if (!r.fields(r.root(), "ScheduleFile", {"next_id", "entries"}, f)) return parse_error(r.error());
  uint64_t next_id;
  if (!r.get_u64(*f[0], next_id)) return parse_error(r.error());
  const JsonValue& list = *f[1];
  if (list.kind != JsonValue::Kind::Array) {
    r.fail(list, "invalid type: expected a sequence of entries");
    return parse_error(r.error());
  }
  store.entries_.reserve(list.items.size());
  for (const JsonValue& item : list.items) {
    ScheduledEntry e;
    if (!read_entry(r, item, e)) return parse_error(r.error());
    store.entries_.push_back(e);
  }
  // The next id lies past every id the file holds, whatever its next_id says (a file edited by
  // hand may name one at or above it), so that ids stay unique.
  store.next_id_ = std::max<uint64_t>(next_id, 1);
  for (const ScheduledEntry& e : store.entries_) {
    store.next_id_ = std::max(store.next_id_, e.id == UINT64_MAX ? UINT64_MAX : e.id + 1);
  }
  return store;
}

Result<std::string> ScheduleStore::serialize() const {
  ordered_json root = ordered_json::object();
  root["next_id"] = next_id_;
  ordered_json list = ordered_json::array();
  bool has_marker = false;
  for (const ScheduledEntry& e : entries_) {
    ordered_json entry = ordered_json::object();
    entry["id"] = e.id;
    uint128_t nanos = to_unix_nanos(e.fires_at);
    if (nanos <= UINT64_MAX) {
      entry["fires_at_unix_nanos"] = static_cast<uint64_t>(nanos);
    } else {
      entry["fires_at_unix_nanos"] = str_cat(RAW_NUMBER_MARKER, u128_to_string(nanos));
      has_marker = true;
    }
    ordered_json action = ordered_json::object();
    action["owner"] = e.owner;
    if (std::isfinite(e.threshold)) {
      action["threshold"] = str_cat(RAW_NUMBER_MARKER, shortest_f32(e.threshold));
      has_marker = true;
    } else {
      action["threshold"] = nullptr;
    }
    entry["action"] = ordered_json::object({{EVICT_DRAFT, std::move(action)}});
    list.push_back(std::move(entry));
  }
  root["entries"] = std::move(list);
  std::string text;
  try {
    text = root.dump(2, ' ', false, ordered_json::error_handler_t::strict);
  } catch (const std::exception& ex) {
    return EngineError::snapshot_integrity(
        str_cat("scheduled_actions.json serialize error: ", ex.what()));
  }
  if (has_marker) {
    const std::string quoted = str_cat("\"", RAW_NUMBER_MARKER);
    for (size_t p = text.find(quoted); p != std::string::npos; p = text.find(quoted, p)) {
      size_t close = text.find('"', p + quoted.size());
      QM_CHECK(close != std::string::npos);
      std::string digits = text.substr(p + quoted.size(), close - p - quoted.size());
      text.replace(p, close + 1 - p, digits);
      p += digits.size();
    }
  }
  return text;
}

Status ScheduleStore::save() const {
  QM_ASSIGN_OR_RETURN(std::string text, serialize());
  const std::string tmp = join_path(dir_, SCHEDULE_TMP_FILE);
  QM_ASSIGN_OR_RETURN(UniqueFd fd, create_replacing(tmp));
  QM_RETURN_IF_ERROR(write_all(fd, text.data(), text.size(), tmp));
  QM_RETURN_IF_ERROR(fd.close());
  return rename_path(tmp, path_);
}

Result<uint64_t> ScheduleStore::add(UnixTime fires_at, OwnerId owner, float threshold) {
  if (!std::isfinite(threshold)) {
    return EngineError::snapshot_integrity(
        str_cat("scheduled action threshold must be a finite number, got ",
                std::isnan(threshold) ? "NaN" : (threshold > 0 ? "inf" : "-inf")));
  }
  if (next_id_ == NO_ID_LEFT) {
    return EngineError::snapshot_integrity(
        str_cat("no scheduled action id is left (the last one is ", NO_ID_LEFT - 1, ")"));
  }
  uint64_t id = next_id_++;
  entries_.push_back(ScheduledEntry{id, fires_at, owner, threshold});
  QM_RETURN_IF_ERROR(save());
  return id;
}

Result<bool> ScheduleStore::cancel(uint64_t id) {
  auto it = std::remove_if(entries_.begin(), entries_.end(),
                           [&](const ScheduledEntry& e) { return e.id == id; });
  if (it == entries_.end()) return false;
  entries_.erase(it, entries_.end());
  QM_RETURN_IF_ERROR(save());
  return true;
}

std::vector<ScheduledEntry> ScheduleStore::collect_due(UnixTime now) const {
  std::vector<ScheduledEntry> due;
  for (const ScheduledEntry& e : entries_) {
    if (e.fires_at <= now) due.push_back(e);
  }
  return due;
}

Status ScheduleStore::remove_fired(const std::vector<uint64_t>& ids) {
  const std::unordered_set<uint64_t> gone(ids.begin(), ids.end());
  auto it = std::remove_if(entries_.begin(), entries_.end(),
                           [&](const ScheduledEntry& e) { return gone.count(e.id) > 0; });
  if (it == entries_.end()) return Status::ok();
  entries_.erase(it, entries_.end());
  return save();
}

Result<uint64_t> ScheduleStore::fire_due(UnixTime now, const EvictFn& evict) {
  std::vector<ScheduledEntry> due = collect_due(now);
  if (due.empty()) return uint64_t{0};
  std::vector<uint64_t> ids;
  ids.reserve(due.size());
  for (const ScheduledEntry& e : due) {
    QM_RETURN_IF_ERROR(evict(e.owner, e.threshold));
    ids.push_back(e.id);
  }
  QM_RETURN_IF_ERROR(remove_fired(ids));
  return static_cast<uint64_t>(due.size());
}

std::vector<ScheduledEntry> ScheduleStore::list_by_fire_time() const {
  std::vector<ScheduledEntry> out = entries_;
  std::stable_sort(out.begin(), out.end(), [](const ScheduledEntry& a, const ScheduledEntry& b) {
    return a.fires_at < b.fires_at;
  });
  return out;
}

}  // namespace quellmar
