#include "quellmar/engine/snapshot.h"

#include <archive.h>
#include <archive_entry.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <utility>

#include "quellmar/core/coding.h"
#include "quellmar/core/file_names.h"
#include "quellmar/core/json_reader.h"
#include "quellmar/core/posix_file.h"
#include "quellmar/core/quote.h"
#include "quellmar/core/str_cat.h"

namespace quellmar {

namespace {

using ordered_json = nlohmann::ordered_json;

struct ArchiveWriteFree {
  void operator()(archive* a) const { archive_write_free(a); }
};
struct ArchiveReadFree {
  void operator()(archive* a) const { archive_read_free(a); }
};
struct ArchiveEntryFree {
  void operator()(archive_entry* e) const { archive_entry_free(e); }
};
using ArchiveWriter = std::unique_ptr<archive, ArchiveWriteFree>;
using ArchiveReader = std::unique_ptr<archive, ArchiveReadFree>;
using ArchiveEntry = std::unique_ptr<archive_entry, ArchiveEntryFree>;

// A failure reported by the tar library, as an I/O error.
EngineError tar_error(archive* a, std::string_view what) {
  const char* text = archive_error_string(a);
  std::string message = str_cat(what, ": ", text ? text : "tar library failure");
  int err = archive_errno(a);
  if (err > 0) return EngineError::io(IoError{IoErrorKind::Os, err, std::move(message)});
  return EngineError::io(IoError::invalid_data(std::move(message)));
}

EngineError oversize(uint64_t limit) {
  return EngineError::snapshot_integrity(
      str_cat("entry exceeds maximum allowed size of ", limit, " bytes"));
}

// An archive entry of a kind that no snapshot holds.
EngineError foreign_entry(const char* path, std::string_view kind) {
  return EngineError::snapshot_integrity(str_cat("archive entry ",
                                                 quote_for_message(path ? path : ""), " is ", kind,
                                                 ", which no snapshot holds"));
}

// A snapshot holds regular files and directories, nothing else: no links (it archives what a
// link points to), no devices, FIFOs or sockets, and no sparse files, whose holes a restore would
// have to write out in full (a small archive could claim gigabytes of them). Returns the refusal
// for any other entry.
Status check_entry_kind(archive_entry* entry) {
  const char* path = archive_entry_pathname(entry);
  if (archive_entry_hardlink(entry) != nullptr) return foreign_entry(path, "a hard link");
  switch (archive_entry_filetype(entry)) {
    case AE_IFREG:
      if (archive_entry_sparse_count(entry) > 0) return foreign_entry(path, "a sparse file");
      return Status::ok();
    case AE_IFDIR:
      return Status::ok();
    case AE_IFLNK:
      return foreign_entry(path, "a symbolic link");
    case AE_IFCHR:
    case AE_IFBLK:
      return foreign_entry(path, "a device");
    case AE_IFIFO:
      return foreign_entry(path, "a FIFO");
    case AE_IFSOCK:
      return foreign_entry(path, "a socket");
    default:
      return foreign_entry(path, "of an unknown type");
  }
}

// The path's components: empty ones and "." dropped.
std::vector<std::string_view> components(std::string_view path) {
  std::vector<std::string_view> out;
  size_t pos = 0;
  while (pos <= path.size()) {
    size_t next = path.find('/', pos);
    if (next == std::string_view::npos) next = path.size();
    std::string_view c = path.substr(pos, next - pos);
    if (!c.empty() && c != ".") out.push_back(c);
    pos = next + 1;
  }
  return out;
}

bool starts_with_components(std::string_view path, std::string_view prefix) {
  auto p = components(path);
  auto q = components(prefix);
  if (q.size() > p.size()) return false;
  // An absolute path never starts with a relative one, and the other way round.
  bool p_abs = !path.empty() && path[0] == '/';
  bool q_abs = !prefix.empty() && prefix[0] == '/';
  if (p_abs != q_abs) return false;
  return std::equal(q.begin(), q.end(), p.begin());
}

// The entry path's first component is exactly "engine_state".
bool in_state_dir(std::string_view path) {
  std::string_view dir = SNAPSHOT_STATE_DIR;
  return path.substr(0, dir.size()) == dir &&
         (path.size() == dir.size() || path[dir.size()] == '/');
}

// One directory or file of the engine tree, in archive order.
struct TreeEntry {
  std::string rel;  // relative to the engine directory
  bool is_dir = false;
  bool owner_exec = false;
};

struct DirId {
  dev_t dev;
  ino_t ino;
  bool operator<(const DirId& o) const { return dev != o.dev ? dev < o.dev : ino < o.ino; }
};

// Depth first, in listing order; links are followed, so a directory that is already being
// walked (a link cycle) fails instead of recursing without end. Entries that are neither
// directories nor regular files, or that cannot be examined (a dangling link), are left out, and
// so are the engine's temporary files: nothing reads them, and one may come or go (another
// handle's save) while the snapshot walks the directory.
Status walk_tree(const std::string& dir, const std::string& rel, std::set<DirId>& walking,
                 std::vector<TreeEntry>& out) {
  QM_ASSIGN_OR_RETURN(std::vector<std::string> names, list_dir(dir));
  for (const std::string& name : names) {
    if (rel.empty() && is_temp_file_name(name)) continue;
    std::string full = join_path(dir, name);
    std::string child = rel.empty() ? name : str_cat(rel, "/", name);
    struct stat st;
    if (::stat(full.c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      DirId id{st.st_dev, st.st_ino};
      if (!walking.insert(id).second) return EngineError::io(IoError::from_errno(ELOOP));
      out.push_back(TreeEntry{child, true, false});
      Status s = walk_tree(full, child, walking, out);
      walking.erase(id);
      QM_RETURN_IF_ERROR(s);
    } else if (S_ISREG(st.st_mode)) {
      out.push_back(TreeEntry{child, false, (st.st_mode & S_IXUSR) != 0});
    }
  }
  return Status::ok();
}

Status walk_engine_tree(const std::string& dir, std::vector<TreeEntry>& out) {
  std::set<DirId> walking;
  struct stat st;
  if (::stat(dir.c_str(), &st) == 0) walking.insert(DirId{st.st_dev, st.st_ino});
  return walk_tree(dir, "", walking, out);
}

// Opens `path` and hands its `size` bytes (the size when opened) to `sink` in pieces. A link is
// followed: an archive holds what a link in the engine directory points to.
template <typename Sink>
Status stream_file(const std::string& path, uint64_t& size, Sink&& sink) {
  QM_ASSIGN_OR_RETURN(UniqueFd fd, open_read(path, Links::Follow));
  QM_ASSIGN_OR_RETURN(size, fd_size(fd));
  std::vector<char> buf(SNAPSHOT_CHUNK);
  uint64_t done = 0;
  while (done < size) {
    size_t want = static_cast<size_t>(std::min<uint64_t>(buf.size(), size - done));
    QM_RETURN_IF_ERROR(pread_exact(fd, buf.data(), want, done));
    QM_RETURN_IF_ERROR(sink(buf.data(), want));
    done += want;
  }
  return Status::ok();
}

void hash_entry_header(Sha256& hasher, std::string_view name, uint64_t length) {
  hasher.update(name.data(), name.size());
  const uint8_t zero = 0;
  hasher.update(&zero, 1);
  uint8_t len[8];
  encode_u64(len, length);
  hasher.update(len, sizeof len);
}

// The canonical absolute form of an output path that may not exist yet, or none when it cannot
// be resolved.
std::optional<std::string> resolve_output(const std::string& out_path) {
  if (auto r = real_path(out_path); r.is_ok()) return *r;
  std::string trimmed = out_path;
  while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
  size_t slash = trimmed.rfind('/');
  std::string parent =
      slash == std::string::npos ? "." : (slash == 0 ? "/" : trimmed.substr(0, slash));
  std::string name = slash == std::string::npos ? trimmed : trimmed.substr(slash + 1);
  if (trimmed == "/" || name.empty() || name == "." || name == "..") return out_path;
  auto parent_real = real_path(parent);
  if (!parent_real.is_ok()) return std::nullopt;
  return join_path(*parent_real, name);
}

Status write_header(archive* a, const std::string& name, mode_t type, int perm, uint64_t size,
                    int64_t mtime) {
  ArchiveEntry entry(archive_entry_new());
  QM_CHECK(entry != nullptr);
  archive_entry_set_pathname(entry.get(), name.c_str());
  archive_entry_set_filetype(entry.get(), type);
  archive_entry_set_perm(entry.get(), static_cast<mode_t>(perm));
  archive_entry_set_size(entry.get(), static_cast<la_int64_t>(size));
  archive_entry_set_mtime(entry.get(), mtime, 0);
  archive_entry_set_uid(entry.get(), 0);
  archive_entry_set_gid(entry.get(), 0);
  if (archive_write_header(a, entry.get()) < ARCHIVE_WARN) {
    return tar_error(a, str_cat("cannot write the header of ", name));
  }
  return Status::ok();
}

Status write_data(archive* a, const char* p, size_t n) {
  while (n > 0) {
    la_ssize_t w = archive_write_data(a, p, n);
    if (w <= 0) return tar_error(a, "cannot write archive data");
    p += w;
    n -= static_cast<size_t>(w);
  }
  return Status::ok();
}

Status write_archive(archive* a, const std::string& manifest_text, const std::string& engine_dir,
                     const std::vector<TreeEntry>& tree) {
  QM_RETURN_IF_ERROR(write_header(a, SNAPSHOT_MANIFEST_ENTRY, AE_IFREG, SNAPSHOT_FILE_MODE,
                                  manifest_text.size(), 0));
  QM_RETURN_IF_ERROR(write_data(a, manifest_text.data(), manifest_text.size()));
  QM_RETURN_IF_ERROR(
      write_header(a, SNAPSHOT_STATE_DIR, AE_IFDIR, SNAPSHOT_EXEC_MODE, 0, SNAPSHOT_TREE_MTIME));
  for (const TreeEntry& e : tree) {
    std::string name = str_cat(SNAPSHOT_STATE_DIR, "/", e.rel);
    if (e.is_dir) {
      QM_RETURN_IF_ERROR(
          write_header(a, name, AE_IFDIR, SNAPSHOT_EXEC_MODE, 0, SNAPSHOT_TREE_MTIME));
      continue;
    }
    std::string path = join_path(engine_dir, e.rel);
    QM_ASSIGN_OR_RETURN(uint64_t size, path_size(path));
    QM_RETURN_IF_ERROR(write_header(a, name, AE_IFREG,
                                    e.owner_exec ? SNAPSHOT_EXEC_MODE : SNAPSHOT_FILE_MODE, size,
                                    SNAPSHOT_TREE_MTIME));
    uint64_t written = 0;
    uint64_t read_size = 0;
    QM_RETURN_IF_ERROR(stream_file(path, read_size, [&](const char* p, size_t n) -> Status {
      n = static_cast<size_t>(std::min<uint64_t>(n, size - written));
      written += n;
      return write_data(a, p, n);
    }));
    if (written != size) return EngineError::io(IoError::unexpected_eof());
  }
  if (archive_write_close(a) != ARCHIVE_OK) return tar_error(a, "cannot finish the archive");
  return Status::ok();
}

// Opens an archive for reading entry by entry.
Result<ArchiveReader> open_archive(const UniqueFd& fd) {
  ArchiveReader reader(archive_read_new());
  QM_CHECK(reader != nullptr);
  archive_read_support_format_tar(reader.get());
  // An empty file is an archive without entries.
  archive_read_support_format_empty(reader.get());
  if (archive_read_open_fd(reader.get(), fd.get(), SNAPSHOT_CHUNK) != ARCHIVE_OK) {
    return tar_error(reader.get(), "cannot open the archive");
  }
  return reader;
}

// Reads the next entry header: true with the entry, false at the end of the archive.
Result<bool> next_entry(archive* reader, archive_entry*& entry) {
  int r = archive_read_next_header(reader, &entry);
  if (r == ARCHIVE_EOF) return false;
  if (r < ARCHIVE_WARN) return tar_error(reader, "cannot read an archive entry");
  return true;
}

Result<SnapshotManifest> checked_magic(const std::string& text) {
  QM_ASSIGN_OR_RETURN(SnapshotManifest m, parse_snapshot_manifest(text));
  if (m.magic != SNAPSHOT_MAGIC) {
    return EngineError::not_a_snapshot(str_cat("unexpected magic: ", quote_for_message(m.magic)));
  }
  return m;
}

// The errno of a mkdir that failed on a path in the way: something other than a directory there is
// reported as such (ENOTDIR), not as the name being taken.
int not_a_directory(int mkdir_errno) { return mkdir_errno == EEXIST ? ENOTDIR : mkdir_errno; }

// mkdir -p that records every directory it made, so that a refused restore can take them back.
Status create_dirs_recorded(const std::string& path, std::vector<std::string>& made) {
  size_t pos = 0;
  while (pos <= path.size()) {
    size_t next = path.find('/', pos);
    if (next == std::string::npos) next = path.size();
    std::string cur = path.substr(0, next);
    pos = next + 1;
    if (cur.empty() || cur == "." || cur == "..") continue;
    if (::mkdir(cur.c_str(), 0777) == 0) {
      made.push_back(cur);
    } else if (int err = errno; !(err == EEXIST && is_directory(cur))) {
      return EngineError::io(IoError::from_errno(not_a_directory(err)));
    }
  }
  return Status::ok();
}

// One engine file of an archive being restored, staged under a numbered name.
struct StagedFile {
  std::string entry_path;
  std::string name;  // relative to target_dir, components joined by "/"
  std::string staged;
  uint64_t size = 0;
  bool moved = false;
};

// The private staging directory inside target_dir and what a refused restore must undo.
class Staging {
 public:
  explicit Staging(std::string target) : target_(std::move(target)) {}
  Staging(const Staging&) = delete;
  Staging& operator=(const Staging&) = delete;
  ~Staging() {
    for (const StagedFile& f : files_) {
      if (!f.moved) ::unlink(f.staged.c_str());
    }
    if (!dir_.empty()) ::rmdir(dir_.c_str());
    if (!committed_) {
      for (auto it = made_.rbegin(); it != made_.rend(); ++it) ::rmdir(it->c_str());
    }
  }

  Status ensure_target() {
    if (target_ready_) return Status::ok();
    QM_RETURN_IF_ERROR(create_dirs_recorded(target_, made_));
    target_ready_ = true;
    return Status::ok();
  }

  Result<std::string> next_path() {
    if (dir_.empty()) {
      QM_RETURN_IF_ERROR(ensure_target());
      std::string tmpl = join_path(target_, ".qmr-restore-XXXXXX");
      if (!::mkdtemp(tmpl.data())) return EngineError::io(IoError::from_errno(errno));
      dir_ = tmpl;
    }
    return join_path(dir_, std::to_string(files_.size()));
  }

  // The staging directory's own name inside target_dir.
  std::string dir_name() const { return dir_.empty() ? "" : dir_.substr(dir_.rfind('/') + 1); }
  std::vector<StagedFile>& files() { return files_; }
  // From here on the directories made for target_dir stay.
  void commit() { committed_ = true; }

 private:
  std::string target_;
  std::string dir_;
  std::vector<std::string> made_;
  std::vector<StagedFile> files_;
  bool target_ready_ = false;
  bool committed_ = false;
};

// Streams the current entry into a new file at `path`, block by block as the archive holds it:
// a block that does not start where the last one ended leaves a hole, which only a sparse entry
// has, and is refused before the hole is written.
Status spool_entry(archive* reader, archive_entry* entry, uint64_t limit, const std::string& path,
                   uint64_t& size) {
  if (archive_entry_size_is_set(entry) && archive_entry_size(entry) >= 0 &&
      static_cast<uint64_t>(archive_entry_size(entry)) > limit) {
    return oversize(limit);
  }
  QM_ASSIGN_OR_RETURN(UniqueFd fd, open_create_new(path));
  size = 0;
  for (;;) {
    const void* block = nullptr;
    size_t n = 0;
    la_int64_t at = 0;
    const int r = archive_read_data_block(reader, &block, &n, &at);
    if (r == ARCHIVE_EOF) break;
    if (r < ARCHIVE_WARN) return tar_error(reader, "cannot read archive data");
    if (at < 0 || static_cast<uint64_t>(at) != size) {
      return foreign_entry(archive_entry_pathname(entry), "a sparse file");
    }
    if (size + n > limit) return oversize(limit);
    QM_RETURN_IF_ERROR(write_all(fd, block, n, path));
    size += n;
  }
  return fd.close();
}

// Checks that `name` can become a regular file inside target_dir: every directory on the way is
// a real directory (or does not exist yet) and the file itself is not a directory.
Status check_destination(const std::string& target, const std::string& name) {
  auto parts = components(name);
  std::string cur = target;
  for (size_t i = 0; i < parts.size(); ++i) {
    cur = join_path(cur, std::string(parts[i]));
    struct stat st;
    if (::lstat(cur.c_str(), &st) != 0) {
      if (errno == ENOENT) return Status::ok();
      return EngineError::io(IoError::from_errno(errno));
    }
    bool last = i + 1 == parts.size();
    if (!last && !S_ISDIR(st.st_mode)) {
      return EngineError::snapshot_integrity(
          str_cat("cannot restore ", name, ": ", cur, " is not a directory"));
    }
    if (last && S_ISDIR(st.st_mode)) {
      return EngineError::snapshot_integrity(
          str_cat("cannot restore ", name, ": ", cur, " is a directory"));
    }
  }
  return Status::ok();
}

// Creates the missing directories between target_dir and the file `name`.
Status create_parents(const std::string& target, const std::string& name) {
  auto parts = components(name);
  std::string cur = target;
  for (size_t i = 0; i + 1 < parts.size(); ++i) {
    cur = join_path(cur, std::string(parts[i]));
    if (::mkdir(cur.c_str(), 0777) != 0) {
      int err = errno;
      if (err == EEXIST && is_directory(cur)) continue;
      return EngineError::io(IoError::from_errno(not_a_directory(err)));
    }
  }
  return Status::ok();
}

// Steps 2 to 8 of a restore: the last "manifest.json" of the archive read from `fd` (from its
// current offset), parsed and checked for magic, version and codecs. Writes nothing.
Result<SnapshotManifest> read_checked_manifest(const UniqueFd& fd, uint64_t limit) {
  QM_ASSIGN_OR_RETURN(ArchiveReader reader, open_archive(fd));
  std::optional<std::string> text;
  // The first entry of a kind no snapshot holds: refused once the archive is known to be meant as
  // a snapshot (an archive without a manifest is no snapshot at all).
  Status foreign = Status::ok();
  archive_entry* entry = nullptr;
  for (;;) {
    QM_ASSIGN_OR_RETURN(bool more, next_entry(reader.get(), entry));
    if (!more) break;
    if (foreign.is_ok()) foreign = check_entry_kind(entry);
    const char* path = archive_entry_pathname(entry);
    if (path && std::string_view(path) == SNAPSHOT_MANIFEST_ENTRY) {
      QM_RETURN_IF_ERROR(check_entry_kind(entry));
      QM_ASSIGN_OR_RETURN(text, read_tar_entry_limited(reader.get(), limit));
    }
  }
  if (!text) return EngineError::not_a_snapshot("manifest.json missing");
  QM_ASSIGN_OR_RETURN(SnapshotManifest manifest, checked_magic(*text));
  if (manifest.format_version != SNAPSHOT_FORMAT_VERSION) {
    return EngineError::unsupported_snapshot_version(manifest.format_version,
                                                     SNAPSHOT_FORMAT_VERSION);
  }
  if (manifest.codecs.quantization != SNAPSHOT_QUANTIZATION_CODEC) {
    return EngineError::snapshot_codec_mismatch("quantization", manifest.codecs.quantization,
                                                SNAPSHOT_QUANTIZATION_CODEC);
  }
  if (manifest.codecs.key != SNAPSHOT_KEY_CODEC) {
    return EngineError::snapshot_codec_mismatch("key", manifest.codecs.key, SNAPSHOT_KEY_CODEC);
  }
  QM_RETURN_IF_ERROR(foreign);
  return manifest;
}

}  // namespace

SnapshotManifest snapshot_manifest_new(std::string sha256, SnapshotStats stats) {
  auto now = std::chrono::system_clock::now().time_since_epoch();
  int64_t secs = std::chrono::duration_cast<std::chrono::seconds>(now).count();
  SnapshotManifest m;
  m.magic = SNAPSHOT_MAGIC;
  m.format_version = SNAPSHOT_FORMAT_VERSION;
  m.created_at = str_cat("@", secs < 0 ? 0 : secs);
  m.codecs = SnapshotCodecs{SNAPSHOT_QUANTIZATION_CODEC, SNAPSHOT_KEY_CODEC};
  m.stats = stats;
  m.sha256 = std::move(sha256);
  return m;
}

Result<std::string> serialize_snapshot_manifest(const SnapshotManifest& m) {
  ordered_json root = ordered_json::object();
  root["magic"] = m.magic;
  root["format_version"] = m.format_version;
  root["created_at"] = m.created_at;
  root["codecs"] = ordered_json::object();
  root["codecs"]["quantization"] = m.codecs.quantization;
  root["codecs"]["key"] = m.codecs.key;
  root["stats"] = ordered_json::object();
  root["stats"]["pack_count"] = m.stats.pack_count;
  root["stats"]["owner_count"] = m.stats.owner_count;
  root["sha256"] = m.sha256;
  try {
    return root.dump(2, ' ', false, ordered_json::error_handler_t::strict);
  } catch (const std::exception& ex) {
    return EngineError::snapshot_integrity(str_cat("manifest serialize: ", ex.what()));
  }
}

Result<SnapshotManifest> parse_snapshot_manifest(std::string_view text) {
  JsonReader r;
  SnapshotManifest m;
  std::vector<const JsonValue*> f, codecs, stats;
  bool ok = r.parse(text) &&
            r.fields(r.root(), "SnapshotManifest",
                     {"magic", "format_version", "created_at", "codecs", "stats", "sha256"}, f) &&
            r.get_string(*f[0], m.magic) && r.get_u8(*f[1], m.format_version) &&
            r.get_string(*f[2], m.created_at) &&
            r.fields(*f[3], "SnapshotCodecs", {"quantization", "key"}, codecs) &&
            r.get_string(*codecs[0], m.codecs.quantization) &&
            r.get_string(*codecs[1], m.codecs.key) &&
            r.fields(*f[4], "SnapshotStats", {"pack_count", "owner_count"}, stats) &&
            r.get_u64(*stats[0], m.stats.pack_count) && r.get_u64(*stats[1], m.stats.owner_count) &&
            r.get_string(*f[5], m.sha256);
  if (!ok) return EngineError::not_a_snapshot(str_cat("manifest parse: ", r.error()));
  return m;
}

bool path_components_less(std::string_view a, std::string_view b) {
  auto x = components(a);
  auto y = components(b);
  return std::lexicographical_compare(x.begin(), x.end(), y.begin(), y.end());
}

Status walk_engine_dir(const std::string& base, const std::string& dir,
                       std::vector<std::string>& out) {
  std::vector<TreeEntry> tree;
  QM_RETURN_IF_ERROR(walk_engine_tree(dir, tree));
  std::string prefix;
  if (dir != base && starts_with_components(dir, base)) {
    auto parts = components(dir);
    auto skip = components(base).size();
    for (size_t i = skip; i < parts.size(); ++i) prefix += str_cat(parts[i], "/");
  } else if (dir != base) {
    prefix = dir + "/";
  }
  for (const TreeEntry& e : tree) {
    if (!e.is_dir) out.push_back(prefix + e.rel);
  }
  return Status::ok();
}

void hash_snapshot_entry(Sha256& hasher, std::string_view name, std::string_view content) {
  hash_entry_header(hasher, name, content.size());
  hasher.update(content.data(), content.size());
}

Status hash_snapshot_entry(Sha256& hasher, std::string_view name, SnapshotFile file) {
  QM_ASSIGN_OR_RETURN(uint64_t size, path_size(file.path));
  hash_entry_header(hasher, name, size);
  uint64_t read_size = 0;
  QM_RETURN_IF_ERROR(stream_file(file.path, read_size, [&](const char* p, size_t n) {
    hasher.update(p, n);
    return Status::ok();
  }));
  // The length was absorbed first: a file that changed size in between cannot be hashed.
  if (read_size != size) return EngineError::io(IoError::unexpected_eof());
  return Status::ok();
}

std::string strip_engine_state_prefix(std::string_view path) {
  if (!in_state_dir(path)) return std::string(path);
  std::string out;
  auto parts = components(path);
  for (size_t i = 1; i < parts.size(); ++i) {
    if (!out.empty()) out += '/';
    out += parts[i];
  }
  return out;
}

Result<std::string> read_tar_entry_limited(struct archive* reader, uint64_t limit) {
  std::string out;
  std::vector<char> buf(SNAPSHOT_CHUNK);
  for (;;) {
    la_ssize_t n = archive_read_data(reader, buf.data(), buf.size());
    if (n < 0) return tar_error(reader, "cannot read archive data");
    if (n == 0) break;
    if (out.size() + static_cast<uint64_t>(n) > limit) return oversize(limit);
    out.append(buf.data(), static_cast<size_t>(n));
  }
  return out;
}

Result<SnapshotManifest> write_snapshot(const std::string& engine_dir, const std::string& out_path,
                                        SnapshotStats stats) {
  QM_RETURN_IF_ERROR(check_path_text(out_path));
  // 1. Never archive into the directory being archived.
  auto out_real = resolve_output(out_path);
  auto dir_real = real_path(engine_dir);
  if (out_real && dir_real.is_ok() && starts_with_components(*out_real, *dir_real)) {
    return EngineError::snapshot_integrity(str_cat("out_path (", out_path,
                                                   ") is inside engine_dir (", engine_dir,
                                                   "); pick a path outside the engine directory"));
  }
  // 2-4. The content digest over the files in component order. The archive walks the tree again
  // below, for its directories and modes; the caller keeps the directory still in between.
  std::vector<std::string> files;
  QM_RETURN_IF_ERROR(walk_engine_dir(engine_dir, engine_dir, files));
  std::stable_sort(files.begin(), files.end(), [](const std::string& a, const std::string& b) {
    return path_components_less(a, b);
  });
  Sha256 hasher;
  for (const std::string& rel : files) {
    QM_RETURN_IF_ERROR(hash_snapshot_entry(hasher, rel, SnapshotFile{join_path(engine_dir, rel)}));
  }
  // 5-6. The manifest.
  SnapshotManifest manifest = snapshot_manifest_new(hex_digest(hasher.finish()), stats);
  QM_ASSIGN_OR_RETURN(std::string manifest_text, serialize_snapshot_manifest(manifest));
  // 7-8. The archive: manifest, the tree under engine_state, two zero blocks.
  std::vector<TreeEntry> tree;
  QM_RETURN_IF_ERROR(walk_engine_tree(engine_dir, tree));
  QM_ASSIGN_OR_RETURN(UniqueFd fd, open_truncate(out_path, Links::Follow));
  ArchiveWriter writer(archive_write_new());
  QM_CHECK(writer != nullptr);
  if (archive_write_set_format_gnutar(writer.get()) != ARCHIVE_OK ||
      archive_write_set_bytes_per_block(writer.get(), 512) != ARCHIVE_OK ||
      archive_write_set_bytes_in_last_block(writer.get(), 1) != ARCHIVE_OK ||
      archive_write_open_fd(writer.get(), fd.get()) != ARCHIVE_OK) {
    return tar_error(writer.get(), "cannot start the archive");
  }
  QM_RETURN_IF_ERROR(write_archive(writer.get(), manifest_text, engine_dir, tree));
  writer.reset();
  QM_RETURN_IF_ERROR(fd.close());
  return manifest;
}

Result<SnapshotManifest> read_snapshot_manifest(const std::string& in_path) {
  QM_RETURN_IF_ERROR(check_path_text(in_path));
  QM_ASSIGN_OR_RETURN(UniqueFd fd, open_read(in_path, Links::Follow));
  QM_ASSIGN_OR_RETURN(ArchiveReader reader, open_archive(fd));
  archive_entry* entry = nullptr;
  for (;;) {
    QM_ASSIGN_OR_RETURN(bool more, next_entry(reader.get(), entry));
    if (!more) return EngineError::not_a_snapshot("manifest.json missing");
    const char* path = archive_entry_pathname(entry);
    if (path && std::string_view(path) == SNAPSHOT_MANIFEST_ENTRY) {
      QM_ASSIGN_OR_RETURN(std::string text,
                          read_tar_entry_limited(reader.get(), SNAPSHOT_MANIFEST_LIMIT));
      return checked_magic(text);
    }
  }
}

Result<SnapshotManifest> restore_snapshot(const std::string& in_path,
                                          const std::string& target_dir) {
  return restore_snapshot(in_path, target_dir, RestoreLimits{});
}

Result<SnapshotManifest> restore_snapshot(const std::string& in_path, const std::string& target_dir,
                                          const RestoreLimits& limits) {
  QM_RETURN_IF_ERROR(check_path_text(in_path));
  QM_RETURN_IF_ERROR(check_path_text(target_dir));
  // 1. Open.
  QM_ASSIGN_OR_RETURN(UniqueFd fd, open_read(in_path, Links::Follow));

  // 2-8. The manifest, read and checked in a pass of its own, before anything is written: an
  // archive that is no snapshot of ours is refused whatever the state of target_dir.
  QM_ASSIGN_OR_RETURN(SnapshotManifest manifest, read_checked_manifest(fd, limits.manifest));
  if (::lseek(fd.get(), 0, SEEK_SET) != 0) return EngineError::io(IoError::from_errno(errno));
  QM_ASSIGN_OR_RETURN(ArchiveReader reader, open_archive(fd));

  // 2. Stage the engine files; manifests and everything else are skipped.
  Staging staging(target_dir);
  archive_entry* entry = nullptr;
  for (;;) {
    QM_ASSIGN_OR_RETURN(bool more, next_entry(reader.get(), entry));
    if (!more) break;
    const char* raw = archive_entry_pathname(entry);
    if (!raw) return EngineError::io(IoError::invalid_data("an archive entry has no usable name"));
    std::string path = raw;
    // Checked in the first pass already; the archive may have changed since.
    QM_RETURN_IF_ERROR(check_entry_kind(entry));
    bool regular = archive_entry_filetype(entry) == AE_IFREG;
    if (path == SNAPSHOT_MANIFEST_ENTRY || !regular || !in_state_dir(path)) continue;
    std::string name = strip_engine_state_prefix(path);
    auto parts = components(path);
    bool unsafe = name.empty() || std::find(parts.begin(), parts.end(), "..") != parts.end();
    if (unsafe) {
      return EngineError::snapshot_integrity(
          str_cat("unsafe file name in archive: ", quote_for_message(path)));
    }
    QM_ASSIGN_OR_RETURN(std::string staged, staging.next_path());
    staging.files().push_back(StagedFile{path, name, staged, 0, false});
    QM_RETURN_IF_ERROR(
        spool_entry(reader.get(), entry, limits.file, staged, staging.files().back().size));
  }
  reader.reset();
  QM_RETURN_IF_ERROR(fd.close());

  // 9. The content digest over the staged files in entry path order.
  std::vector<StagedFile>& files = staging.files();
  std::stable_sort(files.begin(), files.end(), [](const StagedFile& a, const StagedFile& b) {
    return path_components_less(a.entry_path, b.entry_path);
  });
  Sha256 hasher;
  for (const StagedFile& f : files) {
    QM_RETURN_IF_ERROR(hash_snapshot_entry(hasher, f.name, SnapshotFile{f.staged}));
  }
  std::string computed = hex_digest(hasher.finish());
  if (computed != manifest.sha256) {
    return EngineError::snapshot_integrity(
        str_cat("sha256 mismatch: manifest=", manifest.sha256, ", computed=", computed));
  }

  // Every destination must be able to become a file inside target_dir.
  std::set<std::string> file_names, dir_names;
  for (const StagedFile& f : files) {
    file_names.insert(f.name);
    auto parts = components(f.name);
    std::string prefix;
    for (size_t i = 0; i + 1 < parts.size(); ++i) {
      prefix += (i ? "/" : "") + std::string(parts[i]);
      dir_names.insert(prefix);
    }
    if (!staging.dir_name().empty() && parts[0] == staging.dir_name()) {
      return EngineError::snapshot_integrity(
          str_cat("cannot restore ", f.name, ": it lies in the restore's staging directory"));
    }
  }
  for (const std::string& d : dir_names) {
    if (file_names.count(d)) {
      return EngineError::snapshot_integrity(
          str_cat("archive holds ", d, " both as a file and as a directory"));
    }
  }
  for (const StagedFile& f : files) QM_RETURN_IF_ERROR(check_destination(target_dir, f.name));

  // 10. target_dir (already made when a file was staged).
  QM_RETURN_IF_ERROR(staging.ensure_target());

  // 11. Move the files into place, in sorted order.
  staging.commit();
  for (StagedFile& f : files) {
    QM_RETURN_IF_ERROR(create_parents(target_dir, f.name));
    QM_RETURN_IF_ERROR(rename_path(f.staged, join_path(target_dir, f.name)));
    f.moved = true;
  }
  return manifest;
}

}  // namespace quellmar
