#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace quellmar {

enum class BoundaryStrategy : uint8_t { Whitespace = 0, Sentence = 1, Paragraph = 2 };

// "whitespace", "sentence" or "paragraph", matched exactly; anything else is none.
std::optional<BoundaryStrategy> parse_boundary_strategy(std::string_view name);

// Where to cut `text` (UTF-8) so that the first chunk is at most `max_pos` bytes, preferring the
// strategy's natural break. The result p (a byte offset, 0 <= p <= min(max_pos, size)) means the
// first chunk is text[0, p). When max_pos falls inside a multi-byte character, the search limit
// moves back to the start of that character, so the result always lies on a character boundary.
uint64_t find_chunk_boundary(std::string_view text, uint64_t max_pos, BoundaryStrategy strategy);

// The sentence rule over text[0, limit): the end of the last sentence terminator, else the
// whitespace rule. `limit` must not exceed text.size().
uint64_t sentence_boundary(std::string_view text, uint64_t limit);

}  // namespace quellmar
