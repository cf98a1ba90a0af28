#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

namespace quellmar {

// How the pack-write methods turn their `salience` argument into a salience value.
enum class SalienceMode : uint8_t { Explicit = 0, L2 = 1, Max = 2 };

// The automatic salience rule: min(v * SALIENCE_SCALE, SALIENCE_CAP) for the measure v of a key.
inline constexpr float SALIENCE_SCALE = 50.0f;
inline constexpr float SALIENCE_CAP = 100.0f;

// Parses the `salience_mode` keyword exactly: "none" and "explicit" give Explicit, "l2" and "max"
// their modes. Anything else, the empty word included, comes back as an owned copy of itself.
std::variant<SalienceMode, std::string> parse_salience_mode(std::string_view word);

}  // namespace quellmar
