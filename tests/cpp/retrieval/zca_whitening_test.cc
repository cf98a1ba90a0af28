#include "quellmar/retrieval/zca_whitening.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

namespace quellmar {
namespace {

TEST(ZcaWhiteningTest, WhitenedSamplesHaveIdentityCovariance) {
  const uint64_t w = 6;
  std::mt19937 rng(3);
  std::normal_distribution<float> normal;
  // Correlated samples: x = A z.
  std::vector<float> a(w * w);
  for (float& v : a) v = normal(rng);
  const int n = 4000;
  std::vector<std::vector<float>> xs(n, std::vector<float>(w, 0.0f));
  std::vector<double> mean(w, 0.0), cov(w * w, 0.0);
  for (auto& x : xs) {
    std::vector<float> z(w);
    for (float& v : z) v = normal(rng);
    for (uint64_t i = 0; i < w; ++i)
      for (uint64_t j = 0; j < w; ++j) x[i] += a[i * w + j] * z[j];
    for (uint64_t i = 0; i < w; ++i) mean[i] += x[i] / n;
  }
  for (auto& x : xs)
    for (uint64_t i = 0; i < w; ++i)
      for (uint64_t j = 0; j < w; ++j) cov[i * w + j] += (x[i] - mean[i]) * (x[j] - mean[j]) / n;
  std::vector<float> covf(cov.begin(), cov.end());
  auto basis = zca_whitening_matrix(covf, w);
  ASSERT_TRUE(basis.has_value());
  // W C W^T = I, and W is symmetric.
  for (uint64_t i = 0; i < w; ++i) {
    for (uint64_t j = 0; j < w; ++j) {
      EXPECT_NEAR((*basis)[i * w + j], (*basis)[j * w + i], 1e-4);
      double s = 0;
      for (uint64_t p = 0; p < w; ++p)
        for (uint64_t q = 0; q < w; ++q)
          s += (*basis)[i * w + p] * cov[p * w + q] * (*basis)[j * w + q];
      EXPECT_NEAR(s, i == j ? 1.0 : 0.0, 1e-3) << i << "," << j;
    }
  }
}

TEST(ZcaWhiteningTest, ZeroAndNegativeEigenvaluesUseTheFloor) {
  // diag(4, 0, -1): scaled by 1/2, 1/sqrt(1e-5), 1/sqrt(1e-5).
  std::vector<float> cov = {4, 0, 0, 0, 0, 0, 0, 0, -1};
  auto basis = zca_whitening_matrix(cov, 3);
  ASSERT_TRUE(basis.has_value());
  const float floor = static_cast<float>(1.0 / std::sqrt(1e-5));
  EXPECT_NEAR((*basis)[0], 0.5f, 1e-6);
  EXPECT_NEAR((*basis)[4], floor, floor * 1e-6);
  EXPECT_NEAR((*basis)[8], floor, floor * 1e-6);
  EXPECT_NEAR((*basis)[1], 0.0f, 1e-6);
}

TEST(ZcaWhiteningTest, UnusableInputGivesNone) {
  EXPECT_FALSE(zca_whitening_matrix({}, 0).has_value());
  std::vector<float> three(3, 1.0f);
  EXPECT_FALSE(zca_whitening_matrix(three, 2).has_value());
  std::vector<float> nan_cov = {1, 0, 0, std::numeric_limits<float>::quiet_NaN()};
  EXPECT_FALSE(zca_whitening_matrix(nan_cov, 2).has_value());
}

}  // namespace
}  // namespace quellmar
