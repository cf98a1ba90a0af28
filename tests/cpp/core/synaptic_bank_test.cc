#include "quellmar/core/synaptic_bank.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>

#include "quellmar/core/coding.h"
#include "quellmar/core/file_names.h"
#include "quellmar/core/half.h"
#include "test_util.h"

namespace quellmar {
namespace {

using testing::read_file;
using testing::TempDir;
using testing::write_file;

SynapticEntry Entry(uint64_t id, OwnerId owner, uint32_t rank, uint32_t d_model) {
  SynapticEntry e;
  e.id = id;
  e.owner = owner;
  e.rank = rank;
  e.d_model = d_model;
  e.scale = float_to_half(1.5f);
  e.last_used = 77;
  e.quality = 0.25f;
  for (uint32_t i = 0; i < rank * d_model; ++i) {
    e.lora_a.push_back(float_to_half(static_cast<float>(i)));
    e.lora_b.push_back(float_to_half(-static_cast<float>(i)));
  }
  return e;
}

TEST(SynapticBankTest, StoresAndLoadsPerOwnerInOrder) {
  TempDir dir;
  {
    QM_ASSERT_OK_AND_ASSIGN(SynapticBank bank, SynapticBank::open(dir.path()));
    EXPECT_EQ(read_file(dir.file("synaptic.qmr")), "");
    QM_ASSERT_OK_AND_ASSIGN(auto none, bank.load_for_owner(5));
    EXPECT_TRUE(none.empty());
    QM_ASSERT_OK(bank.append(Entry(1, 5, 2, 3)));
    EXPECT_EQ(read_file(dir.file("synaptic.qmr")).size(), 66u);  // B = 62
    QM_ASSERT_OK(bank.append(Entry(2, 6, 0, 4)));
    QM_ASSERT_OK(bank.append(Entry(1, 5, 1, 1)));
  }
  QM_ASSERT_OK_AND_ASSIGN(SynapticBank bank, SynapticBank::open(dir.path()));
  QM_ASSERT_OK_AND_ASSIGN(auto five, bank.load_for_owner(5));
  ASSERT_EQ(five.size(), 2u);
  EXPECT_EQ(five[0].rank, 2u);
  EXPECT_EQ(five[0].lora_a, Entry(1, 5, 2, 3).lora_a);
  EXPECT_EQ(five[0].lora_b, Entry(1, 5, 2, 3).lora_b);
  EXPECT_EQ(half_to_float(five[0].scale), 1.5f);
  EXPECT_EQ(five[0].last_used, 77u);
  EXPECT_EQ(five[0].quality, 0.25f);
  EXPECT_EQ(five[1].rank, 1u);
  QM_ASSERT_OK_AND_ASSIGN(auto six, bank.load_for_owner(6));
  ASSERT_EQ(six.size(), 1u);
  EXPECT_TRUE(six[0].lora_a.empty());
}

TEST(SynapticBankTest, TornTailIsDroppedAndLaterEntriesSurvive) {
  TempDir dir;
  {
    QM_ASSERT_OK_AND_ASSIGN(SynapticBank bank, SynapticBank::open(dir.path()));
    QM_ASSERT_OK(bank.append(Entry(1, 5, 2, 3)));
    QM_ASSERT_OK(bank.append(Entry(2, 5, 2, 3)));
  }
  const std::string whole = read_file(dir.file("synaptic.qmr"));
  write_file(dir.file("synaptic.qmr"), whole.substr(0, 66 + 30));
  {
    QM_ASSERT_OK_AND_ASSIGN(SynapticBank bank, SynapticBank::open(dir.path()));
    EXPECT_EQ(bank.index().size(), 1u);
    QM_ASSERT_OK(bank.append(Entry(3, 5, 1, 2)));
  }
  QM_ASSERT_OK_AND_ASSIGN(SynapticBank bank, SynapticBank::open(dir.path()));
  QM_ASSERT_OK_AND_ASSIGN(auto got, bank.load_for_owner(5));
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[1].id, 3u);
}

// A record too short for its fixed fields is damaged. Between whole records it is skipped (and
// the first append repairs the file: written afresh with the whole records, the damaged one kept
// whole beside it); as the file's last record it reads no more than a torn one and is cut as one
// (kept in a file of its own) by the next append.
TEST(SynapticBankTest, RecordTooShortForItsFieldsIsSkipped) {
  std::string damaged;
  put_u32(damaged, 6);  // a body of 6 bytes: no id, no owner
  damaged += "abcdef";
  for (bool last : {false, true}) {
    SCOPED_TRACE(last ? "last" : "between whole records");
    TempDir dir;
    {
      QM_ASSERT_OK_AND_ASSIGN(SynapticBank bank, SynapticBank::open(dir.path()));
      QM_ASSERT_OK(bank.append(Entry(1, 5, 1, 2)));
    }
    const std::string whole = read_file(dir.file("synaptic.qmr"));
    const std::string bytes = last ? whole + damaged : damaged + whole;
    write_file(dir.file("synaptic.qmr"), bytes);
    {
      QM_ASSERT_OK_AND_ASSIGN(SynapticBank bank, SynapticBank::open(dir.path()));
      EXPECT_EQ(bank.index().size(), 1u);
      EXPECT_EQ(read_file(dir.file("synaptic.qmr")), bytes);  // the open only reads
      QM_ASSERT_OK(bank.append(Entry(4, 5, 1, 2)));
      QM_ASSERT_OK_AND_ASSIGN(auto got, bank.load_for_owner(5));
      EXPECT_EQ(got.size(), 2u);
    }
    QM_ASSERT_OK_AND_ASSIGN(SynapticBank bank, SynapticBank::open(dir.path()));
    QM_ASSERT_OK_AND_ASSIGN(auto got, bank.load_for_owner(5));
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].id, 1u);
    EXPECT_EQ(got[1].id, 4u);
    EXPECT_EQ(testing::cut_files(dir.path(), "synaptic.qmr"), 1u);
    if (last) {
      EXPECT_EQ(read_file(dir.file(cut_file_name("synaptic.qmr", whole.size(), 0))), damaged);
    } else {
      EXPECT_EQ(read_file(dir.file(cut_file_name("synaptic.qmr", 0, 0))), bytes);
      EXPECT_EQ(read_file(dir.file("synaptic.qmr")).substr(0, whole.size()), whole);
    }
  }
}

// A record damaged after the open indexed it: its shape no longer agrees with its length, and
// loading it fails without making room for what the shape claims.
TEST(SynapticBankTest, ShapeLargerThanTheFileFailsWithoutAllocating) {
  TempDir dir;
  {
    QM_ASSERT_OK_AND_ASSIGN(SynapticBank bank, SynapticBank::open(dir.path()));
    QM_ASSERT_OK(bank.append(Entry(1, 5, 2, 3)));
  }
  QM_ASSERT_OK_AND_ASSIGN(SynapticBank bank, SynapticBank::open(dir.path()));
  std::string bytes = read_file(dir.file("synaptic.qmr"));
  encode_u32(reinterpret_cast<uint8_t*>(bytes.data()) + 20, 0x7fffffff);  // rank
  write_file(dir.file("synaptic.qmr"), bytes);
  QM_ASSERT_ERROR(Io, "storage I/O error: failed to fill whole buffer", bank.load_for_owner(5));
  encode_u32(reinterpret_cast<uint8_t*>(bytes.data()) + 20, 1);  // a shape that fits, but not B
  write_file(dir.file("synaptic.qmr"), bytes);
  QM_ASSERT_ERROR(Io, "storage I/O error: damaged synaptic record at offset 0",
                  bank.load_for_owner(5));
}

// A record whose length does not agree with its own shape (B = 38 + 4 * rank * d_model) is
// damaged: it is left out, and the walk finds the next whole record by its bytes, so every other
// entry loads, also after an append and a reopen.
TEST(SynapticBankTest, DamagedRecordsCostOnlyThemselves) {
  constexpr size_t N = 10;
  constexpr uint64_t SIZE = 4 + 38 + 4 * 4;  // rank 1, d_model 4
  auto put32 = [](std::string& b, uint64_t at, uint32_t v) {
    encode_u32(reinterpret_cast<uint8_t*>(b.data()) + at, v);
  };
  struct Case {
    const char* name;
    std::function<void(std::string&)> damage;
    std::vector<uint64_t> lost;  // entry ids that do not load
    bool rewritten;              // damage between whole records, rather than at the end
  } cases[] = {
      {"second length all ones", [&](std::string& b) { put32(b, SIZE, 0xFFFFFFFF); }, {2}, true},
      {"first length zeroed", [&](std::string& b) { put32(b, 0, 0); }, {1}, true},
      {"middle length one less", [&](std::string& b) { put32(b, 4 * SIZE, SIZE - 5); }, {5}, true},
      {"middle rank", [&](std::string& b) { put32(b, 4 * SIZE + 20, 7); }, {5}, true},
      {"two records in a row",
       [&](std::string& b) {
         put32(b, 2 * SIZE, 3);
         put32(b, 3 * SIZE + 24, 0);
       },
       {3, 4},
       true},
      // A damaged last record reads no more than a torn one, and is cut (and kept) as one.
      {"last length grown", [&](std::string& b) { put32(b, 9 * SIZE, 0x01000036); }, {10}, false},
      {"garbage appended", [](std::string& b) { b += std::string(37, '\xa5'); }, {}, false},
      {"torn final record", [](std::string& b) { b.resize(b.size() - 7); }, {10}, false},
      {"short record inserted",
       [&](std::string& b) {
         std::string r;
         put_u32(r, 6);
         b.insert(3 * SIZE, r + "abcdef");
       },
       {},
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    {
      QM_ASSERT_OK_AND_ASSIGN(SynapticBank bank, SynapticBank::open(dir.path()));
      for (uint64_t id = 1; id <= N; ++id) QM_ASSERT_OK(bank.append(Entry(id, 5, 1, 4)));
    }
    std::string bytes = read_file(dir.file("synaptic.qmr"));
    ASSERT_EQ(bytes.size(), N * SIZE);
    c.damage(bytes);
    write_file(dir.file("synaptic.qmr"), bytes);
    std::vector<uint64_t> want;
    for (uint64_t id = 1; id <= N; ++id) {
      if (std::find(c.lost.begin(), c.lost.end(), id) == c.lost.end()) want.push_back(id);
    }
    auto ids = [](SynapticBank& bank) {
      auto got = bank.load_for_owner(5);
      EXPECT_TRUE(got.is_ok()) << got.error().message();
      std::vector<uint64_t> out;
      for (const SynapticEntry& e : *got) {
        EXPECT_EQ(e.lora_a, Entry(e.id, 5, 1, 4).lora_a);
        out.push_back(e.id);
      }
      return out;
    };
    {
      QM_ASSERT_OK_AND_ASSIGN(SynapticBank bank, SynapticBank::open(dir.path()));
      EXPECT_EQ(ids(bank), want);
      QM_ASSERT_OK(bank.append(Entry(11, 5, 1, 4)));
    }
    want.push_back(11);
    QM_ASSERT_OK_AND_ASSIGN(SynapticBank bank, SynapticBank::open(dir.path()));
    EXPECT_EQ(ids(bank), want);
    // A torn (or damaged) final record is cut by the append; damage between whole records is
    // repaired by writing the file afresh: either way, what goes is kept beside the file.
    EXPECT_EQ(testing::cut_files(dir.path(), "synaptic.qmr"), 1u);
    if (c.rewritten) {
      EXPECT_EQ(read_file(dir.file(cut_file_name("synaptic.qmr", 0, 0))), bytes);
      EXPECT_EQ(read_file(dir.file("synaptic.qmr")).size(), want.size() * SIZE);
    }
    EXPECT_EQ(testing::lost_bytes(dir.path(), "synaptic.qmr", bytes), "");
  }
}

TEST(HalfTest, ConversionTable) {
  const float inf = std::numeric_limits<float>::infinity();
  struct Case {
    float in;
    float out;
  };
  const Case cases[] = {
      {0.0f, 0.0f},
      {1.0f, 1.0f},
      {1.5f, 1.5f},
      {-2.0f, -2.0f},
      {0.1f, 0.0999755859375f},
      {65504.0f, 65504.0f},
      {65520.0f, inf},
      {1.0e5f, inf},
      {-1.0e5f, -inf},
      {5.9604645e-8f, 5.9604645e-8f},  // the smallest subnormal half
      {2.0e-8f, 0.0f},                 // below half of it
      {1.00048828125f, 1.0f},          // a tie, to even
      {1.00146484375f, 1.001953125f},  // a tie, to even (upwards)
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.in);
    EXPECT_EQ(half_to_float(float_to_half(c.in)), c.out);
  }
  EXPECT_TRUE(std::isnan(half_to_float(float_to_half(std::nanf("")))));
  for (uint32_t h = 0; h < 0x7C00; ++h) {  // every finite half survives the round trip
    ASSERT_EQ(float_to_half(half_to_float(static_cast<uint16_t>(h))), h);
  }
}

}  // namespace
}  // namespace quellmar
