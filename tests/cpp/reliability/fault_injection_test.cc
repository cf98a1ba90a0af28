// Damaged engine files: every record file cut at every offset of its last two records, bytes of
// headers and counts overwritten, and writes, syncs and renames failed on demand. The engine must
// open (or refuse with an error), never crash, keep every record before the damage, and keep the
// records appended afterwards across the next reopen.

#include <sys/resource.h>

#include <csignal>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <string>

#include "engine_test_peer.h"
#include "quellmar/core/coding.h"
#include "quellmar/core/file_names.h"
#include "quellmar/core/posix_file.h"
#include "quellmar/engine/engine.h"
#include "quellmar/storage/segment_file.h"
#include "quellmar/storage/segment_format.h"
#include "test_util.h"

namespace quellmar {
namespace {

using testing::exact_q4_values;
using testing::read_file;
using testing::TempDir;
using testing::write_file;

constexpr size_t DIM = 16;
constexpr uint64_t VAMANA_THRESHOLD = 10;

PackWrite Pack(uint64_t seed) {
  PackWrite w;
  w.owner = 1 + seed % 2;
  w.retrieval_key = exact_q4_values(seed, DIM);
  w.layer_payloads = {{2, exact_q4_values(seed + 100, 40)}};
  w.salience = 20.0f;
  w.text = "text " + std::to_string(seed);
  return w;
}

SynapticEntry Synapsis(uint64_t id) {
  SynapticEntry e;
  e.id = id;
  e.owner = 1;
  e.rank = 1;
  e.d_model = 4;
  e.scale = 0x3c00;
  e.last_used = id * 10;
  e.quality = 0.5f;
  e.lora_a = {1, 2, 3, static_cast<uint16_t>(id)};
  e.lora_b = {5, 6, 7, 8};
  return e;
}

// With `vamana`, every open rebuilds and saves the graph (layer cells make the saved one
// differ from what a load expects), which the damage tests of vamana.idx need and the others
// only pay for.
Result<std::unique_ptr<Engine>> Open(const std::string& dir, bool vamana = false) {
  return Engine::open(dir, vamana ? VAMANA_THRESHOLD : DEFAULT_VAMANA_THRESHOLD);
}

// A directory whose every record file holds several records: packs 1..6 with texts (2 and 3
// deleted), three pack edges, three synaptic entries, a scheduled action and vamana.idx.
class DamagedFilesTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    pristine_ = new TempDir();
    auto engine = Open(pristine_->path(), true).value();
    for (uint64_t i = 1; i <= 4; ++i) (void)engine->mem_write_pack(Pack(i)).value();
    ASSERT_TRUE(engine->delete_pack(2).is_ok());
    ASSERT_TRUE(engine->delete_pack(3).is_ok());
    ASSERT_TRUE(engine->add_pack_edge(1, 4, EdgeType::Follows).is_ok());
    for (uint64_t i = 5; i <= 6; ++i) (void)engine->mem_write_pack(Pack(i)).value();
    ASSERT_TRUE(engine->add_pack_edge(1, 5, EdgeType::Supports).is_ok());
    ASSERT_TRUE(engine->add_pack_edge(5, 6, EdgeType::CausedBy).is_ok());
    for (uint64_t i = 1; i <= 3; ++i) ASSERT_TRUE(engine->synaptic().append(Synapsis(i)).is_ok());
    ASSERT_TRUE(engine->schedule().add(UnixTime{1700000000, 0}, 1, 15.0f).is_ok());
    ASSERT_TRUE(engine->ensure_vamana().is_ok());
  }
  static void TearDownTestSuite() {
    delete pristine_;
    pristine_ = nullptr;
  }

  // A fresh copy of the pristine directory.
  void Copy(const TempDir& to) {
    for (const auto& e : std::filesystem::directory_iterator(pristine_->path())) {
      std::filesystem::copy_file(e.path(), to.path() + "/" + e.path().filename().string(),
                                 std::filesystem::copy_options::overwrite_existing);
    }
  }
  static std::string Pristine(const std::string& name) { return read_file(pristine_->file(name)); }

  static TempDir* pristine_;
};

TempDir* DamagedFilesTest::pristine_ = nullptr;

// One record file: where its records lie, what the engine must show of the records that are
// whole, and one more record to append.
struct RecordFile {
  std::string name;
  // [start, end) of every record of the pristine file.
  std::function<std::vector<std::pair<uint64_t, uint64_t>>(const std::string& bytes)> records;
  // Checks the engine against the pristine records [0, whole) being there and the rest not;
  // `appended` after the record of `append` was added.
  std::function<void(Engine&, size_t whole, const std::string& bytes, bool appended)> check;
  std::function<Status(Engine&)> append;
  std::function<void(Engine&)> check_appended;
};

std::vector<std::pair<uint64_t, uint64_t>> LengthPrefixed(const std::string& bytes, uint64_t off) {
  std::vector<std::pair<uint64_t, uint64_t>> out;
  while (off + 4 <= bytes.size()) {
    const uint64_t end = off + 4 + decode_u32(reinterpret_cast<const uint8_t*>(bytes.data()) + off);
    out.push_back({off, end});
    off = end;
  }
  return out;
}

std::vector<std::pair<uint64_t, uint64_t>> Fixed(const std::string& bytes, uint64_t size) {
  std::vector<std::pair<uint64_t, uint64_t>> out;
  for (uint64_t off = 0; off + size <= bytes.size(); off += size) out.push_back({off, off + size});
  return out;
}

std::vector<RecordFile> RecordFiles() {
  std::vector<RecordFile> files;
  files.push_back(RecordFile{
      segment_file_name(0), [](const std::string& b) { return LengthPrefixed(b, 8); },
      [](Engine& e, size_t whole, const std::string& b, bool appended) {
        auto records = LengthPrefixed(b, 8);
        for (size_t i = 0; i < records.size(); ++i) {
          const CellId id =
              decode_u64(reinterpret_cast<const uint8_t*>(b.data()) + records[i].first + 4);
          // Ids of lost cells are handed out again, so only the first open shows them absent.
          if (!appended || i < whole) {
            EXPECT_EQ(EngineTestPeer(e).block_pool().contains(id), i < whole) << "cell " << id;
          }
          if (i < whole) QM_EXPECT_OK(EngineTestPeer(e).block_pool().read_cell(id));
        }
      },
      [](Engine& e) { return e.mem_write_pack(Pack(7)).status(); },
      [](Engine& e) {
        auto got = e.load_pack_by_id(EngineTestPeer(e).next_pack_id() - 1);
        ASSERT_TRUE(got.is_ok()) << got.error().message();
        EXPECT_EQ(got->text, Pack(7).text);
        ASSERT_EQ(got->layers.size(), 1u);
        EXPECT_EQ(got->layers[0].data, Pack(7).layer_payloads[0].data);
      }});
  files.push_back(RecordFile{
      TEXT_STORE_FILE,
      [](const std::string& b) {
        std::vector<std::pair<uint64_t, uint64_t>> out;
        for (uint64_t off = 0; off + 12 <= b.size();) {
          const uint64_t end =
              off + 12 + decode_u32(reinterpret_cast<const uint8_t*>(b.data()) + off + 8);
          out.push_back({off, end});
          off = end;
        }
        return out;
      },
      [](Engine& e, size_t whole, const std::string&, bool appended) {
        // Texts were written for packs 1..6 in order.
        for (PackId p : {1, 4, 5, 6}) {
          if (appended && p == 1) continue;
          const std::string* text = e.text_store().find(p);
          if (p <= whole) {
            ASSERT_NE(text, nullptr) << "pack " << p;
            EXPECT_EQ(*text, *Pack(p).text);
          } else {
            EXPECT_EQ(text, nullptr) << "pack " << p;
          }
        }
      },
      [](Engine& e) {
        return e.set_pack_texts({{1, "new text"}});
      },
      [](Engine& e) { EXPECT_EQ(*e.text_store().find(1), "new text"); }});
  files.push_back(RecordFile{DELETION_LOG_FILE, [](const std::string& b) { return Fixed(b, 8); },
                             [](Engine& e, size_t whole, const std::string&, bool) {
                               EXPECT_EQ(e.pack_directory().contains(2), whole < 1);
                               EXPECT_EQ(e.pack_directory().contains(3), whole < 2);
                               EXPECT_TRUE(e.pack_directory().contains(1));
                             },
                             [](Engine& e) { return e.delete_pack(4); },
                             [](Engine& e) { EXPECT_FALSE(e.pack_directory().contains(4)); }});
  files.push_back(RecordFile{SYNAPTIC_FILE,
                             [](const std::string& b) { return LengthPrefixed(b, 0); },
                             [](Engine& e, size_t whole, const std::string&, bool appended) {
                               auto got = e.synaptic().load_for_owner(1);
                               ASSERT_TRUE(got.is_ok()) << got.error().message();
                               ASSERT_EQ(got->size(), whole + appended);
                               for (size_t i = 0; i < whole; ++i)
                                 EXPECT_EQ((*got)[i].lora_a, Synapsis(i + 1).lora_a);
                             },
                             [](Engine& e) { return e.synaptic().append(Synapsis(9)); },
                             [](Engine& e) {
                               auto got = e.synaptic().load_for_owner(1);
                               ASSERT_TRUE(got.is_ok());
                               ASSERT_FALSE(got->empty());
                               EXPECT_EQ(got->back().lora_a, Synapsis(9).lora_a);
                             }});
  files.push_back(RecordFile{TRACE_WAL_FILE, [](const std::string& b) { return Fixed(b, 26); },
                             [](Engine& e, size_t whole, const std::string&, bool appended) {
                               EXPECT_EQ(e.trace_graph().edge_count(), whole + 2 * appended);
                             },
                             [](Engine& e) { return e.add_pack_edge(4, 6, EdgeType::Contradicts); },
                             [](Engine& e) {
                               auto links = e.pack_links_by_type(
                                   6, static_cast<uint8_t>(EdgeType::Contradicts));
                               EXPECT_EQ(links, std::vector<PackId>{4});
                             }});
  return files;
}

// Cutting a record file anywhere in its last two records loses those records only, and what is
// appended afterwards survives the next reopen.
class TruncatedFileTest : public DamagedFilesTest, public ::testing::WithParamInterface<size_t> {};

TEST_P(TruncatedFileTest, KeepsEverythingBeforeTheCut) {
  {
    const RecordFile f = RecordFiles()[GetParam()];
    const std::string bytes = Pristine(f.name);
    const auto records = f.records(bytes);
    ASSERT_GE(records.size(), 2u) << f.name;
    ASSERT_EQ(records.back().second, bytes.size()) << f.name;
    for (uint64_t cut = records[records.size() - 2].first; cut < bytes.size(); ++cut) {
      SCOPED_TRACE(::testing::Message() << f.name << " cut at " << cut << " of " << bytes.size());
      TempDir dir;
      Copy(dir);
      testing::truncate_file(dir.file(f.name), cut);
      size_t whole = 0;
      while (whole < records.size() && records[whole].second <= cut) ++whole;
      QM_ASSERT_OK_AND_ASSIGN(auto engine, Open(dir.path()));
      f.check(*engine, whole, bytes, false);
      QM_ASSERT_OK(f.append(*engine));
      engine.reset();
      QM_ASSERT_OK_AND_ASSIGN(engine, Open(dir.path()));
      f.check(*engine, whole, bytes, true);
      f.check_appended(*engine);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(EveryRecordFile, TruncatedFileTest,
                         ::testing::Range<size_t>(0, RecordFiles().size()),
                         [](const ::testing::TestParamInfo<size_t>& info) {
                           std::string name = RecordFiles()[info.param].name;
                           std::erase_if(name, [](char c) { return !std::isalnum(c); });
                           return name;
                         });

// Bytes of headers, lengths and counts overwritten: the engine refuses to open with an error or
// opens and keeps working, and a pack written then survives the next reopen. Nothing crashes and
// no count read from a file sizes an allocation.
TEST_F(DamagedFilesTest, OverwrittenHeadersAndCountsNeverCrash) {
  struct Damage {
    std::string file;
    uint64_t offset;
    std::string bytes;    // written over the file at offset
    std::string refusal;  // when set, the open must fail with a message containing this
    // When set, the damaged segment record is indexed nowhere at the open (a pack it names keeps
    // it in its cell list) and a read of its cell fails with a message containing this.
    std::string damaged = "";
  };
  const std::string ff4(4, '\xff'), ff8(8, '\xff'), zero4(4, '\0');
  const std::string seg = segment_file_name(0);
  const uint64_t last = LengthPrefixed(Pristine(seg), 8).back().first;
  const std::vector<Damage> cases = {
      {seg, 0, "X", "invalid segment magic"},
      {seg, 4, ff4, ""},    // version: never read
      {seg, 8, ff4, ""},    // first body_len: runs past the end
      {seg, 8, zero4, ""},  // first body_len: too short to be a record
      // first body_len 32: walked as a record of its own, which reads as damaged
      {seg, 8, std::string("\x20\0\0\0", 4), "", "damaged cell record at offset 8"},
      {seg, 8 + 22, ff4, "", "damaged cell record"},  // key_len
      {seg, 8 + 26, ff4, "", "damaged cell record"},  // value_len
      {seg, 8 + 30, ff4, "", "damaged cell record"},  // extra_len
      {seg, 8 + 75, ff4, "", "damaged cell record"},  // key_scale_count
      {seg, 8 + 87, ff4, "", "damaged cell record"},  // value_byte_count
      {seg, 8 + 74, "\x09", "", "invalid tier byte 9"},
      {seg, last, ff4, ""},
      {seg, last + 26, ff4, "", "damaged cell record"},  // value_len of the last record
      {TEXT_STORE_FILE, 8, ff4, ""},
      {TEXT_STORE_FILE, 8, zero4, ""},
      {TEXT_STORE_FILE, 0, ff8, ""},
      {TEXT_STORE_FILE, 12, "\xff", ""},  // invalid UTF-8: that text is skipped
      {DELETION_LOG_FILE, 0, ff8, ""},
      {SYNAPTIC_FILE, 0, ff4, ""},
      {SYNAPTIC_FILE, 0, zero4, ""},
      {SYNAPTIC_FILE, 0, std::string("\x0a\0\0\0", 4), ""},
      {SYNAPTIC_FILE, 20, ff4, ""},  // rank
      {SYNAPTIC_FILE, 24, ff4, ""},  // d_model
      {TRACE_WAL_FILE, 0, std::string(1, '\0'), ""},
      {TRACE_WAL_FILE, 17, "\x09", ""},
      {TRACE_WAL_FILE, 1, ff8, ""},
      {TRACE_WAL_FILE, 26 + 1, ff8, ""},
      {VAMANA_FILE, 0, "X", "bad vamana magic"},
      {VAMANA_FILE, 4, ff4, "unsupported vamana version"},
      {VAMANA_FILE, 8, ff4, ""},                              // dim
      {VAMANA_FILE, 12, ff4, ""},                             // max_degree
      {VAMANA_FILE, 16, ff8, ""},                             // entry point
      {VAMANA_FILE, 24, ff8, "failed to fill whole buffer"},  // node count
      {VAMANA_FILE, 32, ff8, ""},                             // first node id: no key for it
      {VAMANA_FILE, 40, ff4, "failed to fill whole buffer"},  // first neighbour count
      {SCHEDULE_FILE, 0, "{\"next_id\": 1, \"entries\": 7}", "scheduled_actions.json parse error"},
  };
  for (const Damage& d : cases) {
    SCOPED_TRACE(::testing::Message() << d.file << " at " << d.offset);
    TempDir dir;
    Copy(dir);
    std::string bytes = read_file(dir.file(d.file));
    ASSERT_LE(d.offset + d.bytes.size(), std::max(bytes.size(), d.bytes.size()));
    if (d.file == SCHEDULE_FILE) bytes = d.bytes;
    bytes.replace(d.offset, d.bytes.size(), d.bytes);
    write_file(dir.file(d.file), bytes);

    const bool vamana = d.file == VAMANA_FILE;
    auto opened = Open(dir.path(), vamana);
    if (!d.refusal.empty()) {
      ASSERT_FALSE(opened.is_ok());
      EXPECT_NE(opened.error().message().find(d.refusal), std::string::npos)
          << opened.error().message();
      continue;
    }
    if (!opened.is_ok()) {
      ADD_FAILURE() << "refused: " << opened.error().message();
      continue;
    }
    std::unique_ptr<Engine> engine = std::move(opened).value();
    if (!d.damaged.empty()) {
      const std::string pristine = Pristine(d.file);
      const auto records = LengthPrefixed(pristine, 8);
      auto hit = std::find_if(records.begin(), records.end(), [&](const auto& r) {
        return r.first <= d.offset && d.offset < r.second;
      });
      ASSERT_NE(hit, records.end());
      const CellId damaged =
          decode_u64(reinterpret_cast<const uint8_t*>(pristine.data()) + hit->first + 4);
      auto read = EngineTestPeer(*engine).block_pool().read_cell(damaged);
      ASSERT_FALSE(read.is_ok());
      EXPECT_NE(read.error().message().find(d.damaged), std::string::npos)
          << read.error().message();
      // Damage behind the length word leaves every other record where the walk finds it.
      if (d.offset >= hit->first + 4) {
        for (const auto& r : records) {
          const CellId other =
              decode_u64(reinterpret_cast<const uint8_t*>(pristine.data()) + r.first + 4);
          if (&r != &*hit) QM_EXPECT_OK(EngineTestPeer(*engine).block_pool().read_cell(other));
        }
      }
      EXPECT_FALSE(engine->governance().contains(damaged));
    }
    for (const PackMetadata& m : engine->list_packs_metadata(std::nullopt)) {
      (void)engine->load_pack_by_id(m.pack_id);
    }
    (void)engine->mem_read_pack(exact_q4_values(1, DIM), 5, std::nullopt);
    (void)engine->synaptic().load_for_owner(1);
    QM_ASSERT_OK_AND_ASSIGN(PackId id, engine->mem_write_pack(Pack(8)));
    engine.reset();
    QM_ASSERT_OK_AND_ASSIGN(engine, Open(dir.path(), vamana));
    QM_ASSERT_OK_AND_ASSIGN(PackReadResult got, engine->load_pack_by_id(id));
    EXPECT_EQ(got.text, Pack(8).text);
  }
}

// Damage to any record file never costs a stored byte: after an open and a close every byte the
// file held is still there, in place or in a "<name>.cut-<offset>" file beside it; every whole
// record the walk reaches reads back; and a record appended afterwards survives the next reopen.
// A segment record too short to be whole is located and reads as damaged; the engine opens
// without it.
TEST_F(DamagedFilesTest, RepairsKeepEveryStoredByte) {
  using Records = std::vector<std::pair<uint64_t, uint64_t>>;
  auto at = [](const std::string& b, uint64_t off) {
    return reinterpret_cast<const uint8_t*>(b.data()) + off;
  };
  // Where each file keeps the length of a record (trace.wal: its tag), and a record too short to
  // be whole (empty where the format has none).
  struct Layout {
    std::string name;
    int length_at;  // -1: no length field
    size_t length_width;
    std::string short_record;
    // Checks that the first n records of the pristine file read back (`appended`: after the
    // RecordFile's append, which may supersede one of them).
    std::function<void(Engine&, const std::string& bytes, const Records&, size_t n, bool appended)>
        read_back;
  };
  std::string short_segment_record, short_synaptic_record;
  put_u32(short_segment_record, 20);
  put_u64(short_segment_record, 9999);
  short_segment_record.append(12, '\xee');
  put_u32(short_synaptic_record, 6);
  short_synaptic_record += "abcdef";
  const std::vector<Layout> layouts = {
      {segment_file_name(0), 0, 4, short_segment_record,
       [&](Engine& e, const std::string& b, const Records& r, size_t n, bool) {
         for (size_t i = 0; i < n; ++i) {
           QM_EXPECT_OK(
               EngineTestPeer(e).block_pool().read_cell(decode_u64(at(b, r[i].first + 4))));
         }
       }},
      {TEXT_STORE_FILE, 8, 4, "",
       [&](Engine& e, const std::string& b, const Records& r, size_t n, bool appended) {
         for (size_t i = 0; i < n; ++i) {
           const PackId id = decode_u64(at(b, r[i].first));
           if (id == 2 || id == 3 || (appended && id == 1)) continue;  // deleted, or superseded
           const std::string* text = e.text_store().find(id);
           ASSERT_NE(text, nullptr) << "pack " << id;
           EXPECT_EQ(*text, b.substr(r[i].first + 12, r[i].second - r[i].first - 12));
         }
       }},
      {DELETION_LOG_FILE, -1, 0, "",
       [&](Engine& e, const std::string& b, const Records& r, size_t n, bool) {
         for (size_t i = 0; i < n; ++i) {
           EXPECT_FALSE(e.pack_directory().contains(decode_u64(at(b, r[i].first))));
         }
       }},
      {SYNAPTIC_FILE, 0, 4, short_synaptic_record,
       [&](Engine& e, const std::string&, const Records&, size_t n, bool) {
         QM_ASSERT_OK_AND_ASSIGN(auto got, e.synaptic().load_for_owner(1));
         ASSERT_GE(got.size(), n);
         for (size_t i = 0; i < n; ++i) EXPECT_EQ(got[i].lora_a, Synapsis(i + 1).lora_a);
       }},
      {TRACE_WAL_FILE, 0, 1, "",
       [&](Engine& e, const std::string& b, const Records& r, size_t n, bool) {
         QM_ASSERT_OK_AND_ASSIGN(auto got, EngineTestPeer(e).trace_wal().replay());
         ASSERT_GE(got.size(), n);
         for (size_t i = 0; i < n; ++i) {
           EXPECT_EQ(got[i].from, decode_u64(at(b, r[i].first + TRACE_OFF_FROM)));
           EXPECT_EQ(got[i].to, decode_u64(at(b, r[i].first + TRACE_OFF_TO)));
         }
       }},
  };
  struct Damage {
    const char* name;
    // The damaged file, or "" where the format has nothing to damage this way.
    std::function<std::string(const Layout&, const std::string&, const Records&)> apply;
    std::function<size_t(size_t records)> reach;  // how many records the walk reaches
  };
  const std::vector<Damage> damages = {
      {"flipped high length byte",
       [](const Layout& l, std::string b, const Records& r) {
         if (l.length_at < 0) return std::string();
         b[r[1].first + l.length_at + l.length_width - 1] = '\x7f';
         return b;
       },
       [](size_t) { return size_t{1}; }},
      {"zeroed length word mid-file",
       [](const Layout& l, std::string b, const Records& r) {
         if (l.length_at < 0) return std::string();
         b.replace(r[1].first + l.length_at, l.length_width, l.length_width, '\0');
         return b;
       },
       [](size_t) { return size_t{1}; }},
      {"short body",
       [](const Layout& l, std::string b, const Records& r) {
         if (l.short_record.empty()) return std::string();
         b.insert(r[0].second, l.short_record);
         return b;
       },
       [](size_t n) { return n; }},
      {"torn final record",
       [](const Layout&, const std::string& b, const Records& r) {
         return b.substr(0, (r.back().first + r.back().second) / 2);
       },
       [](size_t n) { return n - 1; }},
      {"garbage appended",
       [](const Layout&, const std::string& b, const Records&) {
         return b + std::string(37, '\xa5');
       },
       [](size_t n) { return n; }},
  };
  const std::vector<RecordFile> files = RecordFiles();
  for (const Layout& layout : layouts) {
    const RecordFile& f = *std::find_if(files.begin(), files.end(),
                                        [&](const RecordFile& x) { return x.name == layout.name; });
    const std::string pristine = Pristine(f.name);
    const Records records = f.records(pristine);
    ASSERT_GE(records.size(), 2u) << f.name;
    for (const Damage& d : damages) {
      const std::string bytes = d.apply(layout, pristine, records);
      if (bytes.empty()) continue;
      SCOPED_TRACE(::testing::Message() << f.name << ": " << d.name);
      TempDir dir;
      Copy(dir);
      write_file(dir.file(f.name), bytes);
      const size_t reach = d.reach(records.size());
      {
        auto opened = Open(dir.path());
        EXPECT_EQ(testing::lost_bytes(dir.path(), f.name, bytes), "");
        ASSERT_TRUE(opened.is_ok()) << opened.error().message();
        if (layout.name == segment_file_name(0) && std::string(d.name) == "short body") {
          auto read = EngineTestPeer(**opened).block_pool().read_cell(9999);
          ASSERT_FALSE(read.is_ok());
          EXPECT_NE(read.error().message().find("damaged cell record"), std::string::npos)
              << read.error().message();
        }
        layout.read_back(**opened, pristine, records, reach, false);
        QM_ASSERT_OK(f.append(**opened));
      }
      QM_ASSERT_OK_AND_ASSIGN(auto engine, Open(dir.path()));
      layout.read_back(*engine, pristine, records, reach, true);
      f.check_appended(*engine);
      EXPECT_EQ(testing::lost_bytes(dir.path(), f.name, bytes), "");
    }
  }
}

// Damage that appears while the engine is open is found by the next refresh the same way, and
// the records appended after that refresh survive a reopen: a trace record whose tag is zeroed
// costs that edge alone; a text whose length is damaged, that text alone; a torn tail that
// appears (a crash of another writer) is cut by the next append.
TEST_F(DamagedFilesTest, DamageWhileOpenCostsOnlyTheDamagedRecord) {
  struct Case {
    const char* name;
    std::string file;
    std::function<void(std::string&)> damage;
    std::function<void(Engine&)> check;  // after a refresh, an append and a reopen
  };
  const std::vector<Case> cases = {
      {"trace tag zeroed", TRACE_WAL_FILE, [](std::string& b) { b[2 * TRACE_RECORD_SIZE] = 0; },
       [](Engine& e) { EXPECT_EQ(e.trace_graph().edge_count(), 5u + 2u); }},
      {"trace torn tail", TRACE_WAL_FILE, [](std::string& b) { b += "\x01torn"; },
       [](Engine& e) { EXPECT_EQ(e.trace_graph().edge_count(), 6u + 2u); }},
      {"text length", TEXT_STORE_FILE, [](std::string& b) { b[8 + 3] = '\x01'; },
       [](Engine& e) {
         EXPECT_EQ(e.text_store().find(1), nullptr);
         for (PackId p : {4, 6}) EXPECT_EQ(*e.text_store().find(p), *Pack(p).text) << p;
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    Copy(dir);
    QM_ASSERT_OK_AND_ASSIGN(auto engine, Open(dir.path()));
    std::string bytes = read_file(dir.file(c.file));
    c.damage(bytes);
    write_file(dir.file(c.file), bytes);
    QM_ASSERT_OK(engine->refresh());
    QM_ASSERT_OK(engine->add_pack_edge(4, 6, EdgeType::Contradicts));
    QM_ASSERT_OK(engine->set_pack_texts({{5, "late"}}));
    engine.reset();
    QM_ASSERT_OK_AND_ASSIGN(engine, Open(dir.path()));
    c.check(*engine);
    EXPECT_EQ(engine->pack_links_by_type(6, static_cast<uint8_t>(EdgeType::Contradicts)),
              std::vector<PackId>{4});
    EXPECT_EQ(*engine->text_store().find(5), "late");
    EXPECT_EQ(testing::lost_bytes(dir.path(), c.file, bytes), "");
  }
}

// The record files' bytes and how many "<name>.cut-..." files each has, for checking that a
// handle changed nothing.
std::map<std::string, std::pair<std::string, size_t>> RecordFileState(const std::string& dir) {
  std::map<std::string, std::pair<std::string, size_t>> out;
  for (const RecordFile& f : RecordFiles()) {
    out[f.name] = {read_file(dir + "/" + f.name), testing::cut_files(dir, f.name)};
  }
  return out;
}

// One write as the engine stores it: what `append` adds to each record file of a copy of the
// pristine directory (a pack write adds to the segment and the text store).
std::map<std::string, std::string> WrittenBytes(const RecordFile& f,
                                                const std::function<void(const TempDir&)>& copy) {
  TempDir donor;
  copy(donor);
  const auto before = RecordFileState(donor.path());
  {
    auto engine = Open(donor.path());
    EXPECT_TRUE(engine.is_ok());
    if (!engine.is_ok()) return {};
    EXPECT_TRUE(f.append(**engine).is_ok());
  }
  std::map<std::string, std::string> added;
  for (const auto& [name, state] : RecordFileState(donor.path())) {
    const std::string& old = before.at(name).first;
    EXPECT_EQ(state.first.compare(0, old.size(), old), 0) << name;
    if (state.first.size() > old.size()) added[name] = state.first.substr(old.size());
  }
  return added;
}

// Readers never cut what a writer is still writing. While a record is half written at the end of
// a record file (as the writing process leaves it between its write and its flush), a handle
// that opens the directory and one that refreshes leave every byte as it is; once the record is
// complete, the writer and both readers read it after a refresh (the synaptic bank is read at an
// open only, so a fresh open stands in there), and a reader that becomes the writer later appends
// behind it without cutting anything: its append looks at the file again instead of trusting
// what its open saw.
TEST_F(DamagedFilesTest, ReadersLeaveARecordBeingWrittenAlone) {
  for (const RecordFile& f : RecordFiles()) {
    std::map<std::string, std::string> added = WrittenBytes(f, [&](const TempDir& d) { Copy(d); });
    ASSERT_TRUE(added.count(f.name)) << f.name;
    const std::string record = added.at(f.name);
    ASSERT_GE(record.size(), 3u) << f.name;
    for (size_t part : {size_t{1}, record.size() / 2 + 1, record.size() - 1}) {
      SCOPED_TRACE(::testing::Message() << f.name << ": " << part << " of " << record.size()
                                        << " bytes written");
      TempDir dir;
      Copy(dir);
      QM_ASSERT_OK_AND_ASSIGN(auto writer, Open(dir.path()));
      QM_ASSERT_OK_AND_ASSIGN(auto early_reader, Open(dir.path()));
      // The writer's other files of the write first, then part of the record.
      for (const auto& [name, bytes] : added) {
        if (name != f.name) QM_ASSERT_OK(append_durably(dir.file(name), bytes.data(), bytes.size(), false).status());
      }
      QM_ASSERT_OK(append_durably(dir.file(f.name), record.data(), part, false).status());
      const auto mid_write = RecordFileState(dir.path());

      QM_ASSERT_OK_AND_ASSIGN(auto late_reader, Open(dir.path()));
      EXPECT_EQ(RecordFileState(dir.path()), mid_write) << "changed by an open";
      QM_ASSERT_OK(early_reader->refresh());
      QM_ASSERT_OK(late_reader->refresh());
      EXPECT_EQ(RecordFileState(dir.path()), mid_write) << "changed by a refresh";

      QM_ASSERT_OK(append_durably(dir.file(f.name), record.data() + part, record.size() - part,
                                  false).status());
      const std::string complete = read_file(dir.file(f.name));
      if (f.name == SYNAPTIC_FILE) {
        QM_ASSERT_OK_AND_ASSIGN(auto fresh, Open(dir.path()));
        f.check_appended(*fresh);
      } else {
        for (Engine* e : {writer.get(), early_reader.get(), late_reader.get()}) {
          QM_ASSERT_OK(e->refresh());
          f.check_appended(*e);
        }
      }
      writer.reset();
      early_reader.reset();

      // The late reader opened while the record was torn; as the writer now, it keeps it whole.
      const std::map<std::string, std::function<Status(Engine&)>> next_write = {
          {segment_file_name(0), [](Engine& e) { return e.mem_write_pack(Pack(8)).status(); }},
          {TEXT_STORE_FILE, [](Engine& e) { return e.set_pack_texts({{4, "later"}}); }},
          {DELETION_LOG_FILE, [](Engine& e) { return e.delete_pack(5); }},
          {SYNAPTIC_FILE, [](Engine& e) { return e.synaptic().append(Synapsis(10)); }},
          {TRACE_WAL_FILE, [](Engine& e) { return e.add_pack_edge(1, 6, EdgeType::Follows); }},
      };
      QM_ASSERT_OK(next_write.at(f.name)(*late_reader));
      late_reader.reset();
      const std::string after = read_file(dir.file(f.name));
      EXPECT_GT(after.size(), complete.size());
      EXPECT_EQ(after.compare(0, complete.size(), complete), 0);
      EXPECT_EQ(testing::cut_files(dir.path(), f.name), 0u);
      QM_ASSERT_OK_AND_ASSIGN(auto reopened, Open(dir.path()));
      // The completed record reads back (behind it, the later one).
      if (f.name == segment_file_name(0)) {
        QM_ASSERT_OK_AND_ASSIGN(PackReadResult got, reopened->load_pack_by_id(7));
        EXPECT_EQ(got.text, Pack(7).text);
      } else if (f.name == SYNAPTIC_FILE) {
        QM_ASSERT_OK_AND_ASSIGN(auto got, reopened->synaptic().load_for_owner(1));
        ASSERT_GE(got.size(), 2u);
        EXPECT_EQ(got[got.size() - 2].lora_a, Synapsis(9).lora_a);
      } else {
        f.check_appended(*reopened);
      }
    }
  }
}

// A reader that opens or refreshes while a write is between its last bytes and its first length
// word (which it writes last, after the texts' flush in a batch) sees the write at its next
// refresh, although the segment keeps the size it saw: single, batch and buffered writes.
std::function<void()> g_before_first_word;
int RunBeforeFirstWord(FileOp op, const std::string& path) {
  static int writes = 0;
  if (op != FileOp::Write || path.find("segment_") == std::string::npos || !g_before_first_word) {
    return 0;
  }
  // The append's second write to the segment is its first length word.
  if (++writes % 2 == 0) {
    std::function<void()> run = std::move(g_before_first_word);
    g_before_first_word = nullptr;
    run();
  }
  return 0;
}

TEST(ReaderWindowTest, RefreshSeesAWriteItMetBeforeItsFirstLengthWord) {
  struct Mode {
    const char* name;
    std::function<Result<std::unique_ptr<Engine>>(const std::string&)> open;
    // The write observed: the packs it stores.
    std::function<Result<std::vector<PackId>>(Engine&)> write;
  };
  const Mode modes[] = {
      {"single", [](const std::string& d) { return Open(d); },
       [](Engine& e) -> Result<std::vector<PackId>> {
         QM_ASSIGN_OR_RETURN(PackId id, e.mem_write_pack(Pack(2)));
         return std::vector<PackId>{id};
       }},
      {"batch", [](const std::string& d) { return Open(d); },
       [](Engine& e) {
         return e.mem_write_batch_packs({Pack(2), Pack(3), Pack(4)});
       }},
      {"buffered", [](const std::string& d) { return Engine::open_with_write_buffer(d, 3, 0); },
       [](Engine& e) -> Result<std::vector<PackId>> {
         std::vector<PackId> ids;
         for (uint64_t i = 2; i <= 4; ++i) {
           QM_ASSIGN_OR_RETURN(PackId id, e.mem_write_pack(Pack(i)));
           ids.push_back(id);
         }
         return ids;
       }},
  };
  for (const Mode& m : modes) {
    SCOPED_TRACE(m.name);
    TempDir dir;
    QM_ASSERT_OK_AND_ASSIGN(auto writer, m.open(dir.path()));
    QM_ASSERT_OK(writer->mem_write_batch_packs({Pack(1)}).status());
    QM_ASSERT_OK_AND_ASSIGN(auto early, Open(dir.path()));
    std::unique_ptr<Engine> late;
    bool ran = false;
    g_before_first_word = [&] {
      ran = true;
      EXPECT_TRUE(early->refresh().is_ok());
      auto opened = Open(dir.path());
      ASSERT_TRUE(opened.is_ok()) << opened.error().message();
      late = std::move(opened).value();
      EXPECT_EQ(late->cell_count(), 2u);  // the write is not shown yet
    };
    set_file_fault_hook(&RunBeforeFirstWord);
    auto written = m.write(*writer);
    set_file_fault_hook(nullptr);
    g_before_first_word = nullptr;
    QM_ASSERT_OK(written.status());
    ASSERT_TRUE(ran);
    ASSERT_NE(late, nullptr);
    for (Engine* reader : {early.get(), late.get()}) {
      for (int round = 0; round < 2; ++round) QM_ASSERT_OK(reader->refresh());
      EXPECT_EQ(reader->cell_count(), writer->cell_count());
      for (PackId id : *written) {
        QM_ASSERT_OK_AND_ASSIGN(PackReadResult got, reader->load_pack_by_id(id));
        EXPECT_EQ(got.text, Pack(id).text);
      }
    }
  }
}

// A torn tail that no one is writing any more is repaired by the first append of the handle
// that found it, and only then: the open leaves every byte in place; the append first keeps the
// torn bytes in "<name>.cut-<offset>", cuts them off and writes its record where the next open
// reads it.
TEST_F(DamagedFilesTest, FirstAppendKeepsThenCutsATornTail) {
  for (const RecordFile& f : RecordFiles()) {
    SCOPED_TRACE(f.name);
    const std::string pristine = Pristine(f.name);
    const auto records = f.records(pristine);
    ASSERT_GE(records.size(), 2u);
    const uint64_t start = records.back().first;
    const std::string torn = pristine.substr(0, start + (records.back().second - start) / 2);
    TempDir dir;
    Copy(dir);
    write_file(dir.file(f.name), torn);
    const auto before = RecordFileState(dir.path());
    QM_ASSERT_OK_AND_ASSIGN(auto engine, Open(dir.path()));
    EXPECT_EQ(RecordFileState(dir.path()), before);
    QM_ASSERT_OK(f.append(*engine));
    EXPECT_EQ(testing::cut_files(dir.path(), f.name), 1u);
    EXPECT_EQ(read_file(dir.file(cut_file_name(f.name, start, 0))), torn.substr(start));
    const std::string now = read_file(dir.file(f.name));
    EXPECT_GT(now.size(), start);
    EXPECT_EQ(now.compare(0, start, pristine, 0, start), 0);
    engine.reset();
    QM_ASSERT_OK_AND_ASSIGN(engine, Open(dir.path()));
    f.check_appended(*engine);
  }
}

// A walk over a damaged record file finds its place again: one table of the record files and kinds
// of damage. After the open, and again after one more write (on the same handle and after a
// reopen), every record that is not itself damaged reads back, a damaged one reads as damaged
// where its file can say so (a segment's cell read names the damage; a text or a synaptic entry
// is left out rather than read as something else), every pack whose records are all whole reads
// back whole, and no byte is lost. The open changes no file. The write cuts nothing but a torn
// final record (garbage appended is one, as far as a side file can tell, and so is a damaged last
// record of varying length that nothing follows; so is a write that never showed its records),
// seals a segment only where no place was found behind the damage, and repairs damage inside the
// text store or the synaptic bank by writing the file afresh with what reads (the damaged file
// kept whole beside it); a trace record has a size of its own, and a damaged one stays in place.
TEST_F(DamagedFilesTest, WalksFindTheirPlaceAgain) {
  using Records = std::vector<std::pair<uint64_t, uint64_t>>;
  auto u8 = [](const std::string& b, uint64_t off) {
    return reinterpret_cast<const uint8_t*>(b.data()) + off;
  };
  auto is_in = [](const std::vector<size_t>& v, size_t i) {
    return std::find(v.begin(), v.end(), i) != v.end();
  };
  namespace f = segment_format;
  // What a damaged record reads as: for a segment, what the read of its cell reports (empty: the
  // walk does not locate it); for a text, LEFT_OUT when it must not be read at all.
  static const std::string LEFT_OUT = "left out";
  struct Expect {
    std::string read_as;
    size_t cut_files = 0;
    bool sealed = false;
  };
  struct File {
    std::string name;
    int length_at;  // where a record keeps its length (trace.wal: its tag); -1: nowhere
    // Checks the engine against the pristine records other than `damaged`, and the damaged ones
    // against `read_as`; `after_write` once the RecordFile's append was made.
    std::function<void(Engine&, const std::string& pristine, const Records&,
                       const std::vector<size_t>& damaged, const std::string& read_as,
                       bool after_write)>
        check;
  };
  CellRecord expected_record;
  const std::vector<File> files = {
      {segment_file_name(0), 0,
       [&](Engine& e, const std::string& b, const Records& r, const std::vector<size_t>& damaged,
           const std::string& read_as, bool after_write) {
         const BlockPool& pool = EngineTestPeer(e).block_pool();
         std::set<PackId> whole_packs = {1, 4, 5, 6};
         for (size_t i = 0; i < r.size(); ++i) {
           const CellId id = decode_u64(u8(b, r[i].first + 4));
           const PackId pack = decode_u64(u8(b, r[i].first + f::OFF_PACK_ID));
           if (!is_in(damaged, i)) {
             QM_ASSERT_OK_AND_ASSIGN(CellRecord got, pool.read_cell(id));
             QM_ASSERT_OK(decode_cell_record(u8(b, r[i].first), r[i].second - r[i].first,
                                             DecodeParts::All, expected_record, "", 0));
             EXPECT_EQ(got.owner, expected_record.owner) << "cell " << id;
             EXPECT_EQ(got.key, expected_record.key) << "cell " << id;
             EXPECT_EQ(got.value, expected_record.value) << "cell " << id;
             continue;
           }
           whole_packs.erase(pack);
           if (!read_as.empty()) {
             auto got = pool.read_cell(id);
             ASSERT_FALSE(got.is_ok()) << "cell " << id;
             EXPECT_NE(got.error().message().find(read_as), std::string::npos)
                 << got.error().message();
             if (read_as.starts_with("damaged")) {
               EXPECT_NE(got.error().message().find(segment_file_name(0)), std::string::npos);
             }
           } else if (!after_write) {  // a later write may take the id of a record not located
             EXPECT_FALSE(pool.contains(id)) << "cell " << id;
           }
         }
         for (PackId pack : whole_packs) {
           QM_ASSERT_OK_AND_ASSIGN(PackReadResult got, e.load_pack_by_id(pack));
           EXPECT_EQ(got.text, Pack(pack).text);
           ASSERT_EQ(got.layers.size(), 1u) << "pack " << pack;
           EXPECT_EQ(got.layers[0].data, Pack(pack).layer_payloads[0].data);
         }
       }},
      {TEXT_STORE_FILE, 8,
       [&](Engine& e, const std::string& b, const Records& r, const std::vector<size_t>& damaged,
           const std::string& read_as, bool after_write) {
         for (size_t i = 0; i < r.size(); ++i) {
           const PackId id = decode_u64(u8(b, r[i].first));
           // Packs 2 and 3 are deleted; the write sets pack 1's text.
           if (id == 2 || id == 3 || (after_write && id == 1)) continue;
           const std::string* text = e.text_store().find(id);
           if (is_in(damaged, i)) {
             if (read_as == LEFT_OUT) {
               EXPECT_EQ(text, nullptr) << "pack " << id;
             }
             continue;
           }
           ASSERT_NE(text, nullptr) << "pack " << id;
           EXPECT_EQ(*text, b.substr(r[i].first + 12, r[i].second - r[i].first - 12));
         }
       }},
      {SYNAPTIC_FILE, 0,
       [&](Engine& e, const std::string&, const Records& r, const std::vector<size_t>& damaged,
           const std::string&, bool after_write) {
         QM_ASSERT_OK_AND_ASSIGN(auto got, e.synaptic().load_for_owner(1));
         std::vector<uint64_t> ids, want;
         for (const SynapticEntry& x : got) ids.push_back(x.id);
         for (size_t i = 0; i < r.size(); ++i) {
           if (!is_in(damaged, i)) want.push_back(i + 1);
         }
         if (after_write) want.push_back(9);
         EXPECT_EQ(ids, want);
       }},
      {TRACE_WAL_FILE, 0,
       [&](Engine& e, const std::string& b, const Records& r, const std::vector<size_t>& damaged,
           const std::string&, bool after_write) {
         QM_ASSERT_OK_AND_ASSIGN(auto got, EngineTestPeer(e).trace_wal().replay());
         std::vector<std::pair<CellId, CellId>> edges, want;
         for (const TraceRecord& x : got) edges.push_back({x.from, x.to});
         for (size_t i = 0; i < r.size(); ++i) {
           if (is_in(damaged, i)) continue;
           want.push_back({decode_u64(u8(b, r[i].first + TRACE_OFF_FROM)),
                           decode_u64(u8(b, r[i].first + TRACE_OFF_TO))});
         }
         if (after_write) {
           ASSERT_GE(edges.size(), 2u);
           edges.resize(edges.size() - 2);
         }
         EXPECT_EQ(edges, want);
         EXPECT_EQ(e.trace_graph().edge_count(), want.size() + (after_write ? 2 : 0));
       }},
      {DELETION_LOG_FILE, -1,
       [&](Engine& e, const std::string& b, const Records& r, const std::vector<size_t>& damaged,
           const std::string&, bool) {
         for (size_t i = 0; i < r.size(); ++i) {
           if (is_in(damaged, i)) continue;
           EXPECT_FALSE(e.pack_directory().contains(decode_u64(u8(b, r[i].first))));
         }
         EXPECT_TRUE(e.pack_directory().contains(1));
       }},
  };
  auto segment = [](const File& file) { return file.name == segment_file_name(0); };
  auto trace = [](const File& file) { return file.name == TRACE_WAL_FILE; };
  auto rewritten = [](const File& file) {
    return file.name == TEXT_STORE_FILE || file.name == SYNAPTIC_FILE;
  };
  struct Damage {
    const char* name;
    // Damages the pristine file (`r` are its records) and names the records it damaged; returns
    // "" where the file has nothing to damage this way.
    std::function<std::string(const File&, std::string b, const Records& r,
                              std::vector<size_t>& damaged)>
        apply;
    std::function<Expect(const File&)> expect;
  };
  static constexpr size_t FIRST = 0, MIDDLE = 1, LAST = 2;
  auto pick = [](const Records& r, size_t which) {
    return which == LAST ? r.size() - 1 : which == MIDDLE ? r.size() / 2 : 0;
  };
  // Bit 2 of the length's low byte (the trace log's tag: 1 becomes 5).
  auto flip_length_bit = [=](size_t which) {
    return [=](const File& file, std::string b, const Records& r, std::vector<size_t>& damaged) {
      if (file.length_at < 0) return std::string();
      const size_t i = pick(r, which);
      b[r[i].first + file.length_at] ^= 0x04;
      damaged = {i};
      return b;
    };
  };
  // The length's high byte set (the trace log's tag becomes 0x41 or 0x7f).
  auto set_high_byte = [=](size_t which, char value) {
    return [=](const File& file, std::string b, const Records& r, std::vector<size_t>& damaged) {
      if (file.length_at < 0) return std::string();
      const size_t i = pick(r, which);
      b[r[i].first + file.length_at + (trace(file) ? 0 : 3)] =
          trace(file) && value == '\x01' ? '\x41' : value;
      damaged = {i};
      return b;
    };
  };
  // Fields of the middle record of a segment overwritten.
  auto segment_fields = [=](std::vector<std::pair<size_t, std::string>> fields) {
    return [=](const File& file, std::string b, const Records& r, std::vector<size_t>& damaged) {
      if (!segment(file)) return std::string();
      const size_t i = pick(r, MIDDLE);
      for (const auto& [at, bytes] : fields) b.replace(r[i].first + at, bytes.size(), bytes);
      damaged = {i};
      return b;
    };
  };
  // A damaged length of a record of varying length in the middle of a side file: left out, and
  // the file written afresh; a segment's record is located and reads as damaged; a trace record
  // is left out where it is.
  auto located = [=](const std::string& segment_read_as) {
    return [=](const File& file) {
      if (segment(file)) return Expect{segment_read_as};
      return Expect{LEFT_OUT, rewritten(file) ? 1u : 0u};
    };
  };
  const std::string zero4(4, '\0');
  const std::vector<Damage> damages = {
      {"length bit flipped, first record", flip_length_bit(FIRST),
       located("damaged cell record at offset 8")},
      {"length bit flipped, middle record", flip_length_bit(MIDDLE),
       located("damaged cell record at offset")},
      // A text whose length is too small, last in the file, reads as a shorter text with a torn
      // record behind it: nothing tells it from one.
      {"length bit flipped, last record", flip_length_bit(LAST),
       [=](const File& file) {
         if (segment(file)) return Expect{"damaged cell record at offset"};
         if (file.name == TEXT_STORE_FILE) return Expect{"", 1};
         return Expect{LEFT_OUT, rewritten(file) ? 1u : 0u};
       }},
      {"length high byte set, first record", set_high_byte(FIRST, '\x01'),
       located("damaged cell record at offset 8")},
      {"length high byte set, middle record", set_high_byte(MIDDLE, '\x7f'),
       located("damaged cell record at offset")},
      // A side file's last length that runs past the end makes its record a torn final one.
      {"length high byte set, last record", set_high_byte(LAST, '\x01'),
       located("damaged cell record at offset")},
      {"zeroed length, middle record",
       [=](const File& file, std::string b, const Records& r, std::vector<size_t>& damaged) {
         if (file.length_at < 0) return std::string();
         const size_t i = pick(r, MIDDLE);
         if (trace(file)) {
           b[r[i].first] = '\0';
         } else {
           b.replace(r[i].first + file.length_at, 4, zero4);
         }
         damaged = {i};
         return b;
       },
       located("damaged cell record at offset")},
      {"tier byte flipped, middle record", segment_fields({{f::OFF_TIER, "\x09"}}),
       located("invalid tier byte 9")},
      {"key scale count damaged, middle record", segment_fields({{f::OFF_KEY_SCALES, "\x07"}}),
       located("damaged cell record at offset")},
      // Neither the length word nor the counts tell where the record ends: the next whole record
      // is searched for.
      {"length and counts damaged, middle record",
       segment_fields(
           {{f::OFF_BODY_LEN + 1, "\x33"}, {f::OFF_KEY_LEN, "\x77"}, {f::OFF_KEY_SCALES, "\x07"}}),
       located("")},
      // The first length word of the last write still zero: the file ends as a write ends that
      // has not shown its records yet (it writes that word last), so those records are a torn
      // final write, which the next append keeps aside and cuts off.
      {"zeroed length, first record of the last write",
       [=](const File& file, std::string b, const Records& r, std::vector<size_t>& damaged) {
         if (!segment(file)) return std::string();
         b.replace(r[r.size() - 2].first, 4, zero4);
         damaged = {r.size() - 2, r.size() - 1};
         return b;
       },
       [](const File&) { return Expect{"", 1}; }},
      {"garbage appended",
       [](const File&, const std::string& b, const Records&, std::vector<size_t>&) {
         return b + std::string(37, '\xa5');
       },
       [=](const File& file) { return segment(file) ? Expect{"", 0, true} : Expect{"", 1}; }},
      {"torn final record",
       [](const File&, const std::string& b, const Records& r, std::vector<size_t>& damaged) {
         damaged = {r.size() - 1};
         return b.substr(0, (r.back().first + r.back().second) / 2);
       },
       [=](const File& file) { return Expect{segment(file) ? "" : LEFT_OUT, 1}; }},
  };
  const std::vector<RecordFile> record_files = RecordFiles();
  for (const File& file : files) {
    const RecordFile& rf = *std::find_if(record_files.begin(), record_files.end(),
                                         [&](const RecordFile& x) { return x.name == file.name; });
    const std::string pristine = Pristine(file.name);
    const Records records = rf.records(pristine);
    ASSERT_GE(records.size(), segment(file) ? 8u : 2u) << file.name;
    for (const Damage& d : damages) {
      std::vector<size_t> damaged;
      const std::string bytes = d.apply(file, pristine, records, damaged);
      if (bytes.empty()) continue;
      SCOPED_TRACE(::testing::Message() << file.name << ": " << d.name);
      const Expect want = d.expect(file);
      TempDir dir;
      Copy(dir);
      write_file(dir.file(file.name), bytes);
      {
        QM_ASSERT_OK_AND_ASSIGN(auto engine, Open(dir.path()));
        EXPECT_TRUE(read_file(dir.file(file.name)) == bytes) << "changed by the open";
        file.check(*engine, pristine, records, damaged, want.read_as, false);
        QM_ASSERT_OK(rf.append(*engine));
        if (segment(file)) {
          EXPECT_EQ(EngineTestPeer(*engine).next_pack_id(), 8u);
          EXPECT_EQ(EngineTestPeer(*engine).block_pool().segments().size(), want.sealed ? 2u : 1u);
        }
        EXPECT_EQ(testing::cut_files(dir.path(), file.name), want.cut_files);
        file.check(*engine, pristine, records, damaged, want.read_as, true);
        rf.check_appended(*engine);
      }
      QM_ASSERT_OK_AND_ASSIGN(auto engine, Open(dir.path()));
      file.check(*engine, pristine, records, damaged, want.read_as, true);
      rf.check_appended(*engine);
      EXPECT_EQ(testing::lost_bytes(dir.path(), file.name, bytes), "");
      EXPECT_EQ(testing::cut_files(dir.path(), file.name), want.cut_files);
    }
  }
}

// The reproducer of a walk that lost its place: 100 packs of a 32-float key and one layer, bit 2
// of the length word of record 100 (the 51st pack's head) flipped. Every other pack reads back,
// after the open and after a write and a reopen, and the segment keeps taking writes.
TEST(RepairTest, FlippedLengthBitHidesNoOtherPack) {
  TempDir dir;
  auto pack = [](uint64_t i) {
    PackWrite w;
    w.owner = 1;
    w.retrieval_key = exact_q4_values(i, 32);
    w.layer_payloads = {{0, exact_q4_values(i + 1000, 32)}};
    w.salience = 10.0f;
    return w;
  };
  {
    QM_ASSERT_OK_AND_ASSIGN(auto engine, Open(dir.path()));
    for (uint64_t i = 1; i <= 100; ++i) QM_ASSERT_OK(engine->mem_write_pack(pack(i)).status());
  }
  const std::string seg = dir.file(segment_file_name(0));
  std::string bytes = read_file(seg);
  const auto records = LengthPrefixed(bytes, 8);
  ASSERT_EQ(records.size(), 200u);
  bytes[records[100].first] = static_cast<char>(bytes[records[100].first] ^ 0x04);
  write_file(seg, bytes);
  auto expect_packs = [&](Engine& e, uint64_t last) {
    size_t read_back = 0;
    for (PackId id = 1; id <= last; ++id) {
      if (id == 51) continue;
      QM_ASSERT_OK_AND_ASSIGN(PackReadResult got, e.load_pack_by_id(id));
      ASSERT_EQ(got.layers.size(), 1u) << "pack " << id;
      EXPECT_EQ(got.layers[0].data, pack(id).layer_payloads[0].data) << "pack " << id;
      ++read_back;
    }
    EXPECT_EQ(read_back, last - 1);
    EXPECT_GE(e.pack_count(), last - 1);
  };
  {
    QM_ASSERT_OK_AND_ASSIGN(auto engine, Open(dir.path()));
    expect_packs(*engine, 100);
    QM_ASSERT_OK_AND_ASSIGN(PackId written, engine->mem_write_pack(pack(101)));
    EXPECT_EQ(written, 101u);
  }
  QM_ASSERT_OK_AND_ASSIGN(auto engine, Open(dir.path()));
  expect_packs(*engine, 101);
  EXPECT_EQ(EngineTestPeer(*engine).block_pool().segments().size(), 1u);
  EXPECT_EQ(testing::cut_files(dir.path(), segment_file_name(0)), 0u);
  EXPECT_EQ(read_file(seg).compare(0, bytes.size(), bytes), 0);
}

// What repairs keep is an engine file like any other: a snapshot carries it and a restore puts it
// back, and the segment listing never takes it for a segment.
TEST(RepairTest, SnapshotsCarryWhatRepairsKept) {
  TempDir dir, elsewhere;
  {
    QM_ASSERT_OK_AND_ASSIGN(auto engine, Open(dir.path()));
    for (uint64_t i = 1; i <= 3; ++i) QM_ASSERT_OK(engine->mem_write_pack(Pack(i)).status());
    QM_ASSERT_OK(engine->add_pack_edge(1, 2, EdgeType::Follows));
  }
  const std::string seg = dir.file(segment_file_name(0));
  testing::truncate_file(seg, read_file(seg).size() - 5);
  write_file(dir.file(TRACE_WAL_FILE), read_file(dir.file(TRACE_WAL_FILE)) + "\x01torn");
  QM_ASSERT_OK_AND_ASSIGN(auto engine, Open(dir.path()));
  auto kept_files = [&] {
    std::vector<std::string> kept;
    for (const auto& e : std::filesystem::directory_iterator(dir.path())) {
      const std::string name = e.path().filename().string();
      if (name.find(".cut-") != std::string::npos) kept.push_back(name);
    }
    return kept;
  };
  // The open only reads; the first append to each file cuts its tail.
  EXPECT_TRUE(kept_files().empty());
  QM_ASSERT_OK(engine->mem_write_pack(Pack(4)).status());
  QM_ASSERT_OK(engine->add_pack_edge(2, 3, EdgeType::Follows));
  const std::vector<std::string> kept = kept_files();
  ASSERT_EQ(kept.size(), 2u);
  EXPECT_EQ(EngineTestPeer(*engine).block_pool().segments().size(), 1u);

  const std::string out = elsewhere.file("snap.tar");
  QM_ASSERT_OK(engine->snapshot(out).status());
  const std::string target = elsewhere.file("restored");
  QM_ASSERT_OK_AND_ASSIGN(auto restored, Engine::restore_from(out, target));
  for (const std::string& name : kept) {
    SCOPED_TRACE(name);
    EXPECT_EQ(read_file(target + "/" + name), read_file(dir.file(name)));
  }
  EXPECT_EQ(EngineTestPeer(*restored).block_pool().segments().size(), 1u);
  EXPECT_EQ(restored->pack_count(), engine->pack_count());
  EXPECT_EQ(restored->trace_graph().edge_count(), engine->trace_graph().edge_count());
}

// Writes, syncs and renames that fail: the call reports the failure, nothing of it shows after
// a reopen, and the same call succeeds once the fault is gone.
int g_fail_errno = 0;
FileOp g_fail_op = FileOp::Write;
const char* g_fail_file = "";
int FailOnce(FileOp op, const std::string& path) {
  if (g_fail_errno != 0 && op == g_fail_op && path.find(g_fail_file) != std::string::npos) {
    const int err = g_fail_errno;
    g_fail_errno = 0;
    return err;
  }
  return 0;
}

TEST_F(DamagedFilesTest, FailedWritesLeaveNothingBehind) {
  struct Fault {
    FileOp op;
    const char* file;
    std::function<Status(Engine&)> call;
    std::function<bool(Engine&)> visible;
  };
  auto pack9 = [](Engine& e) { return e.mem_write_pack(Pack(9)).status(); };
  auto has_pack9 = [](Engine& e) {
    for (const auto& [id, cells] : e.pack_directory().packs()) {
      auto got = e.load_pack_by_id(id);
      if (got.is_ok() && got->text == Pack(9).text) return true;
    }
    return false;
  };
  auto text = [](Engine& e) { return e.set_pack_texts({{4, "changed"}}); };
  auto has_text = [](Engine& e) { return *e.text_store().find(4) == "changed"; };
  auto del = [](Engine& e) { return e.delete_pack(5); };
  auto deleted = [](Engine& e) { return !e.pack_directory().contains(5); };
  auto syn = [](Engine& e) { return e.synaptic().append(Synapsis(12)); };
  auto has_syn = [](Engine& e) { return e.synaptic().index().size() == 4; };
  auto edge = [](Engine& e) { return e.add_pack_edge(4, 6, EdgeType::Supports); };
  auto has_edge = [](Engine& e) { return e.trace_graph().edge_count() > 6; };
  const std::vector<Fault> faults = {
      {FileOp::Write, "segment_", pack9, has_pack9},
      {FileOp::Sync, "segment_", pack9, has_pack9},
      {FileOp::Write, TEXT_STORE_FILE, pack9, has_pack9},
      {FileOp::Sync, TEXT_STORE_FILE, pack9, has_pack9},
      {FileOp::Write, TEXT_STORE_FILE, text, has_text},
      {FileOp::Sync, TEXT_STORE_FILE, text, has_text},
      {FileOp::Write, DELETION_LOG_FILE, del, deleted},
      {FileOp::Sync, DELETION_LOG_FILE, del, deleted},
      {FileOp::Write, SYNAPTIC_FILE, syn, has_syn},
      {FileOp::Sync, SYNAPTIC_FILE, syn, has_syn},
      {FileOp::Write, TRACE_WAL_FILE, edge, has_edge},
      {FileOp::Sync, TRACE_WAL_FILE, edge, has_edge},
  };
  for (const Fault& f : faults) {
    SCOPED_TRACE(::testing::Message() << f.file << " op " << static_cast<int>(f.op));
    TempDir dir;
    Copy(dir);
    QM_ASSERT_OK_AND_ASSIGN(auto engine, Open(dir.path()));
    g_fail_op = f.op;
    g_fail_file = f.file;
    g_fail_errno = EIO;
    set_file_fault_hook(&FailOnce);
    Status st = f.call(*engine);
    set_file_fault_hook(nullptr);
    ASSERT_FALSE(st.is_ok()) << "the fault was not reported";
    EXPECT_FALSE(f.visible(*engine));
    engine.reset();
    QM_ASSERT_OK_AND_ASSIGN(engine, Open(dir.path()));
    EXPECT_FALSE(f.visible(*engine)) << "visible after reopen";
    QM_ASSERT_OK(f.call(*engine));
    engine.reset();
    QM_ASSERT_OK_AND_ASSIGN(engine, Open(dir.path()));
    EXPECT_TRUE(f.visible(*engine)) << "lost after reopen";
  }
}

// Faults of several kinds at once, each failing the first operation of its kind on a path that
// holds its text.
struct Fault {
  FileOp op;
  std::string file;
};
std::vector<Fault> g_faults;
int FailEachOnce(FileOp op, const std::string& path) {
  for (auto it = g_faults.begin(); it != g_faults.end(); ++it) {
    if (it->op == op && path.find(it->file) != std::string::npos) {
      g_faults.erase(it);
      return EIO;
    }
  }
  return 0;
}

// Holds every file of the process to `limit` bytes while it lives: a write across the limit
// writes up to it and then fails (EFBIG), as on a full quota.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(uint64_t limit) {
    old_handler_ = std::signal(SIGXFSZ, SIG_IGN);
    ::getrlimit(RLIMIT_FSIZE, &old_);
    rlimit lim = old_;
    lim.rlim_cur = static_cast<rlim_t>(limit);
    ::setrlimit(RLIMIT_FSIZE, &lim);
  }
  ~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &old_);
    std::signal(SIGXFSZ, old_handler_);
  }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;

 private:
  rlimit old_{};
  void (*old_handler_)(int) = nullptr;
};

// A write that fails part way (or whose flush fails) and whose cut-back fails too leaves bytes at
// the end of the file. They are cut off (and kept) before the next append, which would otherwise
// land behind them and be lost or misread at the next open: the failed write never shows, the
// next one does, and everything stored before stays. Likewise, when the walk that the first
// append makes over a torn tail fails a read, that append fails and nothing is cut or forgotten:
// the next one repairs the tail and lands where the next open reads it.
TEST_F(DamagedFilesTest, FailedRollBacksAndFailedRewalksLoseNothing) {
  struct File {
    const char* name;
    std::function<Status(Engine&)> failing;  // the write that fails
    std::function<Status(Engine&)> next;     // the write after it
    std::function<void(Engine&)> check;      // the first not there, the second and the rest are
  };
  const std::vector<File> files = {
      {TEXT_STORE_FILE,
       [](Engine& e) {
         return e.set_pack_texts({{4, "changed"}});
       },
       [](Engine& e) {
         return e.set_pack_texts({{5, "later"}});
       },
       [](Engine& e) {
         EXPECT_EQ(*e.text_store().find(4), *Pack(4).text);
         EXPECT_EQ(*e.text_store().find(5), "later");
         EXPECT_EQ(*e.text_store().find(1), *Pack(1).text);
         EXPECT_EQ(*e.text_store().find(6), *Pack(6).text);
       }},
      {TEXT_STORE_FILE, [](Engine& e) { return e.mem_write_pack(Pack(9)).status(); },
       [](Engine& e) {
         return e.set_pack_texts({{5, "later"}});
       },
       [](Engine& e) {
         for (const auto& [id, text] : e.text_store().texts()) EXPECT_NE(text, *Pack(9).text);
         EXPECT_EQ(*e.text_store().find(5), "later");
         EXPECT_EQ(*e.text_store().find(6), *Pack(6).text);
       }},
      {DELETION_LOG_FILE, [](Engine& e) { return e.delete_pack(5); },
       [](Engine& e) { return e.delete_pack(4); },
       [](Engine& e) {
         for (PackId p : {1, 5, 6}) EXPECT_TRUE(e.pack_directory().contains(p)) << p;
         for (PackId p : {2, 3, 4}) EXPECT_FALSE(e.pack_directory().contains(p)) << p;
       }},
      {SYNAPTIC_FILE, [](Engine& e) { return e.synaptic().append(Synapsis(12)); },
       [](Engine& e) { return e.synaptic().append(Synapsis(13)); },
       [](Engine& e) {
         QM_ASSERT_OK_AND_ASSIGN(auto got, e.synaptic().load_for_owner(1));
         std::vector<uint64_t> ids;
         for (const SynapticEntry& x : got) ids.push_back(x.id);
         EXPECT_EQ(ids, (std::vector<uint64_t>{1, 2, 3, 13}));
       }},
      {TRACE_WAL_FILE, [](Engine& e) { return e.add_pack_edge(4, 6, EdgeType::Supports); },
       [](Engine& e) { return e.add_pack_edge(1, 6, EdgeType::Follows); },
       [](Engine& e) {
         EXPECT_EQ(e.trace_graph().edge_count(), 8u);
         EXPECT_TRUE(e.pack_links_by_type(4, static_cast<uint8_t>(EdgeType::Supports)).empty());
         EXPECT_EQ(e.pack_links_by_type(6, static_cast<uint8_t>(EdgeType::Follows)),
                   std::vector<PackId>{1});
       }},
  };
  enum class How { WriteCutShort, SyncFails, RewalkFails };
  for (const File& f : files) {
    for (How how : {How::WriteCutShort, How::SyncFails, How::RewalkFails}) {
      SCOPED_TRACE(::testing::Message() << f.name << " " << static_cast<int>(how));
      TempDir dir;
      Copy(dir);
      const std::string path = dir.file(f.name);
      const std::string pristine = read_file(path);
      if (how == How::RewalkFails) {
        // A torn record at the end, which the open finds and the first append walks again.
        write_file(path, pristine + std::string("\x01\x02\x03", 3));
      }
      QM_ASSERT_OK_AND_ASSIGN(auto engine, Open(dir.path()));
      Status failed;
      set_file_fault_hook(&FailEachOnce);
      if (how == How::WriteCutShort) {
        g_faults = {{FileOp::Truncate, f.name}};
        FileSizeLimit limit(pristine.size() + 5);
        failed = f.failing(*engine);
      } else if (how == How::SyncFails) {
        g_faults = {{FileOp::Sync, f.name}, {FileOp::Truncate, f.name}};
        failed = f.failing(*engine);
      } else {
        g_faults = {{FileOp::Read, f.name}};
        failed = f.failing(*engine);
        EXPECT_EQ(read_file(path).size(), pristine.size() + 3) << "changed after a failed read";
      }
      set_file_fault_hook(nullptr);
      EXPECT_TRUE(g_faults.empty()) << "a fault was not met";
      ASSERT_FALSE(failed.is_ok()) << "the fault was not reported";
      if (how != How::RewalkFails) {
        EXPECT_GT(read_file(path).size(), pristine.size()) << "nothing was left behind";
      }
      QM_ASSERT_OK(f.next(*engine));
      f.check(*engine);
      engine.reset();
      QM_ASSERT_OK_AND_ASSIGN(engine, Open(dir.path()));
      f.check(*engine);
      EXPECT_EQ(read_file(path).compare(0, pristine.size(), pristine), 0);
    }
  }
}

// A failed rename of scheduled_actions.json or of vamana.idx leaves the old file in place.
TEST_F(DamagedFilesTest, FailedRenamesKeepTheOldFile) {
  TempDir dir;
  Copy(dir);
  const std::string schedule = read_file(dir.file(SCHEDULE_FILE));
  QM_ASSERT_OK_AND_ASSIGN(auto engine, Open(dir.path(), true));
  const std::string vamana = read_file(dir.file(VAMANA_FILE));
  g_fail_op = FileOp::Rename;
  g_fail_file = "";
  g_fail_errno = EIO;
  set_file_fault_hook(&FailOnce);
  EXPECT_FALSE(engine->schedule().add(UnixTime{1800000000, 0}, 2, 1.0f).is_ok());
  g_fail_errno = EIO;
  EXPECT_FALSE(engine->ensure_vamana().is_ok());
  set_file_fault_hook(nullptr);
  EXPECT_EQ(read_file(dir.file(SCHEDULE_FILE)), schedule);
  EXPECT_EQ(read_file(dir.file(VAMANA_FILE)), vamana);
  engine.reset();
  QM_ASSERT_OK_AND_ASSIGN(engine, Open(dir.path()));
  EXPECT_EQ(engine->schedule().entries().size(), 1u);
}

// The repair of damage in the text store and the synaptic bank writes the file afresh: the
// damaged file is kept whole first, then the new one is written under a temporary of its own and
// renamed into place. When any step fails, the append fails, the file is as it was, no temporary
// is left, and the handle still reads every record that reads; the next append repairs and lands,
// and after a reopen everything reads. A handle that read the old file and refreshes (or, for the
// synaptic bank, loads) afterwards reads the new one.
TEST_F(DamagedFilesTest, RepairThatFailsPartWayLosesNothing) {
  const std::vector<std::pair<FileOp, const char*>> steps = {
      {FileOp::Open, ".cut-"}, {FileOp::Write, ".cut-"}, {FileOp::Sync, ".cut-"},
      {FileOp::Open, ".tmp-"}, {FileOp::Write, ".tmp-"}, {FileOp::Sync, ".tmp-"},
      {FileOp::Rename, ""},
  };
  const std::vector<RecordFile> files = RecordFiles();
  for (const char* name : {TEXT_STORE_FILE, SYNAPTIC_FILE}) {
    const RecordFile& f = *std::find_if(files.begin(), files.end(),
                                        [&](const RecordFile& x) { return x.name == name; });
    const std::string pristine = Pristine(name);
    const auto records = f.records(pristine);
    ASSERT_GE(records.size(), 3u);
    // A length in the middle runs past the end of the file (pack 4's text, the second synaptic
    // entry); the records behind it are found by their bytes.
    const bool texts = f.name == TEXT_STORE_FILE;
    std::string damaged = pristine;
    damaged[records[texts ? 3 : 1].first + (texts ? 8 : 0) + 3] = '\x01';
    auto check = [&](Engine& e, bool appended) {
      if (texts) {
        for (PackId p : {5, 6}) EXPECT_EQ(*e.text_store().find(p), *Pack(p).text) << p;
        EXPECT_EQ(e.text_store().find(4), nullptr);
        if (appended) {
          f.check_appended(e);
        } else {
          EXPECT_EQ(*e.text_store().find(1), *Pack(1).text);
        }
      } else {
        QM_ASSERT_OK_AND_ASSIGN(auto got, e.synaptic().load_for_owner(1));
        std::vector<uint64_t> ids;
        for (const SynapticEntry& x : got) ids.push_back(x.id);
        EXPECT_EQ(ids, appended ? std::vector<uint64_t>({1, 3, 9}) : std::vector<uint64_t>({1, 3}));
      }
    };
    for (const auto& [op, file] : steps) {
      SCOPED_TRACE(::testing::Message()
                   << name << ": op " << static_cast<int>(op) << " on \"" << file << "\"");
      TempDir dir;
      Copy(dir);
      write_file(dir.file(name), damaged);
      QM_ASSERT_OK_AND_ASSIGN(auto engine, Open(dir.path()));
      QM_ASSERT_OK_AND_ASSIGN(auto reader, Open(dir.path()));
      g_faults = {{op, std::string(name) + file}};
      set_file_fault_hook(&FailEachOnce);
      const Status failed = f.append(*engine);
      set_file_fault_hook(nullptr);
      EXPECT_TRUE(g_faults.empty()) << "the step was not met";
      EXPECT_FALSE(failed.is_ok()) << "the failed step was not reported";
      EXPECT_EQ(read_file(dir.file(name)), damaged);
      for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
        EXPECT_FALSE(is_temp_file_name(entry.path().filename().string())) << entry.path();
      }
      check(*engine, false);
      QM_ASSERT_OK(f.append(*engine));
      check(*engine, true);
      EXPECT_NE(read_file(dir.file(name)), damaged);
      // The reader opened the damaged file.
      QM_ASSERT_OK(reader->refresh());
      check(*reader, true);
      engine.reset();
      reader.reset();
      QM_ASSERT_OK_AND_ASSIGN(engine, Open(dir.path()));
      check(*engine, true);
      EXPECT_EQ(testing::lost_bytes(dir.path(), name, damaged), "");
    }
  }
}

}  // namespace
}  // namespace quellmar
