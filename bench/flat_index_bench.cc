// Flat-index search over 100,000 clustered keys of width 128 (one query, k = 10), against the
// time to read the index's 51 MB of keys once. BM_FlatSearchVsFloor alternates single floor reads
// and single searches, so that neither finds the other's data in the last-level cache (51 MB does
// not fit), and reports the floor, the search time, their ratio and its spread, against a plain
// and a prefetching read of the keys.

#include <benchmark/benchmark.h>

#include <array>
#include <vector>

#include "bench_data.h"
#include "floor_ratio.h"
#include "quellmar/core/aligned_allocator.h"
#include "quellmar/retrieval/flat_index.h"
#include "quellmar/retrieval/simd_distance.h"
#include "read_floor.h"

namespace quellmar {
namespace {

constexpr size_t KEYS = 100000;
constexpr size_t DIM = 128;

// The floor reads a buffer placed like the index's keys (cache-line aligned).
using FloorBuffer = std::vector<uint64_t, AlignedAllocator<uint64_t>>;

void BM_ReadFloor51MB(benchmark::State& state) {
  FloorBuffer buf(KEYS * DIM / 2, 3);  // 4-byte floats, 8-byte words
  for (auto _ : state) {
    benchmark::DoNotOptimize(bench::read_sum(buf.data(), buf.size()));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(buf.size() * 8));
}
BENCHMARK(BM_ReadFloor51MB)->Unit(benchmark::kMillisecond);

// 100,000 keys of the shared clustered data, and 16 queries.
struct FlatFixture {
  FlatIndex index;
  std::vector<std::vector<float>> queries = bench::clustered(16, DIM, bench::QUERY_SEED);

  FlatFixture() {
    const auto keys = bench::clustered(KEYS, DIM, bench::KEY_SEED);
    for (CellId id = 1; id <= KEYS; ++id) index.insert(id, id % 4, keys[id - 1]);
    bench::dump_if_asked("flat_keys", keys);
    bench::dump_if_asked("flat_queries", queries);
  }
};

void BM_FlatSearch(benchmark::State& state) {
  FlatFixture fx;
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        fx.index.search(fx.queries[i++ % fx.queries.size()], 10, std::nullopt));
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(KEYS * DIM * 4));
  state.SetLabel(simd_level_name(active_simd_level()));
}
BENCHMARK(BM_FlatSearch)->Unit(benchmark::kMillisecond);

// The searches against both floors in the same rounds: the plain read, and the stricter one that
// prefetches ahead like the scan (its figures under "prefetch_", for information; the target is
// set against the plain floor).
void BM_FlatSearchVsFloor(benchmark::State& state) {
  FlatFixture fx;
  // A buffer each, so that neither floor finds what the other just read in the cache.
  FloorBuffer buf(KEYS * DIM / 2, 3), prefetch_buf(KEYS * DIM / 2, 3);
  size_t i = 0;
  std::array<bench::FloorRatio, 2> m;
  for (auto _ : state) {
    m = bench::measure_against_floors(
        {.rounds = 150, .batch = 1, .warmup = 0},
        [&] {
          benchmark::DoNotOptimize(
              fx.index.search(fx.queries[i++ % fx.queries.size()], 10, std::nullopt));
        },
        [&] { benchmark::DoNotOptimize(bench::read_sum(buf.data(), buf.size())); },
        [&] {
          benchmark::DoNotOptimize(
              bench::read_sum_prefetch(prefetch_buf.data(), prefetch_buf.size()));
        });
  }
  bench::report(state, m[0]);
  bench::report(state, m[1], "prefetch_");
  state.SetLabel(simd_level_name(active_simd_level()));
}
BENCHMARK(BM_FlatSearchVsFloor)->Iterations(1)->Unit(benchmark::kMillisecond);

// Single searches one after another, for the median and p99 of one search.
void BM_FlatSearchTimes(benchmark::State& state) {
  FlatFixture fx;
  size_t i = 0;
  for (auto _ : state) {
    bench::report_times(state, bench::time_each(200, 2, [&] {
      benchmark::DoNotOptimize(
          fx.index.search(fx.queries[i++ % fx.queries.size()], 10, std::nullopt));
    }));
  }
  state.SetLabel(simd_level_name(active_simd_level()));
}
BENCHMARK(BM_FlatSearchTimes)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace quellmar

BENCHMARK_MAIN();
