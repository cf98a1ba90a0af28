#pragma once

#include <cstdint>

namespace quellmar {

// IEEE 754 binary16 bits from a float: round to nearest, ties to even; values past the largest
// finite half become infinities of their sign; NaN stays NaN.
uint16_t float_to_half(float f);
// The float a binary16 value stands for, exactly.
float half_to_float(uint16_t h);

}  // namespace quellmar
