#include "quellmar/core/cell_id_hash.h"

#include <random>

namespace quellmar {

uint64_t cell_id_hash_seed() {
  static const uint64_t seed = [] {
    std::random_device rd;
    return (static_cast<uint64_t>(rd()) << 32) ^ rd();
  }();
  return seed;
}

}  // namespace quellmar
