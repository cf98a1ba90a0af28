#pragma once

#include <string>
#include <string_view>

namespace quellmar {

// A string quoted and escaped the way messages show a found value: "a\"b\n". Other control
// characters, U+0080 to U+009F included, are shown by code point ("\u{7f}", "\u{85}").
std::string quote_for_message(std::string_view s);

}  // namespace quellmar
