#include "quellmar/engine/schedule_store.h"

#include <cmath>
#include <string>
#include <vector>

#include "quellmar/core/file_names.h"
#include "quellmar/core/posix_file.h"
#include "quellmar/core/str_cat.h"
#include "test_util.h"

namespace quellmar {
namespace {

using ::quellmar::testing::read_file;
using ::quellmar::testing::TempDir;
using ::quellmar::testing::write_file;

constexpr const char* PARSE_PREFIX =
    "snapshot integrity check failed: scheduled_actions.json parse error: ";

TEST(ScheduleStoreTest, MissingFileIsEmptyStoreStartingAtOne) {
  TempDir dir;
  QM_ASSERT_OK_AND_ASSIGN(ScheduleStore store, ScheduleStore::load(dir.path()));
  EXPECT_TRUE(store.entries().empty());
  EXPECT_EQ(store.next_id(), 1u);
  EXPECT_EQ(store.path(), dir.file(SCHEDULE_FILE));
  EXPECT_FALSE(path_exists(store.path()));
  QM_ASSERT_OK_AND_ASSIGN(std::string text, store.serialize());
  EXPECT_EQ(text, "{\n  \"next_id\": 1,\n  \"entries\": []\n}");
}

TEST(ScheduleStoreTest, WritesTheExactPrettyText) {
  TempDir dir;
  QM_ASSERT_OK_AND_ASSIGN(ScheduleStore store, ScheduleStore::load(dir.path()));
  QM_ASSERT_OK_AND_ASSIGN(uint64_t id, store.add({1700000000, 0}, 7, 15.0f));
  EXPECT_EQ(id, 1u);
  EXPECT_EQ(read_file(store.path()),
            "{\n"
            "  \"next_id\": 2,\n"
            "  \"entries\": [\n"
            "    {\n"
            "      \"id\": 1,\n"
            "      \"fires_at_unix_nanos\": 1700000000000000000,\n"
            "      \"action\": {\n"
            "        \"EvictDraft\": {\n"
            "          \"owner\": 7,\n"
            "          \"threshold\": 15.0\n"
            "        }\n"
            "      }\n"
            "    }\n"
            "  ]\n"
            "}");
  EXPECT_FALSE(path_exists(dir.file(SCHEDULE_TMP_FILE)));

  // Thresholds are written in their shortest 32-bit form; times beyond 64 bits as plain digits.
  QM_ASSERT_OK(store.add({20000000000, 5}, 8, 0.1f));
  std::string text = read_file(store.path());
  EXPECT_NE(text.find("\"threshold\": 0.1\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\"fires_at_unix_nanos\": 20000000000000000005,\n"), std::string::npos)
      << text;

  struct Case {
    float threshold;
    const char* text;
  } cases[] = {
      {15.0f, "15.0"},
      {0.1f, "0.1"},
      {1234.5f, "1234.5"},
      {-0.0f, "-0.0"},
      {1e30f, "1e30"},
      {1e-7f, "1e-7"},
      {1.5e-7f, "1.5e-7"},
      {1e-6f, "0.000001"},
      {3.4028235e38f, "3.4028235e38"},
      {-3.4028235e38f, "-3.4028235e38"},
      {1e12f, "1000000000000.0"},
      {1e13f, "1e13"},
      {1e-45f, "1e-45"},
      {16777216.0f, "16777216.0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    TempDir d;
    QM_ASSERT_OK_AND_ASSIGN(ScheduleStore s, ScheduleStore::load(d.path()));
    QM_ASSERT_OK(s.add({1, 0}, 1, c.threshold));
    text = read_file(s.path());
    EXPECT_NE(text.find(str_cat("\"threshold\": ", c.text, "\n")), std::string::npos) << text;
    QM_ASSERT_OK_AND_ASSIGN(ScheduleStore again, ScheduleStore::load(d.path()));
    ASSERT_EQ(again.entries().size(), 1u);
    EXPECT_EQ(std::signbit(again.entries()[0].threshold), std::signbit(c.threshold));
    EXPECT_EQ(again.entries()[0].threshold, c.threshold);
  }
}

TEST(ScheduleStoreTest, ReloadKeepsEntriesIdsAndNextId) {
  TempDir dir;
  const UnixTime far{INT64_MAX, 999999999};  // the latest time the file can hold
  const UnixTime before_epoch{-5, 250};
  {
    QM_ASSERT_OK_AND_ASSIGN(ScheduleStore store, ScheduleStore::load(dir.path()));
    QM_ASSERT_OK(store.add({100, 7}, 1, 2.5f));
    QM_ASSERT_OK(store.add(far, 2, -1e-7f));
    QM_ASSERT_OK(store.add({30000000000, 0}, 3, 3.4028235e38f));
    QM_ASSERT_OK(store.add(before_epoch, 4, 0.0f));
    QM_ASSERT_OK_AND_ASSIGN(bool removed, store.cancel(1));
    EXPECT_TRUE(removed);
  }
  QM_ASSERT_OK_AND_ASSIGN(ScheduleStore store, ScheduleStore::load(dir.path()));
  EXPECT_EQ(store.next_id(), 5u);
  EXPECT_EQ(store.entries(), (std::vector<ScheduledEntry>{{2, far, 2, -1e-7f},
                                                          {3, {30000000000, 0}, 3, 3.4028235e38f},
                                                          {4, {0, 0}, 4, 0.0f}}));
  // The entry from before the epoch was stored as the epoch: due at any firing.
  EXPECT_EQ(store.collect_due({0, 0}).size(), 1u);
}

TEST(ScheduleStoreTest, ReadsWhatATypedReaderAccepts) {
  TempDir dir;
  // Unknown members are skipped whole, keys they repeat inside included.
  write_file(dir.file(SCHEDULE_FILE),
             " {\"entries\": [{\"action\": {\"EvictDraft\": [9, 1]}, \"extra\": {\"x\": [1]},"
             " \"fires_at_unix_nanos\": 1500000000, \"id\": 4, \"more\": {\"id\": 1, \"id\": 2}},"
             " [6, 0, {\"EvictDraft\": {\"threshold\": 2e0, \"owner\": 3, \"u\": 1, \"u\": 2}}]],"
             " \"next_id\": 0, \"unknown\": null, \"note\": {\"a\": 1, \"a\": 2}}\n\t ");
  QM_ASSERT_OK_AND_ASSIGN(ScheduleStore store, ScheduleStore::load(dir.path()));
  EXPECT_EQ(store.next_id(), 7u);  // 0 is raised to 1, and past the ids the entries hold
  EXPECT_EQ(store.entries(),
            (std::vector<ScheduledEntry>{{4, {1, 500000000}, 9, 1.0f}, {6, {0, 0}, 3, 2.0f}}));
}

TEST(ScheduleStoreTest, RefusesBadFiles) {
  const std::string entry_tail = "\"action\": {\"EvictDraft\": {\"owner\": 1, \"threshold\": 1}}";
  auto file = [&](const std::string& entry) {
    return "{\"next_id\": 2, \"entries\": [{" + entry + "}]}";
  };
  struct Case {
    const char* name;
    std::string text;
    const char* want;  // part of the reason
  } cases[] = {
      {"not JSON", "{\"next_id\": 1, \"entries\": [}", "syntax error"},
      {"empty file", "", "syntax error"},
      {"trailing data", "{\"next_id\": 1, \"entries\": []} x", "syntax error"},
      {"missing next_id", "{\"entries\": []}", "missing field `next_id` at line 1 column 15"},
      {"missing entries", "{\"next_id\": 1}", "missing field `entries`"},
      {"missing id", file("\"fires_at_unix_nanos\": 1, " + entry_tail), "missing field `id`"},
      {"missing owner",
       file("\"id\": 1, \"fires_at_unix_nanos\": 1, \"action\": {\"EvictDraft\": "
            "{\"threshold\": 1}}"),
       "missing field `owner`"},
      {"repeated next_id", "{\"next_id\": 1,\n \"next_id\": 2, \"entries\": []}",
       "duplicate field `next_id` at line 2 column 10"},
      {"repeated id", file("\"id\": 1, \"id\": 1, \"fires_at_unix_nanos\": 1, " + entry_tail),
       "duplicate field `id`"},
      {"repeated owner",
       file("\"id\": 1, \"fires_at_unix_nanos\": 1, \"action\": {\"EvictDraft\": "
            "{\"owner\": 1, \"x\": 0, \"owner\": 1, \"threshold\": 1}}"),
       "duplicate field `owner` at line 1 column 116"},
      {"repeated action",
       file("\"id\": 1, \"fires_at_unix_nanos\": 1, \"action\": {\"EvictDraft\": [1, 1], "
            "\"EvictDraft\": [1, 1]}"),
       "duplicate field `EvictDraft`"},
      {"unknown action",
       file("\"id\": 1, \"fires_at_unix_nanos\": 1, \"action\": {\"Compact\": {}}"),
       "unknown variant `Compact`, expected `EvictDraft`"},
      {"two actions",
       file("\"id\": 1, \"fires_at_unix_nanos\": 1, \"action\": {\"EvictDraft\": [1, 1], "
            "\"Other\": 1}"),
       "expected an object with one member"},
      {"null threshold",
       file("\"id\": 1, \"fires_at_unix_nanos\": 1, \"action\": {\"EvictDraft\": "
            "{\"owner\": 1, \"threshold\": null}}"),
       "invalid type: null, expected f32"},
      {"string id", file("\"id\": \"1\", \"fires_at_unix_nanos\": 1, " + entry_tail),
       "invalid type: string \"1\", expected u64"},
      {"negative id", file("\"id\": -1, \"fires_at_unix_nanos\": 1, " + entry_tail),
       "invalid value: integer `-1`, expected u64"},
      {"id beyond 64 bits",
       file("\"id\": 18446744073709551616, \"fires_at_unix_nanos\": 1, " + entry_tail),
       "expected u64"},
      {"fractional time", file("\"id\": 1, \"fires_at_unix_nanos\": 1.5, " + entry_tail),
       "invalid type: floating point `1.5`, expected u128"},
      {"time past the latest",
       file("\"id\": 1, \"fires_at_unix_nanos\": 9223372036854775808000000000, " + entry_tail),
       "expected a time at most"},
      {"time beyond 128 bits",
       file("\"id\": 1, \"fires_at_unix_nanos\": 340282366920938463463374607431768211456, " +
            entry_tail),
       "expected u128"},
      {"threshold beyond f32",
       file("\"id\": 1, \"fires_at_unix_nanos\": 1, \"action\": {\"EvictDraft\": "
            "{\"owner\": 1, \"threshold\": 1e39}}"),
       "expected f32"},
      {"short struct array", "{\"next_id\": 1, \"entries\": [[1, 2]]}",
       "invalid length 2, expected struct DiskEntry with 3 elements"},
      {"entries not a list", "{\"next_id\": 1, \"entries\": {}}", "expected a sequence"},
      {"too deep", std::string(200, '[') + std::string(200, ']'), "recursion limit exceeded"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    write_file(dir.file(SCHEDULE_FILE), c.text);
    auto r = ScheduleStore::load(dir.path());
    ASSERT_FALSE(r.is_ok());
    EXPECT_EQ(r.error().code(), EngineError::Code::SnapshotIntegrity);
    EXPECT_EQ(r.error().message().rfind(PARSE_PREFIX, 0), 0u) << r.error().message();
    EXPECT_NE(r.error().message().find(c.want), std::string::npos) << r.error().message();
  }
}

TEST(ScheduleStoreTest, CancelAndDueKeepOrder) {
  TempDir dir;
  const std::string hand_written =
      "{\"next_id\":3,\"entries\":[[1,50000000000,{\"EvictDraft\":[1,1]}]]}";
  write_file(dir.file(SCHEDULE_FILE), hand_written);
  QM_ASSERT_OK_AND_ASSIGN(ScheduleStore store, ScheduleStore::load(dir.path()));
  QM_ASSERT_OK_AND_ASSIGN(bool removed, store.cancel(99));
  EXPECT_FALSE(removed);
  EXPECT_EQ(read_file(store.path()), hand_written);  // no save without a change

  QM_ASSERT_OK(store.add({30, 0}, 2, 1));
  QM_ASSERT_OK(store.add({20, 0}, 3, 1));
  QM_ASSERT_OK(store.add({30, 0}, 4, 1));
  // Due entries keep store order; listing is by time, ties in store order.
  std::vector<uint64_t> due_ids;
  for (const auto& e : store.collect_due({30, 0})) due_ids.push_back(e.id);
  EXPECT_EQ(due_ids, (std::vector<uint64_t>{3, 4, 5}));
  std::vector<uint64_t> listed;
  for (const auto& e : store.list_by_fire_time()) listed.push_back(e.id);
  EXPECT_EQ(listed, (std::vector<uint64_t>{4, 3, 5, 1}));
  EXPECT_TRUE(store.collect_due({19, 999999999}).empty());
  EXPECT_EQ(store.collect_due({-1, 0}).size(), 0u);
}

TEST(ScheduleStoreTest, FireDueRunsInOrderAndKeepsEntriesOnFailure) {
  TempDir dir;
  QM_ASSERT_OK_AND_ASSIGN(ScheduleStore store, ScheduleStore::load(dir.path()));
  QM_ASSERT_OK(store.add({10, 0}, 1, 5));
  QM_ASSERT_OK(store.add({5, 0}, 2, 6));
  QM_ASSERT_OK(store.add({99, 0}, 3, 7));
  const std::string before = read_file(store.path());

  std::vector<OwnerId> ran;
  QM_ASSERT_OK_AND_ASSIGN(uint64_t none, store.fire_due({1, 0}, [&](OwnerId o, float) {
    ran.push_back(o);
    return Status::ok();
  }));
  EXPECT_EQ(none, 0u);
  EXPECT_TRUE(ran.empty());

  // The second eviction fails: nothing is removed, so both run again next time.
  QM_ASSERT_ERROR(Governance, "governance error: boom",
                  store.fire_due({50, 0}, [&](OwnerId o, float) -> Status {
                    ran.push_back(o);
                    if (o == 2) return EngineError::governance("boom");
                    return Status::ok();
                  }));
  EXPECT_EQ(ran, (std::vector<OwnerId>{1, 2}));
  EXPECT_EQ(store.entries().size(), 3u);
  EXPECT_EQ(read_file(store.path()), before);

  ran.clear();
  std::vector<float> thresholds;
  QM_ASSERT_OK_AND_ASSIGN(uint64_t fired, store.fire_due({50, 0}, [&](OwnerId o, float t) {
    ran.push_back(o);
    thresholds.push_back(t);
    return Status::ok();
  }));
  EXPECT_EQ(fired, 2u);
  EXPECT_EQ(ran, (std::vector<OwnerId>{1, 2}));
  EXPECT_EQ(thresholds, (std::vector<float>{5, 6}));
  QM_ASSERT_OK_AND_ASSIGN(ScheduleStore reloaded, ScheduleStore::load(dir.path()));
  ASSERT_EQ(reloaded.entries().size(), 1u);
  EXPECT_EQ(reloaded.entries()[0].id, 3u);
  EXPECT_EQ(reloaded.next_id(), 4u);
}

int fail_rename(FileOp op, const std::string&) { return op == FileOp::Rename ? EACCES : 0; }

TEST(ScheduleStoreTest, FailedSaveKeepsTheChangeInMemoryAndTheOldFile) {
  TempDir dir;
  QM_ASSERT_OK_AND_ASSIGN(ScheduleStore store, ScheduleStore::load(dir.path()));
  QM_ASSERT_OK(store.add({1, 0}, 1, 1));
  const std::string before = read_file(store.path());
  set_file_fault_hook(fail_rename);
  auto added = store.add({2, 0}, 2, 2);
  set_file_fault_hook(nullptr);
  QM_ASSERT_ERROR(Io, "storage I/O error: Permission denied (os error 13)", added);
  EXPECT_EQ(read_file(store.path()), before);
  EXPECT_EQ(store.entries().size(), 2u);
  EXPECT_EQ(store.next_id(), 3u);
  // The next successful save writes the whole state.
  QM_ASSERT_OK(store.add({3, 0}, 3, 3));
  QM_ASSERT_OK_AND_ASSIGN(ScheduleStore reloaded, ScheduleStore::load(dir.path()));
  EXPECT_EQ(reloaded.entries().size(), 3u);
}

// An id is handed out once: the next one lies past every id of the file, and once the last one
// is gone every add is refused, before anything changes and also after a reopen.
TEST(ScheduleStoreTest, IdsNeverRepeat) {
  constexpr uint64_t MAX = UINT64_MAX;
  const std::string no_id_left =
      "snapshot integrity check failed: no scheduled action id is left (the last one is "
      "18446744073709551614)";
  struct Case {
    const char* name;
    uint64_t next_id;
    std::vector<uint64_t> ids;     // of the entries in the file
    std::vector<uint64_t> handed;  // what the adds give
    bool used_up;                  // whether the next add is refused then
  } cases[] = {
      {"entries above next_id", 2, {5, 3}, {6, 7}, false},
      {"entry at next_id", 4, {4}, {5}, false},
      {"the last id left", MAX - 1, {}, {MAX - 1}, true},
      {"no id left", MAX, {}, {}, true},
      {"an entry holds the largest id", 1, {MAX}, {}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    std::string entries;
    for (uint64_t id : c.ids) {
      if (!entries.empty()) entries += ", ";
      entries += str_cat("{\"id\": ", id,
                         ", \"fires_at_unix_nanos\": 0, \"action\": {\"EvictDraft\": "
                         "{\"owner\": 1, \"threshold\": 1.0}}}");
    }
    write_file(dir.file(SCHEDULE_FILE),
               str_cat("{\"next_id\": ", c.next_id, ", \"entries\": [", entries, "]}"));
    QM_ASSERT_OK_AND_ASSIGN(ScheduleStore store, ScheduleStore::load(dir.path()));
    for (uint64_t want : c.handed) {
      QM_ASSERT_OK_AND_ASSIGN(uint64_t id, store.add({1, 0}, 2, 1.0f));
      EXPECT_EQ(id, want);
    }
    if (!c.used_up) continue;
    const std::string file = read_file(store.path());
    const std::vector<ScheduledEntry> held = store.entries();
    QM_ASSERT_ERROR(SnapshotIntegrity, no_id_left, store.add({1, 0}, 2, 1.0f));
    EXPECT_EQ(store.entries(), held);
    EXPECT_EQ(read_file(store.path()), file);
    EXPECT_EQ(store.next_id(), MAX);
    // Cancelling the entries frees no id, and a reopen does not either.
    for (const ScheduledEntry& e : held) QM_ASSERT_OK(store.cancel(e.id));
    QM_ASSERT_OK_AND_ASSIGN(ScheduleStore reopened, ScheduleStore::load(dir.path()));
    QM_ASSERT_ERROR(SnapshotIntegrity, no_id_left, reopened.add({1, 0}, 2, 1.0f));
  }
}

TEST(ScheduleStoreTest, RefusesThresholdsThatCannotBeStored) {
  TempDir dir;
  QM_ASSERT_OK_AND_ASSIGN(ScheduleStore store, ScheduleStore::load(dir.path()));
  for (float bad : {NAN, INFINITY, -INFINITY}) {
    SCOPED_TRACE(bad);
    QM_ASSERT_ERROR(SnapshotIntegrity, "", store.add({1, 0}, 1, bad));
  }
  EXPECT_TRUE(store.entries().empty());
  EXPECT_EQ(store.next_id(), 1u);
  EXPECT_FALSE(path_exists(store.path()));
}

}  // namespace
}  // namespace quellmar
