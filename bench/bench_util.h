#pragma once

// Small helpers shared by the comparison benchmarks: a monotonic clock, medians and percentiles,
// float files written by the Python drivers, and a scratch directory on the file system under
// test.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace quellmar::bench {

inline double now_us() {
  using namespace std::chrono;
  return duration<double, std::micro>(steady_clock::now().time_since_epoch()).count();
}

inline double percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0.0;
  std::sort(v.begin(), v.end());
  const size_t i = std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())));
  return v[i];
}

inline double median(const std::vector<double>& v) { return percentile(v, 0.5); }

// n row-major float32 values from a file; a short file ends the benchmark.
inline std::vector<float> read_floats(const std::string& path, size_t n) {
  std::vector<float> out(n);
  std::ifstream in(path, std::ios::binary);
  in.read(reinterpret_cast<char*>(out.data()), static_cast<std::streamsize>(n * sizeof(float)));
  if (!in) {
    std::fprintf(stderr, "cannot read %zu floats from %s\n", n, path.c_str());
    std::exit(1);
  }
  return out;
}

// A fresh directory under $QMR_BENCH_DIR (default: ./bench-scratch), removed at exit of scope.
class ScratchDir {
 public:
  explicit ScratchDir(const std::string& name) {
    const char* base = std::getenv("QMR_BENCH_DIR");
    path_ = std::string(base ? base : "bench-scratch") + "/" + name;
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
  }
  ~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace quellmar::bench
