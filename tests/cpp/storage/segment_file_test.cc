#include "quellmar/storage/segment_file.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>

#include "quellmar/core/coding.h"
#include "quellmar/core/file_names.h"
#include "quellmar/storage/segment_format.h"
#include "test_util.h"

namespace quellmar {
namespace {

using testing::expect_same_record;
using testing::read_file;
using testing::sample_record;
using testing::TempDir;
using testing::truncate_file;
using testing::write_file;

class SegmentFileTest : public ::testing::Test {
 protected:
  SegmentEntry Create(uint32_t id = 0) {
    auto e = SegmentFile::create(dir_.path(), id);
    EXPECT_TRUE(e.is_ok());
    return *e;
  }
  std::vector<ScannedRecord> Scan(uint32_t id = 0) {
    auto s = SegmentFile::scan(dir_.path(), id);
    EXPECT_TRUE(s.is_ok()) << s.error().message();
    return s.is_ok() ? s->records : std::vector<ScannedRecord>{};
  }
  std::string Path(uint32_t id = 0) { return segment_path(dir_.path(), id); }

  TempDir dir_;
  std::string scratch_;
};

TEST_F(SegmentFileTest, EmptyRecordIs91BytesLaidOutFieldByField) {
  CellRecord r;
  r.cell_id = 0x0102030405060708ull;
  r.owner = 7;
  r.layer = HEAD_CELL_LAYER;
  r.pack_id = 3;
  r.view_tag = VIEW_KEY_TAG;
  r.created_at_ns = 11;
  r.updated_at_ns = 12;
  r.importance = 55.0f;
  r.aux32 = 0;
  r.tier = 2;
  std::string bytes;
  QM_ASSERT_OK_AND_ASSIGN(uint32_t body_len, r.encode(bytes));
  EXPECT_EQ(body_len, 87u);
  ASSERT_EQ(bytes.size(), 91u);
  const auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
  EXPECT_EQ(decode_u32(p + 0), 87u);
  EXPECT_EQ(decode_u64(p + 4), r.cell_id);
  EXPECT_EQ(decode_u64(p + 12), 7u);
  EXPECT_EQ(decode_u16(p + 20), 65534);
  EXPECT_EQ(decode_u64(p + 34), 3u);
  EXPECT_EQ(decode_u64(p + 42), UINT64_MAX);
  EXPECT_EQ(decode_u64(p + 50), 11u);
  EXPECT_EQ(decode_u64(p + 58), 12u);
  EXPECT_EQ(decode_f32(p + 66), 55.0f);
  EXPECT_EQ(p[74], 2);
  for (size_t off : {22, 26, 30, 70, 75, 79, 83, 87}) EXPECT_EQ(decode_u32(p + off), 0u) << off;
}

TEST_F(SegmentFileTest, KeyOf33ValuesStoresTwoScalesAnd32CodeBytes) {
  CellRecord r = sample_record(1, 33, 0);
  r.extra = {1.25f, -2.0f};
  std::string bytes;
  QM_ASSERT_OK_AND_ASSIGN(uint32_t body_len, r.encode(bytes));
  const auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
  EXPECT_EQ(decode_u32(p + 75), 2u);
  EXPECT_EQ(decode_u32(p + 79), 32u);
  EXPECT_EQ(body_len, 87u + 8 + 32 + 8);
  EXPECT_EQ(decode_f32(p + 91 + 8 + 32), 1.25f);  // extra values are stored as they are
}

TEST_F(SegmentFileTest, ListsSegmentIdsFromNames) {
  for (const char* name :
       {"segment_000000.qmr", "segment_000002.qmr", "notes.txt", "segment_.qmr", "segment_x1.qmr",
        "segment_7.qmr", "segment_+12.qmr", "segment_99999999999.qmr", "segment_1.qmr.bak"}) {
    write_file(dir_.file(name), "");
  }
  QM_ASSERT_OK_AND_ASSIGN(auto ids, SegmentFile::list_ids(dir_.path()));
  EXPECT_EQ(ids, (std::vector<uint32_t>{0, 2, 7, 12}));
  // Two names of one id are refused, naming both; nothing is touched.
  write_file(dir_.file("segment_0.qmr"), "stray");
  QM_ASSERT_ERROR(Io,
                  "storage I/O error: two segment files name segment 0: segment_0.qmr and "
                  "segment_000000.qmr in " +
                      dir_.path(),
                  SegmentFile::list_ids(dir_.path()));
  EXPECT_EQ(read_file(dir_.file("segment_0.qmr")), "stray");
  EXPECT_EQ(segment_file_name(1234567), "segment_1234567.qmr");
  // The path is always built from the id: "segment_7.qmr" is described as segment_000007.qmr.
  QM_ASSERT_ERROR(Io, "storage I/O error: No such file or directory (os error 2)",
                  SegmentFile::describe_existing(dir_.path(), 7));
}

TEST_F(SegmentFileTest, CreateWritesHeaderAndAppendsRoundTrip) {
  SegmentEntry e = Create();
  EXPECT_EQ(e.fill, 8u);
  EXPECT_EQ(read_file(e.path), std::string("QMRS\x01\0\0\0", 8));
  QM_ASSERT_OK_AND_ASSIGN(uint64_t off1,
                          SegmentFile::append_one(e, sample_record(1, 4, 8), scratch_));
  std::vector<CellRecord> batch = {sample_record(2, 128, 1024), sample_record(3, 0, 0)};
  QM_ASSERT_OK_AND_ASSIGN(auto offs, SegmentFile::append_batch(e, batch, scratch_));
  EXPECT_EQ(off1, 8u);
  ASSERT_EQ(offs.size(), 2u);
  EXPECT_EQ(offs[1], offs[0] + *batch[0].encoded_size());
  EXPECT_EQ(e.fill, read_file(e.path).size());

  auto scanned = Scan();
  ASSERT_EQ(scanned.size(), 3u);
  EXPECT_EQ(scanned[2].cell_id, 3u);
  EXPECT_EQ(scanned[2].offset, offs[1]);

  QM_ASSERT_OK_AND_ASSIGN(CellRecord back, decode_cell(e, offs[0]));
  EXPECT_EQ(back.cell_id, 2u);
  ASSERT_EQ(back.value.size(), 1024u);
  EXPECT_EQ(back.key.size(), 128u);
  expect_same_record(back, batch[0]);  // whole numbers survive the 4-bit codes exactly
}

// Records that share one key vector (a pack's cells) are stored exactly as records with their
// own copies of it, also across the pieces a large batch is written in, and after a record with
// another key or none.
TEST_F(SegmentFileTest, SharedKeyIsStoredAsTheSameBytesAsOwnCopies) {
  std::vector<float> key(100);
  for (size_t i = 0; i < key.size(); ++i) key[i] = std::sin(0.37f * float(i)) * 3.0f;
  std::vector<float> other = key;
  other[5] = 99.0f;
  std::vector<CellRecord> copies;
  for (CellId id = 0; id < 420; ++id) {  // about 2 MB: three pieces
    CellRecord r = sample_record(id, 0, id % 7 == 3 ? 0 : 9000);
    r.key = id % 11 == 5 ? other : (id % 13 == 6 ? std::vector<float>{} : key);
    copies.push_back(std::move(r));
  }
  std::vector<CellRecordView> views;
  for (const CellRecord& r : copies) {
    CellRecordView v = r.view();
    if (r.key == key) v.key = key;  // borrowed from the one vector
    views.push_back(v);
  }
  std::string expected("QMRS\x01\0\0\0", 8);
  for (const CellRecord& r : copies) QM_ASSERT_OK(r.encode(expected).status());
  SegmentEntry e = Create();
  QM_ASSERT_OK(SegmentFile::append_views(e, views, scratch_).status());
  EXPECT_GT(e.fill, 2u << 20);
  EXPECT_TRUE(read_file(Path()) == expected);
}

// A batch append with work overlapping the device: the same bytes as a plain append (over more
// than one write piece), the caller's steps once each and in order, and a failure of the step
// before the records are shown leaving the file as it was.
TEST_F(SegmentFileTest, OverlappedAppendsWriteTheSameBytes) {
  std::vector<CellRecord> records;
  for (CellId id = 0; id < 256; ++id) {
    records.push_back(sample_record(id, 64, 16 << 10));
    records.back().created_at_ns = records.back().updated_at_ns = 777;  // one write's time
  }
  SegmentEntry plain = Create(0);
  QM_ASSERT_OK(SegmentFile::append_batch(plain, records, scratch_));

  SegmentEntry overlapped = Create(1);
  std::string steps;
  AppendOverlap overlap;
  overlap.before_showing = [&] {
    steps += "b";
    // Every byte is in the file by now, yet a scan finds none of the records.
    EXPECT_EQ(read_file(Path(1)).size(), plain.fill);
    EXPECT_TRUE(Scan(1).empty());
    return Status::ok();
  };
  overlap.while_flushing = [&] { steps += "f"; };
  std::vector<CellRecordView> views;
  for (const CellRecord& r : records) views.push_back(r.view());
  QM_ASSERT_OK_AND_ASSIGN(std::vector<uint64_t> offsets,
                          SegmentFile::append_views(overlapped, views, scratch_, &overlap));
  EXPECT_EQ(steps, "bf");
  EXPECT_GT(overlapped.fill, 2u << 20);  // three write pieces
  EXPECT_EQ(overlapped.fill, plain.fill);
  EXPECT_EQ(offsets.back(), Scan(0).back().offset);
  EXPECT_TRUE(read_file(Path(0)) == read_file(Path(1)));

  const std::string before = read_file(Path(1));
  steps.clear();
  overlap.before_showing = [&] {
    steps += "b";
    return Status(EngineError::io(IoError::invalid_data("not durable")));
  };
  QM_ASSERT_ERROR(Io, "", SegmentFile::append_views(overlapped, views, scratch_, &overlap));
  EXPECT_EQ(steps, "b");
  EXPECT_EQ(overlapped.fill, plain.fill);
  EXPECT_FALSE(overlapped.sealed);
  EXPECT_TRUE(read_file(Path(1)) == before);
}

TEST_F(SegmentFileTest, ScanOfShortBadAndTornFiles) {
  for (size_t n = 0; n < 8; ++n) {
    write_file(Path(), std::string("QMRS\x01\0\0", n));
    QM_ASSERT_OK_AND_ASSIGN(SegmentScan s, SegmentFile::scan(dir_.path(), 0));
    EXPECT_TRUE(s.records.empty());
    EXPECT_EQ(s.end, ScanEnd::NoHeader);
  }
  write_file(Path(), std::string("QMRX\x01\0\0\0", 8));
  QM_ASSERT_ERROR(Io, "storage I/O error: invalid segment magic in " + Path(),
                  SegmentFile::scan(dir_.path(), 0));

  ASSERT_TRUE(std::filesystem::remove(Path()));  // a segment is never created over a file
  SegmentEntry e = Create();
  ASSERT_TRUE(SegmentFile::append_one(e, sample_record(1, 4, 8), scratch_).is_ok());
  const std::string whole = read_file(e.path);
  std::string second;
  ASSERT_TRUE(sample_record(2, 4, 8).encode(second).is_ok());
  write_file(e.path, whole + second.substr(0, 10));
  QM_ASSERT_OK_AND_ASSIGN(SegmentScan s, SegmentFile::scan(dir_.path(), 0));
  ASSERT_EQ(s.records.size(), 1u);
  EXPECT_EQ(s.end, ScanEnd::TornTail);
  EXPECT_EQ(s.valid_end, whole.size());
}

// Where a scan ends, and what it locates, around a zero length word: the first length word of a
// write is written last, so a zero word that starts the records of one write (one write time,
// consecutive cell ids) running to the end of the file is a write not yet shown, located by
// nobody; any other zero word is a damaged length, which the walk goes past by the record's
// counts.
TEST_F(SegmentFileTest, ScanTellsAWriteNotShownFromAZeroedLength) {
  auto rec = [](CellId id, uint64_t time) {
    CellRecord r = sample_record(id, 40, 70);
    r.created_at_ns = r.updated_at_ns = time;
    std::string out;
    EXPECT_TRUE(r.encode(out).is_ok());
    return out;
  };
  auto zero_first_word = [](std::string b) { return b.replace(0, 4, 4, '\0'); };
  const std::string header("QMRS\x01\0\0\0", 8);
  const std::string before = rec(1, 100);
  const std::string write = rec(2, 200) + rec(3, 200) + rec(4, 200);
  struct Case {
    const char* name;
    std::string tail;  // after the header and cell 1
    ScanEnd end;
    std::vector<CellId> located;
  } cases[] = {
      {"one write not shown", zero_first_word(write), ScanEnd::Unshown, {1}},
      {"one write not shown, its last record cut short",
       zero_first_word(write).substr(0, write.size() - 30),
       ScanEnd::Unshown,
       {1}},
      {"a first record cut short before its counts",
       zero_first_word(write).substr(0, 50),
       ScanEnd::Unshown,
       {1}},
      {"records of two writes behind the zero word",
       zero_first_word(write) + rec(5, 300),
       ScanEnd::Clean,
       {1, 2, 3, 4, 5}},
      {"records of another write behind the zero word",
       zero_first_word(rec(2, 200) + rec(3, 201)),
       ScanEnd::Clean,
       {1, 2, 3}},
      {"the zero word inside a write",
       rec(2, 200) + zero_first_word(rec(3, 200) + rec(4, 200)),
       ScanEnd::Clean,
       {1, 2, 3, 4}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    write_file(Path(), header + before + c.tail);
    QM_ASSERT_OK_AND_ASSIGN(SegmentScan s, SegmentFile::scan(dir_.path(), 0));
    EXPECT_EQ(s.end, c.end);
    std::vector<CellId> ids;
    for (const ScannedRecord& r : s.records) ids.push_back(r.cell_id);
    EXPECT_EQ(ids, c.located);
    EXPECT_EQ(s.skipped_damage, c.end == ScanEnd::Clean);
    if (c.end == ScanEnd::Unshown) {
      EXPECT_EQ(s.valid_end, header.size() + before.size());
    }
  }
}

// The visitor gets each whole record the scan finds, from the scan's own reads: records that
// cross the read window, one larger than the window, and nothing of a torn tail.
TEST_F(SegmentFileTest, ScanHandsOverEveryWholeRecordOnce) {
  SegmentEntry e = Create();
  std::vector<CellRecord> records;
  for (CellId id = 1; id <= 40; ++id) records.push_back(sample_record(id, 16, 3000 + 97 * id));
  records.insert(records.begin() + 17, sample_record(99, 8, 700000));  // larger than the window
  for (const CellRecord& r : records)
    QM_ASSERT_OK(SegmentFile::append_one(e, r, scratch_).status());
  const std::string whole = read_file(e.path);
  std::string torn;
  ASSERT_TRUE(sample_record(7, 4, 8).encode(torn).is_ok());
  write_file(e.path, whole + torn.substr(0, torn.size() - 3));

  std::vector<std::pair<uint64_t, std::string>> seen;
  const SegmentFile::RecordVisitor visit = [&](uint64_t off, std::span<const uint8_t> bytes) {
    seen.emplace_back(off, std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
  };
  QM_ASSERT_OK_AND_ASSIGN(SegmentScan s, SegmentFile::scan(dir_.path(), 0, &visit));
  EXPECT_EQ(s.end, ScanEnd::TornTail);
  EXPECT_EQ(s.valid_end, whole.size());
  ASSERT_EQ(s.records.size(), records.size());
  ASSERT_EQ(seen.size(), records.size());
  for (size_t i = 0; i < seen.size(); ++i) {
    EXPECT_EQ(seen[i].first, s.records[i].offset);
    EXPECT_EQ(seen[i].second.size(), 4 + uint64_t{s.records[i].body_len});
    EXPECT_TRUE(seen[i].second == whole.substr(s.records[i].offset, seen[i].second.size()));
    EXPECT_EQ(s.records[i].cell_id, records[i].cell_id);
  }
}

TEST_F(SegmentFileTest, DecodeRejectsDamageWithoutOverreading) {
  SegmentEntry e = Create();
  CellRecord r = sample_record(5, 40, 40);
  QM_ASSERT_OK_AND_ASSIGN(uint64_t off, SegmentFile::append_one(e, r, scratch_));
  const std::string good = read_file(e.path);

  struct Case {
    const char* name;
    size_t at;
    uint32_t value;
    const char* message;  // empty: any Io failure
  };
  const std::string where = "storage I/O error: damaged cell record at offset 8 in " + e.path;
  const Case cases[] = {
      {"tier byte", 74, 3, "storage I/O error: invalid tier byte 3 in cell 5"},
      {"key scale count", 75, 9, where.c_str()},
      {"value byte count", 87, 1u << 30, where.c_str()},
      {"key length", 22, 1u << 31, where.c_str()},
      // Its counts say otherwise: damage, which never sizes a read.
      {"body length past the file", 0, 1u << 30, where.c_str()},
      {"body length too small", 0, 20, where.c_str()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string bad = good;
    uint8_t* p = reinterpret_cast<uint8_t*>(bad.data()) + off + c.at;
    if (c.at == 74) {
      *p = static_cast<uint8_t>(c.value);
    } else {
      encode_u32(p, c.value);
    }
    write_file(e.path, bad);
    QM_ASSERT_ERROR(Io, c.message, decode_cell(e, off));
    // A reader that hands out the stored bytes, checked to decode, refuses the same records.
    QM_ASSERT_OK_AND_ASSIGN(SegmentReader reader, SegmentReader::open(e.path));
    std::string encoded;
    QM_ASSERT_ERROR(Io, c.message, reader.read_encoded(off, encoded, 0, /*check_fields=*/true));
    EXPECT_TRUE(encoded.empty());
    // The decode of the fields alone (the open's) refuses the same bytes the same way.
    if (c.at != 0 || c.value < bad.size()) {
      CellFields fields;
      QM_ASSERT_ERROR(Io, c.message,
                      decode_cell_fields(p - c.at, bad.size() - off, fields, e.path, off));
    }
  }
  {
    CellFields fields;
    QM_ASSERT_OK(decode_cell_fields(reinterpret_cast<const uint8_t*>(good.data()) + off,
                                    good.size() - off, fields, e.path, off));
    EXPECT_EQ(fields.cell_id, r.cell_id);
    EXPECT_EQ(fields.owner, r.owner);
    EXPECT_EQ(fields.pack_id, r.pack_id);
    EXPECT_EQ(fields.layer, r.layer);
    EXPECT_EQ(fields.importance, r.importance);
    EXPECT_EQ(fields.tier, r.tier);
  }
  // A record cut short by the end of the file.
  write_file(e.path, good.substr(0, good.size() - 3));
  QM_ASSERT_ERROR(Io, "storage I/O error: failed to fill whole buffer", decode_cell(e, off));
}

}  // namespace
}  // namespace quellmar
