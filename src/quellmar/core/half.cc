#include "quellmar/core/half.h"

#include <bit>

namespace quellmar {

uint16_t float_to_half(float f) {
  const uint32_t x = std::bit_cast<uint32_t>(f);
  const uint16_t sign = static_cast<uint16_t>((x >> 16) & 0x8000);
  const uint32_t exp = (x >> 23) & 0xFF;
  uint32_t mant = x & 0x7FFFFF;
  if (exp == 0xFF) {  // infinity or NaN (kept quiet, top payload bits kept)
    return static_cast<uint16_t>(sign | 0x7C00 | (mant ? (0x200 | (mant >> 13)) : 0));
  }
  const int32_t e = static_cast<int32_t>(exp) - 127 + 15;
  if (e >= 0x1F) return static_cast<uint16_t>(sign | 0x7C00);
  if (e <= 0) {
    // Subnormal half (or zero): shift the full significand into place, rounding to even.
    if (e < -10) return sign;
    mant |= 0x800000;
    const uint32_t shift = static_cast<uint32_t>(14 - e);
    uint32_t h = mant >> shift;
    const uint32_t rem = mant & ((1u << shift) - 1);
    const uint32_t half = 1u << (shift - 1);
    if (rem > half || (rem == half && (h & 1))) ++h;
    return static_cast<uint16_t>(sign | h);
  }
  uint32_t h = (static_cast<uint32_t>(e) << 10) | (mant >> 13);
  const uint32_t rem = mant & 0x1FFF;
  if (rem > 0x1000 || (rem == 0x1000 && (h & 1))) ++h;  // may carry into the exponent: still right
  return static_cast<uint16_t>(sign | h);
}

float half_to_float(uint16_t h) {
  const uint32_t sign = static_cast<uint32_t>(h & 0x8000) << 16;
  const uint32_t exp = (h >> 10) & 0x1F;
  uint32_t mant = h & 0x3FF;
  uint32_t bits;
  if (exp == 0) {
    if (mant == 0) {
      bits = sign;
    } else {  // subnormal: normalise
      int e = -1;
      do {
        ++e;
        mant <<= 1;
      } while ((mant & 0x400) == 0);
      bits = sign | (static_cast<uint32_t>(127 - 15 - e) << 23) | ((mant & 0x3FF) << 13);
    }
  } else if (exp == 0x1F) {
    bits = sign | 0x7F800000 | (mant << 13);
  } else {
    bits = sign | ((exp + 127 - 15) << 23) | (mant << 13);
  }
  return std::bit_cast<float>(bits);
}

}  // namespace quellmar
