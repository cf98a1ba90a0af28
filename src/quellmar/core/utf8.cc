#include "quellmar/core/utf8.h"

#include <cstdint>

namespace quellmar {

size_t utf8_char_length(const unsigned char* p, size_t n) {
  if (n == 0) return 0;
  const unsigned char c = p[0];
  if (c < 0x80) return 1;
  size_t len;
  uint32_t cp;
  if ((c & 0xE0) == 0xC0) {
    len = 2;
    cp = c & 0x1F;
  } else if ((c & 0xF0) == 0xE0) {
    len = 3;
    cp = c & 0x0F;
  } else if ((c & 0xF8) == 0xF0) {
    len = 4;
    cp = c & 0x07;
  } else {
    return 0;
  }
  if (len > n) return 0;
  for (size_t k = 1; k < len; ++k) {
    if ((p[k] & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (p[k] & 0x3F);
  }
  // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
  if ((len == 2 && cp < 0x80) || (len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000) ||
      (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) {
    return 0;
  }
  return len;
}

bool is_valid_utf8(std::string_view s) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const size_t n = s.size();
  size_t i = 0;
  while (i < n) {
    if (p[i] < 0x80) {
      ++i;
      continue;
    }
    const size_t len = utf8_char_length(p + i, n - i);
    if (len == 0) return false;
    i += len;
  }
  return true;
}

}  // namespace quellmar
