#pragma once

// Small helpers shared by the comparison benchmarks: a monotonic clock, medians and percentiles,
// and a scratch directory on the file system under test.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
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
