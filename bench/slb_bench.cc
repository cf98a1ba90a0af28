// SLB query over a full buffer of 4096 keys of width 128 (k = 10), against the time to read the
// buffer's 512 KiB of codes once.

#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "quellmar/retrieval/simd_distance.h"
#include "quellmar/retrieval/slb.h"
#include "read_floor.h"

namespace quellmar {
namespace {

constexpr size_t kKeys = 4096;
constexpr size_t kDim = 128;

void BM_ReadFloor512KiB(benchmark::State& state) {
  std::vector<uint64_t> buf(kKeys * kDim / 8, 3);
  for (auto _ : state) {
    benchmark::DoNotOptimize(bench::read_sum(buf.data(), buf.size()));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(buf.size() * 8));
}
BENCHMARK(BM_ReadFloor512KiB);

void BM_SlbQuery(benchmark::State& state) {
  std::mt19937 rng(1);
  std::normal_distribution<float> normal(0.0f, 1.0f);
  SLB slb(kKeys, kDim);
  std::vector<float> key(kDim);
  for (CellId id = 1; id <= kKeys; ++id) {
    for (float& x : key) x = normal(rng);
    slb.insert(id, id % 4, key);
  }
  std::vector<std::vector<float>> queries(64, std::vector<float>(kDim));
  for (auto& q : queries)
    for (float& x : q) x = normal(rng);
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(slb.query(queries[i++ % queries.size()], 10));
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kKeys * kDim));
  state.SetLabel(simd_level_name(active_simd_level()));
}
BENCHMARK(BM_SlbQuery);

}  // namespace
}  // namespace quellmar

BENCHMARK_MAIN();
