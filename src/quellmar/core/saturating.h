#pragma once

#include <cstdint>

namespace quellmar {

// a * b, or UINT64_MAX where the product does not fit: a huge count asks for everything.
constexpr uint64_t saturating_mul(uint64_t a, uint64_t b) {
  uint64_t product = 0;
  return __builtin_mul_overflow(a, b, &product) ? UINT64_MAX : product;
}

}  // namespace quellmar
