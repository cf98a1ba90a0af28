#pragma once

// The wall clock, read in the two forms the engine keeps times in.

#include <compare>
#include <cstdint>

namespace quellmar {

// A wall-clock time: signed seconds since the Unix epoch plus nanoseconds below one second
// (a time before the epoch has negative seconds and a non-negative nanosecond part).
struct UnixTime {
  int64_t seconds = 0;
  uint32_t nanos = 0;

  friend auto operator<=>(const UnixTime&, const UnixTime&) = default;
};

// Wall-clock time in nanoseconds since the Unix epoch; 0 for a clock before it.
uint64_t unix_now_ns();
// The wall clock as a UnixTime (negative seconds before the epoch).
UnixTime wall_unix_time();

}  // namespace quellmar
