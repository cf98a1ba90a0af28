#pragma once

// Importance, age and tier of packs (through their head cells) and of cell-API cells. Entries live
// only in memory; records keep the importance and tier of their write.

#include <cstdint>
#include <unordered_map>

#include "quellmar/core/node_pool.h"
#include "quellmar/core/types.h"

namespace quellmar {

struct GovernanceEntry {
  float importance = 0.0f;  // 0 to 100
  float age_days = 0.0f;    // simulated days since the entry was made
  uint8_t tier = 0;         // Tier
};

using GovernanceMap = PooledHashMap<CellId, GovernanceEntry>;

inline constexpr float WRITE_BONUS = 5.0f;
inline constexpr float READ_BONUS = 3.0f;
inline constexpr float IMPORTANCE_CAP = 100.0f;
inline constexpr float TIER_UP_VALIDATED = 65.0f;
inline constexpr float TIER_UP_CORE = 85.0f;
inline constexpr float TIER_DOWN_VALIDATED = 60.0f;
inline constexpr float TIER_DOWN_DRAFT = 35.0f;
inline constexpr float DAILY_DECAY = 0.995f;
inline constexpr float RECENCY_DAYS = 30.0f;

// min(clamp(salience, 0, 100) + 5, 100); a NaN salience gives 100.
float importance_at_write(float salience);
// Core at 85 and above, Validated at 65 and above, else Draft.
uint8_t tier_at_write(float importance);
// The tier after a change of importance to x, with hysteresis.
uint8_t tier_update(uint8_t current, float x);
// importance = min(importance + 3, 100) (NaN becomes 100), then the tier update.
void read_touch(GovernanceEntry& entry);
// The fresh entry of a write.
GovernanceEntry entry_at_write(float salience);

// Tier weight of retrieval scores: 1.0, 1.1, 1.25 for Draft, Validated, Core.
float tier_multiplier(uint8_t tier);
// exp(-max(age_days, 0) / 30); a NaN age counts as 0.
float recency_factor(float age_days);

}  // namespace quellmar
