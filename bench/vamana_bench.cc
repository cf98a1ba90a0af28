// Vamana build over 10,000 keys of width 128, and the recall@10 of its search against the flat
// index on clustered synthetic data.

#include <benchmark/benchmark.h>

#include <unordered_set>
#include <vector>

#include "bench_data.h"

#include "quellmar/index/vamana_index.h"
#include "quellmar/retrieval/flat_index.h"
#include "quellmar/retrieval/simd_distance.h"

namespace quellmar {
namespace {

constexpr size_t KEYS = 10000;
constexpr size_t DIM = 128;
void BM_VamanaBuild(benchmark::State& state) {
  const auto keys = bench::clustered(KEYS, DIM, bench::KEY_SEED);
  bench::dump_if_asked("vamana_keys", keys);
  for (auto _ : state) {
    state.PauseTiming();
    VamanaIndex index(DIM, VAMANA_MAX_DEGREE, VAMANA_ALPHA);
    for (size_t i = 0; i < keys.size(); ++i) index.insert_node(i + 1, keys[i]);
    state.ResumeTiming();
    index.build();
    benchmark::DoNotOptimize(index.entry_point());
  }
  state.SetLabel(simd_level_name(active_simd_level()));
}
BENCHMARK(BM_VamanaBuild)->Unit(benchmark::kMillisecond)->Iterations(3);

// Argument 0: clustered data; 1: plain Gaussian data.
void BM_VamanaSearchRecall(benchmark::State& state) {
  const bool gaussian = state.range(0) == 1;
  const auto keys = gaussian ? bench::clustered(KEYS, DIM, bench::KEY_SEED, 1, 1.0f)
                             : bench::clustered(KEYS, DIM, bench::KEY_SEED);
  const auto queries = gaussian ? bench::clustered(200, DIM, bench::QUERY_SEED, 1, 1.0f)
                                : bench::clustered(200, DIM, bench::QUERY_SEED);
  if (!gaussian) bench::dump_if_asked("vamana_queries", queries);
  VamanaIndex index(DIM, VAMANA_MAX_DEGREE, VAMANA_ALPHA);
  FlatIndex flat;
  for (size_t i = 0; i < keys.size(); ++i) {
    index.insert_node(i + 1, keys[i]);
    flat.insert(i + 1, 0, keys[i]);
  }
  index.build();
  size_t hits = 0, asked = 0, qi = 0;
  for (auto _ : state) {
    const auto& q = queries[qi++ % queries.size()];
    auto got = index.search(q, 10, std::nullopt);
    state.PauseTiming();
    auto want = flat.search(q, 10, std::nullopt);
    std::unordered_set<CellId> truth;
    for (const auto& h : want) truth.insert(h.cell_id);
    for (const auto& h : got) hits += truth.count(h.cell_id);
    asked += want.size();
    state.ResumeTiming();
  }
  state.counters["recall_at_10"] = double(hits) / double(asked);
}
BENCHMARK(BM_VamanaSearchRecall)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace quellmar

BENCHMARK_MAIN();
