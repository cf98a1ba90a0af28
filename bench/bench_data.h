#pragma once

// The synthetic data of the retrieval benchmarks: keys scattered around random cluster centres.
// Every benchmark draws from the same stream, so that a smaller set is a prefix of a larger one
// (the SLB's 4096 keys are the flat index's first 4096). When QM_BENCH_DATA_DIR is set, a
// benchmark also writes the vectors it uses there as raw little-endian f32, row after row
// (<name>.f32), for comparison scripts to load.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace quellmar::bench {

constexpr size_t CLUSTERS = 100;
constexpr float CLUSTER_NOISE = 0.4f;
constexpr uint32_t KEY_SEED = 1;
constexpr uint32_t QUERY_SEED = 2;

// n points of width dim around `clusters` centres (drawn from a fixed seed, so keys and queries
// share them) with Gaussian noise of the given scale; 1 centre at the origin with noise 1 gives
// plain Gaussian data.
inline std::vector<std::vector<float>> clustered(size_t n, size_t dim, uint32_t seed,
                                                 size_t clusters = CLUSTERS,
                                                 float noise = CLUSTER_NOISE) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> normal(0.0f, 1.0f);
  std::mt19937 centre_rng(7);
  std::vector<std::vector<float>> centres(clusters, std::vector<float>(dim, 0.0f));
  if (clusters > 1) {
    for (auto& c : centres)
      for (float& x : c) x = normal(centre_rng);
  }
  std::vector<std::vector<float>> out(n, std::vector<float>(dim));
  for (auto& p : out) {
    const auto& c = centres[rng() % clusters];
    for (size_t t = 0; t < dim; ++t) p[t] = c[t] + noise * normal(rng);
  }
  return out;
}

// Writes the vectors to $QM_BENCH_DATA_DIR/<name>.f32 when that variable is set, once per name
// and process (fixtures built again for each benchmark skip the write).
inline void dump_if_asked(const std::string& name, const std::vector<std::vector<float>>& rows) {
  const char* dir = std::getenv("QM_BENCH_DATA_DIR");
  static std::set<std::string> written;
  if (!dir || !written.insert(name).second) return;
  const std::string path = std::string(dir) + "/" + name + ".f32";
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) {
    std::fprintf(stderr, "cannot write %s\n", path.c_str());
    std::exit(1);
  }
  for (const auto& r : rows) std::fwrite(r.data(), sizeof(float), r.size(), f);
  std::fclose(f);
}

}  // namespace quellmar::bench
