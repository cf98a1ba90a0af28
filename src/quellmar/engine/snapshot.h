#pragma once

// Snapshot archives of an engine directory: a GNU-format tar stream holding manifest.json first
// and then the directory tree under "engine_state", with a SHA-256 content digest in the
// manifest; and their restore into a target directory.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "quellmar/core/result.h"
#include "quellmar/core/sha256.h"

struct archive;

namespace quellmar {

inline constexpr const char* SNAPSHOT_MAGIC = "qmr!";
inline constexpr uint8_t SNAPSHOT_FORMAT_VERSION = 1;
inline constexpr const char* SNAPSHOT_QUANTIZATION_CODEC = "q4";
inline constexpr const char* SNAPSHOT_KEY_CODEC = "top5avg";
inline constexpr const char* SNAPSHOT_MANIFEST_ENTRY = "manifest.json";
inline constexpr const char* SNAPSHOT_STATE_DIR = "engine_state";
// Archive headers: the manifest entry has time 0, the engine tree this fixed time; owner and
// group are 0; modes are 0644, or 0755 for directories and owner-executable files.
inline constexpr int64_t SNAPSHOT_TREE_MTIME = 1153704088;
inline constexpr int SNAPSHOT_FILE_MODE = 0644;
inline constexpr int SNAPSHOT_EXEC_MODE = 0755;
// What a restore reads at most: the manifest, and each engine file.
inline constexpr uint64_t SNAPSHOT_MANIFEST_LIMIT = uint64_t{1} << 20;
inline constexpr uint64_t SNAPSHOT_FILE_LIMIT = uint64_t{16} << 30;
// Archive data is read and written in pieces of this size.
inline constexpr size_t SNAPSHOT_CHUNK = 64 * 1024;

struct SnapshotCodecs {
  std::string quantization;
  std::string key;

  friend bool operator==(const SnapshotCodecs&, const SnapshotCodecs&) = default;
};

// Informative counts of the snapshotted engine; never checked by a restore.
struct SnapshotStats {
  uint64_t pack_count = 0;
  uint64_t owner_count = 0;

  friend bool operator==(const SnapshotStats&, const SnapshotStats&) = default;
};

// manifest.json, members written in this order.
struct SnapshotManifest {
  std::string magic;
  uint8_t format_version = 0;
  std::string created_at;  // "@" and Unix seconds, "@0" before the epoch
  SnapshotCodecs codecs;
  SnapshotStats stats;
  std::string sha256;  // 64 lower-case hex digits

  friend bool operator==(const SnapshotManifest&, const SnapshotManifest&) = default;
};

// A manifest with the constant members, `created_at` from the wall clock.
SnapshotManifest snapshot_manifest_new(std::string sha256, SnapshotStats stats);
// The manifest as the JSON library's pretty printer writes it (two-space indent, no final line
// break). A serializer failure is SnapshotIntegrity "manifest serialize: {}".
Result<std::string> serialize_snapshot_manifest(const SnapshotManifest& manifest);
// Parses manifest.json; unknown members are ignored, missing or repeated ones refused. A failure
// is NotASnapshot "manifest parse: {}".
Result<SnapshotManifest> parse_snapshot_manifest(std::string_view text);

// Orders relative paths component by component, each compared as bytes ("a/b" before "a.b").
bool path_components_less(std::string_view a, std::string_view b);
// Appends the paths, relative to `base`, of all regular files below `dir`, following symbolic
// links, in directory listing order. A link cycle or a failed listing is Io.
Status walk_engine_dir(const std::string& base, const std::string& dir,
                       std::vector<std::string>& out);
// Absorbs one file into the content digest: its name, a zero byte, its length as u64
// little-endian, then its bytes.
void hash_snapshot_entry(Sha256& hasher, std::string_view name, std::string_view content);
// A file on disk, for the form of hash_snapshot_entry that reads it.
struct SnapshotFile {
  std::string path;
};
// hash_snapshot_entry of the file at `file.path`, read in pieces so that memory stays bounded
// whatever the file's size; a read failure is Io, and so is a file whose size changes while it
// is read (unexpected end of file).
Status hash_snapshot_entry(Sha256& hasher, std::string_view name, SnapshotFile file);
// The path without its leading "engine_state" component; other paths are returned whole.
std::string strip_engine_state_prefix(std::string_view path);
// The current entry's data, read in 64 KiB pieces; more than `limit` bytes is SnapshotIntegrity
// "entry exceeds maximum allowed size of {} bytes", a read failure Io.
Result<std::string> read_tar_entry_limited(struct archive* reader, uint64_t limit);

// Writes a snapshot of `engine_dir` to `out_path` and returns its manifest. Refuses an output
// inside the engine directory (SnapshotIntegrity); I/O and tar failures are Io. The caller keeps
// the directory still while this runs (the engine holds its lock, has drained its write buffer
// and synced trace.wal). No device flush is made; a failure may leave a partial archive.
Result<SnapshotManifest> write_snapshot(const std::string& engine_dir, const std::string& out_path,
                                        SnapshotStats stats);

// The manifest of an archive, checked for its magic only.
Result<SnapshotManifest> read_snapshot_manifest(const std::string& in_path);

// Checks an archive and unpacks its engine files into `target_dir`, creating it when needed;
// files of the same name are replaced, other files stay. The checks run in this order: the
// archive opens (Io); a first pass over its entries (Io) reads the last manifest within its size
// limit (SnapshotIntegrity); there is one (NotASnapshot); it parses (NotASnapshot); its magic
// (NotASnapshot), format version (UnsupportedSnapshotVersion) and codecs
// (SnapshotCodecMismatch) are ours. Nothing is created before these checks pass, so they give
// the same answer whatever the state of target_dir. Then a second pass from the archive's start
// (which must be seekable) reads the engine files (Io), within their size limit
// (SnapshotIntegrity), no name with an empty or ".." component (SnapshotIntegrity: such an
// archive is refused whole); the content digest matches (SnapshotIntegrity); every destination
// can be a file inside target_dir, with no symbolic link or non-directory on the way
// (SnapshotIntegrity). Only then are the files moved into place. A path component of target_dir
// that is not a directory fails with ENOTDIR (Io).
//
// Engine files stream, in bounded memory, into a private staging directory inside target_dir
// and are renamed into place after every check has passed, so a refused archive leaves nothing
// behind: the staging directory and any directories this call created for target_dir are
// removed again. A failure while moving files into place (Io) leaves the files already moved.
Result<SnapshotManifest> restore_snapshot(const std::string& in_path,
                                          const std::string& target_dir);

// The restore with other entry size limits, for tests of the limits.
struct RestoreLimits {
  uint64_t manifest = SNAPSHOT_MANIFEST_LIMIT;
  uint64_t file = SNAPSHOT_FILE_LIMIT;
};
Result<SnapshotManifest> restore_snapshot(const std::string& in_path, const std::string& target_dir,
                                          const RestoreLimits& limits);

}  // namespace quellmar
