// Per-token search over a tiered store that holds every entry, and the whitening basis.
//
// Data: with QM_PER_TOKEN_BENCH_DATA=<dir> the entries and queries are read from
// <dir>/entries.f32 and <dir>/queries.f32 (row-major float32, shapes in <dir>/shape.txt as
// "n_entries n_tokens dim n_queries"), and the top 10 of every query is written to
// <dir>/ours_top10.u64 after the benchmarks ran. Without it, clustered data of the same shape
// is generated here. bench/per_token_compare.py drives both sides and compares with NumPy.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "bench_util.h"
#include "quellmar/retrieval/key_view.h"
#include "quellmar/retrieval/per_token_retriever.h"
#include "quellmar/retrieval/zca_whitening.h"

namespace quellmar {
namespace {

constexpr uint64_t TOP_K = 10;

struct Data {
  uint64_t n_entries = 10000;
  uint64_t n_tokens = 32;
  uint64_t dim = 128;
  uint64_t n_queries = 64;
  std::vector<float> entries;  // n_entries * n_tokens * dim
  std::vector<float> queries;  // n_queries * n_tokens * dim
};

// Entries drawn around 100 cluster centres; queries are noisy token sets of a cluster.
void generate(Data& d) {
  std::mt19937 rng(42);
  std::normal_distribution<float> normal;
  const uint64_t clusters = 100;
  std::vector<float> centres(clusters * d.dim);
  for (float& v : centres) v = normal(rng);
  auto fill = [&](std::vector<float>& out, uint64_t n) {
    out.resize(n * d.n_tokens * d.dim);
    for (uint64_t e = 0; e < n; ++e) {
      const float* c = centres.data() + (rng() % clusters) * d.dim;
      for (uint64_t t = 0; t < d.n_tokens; ++t)
        for (uint64_t x = 0; x < d.dim; ++x)
          out[(e * d.n_tokens + t) * d.dim + x] = c[x] + 0.8f * normal(rng);
    }
  };
  fill(d.entries, d.n_entries);
  fill(d.queries, d.n_queries);
}

const Data& data() {
  static const Data d = [] {
    Data d;
    if (const char* dir = std::getenv("QM_PER_TOKEN_BENCH_DATA")) {
      std::ifstream shape(std::string(dir) + "/shape.txt");
      shape >> d.n_entries >> d.n_tokens >> d.dim >> d.n_queries;
      const size_t per = d.n_tokens * d.dim;
      d.entries = bench::read_floats(std::string(dir) + "/entries.f32", d.n_entries * per);
      d.queries = bench::read_floats(std::string(dir) + "/queries.f32", d.n_queries * per);
    } else {
      generate(d);
    }
    return d;
  }();
  return d;
}

std::vector<float> encoded(const float* rows, uint64_t n_tokens, uint64_t dim) {
  std::vector<float> key(ENCODING_HEADER_SIZE + n_tokens * dim, 0.0f);
  key[0] = ENCODING_SENTINEL;
  key[ENCODING_DIM_IDX] = static_cast<float>(dim);
  std::copy_n(rows, n_tokens * dim, key.begin() + ENCODING_HEADER_SIZE);
  return key;
}

// The engine's configuration: tiered, a token cache of 512, a tier that holds every entry.
struct Store {
  PerTokenRetriever retriever{PerTokenAggregation::TopNMean, PerTokenConfig{}, TOKEN_CACHE_CAPACITY,
                              DEFAULT_INT8_TIER_CAPACITY, false};
  std::vector<std::vector<float>> queries;

  Store() {
    const Data& d = data();
    const size_t per = d.n_tokens * d.dim;
    for (uint64_t e = 0; e < d.n_entries; ++e) {
      retriever.insert(e, 0, encoded(d.entries.data() + e * per, d.n_tokens, d.dim));
    }
    for (uint64_t q = 0; q < d.n_queries; ++q) {
      queries.push_back(encoded(d.queries.data() + q * per, d.n_tokens, d.dim));
    }
  }

  std::optional<std::vector<float>> operator()(CellId id) const {
    const Data& d = data();
    const size_t per = d.n_tokens * d.dim;
    return encoded(d.entries.data() + id * per, d.n_tokens, d.dim);
  }
};

Store& store() {
  static Store s;
  return s;
}

void BM_PerTokenSearch(benchmark::State& state) {
  Store& s = store();
  KeyFetcher fetch(s);
  size_t q = 0;
  for (auto _ : state) {
    auto hits = s.retriever.search_with_fetcher(s.queries[q], TOP_K, std::nullopt, nullptr, fetch);
    benchmark::DoNotOptimize(hits);
    q = (q + 1) % s.queries.size();
  }
  state.counters["entries"] = static_cast<double>(data().n_entries);
}
BENCHMARK(BM_PerTokenSearch)->Unit(benchmark::kMillisecond);

// A covariance of width w from correlated samples.
std::vector<float> sample_covariance(uint64_t w) {
  std::mt19937 rng(7);
  std::normal_distribution<float> normal;
  const int n = 4 * static_cast<int>(w);
  std::vector<float> xs(n * w);
  for (float& v : xs) v = normal(rng);
  for (int i = 0; i < n; ++i)
    for (uint64_t x = 1; x < w; ++x) xs[i * w + x] += 0.5f * xs[i * w + x - 1];
  std::vector<float> cov(w * w, 0.0f);
  for (int i = 0; i < n; ++i)
    for (uint64_t a = 0; a < w; ++a)
      for (uint64_t b = 0; b < w; ++b) cov[a * w + b] += xs[i * w + a] * xs[i * w + b] / n;
  return cov;
}

void BM_ZcaWhiteningMatrix(benchmark::State& state) {
  const uint64_t w = static_cast<uint64_t>(state.range(0));
  const std::vector<float> cov = sample_covariance(w);
  for (auto _ : state) {
    auto basis = zca_whitening_matrix(cov, w);
    benchmark::DoNotOptimize(basis);
  }
}
BENCHMARK(BM_ZcaWhiteningMatrix)->Arg(128)->Unit(benchmark::kMillisecond);

// The retriever's whole path after an insert: covariance from the second moment, then the basis.
void BM_WhiteningBasisAfterInsert(benchmark::State& state) {
  const uint64_t w = static_cast<uint64_t>(state.range(0));
  PerTokenRetriever r(PerTokenAggregation::TopNMean, PerTokenConfig{}, 512, 32768, false);
  r.enable_corpus_stats();
  std::mt19937 rng(9);
  std::normal_distribution<float> normal;
  std::vector<float> rows(32 * w);
  for (int e = 0; e < 64; ++e) {
    for (float& v : rows) v = normal(rng);
    r.insert(e, 0, encoded(rows.data(), 32, w));
  }
  std::vector<float> one(w);
  CellId next = 1000;
  for (auto _ : state) {
    state.PauseTiming();
    for (float& v : one) v = normal(rng);
    r.insert(next++, 0, encoded(one.data(), 1, w));
    state.ResumeTiming();
    auto basis = r.whitening_basis();
    benchmark::DoNotOptimize(basis);
  }
}
BENCHMARK(BM_WhiteningBasisAfterInsert)->Arg(128)->Unit(benchmark::kMillisecond);

void write_top10() {
  const char* dir = std::getenv("QM_PER_TOKEN_BENCH_DATA");
  if (dir == nullptr) return;
  Store& s = store();
  KeyFetcher fetch(s);
  std::vector<uint64_t> ids(s.queries.size() * TOP_K, UINT64_MAX);
  for (size_t q = 0; q < s.queries.size(); ++q) {
    auto hits = s.retriever.search_with_fetcher(s.queries[q], TOP_K, std::nullopt, nullptr, fetch);
    for (size_t i = 0; i < hits.size(); ++i) ids[q * TOP_K + i] = hits[i].cell_id;
  }
  std::ofstream out(std::string(dir) + "/ours_top10.u64", std::ios::binary);
  out.write(reinterpret_cast<const char*>(ids.data()),
            static_cast<std::streamsize>(ids.size() * sizeof(uint64_t)));
}

}  // namespace
}  // namespace quellmar

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  quellmar::write_top10();
  return 0;
}
