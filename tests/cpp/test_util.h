#pragma once

// Assertions that understand Status and Result, a temporary directory per test, and the records,
// values and hit lists that tests of several components build and compare.

#include <gtest/gtest.h>

#include <random>
#include <span>
#include <string>
#include <vector>

#include "quellmar/core/result.h"
#include "quellmar/core/types.h"
#include "quellmar/retrieval/vector_index.h"
#include "quellmar/storage/cell_record.h"

#define QM_ASSERT_OK(expr)                                                         \
  do {                                                                             \
    auto&& qm_s_ = (expr);                                                         \
    ASSERT_TRUE(qm_s_.is_ok()) << #expr << " failed: " << qm_s_.error().message(); \
  } while (false)

#define QM_EXPECT_OK(expr)                                                         \
  do {                                                                             \
    auto&& qm_s_ = (expr);                                                         \
    EXPECT_TRUE(qm_s_.is_ok()) << #expr << " failed: " << qm_s_.error().message(); \
  } while (false)

#define QM_ASSERT_OK_AND_ASSIGN(lhs, expr) \
  QM_ASSERT_OK_AND_ASSIGN_IMPL(QM_CONCAT(qm_r_, __LINE__), lhs, expr)
#define QM_ASSERT_OK_AND_ASSIGN_IMPL(tmp, lhs, expr)                         \
  auto tmp = (expr);                                                         \
  ASSERT_TRUE(tmp.is_ok()) << #expr << " failed: " << tmp.error().message(); \
  lhs = std::move(tmp).value()

// Asserts that expr failed with the given EngineError::Code and, when non-empty, that message.
#define QM_ASSERT_ERROR(code_, message_, expr)                             \
  do {                                                                     \
    auto&& qm_s_ = (expr);                                                 \
    ASSERT_FALSE(qm_s_.is_ok()) << #expr << " succeeded";                  \
    EXPECT_EQ(qm_s_.error().code(), ::quellmar::EngineError::Code::code_); \
    if (std::string(message_).size()) {                                    \
      EXPECT_EQ(qm_s_.error().message(), message_);                        \
    }                                                                      \
  } while (false)

namespace quellmar::testing {

// A fresh directory under the system's temporary folder, removed with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Whole-file helpers for tests that look at or damage the bytes on disk.
std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& bytes);
void truncate_file(const std::string& path, uint64_t size);
// Whether every byte of `before` (what the file `name` of `dir` held) is still in the directory:
// in the file itself (which may have grown since) or in the files "<name>.cut-<offset>[.<n>]"
// that repairs keep what they cut in. Returns what is missing, or "" when nothing is.
std::string lost_bytes(const std::string& dir, const std::string& name, const std::string& before);
// How many "<name>.cut-..." files `dir` holds.
size_t cut_files(const std::string& dir, const std::string& name);

// n values drawn uniformly from [lo, hi).
std::vector<float> uniform_values(std::mt19937& rng, size_t n, float lo, float hi);
// n rows of `width` values drawn from the standard normal distribution, row by row.
std::vector<std::vector<float>> normal_rows(std::mt19937& rng, size_t n, size_t width);
// n keys of `width` values drawn from mt19937(seed): standard normal ones, or with `spread` whole
// numbers in [-spread, spread] (many equal scores).
std::vector<std::vector<float>> random_keys(size_t n, size_t width, int spread, uint32_t seed);

// n whole numbers from -7 to 7 that follow from `seed`, with a 7 leading every group of 32: the
// 4-bit codes hold them exactly.
std::vector<float> exact_q4_values(uint64_t seed, size_t n);

// A record whose every field follows from its id, so that a record read back under another id,
// or with a field of another record, shows: key_len key and value_len value values of
// exact_q4_values (read back as they are), one extra value, a view tag on odd ids, and distinct
// times, importance and aux32.
CellRecord sample_record(CellId id, size_t key_len = 8, size_t value_len = 16);
// Expects every field of `got` to equal that of `want`.
void expect_same_record(const CellRecord& got, const CellRecord& want);

// The cell ids of hits, in their order.
std::vector<CellId> ids_of(const std::vector<ScoredCell>& hits);

// A copy of viewed values, for comparing them with a vector.
inline std::vector<float> values_of(std::span<const float> v) { return {v.begin(), v.end()}; }

}  // namespace quellmar::testing
