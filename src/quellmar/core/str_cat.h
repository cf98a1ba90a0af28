#pragma once

#include <charconv>
#include <string>
#include <string_view>
#include <type_traits>

namespace quellmar {

namespace detail {

inline void str_append(std::string& out, std::string_view s) { out.append(s); }
inline void str_append(std::string& out, const char* s) { out.append(s); }
inline void str_append(std::string& out, const std::string& s) { out.append(s); }
inline void str_append(std::string& out, char c) { out.push_back(c); }

// Integers in plain decimal: no sign for unsigned values, no separators.
template <typename T>
requires(std::is_integral_v<T> && !std::is_same_v<T, char> &&
         !std::is_same_v<T, bool>) void str_append(std::string& out, T v) {
  char buf[24];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
  (void)ec;
  out.append(buf, end);
}

}  // namespace detail

// Concatenates strings and integers into one string.
template <typename... Args>
std::string str_cat(const Args&... args) {
  std::string out;
  (detail::str_append(out, args), ...);
  return out;
}

}  // namespace quellmar
