#pragma once

#include <cstddef>
#include <string_view>

namespace quellmar {

// True when the bytes are well-formed UTF-8 (no overlong forms, surrogates or values past
// U+10FFFF).
bool is_valid_utf8(std::string_view bytes);

// The length of the well-formed character that starts at p (of n bytes that follow it), or 0
// when none does there.
size_t utf8_char_length(const unsigned char* p, size_t n);

}  // namespace quellmar
