#include "quellmar/core/clock.h"

#include <chrono>

namespace quellmar {

uint64_t unix_now_ns() {
  const auto since = std::chrono::system_clock::now().time_since_epoch();
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(since).count();
  return ns < 0 ? 0 : static_cast<uint64_t>(ns);
}

UnixTime wall_unix_time() {
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                      std::chrono::system_clock::now().time_since_epoch())
                      .count();
  int64_t seconds = ns / 1000000000;
  int64_t nanos = ns % 1000000000;
  if (nanos < 0) {
    nanos += 1000000000;
    --seconds;
  }
  return UnixTime{seconds, static_cast<uint32_t>(nanos)};
}

}  // namespace quellmar
