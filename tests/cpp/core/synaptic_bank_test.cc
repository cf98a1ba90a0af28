#include "quellmar/core/synaptic_bank.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "quellmar/core/coding.h"
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

TEST(SynapticBankTest, RecordTooShortForItsFieldsIsSkippedNotCutOff) {
  TempDir dir;
  std::string damaged;
  put_u32(damaged, 6);  // a body of 6 bytes: no id, no owner
  damaged += "abcdef";
  write_file(dir.file("synaptic.qmr"), damaged);
  {
    QM_ASSERT_OK_AND_ASSIGN(SynapticBank bank, SynapticBank::open(dir.path()));
    EXPECT_TRUE(bank.index().empty());
    QM_ASSERT_OK(bank.append(Entry(4, 5, 1, 2)));
  }
  QM_ASSERT_OK_AND_ASSIGN(SynapticBank bank, SynapticBank::open(dir.path()));
  QM_ASSERT_OK_AND_ASSIGN(auto got, bank.load_for_owner(5));
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].id, 4u);
  EXPECT_EQ(read_file(dir.file("synaptic.qmr")).substr(0, 10), damaged);
}

TEST(SynapticBankTest, ShapeLargerThanTheFileFailsWithoutAllocating) {
  TempDir dir;
  {
    QM_ASSERT_OK_AND_ASSIGN(SynapticBank bank, SynapticBank::open(dir.path()));
    QM_ASSERT_OK(bank.append(Entry(1, 5, 2, 3)));
  }
  std::string bytes = read_file(dir.file("synaptic.qmr"));
  encode_u32(reinterpret_cast<uint8_t*>(bytes.data()) + 20, 0x7fffffff);  // rank
  write_file(dir.file("synaptic.qmr"), bytes);
  QM_ASSERT_OK_AND_ASSIGN(SynapticBank bank, SynapticBank::open(dir.path()));
  QM_ASSERT_ERROR(Io, "storage I/O error: failed to fill whole buffer", bank.load_for_owner(5));
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
