#pragma once

// The hash of cell ids for the in-memory maps (the per-token retriever's, governance), with a seed
// drawn once per process, so that no order of those maps can be relied upon from one run to the
// next.

#include <cstddef>
#include <cstdint>

#include "quellmar/core/types.h"

namespace quellmar {

// The seed, drawn from the system's random source on first use.
uint64_t cell_id_hash_seed();

struct CellIdHash {
  size_t operator()(CellId id) const {
    static const uint64_t seed = cell_id_hash_seed();
    // splitmix64 finaliser over the seeded id.
    uint64_t z = id + seed + 0x9E3779B97F4A7C15ull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return static_cast<size_t>(z ^ (z >> 31));
  }
};

}  // namespace quellmar
