#include "test_util.h"

#include <unistd.h>

#include <algorithm>
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

namespace {

// The files that keep what was cut off `name`, with the offset each names.
std::vector<std::pair<uint64_t, std::string>> cut_copies(const std::string& dir,
                                                         const std::string& name) {
  std::vector<std::pair<uint64_t, std::string>> out;
  const std::string prefix = name + ".cut-";
  for (const auto& e : std::filesystem::directory_iterator(dir)) {
    const std::string file = e.path().filename().string();
    if (file.compare(0, prefix.size(), prefix) != 0) continue;
    out.emplace_back(std::strtoull(file.c_str() + prefix.size(), nullptr, 10), e.path().string());
  }
  return out;
}

}  // namespace

size_t cut_files(const std::string& dir, const std::string& name) {
  return cut_copies(dir, name).size();
}

std::string lost_bytes(const std::string& dir, const std::string& name, const std::string& before) {
  const std::string now = read_file(dir + "/" + name);
  const auto copies = cut_copies(dir, name);
  // The file holds `before` up to the first cut (bytes appended since may follow it).
  size_t kept = std::min(now.size(), before.size());
  for (const auto& [offset, path] : copies) kept = std::min<size_t>(kept, offset);
  if (now.compare(0, kept, before, 0, kept) != 0) return name + " was changed in place";
  // Mark what the file and its cut copies hold, each compared byte for byte.
  std::vector<bool> held(before.size(), false);
  std::fill(held.begin(), held.begin() + static_cast<std::ptrdiff_t>(kept), true);
  for (const auto& [offset, path] : copies) {
    const std::string copy = read_file(path);
    if (offset > before.size() || before.compare(offset, copy.size(), copy) != 0) {
      return path + " holds bytes that were not in " + name;
    }
    for (size_t i = 0; i < copy.size(); ++i) held[offset + i] = true;
  }
  const auto gap = std::find(held.begin(), held.end(), false);
  if (gap == held.end()) return "";
  return name + ": byte " + std::to_string(gap - held.begin()) + " of " +
         std::to_string(before.size()) + " is gone";
}

std::vector<float> uniform_values(std::mt19937& rng, size_t n, float lo, float hi) {
  std::uniform_real_distribution<float> dist(lo, hi);
  std::vector<float> out(n);
  for (float& x : out) x = dist(rng);
  return out;
}

std::vector<std::vector<float>> normal_rows(std::mt19937& rng, size_t n, size_t width) {
  std::normal_distribution<float> normal;
  std::vector<std::vector<float>> rows(n, std::vector<float>(width));
  for (auto& r : rows) {
    for (float& v : r) v = normal(rng);
  }
  return rows;
}

std::vector<std::vector<float>> random_keys(size_t n, size_t width, int spread, uint32_t seed) {
  std::mt19937 rng(seed);
  if (spread <= 0) return normal_rows(rng, n, width);
  std::uniform_int_distribution<int> whole(-spread, spread);
  std::vector<std::vector<float>> keys(n, std::vector<float>(width));
  for (auto& k : keys) {
    for (float& x : k) x = static_cast<float>(whole(rng));
  }
  return keys;
}

std::vector<float> exact_q4_values(uint64_t seed, size_t n) {
  std::vector<float> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<float>((seed * 7 + i * 3) % 15) - 7.0f;
  for (size_t g = 0; g < n; g += 32) v[g] = 7.0f;
  return v;
}

CellRecord sample_record(CellId id, size_t key_len, size_t value_len) {
  CellRecord r;
  r.cell_id = id;
  r.owner = 100 + id;
  r.layer = static_cast<LayerIdx>(id % 5);
  r.key = exact_q4_values(id, key_len);
  r.value = exact_q4_values(id + 1000, value_len);
  r.extra = {0.25f * static_cast<float>(id % 64)};
  r.pack_id = 1000 + id / 3;
  r.view_tag = id % 2 ? VIEW_KEY_TAG : 0;
  r.created_at_ns = 5000 + id;
  r.updated_at_ns = 6000 + id;
  r.importance = 10.0f + 0.5f * static_cast<float>(id % 128);
  r.aux32 = 7 + static_cast<uint32_t>(id % 1000);
  r.tier = static_cast<uint8_t>(id % 3);
  return r;
}

void expect_same_record(const CellRecord& got, const CellRecord& want) {
  EXPECT_EQ(got.cell_id, want.cell_id);
  EXPECT_EQ(got.owner, want.owner);
  EXPECT_EQ(got.layer, want.layer);
  EXPECT_EQ(got.key, want.key);
  EXPECT_EQ(got.value, want.value);
  EXPECT_EQ(got.extra, want.extra);
  EXPECT_EQ(got.pack_id, want.pack_id);
  EXPECT_EQ(got.view_tag, want.view_tag);
  EXPECT_EQ(got.created_at_ns, want.created_at_ns);
  EXPECT_EQ(got.updated_at_ns, want.updated_at_ns);
  EXPECT_EQ(got.importance, want.importance);
  EXPECT_EQ(got.aux32, want.aux32);
  EXPECT_EQ(got.tier, want.tier);
}

std::vector<CellId> ids_of(const std::vector<ScoredCell>& hits) {
  std::vector<CellId> out;
  out.reserve(hits.size());
  for (const ScoredCell& h : hits) out.push_back(h.cell_id);
  return out;
}

}  // namespace quellmar::testing
