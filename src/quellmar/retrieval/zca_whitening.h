#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace quellmar {

// Eigenvalues below this (and NaN eigenvalues) are replaced by it before the inverse square root.
inline constexpr double WHITENING_EIGENVALUE_FLOOR = 1e-5;

// The ZCA whitening matrix of a w x w covariance (row-major): V diag(1 / sqrt(max(l, 1e-5))) V^T
// from the self-adjoint eigendecomposition of the covariance in double precision, returned as
// w x w floats, row-major. None when w is 0, `cov` does not hold w x w values or the
// decomposition fails.
std::optional<std::vector<float>> zca_whitening_matrix(std::span<const float> cov, uint64_t w);

}  // namespace quellmar
