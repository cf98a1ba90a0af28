#pragma once

// Small helpers shared by the comparison benchmarks: a monotonic clock, medians and percentiles,
// float files written by the Python drivers, a scratch directory on the file system under test,
// and the records a benchmark writes for bench/run_all.py (the schema is in bench_records.py).

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <utility>
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

// One measured figure; times in microseconds (unit "us"), other numbers with unit "value".
struct Record {
  std::string measure;
  double median = 0.0;
  std::optional<double> p99;
  std::string vs;  // the comparison; none when empty
  std::optional<double> vs_median, vs_p99, ratio;
  std::string target;  // such as "<= 1.3"; none when empty
  std::vector<std::pair<std::string, double>> extra;
  std::vector<std::pair<std::string, double>> params;
  std::string unit = "us";

  Record(std::string m, double med) : measure(std::move(m)), median(med) {}
  Record& with_p99(double v) {
    p99 = v;
    return *this;
  }
  Record& against(std::string name, double med, std::optional<double> p = std::nullopt) {
    vs = std::move(name);
    vs_median = med;
    vs_p99 = p;
    return *this;
  }
  Record& with_target(std::string t) {
    target = std::move(t);
    return *this;
  }
  Record& with_extra(std::string name, double v) {
    extra.emplace_back(std::move(name), v);
    return *this;
  }
  Record& with_param(std::string name, double v) {
    params.emplace_back(std::move(name), v);
    return *this;
  }
};

// The records of one run, written as JSON to the path of a `--json=PATH` argument when the
// program ends (nothing without one). The constructor takes that argument out of argv.
class RecordFile {
 public:
  RecordFile(std::string bench, int& argc, char** argv) : bench_(std::move(bench)) {
    int out = 1;
    for (int i = 1; i < argc; ++i) {
      const std::string arg = argv[i];
      if (arg.rfind("--json=", 0) == 0) {
        path_ = arg.substr(7);
      } else {
        argv[out++] = argv[i];
      }
    }
    argc = out;
  }
  RecordFile(const RecordFile&) = delete;
  RecordFile& operator=(const RecordFile&) = delete;
  ~RecordFile() { write(); }

  void add(Record r) { records_.push_back(std::move(r)); }

  void write() const {
    if (path_.empty()) return;
    std::ofstream out(path_, std::ios::trunc);
    out << "{\"bench\": " << quoted(bench_) << ", \"records\": [";
    for (size_t i = 0; i < records_.size(); ++i) {
      const Record& r = records_[i];
      out << (i ? ",\n " : "\n ") << "{\"measure\": " << quoted(r.measure)
          << ", \"unit\": " << quoted(r.unit) << ", \"median\": " << number(r.median);
      if (r.p99) out << ", \"p99\": " << number(*r.p99);
      if (!r.vs.empty()) out << ", \"vs\": " << quoted(r.vs);
      if (r.vs_median) out << ", \"vs_median\": " << number(*r.vs_median);
      if (r.vs_p99) out << ", \"vs_p99\": " << number(*r.vs_p99);
      if (r.ratio) out << ", \"ratio\": " << number(*r.ratio);
      if (!r.target.empty()) out << ", \"target\": " << quoted(r.target);
      if (!r.extra.empty()) out << ", \"extra\": " << object(r.extra);
      if (!r.params.empty()) out << ", \"params\": " << object(r.params);
      out << "}";
    }
    out << "]}\n";
  }

 private:
  // Labels are plain text: only quotes and backslashes need escaping.
  static std::string quoted(const std::string& s) {
    std::string out = "\"";
    for (char c : s) {
      if (c == '"' || c == '\\') out += '\\';
      out += c;
    }
    return out + "\"";
  }
  static std::string number(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.17g", v);
    return buf;
  }
  static std::string object(const std::vector<std::pair<std::string, double>>& fields) {
    std::string out = "{";
    for (size_t i = 0; i < fields.size(); ++i) {
      out += (i ? ", " : "") + quoted(fields[i].first) + ": " + number(fields[i].second);
    }
    return out + "}";
  }

  std::string bench_;
  std::string path_;
  std::vector<Record> records_;
};

}  // namespace quellmar::bench
