#pragma once

// The names of the files an engine keeps in its directory, and how they are built. Not here: the
// staging directory a restore makes inside its target (".qmr-restore-" and a unique suffix,
// snapshot.cc), and the "<seq>.tar" names of checkpoint archives (checkpoint.h), which live in a
// checkpoint directory of their own.

#include <cstdint>
#include <string>
#include <string_view>

namespace quellmar {

// "segment_{:06}.qmr": the id zero-padded to at least six digits.
std::string segment_file_name(uint32_t id);
std::string segment_path(const std::string& dir, uint32_t id);
// The id of a segment file name "segment_<decimal>.qmr": an optional '+', then at least one
// digit, at most UINT32_MAX. False for any other name.
bool parse_segment_file_name(std::string_view name, uint32_t& id);

inline constexpr const char* TEXT_STORE_FILE = "text_store.bin";
inline constexpr const char* DELETION_LOG_FILE = "deletion_log.bin";
inline constexpr const char* SYNAPTIC_FILE = "synaptic.qmr";
inline constexpr const char* VAMANA_FILE = "vamana.idx";
// The one temporary name of vamana.idx that earlier versions wrote under; nothing writes it now.
inline constexpr const char* LEGACY_VAMANA_TMP_FILE = "vamana.idx.tmp";
// The ids a store has handed out, kept by compaction before it drops records (id_floor.h).
inline constexpr const char* ID_FLOOR_FILE = "id_floor.bin";
inline constexpr const char* TRACE_WAL_FILE = "trace.wal";
inline constexpr const char* SCHEDULE_FILE = "scheduled_actions.json";
inline constexpr const char* SCHEDULE_TMP_FILE = "scheduled_actions.json.tmp";

// Where a repair keeps the bytes it cut off the end of an engine file `name` (a file name, not a
// path): "<name>.cut-<offset>", `offset` being where the cut bytes began in that file; with
// `n` > 0, "<name>.cut-<offset>.<n>", the n-th name tried when the earlier ones are taken. No name
// of this form ends in ".qmr", so the segment listing never takes one for a segment.
std::string cut_file_name(const std::string& name, uint64_t offset, unsigned n);

// The temporary a write of the file `name` (a file name, not a path) goes to before it is renamed
// into place: "<name>.tmp-<pid>-<n>", so that writes of different handles, in this process or in
// others, never share one.
std::string temp_file_name(const std::string& name, uint64_t pid, uint64_t n);
// Whether `file` is a temporary of `name` as temp_file_name builds them.
bool is_temp_file_name_of(std::string_view file, std::string_view name);
// Whether `file` is any temporary an engine directory may hold: one of temp_file_name's, the
// legacy name of vamana.idx's, or scheduled_actions.json's. Nothing reads them; snapshots leave
// them out.
bool is_temp_file_name(std::string_view file);

// dir joined with name by one '/'.
std::string join_path(const std::string& dir, const std::string& name);

}  // namespace quellmar
