#include "quellmar/storage/text_store.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "quellmar/core/coding.h"
#include "quellmar/core/file_names.h"
#include "quellmar/storage/deletion_log.h"
#include "test_util.h"

namespace quellmar {
namespace {

using testing::read_file;
using testing::TempDir;
using testing::write_file;

using Texts = std::vector<std::pair<PackId, std::string>>;

std::string Record(PackId id, const std::string& text) {
  std::string r;
  put_u64(r, id);
  put_u32(r, static_cast<uint32_t>(text.size()));
  return r + text;
}

// The store holds exactly the texts `want` names.
void ExpectTexts(const TextStore& store, const Texts& want) {
  EXPECT_EQ(store.texts().size(), want.size());
  for (const auto& [id, text] : want) {
    ASSERT_NE(store.find(id), nullptr) << id;
    EXPECT_EQ(*store.find(id), text);
  }
}

TEST(TextStoreTest, LaterTextWinsAcrossCallsAndReopen) {
  TempDir dir;
  QM_ASSERT_OK_AND_ASSIGN(TextStore store, TextStore::open(dir.path()));
  EXPECT_TRUE(store.texts().empty());
  QM_ASSERT_OK(store.append_batch(Texts{{7, "a"}}));
  QM_ASSERT_OK(store.append_batch(Texts{{7, "bb"}, {8, ""}, {9, "x"}, {9, "last"}}));
  EXPECT_EQ(*store.find(7), "bb");
  EXPECT_EQ(read_file(store.path()).substr(0, 27), Record(7, "a") + Record(7, "bb"));
  QM_ASSERT_OK(store.append_batch({}));  // touches nothing

  QM_ASSERT_OK_AND_ASSIGN(TextStore again, TextStore::open(dir.path()));
  EXPECT_EQ(*again.find(7), "bb");
  EXPECT_EQ(*again.find(8), "");
  EXPECT_EQ(*again.find(9), "last");
  EXPECT_EQ(again.find(10), nullptr);
}

TEST(TextStoreTest, DamagedFilesLoadWhatIsWhole) {
  struct Case {
    const char* name;
    std::string bytes;
    Texts want;
  };
  const std::string r1 = Record(1, "one"), r2 = Record(2, "two");
  const Case cases[] = {
      {"shorter than a record header", r1.substr(0, 11), {}},
      {"torn in the header of the second", r1 + r2.substr(0, 11), {{1, "one"}}},
      {"torn in the text of the second", r1 + r2.substr(0, 13), {{1, "one"}}},
      {"invalid UTF-8 skipped", Record(3, "\xff\xfe") + r2, {{2, "two"}}},
      {"overlong form skipped", Record(3, "\xc0\xaf") + r1, {{1, "one"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    write_file(dir.file("text_store.bin"), c.bytes);
    QM_ASSERT_OK_AND_ASSIGN(TextStore store, TextStore::open(dir.path()));
    ExpectTexts(store, c.want);
    // What is appended after a torn tail is found by the next load.
    QM_ASSERT_OK(store.append_batch(Texts{{50, "after"}}));
    QM_ASSERT_OK_AND_ASSIGN(TextStore again, TextStore::open(dir.path()));
    ASSERT_NE(again.find(50), nullptr);
    EXPECT_EQ(*again.find(50), "after");
    EXPECT_EQ(again.texts().size(), c.want.size() + 1);
  }
}

// A damaged length costs its own record: the records behind it are found by their own bytes and
// load, also after an append and a reopen. A length that runs past the end of the file with
// nothing whole behind it is taken for a torn final record (and cut by the append, kept beside
// the file); the length has no redundancy, so a damaged length of the last record is one too.
// Damage elsewhere is repaired by the append: the damaged file is kept whole as
// "text_store.bin.cut-0" and written afresh with the records that read, so that what is appended
// behind them can never be read as part of the damage.
TEST(TextStoreTest, DamagedLengthsCostOnlyTheirRecord) {
  constexpr size_t N = 20;
  std::vector<std::string> texts;
  std::string file;
  std::vector<uint64_t> starts;
  for (PackId id = 1; id <= N; ++id) {
    texts.push_back(id == 13      ? "a text long enough to lose sixteen bytes of it"
                    : id % 7 == 0 ? ""
                                  : "text " + std::to_string(id) + std::string(id % 3, 'x'));
    starts.push_back(file.size());
    file += Record(id, texts.back());
  }
  auto set32 = [](std::string& b, uint64_t at, uint32_t v) {
    encode_u32(reinterpret_cast<uint8_t*>(b.data()) + at, v);
  };
  auto len_of = [&](size_t i) { return static_cast<uint32_t>(texts[i].size()); };
  struct Case {
    const char* name;
    std::function<void(std::string&)> damage;
    std::vector<PackId> lost;  // packs whose text does not load
    bool rewritten;            // damage in the middle, rather than a torn final record
  } cases[] = {
      {"first length's high byte 0x01", [](std::string& b) { b[11] = '\x01'; }, {1}, true},
      {"middle length zeroed", [&](std::string& b) { set32(b, starts[9] + 8, 0); }, {10}, true},
      {"middle length one more",
       [&](std::string& b) { set32(b, starts[9] + 8, len_of(9) + 1); },
       {10},
       true},
      {"middle length one less",
       [&](std::string& b) { set32(b, starts[9] + 8, len_of(9) - 1); },
       {10},
       true},
      // Too small by more than a header: the rest of the text does not read as records, and
      // the record is not taken with part of its text.
      {"long text's length sixteen less",
       [&](std::string& b) { set32(b, starts[12] + 8, len_of(12) - 16); },
       {13},
       true},
      {"long text's length zeroed",
       [&](std::string& b) { set32(b, starts[12] + 8, 0); },
       {13},
       true},
      {"middle length past the end",
       [&](std::string& b) { set32(b, starts[9] + 8, 1u << 30); },
       {10},
       true},
      {"last length past the end",
       [&](std::string& b) { set32(b, starts[19] + 8, 1000); },
       {20},
       false},
      {"invalid text in the middle",
       [&](std::string& b) { b[starts[4] + 12] = '\xff'; },
       {5},
       true},
      {"garbage appended", [](std::string& b) { b += std::string(37, '\xa5'); }, {}, false},
      {"torn final record", [](std::string& b) { b.resize(b.size() - 3); }, {20}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    std::string bytes = file;
    c.damage(bytes);
    write_file(dir.file("text_store.bin"), bytes);
    auto check = [&](const TextStore& store, bool appended) {
      for (PackId id = 1; id <= N; ++id) {
        // A damaged record is not read as some other text (a shorter or an empty one).
        if (std::find(c.lost.begin(), c.lost.end(), id) != c.lost.end()) {
          EXPECT_EQ(store.find(id), nullptr) << "pack " << id;
          continue;
        }
        ASSERT_NE(store.find(id), nullptr) << "pack " << id;
        EXPECT_EQ(*store.find(id), texts[id - 1]) << "pack " << id;
      }
      if (appended) {
        ASSERT_NE(store.find(50), nullptr);
        EXPECT_EQ(*store.find(50), "after");
      }
    };
    {
      QM_ASSERT_OK_AND_ASSIGN(TextStore store, TextStore::open(dir.path()));
      check(store, false);
      EXPECT_EQ(read_file(store.path()), bytes);  // the open only reads
      QM_ASSERT_OK(store.append_batch(Texts{{50, "after"}}));
    }
    QM_ASSERT_OK_AND_ASSIGN(TextStore again, TextStore::open(dir.path()));
    check(again, true);
    EXPECT_EQ(testing::cut_files(dir.path(), "text_store.bin"), 1u);
    if (c.rewritten) {
      EXPECT_EQ(read_file(dir.file("text_store.bin.cut-0")), bytes);
      // Written afresh: every record that reads (the damaged one too, when it reads with what its
      // length says), then the appended one.
      const std::string now = read_file(dir.file("text_store.bin"));
      EXPECT_EQ(now.substr(now.size() - 17), Record(50, "after"));
      EXPECT_LT(now.size(), bytes.size() + 17);
    }
    EXPECT_EQ(testing::lost_bytes(dir.path(), "text_store.bin", bytes), "");
  }
}

// A load never takes garbage for records: texts of records that are all zeros, or empty, around
// damage do not make up records of their own.
TEST(TextStoreTest, ResyncTakesNoGarbageForRecords) {
  const std::string r1 = Record(1, "one"), r2 = Record(2, ""), r3 = Record(3, "three");
  std::string damaged = r1 + r2 + r3;
  damaged[r1.size() + 11] = '\x40';  // r2's length runs past the end
  struct Case {
    const char* name;
    std::string bytes;
    Texts want;
  } cases[] = {
      {"torn after small ids", r1 + Record(2, "two").substr(0, 5), {{1, "one"}}},
      {"empty texts around damage", damaged, {{1, "one"}, {3, "three"}}},
      {"zeros behind a record", r1 + std::string(30, '\0'), {{1, "one"}, {0, ""}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    write_file(dir.file("text_store.bin"), c.bytes);
    QM_ASSERT_OK_AND_ASSIGN(TextStore store, TextStore::open(dir.path()));
    ExpectTexts(store, c.want);
  }
}

// Texts may hold bytes shaped like records (a copy of another store's records, say). Where such
// bytes end the text of a record whose length is damaged, they walk cleanly to the end of the file
// as the records behind the damage do, and the walk that starts among them comes first; the
// damaged length still says where its text ends, but for the damaged byte, and the records there
// are the ones read (where that is the end of the file, the damaged record is the last). Damage
// elsewhere leaves such a text whole.
TEST(TextStoreTest, TextsShapedLikeRecordsAreNotReadAsRecords) {
  const std::vector<std::pair<std::string, std::string>> shapes = {
      {"a record", "two " + Record(1, "EVIL")},
      {"a whole store", Record(1, "EVIL") + Record(3, "EVIL") + Record(4, "")},
      {"a record with a text of 300 bytes", "two " + Record(1, std::string(300, 'E'))},
  };
  for (const auto& [shape, text] : shapes) {
    const Texts written = {{1, "one"}, {2, text}, {3, "three"}, {4, "four"}, {5, text}};
    std::string file;
    std::vector<uint64_t> starts;
    for (const auto& [id, t] : written) {
      starts.push_back(file.size());
      file += Record(id, t);
    }
    struct Case {
      const char* name;
      size_t damaged;  // the record whose length is damaged
      size_t at;       // which byte of it
      char value;
    } cases[] = {
        {"the text's length, high byte", 1, 3, '\x01'},
        {"the text's length, second byte", 1, 1, '\x40'},
        {"the length before the text", 0, 3, '\x7f'},
        {"the last text's length, high byte", 4, 3, '\x01'},
    };
    for (const Case& c : cases) {
      SCOPED_TRACE(::testing::Message() << shape << ": " << c.name);
      TempDir dir;
      std::string bytes = file;
      bytes[starts[c.damaged] + 8 + c.at] = c.value;
      write_file(dir.file("text_store.bin"), bytes);
      auto check = [&](const TextStore& store) {
        for (size_t i = 0; i < written.size(); ++i) {
          const auto& [id, t] = written[i];
          if (i == c.damaged) {
            EXPECT_EQ(store.find(id), nullptr) << "pack " << id;
          } else {
            ASSERT_NE(store.find(id), nullptr) << "pack " << id;
            EXPECT_EQ(*store.find(id), t) << "pack " << id;
          }
        }
      };
      {
        QM_ASSERT_OK_AND_ASSIGN(TextStore store, TextStore::open(dir.path()));
        check(store);
        EXPECT_EQ(store.texts().size(), written.size() - 1);
        QM_ASSERT_OK(store.append_batch(Texts{{9, "nine"}}));
      }
      QM_ASSERT_OK_AND_ASSIGN(TextStore again, TextStore::open(dir.path()));
      check(again);
      EXPECT_EQ(*again.find(9), "nine");
    }
  }
}

TEST(TextStoreTest, ReloadReplacesContent) {
  TempDir dir;
  QM_ASSERT_OK_AND_ASSIGN(TextStore a, TextStore::open(dir.path()));
  QM_ASSERT_OK_AND_ASSIGN(TextStore b, TextStore::open(dir.path()));
  QM_ASSERT_OK(a.append_batch(Texts{{1, "x"}}));
  QM_ASSERT_OK(b.reload());
  EXPECT_EQ(*b.find(1), "x");
  std::remove(a.path().c_str());
  QM_ASSERT_OK(b.reload());
  EXPECT_TRUE(b.texts().empty());
}

TEST(DeletionLogTest, LoadsWholeIdsAndKeepsLaterOnesAligned) {
  TempDir dir;
  {
    QM_ASSERT_OK_AND_ASSIGN(DeletionLog log, DeletionLog::open(dir.path()));
    EXPECT_TRUE(log.deleted().empty());
    QM_ASSERT_OK(log.append(5));
    QM_ASSERT_OK(log.append(5));
    QM_ASSERT_OK(log.append(6));
    EXPECT_EQ(log.deleted().size(), 2u);
    EXPECT_EQ(read_file(log.path()).size(), 24u);
  }
  testing::truncate_file(dir.file("deletion_log.bin"), 20);  // the last id torn
  QM_ASSERT_OK_AND_ASSIGN(DeletionLog log, DeletionLog::open(dir.path()));
  EXPECT_TRUE(log.contains(5));
  EXPECT_FALSE(log.contains(6));
  QM_ASSERT_OK(log.append(9));
  QM_ASSERT_OK_AND_ASSIGN(DeletionLog again, DeletionLog::open(dir.path()));
  EXPECT_TRUE(again.contains(9));
  EXPECT_EQ(again.deleted().size(), 2u);
}

// A load that found a torn last record (one another handle was still writing) leaves it; when
// the record is whole by the time this handle appends, the append cuts nothing and writes behind
// it, and the next load reads both. Only what still does not read then is cut.
TEST(TextStoreTest, AppendLooksAgainBeforeItCuts) {
  const std::string r1 = Record(1, "one"), r2 = Record(2, "two");
  struct Case {
    const char* name;
    std::string completion;  // written by hand after the load
    std::string cut;         // what the append keeps in a file of its own and cuts
  } cases[] = {
      {"completed since", r2.substr(5), ""},
      {"still torn", "", r2.substr(0, 5)},
      {"completed and torn again", r2.substr(5) + r2.substr(0, 3), r2.substr(0, 3)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    write_file(dir.file("text_store.bin"), r1 + r2.substr(0, 5));
    QM_ASSERT_OK_AND_ASSIGN(TextStore store, TextStore::open(dir.path()));
    EXPECT_EQ(read_file(store.path()), r1 + r2.substr(0, 5));
    write_file(store.path(), r1 + r2.substr(0, 5) + c.completion);
    const std::string before = read_file(store.path());
    QM_ASSERT_OK(store.append_batch(Texts{{3, "three"}}));
    const std::string kept = before.substr(0, before.size() - c.cut.size());
    EXPECT_EQ(read_file(store.path()), kept + Record(3, "three"));
    EXPECT_EQ(testing::cut_files(dir.path(), "text_store.bin"), c.cut.empty() ? 0u : 1u);
    if (!c.cut.empty()) {
      EXPECT_EQ(read_file(dir.file(cut_file_name("text_store.bin", kept.size(), 0))), c.cut);
    }
    QM_ASSERT_OK_AND_ASSIGN(TextStore again, TextStore::open(dir.path()));
    EXPECT_EQ(again.texts().size(), c.completion.empty() ? 2u : 3u);
    ASSERT_NE(again.find(3), nullptr);
  }
}

TEST(DeletionLogTest, AppendLooksAgainBeforeItCuts) {
  for (bool completed : {true, false}) {
    SCOPED_TRACE(completed ? "completed since the load" : "still torn");
    TempDir dir;
    std::string ids;
    put_u64(ids, 5);
    put_u64(ids, 6);
    write_file(dir.file("deletion_log.bin"), ids.substr(0, 11));
    QM_ASSERT_OK_AND_ASSIGN(DeletionLog log, DeletionLog::open(dir.path()));
    EXPECT_EQ(read_file(log.path()), ids.substr(0, 11));
    if (completed) write_file(log.path(), ids);
    QM_ASSERT_OK(log.append(9));
    EXPECT_EQ(testing::cut_files(dir.path(), "deletion_log.bin"), completed ? 0u : 1u);
    QM_ASSERT_OK_AND_ASSIGN(DeletionLog again, DeletionLog::open(dir.path()));
    EXPECT_TRUE(again.contains(5));
    EXPECT_TRUE(again.contains(9));
    EXPECT_EQ(again.contains(6), completed);
    EXPECT_EQ(read_file(log.path()).size(), completed ? 24u : 16u);
  }
}

}  // namespace
}  // namespace quellmar
