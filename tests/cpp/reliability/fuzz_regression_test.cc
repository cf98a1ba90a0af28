// Inputs of the fuzz targets that once went wrong, kept as tests.

#include <cstring>
#include <string>

#include "quellmar/core/coding.h"
#include "quellmar/core/file_names.h"
#include "quellmar/index/vamana_index.h"
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

}  // namespace
}  // namespace quellmar
