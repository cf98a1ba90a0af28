// find_chunk_boundary over any text, limit and strategy: the cut lies within the limit and the
// text, on a character boundary.

#include <cstring>
#include <string_view>

#include "fuzz_util.h"
#include "quellmar/core/utf8.h"
#include "quellmar/engine/chunk_boundary.h"

using namespace quellmar;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 5) return 0;
  const auto strategy = static_cast<BoundaryStrategy>(data[0] % 3);
  uint32_t max_pos;
  std::memcpy(&max_pos, data + 1, 4);
  const std::string_view text(reinterpret_cast<const char*>(data + 5), size - 5);
  // Limits around the text's length are the interesting ones.
  const uint64_t limit = max_pos % (text.size() + 8);
  const uint64_t p = find_chunk_boundary(text, limit, strategy);
  QM_FUZZ_CHECK(p <= limit && p <= text.size());
  if (p < text.size() && is_valid_utf8(text)) {
    QM_FUZZ_CHECK((static_cast<unsigned char>(text[p]) & 0xC0) != 0x80);
  }
  (void)find_chunk_boundary(text, UINT64_MAX, strategy);
  return 0;
}
