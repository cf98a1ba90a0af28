// Flat-index search over 100,000 keys of width 128 (one query, k = 10), against the time to read
// the index's 51 MB of keys once.

#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "quellmar/retrieval/flat_index.h"
#include "quellmar/retrieval/simd_distance.h"
#include "read_floor.h"

namespace quellmar {
namespace {

constexpr size_t kKeys = 100000;
constexpr size_t kDim = 128;

void BM_ReadFloor51MB(benchmark::State& state) {
  std::vector<uint64_t> buf(kKeys * kDim / 2, 3);  // 4-byte floats, 8-byte words
  for (auto _ : state) {
    benchmark::DoNotOptimize(bench::read_sum(buf.data(), buf.size()));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(buf.size() * 8));
}
BENCHMARK(BM_ReadFloor51MB)->Unit(benchmark::kMillisecond);

void BM_FlatSearch(benchmark::State& state) {
  std::mt19937 rng(1);
  std::normal_distribution<float> normal(0.0f, 1.0f);
  FlatIndex index;
  std::vector<float> key(kDim);
  for (CellId id = 1; id <= kKeys; ++id) {
    for (float& x : key) x = normal(rng);
    index.insert(id, id % 4, key);
  }
  std::vector<std::vector<float>> queries(16, std::vector<float>(kDim));
  for (auto& q : queries)
    for (float& x : q) x = normal(rng);
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(index.search(queries[i++ % queries.size()], 10, std::nullopt));
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kKeys * kDim * 4));
  state.SetLabel(simd_level_name(active_simd_level()));
}
BENCHMARK(BM_FlatSearch)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace quellmar

BENCHMARK_MAIN();
