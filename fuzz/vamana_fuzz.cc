// vamana.idx: the loader over any bytes, then searches and inserts on what it loaded.

#include <unordered_map>

#include "fuzz_util.h"
#include "quellmar/index/vamana_index.h"

using namespace quellmar;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::put_file("vamana.idx", data, size);
  std::unordered_map<CellId, std::vector<float>> keys;
  for (CellId id = 0; id < 8; ++id) {
    keys[id] = {static_cast<float>(id), 1.0f, -2.0f, static_cast<float>(id % 3)};
  }
  auto loaded = VamanaIndex::load(fuzz::scratch_dir(), keys);
  if (!loaded.is_ok() || !*loaded) return 0;
  VamanaIndex& index = **loaded;
  const std::vector<float> query = {1.0f, 0.5f, 0.25f, -1.0f};
  for (uint64_t k : {1, 5, 40}) {
    auto hits = index.search(query, k, std::nullopt);
    QM_FUZZ_CHECK(hits.size() <= k && hits.size() <= index.len());
  }
  index.insert(1000, 0, query);
  (void)index.search(query, 3, 7);
  (void)index.seeds();
  return 0;
}
