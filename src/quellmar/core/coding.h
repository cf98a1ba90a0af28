#pragma once

// Little-endian encoding of fixed-width fields. Every on-disk format of the system is written and
// read through these, never by copying a struct.

#include <bit>
#include <cstdint>
#include <cstring>
#include <string>

namespace quellmar {

static_assert(std::endian::native == std::endian::little,
              "the formats assume a little-endian host");

inline void encode_u16(uint8_t* p, uint16_t v) { std::memcpy(p, &v, 2); }
inline void encode_u32(uint8_t* p, uint32_t v) { std::memcpy(p, &v, 4); }
inline void encode_u64(uint8_t* p, uint64_t v) { std::memcpy(p, &v, 8); }
inline void encode_f32(uint8_t* p, float v) { std::memcpy(p, &v, 4); }

inline uint16_t decode_u16(const uint8_t* p) {
  uint16_t v;
  std::memcpy(&v, p, 2);
  return v;
}
inline uint32_t decode_u32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}
inline uint64_t decode_u64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}
inline float decode_f32(const uint8_t* p) {
  float v;
  std::memcpy(&v, p, 4);
  return v;
}

// Appends fixed-width fields to a byte string.
inline void put_u8(std::string& out, uint8_t v) { out.push_back(static_cast<char>(v)); }
inline void put_u16(std::string& out, uint16_t v) {
  out.append(reinterpret_cast<const char*>(&v), 2);
}
inline void put_u32(std::string& out, uint32_t v) {
  out.append(reinterpret_cast<const char*>(&v), 4);
}
inline void put_u64(std::string& out, uint64_t v) {
  out.append(reinterpret_cast<const char*>(&v), 8);
}
inline void put_f32(std::string& out, float v) { out.append(reinterpret_cast<const char*>(&v), 4); }

}  // namespace quellmar
