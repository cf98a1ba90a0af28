// Vamana build and search over keys read from files, so that another program can measure a
// different index on exactly the same data (bench/vamana_compare.py does).
//
//   build/bench/vamana_file_bench DIR [builds] [passes] [--json=PATH]
//
// DIR holds keys.f32 and queries.f32 (row-major float32) and shape.txt ("n_keys dim n_queries").
// The index is built `builds` times (default 3); the last one then answers every query `passes`
// times (default 5), k = 10, and the top 10 of every query is written to DIR/ours_top10.u64
// (node i is key row i; a short list is padded with UINT64_MAX). Prints the median build time and
// the median and 99th percentile of one search; --json writes them as records (bench_records.py).

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <span>
#include <string>
#include <vector>

#include "bench_util.h"
#include "quellmar/index/vamana_index.h"

using namespace quellmar;
using namespace quellmar::bench;

namespace {

constexpr uint64_t TOP_K = 10;

}  // namespace

int main(int argc, char** argv) {
  RecordFile records("vamana_file_bench", argc, argv);
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s DIR [builds] [passes]\n", argv[0]);
    return 2;
  }
  const std::string dir = argv[1];
  const int builds = argc > 2 ? std::atoi(argv[2]) : 3;
  const int passes = argc > 3 ? std::atoi(argv[3]) : 5;
  uint64_t n = 0, dim = 0, nq = 0;
  std::ifstream(dir + "/shape.txt") >> n >> dim >> nq;
  if (n == 0 || dim == 0 || nq == 0 || builds < 1 || passes < 1) {
    std::fprintf(stderr, "bad shape in %s/shape.txt or bad counts\n", dir.c_str());
    return 2;
  }
  const std::vector<float> keys = read_floats(dir + "/keys.f32", n * dim);
  const std::vector<float> queries = read_floats(dir + "/queries.f32", nq * dim);
  auto row = [dim](const std::vector<float>& m, uint64_t i) {
    return std::span<const float>(m.data() + i * dim, dim);
  };

  std::vector<double> build_ms;
  VamanaIndex index(dim, VAMANA_MAX_DEGREE, VAMANA_ALPHA);
  for (int b = 0; b < builds; ++b) {
    index = VamanaIndex(dim, VAMANA_MAX_DEGREE, VAMANA_ALPHA);
    for (uint64_t i = 0; i < n; ++i) index.insert_node(i + 1, row(keys, i));
    const double t0 = now_us();
    index.build();
    build_ms.push_back((now_us() - t0) / 1000);
  }

  std::vector<double> search_us;
  std::vector<uint64_t> top(nq * TOP_K, UINT64_MAX);
  for (int p = 0; p < passes; ++p) {
    for (uint64_t q = 0; q < nq; ++q) {
      const double t0 = now_us();
      const std::vector<ScoredCell> hits = index.search(row(queries, q), TOP_K, std::nullopt);
      search_us.push_back(now_us() - t0);
      for (size_t i = 0; i < hits.size() && i < TOP_K; ++i) top[q * TOP_K + i] = hits[i].cell_id - 1;
    }
  }
  std::ofstream out(dir + "/ours_top10.u64", std::ios::binary);
  out.write(reinterpret_cast<const char*>(top.data()),
            static_cast<std::streamsize>(top.size() * sizeof(uint64_t)));

  std::printf("vamana build over %llu keys of width %llu (degree %llu): median %.1f ms over %d\n",
              static_cast<unsigned long long>(n), static_cast<unsigned long long>(dim),
              static_cast<unsigned long long>(VAMANA_MAX_DEGREE), median(build_ms), builds);
  std::printf("vamana search k=10: median %.1f us  p99 %.1f us over %zu searches\n",
              median(search_us), percentile(search_us, 0.99), search_us.size());
  records.add(Record("vamana build", median(build_ms) * 1000));
  records.add(
      Record("vamana search k=10", median(search_us)).with_p99(percentile(search_us, 0.99)));
  return 0;
}
