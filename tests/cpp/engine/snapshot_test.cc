#include "quellmar/engine/snapshot.h"

#include <archive.h>
#include <archive_entry.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "quellmar/core/coding.h"
#include "quellmar/core/posix_file.h"
#include "quellmar/engine/engine.h"
#include "test_util.h"

namespace quellmar {
namespace {

namespace fs = std::filesystem;
using ::quellmar::testing::read_file;
using ::quellmar::testing::TempDir;
using ::quellmar::testing::write_file;

struct TarEntry {
  TarEntry(std::string n, std::string d, mode_t t = AE_IFREG, std::string l = "")
      : name(std::move(n)), data(std::move(d)), type(t), link(std::move(l)) {}

  std::string name;
  std::string data;
  mode_t type = AE_IFREG;
  std::string link;  // target of a symbolic or hard link
};

struct ReadEntry {
  std::string name;
  mode_t type;
  mode_t perm;
  int64_t mtime;
  int64_t uid, gid;
  std::string data;
};

struct ArchiveCloser {
  void operator()(archive* a) const { archive_free(a); }
};

// Writes any archive, including ones this system would never write.
void write_tar(const std::string& path, const std::vector<TarEntry>& entries) {
  std::unique_ptr<archive, ArchiveCloser> a(archive_write_new());
  ASSERT_EQ(archive_write_set_format_gnutar(a.get()), ARCHIVE_OK);
  ASSERT_EQ(archive_write_open_filename(a.get(), path.c_str()), ARCHIVE_OK);
  for (const TarEntry& e : entries) {
    archive_entry* entry = archive_entry_new();
    archive_entry_set_pathname(entry, e.name.c_str());
    archive_entry_set_filetype(entry, e.type);
    archive_entry_set_perm(entry, 0644);
    if (e.type == AE_IFLNK) archive_entry_set_symlink(entry, e.link.c_str());
    if (e.type == AE_IFREG && !e.link.empty()) archive_entry_set_hardlink(entry, e.link.c_str());
    archive_entry_set_size(entry, static_cast<la_int64_t>(e.data.size()));
    ASSERT_EQ(archive_write_header(a.get(), entry), ARCHIVE_OK) << e.name;
    if (!e.data.empty()) archive_write_data(a.get(), e.data.data(), e.data.size());
    archive_entry_free(entry);
  }
  ASSERT_EQ(archive_write_close(a.get()), ARCHIVE_OK);
}

std::vector<ReadEntry> read_tar(const std::string& path) {
  std::vector<ReadEntry> out;
  std::unique_ptr<archive, ArchiveCloser> a(archive_read_new());
  archive_read_support_format_tar(a.get());
  EXPECT_EQ(archive_read_open_filename(a.get(), path.c_str(), 10240), ARCHIVE_OK);
  archive_entry* entry;
  while (archive_read_next_header(a.get(), &entry) == ARCHIVE_OK) {
    ReadEntry r{archive_entry_pathname(entry),
                archive_entry_filetype(entry),
                archive_entry_perm(entry),
                archive_entry_mtime(entry),
                archive_entry_uid(entry),
                archive_entry_gid(entry),
                ""};
    char buf[4096];
    for (la_ssize_t n; (n = archive_read_data(a.get(), buf, sizeof buf)) > 0;)
      r.data.append(buf, n);
    out.push_back(r);
  }
  return out;
}

std::string sha256_hex(const std::vector<std::pair<std::string, std::string>>& files) {
  Sha256 h;
  for (const auto& [name, content] : files) hash_snapshot_entry(h, name, content);
  return hex_digest(h.finish());
}

std::string manifest_text(const std::string& sha) {
  return serialize_snapshot_manifest(snapshot_manifest_new(sha, {1, 1})).value();
}

// An archive as a snapshot would hold these engine files (names relative to the engine).
std::vector<TarEntry> archive_of(const std::vector<std::pair<std::string, std::string>>& files) {
  std::vector<TarEntry> entries{{"manifest.json", manifest_text(sha256_hex(files))},
                                {"engine_state", "", AE_IFDIR}};
  for (const auto& [name, content] : files) entries.push_back({"engine_state/" + name, content});
  return entries;
}

std::vector<std::string> tree_of(const std::string& dir) {
  std::vector<std::string> out;
  if (!fs::exists(dir)) return out;
  for (const auto& e : fs::recursive_directory_iterator(dir)) {
    bool dir_entry = e.is_directory() && !e.is_symlink();
    out.push_back(e.path().lexically_relative(dir).string() + (dir_entry ? "/" : ""));
  }
  std::sort(out.begin(), out.end());
  return out;
}

class SnapshotTest : public ::testing::Test {
 protected:
  void SetUp() override {
    engine_ = tmp_.file("engine");
    fs::create_directories(engine_ + "/a");
    write_file(engine_ + "/a/b", "inner");
    write_file(engine_ + "/a.b", "outer");
    std::string big(200000, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 + i / 251);
    write_file(engine_ + "/segment_000000.qmr", big);
    write_file(engine_ + "/tool", "#!");
    ::chmod((engine_ + "/tool").c_str(), 0700);
  }

  TempDir tmp_;
  std::string engine_;
};

TEST_F(SnapshotTest, ArchiveLayout) {
  const std::string out = tmp_.file("snap.tar");
  QM_ASSERT_OK_AND_ASSIGN(SnapshotManifest m, write_snapshot(engine_, out, {4, 2}));
  EXPECT_EQ(m.magic, "qmr!");
  EXPECT_EQ(m.format_version, 1);
  EXPECT_EQ(m.created_at.substr(0, 1), "@");
  EXPECT_EQ(m.codecs, (SnapshotCodecs{"q4", "top5avg"}));
  EXPECT_EQ(m.stats, (SnapshotStats{4, 2}));

  auto entries = read_tar(out);
  ASSERT_EQ(entries.size(), 7u);
  const ReadEntry& man = entries[0];
  EXPECT_EQ(man.name, "manifest.json");
  EXPECT_EQ(man.type, AE_IFREG);
  EXPECT_EQ(man.perm, 0644u);
  EXPECT_EQ(man.mtime, 0);
  EXPECT_EQ(man.data,
            "{\n"
            "  \"magic\": \"qmr!\",\n"
            "  \"format_version\": 1,\n"
            "  \"created_at\": \"" +
                m.created_at +
                "\",\n"
                "  \"codecs\": {\n"
                "    \"quantization\": \"q4\",\n"
                "    \"key\": \"top5avg\"\n"
                "  },\n"
                "  \"stats\": {\n"
                "    \"pack_count\": 4,\n"
                "    \"owner_count\": 2\n"
                "  },\n"
                "  \"sha256\": \"" +
                m.sha256 +
                "\"\n"
                "}");
  EXPECT_EQ(entries[1].name, "engine_state/");
  EXPECT_EQ(entries[1].type, AE_IFDIR);
  std::vector<std::string> names;
  for (const ReadEntry& e : entries) {
    SCOPED_TRACE(e.name);
    names.push_back(e.name);
    EXPECT_EQ(e.uid, 0);
    EXPECT_EQ(e.gid, 0);
    if (&e == &man) continue;
    EXPECT_EQ(e.mtime, SNAPSHOT_TREE_MTIME);
    bool exec = e.type == AE_IFDIR || e.name == "engine_state/tool";
    EXPECT_EQ(e.perm, exec ? 0755u : 0644u);
    if (e.type == AE_IFREG) {
      EXPECT_EQ(e.data, read_file(engine_ + "/" + strip_engine_state_prefix(e.name)));
    }
  }
  std::sort(names.begin() + 2, names.end());
  EXPECT_EQ(names,
            (std::vector<std::string>{"manifest.json", "engine_state/", "engine_state/a.b",
                                      "engine_state/a/", "engine_state/a/b",
                                      "engine_state/segment_000000.qmr", "engine_state/tool"}));

  // GNU headers, and the stream ends with exactly two zero blocks.
  std::string raw = read_file(out);
  ASSERT_EQ(raw.size() % 512, 0u);
  EXPECT_EQ(raw.substr(257, 8), std::string("ustar  \0", 8));
  EXPECT_EQ(raw.substr(raw.size() - 1024), std::string(1024, '\0'));
  EXPECT_NE(raw.substr(raw.size() - 1536, 512), std::string(512, '\0'));

  if (::access("/usr/bin/python3", X_OK) == 0) {
    std::string cmd =
        "/usr/bin/python3 -c \"import sys,tarfile; t=tarfile.open(sys.argv[1]); "
        "print(t.getmembers()[0].name, all(m.isdir() or m.isfile() for m in t))\" " +
        out;
    std::unique_ptr<FILE, int (*)(FILE*)> p(::popen(cmd.c_str(), "r"), ::pclose);
    char line[128] = {};
    ASSERT_NE(std::fgets(line, sizeof line, p.get()), nullptr);
    EXPECT_STREQ(line, "manifest.json True\n");
  }
}

TEST_F(SnapshotTest, DigestFramesFilesInComponentOrder) {
  TempDir dir;
  fs::create_directories(dir.file("a"));
  write_file(dir.file("a/b"), "1");
  write_file(dir.file("a.b"), "22");
  QM_ASSERT_OK_AND_ASSIGN(SnapshotManifest m, write_snapshot(dir.path(), tmp_.file("d.tar"), {}));
  std::string framed = std::string("a/b\0", 4);
  put_u64(framed, 1);
  framed += "1" + std::string("a.b\0", 4);
  put_u64(framed, 2);
  framed += "22";
  Sha256 h;
  h.update(framed.data(), framed.size());
  EXPECT_EQ(m.sha256, hex_digest(h.finish()));
  std::vector<std::string> below_a;
  QM_ASSERT_OK(walk_engine_dir(dir.path(), dir.file("a"), below_a));
  EXPECT_EQ(below_a, std::vector<std::string>{"a/b"});
  EXPECT_TRUE(path_components_less("a/b", "a.b"));
  EXPECT_FALSE(path_components_less("a.b", "a/b"));

  TempDir empty;
  QM_ASSERT_OK_AND_ASSIGN(SnapshotManifest e, write_snapshot(empty.path(), tmp_.file("e.tar"), {}));
  EXPECT_EQ(e.sha256, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

// The form that reads a file in pieces absorbs the same bytes as the in-memory form, across the
// read's piece boundary; a file that cannot be read fails the call.
TEST_F(SnapshotTest, FileEntriesHashAsTheirContent) {
  for (size_t size : {size_t{0}, size_t{1}, size_t{65536}, size_t{65536 * 2 + 3}}) {
    SCOPED_TRACE(size);
    std::string content(size, '\0');
    for (size_t i = 0; i < size; ++i) content[i] = static_cast<char>(i * 13 + i / 97);
    write_file(tmp_.file("f"), content);
    Sha256 in_memory, from_file;
    hash_snapshot_entry(in_memory, "x/f", content);
    QM_ASSERT_OK(hash_snapshot_entry(from_file, "x/f", SnapshotFile{tmp_.file("f")}));
    EXPECT_EQ(hex_digest(from_file.finish()), hex_digest(in_memory.finish()));
  }
  Sha256 h;
  EXPECT_FALSE(hash_snapshot_entry(h, "gone", SnapshotFile{tmp_.file("gone")}).is_ok());
}

TEST_F(SnapshotTest, WalkFollowsLinksAndRefusesCycles) {
  TempDir outside;
  write_file(outside.file("real"), "linked");
  fs::create_symlink(outside.file("real"), engine_ + "/via_link");
  fs::create_symlink(outside.file("nothing"), engine_ + "/dangling");
  QM_ASSERT_OK(write_snapshot(engine_, tmp_.file("l.tar"), {}));
  bool found = false;
  for (const ReadEntry& e : read_tar(tmp_.file("l.tar"))) {
    EXPECT_NE(e.name, "engine_state/dangling");
    if (e.name == "engine_state/via_link") found = e.data == "linked" && e.type == AE_IFREG;
  }
  EXPECT_TRUE(found);

  fs::create_directory_symlink(engine_, engine_ + "/a/loop");
  QM_ASSERT_ERROR(Io, "storage I/O error: Too many levels of symbolic links (os error 40)",
                  write_snapshot(engine_, tmp_.file("c.tar"), {}));
}

TEST_F(SnapshotTest, RefusesAnOutputInsideTheEngineDirectory) {
  write_file(engine_ + "/existing.tar", "keep");
  fs::create_directories(tmp_.file("engine2"));
  struct Case {
    std::string out;
    bool refused;
  } cases[] = {
      {engine_ + "/existing.tar", true},   {engine_ + "/new.tar", true},
      {engine_ + "/a/../new.tar", true},   {engine_, true},
      {tmp_.file("engine2/x.tar"), false},  // a sibling sharing the name's prefix is outside
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.out);
    auto r = write_snapshot(engine_, c.out, {});
    if (!c.refused) {
      QM_EXPECT_OK(r);
      continue;
    }
    QM_ASSERT_ERROR(SnapshotIntegrity,
                    "snapshot integrity check failed: out_path (" + c.out +
                        ") is inside engine_dir (" + engine_ +
                        "); pick a path outside the engine directory",
                    r);
  }
  EXPECT_EQ(read_file(engine_ + "/existing.tar"), "keep");
  EXPECT_FALSE(fs::exists(engine_ + "/new.tar"));
}

TEST_F(SnapshotTest, RestoreRoundTripsAndRestoresTwiceIntoOneDirectory) {
  const std::string out = tmp_.file("snap.tar");
  QM_ASSERT_OK_AND_ASSIGN(SnapshotManifest written, write_snapshot(engine_, out, {7, 3}));
  const std::string target = tmp_.file("restored/deep/dir");
  QM_ASSERT_OK_AND_ASSIGN(SnapshotManifest restored, restore_snapshot(out, target));
  EXPECT_EQ(restored, written);
  EXPECT_EQ(tree_of(target), tree_of(engine_));
  for (const char* f : {"a/b", "a.b", "segment_000000.qmr", "tool"}) {
    SCOPED_TRACE(f);
    EXPECT_EQ(read_file(target + "/" + f), read_file(engine_ + "/" + f));
  }

  // The second restore replaces the archive's files and keeps the others.
  write_file(target + "/a/b", "changed");
  write_file(target + "/extra", "mine");
  QM_ASSERT_OK(restore_snapshot(out, target));
  EXPECT_EQ(read_file(target + "/a/b"), "inner");
  EXPECT_EQ(read_file(target + "/extra"), "mine");
  auto tree = tree_of(target);
  EXPECT_EQ(tree.size(), tree_of(engine_).size() + 1);  // no staging directory left behind

  QM_ASSERT_OK_AND_ASSIGN(SnapshotManifest only, read_snapshot_manifest(out));
  EXPECT_EQ(only, written);
}

// Temporary files of the engine directory (a save under way or one a crash cut short, of any
// handle) are neither hashed nor archived; files that merely look alike are. A restore gives the
// same files without them.
TEST_F(SnapshotTest, TemporaryFilesAreLeftOut) {
  const std::vector<std::string> temporaries = {"vamana.idx.tmp-123-0", "id_floor.bin.tmp-9-41",
                                                "vamana.idx.tmp", "scheduled_actions.json.tmp"};
  const std::vector<std::string> kept = {"vamana.idx.tmp-x", "vamana.idx.tmp-1-", "a.tmp",
                                         "segment_000000.qmr.cut-8"};
  const std::string plain = tmp_.file("plain.tar");
  QM_ASSERT_OK_AND_ASSIGN(SnapshotManifest without, write_snapshot(engine_, plain, {1, 1}));
  for (const std::string& name : kept) write_file(engine_ + "/" + name, name);
  const std::string with_kept = tmp_.file("kept.tar");
  QM_ASSERT_OK_AND_ASSIGN(SnapshotManifest kept_manifest,
                          write_snapshot(engine_, with_kept, {1, 1}));
  EXPECT_NE(kept_manifest.sha256, without.sha256);
  for (const std::string& name : temporaries) write_file(engine_ + "/" + name, "partial");
  const std::string out = tmp_.file("snap.tar");
  QM_ASSERT_OK_AND_ASSIGN(SnapshotManifest written, write_snapshot(engine_, out, {1, 1}));
  EXPECT_EQ(written.sha256, kept_manifest.sha256);
  for (const ReadEntry& e : read_tar(out)) {
    for (const std::string& name : temporaries) EXPECT_NE(e.name, "engine_state/" + name);
  }
  const std::string target = tmp_.file("restored");
  QM_ASSERT_OK(restore_snapshot(out, target));
  for (const std::string& name : temporaries) EXPECT_FALSE(fs::exists(target + "/" + name));
  for (const std::string& name : kept) EXPECT_EQ(read_file(target + "/" + name), name);
}

// Each archive carries the fault under test and also every later one, so the order of the checks
// shows. A refused restore leaves nothing behind, not even the target directory.
TEST_F(SnapshotTest, RestoreRefusalsInOrder) {
  const std::vector<std::pair<std::string, std::string>> files{{"f", "data"}, {"d/g", "more"}};
  const std::string good = sha256_hex(files);
  const std::string manifest = manifest_text(good);
  auto with = [&](std::string text, const std::string& from, const std::string& to) {
    size_t p = text.find(from);
    EXPECT_NE(p, std::string::npos) << from;
    return text.replace(p, from.size(), to);
  };
  auto entries_with_manifest = [&](const std::string& man, bool tamper) {
    std::vector<TarEntry> e{{"engine_state/f", tamper ? "dat4" : "data"},
                            {"manifest.json", man},
                            {"engine_state/d/g", "more"}};
    return e;
  };
  const std::string bad_all = with(with(with(with(manifest, "\"qmr!\"", "\"abcd\""),
                                             "\"format_version\": 1", "\"format_version\": 2"),
                                        "\"q4\"", "\"q8\""),
                                   "\"top5avg\"", "\"mean\"");
  struct Case {
    const char* name;
    std::vector<TarEntry> entries;  // empty: the archive file holds `raw` instead
    std::string raw;
    EngineError::Code code;
    std::string message;         // exact, or a prefix when it ends with "*"
    bool after_staging = false;  // found only once the files are staged inside the target
  } cases[] = {
      {"not a tar", {}, std::string(3000, 'x'), EngineError::Code::Io, "storage I/O error: *"},
      {"manifest too big",
       {{"manifest.json", std::string(SNAPSHOT_MANIFEST_LIMIT + 1, ' ')}, {"engine_state/f", "x"}},
       "",
       EngineError::Code::SnapshotIntegrity,
       "snapshot integrity check failed: entry exceeds maximum allowed size of 1048576 bytes"},
      {"no manifest",
       {{"engine_state/f", "x"}, {"manifest.jsonx", manifest}},
       "",
       EngineError::Code::NotASnapshot,
       "not a Quellmar snapshot: manifest.json missing"},
      {"bad JSON", entries_with_manifest("{\"magic\": ", true), "", EngineError::Code::NotASnapshot,
       "not a Quellmar snapshot: manifest parse: *"},
      {"missing member",
       entries_with_manifest(with(bad_all, ",\n  \"sha256\": \"" + good + "\"", ""), true), "",
       EngineError::Code::NotASnapshot,
       "not a Quellmar snapshot: manifest parse: missing field `sha256` at line 13 column 1"},
      {"repeated member", entries_with_manifest(with(bad_all, "{", "{\"magic\": \"qmr!\","), true),
       "", EngineError::Code::NotASnapshot,
       "not a Quellmar snapshot: manifest parse: duplicate field `magic` at line 2 column 9"},
      {"magic", entries_with_manifest(bad_all, true), "", EngineError::Code::NotASnapshot,
       "not a Quellmar snapshot: unexpected magic: \"abcd\""},
      {"version", entries_with_manifest(with(bad_all, "\"abcd\"", "\"qmr!\""), true), "",
       EngineError::Code::UnsupportedSnapshotVersion,
       "unsupported snapshot format version 2, supported: 1"},
      {"quantization codec",
       entries_with_manifest(with(with(bad_all, "\"abcd\"", "\"qmr!\""), "\"format_version\": 2",
                                  "\"format_version\": 1"),
                             true),
       "", EngineError::Code::SnapshotCodecMismatch,
       "snapshot codec mismatch for quantization: snapshot=q8, engine=q4"},
      {"key codec",
       entries_with_manifest(with(with(with(bad_all, "\"abcd\"", "\"qmr!\""),
                                       "\"format_version\": 2", "\"format_version\": 1"),
                                  "\"q8\"", "\"q4\""),
                             true),
       "", EngineError::Code::SnapshotCodecMismatch,
       "snapshot codec mismatch for key: snapshot=mean, engine=top5avg"},
      {"digest", entries_with_manifest(manifest, true), "", EngineError::Code::SnapshotIntegrity,
       "snapshot integrity check failed: sha256 mismatch: manifest=" + good +
           ", computed=" + sha256_hex({{"d/g", "more"}, {"f", "dat4"}}),
       true},
  };
  // The archive is checked before the target is made: a target that cannot be made changes
  // nothing up to the digest.
  write_file(tmp_.file("blocker"), "");
  const std::string not_a_dir = "storage I/O error: Not a directory (os error 20)";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string in = tmp_.file("in.tar");
    if (c.entries.empty()) {
      write_file(in, c.raw);
    } else {
      write_tar(in, c.entries);
    }
    for (const std::string& target : {tmp_.file("target/sub"), tmp_.file("blocker/sub")}) {
      SCOPED_TRACE(target);
      const bool blocked = target == tmp_.file("blocker/sub");
      const std::string message = blocked && c.after_staging ? not_a_dir : c.message;
      auto r = restore_snapshot(in, target);
      ASSERT_FALSE(r.is_ok());
      EXPECT_EQ(r.error().code(), blocked && c.after_staging ? EngineError::Code::Io : c.code)
          << r.error().message();
      if (message.back() == '*') {
        EXPECT_EQ(r.error().message().rfind(message.substr(0, message.size() - 1), 0), 0u)
            << r.error().message();
      } else {
        EXPECT_EQ(r.error().message(), message);
      }
      EXPECT_FALSE(fs::exists(tmp_.file("target")));
    }
  }
  // A path component that is a file is reported as not a directory, the target itself included.
  write_tar(tmp_.file("good.tar"), archive_of(files));
  QM_ASSERT_ERROR(Io, not_a_dir, restore_snapshot(tmp_.file("good.tar"), tmp_.file("blocker")));
  QM_ASSERT_ERROR(Io, not_a_dir,
                  restore_snapshot(tmp_.file("good.tar"), tmp_.file("blocker/sub/deeper")));
  EXPECT_EQ(read_file(tmp_.file("blocker")), "");
  QM_ASSERT_ERROR(Io, "storage I/O error: No such file or directory (os error 2)",
                  restore_snapshot(tmp_.file("missing.tar"), tmp_.file("target")));
  QM_ASSERT_ERROR(NotASnapshot, "not a Quellmar snapshot: manifest.json missing",
                  restore_snapshot((write_file(tmp_.file("empty.tar"), ""), tmp_.file("empty.tar")),
                                   tmp_.file("target")));
}

TEST_F(SnapshotTest, RefusedRestoreKeepsAnExistingTargetAsItWas) {
  const std::string target = tmp_.file("target");
  fs::create_directories(target);
  write_file(target + "/f", "old");
  auto entries = archive_of({{"f", "new"}, {"g", "new"}});
  entries[3].data = "tampered";
  write_tar(tmp_.file("in.tar"), entries);
  QM_ASSERT_ERROR(SnapshotIntegrity, "", restore_snapshot(tmp_.file("in.tar"), target));
  EXPECT_EQ(tree_of(target), (std::vector<std::string>{"f"}));
  EXPECT_EQ(read_file(target + "/f"), "old");
}

TEST_F(SnapshotTest, EntrySizeLimits) {
  const std::string in = tmp_.file("in.tar");
  // A manifest of exactly the limit is read (JSON allows the trailing spaces).
  auto entries = archive_of({{"f", "1234"}});
  entries[0].data.resize(SNAPSHOT_MANIFEST_LIMIT, ' ');
  write_tar(in, entries);
  QM_ASSERT_OK(restore_snapshot(in, tmp_.file("t1")));
  QM_ASSERT_OK(read_snapshot_manifest(in));
  entries[0].data.push_back(' ');
  write_tar(in, entries);
  QM_ASSERT_ERROR(
      SnapshotIntegrity,
      "snapshot integrity check failed: entry exceeds maximum allowed size of 1048576 bytes",
      read_snapshot_manifest(in));

  write_tar(in, archive_of({{"f", "1234"}}));
  QM_ASSERT_OK(restore_snapshot(in, tmp_.file("t2"), RestoreLimits{SNAPSHOT_MANIFEST_LIMIT, 4}));
  write_tar(in, archive_of({{"f", "12345"}}));
  QM_ASSERT_ERROR(SnapshotIntegrity,
                  "snapshot integrity check failed: entry exceeds maximum allowed size of 4 bytes",
                  restore_snapshot(in, tmp_.file("t3"), RestoreLimits{SNAPSHOT_MANIFEST_LIMIT, 4}));
  EXPECT_FALSE(fs::exists(tmp_.file("t3")));
}

TEST_F(SnapshotTest, CraftedNamesNeverWriteOutsideTheTarget) {
  const std::string target = tmp_.file("box/target");
  struct Case {
    const char* name;
    std::vector<TarEntry> extra;
    bool refused;
  } cases[] = {
      {"dot-dot", {{"engine_state/../../evil", "x"}}, true},
      {"dot-dot in the middle", {{"engine_state/a/../../../evil", "x"}}, true},
      {"state dir as a file", {{"engine_state", "x"}}, true},
      {"file and directory at once", {{"engine_state/f/g", "x"}}, true},
      // Entries outside engine_state and absolute names are skipped, never written.
      {"absolute", {{"/engine_state/evil", "x"}, {"/tmp/evil", "x"}}, false},
      {"outside the state dir", {{"../evil", "x"}, {"./engine_state/evil", "x"}}, false},
      // Links are no entries of a snapshot: refused, never followed.
      {"links",
       {{"engine_state/ln", "", AE_IFLNK, "/etc/passwd"},
        {"engine_state/hard", "", AE_IFREG, "engine_state/f"}},
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(tmp_.file("box"));
    fs::create_directories(tmp_.file("box"));
    // The digest covers the extra regular files under engine_state too, so only the name check
    // can stop them.
    std::vector<std::pair<std::string, std::string>> files{{"f", "ok"}};
    for (const TarEntry& e : c.extra) {
      std::string name = strip_engine_state_prefix(e.name);
      if (e.type == AE_IFREG && e.link.empty() && name != e.name) files.push_back({name, e.data});
    }
    std::sort(files.begin(), files.end(),
              [](const auto& a, const auto& b) { return path_components_less(a.first, b.first); });
    std::vector<TarEntry> entries{{"manifest.json", manifest_text(sha256_hex(files))},
                                  {"engine_state", "", AE_IFDIR},
                                  {"engine_state/f", "ok"}};
    entries.insert(entries.end(), c.extra.begin(), c.extra.end());
    write_tar(tmp_.file("in.tar"), entries);
    auto r = restore_snapshot(tmp_.file("in.tar"), target);
    if (c.refused) {
      ASSERT_FALSE(r.is_ok());
      EXPECT_EQ(r.error().code(), EngineError::Code::SnapshotIntegrity) << r.error().message();
      EXPECT_EQ(tree_of(tmp_.file("box")), std::vector<std::string>{});
    } else {
      QM_ASSERT_OK(r);
      EXPECT_EQ(tree_of(tmp_.file("box")), (std::vector<std::string>{"target/", "target/f"}));
    }
    EXPECT_FALSE(fs::exists(tmp_.file("evil")));
  }
}

TEST_F(SnapshotTest, RestoreDoesNotFollowLinksInTheTarget) {
  TempDir outside;
  const std::string target = tmp_.file("target");
  fs::create_directories(target);
  fs::create_directory_symlink(outside.path(), target + "/d");
  write_tar(tmp_.file("in.tar"), archive_of({{"d/g", "x"}, {"f", "y"}}));
  QM_ASSERT_ERROR(
      SnapshotIntegrity,
      "snapshot integrity check failed: cannot restore d/g: " + target + "/d is not a directory",
      restore_snapshot(tmp_.file("in.tar"), target));
  EXPECT_TRUE(fs::is_empty(outside.path()));
  EXPECT_EQ(tree_of(target), (std::vector<std::string>{"d"}));
}

TEST_F(SnapshotTest, ReadManifestChecksOnlyTheMagic) {
  auto entries = archive_of({{"f", "1"}});
  entries[0].data = entries[0].data.replace(entries[0].data.find("\"format_version\": 1"), 19,
                                            "\"format_version\": 9");
  write_tar(tmp_.file("v9.tar"), entries);
  QM_ASSERT_OK_AND_ASSIGN(SnapshotManifest m, read_snapshot_manifest(tmp_.file("v9.tar")));
  EXPECT_EQ(m.format_version, 9);
  entries[0].data.replace(entries[0].data.find("qmr!"), 4, "q\"\n!");
  write_tar(tmp_.file("magic.tar"), entries);
  auto unparsable = read_snapshot_manifest(tmp_.file("magic.tar"));
  QM_ASSERT_ERROR(NotASnapshot, "", unparsable);
  EXPECT_EQ(unparsable.error().message().rfind("not a Quellmar snapshot: manifest parse: ", 0), 0u);
  entries[0].data = manifest_text("00");
  entries[0].data.replace(entries[0].data.find("qmr!"), 4, "q\\\"\\n!");
  write_tar(tmp_.file("magic.tar"), entries);
  QM_ASSERT_ERROR(NotASnapshot, "not a Quellmar snapshot: unexpected magic: \"q\\\"\\n!\"",
                  read_snapshot_manifest(tmp_.file("magic.tar")));
  write_tar(tmp_.file("none.tar"), {{"engine_state/f", "1"}});
  QM_ASSERT_ERROR(NotASnapshot, "not a Quellmar snapshot: manifest.json missing",
                  read_snapshot_manifest(tmp_.file("none.tar")));
}

// The tar bytes of `entries` without the two zero blocks that end an archive, so that entries
// written by other means can follow.
std::string tar_stream(const std::vector<TarEntry>& entries, const std::string& scratch) {
  write_tar(scratch, entries);
  size_t used = 0;
  for (const TarEntry& e : entries) used += 512 + (e.data.size() + 511) / 512 * 512;
  return read_file(scratch).substr(0, used);
}

void put_octal(char* field, size_t width, uint64_t value) {
  std::snprintf(field, width, "%0*llo", static_cast<int>(width - 1),
                static_cast<unsigned long long>(value));
}

// An old-style GNU sparse entry ('S'): `data` stored, placed at the end of a file of `real`
// bytes; everything before it is a hole.
std::string gnu_sparse_entry(const std::string& name, uint64_t real, const std::string& data) {
  char h[512] = {};
  std::memcpy(h, name.data(), name.size());
  put_octal(h + 100, 8, 0644);
  put_octal(h + 108, 8, 0);
  put_octal(h + 116, 8, 0);
  put_octal(h + 124, 12, data.size());
  put_octal(h + 136, 12, 0);
  h[156] = 'S';
  std::memcpy(h + 257, "ustar  ", 8);
  put_octal(h + 386, 12, real - data.size());  // the one data region: offset, then length
  put_octal(h + 398, 12, data.size());
  put_octal(h + 483, 12, real);
  std::memset(h + 148, ' ', 8);
  unsigned sum = 0;
  for (unsigned char c : h) sum += c;
  std::snprintf(h + 148, 8, "%06o", sum);
  std::string padded = data;
  padded.resize((data.size() + 511) / 512 * 512, '\0');
  return std::string(h, sizeof h) + padded;
}

// A pax entry with a sparse map (the GNU 1.0 form), as the tar library writes it.
std::string pax_sparse_entry(const std::string& name, uint64_t real, const std::string& data) {
  std::vector<char> buf(1 << 16);
  size_t used = 0;
  std::unique_ptr<archive, ArchiveCloser> a(archive_write_new());
  EXPECT_EQ(archive_write_set_format_pax(a.get()), ARCHIVE_OK);
  archive_write_set_bytes_per_block(a.get(), 512);
  archive_write_set_bytes_in_last_block(a.get(), 1);
  EXPECT_EQ(archive_write_open_memory(a.get(), buf.data(), buf.size(), &used), ARCHIVE_OK);
  archive_entry* entry = archive_entry_new();
  archive_entry_set_pathname(entry, name.c_str());
  archive_entry_set_filetype(entry, AE_IFREG);
  archive_entry_set_perm(entry, 0644);
  archive_entry_set_size(entry, static_cast<la_int64_t>(real));
  archive_entry_sparse_add_entry(entry, static_cast<la_int64_t>(real - data.size()),
                                 static_cast<la_int64_t>(data.size()));
  EXPECT_EQ(archive_write_header(a.get(), entry), ARCHIVE_OK);
  archive_write_data(a.get(), data.data(), data.size());
  archive_entry_free(entry);
  EXPECT_EQ(archive_write_close(a.get()), ARCHIVE_OK);
  return std::string(buf.data(), used - 1024);
}

// Entries that no snapshot holds are refused before anything is written: a sparse entry (whose
// holes a restore would otherwise write out, gigabytes from a few KiB of archive), links, devices
// and FIFOs, inside engine_state or not. An archive without a manifest is no snapshot at all.
TEST_F(SnapshotTest, RefusesEntryKindsNoSnapshotHolds) {
  const std::vector<std::pair<std::string, std::string>> files{{"f", "data"}};
  const std::string snapshot = tar_stream(archive_of(files), tmp_.file("scratch.tar"));
  const std::string end(1024, '\0');
  constexpr uint64_t TWO_GIB = uint64_t{2} << 30;
  auto refusal = [](const std::string& name, const std::string& kind) {
    return "snapshot integrity check failed: archive entry \"" + name + "\" is " + kind +
           ", which no snapshot holds";
  };
  auto with = [&](const TarEntry& e) { return tar_stream({e}, tmp_.file("scratch.tar")); };
  struct Case {
    const char* name;
    std::string archive;
    std::string message;
  } cases[] = {
      {"GNU sparse", snapshot + gnu_sparse_entry("engine_state/big", TWO_GIB, "tail") + end,
       refusal("engine_state/big", "a sparse file")},
      {"pax sparse", snapshot + pax_sparse_entry("engine_state/big", TWO_GIB, "tail") + end,
       refusal("engine_state/big", "a sparse file")},
      {"sparse manifest", gnu_sparse_entry("manifest.json", TWO_GIB, "{}") + snapshot + end,
       refusal("manifest.json", "a sparse file")},
      {"symbolic link", snapshot + with({"engine_state/ln", "", AE_IFLNK, "/etc/passwd"}) + end,
       refusal("engine_state/ln", "a symbolic link")},
      {"hard link", snapshot + with({"engine_state/hard", "", AE_IFREG, "engine_state/f"}) + end,
       refusal("engine_state/hard", "a hard link")},
      {"FIFO outside the state dir", snapshot + with({"elsewhere/fifo", "", AE_IFIFO}) + end,
       refusal("elsewhere/fifo", "a FIFO")},
      {"device", snapshot + with({"engine_state/dev", "", AE_IFCHR}) + end,
       refusal("engine_state/dev", "a device")},
      {"no manifest", with({"engine_state/ln", "", AE_IFLNK, "/etc/passwd"}) + end,
       "not a Quellmar snapshot: manifest.json missing"},
  };
  const std::string target = tmp_.file("target");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_LT(c.archive.size(), 16u * 1024);
    write_file(tmp_.file("in.tar"), c.archive);
    auto r = restore_snapshot(tmp_.file("in.tar"), target);
    ASSERT_FALSE(r.is_ok());
    EXPECT_EQ(r.error().message(), c.message);
    EXPECT_FALSE(fs::exists(target));
    auto engine = Engine::restore_from(tmp_.file("in.tar"), target);
    ASSERT_FALSE(engine.is_ok());
    EXPECT_EQ(engine.error().message(), c.message);
    EXPECT_FALSE(fs::exists(target));
  }
  // The same archive without the foreign entry restores.
  write_file(tmp_.file("in.tar"), snapshot + end);
  QM_ASSERT_OK(restore_snapshot(tmp_.file("in.tar"), target));
  EXPECT_EQ(read_file(target + "/f"), "data");
}

}  // namespace
}  // namespace quellmar
