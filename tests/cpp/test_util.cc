#include "test_util.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace quellmar::testing {

TempDir::TempDir() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "qmr-test-XXXXXX").string();
  if (!::mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
  path_ = tmpl;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

void truncate_file(const std::string& path, uint64_t size) {
  std::filesystem::resize_file(path, size);
}

std::vector<float> uniform_values(std::mt19937& rng, size_t n, float lo, float hi) {
  std::uniform_real_distribution<float> dist(lo, hi);
  std::vector<float> out(n);
  for (float& x : out) x = dist(rng);
  return out;
}

}  // namespace quellmar::testing
