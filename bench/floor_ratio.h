#pragma once

// Times a piece of work against its read floor in alternating rounds, so that both see the same
// machine load: each round runs one batch of the floor and one batch of the work back to back
// (which goes first alternates), and the ratio is taken per round. The result is the median over
// the rounds, with the 10th and 90th percentile of the per-round ratio as its spread.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <vector>

#include "bench_util.h"

namespace quellmar::bench {

struct FloorRatio {
  double floor_us = 0, work_us = 0, ratio = 0, ratio_p10 = 0, ratio_p90 = 0;
};

struct FloorRatioPlan {
  int rounds = 200;
  // Timed runs per batch, each timed on its own; the batch's median is the round's figure.
  int batch = 1;
  // Untimed runs before each batch: 1 to measure with warm caches, 0 for a cold read each time.
  int warmup = 0;
};

// The p-th percentile of v as bench_util.h takes it, sorting v in place.
inline double sorted_percentile(std::vector<double>& v, double p) {
  if (v.empty()) return 0.0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

template <class Floor, class Work>
FloorRatio measure_against_floor(const FloorRatioPlan& plan, Floor&& floor, Work&& work) {
  std::vector<double> floors, works, ratios, times;
  floors.reserve(static_cast<size_t>(plan.rounds));
  works.reserve(static_cast<size_t>(plan.rounds));
  ratios.reserve(static_cast<size_t>(plan.rounds));
  times.reserve(static_cast<size_t>(plan.batch));
  auto batch_median = [&](auto& body) {
    for (int i = 0; i < plan.warmup; ++i) body();
    times.clear();
    for (int i = 0; i < plan.batch; ++i) {
      const double t0 = now_us();
      body();
      times.push_back(now_us() - t0);
    }
    return sorted_percentile(times, 0.5);
  };
  for (int r = 0; r < plan.rounds; ++r) {
    double f, w;
    if (r % 2 == 0) {
      f = batch_median(floor);
      w = batch_median(work);
    } else {
      w = batch_median(work);
      f = batch_median(floor);
    }
    floors.push_back(f);
    works.push_back(w);
    ratios.push_back(w / f);
  }
  const double p10 = sorted_percentile(ratios, 0.1), p90 = sorted_percentile(ratios, 0.9);
  return {sorted_percentile(floors, 0.5), sorted_percentile(works, 0.5),
          sorted_percentile(ratios, 0.5), p10, p90};
}

// Median and 99th percentile of single timed runs, as counters.
inline void report_times(benchmark::State& state, std::vector<double> times_us) {
  state.counters["median_us"] = sorted_percentile(times_us, 0.5);
  state.counters["p99_us"] = sorted_percentile(times_us, 0.99);
}

// Times `runs` runs of work one by one, after `warmup` untimed ones.
template <class Work>
std::vector<double> time_each(int runs, int warmup, Work&& work) {
  for (int i = 0; i < warmup; ++i) work();
  std::vector<double> times;
  times.reserve(static_cast<size_t>(runs));
  for (int i = 0; i < runs; ++i) {
    const double t0 = now_us();
    work();
    times.push_back(now_us() - t0);
  }
  return times;
}

inline void report(benchmark::State& state, const FloorRatio& m) {
  state.counters["floor_us"] = m.floor_us;
  state.counters["work_us"] = m.work_us;
  state.counters["ratio"] = m.ratio;
  state.counters["ratio_p10"] = m.ratio_p10;
  state.counters["ratio_p90"] = m.ratio_p90;
}

}  // namespace quellmar::bench
