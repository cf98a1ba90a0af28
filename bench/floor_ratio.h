#pragma once

// Times a piece of work against its read floor in alternating rounds, so that both see the same
// machine load: each round runs one batch of the floor and one batch of the work back to back
// (which goes first alternates), and the ratio is taken per round. The result is the median over
// the rounds, with the 10th and 90th percentile of the per-round ratio as its spread.

#include <benchmark/benchmark.h>

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

template <class Floor, class Work>
FloorRatio measure_against_floor(const FloorRatioPlan& plan, Floor&& floor, Work&& work) {
  std::vector<double> floors, works, ratios, times;
  auto batch_median = [&](auto& body) {
    for (int i = 0; i < plan.warmup; ++i) body();
    times.clear();
    for (int i = 0; i < plan.batch; ++i) {
      const double t0 = now_us();
      body();
      times.push_back(now_us() - t0);
    }
    return median(times);
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
  return {median(floors), median(works), median(ratios), percentile(ratios, 0.1),
          percentile(ratios, 0.9)};
}

inline void report(benchmark::State& state, const FloorRatio& m) {
  state.counters["floor_us"] = m.floor_us;
  state.counters["work_us"] = m.work_us;
  state.counters["ratio"] = m.ratio;
  state.counters["ratio_p10"] = m.ratio_p10;
  state.counters["ratio_p90"] = m.ratio_p90;
}

}  // namespace quellmar::bench
