#include "quellmar/retrieval/zca_whitening.h"

#include <Eigen/Dense>
#include <cmath>

namespace quellmar {

std::optional<std::vector<float>> zca_whitening_matrix(std::span<const float> cov, uint64_t w) {
  if (w == 0 || cov.size() != w * w) return std::nullopt;
  const Eigen::Index n = static_cast<Eigen::Index>(w);
  Eigen::MatrixXd a(n, n);
  for (Eigen::Index i = 0; i < n; ++i) {
    for (Eigen::Index j = 0; j < n; ++j) a(i, j) = static_cast<double>(cov[i * n + j]);
  }
  if (!a.allFinite()) return std::nullopt;
  Eigen::SelfAdjointEigenSolver<Eigen::MatrixXd> solver(a, Eigen::ComputeEigenvectors);
  if (solver.info() != Eigen::Success) return std::nullopt;
  Eigen::VectorXd inv_sqrt(n);
  for (Eigen::Index k = 0; k < n; ++k) {
    const double lambda = solver.eigenvalues()(k);
    const double floored = std::isnan(lambda) || lambda < WHITENING_EIGENVALUE_FLOOR
                               ? WHITENING_EIGENVALUE_FLOOR
                               : lambda;
    inv_sqrt(k) = 1.0 / std::sqrt(floored);
  }
  const Eigen::MatrixXd& v = solver.eigenvectors();
  const Eigen::MatrixXd basis = v * inv_sqrt.asDiagonal() * v.transpose();
  std::vector<float> out(w * w);
  for (Eigen::Index i = 0; i < n; ++i) {
    for (Eigen::Index j = 0; j < n; ++j) out[i * n + j] = static_cast<float>(basis(i, j));
  }
  return out;
}

}  // namespace quellmar
