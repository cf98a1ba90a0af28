// Inputs of the fuzz targets that once went wrong, kept as tests.

#include <cstring>
#include <span>
#include <string>

#include "quellmar/core/coding.h"
#include "quellmar/core/file_names.h"
#include "quellmar/core/synaptic_bank.h"
#include "quellmar/index/vamana_index.h"
#include "quellmar/storage/text_store.h"
#include "test_util.h"

namespace quellmar {
namespace {

using testing::TempDir;

// vamana.idx with a damaged dim (0xFFFFFFFF) and a node whose id the key map lacks: that node
// used to get dim zeros, 16 GiB. It gets no more zeros than the longest key given, which scores
// the same (scores are over the common prefix).
TEST(FuzzRegressionTest, VamanaDamagedDimSizesNoZeros) {
  TempDir dir;
  std::string file(32, '\0');
  std::memcpy(file.data(), "VAMG", 4);
  encode_u32(reinterpret_cast<uint8_t*>(file.data()) + 4, 1);
  encode_u32(reinterpret_cast<uint8_t*>(file.data()) + 8, 0xFFFFFFFFu);  // dim
  encode_u32(reinterpret_cast<uint8_t*>(file.data()) + 12, 16);
  encode_u64(reinterpret_cast<uint8_t*>(file.data()) + 16, 5);
  encode_u64(reinterpret_cast<uint8_t*>(file.data()) + 24, 2);  // node count
  for (uint64_t id : {5, 99}) {
    put_u64(file, id);
    put_u32(file, 1);
    put_u64(file, id == 5 ? 99 : 5);
  }
  testing::write_file(dir.file(VAMANA_FILE), file);
  const std::unordered_map<CellId, std::vector<float>> keys = {{5, {1.0f, 2.0f, 3.0f}}};
  QM_ASSERT_OK_AND_ASSIGN(std::optional<VamanaIndex> loaded, VamanaIndex::load(dir.path(), keys));
  ASSERT_TRUE(loaded.has_value());
  ASSERT_EQ(loaded->node_count(), 2u);
  const std::span<const float> zeros = loaded->node_key(1);
  EXPECT_EQ(std::vector<float>(zeros.begin(), zeros.end()), (std::vector<float>{0.0f, 0.0f, 0.0f}));
  const std::vector<float> query = {1.0f, 1.0f, 1.0f};
  const std::vector<ScoredCell> hits = loaded->search(query, 2, std::nullopt);
  ASSERT_EQ(hits.size(), 2u);
  EXPECT_EQ(hits[0].cell_id, 5u);
  EXPECT_EQ(hits[0].score, 6.0f);
  EXPECT_EQ(hits[1].score, 0.0f);
}

std::string FromHex(const std::string& hex) {
  std::string out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return out;
}

// Damaged text stores and synaptic banks after which an appended record was not read back at the
// next open: the reading past the damage changed once the torn tail was cut and a record appended
// (a text store read differently once the repair walked from its tail alone; a synaptic walk
// looked at bytes past the tail that the append replaced). A load that reads past damage now
// makes the next append write the file afresh.
TEST(FuzzRegressionTest, RecordsAppendedAfterDamageAreReadBack) {
  const std::string texts = FromHex(
      "02000000000002000000000000e80200000200000000000000000000100000000000000000000000"
      "00000000690000000000560000000000020e00636b20746578742030206502000002000000007d7d"
      "7d7d7d7d7d7d7d7d7d7d7d7d7d7d7d7d7d7d7d7d7d7d7d7d7d7d7d7d7d7d7d7d7d7d7d7d7d7d7d7d"
      "7d7d7d7d7d7d7d7d7d7d7d000000000000006c000000000000000000000002000000000000000000"
      "0000000200000200e8000000000002000000000000c37c03000000000000000e0000007061636b20"
      "74657874203220c3a905000000800000000e0000007061636b20740000007061636b207465787420"
      "3220c3000e0200");
  const std::string synapses =
      FromHex("0026000000002600000000000001002501848484000040000601000000000000030004");
  {
    TempDir dir;
    testing::write_file(dir.file(TEXT_STORE_FILE), texts);
    QM_ASSERT_OK_AND_ASSIGN(TextStore store, TextStore::open(dir.path()));
    const auto before = store.texts();
    const std::pair<PackId, std::string> added{0x5eed, "appended after the damage"};
    QM_ASSERT_OK(store.append_batch(std::span(&added, 1)));
    QM_ASSERT_OK_AND_ASSIGN(TextStore again, TextStore::open(dir.path()));
    ASSERT_NE(again.find(added.first), nullptr);
    EXPECT_EQ(*again.find(added.first), added.second);
    for (const auto& [id, text] : before) {
      ASSERT_NE(again.find(id), nullptr) << id;
      EXPECT_EQ(*again.find(id), text);
    }
  }
  {
    TempDir dir;
    testing::write_file(dir.file(SYNAPTIC_FILE), synapses);
    QM_ASSERT_OK_AND_ASSIGN(SynapticBank bank, SynapticBank::open(dir.path()));
    SynapticEntry added;
    added.id = 77;
    added.owner = 0x5eed;
    added.rank = 2;
    added.d_model = 2;
    added.lora_a = {1, 2, 3, 4};
    added.lora_b = {5, 6, 7, 8};
    QM_ASSERT_OK(bank.append(added));
    QM_ASSERT_OK_AND_ASSIGN(SynapticBank again, SynapticBank::open(dir.path()));
    QM_ASSERT_OK_AND_ASSIGN(auto got, again.load_for_owner(added.owner));
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].lora_b, added.lora_b);
  }
}

}  // namespace
}  // namespace quellmar
