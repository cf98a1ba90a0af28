#pragma once

#include <cstdint>

namespace quellmar {

using CellId = uint64_t;
using PackId = uint64_t;
using OwnerId = uint64_t;
using LayerIdx = uint16_t;

// Layer of a pack's head cell and of its view-key cells; readers of layer payloads skip it.
inline constexpr LayerIdx HEAD_CELL_LAYER = 65534;
// View tag of a view-key cell; every other cell has view tag 0.
inline constexpr uint64_t VIEW_KEY_TAG = UINT64_MAX;

enum class Tier : uint8_t { Draft = 0, Validated = 1, Core = 2 };

enum class EdgeType : uint8_t { CausedBy = 0, Follows = 1, Contradicts = 2, Supports = 3 };
// Inside the engine, the any-type filter of link queries; never stored.
inline constexpr uint8_t EDGE_TYPE_ANY = 4;

}  // namespace quellmar
