#include "quellmar/core/quote.h"

namespace quellmar {

std::string quote_for_message(std::string_view s) {
  static const char* HEX = "0123456789abcdef";
  std::string out = "\"";
  auto hex_escape = [&](unsigned char c) {
    out += "\\u{";
    if (c >= 0x10) out.push_back(HEX[c >> 4]);
    out.push_back(HEX[c & 0xf]);
    out += "}";
  };
  for (size_t i = 0; i < s.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    // U+0080 to U+009F, the C1 controls: 0xC2 followed by the code point's own byte.
    if (c == 0xC2 && i + 1 < s.size()) {
      unsigned char next = static_cast<unsigned char>(s[i + 1]);
      if (next >= 0x80 && next <= 0x9F) {
        hex_escape(next);
        ++i;
        continue;
      }
    }
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\0':
        out += "\\0";
        break;
      default:
        if (c < 0x20 || c == 0x7f) {
          hex_escape(c);
        } else {
          out.push_back(static_cast<char>(c));
        }
    }
  }
  out += "\"";
  return out;
}

}  // namespace quellmar
