#include "quellmar/retrieval/shared_key.h"

#include <algorithm>

namespace quellmar {

float* KeyBlock::append(size_t n) {
  size_t at = (used_ + ALIGN_FLOATS - 1) / ALIGN_FLOATS * ALIGN_FLOATS;
  if (chunks_.empty() || at + n > chunks_.back().size()) {
    chunks_.emplace_back();
    // Sized without being written: the pages are touched as the keys are decoded into them.
    chunks_.back().resize(std::max(CHUNK_FLOATS, n));
    at = 0;
  }
  used_ = at + n;
  return chunks_.back().data() + at;
}

size_t KeyBlock::bytes() const {
  size_t total = 0;
  for (const auto& c : chunks_) total += c.size() * sizeof(float);
  return total;
}

}  // namespace quellmar
