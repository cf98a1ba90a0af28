#include "quellmar/engine/checkpoint.h"

#include <filesystem>
#include <string>
#include <vector>

#include "quellmar/core/posix_file.h"
#include "test_util.h"

namespace quellmar {
namespace {

namespace fs = std::filesystem;
using ::quellmar::testing::read_file;
using ::quellmar::testing::TempDir;
using ::quellmar::testing::write_file;

class CheckpointTest : public ::testing::Test {
 protected:
  void SetUp() override {
    engine_ = tmp_.file("engine");
    fs::create_directories(engine_);
    write_file(engine_ + "/segment_000000.qmr", "cells");
    root_ = tmp_.file("repo");
  }

  // The engine's part of a save: a snapshot of the engine directory.
  CheckpointRepository::SnapshotFn snapshot(uint64_t packs = 1) {
    return [this, packs](const std::string& out) {
      ++snapshots_;
      return write_snapshot(engine_, out, {packs, 1});
    };
  }

  std::vector<std::pair<std::string, uint32_t>> listed(std::optional<std::string> label) {
    std::vector<std::pair<std::string, uint32_t>> out;
    auto all = CheckpointRepository(root_).list(label);
    EXPECT_TRUE(all.is_ok()) << all.error().message();
    if (all.is_ok()) {
      for (const auto& c : *all) out.emplace_back(c.label, c.seq);
    }
    return out;
  }

  TempDir tmp_;
  std::string engine_, root_;
  int snapshots_ = 0;
};

TEST_F(CheckpointTest, CheckpointNames) {
  struct Case {
    const char* name;
    std::optional<uint32_t> seq;
  } cases[] = {
      {"1.tar", 1},
      {"007.tar", 7},
      {"+7.tar", 7},
      {"4294967295.tar", UINT32_MAX},
      {"4294967296.tar", std::nullopt},
      {"-3.tar", std::nullopt},
      {"++3.tar", std::nullopt},
      {"+.tar", std::nullopt},
      {"x.tar", std::nullopt},
      {"3.tar.gz", std::nullopt},
      {"3.TAR", std::nullopt},
      {".tar", std::nullopt},
      {"notes.txt", std::nullopt},
      {"3", std::nullopt},
      {"1.5.tar", std::nullopt},
      {" 3.tar", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(checkpoint_seq(c.name), c.seq);
  }
}

TEST_F(CheckpointTest, EmptyRepository) {
  CheckpointRepository repo(root_);
  QM_ASSERT_OK_AND_ASSIGN(auto all, repo.list(std::nullopt));
  EXPECT_TRUE(all.empty());
  QM_ASSERT_OK_AND_ASSIGN(auto latest, repo.latest("main"));
  EXPECT_FALSE(latest.has_value());
  QM_ASSERT_ERROR(SnapshotIntegrity,
                  "snapshot integrity check failed: no checkpoint found for label main",
                  repo.restore_latest("main", tmp_.file("target")));
  EXPECT_FALSE(fs::exists(root_));
  EXPECT_FALSE(fs::exists(tmp_.file("target")));
}

TEST_F(CheckpointTest, NumbersCountPerLabelFromTheHighest) {
  CheckpointRepository repo(root_);
  QM_ASSERT_OK_AND_ASSIGN(CheckpointInfo first, repo.save("a", snapshot(3)));
  EXPECT_EQ(first.seq, 1u);
  EXPECT_EQ(first.path, root_ + "/a/1.tar");
  EXPECT_EQ(first.label, "a");
  EXPECT_EQ(first.manifest.stats.pack_count, 3u);
  QM_ASSERT_OK_AND_ASSIGN(CheckpointInfo second, repo.save("a", snapshot()));
  EXPECT_EQ(second.path, root_ + "/a/2.tar");
  QM_ASSERT_OK_AND_ASSIGN(CheckpointInfo other, repo.save("b", snapshot()));
  EXPECT_EQ(other.path, root_ + "/b/1.tar");

  fs::copy_file(root_ + "/a/1.tar", root_ + "/a/5.tar");
  for (const char* ignored : {"notes.txt", "x.tar", "-3.tar", "9.tar.gz"}) {
    write_file(root_ + "/a/" + ignored, "not a checkpoint");
  }
  QM_ASSERT_OK_AND_ASSIGN(CheckpointInfo sixth, repo.save("a", snapshot()));
  EXPECT_EQ(sixth.seq, 6u);
  fs::remove(root_ + "/a/5.tar");
  fs::remove(root_ + "/a/6.tar");
  QM_ASSERT_OK_AND_ASSIGN(CheckpointInfo third, repo.save("a", snapshot()));
  EXPECT_EQ(third.seq, 3u);

  write_file(root_ + "/stray-file", "");  // files beside the labels are no labels
  EXPECT_EQ(listed(std::nullopt), (std::vector<std::pair<std::string, uint32_t>>{
                                      {"a", 1}, {"a", 2}, {"a", 3}, {"b", 1}}));
  EXPECT_EQ(listed("b"), (std::vector<std::pair<std::string, uint32_t>>{{"b", 1}}));
  EXPECT_TRUE(listed("c").empty());
  QM_ASSERT_OK_AND_ASSIGN(auto latest, repo.latest("a"));
  ASSERT_TRUE(latest.has_value());
  EXPECT_EQ(latest->seq, 3u);
  EXPECT_EQ(latest->manifest, third.manifest);
}

TEST_F(CheckpointTest, ScanKeepsListingOrderForEqualNumbers) {
  const std::string dir = tmp_.file("label");
  fs::create_directories(dir);
  for (const char* n : {"5.tar", "05.tar", "2.tar", "+5.tar"}) write_file(dir + "/" + n, "");
  QM_ASSERT_OK_AND_ASSIGN(auto found, CheckpointRepository::scan_label(dir));
  ASSERT_EQ(found.size(), 4u);
  EXPECT_EQ(found[0], (std::pair<uint32_t, std::string>{2, dir + "/2.tar"}));
  // The three names of checkpoint 5 come in the directory's own order.
  QM_ASSERT_OK_AND_ASSIGN(std::vector<std::string> order, list_dir(dir));
  std::vector<std::string> fives, want;
  for (size_t i = 1; i < 4; ++i) fives.push_back(found[i].second);
  for (const auto& n : order) {
    if (n != "2.tar") want.push_back(dir + "/" + n);
  }
  EXPECT_EQ(fives, want);
  QM_ASSERT_ERROR(Io, "", CheckpointRepository::scan_label(tmp_.file("missing")));
}

TEST_F(CheckpointTest, RestoreLatestRestoresTheNewest) {
  CheckpointRepository repo(root_);
  QM_ASSERT_OK(repo.save("main", snapshot()));
  write_file(engine_ + "/segment_000000.qmr", "newer cells");
  QM_ASSERT_OK(repo.save("main", snapshot()));
  const std::string target = tmp_.file("restored");
  QM_ASSERT_OK_AND_ASSIGN(CheckpointInfo info, repo.restore_latest("main", target));
  EXPECT_EQ(info.seq, 2u);
  EXPECT_EQ(read_file(target + "/segment_000000.qmr"), "newer cells");
}

TEST_F(CheckpointTest, OneBadArchiveFailsTheListing) {
  CheckpointRepository repo(root_);
  QM_ASSERT_OK(repo.save("main", snapshot()));
  write_file(root_ + "/main/2.tar", "");
  QM_ASSERT_ERROR(NotASnapshot, "not a Quellmar snapshot: manifest.json missing",
                  repo.list(std::nullopt));
  QM_ASSERT_ERROR(NotASnapshot, "", repo.latest("main"));
  QM_ASSERT_ERROR(NotASnapshot, "", repo.restore_latest("main", tmp_.file("t")));
  QM_ASSERT_OK(repo.list("other"));

  fs::create_directories(root_ + "/bad\xff");
  fs::remove(root_ + "/main/2.tar");
  QM_ASSERT_ERROR(SnapshotIntegrity,
                  "snapshot integrity check failed: non-UTF8 checkpoint label directory: " + root_ +
                      "/bad\xEF\xBF\xBD",
                  repo.list(std::nullopt));
  QM_ASSERT_OK(repo.list("main"));  // a filter skips the other directories
}

TEST_F(CheckpointTest, RefusesLabelsThatAreNotOnePathComponent) {
  CheckpointRepository repo(root_);
  for (std::string bad : {std::string(""), std::string("."), std::string(".."), std::string("a/b"),
                          std::string("/"), std::string("../x"), std::string("a\0b", 3)}) {
    SCOPED_TRACE(bad);
    QM_ASSERT_ERROR(SnapshotIntegrity, "", repo.save(bad, snapshot()));
  }
  QM_ASSERT_ERROR(SnapshotIntegrity,
                  "snapshot integrity check failed: invalid checkpoint label \"..\": a label must "
                  "be a single path component (not empty, \".\" or \"..\", and without \"/\")",
                  repo.save("..", snapshot()));
  EXPECT_EQ(snapshots_, 0);
  EXPECT_FALSE(fs::exists(root_));

  // The queries compare such a label with directory names, and no directory is named so: even
  // with checkpoints at root/a/b and beside the root, nothing is found.
  fs::create_directories(root_ + "/a/b");
  QM_ASSERT_OK(write_snapshot(engine_, root_ + "/a/b/1.tar", {1, 1}));
  QM_ASSERT_OK(write_snapshot(engine_, tmp_.file("1.tar"), {1, 1}));
  for (std::string bad : {std::string(""), std::string("."), std::string(".."), std::string("a/b"),
                          std::string("/"), std::string("../x"), std::string("a\0b", 3)}) {
    SCOPED_TRACE(bad);
    EXPECT_EQ(listed(bad), (std::vector<std::pair<std::string, uint32_t>>{}));
    QM_ASSERT_OK_AND_ASSIGN(auto latest, repo.latest(bad));
    EXPECT_FALSE(latest.has_value());
    QM_ASSERT_ERROR(SnapshotIntegrity,
                    "snapshot integrity check failed: no checkpoint found for label " + bad,
                    repo.restore_latest(bad, tmp_.file("t")));
  }
  EXPECT_FALSE(fs::exists(tmp_.file("t")));
}

TEST_F(CheckpointTest, SaveFailures) {
  CheckpointRepository repo(root_);
  fs::create_directories(root_ + "/full");
  write_file(root_ + "/full/4294967295.tar", "");
  QM_ASSERT_ERROR(SnapshotIntegrity, "", repo.save("full", snapshot()));
  EXPECT_EQ(snapshots_, 0);

  QM_ASSERT_ERROR(Governance, "governance error: engine busy",
                  repo.save("x", [](const std::string&) -> Result<SnapshotManifest> {
                    return EngineError::governance("engine busy");
                  }));
  write_file(tmp_.file("file-root"), "");
  QM_ASSERT_ERROR(Io, "", CheckpointRepository(tmp_.file("file-root")).save("a", snapshot()));
}

}  // namespace
}  // namespace quellmar
