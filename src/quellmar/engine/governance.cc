#include "quellmar/engine/governance.h"

#include <cmath>

namespace quellmar {

namespace {

// min that prefers the number when one side is NaN.
inline float min_num(float a, float b) { return std::fmin(a, b); }

}  // namespace

float importance_at_write(float salience) {
  float s = salience;
  if (s < 0.0f) s = 0.0f;
  if (s > 100.0f) s = 100.0f;
  return min_num(s + WRITE_BONUS, IMPORTANCE_CAP);
}

uint8_t tier_at_write(float importance) {
  if (importance >= TIER_UP_CORE) return static_cast<uint8_t>(Tier::Core);
  if (importance >= TIER_UP_VALIDATED) return static_cast<uint8_t>(Tier::Validated);
  return static_cast<uint8_t>(Tier::Draft);
}

uint8_t tier_update(uint8_t current, float x) {
  switch (current) {
    case 0:
      if (x >= TIER_UP_VALIDATED) return x >= TIER_UP_CORE ? 2 : 1;
      return 0;
    case 1:
      if (x >= TIER_UP_CORE) return 2;
      if (x < TIER_DOWN_DRAFT) return 0;
      return 1;
    default:
      if (x < TIER_DOWN_VALIDATED) return x < TIER_DOWN_DRAFT ? 0 : 1;
      return 2;
  }
}

void read_touch(GovernanceEntry& entry) {
  entry.importance = min_num(entry.importance + READ_BONUS, IMPORTANCE_CAP);
  entry.tier = tier_update(entry.tier, entry.importance);
}

GovernanceEntry entry_at_write(float salience) {
  const float importance = importance_at_write(salience);
  return GovernanceEntry{importance, 0.0f, tier_at_write(importance)};
}

float tier_multiplier(uint8_t tier) {
  switch (tier) {
    case 1:
      return 1.1f;
    case 2:
      return 1.25f;
    default:
      return 1.0f;
  }
}

float recency_factor(float age_days) {
  const float age = std::isnan(age_days) ? 0.0f : std::fmax(age_days, 0.0f);
  return std::exp(-age / RECENCY_DAYS);
}

}  // namespace quellmar
