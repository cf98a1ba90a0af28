#pragma once

// Times a piece of work against its read floor in alternating rounds, so that both see the same
// machine load: each round runs one batch of the floor and one batch of the work back to back
// (which goes first alternates), and the ratio is taken per round. The result is the median over
// the rounds, with the 10th and 90th percentile of the per-round ratio as its spread.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <string>
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

// The work against several floors in the same rounds: each round runs one batch of every floor
// and one of the work, in an order that rotates by one place each round, and each floor's ratio
// is taken against the work of its own round. With one floor the order alternates, floor first.
template <class Work, class... Floors>
std::array<FloorRatio, sizeof...(Floors)> measure_against_floors(const FloorRatioPlan& plan,
                                                                 Work&& work, Floors&&... floor) {
  constexpr size_t N = sizeof...(Floors);
  std::array<std::vector<double>, N> floors, ratios;
  std::vector<double> works, times;
  for (size_t j = 0; j < N; ++j) {
    floors[j].reserve(static_cast<size_t>(plan.rounds));
    ratios[j].reserve(static_cast<size_t>(plan.rounds));
  }
  works.reserve(static_cast<size_t>(plan.rounds));
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
  // Part j < N is floor j, part N the work.
  std::array<double, N> f{};
  double w = 0;
  auto run_part = [&](size_t part) {
    if (part == N) {
      w = batch_median(work);
      return;
    }
    size_t j = 0;
    ((j++ == part ? (void)(f[part] = batch_median(floor)) : (void)0), ...);
  };
  for (int r = 0; r < plan.rounds; ++r) {
    for (size_t i = 0; i <= N; ++i) run_part((static_cast<size_t>(r) + i) % (N + 1));
    works.push_back(w);
    for (size_t j = 0; j < N; ++j) {
      floors[j].push_back(f[j]);
      ratios[j].push_back(w / f[j]);
    }
  }
  const double work_us = sorted_percentile(works, 0.5);
  std::array<FloorRatio, N> out;
  for (size_t j = 0; j < N; ++j) {
    const double p10 = sorted_percentile(ratios[j], 0.1), p90 = sorted_percentile(ratios[j], 0.9);
    out[j] = {sorted_percentile(floors[j], 0.5), work_us, sorted_percentile(ratios[j], 0.5), p10,
              p90};
  }
  return out;
}

template <class Floor, class Work>
FloorRatio measure_against_floor(const FloorRatioPlan& plan, Floor&& floor, Work&& work) {
  return measure_against_floors(plan, work, floor)[0];
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

// The figures as counters, their names led by `prefix`.
inline void report(benchmark::State& state, const FloorRatio& m, const std::string& prefix = "") {
  state.counters[prefix + "floor_us"] = m.floor_us;
  state.counters[prefix + "work_us"] = m.work_us;
  state.counters[prefix + "ratio"] = m.ratio;
  state.counters[prefix + "ratio_p10"] = m.ratio_p10;
  state.counters[prefix + "ratio_p90"] = m.ratio_p90;
}

}  // namespace quellmar::bench
