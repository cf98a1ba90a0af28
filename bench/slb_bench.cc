// SLB query over a full buffer of 4096 clustered keys of width 128 (k = 10), against the time to
// read the buffer's 512 KiB of codes once. BM_SlbQueryVsFloor measures both in alternating rounds with warm
// caches (the codes live in L2 between queries, and so does the floor's buffer) and reports the
// floor, the query time, their ratio and its spread.

#include <benchmark/benchmark.h>

#include <vector>

#include "bench_data.h"
#include "floor_ratio.h"
#include "quellmar/core/aligned_allocator.h"
#include "quellmar/retrieval/simd_distance.h"
#include "quellmar/retrieval/slb.h"
#include "read_floor.h"

namespace quellmar {
namespace {

constexpr size_t KEYS = 4096;
constexpr size_t DIM = 128;

// The floor reads a buffer placed like the SLB's codes (cache-line aligned).
using FloorBuffer = std::vector<uint64_t, AlignedAllocator<uint64_t>>;

void BM_ReadFloor512KiB(benchmark::State& state) {
  FloorBuffer buf(KEYS * DIM / 8, 3);
  for (auto _ : state) {
    benchmark::DoNotOptimize(bench::read_sum(buf.data(), buf.size()));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(buf.size() * 8));
}
BENCHMARK(BM_ReadFloor512KiB);

// The first 4096 keys of the shared clustered data, and 64 queries.
struct SlbFixture {
  SLB slb{KEYS, DIM};
  std::vector<std::vector<float>> queries = bench::clustered(64, DIM, bench::QUERY_SEED);

  SlbFixture() {
    const auto keys = bench::clustered(KEYS, DIM, bench::KEY_SEED);
    for (CellId id = 1; id <= KEYS; ++id) slb.insert(id, id % 4, keys[id - 1]);
    bench::dump_if_asked("slb_keys", keys);
    bench::dump_if_asked("slb_queries", queries);
  }
};

void BM_SlbQuery(benchmark::State& state) {
  SlbFixture fx;
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(fx.slb.query(fx.queries[i++ % fx.queries.size()], 10));
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(KEYS * DIM));
  state.SetLabel(simd_level_name(active_simd_level()));
}
BENCHMARK(BM_SlbQuery);

void BM_SlbQueryVsFloor(benchmark::State& state) {
  SlbFixture fx;
  FloorBuffer buf(KEYS * DIM / 8, 3);
  size_t i = 0;
  bench::FloorRatio m;
  for (auto _ : state) {
    m = bench::measure_against_floor(
        {.rounds = 2000, .batch = 15, .warmup = 1},
        [&] { benchmark::DoNotOptimize(bench::read_sum(buf.data(), buf.size())); },
        [&] { benchmark::DoNotOptimize(fx.slb.query(fx.queries[i++ % fx.queries.size()], 10)); });
  }
  bench::report(state, m);
  state.SetLabel(simd_level_name(active_simd_level()));
}
BENCHMARK(BM_SlbQueryVsFloor)->Iterations(1)->Unit(benchmark::kMillisecond);

// Single queries one after another (warm caches), for the median and p99 of one query.
void BM_SlbQueryTimes(benchmark::State& state) {
  SlbFixture fx;
  size_t i = 0;
  for (auto _ : state) {
    bench::report_times(state, bench::time_each(20000, 100, [&] {
      benchmark::DoNotOptimize(fx.slb.query(fx.queries[i++ % fx.queries.size()], 10));
    }));
  }
  state.SetLabel(simd_level_name(active_simd_level()));
}
BENCHMARK(BM_SlbQueryTimes)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace quellmar

BENCHMARK_MAIN();
